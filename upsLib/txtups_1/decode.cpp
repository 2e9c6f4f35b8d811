/*
 * decode.cpp - pure decoders of txtups_1: reply bytes in, (signal, value)
 * reports out, with the learnt model, frequencies and QT ownership.
 *
 * Q1 carries nearly everything of a single-phase UPS; its status bits are
 * read as UF (utility fail), BA (bypass active) and T (test). A UPS of
 * UPS_Type "1" (a line-interactive one) reports its battery string voltage
 * itself and knows no rectifier or inverter path; the others report a cell
 * voltage that six cells make a 12 V block of.
 */
#include "signals.h"
#include "txtups_1.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace txtups_1
{

namespace
{

using namespace upscommon::ascii;

constexpr int kQtFieldMax = 6;
constexpr float kCellsPerBlock = 6;
constexpr float kRatedFreqBand = 5;

enum Q1 {
    kUtilityFail = 38,
    kBatteryLow = 39,
    kBypassActive = 40,
    kUpsFailed = 41,
    kUpsType = 42,
    kTest = 43,
    kBeeperOn = 45,
};

bool q1(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({6, 18, 27, 37})) return false;
    const bool uf = r.set(kUtilityFail), ba = r.set(kBypassActive), test = r.set(kTest);
    const bool type1 = r.set(kUpsType), low = r.set(kBatteryLow), failed = r.set(kUpsFailed);

    const float battery = type1 ? r.number(28, 31, 0.1f) : r.number(28, 31, 0.01f) * kCellsPerBlock;
    value(out, drv(Data_BatteryVoltage), battery);
    const float temp = r.number(33, 36, 0.1f);
    value(out, drv(Data_Inverter_Temperature), temp);
    value(out, drv(Data_BatteryTemperature), temp);
    value(out, drv(Sys_ConfigAudibleStatus), r.flag(kBeeperOn));
    for (int sig : {Data_InputNumLines, Data_OutputNumLines, Data_BypassNumLines})
        value(out, drv(sig), 1);

    s.input_freq = r.number(23, 26, 0.1f);
    value(out, drv(Data_InputFrequency_A), s.input_freq);
    value(out, drv(Data_BypassFrequency), s.input_freq);
    const float in = r.number(1, 5, 0.1f);
    const float bypass = in;
    value(out, drv(Data_InputVoltage_A), in);
    value(out, drv(Data_BypassVoltage_A), bypass);
    const float outV = r.number(13, 17, 0.1f);
    value(out, drv(Data_OutputVoltage_A), outV);
    value(out, drv(Data_OutputPercentLoad_A), r.number(19, 21));

    flag(out, drv(Alarm_OnBattery), uf && !ba);
    flag(out, drv(Alarm_LowBattery), low);
    flag(out, drv(Alarm_InputBad), uf);
    flag(out, drv(Alarm_OnBypass), ba && bypass > 0);
    flag(out, drv(Alarm_GeneralFault), failed);
    flag(out, drv(Alarm_TestInProgress), test);
    flag(out, drv(Alarm_BatteryCharge), (test || uf) && !ba);
    flag(out, drv(Alarm_UpsType), type1);

    const bool onBattery = uf && !ba && in == 0 && outV > 0;
    int status = 2;
    if (low)
        status = 3;
    else if (test)
        status = 5;
    else if (onBattery)
        status = 8;
    else if (battery < 1)
        status = 1;
    value(out, drv(Data_BatteryStatus), static_cast<float>(status));

    if (!s.is_exist_qt) {
        int source = 1, mode = 0;
        if (type1) {
            if (uf)
                source = 5, mode = 4;
            else if (test)
                source = 5, mode = 5;
            else
                source = 3, mode = 3;
        } else if (ba && in > 0 && outV == 0) {
            source = 2, mode = 1;
        } else if (ba && in > 0 && outV > 0) {
            source = 4, mode = 2;
        } else if (onBattery) {
            source = 5, mode = 4;
        } else if (test) {
            source = 5, mode = 5;
        } else if (!ba && in > 0 && outV > 0) {
            source = 3, mode = 3;
        }
        if (failed) mode = 6;
        value(out, drv(Data_OutputSource), static_cast<float>(source));
        value(out, drv(Data_UpsWorkMode), static_cast<float>(mode));

        float freq = 0;
        if (ba && in > 0 && outV > 0) {
            freq = s.input_freq;
        } else if (onBattery) {
            freq = s.rated_freq;
        } else if (test) {
            freq = s.input_freq;
        } else if (!ba && in > 0 && outV > 0) {
            // These models regulate their output to the rating when the input
            // strays from it.
            const bool regulating = s.type_model == kModel283 || s.type_model == kModel282;
            freq = regulating && std::fabs(s.input_freq - s.rated_freq) >= kRatedFreqBand
                       ? s.rated_freq
                       : s.input_freq;
        }
        value(out, drv(Data_OutputFrequency), freq);
    }

    const bool good = in > 0 && !uf;
    int l[8] = {};
    if (type1) {
        l[1] = ba;
        l[2] = good;
        l[6] = outV > 0;
        l[7] = battery > 0 && good ? 1 : (battery > 0 && uf ? 2 : 0);
    } else if (ba) {
        l[1] = bypass > 0;
        l[2] = l[3] = good;
        l[6] = outV > 0;
        l[7] = battery > 0 && good;
    } else {
        l[2] = l[3] = good;
        l[4] = l[5] = good || (uf && battery > 0);
        l[6] = outV > 0;
        l[7] = battery > 0 && good ? 1 : (battery > 0 && uf ? 2 : 0);
    }
    if (test) {
        const int typeOne[8] = {0, 0, 0, 0, 0, 0, 1, 2};
        const int other[8] = {0, 0, 1, 0, 1, 1, 1, 2};
        for (int k = 1; k <= 7; ++k)
            l[k] = type1 ? typeOne[k] : other[k];
    }
    for (int k = 1; k <= 7; ++k)
        value(out, drv(Data_energyflow_line1) + k - 1, static_cast<float>(l[k]));
    flag(out, drv(Alarm_OnInput), !test && l[2]);
    return true;
}

bool ratings(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({6, 16})) return false;
    const float v = r.number(1, 5, 0.1f);
    value(out, drv(Sys_ConfigInputVoltage), v);
    value(out, drv(Sys_ConfigOutputVoltage), v);
    s.rated_freq = r.number(17, 20, 0.1f);
    value(out, drv(Sys_ConfigInputFreq), s.rated_freq);
    value(out, drv(Sys_ConfigOutputFreq), s.rated_freq);
    return true;
}

