/*
 * cycle.cpp - one poll cycle's reports settled before a reader sees them
 * (see driver_shell.hpp).
 *
 * Measurements pass straight through. Flags and sum rows are kept per signal
 * until the cycle ends; only a raised flag goes out early, because no later
 * reply of the cycle can lower it.
 */
#include "driver_shell.hpp"

#include <algorithm>

namespace upscommon
{

Cycle::Cycle(ENUMSIGNALPROC process, LPVOID p)
    : sink_([process, p](int sig, float v) {
          if (process) process(sig, v, p);
      })
{
}

Cycle::~Cycle()
{
    try {
        finish();
    } catch (...) {
        // A sink that throws loses the rest of the cycle, never the program.
    }
}

void Cycle::value(int sig, float v)
{
    sink_(sig, v);
}

void Cycle::flag(int sig, float v)
{
    Settling& s = settling_[sig];
    if (v == 0 || s.raised != 0) return;
    s.raised = v;
    // A pending sum decides the value at the end; going out now could show
    // less than the count a reader saw before.
    if (!s.summed) sink_(sig, v);
}

void Cycle::sum(int sig, float v)
{
    Settling& s = settling_[sig];
    s.sum += v;
    s.summed = true;
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
    for (const auto& [sig, s] : settling_) {
        if (s.summed)
            sink_(sig, std::max(s.sum, s.raised));
        else if (s.raised == 0)
            sink_(sig, 0.0f);
    }
}

} // namespace upscommon
