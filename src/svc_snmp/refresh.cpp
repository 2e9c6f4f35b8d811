/*
 * refresh.cpp - filling the shared block from the signal store.
 *
 * Numeric fields are the integer part of a UPS signal times a scale. Several
 * scales depend on which MIB module is loaded: the enterprise MIB wants
 * voltages, loads and the battery temperature in tenths, UPS-MIB in units.
 * The alarm table keeps up to six standing alarms in fixed slots: a new alarm
 * takes the first free slot, a cleared one frees its slot, nothing moves.
 */
#include "snmptask.h"

#include <cmath>
#include <signals.h>

namespace snmptask
{
namespace
{

using namespace snmpblock;

enum Scale { One, Ten, ByMib, OutPower, BypassPower, OutputVA };

struct FieldSource {
    std::size_t offset;
    int signal;
    Scale scale;
};

// Fields in record order with their UPS signals and scales.
constexpr FieldSource kFields[] = {
    {off::batteryStatus, 40101, One},
    {off::secondsOnBattery, 40102, One},
    // 40103/40104 or 40120/40121: chosen at run time, below
    {off::batteryVoltage, 40119, Ten},
    {off::batteryCurrent, 40106, Ten},
    {off::batteryTemperature, 40107, ByMib},
    {off::inputLineBads, 40131, One},
    {off::inputNumLines, 40132, One},
    {off::inputVoltage + 0, 40133, ByMib},
    {off::inputVoltage + 4, 40134, ByMib},
    {off::inputVoltage + 8, 40135, ByMib},
    {off::inputCurrent + 0, 40136, Ten},
    {off::inputCurrent + 4, 40137, Ten},
    {off::inputCurrent + 8, 40138, Ten},
    {off::inputFrequency + 0, 40139, Ten},
    {off::inputFrequency + 4, 40140, Ten},
    {off::inputFrequency + 8, 40141, Ten},
    {off::inputTruePower + 0, 40142, One},
    {off::inputTruePower + 4, 40143, One},
    {off::inputTruePower + 8, 40144, One},
    {off::outputSource, 40161, One},
    {off::outputFrequency, 40162, Ten},
    {off::outputNumLines, 40163, One},
    {off::outputVoltage + 0, 40164, ByMib},
    {off::outputVoltage + 4, 40165, ByMib},
    {off::outputVoltage + 8, 40166, ByMib},
    {off::outputCurrent + 0, 40167, Ten},
    {off::outputCurrent + 4, 40168, Ten},
    {off::outputCurrent + 8, 40169, Ten},
    {off::outputPower + 0, 40170, OutPower},
    {off::outputPower + 4, 40171, OutPower},
    {off::outputPower + 8, 40172, OutPower},
    {off::outputPercentLoad + 0, 40173, ByMib},
    {off::outputPercentLoad + 4, 40174, ByMib},
    {off::outputPercentLoad + 8, 40175, ByMib},
    {off::bypassFrequency, 40191, Ten},
    {off::bypassNumLines, 40192, One},
    {off::bypassVoltage + 0, 40193, ByMib},
    {off::bypassVoltage + 4, 40194, ByMib},
    {off::bypassVoltage + 8, 40195, ByMib},
    {off::bypassCurrent + 0, 40196, Ten},
    {off::bypassCurrent + 4, 40197, Ten},
    {off::bypassCurrent + 8, 40198, Ten},
    {off::bypassPower + 0, 40199, BypassPower},
    {off::bypassPower + 4, 40200, BypassPower},
    {off::bypassPower + 8, 40201, BypassPower},
    {off::configInputVoltage, 30000, One},
    {off::configInputFreq, 30001, Ten},
    {off::configOutputVoltage, 30002, One},
    {off::configOutputFreq, 30003, Ten},
    {off::configOutputVA, 30004, OutputVA},
    {off::configOutputPower, 30005, One},
    {off::configLowBattTime, 30006, One},
    {off::configAudibleStatus, 30007, One},
    {off::configLowVoltageTransferPoint, 30008, One},
    {off::configHighVoltageTransferPoint, 30009, One},
    {off::rectifierRun, 20024, One},
    {off::inverterRun, 20025, One},
    {off::batteryCharge, 20026, One},
    {off::batteryFloat, 20028, One},
    {off::batterySwitch, 20029, One},
    {off::inputSwitch, 20030, One},
    {off::outputSwitch, 20031, One},
    {off::bypassSwitch, 20032, One},
    {off::upsType, 20033, One},
};

// Integer part towards zero, kept inside 32 bits (NaN reads 0).
std::int32_t toField(double v)
{
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return static_cast<std::int32_t>(std::trunc(v));
}

std::string signalChars(Signals& sig, int base)
{
    std::string s;
    for (int j = 0; j < SIG_TEXT_LEN; ++j) {
        auto c = static_cast<unsigned char>(static_cast<int>(sig.value(DEV_UPS, base + j)));
        if (c == 0) break;
        s += static_cast<char>(c);
    }
    return s;
}

void refreshAlarms(const Block& b, Settings& s, Signals& sig)
{
    for (int j = 1; j <= kWellKnownAlarms; ++j) {
        int state = static_cast<int>(sig.value(DEV_UPS, ALARM_BASE + j - 1));
        int slot = -1;
        for (int i = 0; i < kAlarmTableUsed; ++i)
            if (b.alarmId(i) == j) {
                slot = i;
                break;
            }
        if (state == 1) {
            b.setAlarmState(j, 1);
            if (slot >= 0) continue;
            for (int i = 0; i < kAlarmTableUsed; ++i)
                if (b.alarmId(i) == 0) {
                    auto runTime = static_cast<std::uint32_t>(s.integer("system_run_time", 0));
                    b.setAlarm(i, static_cast<std::uint8_t>(j), runTime * 100u);
                    break;
                }
        } else {
            b.setAlarmState(j, 0);
            if (slot >= 0) b.setAlarm(slot, 0, 0);
        }
    }
}

} // namespace

void refreshBlock(const Block& b, Settings& s, Signals& sig, std::uint32_t mibType)
{
    // identification texts
    b.setText(off::identManufacturer, 32, signalChars(sig, 40000));
    b.setText(off::identModel, 64, signalChars(sig, 40016));
    b.setText(off::identUpsSoftwareVersion, 64, signalChars(sig, 40032));
    b.setText(off::identAttachedDevices, 64, signalChars(sig, 40080));
    b.setText(off::identAgentSoftwareVersion, 64, "FW02K13");
    b.setText(off::identName, 64, s.text("System_Name", ""));
    b.setText(off::batteryLastReplaceDate, 64, s.text("bat_change_time", ""));

    const int upsType = s.integer("ups_type", 0);
    const bool managed = s.integer("battery_enable_type", 0) != 0;
    const double byMib = mibType == 0 ? 1 : 10;
    const double outPower =
        (upsType == 2 || upsType == 4 || upsType == 5 || upsType == 7) ? 1000 : 1;
    const double bypassPower = upsType == 7 ? 1000 : 1;
    const int product = static_cast<int>(sig.value(DEV_UPS, 40096));
    const double outputVA = (product == 297 || product == 222) ? 1000 : 1;

    b.setI32(off::estimatedMinutesRemaining, toField(sig.value(DEV_UPS, managed ? 40120 : 40103)));
    b.setI32(off::estimatedChargeRemaining, toField(sig.value(DEV_UPS, managed ? 40121 : 40104)));
    for (const FieldSource& f : kFields) {
        double scale = 1;
        switch (f.scale) {
        case One:
            scale = 1;
            break;
        case Ten:
            scale = 10;
            break;
        case ByMib:
            scale = byMib;
            break;
        case OutPower:
            scale = outPower;
            break;
        case BypassPower:
            scale = bypassPower;
            break;
        case OutputVA:
            scale = outputVA;
            break;
        }
        // single-precision product, as the signal store holds floats: 25.4 x 10 is 254
        b.setI32(f.offset, toField(sig.value(DEV_UPS, f.signal) * static_cast<float>(scale)));
    }

    // temperature/humidity sensors
    int thsEnable = s.integer("ths_enable", 0);
    b.setU8(off::thsEnable, static_cast<std::uint8_t>(thsEnable));
    for (int j = 0; j < 4; ++j) {
        std::int32_t t = 0, h = 0;
        std::uint8_t flags[4] = {0, 0, 0, 0};
        if (thsEnable != 0) {
            // a divisor of 0 (or garbage) would divide by zero: treat it as 1
            int d = std::atoi(s.text("temp_conver" + std::to_string(j + 1), "100").c_str());
            if (d == 0) d = 1;
            t = toField(static_cast<double>(sig.value(DEV_SENSOR, 40208 + j)) / d * 10);
            h = toField(static_cast<double>(sig.value(DEV_SENSOR, 40212 + j)) / d * 10);
            for (int k = 0; k < 4; ++k)
                flags[k] = static_cast<std::uint8_t>(
                    static_cast<int>(sig.value(DEV_UPS, 20038 + 4 * j + k)));
        }
        b.setI32(off::thsTemperature + 4 * j, t);
        b.setI32(off::thsHumidity + 4 * j, h);
        b.setU8(off::overTemperature + j, flags[0]);
        b.setU8(off::underTemperature + j, flags[1]);
        b.setU8(off::overHumidity + j, flags[2]);
        b.setU8(off::underHumidity + j, flags[3]);
    }

    refreshAlarms(b, s, sig);
}

} // namespace snmptask
