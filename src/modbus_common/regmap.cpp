/*
 * regmap.cpp - how signals and settings become registers, and how register
 * writes become settings, UPS commands and clock changes.
 *
 * The tables below list the map in address order; the refresh functions walk
 * them and skip entries outside the requested range. Values that other
 * interfaces show too (sensor readings, power in W, the firmware version) come
 * through the card's shared rules, so a master reads what the web page shows.
 */
#include "regmap.h"

#include "card_rules.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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
double settingNumber(card::Runtime& rt, const std::string& key, const char* def)
{
    return std::strtod(rt.text(key, def).c_str(), nullptr);
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
    {257, Alarm_CommunicationsLost, 1}, {258, Alarm_BatteryBad, 14}, // .. Alarm_UpsOutputOff
    {272, Alarm_UpsSystemOff, 5},  // .. Alarm_DiagnosticTestFailed
    {277, Alarm_AwaitingPower, 8}, // .. Alarm_BatteryBoostCharge
    {285, Alarm_BatterySwitch, 3}, // .. Alarm_OutputSwitch
    {288, Alarm_BypassSwitch, 2},  // and Alarm_UpsType
    {292, Alarm_TH1_Temp_Hi, 4},   // .. Alarm_TH1_Hum_Lo
    {297, Alarm_TH2_Temp_Hi, 4},   // .. Alarm_TH2_Hum_Lo
    {302, Alarm_TH3_Temp_Hi, 2},   // and Alarm_TH3_Temp_Lo
    {304, Alarm_TH3_Hum_Hi, 2},    // and Alarm_TH3_Hum_Lo
    {307, Alarm_TH4_Temp_Hi, 4},   // .. Alarm_TH4_Hum_Lo
};
constexpr int kConstantOneBit = 290;
// Sensor k communicating: bit set while its lost flag (of the UPS device) is 0.
struct SensorLinkBit {
    int addr;
    int lostSignal;
};
constexpr SensorLinkBit kSensorLinkBits[card::kSensorModules] = {
    {291, Alarm_TH1_CommunicationsLost},
    {296, Alarm_TH2_CommunicationsLost},
    {301, Alarm_TH3_CommunicationsLost},
    {306, Alarm_TH4_CommunicationsLost},
};

// ---------------------------------------------------------- input registers

enum class Conv {
    U,          // unsigned
    S,          // signed
    U10,        // x10, unsigned
    S10,        // x10, signed
    Pair,       // signed 32-bit hi/lo
    PairHalf,   // divided by 2, hi/lo
    PairOut,    // hi/lo, in W (card::outputPowerScale)
    PairBypass, // hi/lo, in W (card::bypassPowerScale)
};

struct InputRun {
    int addr;
    int signal;
    int count;
    Conv conv;
    int managedSignal; // replaces signal when battery management is on (0: none)
};

