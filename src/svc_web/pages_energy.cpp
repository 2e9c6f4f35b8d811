/*
 * pages_energy.cpp - "/EnergyChart", the data of the home page's energy-flow
 * diagram: one JSON object of live measurements, the battery state, the
 * direction of the power flow, the lit parts of the diagram and the switch
 * positions.
 *
 * The UPS families differ only in which members they can fill, so each
 * builder is a table of members (name, kind, signals) walked by one function.
 * While the UPS does not answer (setting "ups_lost" 1) every measurement is
 * sent as "0" (parts and switches as the number 0), so a stale value never
 * shows as live.
 */
#include "pages.hpp"

#include "card_rules.hpp"

#include <cstdio>
#include <cstdlib>

namespace web
{

namespace pages
{

std::string phaseText(float phases, float a, float b, float c, int decimals)
{
    const int d = decimals == 2 ? 2 : 1;
    char text[64];
    if (phases == 3.0f)
        std::snprintf(text, sizeof text, "%.*f/%.*f/%.*f", d, a, d, b, d, c);
    else
        std::snprintf(text, sizeof text, "%.*f", d, a);
    return text;
}

std::string batteryStatusCode(bool lost, const BatterySignals& s)
{
    if (lost) return "6";
    if (s.onBattery == 1.0f || s.charging == 1.0f) return "1";
    if (s.low == 1.0f) return "2";
    if (s.bad == 1.0f) return "3";
    if (s.depleted == 1.0f) return "4";
    if (s.boost == 1.0f || s.floatCharge == 1.0f) return "0";
    if (s.disconnected == 1.0f) return "5";
    return "6";
}

std::string flowDirection(bool lost, float source)
{
    if (lost) return "0";
    if (source == 4.0f) return "3";
    if (source == 5.0f) return "2";
    if (source == 3.0f || source == 1.0f) return "1";
    return "0";
}

} // namespace pages

namespace
{

constexpr int kInputPhases = Data_InputNumLines, kOutputPhases = Data_OutputNumLines,
              kBypassPhases = Data_BypassNumLines;

enum class Kind {
    SettingNumber, // setting as a number (a)
    SettingText,   // setting text (key)
    SignalNumber,  // signal as a number, not hidden by a lost link
    NetStatus,     // "1" while the link is lost, else "0"
    Phases,        // phase rule: count signal a, phases b, c, d
    Fixed1,        // "%.1f" of signal b
    Integer,       // "%d" of signal b
    Flag,          // signal b as a number (diagram parts and switches)
    Ident,         // identification text at signal b
    BatRemainTime, // minutes remaining, or the battery management's estimate
    BatRemainCharge,
    BatManageOn, // "battery_enable_type"
    BatStatus,
    FlowDir,
    Sensors, // "ths_num" and "ths_data"
};

struct Member {
    const char* name;
    Kind kind;
    int a = 0, b = 0, c = 0, d = 0;
    const char* key = nullptr;
    int decimals = 1;
};

Member phases(const char* name, int count, int first)
{
    return {name, Kind::Phases, count, first, first + 1, first + 2};
}
// Power factors: the phase rule with two decimals.
Member factors(const char* name, int count, int first)
{
    Member m = phases(name, count, first);
    m.decimals = 2;
    return m;
}
Member repeated(const char* name, int count, int sig)
{
    return {name, Kind::Phases, count, sig, sig, sig};
}
Member fixed1(const char* name, int sig)
{
    return {name, Kind::Fixed1, 0, sig};
}
Member integer(const char* name, int sig)
{
    return {name, Kind::Integer, 0, sig};
}
Member flag(const char* name, int sig)
{
    return {name, Kind::Flag, 0, sig};
}
Member kind(const char* name, Kind k)
{
    return {name, k};
}

using Builder = std::vector<Member>;

// Members every builder begins with.
Builder head()
{
    return {{"ups_type", Kind::SettingNumber, 0, 0, 0, 0, "ups_type"},
            {"device_type", Kind::SignalNumber, 0, Alarm_UpsType},
            {"sub_device_type", Kind::SignalNumber, 0, Data_UPSProductTypeIdent},
            {"ups_model_str", Kind::SettingText, 0, 0, 0, 0, "System_Name"},
            kind("ups_netstatus", Kind::NetStatus)};
}

void append(Builder& b, std::initializer_list<Member> more)
{
    b.insert(b.end(), more.begin(), more.end());
}

void appendParts(Builder& b, int last)
{
    static const char* const kNames[] = {
        "energy_flow_part1",  "energy_flow_part2",  "energy_flow_part3",  "energy_flow_part4",
        "energy_flow_part5",  "energy_flow_part6",  "energy_flow_part7",  "energy_flow_part8",
        "energy_flow_part9",  "energy_flow_part10", "energy_flow_part11", "energy_flow_part12",
        "energy_flow_part13", "energy_flow_part14", "energy_flow_part15"};
    for (int k = 1; k <= last; ++k)
        b.push_back(flag(kNames[k - 1], Data_energyflow_line1 + k - 1));
}

const Member kRated[] = {fixed1("rated_input_V", Sys_ConfigInputVoltage),
                         fixed1("rated_input_Hz", Sys_ConfigInputFreq),
                         fixed1("rated_output_V", Sys_ConfigOutputVoltage),
                         fixed1("rated_output_Hz", Sys_ConfigOutputFreq)};

Member serialNumber()
{
    return {"serial_number", Kind::Ident, 0, Data_upsIdentName};
}
Member softwareVersion()
{
    return {"software_version", Kind::Ident, 0, Data_UPSSoftwareVersion};
}

Builder txtups1()
{
    Builder b = head();
    append(b, {phases("input_V", kInputPhases, Data_InputVoltage_A),
               phases("input_Hz", kInputPhases, Data_InputFrequency_A),
               phases("bypass_V", kBypassPhases, Data_BypassVoltage_A),
               repeated("bypass_Hz", kBypassPhases, Data_BypassFrequency)});
    b.insert(b.end(), std::begin(kRated), std::end(kRated));
    append(b,
           {serialNumber(), softwareVersion(),
            phases("output_V", kOutputPhases, Data_OutputVoltage_A),
            phases("output_A", kOutputPhases, Data_OutputCurrent_A),
            repeated("output_Hz", kOutputPhases, Data_OutputFrequency),
            phases("output_load", kOutputPhases, Data_OutputPercentLoad_A),
            fixed1("bat_V", Data_TotalBatteryVoltage),
            fixed1("internal_temp", Data_Inverter_Temperature),
            kind("bat_re_time", Kind::BatRemainTime), kind("bat_re_volume", Kind::BatRemainCharge),
            kind("bat_re_enable", Kind::BatManageOn), kind("bat_status", Kind::BatStatus),
            kind("energy_flow_dir", Kind::FlowDir)});
    appendParts(b, 7);
    b.push_back(kind("ths", Kind::Sensors));
    return b;
}

// The three-phase ASCII family (and the outside driver, without "output_A"):
// battery voltage and current of the UPS's own battery signals, rated power.
Builder txtups3(bool withOutputCurrent)
{
    Builder b;
    for (const Member& m : txtups1()) {
        const std::string n = m.name;
        if (n == "bat_re_enable" || (n == "output_A" && !withOutputCurrent)) continue;
        if (n == "bat_V") {
            b.push_back(fixed1("bat_V", Data_BatteryVoltage));
            b.push_back(fixed1("bat_A", Data_BatteryCurrent));
            continue;
        }
        b.push_back(m);
        if (n == "rated_output_Hz") b.push_back(fixed1("rated_volume", Sys_ConfigOutputVA));
    }
    return b;
}

// The register-map families share the output powers and the battery block.
void appendRegOutput(Builder& b)
{
    append(b, {phases("output_V", kOutputPhases, Data_OutputVoltage_A),
               phases("output_A", kOutputPhases, Data_OutputCurrent_A),
               repeated("output_Hz", kOutputPhases, Data_OutputFrequency),
               phases("output_load", kOutputPhases, Data_OutputPercentLoad_A),
               phases("output_act_pow", kOutputPhases, Data_OutputPower_A),
               phases("output_app_pow", kOutputPhases, Data_OutputApparent_Power_A)});
}

Builder regupsB()
{
    Builder b = head();
    append(b, {integer("ups_protocol_type", Sys_UpsProType),
               phases("input_V", kInputPhases, Data_InputVoltage_A),
               phases("input_A", kInputPhases, Data_InputCurrent_A),
               phases("input_Hz", kInputPhases, Data_InputFrequency_A),
               phases("bypass_V", kBypassPhases, Data_BypassVoltage_A),
               phases("bypass_A", kBypassPhases, Data_BypassCurrent_A),
               repeated("bypass_Hz", kBypassPhases, Data_BypassFrequency), serialNumber(),
               softwareVersion()});
    appendRegOutput(b);
    append(b,
           {fixed1("bat_V", Data_BatteryVoltage), fixed1("bat_A", Data_BatteryCurrent),
            fixed1("bat_temp", Data_BatteryTemperature), integer("batt_num", Data_BatteryNum),
            kind("bat_re_time", Kind::BatRemainTime), kind("bat_re_volume", Kind::BatRemainCharge),
            kind("bat_status", Kind::BatStatus), kind("energy_flow_dir", Kind::FlowDir)});
    appendParts(b, 15);
    append(b, {flag("fix_byp_sw", Data_energyflow_sw1), flag("byp_sw", Data_energyflow_sw2),
               flag("inv_sw", Data_energyflow_sw3), flag("output_sw", Data_energyflow_sw4),
               kind("ths", Kind::Sensors)});
    return b;
}

Builder regupsC()
{
    Builder b = head();
    append(b, {phases("input_V", kInputPhases, Data_InputVoltage_A),
               phases("input_Hz", kInputPhases, Data_InputFrequency_A),
               phases("bypass_V", kBypassPhases, Data_BypassVoltage_A),
               repeated("bypass_Hz", kBypassPhases, Data_BypassFrequency), serialNumber(),
               softwareVersion()});
    appendRegOutput(b);
    append(b,
           {fixed1("bat_V", Data_BatteryVoltage), fixed1("bat_A", Data_BatteryCurrent),
            fixed1("bat_temp", Data_BatteryTemperature), kind("bat_re_time", Kind::BatRemainTime),
            kind("bat_re_volume", Kind::BatRemainCharge), kind("bat_status", Kind::BatStatus),
            kind("energy_flow_dir", Kind::FlowDir)});
    appendParts(b, 10);
    // This family reports its charger switch in the charger alarm's place.
    append(b, {flag("fix_byp_sw", Data_energyflow_sw1), flag("byp_sta_sw", Data_energyflow_sw2),
               flag("byp_sw", Data_energyflow_sw3), flag("rec_sw", Data_energyflow_sw4),
               flag("inv_sw", Data_energyflow_sw5), flag("output_sw", Data_energyflow_sw6),
               flag("bat_charge_sw", Alarm_ChargerFailed), kind("ths", Kind::Sensors)});
    return b;
}

Builder regupsA()
{
    Builder b = head();
    append(b, {phases("input_V", kInputPhases, Data_InputVoltage_A),
               phases("input_A", kInputPhases, Data_InputCurrent_A),
               phases("input_Hz", kInputPhases, Data_InputFrequency_A),
               factors("input_pow_factor", kInputPhases, Data_InputPowerFactor_A),
               phases("bypass_V", kBypassPhases, Data_BypassVoltage_A),
               phases("bypass_A", kBypassPhases, Data_BypassCurrent_A),
               repeated("bypass_Hz", kBypassPhases, Data_BypassFrequency),
               factors("bypass_pow_factor", kBypassPhases, Data_BypassPowerFactor_A),
               phases("bypass_act_pow", kBypassPhases, Data_BypassPower_A),
               phases("bypass_app_pow", kBypassPhases, Data_BypassApparent_Power_A)});
    b.insert(b.end(), std::begin(kRated), std::end(kRated));
    append(b, {fixed1("rated_power", Sys_ConfigOutputPower),
               fixed1("rated_volume", Sys_ConfigOutputVA), serialNumber(), softwareVersion()});
    appendRegOutput(b);
    append(b,
           {factors("output_pow_factor", kOutputPhases, Data_OutputPowerFactor_A),
            fixed1("bat_V", Data_BatteryVoltage), fixed1("bat_A", Data_BatteryCurrent),
            fixed1("bat_temp", Data_BatteryTemperature),
            integer("bat_sup_time", Data_SecondsOnBattery),
            fixed1("rec_temp", Data_Rectifier_Temperature),
            fixed1("inv_temp", Data_Inverter_Temperature), kind("bat_re_time", Kind::BatRemainTime),
            kind("bat_re_volume", Kind::BatRemainCharge), kind("bat_status", Kind::BatStatus),
            kind("energy_flow_dir", Kind::FlowDir)});
    appendParts(b, 7);
    b.push_back(kind("ths", Kind::Sensors));
    return b;
}

// The builder for a "ups_type"; null for a family without one.
const Builder* builderFor(int upsType)
{
    static const Builder kTxt1 = txtups1(), kTxt3 = txtups3(true), kRegB = regupsB(),
                         kRegC = regupsC(), kRegA = regupsA(), kAlt = txtups3(false);
    switch (upsType) {
    case 0:
    case 8:
        return &kTxt1;
    case 1:
    case 9:
    case 10:
        return &kTxt3;
    case 2:
        return &kRegB;
    case 3:
        return &kRegC;
    case 4:
    case 5:
    case 7:
        return &kRegA;
    case 6:
        return &kAlt;
    default:
        return nullptr;
    }
}

float sig(int n)
{
    return card::rt().value(card::kUps, n);
}

std::string fmt(const char* f, double v)
{
    char text[48];
    std::snprintf(text, sizeof text, f, v);
    return text;
}

std::string intText(float v)
{
    return std::to_string(static_cast<long long>(v));
}

void addSensors(cJSON* o)
{
    card::Runtime& rt = card::rt();
    if (rt.integer("ths_enable", 0) == 0 || rt.integer("use_dev_fun5", 1) == 0) return;
    const int n = std::atoi(rt.text("curr_module_num").c_str());
    cJSON_AddNumberToObject(o, "ths_num", n);
    cJSON* list = cJSON_AddArrayToObject(o, "ths_data");
    for (int i = 1; i <= std::min(n, card::kSensorModules); ++i) {
        cJSON* s = cJSON_CreateObject();
        const bool lost = !card::sensorAnswering(rt, i);
        const std::string id = rt.text("in_thaddr" + std::to_string(i));
        cJSON_AddStringToObject(s, "id", lost ? "0" : id.c_str());
        cJSON_AddStringToObject(s, "temp",
                                lost ? "0" : fmt("%.1f", card::sensorTemperature(rt, i)).c_str());
        cJSON_AddStringToObject(s, "humi",
                                lost ? "0" : fmt("%.1f", card::sensorHumidity(rt, i)).c_str());
        cJSON_AddStringToObject(s, "ths_net", lost ? "1" : "0");
        cJSON_AddItemToArray(list, s);
    }
}

void addMember(cJSON* o, const Member& m, bool lost)
{
    card::Runtime& rt = card::rt();
    const int batteryManagement = rt.integer("battery_enable_type", 0);
    const bool batteryManaged = batteryManagement != 0;
    switch (m.kind) {
    case Kind::SettingNumber:
        cJSON_AddNumberToObject(o, m.name, rt.integer(m.key, 0));
        return;
    case Kind::SettingText:
        cJSON_AddStringToObject(o, m.name, rt.text(m.key).c_str());
        return;
    case Kind::SignalNumber:
        cJSON_AddNumberToObject(o, m.name, sig(m.b));
        return;
    case Kind::NetStatus:
        cJSON_AddStringToObject(o, m.name, lost ? "1" : "0");
        return;
    case Kind::Ident:
        cJSON_AddStringToObject(o, m.name, card::signalText(rt, card::kUps, m.b).c_str());
        return;
    case Kind::BatManageOn:
        cJSON_AddStringToObject(o, m.name, std::to_string(batteryManagement).c_str());
        return;
    case Kind::BatStatus:
        cJSON_AddStringToObject(
            o, m.name,
            pages::batteryStatusCode(
                lost,
                {sig(Alarm_OnBattery), sig(Alarm_BatteryCharge), sig(Alarm_LowBattery),
                 sig(Alarm_BatteryBad), sig(Alarm_DepletedBattery), sig(Alarm_BatteryBoostCharge),
                 sig(Alarm_BatteryFloatCharge), sig(Alarm_BatteryDisconnected)})
                .c_str());
        return;
    case Kind::FlowDir:
        cJSON_AddStringToObject(o, m.name,
                                pages::flowDirection(lost, sig(Data_OutputSource)).c_str());
        return;
    case Kind::Sensors:
        addSensors(o);
        return;
    case Kind::Flag:
        cJSON_AddNumberToObject(o, m.name, lost ? 0 : sig(m.b));
        return;
    default:
        break;
    }
    // Measurements: hidden while the link is lost.
    std::string text = "0";
    if (!lost) {
        switch (m.kind) {
        case Kind::Phases:
            text = pages::phaseText(sig(m.a), sig(m.b), sig(m.c), sig(m.d), m.decimals);
            break;
        case Kind::Fixed1:
            text = fmt("%.1f", sig(m.b));
            break;
        case Kind::Integer:
            text = intText(sig(m.b));
            break;
        case Kind::BatRemainTime:
            text = intText(
                sig(batteryManaged ? Data_BatteryManageTime : Data_EstimatedMinutesRemaining));
            break;
        case Kind::BatRemainCharge:
            text = intText(
                sig(batteryManaged ? Data_BatteryManageSoc : Data_EstimatedChargeRemaining));
            break;
        default:
            break;
        }
    }
    cJSON_AddStringToObject(o, m.name, text.c_str());
}

} // namespace

void ups_energychart(const Request&, Reply& reply)
{
    card::Runtime& rt = card::rt();
    const Builder* builder = builderFor(card::upsType(rt));
    if (!builder) return; // a family without a diagram: no answer
    const bool lost = rt.integer("ups_lost", 0) == 1;
    pages::Json doc = pages::newObject();
    for (const Member& m : *builder)
        addMember(doc.get(), m, lost);
    sendResult(reply, doc.get());
}

} // namespace web
