// A test task: records every event it is given, one "channel code" line per
// event, in data/events-<library name>.log. An event on channel 66 raises the
// signal named by its code, so tests can watch the crash handler.
#include "card_plugin.hpp"

#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <string>

namespace
{

std::string myName()
{
    Dl_info info{};
    dladdr(reinterpret_cast<void*>(&myName), &info);
    std::string path = info.dli_fname ? info.dli_fname : "libunknown.so";
    auto slash = path.rfind('/');
    return path.substr(slash + 4, path.size() - slash - 7); // lib<name>.so
}

class EventRecorder : public card::Task
{
    void run() override
    {
        while (wait(std::chrono::seconds(1))) {
        }
    }
    void event(int channel, int code, void*, int) override
    {
        if (channel == 66) raise(code); // lets a test crash the card on purpose
        if (FILE* f = std::fopen(("data/events-" + myName() + ".log").c_str(), "a")) {
            std::fprintf(f, "%d %d\n", channel, code);
            std::fclose(f);
        }
    }
};

} // namespace

CARD_TASK(EventRecorder, "testplug", CARD_INFO("testplug", "test plug-in"))
