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

#include "fieldcore.hpp"

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

constexpr int kUps = 60;
constexpr int kSensors = 61;
constexpr int kInputPhases = 40132, kOutputPhases = 40163, kBypassPhases = 40192;
constexpr int kPartBase = 40215; // part k is signal 40215 + k

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
            {"device_type", Kind::SignalNumber, 0, 20033},
            {"sub_device_type", Kind::SignalNumber, 0, 40096},
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
        b.push_back(flag(kNames[k - 1], kPartBase + k));
}

const Member kRated[] = {fixed1("rated_input_V", 30000), fixed1("rated_input_Hz", 30001),
                         fixed1("rated_output_V", 30002), fixed1("rated_output_Hz", 30003)};

Builder txtups1()
{
    Builder b = head();
    append(b,
           {phases("input_V", kInputPhases, 40133), phases("input_Hz", kInputPhases, 40139),
            phases("bypass_V", kBypassPhases, 40193), repeated("bypass_Hz", kBypassPhases, 40191)});
    b.insert(b.end(), std::begin(kRated), std::end(kRated));
    append(b, {{"serial_number", Kind::Ident, 0, 40064},
               {"software_version", Kind::Ident, 0, 40032},
               phases("output_V", kOutputPhases, 40164),
               phases("output_A", kOutputPhases, 40167),
               repeated("output_Hz", kOutputPhases, 40162),
               phases("output_load", kOutputPhases, 40173),
               fixed1("bat_V", 40119),
               fixed1("internal_temp", 40238),
               kind("bat_re_time", Kind::BatRemainTime),
               kind("bat_re_volume", Kind::BatRemainCharge),
               kind("bat_re_enable", Kind::BatManageOn),
               kind("bat_status", Kind::BatStatus),
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
            b.push_back(fixed1("bat_V", 40105));
            b.push_back(fixed1("bat_A", 40106));
            continue;
        }
        b.push_back(m);
        if (n == "rated_output_Hz") b.push_back(fixed1("rated_volume", 30004));
    }
    return b;
}

// The register-map families share the output powers and the battery block.
void appendRegOutput(Builder& b)
{
    append(b, {phases("output_V", kOutputPhases, 40164), phases("output_A", kOutputPhases, 40167),
               repeated("output_Hz", kOutputPhases, 40162),
               phases("output_load", kOutputPhases, 40173),
               phases("output_act_pow", kOutputPhases, 40170),
               phases("output_app_pow", kOutputPhases, 40180)});
}

Builder regupsB()
{
    Builder b = head();
    append(b, {integer("ups_protocol_type", 30010),
               phases("input_V", kInputPhases, 40133),
               phases("input_A", kInputPhases, 40136),
               phases("input_Hz", kInputPhases, 40139),
               phases("bypass_V", kBypassPhases, 40193),
               phases("bypass_A", kBypassPhases, 40196),
               repeated("bypass_Hz", kBypassPhases, 40191),
               {"serial_number", Kind::Ident, 0, 40064},
               {"software_version", Kind::Ident, 0, 40032}});
    appendRegOutput(b);
    append(b, {fixed1("bat_V", 40105), fixed1("bat_A", 40106), fixed1("bat_temp", 40107),
               integer("batt_num", 40116), kind("bat_re_time", Kind::BatRemainTime),
               kind("bat_re_volume", Kind::BatRemainCharge), kind("bat_status", Kind::BatStatus),
               kind("energy_flow_dir", Kind::FlowDir)});
    appendParts(b, 15);
    append(b, {flag("fix_byp_sw", 40231), flag("byp_sw", 40232), flag("inv_sw", 40233),
               flag("output_sw", 40234), kind("ths", Kind::Sensors)});
    return b;
}

Builder regupsC()
{
    Builder b = head();
    append(b, {phases("input_V", kInputPhases, 40133),
               phases("input_Hz", kInputPhases, 40139),
               phases("bypass_V", kBypassPhases, 40193),
               repeated("bypass_Hz", kBypassPhases, 40191),
               {"serial_number", Kind::Ident, 0, 40064},
               {"software_version", Kind::Ident, 0, 40032}});
    appendRegOutput(b);
    append(b,
           {fixed1("bat_V", 40105), fixed1("bat_A", 40106), fixed1("bat_temp", 40107),
            kind("bat_re_time", Kind::BatRemainTime), kind("bat_re_volume", Kind::BatRemainCharge),
            kind("bat_status", Kind::BatStatus), kind("energy_flow_dir", Kind::FlowDir)});
    appendParts(b, 10);
    append(b, {flag("fix_byp_sw", 40231), flag("byp_sta_sw", 40232), flag("byp_sw", 40233),
               flag("rec_sw", 40234), flag("inv_sw", 40235), flag("output_sw", 40236),
               flag("bat_charge_sw", 20012), kind("ths", Kind::Sensors)});
    return b;
}

