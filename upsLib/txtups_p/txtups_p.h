/*
 * txtups_p.h - inside of txtups_p, the CORVAN single-phase UPS (ups_type 8).
 *
 * The UPS answers only Q1, the single-phase status line, which is read by the
 * rules of the single-phase KYTO driver (txtups_1's Q1 decoder: input,
 * output, battery, status bits, output source, energy flow). The UPS tells
 * nothing about itself, so the driver states its maker and model; and it
 * reports no rating, so the output frequency on battery is the nominal
 * frequency (50 or 60 Hz) nearest the mains it last ran on.
 */
#pragma once

#include "ascii.hpp"
#include "driver_shell.hpp"
#include "txtups_1.h"

#include <cstdint>

namespace txtups_p
{

using upscommon::Reports;

inline const upscommon::ascii::Command kQueries[] = {
    {"1000", "Q1\r", 47, 600},
};

constexpr const char* kManufacturer = "CORVAN";
constexpr const char* kModel = "CORVAN 1P";

struct State {
    txtups_1::State q1;       // what the single-phase Q1 rules keep
    int exit_upslib_flag = 0; // 1 while polling is suspended
};

// Decodes a Q1 reply (got bytes); false when it was rejected.
bool decodeReply(State& s, const uint8_t* reply, int got, Reports& out);

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out);

// Control: 50 raw send, 54/55 suspend and resume polling, 4 and 23.
int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmd);

} // namespace txtups_p
