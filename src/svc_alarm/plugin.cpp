/*
 * plugin.cpp - svc_alarm on the card's task shell: the current-alarm pass
 * every 2 s on the runtime's thread, and the history worker every 1 s on a
 * thread of its own.
 */
#include "alarm_core.hpp"

#include "card_plugin.hpp"

#include <chrono>

namespace
{

constexpr auto kCurrentPeriod = std::chrono::seconds(2);
constexpr auto kHistoryPeriod = std::chrono::seconds(1);

class AlarmTask : public card::Task
{
    void init() override { core_.init(); }

    void run() override
    {
        spawn("svc_alarm_hist", [this] {
            every(kHistoryPeriod, "svc_alarm_hist", [this] { core_.historyPass(); });
            // Episodes that ended just before the stop still get their rows.
            core_.historyPass();
        });
        every(kCurrentPeriod, "svc_alarm", [this] { core_.currentPass(); });
    }

    svc_alarm::AlarmCore core_;
};

} // namespace

CARD_TASK(AlarmTask, "svc_alarm", CARD_INFO("svc_alarm", "alarm episodes and sensor limit alarms"))
