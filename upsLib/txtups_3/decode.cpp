/*
 * decode.cpp - pure decoders of txtups_3: reply bytes in, (signal, value)
 * reports out, with the learnt state the later replies of a cycle combine.
 *
 * Every reply is copied into its fixed-size record and dropped silently when
 * a position that must hold a blank does not. Measurements go out as values,
 * alarm flags as flags: the cycle settles a flag several replies report
 * (shutdown from G2 and Q1, say), so a reader never sees one reply's 0 hide
 * another's 1.
 */
#include "signals.h"
#include "txtups_3.h"

#include <string_view>

namespace txtups_3
{

namespace
{

using namespace upscommon::ascii;

constexpr int kThreeLines = 3;
constexpr int kQtFieldMax = 6;
constexpr int kQtModeField = 26;

bool isModel(const State& s, std::initializer_list<int> models)
{
    for (int m : models)
        if (s.type_model == m) return true;
    return false;
}

// "G1": battery, temperature and frequencies.
bool g1(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({4, 13, 25, 35})) return false;
    value(out, drv(Data_EstimatedMinutesRemaining), r.number(9, 12));
    value(out, drv(Data_EstimatedChargeRemaining), r.number(5, 7));
    s.bat_vol = r.number(1, 3);
    value(out, drv(Data_BatteryVoltage), s.bat_vol);
    flag(out, drv(Alarm_BatteryDisconnected), s.bat_vol < 1);
    value(out, drv(Data_BatteryCurrent), r.number(14, 18, 0.1f));
    const float temp = r.number(21, 24, 0.1f);
    value(out, drv(Data_Inverter_Temperature), temp);
    value(out, drv(Data_BatteryTemperature), temp);
    const float inF = r.number(26, 29, 0.1f);
    for (int sig : {Data_InputFrequency_A, Data_InputFrequency_B, Data_InputFrequency_C})
        value(out, drv(sig), inF);
    value(out, drv(Data_OutputFrequency), r.number(36, 39, 0.1f));
    value(out, drv(Data_BypassFrequency), r.number(31, 34, 0.1f));
    return true;
}

// "G2" positions.
enum G2 {
    kRotationError = 2,
    kBatteryEod = 3,
    kBatteryLow = 4,
    kUpsType = 5,
    kRunMode = 6,
    kChargeMode = 7,
    kRectifierRun = 8,
    kBypassFState = 13,
    kBypassState = 15,
    kStaticSwitch = 16,
    kInverterRun = 17,
    kEpo = 20,
    kBusOver = 21,
    kBypassShutdown = 22,
    kOverloadShutdown = 23,
    kOpFault = 24,
    kOverTemp = 25,
    kShort = 26,
};

// "G2": running state and shutdown causes.
bool g2(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({9, 18})) return false;
    flag(out, drv(Alarm_BatteryBad), false);
    s.on_bat = r.set(kRunMode) && r.set(kStaticSwitch);
    flag(out, drv(Alarm_OnBattery), s.on_bat);
    s.IsBatLow = r.flag(kBatteryLow);
    flag(out, drv(Alarm_LowBattery), s.IsBatLow);
    s.IsBattEod = r.flag(kBatteryEod);
    flag(out, drv(Alarm_DepletedBattery), s.IsBattEod);
    const float lines = r.set(kUpsType) ? 1.0f : 3.0f;
    value(out, drv(Data_OutputNumLines), lines);
    value(out, drv(Data_BypassNumLines), lines);
    flag(out, drv(Alarm_TempBad), r.set(kOverTemp));
    s.inp_g2_err = r.flag(kRotationError);
    s.out_err = r.set(kOpFault) || r.set(kShort);
    flag(out, drv(Alarm_OutputBad), s.out_err);
    flag(out, drv(Alarm_OutputOverload), r.set(kOverloadShutdown));
    s.on_byp = r.at(kStaticSwitch) == '0';
    s.byp_err = r.set(kBypassFState) || r.at(kBypassState) == '0';
    flag(out, drv(Alarm_BypassBad), s.byp_err);
    for (int sig : {Alarm_OutputOffAsRequested, Alarm_UpsOffAsRequested, Alarm_ChargerFailed,
                    Alarm_UpsOutputOff})
        flag(out, drv(sig), false);

