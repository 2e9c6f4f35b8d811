/*
 * rtu_frame.h - Modbus RTU framing and request handling for the serial slave.
 *
 * walkRtuBuffer cuts what one read returned into frames (functions 2, 3, 4 and
 * 6 are 8 bytes, function 16 is 9 plus its byte count; other bytes are
 * skipped). handleRtuFrame answers one frame through the shared register map;
 * an empty answer means silence (bad CRC, another slave address).
 */
#pragma once

#include "regmap.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace mbslave
{

// The serial slave's read size.
constexpr size_t kRtuReadMax = 512;

std::vector<std::pair<size_t, size_t>> walkRtuBuffer(std::span<const uint8_t> buf);

struct RtuContext {
    Host& host;
    RegisterMap& map;
    int slaveAddr; // setting 485modbus_slave_addr
};

std::vector<uint8_t> handleRtuFrame(std::span<const uint8_t> frame, RtuContext& ctx);

} // namespace mbslave
