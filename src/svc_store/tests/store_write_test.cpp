// The write side of the store: request codes, samples, retention, close-out,
// the e-mail report file, and what happens to bad input and broken files.
#include "store_readers.h"
#include "store_test_env.hpp"

#include "card_rules.hpp"
#include "fieldcore.h"
#include "platform.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace storetest;
using store::DbFile;

namespace
{

void request(int code, const char* text = nullptr)
{
    store::enqueue(code, text, text ? static_cast<int>(std::strlen(text)) + 1 : 0);
}

void requestValue(int code, int32_t value, long long arrival)
{
    store::enqueueAt(code, &value, 4, arrival);
}

// Rows without their first (time) column, or with it when keepTime.
Rows rowsOf(DbFile f, const std::string& table, const std::string& cols)
{
    return query(f, "select " + cols + " from " + table + " order by rowid");
}

} // namespace

// ---- request codes ----

// The event numbers and kept data of the card's codes, asserted against the
// store's code table (one example per range, both ends of some).
TEST(RequestCodeTable, GivesTheCardsEventNumbersAndKeptData)
{
    using A = store::Action;
    using K = store::Keeps;
    struct Case {
        int code;
        A action;
        K keeps;
        int number;
        const char* source;
    };
    const Case cases[] = {
        {100, A::UpsSample, K::Nothing, 0, nullptr},
        {101, A::SensorSample, K::Nothing, 0, nullptr},
        {102, A::BatteryTest, K::Value, 0, nullptr},
        {205, A::AlarmStarted, K::StartTimeIfGiven, 5, nullptr},
        {299, A::AlarmStarted, K::StartTimeIfGiven, 99, nullptr},
        {300, A::AlarmCleared, K::Nothing, 0, nullptr},
        {434, A::AlarmEpisode, K::Value, 34, nullptr},
        {500, A::MailRecord, K::Text, 54, nullptr},
        {601, A::MailRecord, K::Text, 1, nullptr},
        {701, A::MailRecord, K::Text, 501, nullptr},
        {800, A::MailRecord, K::Text, 55, nullptr},
        {900, A::SmsRecord, K::Text, 56, nullptr},
        {1002, A::SmsRecord, K::Text, 2, nullptr},
        {1102, A::SmsRecord, K::Text, 502, nullptr},
        {1204, A::ControlAction, K::Text, 104, nullptr},
        {1249, A::ControlAction, K::Text, 149, nullptr},
        {1254, A::ControlAction, K::Nothing, 154, "SNMP"},
        {1304, A::ControlAction, K::Text, 154, nullptr},
        {1354, A::ControlAction, K::Text, 154, nullptr},
        {1404, A::ControlAction, K::Nothing, 154, "SCHEDULE"},
        {1449, A::ControlAction, K::Nothing, 199, "SCHEDULE"},
        {1507, A::Operation, K::Text, 7, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const store::RequestCode* kind = store::requestCode(c.code);
        ASSERT_NE(kind, nullptr);
        EXPECT_EQ(kind->action, c.action);
        EXPECT_EQ(kind->keeps, c.keeps);
        EXPECT_EQ(kind->numberOf(c.code), c.number);
        EXPECT_EQ(kind->source ? std::string(kind->source) : "", c.source ? c.source : "");
    }
    for (int code : {INT_MIN, -1, 0, 99, 103, 199, 501, 599, 801, 901, 999, 1450, 1499})
        EXPECT_EQ(store::requestCode(code), nullptr) << code;
}

namespace
{

// Where an action's row lands, as the test reads it back.
struct Landing {
    DbFile file;
    const char* table;
    const char* numberCol; // the event number, or null
    const char* textCol;   // the request's text or the fixed source, or null
    const char* timeCol;   // "now" when the request was applied, or null
};

Landing landingOf(store::Action a)
{
    using A = store::Action;
    switch (a) {
    case A::UpsSample:
        return {DbFile::UpsData, "ups_data", nullptr, nullptr, "Time"};
    case A::SensorSample:
        return {DbFile::UpsData, "ths_data", nullptr, nullptr, "Time"};
    case A::BatteryTest:
        return {DbFile::UpsData, "test_data", nullptr, nullptr, nullptr};
    case A::AlarmStarted:
    case A::AlarmCleared:
        return {DbFile::Alarm, "current_alarm", "Alarm_Id", nullptr, "Starting_Time"};
    case A::AlarmEpisode:
        return {DbFile::Alarm, "history_alarm", "Alarm_Id", nullptr, nullptr};
    case A::MailRecord:
        return {DbFile::Smtp, "smtp_record", "Alarm_Id", "name", "Time"};
    case A::SmsRecord:
        return {DbFile::Sms, "sms_record", "Alarm_Id", "name", "Time"};
    case A::ControlAction:
        return {DbFile::Alarm, "history_alarm", "Alarm_Id", "Source", "Starting_Time"};
    case A::Operation:
        return {DbFile::Operation, "operation_record", "Operate_Id", "Source", "Starting_Time"};
    }
    return {};
}

} // namespace

TEST_F(StoreTest, QueueKeepsWhatEachCodesRowSays)
{
    const char data[4] = {'a', 'b', 'c', '\0'};
    int32_t asValue = 0;
    std::memcpy(&asValue, data, 4);
    for (const store::RequestCode& kind : store::kRequestCodes)
        store::enqueue(kind.first, data, 4);
    const auto queued = store::takeQueue();
    ASSERT_EQ(queued.size(), std::size(store::kRequestCodes));
    for (size_t i = 0; i < queued.size(); ++i) {
        const store::RequestCode& kind = store::kRequestCodes[i];
        SCOPED_TRACE(kind.first);
        EXPECT_EQ(queued[i].text, kind.keeps == store::Keeps::Text ? "abc" : "");
        const bool value =
            kind.keeps == store::Keeps::Value || kind.keeps == store::Keeps::StartTimeIfGiven;
        EXPECT_EQ(queued[i].value, value ? asValue : 0);
        EXPECT_EQ(queued[i].arrival, fake.clock);
    }
}

TEST_F(StoreTest, EveryCodeRangeWritesItsRowAtBothEnds)
{
    fake.set("curr_module_num", 1); // one sensor module, answering
    for (const store::RequestCode& kind : store::kRequestCodes) {
        for (const int code : {kind.first, kind.last}) {
            SCOPED_TRACE(code);
            freshStore();
            const Landing at = landingOf(kind.action);
            const std::string number = std::to_string(kind.numberOf(code));
            if (kind.action == store::Action::AlarmCleared)
                exec(at.file, "insert into current_alarm values('x','" + number +
                                  "'); insert into current_alarm values('x','999')");
            const bool started = kind.action == store::Action::AlarmStarted;
            if (kind.keeps == store::Keeps::Value || started)
                requestValue(code, static_cast<int32_t>(fake.clock - 60), fake.clock);
            else
                request(code, "who");
            store::applyQueueNow();

            if (kind.action == store::Action::AlarmCleared) {
                EXPECT_EQ(rowsOf(at.file, at.table, "Alarm_Id"), (Rows{{"999"}}));
                continue;
            }
            ASSERT_EQ(count(at.file, at.table), 1);
            auto col = [&](const char* name) {
                return query(at.file, std::string("select ") + name + " from " + at.table)[0][0];
            };
            if (at.numberCol) {
                EXPECT_EQ(col(at.numberCol), number);
            }
            if (at.textCol) {
                EXPECT_EQ(col(at.textCol), kind.source ? kind.source : "who");
            }
            if (at.timeCol) {
                // An alarm's row keeps the start time it was sent, to the second.
                EXPECT_EQ(col(at.timeCol), card::timeText(started ? fake.clock - 60 : fake.clock));
            }
        }
    }
}

TEST_F(StoreTest, CodesOutsideTheTableAreDroppedAndLogged)
{
    // Just outside each range (where no other range starts), and a few far off.
    std::vector<int> outside{INT_MIN, -1, 0, 99, 199, 599, 999};
    for (const store::RequestCode& kind : store::kRequestCodes)
        for (const long long code : {kind.first - 1LL, kind.last + 1LL})
            if (code >= INT_MIN && code <= INT_MAX && !store::requestCode(static_cast<int>(code)))
                outside.push_back(static_cast<int>(code));
    for (int code : outside)
        request(code, "x");
    store::applyQueueNow();
    EXPECT_EQ(store::queuedCount(), 0u);
    EXPECT_EQ(count(DbFile::Alarm, "current_alarm"), 0);
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 0);
    EXPECT_EQ(count(DbFile::Smtp, "smtp_record"), 0);
    EXPECT_EQ(count(DbFile::Sms, "sms_record"), 0);
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 0);
    EXPECT_EQ(count(DbFile::UpsData, "ups_data"), 0);
    EXPECT_EQ(count(DbFile::UpsData, "ths_data"), 0);
    EXPECT_EQ(count(DbFile::UpsData, "test_data"), 0);
    for (int code : {103, 501, 801, 901, 1450, 1499})
        EXPECT_TRUE(fake.logged("request code " + std::to_string(code) + " dropped")) << code;
}

