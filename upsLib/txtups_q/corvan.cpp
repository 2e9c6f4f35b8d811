/*
 * corvan.cpp - decoders, poll cycle and control of the CORVAN text-protocol
 * UPSs (see corvan.hpp): reply bytes in, (signal, value) reports out, with
 * the status bits one record leaves for the next.
 *
 * Alarm flags go out as flags: Q1 and WA both report the status bits, and
 * the cycle settles a bit set by either, so one reply's 0 never hides the
 * other's 1 within a cycle.
 */
#include "corvan.hpp"

#include "signals.h"

#include <cstring>
#include <string_view>

namespace corvan
{

namespace
{

using upscommon::ascii::flag;
using upscommon::ascii::Record;
using upscommon::ascii::value;

// Four-digit driver number of a catalogue signal (d0abc -> d.abc).
constexpr int drv(int stored)
{
    return stored / 10000 * 1000 + stored % 10000;
}

constexpr int kThreeLines = 3;
// A reply this short that does not end the line was cut off.
constexpr int kTornLine = 199;
constexpr int kSecondsPerMinute = 60;
// Power fields are in tenths of a kW (kVA); the card shows W (VA).
constexpr float kPowerFactor = 0.1f * 1000;

// Mode digit D of Q6.
constexpr int kModeBypass = 2;
constexpr int kModeLine = 3;
constexpr int kModeBattery = 4;
constexpr int kModeBatteryTest = 5;
constexpr int kModeEco = 8;
// Test state T of Q6.
constexpr int kTestRunning = 1;
constexpr int kTestFailed = 3;

// Positions of the status bits in each record.
struct StatusBits {
    int utilityFail, batteryLow, bypassActive, upsFailed, upsType, test;
};
constexpr StatusBits kQ1Bits = {38, 39, 40, 41, 42, 43};
constexpr StatusBits kWABits = {71, 72, 73, 74, 75, 76};

bool onBypass(const State& s)
{
    return s.mode == kModeBypass || s.mode == kModeEco;
}

bool onBattery(const State& s)
{
    return s.mode == kModeBattery;
}

bool testing(const State& s)
{
    return s.test_alarm || s.test_state == kTestRunning || s.mode == kModeBatteryTest;
}

// The status bits of WA and Q1: reported, and kept for Q6 and the tail.
void statusBits(State& s, const Record& r, const StatusBits& at, Reports& out)
{
    s.input_fault = r.flag(at.utilityFail);
    s.battery_low = r.flag(at.batteryLow);
    s.bypass_active = r.flag(at.bypassActive);
    s.ups_failed = r.flag(at.upsFailed);
    s.test_alarm = r.flag(at.test);
    flag(out, drv(Alarm_InputBad), s.input_fault);
    flag(out, drv(Alarm_LowBattery), s.battery_low);
    flag(out, drv(Alarm_OnBypass), s.bypass_active);
    flag(out, drv(Alarm_GeneralFault), s.ups_failed);
    flag(out, drv(Alarm_UpsType), r.set(at.upsType));
}

// What every decoded record ends with.
void tail(const State& s, Reports& out)
{
    value(out, drv(Sys_ConfigInputVoltage), kRatedVoltage);
    value(out, drv(Sys_ConfigOutputVoltage), kRatedVoltage);
    value(out, drv(Sys_ConfigInputFreq), kRatedFrequency);
    value(out, drv(Sys_ConfigOutputFreq), kRatedFrequency);
    const bool running = testing(s);
    flag(out, drv(Alarm_TestInProgress), running);
    flag(out, drv(Alarm_DiagnosticTestFailed), !running && s.test_state == kTestFailed);
    int status = 2;
    if (s.battery_low)
        status = 3;
    else if (s.mode == kModeBattery)
        status = 8;
    else if (s.mode == kModeBatteryTest)
        status = 5;
    value(out, drv(Data_BatteryStatus), static_cast<float>(status));
}

// Phases beyond the first that carry a voltage.
int phases(float s, float t)
{
    return 1 + (s > 0 ? 1 : 0) + (t > 0 ? 1 : 0);
}

bool q6(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({6, 12, 18, 23})) return false;

