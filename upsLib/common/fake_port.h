/*
 * fake_port.h - a scripted serial port for the driver unit tests.
 *
 * The port handle a driver gets is a FakePort*. Writes are recorded; reads
 * hand out queued chunks (one chunk per read, cut to the reader's buffer). A
 * responder, when set, queues the reply to each written request.
 */
#pragma once

#include "common.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

namespace fakeport
{

using Bytes = std::vector<uint8_t>;

struct FakePort {
    std::vector<Bytes> writes;
    std::deque<Bytes> reads;
    std::deque<int> writeResults; // overrides the count a write returns
    std::function<std::vector<Bytes>(const Bytes&)> responder;
    int pauses = 0;
    int lastPauseMs = 0;
};

inline int fakeWrite(void* h, const void* buf, int len)
{
    auto* port = static_cast<FakePort*>(h);
    const auto* b = static_cast<const uint8_t*>(buf);
    port->writes.emplace_back(b, b + len);
    int result = len;
    if (!port->writeResults.empty()) {
        result = port->writeResults.front();
        port->writeResults.pop_front();
    }
    if (port->responder)
        for (Bytes& chunk : port->responder(port->writes.back()))
            port->reads.push_back(std::move(chunk));
    return result;
}

inline int fakeRead(void* h, void* buf, int max)
{
    auto* port = static_cast<FakePort*>(h);
    if (port->reads.empty()) return 0;
    Bytes chunk = std::move(port->reads.front());
    port->reads.pop_front();
    const int n = std::min<int>(max, static_cast<int>(chunk.size()));
    if (n > 0) std::memcpy(buf, chunk.data(), n);
    return n;
}

inline FakePort* g_pausing = nullptr;
inline void fakePause(int ms)
{
    if (!g_pausing) return;
    ++g_pausing->pauses;
    g_pausing->lastPauseMs = ms;
}

inline upscommon::PortIo io()
{
    return {fakeWrite, fakeRead, fakePause};
}

// A Modbus frame with its CRC appended.
inline Bytes withCrc(Bytes b)
{
    b.resize(b.size() + 2);
    setModbusCRC(reinterpret_cast<char*>(b.data()), static_cast<int>(b.size()));
    return b;
}

// Read reply of function 3 or 4 carrying regs.
inline Bytes registerReply(int addr, int func, const std::vector<uint16_t>& regs)
{
    Bytes b{static_cast<uint8_t>(addr), static_cast<uint8_t>(func),
            static_cast<uint8_t>(2 * regs.size())};
    for (uint16_t r : regs) {
        b.push_back(static_cast<uint8_t>(r >> 8));
        b.push_back(static_cast<uint8_t>(r));
    }
    return withCrc(b);
}

// Read reply of function 2 with nbits inputs, the listed ones set.
inline Bytes bitReply(int addr, int nbits, const std::vector<int>& set)
{
    const int n = (nbits + 7) / 8;
    Bytes b{static_cast<uint8_t>(addr), 2, static_cast<uint8_t>(n)};
    b.resize(3 + n);
    for (int i : set)
        b[3 + i / 8] |= static_cast<uint8_t>(1 << (i % 8));
    return withCrc(b);
}

// Acknowledgement of a control frame: the first six bytes echoed.
inline Bytes echoAck(const Bytes& request)
{
    return withCrc(Bytes(request.begin(), request.begin() + 6));
}

} // namespace fakeport
