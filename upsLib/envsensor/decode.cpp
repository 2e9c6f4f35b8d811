/*
 * decode.cpp - the sensor modules' replies: bytes in, reports out.
 *
 * Alternatives "100" and "102" carry two signed 16-bit registers, temperature
 * then humidity, in the module's raw units (the card's settings hold the
 * divisor). Alternative "101" carries each quantity as a 32-bit unsigned value
 * over two registers, high register first.
 */
#include "envsensor.h"
#include "signals.h"

namespace envsensor
{

namespace
{

constexpr int kData = 3; // address, function, byte count

// Four-digit driver number of a catalogue signal (d0abc -> d.abc).
constexpr int drv(int stored)
{
    return stored / 10000 * 1000 + stored % 10000;
}

unsigned reg(const uint8_t* reply, int k)
{
    const uint8_t* p = reply + kData + 2 * k;
    return static_cast<unsigned>(p[0] << 8 | p[1]);
}

} // namespace

void decodeReply(int module, int which, const uint8_t* reply, int size, Reports& out)
{
    if (module < 0 || module >= kMaxModules || which < 0 || which >= kAlternatives) return;
    const int regs = which == 1 ? 4 : 2;
    if (!reply || size < kData + 2 * regs + 2) return;
    float temperature, humidity;
    if (which == 1) {
        temperature = static_cast<float>(reg(reply, 0) << 16 | reg(reply, 1));
        humidity = static_cast<float>(reg(reply, 2) << 16 | reg(reply, 3));
    } else {
        temperature = static_cast<int16_t>(reg(reply, 0));
        humidity = static_cast<int16_t>(reg(reply, 1));
    }
    out.push_back({drv(Data_temperature_1) + module, temperature});
    out.push_back({drv(Data_humidity_1) + module, humidity});
}

} // namespace envsensor
