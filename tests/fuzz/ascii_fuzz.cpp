// libFuzzer target for what the text-protocol drivers and the identification
// task take from outside: UPS reply lines (every decoder of txtups_3 and
// txtups_1, the token reader, both number readers, the identification's
// reply checks) and command strings (the control texts).
#include "ascii.hpp"
#include "identify.hpp"
#include "txtups_1.h"
#include "txtups_3.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const int n = static_cast<int>(size > 1200 ? 1200 : size);
    // The first byte picks the command; the rest is the reply.
    const int index = data[0];
    const uint8_t* reply = data + 1;
    const int got = n - 1;
    if (got > 0) {
        upscommon::Reports out;
        txtups_3::State s3;
        s3.type_model = index & 1 ? 231 : 221;
        txtups_3::decodeReply(s3, index % txtups_3::kQueryCount, reply, got, out);
        txtups_1::State s1;
        s1.type_model = index & 1 ? 283 : 282;
        txtups_1::decodeReply(s1, index % txtups_1::kQueryCount, reply, got, out);
        upscommon::ascii::tokens(reply, got, 6);
        identify::checkQ1(reply, got);
        identify::checkG1(reply, got);
        identify::checkAltups(reply, got);
    }
    const char* text = reinterpret_cast<const char*>(data);
    upscommon::ascii::number(text, n, 0.1f);
    upscommon::ascii::leadingNumber(text, n, 1);
    const std::string cmd(text, static_cast<size_t>(n));
    std::vector<std::string> tokens;
    if (upscommon::splitTokens(cmd.c_str(), upscommon::ascii::kAsciiTokens, tokens))
        upscommon::ascii::kytoControlText(upscommon::commandNumber(cmd.c_str()), tokens);
    return 0;
}
