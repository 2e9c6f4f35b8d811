/*
 * upsmib.cpp - the UPS-MIB (RFC 1628, 1.3.6.1.2.1.33) inside snmpd.
 *
 * Values come from the shared block that the SNMP task refills every two
 * seconds, already scaled. Objects are rows of a table (name, type, access,
 * source); one find function serves all of them. Sets on the test, control and
 * configuration groups become command messages for the task. Once a second the
 * alarm states are compared with the last ones announced, and every change is
 * sent as upsTrapAlarmEntryAdded or upsTrapAlarmEntryRemoved.
 */
#include "../agentmod.h"
#include "card.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>

using agentmod::block;
namespace off = snmpblock::off;
namespace cmd = card::command;

namespace
{

enum Source {
    Text,          // off, arg = field size
    Int,           // off
    AlarmsPresent, // handled by the shared alarm group
    TestId,
    SpinLock,
    Summary,
    Detail,
    Const,     // arg = value
    Countdown, // arg = pending type
    RowIndex,  // arg = row, lines = line-count field
    Cell,      // off = phase-A field, arg = row, lines = line-count field
};

enum Group { Ident, Plain, Test, Control, Config };

struct Obj {
    std::vector<oid> sub; // below the registration base
    u_char type;
    bool writable;
    Source src;
    std::size_t off = 0;
    long arg = 0;
    std::size_t lines = 0;
    Group group = Plain;
};

constexpr oid kBase[] = {1, 3, 6, 1, 2, 1, 33, 1};
constexpr oid kTestIdPrefix[] = {1, 3, 6, 1, 2, 1, 33, 1, 7, 7};
constexpr oid kInputBase[] = {1, 3, 6, 1, 2, 1, 33, 1, 3};
constexpr oid kOutputBase[] = {1, 3, 6, 1, 2, 1, 33, 1, 4};
constexpr oid kBypassBase[] = {1, 3, 6, 1, 2, 1, 33, 1, 5};

std::vector<Obj> g_objs;
std::vector<struct variable> g_vars[4];

long g_spinLock = 1;
long g_summary = 1;
oid g_testId[11] = {1, 3, 6, 1, 2, 1, 33, 1, 7, 7, 1};

// ---- object tables, in MIB order ----
void scalar(std::vector<oid> sub, u_char type, bool w, Source src, std::size_t o = 0, long arg = 0,
            Group g = Plain)
{
    g_objs.push_back({std::move(sub), type, w, src, o, arg, 0, g});
}

void buildScalars()
{
    scalar({1, 1}, ASN_OCTET_STR, false, Text, off::identManufacturer, 32);
    scalar({1, 2}, ASN_OCTET_STR, false, Text, off::identModel, 64);
    scalar({1, 3}, ASN_OCTET_STR, false, Text, off::identUpsSoftwareVersion, 64);
    scalar({1, 4}, ASN_OCTET_STR, false, Text, off::identAgentSoftwareVersion, 64);
    scalar({1, 5}, ASN_OCTET_STR, true, Text, off::identName, 64, Ident);
    scalar({1, 6}, ASN_OCTET_STR, true, Text, off::identAttachedDevices, 64, Ident);
    const std::size_t battery[] = {off::batteryStatus,
                                   off::secondsOnBattery,
                                   off::estimatedMinutesRemaining,
                                   off::estimatedChargeRemaining,
                                   off::batteryVoltage,
                                   off::batteryCurrent,
                                   off::batteryTemperature};
    for (oid i = 0; i < 7; ++i)
        scalar({2, i + 1}, ASN_INTEGER, false, Int, battery[i]);
    scalar({3, 1}, ASN_COUNTER, false, Int, off::inputLineBads);
    scalar({3, 2}, ASN_INTEGER, false, Int, off::inputNumLines);
    scalar({4, 1}, ASN_INTEGER, false, Int, off::outputSource);
    scalar({4, 2}, ASN_INTEGER, false, Int, off::outputFrequency);
    scalar({4, 3}, ASN_INTEGER, false, Int, off::outputNumLines);
    scalar({5, 1}, ASN_INTEGER, false, Int, off::bypassFrequency);
    scalar({5, 2}, ASN_INTEGER, false, Int, off::bypassNumLines);
    // upsAlarmsPresent (6.1) is registered with the alarm group
    scalar({7, 1}, ASN_OBJECT_ID, true, TestId, 0, 0, Test);
    scalar({7, 2}, ASN_INTEGER, true, SpinLock, 0, 0, Test);
    scalar({7, 3}, ASN_INTEGER, false, Summary);
    scalar({7, 4}, ASN_OCTET_STR, false, Detail);
    scalar({7, 5}, ASN_TIMETICKS, false, Int, off::testStartTime);
    scalar({7, 6}, ASN_INTEGER, false, Int, off::testElapsedTime);
    scalar({8, 1}, ASN_INTEGER, true, Const, 0, 2, Control);
    scalar({8, 2}, ASN_INTEGER, true, Countdown, 0, 1, Control);
    scalar({8, 3}, ASN_INTEGER, true, Countdown, 0, 2, Control);
    scalar({8, 4}, ASN_INTEGER, true, Countdown, 0, 3, Control);
    scalar({8, 5}, ASN_INTEGER, true, Const, 0, 1, Control);
    for (oid i = 0; i < 10; ++i)
        scalar({9, i + 1}, ASN_INTEGER, true, Int, off::configInputVoltage + 4 * i, 0, Config);
}

// A per-phase table: column 1 is the line index, the others are phase fields.
void buildTable(oid tableSub, const std::vector<std::size_t>& columns, std::size_t lines)
{
    for (oid col = 1; col <= columns.size() + 1; ++col)
        for (oid row = 1; row <= 3; ++row) {
            Obj o{{tableSub, 1, col, row}, ASN_INTEGER, false, col == 1 ? RowIndex : Cell};
            o.off = col == 1 ? 0 : columns[col - 2] + 4 * (row - 1);
            o.arg = static_cast<long>(row);
            o.lines = lines;
            g_objs.push_back(o);
        }
}

bool rowPresent(const Obj& o)
{
    std::uint32_t n = block().u32(o.lines);
    if (n == 1) return o.arg == 1;
    return n == 3;
}

std::string cappedText(const Obj& o)
{
    return block().text(o.off, static_cast<std::size_t>(o.arg));
}

// ---- sets ----
const Obj* objectFor(const oid* name, size_t len);

// Every writable object refuses a value outside its range with wrongValue,
// before anything is sent: the delays of the control group by pending type
// (1 shutdown, 2 start-up, 3 reboot), in seconds, with -1 as "cancel".
constexpr long kControlMax[] = {0, 600, 599940, 300};
constexpr long kMaxInteger32 = 2147483647;

int checkSet(const Obj& o, u_char type, const u_char* val, size_t len)
{
    using namespace agentmod;
    switch (o.group) {
    case Ident: {
        if (int e = checkString(type, len, 31)) return e;
        for (size_t i = 0; i < len; ++i)
            if (!std::isprint(val[i])) return SNMP_ERR_WRONGVALUE;
        return SNMP_ERR_NOERROR;
    }
    case Test:
        if (o.src == SpinLock) {
            // TestAndIncr: 0..2147483647
            if (int e = checkInteger(type, len)) return e;
            const long v = intValue(val);
            return v >= 0 && v <= kMaxInteger32 ? SNMP_ERR_NOERROR : SNMP_ERR_WRONGVALUE;
        }
        if (o.src == TestId) {
            if (type != ASN_OBJECT_ID) return SNMP_ERR_WRONGTYPE;
            size_t n = len / sizeof(oid);
            if (n != 11) return SNMP_ERR_WRONGVALUE;
            oid v[11];
            std::memcpy(v, val, sizeof v);
            if (std::memcmp(v, kTestIdPrefix, sizeof kTestIdPrefix) != 0)
                return SNMP_ERR_WRONGVALUE;
            if (v[10] != 2 && v[10] != 4 && v[10] != 5) return SNMP_ERR_WRONGVALUE;
            return SNMP_ERR_NOERROR;
        }
        return SNMP_ERR_WRONGVALUE;
    case Control: {
        if (int e = checkInteger(type, len)) return e;
        const long v = intValue(val);
        if (o.src == Const)
            return v == o.arg ? SNMP_ERR_NOERROR // shutdown type 2 only, auto-restart on only
                              : SNMP_ERR_WRONGVALUE;
        // A delay in seconds, or -1 to cancel: anything else changes nothing.
        const long max = kControlMax[o.arg];
        return v == -1 || (v >= 0 && v <= max) ? SNMP_ERR_NOERROR : SNMP_ERR_WRONGVALUE;
    }
    case Config: {
        if (int e = checkInteger(type, len)) return e;
        if (o.off != off::configAudibleStatus) return SNMP_ERR_WRONGVALUE;
        const long v = intValue(val); // disabled(1), enabled(2), muted(3)
        return v >= 1 && v <= 3 ? SNMP_ERR_NOERROR : SNMP_ERR_WRONGVALUE;
    }
    case Plain:
        break;
    }
    return SNMP_ERR_NOTWRITABLE;
}

void commitSet(const Obj& o, const u_char* val, size_t len)
{
    using namespace agentmod;
    if (o.group == Test && o.src == TestId) {
        oid last;
        std::memcpy(&last, val + 10 * sizeof(oid), sizeof last);
        // upsTestAbortTestInProgress, upsTestQuickBatteryTest, upsTestDeepBatteryCalibration
        if (last == 2) {
            sendCommand(cmd::kCancelTest, 0);
        } else if (last == 4) {
            g_testId[10] = 4;
            ++g_spinLock;
            sendCommand(cmd::kSelfTest, 0);
        } else if (last == 5) {
            g_testId[10] = 5;
            sendCommand(cmd::kDischargeTestToLow, 0);
            ++g_spinLock;
        }
        return;
    }
    if (o.group == Config) {
        // only upsConfigAudibleStatus takes a set
        sendCommand(cmd::kBeeperToggle, 0);
        return;
    }
    if (o.group != Control || o.src != Countdown) return;
    long d = intValue(val);
    Pending& p = pending();
    if (d == -1) {
        // -1 cancels the pending command
        p = Pending{};
        sendCommand(cmd::kWakeUp, 0);
        return;
    }
    std::uint32_t runTime = block().u32(off::runTime);
    if (o.arg == 1) {
        if (d < 12) d = 12;
        sendCommand(cmd::kShutdownAfterDelay, static_cast<int>(d));
    } else {
        // value1 carries 16 bits: longer delays saturate rather than wrap
        if (d < 0) d = 0;
        if (d > 0xffff) d = 0xffff;
        sendCommand(cmd::kStandby, static_cast<int>(d));
    }
    p.cmdTime = runTime;
    p.delay = static_cast<std::uint32_t>(d);
    p.type = static_cast<int>(o.arg);
    (void)len;
}

int writeObject(int action, u_char* val, u_char type, size_t len, u_char*, oid* name,
                size_t nameLen)
{
    const Obj* o = objectFor(name, nameLen);
    if (!o) return SNMP_ERR_NOTWRITABLE;
    switch (action) {
    case RESERVE1:
        return checkSet(*o, type, val, len);
    case ACTION:
        if (o->group == Ident && o->off == off::identName)
            agentmod::sendText(snmpblock::kIdentNameType,
                               std::string(reinterpret_cast<const char*>(val), len));
        return SNMP_ERR_NOERROR;
    case COMMIT:
        commitSet(*o, val, len);
        return SNMP_ERR_NOERROR;
    default:
        return SNMP_ERR_NOERROR;
    }
}

// ---- reads ----
u_char* varUps(struct variable* vp, oid* name, size_t* length, int exact, size_t* varLen,
               WriteMethod** writeMethod)
{
    using namespace agentmod;
    *writeMethod = nullptr;
    if (vp->magic >= g_objs.size()) return nullptr;
    const Obj& o = g_objs[vp->magic];
    bool cell = o.src == RowIndex || o.src == Cell;
    if (cell && !rowPresent(o)) return nullptr;
    if (!(cell ? cellInstance(vp, name, length, exact) : scalarInstance(vp, name, length, exact)))
        return nullptr;
    if (o.writable) *writeMethod = writeObject;
    const snmpblock::Block& b = block();
    switch (o.src) {
    case Text:
        return answerText(cappedText(o), varLen);
    case Int:
        return answerInt(b.i32(o.off), varLen);
    case TestId:
        return answerOid(g_testId, 11, varLen);
    case SpinLock:
        return answerInt(g_spinLock, varLen);
    case Summary:
        if (b.u32(off::testStartTime) == 0) return answerInt(6, varLen);
        return answerInt(g_summary == 4 ? 4 : 1, varLen);
    case Detail:
        return answerText("", varLen);
    case Const:
        return answerInt(o.arg, varLen);
    case Countdown:
        return answerInt(countdown(static_cast<int>(o.arg)), varLen);
    case RowIndex:
        return answerInt(o.arg, varLen);
    case Cell:
        return answerInt(b.i32(o.off), varLen);
    case AlarmsPresent:
        break;
    }
    return nullptr;
}

std::vector<std::vector<oid>> g_names; // instance names, parallel to g_objs

const Obj* objectFor(const oid* name, size_t len)
{
    for (size_t i = 0; i < g_objs.size(); ++i) {
        const auto& n = g_names[i];
        if (snmp_oid_compare(name, len, n.data(), n.size()) == 0) return &g_objs[i];
    }
    return nullptr;
}

void registerGroup(int slot, const char* what, const oid* base, size_t baseLen, size_t first,
                   size_t last)
{
    auto& vars = g_vars[slot];
    for (size_t i = first; i < last; ++i) {
        const Obj& o = g_objs[i];
        struct variable v {
        };
        v.magic = static_cast<u_char>(i);
        v.type = static_cast<char>(o.type);
        v.acl = o.writable ? RWRITE : RONLY;
        v.findVar = varUps;
        v.namelen = static_cast<u_char>(o.sub.size());
        for (size_t k = 0; k < o.sub.size(); ++k)
            v.name[k] = o.sub[k];
        vars.push_back(v);
        std::vector<oid> inst(base, base + baseLen);
        inst.insert(inst.end(), o.sub.begin(), o.sub.end());
        if (o.src != RowIndex && o.src != Cell) inst.push_back(0);
        g_names[i] = inst;
    }
    if (register_mib(what, vars.data(), sizeof(struct variable), vars.size(),
                     const_cast<oid*>(base), baseLen) != MIB_REGISTERED_OK)
        DEBUGMSGTL(("upsmib", "%s registration failed\n", what));
}

// ---- traps ----
void onAlarmChange(int p, int state)
{
    static const oid kAlarmId[] = {1, 3, 6, 1, 2, 1, 33, 1, 6, 2, 1, 1};
    static const oid kAlarmDescr[] = {1, 3, 6, 1, 2, 1, 33, 1, 6, 2, 1, 2};
    std::vector<oid> trap = {1, 3, 6, 1, 2, 1, 33, 2, static_cast<oid>(state > 0 ? 3 : 4)};
    oid descr[] = {1, 3, 6, 1, 2, 1, 33, 1, 6, 3, static_cast<oid>(p)};
    long id = p;
    netsnmp_variable_list* extra = nullptr;
    snmp_varlist_add_variable(&extra, kAlarmId, OID_LENGTH(kAlarmId), ASN_INTEGER,
                              reinterpret_cast<const u_char*>(&id), sizeof id);
    snmp_varlist_add_variable(&extra, kAlarmDescr, OID_LENGTH(kAlarmDescr), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char*>(descr), sizeof descr);
    std::printf("trap id=%d,time=%u\n", p, block().u32(off::runTime));
    std::fflush(stdout);
    agentmod::sendNotification(trap, extra);
}

} // namespace

