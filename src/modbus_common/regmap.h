/*
 * regmap.h - the Modbus register image shared by the TCP, serial and pack slaves.
 *
 * Three arrays, as the masters see them: discrete inputs (function 2), holding
 * registers (function 3) and input registers (function 4). They are filled from
 * signals and settings just before a read is answered; only the requested range
 * is refreshed, which gives the same answer as refreshing everything.
 *
 * Writes (functions 6 and 16) do not touch the image: they change settings,
 * send UPS commands or set the clock (writeSingle / writeMultiple).
 */
#pragma once

#include "host.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mbslave
{

constexpr int kDiscreteCount = 2000;
constexpr int kHoldingCount = 1000;
constexpr int kInputCount = 2000;
constexpr int kPackInputCount = 9000;

constexpr int kUpsDev = 60;
constexpr int kSensorDev = 61;
constexpr int kFirstPackDev = 70;

// Value conversions to 16-bit registers.
uint16_t toU16(float v);              // unsigned, negative gives 0, truncated to 16 bits
uint16_t toS16(float v);              // signed, two's complement
void toPair(float v, uint16_t* hiLo); // signed 32 bits, high word first

class RegisterMap
{
  public:
    // inputCount is kInputCount, or kPackInputCount for the battery-pack variant
    // (which also fills the pack registers).
    explicit RegisterMap(int inputCount = kInputCount);

    // Refresh the entries in [first, first + count) of each array.
    void refreshDiscrete(Host& host, int first, int count);
    void refreshHolding(Host& host, int first, int count);
    void refreshInput(Host& host, int first, int count);
    // Everything (tests and the serial slave's diagnostics).
    void refreshAll(Host& host);

    uint16_t discrete(int addr) const { return at(func02_, addr); }
    uint16_t holding(int addr) const { return at(func03_, addr); }
    uint16_t input(int addr) const { return at(func04_, addr); }
    int inputCount() const { return static_cast<int>(func04_.size()); }
    // Appends a function-2 answer body: the byte count, then the bits of
    // [start, start + quantity) packed low bit first.
    void appendDiscreteBits(int start, int quantity, std::vector<uint8_t>& out) const;

  private:
    static uint16_t at(const std::vector<uint16_t>& a, int addr)
    {
        return addr >= 0 && addr < static_cast<int>(a.size()) ? a[addr] : 0;
    }
    void refreshPack(Host& host, int lo, int hi);

    std::vector<uint16_t> func02_;
    std::vector<uint16_t> func03_;
    std::vector<uint16_t> func04_;
};

// Write of one holding register (function 6). origin is the control-log text
// ("Tcp:<peer>" or "COM"). Out-of-range values are ignored.
void writeSingle(Host& host, int addr, uint16_t value, const std::string& origin);
// Write of a register block (function 16) starting at start.
void writeMultiple(Host& host, int start, std::span<const uint16_t> regs,
                   const std::string& origin);

} // namespace mbslave
