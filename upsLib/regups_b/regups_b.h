/*
 * regups_b.h - inside of regups_b, the register-map driver of the second
 * KYTO register generation (ups_type 2).
 *
 * Four query commands every cycle: the measurement block (which also carries
 * the protocol version and the UPS mode), the battery and energy-flow block,
 * the identity block and the status bit map. From protocol 2.6 on the UPS
 * reports its energy-flow diagram in registers; older firmware gives only
 * the status bits, and the driver draws the diagram from them by its own
 * rules (decode.cpp). Tables and the cycle live in commands.cpp, the pure
 * decoders in decode.cpp, the command strings in control.cpp, the driver on
 * the driver shell in driver.cpp.
 */
#pragma once

#include "common.h"
#include "driver_shell.hpp"
#include "regmap.hpp"

#include <array>
#include <cstdint>

namespace regups_b
{

// Module state, learnt from replies while the library is loaded.
struct State {
    float pro_type = 0;       // protocol version from register 0, e.g. 2.60
    int work_state = 0;       // the UPS mode register
    float batt_status = 0;    // the battery state register
    int exit_upslib_flag = 0; // 1 while polling is suspended
};

// From this protocol version on the energy flow comes from registers.
constexpr float kRegisterFlowVersion = 2.6f;

enum QueryIndex { kMeasurement = 0, kBattery = 1, kIdentity = 2, kStatus = 3, kQueryCount = 4 };

using upscommon::Report;
using upscommon::Reports;

extern const cmd acuList[kQueryCount];
extern const controlCmd controlList[11];

constexpr int kFlowLines = 15;
constexpr int kFlowSwitches = 4;

// The energy-flow diagram: lines 1-15 (0-3) and switches 1-4 (0 open, 1 closed).
struct Flow {
    std::array<int, kFlowLines> line{};
    std::array<int, kFlowSwitches> sw{};
};

// The diagram drawn from the status bit map (firmware below 2.6).
Flow flowFromBits(const upscommon::regmap::Bits& b);

void decodeMeasurement(State& s, const uint8_t* reply, int size, Reports& out);
void decodeBattery(State& s, const uint8_t* reply, int size, Reports& out);
void decodeIdentity(const uint8_t* reply, int size, Reports& out);
void decodeStatus(const State& s, const uint8_t* reply, int size, Reports& out);
void decodeReply(State& s, int index, const uint8_t* reply, int size, Reports& out);

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out);
int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmdStr);

} // namespace regups_b