Builder regupsA()
{
    Builder b = head();
    append(b, {phases("input_V", kInputPhases, 40133), phases("input_A", kInputPhases, 40136),
               phases("input_Hz", kInputPhases, 40139),
               factors("input_pow_factor", kInputPhases, 40145),
               phases("bypass_V", kBypassPhases, 40193), phases("bypass_A", kBypassPhases, 40196),
               repeated("bypass_Hz", kBypassPhases, 40191),
               factors("bypass_pow_factor", kBypassPhases, 40202),
               phases("bypass_act_pow", kBypassPhases, 40199),
               phases("bypass_app_pow", kBypassPhases, 40205)});
    b.insert(b.end(), std::begin(kRated), std::end(kRated));
    append(b, {fixed1("rated_power", 30005),
               fixed1("rated_volume", 30004),
               {"serial_number", Kind::Ident, 0, 40064},
               {"software_version", Kind::Ident, 0, 40032}});
    appendRegOutput(b);
    append(b,
           {factors("output_pow_factor", kOutputPhases, 40177), fixed1("bat_V", 40105),
            fixed1("bat_A", 40106), fixed1("bat_temp", 40107), integer("bat_sup_time", 40102),
            fixed1("rec_temp", 40237), fixed1("inv_temp", 40238),
            kind("bat_re_time", Kind::BatRemainTime), kind("bat_re_volume", Kind::BatRemainCharge),
            kind("bat_status", Kind::BatStatus), kind("energy_flow_dir", Kind::FlowDir)});
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
    return GetDevValue(kUps, n);
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
    if (GetSettingi2("ths_enable", 0) == 0 || GetSettingi2("use_dev_fun5", 1) == 0) return;
    const int n = std::atoi(fieldcore::settingText("curr_module_num").c_str());
    cJSON_AddNumberToObject(o, "ths_num", n);
    cJSON* list = cJSON_AddArrayToObject(o, "ths_data");
    for (int i = 1; i <= std::min(n, 4); ++i) {
        cJSON* s = cJSON_CreateObject();
        const bool lost = GetDevValue(kSensors, 20033 + i) != 0.0f;
        int divisor = std::atoi(
            fieldcore::settingText(("temp_conver" + std::to_string(i)).c_str(), "100").c_str());
        if (divisor <= 0) divisor = 1;
        const std::string id = fieldcore::settingText(("in_thaddr" + std::to_string(i)).c_str());
        cJSON_AddStringToObject(s, "id", lost ? "0" : id.c_str());
        cJSON_AddStringToObject(
            s, "temp",
            lost ? "0" : fmt("%.1f", GetDevValue(kSensors, 40207 + i) / divisor).c_str());
        cJSON_AddStringToObject(
            s, "humi",
            lost ? "0" : fmt("%.1f", GetDevValue(kSensors, 40211 + i) / divisor).c_str());
        cJSON_AddStringToObject(s, "ths_net", lost ? "1" : "0");
        cJSON_AddItemToArray(list, s);
    }
}

void addMember(cJSON* o, const Member& m, bool lost)
{
    const bool batteryManaged = GetSettingi2("battery_enable_type", 0) != 0;
    switch (m.kind) {
    case Kind::SettingNumber:
        cJSON_AddNumberToObject(o, m.name, GetSettingi2(m.key, 0));
        return;
    case Kind::SettingText:
        cJSON_AddStringToObject(o, m.name, fieldcore::settingText(m.key).c_str());
        return;
    case Kind::SignalNumber:
        cJSON_AddNumberToObject(o, m.name, sig(m.b));
        return;
    case Kind::NetStatus:
        cJSON_AddStringToObject(o, m.name, lost ? "1" : "0");
        return;
    case Kind::Ident:
        cJSON_AddStringToObject(o, m.name, fieldcore::signalText(kUps, m.b).c_str());
        return;
    case Kind::BatManageOn:
        cJSON_AddStringToObject(o, m.name,
                                std::to_string(GetSettingi2("battery_enable_type", 0)).c_str());
        return;
    case Kind::BatStatus:
        cJSON_AddStringToObject(
            o, m.name,
            pages::batteryStatusCode(lost, {sig(20001), sig(20026), sig(20002), sig(20000),
                                            sig(20003), sig(20027), sig(20028), sig(20062)})
                .c_str());
        return;
    case Kind::FlowDir:
        cJSON_AddStringToObject(o, m.name, pages::flowDirection(lost, sig(40161)).c_str());
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
            text = intText(sig(batteryManaged ? 40120 : 40103));
            break;
        case Kind::BatRemainCharge:
            text = intText(sig(batteryManaged ? 40121 : 40104));
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
    const Builder* builder = builderFor(GetSettingi2("ups_type", 0));
    if (!builder) return; // a family without a diagram: no answer
    const bool lost = GetSettingi2("ups_lost", 0) == 1;
    pages::Json doc = pages::newObject();
    for (const Member& m : *builder)
        addMember(doc.get(), m, lost);
    sendResult(reply, doc.get());
}

} // namespace web
