/*
 * modbus_frames.h - request builders for the Modbus unit tests.
 */
#pragma once

#include <cstdint>
#include <initializer_list>
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

} // namespace mbslave::test
