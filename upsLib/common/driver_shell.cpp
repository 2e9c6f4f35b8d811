/*
 * driver_shell.cpp - the driver shell's C edges and the settling of one poll
 * cycle's reports (see driver_shell.hpp).
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

// ---- Cycle ----

Cycle::Cycle(ENUMSIGNALPROC process, LPVOID p)
    : sink_([process, p](int sig, float v) {
          if (process) process(sig, v, p);
      })
{
}

void Cycle::value(int sig, float v)
{
    sink_(sig, v);
}

void Cycle::flag(int sig, float v)
{
    float& f = flags_[sig];
    if (v != 0 && f == 0) sink_(sig, v); // a raised flag stays raised this cycle
    if (v != 0) f = v;
}

void Cycle::sum(int sig, float v)
{
    sums_[sig] += v;
}

void Cycle::add(const Report& r)
{
    switch (r.kind) {
    case ReportKind::Value:
        value(r.sig, r.value);
        break;
    case ReportKind::Flag:
        flag(r.sig, r.value);
        break;
    case ReportKind::Sum:
        sum(r.sig, r.value);
        break;
    }
}

void Cycle::add(const Reports& rs)
{
    for (const Report& r : rs)
        add(r);
}

void Cycle::finish()
{
    if (finished_) return;
    finished_ = true;
    for (auto [sig, v] : flags_)
        if (v == 0) sink_(sig, 0.0f);
    for (auto [sig, v] : sums_)
        sink_(sig, v);
}

// ---- entry points ----

int DriverShellBase::query(void* fd, int id, ENUMSIGNALPROC process, LPVOID p)
{
    Cycle cycle(process, p);
    try {
        return driver_.query(kCardPort, fd, id, cycle);
    } catch (...) {
        return 0;
    }
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
    Cycle cycle(process, p);
    try {
        return driver_.test(kCardPort, fd, id, cycle);
    } catch (...) {
        return 0;
    }
}

char* DriverShellBase::info()
{
    card::stampInfo(info_, date_, time_);
    return info_;
}

} // namespace upscommon
