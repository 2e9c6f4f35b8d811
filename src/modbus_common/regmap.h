/*
 * regmap.h - the Modbus register image shared by the TCP, serial and pack slaves.
 *
 * Three arrays, as the masters see them: discrete inputs (function 2), holding
 * registers (function 3) and input registers (function 4). They are filled from
 * signals and settings just before a read is answered; only the requested range
 * is refreshed, which gives the same answer as refreshing everything.
 *
 * Writes (functions 6 and 16) do not touch the image: they change settings,
 * send UPS commands or set the clock (writeSingle / writeMultiple). Everything
 * goes through the card::Runtime handed in, so the tests drive the map on a
 * card::FakeRuntime.
 */
#pragma once

#include "card_runtime.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mbslave
{

constexpr int kDiscreteCount = 2000;
constexpr int kHoldingCount = 1000;
constexpr int kInputCount = 2000;
constexpr int kPackInputCount = 9000; // with the first battery pack's registers

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
    void refreshDiscrete(card::Runtime& rt, int first, int count);
    void refreshHolding(card::Runtime& rt, int first, int count);
    void refreshInput(card::Runtime& rt, int first, int count);
    // Everything (tests and the serial slave's diagnostics).
    void refreshAll(card::Runtime& rt);

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
    void refreshPack(card::Runtime& rt, int lo, int hi);

    std::vector<uint16_t> func02_;
    std::vector<uint16_t> func03_;
    std::vector<uint16_t> func04_;
};

// Write of one holding register (function 6). origin is the control-log text
// ("Tcp:<peer>" or "COM"). Out-of-range values are ignored.
void writeSingle(card::Runtime& rt, int addr, uint16_t value, const std::string& origin);
// Write of a register block (function 16) starting at start.
void writeMultiple(card::Runtime& rt, int start, std::span<const uint16_t> regs,
                   const std::string& origin);

} // namespace mbslave
