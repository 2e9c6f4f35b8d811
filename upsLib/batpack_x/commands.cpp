/*
 * commands.cpp - batpack_x's request, its poll cycle and its set-point
 * commands.
 */
#include "batpack_x.h"
#include "rs485.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace batpack_x
{

const cmd packCmd = {
    {'0', '1', 0, 0}, {1, 3, 0, 0, 0, kRegisters, 0, 0, 0, 0}, 5 + 2 * kRegisters, 8};

int query(const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    uint8_t buf[upscommon::kReplyBufSize] = {};
    const int size = upscommon::fillRequest(packCmd, id, buf, sizeof buf);
    if (size <= 0 || io.write(fd, buf, size) != size) {
        printf("[%s]    send cmd error!,devId=%d,cmdId=%d\n", "Query", id, 0);
        return 0;
    }
    std::memset(buf, 0, sizeof buf);
    const int got = upscommon::readStationReply(io, fd, buf, sizeof buf, packCmd.recvsize);
    if (upscommon::replyValid(buf, got, packCmd.recvsize) && buf[0] == id) {
        Reports reports;
        decodeReply(buf, packCmd.recvsize, reports);
        out.add(reports);
    } else {
        printf("[%s]    recv fail!devId=%d,cmdId=%d\n", "Query", id, 0);
    }
    if (io.pauseMs) io.pauseMs(kPauseMs);
    return 0;
}

int control(const upscommon::PortIo& io, void* fd, int id, const char* cmdStr)
{
    const int k = upscommon::commandNumber(cmdStr);
    std::vector<std::string> tokens;
    if (k < 0 || k >= kSetpoints || !upscommon::splitTokens(cmdStr, 2, tokens) || tokens.size() < 2)
        return 0;
    char* end = nullptr;
    const long v = std::strtol(tokens[1].c_str(), &end, 10);
    // A set-point that does not fit a register is refused, not cut to 16 bits.
    if (tokens[1].empty() || *end != '\0' || v < -32768 || v > 65535) return 0;
    char frame[8];
    mod_Set_SetBuf(frame, id, kSetpointBase + k, static_cast<int>(v & 0xFFFF));
    return upscommon::controlSendFrame(io, fd, id, k, reinterpret_cast<uint8_t*>(frame), 8);
}

} // namespace batpack_x
