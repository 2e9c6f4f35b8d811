/*
 * reports.cpp - the data and alarm identifier tables and the report builders.
 *
 * The tables are written in the platform's order; a data report walks
 * kDataIds from top to bottom, an alarm report kAlarmIds. Values go out as
 * "%.2f" texts beside their 4-byte identifier; alarm codes are 16-bit
 * identifiers with bit 15 set while the alarm is active.
 */
#include "reports.hpp"

#include "card_rules.hpp"

#include <cmath>
#include <cstdio>

namespace cloud
{

namespace
{
using S = Source;
} // namespace

const std::vector<DataRow> kDataIds = {
    {100, Data_UpsWorkMode, 1},
    {101, Data_OutputSource, 1, S::OutputSource},
    {103, 0, 1, S::EnergyFlow},
    {104, 0, 1, S::Phases},
    // input
    {200, Data_InputNumLines, 1},
    {201, Data_InputVoltage_A, 10},
    {202, Data_InputVoltage_B, 10},
    {203, Data_InputVoltage_C, 10},
    {204, Data_InputCurrent_A, 10},
    {205, Data_InputCurrent_B, 10},
    {206, Data_InputCurrent_C, 10},
    {207, Data_InputFrequency_A, 10},
    {208, Data_InputFrequency_B, 10},
    {209, Data_InputFrequency_C, 10},
    {210, Data_InputApparent_Power_A, 10},
    {211, Data_InputApparent_Power_B, 10},
    {212, Data_InputApparent_Power_C, 10},
    {213, Data_InputTruePower_A, 10},
    {214, Data_InputTruePower_B, 10},
    {215, Data_InputTruePower_C, 10},
    {219, Data_InputPowerFactor_A, 100},
    {220, Data_InputPowerFactor_B, 100},
    {221, Data_InputPowerFactor_C, 100},
    // output
    {300, Data_OutputNumLines, 1},
    {301, Data_OutputVoltage_A, 10},
    {302, Data_OutputVoltage_B, 10},
    {303, Data_OutputVoltage_C, 10},
    {304, Data_OutputCurrent_A, 10},
    {305, Data_OutputCurrent_B, 10},
    {306, Data_OutputCurrent_C, 10},
    {307, Data_OutputFrequency, 10},
    {308, Data_OutputFrequency, 10},
    {309, Data_OutputFrequency, 10},
    {310, Data_OutputApparent_Power_A, 10},
    {311, Data_OutputApparent_Power_B, 10},
    {312, Data_OutputApparent_Power_C, 10},
    {313, Data_OutputPower_A, 10},
    {314, Data_OutputPower_B, 10},
    {315, Data_OutputPower_C, 10},
    {319, Data_OutputPercentLoad_A, 1},
    {320, Data_OutputPercentLoad_B, 1},
    {321, Data_OutputPercentLoad_C, 1},
    {322, Data_OutputPowerFactor_A, 100},
    {323, Data_OutputPowerFactor_B, 100},
    {324, Data_OutputPowerFactor_C, 100},
    // bypass
    {400, Data_BypassNumLines, 1},
    {401, Data_BypassVoltage_A, 10},
    {402, Data_BypassVoltage_B, 10},
    {403, Data_BypassVoltage_C, 10},
    {404, Data_BypassCurrent_A, 10},
    {405, Data_BypassCurrent_B, 10},
    {406, Data_BypassCurrent_C, 10},
    {407, Data_BypassFrequency, 10},
    {408, Data_BypassFrequency, 10},
    {409, Data_BypassFrequency, 10},
    {410, Data_BypassApparent_Power_A, 10},
    {411, Data_BypassApparent_Power_B, 10},
    {412, Data_BypassApparent_Power_C, 10},
    {413, Data_BypassPower_A, 10},
    {414, Data_BypassPower_B, 10},
    {415, Data_BypassPower_C, 10},
    {419, Data_BypassPowerFactor_A, 100},
    {420, Data_BypassPowerFactor_B, 100},
    {421, Data_BypassPowerFactor_C, 100},
    // battery
    {500, Data_BatteryStatus, 1},
    {501, Data_TotalBatteryVoltage, 10},
    {502, Data_PwBatteryVoltageN, 10},
    {503, Data_BatteryCurrent, 10},
    {504, Data_PwBatteryCurrentN, 10},
    {505, Data_BatteryTemperature, 10},
    {506, Data_EstimatedChargeRemaining, 1, S::Charge},
    {507, Data_EstimatedMinutesRemaining, 1, S::Minutes},
    {508, Data_BatteryNum, 1},
    {509, Data_BatteryCap, 1},
    {515, Data_SecondsOnBattery, 1},
    // ratings
    {600, Sys_ConfigInputVoltage, 10},
    {602, Sys_ConfigInputFreq, 10},
    {603, Sys_ConfigOutputVoltage, 10},
    {605, Sys_ConfigOutputFreq, 10},
    {606, Sys_ConfigOutputVA, 10, S::RatedVa},
    {607, Sys_ConfigOutputPower, 10},
};

const std::vector<AlarmRow> kAlarmIds = {
    {4116, Alarm_OnBypass},
    {4117, Alarm_OnBattery},
    {4119, Alarm_LowBattery},
    {4120, Alarm_BypassBad},
    {4121, Alarm_FanFailure},
    {4137, Alarm_DepletedBattery},
    {4138, Alarm_TempBad},
    {4139, Alarm_InputBad},
    {4140, Alarm_OutputBad},
    {4141, Alarm_OutputOffAsRequested},
    {4142, Alarm_UpsOffAsRequested},
    {4143, Alarm_ChargerFailed},
    {4144, Alarm_FuseFailure},
    {4145, Alarm_GeneralFault},
    {4146, Alarm_DiagnosticTestFailed},
    {4147, Alarm_AwaitingPower},
    {4148, Alarm_TestInProgress},
    {4149, Alarm_BatterySwitch},
    {4150, Alarm_InputSwitch},
    {4151, Alarm_OutputSwitch},
    {4152, Alarm_BypassSwitch},
};

namespace
{

constexpr int kUps = card::kUps;
constexpr int kBatteryTemperatureRow = 505;
constexpr int kLostItem = 1, kMobileItem = 2;
constexpr int kBauds[] = {1200, 2400, 4800, 9600, -1, 19200, 38400, -1, 57600, 115200};

std::string valueText(float v)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.2f", double(v));
    return text;
}

void putItem(tlv::Box& set, std::uint32_t id, float v)
{
    set.putText(tag::kValue, valueText(v));
    set.putU32(tag::kDataId, id);
}

bool batteryManaged(card::Runtime& rt)
{
    return rt.integer("battery_enable_type", 0) != 0;
}

// The outer object of a report: its items, then the serial number.
std::string envelope(card::Runtime& rt, std::uint8_t reportTag, tlv::Box inner)
{
    inner.put(tag::kSerialNo, rt.text("cloud_sn"));
    tlv::Box outer;
    outer.putObject(reportTag, inner);
    return outer.serialize();
}

// Object 69 around a data set: the set, 92 = 1 for the change styles, the
// report time and the flag "1".
std::string dataEnvelope(card::Runtime& rt, std::uint8_t reportTag, const tlv::Box& set,
                         bool change, Stamp s)
{
    tlv::Box report;
    report.putObject(tag::kDataSet, set);
    if (change) report.putByte(tag::kChange, 1);
    report.putU32(tag::kTime, s.time);
    report.putByte(tag::kFlag, '1');
    tlv::Box inner;
    inner.putObject(tag::kReport, report);
    return envelope(rt, reportTag, std::move(inner));
}

bool upsLost(card::Runtime& rt)
{
    return rt.integer("ups_lost", 0) == 1;
}

} // namespace

