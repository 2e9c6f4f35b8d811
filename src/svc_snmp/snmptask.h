/*
 * snmptask.h - the pure logic of the SNMP task, apart from threads and processes.
 *
 * The task turns settings into two parameter records (agent side and trap side),
 * writes the agent's configuration from them, refreshes the shared block from the
 * signal store, turns queued set requests into UPS commands, and builds the
 * command lines of the test traps. Everything here talks to the card through a
 * card::Runtime (the card's own unless a test hands in card::FakeRuntime), so
 * unit tests need neither runtime nor agent.
 */
#pragma once

#include "card_runtime.hpp"
#include "shmblock.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace snmptask
{

constexpr int kRows = 8;
constexpr std::size_t kNameField = 32;    // user names, pass phrases, communities
constexpr std::size_t kAddressField = 64; // addresses, system texts
// The agent's cap on a GETBULK answer: repetitions per variable and variables
// in all (the agent's own default answers 100).
constexpr int kMaxGetbulkRepeats = 10;
constexpr int kMaxGetbulkResponses = 20;

// SNMP_V2c_V3C: what the agent serves and to whom.
struct AgentRow {
    std::string user, password, privacyPassword, manageIp, community;
    std::uint8_t authFlag = 0, privacyFlag = 0, permission = 0;
    bool operator==(const AgentRow&) const = default;
};

struct AgentParams {
    std::uint32_t mibType = 0, ipv6 = 0, port = 161, version = 0;
    std::array<AgentRow, kRows> rows{};
    std::string systemName, systemAdmin, systemLocation;
    bool operator==(const AgentParams&) const = default;
};

// SNMP_TRAP: where traps and informs go.
struct TrapRow {
    std::uint8_t way = 0, auth = 0, privacy = 0;
    std::string toIp, community, username, userPassword, privacyPassword;
    bool operator==(const TrapRow&) const = default;
};

struct TrapParams {
    std::uint32_t port = 162, version = 0, time = 10, count = 5, engineIdType = 0;
    std::array<TrapRow, kRows> rows{};
    bool operator==(const TrapParams&) const = default;
};

// Reads both records in full from settings (Snmp_Config_Init). Texts longer
// than their fixed field are cut to fit; the three system texts become "none"
// when empty or longer than 63 bytes.
void loadParams(AgentParams& agent, TrapParams& trap, card::Runtime& r = card::rt());

// Where the agent's files are on this machine.
struct ConfigPaths {
    std::string upsmibModule;  // lib/libupsmib.so
    std::string mib935Module;  // lib/libmib935.so
    bool loopbackOnly = false; // test sandbox: listen on the loopback address only
};

// The text of the agent configuration file, one directive per line in the
// fixed order. engineIdString is the setting used with engine ID type 3,
// engineId the persisted engine ID used by v3 trap sessions.
std::string buildConfig(const AgentParams& agent, const TrapParams& trap,
                        const std::string& engineIdString, const std::string& engineId,
                        const ConfigPaths& paths);

// Quotes a value as one word of snmpd.conf ("..." with \" and \\ escaped) when
// it needs it; control characters become spaces so no value can start a line.
std::string confWord(const std::string& v);
// Text for directives that take the rest of the line (sysLocation ...).
std::string confRest(const std::string& v);

// The engine ID recorded in the agent's state file text ("oldEngineID 0x..."),
// looked for in its last 100 bytes; empty when absent.
std::string engineIdFromState(const std::string& stateText);

// ---- shared-block refresh ----
// Refills every field the task owns from signals and settings; mibType is the
// loaded module (0 UPS-MIB, else the enterprise MIB), which sets some scales.
void refreshBlock(const snmpblock::Block& b, std::uint32_t mibType, card::Runtime& r = card::rt());

// ---- commands from the MIB module ----
struct CommandAction {
    std::string settingKey; // empty: nothing saved
    std::string settingValue;
    int command = 0; // UPS command posted on channel 0
};
CommandAction commandAction(const snmpblock::Command& c, int upsType);

// Acts on one queued command message: logs it, saves the command's parameter,
// posts the UPS command and records it as an SNMP control action in the store.
void handleMessage(const snmpblock::Message& m, card::Runtime& r = card::rt());

// ---- trap test ----
// UPS-MIB well-known alarm number for bit b (0..23) of a receiver's event mask.
int maskBitAlarm(int bit);
// One argument vector per selected bit for receiver row (1..8); empty when the
// row is disabled, the mask is 0 or the trap version sends no test traps.
std::vector<std::vector<std::string>> trapTestCommands(const TrapParams& trap, int row,
                                                       std::uint32_t mask, std::uint32_t mibType,
                                                       const std::string& engineId);
// The test traps for receiver row (1..8) as the web page asks for them: the
// alarms selected in its setting "trap_event_<row-1>", with the agent's engine
// ID. A row without selected alarms is logged and sends nothing.
std::vector<std::vector<std::string>> trapTestRequest(const TrapParams& trap, int row,
                                                      std::uint32_t mibType,
                                                      card::Runtime& r = card::rt());

} // namespace snmptask