TEST_F(StoreTest, EndOfAlarmRemovesOnlyItsCurrentRow)
{
    request(201);
    request(207);
    request(301);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id"), (Rows{{"7"}}));
}

TEST_F(StoreTest, HistoryEpisodeTakesStartFromValueEndFromArrivalAndSourceFromIndex)
{
    const long long t0 = 1796000000;
    requestValue(401, static_cast<int32_t>(t0), t0 + 90);
    requestValue(434, static_cast<int32_t>(t0), t0 + 1);
    requestValue(453, static_cast<int32_t>(t0), t0 + 1);
    requestValue(457, static_cast<int32_t>(t0), t0 + 1);
    requestValue(460, static_cast<int32_t>(t0), t0 + 1);
    requestValue(461, static_cast<int32_t>(t0), t0 + 1);
    store::applyQueueNow();
    const Rows rows = rowsOf(DbFile::Alarm, "history_alarm", "*");
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{card::timeText(t0), "1", card::timeText(t0 + 90),
                                                 "Dev:UPS"}));
    EXPECT_EQ(rows[1][3], "Dev:THS MODULE");
    EXPECT_EQ(rows[2][3], "Dev:THS MODULE");
    EXPECT_EQ(rows[3][3], "Dev:SMS MODULE");
    EXPECT_EQ(rows[4][3], "Dev:SMS MODULE");
    EXPECT_EQ(rows[5][3], "Dev:UPS");
}

