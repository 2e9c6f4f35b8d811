/*
 * commands.cpp - the poll table of regups_d and its cycle: all four query
 * commands in order every cycle, then the values derived from them.
 */
#include "regups_d.h"

namespace regups_d
{

using upscommon::regmap::request;

// Function, start, count, reply bytes; in poll order.
const cmd acuList[kQueryCount] = {
    request(2, 0x1388, 16, 7),   // "14001" alarm bits
    request(4, 0x1388, 45, 95),  // "14003" measurements
    request(4, 0x13B5, 76, 157), // "14004" identity texts
    request(4, 0x1409, 16, 37),  // "14005" battery and state
};

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    if (s.exit_upslib_flag == 1) return 0;
    const int answered = upscommon::pollCycle(
        io, fd, id, acuList, &s.exit_upslib_flag, nullptr,
        [&](int i, const uint8_t* reply, int size, Reports& reports) {
            decodeReply(s, i, reply, size, reports);
        },
        out);
    if (answered) {
        Reports derived;
        derive(s, derived);
        out.add(derived);
    }
    return answered;
}

} // namespace regups_d