int outputSourceCode(float source)
{
    switch (int(source)) {
    case 4:
        return 4;
    case 5:
        return 2;
    case 3:
        return 1;
    case 2:
        return 0;
    default:
        return 9;
    }
}

int energyFlowBits(card::Runtime& rt)
{
    int bits = 0;
    for (int i = 0; i < 7; ++i)
        bits |= (rt.intValue(kUps, Data_energyflow_line1 + i) & 3) << (2 * i);
    return bits;
}

int phaseArrangement(int upsType, int inputLines, int outputLines)
{
    switch (upsType) {
    case 1:
        return outputLines == 3 ? 2 : 1;
    case 2:
        return 2;
    case 4:
    case 5:
        if (inputLines == 3 && outputLines == 3) return 2;
        return inputLines == 3 && outputLines == 1 ? 1 : 0;
    default:
        return 0;
    }
}

std::array<std::uint8_t, 3> deviceType(int upsType, int outputLines)
{
    switch (upsType) {
    case 1:
        return {2, 10, std::uint8_t(outputLines == 3 ? 3 : 2)};
    case 2:
        return {2, 5, 1};
    case 3:
        return {2, 1, 1};
    case 4:
        return {2, 9, 9};
    case 5:
        return {2, 9, 7};
    default:
        return {2, 10, 1};
    }
}

