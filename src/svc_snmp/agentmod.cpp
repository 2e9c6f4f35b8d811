/*
 * agentmod.cpp - shared block, queue, instances, countdowns and alarm group
 * for the MIB modules running inside snmpd.
 */
#include "agentmod.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace agentmod
{
namespace
{

void* g_base = nullptr;
snmpblock::Block g_block(nullptr);
int g_queue = -1;
Pending g_pending;

long g_long;
u_char g_buf[256];
oid g_oid[MAX_OID_LEN];

void (*g_onChange)(int, int) = nullptr;
int g_lastState[snmpblock::kAlarmStateEntries];

constexpr oid kAlarmGroup[] = {1, 3, 6, 1, 2, 1, 33, 1, 6};
constexpr oid kWellKnownAlarm[] = {1, 3, 6, 1, 2, 1, 33, 1, 6, 3};
constexpr oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

enum { AlarmPresent = 0 };
int cellMagic(int col, int row)
{
    return col * 10 + row;
}

u_char* varAlarm(struct variable* vp, oid* name, size_t* length, int exact, size_t* varLen,
                 WriteMethod** writeMethod)
{
    *writeMethod = nullptr;
    const snmpblock::Block& b = block();
    if (vp->magic == AlarmPresent) {
        if (!scalarInstance(vp, name, length, exact)) return nullptr;
        long n = 0;
        for (int i = 0; i < snmpblock::kAlarmTableUsed; ++i)
            if (b.alarmId(i) != 0) ++n;
        return answerInt(n, varLen);
    }
    int col = vp->magic / 10, row = vp->magic % 10;
    int id = b.alarmId(row - 1);
    std::uint32_t time = b.alarmTime(row - 1);
    if (id == 0 || (col == 2 && id > snmpblock::kWellKnownAlarms) || (col == 3 && time == 0))
        return nullptr;
    if (!cellInstance(vp, name, length, exact)) return nullptr;
    switch (col) {
    case 1:
        return answerInt(id, varLen);
    case 2: {
        oid descr[11];
        std::memcpy(descr, kWellKnownAlarm, sizeof kWellKnownAlarm);
        descr[10] = static_cast<oid>(id);
        return answerOid(descr, 11, varLen);
    }
    default:
        return answerInt(static_cast<long>(time), varLen);
    }
}

void alarmTick(unsigned int, void*)
{
    const snmpblock::Block& b = block();
    for (int p = 0; p < snmpblock::kAlarmStateEntries; ++p) {
        int s = b.alarmState(p);
        if (s == g_lastState[p]) continue;
        g_lastState[p] = s;
        if (g_onChange) g_onChange(p, s);
    }
}

} // namespace

const snmpblock::Block& block()
{
    return g_block;
}

void attach()
{
    int stage = 0;
    int key = snmpblock::ipcKey();
    g_base = snmpblock::attachBlock(key, &stage);
    if (!g_base) {
        std::printf("###share memory ERROR %d### %s\n", stage, std::strerror(errno));
        std::fflush(stdout);
        std::exit(stage);
    }
    g_block = snmpblock::Block(g_base);
    g_queue = snmpblock::openQueue(key);
    g_block.clear();
}

void sendCommand(int code, int value1)
{
    snmpblock::Command c;
    c.code = code;
    c.value1 = value1 & 0xffff;
    c.value2 = 0;
    if (!snmpblock::sendMessage(g_queue, snmpblock::encodeCommand(c)))
        DEBUGMSGTL(("upsmib", "command %d dropped (queue full or missing)\n", code));
}

void sendText(long type, const std::string& text)
{
    snmpblock::Message m{};
    m.type = type;
    std::memcpy(m.data, text.data(), std::min(text.size(), snmpblock::kPayloadSize - 1));
    snmpblock::sendMessage(g_queue, m);
}

bool scalarInstance(struct variable* vp, oid* name, size_t* length, int exact)
{
    oid inst[MAX_OID_LEN];
    if (vp->namelen + 1 > MAX_OID_LEN) return false;
    std::memcpy(inst, vp->name, vp->namelen * sizeof(oid));
    inst[vp->namelen] = 0;
    size_t n = vp->namelen + 1;
    int cmp = snmp_oid_compare(name, *length, inst, n);
    if (exact) return cmp == 0;
    if (cmp >= 0) return false;
    std::memcpy(name, inst, n * sizeof(oid));
    *length = n;
    return true;
}

bool cellInstance(struct variable* vp, oid* name, size_t* length, int exact)
{
    int cmp = snmp_oid_compare(name, *length, vp->name, vp->namelen);
    if (exact) return cmp == 0;
    if (cmp >= 0) return false;
    std::memcpy(name, vp->name, vp->namelen * sizeof(oid));
    *length = vp->namelen;
    return true;
}

u_char* answerInt(long v, size_t* varLen)
{
    g_long = v;
    *varLen = sizeof g_long;
    return reinterpret_cast<u_char*>(&g_long);
}

u_char* answerText(const std::string& s, size_t* varLen)
{
    size_t n = std::min(s.size(), sizeof g_buf);
    std::memcpy(g_buf, s.data(), n);
    *varLen = n;
    return g_buf;
}

u_char* answerOid(const oid* o, size_t n, size_t* varLen)
{
    n = std::min<size_t>(n, MAX_OID_LEN);
    std::memcpy(g_oid, o, n * sizeof(oid));
    *varLen = n * sizeof(oid);
    return reinterpret_cast<u_char*>(g_oid);
}

Pending& pending()
{
    return g_pending;
}

long countdown(int type)
{
    if (g_pending.type != type) return -1;
    std::uint32_t runTime = block().u32(snmpblock::off::runTime);
    long elapsed = static_cast<long>(runTime) - static_cast<long>(g_pending.cmdTime);
    if (static_cast<long>(g_pending.delay) < elapsed) return -1;
    return static_cast<long>(g_pending.delay) - elapsed;
}

void registerAlarmGroup(const char* name, bool withPresent)
{
    static std::vector<struct variable> vars;
    vars.clear();
    auto add = [&](int magic, u_char type, std::initializer_list<oid> sub) {
        struct variable v {
        };
        v.magic = static_cast<u_char>(magic);
        v.type = static_cast<char>(type);
        v.acl = RONLY;
        v.findVar = varAlarm;
        v.namelen = static_cast<u_char>(sub.size());
        size_t i = 0;
        for (oid o : sub)
            v.name[i++] = o;
        vars.push_back(v);
    };
    if (withPresent) add(AlarmPresent, ASN_GAUGE, {1});
    for (int col = 1; col <= 3; ++col)
        for (int row = 1; row <= snmpblock::kAlarmTableUsed; ++row)
            add(cellMagic(col, row),
                col == 1   ? ASN_INTEGER
                : col == 2 ? ASN_OBJECT_ID
                           : ASN_TIMETICKS,
                {2, 1, static_cast<oid>(col), static_cast<oid>(row)});
    if (register_mib(name, vars.data(), sizeof(struct variable), vars.size(),
                     const_cast<oid*>(kAlarmGroup), OID_LENGTH(kAlarmGroup)) != MIB_REGISTERED_OK)
        DEBUGMSGTL(("upsmib", "%s registration failed\n", name));
}

void startAlarmWatch(void (*onChange)(int p, int newState))
{
    g_onChange = onChange;
    std::memset(g_lastState, 0, sizeof g_lastState);
    snmp_alarm_register(1, SA_REPEAT, alarmTick, nullptr);
}

void sendNotification(const std::vector<oid>& trapOid, netsnmp_variable_list* extra)
{
    netsnmp_variable_list* vars = nullptr;
    snmp_varlist_add_variable(&vars, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                              reinterpret_cast<const u_char*>(trapOid.data()),
                              trapOid.size() * sizeof(oid));
    vars->next_variable = extra;
    send_v2trap(vars);
    snmp_free_varbind(vars);
}

int checkInteger(u_char type, size_t len)
{
    if (type != ASN_INTEGER) return SNMP_ERR_WRONGTYPE;
    if (len > sizeof(long)) return SNMP_ERR_WRONGLENGTH;
    return SNMP_ERR_NOERROR;
}

int checkString(u_char type, size_t len, size_t maxLen)
{
    if (type != ASN_OCTET_STR) return SNMP_ERR_WRONGTYPE;
    if (len > maxLen) return SNMP_ERR_WRONGLENGTH;
    return SNMP_ERR_NOERROR;
}

long intValue(const u_char* val)
{
    long v;
    std::memcpy(&v, val, sizeof v);
    return v;
}

} // namespace agentmod
