/*
 * tcp_frame.cpp - Modbus/TCP frame walk and MBAP header rules.
 *
 * Every answer keeps the request's transaction, protocol and unit identifiers
 * and carries the count of the bytes after the length field. Each handled
 * frame gets exactly one answer (normal or exception) unless it is addressed to
 * another unit. What the request asks is the PduHandler's business.
 */
#include "tcp_frame.h"

#include "card_rules.hpp"

#include <algorithm>

namespace mbslave
{

namespace
{

constexpr size_t kHeader = 7; // MBAP header up to and including the unit id
constexpr size_t kFixedFrame = 12;
constexpr int kUnit = 1; // the only unit served
constexpr uint8_t kMalformed = 0;

int word(std::span<const uint8_t> f, size_t at)
{
    return f[at] << 8 | f[at + 1];
}

// The request's header with the answer PDU and the length field set.
std::vector<uint8_t> wrap(std::span<const uint8_t> f, const std::vector<uint8_t>& pdu)
{
    std::vector<uint8_t> out(kHeader + pdu.size());
    std::copy_n(f.begin(), kHeader, out.begin());
    std::copy(pdu.begin(), pdu.end(), out.begin() + kHeader);
    const size_t n = out.size() - 6;
    out[4] = static_cast<uint8_t>(n >> 8);
    out[5] = static_cast<uint8_t>(n);
    return out;
}

std::vector<uint8_t> exception(std::span<const uint8_t> f, uint8_t code)
{
    return wrap(f, {static_cast<uint8_t>(f[kHeader] + 0x80), code});
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

std::vector<uint8_t> handleTcpFrame(std::span<const uint8_t> f, PduHandler& pdu,
                                    const std::string& origin, Access access)
{
    if (f.size() < kHeader + 1) return {}; // too short to answer at all
    const int lengthField = word(f, 4);
    const int unit = f[6];
    if (f.size() > 255 || word(f, 2) != 0 || unit == 0 || unit == 255 || (lengthField >> 8) != 0 ||
        (lengthField & 0xFF) == 0 || (lengthField & 0xFF) > 249 ||
        size_t(lengthField & 0xFF) + 6 != f.size())
        return exception(f, kMalformed);
    if (unit != kUnit) return {};
    const uint8_t function = f[kHeader];
    if (access != Access::ReadWrite && (function == 6 || function == 16))
        return exception(f, kWriteRefused);
    const auto answer = pdu.answer(f.subspan(kHeader), origin);
    return answer.empty() ? answer : wrap(f, answer);
}

Access clientAccess(std::string_view peer, bool filterOn, const std::vector<std::string>& allowed)
{
    for (const auto& a : allowed)
        if (card::addressMatches(a, peer)) return Access::ReadWrite;
    return filterOn ? Access::None : Access::Read;
}

} // namespace mbslave
