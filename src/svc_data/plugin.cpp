/*
 * plugin.cpp - svc_data's entry points: the supervision pass every 5 s on the
 * runtime's thread, the sampler every 2 s on a thread of its own, and the
 * channel-0 events in whichever thread posts them.
 */
#include "data_core.hpp"

#include "fieldcore.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace
{

constexpr auto kSupervisionPeriod = std::chrono::seconds(5);
constexpr auto kSamplerPeriod = std::chrono::seconds(2);
constexpr size_t kSamplerStack = 0x100000;

struct Task {
    svc_data::DataCore core;
    std::atomic<bool> exit{false};
    std::mutex m;
    std::condition_variable cv;
    bool woken = false;

    // Sleeps for d, or until stopped or woken; false once stopped.
    bool wait(std::chrono::steady_clock::duration d)
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, d, [this] { return exit.load() || woken; });
        woken = false;
        return !exit;
    }
    void wake()
    {
        {
            std::lock_guard<std::mutex> lock(m);
            woken = true;
        }
        cv.notify_all();
    }
};

Task g_task;

void* sampler(void* arg)
{
    auto* task = static_cast<Task*>(arg);
    setThreadName("svc_data_sample");
    // Its own sleep, so that wake-ups meant for the supervision pass do not
    // shorten the sampling period.
    while (!task->exit) {
        try {
            task->core.samplerPass();
        } catch (...) {
            AppLogOut("[%s] sampling pass failed", __func__);
        }
        std::unique_lock<std::mutex> lock(task->m);
        task->cv.wait_for(lock, kSamplerPeriod, [task] { return task->exit.load(); });
    }
    return nullptr;
}

} // namespace

extern "C" {

void* DriverInit(void* /*arg*/)
{
    try {
        g_task.exit = false;
        g_task.core.init();
    } catch (...) {
        AppLogOut("[%s] init failed", __func__);
    }
    return &g_task;
}

int DriverRun(void* arg)
{
    auto* task = arg ? static_cast<Task*>(arg) : &g_task;
    try {
        setThreadName("svc_data");
        pthread_t thread{};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kSamplerStack);
        const bool haveSampler = pthread_create(&thread, &attr, sampler, task) == 0;
        pthread_attr_destroy(&attr);
        if (!haveSampler)
            std::fprintf(stderr, "####pthread_create Server_Comm_Task ERROR ####\n\n");

        task->core.start();
        auto next = std::chrono::steady_clock::now();
        while (!task->exit) {
            if (task->core.takeSensorSetupRequest()) task->core.sensorSetup();
            const auto t = std::chrono::steady_clock::now();
            if (t >= next) {
                try {
                    task->core.supervisionPass();
                } catch (...) {
                    AppLogOut("[%s] supervision pass failed", __func__);
                }
                next = t + kSupervisionPeriod;
            }
            task->wait(next - std::chrono::steady_clock::now());
        }
        if (haveSampler) pthread_join(thread, nullptr);
    } catch (...) {
        AppLogOut("[%s] stopped by an error", __func__);
    }
    return 0;
}

int DriverStop(void* arg)
{
    auto* task = arg ? static_cast<Task*>(arg) : &g_task;
    {
        std::lock_guard<std::mutex> lock(task->m);
        task->exit = true;
    }
    task->cv.notify_all();
    return 0;
}

int EventFilter(int channel, int eventType, void* /*data*/, int /*size*/)
{
    if (channel != 0) return 0;
    try {
        g_task.core.onEvent(channel, eventType);
        if (eventType == svc_data::kEventSensorSetup) g_task.wake();
    } catch (...) {
        AppLogOut("[%s] event %d failed", __func__, eventType);
    }
    return 0;
}

char* DLLInfo(void)
{
    static char info[256];
    std::snprintf(info, sizeof info,
                  "svc_data: UPS link watch, schedules and UPS commands\n"
                  "version 1.0\n"
                  "build %s %s",
                  __DATE__, __TIME__);
    return info;
}

} // extern "C"
