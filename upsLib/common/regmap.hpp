/*
 * regmap.hpp - what the register-map UPS drivers share above the codec.
 *
 * A register-map driver states its query table, its decoders and its control
 * rows; everything else is here, so that two drivers differ only in what
 * their UPSs put where:
 *
 *   - request(): one query-table record from function, start, count and the
 *     reply length;
 *   - Registers and Bits: a validated reply read as big-endian 16-bit
 *     registers, or as discrete inputs from bit 0 of the first data byte;
 *   - the three kinds of report the poll cycle settles (a measurement, an
 *     alarm flag, a sum row) and alarm-map rows evaluated over Bits;
 *   - text fields carried two characters per register, low byte first;
 *   - the part of Control every driver shares: the raw send (50), suspend and
 *     resume of polling (54/55), the argument tokens; and the acknowledged
 *     single write a command row becomes;
 *   - the command-table accessors the runtime's tools read, as one macro.
 */
#pragma once

#include "common.h"
#include "driver_shell.hpp"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace upscommon::regmap
{

// Four-digit driver number of a catalogue signal (d0abc -> d.abc).
constexpr int drv(int stored)
{
    return stored / 10000 * 1000 + stored % 10000;
}

// A query-table record: address (filled per call), function, start, count,
// CRC slot; 8 bytes on the wire.
constexpr cmd request(int func, int start, int count, int reply)
{
    return cmd{{'0', '1', 0, 0},
               {1, static_cast<unsigned char>(func), static_cast<unsigned char>(start >> 8),
                static_cast<unsigned char>(start & 0xFF), static_cast<unsigned char>(count >> 8),
                static_cast<unsigned char>(count & 0xFF), 0, 0, 0, 0},
               reply,
               8};
}

// Address, function and byte count come before the data of a read reply.
constexpr int kDataOffset = 3;

// A read reply as registers numbered from `first` (the request's start).
class Registers
{
  public:
    Registers(const uint8_t* reply, int size, int first = 0)
        : d_(reply + kDataOffset), count_(size >= 5 ? (size - 5) / 2 : 0), first_(first)
    {
    }
    // True when the reply reaches register lastReg.
    bool holds(int lastReg) const { return lastReg - first_ < count_; }
    unsigned u(int reg) const
    {
        const uint8_t* p = d_ + 2 * (reg - first_);
        return static_cast<unsigned>(p[0] << 8 | p[1]);
    }
    int s(int reg) const { return static_cast<int16_t>(u(reg)); }
    // Byte k (0 high, 1 low) of a register.
    uint8_t byte(int reg, int k) const { return d_[2 * (reg - first_) + k]; }
    // The data bytes from register reg on, in wire order.
    const uint8_t* bytes(int reg) const { return d_ + 2 * (reg - first_); }

  private:
    const uint8_t* d_;
    int count_;
    int first_;
};

// A read reply of function 2 as discrete inputs; inputs past the reply read 0.
class Bits
{
  public:
    Bits(const uint8_t* reply, int size)
        : d_(reply + kDataOffset), count_(size >= 5 ? (size - 5) * 8 : 0)
    {
    }
    int operator[](int i) const { return i >= 0 && i < count_ ? (d_[i / 8] >> (i % 8)) & 1 : 0; }

  private:
    const uint8_t* d_;
    int count_;
};

// True when a function-2 reply of size bytes carries at least `bits` inputs.
bool holdsBits(int size, int bits);

// A measurement, an alarm flag, a sum row: how the poll cycle settles them
// when several replies of one cycle report the same signal.
void value(Reports& out, int sig, float v);
void flag(Reports& out, int sig, float v);
void sumRow(Reports& out, int sig, float v);

// Registers firstReg..lastReg reported as firstSig, firstSig + 1, ... times
// factor, read unsigned or as signed 16-bit values.
struct Span {
    int firstReg, lastReg, firstSig;
    float factor = 1.0f;
    bool isSigned = false;
};
constexpr bool kSigned = true;
// Reports every span the reply holds; a span past its end is left out.
void spans(const Registers& r, std::initializer_list<Span> list, Reports& out);

// ---- alarm maps ----

struct BitRange {
    int from, to;
};

// One row of an alarm map: the signal is 1 when any listed bit is set, or,
// for a sum row, the number of listed bits set.
struct AlarmRow {
    int sig;
    bool sum;
    std::initializer_list<BitRange> bits;
};
constexpr bool kAny = false;
constexpr bool kSum = true;

int evalRow(const Bits& b, bool sum, std::initializer_list<BitRange> bits);
void evalRows(const Bits& b, std::initializer_list<AlarmRow> rows, Reports& out);

// ---- texts ----

// len bytes of a text field carried two characters per register, the first
// in the low byte: the pair at (2i, 2i+1) is reported as (base+2i+1, base+2i).
void textLowFirst(const uint8_t* bytes, int len, int base, Reports& out);

// ---- control ----

using Tokens = std::vector<std::string>;

// What a driver does with one command string once the shared part is done:
// 1 done, 0 refused or failed.
using CommandHandler = std::function<int(int command, const Tokens& tokens)>;

// The shared part of Control: 50 is the raw send; 54 and 55 suspend and
// resume polling when exitFlag is given (result 0); any other number is split
// into at most maxTokens tokens and handed to the driver.
int dispatchControl(const PortIo& io, void* fd, const char* cmdStr, int* exitFlag,
                    const CommandHandler& handle, int maxTokens = kMaxTokens);

// Argument k of a command as an integer register value; false when it is
// missing, not a whole decimal number, or outside lo..hi.
bool argument(const Tokens& tokens, int k, long lo, long hi, int& out);

// One acknowledged single write (function 5 or 6): reg <- value.
int sendWrite(const PortIo& io, void* fd, int id, int cmdId, int func, int reg, int value);

// ---- command-table accessors ----

int tableCmdSize(std::span<const cmd> list, int id, int type);
int tableRecvSize(std::span<const cmd> list, int id, int type);
int tableGetCmd(std::span<const cmd> list, unsigned cmdId, int devId, char* data);

} // namespace upscommon::regmap

// getCmdCount (always 0), getCmdSize, getRecvSize and getCmd over a query table.
#define CARD_REGMAP_ACCESSORS(table)                                                               \
    CARD_EXPORT int getCmdCount(int)                                                               \
    {                                                                                              \
        return 0;                                                                                  \
    }                                                                                              \
    CARD_EXPORT int getCmdSize(int id, int, int type, char*)                                       \
    {                                                                                              \
        return upscommon::regmap::tableCmdSize(table, id, type);                                   \
    }                                                                                              \
    CARD_EXPORT int getRecvSize(int id, int, int type, char*)                                      \
    {                                                                                              \
        return upscommon::regmap::tableRecvSize(table, id, type);                                  \
    }                                                                                              \
    CARD_EXPORT int getCmd(unsigned cmdId, int devId, int, char*, char* data)                      \
    {                                                                                              \
        return upscommon::regmap::tableGetCmd(table, cmdId, devId, data);                          \
    }