TEST_F(StoreTest, BatteryTestOf3725SecondsReads010205)
{
    const long long start = 1796000000;
    requestValue(102, static_cast<int32_t>(start), start + 3725);
    requestValue(102, static_cast<int32_t>(start), start + 100 * 3600 + 59);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::UpsData, "test_data", "*"),
              (Rows{{card::timeText(start), "01:02:05"}, {card::timeText(start), "100:00:59"}}));
}

TEST_F(StoreTest, TextsOver200BytesAreAppliedEmpty)
{
    const std::string exact(200, 'a');
    const std::string longer(201, 'b');
    store::enqueue(1001, exact.data(), 200); // no terminator within the 200 bytes
    store::enqueue(1001, longer.data(), 201);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::Sms, "sms_record", "name"), (Rows{{exact}, {""}}));
}

TEST_F(StoreTest, QuotesInTextsAreStoredAsTheyCame)
{
    const char* evil = "x'); drop table history_alarm; --";
    request(1200, evil);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::Alarm, "history_alarm", "Source"), (Rows{{evil}}));
}

// ---- samples ----

TEST_F(StoreTest, SinglePhaseUpsSample)
{
    fake.set("ups_type", 3);
    fake.setValue(card::kUps, Data_InputVoltage_A, 230.04f);
    fake.setValue(card::kUps, Data_InputCurrent_A, 1.25f);
    fake.setValue(card::kUps, Data_InputFrequency_A, 50.0f);
    fake.setValue(card::kUps, Data_Inverter_Temperature, 31.0f);
    fake.setValue(card::kUps, Data_OutputVoltage_A, 220.0f);
    fake.setValue(card::kUps, Data_OutputFrequency, 49.9f);
    fake.setValue(card::kUps, Data_OutputPercentLoad_A, 37.0f);
    fake.setValue(card::kUps, Data_BypassFrequency, 50.1f);
    fake.setValue(card::kUps, Data_BatteryVoltage, 13.5f);
    fake.setValue(card::kUps, Data_BatteryCurrent, -2.0f);
    fake.setValue(card::kUps, Data_BatteryTemperature, 25.0f);
    fake.setValue(card::kUps, Data_EstimatedMinutesRemaining, 45.0f);
    fake.setValue(card::kUps, Data_EstimatedChargeRemaining, 98.0f);
    request(100);
    store::applyQueueNow();
    const Rows rows = rowsOf(DbFile::UpsData, "ups_data", "*");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{
                           rows[0][0], "230.0", "1.2",  "50.0", "0.0",  "31.0", "220.0",
                           "0.0",      "49.9",  "0.0",  "37.0", "0.0",  "0.0",  "50.1",
                           "0.0",      "0.0",   "13.5", "-2.0", "25.0", "45.0", "98.0"}));
}

