/*
 * data_core.hpp - the data and scheduling task's logic, apart from its threads.
 *
 * The supervision pass (every 5 s) applies changed serial settings to the
 * running ports, ends the program when the UPS model or address changes (the
 * launcher starts it again with the matching driver), watches the UPS link,
 * runs the one-off and weekly on/off schedules, the shutdown delays after
 * selected alarms and the automatic battery test, and keeps the total battery
 * voltage. The sampler (every 2 s) asks the store for UPS and sensor samples
 * and battery-test records. Channel-0 events become UPS command texts.
 *
 * Settings, signals, events, UPS commands, store requests, the clock, sleeps,
 * the log and the end of the process all go through the card::Runtime the core
 * is given, so tests run the logic on a card::FakeRuntime and a set clock. Only
 * the serial lines and the task's files are the card's own.
 */
#pragma once

#include "card_runtime.hpp"

#include <array>
#include <atomic>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svc_data
{

// Driver command numbers used here beside card::command's.
constexpr int kCmdRestart = 7;
constexpr int kCmdModelSetup = 150;
// How long the task waits for the driver's answer to a command it sent by
// itself: the port's queue, then up to three attempts on the line.
constexpr int kCommandWaitMs = 20000;

// ---- small parsers (bad text gives nullopt, never an exception) ----

// "HH:MM" (one or two hour digits) -> minute of the day.
std::optional<int> parseClock(std::string_view text);
struct Date {
    int year = 0, month = 0, day = 0;
    bool operator==(const Date&) const = default;
};
// "YYYY/MM/DD" with a real calendar day.
std::optional<Date> parseDate(std::string_view text);
// Whole decimal number, surrounding blanks allowed.
std::optional<long> parseInteger(std::string_view text);

// Local calendar helpers on top of the clock.
std::tm localTm(std::time_t t);
std::string minuteText(std::time_t t); // card::timeText without the seconds

// Days to move a date on weekday `from` forward to the next `target` weekday
// (0 = Sunday); 0 when it already is.
int daysToWeekday(int from, int target);
// Next automatic test after `last`: cycle weeks later, moved forward to the
// test weekday.
std::time_t nextTestTime(std::time_t last, int cycleWeeks, int weekday);

// Logs a bad setting value once (again only when the value changes).
class BadValueLog
{
  public:
    explicit BadValueLog(card::Runtime& rt) : rt_(rt) {}
    void bad(const std::string& key, const std::string& value);
    void good(const std::string& key);

  private:
    card::Runtime& rt_;
    std::mutex m_; // the sampler and the supervision pass both read settings
    std::map<std::string, std::string> seen_;
};

// ---- serial ports ----
struct PortConfig {
    int baud = 0, dataBits = 8, stopBits = 1, checkWay = 0;
};
struct PortChange {
    int op;    // CommControl operation
    int value; // new value
};
// Differences between the cached and the current parameters, in the order
// they are applied: baud, data bits, stop bits, check way.
std::vector<PortChange> portChanges(const PortConfig& cached, const PortConfig& current);

// ---- the task ----
class DataCore
{
  public:
    // appDir: where the task's files go (the card's app directory when empty).
    explicit DataCore(card::Runtime& rt = card::rt(), std::string appDir = {});

    void init();            // DriverInit: ups_lost 0, port cache, version files
    void start();           // DriverRun before the loop: remembered model, set-ups
    void supervisionPass(); // every 5 s
    void samplerPass();     // every 2 s on the sampling thread
    void onEvent(int channel, int eventType);

    // Pieces of the pass, public for tests.
    void applyPortSettings();
    bool checkModelChange(); // true when the process is being ended
    void linkWatch();
    bool oneOffSchedule();
    bool weeklySchedule();
    void alarmDelays();
    void automaticTest();
    // Withdraws "shutdown pending" (20021) once the entry that raised it no
    // longer leads to a shutdown within the warning time (edited, cleared,
    // schedules switched off).
    void checkPendingShutdown();
    void totalBatteryVoltage();
    void sensorSetup();
    void modelSetup();

    // A sensor set-up asked for by an event runs on the supervision thread.
    bool takeSensorSetupRequest();

    void writeVersionFiles();

  private:
    struct Schedule {
        bool onDone = false;
        bool offDone = false;
    };
    struct Delay {
        const char* select;
        int alarm;
        const char* minutes;
        bool running = false;
        std::time_t start = 0;
    };

    // Who raised "shutdown pending": the entry's off-time key, the off minute,
    // and for a one-off entry its date key and date.
    struct PendingShutdown {
        std::string offKey;
        int offMinute = 0;
        std::string dateKey;
        std::string date;
    };

    std::string path(const std::string& relative) const;
    std::string scheduleCommand(int cmd);
    // Sends a command the task decided on by itself and waits for the driver's
    // answer; a command the UPS did not take is written to the control log and
    // the application log as failed. True when the driver accepted it.
    bool sendCommand(const std::string& cmd, const std::string& what);
    bool scheduleEntry(Schedule& marks, const std::string& onKey, const std::string& offKey,
                       int nowMinute, std::optional<int> warnMinute, const char* restartLog,
                       const char* shutdownLog, const std::string& dateKey = {});
    void scheduledShutdown(Schedule& marks, const char* log);
    std::optional<int> clockSetting(const std::string& key, std::string& text);
    std::optional<long> intSetting(const char* key, long def);
    void saveTextIfChanged(const char* key, const std::string& value);
    void saveIntIfChanged(const char* key, int value);
    PortConfig readPort(const char* prefix, int defaultBaud);

    card::Runtime& rt_;
    std::string appDir_;
    BadValueLog badLog_{rt_};
    std::array<PortConfig, 3> ports_{}; // the UPS, sensor and modem lines
    int startUpsType_ = 0;
    int startUpsAddr_ = 1;
    std::time_t lastSeen_ = 0;
    Schedule weekly_, oneOff_;
    std::optional<PendingShutdown> pending_;
    std::vector<Delay> delays_;
    // sampler state
    bool samplerStarted_ = false;
    std::time_t lastSample_ = 0;
    bool testRunning_ = false;
    std::time_t testStart_ = 0;
    std::atomic<bool> sensorSetupWanted_{false};
};

} // namespace svc_data
