/*
 * batpack_x.h - inside of the battery-string BMS driver batpack_x (devices
 * 70 + n on the RS-485 line).
 *
 * One request reads the pack's fifteen string registers; they are reported
 * as the five-digit pack signals 42500..42514, which the runtime stores as
 * they are. Two registers take set-points (control commands 0 and 1). The
 * table and decoder live in decode.cpp, the cycle and the control in
 * commands.cpp, the driver on the driver shell in driver.cpp.
 */
#pragma once

#include "common.h"
#include "driver_shell.hpp"

#include <cstdint>

namespace batpack_x
{

constexpr int kRegisters = 15;
constexpr int kPauseMs = 100; // after every reply
constexpr int kSetpointBase = 0x1000;
constexpr int kSetpoints = 2;

extern const cmd packCmd;

using upscommon::Reports;

// Decodes a validated reply (exact length) into the 42500 block.
void decodeReply(const uint8_t* reply, int size, Reports& out);

// One cycle: request, reply, decode. Always 0: a pack's health shows in its
// values only.
int query(const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out);

// "k,v" (k = 0 or 1) writes v to register 0x1000 + k: 1 acknowledged, else 0.
int control(const upscommon::PortIo& io, void* fd, int id, const char* cmdStr);

} // namespace batpack_x