TEST_F(StoreTest, ThreePhaseGroupsAndBatteryRules)
{
    fake.set("ups_type", 0);
    fake.set("battery_sections_number", 20);
    fake.set("battery_enable_type", 1);
    fake.setValue(card::kUps, Data_InputNumLines, 3);
    fake.setValue(card::kUps, Data_InputVoltage_A, 230.1f);
    fake.setValue(card::kUps, Data_InputVoltage_B, 229.8f);
    fake.setValue(card::kUps, Data_InputVoltage_C, 231.0f);
    fake.setValue(card::kUps, Data_OutputNumLines, 3);
    fake.setValue(card::kUps, Data_OutputFrequency, 50.0f);
    fake.setValue(card::kUps, Data_BypassNumLines, 3);
    fake.setValue(card::kUps, Data_BypassFrequency, 49.8f);
    fake.setValue(card::kUps, Data_BatteryVoltage, 2.25f);
    fake.setValue(card::kUps, Data_BatteryManageTime, 61.0f);
    fake.setValue(card::kUps, Data_BatteryManageSoc, 77.0f);
    fake.setValue(card::kUps, Data_EstimatedMinutesRemaining, 1.0f);
    request(100);
    store::applyQueueNow();
    const Rows r = rowsOf(DbFile::UpsData, "ups_data",
                          "Input_V,Input_C,Internal_Temp,Output_F,By_F,Bat_V,Bat_Time,Bat_AV");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0],
              (std::vector<std::string>{"230.1/229.8/231.0", "0.0/0.0/0.0", "0.0", "50.0/50.0/50.0",
                                        "49.8/49.8/49.8", "45.0", "61.0", "77.0"}));
}

TEST_F(StoreTest, BatteryTemperatureBelowMinus15IsDashForTypes245)
{
    fake.setValue(card::kUps, Data_BatteryTemperature, -20.0f);
    // A sample reads the signals when it is applied.
    for (int type : {2, 4, 5, 3}) {
        fake.set("ups_type", type);
        request(100);
        store::applyQueueNow();
    }
    fake.setValue(card::kUps, Data_BatteryTemperature, -15.0f);
    fake.set("ups_type", 4);
    request(100);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::UpsData, "ups_data", "Bat_Tem"),
              (Rows{{"--"}, {"--"}, {"--"}, {"-20.0"}, {"-15.0"}}));
}

