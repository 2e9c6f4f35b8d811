/*
 * agentmod.h - what the two MIB modules share inside snmpd.
 *
 * Both modules are net-snmp "old-style" variable tables: each object is one
 * `struct variable` whose magic indexes a table of object descriptions, and one
 * generic find function per module serves them all. This file holds the parts
 * that do not depend on the MIB: attaching the shared block and the queue,
 * instance checks, answer buffers, command messages, the pending-command
 * countdown and the UPS-MIB alarm group that both modules serve.
 */
#pragma once

#include "shmblock.h"

// net-snmp needs its configuration header first
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
// clang-format on

#include <string>
#include <vector>

namespace agentmod
{

// The attached block (valid after attach()).
const snmpblock::Block& block();

// Attaches block and queue with the key shared with the task, and zeroes the
// block. On failure prints the reason and ends the agent (status 1 or 2): the
// task starts it again a second later.
void attach();

// One command on the queue (type 10); a full or missing queue drops it.
void sendCommand(int code, int value1);
void sendText(long type, const std::string& text);

// Instance checks. A scalar's instance is its name plus ".0"; a table cell's
// instance is its full name. true when vp answers the request (and name/length
// were set to the instance for GETNEXT).
bool scalarInstance(struct variable* vp, oid* name, size_t* length, int exact);
bool cellInstance(struct variable* vp, oid* name, size_t* length, int exact);

// Answer buffers (the agent copies them right away).
u_char* answerInt(long v, size_t* varLen);
u_char* answerText(const std::string& s, size_t* varLen);
u_char* answerOid(const oid* o, size_t n, size_t* varLen);

// The command whose delay the control objects count down.
struct Pending {
    std::uint32_t cmdTime = 0; // runTime when it was sent
    std::uint32_t delay = 0;
    int type = 0; // 0 none, 1 shutdown, 2 start-up, 3 reboot
};
Pending& pending();
// Seconds left for a pending command of `type`, or -1.
long countdown(int type);

// Registers upsAlarmsPresent (when withPresent) and the six-row upsAlarmTable
// under 1.3.6.1.2.1.33.1.6.
void registerAlarmGroup(const char* name, bool withPresent);

// Calls onChange(p, newState) once a second for every entry of the alarm state
// array that differs from the last one seen; starts with all states 0.
void startAlarmWatch(void (*onChange)(int p, int newState));

// Sends an SNMPv2 notification: snmpTrapOID.0 = trapOid, then the given bindings.
void sendNotification(const std::vector<oid>& trapOid, netsnmp_variable_list* extra);

// Set-request checks shared by both modules.
int checkInteger(u_char type, size_t len);
int checkString(u_char type, size_t len, size_t maxLen);
long intValue(const u_char* val);

} // namespace agentmod
