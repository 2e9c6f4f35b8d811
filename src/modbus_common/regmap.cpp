/*
 * regmap.cpp - how signals and settings become registers, and how register
 * writes become settings, UPS commands and clock changes.
 *
 * The tables below list the map in address order; the refresh functions walk
 * them and skip entries outside the requested range.
 */
#include "regmap.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace mbslave
{

namespace
{

// ---------------------------------------------------------------- conversions

int32_t toI32(double v)
{
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

int intOf(float v)
{
    return toI32(v);
}

// Decimal text setting read as a number (the limits are kept as "25.0").
double settingNumber(Host& host, const char* key, const char* def)
{
    std::string t = host.settingText(key, def);
    return std::strtod(t.c_str(), nullptr);
}

std::string keyOf(const char* stem, int n)
{
    return stem + std::to_string(n);
}

bool inRange(int addr, int lo, int hi)
{
    return addr >= lo && addr < hi;
}

// ---------------------------------------------------------- discrete inputs

// A run of discrete inputs that copy bit 0 of consecutive UPS signals.
struct BitRun {
    int addr;
    int signal;
    int count;
};

constexpr BitRun kBitRuns[] = {
    {257, 20019, 1}, // communication lost
    {258, 20000, 14}, {272, 20014, 5}, {277, 20020, 8}, {285, 20029, 3}, {288, 20032, 2},
    {292, 20038, 4},  {297, 20042, 4}, {302, 20046, 2}, {304, 20048, 2}, {307, 20050, 4},
};
constexpr int kConstantOneBit = 290;
// Sensor k communicating: bit set while its lost flag is 0.
constexpr int kSensorLinkBits[4][2] = {{291, 20034}, {296, 20035}, {301, 20036}, {306, 20037}};

// ---------------------------------------------------------- input registers

enum class Conv {
    U,          // unsigned
    S,          // signed
    U10,        // x10, unsigned
    S10,        // x10, signed
    Pair,       // signed 32-bit hi/lo
    PairHalf,   // divided by 2, hi/lo
    PairOut,    // hi/lo, x1000 for ups_type 2, 4, 5, 7
    PairBypass, // hi/lo, x1000 for ups_type 7
};

struct InputRun {
    int addr;
    int signal;
    int count;
    Conv conv;
    int managedSignal; // replaces signal when battery management is on (0: none)
};

constexpr InputRun kInputRuns[] = {
    {257, 40101, 1, Conv::S, 0},        {258, 40102, 1, Conv::U, 0},
    {259, 40103, 1, Conv::U, 40120},    {260, 40104, 1, Conv::U, 40121},
    {261, 40119, 1, Conv::U10, 0},      {262, 40106, 1, Conv::S10, 0},
    {263, 40107, 1, Conv::U, 0},        {265, 40132, 1, Conv::U, 0},
    {266, 40133, 3, Conv::U, 0},        {269, 40136, 3, Conv::U10, 0},
    {272, 40139, 3, Conv::U10, 0},      {275, 40142, 3, Conv::Pair, 0},
    {281, 40161, 1, Conv::S, 0},        {282, 40162, 1, Conv::U10, 0},
    {283, 40163, 1, Conv::U, 0},        {284, 40164, 3, Conv::U, 0},
    {287, 40167, 3, Conv::U10, 0},      {290, 40170, 3, Conv::PairOut, 0},
    {296, 40173, 3, Conv::U, 0},        {299, 40191, 1, Conv::U10, 0},
    {300, 40192, 1, Conv::U, 0},        {301, 40193, 3, Conv::U, 0},
    {304, 40196, 3, Conv::U10, 0},      {307, 40199, 3, Conv::PairBypass, 0},
    {313, 30000, 1, Conv::U, 0},        {314, 30001, 1, Conv::U10, 0},
    {315, 30002, 1, Conv::U, 0},        {316, 30003, 1, Conv::U10, 0},
    {317, 30004, 1, Conv::PairHalf, 0}, {319, 30005, 1, Conv::Pair, 0},
    {321, 30006, 4, Conv::U, 0},        {353, 40239, 1, Conv::S, 0},
    {356, 40216, 7, Conv::S, 0},
};

bool isPair(Conv c)
{
    return c == Conv::Pair || c == Conv::PairHalf || c == Conv::PairOut || c == Conv::PairBypass;
}

// Sensor k: temperature at 325 + 7k, humidity at 326 + 7k (device 61).
constexpr int kSensorBase = 325;
constexpr int kSensorStride = 7;
constexpr int kSensorTemp = 40208;
constexpr int kSensorHum = 40212;

// Identification texts: 16 signals, one character each, packed in 8 registers.
struct SignalText {
    int addr;
    int signal;
};
constexpr SignalText kSignalTexts[] = {
    {513, 40000}, // manufacturer
    {529, 40016}, // model
    {561, 40032}, // UPS software version
    {593, 40080}, // attached devices
};
constexpr int kSignalTextChars = 16;

constexpr int kAgentVersionAddr = 625;
constexpr const char* kAgentVersion = "FW02K13";
constexpr int kNameAddr = 657;
constexpr int kLocationAddr = 689;
constexpr int kSettingTextChars = 32;

// Battery-pack variant: registers of the first pack (device 70).
struct PackRun {
    int addr;
    int signal;
    int count;
    bool tenthsOfInt; // integer part x10
};
constexpr PackRun kPackRuns[] = {
    {4096, 41000, 1, true},   {4097, 41001, 2, false},  {4101, 41005, 1, false},
    {4102, 41006, 1, true},   {4103, 41007, 14, false}, {4127, 41031, 1, true},
    {8192, 42000, 24, false}, {8216, 42024, 8, false},
};

void packText(std::vector<uint16_t>& regs, int addr, const std::string& text, int chars)
{
    for (int i = 0; i < chars; i += 2) {
        auto c0 = static_cast<uint8_t>(i < static_cast<int>(text.size()) ? text[i] : 0);
        auto c1 = static_cast<uint8_t>(i + 1 < static_cast<int>(text.size()) ? text[i + 1] : 0);
        regs[addr + i / 2] = static_cast<uint16_t>(c0 << 8 | c1);
    }
}

// ------------------------------------------------------------- clock writes

constexpr int kYearMin = 2013;
constexpr int kYearMax = 2099;

struct DateParts {
    int v[6]; // year, month, day, hour, minute, second
};

bool fieldValid(int field, int v)
{
    static constexpr int lo[6] = {kYearMin, 1, 1, 0, 0, 0};
    static constexpr int hi[6] = {kYearMax, 12, 31, 23, 59, 59};
    return v >= lo[field] && v <= hi[field];
}

void setClock(Host& host, const DateParts& d)
{
    std::tm t{};
    t.tm_year = d.v[0] - 1900;
    t.tm_mon = d.v[1] - 1;
    t.tm_mday = d.v[2];
    t.tm_hour = d.v[3];
    t.tm_min = d.v[4];
    t.tm_sec = d.v[5];
    t.tm_isdst = -1;
    host.setClock(t);
    long long runTime = host.settingInt("system_run_time", 0);
    host.saveInt("system_startup_time", static_cast<int>(host.now() - runTime));
}

DateParts localNow(Host& host)
{
    std::time_t now = host.now();
    std::tm t{};
    localtime_r(&now, &t);
    return {{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec}};
}

std::string format(const char* fmt, auto... args)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// Sensor limit writes at 30 + 6k .. 34 + 6k.
constexpr int kSensorLimitBase = 30;
constexpr int kSensorLimitStride = 6;
constexpr int kLimitMax = 1000;

void writeSensorLimit(Host& host, int sensor, int field, int v)
{
    const std::string temph = keyOf("in_temph", sensor);
    const std::string templ = keyOf("in_templ", sensor);
    const std::string humih = keyOf("in_humih", sensor);
    const std::string humil = keyOf("in_humil", sensor);
    if (field == 4) {
        if (v < 1 || v > 255) return;
        host.saveInt(keyOf("in_thaddr", sensor).c_str(), v);
        host.devControl(kSensorDev, format("%d,%d", sensor, v));
        return;
    }
    if (v > kLimitMax) return;
    // Temperatures travel as tenths of a degree offset by 20 degrees.
    const double value = field < 2 ? v * 0.1 - 20 : v * 0.1;
    const char* high = field < 2 ? temph.c_str() : humih.c_str();
    const char* low = field < 2 ? templ.c_str() : humil.c_str();
    const bool setsHigh = field == 0 || field == 2;
    double h = settingNumber(host, high, "0");
    double l = settingNumber(host, low, "0");
    // A high limit must stay above the low one and the other way round.
    if (setsHigh && value > l) {
        host.saveText(high, format("%.1f", value));
        h = value;
    } else if (!setsHigh && value < h) {
        host.saveText(low, format("%.1f", value));
        l = value;
    }
    static constexpr const char* kLogs[4] = {"TEMP(H) H: %f, L: %f", "TEMP(L) H: %f, L: %f",
                                             "HUM (H) H: %f, L: %f", "HUM (H) H: %f, L: %f"};
    host.log(format(kLogs[field], h, l));
}

// Commands sent by writing 65535 to registers 1..5.
struct CommandRegister {
    int addr;
    int command;
};
constexpr CommandRegister kCommandRegisters[] = {{1, 0}, {2, 2}, {3, 8}, {4, 3}, {5, 6}};
constexpr int kCommandValue = 65535;
constexpr int kModbusLogBase = 1300;

void sendCommand(Host& host, int n, const std::string& origin)
{
    host.command(n);
    host.controlLog(kModbusLogBase + n, origin);
}

bool upsTypeIsA(int t)
{
    return t == 4 || t == 5;
}

} // namespace

// ----------------------------------------------------------------- public

uint16_t toU16(float v)
{
    if (!(v > 0)) return 0;
    if (v >= 4294967295.0f) return 0xFFFF;
    return static_cast<uint16_t>(static_cast<uint32_t>(v) & 0xFFFF);
}

uint16_t toS16(float v)
{
    return static_cast<uint16_t>(static_cast<uint32_t>(toI32(v)) & 0xFFFF);
}

void toPair(float v, uint16_t* hiLo)
{
    auto u = static_cast<uint32_t>(toI32(v));
    hiLo[0] = static_cast<uint16_t>(u >> 16);
    hiLo[1] = static_cast<uint16_t>(u & 0xFFFF);
}

RegisterMap::RegisterMap(int inputCount)
    : func02_(kDiscreteCount), func03_(kHoldingCount),
      func04_(static_cast<size_t>(std::max(inputCount, kInputCount)))
{
}

void RegisterMap::refreshDiscrete(Host& host, int first, int count)
{
    const int lo = first, hi = first + count;
    for (const auto& run : kBitRuns)
        for (int i = 0; i < run.count; ++i)
            if (inRange(run.addr + i, lo, hi))
                func02_[run.addr + i] = intOf(host.value(kUpsDev, run.signal + i)) & 1;
    if (inRange(kConstantOneBit, lo, hi)) func02_[kConstantOneBit] = 1;
    bool anyLink = false;
    for (const auto& s : kSensorLinkBits)
        anyLink = anyLink || inRange(s[0], lo, hi);
    if (anyLink) {
        const bool inUse =
            host.settingInt("ths_enable", 0) == 1 && host.settingInt("use_dev_fun5", 1) == 1;
        for (const auto& s : kSensorLinkBits)
            if (inRange(s[0], lo, hi))
                func02_[s[0]] = inUse && intOf(host.value(kUpsDev, s[1])) == 0 ? 1 : 0;
    }
}

void RegisterMap::refreshHolding(Host& host, int first, int count)
{
    const int lo = first, hi = first + count;
    if (inRange(9, lo, hi)) func03_[9] = static_cast<uint16_t>(host.settingInt("ups_addr", 1));
    if (inRange(10, lo, hi)) {
        switch (host.settingInt("ups_baudRate", 2400)) {
        case 1200:
            func03_[10] = 1;
            break;
        case 2400:
            func03_[10] = 2;
            break;
        case 4800:
            func03_[10] = 3;
            break;
        case 9600:
            func03_[10] = 4;
            break;
        default:
            func03_[10] = 0;
            break;
        }
    }
    if (inRange(12, lo, hi)) {
        int way = host.settingInt("ups_checkway", 0);
        func03_[12] = way == 0 ? 0 : way == 1 ? 2 : 1;
    }
    if (inRange(13, lo, hi))
        func03_[13] = static_cast<uint16_t>(host.settingInt("ups_stopBits", 1) - 1);
    if (lo < 27 && hi > 21) {
        DateParts d = localNow(host);
        for (int i = 0; i < 6; ++i)
            func03_[21 + i] = static_cast<uint16_t>(d.v[i]);
    }
    for (int k = 0; k < 4; ++k) {
        const int base = kSensorLimitBase + kSensorLimitStride * k;
        if (lo >= base + 5 || hi <= base) continue;
        const int n = k + 1;
        // Whole degrees offset by 20 so that negative limits stay positive.
        func03_[base] = static_cast<uint16_t>(
            toI32(settingNumber(host, keyOf("in_templ", n).c_str(), "0")) + 20);
        func03_[base + 1] = static_cast<uint16_t>(
            toI32(settingNumber(host, keyOf("in_temph", n).c_str(), "0")) + 20);
        func03_[base + 2] =
            static_cast<uint16_t>(toI32(settingNumber(host, keyOf("in_humil", n).c_str(), "0")));
        func03_[base + 3] =
            static_cast<uint16_t>(toI32(settingNumber(host, keyOf("in_humih", n).c_str(), "0")));
        func03_[base + 4] =
            static_cast<uint16_t>(host.settingInt(keyOf("in_thaddr", n).c_str(), 0));
    }
}

void RegisterMap::refreshInput(Host& host, int first, int count)
{
    const int lo = first, hi = first + count;
    int upsType = -1;
    int managed = -1;
    for (const auto& run : kInputRuns) {
        const int width = isPair(run.conv) ? 2 : 1;
        if (run.addr >= hi || run.addr + width * run.count <= lo) continue;
        for (int i = 0; i < run.count; ++i) {
            int signal = run.signal + i;
            if (run.managedSignal) {
                if (managed < 0) managed = host.settingInt("battery_enable_type", 0) != 0;
                if (managed) signal = run.managedSignal + i;
            }
            const float v = host.value(kUpsDev, signal);
            uint16_t* reg = &func04_[run.addr + width * i];
            switch (run.conv) {
            case Conv::U:
                *reg = toU16(v);
                break;
            case Conv::S:
                *reg = toS16(v);
                break;
            case Conv::U10:
                *reg = toU16(v * 10.0f);
                break;
            case Conv::S10:
                *reg = toS16(v * 10.0f);
                break;
            case Conv::Pair:
                toPair(v, reg);
                break;
            case Conv::PairHalf:
                toPair(v / 2.0f, reg);
                break;
            case Conv::PairOut:
            case Conv::PairBypass: {
                if (upsType < 0) upsType = host.settingInt("ups_type", 0);
                const bool kilo = run.conv == Conv::PairOut ? (upsType == 2 || upsType == 4 ||
                                                               upsType == 5 || upsType == 7)
                                                            : upsType == 7;
                toPair(kilo ? v * 1000.0f : v, reg);
                break;
            }
            }
        }
    }
    for (int k = 0; k < 4; ++k) {
        const int base = kSensorBase + kSensorStride * k;
        if (base >= hi || base + 2 <= lo) continue;
        const int divisor =
            std::atoi(host.settingText(keyOf("temp_conver", k + 1).c_str(), "100").c_str());
        // A divisor of 0 (a bad setting) reads 0 rather than a division by zero.
        auto scaled = [&](int sig) {
            return divisor == 0 ? 0 : toU16(host.value(kSensorDev, sig) / divisor * 10.0f);
        };
        func04_[base] = scaled(kSensorTemp + k);
        func04_[base + 1] = scaled(kSensorHum + k);
    }
    for (const auto& t : kSignalTexts) {
        if (t.addr >= hi || t.addr + kSignalTextChars / 2 <= lo) continue;
        std::string text;
        for (int i = 0; i < kSignalTextChars; ++i)
            text.push_back(static_cast<char>(intOf(host.value(kUpsDev, t.signal + i)) & 0xFF));
        packText(func04_, t.addr, text, kSignalTextChars);
    }
    auto settingText = [&](int addr, const std::string& text) {
        if (addr < hi && addr + kSettingTextChars / 2 > lo)
            packText(func04_, addr, text.substr(0, kSettingTextChars), kSettingTextChars);
    };
    if (kAgentVersionAddr < hi && kAgentVersionAddr + kSettingTextChars / 2 > lo)
        packText(func04_, kAgentVersionAddr, kAgentVersion, kSettingTextChars);
    if (kNameAddr < hi && kNameAddr + kSettingTextChars / 2 > lo)
        settingText(kNameAddr, host.settingText("System_Name", ""));
    if (kLocationAddr < hi && kLocationAddr + kSettingTextChars / 2 > lo)
        settingText(kLocationAddr, host.settingText("System_Location", ""));
    if (inputCount() == kPackInputCount) refreshPack(host, lo, hi);
}

void RegisterMap::refreshPack(Host& host, int lo, int hi)
{
    for (const auto& run : kPackRuns) {
        if (run.addr >= hi || run.addr + run.count <= lo) continue;
        for (int i = 0; i < run.count; ++i) {
            float v = host.value(kFirstPackDev, run.signal + i);
            if (run.tenthsOfInt) v = std::trunc(v) * 10.0f;
            func04_[run.addr + i] = toS16(v);
        }
    }
}

void RegisterMap::appendDiscreteBits(int start, int quantity, std::vector<uint8_t>& out) const
{
    const int bytes = quantity <= 8 ? 1 : (quantity + 7) / 8;
    out.push_back(static_cast<uint8_t>(bytes));
    for (int i = 0; i < bytes; ++i) {
        uint8_t b = 0;
        for (int j = 0; j < 8; ++j) {
            const int n = 8 * i + j;
            if (n < quantity && (discrete(start + n) & 1)) b |= static_cast<uint8_t>(1 << j);
        }
        out.push_back(b);
    }
}

void RegisterMap::refreshAll(Host& host)
{
    refreshDiscrete(host, 0, kDiscreteCount);
    refreshHolding(host, 0, kHoldingCount);
    refreshInput(host, 0, inputCount());
}

// ----------------------------------------------------------------- writes

void writeSingle(Host& host, int addr, uint16_t value, const std::string& origin)
{
    const int v = value;
    for (const auto& c : kCommandRegisters) {
        if (c.addr == addr) {
            if (v == kCommandValue) sendCommand(host, c.command, origin);
            return;
        }
    }
    const int upsType = addr == 7 || addr == 8 ? host.settingInt("ups_type", 0) : 0;
    switch (addr) {
    case 6: // discharge test minutes
        if (v < 100) {
            host.saveInt("in_tast1", v);
            sendCommand(host, 1, origin);
        }
        return;
    case 7: // shutdown delay, seconds
        if (v < 12 || v > 600) return;
        if (upsType == 2) {
            host.saveInt("in_tast15", v > 60 ? v / 60 : 1);
            sendCommand(host, 15, origin);
        } else if (upsTypeIsA(upsType)) {
            sendCommand(host, 4, origin);
        } else {
            host.saveInt("in_tast23", v);
            sendCommand(host, 23, origin);
        }
        return;
    case 8: // restart delay, minutes
        if (v < 1 || v > 9999) return;
        if (upsType == 2) {
            host.saveInt("in_tast16", v);
            sendCommand(host, 16, origin);
        } else if (upsTypeIsA(upsType)) {
            sendCommand(host, 7, origin);
        }
        return;
    case 9:
        if (v >= 1 && v <= 247) host.saveInt("ups_addr", v);
        return;
    case 10: {
        static constexpr int kBauds[] = {1200, 2400, 4800, 9600};
        if (v >= 1 && v <= 4) host.saveInt("ups_baudRate", kBauds[v - 1]);
        return;
    }
    case 12: {
        static constexpr int kWays[] = {0, 2, 1};
        if (v <= 2) host.saveInt("ups_checkway", kWays[v]);
        return;
    }
    case 13:
        if (v <= 1) host.saveInt("ups_stopBits", v + 1);
        return;
    default:
        break;
    }
    if (addr >= 21 && addr <= 26) {
        const int field = addr - 21;
        if (!fieldValid(field, v)) return;
        host.log(format("Set Time:%d", addr));
        DateParts d = localNow(host);
        d.v[field] = v;
        setClock(host, d);
        return;
    }
    if (addr >= kSensorLimitBase && addr < kSensorLimitBase + 4 * kSensorLimitStride) {
        const int k = (addr - kSensorLimitBase) / kSensorLimitStride;
        const int field = (addr - kSensorLimitBase) % kSensorLimitStride;
        if (field < 5) {
            writeSensorLimit(host, k + 1, field, v);
            return;
        }
    }
    if (addr >= 1 && addr <= 53) host.log(format("startAddr : %d value : %d", addr, v));
}

void writeMultiple(Host& host, int start, std::span<const uint16_t> regs, const std::string& origin)
{
    if (start == 7) {
        if (regs.size() < 2) return;
        const int r0 = regs[0], r1 = regs[1];
        if (r0 < 12 || r0 > 600 || r1 < 1 || r1 > 9999) return;
        host.log(format("func 0x10:StartAddr:%d,value:%d,value1:%d", start, r0, r1));
        if (host.settingInt("ups_type", 0) == 2) {
            host.saveInt("in_tast15", r0 > 60 ? r0 / 60 : 1);
            sendCommand(host, 15, origin);
            host.saveInt("in_tast16", r1);
            sendCommand(host, 16, origin);
        } else {
            host.saveInt("in_tast23", r0);
            host.saveInt("in_tast5", r1);
            sendCommand(host, 24, origin);
        }
        return;
    }
    if (start == 21) {
        static constexpr int kTimeSignals[6] = {40501, 40502, 40503, 40504, 40505, 40506};
        const size_t n = std::min<size_t>(regs.size(), 6);
        DateParts d{};
        bool valid = n == 6;
        for (size_t i = 0; i < n; ++i) {
            host.log(format("func 0x10:i:%d,value:%d", static_cast<int>(i), regs[i]));
            host.setValue(kUpsDev, kTimeSignals[i], regs[i]);
            d.v[i] = regs[i];
            valid = valid && fieldValid(static_cast<int>(i), regs[i]);
        }
        if (!valid) return;
        if (host.settingInt("ups_type", 0) == 2)
            host.devControl(kUpsDev, format("%d,%d,%d,%d,%d,%d,%d", 56, d.v[0], d.v[1], d.v[2],
                                            d.v[3], d.v[4], d.v[5]));
        setClock(host, d);
    }
}

} // namespace mbslave
