/*
 * rtu_frame.cpp - Modbus RTU frame walk and request handling.
 *
 * The serial limits differ a little from the TCP ones: a bit read of 1000 is
 * refused, and holding registers end at 999. Writes act exactly as over TCP,
 * with "COM" as the control-log origin.
 */
#include "rtu_frame.h"

#include "common.h"

namespace mbslave
{

namespace
{

constexpr size_t kFixedFrame = 8;
constexpr int kMaxReadRegisters = 124;
constexpr int kMaxReadBits = 1000; // refused from this quantity on
constexpr int kHoldingEnd = 999;
constexpr int kInputEnd = 1999;
constexpr int kLastBitStart = 1999;

int word(std::span<const uint8_t> f, size_t at)
{
    return f[at] << 8 | f[at + 1];
}

void putWord(std::vector<uint8_t>& out, int v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void appendCrc(std::vector<uint8_t>& out)
{
    out.resize(out.size() + 2);
    setModbusCRC(reinterpret_cast<char*>(out.data()), static_cast<int>(out.size()));
}

std::vector<uint8_t> exception(std::span<const uint8_t> f, uint8_t code)
{
    std::vector<uint8_t> out{f[0], static_cast<uint8_t>(f[1] + 0x80), code};
    appendCrc(out);
    return out;
}

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
        if (function == 2 || function == 3 || function == 4 || function == 6) {
            len = kFixedFrame;
        } else if (function == 16) {
            if (p + 7 > buf.size()) break;
            len = 9 + size_t(buf[p + 6]);
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

std::vector<uint8_t> handleRtuFrame(std::span<const uint8_t> f, RtuContext& ctx)
{
    if (f.size() < kFixedFrame || !crcOk(f)) return {};
    const int function = f[1];
    if (function != 2 && function != 3 && function != 4 && function != 6 && function != 16)
        return exception(f, 1);
    if (f[0] != ctx.slaveAddr) return {};
    const int start = word(f, 2), quantity = word(f, 4);
    std::vector<uint8_t> out{f[0], f[1]};
    switch (function) {
    case 2: {
        if (start > kLastBitStart) return exception(f, 0);
        // Bits past the end of the image are refused like a large quantity.
        if (quantity >= kMaxReadBits || start + quantity > kDiscreteCount) return exception(f, 2);
        ctx.map.refreshDiscrete(ctx.host, start, quantity);
        ctx.map.appendDiscreteBits(start, quantity, out);
        break;
    }
    case 3:
    case 4: {
        if (quantity > kMaxReadRegisters) return exception(f, 2);
        if (start + quantity > (function == 3 ? kHoldingEnd : kInputEnd)) return exception(f, 2);
        if (function == 3)
            ctx.map.refreshHolding(ctx.host, start, quantity);
        else
            ctx.map.refreshInput(ctx.host, start, quantity);
        out.push_back(static_cast<uint8_t>(2 * quantity));
        for (int i = 0; i < quantity; ++i)
            putWord(out, function == 3 ? ctx.map.holding(start + i) : ctx.map.input(start + i));
        break;
    }
    case 6:
        writeSingle(ctx.host, start, static_cast<uint16_t>(quantity), "COM");
        return {f.begin(), f.begin() + kFixedFrame};
    case 16: {
        if (f.size() < 9) return {};
        std::vector<uint16_t> regs;
        const size_t bytes = f[6];
        for (size_t i = 0; i + 1 < bytes && 7 + i + 1 < f.size() - 2; i += 2)
            regs.push_back(static_cast<uint16_t>(word(f, 7 + i)));
        writeMultiple(ctx.host, start, regs, "COM");
        out.assign(f.begin(), f.begin() + 6);
        break;
    }
    }
    appendCrc(out);
    return out;
}

} // namespace mbslave
