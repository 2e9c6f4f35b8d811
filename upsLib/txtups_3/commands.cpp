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

bool skipped(const State& s, int index)
{
    if (index == kF) return s.type_model != kModel231;
    return upscommon::ascii::kytoSkipped({kModel, kQT, kNS}, s.type_model, index);
}

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    const State atStart = s;
    return upscommon::ascii::kytoCycle(
        io, fd, id, Kyto_3phase_AcuList, kQT, {s.type_model, s.is_exist_qt, s.exit_upslib_flag},
        false, [atStart](int i) { return skipped(atStart, i); },
        [&](int i, const uint8_t* reply, int got, Reports& reports) {
            return decodeReply(s, i, reply, got, reports);
        },
        out);
}

} // namespace txtups_3
