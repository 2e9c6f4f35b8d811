/*
 * plugin.cpp - svc_data on the card's task shell: the supervision pass every
 * 5 s on the runtime's thread, the sampler every 2 s on a thread of its own,
 * and the channel-0 events in whichever thread posts them.
 *
 * A sensor set-up event wakes the supervision thread at once to send the
 * set-up commands; the pass itself keeps its own 5 s rhythm, and the sampler
 * sleeps through such wake-ups.
 */
#include "data_core.hpp"

#include "card_plugin.hpp"

#include <chrono>
#include <exception>
#include <functional>
#include <string>

namespace
{

constexpr auto kSupervisionPeriod = std::chrono::seconds(5);
constexpr auto kSamplerPeriod = std::chrono::seconds(2);

// Runs one piece of work; a failure is logged and the loop goes on.
void guarded(const char* what, const std::function<void()>& work)
{
    try {
        work();
    } catch (const std::exception& e) {
        card::rt().log(std::string("[svc_data] ") + what + " failed: " + e.what());
    } catch (...) {
        card::rt().log(std::string("[svc_data] ") + what + " failed");
    }
}

class DataTask : public card::Task
{
    void init() override { core_.init(); }

    void run() override
    {
        spawn("svc_data_sample", [this] {
            do
                guarded("sampling pass", [this] { core_.samplerPass(); });
            while (pause(kSamplerPeriod));
        });

        core_.start();
        auto next = card::Clock::now();
        do {
            if (core_.takeSensorSetupRequest())
                guarded("sensor set-up", [this] { core_.sensorSetup(); });
            if (const auto t = card::Clock::now(); t >= next) {
                guarded("supervision pass", [this] { core_.supervisionPass(); });
                next = t + kSupervisionPeriod;
            }
        } while (wait(next - card::Clock::now()));
    }

    void event(int channel, int code, void*, int) override
    {
        if (channel != card::channel::kCommand) return;
        core_.onEvent(channel, code);
        if (code == card::event::kSensorSetup) wake();
    }

    svc_data::DataCore core_;
};

} // namespace

CARD_TASK(DataTask, "svc_data", CARD_INFO("svc_data", "UPS link watch, schedules and UPS commands"))
