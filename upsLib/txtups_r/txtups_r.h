/*
 * txtups_r.h - the command table of txtups_r, the CORVAN three-phase UPS
 * asked for Q1, Q6 and WA each cycle (the records are in corvan.hpp). Q1
 * brings the status bits before Q6 reads them, so a cycle's Q6 sees the
 * bypass and input fault of the same cycle.
 */
#pragma once

#include "corvan.hpp"

namespace txtups_r
{

inline const upscommon::ascii::Command kQueries[] = {
    {"1000", "Q1\r", corvan::kQ1Size, 500},
    {"1001", "Q6\r", corvan::kQ6Size, 500},
    {"1002", "WA\r", corvan::kWASize, 500},
};

// A cycle in which nothing answered forgets the learnt UPS.
constexpr bool kForgetOnSilence = true;

} // namespace txtups_r
