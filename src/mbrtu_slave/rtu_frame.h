/*
 * rtu_frame.h - Modbus RTU framing for the serial slave.
 *
 * walkRtuBuffer cuts what one read returned into frames (functions 2, 3, 4 and
 * 6 are 8 bytes, function 16 is 9 plus its byte count; other bytes are
 * skipped). handleRtuFrame checks one frame's CRC and slave address and hands
 * its PDU to the shared PduHandler (built with kRtuLimits); an empty answer
 * means silence (bad CRC, another slave address).
 */
#pragma once

#include "pdu.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace mbslave
{

// The serial slave's read size.
constexpr size_t kRtuReadMax = 512;

std::vector<std::pair<size_t, size_t>> walkRtuBuffer(std::span<const uint8_t> buf);

// slaveAddr is the setting 485modbus_slave_addr.
std::vector<uint8_t> handleRtuFrame(std::span<const uint8_t> frame, PduHandler& pdu, int slaveAddr);

} // namespace mbslave
