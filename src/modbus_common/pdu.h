/*
 * pdu.h - the one Modbus request handler of the three slaves.
 *
 * A request PDU is the function code and its data, as every transport carries
 * it: Modbus/TCP behind the MBAP header (tcp_frame.h), RTU between the slave
 * address and the CRC (mbrtu_slave). PduHandler answers it with the response
 * PDU or an exception PDU, reading and writing the register map; the framing,
 * the unit or slave address and the rules of silence stay with the transport.
 *
 * Functions 2 (discrete inputs), 3 (holding registers), 4 (input registers),
 * 6 (write one register) and 16 (write registers) are served. Exception 1 is
 * an unknown function, 2 an address or quantity out of range, and 0 a request
 * that does not hold together.
 *
 * The slaves differ in a few limits their masters have always seen; Limits
 * holds them, one record per transport, side by side below.
 */
#pragma once

#include "regmap.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mbslave
{

struct Limits {
    int maxReadBits;      // function 2: a larger quantity gets exception 2
    int maxReadRegisters; // functions 3 and 4: likewise
    int holdingEnd;       // a function-3 read may not run past this address
    int inputEnd;         // a function-4 read likewise
    bool zerosPastEnd;    // a read starting at or past its end answers zeros (else exception 2)
    bool exactLength;     // a PDU of another length than its function's: exception 0
    bool signedAddresses; // functions 3, 4 and 6 from address 0x8000 on: exception 0
    int maxWriteAddr;     // function 6 above this address: exception 2
    int maxBlockStart;    // function 16 starting above this address: exception 2
    int inputImage;       // input registers the map holds (kPackInputCount adds the packs)
};

// Modbus/TCP: bits up to 1000 per read; every address of the image readable,
// reads past it answer zeros; writes up to address 12000.
constexpr Limits tcpLimits(int inputCount)
{
    return {.maxReadBits = 1000,
            .maxReadRegisters = 124,
            .holdingEnd = kHoldingCount,
            .inputEnd = inputCount,
            .zerosPastEnd = true,
            .exactLength = true,
            .signedAddresses = true,
            .maxWriteAddr = 12000,
            .maxBlockStart = 11999,
            .inputImage = inputCount};
}
constexpr Limits kTcpLimits = tcpLimits(kInputCount);
// The battery-pack variant: Modbus/TCP with input registers up to 8999.
constexpr Limits kPackLimits = tcpLimits(kPackInputCount);
// RTU: fewer than 1000 bits per read, the last register of each image is not
// readable, no checks beyond the CRC and the byte count, writes at any address.
constexpr Limits kRtuLimits = {.maxReadBits = 999,
                               .maxReadRegisters = 124,
                               .holdingEnd = kHoldingCount - 1,
                               .inputEnd = kInputCount - 1,
                               .zerosPastEnd = false,
                               .exactLength = false,
                               .signedAddresses = false,
                               .maxWriteAddr = 0xFFFF,
                               .maxBlockStart = 0xFFFF,
                               .inputImage = kInputCount};

// Whether function is one the slaves serve.
bool knownFunction(int function);

class PduHandler
{
  public:
    PduHandler(card::Runtime& rt, const Limits& limits);

    // The answer to one request PDU (function code first): a response PDU, an
    // exception PDU (function + 0x80, code), or empty for no answer (an empty
    // request). origin is the control-log text of writes ("Tcp:<peer>", "COM").
    std::vector<uint8_t> answer(std::span<const uint8_t> pdu, const std::string& origin);

    const Limits& limits() const { return limits_; }
    RegisterMap& map() { return map_; }

  private:
    std::vector<uint8_t> readBits(std::span<const uint8_t> pdu);
    std::vector<uint8_t> readRegisters(std::span<const uint8_t> pdu);
    std::vector<uint8_t> writeOne(std::span<const uint8_t> pdu, const std::string& origin);
    std::vector<uint8_t> writeBlock(std::span<const uint8_t> pdu, const std::string& origin);

    card::Runtime& rt_;
    Limits limits_;
    RegisterMap map_;
};

} // namespace mbslave
