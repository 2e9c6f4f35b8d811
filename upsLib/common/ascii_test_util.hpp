/*
 * ascii_test_util.hpp - what the unit tests of the text-protocol drivers
 * share: a reply decoded into a signal -> value map, the energy-flow lines of
 * such a map, and a scripted line answering commands from a table.
 */
#pragma once

#include "ascii.hpp"
#include "fake_port.h"
#include "signals.h"

#include <map>
#include <string>
#include <vector>

namespace asciitest
{

using Values = std::map<int, float>;
using upscommon::ascii::drv;

// The reply decoded by the driver's decodeReply (found through State's
// namespace); *ok tells whether the decoder took it.
template <class State>
Values decode(State& s, int index, const std::string& reply, bool* ok = nullptr)
{
    upscommon::Reports out;
    const bool taken = decodeReply(s, index, reinterpret_cast<const uint8_t*>(reply.data()),
                                   static_cast<int>(reply.size()), out);
    if (ok) *ok = taken;
    Values v;
    for (const auto& r : out)
        v[r.sig] = r.value;
    return v;
}

// The seven energy-flow lines of a decoded reply.
inline std::vector<float> lines(Values& v)
{
    std::vector<float> l;
    for (int k = 0; k < 7; ++k)
        l.push_back(v[drv(Data_energyflow_line1) + k]);
    return l;
}

// A responder answering each command text from answers; a command missing
// there, or answered with an empty text, brings nothing.
inline auto answerFrom(const std::map<std::string, std::string>& answers)
{
    return [&answers](const fakeport::Bytes& req) -> std::vector<fakeport::Bytes> {
        auto it = answers.find(std::string(req.begin(), req.end()));
        if (it == answers.end() || it->second.empty()) return {};
        return {fakeport::Bytes(it->second.begin(), it->second.end())};
    };
}

// The command texts written to the port so far.
inline std::vector<std::string> sent(const fakeport::FakePort& port)
{
    std::vector<std::string> out;
    for (const fakeport::Bytes& w : port.writes)
        out.emplace_back(w.begin(), w.end());
    return out;
}

} // namespace asciitest
