/*
 * pdu.cpp - request PDU to response PDU (see pdu.h).
 *
 * Each function checks its request in the same order on every transport:
 * first what makes the request malformed (exception 0), then the range of
 * its addresses and quantity (exception 2); only then the map is refreshed
 * or the write applied. A write is answered whether or not its value is
 * accepted.
 */
#include "pdu.h"

namespace mbslave
{

namespace
{

constexpr size_t kRequestLength = 5; // function, address, quantity or value
constexpr int kFirstNegative = 0x8000;

enum Exception : uint8_t {
    kMalformed = 0,
    kIllegalFunction = 1,
    kIllegalAddress = 2,
};

int word(std::span<const uint8_t> p, size_t at)
{
    return p[at] << 8 | p[at + 1];
}

void putWord(std::vector<uint8_t>& out, int v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

std::vector<uint8_t> exception(std::span<const uint8_t> pdu, uint8_t code)
{
    return {static_cast<uint8_t>(pdu[0] + 0x80), code};
}

} // namespace

bool knownFunction(int function)
{
    return function == 2 || function == 3 || function == 4 || function == 6 || function == 16;
}

PduHandler::PduHandler(card::Runtime& rt, const Limits& limits)
    : rt_(rt), limits_(limits), map_(limits.inputImage)
{
}

std::vector<uint8_t> PduHandler::answer(std::span<const uint8_t> pdu, const std::string& origin)
{
    if (pdu.empty()) return {};
    if (pdu.size() < kRequestLength) return exception(pdu, kMalformed);
    switch (pdu[0]) {
    case 2:
        return readBits(pdu);
    case 3:
    case 4:
        return readRegisters(pdu);
    case 6:
        return writeOne(pdu, origin);
    case 16:
        return writeBlock(pdu, origin);
    default:
        return exception(pdu, kIllegalFunction);
    }
}

std::vector<uint8_t> PduHandler::readBits(std::span<const uint8_t> pdu)
{
    const int start = word(pdu, 1), quantity = word(pdu, 3);
    if ((limits_.exactLength && pdu.size() != kRequestLength) || start >= kDiscreteCount)
        return exception(pdu, kMalformed);
    // Bits past the end of the image do not exist: refused like a large quantity.
    if (quantity > limits_.maxReadBits || start + quantity > kDiscreteCount)
        return exception(pdu, kIllegalAddress);
    map_.refreshDiscrete(rt_, start, quantity);
    std::vector<uint8_t> out{pdu[0]};
    map_.appendDiscreteBits(start, quantity, out);
    return out;
}

std::vector<uint8_t> PduHandler::readRegisters(std::span<const uint8_t> pdu)
{
    const bool holding = pdu[0] == 3;
    const int start = word(pdu, 1), quantity = word(pdu, 3);
    if ((limits_.exactLength && pdu.size() != kRequestLength) ||
        (limits_.signedAddresses && start >= kFirstNegative))
        return exception(pdu, kMalformed);
    if (quantity > limits_.maxReadRegisters) return exception(pdu, kIllegalAddress);
    const int end = holding ? limits_.holdingEnd : limits_.inputEnd;
    // Beyond the image there is nothing to serve: those registers read 0.
    const bool inMap = start < end || !limits_.zerosPastEnd;
    if (inMap && start + quantity > end) return exception(pdu, kIllegalAddress);
    if (inMap) {
        if (holding)
            map_.refreshHolding(rt_, start, quantity);
        else
            map_.refreshInput(rt_, start, quantity);
    }
    std::vector<uint8_t> out{pdu[0], static_cast<uint8_t>(2 * quantity)};
    for (int i = 0; i < quantity; ++i) {
        int v = 0;
        if (inMap) v = holding ? map_.holding(start + i) : map_.input(start + i);
        putWord(out, v);
    }
    return out;
}

std::vector<uint8_t> PduHandler::writeOne(std::span<const uint8_t> pdu, const std::string& origin)
{
    const int addr = word(pdu, 1);
    if ((limits_.exactLength && pdu.size() != kRequestLength) ||
        (limits_.signedAddresses && addr >= kFirstNegative))
        return exception(pdu, kMalformed);
    if (addr > limits_.maxWriteAddr) return exception(pdu, kIllegalAddress);
    writeSingle(rt_, addr, static_cast<uint16_t>(word(pdu, 3)), origin);
    return {pdu.begin(), pdu.begin() + kRequestLength};
}

std::vector<uint8_t> PduHandler::writeBlock(std::span<const uint8_t> pdu, const std::string& origin)
{
    // Function, start, quantity, byte count, then the registers.
    const int start = word(pdu, 1);
    if (limits_.exactLength && pdu.size() != kRequestLength + 1 + 2 * size_t(pdu[4]))
        return exception(pdu, kMalformed);
    if (start > limits_.maxBlockStart) return exception(pdu, kIllegalAddress);
    const size_t bytes = pdu.size() > kRequestLength ? pdu[kRequestLength] : 0;
    std::vector<uint16_t> regs;
    for (size_t at = kRequestLength + 1; at + 1 < kRequestLength + 1 + bytes && at + 1 < pdu.size();
         at += 2)
        regs.push_back(static_cast<uint16_t>(word(pdu, at)));
    writeMultiple(rt_, start, regs, origin);
    return {pdu.begin(), pdu.begin() + kRequestLength};
}

} // namespace mbslave
