/*
 * rtu_frame.cpp - Modbus RTU frame walk, CRC and addressing.
 *
 * A frame with a bad CRC is never answered. An unknown function is refused
 * whatever the slave address, every other frame for another address is left
 * to its slave. The request itself is the PduHandler's, under the serial
 * limits (kRtuLimits); writes carry "COM" as their control-log origin.
 */
#include "rtu_frame.h"

#include "common.h"

namespace mbslave
{

namespace
{

constexpr size_t kFixedFrame = 8;
constexpr size_t kBlockHead = 9; // address, function, start, quantity, byte count, CRC
constexpr size_t kCrcBytes = 2;
constexpr const char* kOrigin = "COM";

bool crcOk(std::span<const uint8_t> f)
{
    std::vector<char> copy(f.begin(), f.end());
    return checkModbufCRC(copy.data(), static_cast<int>(copy.size())) == 0;
}

} // namespace

std::vector<std::pair<size_t, size_t>> walkRtuBuffer(std::span<const uint8_t> buf)
{
    std::vector<std::pair<size_t, size_t>> frames;
    size_t p = 0;
    while (p + 2 <= buf.size()) {
        const uint8_t function = buf[p + 1];
        size_t len = 0;
        if (function == 16) {
            if (p + 7 > buf.size()) break;
            len = kBlockHead + size_t(buf[p + 6]);
        } else if (knownFunction(function)) {
            len = kFixedFrame;
        } else {
            ++p;
            continue;
        }
        if (p + len > buf.size()) break;
        frames.emplace_back(p, len);
        p += len;
    }
    return frames;
}

std::vector<uint8_t> handleRtuFrame(std::span<const uint8_t> f, PduHandler& pdu, int slaveAddr)
{
    if (f.size() < kFixedFrame || !crcOk(f)) return {};
    const int function = f[1];
    if (knownFunction(function) && f[0] != slaveAddr) return {};
    if (function == 16 && f.size() < kBlockHead) return {}; // no byte count: not a request
    std::vector<uint8_t> out{f[0]};
    const auto answer = pdu.answer(f.subspan(1, f.size() - 1 - kCrcBytes), kOrigin);
    if (answer.empty()) return {};
    out.insert(out.end(), answer.begin(), answer.end());
    out.resize(out.size() + kCrcBytes);
    setModbusCRC(reinterpret_cast<char*>(out.data()), static_cast<int>(out.size()));
    return out;
}

} // namespace mbslave
