/*
 * batpack_y.h - inside of the cabinet BMS driver batpack_y (devices 70 + n on
 * the RS-485 line).
 *
 * One request reads the cabinet controller's 32 registers from 0x1100; they
 * are reported as the five-digit pack signals 41000..41031. Whether the
 * previous cycle's reply was good is reported first in every cycle as
 * Data_bms_send_flag (41104). Four registers from 0x0200 take commands.
 * decode.cpp holds the table and decoder, commands.cpp the cycle and the
 * control, driver.cpp the driver on the driver shell.
 */
#pragma once

#include "common.h"
#include "driver_shell.hpp"

#include <cstdint>

namespace batpack_y
{

constexpr int kRegisters = 32;
constexpr int kFirstRegister = 0x1100;
constexpr int kPauseMs = 100; // after a decoded reply
constexpr int kCommandBase = 0x0200;
constexpr int kCommands = 4;

struct State {
    // Until a first reply was good the pack counts as not answering.
    bool failed = true;
};

extern const cmd packCmd;

using upscommon::Reports;

void decodeReply(const uint8_t* reply, int size, Reports& out);

// One cycle; always 0 (the flag tells the pack's health).
int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out);

// "k,v" (k = 0..3) writes v to register 0x0200 + k: 1 acknowledged, else 0.
int control(const upscommon::PortIo& io, void* fd, int id, const char* cmdStr);

} // namespace batpack_y