    s.input_vol = r.number(1, 5, 0.1f);
    const float inS = r.number(7, 11, 0.1f), inT = r.number(13, 17, 0.1f);
    value(out, drv(Data_InputVoltage_A), s.input_vol);
    value(out, drv(Data_InputVoltage_B), inS);
    value(out, drv(Data_InputVoltage_C), inT);
    const bool threeIn = phases(inS, inT) == kThreeLines;
    value(out, drv(Data_InputNumLines), threeIn ? kThreeLines : 1);
    const float inHz = r.number(19, 22, 0.1f);
    value(out, drv(Data_InputFrequency_A), inHz);
    if (threeIn) {
        value(out, drv(Data_InputFrequency_B), inHz);
        value(out, drv(Data_InputFrequency_C), inHz);
    }

    s.output_vol = r.number(24, 28, 0.1f);
    const float outV[3] = {s.output_vol, r.number(30, 34, 0.1f), r.number(36, 40, 0.1f)};
    const float outHz = r.number(42, 45, 0.1f);
    const int outLines = phases(outV[1], outV[2]) == kThreeLines ? kThreeLines : 1;
    const int outSig[3] = {Data_OutputVoltage_A, Data_OutputVoltage_B, Data_OutputVoltage_C};
    const int bypassSig[3] = {Data_BypassVoltage_A, Data_BypassVoltage_B, Data_BypassVoltage_C};
    for (int k = 0; k < 3; ++k) {
        value(out, drv(outSig[k]), outV[k]);
        // The UPS reports no bypass line: while it runs on bypass its output
        // is the bypass.
        value(out, drv(bypassSig[k]), s.bypass_active ? outV[k] : 0);
    }
    value(out, drv(Data_OutputFrequency), outHz);
    value(out, drv(Data_BypassFrequency), s.bypass_active ? outHz : 0);
    value(out, drv(Data_OutputNumLines), outLines);
    value(out, drv(Data_BypassNumLines), outLines);

    value(out, drv(Data_OutputPercentLoad_A), r.number(47, 49));
    value(out, drv(Data_OutputPercentLoad_B), r.number(51, 53));
    value(out, drv(Data_OutputPercentLoad_C), r.number(55, 57));

    s.batt_vol = r.number(59, 63, 0.1f);
    value(out, drv(Data_BatteryVoltage), s.batt_vol);
    value(out, drv(Data_PwBatteryVoltageP), s.batt_vol);
    value(out, drv(Data_PwBatteryVoltageN), r.number(65, 69, 0.1f));
    const float temp = r.number(71, 74, 0.1f);
    value(out, drv(Data_Inverter_Temperature), temp);
    value(out, drv(Data_BatteryTemperature), temp);
    const int seconds = static_cast<int>(r.number(76, 80));
    value(out, drv(Data_EstimatedMinutesRemaining),
          static_cast<float>(seconds / kSecondsPerMinute));
    value(out, drv(Data_EstimatedChargeRemaining), r.number(82, 84));

    s.mode = static_cast<int>(r.number(86, 86));
    s.test_state = static_cast<int>(r.number(88, 88));
    int source = 1;
    if (onBypass(s))
        source = 4;
    else if (s.mode == kModeLine)
        source = 3;
    else if (s.mode == kModeBattery || s.mode == kModeBatteryTest)
        source = 5;
    value(out, drv(Data_OutputSource), static_cast<float>(source));
    flag(out, drv(Alarm_OnBattery), onBattery(s));
    value(out, drv(Data_UpsWorkMode), static_cast<float>(s.mode));

