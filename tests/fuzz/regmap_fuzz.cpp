// libFuzzer target for what regups_b, regups_c and regups_d take from
// outside: replies to each of their query commands (validated, then decoded),
// whole poll cycles against a line that answers with fuzz bytes, and command
// strings. The first byte picks the driver and the path.
#include "common.h"
#include "driver_shell.hpp"
#include "regups_b.h"
#include "regups_c.h"
#include "regups_d.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace
{

struct Line {
    const uint8_t* data;
    size_t size;
    size_t pos;
};

int lineWrite(void*, const void*, int len)
{
    return len;
}

int lineRead(void* h, void* buf, int max)
{
    auto* line = static_cast<Line*>(h);
    if (line->pos >= line->size || max <= 0) return 0;
    size_t n = line->data[line->pos++];
    n = std::min({n, line->size - line->pos, static_cast<size_t>(max)});
    std::memcpy(buf, line->data + line->pos, n);
    line->pos += n;
    return static_cast<int>(n);
}

void noPause(int) {}

const upscommon::PortIo kIo = {lineWrite, lineRead, noPause};

void noNaN(int, float v)
{
    if (v != v) __builtin_trap(); // a decoder published NaN
}

// One driver's decoders, cycle and control behind one shape.
template <class State, class Decode, class Query, class Control>
void run(int path, const uint8_t* data, size_t size, const cmd* list, int count, Decode decode,
         Query query, Control control)
{
    State s;
    switch (path) {
    case 0: { // one reply as every command
        std::vector<uint8_t> reply(data, data + size);
        for (int i = 0; i < count; ++i) {
            upscommon::Reports out;
            const int expected = list[i].recvsize;
            if (upscommon::replyValid(reply.data(), static_cast<int>(reply.size()), expected))
                decode(s, i, reply.data(), expected, out);
            decode(s, i, reply.data(), static_cast<int>(reply.size()), out);
        }
        break;
    }
    case 1: { // poll cycles
        Line line{data, size, 0};
        for (int cycle = 0; cycle < 3; ++cycle) {
            upscommon::Cycle out(noNaN);
            query(s, kIo, &line, 1, out);
        }
        break;
    }
    default: { // a command string; the rest answers it
        const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
        const size_t textLen = nul ? static_cast<size_t>(nul - data) : size;
        const std::string text(reinterpret_cast<const char*>(data), textLen);
        Line line{data + textLen, size - textLen, 0};
        control(s, kIo, &line, 1, text.c_str());
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const int driver = data[0] % 3, path = (data[0] >> 2) % 3;
    data += 1;
    size -= 1;
    switch (driver) {
    case 0:
        run<regups_b::State>(
            path, data, size, regups_b::acuList, regups_b::kQueryCount,
            [](regups_b::State& s, int i, const uint8_t* r, int n, upscommon::Reports& out) {
                regups_b::decodeReply(s, i, r, n, out);
            },
            regups_b::query, regups_b::control);
        break;
    case 1:
        run<regups_c::State>(
            path, data, size, regups_c::acuList, regups_c::kQueryCount,
            [](regups_c::State&, int i, const uint8_t* r, int n, upscommon::Reports& out) {
                regups_c::decodeReply(i, r, n, out);
            },
            regups_c::query, regups_c::control);
        break;
    default:
        run<regups_d::State>(
            path, data, size, regups_d::acuList, regups_d::kQueryCount,
            [](regups_d::State& s, int i, const uint8_t* r, int n, upscommon::Reports& out) {
                regups_d::decodeReply(s, i, r, n, out);
                regups_d::derive(s, out);
            },
            regups_d::query, regups_d::control);
        break;
    }
    return 0;
}
