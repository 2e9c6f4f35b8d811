// libFuzzer target for what the CORVAN drivers take from the UPS: Q1, Q6 and
// WA reply lines, decoded one after another on the same learnt state (so a
// hostile status bit of one record reaches the next), and the single-phase
// Q1 line txtups_p reads.
#include "corvan.hpp"
#include "txtups_p.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const int n = static_cast<int>(size > 1200 ? 1200 : size);
    // The first byte picks the records' order; the rest is the reply.
    const uint8_t* reply = data + 1;
    const int got = n - 1;
    static const corvan::Kind kinds[] = {corvan::Kind::Q1, corvan::Kind::Q6, corvan::Kind::WA};
    corvan::State s;
    upscommon::Reports out;
    for (int k = 0; k < 3; ++k)
        corvan::decodeReply(s, kinds[(data[0] + k) % 3], reply, got, out);
    txtups_p::State p;
    txtups_p::decodeReply(p, reply, got, out);
    return 0;
}
