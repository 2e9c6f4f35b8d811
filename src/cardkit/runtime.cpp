/*
 * runtime.cpp - card::Runtime on top of libfieldcore's C interface, and the
 * switch that lets a unit test put a fake in its place.
 */
#include "card_runtime.hpp"

#include "fieldcore.h"
#include "fieldcore.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include <unistd.h>

namespace card
{

namespace
{

class FieldcoreRuntime final : public Runtime
{
  public:
    std::string text(const std::string& key, const std::string& def) override
    {
        return fieldcore::settingText(key.c_str(), def.c_str());
    }
    int integer(const std::string& key, int def) override { return GetSettingi2(key.c_str(), def); }
    void save(const std::string& key, const std::string& value) override
    {
        SaveSettings(key.c_str(), value.c_str());
    }
    float value(int dev, int sig) override { return GetDevValue(dev, sig); }
    void setValue(int dev, int sig, float v) override { SetDevValue(dev, sig, v); }
    void post(int channel, int code, void* data, int size) override
    {
        postEvent(channel, code, data, size);
    }
    int control(int dev, const std::string& text) override { return DevControl(dev, text.c_str()); }
    int controlWait(int dev, const std::string& text, int timeoutMs) override
    {
        return DevControlWait(dev, text.c_str(), timeoutMs);
    }
    int store(int code, const void* data, int size) override
    {
        return DevCallback(kStoreServer, code, const_cast<void*>(data), size);
    }
    std::time_t now() override { return std::time(nullptr); }
    void sleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    void setClock(const std::tm& t) override
    {
        // Numbers only reach the programs, as separate arguments: no shell.
        char when[40];
        std::snprintf(when, sizeof when, "%04d.%02d.%02d-%02d:%02d:%02d", t.tm_year + 1900,
                      t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        platform::runArgv({"date", "-s", when});
        platform::runArgv({"hwclock", "--systohc", "--utc"});
    }
    void log(const std::string& line) override { AppLogOut("%s", line.c_str()); }
    void controlLog(const std::string& line) override { ControlLogOut("%s", line.c_str()); }
    void exitProcess(int status) override
    {
        // What waits in the store's queue is written first: the control-log
        // row of the very action that ends the program is among it.
        DevCallback(kStoreServer, store::kFlush, nullptr, 0);
        std::fflush(nullptr);
        ::_exit(status);
    }
};

FieldcoreRuntime g_card;
Runtime* g_current = &g_card;

} // namespace

int Runtime::storeText(int code, const std::string& text)
{
    // The store keeps texts of up to kTextBytes including the terminator.
    std::vector<char> buf(store::kTextBytes, '\0');
    std::copy_n(text.begin(), std::min<std::size_t>(text.size(), buf.size() - 1), buf.begin());
    return store(code, buf.data(), static_cast<int>(buf.size()));
}

Runtime& rt()
{
    return *g_current;
}

Runtime& cardRuntime()
{
    return g_card;
}

ScopedRuntime::ScopedRuntime(Runtime& r) : previous_(g_current)
{
    g_current = &r;
}

ScopedRuntime::~ScopedRuntime()
{
    g_current = previous_;
}

} // namespace card
