/*
 * tcp_frame.cpp - Modbus/TCP frame walk and request handling.
 *
 * Every answer keeps the request's transaction, protocol and unit identifiers
 * and carries the count of the bytes after the length field. Each handled
 * frame gets exactly one answer (normal or exception) unless it is addressed to
 * another unit.
 */
#include "tcp_frame.h"

namespace mbslave
{

namespace
{

constexpr size_t kHeader = 7; // MBAP header up to and including the unit id
constexpr size_t kFixedFrame = 12;
constexpr int kMaxReadRegisters = 124;
constexpr int kMaxReadBits = 1000;
constexpr int kMaxWriteAddr = 12000;
constexpr int kMaxMultiWriteStart = 11999;

enum Exception : uint8_t {
    kMalformed = 0,
    kIllegalFunction = 1,
    kIllegalAddress = 2,
};

int word(std::span<const uint8_t> f, size_t at)
{
    return f[at] << 8 | f[at + 1];
}

void putWord(std::vector<uint8_t>& out, int v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// Header of an answer: the request's identifiers, the length field filled later.
std::vector<uint8_t> answerHead(std::span<const uint8_t> f, uint8_t function)
{
    std::vector<uint8_t> out(f.begin(), f.begin() + 6);
    out.push_back(f[6]);
    out.push_back(function);
    return out;
}

void setLength(std::vector<uint8_t>& out)
{
    const size_t n = out.size() - 6;
    out[4] = static_cast<uint8_t>(n >> 8);
    out[5] = static_cast<uint8_t>(n);
}

std::vector<uint8_t> exception(std::span<const uint8_t> f, uint8_t code)
{
    auto out = answerHead(f, static_cast<uint8_t>(f[7] + 0x80));
    out.push_back(code);
    setLength(out);
    return out;
}

// Addresses of functions 3, 4 and 6 are taken as signed; a "negative" one is a
// malformed request.
bool negative(int addr)
{
    return addr >= 0x8000;
}

std::vector<uint8_t> readBits(std::span<const uint8_t> f, TcpContext& ctx)
{
    const int start = word(f, 8), quantity = word(f, 10);
    if (f.size() != kFixedFrame || start >= kDiscreteCount) return exception(f, kMalformed);
    // Bits past the end of the image do not exist: refused like a large quantity.
    if (quantity > kMaxReadBits || start + quantity > kDiscreteCount)
        return exception(f, kIllegalAddress);
    ctx.map.refreshDiscrete(ctx.host, start, quantity);
    auto out = answerHead(f, f[7]);
    ctx.map.appendDiscreteBits(start, quantity, out);
    setLength(out);
    return out;
}

std::vector<uint8_t> readRegisters(std::span<const uint8_t> f, TcpContext& ctx)
{
    const int function = f[7];
    const int start = word(f, 8), quantity = word(f, 10);
    if (f.size() != kFixedFrame || negative(start)) return exception(f, kMalformed);
    if (quantity > kMaxReadRegisters) return exception(f, kIllegalAddress);
    const int size = function == 3 ? kHoldingCount : ctx.map.inputCount();
    const bool inMap = start < size;
    if (inMap && start + quantity > size) return exception(f, kIllegalAddress);
    if (inMap) {
        if (function == 3)
            ctx.map.refreshHolding(ctx.host, start, quantity);
        else
            ctx.map.refreshInput(ctx.host, start, quantity);
    }
    auto out = answerHead(f, f[7]);
    out.push_back(static_cast<uint8_t>(2 * quantity));
    for (int i = 0; i < quantity; ++i) {
        // Beyond the image there is nothing to serve: those registers read 0.
        int v = 0;
        if (inMap) v = function == 3 ? ctx.map.holding(start + i) : ctx.map.input(start + i);
        putWord(out, v);
    }
    setLength(out);
    return out;
}

std::vector<uint8_t> writeOne(std::span<const uint8_t> f, TcpContext& ctx)
{
    const int addr = word(f, 8);
    if (f.size() != kFixedFrame || negative(addr)) return exception(f, kMalformed);
    if (addr > kMaxWriteAddr) return exception(f, kIllegalAddress);
    writeSingle(ctx.host, addr, static_cast<uint16_t>(word(f, 10)), ctx.origin);
    return {f.begin(), f.begin() + kFixedFrame};
}

std::vector<uint8_t> writeMany(std::span<const uint8_t> f, TcpContext& ctx)
{
    const int start = word(f, 8);
    if (f.size() < 13 || f.size() != 13 + 2 * size_t(f[11])) return exception(f, kMalformed);
    if (start > kMaxMultiWriteStart) return exception(f, kIllegalAddress);
    std::vector<uint16_t> regs;
    for (size_t i = 0; i + 1 < f[12] && 13 + i + 1 < f.size(); i += 2)
        regs.push_back(static_cast<uint16_t>(word(f, 13 + i)));
    writeMultiple(ctx.host, start, regs, ctx.origin);
    std::vector<uint8_t> out(f.begin(), f.begin() + kFixedFrame);
    out[4] = 0;
    out[5] = 6;
    return out;
}

constexpr size_t kNoFrame = 0;
constexpr size_t kNeedMore = static_cast<size_t>(-1);
constexpr size_t kUnknown = static_cast<size_t>(-2);

// Length of the frame that would start at p, judged by its function byte:
// kNoFrame when no frame can start there, kNeedMore when the byte count of a
// function-16 frame has not arrived yet.
size_t candidateLength(std::span<const uint8_t> buf, size_t p)
{
    const uint8_t function = buf[p + kHeader];
    if (function == 2 || function == 3 || function == 4 || function == 6) return kFixedFrame;
    if (function != 16) return kNoFrame;
    if (p + 13 > buf.size()) return kNeedMore;
    return 13 + size_t(buf[p + 12]);
}

// Whether what has arrived at p looks like the header of a frame of length len
// (kUnknown: judge the length by the function byte when it is there). Bytes not
// yet received are given the benefit of the doubt.
bool headerConsistent(std::span<const uint8_t> buf, size_t p, size_t len)
{
    auto at = [&](size_t i) { return p + i < buf.size() ? int(buf[p + i]) : -1; };
    if (at(2) > 0 || at(3) > 0 || at(4) > 0) return false;
    if (len == kUnknown) {
        if (p + kHeader + 1 > buf.size()) return true;
        len = candidateLength(buf, p);
        if (len == kNoFrame) return false;
        if (len == kNeedMore) return at(5) < 0 || at(5) >= 7;
    }
    return at(5) < 0 || size_t(at(5)) + 6 == len;
}

} // namespace

TcpWalk walkTcpBuffer(std::span<const uint8_t> buf)
{
    TcpWalk w;
    size_t p = 0;
    while (p + kHeader + 1 <= buf.size()) {
        const size_t len = candidateLength(buf, p);
        if (len == kNoFrame) {
            ++p; // cannot start a frame here
            continue;
        }
        if (len == kNeedMore) break;
        // A candidate whose header does not hold together is most likely
        // garbage in front of a real frame: resynchronise on that frame.
        if (!headerConsistent(buf, p, len)) {
            size_t q = p + 1;
            auto visible = [&](size_t at) { return at + kHeader + 1 <= buf.size(); };
            while (q < p + len && visible(q) && !headerConsistent(buf, q, kUnknown))
                ++q;
            if (q < p + len && visible(q)) {
                p = q;
                continue;
            }
        }
        if (p + len > buf.size()) break; // the rest of this frame is still on its way
        w.frames.emplace_back(p, len);
        p += len;
    }
    w.consumed = p;
    return w;
}

std::vector<uint8_t> handleTcpFrame(std::span<const uint8_t> f, TcpContext& ctx)
{
    if (f.size() < kHeader + 1) return {}; // too short to answer at all
    const int lengthField = word(f, 4);
    const int unit = f[6];
    if (f.size() > 255 || word(f, 2) != 0 || unit == 0 || unit == 255 || (lengthField >> 8) != 0 ||
        (lengthField & 0xFF) == 0 || (lengthField & 0xFF) > 249 ||
        size_t(lengthField & 0xFF) + 6 != f.size())
        return exception(f, kMalformed);
    if (unit != 1) return {};
    if (f.size() < kFixedFrame) return exception(f, kMalformed);
    switch (f[7]) {
    case 2:
        return readBits(f, ctx);
    case 3:
    case 4:
        return readRegisters(f, ctx);
    case 6:
        return writeOne(f, ctx);
    case 16:
        return writeMany(f, ctx);
    default:
        return exception(f, kIllegalFunction);
    }
}

bool clientAllowed(std::string_view peer, bool filterOn, const std::vector<std::string>& allowed)
{
    if (!filterOn) return true;
    for (const auto& a : allowed) {
        if (a.empty()) continue;
        if (a == "*.*.*.*" || peer.find(a) != std::string_view::npos) return true;
    }
    return false;
}

} // namespace mbslave
