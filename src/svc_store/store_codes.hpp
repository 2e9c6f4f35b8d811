/*
 * store_codes.hpp - the store's request codes, as one table.
 *
 * Producers say what to write by a code (DevCallback(card::kStoreServer, code,
 * data, size)). Codes come in ranges; a range shares one action, and a code's
 * distance from its range's first code is the index it carries (alarm index,
 * command or operation number). The queue reads from a code's row what to copy
 * out of the request's data; the writer reads what to do and which event
 * number the row records. A code outside every range is dropped.
 *
 * Event numbers are those of the log texts (store_texts.cpp): alarm indexes
 * (alarm signal - ALARM_BASE), web control actions from 100, remote control
 * actions from 150, and the end of alarm n as 500 + n.
 */
#pragma once

#include "card.hpp"

#include <climits>
#include <cstddef>
#include <iterator>

namespace store
{

constexpr int kWebActionEvents = 100;
constexpr int kRemoteActionEvents = 150;
constexpr int kEndEvents = 500;

// Sources the rows record beside the texts the producers send.
constexpr const char* kSourceSnmp = "SNMP";
constexpr const char* kSourceSchedule = "SCHEDULE";
constexpr const char* kSourceUps = "Dev:UPS";
constexpr const char* kSourceSmsModule = "Dev:SMS MODULE";
constexpr const char* kSourceSensorModule = "Dev:THS MODULE";

// What the queue copies out of a request's data.
enum class Keeps {
    Nothing,
    Value,            // the 4 data bytes: a start time
    StartTimeIfGiven, // the 4 data bytes when sent (a start time), else 0: "now"
    Text,             // the data up to its first 0, when it is at most card::store::kTextBytes long
};

enum class Action {
    UpsSample,     // ups_data row from the UPS signals, and a line of the e-mail report
    SensorSample,  // ths_data row from the answering sensor modules
    BatteryTest,   // test_data row: started at the value, ran until the request came
    AlarmStarted,  // current_alarm row, from the start time sent (or now)
    AlarmCleared,  // the alarm's current_alarm row goes
    AlarmEpisode,  // history_alarm row: started at the value, ended when the request came
    MailRecord,    // smtp_record row: recipient (text) and event
    SmsRecord,     // sms_record row: recipient (text) and event
    ControlAction, // history_alarm row: event, "--" and the source
    Operation,     // operation_record row: operation number and text
};

struct RequestCode {
    int first, last; // the range, both ends included
    Keeps keeps;
    Action action;
    int number;         // event number recorded for the range's first code
    const char* source; // control actions: the fixed source; null: the request's text

    constexpr bool holds(int code) const { return code >= first && code <= last; }
    // The event (alarm, command, operation) number a code of the range records.
    constexpr int numberOf(int code) const { return number + (code - first); }
};

// Builders of the table's rows.
constexpr RequestCode oneCode(int code, Keeps keeps, Action action, int number = 0)
{
    return {code, code, keeps, action, number, nullptr};
}
// base + alarm index (0-99).
constexpr RequestCode byAlarm(int base, Keeps keeps, Action action, int number = 0)
{
    return {base, base + 99, keeps, action, number, nullptr};
}
// base + command number (0-49): a control action with its event number base.
constexpr RequestCode byCommand(int base, Keeps keeps, int number, const char* source = nullptr)
{
    return {base, base + 49, keeps, Action::ControlAction, number, source};
}
// base and every code above it.
constexpr RequestCode andAbove(int base, Keeps keeps, Action action)
{
    return {base, INT_MAX, keeps, action, 0, nullptr};
}
constexpr int eventOf(int alarmSignal)
{
    return alarmSignal - ALARM_BASE;
}

// In code order.
inline constexpr RequestCode kRequestCodes[] = {
    oneCode(card::store::kUpsSample, Keeps::Nothing, Action::UpsSample),
    oneCode(card::store::kSensorSample, Keeps::Nothing, Action::SensorSample),
    oneCode(card::store::kBatteryTest, Keeps::Value, Action::BatteryTest),
    byAlarm(card::store::kAlarmStarted, Keeps::StartTimeIfGiven, Action::AlarmStarted),
    byAlarm(card::store::kAlarmCleared, Keeps::Nothing, Action::AlarmCleared),
    byAlarm(card::store::kAlarmEpisode, Keeps::Value, Action::AlarmEpisode),
    oneCode(card::store::kMailTest, Keeps::Text, Action::MailRecord, eventOf(Alarm_Smtp_Test)),
    byAlarm(card::store::kMailAlarmStart, Keeps::Text, Action::MailRecord),
    byAlarm(card::store::kMailAlarmEnd, Keeps::Text, Action::MailRecord, kEndEvents),
    oneCode(card::store::kMailReport, Keeps::Text, Action::MailRecord,
            eventOf(Alarm_Smtp_Daily_Record)),
    oneCode(card::store::kSmsTest, Keeps::Text, Action::SmsRecord, eventOf(Alarm_Sms_Test)),
    byAlarm(card::store::kSmsAlarmStart, Keeps::Text, Action::SmsRecord),
    byAlarm(card::store::kSmsAlarmEnd, Keeps::Text, Action::SmsRecord, kEndEvents),
    byCommand(card::store::kControlWeb, Keeps::Text, kWebActionEvents),
    byCommand(card::store::kControlSnmp, Keeps::Nothing, kRemoteActionEvents, kSourceSnmp),
    byCommand(card::store::kControlModbus, Keeps::Text, kRemoteActionEvents),
    byCommand(card::store::kControlSms, Keeps::Text, kRemoteActionEvents),
    byCommand(card::store::kControlSchedule, Keeps::Nothing, kRemoteActionEvents, kSourceSchedule),
    andAbove(card::store::kOperation, Keeps::Text, Action::Operation),
};

// The row of a code, or null when the code is dropped.
constexpr const RequestCode* requestCode(int code)
{
    for (const RequestCode& c : kRequestCodes)
        if (c.holds(code)) return &c;
    return nullptr;
}

namespace detail
{
constexpr bool ascending()
{
    for (const RequestCode& c : kRequestCodes)
        if (c.first > c.last) return false;
    for (std::size_t i = 1; i < std::size(kRequestCodes); ++i)
        if (kRequestCodes[i].first <= kRequestCodes[i - 1].last) return false;
    return true;
}
static_assert(ascending(), "request code ranges must be ascending and apart");
} // namespace detail

} // namespace store
