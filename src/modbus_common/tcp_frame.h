/*
 * tcp_frame.h - Modbus/TCP framing, without sockets.
 *
 * walkTcpBuffer splits what a connection has received into frames; a complete
 * tail is kept by the caller and completed by the next bytes. handleTcpFrame
 * checks one frame's MBAP header and unit, hands its PDU to the slave's
 * PduHandler and wraps the answer in the request's header. Both are pure over
 * their byte input, so the unit tests and the fuzz target drive them directly.
 */
#pragma once

#include "pdu.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mbslave
{

struct TcpWalk {
    // Each frame as (offset, length) into the walked buffer.
    std::vector<std::pair<size_t, size_t>> frames;
    // Bytes from the start that are done with (frames and skipped bytes); the
    // rest is the start of a frame that has not fully arrived.
    size_t consumed = 0;
};

// Frames with function 2, 3, 4 or 6 are 12 bytes, function 16 is 13 plus its
// byte count; a position whose function byte is anything else is skipped.
TcpWalk walkTcpBuffer(std::span<const uint8_t> buf);

// The largest frame the walk can produce (function 16 with byte count 255).
constexpr size_t kMaxTcpFrame = 13 + 255;

// What a master may do: nothing (its frames get no answer), read, or read
// and write.
enum class Access { None, Read, ReadWrite };

// Exception code of a write from a master that may only read: the function
// is not an allowable action for it (ILLEGAL FUNCTION).
constexpr uint8_t kWriteRefused = 1;

// Answer for one frame; empty when the frame gets no answer. origin is the
// control-log text of writes, "Tcp:<peer address>". With Access::Read the
// writes (functions 6 and 16) are answered with exception kWriteRefused and
// change nothing.
std::vector<uint8_t> handleTcpFrame(std::span<const uint8_t> frame, PduHandler& pdu,
                                    const std::string& origin, Access access = Access::ReadWrite);

// Client filter. Writes change settings, the clock and the UPS, so only the
// masters an administrator listed (the non-empty entries, matched by
// card::addressMatches: exact addresses, starred or missing fields, networks)
// may write. With the filter switch on, nobody else is served at all; with it
// off (the factory setting) everybody may read. A fresh card, whose list is
// empty, thus answers reads and refuses every write.
Access clientAccess(std::string_view peer, bool filterOn, const std::vector<std::string>& allowed);

} // namespace mbslave
