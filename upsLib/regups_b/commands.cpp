/*
 * commands.cpp - the poll and control tables of regups_b and its cycle: all
 * four query commands, in order, every cycle.
 */
#include "regups_b.h"

namespace regups_b
{

using upscommon::regmap::request;

// Function, start, count, reply bytes; in poll order.
const cmd acuList[kQueryCount] = {
    request(4, 0x0000, 88, 181), // measurement block
    request(4, 0x0058, 56, 117), // battery and energy-flow block
    request(4, 0x8000, 47, 99),  // identity block
    request(2, 0x0020, 134, 22), // status bit map
};

namespace
{
constexpr controlCmd write(char hi, char lo, unsigned short reg)
{
    return controlCmd{{hi, lo, 0, 0}, 6, reg, 8, 8, 1, 1};
}
} // namespace

// Records "00" ... "10" as the UPS numbers its control registers.
const controlCmd controlList[11] = {
    write('0', '0', 0x0001), write('0', '1', 0x0002), write('0', '2', 0x0004),
    write('0', '3', 0x0018), write('0', '4', 0x001A), write('0', '5', 0x000E),
    write('0', '6', 0x0007), write('0', '7', 0x0008), write('0', '8', 0x0016),
    write('0', '9', 0x0019), write('1', '0', 0x0005),
};

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    if (s.exit_upslib_flag == 1) return 0;
    return upscommon::pollCycle(
        io, fd, id, acuList, &s.exit_upslib_flag, nullptr,
        [&](int i, const uint8_t* reply, int size, Reports& reports) {
            decodeReply(s, i, reply, size, reports);
        },
        out);
}

} // namespace regups_b
