/*
 * commands.cpp - batpack_y's request, its poll cycle and its commands.
 */
#include "batpack_y.h"
#include "rs485.hpp"
#include "signals.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace batpack_y
{

const cmd packCmd = {{'0', '1', 0, 0},
                     {1, 3, kFirstRegister >> 8, kFirstRegister & 0xFF, 0, kRegisters, 0, 0, 0, 0},
                     5 + 2 * kRegisters,
                     8};

int query(State& s, const upscommon::PortIo& io, void* fd, int id, upscommon::Cycle& out)
{
    out.value(Data_bms_send_flag, s.failed ? 0.0f : 1.0f);
    uint8_t buf[upscommon::kReplyBufSize] = {};
    const int size = upscommon::fillRequest(packCmd, id, buf, sizeof buf);
    int got = 0;
    if (size > 0 && io.write(fd, buf, size) == size) {
        std::memset(buf, 0, sizeof buf);
        got = upscommon::readStationReply(io, fd, buf, sizeof buf, packCmd.recvsize);
    }
    // Exact length, no exception, CRC right, and from this pack.
    if (got != packCmd.recvsize || !upscommon::replyValid(buf, got, packCmd.recvsize) ||
        buf[0] != id) {
        s.failed = true;
        return 0;
    }
    s.failed = false;
    Reports reports;
    decodeReply(buf, got, reports);
    out.add(reports);
    if (io.pauseMs) io.pauseMs(kPauseMs);
    return 0;
}

int control(const upscommon::PortIo& io, void* fd, int id, const char* cmdStr)
{
    const int k = upscommon::commandNumber(cmdStr);
    std::vector<std::string> tokens;
    if (k < 0 || k >= kCommands || !upscommon::splitTokens(cmdStr, 2, tokens) || tokens.size() < 2)
        return 0;
    char* end = nullptr;
    const long v = std::strtol(tokens[1].c_str(), &end, 10);
    if (tokens[1].empty() || *end != '\0' || v < -32768 || v > 65535) return 0;
    char frame[8];
    mod_Set_SetBuf(frame, id, kCommandBase + k, static_cast<int>(v & 0xFFFF));
    return upscommon::controlSendFrame(io, fd, id, k, reinterpret_cast<uint8_t*>(frame), 8);
}

} // namespace batpack_y