    const bool good = s.input_vol > 0 && !s.input_fault;
    const bool battery = s.batt_vol > 0;
    int l[8] = {};
    if (onBypass(s)) {
        if (s.output_vol >= 1) {
            l[1] = 1;
            l[2] = l[3] = good;
            l[7] = battery && good;
        }
    } else {
        l[2] = l[3] = good;
        l[4] = l[5] = good || (battery && onBattery(s));
        l[7] = battery && onBattery(s) ? 2 : (battery && good ? 1 : 0);
    }
    // The output fault is the UPS's own failure bit.
    l[6] = s.output_vol > 0 && !s.ups_failed;
    if (testing(s)) {
        const int test[8] = {0, 0, 1, 0, 1, 1, 0, 2};
        for (int k : {1, 2, 3, 4, 5, 7})
            l[k] = test[k];
    }
    for (int k = 1; k <= 7; ++k)
        value(out, drv(Data_energyflow_line1) + k - 1, static_cast<float>(l[k]));
    flag(out, drv(Alarm_OnInput), !onBypass(s) && !testing(s) && good);
    return true;
}

bool wa(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({6, 18, 30, 42})) return false;
    const int active[3] = {Data_OutputPower_A, Data_OutputPower_B, Data_OutputPower_C};
    const int apparent[3] = {Data_OutputApparent_Power_A, Data_OutputApparent_Power_B,
                             Data_OutputApparent_Power_C};
    const int current[3] = {Data_OutputCurrent_A, Data_OutputCurrent_B, Data_OutputCurrent_C};
    for (int k = 0; k < 3; ++k) {
        value(out, drv(active[k]), r.number(1 + 6 * k, 5 + 6 * k, kPowerFactor));
        value(out, drv(apparent[k]), r.number(19 + 6 * k, 23 + 6 * k, kPowerFactor));
        value(out, drv(current[k]), r.number(49 + 6 * k, 53 + 6 * k, 0.1f));
    }
    statusBits(s, r, kWABits, out);
    return true;
}

bool q1(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({6, 12, 18, 22})) return false;
    statusBits(s, r, kQ1Bits, out);
    return true;
}

} // namespace

bool kindOf(const Command& c, Kind& kind)
{
    const std::string_view t = c.text;
    if (t == "Q1\r")
        kind = Kind::Q1;
    else if (t == "Q6\r")
        kind = Kind::Q6;
    else if (t == "WA\r")
        kind = Kind::WA;
    else
        return false;
    return true;
}

bool decodeReply(State& s, Kind kind, const uint8_t* reply, int got, Reports& out)
{
    if (!reply || got <= 0) return false;
    bool taken = false;
    switch (kind) {
    case Kind::Q1:
        taken = q1(s, Record(reply, got, kQ1Size), out);
        break;
    case Kind::Q6:
        taken = q6(s, Record(reply, got, kQ6Size), out);
        break;
    case Kind::WA:
        taken = wa(s, Record(reply, got, kWASize), out);
        break;
    }
    if (taken) tail(s, out);
    return taken;
}

int query(State& s, std::span<const Command> table, bool forget, const upscommon::PortIo& io,
          void* fd, int id, upscommon::Cycle& out)
{
    upscommon::ascii::CycleRules rules;
    rules.decode = [&](int i, const uint8_t* reply, int got, Reports& reports) {
        Kind kind{};
        if (!kindOf(table[i], kind)) return false;
        if (got <= kTornLine && reply[got - 1] != '\r') return false;
        return decodeReply(s, kind, reply, got, reports);
    };
    const int answered =
        upscommon::ascii::pollCycle(io, fd, id, table, &s.exit_upslib_flag, rules, out);
    if (!answered && forget && s.exit_upslib_flag != 1) s = State{};
    return answered;
}

int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmd)
{
    return upscommon::ascii::kytoControl(io, fd, id, cmd, s.exit_upslib_flag, kControlTaken);
}

} // namespace corvan
