/*
 * upsvars.cpp - the UPS as the protocol shows it: its standard variable
 * names mapped from the card's signals, the status words, the alarms, the
 * instant commands and the writable variables, each as a table.
 *
 * Values are read from the signals at every request, so they are as fresh as
 * the driver's last poll. Scales follow the card's shared rules
 * (card_rules.hpp): battery string voltage, output power in kW for some UPS
 * families, battery management replacing charge and runtime. A three-phase
 * UPS (its line count signal reads 3) also shows the L1..L3 values; the
 * unqualified value is always phase L1.
 */
#include "nut.hpp"

#include "card_rules.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace nut
{

namespace
{

// UPS-MIB output source numbering (Data_OutputSource).
constexpr int kSourceNone = 2;
constexpr int kSourceBypass = 4;
constexpr int kSourceBattery = 5;
constexpr int kSourceBooster = 6;
constexpr int kSourceReducer = 7;
constexpr int kThreePhases = 3;

// How a variable's value is made.
enum class From {
    Fixed,         // the text in `fixed`
    Text,          // the text block of signals starting at `signal`
    Signal,        // signal x factor
    Phase,         // signal of phase `phase` (0..2) when `lines` reads 3
    Status,        // the status words
    Alarm,         // the alarms, when there are any
    Charge,        // charge %, from battery management when it is on
    Runtime,       // seconds left, likewise
    BatteryVolts,  // card::batteryVoltage
    OutputPower,   // sum of the output phases x card::outputPowerScale
    ApparentPower, // the same for apparent power
    PhasePower,    // one phase's output power x card::outputPowerScale
    Load,          // the most loaded output phase (or the total when reported)
    Writable,      // a writable variable's setting
};

struct Row {
    const char* name;
    From from;
    int signal = 0;
    int decimals = 1;
    int lines = 0; // line count signal for Phase rows
    int phase = 0;
    const char* fixed = nullptr;
    const char* description = "";
};

constexpr Row text(const char* name, int base, const char* d)
{
    return {name, From::Text, base, 0, 0, 0, nullptr, d};
}
constexpr Row fixed(const char* name, const char* value, const char* d)
{
    return {name, From::Fixed, 0, 0, 0, 0, value, d};
}
constexpr Row signal(const char* name, int sig, int decimals, const char* d)
{
    return {name, From::Signal, sig, decimals, 0, 0, nullptr, d};
}
constexpr Row rule(const char* name, From from, int decimals, const char* d)
{
    return {name, from, 0, decimals, 0, 0, nullptr, d};
}
constexpr Row phase(const char* name, int lines, int sigA, int k, int decimals, const char* d)
{
    return {name, From::Phase, sigA + k, decimals, lines, k, nullptr, d};
}
constexpr Row phasePower(const char* name, int k, const char* d)
{
    return {name, From::PhasePower, Data_OutputPower_A + k, 0, Data_OutputNumLines, k, nullptr, d};
}
constexpr Row writable(const char* name)
{
    return {name, From::Writable, 0, 0, 0, 0, nullptr, nullptr};
}

// In the order `upsc` lists them.
constexpr Row kRows[] = {
    fixed("device.type", "ups", "Device type"),
    text("device.mfr", Data_IdentManufacturer, "Device manufacturer"),
    text("device.model", Data_upsIdentModel, "Device model"),
    writable("device.contact"),
    writable("device.location"),
    fixed("driver.name", "svc_nut", "Driver name"),
    fixed("driver.version", card::kFirmwareVersion, "Driver version"),
    rule("ups.status", From::Status, 0, "UPS status"),
    rule("ups.alarm", From::Alarm, 0, "UPS alarms"),
    text("ups.mfr", Data_IdentManufacturer, "UPS manufacturer"),
    text("ups.model", Data_upsIdentModel, "UPS model"),
    text("ups.firmware", Data_UPSSoftwareVersion, "UPS firmware"),
    text("ups.id", Data_upsIdentName, "UPS system identifier"),
    rule("ups.load", From::Load, 1, "Load on UPS (percent)"),
    rule("ups.realpower", From::OutputPower, 0, "Current value of real power (W)"),
    rule("ups.power", From::ApparentPower, 0, "Current value of apparent power (VA)"),
    signal("ups.power.nominal", Sys_ConfigOutputVA, 0, "Nominal value of apparent power (VA)"),
    writable("ups.delay.shutdown"),
    writable("ups.delay.start"),
    rule("battery.charge", From::Charge, 0, "Battery charge (percent)"),
    rule("battery.runtime", From::Runtime, 0, "Battery runtime (seconds)"),
    rule("battery.voltage", From::BatteryVolts, 1, "Battery voltage (V)"),
    signal("battery.current", Data_BatteryCurrent, 1, "Battery current (A)"),
    signal("battery.temperature", Data_BatteryTemperature, 1, "Battery temperature (degrees C)"),
    signal("input.phases", Data_InputNumLines, 0, "Input phases"),
    signal("input.voltage", Data_InputVoltage_A, 1, "Input voltage (V)"),
    signal("input.current", Data_InputCurrent_A, 1, "Input current (A)"),
    signal("input.frequency", Data_InputFrequency_A, 1, "Input line frequency (Hz)"),
    signal("input.voltage.nominal", Sys_ConfigInputVoltage, 0, "Nominal input voltage (V)"),
    signal("input.frequency.nominal", Sys_ConfigInputFreq, 0, "Nominal input frequency (Hz)"),
    phase("input.L1-N.voltage", Data_InputNumLines, Data_InputVoltage_A, 0, 1,
          "Input voltage L1-N (V)"),
    phase("input.L2-N.voltage", Data_InputNumLines, Data_InputVoltage_A, 1, 1,
          "Input voltage L2-N (V)"),
    phase("input.L3-N.voltage", Data_InputNumLines, Data_InputVoltage_A, 2, 1,
          "Input voltage L3-N (V)"),
    phase("input.L1.current", Data_InputNumLines, Data_InputCurrent_A, 0, 1,
          "Input current L1 (A)"),
    phase("input.L2.current", Data_InputNumLines, Data_InputCurrent_A, 1, 1,
          "Input current L2 (A)"),
    phase("input.L3.current", Data_InputNumLines, Data_InputCurrent_A, 2, 1,
          "Input current L3 (A)"),
    signal("input.bypass.phases", Data_BypassNumLines, 0, "Bypass input phases"),
    signal("input.bypass.voltage", Data_BypassVoltage_A, 1, "Bypass input voltage (V)"),
    signal("input.bypass.frequency", Data_BypassFrequency, 1, "Bypass input frequency (Hz)"),
    phase("input.bypass.L1-N.voltage", Data_BypassNumLines, Data_BypassVoltage_A, 0, 1,
          "Bypass voltage L1-N (V)"),
    phase("input.bypass.L2-N.voltage", Data_BypassNumLines, Data_BypassVoltage_A, 1, 1,
          "Bypass voltage L2-N (V)"),
    phase("input.bypass.L3-N.voltage", Data_BypassNumLines, Data_BypassVoltage_A, 2, 1,
          "Bypass voltage L3-N (V)"),
    signal("output.phases", Data_OutputNumLines, 0, "Output phases"),
    signal("output.voltage", Data_OutputVoltage_A, 1, "Output voltage (V)"),
    signal("output.current", Data_OutputCurrent_A, 1, "Output current (A)"),
    signal("output.frequency", Data_OutputFrequency, 1, "Output frequency (Hz)"),
    signal("output.voltage.nominal", Sys_ConfigOutputVoltage, 0, "Nominal output voltage (V)"),
    signal("output.frequency.nominal", Sys_ConfigOutputFreq, 0, "Nominal output frequency (Hz)"),
    phase("output.L1-N.voltage", Data_OutputNumLines, Data_OutputVoltage_A, 0, 1,
          "Output voltage L1-N (V)"),
    phase("output.L2-N.voltage", Data_OutputNumLines, Data_OutputVoltage_A, 1, 1,
          "Output voltage L2-N (V)"),
    phase("output.L3-N.voltage", Data_OutputNumLines, Data_OutputVoltage_A, 2, 1,
          "Output voltage L3-N (V)"),
    phase("output.L1.current", Data_OutputNumLines, Data_OutputCurrent_A, 0, 1,
          "Output current L1 (A)"),
    phase("output.L2.current", Data_OutputNumLines, Data_OutputCurrent_A, 1, 1,
          "Output current L2 (A)"),
    phase("output.L3.current", Data_OutputNumLines, Data_OutputCurrent_A, 2, 1,
          "Output current L3 (A)"),
    phasePower("output.L1.realpower", 0, "Output real power L1 (W)"),
    phasePower("output.L2.realpower", 1, "Output real power L2 (W)"),
    phasePower("output.L3.realpower", 2, "Output real power L3 (W)"),
    phase("output.L1.power.percent", Data_OutputNumLines, Data_OutputPercentLoad_A, 0, 1,
          "Load L1 (percent)"),
    phase("output.L2.power.percent", Data_OutputNumLines, Data_OutputPercentLoad_A, 1, 1,
          "Load L2 (percent)"),
    phase("output.L3.power.percent", Data_OutputNumLines, Data_OutputPercentLoad_A, 2, 1,
          "Load L3 (percent)"),
};

// The UPS's alarms for ups.alarm, in signal order. (The switch signals are
// left out: drivers disagree on which value means open.)
struct AlarmText {
    int signal;
    const char* text;
};
constexpr AlarmText kAlarms[] = {
    {Alarm_BatteryBad, "Replace battery"},
    {Alarm_DepletedBattery, "Battery depleted"},
    {Alarm_TempBad, "Temperature too high"},
    {Alarm_InputBad, "Input failure"},
    {Alarm_OutputBad, "Output failure"},
    {Alarm_OutputOverload, "Output overload"},
    {Alarm_BypassBad, "Bypass failure"},
    {Alarm_ChargerFailed, "Charger failure"},
    {Alarm_FanFailure, "Fan failure"},
    {Alarm_FuseFailure, "Fuse failure"},
    {Alarm_GeneralFault, "UPS fault"},
    {Alarm_DiagnosticTestFailed, "Self test failed"},
    {Alarm_AwaitingPower, "Awaiting power"},
    {Alarm_ShutdownPending, "Shutdown pending"},
    {Alarm_ShutdownImminent, "Shutdown imminent"},
    {Alarm_BatteryDisconnected, "Battery disconnected"},
};

constexpr Command kCommands[] = {
    {"test.battery.start.quick", card::command::kSelfTest, "Start a quick battery test", nullptr},
    {"test.battery.start", 1, "Start a battery test", nullptr},
    {"test.battery.start.deep", card::command::kDischargeTestToLow, "Start a deep battery test",
     nullptr},
    {"test.battery.stop", card::command::kCancelTest, "Stop the battery test", nullptr},
    {"shutdown.stayoff", card::command::kShutdown,
     "Turn off the load possibly after a delay and remain off", nullptr},
    {"shutdown.return", 24,
     "Turn off the load after ups.delay.shutdown and return after ups.delay.start", nullptr},
    {"shutdown.reboot", card::command::kRestart,
     "Shut down the load briefly while rebooting the UPS", nullptr},
    {"shutdown.stop", 22, "Stop a shutdown in progress", nullptr},
    {"load.off", 20, "Turn off the load immediately", nullptr},
    {"load.off.delay", card::command::kShutdownAfterDelay,
     "Turn off the load after a delay (seconds, default ups.delay.shutdown)", "in_tast23"},
    {"load.on", card::command::kWakeUp, "Turn on the load immediately", nullptr},
    {"bypass.start", card::command::kBypassManual, "Put the UPS in bypass mode", nullptr},
    {"bypass.stop", 11, "Take the UPS out of bypass mode", nullptr},
    {"beeper.toggle", card::command::kBeeperToggle, "Toggle the UPS beeper", nullptr},
    {"beeper.enable", 17, "Enable the UPS beeper", nullptr},
    {"beeper.disable", 18, "Disable the UPS beeper", nullptr},
};

// Commands after which the UPS output is off: shutdown, standby, inverter
// off countdown, output off, shutdown after a delay (with or without
// restart).
constexpr int kOutputOffCommands[] = {card::command::kShutdown,
                                      card::command::kStandby,
                                      card::command::kInverterOffCountdown,
                                      20,
                                      card::command::kShutdownAfterDelay,
                                      24};

constexpr Writable kWritables[] = {
    {"device.contact", "System_Admin", "", Kind::Text, 0, 63, 1, "Device administrator name"},
    {"device.location", "System_Location", "", Kind::Text, 0, 63, 1, "Device physical location"},
    {"ups.delay.shutdown", "in_tast23", "12", Kind::Range, 0, 9999, 1,
     "Interval to wait after shutdown with delay command (seconds)"},
    {"ups.delay.start", "in_tast5", "1", Kind::Range, 60, 599940, 60,
     "Interval to wait before restarting the load (seconds)"},
};

const Row* findRow(std::string_view name)
{
    for (const Row& r : kRows)
        if (name == r.name) return &r;
    return nullptr;
}

std::optional<std::string> number(float v, int decimals)
{
    if (!std::isfinite(v)) return std::nullopt;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, static_cast<double>(v));
    if (std::string_view(buf) == "-0" || std::string_view(buf) == "-0.0")
        return number(0, decimals);
    return std::string(buf);
}

bool on(card::Runtime& r, int sig)
{
    return r.value(card::kUps, sig) >= 0.5f;
}

bool managedBattery(card::Runtime& r)
{
    return r.integer("battery_enable_type", 0) != 0;
}

int lineCount(card::Runtime& r, int sig)
{
    return r.intValue(card::kUps, sig);
}

float outputPhases(card::Runtime& r, int sigA)
{
    const int n = lineCount(r, Data_OutputNumLines) == kThreePhases ? kThreePhases : 1;
    float sum = 0;
    for (int k = 0; k < n; ++k)
        sum += r.value(card::kUps, sigA + k);
    return sum * static_cast<float>(card::outputPowerScale(card::upsType(r)));
}

std::optional<std::string> read(Ups& ups, const Row& row, bool fsd)
{
    card::Runtime& r = ups.runtime();
    auto sig = [&](int s) { return r.value(card::kUps, s); };
    switch (row.from) {
    case From::Fixed:
        return std::string(row.fixed);
    case From::Text: {
        std::string t = card::signalText(r, card::kUps, row.signal);
        if (t.empty()) return std::nullopt;
        return t;
    }
    case From::Signal:
        return number(sig(row.signal), row.decimals);
    case From::Phase:
        if (lineCount(r, row.lines) != kThreePhases) return std::nullopt;
        return number(sig(row.signal), row.decimals);
    case From::PhasePower:
        if (lineCount(r, row.lines) != kThreePhases) return std::nullopt;
        return number(sig(row.signal) *
                          static_cast<float>(card::outputPowerScale(card::upsType(r))),
                      row.decimals);
    case From::Status:
        return ups.status(fsd);
    case From::Alarm: {
        std::string a = ups.alarms();
        if (a.empty()) return std::nullopt;
        return a;
    }
    case From::Charge:
        return number(
            sig(managedBattery(r) ? Data_BatteryManageSoc : Data_EstimatedChargeRemaining),
            row.decimals);
    case From::Runtime:
        return number(
            sig(managedBattery(r) ? Data_BatteryManageTime : Data_EstimatedMinutesRemaining) *
                60.0f,
            row.decimals);
    case From::BatteryVolts:
        return number(card::batteryVoltage(r), row.decimals);
    case From::OutputPower:
        return number(outputPhases(r, Data_OutputPower_A), row.decimals);
    case From::ApparentPower:
        return number(outputPhases(r, Data_OutputApparent_Power_A), row.decimals);
    case From::Load: {
        float load = sig(Data_OutputPercentLoad);
        if (load == 0) {
            const int n = lineCount(r, Data_OutputNumLines) == kThreePhases ? kThreePhases : 1;
            for (int k = 0; k < n; ++k)
                load = std::max(load, sig(Data_OutputPercentLoad_A + k));
        }
        return number(load, row.decimals);
    }
    case From::Writable:
        // Always a value, the empty text too: clients read every writable.
        if (const Writable* w = findWritable(row.name)) return writableValue(r, *w);
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace

// ---------------------------------------------------------------- Ups

bool Ups::stale()
{
    if (rt_.answering(card::kUps)) {
        seen_ = true;
        return false;
    }
    return !seen_ || on(rt_, Alarm_CommunicationsLost) || rt_.integer("ups_lost", 0) == 1;
}

std::vector<Variable> Ups::variables(bool fsd)
{
    std::vector<Variable> out;
    out.reserve(std::size(kRows));
    for (const Row& row : kRows)
        if (auto v = read(*this, row, fsd)) out.push_back({row.name, std::move(*v)});
    return out;
}

std::optional<std::string> Ups::variable(std::string_view name, bool fsd)
{
    const Row* row = findRow(name);
    if (!row) return std::nullopt;
    return read(*this, *row, fsd);
}

std::string Ups::status(bool fsd)
{
    card::Runtime& r = rt_;
    const int source = r.intValue(card::kUps, Data_OutputSource);
    const bool battery = on(r, Alarm_OnBattery) || source == kSourceBattery;
    const bool off = on(r, Alarm_UpsOutputOff) || on(r, Alarm_UpsSystemOff) ||
                     on(r, Alarm_OutputOffAsRequested) || on(r, Alarm_UpsOffAsRequested) ||
                     source == kSourceNone;
    std::vector<const char*> w;
    if (fsd) w.push_back("FSD");
    if (battery)
        w.push_back("OB");
    else if (!off)
        w.push_back("OL");
    if (on(r, Alarm_LowBattery) || on(r, Alarm_DepletedBattery)) w.push_back("LB");
    if (on(r, Alarm_BatteryBad)) w.push_back("RB");
    if (battery)
        w.push_back("DISCHRG");
    else if (on(r, Alarm_BatteryCharge) || on(r, Alarm_BatteryBoostCharge))
        w.push_back("CHRG");
    if (on(r, Alarm_OnBypass) || source == kSourceBypass) w.push_back("BYPASS");
    if (on(r, Alarm_TestInProgress)) w.push_back("CAL");
    if (off) w.push_back("OFF");
    if (on(r, Alarm_OutputOverload)) w.push_back("OVER");
    if (source == kSourceReducer) w.push_back("TRIM");
    if (source == kSourceBooster) w.push_back("BOOST");
    std::string s;
    for (const char* word : w) {
        if (!s.empty()) s += ' ';
        s += word;
    }
    return s;
}

std::string Ups::alarms()
{
    std::string s;
    for (const AlarmText& a : kAlarms) {
        if (!on(rt_, a.signal)) continue;
        if (!s.empty()) s += ", ";
        s += a.text;
    }
    return s;
}

std::string Ups::description()
{
    std::string name = rt_.text("System_Name", "");
    return name.empty() ? "UPS of the network card" : name;
}

std::string describeVariable(std::string_view name)
{
    if (const Writable* w = findWritable(name)) return w->description;
    const Row* row = findRow(name);
    return row ? row->description : "Unavailable";
}

bool knownVariable(std::string_view name)
{
    return findRow(name) != nullptr;
}

bool numericVariable(std::string_view name)
{
    const Row* row = findRow(name);
    if (!row) return false;
    switch (row->from) {
    case From::Fixed:
    case From::Text:
    case From::Status:
    case From::Alarm:
        return false;
    case From::Writable:
        return findWritable(name)->kind == Kind::Range;
    default:
        return true;
    }
}

// ---------------------------------------------------------------- commands

std::span<const Command> commands()
{
    return kCommands;
}

const Command* findCommand(std::string_view name)
{
    for (const Command& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

bool switchesOutputOff(int n)
{
    return std::find(std::begin(kOutputOffCommands), std::end(kOutputOffCommands), n) !=
           std::end(kOutputOffCommands);
}

// ---------------------------------------------------------------- writables

std::span<const Writable> writables()
{
    return kWritables;
}

const Writable* findWritable(std::string_view name)
{
    for (const Writable& w : kWritables)
        if (name == w.name) return &w;
    return nullptr;
}

std::string writableValue(card::Runtime& r, const Writable& w)
{
    std::string v = r.text(w.setting, w.def);
    if (w.kind == Kind::Text) return v;
    const int stored = card::parseInt(v, card::parseInt(w.def, 0));
    return std::to_string(static_cast<long long>(stored) * w.unit);
}

std::optional<std::string> setWritable(card::Runtime& r, const Writable& w, std::string_view value)
{
    if (w.kind == Kind::Text) {
        if (value.size() > static_cast<std::size_t>(w.max)) return "TOO-LONG";
        r.save(w.setting, std::string(value));
        return std::nullopt;
    }
    const int v = card::parseInt(value, -1);
    if (value.find_first_not_of("0123456789") != std::string_view::npos || value.empty() ||
        v < w.min || v > w.max)
        return "INVALID-VALUE";
    // Minutes settings take the shown seconds rounded up to whole minutes.
    r.saveInt(w.setting, (v + w.unit - 1) / w.unit);
    return std::nullopt;
}

} // namespace nut
