/*
 * plugin.cpp - svc_alarm's entry points: the current-alarm pass every 2 s on
 * the runtime's thread, and the history worker every 1 s on a thread of its own.
 */
#include "alarm_core.hpp"

#include "fieldcore.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace
{

constexpr auto kCurrentPeriod = std::chrono::seconds(2);
constexpr auto kHistoryPeriod = std::chrono::seconds(1);
constexpr size_t kWorkerStack = 0x100000;

struct Task {
    svc_alarm::AlarmCore core;
    std::atomic<bool> exit{false};
    std::mutex m;
    std::condition_variable cv;

    // Sleeps for d unless the task is stopped first; false once stopped.
    bool wait(std::chrono::steady_clock::duration d)
    {
        std::unique_lock<std::mutex> lock(m);
        return !cv.wait_for(lock, d, [this] { return exit.load(); });
    }
};

Task g_task;

void* historyWorker(void* arg)
{
    auto* task = static_cast<Task*>(arg);
    setThreadName("svc_alarm_hist");
    while (task->wait(kHistoryPeriod)) {
        try {
            task->core.historyPass();
        } catch (...) {
            AppLogOut("[%s] history pass failed", __func__);
        }
    }
    // Episodes that ended just before the stop still get their rows.
    try {
        task->core.historyPass();
    } catch (...) {
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
        setThreadName("svc_alarm");
        pthread_t worker{};
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kWorkerStack);
        bool haveWorker = pthread_create(&worker, &attr, historyWorker, task) == 0;
        pthread_attr_destroy(&attr);
        if (!haveWorker) std::fprintf(stderr, "####pthread_create Server_Comm_Task ERROR ####\n\n");

        do {
            try {
                task->core.currentPass();
            } catch (...) {
                AppLogOut("[%s] alarm pass failed", __func__);
            }
        } while (task->wait(kCurrentPeriod));

        if (haveWorker) pthread_join(worker, nullptr);
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

char* DLLInfo(void)
{
    static char info[256];
    std::snprintf(info, sizeof info,
                  "svc_alarm: alarm episodes and sensor limit alarms\n"
                  "version 1.0\n"
                  "build %s %s",
                  __DATE__, __TIME__);
    return info;
}

} // extern "C"
