/*
 * runtime_host.cpp - Host on top of the runtime (see runtime_host.h).
 */
#include "runtime_host.h"

#include "fieldcore.h"
#include "fieldcore.hpp"
#include "platform.hpp"

#include <cstdio>
#include <cstring>
#include <vector>

namespace mbslave
{

namespace
{
constexpr int kStoreServer = 4;
constexpr int kControlLogSize = 50;
constexpr int kCommandChannel = 0;
} // namespace

float RuntimeHost::value(int dev, int sig)
{
    return GetDevValue(dev, sig);
}

void RuntimeHost::setValue(int dev, int sig, float v)
{
    SetDevValue(dev, sig, v);
}

std::string RuntimeHost::settingText(const char* key, const char* def)
{
    return fieldcore::settingText(key, def);
}

int RuntimeHost::settingInt(const char* key, int def)
{
    return GetSettingi2(key, def);
}

void RuntimeHost::saveText(const char* key, const std::string& v)
{
    SaveSettings(key, v.c_str());
}

void RuntimeHost::saveInt(const char* key, int v)
{
    SaveSettingi(key, v);
}

void RuntimeHost::command(int n)
{
    postEvent(kCommandChannel, n, nullptr, 0);
}

void RuntimeHost::controlLog(int code, const std::string& text)
{
    // The store copies a fixed 50-byte record.
    char buf[kControlLogSize] = {};
    std::snprintf(buf, sizeof buf, "%s", text.c_str());
    DevCallback(kStoreServer, code, buf, kControlLogSize);
}

void RuntimeHost::devControl(int dev, const std::string& text)
{
    DevControl(dev, text.c_str());
}

void RuntimeHost::log(const std::string& line)
{
    AppLogOut("%s", line.c_str());
}

std::time_t RuntimeHost::now()
{
    return std::time(nullptr);
}

void RuntimeHost::setClock(const std::tm& t)
{
    char when[40];
    std::snprintf(when, sizeof when, "%04d.%02d.%02d-%02d:%02d:%02d", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    platform::runArgv({"date", "-s", when});
    platform::runArgv({"hwclock", "--systohc", "--utc"});
}

std::vector<std::string> listenHosts()
{
#ifdef CARDMON_DEVICE
    return {"::"};
#else
    if (platform::inSandbox()) return {"127.0.0.1", "::1"};
    return {"::"};
#endif
}

} // namespace mbslave
