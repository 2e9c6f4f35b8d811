/*
 * commands.cpp - the poll and control tables of regups_a and the choice of
 * which query commands one cycle sends.
 *
 * Until the identity block has answered, only that command goes on the line.
 * The choice is made once at the start of a cycle, so a newly learnt layout
 * takes effect from the next cycle on.
 */
#include "regmap.hpp"
#include "regups_a.h"

namespace regups_a
{

namespace
{

using upscommon::regmap::request;

constexpr controlCmd control(int index)
{
    return controlCmd{{'0', static_cast<char>(index < 10 ? '0' + index : 'A' + index - 10), 0, 0},
                      6,
                      static_cast<unsigned short>(0x8000 + index),
                      8,
                      8,
                      1,
                      1};
}

} // namespace

// Function, start, count, reply bytes; in poll order.
const cmd acuList[kQueryCount] = {
    request(4, 0, 73, 151),   // 0 main block, layout G
    request(4, 128, 51, 107), // 1 identity block
    request(2, 0, 112, 19),   // 2 alarm map A
    request(2, 208, 482, 66), // 3 alarm map B
    request(4, 0, 74, 153),   // 4 main block, layout AAAA
    request(2, 0, 96, 17),    // 5 alarm map C
    request(3, 0, 79, 163),   // 6 rating block (AAAA)
    request(4, 0, 72, 149),   // 7 main block, layout G without the test register
    request(4, 0, 78, 161),   // 8 main block, layout 222
};

// Single-register writes to 0x8000..0x800A.
const controlCmd controlList[11] = {control(0), control(1), control(2), control(3),
                                    control(4), control(5), control(6), control(7),
                                    control(8), control(9), control(10)};

std::array<bool, kQueryCount> selectCommands(const State& s)
{
    std::array<bool, kQueryCount> on{};
    auto pick = [&on](std::initializer_list<int> list) {
        for (int i : list)
            on[i] = true;
    };
    if (s.regups_a_protocol_version == kProtocolUnknown)
        pick({kIdentity});
    else if (s.regups_a_version == kCode222)
        pick({kIdentity, kAlarmB, kMain222});
    else if (s.regups_a_protocol_version == kProtocolAAAA)
        pick({kIdentity, kMainAAAA, kAlarmC, kRating});
    else if (s.regups_a_version == kCode299)
        pick({kMainG, kIdentity, kAlarmA, kAlarmB});
    else
        pick({kIdentity, kAlarmA, kAlarmB, kMainGNoTest});
    return on;
}

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    if (s.exit_upslib_flag == 1) return 0;
    const auto selected = selectCommands(s);
    return upscommon::pollCycle(
        io, fd, id, acuList, &s.exit_upslib_flag, [&](int i) { return !selected[i]; },
        [&](int i, const uint8_t* reply, int size, Reports& reports) {
            decodeReply(s, i, reply, size, reports);
        },
        out);
}

} // namespace regups_a
