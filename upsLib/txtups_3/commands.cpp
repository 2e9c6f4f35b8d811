/*
 * commands.cpp - the command tables of txtups_3 and its poll cycle: which
 * commands a cycle sends, how long it waits for each, and what a silent or
 * torn answer does to the learnt state.
 */
#include "txtups_3.h"

namespace txtups_3
{

using upscommon::ascii::Command;

const Command Kyto_3phase_AcuList[kQueryCount] = {
    {"1000", "MODEL\r", 8, 500}, {"1001", "G1\r", 41, 500},  {"1002", "G2\r", 28, 500},
    {"1003", "G3\r", 73, 500},   {"1004", "GF\r", 73, 500},  {"1005", "I\r", 39, 500},
    {"1006", "Q1\r", 47, 500},   {"1007", "NS?\r", 19, 500}, {"1008", "QT\r", 235, 800},
    {"1009", "F\r", 22, 500},
};

// Control texts as the UPS takes them; "##" and "####" stand for the digits
// a command's argument fills in (see kytoControlText).
const char* const Kyto_3phase_controlList[kControlCount] = {
    "T\r", "T##\r", "TL\r", "CT\r", "S.2\r", "S.2R####\r", "C\r", "S.2R0001\r", "Q\r",
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
    case kF:
        return s.type_model != kModel231;
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
    const int answered = upscommon::ascii::pollCycle(io, fd, id, Kyto_3phase_AcuList,
                                                     &s.exit_upslib_flag, rules, out);
    // A UPS that said nothing is asked for its model again.
    if (!answered && s.exit_upslib_flag != 1) s.type_model = 0;
    return answered;
}

} // namespace txtups_3
