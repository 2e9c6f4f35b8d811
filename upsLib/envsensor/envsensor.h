/*
 * envsensor.h - inside of the temperature/humidity sensor driver (device 61).
 *
 * Up to four sensor modules share the RS-485 line at their own bus addresses.
 * A module is asked with up to three alternative requests (module makes
 * differ); the first valid reply gives its temperature and humidity, and a
 * module that answers none of them is reported lost. The data task tells the
 * driver how many modules there are and where (control commands 0 to 4).
 * The table and the cycle live in commands.cpp, the pure reply decoder in
 * decode.cpp, the driver on the driver shell in driver.cpp.
 */
#pragma once

#include "common.h"
#include "driver_shell.hpp"

#include <array>
#include <cstdint>

namespace envsensor
{

constexpr int kMaxModules = 4;
constexpr int kAlternatives = 3;
constexpr int kPauseMs = 1500; // before every request: the modules are slow to turn round

struct State {
    int module_num = kMaxModules;
    std::array<int, kMaxModules> module_id{1, 2, 3, 4};
};

// The alternatives, in the order they are tried: "100", "101", "102".
extern const cmd thsList[kAlternatives];

using upscommon::Reports;

// Decodes a validated reply of alternative `which` for module i into its
// temperature and humidity; nothing when the reply is too short.
void decodeReply(int module, int which, const uint8_t* reply, int size, Reports& out);

// One cycle over the configured modules; always 1.
int query(const State& s, const upscommon::PortIo& io, void* fd, upscommon::Cycle& out);

// "0,n" sets the module count, "k,a" (k = 1..4) the address of module k.
// No line traffic; always 0.
int control(State& s, const char* cmdStr);

} // namespace envsensor
