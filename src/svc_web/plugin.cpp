/*
 * plugin.cpp - the web plug-in's entry points: the runtime starts the server
 * thread through DriverRun, which then keeps the periodic IPv6 upkeep going.
 */
#include "web.hpp"

#include "fieldcore.h"
#include "platform.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace web
{
std::atomic<bool> g_stop{false};
}

namespace
{

constexpr int kResetFactoryEvent = 260;
constexpr int kIpv6UpkeepSeconds = 60;
constexpr size_t kInfoSize = 338;

char g_info[kInfoSize];

void fillInfo()
{
    std::memset(g_info, ' ', sizeof g_info);
    const char* text = "Torvix module\n"
                       "Purpose: web data exchange (pages, settings, logs, firmware)\n"
                       "Version: V1.0\n"
                       "Developed: 2019.08.02\n"
                       "Modified: 2019.08.02\n"
                       "Author: card firmware team\n"
                       "Modifier: card firmware team\n"
                       "Last build: ";
    std::memcpy(g_info, text, std::strlen(text));
    char stamp[40];
    int n = std::snprintf(stamp, sizeof stamp, "%s %s\n ", __DATE__, __TIME__);
    std::memcpy(g_info + kInfoSize - 1 - n, stamp, static_cast<size_t>(n));
    g_info[kInfoSize - 1] = '\0';
}

} // namespace

extern "C" {

void* DriverInit(void* arg)
{
    try {
        web::g_stop = false;
        SaveSettings("update_version", "");
        SaveSettingi("update_size", 0);
        platform::makeDirs(platform::appPath("/root/app/Update"));
    } catch (...) {
        AppLogOut("[%s] failed", __func__);
    }
    return arg ? arg : g_info;
}

int DriverRun(void*)
{
    try {
        setThreadName("svc_web");
        std::thread server([] {
            try {
                web::webServer();
            } catch (...) {
                AppLogOut("[webServer] stopped by an error");
            }
        });
        auto last = std::chrono::steady_clock::now();
        while (!web::g_stop) {
            for (int i = 0; i < 20 && !web::g_stop; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            auto t = std::chrono::steady_clock::now();
            if (t - last > std::chrono::seconds(kIpv6UpkeepSeconds)) {
                web::proc_ipv6_route_discovery();
                last = t;
            }
        }
        server.join();
    } catch (...) {
        AppLogOut("[%s] failed", __func__);
    }
    return 0;
}

int DriverStop(void*)
{
    web::g_stop = true;
    return 0;
}

int EventFilter(int devId, int eventType, void*, int)
{
    try {
        if (devId == 0 && eventType == kResetFactoryEvent) web::RestoreFactorySettings();
    } catch (...) {
        AppLogOut("[%s] factory reset failed", __func__);
    }
    return 0;
}

char* DLLInfo(void)
{
    fillInfo();
    return g_info;
}

} // extern "C"
