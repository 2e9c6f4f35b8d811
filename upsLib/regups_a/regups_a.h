/*
 * regups_a.h - inside of the register-map UPS driver regups_a.
 *
 * One driver serves three register layouts (G, 222 and AAAA). The identity
 * block tells which one the UPS speaks; from then on each cycle polls only the
 * commands that layout needs. Tables live in commands.cpp, the pure reply
 * decoders in decode.cpp, the command strings in control.cpp and the driver
 * on the driver shell, with its exported table accessors, in driver.cpp.
 */
#pragma once

#include "common.h"
#include "driver_shell.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace regups_a
{

// Module state. Learnt from replies and kept while the library is loaded.
struct State {
    int regups_a_protocol_version = 0xFFFF; // 0xFFFF: identity not read yet
    int regups_a_version = 0;               // model code, e.g. 222, 297, 299
    float ups_version = 0;                  // parsed software version (codes other than 222, 297)
    int batt_low_990 = 0;
    int input_err = 0;
    int alarm_state = 0;      // toggle of command 8
    int exit_upslib_flag = 0; // 1 while polling is suspended
};

constexpr int kProtocolUnknown = 0xFFFF;
constexpr int kProtocolAAAA = 0xAAAA;
constexpr int kCode222 = 222;
constexpr int kCode297 = 297;
constexpr int kCode299 = 299;

// Query commands, indexed as in the poll table.
enum QueryIndex {
    kMainG = 0,
    kIdentity = 1,
    kAlarmA = 2,
    kAlarmB = 3,
    kMainAAAA = 4,
    kAlarmC = 5,
    kRating = 6,
    kMainGNoTest = 7,
    kMain222 = 8,
    kQueryCount = 9
};

using upscommon::Report;
using upscommon::Reports;

extern const cmd acuList[kQueryCount];
extern const controlCmd controlList[11];

// Which query commands this cycle polls.
std::array<bool, kQueryCount> selectCommands(const State& s);

// Decodes a validated reply of query command index into reports, updating the
// learnt state. Replies shorter than the command's reply length give nothing.
void decodeReply(State& s, int index, const uint8_t* reply, int size, Reports& out);

void decodeIdentity(State& s, const uint8_t* reply, int size, Reports& out);
void decodeMainG(State& s, const uint8_t* reply, int size, bool withTest, Reports& out);
void decodeMain222(State& s, const uint8_t* reply, int size, Reports& out);
void decodeMainAAAA(State& s, const uint8_t* reply, int size, Reports& out);
void decodeRating(const uint8_t* reply, int size, Reports& out);
void decodeAlarmA(State& s, const uint8_t* reply, int size, Reports& out);
void decodeAlarmB(State& s, const uint8_t* reply, int size, Reports& out);
void decodeAlarmC(State& s, const uint8_t* reply, int size, Reports& out);

// One Query: selection, poll cycle, decoding; every report joins out.
int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out);

// One Control: 1 success, 0 failure or unsupported command.
int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmdStr);

// Register values written by parameter block 51 or 52 from the command tokens;
// false when an argument is missing or does not fit a register.
bool parameterBlock(int command, const std::vector<std::string>& tokens, std::vector<int>& regs);

} // namespace regups_a
