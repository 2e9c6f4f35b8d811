/*
 * control.cpp - command strings of regups_c: each operation writes one
 * control register, 0xFFFF ("do it") unless the row says otherwise. 54 and
 * 55 suspend and resume polling like every UPS driver of the card, so that
 * identification never shares the line with a poll.
 */
#include "regups_c.h"

namespace regups_c
{

namespace
{

using namespace upscommon::regmap;

constexpr int kGo = 0xFFFF;
constexpr int kShutdownValue = 12;
constexpr int kFromArgument = -1;

struct Write {
    int command;
    int reg;
    int value;
    int argument = 0;
};
constexpr Write kWrites[] = {
    {0, 0x0001, kGo},              // short self-test
    {1, 0x0006, kFromArgument, 1}, // discharge test, argument 1 minutes
    {2, 0x0002, kGo},              // test to low battery
    {3, 0x0004, kGo},              // cancel test
    {4, 0x0007, kShutdownValue},   // shutdown
    {5, 0x0008, kFromArgument, 2}, // standby, argument 2 minutes
    {6, 0x0005, kGo},              // wake up
    {8, 0x0003, kGo},              // alarm sound on/off
};

int runCommand(const upscommon::PortIo& io, void* fd, int id, int command, const Tokens& tokens)
{
    for (const Write& w : kWrites) {
        if (w.command != command) continue;
        int v = w.value;
        if (v == kFromArgument && !argument(tokens, w.argument, 0, 0xFFFF, v)) return 0;
        return sendWrite(io, fd, id, command, 6, w.reg, v);
    }
    return 0; // 7 and every other number
}

} // namespace

int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmdStr)
{
    return dispatchControl(
        io, fd, cmdStr, &s.exit_upslib_flag,
        [&](int command, const Tokens& tokens) { return runCommand(io, fd, id, command, tokens); });
}

} // namespace regups_c
