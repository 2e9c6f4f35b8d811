/*
 * commands.cpp - the sensor modules' requests, the poll cycle and the
 * configuration commands.
 *
 * For each configured module the cycle tries the three alternatives in order,
 * each after a pause of its own, and stops at the first valid reply. The line
 * is free during the pauses: the runtime lets the packs and the serial slave
 * on the same line use it meanwhile.
 */
#include "envsensor.h"
#include "rs485.hpp"
#include "signals.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace envsensor
{

namespace
{

constexpr cmd request(const char* name, int func, int start, int count)
{
    return cmd{{name[0], name[1], name[2], 0},
               {1, static_cast<unsigned char>(func), static_cast<unsigned char>(start >> 8),
                static_cast<unsigned char>(start & 0xFF), static_cast<unsigned char>(count >> 8),
                static_cast<unsigned char>(count & 0xFF), 0, 0, 0, 0},
               5 + 2 * count,
               8};
}

constexpr int kLostBase =
    Alarm_TH1_CommunicationsLost / 10000 * 1000 + Alarm_TH1_CommunicationsLost % 10000;
constexpr int kCommandCount = kMaxModules; // 1..4 set module_id

// A strict decimal argument: digits only, with an optional sign.
bool decimal(const std::string& t, int& out)
{
    if (t.empty() || t.size() > 9) return false;
    char* end = nullptr;
    const long v = std::strtol(t.c_str(), &end, 10);
    if (*end != '\0' || end == t.c_str()) return false;
    out = static_cast<int>(v);
    return true;
}

} // namespace

const cmd thsList[kAlternatives] = {
    request("100", 4, 0, 2), // temperature, humidity: signed 16-bit
    request("101", 3, 0, 4), // the same as two 32-bit values, high register first
    request("102", 3, 2, 2), // the same as "100" from holding register 2
};

int query(const State& s, const upscommon::PortIo& io, void* fd, upscommon::Cycle& out)
{
    const int modules = s.module_num < 0 ? 0 : std::min(s.module_num, kMaxModules);
    uint8_t buf[upscommon::kReplyBufSize];
    Reports reports;
    for (int i = 0; i < modules; ++i) {
        const int addr = s.module_id[i];
        bool answered = false;
        for (int k = 0; k < kAlternatives && !answered; ++k) {
            if (io.pauseMs) io.pauseMs(kPauseMs);
            const cmd& c = thsList[k];
            std::memset(buf, 0, sizeof buf);
            const int size = upscommon::fillRequest(c, addr, buf, sizeof buf);
            if (size <= 0 || io.write(fd, buf, size) != size) {
                printf("[%s]   04 send cmd error!,devId=%d,cmdId=%d\n", "Query", addr, k);
                continue;
            }
            std::memset(buf, 0, sizeof buf);
            const int got = upscommon::readStationReply(io, fd, buf, sizeof buf, c.recvsize);
            if (got <= 0) {
                printf("[%s] 03 read fail!devId=%d,cmdId=%d\n", "Query", addr, k);
                continue;
            }
            // A reply from another module (a late answer) is no answer of this one.
            if (!upscommon::replyValid(buf, got, c.recvsize) || buf[0] != addr) {
                printf("[%s] 03 recv fail!devId=%d,cmdId=%d\n", "Query", addr, k);
                continue;
            }
            reports.clear();
            decodeReply(i, k, buf, c.recvsize, reports);
            out.add(reports);
            answered = true;
        }
        out.value(kLostBase + i, answered ? 0.0f : 1.0f);
    }
    return 1;
}

int control(State& s, const char* cmdStr)
{
    std::vector<std::string> tokens;
    const int number = upscommon::commandNumber(cmdStr);
    if (number < 0 || number > kCommandCount) return 0;
    int arg = 0;
    if (!upscommon::splitTokens(cmdStr, 2, tokens) || tokens.size() < 2 || !decimal(tokens[1], arg))
        return 0;
    if (number == 0) {
        // More modules than the driver has slots for would read past them.
        if (arg >= 0 && arg <= kMaxModules) s.module_num = arg;
        return 0;
    }
    // A bus address: 1..247 (0 is broadcast, above 247 reserved).
    if (arg >= 1 && arg <= 247) s.module_id[number - 1] = arg;
    return 0;
}

} // namespace envsensor
