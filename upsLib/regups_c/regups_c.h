/*
 * regups_c.h - inside of regups_c, the register-map driver of the third KYTO
 * register family (ups_type 3).
 *
 * Four query commands every cycle: the main block, the energy-flow block,
 * the identity block and the alarm bit map; 50 ms between answered
 * commands. The operating mode register gives the output source and the
 * source flags. Tables and the cycle live in commands.cpp, the pure decoders
 * in decode.cpp, the command strings in control.cpp, the driver in
 * driver.cpp.
 */
#pragma once

#include "common.h"
#include "driver_shell.hpp"
#include "regmap.hpp"

#include <cstdint>

namespace regups_c
{

struct State {
    int exit_upslib_flag = 0; // 1 while polling is suspended
};

enum QueryIndex { kMain = 0, kEnergy = 1, kIdentity = 2, kAlarms = 3, kQueryCount = 4 };
constexpr int kAnswerPauseMs = 50;

using upscommon::Report;
using upscommon::Reports;

extern const cmd acuList[kQueryCount];

void decodeMain(const uint8_t* reply, int size, Reports& out);
void decodeEnergy(const uint8_t* reply, int size, Reports& out);
void decodeIdentity(const uint8_t* reply, int size, Reports& out);
void decodeAlarms(const uint8_t* reply, int size, Reports& out);
void decodeReply(int index, const uint8_t* reply, int size, Reports& out);

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out);
int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmdStr);

} // namespace regups_c
