/*
 * corvan.hpp - what the CORVAN text-protocol UPSs (txtups_q, txtups_r) share.
 *
 * A CORVAN three-phase UPS speaks the family's text protocol (ascii.hpp):
 * "Q6" answers with the measurements of the three phases, the battery and
 * the operating mode, "WA" with the output power and the status bits, and
 * "Q1" (the single-phase status line, asked by txtups_r) with the same status
 * bits. The status bits of one reply are kept for the next: Q6 carries no
 * bypass or input-fault bit of its own, so it reads those of the last WA (or
 * Q1) record; the battery status and test alarms that every record ends with
 * combine the bits of both.
 *
 * Records, byte positions from the "(" at 0 (fields separated by one blank):
 *
 *   Q6 (108):  1-5 input V R, 7-11 S, 13-17 T, 19-22 input Hz,
 *              24-28 output V R, 30-34 S, 36-40 T, 42-45 output Hz,
 *              47-49 load % R, 51-53 S, 55-57 T, 59-63 battery + V,
 *              65-69 battery - V, 71-74 temperature, 76-80 battery time (s),
 *              82-84 battery charge %, 86 mode D, 88 test state T,
 *              90-97 fault code, 99-106 status bits, 107 carriage return
 *   WA (79):   1-5 active power kW R, 7-11 S, 13-17 T, 19-23 apparent power
 *              kVA R, 25-29 S, 31-35 T, 37-41 total kW, 43-47 total kVA,
 *              49-53 output A R, 55-59 S, 61-65 T, 67-69 load %,
 *              71-78 status bits (then the carriage return)
 *   Q1 (47):   as the single-phase Q1 line; only its status bits 38-45 are
 *              read here.
 *
 *   Status bits, in order: utility fail, battery low, bypass active, UPS
 *   failed, UPS type, test, shutdown active, reserved.
 *   Mode D: 2 bypass, 3 line, 4 battery, 5 battery test, 8 eco (bypass).
 *   Test state T: 1 testing, 3 the last test failed.
 */
#pragma once

#include "ascii.hpp"
#include "driver_shell.hpp"

#include <cstdint>
#include <span>

namespace corvan
{

using upscommon::Reports;
using upscommon::ascii::Command;

// Learnt from the replies, kept while the library is loaded.
struct State {
    // Status bits of the last WA or Q1 record.
    int input_fault = 0;
    int battery_low = 0;
    int bypass_active = 0;
    int ups_failed = 0;
    int test_alarm = 0;
    // From the last Q6 record.
    int mode = 0;       // D
    int test_state = 0; // T
    float input_vol = 0, output_vol = 0, batt_vol = 0;
    int exit_upslib_flag = 0; // 1 while polling is suspended
};

enum class Kind { Q1, Q6, WA };

constexpr int kQ1Size = 47;
constexpr int kQ6Size = 108;
constexpr int kWASize = 79;

// Rated values these UPSs do not report; every record restates them.
constexpr float kRatedVoltage = 220;
constexpr float kRatedFrequency = 50;

// The control commands of the family: shutdown and shutdown after a delay.
constexpr int kControlTaken[] = {4, 23};

// Which record a command's reply is (by its text); false for none.
bool kindOf(const Command& c, Kind& kind);

// Decodes one reply of the given kind (got bytes) into reports, updating the
// learnt state, and ends with the rated values, test alarms and battery
// status every record carries. False when the reply was rejected (a blank
// out of place, too short): nothing is reported then.
bool decodeReply(State& s, Kind kind, const uint8_t* reply, int got, Reports& out);

// One Query over the driver's table: a reply counts when it ends the line
// (or is longer than a torn line can be). With forget, a cycle in which
// nothing answered drops what the replies taught (the UPS may be another
// one when it answers again).
int query(State& s, std::span<const Command> table, bool forget, const upscommon::PortIo& io,
          void* fd, int id, upscommon::Cycle& out);

// Control: 50 raw send, 54/55 suspend and resume polling, 4 and 23.
int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmd);

} // namespace corvan
