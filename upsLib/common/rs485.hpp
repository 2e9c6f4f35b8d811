/*
 * rs485.hpp - reading a reply on the shared RS-485 line (sensor modules and
 * battery packs).
 *
 * readReply joins a second read when the first brought less than a whole
 * reply, for devices that pause inside a frame. An exception reply is whole
 * at five bytes, though: waiting the port's time-out for more would only
 * keep the line from the other stations and could take a frame meant for
 * someone else (the card's own serial slave).
 */
#pragma once

#include "common.h"

namespace upscommon
{

// A complete Modbus exception reply: address, function | 0x80, code, CRC.
inline bool exceptionReply(const uint8_t* b, int got)
{
    return got == 5 && (b[1] & 0x80) &&
           checkModbufCRC(const_cast<char*>(reinterpret_cast<const char*>(b)), 5) == 0;
}

// readReply without the second read after a complete exception reply.
inline int readStationReply(const PortIo& io, void* fd, uint8_t* buf, int cap, int expected)
{
    int got = io.read(fd, buf, cap);
    got = got < 0 ? 0 : (got > cap ? cap : got);
    if (got > 0 && got < expected && got < cap && !exceptionReply(buf, got)) {
        const int more = io.read(fd, buf + got, cap - got);
        got += more < 0 ? 0 : (more > cap - got ? cap - got : more);
    }
    return got;
}

} // namespace upscommon