TEST_F(StoreTest, SensorSampleJoinsAnsweringSensors)
{
    fake.set("curr_module_num", "3");
    fake.set("temp_conver1", "10");
    fake.set("temp_conver3", "1");
    fake.setValue(card::kSensors, Data_temperature_1, 215.0f);
    fake.setValue(card::kSensors, Data_humidity_1, 453.0f);
    fake.setValue(card::kSensors, Alarm_TH2_CommunicationsLost, 1.0f); // sensor 2 lost
    fake.setValue(card::kSensors, Data_temperature_3, 19.5f);
    fake.setValue(card::kSensors, Data_humidity_3, 40.0f);
    request(101);
    store::applyQueueNow();
    fake.setValue(card::kSensors, Alarm_TH1_CommunicationsLost, 1.0f);
    fake.setValue(card::kSensors, Alarm_TH3_CommunicationsLost, 1.0f);
    request(101); // nobody answers: no row
    store::applyQueueNow();
    fake.setValue(card::kSensors, Alarm_TH1_CommunicationsLost, 0.0f);
    fake.set("curr_module_num", "5");
    request(101);
    store::applyQueueNow();
    const Rows r = rowsOf(DbFile::UpsData, "ths_data", "Tem,hum");
    EXPECT_EQ(r, (Rows{{"21.5 / 19.5", "45.3 / 40.0"}}));
}

TEST_F(StoreTest, SensorSampleDividesByTheCardsSensorDivisor)
{
    // Unset: the factory 100; zero, negative or not a number: 1.
    fake.set("curr_module_num", 4);
    fake.set("temp_conver2", "0");
    fake.set("temp_conver3", "-5");
    fake.set("temp_conver4", "10x");
    for (int m = 0; m < card::kSensorModules; ++m) {
        fake.setValue(card::kSensors, Data_temperature_1 + m, 2150.0f);
        fake.setValue(card::kSensors, Data_humidity_1 + m, 450.0f);
    }
    request(101);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::UpsData, "ths_data", "Tem,hum"),
              (Rows{{"21.5 / 2150.0 / 2150.0 / 2150.0", "4.5 / 450.0 / 450.0 / 450.0"}}));
}

// ---- retention ----

namespace
{

// Puts n rows into a table in one transaction; row k carries k in its second column.
void fill(DbFile f, const std::string& table, int columns, int n)
{
    std::string sql = "begin;";
    for (int k = 0; k < n; ++k) {
        sql += "insert into " + table + " values('2026-01-01 00:00:00','" + std::to_string(k) + "'";
        for (int c = 2; c < columns; ++c)
            sql += ",'x'";
        sql += ");";
    }
    sql += "commit;";
    exec(f, sql);
}

long long firstKept(DbFile f, const std::string& table, const std::string& col)
{
    auto r = query(f, "select " + col + " from " + table + " order by rowid limit 1");
    return r.empty() ? -1 : std::atoll(r[0][0].c_str());
}

} // namespace

TEST_F(StoreTest, HistoryKeepsAThousandAndDropsTenPastIt)
{
    fill(DbFile::Alarm, "history_alarm", 4, 1000);
    request(1250);
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 1001); // 1000 is not over the limit
    EXPECT_EQ(firstKept(DbFile::Alarm, "history_alarm", "Alarm_Id"), 0);
    request(1250);
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 992); // 1001: ten oldest gone
    EXPECT_EQ(firstKept(DbFile::Alarm, "history_alarm", "Alarm_Id"), 10);
}

TEST_F(StoreTest, UpsDataDropsFiftyWhenItHoldsFiveThousand)
{
    fill(DbFile::UpsData, "ups_data", 21, 4999);
    request(100); // the 5000th row: the count 4999 is below the limit
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::UpsData, "ups_data"), 5000);
    request(100);
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::UpsData, "ups_data"), 4951);
    EXPECT_EQ(firstKept(DbFile::UpsData, "ups_data", "Input_V"), 50);
}

TEST_F(StoreTest, NotificationsKeepFiveHundredAndDropTwentyPastIt)
{
    fill(DbFile::Smtp, "smtp_record", 3, 500);
    fill(DbFile::Sms, "sms_record", 3, 501);
    request(601, "a");
    request(1001, "b");
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Smtp, "smtp_record"), 501);
    EXPECT_EQ(count(DbFile::Sms, "sms_record"), 482);
    EXPECT_EQ(firstKept(DbFile::Sms, "sms_record", "Alarm_Id"), 20);
}

