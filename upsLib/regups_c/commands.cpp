/*
 * commands.cpp - the poll table of regups_c and its cycle: all four query
 * commands, in order, every cycle, 50 ms after each answered one.
 */
#include "regups_c.h"

namespace regups_c
{

using upscommon::regmap::request;

// Function, start, count, reply bytes; in poll order.
const cmd acuList[kQueryCount] = {
    request(4, 0x0000, 52, 109), // "1" main block
    request(4, 0x0037, 13, 31),  // "2" energy-flow block
    request(4, 0x8000, 47, 99),  // "3" identity block
    request(2, 0x0000, 99, 18),  // "4" alarm bit map
};

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    if (s.exit_upslib_flag == 1) return 0;
    return upscommon::pollCycle(
        io, fd, id, acuList, &s.exit_upslib_flag, nullptr,
        [](int i, const uint8_t* reply, int size, Reports& reports) {
            decodeReply(i, reply, size, reports);
        },
        out, kAnswerPauseMs);
}

} // namespace regups_c
