/*
 * mib935.cpp - the enterprise UPS MIB (1.3.6.1.4.1.935) inside snmpd.
 *
 * Loaded instead of the UPS-MIB module when the card is set to the enterprise
 * MIB. In this mode the SNMP task puts voltages, loads and the battery
 * temperature into the shared block in tenths, which is why some objects
 * divide by ten. Every object is one row of the table below: its name under
 * 935, its type, whether it accepts sets, and how its value is made from the
 * block. Besides the enterprise tree the module serves four UPS-MIB scalars and
 * the UPS-MIB alarm group, and sends the enterprise traps when alarms rise and
 * clear.
 */
#include "../agentmod.h"
#include "card.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

using agentmod::block;
using snmpblock::Block;
namespace off = snmpblock::off;

namespace
{

enum Kind { Str, Int };

// What a committed set does.
enum Effect {
    NoEffect,
    ShutoffDelay,
    SleepTime,
    UpsOff,
    RebootUps,
    UpsSleep,
    SimulatePowerFail,
    TurnOnUpsLoad,
    TestDiagnostics,
    RuntimeCalibration,
};

struct Obj {
    std::vector<oid> sub; // below 1.3.6.1.4.1.935 (".0" is appended)
    Kind kind;
    bool writable;
    Effect effect;
    std::function<long(const Block&)> num;         // Int objects
    std::function<std::string(const Block&)> text; // Str objects (empty value when unset)
    // Writable Int objects take values lo..hi, anything else is wrongValue.
    // Commands carry 16 bits, so no value above 65535 can mean anything.
    long lo = 0;
    long hi = 65535;
};

long i(const Block& b, std::size_t o)
{
    return b.i32(o);
}
// The state of a UPS alarm flag as the block carries it.
bool alarm(const Block& b, int signal)
{
    return b.alarmState(snmpblock::wellKnownAlarm(signal)) != 0;
}
long yes14no16(bool v)
{
    return v ? 14 : 16;
}

std::vector<Obj> g_objs;
std::vector<struct variable> g_vars;
std::vector<std::vector<oid>> g_names;

long g_timeDelayShutDown = 0;
long g_timeSleep = 0;

constexpr oid kBase[] = {1, 3, 6, 1, 4, 1, 935};

Obj num(std::vector<oid> sub, std::function<long(const Block&)> f, bool w = false,
        Effect e = NoEffect)
{
    return {std::move(sub), Int, w, e, std::move(f), nullptr};
}
Obj constant(std::vector<oid> sub, long v, bool w = false, Effect e = NoEffect)
{
    return num(
        std::move(sub), [v](const Block&) { return v; }, w, e);
}
Obj text(std::vector<oid> sub, std::function<std::string(const Block&)> f, bool w = false)
{
    return {std::move(sub), Str, w, NoEffect, nullptr, std::move(f)};
}
Obj empty(std::vector<oid> sub, bool w = false)
{
    return text(
        std::move(sub), [](const Block&) { return std::string(); }, w);
}
Obj field(std::vector<oid> sub, std::size_t o, long div = 1)
{
    return num(std::move(sub), [o, div](const Block& b) { return i(b, o) / div; });
}

void buildTable()
{
    auto& t = g_objs;
    t.clear();
    // identification
    t.push_back(
        text({1, 1, 1, 1, 1, 1}, [](const Block& b) { return b.text(off::identModel, 64); }));
    t.push_back(text(
        {1, 1, 1, 1, 1, 2}, [](const Block& b) { return b.text(off::identName, 64); }, true));
    t.push_back(text({1, 1, 1, 1, 2, 1},
                     [](const Block& b) { return b.text(off::identUpsSoftwareVersion, 64); }));
    t.push_back(empty({1, 1, 1, 1, 2, 2}));
    t.push_back(empty({1, 1, 1, 1, 2, 3}));
    t.push_back(text({1, 1, 1, 1, 2, 4},
                     [](const Block& b) { return b.text(off::identAgentSoftwareVersion, 64); }));
    // battery
    t.push_back(num({1, 1, 1, 2, 1, 1}, [](const Block& b) -> long {
        long s = i(b, off::batteryStatus);
        if (s == 3) return 3;
        if (s == 2 || s == 6 || s == 7 || s == 8) return 2;
        return 1;
    }));
    t.push_back(field({1, 1, 1, 2, 1, 2}, off::secondsOnBattery));
    t.push_back(text(
        {1, 1, 1, 2, 1, 3}, [](const Block& b) { return b.text(off::batteryLastReplaceDate, 64); },
        true));
    t.push_back(field({1, 1, 1, 2, 2, 1}, off::estimatedChargeRemaining));
    t.push_back(field({1, 1, 1, 2, 2, 2}, off::batteryVoltage));
    t.push_back(field({1, 1, 1, 2, 2, 3}, off::batteryTemperature));
    t.push_back(num({1, 1, 1, 2, 2, 4},
                    [](const Block& b) { return i(b, off::estimatedMinutesRemaining) * 60; }));
    t.push_back(constant({1, 1, 1, 2, 2, 5}, 1));
    t.push_back(field({1, 1, 1, 2, 2, 6}, off::batteryVoltage, 10));
    t.push_back(field({1, 1, 1, 2, 2, 7}, off::batteryCurrent));
    // input
    t.push_back(field({1, 1, 1, 3, 1, 1}, off::inputNumLines));
    t.push_back(field({1, 1, 1, 3, 2, 1}, off::inputVoltage));
    t.push_back(num({1, 1, 1, 3, 2, 2}, [](const Block& b) {
        if (i(b, off::inputNumLines) <= 2) return i(b, off::inputVoltage);
        return std::max(
            {i(b, off::inputVoltage), i(b, off::inputVoltage + 4), i(b, off::inputVoltage + 8)});
    }));
    t.push_back(num({1, 1, 1, 3, 2, 3}, [](const Block& b) {
        if (i(b, off::inputNumLines) <= 2) return i(b, off::inputVoltage);
        return std::min(
            {i(b, off::inputVoltage), i(b, off::inputVoltage + 4), i(b, off::inputVoltage + 8)});
    }));
    t.push_back(field({1, 1, 1, 3, 2, 4}, off::inputFrequency));
    t.push_back(constant({1, 1, 1, 3, 2, 5}, 0));
    // output
    t.push_back(num({1, 1, 1, 4, 1, 1}, [](const Block& b) -> long {
        switch (i(b, off::outputSource)) {
        case 3:
            return 2;
        case 4:
            return 6;
        case 5:
            return 3;
        case 6:
            return 4;
        default:
            return 1;
        }
    }));
    t.push_back(field({1, 1, 1, 4, 1, 2}, off::outputNumLines));
    t.push_back(num({1, 1, 1, 4, 2, 1}, [](const Block& b) {
        return i(b, off::outputNumLines) > 2 ? 0 : i(b, off::outputVoltage);
    }));
    t.push_back(field({1, 1, 1, 4, 2, 2}, off::outputFrequency));
    t.push_back(field({1, 1, 1, 4, 2, 3}, off::outputPercentLoad, 10));
    // configuration
    t.push_back(constant({1, 1, 1, 5, 1, 1}, 1));
    // the device table has no source on the card: numbers read 0, texts empty
    t.push_back(constant({1, 1, 1, 5, 1, 2, 1, 1}, 0));
    t.push_back(empty({1, 1, 1, 5, 1, 2, 1, 2}, true));
    t.push_back(constant({1, 1, 1, 5, 1, 2, 1, 3}, 0, true));
    t.push_back(constant({1, 1, 1, 5, 1, 2, 1, 4}, 0, true));
    auto cfg = [&](oid n, std::function<long(const Block&)> f, Effect e = NoEffect) {
        t.push_back(num({1, 1, 1, 5, 2, n}, std::move(f), true, e));
    };
    cfg(1, [](const Block& b) { return i(b, off::configOutputVoltage); });
    cfg(2, [](const Block& b) { return i(b, off::configHighVoltageTransferPoint); });
    cfg(3, [](const Block& b) { return i(b, off::configLowVoltageTransferPoint); });
    cfg(4, [](const Block& b) { return i(b, off::configAudibleStatus) != 0 ? 1L : 3L; });
    cfg(5, [](const Block& b) { return i(b, off::configAudibleStatus) != 0 ? 2L : 0L; });
    cfg(6, [](const Block& b) { return i(b, off::configOutputVA); });
    cfg(7, [](const Block&) { return 1L; });
    cfg(8, [](const Block& b) { return i(b, off::configLowBattTime); });
    cfg(9, [](const Block&) { return 0L; });
    cfg(
        10, [](const Block&) { return 0L; }, ShutoffDelay);
    t.back().hi = 600; // seconds, as the UPS-MIB's shutdown delay
    cfg(
        11, [](const Block&) { return 0L; }, SleepTime);
    t.back().hi = 65535 / 60; // minutes, sent in seconds
    cfg(12, [](const Block&) { return 0L; });
    // control
    t.push_back(constant({1, 1, 1, 6, 1, 1}, 1, true));
    const Effect control[] = {UpsOff,   RebootUps,    UpsSleep, SimulatePowerFail,
                              NoEffect, TurnOnUpsLoad};
    for (oid n = 1; n <= 6; ++n)
        t.push_back(constant({1, 1, 1, 6, 2, n}, 1, true, control[n - 1]));
    // tests
    t.push_back(constant({1, 1, 1, 7, 2, 1}, 4, true));
    t.push_back(constant({1, 1, 1, 7, 2, 2}, 0, true, TestDiagnostics));
    t.push_back(num({1, 1, 1, 7, 2, 3}, [](const Block& b) {
        return alarm(b, Alarm_DiagnosticTestFailed) ? 2L : alarm(b, Alarm_TestInProgress) ? 4L : 1L;
    }));
    t.push_back(constant({1, 1, 1, 7, 2, 4}, 0));
    t.push_back(constant({1, 1, 1, 7, 2, 5}, 0, true));
    t.push_back(constant({1, 1, 1, 7, 2, 6}, 0, true, RuntimeCalibration));
    t.push_back(constant({1, 1, 1, 7, 2, 7}, 0));
    t.push_back(constant({1, 1, 1, 7, 2, 8}, 0));
    // three-phase status: battery, input, output, bypass
    t.push_back(field({1, 1, 1, 8, 1, 1}, off::batteryVoltage, 10));
    t.push_back(field({1, 1, 1, 8, 1, 2}, off::estimatedChargeRemaining));
    t.push_back(field({1, 1, 1, 8, 1, 3}, off::estimatedMinutesRemaining));
    t.push_back(field({1, 1, 1, 8, 1, 4}, off::batteryCurrent));
    t.push_back(field({1, 1, 1, 8, 1, 5}, off::batteryTemperature));
    t.push_back(field({1, 1, 1, 8, 2, 1}, off::inputFrequency));
    for (oid p = 0; p < 3; ++p)
        t.push_back(field({1, 1, 1, 8, 2, 2 + p}, off::inputVoltage + 4 * p));
    t.push_back(field({1, 1, 1, 8, 3, 1}, off::outputFrequency));
    for (oid p = 0; p < 3; ++p)
        t.push_back(field({1, 1, 1, 8, 3, 2 + p}, off::outputVoltage + 4 * p));
    for (oid p = 0; p < 3; ++p)
        t.push_back(field({1, 1, 1, 8, 3, 5 + p}, off::outputPercentLoad + 4 * p, 10));
    t.push_back(field({1, 1, 1, 8, 4, 1}, off::bypassFrequency));
    for (oid p = 0; p < 3; ++p)
        t.push_back(field({1, 1, 1, 8, 4, 2 + p}, off::bypassVoltage + 4 * p));
    // three-phase status: conditions
    t.push_back(constant({1, 1, 1, 8, 5, 1}, 16));
    t.push_back(num({1, 1, 1, 8, 5, 2},
                    [](const Block& b) { return yes14no16(alarm(b, Alarm_DepletedBattery)); }));
    t.push_back(num({1, 1, 1, 8, 5, 3},
                    [](const Block& b) { return yes14no16(alarm(b, Alarm_LowBattery)); }));
    t.push_back(num({1, 1, 1, 8, 5, 4}, [](const Block& b) -> long {
        if (i(b, off::inputNumLines) == 3 || i(b, off::outputNumLines) == 1) return 2;
        return i(b, off::outputNumLines) == 3 ? 3 : 0;
    }));
    t.push_back(num({1, 1, 1, 8, 5, 5},
                    [](const Block& b) { return alarm(b, Alarm_BatteryBad) ? 4L : 5L; }));
    t.push_back(num({1, 1, 1, 8, 5, 6}, [](const Block& b) {
        return i(b, off::batteryCharge) == 0 && i(b, off::batteryFloat) == 0 ? 7L : 16L;
    }));
    t.push_back(num({1, 1, 1, 8, 5, 7},
                    [](const Block& b) { return yes14no16(i(b, off::rectifierRun) != 0); }));
    t.push_back(num({1, 1, 1, 8, 6, 1},
                    [](const Block& b) { return alarm(b, Alarm_BypassBad) ? 9L : 8L; }));
    t.push_back(
        num({1, 1, 1, 8, 6, 2}, [](const Block& b) { return i(b, off::bypassSwitch) ? 9L : 8L; }));
    t.push_back(num({1, 1, 1, 8, 6, 3},
                    [](const Block& b) { return alarm(b, Alarm_InputBad) ? 11L : 10L; }));
    t.push_back(num({1, 1, 1, 8, 6, 4},
                    [](const Block& b) { return alarm(b, Alarm_OnBypass) ? 13L : 12L; }));
    t.push_back(num({1, 1, 1, 8, 6, 5},
                    [](const Block& b) { return yes14no16(i(b, off::inverterRun) != 0); }));
    // 0: the bypass switch instead of an alarm
    const int faults[] = {Alarm_UpsOutputOff,   Alarm_UpsSystemOff, 0,
                          Alarm_OutputOverload, Alarm_OutputBad,    Alarm_TempBad,
                          Alarm_FuseFailure};
    for (oid n = 1; n <= 7; ++n) {
        int a = faults[n - 1];
        t.push_back(num({1, 1, 1, 8, 7, n}, [a](const Block& b) {
            return yes14no16(a == 0 ? i(b, off::bypassSwitch) != 0 : alarm(b, a));
        }));
    }
    for (oid n = 1; n <= 8; ++n)
        t.push_back(empty({1, 1, 1, 8, 8, n}));
    // environment
    t.push_back(field({1, 1, 1, 9, 1, 1}, off::thsTemperature));
    t.push_back(field({1, 1, 1, 9, 1, 2}, off::thsHumidity));
    for (oid n = 3; n <= 11; ++n)
        t.push_back(constant({1, 1, 1, 9, 1, n}, 0));
    const std::size_t env[] = {off::overTemperature, off::underTemperature, off::overHumidity,
                               off::underHumidity};
    for (oid n = 1; n <= 4; ++n) {
        std::size_t o = env[n - 1];
        t.push_back(num(
            {1, 1, 1, 9, 2, n},
            [o](const Block& b) {
                return (b.u8(o) | b.u8(o + 1) | b.u8(o + 2) | b.u8(o + 3)) != 0 ? 1L : 0L;
            },
            true));
        t.back().hi = 1; // a flag
    }
    // trap receivers
    t.push_back(constant({2, 1, 1}, 0));
    t.push_back(constant({2, 1, 2, 1, 1}, 0));
    t.push_back(empty({2, 1, 2, 1, 2}, true));
    t.push_back(empty({2, 1, 2, 1, 3}, true));
    t.push_back(constant({2, 1, 2, 1, 4}, 0, true));
    t.push_back(constant({2, 1, 2, 1, 5}, 0, true));
}

// ---- sets ----
const Obj* objectFor(const oid* name, size_t len)
{
    for (size_t k = 0; k < g_objs.size(); ++k)
        if (snmp_oid_compare(name, len, g_names[k].data(), g_names[k].size()) == 0)
            return &g_objs[k];
    return nullptr;
}

void commit(const Obj& o, long v)
{
    using agentmod::sendCommand;
    namespace cmd = card::command;
    agentmod::Pending& p = agentmod::pending();
    switch (o.effect) {
    case NoEffect:
        return;
    case ShutoffDelay:
        g_timeDelayShutDown = v;
        break;
    case SleepTime:
        g_timeSleep = v * 60;
        break;
    case UpsOff:
        sendCommand(cmd::kShutdownAfterDelay, static_cast<int>(g_timeDelayShutDown));
        break;
    case RebootUps:
        sendCommand(cmd::kRestart, static_cast<int>(v));
        break;
    case UpsSleep:
        sendCommand(cmd::kStandby, static_cast<int>(g_timeSleep));
        break;
    case SimulatePowerFail:
        sendCommand(cmd::kBypassManual, static_cast<int>(v));
        break;
    case TurnOnUpsLoad:
        sendCommand(cmd::kWakeUp, static_cast<int>(v));
        break;
    case TestDiagnostics:
        sendCommand(cmd::kSelfTest, static_cast<int>(v));
        break;
    case RuntimeCalibration:
        sendCommand(v == 3 ? cmd::kCancelTest : cmd::kDischargeTestToLow, 0);
        break;
    }
    p.cmdTime = block().u32(off::runTime);
    p.delay = 0;
    p.type = 1;
}

int writeObject(int action, u_char* val, u_char type, size_t len, u_char*, oid* name,
                size_t nameLen)
{
    const Obj* o = objectFor(name, nameLen);
    if (!o || !o->writable) return SNMP_ERR_NOTWRITABLE;
    if (action == RESERVE1) {
        if (o->kind == Str) {
            if (type != ASN_OCTET_STR) {
                std::fprintf(stderr, "write to mib935 not ASN_OCTET_STR\n");
                return SNMP_ERR_WRONGTYPE;
            }
            if (len > 1) {
                std::fprintf(stderr, "write to mib935: bad length\n");
                return SNMP_ERR_WRONGLENGTH;
            }
        } else {
            if (type != ASN_INTEGER) {
                std::fprintf(stderr, "write to mib935 not ASN_INTEGER\n");
                return SNMP_ERR_WRONGTYPE;
            }
            if (len > sizeof(long)) {
                std::fprintf(stderr, "write to mib935: bad length\n");
                return SNMP_ERR_WRONGLENGTH;
            }
            const long v = agentmod::intValue(val);
            if (v < o->lo || v > o->hi) {
                std::fprintf(stderr, "write to mib935: %ld out of range\n", v);
                return SNMP_ERR_WRONGVALUE;
            }
        }
        return SNMP_ERR_NOERROR;
    }
    if (action == COMMIT && o->kind == Int) commit(*o, agentmod::intValue(val));
    return SNMP_ERR_NOERROR;
}

// ---- reads ----
u_char* var935(struct variable* vp, oid* name, size_t* length, int exact, size_t* varLen,
               WriteMethod** writeMethod)
{
    *writeMethod = nullptr;
    if (vp->magic >= g_objs.size() || !agentmod::scalarInstance(vp, name, length, exact))
        return nullptr;
    const Obj& o = g_objs[vp->magic];
    if (o.writable) *writeMethod = writeObject;
    if (o.kind == Str) return agentmod::answerText(o.text(block()), varLen);
    return agentmod::answerInt(o.num(block()), varLen);
}

// The four UPS-MIB scalars this module also serves.
u_char* varUpsScalars(struct variable* vp, oid* name, size_t* length, int exact, size_t* varLen,
                      WriteMethod** writeMethod)
{
    *writeMethod = nullptr;
    if (!agentmod::scalarInstance(vp, name, length, exact)) return nullptr;
    const Block& b = block();
    switch (vp->magic) {
    case 0:
        return agentmod::answerText(b.text(off::identManufacturer, 32), varLen);
    case 1:
        return agentmod::answerInt(b.i32(off::batteryVoltage), varLen);
    case 2:
        return agentmod::answerInt(b.i32(off::configInputFreq) / 10, varLen);
    default:
        return agentmod::answerInt(b.i32(off::configOutputVA), varLen);
    }
}

void registerUpsScalars()
{
    static const oid base[] = {1, 3, 6, 1, 2, 1, 33, 1};
    static struct variable vars[4];
    const oid subs[4][2] = {{1, 1}, {2, 5}, {9, 2}, {9, 5}};
    for (int k = 0; k < 4; ++k) {
        vars[k] = {};
        vars[k].magic = static_cast<u_char>(k);
        vars[k].type = static_cast<char>(k == 0 ? ASN_OCTET_STR : ASN_INTEGER);
        vars[k].acl = RONLY;
        vars[k].findVar = varUpsScalars;
        vars[k].namelen = 2;
        vars[k].name[0] = subs[k][0];
        vars[k].name[1] = subs[k][1];
    }
    if (register_mib("mib935_upsmib", vars, sizeof(struct variable), 4, const_cast<oid*>(base),
                     OID_LENGTH(base)) != MIB_REGISTERED_OK)
        DEBUGMSGTL(("mib935", "mib935_upsmib registration failed\n"));
}

// ---- traps ----
// Enterprise trap texts by trap number.
const char* const kTrapText[] = {"xxxxxxx",
                                 "Communication failure",
                                 "UPS overload",
                                 "Failed self-test",
                                 "Deep discharge",
                                 "On battery",
                                 "SmartBoost",
                                 "Low battery",
                                 "Communication established",
                                 "Utility restored",
                                 "Passed self-test",
                                 "Battery normal",
                                 "Switching off",
                                 "Going to sleep",
                                 "Wake up",
                                 "Starting reboot",
                                 "The environment temperature exceed the normal value",
                                 "The environment temperature is normal",
                                 "The environment humidity exceed the normal value",
                                 "The environment humidity is normal",
                                 "Smoke is abnormal",
                                 "Water is abnormal",
                                 "Security is abnormal",
                                 "Smoke is normal",
                                 "Water is normal",
                                 "Security is normal",
                                 "Gas Alarm",
                                 "UPS Temperature Overrun",
                                 "UPS Load Normal",
                                 "UPS temperature Normal",
                                 "The environment temperature below the normal value",
                                 "The environment humidity below the normal value",
                                 "The UPS is entering 'bypass' mode",
                                 "Security1 Alarm",
                                 "Security2 Alarm",
                                 "Security3 Alarm",
                                 "Security4 Alarm",
                                 "Security5 Alarm",
                                 "Security6 Alarm",
                                 "Security7 Alarm",
                                 "Security1 Normal",
                                 "Security2 Normal",
                                 "Security3 Normal",
                                 "Security4 Normal",
                                 "Security5 Normal",
                                 "Security6 Normal",
                                 "Security7 Normal",
                                 "Rectifier Rotation Error",
                                 "Bypass Frequency Fail",
                                 "Bypass AC Normal",
                                 "Bypass AC Abnormal",
                                 "UPS Test",
                                 "UPS Schedule Shutdown",
                                 "The UPS return from Bypass Mode",
                                 "The UPS Short Circuit Shutdown",
                                 "The UPS Inverter Output Fail Shutdown",
                                 "The UPS Manual Bypass Breaker on Shutdown",
                                 "The UPS High DC Shutdown",
                                 "The UPS Emergency Stop",
                                 "The UPS Static Switch in Inverter Mode",
                                 "The UPS Static Switch in Bypass Mode",
                                 "The UPS Over Temperature Shutdown",
                                 "The UPS Overload Shutdown",
                                 "The UPS Capacity Underrun",
                                 "The UPS Capacity Normal",
                                 "The UPS Low Battery Shutdown",
                                 "The UPS has enabled Buck",
                                 "The UPS has return from Buck",
                                 "The UPS has return from Boost"};
constexpr int kTrapCount = sizeof kTrapText / sizeof kTrapText[0];
static_assert(kTrapCount == 69);

// Trap number by well-known alarm number (0 = none), when raised and cleared.
constexpr int kRaised[snmpblock::kWellKnownAlarms + 1] = {
    0, 0, 5, 7, 63, 27, 0, 0, 2, 32, 50, 13, 12, 0, 0, 0, 0, 0, 0, 3, 1, 0, 52, 52, 51};
constexpr int kCleared[snmpblock::kWellKnownAlarms + 1] = {
    0, 11, 6, 64, 64, 29, 0, 0, 28, 53, 49, 14, 15, 0, 0, 0, 0, 0, 0, 10, 8, 0, 15, 15, 0};

void sendTrap(int n)
{
    if (n <= 0 || n >= kTrapCount) return;
    std::vector<oid> trap = {1, 3, 6, 1, 4, 1, 935, 0, static_cast<oid>(n)};
    netsnmp_variable_list* extra = nullptr;
    snmp_varlist_add_variable(&extra, trap.data(), trap.size(), ASN_OCTET_STR,
                              reinterpret_cast<const u_char*>(kTrapText[n]),
                              std::strlen(kTrapText[n]));
    std::printf("trap id=%d,time=%u\n", n, block().u32(off::runTime));
    std::fflush(stdout);
    agentmod::sendNotification(trap, extra);
}

void onAlarmChange(int p, int state)
{
    if (p < 0 || p > snmpblock::kWellKnownAlarms) return;
    sendTrap(state > 0 ? kRaised[p] : kCleared[p]);
}

// The sensor modules' limit flags are not well-known alarms: each of the four
// conditions (any module) sends its own trap when it rises and the matching
// "normal" trap when it falls, temperature and humidity alike.
struct EnvCondition {
    std::size_t offset;
    int raised, cleared;
};
constexpr EnvCondition kEnvConditions[] = {
    {off::overTemperature, 16, 17},
    {off::underTemperature, 30, 17},
    {off::overHumidity, 18, 19},
    {off::underHumidity, 31, 19},
};
bool g_envState[std::size(kEnvConditions)] = {};

void envTick(unsigned int, void*)
{
    const Block& b = block();
    for (std::size_t k = 0; k < std::size(kEnvConditions); ++k) {
        const std::size_t o = kEnvConditions[k].offset;
        const bool on = (b.u8(o) | b.u8(o + 1) | b.u8(o + 2) | b.u8(o + 3)) != 0;
        if (on == g_envState[k]) continue;
        g_envState[k] = on;
        sendTrap(on ? kEnvConditions[k].raised : kEnvConditions[k].cleared);
    }
}

} // namespace