TEST_F(StoreTest, OtherTablesKeepTheirLimits)
{
    fill(DbFile::UpsData, "test_data", 2, 1000);
    fill(DbFile::UpsData, "ths_data", 3, 5000);
    fill(DbFile::Operation, "operation_record", 4, 1001);
    fill(DbFile::Alarm, "current_alarm", 2, 3000);
    fake.set("curr_module_num", "1");
    fake.setValue(card::kSensors, Data_temperature_1, 20.0f);
    requestValue(102, 1796000000, 1796000010);
    request(101);
    request(1500, "x");
    request(210);
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::UpsData, "test_data"), 951);
    EXPECT_EQ(count(DbFile::UpsData, "ths_data"), 4951);
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 992);
    EXPECT_EQ(count(DbFile::Alarm, "current_alarm"), 3001); // no limit
}

// ---- closing out alarms left from before a restart ----

TEST_F(StoreTest, TwoAlarmsAcrossARestartEndAtTheLastStop)
{
    const long long lastEnd = 1796000000;
    fake.set("system_startup_time", static_cast<int>(lastEnd - 5000));
    fake.set("system_run_time", 5000);
    EXPECT_EQ(store::lastEndFromSettings(), lastEnd);
    exec(DbFile::Alarm, "insert into current_alarm values('" + card::timeText(lastEnd - 600) +
                            "','1'); insert into current_alarm values('" +
                            card::timeText(lastEnd - 60) + "','35');");
    store::closeOutOldAlarms(store::lastEndFromSettings());
    EXPECT_EQ(count(DbFile::Alarm, "current_alarm"), 0);
    const Rows rows = rowsOf(DbFile::Alarm, "history_alarm", "*");
    EXPECT_EQ(rows, (Rows{{card::timeText(lastEnd - 600), "1", card::timeText(lastEnd), "Dev:UPS"},
                          {card::timeText(lastEnd - 60), "35", card::timeText(lastEnd),
                           "Dev:THS MODULE"}}));
}

TEST_F(StoreTest, StartAfterTheLastStopEndsAtTheZoneShiftedTime)
{
    const long long lastEnd = 1796000000;
    fake.set("nchecktimeevery", "1");
    fake.set("time_dst", "0");
    fake.set("ntimezone", "22"); // 6.75 h without daylight saving
    const float shifted = static_cast<float>(lastEnd) + 6.75f * 3600.0f;
    const std::string l2 = card::timeText(static_cast<long long>(shifted));
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd), l2);
    fake.set("time_dst", "1"); // 5.75 h
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd), card::timeText(static_cast<long long>(
                                                  static_cast<float>(lastEnd) + 5.75f * 3600.0f)));
    fake.set("ntimezone", "33");
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd), "");
    fake.set("ntimezone", "0"); // -12 h with daylight saving
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd),
              card::timeText(static_cast<long long>(static_cast<float>(lastEnd) - 43200.0f)));

    exec(DbFile::Alarm,
         "insert into current_alarm values('" + card::timeText(lastEnd + 30) + "','57');");
    store::closeOutOldAlarms(lastEnd);
    EXPECT_EQ(rowsOf(DbFile::Alarm, "history_alarm", "End_Time,Source"),
              (Rows{{store::zoneShiftedEnd(lastEnd), "Dev:SMS MODULE"}}));
    fake.set("nchecktimeevery", "0");
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd), "");
}

// ---- the e-mail report file ----

