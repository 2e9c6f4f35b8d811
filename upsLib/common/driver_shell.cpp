/*
 * driver_shell.cpp - the driver shell's C edges (see driver_shell.hpp): the
 * card's port, and Query, Control, Test and DLLInfo for any Driver. Nothing
 * thrown inside a driver reaches the runtime's port thread.
 */
#include "driver_shell.hpp"

#include <unistd.h>

namespace upscommon
{

namespace
{
void pauseMs(int ms)
{
    usleep(static_cast<useconds_t>(ms) * 1000);
}
const PortIo kCardPort = {CommWrite, CommRead, pauseMs};
} // namespace

const PortIo& cardPort()
{
    return kCardPort;
}

// ---- entry points ----

namespace
{
// Runs one cycle of the driver and settles what it reported, even when the
// driver threw half-way (its result is then 0).
template <class F> int settled(ENUMSIGNALPROC process, LPVOID p, F&& run)
{
    int result = 0;
    try {
        Cycle cycle(process, p);
        try {
            result = run(cycle);
        } catch (...) {
            result = 0;
        }
        cycle.finish();
    } catch (...) {
        return 0;
    }
    return result;
}
} // namespace

int DriverShellBase::query(void* fd, int id, ENUMSIGNALPROC process, LPVOID p)
{
    return settled(process, p,
                   [&](Cycle& cycle) { return driver_.query(kCardPort, fd, id, cycle); });
}

int DriverShellBase::control(void* fd, int id, void* cmd)
{
    try {
        return cmd ? driver_.control(kCardPort, fd, id, static_cast<const char*>(cmd)) : 0;
    } catch (...) {
        return 0;
    }
}

int DriverShellBase::test(void* fd, int id, ENUMSIGNALPROC process, LPVOID p)
{
    return settled(process, p,
                   [&](Cycle& cycle) { return driver_.test(kCardPort, fd, id, cycle); });
}

char* DriverShellBase::info()
{
    card::stampInfo(info_, date_, time_);
    return info_;
}

} // namespace upscommon
