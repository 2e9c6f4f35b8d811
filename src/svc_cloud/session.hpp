/*
 * session.hpp - the cloud link's logic: when each report goes out, and what
 * each command of the platform does.
 *
 * The session owns no socket. The plug-in's MQTT loop (plugin.cpp) calls it
 * on the link's events - connected (CONNACK), closed, a message, and a timer
 * every second - and the session answers through a Link: publish, subscribe,
 * unsubscribe, disconnect. Settings, signals, logs, the clock and the end of
 * the process go through card::Runtime, so the whole schedule of reports and
 * every command runs in unit tests against card::FakeRuntime and a recording
 * link.
 *
 * Triggers:
 *   connected      communication state 1, device, serial line, system, all
 *                  alarms, then a data report;
 *   every second   after ReportTimeInterval seconds a data report (and the
 *                  other data after ResetTimeCheckTime); a change of ups_lost
 *                  (back: device information and all alarms) and a data
 *                  report; an alarm row that changed: alarm change and power
 *                  reports; every 60 ticks the change report; signal 0:3001:
 *                  leave (state 0, unsubscribe, disconnect);
 *   update result  the result report, and the reboot after the card's own
 *                  successful update.
 */
#pragma once

#include "card_runtime.hpp"
#include "update.hpp"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace cloud
{

class Link
{
  public:
    virtual ~Link() = default;
    virtual void publish(const std::string& topic, const std::string& message) = 0;
    virtual void subscribe(const std::string& topic, int mid) = 0;
    virtual void unsubscribe(const std::string& topic, int mid) = 0;
    virtual void disconnect() = 0;
};

// What the session asks of the card beyond the runtime.
struct Hooks {
    std::function<void()> reboot;                  // the system's reboot
    std::function<int(int type)> uploadLog;        // log upload: 0 success
    std::function<std::string()> mac;              // the card's MAC as 12 hex digits
    std::function<void()> refreshMemory;           // "memUse" from the system
    std::function<void(int ms)> pause;             // between rows of a data report
    std::function<std::int16_t()> timezoneMinutes; // the head's time zone
};

constexpr const char* kCommandPrefix = "Cmd/OPRIX/igCollector";
constexpr int kLinkAlarmSeconds = 20;
constexpr int kChangeTicks = 60;
constexpr int kDefaultTimezone = 480;

std::string commandTopic();
std::string deviceCommandTopic(card::Runtime& rt);
std::string stateTopic(card::Runtime& rt);
std::string reportTopic(card::Runtime& rt);

class Session
{
  public:
    Session(card::Runtime& rt, Link& link, UpdateQueue& updates, Hooks hooks);

    // The loop starts: flags and remembered tables cleared.
    void begin();
    // Once per loop pass: the cloud-failure alarm follows the link.
    void watch(bool connected);
    // CONNACK with its return code.
    void connected(int rc);
    void closed();
    // The one-second timer and the steps that follow it.
    void second();
    void message(std::string_view topic, std::string_view payload);
    void updateResult(const UpdateResult& r);

    bool isConnected() const { return connected_; }
    // The will: communication state 0 on the state topic.
    std::string willTopic() { return stateTopic(rt_); }
    std::string willMessage();

  private:
    void send(const std::string& topic, const std::string& payload);
    void report(const std::string& payload) { send(reportTopic(rt_), payload); }
    void sendState(bool up);
    void sendData();
    void sendAllAlarms();
    void sendDevice();
    void sendSerial();
    void sendSystem();
    void sendOtherData();
    void identityReports(); // device, serial line, system, all alarms
    void leaveIfAsked();    // signal 0:3001: state 0, unsubscribe, disconnect
    std::uint32_t stamp();

    void command(std::string_view body);
    void dataRequest(int type);
    void timeCheck(std::string_view body);
    void connectInfo(std::string_view body);
    void updateOrder(std::string_view body);
    void lineChange(std::string_view body);
    void passThrough(std::string_view body);

    card::Runtime& rt_;
    Link& link_;
    UpdateQueue& updates_;
    Hooks hooks_;

    bool connected_ = false;
    std::time_t lastUp_ = 0;
    std::time_t lastReport_ = 0;
    int ticks_ = 0;
    bool otherDue_ = false, dataDue_ = false;
    int lastLost_ = 0;
    std::vector<int> lastAlarm_;
    std::vector<long long> lastData_;
};

} // namespace cloud
