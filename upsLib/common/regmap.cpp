/*
 * regmap.cpp - the register-map drivers' shared reports, alarm rows, texts,
 * control dispatch and table accessors (see regmap.hpp).
 */
#include "regmap.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace upscommon::regmap
{

bool holdsBits(int size, int bits)
{
    return size >= 5 && (size - 5) * 8 >= bits;
}

void value(Reports& out, int sig, float v)
{
    out.push_back({sig, v, ReportKind::Value});
}

void flag(Reports& out, int sig, float v)
{
    out.push_back({sig, v, ReportKind::Flag});
}

void sumRow(Reports& out, int sig, float v)
{
    out.push_back({sig, v, ReportKind::Sum});
}

void spans(const Registers& r, std::initializer_list<Span> list, Reports& out)
{
    for (const Span& sp : list) {
        if (!r.holds(sp.lastReg)) continue;
        for (int reg = sp.firstReg; reg <= sp.lastReg; ++reg) {
            const float raw = sp.isSigned ? static_cast<float>(r.s(reg)) : r.u(reg);
            value(out, sp.firstSig + reg - sp.firstReg, raw * sp.factor);
        }
    }
}

int evalRow(const Bits& b, bool sum, std::initializer_list<BitRange> bits)
{
    int set = 0;
    for (const BitRange& r : bits)
        for (int i = r.from; i <= r.to; ++i)
            set += b[i];
    return sum ? set : (set > 0 ? 1 : 0);
}

void evalRows(const Bits& b, std::initializer_list<AlarmRow> rows, Reports& out)
{
    for (const AlarmRow& row : rows) {
        const int v = evalRow(b, row.sum, row.bits);
        if (row.sum)
            sumRow(out, row.sig, v);
        else
            flag(out, row.sig, v);
    }
}

void textLowFirst(const uint8_t* bytes, int len, int base, Reports& out)
{
    for (int k = 0; k < len; ++k)
        value(out, base + (k ^ 1), bytes[k]);
}

namespace
{
constexpr int kRawSend = 50;
constexpr int kSuspend = 54;
constexpr int kResume = 55;
} // namespace

int dispatchControl(const PortIo& io, void* fd, const char* cmdStr, int* exitFlag,
                    const CommandHandler& handle, int maxTokens)
{
    if (!cmdStr) return 0;
    printf("Control\n");
    printf("pCmdStr is %s\n", cmdStr);
    const int command = commandNumber(cmdStr);
    printf("cmdid %d\n", command);
    if (command == kRawSend) return controlSendData(io, fd, cmdStr);
    if (exitFlag && (command == kSuspend || command == kResume)) {
        *exitFlag = command == kSuspend ? 1 : 0;
        return 0;
    }
    printf("Control_Send_Cmd\n");
    printf("pCmdStr is %s\n", cmdStr);
    Tokens tokens;
    if (!splitTokens(cmdStr, maxTokens, tokens)) return 0;
    for (size_t i = 0; i < tokens.size(); ++i)
        printf("argv%d=%s\n", static_cast<int>(i), tokens[i].c_str());
    return handle ? handle(command, tokens) : 0;
}

bool argument(const Tokens& tokens, int k, long lo, long hi, int& out)
{
    if (k <= 0 || k >= static_cast<int>(tokens.size())) return false;
    const std::string& t = tokens[static_cast<size_t>(k)];
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(t.c_str(), &end, 10);
    if (end == t.c_str() || errno == ERANGE) return false;
    while (*end == ' ')
        ++end;
    if (*end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int>(v);
    return true;
}

int sendWrite(const PortIo& io, void* fd, int id, int cmdId, int func, int reg, int value)
{
    char frame[kControlFrameSize] = {};
    buildCmd(frame, id, func, reg, value & 0xFFFF);
    return controlSendFrame(io, fd, id, cmdId, reinterpret_cast<uint8_t*>(frame), 8);
}

int tableCmdSize(std::span<const cmd> list, int id, int type)
{
    if (type != 0 || id < 0 || id >= static_cast<int>(list.size())) return 0;
    return list[static_cast<size_t>(id)].cmdSize;
}

int tableRecvSize(std::span<const cmd> list, int id, int type)
{
    if (type != 0 || id < 0 || id >= static_cast<int>(list.size())) return 0;
    return list[static_cast<size_t>(id)].recvsize;
}

int tableGetCmd(std::span<const cmd> list, unsigned cmdId, int devId, char* data)
{
    const unsigned last = static_cast<unsigned>(list.size()) - 1;
    if (list.empty() || cmdId > last) {
        printf("[%s]    cmdId to big! max=%d", "getCmd", static_cast<int>(last));
        return 0;
    }
    if (!data) return 0;
    const cmd& c = list[cmdId];
    fillRequest(c, devId, reinterpret_cast<uint8_t*>(data), c.cmdSize);
    return c.recvsize;
}

} // namespace upscommon::regmap
