/*
 * fake_host.h - a Host that keeps signals and settings in maps and records
 * every command, log, control and clock change, for the Modbus unit tests.
 */
#pragma once

#include "host.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace mbslave
{

class FakeHost : public Host
{
  public:
    std::map<std::pair<int, int>, float> signals;
    std::map<std::string, std::string> settings;
    std::vector<int> commands;
    std::vector<std::pair<int, std::string>> controlLogs;
    std::vector<std::pair<int, std::string>> controls;
    std::vector<std::string> logs;
    std::vector<std::tm> clocks;
    std::time_t fixedNow = 1700000000; // 2023-11-14, a valid year for the clock writes

    float value(int dev, int sig) override
    {
        auto it = signals.find({dev, sig});
        return it == signals.end() ? 0.0f : it->second;
    }
    void setValue(int dev, int sig, float v) override { signals[{dev, sig}] = v; }
    std::string settingText(const char* key, const char* def) override
    {
        auto it = settings.find(key);
        return it == settings.end() ? def : it->second;
    }
    int settingInt(const char* key, int def) override
    {
        auto it = settings.find(key);
        return it == settings.end() ? def : std::atoi(it->second.c_str());
    }
    void saveText(const char* key, const std::string& v) override { settings[key] = v; }
    void saveInt(const char* key, int v) override { settings[key] = std::to_string(v); }
    void command(int n) override { commands.push_back(n); }
    void controlLog(int code, const std::string& text) override
    {
        controlLogs.emplace_back(code, text);
    }
    void devControl(int dev, const std::string& text) override { controls.emplace_back(dev, text); }
    void log(const std::string& line) override { logs.push_back(line); }
    std::time_t now() override { return fixedNow; }
    void setClock(const std::tm& t) override { clocks.push_back(t); }

    void setText(int dev, int base, const std::string& text)
    {
        for (int i = 0; i < 16; ++i)
            signals[{dev, base + i}] = i < static_cast<int>(text.size()) ? text[i] : 0;
    }
    bool touchedAnything() const
    {
        return !commands.empty() || !controlLogs.empty() || !controls.empty() || !clocks.empty();
    }
};

} // namespace mbslave
