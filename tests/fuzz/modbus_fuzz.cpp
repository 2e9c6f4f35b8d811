// libFuzzer target for the Modbus slaves: the TCP frame walk and handler (plain
// and pack limits), and the RTU walk and handler, with frames that carry a
// valid CRC so that the fuzzer gets past the checksum. Every slave answers
// through the one request handler on a card::FakeRuntime.
#include "common.h"
#include "fake_runtime.hpp"
#include "rtu_frame.h"
#include "tcp_frame.h"

#include <cstddef>
#include <cstdint>

using namespace mbslave;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    std::span<const uint8_t> in(data + 1, size - 1);
    card::FakeRuntime rt;
    rt.set("ups_type", mode % 8);
    rt.set("ths_enable", "1");
    rt.set("temp_conver1", "0");
    if (mode & 0x80) {
        PduHandler pdu(rt, kRtuLimits);
        // Every walked frame once as received and once with its CRC fixed.
        for (auto [at, len] : walkRtuBuffer(in)) {
            std::vector<uint8_t> f(in.begin() + at, in.begin() + at + len);
            (void)handleRtuFrame(f, pdu, 1);
            setModbusCRC(reinterpret_cast<char*>(f.data()), static_cast<int>(f.size()));
            auto answer = handleRtuFrame(f, pdu, 1);
            if (answer.size() > 3 + 248 + 2) __builtin_trap();
        }
        return 0;
    }
    PduHandler pdu(rt, (mode & 0x40) ? kPackLimits : kTcpLimits);
    TcpWalk w = walkTcpBuffer(in);
    if (w.consumed > in.size()) __builtin_trap();
    for (auto [at, len] : w.frames) {
        if (at + len > w.consumed) __builtin_trap();
        auto answer = handleTcpFrame(in.subspan(at, len), pdu, "Tcp:fuzz");
        // An answer is never longer than a full register read.
        if (answer.size() > 9 + 248) __builtin_trap();
    }
    return 0;
}
