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

bool skipped(const State& s, int index)
{
    return upscommon::ascii::kytoSkipped({kModel, kQT, kNS}, s.type_model, index);
}

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    const State atStart = s;
    return upscommon::ascii::kytoCycle(
        io, fd, id, Kyto_1phase_AcuList, kQT, {s.type_model, s.is_exist_qt, s.exit_upslib_flag},
        true, [atStart](int i) { return skipped(atStart, i); },
        [&](int i, const uint8_t* reply, int got, Reports& reports) {
            return decodeReply(s, i, reply, got, reports);
        },
        out);
}

} // namespace txtups_1
