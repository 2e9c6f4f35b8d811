/*
 * decode.cpp - the Q1 decoding and poll cycle of txtups_p (see txtups_p.h).
 */
#include "signals.h"
#include "txtups_p.h"

#include <string_view>

namespace txtups_p
{

namespace
{

constexpr int drv(int stored)
{
    return stored / 10000 * 1000 + stored % 10000;
}

// Nominal mains frequencies and the line between them.
constexpr float kFifty = 50, kSixty = 60, kFiftyOrSixty = 55;

// A text field of the identity, ended by a 0 unless it fills its 16 signals.
void identityText(Reports& out, int base, std::string_view text)
{
    upscommon::ascii::textSignals(out, base, text.substr(0, SIG_TEXT_LEN));
    if (text.size() < SIG_TEXT_LEN)
        upscommon::ascii::value(out, base + static_cast<int>(text.size()), 0);
}

constexpr int kControlTaken[] = {4, 23};

} // namespace

bool decodeReply(State& s, const uint8_t* reply, int got, Reports& out)
{
    txtups_1::State& q = s.q1;
    q.type_model = 0;  // no model with rules of its own
    q.is_exist_qt = 0; // Q1 owns the output source
    if (q.rated_freq == 0) q.rated_freq = kFifty;
    if (!txtups_1::decodeReply(q, txtups_1::kQ1, reply, got, out)) return false;
    if (q.input_freq > 0) q.rated_freq = q.input_freq >= kFiftyOrSixty ? kSixty : kFifty;
    identityText(out, drv(Data_IdentManufacturer), kManufacturer);
    identityText(out, drv(Data_upsIdentName), kManufacturer);
    identityText(out, drv(Data_upsIdentModel), kModel);
    identityText(out, drv(Data_UPSSoftwareVersion), kModel);
    return true;
}

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    upscommon::ascii::CycleRules rules;
    rules.decode = [&](int, const uint8_t* reply, int got, Reports& reports) {
        return decodeReply(s, reply, got, reports);
    };
    return upscommon::ascii::pollCycle(io, fd, id, kQueries, &s.exit_upslib_flag, rules, out);
}

int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmd)
{
    return upscommon::ascii::kytoControl(io, fd, id, cmd, s.exit_upslib_flag, kControlTaken);
}

} // namespace txtups_p