extern "C" void init_mib935(void)
{
    try {
        std::printf("init mib935\n");
        std::fflush(stdout);
        agentmod::attach();
        buildTable();
        g_vars.clear();
        g_names.clear();
        for (size_t k = 0; k < g_objs.size(); ++k) {
            const Obj& o = g_objs[k];
            struct variable v {
            };
            v.magic = static_cast<u_char>(k);
            v.type = static_cast<char>(o.kind == Str ? ASN_OCTET_STR : ASN_INTEGER);
            v.acl = o.writable ? RWRITE : RONLY;
            v.findVar = var935;
            v.namelen = static_cast<u_char>(o.sub.size());
            std::copy(o.sub.begin(), o.sub.end(), v.name);
            g_vars.push_back(v);
            std::vector<oid> n(std::begin(kBase), std::end(kBase));
            n.insert(n.end(), o.sub.begin(), o.sub.end());
            n.push_back(0);
            g_names.push_back(n);
        }
        if (register_mib("mib935", g_vars.data(), sizeof(struct variable), g_vars.size(),
                         const_cast<oid*>(kBase), OID_LENGTH(kBase)) != MIB_REGISTERED_OK)
            DEBUGMSGTL(("mib935", "mib935 registration failed\n"));
        registerUpsScalars();
        agentmod::registerAlarmGroup("mib935_alarms", true);
        agentmod::startAlarmWatch(onAlarmChange);
        snmp_alarm_register(1, SA_REPEAT, envTick, nullptr);
    } catch (...) {
        std::printf("init mib935 failed\n");
    }
}

extern "C" void deinit_mib935(void) {}
