/*
 * plugin.cpp - libmbrtu_slave: the Modbus RTU slave on the RS-485 line (port 3).
 *
 * The line is shared with the sensor modules and battery packs; the runtime's
 * port layer interleaves our reads and writes with their polling. The thread
 * waits for the line to become readable, reads what arrived, answers every
 * frame addressed to setting 485modbus_slave_addr and pauses 100 ms.
 */
#include "fieldcore.h"
#include "regmap.h"
#include "rtu_frame.h"
#include "runtime_host.h"

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

namespace
{

using namespace std::chrono_literals;

constexpr int kRtuPort = 3;
constexpr auto kWaitReadable = 10s;
constexpr auto kWaitSlice = 500ms; // so that a stop is noticed quickly
constexpr auto kRetryPause = 200ms;
constexpr auto kPassPause = 100ms;

std::atomic<bool> g_exit{false};
std::mutex g_lock;
std::thread g_thread;
char g_info[160];

void pause(std::chrono::milliseconds d)
{
    for (auto left = d; left > 0ms && !g_exit; left -= 50ms)
        std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(left, 50ms));
}

// Waits until fd is readable: 1 readable, 0 timed out (or stopping), -1 error.
int waitReadable(int fd)
{
    auto waited = 0ms;
    while (!g_exit && waited < kWaitReadable) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(kWaitSlice.count()));
        if (r > 0) return (p.revents & (POLLERR | POLLNVAL)) ? -1 : 1;
        if (r < 0) return -1;
        waited += kWaitSlice;
    }
    return 0;
}

void serve()
{
    setThreadName("mbrtu_slave");
    AppLogOut("serial modbus task start!");
    mbslave::RuntimeHost host;
    mbslave::RegisterMap map;
    uint8_t buf[mbslave::kRtuReadMax];
    while (!g_exit) {
        void* port = getPortHandle(kRtuPort);
        if (!port) {
            pause(1000ms);
            continue;
        }
        int fd = -1;
        CommControl(port, COMM_CTL_FD, &fd, 0);
        if (fd >= 0) {
            int r = waitReadable(fd);
            if (r < 0) std::printf("failed select\n");
            if (r <= 0) {
                pause(kRetryPause);
                continue;
            }
        }
        const int n = CommRead(port, buf, sizeof buf);
        if (n > 0) {
            std::span<const uint8_t> data(buf, static_cast<size_t>(n));
            mbslave::RtuContext ctx{host, map, host.settingInt("485modbus_slave_addr", 1)};
            for (auto [at, len] : mbslave::walkRtuBuffer(data)) {
                auto answer = mbslave::handleRtuFrame(data.subspan(at, len), ctx);
                if (!answer.empty())
                    CommWrite(port, answer.data(), static_cast<int>(answer.size()));
            }
        }
        pause(kPassPause);
    }
}

void serveGuarded()
{
    try {
        serve();
    } catch (...) {
        AppLogOut("[%s] serial modbus task ended by an error", __func__);
    }
}

} // namespace

extern "C" {

void* DriverInit(void* arg)
{
    return arg;
}

int DriverRun(void*)
{
    try {
        std::lock_guard lk(g_lock);
        if (g_thread.joinable()) return 0;
        g_exit = false;
        g_thread = std::thread(serveGuarded);
        return 0;
    } catch (...) {
        return -1;
    }
}

int DriverStop(void*)
{
    try {
        std::lock_guard lk(g_lock);
        g_exit = true;
        if (g_thread.joinable()) g_thread.join();
        return 0;
    } catch (...) {
        return -1;
    }
}

int EventFilter(int, int, void*, int)
{
    return 0;
}

char* DLLInfo(void)
{
    std::snprintf(g_info, sizeof g_info, "Modbus RTU slave V1.0\nbuilt %s %s\n", __DATE__,
                  __TIME__);
    return g_info;
}
}