extern "C" void init_upsmib(void)
{
    try {
        std::printf("init upsmib\n");
        std::fflush(stdout);
        agentmod::attach();
        g_objs.clear();
        buildScalars();
        size_t nScalars = g_objs.size();
        buildTable(3,
                   {off::inputFrequency, off::inputVoltage, off::inputCurrent, off::inputTruePower},
                   off::inputNumLines);
        size_t nInput = g_objs.size();
        buildTable(
            4, {off::outputVoltage, off::outputCurrent, off::outputPower, off::outputPercentLoad},
            off::outputNumLines);
        size_t nOutput = g_objs.size();
        buildTable(3, {off::bypassVoltage, off::bypassCurrent, off::bypassPower},
                   off::bypassNumLines);
        size_t nBypass = g_objs.size();
        g_names.assign(g_objs.size(), {});
        registerGroup(0, "upsmib", kBase, OID_LENGTH(kBase), 0, nScalars);
        registerGroup(1, "upsInputTable", kInputBase, OID_LENGTH(kInputBase), nScalars, nInput);
        registerGroup(2, "upsOutputTable", kOutputBase, OID_LENGTH(kOutputBase), nInput, nOutput);
        registerGroup(3, "upsBypassTable", kBypassBase, OID_LENGTH(kBypassBase), nOutput, nBypass);
        agentmod::registerAlarmGroup("upsAlarmTable", true);
        agentmod::startAlarmWatch(onAlarmChange);
    } catch (...) {
        std::printf("init upsmib failed\n");
    }
}

extern "C" void deinit_upsmib(void) {}
