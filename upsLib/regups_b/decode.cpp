/*
 * decode.cpp - pure decoders of regups_b: reply bytes in, reports out.
 *
 * The measurement block comes first in every cycle and carries the protocol
 * version and the UPS mode that the later blocks of the same cycle depend
 * on: from protocol 2.6 on the battery block carries the energy-flow diagram
 * and the battery state register decides the battery status; below 2.6 both
 * come from the status bit map.
 */
#include "regups_b.h"
#include "signals.h"

namespace regups_b
{

namespace
{

using namespace upscommon::regmap;

constexpr int kLineFirstReg = 125; // energy-flow lines 1-15, registers 125-139
constexpr int kBatteryLineReg = 133;
constexpr int kSwitchFirstReg = 140; // switches 1-4, registers 140-143

// UPS modes of the mode register (87).
enum Mode {
    kFault = 3,
    kStandby = 6,
    kLine = 8,
    kOnBattery = 9,
    kBatteryTest = 10,
};

bool isBypassMode(int m)
{
    return m == 2 || m == 4 || m == 7;
}

// Data_OutputSource: the UPS-MIB source; a UPS in standby or fault has no
// output, a mode the table does not know is "other".
int outputSource(int m)
{
    if (isBypassMode(m)) return 4;
    if (m == kLine) return 3;
    if (m == kOnBattery || m == kBatteryTest) return 5;
    if (m == kStandby || m == kFault) return 2;
    return 1;
}

int workMode(int m)
{
    if (isBypassMode(m)) return 2;
    switch (m) {
    case kLine:
        return 3;
    case kFault:
        return 6;
    case kStandby:
        return 1;
    case kOnBattery:
        return 4;
    case kBatteryTest:
        return 5;
    default:
        return 0;
    }
}

void reportFlow(const Flow& f, Reports& out)
{
    for (int k = 0; k < kFlowLines; ++k)
        value(out, drv(Data_energyflow_line1) + k, static_cast<float>(f.line[k]));
    for (int k = 0; k < kFlowSwitches; ++k)
        value(out, drv(Data_energyflow_sw1) + k, static_cast<float>(f.sw[k]));
}

// Line values as the UPS reports them from 2.6 on, by the high byte H of a
// line register: 1 carries energy (2), 2 is live without flow (1). The
// battery line's H = 2 says the battery works, the low byte in which
// direction: 3 charging (2), 4 discharging (1), else connected and idle (3);
// H = 1 is idle (3), H = 3 disconnected (0).
int lineValue(unsigned reg)
{
    const unsigned h = reg >> 8;
    return h == 1 ? 2 : (h == 2 ? 1 : 0);
}

int batteryLineValue(unsigned reg)
{
    const unsigned h = reg >> 8, lo = reg & 0xFF;
    if (h == 2) return lo == 3 ? 2 : (lo == 4 ? 1 : 3);
    return h == 1 ? 3 : 0;
}

// Status bits read by more than one rule.
constexpr int kOnBypassBit = 1;
constexpr int kBoostBit = 4;
constexpr int kFloatBit = 5;
constexpr int kDischargeBit = 6;
constexpr int kBatteryConnectedBit = 12;
constexpr int kOutputSwitchBit = 13;
constexpr int kInputBadBit = 41;

} // namespace

/*
 * The energy-flow diagram of firmware below 2.6, drawn from the status map.
 * The diagram has fifteen lines and four switches:
 *
 *   mains -1- input switch -2- rectifier -3- DC bus -4- inverter -5-
 *       inverter switch -6- output bus -11- output switch -12- load -15-
 *   bypass supply -7- bypass switch -8- static switch -10- output bus
 *   battery -9- DC bus
 *   bypass supply -13- maintenance switch -14- load
 *
 * A line reads 2 while energy flows along it, 1 while it is live without
 * flow, 0 while dead; the battery line reads 2 charging, 1 discharging, 3
 * connected and idle, 0 disconnected (the same values the 2.6 registers give,
 * lineValue above). Switches 1-4 are the maintenance bypass, bypass,
 * inverter and output switches, 1 when closed.
 *
 * The status bits (index 0 is discrete input 0x20) these rules read:
 *   0 bypass supply within range      1 load on the static bypass
 *   3 inverter switch closed          4, 5 boost / float charging
 *   6 battery discharging             7, 8 rectifier running
 *   9 maintenance switch closed       12 battery connected
 *   13 output switch closed           14 bypass switch closed
 *   15, 16 inverter running           23 input switch closed
 *   41 mains abnormal                 91 emergency power off
 *   126 load on the inverter          131 battery test (battery discharging)
 */
Flow flowFromBits(const Bits& b)
{
    const bool mainsOk = !b[kInputBadBit];
    const bool rectifier = b[7] || b[8];
    const bool inverter = b[15] || b[16];
    const bool onBypass = b[kOnBypassBit];
    const bool onInverter = b[126] && !onBypass;
    const bool bypassOk = b[0];
    const bool epo = b[91];
    const bool inputSw = b[23], maintSw = b[9], bypassSw = b[14], inverterSw = b[3],
               outputSw = b[kOutputSwitchBit];
    const bool connected = b[kBatteryConnectedBit];
    const bool discharging = b[kDischargeBit] || b[131];
    const bool charging = b[kBoostBit] || b[kFloatBit];
    auto flow = [](bool flows, bool live) { return flows ? 2 : (live ? 1 : 0); };

    Flow f;
    auto& l = f.line;
    l[0] = flow(mainsOk && inputSw && rectifier, mainsOk);
    l[1] = flow(mainsOk && inputSw && rectifier, mainsOk && inputSw);
    l[2] = flow(rectifier, false);
    l[3] = flow(inverter, rectifier || connected);
    l[4] = flow(inverter && onInverter && inverterSw, inverter);
    l[5] = flow(inverter && onInverter && inverterSw && !epo, false);
    l[6] = flow(bypassOk && onBypass && bypassSw, bypassOk);
    l[7] = flow(bypassOk && onBypass && bypassSw, bypassOk && bypassSw);
    l[8] = !connected ? 0 : discharging ? 1 : charging ? 2 : 3;
    l[9] = flow(bypassOk && onBypass && bypassSw && !epo, false);
    l[10] = flow(l[5] == 2 || l[9] == 2, false);
    l[11] = flow(l[10] == 2 && outputSw, false);
    l[12] = flow(bypassOk && maintSw, bypassOk);
    l[13] = flow(bypassOk && maintSw, false);
    l[14] = flow(l[11] == 2 || l[13] == 2, false);
    f.sw = {maintSw ? 1 : 0, bypassSw ? 1 : 0, inverterSw ? 1 : 0, outputSw ? 1 : 0};
    return f;
}

void decodeMeasurement(State& s, const uint8_t* reply, int size, Reports& out)
{
    const Registers r(reply, size);
    if (!r.holds(87)) return;
    value(out, drv(Data_InputNumLines), 3);
    value(out, drv(Data_OutputNumLines), 3);
    value(out, drv(Data_BypassNumLines), 3);
    // High byte the major version, low byte hundredths: 0x02 0x3C is 2.60.
    // Divided once so that 2.60 compares equal to the 2.6 threshold.
    s.pro_type = static_cast<float>(r.byte(0, 0) * 100 + r.byte(0, 1)) / 100.0f;
    value(out, drv(Sys_UpsProType), s.pro_type);
    spans(r,
          {
              {4, 6, drv(Data_InputFrequency_A), 0.01f},
              {7, 9, drv(Data_InputCurrent_A), 0.1f},
              {13, 15, drv(Data_InputVoltage_A), 0.1f},
              {17, 19, drv(Data_BypassVoltage_A), 0.1f},
              {20, 20, drv(Data_BypassFrequency), 0.01f},
              {26, 28, drv(Data_OutputVoltage_A), 0.1f},
              {29, 31, drv(Data_OutputCurrent_A), 0.1f},
              {32, 32, drv(Data_OutputFrequency), 0.01f},
              {35, 37, drv(Data_OutputPower_A), 0.1f},
              {38, 40, drv(Data_OutputApparent_Power_A), 0.1f},
              {44, 46, drv(Data_OutputPowerFactor_A), 0.01f},
              {47, 49, drv(Data_OutputPercentLoad_A), 0.1f},
              {67, 67, drv(Data_BatteryVoltage), 0.1f},
              {68, 68, drv(Data_BatteryCurrent), 0.1f, kSigned},
              {71, 71, drv(Data_BatteryTemperature), 0.1f, kSigned},
              {76, 76, drv(Data_Inverter_Temperature), 0.1f, kSigned},
          },
          out);
    const int m = static_cast<int>(r.u(87));
    s.work_state = m;
    value(out, drv(Data_OutputSource), static_cast<float>(outputSource(m)));
    value(out, drv(Data_UpsWorkMode), static_cast<float>(workMode(m)));
    flag(out, drv(Alarm_TestInProgress), m == kBatteryTest ? 1 : 0);
    flag(out, drv(Alarm_OnInput), m == kLine ? 1 : 0);
}

void decodeBattery(State& s, const uint8_t* reply, int size, Reports& out)
{
    const Registers r(reply, size, 88);
    if (!r.holds(143)) return;
    spans(r,
          {
              {88, 88, drv(Data_BatteryCap)},
              {89, 89, drv(Data_BatteryNum)},
              {90, 90, drv(Data_BatteryPackNum)},
          },
          out);
    s.batt_status = static_cast<float>(r.u(91));
    if (s.pro_type < kRegisterFlowVersion) return;
    Flow f;
    for (int k = 0; k < kFlowLines; ++k) {
        const int reg = kLineFirstReg + k;
        f.line[k] = reg == kBatteryLineReg ? batteryLineValue(r.u(reg)) : lineValue(r.u(reg));
    }
    for (int k = 0; k < kFlowSwitches; ++k)
        f.sw[k] = r.u(kSwitchFirstReg + k) == 2 ? 1 : 0;
    reportFlow(f, out);
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

void decodeStatus(const State& s, const uint8_t* reply, int size, Reports& out)
{
    if (!holdsBits(size, 134)) return;
    const Bits b(reply, size);
    const bool onBattery = b[kDischargeBit] || s.work_state == kOnBattery;
    evalRows(b,
             {
                 {drv(Alarm_BatteryBad), kAny, {{45, 46}, {85, 85}}},
                 {drv(Alarm_BatteryCharge), kAny, {{kDischargeBit, kDischargeBit}}},
                 {drv(Alarm_LowBattery), kAny, {{87, 87}}},
                 {drv(Alarm_InputBad), kAny, {{kInputBadBit, kInputBadBit}}},
                 {drv(Alarm_OutputOverload), kAny, {{108, 108}}},
                 {drv(Alarm_OutputBad), kAny, {{56, 61}, {115, 115}}},
                 {drv(Alarm_OnBypass), kAny, {{kOnBypassBit, kOnBypassBit}}},
                 {drv(Alarm_BypassBad), kAny, {{44, 44}}},
                 {drv(Alarm_TempBad), kAny, {{46, 46}, {85, 85}, {104, 104}}},
                 {drv(Alarm_DiagnosticTestFailed), kAny, {{118, 120}}},
                 {drv(Alarm_BatteryBoostCharge), kAny, {{kBoostBit, kBoostBit}}},
                 {drv(Alarm_BatteryFloatCharge), kAny, {{kFloatBit, kFloatBit}}},
                 {drv(Alarm_FanFailure), kAny, {{77, 77}}},
                 {drv(Alarm_UpsSystemOff), kAny, {{99, 99}}},
                 {drv(Alarm_ChargerFailed), kAny, {{86, 86}}},
                 {drv(Alarm_FuseFailure), kAny, {{107, 107}}},
                 {drv(Alarm_RectifierRun), kAny, {{7, 8}}},
                 {drv(Alarm_InverterRun), kAny, {{15, 18}}},
             },
             out);
    flag(out, drv(Alarm_OnBattery), onBattery ? 1 : 0);
    flag(out, drv(Alarm_GeneralFault), s.work_state == kFault ? 1 : 0);
    const bool disconnected = !b[kBatteryConnectedBit];
    flag(out, drv(Alarm_BatteryDisconnected), disconnected ? 1 : 0);
    flag(out, drv(Alarm_OutputSwitch), b[kOutputSwitchBit] ? 0 : 1);

    const bool bad = evalRow(b, kAny, {{45, 46}, {85, 85}}) != 0;
    const bool low = b[87] != 0;
    int status;
    if (s.pro_type >= kRegisterFlowVersion) {
        constexpr int kByState[] = {0, 1, 9, 8, 6, 7, 5}; // battery state register 1-6
        const int st = static_cast<int>(s.batt_status);
        status = (st >= 1 && st <= 6) ? kByState[st] : (bad ? 4 : (low ? 3 : 2));
    } else {
        if (disconnected)
            status = 1;
        else if (s.work_state == kBatteryTest)
            status = 5;
        else if (bad)
            status = 4;
        else if (low)
            status = 3;
        else if (onBattery)
            status = 8;
        else if (b[kBoostBit])
            status = 6;
        else if (b[kFloatBit])
            status = 7;
        else
            status = 2;
        reportFlow(flowFromBits(b), out);
    }
    value(out, drv(Data_BatteryStatus), static_cast<float>(status));
}

void decodeReply(State& s, int index, const uint8_t* reply, int size, Reports& out)
{
    if (!reply || index < 0 || index >= kQueryCount || size < acuList[index].recvsize) return;
    switch (index) {
    case kMeasurement:
        decodeMeasurement(s, reply, size, out);
        break;
    case kBattery:
        decodeBattery(s, reply, size, out);
        break;
    case kIdentity:
        decodeIdentity(reply, size, out);
        break;
    case kStatus:
        decodeStatus(s, reply, size, out);
        break;
    }
}

} // namespace regups_b
