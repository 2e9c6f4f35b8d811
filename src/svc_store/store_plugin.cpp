/*
 * store_plugin.cpp - svc_store's entry points: the plug-in registered as server 4.
 *
 * DriverInit creates missing database files and registers the request callback;
 * DriverRun first closes out the alarms left from before the restart, then
 * applies the queue every 2 s until DriverStop. No entry point lets an
 * exception out.
 */
#include "store.hpp"
#include "store_readers.h"

#include "fieldcore.h"
#include "platform.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>

#define STORE_EXPORT __attribute__((visibility("default")))

namespace store
{

namespace
{

std::atomic<bool> exitFlag{false};
std::mutex waitMutex;
std::condition_variable waitCv;
std::chrono::milliseconds batchPeriod{2000};
long long lastEnd = 0;

int storeCallback(int code, void* data, int size)
{
    try {
        return enqueue(code, data, size);
    } catch (...) {
        return -1;
    }
}

// Module description; the last line's blanks receive the build stamp.
char info[] = "  svc_store  module\n"
              "  Record store: databases, write queue, retention, log readers\n"
              "  Version: V1.0\n"
              "  Last build:\n"
              "                              \n";

} // namespace

void setBatchPeriod(std::chrono::milliseconds period)
{
    std::lock_guard lock(waitMutex);
    batchPeriod = period;
}

} // namespace store

using namespace store;

extern "C" {

STORE_EXPORT void* DriverInit(void* arg)
{
    try {
        exitFlag = false;
        platform::makeDirs(platform::appPath("/root/app/data"));
        lastEnd = lastEndFromSettings();
        createMissingDatabases();
        RegisterDevCallback(kStoreServer, storeCallback);
    } catch (const std::exception& e) {
        AppLogOut("[%s] %s", __func__, e.what());
    } catch (...) {
    }
    return arg;
}

STORE_EXPORT int DriverRun(void*)
{
    try {
        setThreadName("svc_store");
        closeOutOldAlarms(lastEnd);
        while (!exitFlag) {
            applyQueueNow();
            std::unique_lock lock(waitMutex);
            waitCv.wait_for(lock, batchPeriod, [] { return exitFlag.load(); });
        }
        // Whatever arrived before the stop is still written.
        applyQueueNow();
    } catch (const std::exception& e) {
        AppLogOut("[%s] %s", __func__, e.what());
        return -1;
    } catch (...) {
        return -1;
    }
    return 0;
}

STORE_EXPORT int DriverStop(void*)
{
    {
        std::lock_guard lock(waitMutex);
        exitFlag = true;
    }
    waitCv.notify_all();
    return 0;
}

STORE_EXPORT char* DLLInfo(void)
{
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%s %s\n", __DATE__, __TIME__);
    const size_t len = std::strlen(info);
    const size_t n = std::strlen(stamp);
    if (len > n + 1) {
        std::memcpy(info + len - n - 1, stamp, n);
        info[len - 1] = ' ';
    }
    return info;
}

} // extern "C"
