/*
 * control.cpp - command strings of regups_d: shutdown and restart are one
 * coil of the UPS (0x170C: 0 shuts down, 1 restarts, as the make defines
 * it), the alarm sound one holding register. 54 and 55 suspend and resume
 * polling like every UPS driver of the card.
 */
#include "regups_d.h"

namespace regups_d
{

namespace
{

using namespace upscommon::regmap;

constexpr int kWriteCoil = 5;
constexpr int kWriteRegister = 6;

struct Write {
    int command, func, reg, value;
};
constexpr Write kWrites[] = {
    {4, kWriteCoil, 0x170C, 0},      // shutdown
    {7, kWriteCoil, 0x170C, 1},      // restart
    {17, kWriteRegister, 0x151A, 1}, // alarm sound on
    {18, kWriteRegister, 0x151A, 2}, // alarm sound off
};

int runCommand(const upscommon::PortIo& io, void* fd, int id, int command)
{
    for (const Write& w : kWrites)
        if (w.command == command) return sendWrite(io, fd, id, command, w.func, w.reg, w.value);
    return 0;
}

} // namespace

int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmdStr)
{
    return dispatchControl(io, fd, cmdStr, &s.exit_upslib_flag, [&](int command, const Tokens&) {
        return runCommand(io, fd, id, command);
    });
}

} // namespace regups_d
