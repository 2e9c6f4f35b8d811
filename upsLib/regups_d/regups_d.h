/*
 * regups_d.h - inside of regups_d, the register-map driver for the UPSs of
 * another make (ups_type 7).
 *
 * Four query commands every cycle: the alarm bits, the measurements, the
 * identity texts and the battery and state block. Several values the card
 * shows (battery status, work mode, the on-input flag and the energy flow)
 * combine what more than one block said; the driver keeps those inputs and
 * derives the values once the cycle's replies are in, so a reader never sees
 * one half of a cycle combined with the other half of the previous one.
 */
#pragma once

#include "common.h"
#include "driver_shell.hpp"
#include "regmap.hpp"

#include <cstdint>

namespace regups_d
{

// Inputs of the derived values, learnt from replies.
struct State {
    unsigned alarms = 0;  // the 16 alarm bits
    int batteryAlarm = 0; // A: battery alarm state (measurement register 0)
    int system = 0;       // S: system state
    int runState = -1;    // R: battery run state; -1 until read
    int outputWay = 1;    // W: output way, 1-7
    float inputV = 0, outputV = 0, batteryV = 0;
    int exit_upslib_flag = 0; // 1 while polling is suspended
};

enum QueryIndex {
    kAlarms = 0,
    kMeasurements = 1,
    kIdentity = 2,
    kBatteryState = 3,
    kQueryCount = 4
};

using upscommon::Report;
using upscommon::Reports;

extern const cmd acuList[kQueryCount];

void decodeAlarms(State& s, const uint8_t* reply, int size, Reports& out);
void decodeMeasurements(State& s, const uint8_t* reply, int size, Reports& out);
void decodeIdentity(const uint8_t* reply, int size, Reports& out);
void decodeBatteryState(State& s, const uint8_t* reply, int size, Reports& out);
void decodeReply(State& s, int index, const uint8_t* reply, int size, Reports& out);
// Battery status, work mode, on-input flag and energy flow from the state.
void derive(const State& s, Reports& out);

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out);
int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmdStr);

} // namespace regups_d