TEST_F(StoreTest, EmailReportKeepsOnlyTodaysFileWithItsHeader)
{
    namespace fs = std::filesystem;
    const std::string dir = store::emailReportDir();
    fs::create_directories(dir);
    platform::writeFile(dir + "/email_report2020-01-01.csv", "old");
    fake.set("Module_Language", 0);
    fake.setValue(card::kUps, Data_InputVoltage_A, 231.0f);
    request(100);
    request(100);
    store::applyQueueNow();

    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    ASSERT_EQ(names.size(), 1u);
    const std::string bytes = fileBytes(dir + "/" + names[0]);
    // English header in GBK: the degree sign is A1 E6.
    const std::string header = "Time,InputVoltage(V),InputCurrent(A),InputFrequency(Hz),"
                               "InputActivePower(kW),InternalTemperature(\xA1\xE6),";
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    const auto rows = rowsOf(DbFile::UpsData, "ups_data", "Time");
    const std::string line = rows[0][0] +
                             ",231.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,"
                             "0.0,0.0,0.0,0.0\n";
    EXPECT_NE(bytes.find("(%)\n" + line), std::string::npos);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 3);
}

TEST_F(StoreTest, EmailReportHeaderIsUtf8ForTurkish)
{
    fake.set("Module_Language", 3);
    request(100);
    store::applyQueueNow();
    namespace fs = std::filesystem;
    for (const auto& e : fs::directory_iterator(store::emailReportDir())) {
        const std::string bytes = fileBytes(e.path().string());
        EXPECT_EQ(bytes.rfind("Zaman,Giri\xC5\x9F", 0), 0u);
        EXPECT_NE(bytes.find("DahiliS\xC4\xB1"
                             "cakl\xC4\xB1k(\xE2\x84\x83)"),
                  std::string::npos);
    }
}

// ---- broken files and bad surroundings ----

TEST_F(StoreTest, DatabaseDeletedWhileRunningGetsItsTablesBack)
{
    request(201);
    store::applyQueueNow();
    std::filesystem::remove(store::dbPath(DbFile::Alarm));
    request(202);
    request(1250);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id"), (Rows{{"2"}}));
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 1);
}

TEST_F(StoreTest, TableDroppedUnderTheStoreIsCreatedAgain)
{
    exec(DbFile::Operation, "drop table operation_record");
    request(1501, "x");
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 1);
}

TEST_F(StoreTest, CorruptOrUnopenableFilesLeaveTheOthersWorking)
{
    platform::writeFile(store::dbPath(DbFile::Smtp), std::string(4096, '\x5a'));
    std::filesystem::remove(store::dbPath(DbFile::Sms));
    std::filesystem::create_directory(store::dbPath(DbFile::Sms)); // cannot be opened as a file
    request(601, "a");
    request(1001, "b");
    request(203);
    request(1502, "c");
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Alarm, "current_alarm"), 1);
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 1);
    EXPECT_EQ(store::queuedCount(), 0u);
    // The readers report the broken files instead of crashing.
    char page[10 * 100] = {};
    EXPECT_LE(GetSmsDataBase("2026-01-01", 1, page), 0);
    EXPECT_EQ(GetEmailDataBase("2026-01-01", 1, page), 0);
}

TEST_F(StoreTest, FullDiskIsLoggedAndWritingGoesOnAfterwards)
{
    request(201);
    store::applyQueueNow();
    // A file-size limit makes every growing write fail as on a full flash.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old {
    };
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 16 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    for (int i = 0; i < 400; ++i)
        request(100);
    request(205);
    store::applyQueueNow();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_LT(count(DbFile::UpsData, "ups_data"), 400);
    request(206);
    request(100);
    store::applyQueueNow();
    const Rows ids = rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id");
    EXPECT_EQ(ids.back(), std::vector<std::string>{"6"});
    EXPECT_GE(count(DbFile::UpsData, "ups_data"), 1);
}

namespace
{

// Every connection the store opens gets a commit hook that turns the next
// `failCommits` commits into rollbacks, as an I/O error at commit time would.
std::atomic<int> failCommits{0};

int commitHook(void*)
{
    return failCommits.fetch_sub(1) > 0 ? 1 : 0;
}

int installCommitHook(sqlite3* db, char**, const sqlite3_api_routines*)
{
    sqlite3_commit_hook(db, commitHook, nullptr);
    return SQLITE_OK;
}

} // namespace

