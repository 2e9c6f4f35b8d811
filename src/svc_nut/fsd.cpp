/*
 * fsd.cpp - the forced-shutdown latch: every server on the UPS is told to
 * shut down before the card itself switches the UPS off.
 *
 * The card switches the UPS off in four ways, and each is seen ahead:
 *   schedule       the data task raises Alarm_ShutdownPending "sche_bef_min"
 *                  minutes before a scheduled off-time: FSD at once.
 *   alarm delay    with "sel_down"/"sel_batlow"/"sel_overtemp"/"sel_overload"
 *                  the data task shuts the UPS down "down_time"... minutes
 *                  after the alarm appeared (and again every such period
 *                  while it lasts). The latch keeps its own countdown of each
 *                  selected alarm and raises FSD when the shutdown is due
 *                  within the lead: "sche_bef_min" minutes, at least one.
 *   imminent       Alarm_ShutdownImminent from the UPS or the data task
 *                  (right before a scheduled shutdown), unless a countdown
 *                  explains it that still has longer than the lead to run.
 *   commands       a command that switches the output off, posted on channel
 *                  0 by the web, SNMP, Modbus, SMS or this server, while the
 *                  data task carries remote commands out ("use_dev_fun2").
 * Once raised the flag stays while a cause lasts and kHold after the last,
 * long enough for every client polling at its usual period to see it.
 */
#include "nut.hpp"

#include "card_rules.hpp"

#include <algorithm>

namespace nut
{

void ForcedShutdown::observe(card::Runtime& r, Clock::time_point now)
{
    auto on = [&](int sig) { return r.value(card::kUps, sig) >= 0.5f; };
    if (on(Alarm_ShutdownPending)) cause("a scheduled shutdown is pending", now);

    const long long lead = std::max<long long>(
        ForcedShutdown::kMinimumLeadSeconds, 60LL * card::parseInt(r.text("sche_bef_min", "0"), 0));
    const bool delaysRun = r.integer("use_dev_fun3", 1) == 1;
    bool longCountdown = false;
    std::string due;
    {
        std::lock_guard hold(m_);
        for (Countdown& c : countdowns_) {
            // As the data task reads it: unset is no delay, text no countdown.
            const std::string text = r.text(c.minutes, "");
            const int minutes = text.empty() ? 0 : card::parseInt(text, -1);
            if (!delaysRun || !on(c.alarm) || r.integer(c.select, 0) != 1 || minutes < 0) {
                c.since.reset();
                continue;
            }
            if (!c.since) c.since = now;
            const long long left =
                60LL * minutes -
                std::chrono::duration_cast<std::chrono::seconds>(now - *c.since).count();
            if (left <= lead)
                due = std::string("a shutdown after alarm ") + c.select + " is due";
            else
                longCountdown = true;
        }
    }
    if (!due.empty()) cause(due, now);
    if (on(Alarm_ShutdownImminent) && !longCountdown) cause("the UPS output goes off", now);
}

void ForcedShutdown::commandPosted(card::Runtime& r, int code, Clock::time_point now)
{
    if (!switchesOutputOff(code) || r.integer("use_dev_fun2", 1) != 1) return;
    cause("command " + std::to_string(code) + " switches the output off", now);
}

void ForcedShutdown::raise(const std::string& why, Clock::time_point now)
{
    cause(why, now);
}

void ForcedShutdown::cause(const std::string& why, Clock::time_point now)
{
    std::lock_guard hold(m_);
    if (!last_ || now - *last_ > kHold) {
        news_ = true;
        why_ = why;
    }
    last_ = now;
}

bool ForcedShutdown::raised(Clock::time_point now) const
{
    std::lock_guard hold(m_);
    return last_ && now - *last_ <= kHold;
}

std::string ForcedShutdown::takeNews()
{
    std::lock_guard hold(m_);
    if (!news_) return "";
    news_ = false;
    return why_;
}

} // namespace nut
