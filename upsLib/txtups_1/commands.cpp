/*
 * commands.cpp - the command table of txtups_1 and its poll cycle: which
 * commands a cycle sends, how long it waits for each, and what silence does
 * to the learnt state.
 */
#include "txtups_1.h"

namespace txtups_1
{

using upscommon::ascii::Command;

const Command Kyto_1phase_AcuList[kQueryCount] = {
    {"1000", "MODEL\r", 8, 600}, {"1001", "QT\r", 213, 1000}, {"1002", "Q1\r", 47, 600},
    {"1003", "I\r", 39, 600},    {"1004", "F\r", 22, 600},    {"1005", "BL\r", 6, 600},
    {"1006", "NS?\r", 19, 600},
};

namespace
{
// A QT answer this short that does not end the line was cut off.
constexpr int kTornQt = 199;
} // namespace

bool skipped(const State& s, int index)
{
    switch (index) {
    case kModel:
        return s.type_model != 0;
    case kQT:
        return s.type_model == 0;
    case kNS:
        return true;
    default:
        return false;
    }
}

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    upscommon::ascii::CycleRules rules;
    // The model learnt in this cycle changes the choice from the next one on.
    const State atStart = s;
    rules.skip = [atStart](int i) { return skipped(atStart, i); };
    rules.silent = [&](int i) {
        if (i == kQT) s.is_exist_qt = 0;
    };
    rules.decode = [&](int i, const uint8_t* reply, int got, Reports& reports) {
        if (i == kQT && got <= kTornQt && reply[got - 1] != '\r') {
            s.is_exist_qt = 0;
            return false;
        }
        return decodeReply(s, i, reply, got, reports);
    };
    const int answered = upscommon::ascii::pollCycle(io, fd, id, Kyto_1phase_AcuList,
                                                     &s.exit_upslib_flag, rules, out);
    if (!answered && s.exit_upslib_flag != 1) {
        s.type_model = 0;
        s.is_exist_qt = 0;
    }
    return answered;
}

} // namespace txtups_1
