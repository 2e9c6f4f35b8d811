/*
 * control.cpp - command strings of regups_b.
 *
 * Each operation writes one control register (0xFFFF "do it", or a time the
 * caller gives), or, for command 56, a block of six registers from 0x000F.
 * Arguments follow the card-wide layout: 1 test minutes, 2 standby minutes,
 * 3 and 4 further times, 5 shutdown delay. A missing or out-of-range
 * argument refuses the command before anything reaches the line.
 */
#include "regups_b.h"

#include <cstdio>

namespace regups_b
{

namespace
{

using namespace upscommon::regmap;

constexpr int kGo = 0xFFFF;
constexpr int kFromArgument = -1;

// Command number -> control table entry, value (or the argument it comes from).
struct Write {
    int command;
    int entry;
    int value;
    int argument = 0;
};
constexpr Write kWrites[] = {
    {0, 0, kGo},               // short self-test         0x0001
    {2, 1, kGo},               // test to low battery     0x0002
    {3, 2, kGo},               // cancel test             0x0004
    {4, 3, kGo},               // shutdown                0x0018
    {6, 10, kGo},              // wake up                 0x0005
    {7, 5, kGo},               // restart                 0x000E
    {8, 4, kGo},               // alarm sound on/off      0x001A
    {12, 9, kGo},              // clear fault             0x0019
    {13, 8, kGo},              // clear history record    0x0016
    {15, 6, kFromArgument, 3}, // countdown to inverter off, minutes 0x0007
    {16, 7, kFromArgument, 4}, // delay start of the inverter       0x0008
};

constexpr int kBlockCommand = 56;
constexpr int kBlockRegister = 0x000F;
constexpr int kBlockCount = 6;

int runCommand(const upscommon::PortIo& io, void* fd, int id, int command, const Tokens& tokens)
{
    for (const Write& w : kWrites) {
        if (w.command != command) continue;
        int v = w.value;
        if (v == kFromArgument && !argument(tokens, w.argument, 0, 0xFFFF, v)) return 0;
        const controlCmd& c = controlList[w.entry];
        return sendWrite(io, fd, id, w.entry, c.func, c.addr, v * c.factor);
    }
    if (command == kBlockCommand) {
        int regs[kBlockCount];
        for (int k = 0; k < kBlockCount; ++k)
            if (!argument(tokens, k + 1, -32768, 0xFFFF, regs[k])) return 0;
        for (int& v : regs)
            v &= 0xFFFF;
        char frame[upscommon::kControlFrameSize] = {};
        const int len = buildCmdOther(frame, id, 16, kBlockRegister, kBlockCount, regs);
        if (len <= 0) return 0;
        return upscommon::controlSendFrame(io, fd, id, command, reinterpret_cast<uint8_t*>(frame),
                                           len);
    }
    return 0; // 1, 5 and every number the UPS has no register for
}

} // namespace

int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmdStr)
{
    return dispatchControl(
        io, fd, cmdStr, &s.exit_upslib_flag,
        [&](int command, const Tokens& tokens) { return runCommand(io, fd, id, command, tokens); });
}

} // namespace regups_b
