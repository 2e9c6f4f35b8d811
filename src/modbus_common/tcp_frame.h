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

// Answer for one frame; empty when the frame gets no answer. origin is the
// control-log text of writes, "Tcp:<peer address>".
std::vector<uint8_t> handleTcpFrame(std::span<const uint8_t> frame, PduHandler& pdu,
                                    const std::string& origin);

// Client filter: whether a peer (address text) may be served, given the switch
// and the allowed entries (empty ones are unused). An entry matches when it
// occurs in the address text, and "*.*.*.*" matches everybody.
bool clientAllowed(std::string_view peer, bool filterOn, const std::vector<std::string>& allowed);

} // namespace mbslave
