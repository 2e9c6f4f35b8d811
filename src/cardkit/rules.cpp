/*
 * rules.cpp - the shared rules of card_rules.hpp.
 */
#include "card_rules.hpp"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <string>

namespace card
{

int parseInt(std::string_view text, int def)
{
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return def;
    int v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) return def;
    return v;
}

int sensorDivisorOf(std::string_view text)
{
    const int d = parseInt(text, 1);
    return d > 0 ? d : 1;
}

int sensorDivisor(Runtime& r, int n)
{
    return sensorDivisorOf(r.text("temp_conver" + std::to_string(n), "100"));
}

float sensorTemperature(Runtime& r, int n)
{
    return r.value(kSensors, Data_temperature_1 + n - 1) / static_cast<float>(sensorDivisor(r, n));
}

float sensorHumidity(Runtime& r, int n)
{
    return r.value(kSensors, Data_humidity_1 + n - 1) / static_cast<float>(sensorDivisor(r, n));
}

bool sensorAnswering(Runtime& r, int n)
{
    return r.value(kSensors, Alarm_TH1_CommunicationsLost + n - 1) == 0;
}

int upsType(Runtime& r)
{
    return r.integer("ups_type", 0);
}

int outputPowerScale(int t)
{
    return t == 2 || t == 4 || t == 5 || t == 7 ? 1000 : 1;
}

int bypassPowerScale(int t)
{
    return t == 7 ? 1000 : 1;
}

bool batteryVoltagePerBlock(int t)
{
    return t == 0 || t == 8;
}

float batteryVoltage(Runtime& r)
{
    const float v = r.value(kUps, Data_BatteryVoltage);
    if (!batteryVoltagePerBlock(upsType(r))) return v;
    return v * static_cast<float>(r.integer("battery_sections_number", 16));
}

std::string timeText(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string durationText(long long seconds)
{
    if (seconds < 0) seconds = 0;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return buf;
}

std::string signalText(Runtime& r, int dev, int base, int count)
{
    std::string s;
    for (int k = 0; k < count; ++k) {
        const int c = r.intValue(dev, base + k);
        if (c <= 0) break;
        s += static_cast<char>(c & 0xff);
    }
    return s;
}

} // namespace card
