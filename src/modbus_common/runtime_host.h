/*
 * runtime_host.h - the Host of the Modbus slaves on the card: signals, settings,
 * events and logs through libfieldcore, the clock through the date and hwclock
 * programs (run without a shell, so no value is ever parsed by one).
 */
#pragma once

#include "host.h"

#include <string>
#include <vector>

namespace mbslave
{

class RuntimeHost : public Host
{
  public:
    float value(int dev, int sig) override;
    void setValue(int dev, int sig, float v) override;
    std::string settingText(const char* key, const char* def) override;
    int settingInt(const char* key, int def) override;
    void saveText(const char* key, const std::string& v) override;
    void saveInt(const char* key, int v) override;
    void command(int n) override;
    void controlLog(int code, const std::string& text) override;
    void devControl(int dev, const std::string& text) override;
    void log(const std::string& line) override;
    std::time_t now() override;
    void setClock(const std::tm& local) override;
};

// The addresses the listeners bind: "::" (both families) on the card; in a
// development sandbox only the loopback addresses.
std::vector<std::string> listenHosts();

} // namespace mbslave
