// libFuzzer target for what the serial drivers take from outside: UPS replies
// (validation, then the regups_a decoders) and command strings (grammar, raw
// send, parameter blocks) against a scripted line that answers with fuzz bytes.
#include "common.h"
#include "driver_shell.hpp"
#include "regups_a.h"

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
    // The first byte of each chunk picks its length, as a UART would split it.
    size_t n = line->data[line->pos++];
    n = std::min({n, line->size - line->pos, static_cast<size_t>(max)});
    std::memcpy(buf, line->data + line->pos, n);
    line->pos += n;
    return static_cast<int>(n);
}

void noPause(int) {}

const upscommon::PortIo kIo = {lineWrite, lineRead, noPause};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    data += 1;
    size -= 1;

    regups_a::State s;
    s.regups_a_protocol_version = (mode & 0x10) ? 0xAAAA : 1;
    s.regups_a_version = (mode & 0x20) ? 222 : ((mode & 0x40) ? 299 : 297);

    switch (mode & 3) {
    case 0: { // one reply, validated and decoded as each command
        std::vector<uint8_t> reply(data, data + size);
        for (int i = 0; i < regups_a::kQueryCount; ++i) {
            regups_a::Reports out;
            const int expected = regups_a::acuList[i].recvsize;
            if (upscommon::replyValid(reply.data(), static_cast<int>(reply.size()), expected))
                regups_a::decodeReply(s, i, reply.data(), expected, out);
            regups_a::decodeReply(s, i, reply.data(), static_cast<int>(reply.size()), out);
            checkVaild(reinterpret_cast<char*>(reply.data()), static_cast<int>(reply.size()));
        }
        break;
    }
    case 1: { // whole poll cycles against a line that answers with the input
        Line line{data, size, 0};
        s.regups_a_protocol_version = 0xFFFF;
        for (int cycle = 0; cycle < 3; ++cycle) {
            upscommon::Cycle out([](int, float v) {
                if (v != v) __builtin_trap(); // a decoder published NaN
            });
            regups_a::query(s, kIo, &line, 1, out);
        }
        break;
    }
    default: { // a command string; the rest of a NUL-split input answers it
        const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
        const size_t textLen = nul ? static_cast<size_t>(nul - data) : size;
        const std::string text(reinterpret_cast<const char*>(data), textLen);
        Line line{data + textLen, size - textLen, 0};
        regups_a::control(s, kIo, &line, 1, text.c_str());
        std::vector<std::string> tokens;
        upscommon::splitTokens(text.c_str(), upscommon::kMaxTokens, tokens);
        std::vector<uint8_t> raw;
        upscommon::parseRawSend(text.c_str(), raw);
        break;
    }
    }
    return 0;
}
