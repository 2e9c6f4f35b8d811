/*
 * txtups_q.h - the command table of txtups_q, the CORVAN three-phase UPS
 * asked for Q6 then WA each cycle (the records are in corvan.hpp). Q6 comes
 * first, so it reads the bypass and input-fault bits of the previous cycle's
 * WA.
 */
#pragma once

#include "corvan.hpp"

namespace txtups_q
{

inline const upscommon::ascii::Command kQueries[] = {
    {"1000", "Q6\r", corvan::kQ6Size, 500},
    {"1001", "WA\r", corvan::kWASize, 500},
};

// The learnt status bits outlive a silent cycle.
constexpr bool kForgetOnSilence = false;

} // namespace txtups_q