int baudCode(int baud)
{
    for (int i = 0; i < int(std::size(kBauds)); ++i)
        if (kBauds[i] == baud) return i;
    return -1;
}

int baudOf(int code)
{
    return code >= 0 && code < int(std::size(kBauds)) && kBauds[code] > 0 ? kBauds[code] : 0;
}

float rowValue(card::Runtime& rt, const DataRow& row)
{
    switch (row.source) {
    case S::Signal:
        return rt.value(kUps, row.signal);
    case S::OutputSource:
        return float(outputSourceCode(rt.value(kUps, row.signal)));
    case S::EnergyFlow:
        return float(energyFlowBits(rt));
    case S::Phases:
        return float(phaseArrangement(card::upsType(rt), rt.intValue(kUps, Data_InputNumLines),
                                      rt.intValue(kUps, Data_OutputNumLines)));
    case S::Charge:
        return rt.value(kUps, batteryManaged(rt) ? Data_BatteryManageSoc : row.signal);
    case S::Minutes:
        return rt.value(kUps, batteryManaged(rt) ? Data_BatteryManageTime : row.signal);
    case S::RatedVa: {
        const int product = rt.intValue(kUps, Data_UPSProductTypeIdent);
        const float va = rt.value(kUps, row.signal);
        return product == 297 || product == 222 ? va : va / 1000.0f;
    }
    }
    return 0;
}

std::vector<int> alarmStates(card::Runtime& rt)
{
    std::vector<int> states;
    for (const AlarmRow& a : kAlarmIds)
        states.push_back(rt.intValue(kUps, a.signal) != 0 ? 1 : 0);
    return states;
}

std::string commState(card::Runtime& rt, bool up)
{
    tlv::Box inner;
    inner.putByte(tag::kState, up ? 1 : 0);
    return envelope(rt, tag::kCommState, std::move(inner));
}

std::string dataReport(card::Runtime& rt, Stamp s, bool change, std::vector<long long>* last,
                       const std::function<void()>& pause)
{
    tlv::Box set;
    const bool lost = upsLost(rt);
    putItem(set, kLostItem, lost ? 1.0f : 0.0f);
    putItem(set, kMobileItem, float(rt.integer("sms_signal", 0)));
    if (!lost) {
        if (last) last->resize(kDataIds.size(), -1);
        int rows = 0;
        for (std::size_t i = 0; i < kDataIds.size(); ++i) {
            const DataRow& row = kDataIds[i];
            const float v = rowValue(rt, row);
            if (change) {
                const double scaled = double(v) * row.factor;
                const long long key =
                    std::isfinite(scaled) && std::fabs(scaled) < 9e18 ? (long long)scaled : 0;
                if (last && (*last)[i] == key) continue;
                if (last) (*last)[i] = key;
            }
            if (row.id == kBatteryTemperatureRow && v <= kNoTemperature) continue;
            putItem(set, row.id, v);
            if (++rows % kRowsPerPause == 0 && pause) pause();
        }
    }
    return dataEnvelope(rt, tag::kData, set, change, s);
}

std::string powerReport(card::Runtime& rt, Stamp s)
{
    tlv::Box set;
    putItem(set, 100, rt.value(kUps, Data_UpsWorkMode));
    putItem(set, 101, float(outputSourceCode(rt.value(kUps, Data_OutputSource))));
    putItem(set, 103, float(energyFlowBits(rt)));
    putItem(set, 500, float(rt.intValue(kUps, Data_BatteryStatus)));
    return dataEnvelope(rt, tag::kData, set, true, s);
}