    bool shutdown = false;
    for (int pos : {kBatteryEod, kEpo, kBusOver, kBypassShutdown, kOpFault, kOverTemp, kShort})
        shutdown = shutdown || r.set(pos);
    if (s.type_model == kModel231) {
        s.IsOffFlag = shutdown; // reported with Q1, which adds the general fault
    } else if (isModel(s, {kModel221, kModel211})) {
        s.IsOffFlag = 0;
    } else {
        s.IsOffFlag = shutdown || r.set(kOverloadShutdown);
        flag(out, drv(Alarm_UpsSystemOff), s.IsOffFlag);
        flag(out, drv(Alarm_ShutdownImminent), s.IsOffFlag);
    }
    for (int sig :
         {Alarm_FanFailure, Alarm_FuseFailure, Alarm_DiagnosticTestFailed, Alarm_AwaitingPower})
        flag(out, drv(sig), false);
    s.on_rec = r.flag(kRectifierRun);
    flag(out, drv(Alarm_RectifierRun), s.on_rec);
    s.on_inv = r.flag(kInverterRun);
    flag(out, drv(Alarm_InverterRun), s.on_inv);
    s.IsAverOrFloat = r.flag(kChargeMode);
    flag(out, drv(Alarm_BatteryBoostCharge), s.IsAverOrFloat);
    return true;
}

// Three values of a 17-character "AAA.A/BBB.B/CCC.C" field starting at pos.
void phases(const Record& r, int pos, int firstSig, float* a, Reports& out)
{
    for (int k = 0; k < 3; ++k) {
        const float v = r.number(pos + 6 * k, pos + 6 * k + 4, 0.1f);
        value(out, firstSig + k, v);
        if (k == 0 && a) *a = v;
    }
}

// "G3": voltages and load per phase.
bool g3(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({18, 36, 54}) || r.at(24) != '/') return false;
    phases(r, 1, drv(Data_InputVoltage_A), &s.inp_vol, out);
    phases(r, 37, drv(Data_OutputVoltage_A), &s.out_vol, out);
    phases(r, 55, drv(Data_OutputPercentLoad_A), nullptr, out);
    float bypass = 0;
    phases(r, 19, drv(Data_BypassVoltage_A), &bypass, out);
    s.byp_vol = static_cast<int>(bypass);
    bool onBypass = s.byp_vol > 0 && s.on_byp;
    if (isModel(s, {kModel221, kModel211})) onBypass = onBypass && s.out_vol > 0;
    flag(out, drv(Alarm_OnBypass), onBypass);
    return true;
}

// "GF": ratings.
bool gf(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({15, 34, 53, 61})) return false;
    const bool m231 = s.type_model == kModel231;
    // Rectifier_V reads "220V/380V": model 231 rates its input line to line.
    value(out, drv(Sys_ConfigInputVoltage), m231 ? r.leadingNumber(6, 8) : r.leadingNumber(1, 3));
    value(out, drv(Sys_ConfigInputFreq), r.number(16, 18));
    if (!m231) value(out, drv(Sys_ConfigOutputVoltage), r.leadingNumber(39, 41));
    value(out, drv(Sys_ConfigOutputFreq), r.number(54, 56));
    const float va = r.leadingNumber(62, 71) * 1000;
    value(out, drv(Sys_ConfigOutputVA), va);
    if (m231) value(out, drv(Sys_ConfigOutputPower), va * 0.8f);
    return true;
}

// "I": identity texts.
bool identity(const Record& r, Reports& out)
{
    if (!kytoIdentity(r, out)) return false;
    value(out, drv(Data_AttachedDevices), 0);
    return true;
}

// "Q1" positions of the status bits.
enum Q1 {
    kUtilityFail = 38,
    kQ1BatteryLow = 39,
    kUpsFailed = 41,
    kQ1UpsType = 42,
    kTest = 43,
    kBeeperOn = 45,
};

struct Energy {
    int line[8] = {}; // lines 1..7
    bool onInput = false;
};

Energy energyFlow(State& s, bool testing)
{
    Energy e;
    int* l = e.line;
    const bool good = s.inp_vol > 0 && !s.inp_err;
    const bool bypassFault = s.on_byp && s.byp_err;
    if (s.on_byp && !s.byp_err) {
        if (s.out_vol >= 1) {
            l[1] = s.byp_vol >= 1;
            l[2] = l[3] = good;
            l[7] = s.bat_vol > 0 && good;
        }
    } else if (!bypassFault) {
        l[2] = good;
        l[3] = good && s.on_rec;
        l[4] = (good && s.on_rec) || (s.bat_vol > 0 && s.on_bat);
        l[5] = l[4] ? s.on_inv : 0;
        l[7] = s.bat_vol > 0 && s.on_bat ? 2 : (!s.on_bat && s.bat_vol > 0 && good ? 1 : 0);
        e.onInput = l[2] != 0;
    }
    l[6] = !bypassFault && s.out_vol > 0 && !s.out_err && (l[1] || l[5]);
    if (testing) {
        l[1] = 0, l[2] = 1, l[3] = 0, l[4] = 1, l[5] = 1, l[7] = 2;
        e.onInput = false;
    }
    s.energy_line1 = l[1];
    s.energy_line5 = l[5];
    return e;
}