bool batteryCharge(const Record& r, Reports& out)
{
    if (r.text(0, 1) != "BL") return false;
    value(out, drv(Data_EstimatedChargeRemaining), r.number(2, 4));
    flag(out, drv(Alarm_BatteryBad), false);
    return true;
}

bool statusReply(State& s, const uint8_t* reply, int got, Reports& out)
{
    const Tokens t = upscommon::ascii::tokens(reply, got, kQtFieldMax);
    if (!t.clean || static_cast<int>(t.fields.size()) < qt::kFields) return false;
    const float outV = tokenNumber(t, qt::kOutputVoltage, 0.1f);
    value(out, drv(Data_OutputFrequency), tokenNumber(t, qt::kOutputFrequency, 0.01f));
    const int mode = static_cast<int>(tokenNumber(t, qt::kMode, 1));
    value(out, drv(Data_OutputSource), static_cast<float>(kytoQtSource(mode, outV)));
    value(out, drv(Data_UpsWorkMode), static_cast<float>(mode));
    s.is_exist_qt = 1;

    const std::string statusText(t.fields[qt::kStatus - 1]);
    char* end = nullptr;
    const unsigned long status = std::strtoul(statusText.c_str(), &end, 16);
    const bool statusRead = end && *end == '\0';
    const int fault = static_cast<int>(tokenNumber(t, static_cast<int>(t.fields.size()), 1));
    if (s.type_model == kModel283) {
        if (statusRead) {
            flag(out, drv(Alarm_BatteryDisconnected), status & qt::kBatteryDisconnected283);
            flag(out, drv(Alarm_FanFailure), status & qt::kFanFailure283);
        }
        flag(out, drv(Alarm_TempBad), fault >= qt::kOverTempFirst && fault <= qt::kOverTempLast);
    } else if (s.type_model == kModel282 && statusRead) {
        flag(out, drv(Alarm_BatteryDisconnected), status & qt::kBatteryDisconnected282);
    }
    return true;
}

} // namespace

bool decodeReply(State& s, int index, const uint8_t* reply, int got, Reports& out)
{
    if (!reply || got <= 0 || index < 0 || index >= kQueryCount) return false;
    const Record r(reply, got, Kyto_1phase_AcuList[index].recvsize);
    switch (index) {
    case kModel:
        return kytoModel(s.type_model, r, out);
    case kQT:
        return statusReply(s, reply, got, out);
    case kQ1:
        return q1(s, r, out);
    case kI:
        return kytoIdentity(r, out);
    case kF:
        return ratings(s, r, out);
    case kBL:
        return batteryCharge(r, out);
    default:
        return false;
    }
}

} // namespace txtups_1
