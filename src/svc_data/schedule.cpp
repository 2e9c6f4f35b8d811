/*
 * schedule.cpp - what the task does to the UPS on a timetable: the one-off and
 * weekly on/off schedules, the shutdown delays after selected alarms and the
 * periodic automatic battery test.
 *
 * Passes repeat every 5 s, so each schedule keeps "done in this minute" marks:
 * an entry acts once in its minute and the marks clear on the first pass whose
 * minute no longer matches.
 */
#include "data_core.hpp"

#include <cstdio>

namespace svc_data
{

namespace
{

constexpr int kWeekSeconds = 604800;
constexpr int kEntries = 7;

std::string key(const char* format, int n)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, format, n);
    return buf;
}

std::string dateText(const std::tm& tm, const char* format)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, format, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

} // namespace

std::string DataCore::scheduleCommand(int cmd)
{
    return std::to_string(cmd) + "," + rt_.text("in_tast1") + "," + rt_.text("in_tast5");
}

bool DataCore::sendCommand(const std::string& cmd, const std::string& what)
{
    const int result = rt_.controlWait(card::kUps, cmd, kCommandWaitMs);
    if (result > 0) return true;
    const std::string line =
        what + " failed: " +
        (result < 0 ? "no answer from the UPS port in time" : "the UPS did not accept it") +
        " (command " + cmd + ")";
    rt_.controlLog(line);
    rt_.log("[svc_data] " + line);
    return false;
}

// Empty times are unused entries; anything else that is not a clock time is
// logged once and never matches.
std::optional<int> DataCore::clockSetting(const std::string& k, std::string& text)
{
    text = rt_.text(k);
    if (text.empty()) return std::nullopt;
    auto v = parseClock(text);
    if (v)
        badLog_.good(k);
    else
        badLog_.bad(k, text);
    return v;
}

void DataCore::scheduledShutdown(Schedule& marks, const char* log)
{
    if (marks.offDone) return;
    rt_.setValue(card::kUps, Alarm_ShutdownImminent, 1);
    rt_.setValue(card::kUps, Alarm_ShutdownPending, 0);
    rt_.sleepMs(1000);
    pending_.reset();
    rt_.store(card::store::kControlSchedule + card::command::kShutdown);
    sendCommand(scheduleCommand(card::command::kShutdown), log);
    rt_.setValue(card::kUps, Alarm_ShutdownImminent, 0);
    rt_.log(log);
    marks.offDone = true;
}

// One schedule entry against the current minute. Returns true when the entry
// owns this minute (acted now or earlier in it).
bool DataCore::scheduleEntry(Schedule& marks, const std::string& onKey, const std::string& offKey,
                             int nowMinute, std::optional<int> warnMinute, const char* restartLog,
                             const char* shutdownLog, const std::string& dateKey)
{
    std::string text;
    if (auto on = clockSetting(onKey, text); on && *on == nowMinute) {
        if (!marks.onDone) {
            sendCommand(scheduleCommand(kCmdRestart), restartLog);
            rt_.store(card::store::kControlSchedule + kCmdRestart);
            rt_.log(restartLog);
            marks.onDone = true;
        }
        return true;
    }
    if (auto off = clockSetting(offKey, text)) {
        if (*off == nowMinute) {
            scheduledShutdown(marks, shutdownLog);
            return true;
        }
        if (warnMinute && *off == *warnMinute) {
            rt_.setValue(card::kUps, Alarm_ShutdownPending, 1);
            pending_ = PendingShutdown{offKey, *off, dateKey,
                                       dateKey.empty() ? std::string() : rt_.text(dateKey)};
        }
    }
    return false;
}

void DataCore::checkPendingShutdown()
{
    if (!pending_) return;
    const std::time_t t = rt_.now();
    const std::tm tm = localTm(t);
    const int nowMinute = tm.tm_hour * 60 + tm.tm_min;
    std::string why;
    std::string text;
    const auto off = clockSetting(pending_->offKey, text);
    const auto before = intSetting("sche_bef_min", 0);
    const int ahead = off ? (*off - nowMinute + 24 * 60) % (24 * 60) : 0;
    if (rt_.integer("use_dev_fun3", 1) != 1)
        why = "schedules switched off";
    else if (!off || *off != pending_->offMinute)
        why = pending_->offKey + " changed";
    else if (!pending_->dateKey.empty() && rt_.text(pending_->dateKey) != pending_->date)
        why = pending_->dateKey + " changed";
    else if (ahead == 0 || !before || ahead > *before)
        why = "the shutdown is no longer due within the warning time";
    if (why.empty()) return;
    rt_.setValue(card::kUps, Alarm_ShutdownPending, 0);
    rt_.log("[svc_data] shutdown pending withdrawn: " + why);
    pending_.reset();
}

// Minute of the day at which a shutdown due now + sche_bef_min would fall.
static std::optional<int> warningMinute(std::time_t t, std::optional<long> before)
{
    if (!before || *before < 0 || *before > 24 * 60) return std::nullopt;
    std::tm w = localTm(t + *before * 60);
    return w.tm_hour * 60 + w.tm_min;
}