// "Q1": status bits combined with what G1-G3 left this cycle.
bool q1(State& s, const Record& r, Reports& out)
{
    if (!r.blanks({6, 18, 27, 37})) return false;
    const bool failed = r.set(kUpsFailed);
    const bool testing = r.set(kTest);
    flag(out, drv(Alarm_GeneralFault), failed);
    if (s.type_model == kModel231) {
        s.IsOffFlag += failed;
        flag(out, drv(Alarm_UpsSystemOff), s.IsOffFlag >= 1);
        flag(out, drv(Alarm_ShutdownImminent), s.IsOffFlag >= 1);
    }
    flag(out, drv(Alarm_UpsType), r.set(kQ1UpsType));
    value(out, drv(Sys_ConfigAudibleStatus), r.flag(kBeeperOn));
    s.inp_err = s.inp_g2_err || r.set(kUtilityFail);
    flag(out, drv(Alarm_InputBad), s.inp_err);
    flag(out, drv(Alarm_TestInProgress), testing);
    flag(out, drv(Alarm_BatteryCharge), s.on_bat || testing);

    int status;
    if (s.IsBatLow || r.set(kQ1BatteryLow))
        status = 3;
    else if (testing)
        status = 5;
    else if (s.on_bat)
        status = 8;
    else if (s.IsBattEod)
        status = 4;
    else if (s.bat_vol < 1)
        status = 1;
    else if (s.IsAverOrFloat)
        status = 6;
    else if (s.type_model == kModel231)
        status = 2;
    else
        status = 7;
    value(out, drv(Data_BatteryStatus), static_cast<float>(status));

    if (!s.is_exist_qt) {
        int source, mode;
        if (s.byp_vol > 0 && s.on_byp && s.out_vol >= 1)
            source = 4, mode = 2;
        else if (s.byp_vol > 0 && s.on_byp)
            source = 2, mode = 1;
        else if (s.on_bat)
            source = 5, mode = 4;
        else if (s.inp_vol > 0 && !s.inp_err && !s.on_byp)
            source = 3, mode = 3;
        else
            source = 1, mode = 0;
        if (testing)
            mode = 5;
        else if (failed)
            mode = 6;
        value(out, drv(Data_OutputSource), static_cast<float>(source));
        value(out, drv(Data_UpsWorkMode), static_cast<float>(mode));
    }

    const Energy e = energyFlow(s, testing);
    for (int k = 1; k <= 7; ++k)
        value(out, drv(Data_energyflow_line1) + k - 1, static_cast<float>(e.line[k]));
    flag(out, drv(Alarm_OnInput), e.onInput);
    return true;
}

// "QT": the 26th field is the UPS mode; every field up to it must be there.
bool qt(State& s, const uint8_t* reply, int got, Reports& out)
{
    const Tokens t = upscommon::ascii::tokens(reply, got, kQtFieldMax);
    if (static_cast<int>(t.fields.size()) < kQtModeField) return false;
    for (int k = 0; k < kQtModeField; ++k)
        if (!t.blankAfter[k]) return false;
    const int code = static_cast<int>(tokenNumber(t, kQtModeField, 1));
    value(out, drv(Data_OutputSource), static_cast<float>(kytoQtSource(code, s.out_vol)));
    value(out, drv(Data_UpsWorkMode), static_cast<float>(code));
    s.is_exist_qt = 1;
    return true;
}

// "F": model 231's rated output voltage.
bool f(const Record& r, Reports& out)
{
    if (!r.blanks({6, 16})) return false;
    value(out, drv(Sys_ConfigOutputVoltage), r.number(1, 5, 0.1f));
    return true;
}

} // namespace

bool decodeReply(State& s, int index, const uint8_t* reply, int got, Reports& out)
{
    if (!reply || got <= 0 || index < 0 || index >= kQueryCount) return false;
    const Record r(reply, got, Kyto_3phase_AcuList[index].recvsize);
    bool ok = false;
    switch (index) {
    case kModel:
        ok = kytoModel(s.type_model, r, out);
        break;
    case kG1:
        ok = g1(s, r, out);
        break;
    case kG2:
        ok = g2(s, r, out);
        break;
    case kG3:
        ok = g3(s, r, out);
        break;
    case kGF:
        ok = gf(s, r, out);
        break;
    case kI:
        ok = identity(r, out);
        break;
    case kQ1:
        ok = q1(s, r, out);
        break;
    case kQT:
        ok = qt(s, reply, got, out);
        break;
    case kF:
        ok = f(r, out);
        break;
    default:
        break;
    }
    if (ok) value(out, drv(Data_InputNumLines), kThreeLines);
    return ok;
}

} // namespace txtups_3