constexpr InputRun kInputRuns[] = {
    {257, Data_BatteryStatus, 1, Conv::S, 0},
    {258, Data_SecondsOnBattery, 1, Conv::U, 0},
    {259, Data_EstimatedMinutesRemaining, 1, Conv::U, Data_BatteryManageTime},
    {260, Data_EstimatedChargeRemaining, 1, Conv::U, Data_BatteryManageSoc},
    {261, Data_TotalBatteryVoltage, 1, Conv::U10, 0},
    {262, Data_BatteryCurrent, 1, Conv::S10, 0},
    {263, Data_BatteryTemperature, 1, Conv::U, 0},
    {265, Data_InputNumLines, 1, Conv::U, 0},
    {266, Data_InputVoltage_A, 3, Conv::U, 0},
    {269, Data_InputCurrent_A, 3, Conv::U10, 0},
    {272, Data_InputFrequency_A, 3, Conv::U10, 0},
    {275, Data_InputTruePower_A, 3, Conv::Pair, 0},
    {281, Data_OutputSource, 1, Conv::S, 0},
    {282, Data_OutputFrequency, 1, Conv::U10, 0},
    {283, Data_OutputNumLines, 1, Conv::U, 0},
    {284, Data_OutputVoltage_A, 3, Conv::U, 0},
    {287, Data_OutputCurrent_A, 3, Conv::U10, 0},
    {290, Data_OutputPower_A, 3, Conv::PairOut, 0},
    {296, Data_OutputPercentLoad_A, 3, Conv::U, 0},
    {299, Data_BypassFrequency, 1, Conv::U10, 0},
    {300, Data_BypassNumLines, 1, Conv::U, 0},
    {301, Data_BypassVoltage_A, 3, Conv::U, 0},
    {304, Data_BypassCurrent_A, 3, Conv::U10, 0},
    {307, Data_BypassPower_A, 3, Conv::PairBypass, 0},
    {313, Sys_ConfigInputVoltage, 1, Conv::U, 0},
    {314, Sys_ConfigInputFreq, 1, Conv::U10, 0},
    {315, Sys_ConfigOutputVoltage, 1, Conv::U, 0},
    {316, Sys_ConfigOutputFreq, 1, Conv::U10, 0},
    {317, Sys_ConfigOutputVA, 1, Conv::PairHalf, 0},
    {319, Sys_ConfigOutputPower, 1, Conv::Pair, 0},
    {321, Sys_sConfigLowBattTime, 4, Conv::U, 0}, // .. Sys_ConfigHighVoltageTransferPoint
    {353, Data_UpsWorkMode, 1, Conv::S, 0},
    {356, Data_energyflow_line1, 7, Conv::S, 0},
};

bool isPair(Conv c)
{
    return c == Conv::Pair || c == Conv::PairHalf || c == Conv::PairOut || c == Conv::PairBypass;
}

// Sensor module n = k + 1: temperature at 325 + 7k, humidity at 326 + 7k, in
// tenths of the shown value.
constexpr int kSensorBase = 325;
constexpr int kSensorStride = 7;

// Identification texts: 16 signals, one character each, packed in 8 registers.
struct SignalText {
    int addr;
    int signal;
};
constexpr SignalText kSignalTexts[] = {
    {513, Data_IdentManufacturer},
    {529, Data_upsIdentModel},
    {561, Data_UPSSoftwareVersion},
    {593, Data_AttachedDevices},
};

constexpr int kAgentVersionAddr = 625;
constexpr int kNameAddr = 657;
constexpr int kLocationAddr = 689;
constexpr int kSettingTextChars = 32;