std::string alarmReport(card::Runtime& rt, Stamp s, bool change, std::vector<int>& last)
{
    last.resize(kAlarmIds.size(), 0);
    const std::vector<int> now = alarmStates(rt);
    std::string codes;
    for (std::size_t i = 0; i < kAlarmIds.size(); ++i) {
        const std::uint16_t code = kAlarmIds[i].id | (now[i] ? kAlarmActive : 0);
        if (change) {
            if (now[i] == last[i]) continue;
            last[i] = now[i];
            codes += be16(code);
        } else if (now[i]) {
            codes += be16(code);
        }
    }
    if (change && codes.empty()) return {};
    if (codes.empty()) codes = be16(0);
    tlv::Box set;
    set.put(tag::kAlarms, codes);
    set.putU32(tag::kDataId, kAlarmSetId);
    return dataEnvelope(rt, tag::kData, set, change, s);
}

std::string deviceReport(card::Runtime& rt, const std::string& mac)
{
    tlv::Box dev;
    dev.putText(tag::kName, card::signalText(rt, kUps, Data_upsIdentName));
    dev.putText(tag::kSoftware, card::signalText(rt, kUps, Data_UPSSoftwareVersion));
    const auto type = deviceType(card::upsType(rt), rt.intValue(kUps, Data_OutputNumLines));
    dev.put(tag::kDeviceType, std::string(type.begin(), type.end()));
    dev.putByte(tag::kFlag, '1');
    tlv::Box inner;
    inner.putObject(tag::kDeviceObj, dev);
    inner.putText(tag::kMac, mac);
    inner.putByte(tag::kAgentKind, 3);
    inner.putText(tag::kAgent, card::kFirmwareVersion);
    return envelope(rt, tag::kDevice, std::move(inner));
}

std::string serialReport(card::Runtime& rt)
{
    tlv::Box line;
    line.putByte(tag::kUpsType, std::uint8_t(rt.integer("ups_type", 0)));
    line.putByte(tag::kUpsAddr, std::uint8_t(rt.integer("ups_addr", 1)));
    line.putByte(tag::kFlag, '1');
    tlv::Box inner;
    inner.putObject(tag::kSerialObj, line);
    inner.putByte(tag::kParity, 0);
    inner.putByte(tag::kStopBits, 1);
    inner.putByte(tag::kDataBits, 8);
    const int code = baudCode(rt.integer("ups_baudRate", 2400));
    inner.putByte(tag::kBaudCode, std::uint8_t(code < 0 ? 1 : code));
    return envelope(rt, tag::kSerial, std::move(inner));
}

std::string systemReport(card::Runtime& rt)
{
    const std::uint32_t total = std::uint32_t(rt.integer("memTotal", 0)) * 1024u;
    const std::uint32_t used = std::uint32_t(rt.integer("memUse", 0)) * 1024u;
    tlv::Box mem;
    mem.putU32(tag::kMemTotal2, total);
    mem.putU32(tag::kMemTotal, total);
    mem.putU32(tag::kMemUsed, used);
    tlv::Box inner;
    inner.putObject(tag::kSystemObj, mem);
    inner.putText(tag::kSignal, std::to_string(rt.integer("sms_signal", 0)));
    inner.putByte(tag::kSystemKind, 1);
    return envelope(rt, tag::kSystem, std::move(inner));
}

std::string passThroughAnswer(card::Runtime& rt, std::uint32_t messageId, int result)
{
    tlv::Box inner;
    inner.putU32(tag::kMessageId, messageId);
    inner.putText(tag::kResult, std::to_string(result));
    return envelope(rt, tag::kPassThrough, std::move(inner));
}

std::string updateResultReport(card::Runtime& rt, const std::string& package, int mainStatus,
                               int status)
{
    tlv::Box upd;
    upd.putByte(tag::kFlag, '1');
    upd.putText(tag::kPackage, package);
    upd.putByte(tag::kMainStatus, std::uint8_t(mainStatus));
    upd.putByte(tag::kStatus, std::uint8_t(status));
    tlv::Box inner;
    inner.putObject(tag::kUpdateObj, upd);
    return envelope(rt, tag::kUpdateResult, std::move(inner));
}

} // namespace cloud
