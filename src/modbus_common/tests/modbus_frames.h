/*
 * modbus_frames.h - request builders and fake-runtime helpers for the Modbus
 * unit tests.
 */
#pragma once

#include "fake_runtime.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace mbslave::test
{

using Bytes = std::vector<uint8_t>;

// MBAP request: transaction 0x1234, protocol 0, the length field from the size.
inline Bytes tcpRequest(int function, int a, int b, int unit = 1, int tid = 0x1234)
{
    return {static_cast<uint8_t>(tid >> 8),
            static_cast<uint8_t>(tid),
            0,
            0,
            0,
            6,
            static_cast<uint8_t>(unit),
            static_cast<uint8_t>(function),
            static_cast<uint8_t>(a >> 8),
            static_cast<uint8_t>(a),
            static_cast<uint8_t>(b >> 8),
            static_cast<uint8_t>(b)};
}

inline Bytes tcpWriteMany(int start, std::initializer_list<int> regs, int unit = 1)
{
    const int n = static_cast<int>(regs.size());
    Bytes f{0x12,
            0x34,
            0,
            0,
            0,
            static_cast<uint8_t>(7 + 2 * n),
            static_cast<uint8_t>(unit),
            16,
            static_cast<uint8_t>(start >> 8),
            static_cast<uint8_t>(start),
            0,
            static_cast<uint8_t>(n),
            static_cast<uint8_t>(2 * n)};
    for (int r : regs) {
        f.push_back(static_cast<uint8_t>(r >> 8));
        f.push_back(static_cast<uint8_t>(r));
    }
    return f;
}

// The UPS commands posted for the data task, in order.
inline std::vector<int> commands(const card::FakeRuntime& rt)
{
    std::vector<int> out;
    for (const auto& e : rt.events)
        if (e.channel == card::channel::kCommand) out.push_back(e.code);
    return out;
}

// An identification text in 16 signals, one character each.
inline void putText(card::FakeRuntime& rt, int dev, int base, const std::string& text)
{
    for (int i = 0; i < SIG_TEXT_LEN; ++i)
        rt.setValue(dev, base + i, i < static_cast<int>(text.size()) ? text[i] : 0);
}

// Whether a write reached the card at all (commands, control log, devices, clock).
inline bool touchedAnything(const card::FakeRuntime& rt)
{
    return !rt.events.empty() || !rt.stores.empty() || !rt.controls.empty() ||
           !rt.clockSets.empty();
}

} // namespace mbslave::test