// Battery-pack variant: registers of the first pack.
constexpr int kFirstPack = card::kPackBase;
struct PackRun {
    int addr;
    int signal;
    int count;
    bool tenthsOfInt; // integer part x10
};
constexpr PackRun kPackRuns[] = {
    {4096, Data_bms_cbms_total_voltage, 1, true},
    {4097, Data_bms_cbms_charge_and_discharge_status, 2, false},
    {4101, Data_bms_cbms_circuit_breaker_switching_state, 1, false},
    {4102, Data_bms_cbms_current, 1, true},
    {4103, Data_bms_cbms_soc, 14, false}, // .. lowest cell voltage module
    {4127, Data_bms_cbms_negative_half_cluster_current, 1, true},
    {8192, Data_bms_mod1_cell_volt1, 24, false},
    {8216, Data_bms_mod1_temp1, 8, false},
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

void setClock(card::Runtime& rt, const DateParts& d)
{
    std::tm t{};
    t.tm_year = d.v[0] - 1900;
    t.tm_mon = d.v[1] - 1;
    t.tm_mday = d.v[2];
    t.tm_hour = d.v[3];
    t.tm_min = d.v[4];
    t.tm_sec = d.v[5];
    t.tm_isdst = -1;
    rt.setClock(t);
    long long runTime = rt.integer("system_run_time", 0);
    rt.saveInt("system_startup_time", static_cast<int>(rt.now() - runTime));
}

DateParts localNow(card::Runtime& rt)
{
    std::time_t now = rt.now();
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

void writeSensorLimit(card::Runtime& rt, int sensor, int field, int v)
{
    if (field == 4) {
        if (v < 1 || v > 255) return;
        rt.saveInt(keyOf("in_thaddr", sensor), v);
        rt.control(card::kSensors, format("%d,%d", sensor, v));
        return;
    }
    if (v > kLimitMax) return;
    // Temperatures travel as tenths of a degree offset by 20 degrees.
    const double value = field < 2 ? v * 0.1 - 20 : v * 0.1;
    const std::string high = keyOf(field < 2 ? "in_temph" : "in_humih", sensor);
    const std::string low = keyOf(field < 2 ? "in_templ" : "in_humil", sensor);
    const bool setsHigh = field == 0 || field == 2;
    double h = settingNumber(rt, high, "0");
    double l = settingNumber(rt, low, "0");
    // A high limit must stay above the low one and the other way round.
    if (setsHigh && value > l) {
        rt.save(high, format("%.1f", value));
        h = value;
    } else if (!setsHigh && value < h) {
        rt.save(low, format("%.1f", value));
        l = value;
    }
    static constexpr const char* kLogs[4] = {"TEMP(H) H: %f, L: %f", "TEMP(L) H: %f, L: %f",
                                             "HUM (H) H: %f, L: %f", "HUM (H) H: %f, L: %f"};
    rt.log(format(kLogs[field], h, l));
}

// Commands sent by writing 65535 to registers 1..5.
struct CommandRegister {
    int addr;
    int command;
};
constexpr CommandRegister kCommandRegisters[] = {{1, 0}, {2, 2}, {3, 8}, {4, 3}, {5, 6}};
constexpr int kCommandValue = 65535;
constexpr int kRestartCommand = 7;
constexpr int kUpsClockCommand = 56; // control text of the UPS's own clock

// A UPS command for the data task, and its row in the control log.
void sendCommand(card::Runtime& rt, int n, const std::string& origin)
{
    rt.command(n);
    rt.storeText(card::store::kControlModbus + n, origin);
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

void RegisterMap::refreshDiscrete(card::Runtime& rt, int first, int count)
{
    const int lo = first, hi = first + count;
    for (const auto& run : kBitRuns)
        for (int i = 0; i < run.count; ++i)
            if (inRange(run.addr + i, lo, hi))
                func02_[run.addr + i] = intOf(rt.value(card::kUps, run.signal + i)) & 1;
    if (inRange(kConstantOneBit, lo, hi)) func02_[kConstantOneBit] = 1;
    bool anyLink = false;
    for (const auto& s : kSensorLinkBits)
        anyLink = anyLink || inRange(s.addr, lo, hi);
    if (anyLink) {
        const bool inUse = rt.integer("ths_enable", 0) == 1 && rt.integer("use_dev_fun5", 1) == 1;
        for (const auto& s : kSensorLinkBits)
            if (inRange(s.addr, lo, hi))
                func02_[s.addr] = inUse && intOf(rt.value(card::kUps, s.lostSignal)) == 0 ? 1 : 0;
    }
}

void RegisterMap::refreshHolding(card::Runtime& rt, int first, int count)
{
    const int lo = first, hi = first + count;
    if (inRange(9, lo, hi)) func03_[9] = static_cast<uint16_t>(rt.integer("ups_addr", 1));
    if (inRange(10, lo, hi)) {
        switch (rt.integer("ups_baudRate", 2400)) {
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
        int way = rt.integer("ups_checkway", 0);
        func03_[12] = way == 0 ? 0 : way == 1 ? 2 : 1;
    }
    if (inRange(13, lo, hi)) func03_[13] = static_cast<uint16_t>(rt.integer("ups_stopBits", 1) - 1);
    if (lo < 27 && hi > 21) {
        DateParts d = localNow(rt);
        for (int i = 0; i < 6; ++i)
            func03_[21 + i] = static_cast<uint16_t>(d.v[i]);
    }
    for (int k = 0; k < card::kSensorModules; ++k) {
        const int base = kSensorLimitBase + kSensorLimitStride * k;
        if (lo >= base + 5 || hi <= base) continue;
        const int n = k + 1;
        // Whole degrees offset by 20 so that negative limits stay positive.
        func03_[base] =
            static_cast<uint16_t>(toI32(settingNumber(rt, keyOf("in_templ", n), "0")) + 20);
        func03_[base + 1] =
            static_cast<uint16_t>(toI32(settingNumber(rt, keyOf("in_temph", n), "0")) + 20);
        func03_[base + 2] =
            static_cast<uint16_t>(toI32(settingNumber(rt, keyOf("in_humil", n), "0")));
        func03_[base + 3] =
            static_cast<uint16_t>(toI32(settingNumber(rt, keyOf("in_humih", n), "0")));
        func03_[base + 4] = static_cast<uint16_t>(rt.integer(keyOf("in_thaddr", n), 0));
    }
}

void RegisterMap::refreshInput(card::Runtime& rt, int first, int count)
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
                if (managed < 0) managed = rt.integer("battery_enable_type", 0) != 0;
                if (managed) signal = run.managedSignal + i;
            }
            const float v = rt.value(card::kUps, signal);
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
                if (upsType < 0) upsType = card::upsType(rt);
                const int scale = run.conv == Conv::PairOut ? card::outputPowerScale(upsType)
                                                            : card::bypassPowerScale(upsType);
                toPair(v * static_cast<float>(scale), reg);
                break;
            }
            }
        }
    }
    for (int k = 0; k < card::kSensorModules; ++k) {
        const int base = kSensorBase + kSensorStride * k;
        if (base >= hi || base + 2 <= lo) continue;
        func04_[base] = toU16(card::sensorTemperature(rt, k + 1) * 10.0f);
        func04_[base + 1] = toU16(card::sensorHumidity(rt, k + 1) * 10.0f);
    }
    for (const auto& t : kSignalTexts) {
        if (t.addr >= hi || t.addr + SIG_TEXT_LEN / 2 <= lo) continue;
        std::string text;
        for (int i = 0; i < SIG_TEXT_LEN; ++i)
            text.push_back(static_cast<char>(intOf(rt.value(card::kUps, t.signal + i)) & 0xFF));
        packText(func04_, t.addr, text, SIG_TEXT_LEN);
    }
    auto settingText = [&](int addr, const std::string& text) {
        if (addr < hi && addr + kSettingTextChars / 2 > lo)
            packText(func04_, addr, text.substr(0, kSettingTextChars), kSettingTextChars);
    };
    settingText(kAgentVersionAddr, card::kFirmwareVersion);
    if (kNameAddr < hi && kNameAddr + kSettingTextChars / 2 > lo)
        settingText(kNameAddr, rt.text("System_Name", ""));
    if (kLocationAddr < hi && kLocationAddr + kSettingTextChars / 2 > lo)
        settingText(kLocationAddr, rt.text("System_Location", ""));
    if (inputCount() == kPackInputCount) refreshPack(rt, lo, hi);
}

