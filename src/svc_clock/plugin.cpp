/*
 * plugin.cpp - svc_clock on the card's task shell: the start time noted, then
 * the clock pass every second (clock_core.hpp).
 */
#include "clock_core.hpp"
#include "system.hpp"

#include "card_plugin.hpp"

#include <chrono>

namespace
{

class ClockTask : public card::Task
{
    void run() override
    {
        core_.start();
        every(std::chrono::seconds(1), "svc_clock", [this] { core_.pass(); });
    }

    svc_clock::CardSystem system_;
    svc_clock::ClockCore core_{card::rt(), system_};
};

} // namespace

CARD_TASK(ClockTask, "svc_clock",
          CARD_INFO("svc_clock", "clock sync, run time, restarts and Wake-on-LAN"))