bool DataCore::oneOffSchedule()
{
    const std::time_t t = rt_.now();
    const std::tm tm = localTm(t);
    const int nowMinute = tm.tm_hour * 60 + tm.tm_min;
    const auto warn = warningMinute(t, intSetting("sche_bef_min", 0));
    const Date today{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};

    for (int i = 1; i <= kEntries; ++i) {
        const std::string dk = key("ssched_d%d", i);
        const std::string dt = rt_.text(dk);
        if (dt.empty()) continue;
        auto date = parseDate(dt);
        if (!date) {
            badLog_.bad(dk, dt);
            continue;
        }
        badLog_.good(dk);
        if (!(*date == today)) continue;
        if (scheduleEntry(oneOff_, key("ssched_on%d", i), key("ssched_off%d", i), nowMinute, warn,
                          "Special_Time:Restart UPS", "Special_Time:shutdown UPS", dk))
            return true;
    }
    oneOff_ = Schedule{};
    return false;
}

bool DataCore::weeklySchedule()
{
    const std::time_t t = rt_.now();
    const std::tm tm = localTm(t);
    const int nowMinute = tm.tm_hour * 60 + tm.tm_min;
    const auto warn = warningMinute(t, intSetting("sche_bef_min", 0));
    const int entry = tm.tm_wday + 1; // 1 = Sunday

    if (scheduleEntry(weekly_, key("sched_on%d", entry), key("sched_off%d", entry), nowMinute, warn,
                      "Week_Time:Restart UPS", "Week_Time:shutdown UPS"))
        return true;
    weekly_ = Schedule{};
    return false;
}

void DataCore::alarmDelays()
{
    const std::time_t t = rt_.now();
    bool anyRunning = false;
    bool stopped = false;
    for (Delay& d : delays_) {
        const bool alarm = rt_.value(card::kUps, d.alarm) == 1.0f;
        const bool selected = rt_.integer(d.select) == 1;
        auto minutes = intSetting(d.minutes, 0);
        if (!alarm || !selected || !minutes || *minutes < 0) {
            // The alarm is gone (or the switch-off no longer wanted): forget the countdown.
            stopped = stopped || d.running;
            d.running = false;
            d.start = 0;
            continue;
        }
        if (!d.running) {
            d.running = true;
            d.start = t;
            rt_.setValue(card::kUps, Alarm_ShutdownImminent, 1);
        }
        if (t < d.start) // the clock went backwards
            d.start = t;
        if ((t - d.start) / 60 >= *minutes) {
            rt_.store(card::store::kControlSchedule + card::command::kShutdown);
            sendCommand(scheduleCommand(card::command::kShutdown),
                        std::string("shutdown after alarm ") + std::to_string(d.alarm));
            rt_.setValue(card::kUps, Alarm_ShutdownImminent, 0);
            d.start = t;
            rt_.sleepMs(1000);
        }
        anyRunning = true;
    }
    // A countdown that ended without a shutdown must not leave "shutdown
    // imminent" standing for good.
    if (stopped && !anyRunning) rt_.setValue(card::kUps, Alarm_ShutdownImminent, 0);
}

void DataCore::automaticTest()
{
    const std::time_t t = rt_.now();
    const std::tm tm = localTm(t);

    auto cycle = intSetting("cycleTime", 0);
    auto weekday = intSetting("config_test_weekly", 0);
    if (!cycle || *cycle < 1 || *cycle > 520) {
        badLog_.bad("cycleTime", rt_.text("cycleTime"));
        return;
    }
    if (!weekday || *weekday < 0 || *weekday > 6) {
        badLog_.bad("config_test_weekly", rt_.text("config_test_weekly"));
        return;
    }
    std::string timeText;
    auto testMinute = clockSetting("config_test_time", timeText);

    // Where the last test lies: the next one is cycle weeks later, on the test weekday.
    const long last = rt_.integer("ups_auto_test_last_time");
    bool firstRun = true;
    std::string nextDate;
    if (last != 0 && t >= last) {
        std::tm next = localTm(nextTestTime(last, static_cast<int>(*cycle), *weekday));
        nextDate = dateText(next, "%04d-%02d-%02d");
        saveTextIfChanged("ups_auto_test_next_time", nextDate + " " + timeText);
        firstRun = false;
    } else {
        saveTextIfChanged("ups_auto_test_cur_time", "");
        saveTextIfChanged("ups_auto_test_next_time", "");
        saveIntIfChanged("ups_auto_test_last_time", 0);
    }

    if (tm.tm_wday != *weekday || !testMinute || *testMinute != tm.tm_hour * 60 + tm.tm_min) return;
    if (!firstRun && dateText(tm, "%04d-%02d-%02d") != nextDate) return;

    static const int kTypes[] = {0, 2, 1}; // config_test_type -> UPS test command
    const long configured = rt_.integer("config_test_type");
    if (configured >= 0 && configured <= 2) {
        const int type = kTypes[configured];
        rt_.store(card::store::kControlSchedule + type);
        sendCommand(std::to_string(type) + "," + rt_.text("config_test_pre_time") + "," +
                        rt_.text("in_tast5"),
                    "automatic battery test");
    } else {
        badLog_.bad("config_test_type", rt_.text("config_test_type"));
    }
    saveTextIfChanged("ups_auto_test_cur_time", minuteText(t));
    saveTextIfChanged("ups_auto_test_next_time",
                      minuteText(t + static_cast<std::time_t>(*cycle) * kWeekSeconds));
    saveIntIfChanged("ups_auto_test_last_time", static_cast<int>(t));
}

} // namespace svc_data
