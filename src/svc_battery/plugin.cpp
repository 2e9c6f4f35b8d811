/*
 * plugin.cpp - svc_battery on the card's task shell: the estimator's 20 ms
 * loop on the runtime's thread, kept on a fixed beat so that its 5 s
 * publication and 60 s keeping hold in wall time; SOC, SOH and energy are
 * kept once more when the task stops.
 */
#include "battery_service.hpp"

#include "card_plugin.hpp"

#include <chrono>
#include <exception>
#include <string>

namespace
{

constexpr auto kBeat = std::chrono::milliseconds(svc_battery::kLoopMs);
// Behind by more than this (a stopped clock, a suspended process): start the
// beat afresh rather than run the missed loops back to back.
constexpr auto kMaxLag = std::chrono::seconds(1);

class BatteryTask : public card::Task
{
    void run() override
    {
        svc_battery::BatteryService service(card::rt());
        service.start();
        auto next = card::Clock::now();
        do {
            try {
                service.loop();
            } catch (const std::exception& e) {
                card::rt().log(std::string("[svc_battery] loop failed: ") + e.what());
            }
            next += kBeat;
            const auto now = card::Clock::now();
            if (now - next > kMaxLag) next = now;
        } while (wait(next - card::Clock::now()));
        service.keep();
    }
};

} // namespace

CARD_TASK(BatteryTask, "svc_battery",
          CARD_INFO("svc_battery", "battery state of charge, health and remaining time"))