TEST_F(StoreTest, FailedCommitKeepsTheRowsOfItsBatch)
{
    sqlite3_auto_extension(reinterpret_cast<void (*)()>(installCommitHook));
    failCommits = 1; // the batch's commit fails, each row written again succeeds
    for (int i = 0; i < 40; ++i)
        request(1501, ("row " + std::to_string(i)).c_str());
    request(203);
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 40);
    EXPECT_EQ(rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id"), (Rows{{"3"}}));
    EXPECT_TRUE(fake.logged("writing them one by one"));
    // A file whose every commit fails loses its rows; the others keep theirs.
    failCommits = 1000;
    request(1502, "lost");
    store::applyQueueNow();
    failCommits = 0;
    sqlite3_reset_auto_extension();
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 40);
    EXPECT_TRUE(fake.logged("rows to"));
}

TEST_F(StoreTest, FlushWritesTheQueueBeforeAnswering)
{
    for (int i = 0; i < 200; ++i)
        request(1501, ("row " + std::to_string(i)).c_str());
    EXPECT_EQ(store::flushQueue(std::chrono::seconds(10)), 0);
    EXPECT_EQ(store::queuedCount(), 0u);
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 200);
    // A store that cannot finish in time lets the caller go all the same.
    {
        std::lock_guard hold(store::dbMutex());
        request(1501, "late");
        EXPECT_EQ(store::flushQueue(std::chrono::milliseconds(200)), -1);
    }
    store::applyQueueNow(); // waits for the late flush to end
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 201);
}

TEST_F(StoreTest, ReadOnlyDataDirectoryIsLoggedWithoutACrash)
{
    request(201);
    store::applyQueueNow();
    std::filesystem::remove(store::dbPath(DbFile::Sms)); // and one file is missing
    // Root writes through any mode bits, so a child process gives up root first.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        chmod(appDir().c_str(), 0755);
        chmod((appDir() + "/data").c_str(), 0555);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        for (int code : {100, 101, 202, 301, 401, 601, 1001, 1204, 1501})
            request(code, "x");
        store::applyQueueNow();
        char page[10 * STORE_HISTORY_ROW] = {};
        const bool readersOk = GetHistoryAlarmDataBase(0, "2026-12-08", 1, page) == 0 &&
                               GetSmsDataBase("2026-12-08", 1, page) == -1;
        _exit(readersOk && store::queuedCount() == 0 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    chmod((appDir() + "/data").c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id"), (Rows{{"1"}}));
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 0);
    // Writable again: the missing file comes back with the next request.
    request(1001, "y");
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Sms, "sms_record"), 1);
}

// ---- the plug-in ----

TEST_F(StoreTest, PluginCreatesFilesTakesCallbacksAndWritesUntilStopped)
{
    std::filesystem::remove_all(appDir() + "/data");
    DriverInit(nullptr);
    for (auto f : store::kAllFiles)
        EXPECT_TRUE(platform::fileExists(store::dbPath(f))) << store::dbPath(f);
    store::setBatchPeriod(std::chrono::milliseconds(20));
    std::thread worker([] { DriverRun(nullptr); });
    EXPECT_EQ(DevCallback(card::kStoreServer, 209, nullptr, 0), 0);
    const char name[] = "web-user";
    DevCallback(card::kStoreServer, 1201, const_cast<char*>(name), sizeof name);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count(DbFile::Alarm, "history_alarm") < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    DriverStop(nullptr);
    worker.join();
    store::setBatchPeriod(std::chrono::milliseconds(2000));
    EXPECT_EQ(rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id"), (Rows{{"9"}}));
    EXPECT_EQ(rowsOf(DbFile::Alarm, "history_alarm", "Alarm_Id,Source"),
              (Rows{{"101", "web-user"}}));
    const std::string info = DLLInfo();
    EXPECT_EQ(info, std::string(DLLInfo()));
    EXPECT_NE(info.find(__DATE__), std::string::npos);
    EXPECT_EQ(info.rfind("  svc_store  module\n  Record store: databases, write queue, retention, "
                         "log readers\n  Version: V1.0\n  Last build:",
                         0),
              0u);
}
