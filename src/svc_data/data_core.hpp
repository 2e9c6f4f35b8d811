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
 * Everything that touches time, the UPS command queue, sleeping or the end of
 * the process goes through Hooks, so tests run the logic on a faked clock.
 * Signals and settings go to the runtime's stores directly.
 */
#pragma once

#include <array>
#include <atomic>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svc_data
{

// Store requests made by this task.
constexpr int kStoreServer = 4;
constexpr int kStoreUpsSample = 100;
constexpr int kStoreSensorSample = 101;
constexpr int kStoreBatteryTest = 102;
constexpr int kStoreScheduleBase = 1400; // + command number, source "SCHEDULE"

// UPS command numbers used here.
constexpr int kCmdShutdown = 4;
constexpr int kCmdRestart = 7;
constexpr int kCmdModelSetup = 150;
constexpr int kEventSuspendPolling = 54;
constexpr int kEventResumePolling = 55;
constexpr int kEventSensorSetup = 51;
constexpr int kEventModelSetup = 53;
constexpr int kEventRestart = 3000;
constexpr int kLastRemoteCommand = 24;

constexpr int kUpsDevice = 60;
constexpr int kSensorDevice = 61;

struct Hooks {
    std::function<std::time_t()> now;                             // the clock seam
    std::function<int(int dev, const std::string& text)> control; // DevControl
    std::function<void(int ms)> sleepMs;
    std::function<void(int status)> exitProcess;
    std::function<bool()> upsAnswering; // the runtime's link state of device 60
};

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
std::string minuteText(std::time_t t); // "%04d-%02d-%02d %02d:%02d"

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
    void bad(const std::string& key, const std::string& value);
    void good(const std::string& key);

  private:
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
    explicit DataCore(Hooks hooks = {});

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
    void totalBatteryVoltage();
    void sensorSetup();
    void modelSetup();

    // A sensor set-up asked for by an event runs on the supervision thread.
    bool takeSensorSetupRequest();

    static void writeVersionFiles();

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

    std::time_t now() const;
    void control(int dev, const std::string& text);
    void sleepMs(int ms);
    void exitProcess(int status);
    void store(int code, const void* data = nullptr, int size = 0);
    std::string scheduleCommand(int cmd);
    bool scheduleEntry(Schedule& marks, const std::string& onKey, const std::string& offKey,
                       int nowMinute, std::optional<int> warnMinute, const char* restartLog,
                       const char* shutdownLog);
    void scheduledShutdown(Schedule& marks, const char* log);
    std::optional<int> clockSetting(const std::string& key, std::string& text);
    std::optional<long> intSetting(const char* key, long def);
    void saveTextIfChanged(const char* key, const std::string& value);
    void saveIntIfChanged(const char* key, int value);
    PortConfig readPort(const char* prefix, int defaultBaud);

    Hooks hooks_;
    BadValueLog badLog_;
    std::array<PortConfig, 3> ports_{}; // UPS (1), sensors (3), SMS (7)
    int startUpsType_ = 0;
    int startUpsAddr_ = 1;
    std::time_t lastSeen_ = 0;
    Schedule weekly_, oneOff_;
    std::vector<Delay> delays_;
    // sampler state
    bool samplerStarted_ = false;
    std::time_t lastSample_ = 0;
    bool testRunning_ = false;
    std::time_t testStart_ = 0;
    std::atomic<bool> sensorSetupWanted_{false};
};

} // namespace svc_data
