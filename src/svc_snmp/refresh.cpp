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

#include "card_rules.hpp"

#include <cmath>

namespace snmptask
{
namespace
{

using namespace snmpblock;

enum Scale { One, Ten, ByMib, OutPower, BypassPower, OutputVA };

struct FieldSource {
    std::size_t offset;
    int signal; // of the UPS
    Scale scale;
};

// Fields in record order with their UPS signals and scales.
constexpr FieldSource kFields[] = {
    {off::batteryStatus, Data_BatteryStatus, One},
    {off::secondsOnBattery, Data_SecondsOnBattery, One},
    // minutes and charge remaining: chosen at run time, below
    {off::batteryVoltage, Data_TotalBatteryVoltage, Ten},
    {off::batteryCurrent, Data_BatteryCurrent, Ten},
    {off::batteryTemperature, Data_BatteryTemperature, ByMib},
    {off::inputLineBads, Data_InputLineBads, One},
    {off::inputNumLines, Data_InputNumLines, One},
    {off::inputVoltage + 0, Data_InputVoltage_A, ByMib},
    {off::inputVoltage + 4, Data_InputVoltage_B, ByMib},
    {off::inputVoltage + 8, Data_InputVoltage_C, ByMib},
    {off::inputCurrent + 0, Data_InputCurrent_A, Ten},
    {off::inputCurrent + 4, Data_InputCurrent_B, Ten},
    {off::inputCurrent + 8, Data_InputCurrent_C, Ten},
    {off::inputFrequency + 0, Data_InputFrequency_A, Ten},
    {off::inputFrequency + 4, Data_InputFrequency_B, Ten},
    {off::inputFrequency + 8, Data_InputFrequency_C, Ten},
    {off::inputTruePower + 0, Data_InputTruePower_A, One},
    {off::inputTruePower + 4, Data_InputTruePower_B, One},
    {off::inputTruePower + 8, Data_InputTruePower_C, One},
    {off::outputSource, Data_OutputSource, One},
    {off::outputFrequency, Data_OutputFrequency, Ten},
    {off::outputNumLines, Data_OutputNumLines, One},
    {off::outputVoltage + 0, Data_OutputVoltage_A, ByMib},
    {off::outputVoltage + 4, Data_OutputVoltage_B, ByMib},
    {off::outputVoltage + 8, Data_OutputVoltage_C, ByMib},
    {off::outputCurrent + 0, Data_OutputCurrent_A, Ten},
    {off::outputCurrent + 4, Data_OutputCurrent_B, Ten},
    {off::outputCurrent + 8, Data_OutputCurrent_C, Ten},
    {off::outputPower + 0, Data_OutputPower_A, OutPower},
    {off::outputPower + 4, Data_OutputPower_B, OutPower},
    {off::outputPower + 8, Data_OutputPower_C, OutPower},
    {off::outputPercentLoad + 0, Data_OutputPercentLoad_A, ByMib},
    {off::outputPercentLoad + 4, Data_OutputPercentLoad_B, ByMib},
    {off::outputPercentLoad + 8, Data_OutputPercentLoad_C, ByMib},
    {off::bypassFrequency, Data_BypassFrequency, Ten},
    {off::bypassNumLines, Data_BypassNumLines, One},
    {off::bypassVoltage + 0, Data_BypassVoltage_A, ByMib},
    {off::bypassVoltage + 4, Data_BypassVoltage_B, ByMib},
    {off::bypassVoltage + 8, Data_BypassVoltage_C, ByMib},
    {off::bypassCurrent + 0, Data_BypassCurrent_A, Ten},
    {off::bypassCurrent + 4, Data_BypassCurrent_B, Ten},
    {off::bypassCurrent + 8, Data_BypassCurrent_C, Ten},
    {off::bypassPower + 0, Data_BypassPower_A, BypassPower},
    {off::bypassPower + 4, Data_BypassPower_B, BypassPower},
    {off::bypassPower + 8, Data_BypassPower_C, BypassPower},
    {off::configInputVoltage, Sys_ConfigInputVoltage, One},
    {off::configInputFreq, Sys_ConfigInputFreq, Ten},
    {off::configOutputVoltage, Sys_ConfigOutputVoltage, One},
    {off::configOutputFreq, Sys_ConfigOutputFreq, Ten},
    {off::configOutputVA, Sys_ConfigOutputVA, OutputVA},
    {off::configOutputPower, Sys_ConfigOutputPower, One},
    {off::configLowBattTime, Sys_sConfigLowBattTime, One},
    {off::configAudibleStatus, Sys_ConfigAudibleStatus, One},
    {off::configLowVoltageTransferPoint, Sys_ConfigLowVoltageTransferPoint, One},
    {off::configHighVoltageTransferPoint, Sys_ConfigHighVoltageTransferPoint, One},
    {off::rectifierRun, Alarm_RectifierRun, One},
    {off::inverterRun, Alarm_InverterRun, One},
    {off::batteryCharge, Alarm_BatteryCharge, One},
    {off::batteryFloat, Alarm_BatteryFloatCharge, One},
    {off::batterySwitch, Alarm_BatterySwitch, One},
    {off::inputSwitch, Alarm_InputSwitch, One},
    {off::outputSwitch, Alarm_OutputSwitch, One},
    {off::bypassSwitch, Alarm_BypassSwitch, One},
    {off::upsType, Alarm_UpsType, One},
};

// Integer part towards zero, kept inside 32 bits (NaN reads 0).
std::int32_t toField(double v)
{
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return static_cast<std::int32_t>(std::trunc(v));
}

// These product types report their rated output in kVA.
bool ratedInKva(int product)
{
    return product == 297 || product == 222;
}

void refreshSensors(const Block& b, card::Runtime& r)
{
    const int enable = r.integer("ths_enable", 0);
    b.setU8(off::thsEnable, static_cast<std::uint8_t>(enable));
    for (int j = 0; j < card::kSensorModules; ++j) {
        std::int32_t t = 0, h = 0;
        std::uint8_t flags[4] = {0, 0, 0, 0}; // over/under temperature, over/under humidity
        if (enable != 0) {
            const double d = card::sensorDivisor(r, j + 1);
            t = toField(r.value(card::kSensors, Data_temperature_1 + j) / d * 10);
            h = toField(r.value(card::kSensors, Data_humidity_1 + j) / d * 10);
            for (int k = 0; k < 4; ++k)
                flags[k] = static_cast<std::uint8_t>(
                    r.intValue(card::kUps, Alarm_TH1_Temp_Hi + 4 * j + k));
        }
        b.setI32(off::thsTemperature + 4 * j, t);
        b.setI32(off::thsHumidity + 4 * j, h);
        b.setU8(off::overTemperature + j, flags[0]);
        b.setU8(off::underTemperature + j, flags[1]);
        b.setU8(off::overHumidity + j, flags[2]);
        b.setU8(off::underHumidity + j, flags[3]);
    }
}

void refreshAlarms(const Block& b, card::Runtime& r)
{
    for (int j = 1; j <= kWellKnownAlarms; ++j) {
        const int state = r.intValue(card::kUps, alarmSignal(j));
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
                    auto runTime = static_cast<std::uint32_t>(r.integer("system_run_time", 0));
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

void refreshBlock(const Block& b, std::uint32_t mibType, card::Runtime& r)
{
    // identification texts
    b.setText(off::identManufacturer, 32, card::signalText(r, card::kUps, Data_IdentManufacturer));
    b.setText(off::identModel, 64, card::signalText(r, card::kUps, Data_upsIdentModel));
    b.setText(off::identUpsSoftwareVersion, 64,
              card::signalText(r, card::kUps, Data_UPSSoftwareVersion));
    b.setText(off::identAttachedDevices, 64, card::signalText(r, card::kUps, Data_AttachedDevices));
    b.setText(off::identAgentSoftwareVersion, 64, card::kFirmwareVersion);
    b.setText(off::identName, 64, r.text("System_Name", ""));
    b.setText(off::batteryLastReplaceDate, 64, r.text("bat_change_time", ""));

    const int upsType = card::upsType(r);
    const bool managed = r.integer("battery_enable_type", 0) != 0;
    const double byMib = mibType == 0 ? 1 : 10;
    const int product = r.intValue(card::kUps, Data_UPSProductTypeIdent);

    b.setI32(off::estimatedMinutesRemaining,
             toField(r.value(card::kUps,
                             managed ? Data_BatteryManageTime : Data_EstimatedMinutesRemaining)));
    b.setI32(off::estimatedChargeRemaining,
             toField(r.value(card::kUps,
                             managed ? Data_BatteryManageSoc : Data_EstimatedChargeRemaining)));
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
            scale = card::outputPowerScale(upsType);
            break;
        case BypassPower:
            scale = card::bypassPowerScale(upsType);
            break;
        case OutputVA:
            scale = ratedInKva(product) ? 1000 : 1;
            break;
        }
        // single-precision product, as the signal store holds floats: 25.4 x 10 is 254
        b.setI32(f.offset, toField(r.value(card::kUps, f.signal) * static_cast<float>(scale)));
    }

    refreshSensors(b, r);
    refreshAlarms(b, r);
}

} // namespace snmptask
