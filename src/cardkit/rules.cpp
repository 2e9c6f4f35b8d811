/*
 * rules.cpp - the shared rules of card_rules.hpp.
 */
#include "card_rules.hpp"

#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
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

const char* hardwareVersion(Runtime& r)
{
    return r.integer("is_mem_64M", 0) == 1 ? kHardwareVersion64M : kHardwareVersion32M;
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

std::time_t alarmStart(Runtime& r, int index)
{
    const float high = r.value(kCard, kAlarmStartHigh + index);
    const float low = r.value(kCard, kAlarmStartLow + index);
    if (high > 0 && high < 65536 && low >= 0 && low < 65536)
        return static_cast<std::time_t>(static_cast<std::int64_t>(high) << 16 |
                                        static_cast<std::int64_t>(low));
    // Only the UPS's float signal is there (a writer that predates the pair).
    const float approx = r.value(kUps, ALARM_TIME_BASE + index);
    return std::isfinite(approx) && approx > 0 ? static_cast<std::time_t>(approx) : 0;
}

void setAlarmStart(Runtime& r, int index, std::time_t start)
{
    const std::int64_t t = start > 0 ? static_cast<std::int64_t>(start) : 0;
    // The low half first and the high half last when stamping, the other way
    // round when clearing: a reader never sees a high half without its low one.
    if (t) {
        r.setValue(kCard, kAlarmStartLow + index, static_cast<float>(t & 0xffff));
        r.setValue(kCard, kAlarmStartHigh + index, static_cast<float>(t >> 16));
    } else {
        r.setValue(kCard, kAlarmStartHigh + index, 0);
        r.setValue(kCard, kAlarmStartLow + index, 0);
    }
    r.setValue(kUps, ALARM_TIME_BASE + index, static_cast<float>(t));
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

namespace
{

// An address as 16 bytes: IPv4 (also IPv4-mapped IPv6) in the first four.
struct Address {
    bool v4 = false;
    std::array<unsigned char, 16> bytes{};
};

bool parseAddress(std::string_view text, Address& out)
{
    std::string t(text);
    if (const auto pct = t.find('%'); pct != std::string::npos) t.resize(pct); // IPv6 zone
    in_addr a4{};
    in6_addr a6{};
    if (inet_pton(AF_INET, t.c_str(), &a4) == 1) {
        out.v4 = true;
        std::memcpy(out.bytes.data(), &a4, 4);
        return true;
    }
    if (inet_pton(AF_INET6, t.c_str(), &a6) != 1) return false;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
        out.v4 = true;
        std::memcpy(out.bytes.data(), &a6.s6_addr[12], 4);
    } else {
        out.v4 = false;
        std::memcpy(out.bytes.data(), &a6, 16);
    }
    return true;
}

bool samePrefix(const Address& a, const Address& b, int bits)
{
    for (int i = 0; bits > 0; ++i, bits -= 8) {
        const unsigned mask = bits >= 8 ? 0xffu : (0xffu << (8 - bits)) & 0xffu;
        if ((a.bytes[i] & mask) != (b.bytes[i] & mask)) return false;
    }
    return true;
}

// "a.b.c.d" with starred or missing trailing fields against an IPv4 address.
bool fieldsMatch(std::string_view filter, const Address& a)
{
    if (!a.v4) return false;
    int field = 0;
    size_t pos = 0;
    while (pos <= filter.size()) {
        size_t dot = filter.find('.', pos);
        if (dot == std::string_view::npos) dot = filter.size();
        const std::string_view f = filter.substr(pos, dot - pos);
        if (field == 4) return false; // a fifth field
        if (f.empty()) {
            // only a final "." may leave a field empty ("192.168.1.")
            if (dot != filter.size() || field == 0 || pos != filter.size()) return false;
            break;
        }
        if (f != "*") {
            if (f.size() > 3) return false;
            int v = 0;
            for (char c : f) {
                if (c < '0' || c > '9') return false;
                v = v * 10 + (c - '0');
            }
            if (v > 255 || a.bytes[field] != v) return false;
        }
        ++field;
        pos = dot + 1;
    }
    return field > 0;
}

} // namespace

bool addressMatches(std::string_view filter, std::string_view address)
{
    while (!filter.empty() && std::isspace(static_cast<unsigned char>(filter.front())))
        filter.remove_prefix(1);
    while (!filter.empty() && std::isspace(static_cast<unsigned char>(filter.back())))
        filter.remove_suffix(1);
    if (filter.empty()) return false;
    if (filter == "*" || filter == "*.*.*.*") return true;
    Address a;
    if (!parseAddress(address, a)) return false;
    if (const size_t slash = filter.find('/'); slash != std::string_view::npos) {
        Address net;
        if (!parseAddress(filter.substr(0, slash), net) || net.v4 != a.v4) return false;
        const int bits = parseInt(filter.substr(slash + 1), -1);
        if (bits < 0 || bits > (a.v4 ? 32 : 128) ||
            filter.substr(slash + 1).find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        return samePrefix(net, a, bits);
    }
    if (filter.find(':') != std::string_view::npos) {
        Address one;
        return parseAddress(filter, one) && one.v4 == a.v4 && one.bytes == a.bytes;
    }
    return fieldsMatch(filter, a);
}

// ---- time servers and zones ----

namespace
{

constexpr std::array<const char*, kTimeServerCount> kTimeServers = {
    "pool.ntp.org",         "time.nist.gov",
    "time.windows.com",     "time.google.com",
    "time.cloudflare.com",  "ntp.aliyun.com",
    "ntp1.aliyun.com",      "ntp.tencent.com",
    "cn.pool.ntp.org",      "asia.pool.ntp.org",
    "europe.pool.ntp.org",  "north-america.pool.ntp.org",
    "oceania.pool.ntp.org", "south-america.pool.ntp.org",
    "africa.pool.ntp.org",  "0.pool.ntp.org",
    "1.pool.ntp.org",       "2.pool.ntp.org",
    "3.pool.ntp.org",       "time.apple.com",
    "time.euro.apple.com",  "ntp.ubuntu.com",
    "time-a-g.nist.gov",    "time-b-g.nist.gov",
    "ptbtime1.ptb.de",      "ntp.nict.jp",
    "time.nrc.ca",          "ntp.ntsc.ac.cn",
    "stdtime.gov.hk",       "tick.usno.navy.mil",
};

// Zones with daylight saving (A) and without (B), by "ntimezone".
constexpr std::array<const char*, 33> kZonesA = {
    "GMT+12:00", "GMT+11:00", "GMT+10:00", "GMT+9:00",  "GMT+8:00", "GMT+7:00", "GMT+6:00",
    "GMT+5:00",  "GMT+4:00",  "GMT+3:30",  "GMT+3:00",  "GMT+2:00", "GMT+1:00", "GMT-0:00",
    "GMT-1:00",  "GMT-2:00",  "GMT-3:00",  "GMT-3:30",  "GMT-4:00", "GMT-4:30", "GMT-5:00",
    "GMT-5:30",  "GMT-5:45",  "GMT-6:00",  "GMT-6:30",  "GMT-7:00", "GMT-8:00", "GMT-9:00",
    "GMT-9:30",  "GMT-10:00", "GMT-11:00", "GMT-12:00", "GMT-13:00"};
constexpr std::array<const char*, 33> kZonesB = {
    "GMT+11:00", "GMT+10:00", "GMT+9:00",  "GMT+8:00",  "GMT+7:00", "GMT+6:00", "GMT+5:00",
    "GMT+4:00",  "GMT+3:00",  "GMT+2:30",  "GMT+2:00",  "GMT+1:00", "GMT-0:00", "GMT-1:00",
    "GMT-2:00",  "GMT-3:00",  "GMT-4:00",  "GMT-4:30",  "GMT-5:00", "GMT-5:30", "GMT-6:00",
    "GMT-6:30",  "GMT-6:45",  "GMT-7:00",  "GMT-7:30",  "GMT-8:00", "GMT-9:00", "GMT-10:00",
    "GMT-10:30", "GMT-11:00", "GMT-12:00", "GMT-13:00", "GMT-14:00"};

bool isLabelChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
}

} // namespace

const char* timeServer(int index)
{
    if (index < 0 || index >= kTimeServerCount) return nullptr;
    return kTimeServers[static_cast<size_t>(index)];
}

std::string timeServerName(Runtime& r)
{
    // Both settings are read as atoi reads them (leading digits).
    if (std::atoi(r.text("sel_server").c_str()) != 0) return r.text("otherser");
    const char* name = timeServer(std::atoi(r.text("time_select").c_str()));
    return name ? name : "";
}

const char* timeZoneName(int zone, bool dst)
{
    if (zone < 0 || zone >= static_cast<int>(kZonesA.size())) return nullptr;
    return (dst ? kZonesA : kZonesB)[static_cast<size_t>(zone)];
}

const char* timeZoneIn(std::string_view text)
{
    for (const auto* table : {&kZonesA, &kZonesB})
        for (const char* z : *table)
            if (text.find(z) != std::string_view::npos) return z;
    return nullptr;
}

bool isHostOrAddress(std::string_view text)
{
    if (text.empty() || text.size() > 253) return false;
    const std::string s(text);
    unsigned char buf[16];
    if (inet_pton(AF_INET, s.c_str(), buf) == 1 || inet_pton(AF_INET6, s.c_str(), buf) == 1)
        return true;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t dot = text.find('.', pos);
        if (dot == std::string_view::npos) dot = text.size();
        const std::string_view label = text.substr(pos, dot - pos);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return dot == text.size() && pos == text.size() && pos > 0; // one final dot
        for (char c : label)
            if (!isLabelChar(c)) return false;
        pos = dot + 1;
    }
    return true;
}

} // namespace card
