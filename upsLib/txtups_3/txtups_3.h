/*
 * txtups_3.h - inside of the three-phase text-protocol UPS driver txtups_3.
 *
 * Each cycle asks the UPS for its model (until it is known), its three group
 * status lines G1-G3, its ratings GF, identity I and the Q1 status line; a
 * model that answers QT has its output source from there, model 231 its
 * rated output voltage from F. G2 and G3 run before Q1, so Q1 combines the
 * flags and voltages of the same cycle (energy flow, battery status, output
 * source). The table is in commands.cpp, the pure decoders in decode.cpp and
 * the driver on the driver shell with its exported accessors in driver.cpp.
 */
#pragma once

#include "ascii.hpp"
#include "driver_shell.hpp"

#include <cstdint>

namespace txtups_3
{

// Module state, learnt from the replies and kept while the library is loaded.
struct State {
    int type_model = 0;  // three-digit model from MODEL; 0 until known
    int is_exist_qt = 0; // 1 while the UPS answers QT (it then owns the output source)
    float inp_vol = 0, out_vol = 0, bat_vol = 0;
    int byp_vol = 1;
    int on_bat = 0, on_byp = 0, on_rec = 0, on_inv = 0;
    int inp_err = 0, inp_g2_err = 0, out_err = 0, byp_err = 0;
    int IsBatLow = 0, IsBattEod = 0, IsAverOrFloat = 0, IsOffFlag = 0;
    int energy_line1 = 0, energy_line5 = 0;
    int exit_upslib_flag = 0; // 1 while polling is suspended
};

// Models with behaviour of their own.
constexpr int kModel231 = 231;
constexpr int kModel221 = 221;
constexpr int kModel211 = 211;

enum QueryIndex {
    kModel = 0,
    kG1 = 1,
    kG2 = 2,
    kG3 = 3,
    kGF = 4,
    kI = 5,
    kQ1 = 6,
    kNS = 7,
    kQT = 8,
    kF = 9,
    kQueryCount = 10
};
constexpr int kControlCount = 9;

using upscommon::Reports;

extern const upscommon::ascii::Command Kyto_3phase_AcuList[kQueryCount];
extern const char* const Kyto_3phase_controlList[kControlCount];

// Whether the cycle leaves command i out.
bool skipped(const State& s, int index);

// Decodes the reply of command index (got bytes) into reports, updating the
// learnt state; false when the reply was rejected (nothing reported).
bool decodeReply(State& s, int index, const uint8_t* reply, int got, Reports& out);

// One Query: the cycle over the table; every report joins out.
int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out);

} // namespace txtups_3
