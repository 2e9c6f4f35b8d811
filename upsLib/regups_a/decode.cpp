/*
 * decode.cpp - pure decoders of regups_a: reply bytes in, (signal, value)
 * reports out.
 *
 * A reply is address, function, byte count, data, CRC; registers are
 * big-endian 16-bit words from data offset 0, discrete inputs are bits from
 * bit 0 of the first data byte. Every decoder checks that the reply holds the
 * registers or bits it reads and reports nothing otherwise. The only state a
 * decoder touches is the learnt layout, version and the two alarm results
 * other blocks depend on.
 *
 * Each report says what it is: a measurement, an alarm flag or a sum row (the
 * number of listed bits set). Alarm maps A and B, and the main block, report
 * several of the same alarms in one cycle; the poll cycle settles them so
 * that one map's 0 never hides another map's 1 (driver_shell.hpp).
 */
#include "regmap.hpp"
#include "regups_a.h"
#include "signals.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace regups_a
{

namespace
{

using upscommon::regmap::Bits;
using upscommon::regmap::drv;
using upscommon::regmap::flag;
using upscommon::regmap::Registers;
using upscommon::regmap::sumRow;
// A measurement; flag() and sumRow() are the other two kinds of report.
constexpr auto& put = upscommon::regmap::value;
using upscommon::regmap::kDataOffset;

// ---- main blocks ----

struct Span {
    int firstReg;
    int lastReg;
    int firstSig;
    float factor;
};

// Registers 0-44 shared by every main-block layout.
constexpr Span kMeasurements[] = {
    {0, 5, drv(Data_BypassVoltage_A), 0.1f}, // bypass voltage A-C, current A-C
    {6, 6, drv(Data_BypassFrequency), 0.1f}, //
    {9, 11, drv(Data_BypassPowerFactor_A), 0.01f},
    {12, 20, drv(Data_InputVoltage_A), 0.1f}, // voltage, current, frequency A-C
    {21, 23, drv(Data_InputPowerFactor_A), 0.01f},
    {24, 29, drv(Data_OutputVoltage_A), 0.1f}, // voltage A-C, current A-C
    {30, 30, drv(Data_OutputFrequency), 0.1f},
    {33, 35, drv(Data_OutputPowerFactor_A), 0.01f},
    {36, 38, drv(Data_OutputApparent_Power_A), 0.1f},
    {39, 41, drv(Data_OutputPower_A), 0.1f},
};

void measurements(const Registers& r, bool isSigned, float loadFactor, Reports& out)
{
    auto value = [&](int reg) { return isSigned ? static_cast<float>(r.s(reg)) : r.u(reg); };
    for (const Span& sp : kMeasurements)
        for (int reg = sp.firstReg; reg <= sp.lastReg; ++reg)
            put(out, sp.firstSig + reg - sp.firstReg, value(reg) * sp.factor);
    for (int reg = 45; reg <= 47; ++reg)
        put(out, drv(Data_OutputPercentLoad_A) + reg - 45, value(reg) * loadFactor);
}

void energyFlow(unsigned v, Reports& out)
{
    for (int k = 0; k < 4; ++k)
        put(out, drv(Data_energyflow_line1) + k, (v >> (2 * k)) & 3);
    for (int k = 0; k < 3; ++k)
        put(out, drv(Data_energyflow_line1) + 4 + k, (v >> (8 + 2 * k)) & 3);
}

int batteryState(unsigned reg)
{
    return (reg >> 4) & 7;
}

// Battery flags in the order the UPS family's tools expect them.
void batteryFlags(int b, Reports& out)
{
    const int sw = drv(Alarm_BatterySwitch), ch = drv(Alarm_BatteryCharge),
              boost = drv(Alarm_BatteryBoostCharge), flt = drv(Alarm_BatteryFloatCharge),
              disc = drv(Alarm_BatteryDisconnected), idle = drv(Alarm_BatteryIdle);
    switch (b) {
    case 0:
        for (int sig : {sw, disc})
            flag(out, sig, 1);
        for (int sig : {ch, boost, flt, idle})
            flag(out, sig, 0);
        break;
    case 1:
        for (int sig : {sw, ch, flt, boost, disc})
            flag(out, sig, 0);
        flag(out, idle, 1);
        break;
    case 2:
        for (int sig : {sw, ch, flt, disc, idle})
            flag(out, sig, 0);
        flag(out, boost, 1);
        break;
    case 3:
        for (int sig : {sw, ch, boost, disc, idle})
            flag(out, sig, 0);
        flag(out, flt, 1);
        break;
    case 4:
        for (int sig : {sw, boost, flt, disc, idle})
            flag(out, sig, 0);
        flag(out, ch, 1);
        break;
    default:
        for (int sig : {sw, ch, flt, boost, disc, idle})
            flag(out, sig, 0);
        break;
    }
}

// Switch and battery state register. withInputSwitch: layouts G and AAAA.
void switchStates(const State& s, unsigned reg, bool withInputSwitch, Reports& out)
{
    const unsigned lo = reg & 0xFF, hi = reg >> 8;
    batteryFlags(batteryState(reg), out);
    if (withInputSwitch) {
        const unsigned f = (hi >> 3) & 3;
        const bool closed = s.ups_version > 2.75f ? f == 1 : f == 0;
        flag(out, drv(Alarm_InputSwitch), closed ? 1 : 0);
    }
    flag(out, drv(Alarm_BypassSwitch), ((lo & 0x80) == 0 && (hi & 1) == 0) ? 1 : 0);
    switch ((hi >> 1) & 3) {
    case 0:
        flag(out, drv(Alarm_OutputSwitch), 1);
        flag(out, drv(Alarm_InverterRun), 0);
        break;
    case 2:
        flag(out, drv(Alarm_OutputSwitch), 0);
        flag(out, drv(Alarm_InverterRun), 1);
        break;
    default:
        flag(out, drv(Alarm_OutputSwitch), 0);
        flag(out, drv(Alarm_InverterRun), 0);
        break;
    }
}

// Battery status from the battery state; test < 0 means "no test value".
int batteryStatus(int b, int test)
{
    if (b == 0) return 1;
    if (b == 2) return 6;
    if (b == 3) return 7;
    if (test == 6) return 5;
    if (b == 4) return 8;
    return 2;
}

void sourceFlags(bool onInput, bool onBattery, bool onBypass, Reports& out)
{
    flag(out, drv(Alarm_OnInput), onInput);
    flag(out, drv(Alarm_OnBypass), onBypass);
    flag(out, drv(Alarm_OnBattery), onBattery);
}

// Operating mode of layouts G and 222.
void operatingMode(int m, Reports& out)
{
    struct Coding {
        int source, mode;
    };
    constexpr Coding kCoding[] = {{2, 1}, {3, 3}, {5, 4}, {8, 3}, {4, 2}};
    const Coding c = (m >= 0 && m <= 4) ? kCoding[m] : Coding{m, 0};
    put(out, drv(Data_OutputSource), c.source);
    put(out, drv(Data_UpsWorkMode), c.mode);
    switch (m) {
    case 1:
        flag(out, drv(Alarm_OnInput), 1);
        flag(out, drv(Alarm_OnBypass), 0);
        flag(out, drv(Alarm_OnBattery), 0);
        break;
    case 2:
        flag(out, drv(Alarm_OnBattery), 1);
        flag(out, drv(Alarm_OnInput), 0);
        flag(out, drv(Alarm_OnBypass), 0);
        break;
    case 4:
        flag(out, drv(Alarm_OnBypass), 1);
        flag(out, drv(Alarm_OnBattery), 0);
        flag(out, drv(Alarm_OnInput), 0);
        break;
    default:
        flag(out, drv(Alarm_OnBattery), 0);
        flag(out, drv(Alarm_OnInput), 0);
        flag(out, drv(Alarm_OnBypass), 0);
        break;
    }
}

void phases(Reports& out, int in, int outLines, int bypass)
{
    put(out, drv(Data_InputNumLines), in);
    put(out, drv(Data_OutputNumLines), outLines);
    put(out, drv(Data_BypassNumLines), bypass);
}

void ratings(const Registers& r, int vaReg, int firstReg, bool isSigned, Reports& out)
{
    auto value = [&](int reg) { return isSigned ? static_cast<float>(r.s(reg)) : r.u(reg); };
    put(out, drv(Sys_ConfigOutputVA), value(vaReg));
    for (int k = 0; k < 4; ++k)
        put(out, drv(Sys_ConfigInputVoltage) + k, value(firstReg + k));
}

// ---- identity block ----

constexpr int kIdentFirstReg = 128;
constexpr int kTextFirstReg = 132;

struct TextField {
    int offset;
    int sig;
};
constexpr TextField kTextFields[] = {
    {0, drv(Data_AttachedDevices)},
    {16, drv(Data_upsIdentModel)},
    {32, drv(Data_IdentManufacturer)},
    {66, drv(Data_upsIdentName)},
};
constexpr int kVersionOffset = 50;
constexpr int kTextLen = 16;

// Software version text of codes other than 222 and 297: one character per
// register. "V2.8" gives 2.8; the last "." counts.
void versionText(State& s, const uint8_t* area, Reports& out)
{
    int chars[8];
    int dot = -1;
    for (int i = 0; i < 8; ++i) {
        const unsigned v = static_cast<unsigned>(area[2 * i] << 8 | area[2 * i + 1]);
        chars[i] = v > 255 ? -1 : static_cast<int>(v);
        if (chars[i] < 0) continue;
        put(out, drv(Data_UPSSoftwareVersion) + i, chars[i]);
        if (chars[i] == '.' && i > 0) dot = i;
    }
    if (dot <= 0) return;
    float whole = 0;
    for (int i = 0; i < dot; ++i)
        if (chars[i] >= '0' && chars[i] <= '9')
            whole = whole * 10 + static_cast<float>(chars[i] - '0');
    if (dot + 1 < 8 && chars[dot + 1] >= '0' && chars[dot + 1] <= '9')
        whole += static_cast<float>(chars[dot + 1] - '0') / 10.0f;
    s.ups_version = whole;
}

// ---- alarm maps ----

using upscommon::regmap::evalRow;
using upscommon::regmap::evalRows;
using upscommon::regmap::holdsBits;
using upscommon::regmap::kAny;
using upscommon::regmap::kSum;

} // namespace

void decodeIdentity(State& s, const uint8_t* reply, int size, Reports& out)
{
    const Registers r(reply, size, kIdentFirstReg);
    // 41 text registers follow the four code registers.
    if (!r.holds(kTextFirstReg + 40)) return;
    s.regups_a_protocol_version = static_cast<int>(r.u(128));
    s.regups_a_version = static_cast<int>(100 * r.u(129) + 10 * r.u(130) + r.u(131));
    put(out, drv(Data_UPSProductTypeIdent), static_cast<float>(s.regups_a_version));

    const uint8_t* text = reply + kDataOffset + 2 * (kTextFirstReg - kIdentFirstReg);
    const bool wireOrder = s.regups_a_version == kCode222;
    for (const TextField& f : kTextFields) {
        for (int k = 0; k < kTextLen; ++k) {
            // Other codes carry two characters per register, low byte first.
            const int pos = wireOrder ? k : (k ^ 1);
            put(out, f.sig + pos, text[f.offset + k]);
        }
    }
    const uint8_t* area = text + kVersionOffset;
    if (s.regups_a_version == kCode222) {
        for (int k = 0; k < 8; ++k)
            put(out, drv(Data_UPSSoftwareVersion) + k, area[k]);
    } else if (s.regups_a_version == kCode297) {
        char digits[16] = {};
        snprintf(digits, sizeof digits, "%d", static_cast<int>(area[0] << 8 | area[1]));
        for (int k = 0; k < 4; ++k)
            put(out, drv(Data_UPSSoftwareVersion) + k, static_cast<uint8_t>(digits[k]));
    } else {
        versionText(s, area, out);
    }
}

void decodeMainG(State& s, const uint8_t* reply, int size, bool withTest, Reports& out)
{
    const Registers r(reply, size);
    if (!r.holds(withTest ? 72 : 71)) return;
    measurements(r, false, 1.0f, out);
    put(out, drv(Data_BatteryVoltage), r.u(49) * 0.1f);
    put(out, drv(Data_BatteryCurrent), r.s(51) * 0.1f);
    put(out, drv(Data_BatteryTemperature), r.s(53) * 0.1f);
    put(out, drv(Data_BatteryNum), r.s(54));
    put(out, drv(Data_BatteryCap), r.s(55));
    put(out, drv(Data_EstimatedMinutesRemaining), r.u(56));
    put(out, drv(Data_EstimatedChargeRemaining), r.u(57));
    put(out, drv(Data_Rectifier_Temperature), r.s(59) * 0.1f);
    put(out, drv(Data_Inverter_Temperature), r.s(60) * 0.1f);
    ratings(r, 61, 63, false, out);
    energyFlow(r.u(67), out);

    const bool code299 = s.regups_a_version == kCode299;
    const int test = withTest ? static_cast<int>(r.u(72)) : -1;
    if (code299) {
        switchStates(s, r.u(69), true, out);
        if (withTest) put(out, drv(Data_BatteryStatus), batteryStatus(batteryState(r.u(69)), test));
    } else {
        for (int sig : {drv(Alarm_BatterySwitch), drv(Alarm_InputSwitch), drv(Alarm_OutputSwitch),
                        drv(Alarm_BypassSwitch), drv(Alarm_InverterRun)})
            flag(out, sig, 0);
    }

    const unsigned p = r.u(70);
    if (code299)
        phases(out, p != 0 ? 3 : 1, 1, 1);
    else if (p == 0)
        phases(out, 1, 1, 1);
    else if (p == 1)
        phases(out, 3, 1, 1);
    else if (p == 2)
        phases(out, 3, 3, 3);

    const int m = static_cast<int>(r.u(71));
    operatingMode(m, out);
    if (!code299) put(out, drv(Data_BatteryStatus), m == 2 ? 8 : (s.batt_low_990 == 1 ? 3 : 2));

    if (withTest) flag(out, drv(Alarm_TestInProgress), test == 6 ? 1 : 0);
}

void decodeMain222(State& s, const uint8_t* reply, int size, Reports& out)
{
    const Registers r(reply, size);
    if (!r.holds(77)) return;
    measurements(r, true, 0.1f, out);
    put(out, drv(Data_BatteryVoltage), r.s(49) * 0.1f);
    put(out, drv(Data_PwBatteryVoltageP), r.s(49) * 0.1f);
    put(out, drv(Data_PwBatteryVoltageN), r.s(50) * 0.1f);
    put(out, drv(Data_BatteryCurrent), r.s(51) * 0.1f);
    put(out, drv(Data_PwBatteryCurrentP), r.s(51) * 0.1f);
    put(out, drv(Data_PwBatteryCurrentN), r.s(52) * 0.1f);
    put(out, drv(Data_BatteryTemperature), r.s(53) * 0.1f);
    put(out, drv(Data_EstimatedMinutesRemaining), r.s(56));
    put(out, drv(Data_EstimatedChargeRemaining), r.s(57) * 0.1f);
    put(out, drv(Data_Rectifier_Temperature), r.s(59) * 0.1f);
    put(out, drv(Data_Inverter_Temperature), r.s(60) * 0.1f);
    ratings(r, 61, 63, true, out);
    energyFlow(r.u(67), out);
    phases(out, 3, 3, 3);
    operatingMode(static_cast<int>(r.u(71)), out);
    switchStates(s, r.u(72), false, out);
    put(out, drv(Data_BatteryStatus), batteryStatus(batteryState(r.u(72)), -1));
    for (int k = 0; k < 4; ++k) {
        put(out, drv(Sys_Rectifier_Version) + k, r.byte(73 + k / 2, k % 2));
        put(out, drv(Sys_Inverter_Version) + k, r.byte(75 + k / 2, k % 2));
    }
    const unsigned t = r.u(77);
    flag(out, drv(Alarm_TestInProgress), (t == 1 || t == 2) ? 1 : 0);
}

void decodeMainAAAA(State& s, const uint8_t* reply, int size, Reports& out)
{
    const Registers r(reply, size);
    if (!r.holds(72)) return;
    measurements(r, false, 0.1f, out);
    put(out, drv(Data_BatteryVoltage), r.u(49) * 0.1f);
    put(out, drv(Data_BatteryCurrent), r.s(51) * 0.1f);
    put(out, drv(Data_BatteryTemperature), r.s(53) * 0.1f);
    put(out, drv(Data_EstimatedMinutesRemaining), r.u(54));
    put(out, drv(Data_EstimatedChargeRemaining), r.u(55) * 0.1f);
    put(out, drv(Data_Rectifier_Temperature), r.s(57) * 0.1f);
    put(out, drv(Data_Inverter_Temperature), r.s(58) * 0.1f);

    const int m = static_cast<int>(r.u(71));
    switchStates(s, r.u(70), true, out);
    put(out, drv(Data_BatteryStatus), batteryStatus(batteryState(r.u(70)), m));

    struct Coding {
        int mode, source, work;
    };
    constexpr Coding kCoding[] = {{0, 2, 1}, {4, 3, 3}, {5, 5, 4}, {3, 4, 2}};
    Coding c{m, 1, 0};
    for (const Coding& k : kCoding)
        if (k.mode == m) c = k;
    put(out, drv(Data_OutputSource), c.source);
    put(out, drv(Data_UpsWorkMode), c.work);
    sourceFlags(m == 4, m == 5, m == 3, out);
    flag(out, drv(Alarm_TestInProgress), m == 6 ? 1 : 0);

    energyFlow(r.u(72), out);
}

void decodeRating(const uint8_t* reply, int size, Reports& out)
{
    const Registers r(reply, size);
    if (!r.holds(21)) return;
    ratings(r, 15, 17, false, out);
    phases(out, (r.u(21) & 0x02) ? 3 : 1, 1, 1);
}

void decodeAlarmA(State&, const uint8_t* reply, int size, Reports& out)
{
    if (!holdsBits(size, 112)) return;
    const Bits b(reply, size);
    evalRows(b,
             {
                 {drv(Alarm_GeneralFault), kAny, {{0, 7}, {16, 25}, {80, 89}, {97, 103}}},
                 {drv(Alarm_InputBad), kAny, {{32, 35}}},
                 {drv(Alarm_BypassBad), kAny, {{36, 41}}},
                 {drv(Alarm_OutputBad), kAny, {{48, 51}}},
                 {drv(Alarm_OutputOverload), kAny, {{52, 52}}},
                 {drv(Alarm_LowBattery), kAny, {{67, 67}}},
                 {drv(Alarm_DepletedBattery), kAny, {{68, 68}}},
                 {drv(Alarm_BatteryBad), kSum, {{71, 72}}},
                 {drv(Alarm_BatterySwitch), kSum, {{64, 65}}},
                 {drv(Alarm_DiagnosticTestFailed), kAny, {{70, 70}}},
                 {drv(Alarm_ChargerFailed), kAny, {{76, 76}}},
                 {drv(Alarm_FanFailure), kAny, {{96, 96}}},
                 {drv(Alarm_TempBad), kAny, {{104, 104}}},
             },
             out);
}

void decodeAlarmB(State& s, const uint8_t* reply, int size, Reports& out)
{
    if (!holdsBits(size, 482)) return;
    const Bits b(reply, size);
    const bool c222 = s.regups_a_version == kCode222;
    flag(out, drv(Alarm_GeneralFault),
         evalRow(b, kAny, {{128, 131}, {136, 138}, {144, 144}, {149, 149}, {152, 154}, {176, 179},
                           {181, 182}, {185, 188}, {288, 294}, {296, 301}, {304, 307}, {309, 311},
                           {313, 319}, {321, 323}, {325, 325}, {327, 334}, {352, 353}, {355, 357},
                           {384, 388}, {400, 403}, {410, 411}, {416, 417}, {432, 433}, {435, 437},
                           {440, 443}, {449, 453}, {456, 457}, {459, 466}, {468, 470}}));
    sumRow(out, drv(Alarm_UpsSystemOff), evalRow(b, kSum, {{183, 184}, {335, 335}, {455, 455}}));
    if (c222) flag(out, drv(Alarm_InputSwitch), b[35]);
    s.input_err = evalRow(b, kAny, {{256, 266}, {268, 270}});
    flag(out, drv(Alarm_InputBad), s.input_err);
    flag(out, drv(Alarm_OutputOverload),
         evalRow(b, kAny,
                 {{132, 135},
                  {141, 141},
                  {145, 148},
                  {151, 151},
                  {168, 168},
                  {198, 207},
                  {404, 407},
                  {409, 409},
                  {418, 422},
                  {438, 438}}));
    flag(out, drv(Alarm_OutputBad), evalRow(b, kAny, {{193, 197}, {408, 408}, {480, 481}}));
    flag(out, drv(Alarm_BypassBad),
         evalRow(b, kAny, {{160, 167}, {169, 175}, {424, 428}}) | (c222 ? b[24] : 0));
    flag(out, drv(Alarm_DepletedBattery), evalRow(b, kAny, {{208, 209}, {276, 276}}));
    s.batt_low_990 = evalRow(b, kAny, {{211, 212}, {277, 277}}) | (c222 ? (b[22] | b[23]) : 0);
    flag(out, drv(Alarm_LowBattery), s.batt_low_990);
    flag(out, drv(Alarm_BatteryBad),
         evalRow(b, kAny, {{213, 216}, {273, 275}, {279, 280}, {282, 282}, {285, 285}}));
    flag(out, drv(Alarm_InverterRun), b[143]);
    flag(out, drv(Alarm_FanFailure),
         evalRow(b, kAny, {{180, 180}, {324, 324}, {467, 467}, {25, 25}}));
    flag(out, drv(Alarm_FuseFailure), evalRow(b, kAny, {{267, 267}, {454, 454}}));
    flag(out, drv(Alarm_TempBad), evalRow(b, kAny, {{320, 320}, {423, 423}, {448, 448}}));
    flag(out, drv(Alarm_ChargerFailed),
         evalRow(b, kAny, {{278, 278}, {281, 281}, {283, 284}, {336, 346}}));
}

void decodeAlarmC(State&, const uint8_t* reply, int size, Reports& out)
{
    if (!holdsBits(size, 96)) return;
    const Bits b(reply, size);
    evalRows(b,
             {
                 {drv(Alarm_GeneralFault),
                  kAny,
                  {{0, 7},
                   {11, 12},
                   {15, 20},
                   {22, 22},
                   {24, 28},
                   {30, 31},
                   {48, 49},
                   {55, 55},
                   {57, 57},
                   {60, 62},
                   {72, 72},
                   {74, 75},
                   {80, 81},
                   {91, 91}}},
                 {drv(Alarm_InputBad), kAny, {{53, 53}, {58, 58}, {66, 67}, {82, 82}}},
                 {drv(Alarm_BypassBad), kAny, {{64, 65}, {68, 69}, {84, 84}, {89, 89}}},
                 {drv(Alarm_OutputBad), kAny, {{9, 10}, {85, 85}, {87, 88}, {95, 95}}},
                 {drv(Alarm_OutputOverload), kAny, {{51, 51}}},
                 {drv(Alarm_LowBattery), kAny, {{59, 59}}},
                 {drv(Alarm_DepletedBattery), kAny, {{70, 70}}},
                 {drv(Alarm_DiagnosticTestFailed), kAny, {{73, 73}}},
                 {drv(Alarm_BatteryBad), kAny, {{77, 77}, {86, 86}}},
                 {drv(Alarm_ChargerFailed), kAny, {{56, 56}}},
                 {drv(Alarm_FanFailure), kAny, {{29, 29}}},
                 {drv(Alarm_TempBad), kAny, {{8, 8}, {90, 90}}},
             },
             out);
}

void decodeReply(State& s, int index, const uint8_t* reply, int size, Reports& out)
{
    if (!reply || index < 0 || index >= kQueryCount || size < acuList[index].recvsize) return;
    switch (index) {
    case kMainG:
        decodeMainG(s, reply, size, true, out);
        break;
    case kIdentity:
        decodeIdentity(s, reply, size, out);
        break;
    case kAlarmA:
        decodeAlarmA(s, reply, size, out);
        break;
    case kAlarmB:
        decodeAlarmB(s, reply, size, out);
        break;
    case kMainAAAA:
        decodeMainAAAA(s, reply, size, out);
        break;
    case kAlarmC:
        decodeAlarmC(s, reply, size, out);
        break;
    case kRating:
        decodeRating(reply, size, out);
        break;
    case kMainGNoTest:
        decodeMainG(s, reply, size, false, out);
        break;
    case kMain222:
        decodeMain222(s, reply, size, out);
        break;
    }
}

} // namespace regups_a
