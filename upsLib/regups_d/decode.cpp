/*
 * decode.cpp - pure decoders of regups_d: reply bytes in, reports out, and
 * the values derived from what the blocks said (derive()).
 */
#include "regups_d.h"
#include "signals.h"

#include <algorithm>

namespace regups_d
{

namespace
{

using namespace upscommon::regmap;

// Battery run state R of the battery and state block.
constexpr int kDischarging = 0;
constexpr int kBoost = 1;
constexpr int kFloat = 2;
// Output way W and system state S values the derived rules name.
constexpr int kWayInverter = 3;
constexpr int kWayBypass = 4;
constexpr int kWayBattery = 5;

bool bit(unsigned word, int k)
{
    return (word >> k) & 1U;
}

} // namespace

void decodeAlarms(State& s, const uint8_t* reply, int size, Reports& out)
{
    if (!holdsBits(size, 16)) return;
    s.alarms = static_cast<unsigned>(reply[kDataOffset] | reply[kDataOffset + 1] << 8);
    const Bits b(reply, size);
    evalRows(b,
             {
                 {drv(Alarm_BatteryBad), kAny, {{0, 0}}},
                 {drv(Alarm_OnBattery), kAny, {{1, 1}}},
                 {drv(Alarm_LowBattery), kAny, {{2, 2}}},
                 {drv(Alarm_DepletedBattery), kAny, {{3, 3}}},
                 {drv(Alarm_InputBad), kAny, {{4, 4}}},
                 {drv(Alarm_OutputBad), kAny, {{5, 5}}},
                 {drv(Alarm_OutputOverload), kAny, {{6, 6}}},
                 {drv(Alarm_BypassBad), kAny, {{7, 7}}},
                 {drv(Alarm_OnBypass), kAny, {{8, 8}}},
                 {drv(Alarm_TestInProgress), kAny, {{10, 10}}},
                 {drv(Alarm_GeneralFault), kAny, {{11, 11}}},
             },
             out);
    flag(out, drv(Alarm_UpsSystemOff), b[9] ? 0 : 1);
    value(out, drv(Sys_ConfigAudibleStatus), b[12]);
}

void decodeMeasurements(State& s, const uint8_t* reply, int size, Reports& out)
{
    constexpr int kBase = 0x1388;
    const Registers r(reply, size, kBase);
    if (!r.holds(kBase + 41)) return;
    auto reg = [](int k) { return kBase + k; };
    s.batteryAlarm = static_cast<int>(r.u(reg(0)));
    value(out, drv(Data_EstimatedMinutesRemaining), r.u(reg(1)));
    value(out, drv(Data_EstimatedChargeRemaining), r.u(reg(2)));
    const float temp = r.s(reg(3)) * 0.1f;
    if (temp > 0 && temp < 100) value(out, drv(Data_BatteryTemperature), temp);
    const unsigned inLines = r.u(reg(4));
    value(out, drv(Data_InputNumLines), inLines);
    const float inF = r.u(reg(5)) * 0.01f;
    value(out, drv(Data_InputFrequency_A), inF);
    if (inLines > 1) {
        value(out, drv(Data_InputFrequency_B), inF);
        value(out, drv(Data_InputFrequency_C), inF);
    }
    s.inputV = r.u(reg(6)) * 0.1f;
    s.outputV = r.u(reg(15)) * 0.1f;
    const unsigned way = r.u(reg(12));
    s.outputWay = (way >= 1 && way <= 7) ? static_cast<int>(way) : 1;
    value(out, drv(Data_OutputSource), way);
    spans(r,
          {
              {reg(6), reg(8), drv(Data_InputVoltage_A), 0.1f},
              {reg(9), reg(11), drv(Data_InputCurrent_A)},
              {reg(13), reg(13), drv(Data_OutputNumLines)},
              {reg(14), reg(14), drv(Data_OutputFrequency), 0.01f},
              {reg(15), reg(17), drv(Data_OutputVoltage_A), 0.1f},
              {reg(18), reg(20), drv(Data_OutputCurrent_A)},
              {reg(21), reg(23), drv(Data_OutputPower_A), 0.1f},
              {reg(24), reg(26), drv(Data_OutputPercentLoad_A), 0.1f},
              {reg(27), reg(27), drv(Data_BypassNumLines)},
              {reg(28), reg(28), drv(Data_BypassFrequency), 0.01f},
              {reg(29), reg(31), drv(Data_BypassVoltage_A), 0.1f},
              {reg(32), reg(34), drv(Data_BypassCurrent_A)},
              {reg(35), reg(37), drv(Data_BypassPower_A), 0.1f},
              {reg(38), reg(41), drv(Sys_ConfigInputVoltage)},
          },
          out);
}

void decodeIdentity(const uint8_t* reply, int size, Reports& out)
{
    if (size < 5 + 144) return;
    const uint8_t* d = reply + kDataOffset;
    struct Field {
        int offset, len, sig;
    };
    constexpr Field kFields[] = {
        {0, 16, drv(Data_IdentManufacturer)},
        {64, 16, drv(Data_upsIdentModel)},
        {128, 8, drv(Data_UPSSoftwareVersion)},
        {136, 8, drv(Data_AgentSoftwareVersion)},
    };
    for (const Field& f : kFields)
        for (int k = 0; k < f.len; ++k)
            value(out, f.sig + k, d[f.offset + k]);
}

void decodeBatteryState(State& s, const uint8_t* reply, int size, Reports& out)
{
    constexpr int kBase = 0x1409;
    const Registers r(reply, size, kBase);
    if (!r.holds(kBase + 15)) return;
    auto reg = [](int k) { return kBase + k; };
    s.system = static_cast<int>(r.u(reg(0)));
    s.runState = static_cast<int>(r.u(reg(2)));
    const int rs = s.runState;
    flag(out, drv(Alarm_BatteryCharge), rs == kDischarging ? 1 : 0);
    flag(out, drv(Alarm_BatteryBoostCharge), rs == kBoost ? 1 : 0);
    flag(out, drv(Alarm_BatteryFloatCharge), rs == kFloat ? 1 : 0);
    spans(r,
          {
              {reg(4), reg(6), drv(Data_OutputApparent_Power_A), 0.1f},
              {reg(7), reg(9), drv(Data_BypassApparent_Power_A), 0.1f},
              {reg(10), reg(10), drv(Data_PwBatteryVoltageP), 0.1f},
              {reg(11), reg(11), drv(Data_PwBatteryVoltageN), 0.1f},
              {reg(12), reg(12), drv(Data_PwBatteryCurrentP_F)},
              {reg(13), reg(13), drv(Data_PwBatteryCurrentN_F)},
              {reg(14), reg(14), drv(Data_PwBatteryCurrentP_C), 0.1f},
              {reg(15), reg(15), drv(Data_PwBatteryCurrentN_C), 0.1f},
          },
          out);
    s.batteryV = r.u(reg(10)) * 0.1f;
    value(out, drv(Data_BatteryVoltage), s.batteryV);
    // The battery current is the discharge current while discharging, the
    // charge current otherwise.
    value(out, drv(Data_BatteryCurrent),
          rs == kDischarging ? static_cast<float>(r.u(reg(12))) : r.u(reg(14)) * 0.1f);
}

void derive(const State& s, Reports& out)
{
    const unsigned a = s.alarms;
    const int rs = s.runState, way = s.outputWay, sys = s.system;
    int status;
    if (bit(a, 0))
        status = 4;
    else if (bit(a, 1) || rs == kDischarging)
        status = 8;
    else if (bit(a, 2) || bit(a, 3) || s.batteryAlarm == 3 || s.batteryAlarm == 4)
        status = 3;
    else if (rs == kBoost)
        status = 5;
    else if (rs == kFloat)
        status = 7;
    else if (s.batteryAlarm == 1)
        status = 1;
    else
        status = 2;
    value(out, drv(Data_BatteryStatus), static_cast<float>(status));

    int mode;
    if (sys == 1)
        mode = 6;
    else if (sys == 2)
        mode = 9;
    else if (sys == 7)
        mode = 8;
    else if (way == kWayInverter)
        mode = 3;
    else if (way == kWayBypass || sys == 4)
        mode = 2;
    else if (way == kWayBattery)
        mode = 4;
    else
        mode = 1;
    value(out, drv(Data_UpsWorkMode), static_cast<float>(mode));
    flag(out, drv(Alarm_OnInput), way == kWayInverter ? 1 : 0);

    // Energy flow, lines 1-7: 1 bypass, 2-3 input, 4-5 rectifier and
    // inverter, 6 output, 7 battery (1 charging, 2 discharging).
    const bool input = s.inputV > 0, battery = s.batteryV > 0;
    const int batteryLine = !battery ? 0 : (rs == kDischarging ? 2 : 1);
    int line[7];
    if (way == kWayBypass) {
        const int dc = batteryLine == 2 ? 1 : 0;
        const int l[7] = {1, input, input, dc, dc, 1, batteryLine};
        std::copy(l, l + 7, line);
    } else if (way == kWayBattery) {
        const int l[7] = {0, input, input, 1, 1, 1, 2};
        std::copy(l, l + 7, line);
    } else {
        const int dc = input || battery ? 1 : 0;
        const int l[7] = {0, input, input, dc, dc, s.outputV > 0, batteryLine};
        std::copy(l, l + 7, line);
    }
    for (int k = 0; k < 7; ++k)
        value(out, drv(Data_energyflow_line1) + k, static_cast<float>(line[k]));
}

void decodeReply(State& s, int index, const uint8_t* reply, int size, Reports& out)
{
    if (!reply || index < 0 || index >= kQueryCount || size < acuList[index].recvsize) return;
    switch (index) {
    case kAlarms:
        decodeAlarms(s, reply, size, out);
        break;
    case kMeasurements:
        decodeMeasurements(s, reply, size, out);
        break;
    case kIdentity:
        decodeIdentity(reply, size, out);
        break;
    case kBatteryState:
        decodeBatteryState(s, reply, size, out);
        break;
    }
}

} // namespace regups_d
