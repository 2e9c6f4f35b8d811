/*
 * control.cpp - command strings, the raw send and the acknowledged control
 * send.
 *
 * A command string is a decimal command number, optionally followed by
 * comma-separated arguments. Strings come from the web, SNMP, Modbus and SMS,
 * so every length is checked here: too many tokens are dropped, an over-long
 * token or payload refuses the command before anything reaches the line.
 */
#include "common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace upscommon
{

int commandNumber(const char* s)
{
    if (!s) return -1;
    char head[6] = {};
    for (int i = 0; i < 5 && s[i] && s[i] != ','; ++i)
        head[i] = s[i];
    // atoi reads "" and "abc" as 0, the self-test: a text without digits is no command.
    const char* p = head;
    while (*p == ' ')
        ++p;
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') return -1;
    return std::atoi(head);
}

bool splitTokens(const char* s, int maxTokens, std::vector<std::string>& out)
{
    out.clear();
    if (!s) return false;
    const char* p = s;
    while (static_cast<int>(out.size()) < maxTokens) {
        const char* comma = std::strchr(p, ',');
        const size_t len = comma ? static_cast<size_t>(comma - p) : std::strlen(p);
        if (len > static_cast<size_t>(kMaxTokenLen)) {
            printf("[%s]    argument %d too long\n", "splitTokens", static_cast<int>(out.size()));
            return false;
        }
        out.emplace_back(p, len);
        if (!comma) break;
        p = comma + 1;
    }
    return true;
}

namespace
{

int nibble(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

bool parseRawSend(const char* s, std::vector<uint8_t>& out, int maxLen)
{
    out.clear();
    if (!s) return false;
    const char* c1 = std::strchr(s, ',');
    if (!c1) return false;
    const char* c2 = std::strchr(c1 + 1, ',');
    if (!c2 || c2 == c1 + 1) return false; // no data_type token
    const std::string typeText(c1 + 1, c2);
    const int dataType = std::atoi(typeText.c_str());
    printf("data_type is %d\n", dataType);
    const char* payload = c2 + 1;
    if (*payload == '\0') return false;
    if (dataType == 0) {
        const size_t n = std::strlen(payload);
        if (n > static_cast<size_t>(maxLen)) return false;
        out.assign(payload, payload + n);
        return true;
    }
    int high = -1;
    for (const char* p = payload; *p; ++p) {
        if (*p == ' ') continue;
        const int v = nibble(*p);
        if (v < 0) return false;
        if (high < 0) {
            high = v;
            continue;
        }
        if (static_cast<int>(out.size()) >= maxLen) return false;
        out.push_back(static_cast<uint8_t>(high << 4 | v));
        high = -1;
    }
    return !out.empty();
}

int controlSendData(const PortIo& io, void* fd, const char* cmdStr)
{
    printf("Control_Send_Data\n");
    printf("pCmdStr is %s\n", cmdStr ? cmdStr : "");
    std::vector<uint8_t> bytes;
    if (!parseRawSend(cmdStr, bytes)) return 0;
    const int n = static_cast<int>(bytes.size());
    return io.write(fd, bytes.data(), n) == n ? 1 : 0;
}

int controlSendFrame(const PortIo& io, void* fd, int id, int cmdId, const uint8_t* frame, int len)
{
    for (int attempt = 0; attempt < kControlAttempts; ++attempt) {
        const int written = io.write(fd, frame, len);
        // A partial frame is never an accepted command, whatever its length.
        if (written <= 7 || written != len) {
            printf("[%s]    send error!devId=%d,cmdId=%d", "Control_Send_Cmd", id, cmdId);
            continue;
        }
        uint8_t reply[kControlReplySize] = {};
        int got = io.read(fd, reply, sizeof reply);
        if (got > kControlReplySize) got = kControlReplySize;
        if (got <= 0) {
            printf("[%s]    cmd exec error!devId=%d,cmdId=%d", "Control_Send_Cmd", id, cmdId);
            continue;
        }
        if (checkModbufCRC(reinterpret_cast<char*>(reply), got) != 0) {
            printf("[%s]    crc error!\n", "Control_Send_Cmd");
            for (int i = 0; i < got; ++i)
                printf("%x ", reply[i]);
            continue;
        }
        if (reply[1] >= 129 && reply[1] <= 159) {
            printf("[%s]    addr=%d,cmd exec error code=%d!\n", "Control_Send_Cmd", reply[0],
                   got > 2 ? reply[2] : 0);
            continue;
        }
        return 1;
    }
    return 0;
}

} // namespace upscommon
