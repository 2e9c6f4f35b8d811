/*
 * txtups_1.h - inside of the single-phase text-protocol UPS driver txtups_1,
 * the card's default UPS driver (ups_type 0).
 *
 * Each cycle asks for the model (until it is known), the QT status line (once
 * a model is known), the Q1 status line, identity I, ratings F and the
 * battery charge BL. While the UPS answers QT, QT owns the output source,
 * work mode and output frequency; Q1 owns them otherwise. The table and cycle
 * are in commands.cpp, the pure decoders in decode.cpp, the driver on the
 * driver shell in driver.cpp.
 */
#pragma once

#include "ascii.hpp"
#include "driver_shell.hpp"

#include <cstdint>

namespace txtups_1
{

// Module state, learnt from the replies and kept while the library is loaded.
struct State {
    int type_model = 0;  // three-digit model from MODEL; 0 until known
    int is_exist_qt = 0; // 1 while the UPS answers QT
    float input_freq = 0;
    float rated_freq = 0;
    int exit_upslib_flag = 0; // 1 while polling is suspended
};

// Models with status fields of their own in QT.
constexpr int kModel283 = 283;
constexpr int kModel282 = 282;

enum QueryIndex { kModel = 0, kQT = 1, kQ1 = 2, kI = 3, kF = 4, kBL = 5, kNS = 6, kQueryCount = 7 };

// Fields of the QT line (blank-separated, counted from 1), as these UPSs
// write it (sim/txtups_sim.py writes the same):
//   1 input voltage x0.1      2 input frequency x0.01
//   3 output voltage x0.1     4 output frequency x0.01
//   5 load %                  6 battery voltage x0.1
//   7 battery charge %        8 inner temperature x0.1
//   9 mode code               10 status word, four hexadecimal digits
//   11 .. n-1 reserved        n (the last) fault code, decimal
namespace qt
{
constexpr int kOutputVoltage = 3;
constexpr int kOutputFrequency = 4;
constexpr int kMode = 9;
constexpr int kStatus = 10;
constexpr int kFields = 11; // at least: the fields above and the fault code
// Status word bits.
constexpr unsigned kBatteryDisconnected283 = 0x8;
constexpr unsigned kFanFailure283 = 0x200;
constexpr unsigned kBatteryDisconnected282 = 0x10;
// Fault codes of an over-temperature shutdown.
constexpr int kOverTempFirst = 40;
constexpr int kOverTempLast = 44;
} // namespace qt

using upscommon::Reports;

extern const upscommon::ascii::Command Kyto_1phase_AcuList[kQueryCount];

bool skipped(const State& s, int index);
bool decodeReply(State& s, int index, const uint8_t* reply, int got, Reports& out);
int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out);

} // namespace txtups_1
