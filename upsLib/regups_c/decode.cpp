/*
 * decode.cpp - pure decoders of regups_c: reply bytes in, reports out. No
 * block depends on another, so the driver keeps no learnt state.
 */
#include "regups_c.h"
#include "signals.h"

namespace regups_c
{

namespace
{

using namespace upscommon::regmap;

constexpr int kModeReg = 45;
constexpr int kEnergyFirstReg = 0x37;
constexpr int kEnergyLines = 7;
constexpr int kEnergySwitches = 6;

// The operating mode as output source and source flags: 4 and 5 run on the
// battery, 2 and 6 on the bypass, 3 and 7 on the inverter from mains.
struct ModeRow {
    int mode, source;
};
constexpr ModeRow kModes[] = {{4, 5}, {5, 5}, {2, 4}, {6, 4}, {3, 3}, {7, 3}};

} // namespace

void decodeMain(const uint8_t* reply, int size, Reports& out)
{
    const Registers r(reply, size);
    if (!r.holds(kModeReg)) return;
    value(out, drv(Data_InputNumLines), 3);
    value(out, drv(Data_OutputNumLines), 3);
    value(out, drv(Data_BypassNumLines), 3);
    spans(r,
          {
              {1, 3, drv(Data_InputVoltage_A)},
              {4, 6, drv(Data_InputFrequency_A), 0.1f},
              {7, 9, drv(Data_BypassVoltage_A)},
              {10, 10, drv(Data_BypassFrequency), 0.1f},
              {13, 15, drv(Data_OutputVoltage_A), 0.1f},
              {16, 18, drv(Data_OutputCurrent_A), 0.1f},
              {19, 19, drv(Data_OutputFrequency), 0.1f},
              {22, 24, drv(Data_OutputPower_A)},
              {25, 27, drv(Data_OutputApparent_Power_A)},
              {28, 30, drv(Data_OutputPercentLoad_A)},
              {33, 33, drv(Data_BatteryCurrent), 0.1f, kSigned},
              {36, 36, drv(Data_BatteryVoltage)},
              {38, 38, drv(Data_EstimatedChargeRemaining)},
              {39, 39, drv(Data_EstimatedMinutesRemaining)},
              {40, 40, drv(Data_BatteryTemperature), 1.0f, kSigned},
          },
          out);
    const int m = static_cast<int>(r.u(kModeReg));
    int source = 0;
    for (const ModeRow& row : kModes)
        if (row.mode == m) source = row.source;
    value(out, drv(Data_OutputSource), static_cast<float>(source));
    // The source flags follow the mode, so that the card's alarms (on
    // battery above all) see this UPS like every other one.
    flag(out, drv(Alarm_OnBattery), source == 5 ? 1 : 0);
    flag(out, drv(Alarm_OnBypass), source == 4 ? 1 : 0);
    flag(out, drv(Alarm_OnInput), source == 3 ? 1 : 0);
}

void decodeEnergy(const uint8_t* reply, int size, Reports& out)
{
    const Registers r(reply, size, kEnergyFirstReg);
    const int last = kEnergyFirstReg + kEnergyLines + kEnergySwitches - 1;
    if (!r.holds(last)) return;
    for (int k = 0; k < kEnergyLines; ++k)
        value(out, drv(Data_energyflow_line1) + k, r.u(kEnergyFirstReg + k) == 1 ? 1 : 0);
    // A switch register reads 1 while the switch is open.
    for (int k = 0; k < kEnergySwitches; ++k)
        value(out, drv(Data_energyflow_sw1) + k,
              r.u(kEnergyFirstReg + kEnergyLines + k) == 1 ? 0 : 1);
}

void decodeIdentity(const uint8_t* reply, int size, Reports& out)
{
    const Registers r(reply, size);
    if (!r.holds(27)) return;
    value(out, drv(Data_UPSProductTypeIdent),
          static_cast<float>(100 * r.u(1) + 10 * r.u(2) + r.u(3)));
    textLowFirst(r.bytes(4), 16, drv(Data_AttachedDevices), out);
    textLowFirst(r.bytes(12), 16, drv(Data_upsIdentModel), out);
    textLowFirst(r.bytes(20), 16, drv(Data_IdentManufacturer), out);
}

void decodeAlarms(const uint8_t* reply, int size, Reports& out)
{
    if (!holdsBits(size, 99)) return;
    const Bits b(reply, size);
    evalRows(
        b,
        {
            {drv(Alarm_GeneralFault),
             kAny,
             {{0, 3},
              {5, 8},
              {22, 30},
              {48, 48},
              {50, 50},
              {54, 54},
              {57, 57},
              {61, 63},
              {72, 75},
              {96, 98}}},
            {drv(Alarm_OutputBad), kAny, {{9, 17}, {71, 71}, {76, 76}}},
            {drv(Alarm_OutputOverload), kAny, {{18, 18}, {49, 49}, {51, 51}, {56, 56}}},
            {drv(Alarm_BatteryBad), kAny, {{19, 19}, {43, 43}, {52, 52}, {55, 55}}},
            {drv(Alarm_LowBattery), kAny, {{66, 66}}},
            {drv(Alarm_TempBad), kAny, {{21, 21}}},
            {drv(Alarm_FanFailure), kAny, {{58, 58}, {93, 93}}},
            {drv(Alarm_InputBad), kAny, {{59, 59}, {64, 64}, {94, 94}}},
            {drv(Alarm_BypassBad), kAny, {{31, 31}, {60, 60}, {65, 65}, {70, 70}, {77, 78}}},
            {drv(Alarm_ChargerFailed), kAny, {{32, 42}, {44, 44}, {68, 68}, {80, 92}, {95, 95}}},
        },
        out);
}

void decodeReply(int index, const uint8_t* reply, int size, Reports& out)
{
    if (!reply || index < 0 || index >= kQueryCount || size < acuList[index].recvsize) return;
    switch (index) {
    case kMain:
        decodeMain(reply, size, out);
        break;
    case kEnergy:
        decodeEnergy(reply, size, out);
        break;
    case kIdentity:
        decodeIdentity(reply, size, out);
        break;
    case kAlarms:
        decodeAlarms(reply, size, out);
        break;
    }
}

} // namespace regups_c