void RegisterMap::refreshPack(card::Runtime& rt, int lo, int hi)
{
    for (const auto& run : kPackRuns) {
        if (run.addr >= hi || run.addr + run.count <= lo) continue;
        for (int i = 0; i < run.count; ++i) {
            float v = rt.value(kFirstPack, run.signal + i);
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

void RegisterMap::refreshAll(card::Runtime& rt)
{
    refreshDiscrete(rt, 0, kDiscreteCount);
    refreshHolding(rt, 0, kHoldingCount);
    refreshInput(rt, 0, inputCount());
}

// ----------------------------------------------------------------- writes

void writeSingle(card::Runtime& rt, int addr, uint16_t value, const std::string& origin)
{
    const int v = value;
    for (const auto& c : kCommandRegisters) {
        if (c.addr == addr) {
            if (v == kCommandValue) sendCommand(rt, c.command, origin);
            return;
        }
    }
    const int upsType = addr == 7 || addr == 8 ? card::upsType(rt) : 0;
    switch (addr) {
    case 6: // discharge test minutes
        if (v < 100) {
            rt.saveInt("in_tast1", v);
            sendCommand(rt, 1, origin);
        }
        return;
    case 7: // shutdown delay, seconds
        if (v < 12 || v > 600) return;
        if (upsType == 2) {
            rt.saveInt("in_tast15", v > 60 ? v / 60 : 1);
            sendCommand(rt, 15, origin);
        } else if (upsTypeIsA(upsType)) {
            sendCommand(rt, card::command::kShutdown, origin);
        } else {
            rt.saveInt("in_tast23", v);
            sendCommand(rt, 23, origin);
        }
        return;
    case 8: // restart delay, minutes
        if (v < 1 || v > 9999) return;
        if (upsType == 2) {
            rt.saveInt("in_tast16", v);
            sendCommand(rt, 16, origin);
        } else if (upsTypeIsA(upsType)) {
            sendCommand(rt, kRestartCommand, origin);
        }
        return;
    case 9:
        if (v >= 1 && v <= 247) rt.saveInt("ups_addr", v);
        return;
    case 10: {
        static constexpr int kBauds[] = {1200, 2400, 4800, 9600};
        if (v >= 1 && v <= 4) rt.saveInt("ups_baudRate", kBauds[v - 1]);
        return;
    }
    case 12: {
        static constexpr int kWays[] = {0, 2, 1};
        if (v <= 2) rt.saveInt("ups_checkway", kWays[v]);
        return;
    }
    case 13:
        if (v <= 1) rt.saveInt("ups_stopBits", v + 1);
        return;
    default:
        break;
    }
    if (addr >= 21 && addr <= 26) {
        const int field = addr - 21;
        if (!fieldValid(field, v)) return;
        rt.log(format("Set Time:%d", addr));
        DateParts d = localNow(rt);
        d.v[field] = v;
        setClock(rt, d);
        return;
    }
    if (addr >= kSensorLimitBase &&
        addr < kSensorLimitBase + card::kSensorModules * kSensorLimitStride) {
        const int k = (addr - kSensorLimitBase) / kSensorLimitStride;
        const int field = (addr - kSensorLimitBase) % kSensorLimitStride;
        if (field < 5) {
            writeSensorLimit(rt, k + 1, field, v);
            return;
        }
    }
    if (addr >= 1 && addr <= 53) rt.log(format("startAddr : %d value : %d", addr, v));
}

void writeMultiple(card::Runtime& rt, int start, std::span<const uint16_t> regs,
                   const std::string& origin)
{
    if (start == 7) {
        if (regs.size() < 2) return;
        const int r0 = regs[0], r1 = regs[1];
        if (r0 < 12 || r0 > 600 || r1 < 1 || r1 > 9999) return;
        rt.log(format("func 0x10:StartAddr:%d,value:%d,value1:%d", start, r0, r1));
        if (card::upsType(rt) == 2) {
            rt.saveInt("in_tast15", r0 > 60 ? r0 / 60 : 1);
            sendCommand(rt, 15, origin);
            rt.saveInt("in_tast16", r1);
            sendCommand(rt, 16, origin);
        } else {
            rt.saveInt("in_tast23", r0);
            rt.saveInt("in_tast5", r1);
            sendCommand(rt, 24, origin);
        }
        return;
    }
    if (start == 21) {
        const size_t n = std::min<size_t>(regs.size(), 6);
        DateParts d{};
        bool valid = n == 6;
        for (size_t i = 0; i < n; ++i) {
            rt.log(format("func 0x10:i:%d,value:%d", static_cast<int>(i), regs[i]));
            rt.setValue(card::kUps, Data_Time_year + static_cast<int>(i), regs[i]);
            d.v[i] = regs[i];
            valid = valid && fieldValid(static_cast<int>(i), regs[i]);
        }
        if (!valid) return;
        if (card::upsType(rt) == 2)
            rt.control(card::kUps, format("%d,%d,%d,%d,%d,%d,%d", kUpsClockCommand, d.v[0], d.v[1],
                                          d.v[2], d.v[3], d.v[4], d.v[5]));
        setClock(rt, d);
    }
}

} // namespace mbslave
