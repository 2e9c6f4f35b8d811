// A test task: records every event it is given, one "channel code" line per
// event, in data/events-<pid-independent name>.log, and answers store-style
// callbacks on server 9. An event on channel 66 raises the signal named by its
// code, so tests can watch the crash handler.
#include "fieldcore.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace
{
std::atomic<bool> stopFlag{false};

std::string myName()
{
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&myName), &info);
    std::string path = info.dli_fname ? info.dli_fname : "libunknown.so";
    auto slash = path.rfind('/');
    return path.substr(slash + 4, path.size() - slash - 7); // lib<name>.so
}
} // namespace

extern "C" {

void* DriverInit(void*)
{
    return nullptr;
}

int DriverRun(void*)
{
    while (!stopFlag)
        usleep(50000);
    return 0;
}

int DriverStop(void*)
{
    stopFlag = true;
    return 0;
}

int EventFilter(int channel, int eventType, void*, int)
{
    if (channel == 66) // lets a test crash the card on purpose
        raise(eventType);
    std::string path = "data/events-" + myName() + ".log";
    if (FILE* f = std::fopen(path.c_str(), "a")) {
        std::fprintf(f, "%d %d\n", channel, eventType);
        std::fclose(f);
    }
    return 0;
}

char* DLLInfo(void)
{
    static char info[] = "test plug-in\n";
    return info;
}
}
