/*
 * ascii.cpp - number fields, reply records, token replies, the poll cycle
 * and the control texts of the text-protocol UPS family (see ascii.hpp).
 */
#include "ascii.hpp"

#include "signals.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace upscommon::ascii
{

namespace
{

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Joined digits as a double, so that 20 digits cannot overflow.
float scaled(double digits, float factor)
{
    return static_cast<float>(digits * factor);
}

} // namespace

float number(const char* s, int len, float factor)
{
    if (!s || len <= 0 || len > kMaxNumberField) return 0;
    double v = 0;
    for (int i = 0; i < len; ++i) {
        const char c = s[i];
        if (isDigit(c))
            v = v * 10 + (c - '0');
        else if (c != '.' && c != ' ')
            return 0;
    }
    return scaled(v, factor);
}

float leadingNumber(const char* s, int len, float factor)
{
    if (!s || len <= 0 || len > kMaxNumberField) return 0;
    double v = 0;
    bool seen = false;
    for (int i = 0; i < len; ++i) {
        const char c = s[i];
        if (isDigit(c)) {
            v = v * 10 + (c - '0');
            seen = true;
        } else if (seen || (c != '.' && c != ' ')) {
            break;
        }
    }
    return seen ? scaled(v, factor) : 0;
}

Record::Record(const uint8_t* reply, int got, int size) : bytes_(std::max(size, 0), '\0')
{
    const int n = std::clamp(got, 0, size);
    if (reply && n > 0) std::memcpy(bytes_.data(), reply, n);
}

bool Record::blanks(std::initializer_list<int> positions) const
{
    return std::all_of(positions.begin(), positions.end(), [&](int p) { return at(p) == ' '; });
}

std::string_view Record::text(int first, int last) const
{
    if (first < 0 || last < first || last >= size()) return {};
    return std::string_view(bytes_).substr(first, last - first + 1);
}

float Record::number(int first, int last, float factor) const
{
    const std::string_view t = text(first, last);
    return ascii::number(t.data(), static_cast<int>(t.size()), factor);
}

float Record::leadingNumber(int first, int last, float factor) const
{
    const std::string_view t = text(first, last);
    return ascii::leadingNumber(t.data(), static_cast<int>(t.size()), factor);
}

Tokens tokens(const uint8_t* reply, int size, int maxLen)
{
    Tokens t;
    if (!reply || size <= 0) return t;
    const std::string_view s(reinterpret_cast<const char*>(reply), static_cast<size_t>(size));
    size_t i = s[0] == '(' ? 1 : 0;
    while (i < s.size()) {
        size_t end = i;
        while (end < s.size() && static_cast<unsigned char>(s[end]) > ' ')
            ++end;
        if (end == i || static_cast<int>(end - i) > maxLen) return t;
        t.fields.push_back(s.substr(i, end - i));
        if (end == s.size() || s[end] == '\r') {
            t.blankAfter.push_back(false);
            t.clean = true;
            return t;
        }
        if (s[end] != ' ') {
            t.blankAfter.push_back(false);
            return t;
        }
        t.blankAfter.push_back(true);
        i = end + 1;
    }
    t.clean = true; // ended by a blank
    return t;
}

void textSignals(Reports& out, int firstSig, std::string_view text)
{
    for (size_t k = 0; k < text.size(); ++k)
        value(out, firstSig + static_cast<int>(k), static_cast<unsigned char>(text[k]));
}

int pollCycle(const PortIo& io, void* fd, int id, std::span<const Command> list,
              const int* exitFlag, const CycleRules& rules, Cycle& out)
{
    uint8_t buf[kReplyBufSize];
    Reports reports;
    int decoded = 0;
    for (int i = 0; i < static_cast<int>(list.size()); ++i) {
        const Command& q = list[i];
        if (exitFlag && *exitFlag == 1) return 0;
        if (rules.skip && rules.skip(i)) continue;
        const int len = textSize(q);
        if (io.write(fd, q.text, len) < len) {
            printf("[%s]    send cmd error!,devId=%d,cmdId=%d\n", "Query", id, i);
            return 0;
        }
        if (io.pauseMs) io.pauseMs(q.waitMs);
        std::memset(buf, 0, sizeof buf);
        int got = readReply(io, fd, buf, sizeof buf, q.recvsize);
        // A line that echoes hands back the command before the answer.
        if (got >= len && std::memcmp(buf, q.text, len) == 0) {
            std::memmove(buf, buf + len, got - len);
            got -= len;
            if (got == 0) got = readReply(io, fd, buf, sizeof buf, q.recvsize);
        }
        if (got <= 0) {
            printf("[%s]    read fail!devId=%d,cmdId=%d\n", "Query", id, i);
            if (rules.silent) rules.silent(i);
            continue;
        }
        reports.clear();
        try {
            if (rules.decode && rules.decode(i, buf, got, reports)) {
                ++decoded;
                out.add(reports);
            }
        } catch (...) {
            printf("[%s]  decode fail!devId=%d,cmdId=%d\n", "Query", id, i);
        }
        if (io.pauseMs) io.pauseMs(kAnswerPauseMs);
    }
    return decoded > 0 ? 1 : 0;
}

float tokenNumber(const Tokens& t, int n, float factor)
{
    const std::string_view f = t.fields[n - 1];
    return number(f.data(), static_cast<int>(f.size()), factor);
}

bool kytoModel(int& typeModel, const Record& r, Reports& out)
{
    if (r.text(0, 3) != "TYPE") return false;
    typeModel = static_cast<int>(r.number(4, 6));
    value(out, drv(Data_UPSProductTypeIdent), static_cast<float>(typeModel));
    return true;
}

bool kytoIdentity(const Record& r, Reports& out)
{
    if (!r.blanks({16, 27})) return false;
    textSignals(out, drv(Data_IdentManufacturer), r.text(1, 15));
    textSignals(out, drv(Data_upsIdentModel), r.text(17, 26));
    textSignals(out, drv(Data_UPSSoftwareVersion), r.text(28, 37));
    return true;
}

int kytoQtSource(int code, float outVol)
{
    switch (code) {
    case 0:
    case 1:
    case 9:
        return 2;
    case 2:
    case 8:
        return 4;
    case 6:
        return outVol < 50 ? 2 : 4;
    case 3:
    case 7:
        return 3;
    case 4:
    case 5:
        return 5;
    default:
        return 1;
    }
}

bool kytoSkipped(const KytoCommands& c, int typeModel, int index)
{
    if (index == c.model) return typeModel != 0;
    if (index == c.qt) return typeModel == 0;
    return index == c.ns;
}

namespace
{
// A QT answer this short that does not end the line was cut off.
constexpr int kTornQt = 199;
} // namespace

int kytoCycle(const PortIo& io, void* fd, int id, std::span<const Command> list, int qtIndex,
              KytoLearnt learnt, bool forgetQt, const std::function<bool(int i)>& skip,
              const std::function<bool(int i, const uint8_t* reply, int got, Reports& out)>& decode,
              Cycle& out)
{
    CycleRules rules;
    rules.skip = skip;
    rules.silent = [&](int i) {
        if (i == qtIndex) learnt.isExistQt = 0;
    };
    rules.decode = [&](int i, const uint8_t* reply, int got, Reports& reports) {
        if (i == qtIndex && got <= kTornQt && reply[got - 1] != '\r') {
            learnt.isExistQt = 0;
            return false;
        }
        return decode(i, reply, got, reports);
    };
    const int answered = pollCycle(io, fd, id, list, &learnt.exitFlag, rules, out);
    // A UPS that said nothing is asked for its model again.
    if (!answered && learnt.exitFlag != 1) {
        learnt.typeModel = 0;
        if (forgetQt) learnt.isExistQt = 0;
    }
    return answered;
}

namespace
{

// A whole decimal argument within [lo, hi]; false when absent or not one.
bool argument(const std::vector<std::string>& tokens, size_t k, int lo, int hi, int& v)
{
    if (k >= tokens.size() || tokens[k].empty()) return false;
    const char* s = tokens[k].c_str();
    char* end = nullptr;
    const long x = std::strtol(s, &end, 10);
    while (end && *end == ' ')
        ++end;
    if (end == s || (end && *end) || x < lo || x > hi) return false;
    v = static_cast<int>(x);
    return true;
}

constexpr const char* kFixedTexts[] = {
    "T\r",        // 0 short self-test
    nullptr,      // 1 test for a1 minutes
    "TL\r",       // 2 test to low battery
    "CT\r",       // 3 cancel test
    "S.2\r",      // 4 shutdown
    nullptr,      // 5 standby for a2 minutes
    "C\r",        // 6 wake up
    "S.2R0001\r", // 7 restart
    "Q\r",        // 8 beeper on/off
};

constexpr int kShutdownAfterDelay = 23;
constexpr int kShutdownAndRestart = 24;
constexpr int kRawSend = 50;
constexpr int kSuspend = 54;
constexpr int kResume = 55;

} // namespace

std::string kytoControlText(int command, const std::vector<std::string>& tokens)
{
    char text[kCommandBytes + 8] = {};
    int a1 = 0, a2 = 0, a5 = 0;
    switch (command) {
    case 1:
        if (!argument(tokens, 1, 0, 99, a1)) return {};
        std::snprintf(text, sizeof text, "T%02d\r", a1);
        return text;
    case 5:
        if (!argument(tokens, 2, 0, 9999, a2)) return {};
        std::snprintf(text, sizeof text, "S.2R%04d\r", a2);
        return text;
    case kShutdownAfterDelay:
    case kShutdownAndRestart: {
        // Whole minutes from one minute on ("S02"), else tenths ("S.5" = 30 s).
        if (!argument(tokens, 5, 0, 99 * 60 + 59, a5)) return {};
        if (command == kShutdownAndRestart && !argument(tokens, 2, 0, 9999, a2)) return {};
        const bool minutes = a5 >= 60;
        const int delay = minutes ? a5 / 60 : a5 / 6;
        if (command == kShutdownAfterDelay)
            std::snprintf(text, sizeof text, minutes ? "S%02d\r" : "S.%d\r", delay);
        else
            std::snprintf(text, sizeof text, minutes ? "S%02dR%04d\r" : "S.%dR%04d\r", delay, a2);
        return text;
    }
    default:
        if (command >= 0 && command < static_cast<int>(std::size(kFixedTexts)) &&
            kFixedTexts[command])
            return kFixedTexts[command];
        return {};
    }
}

int sendText(const PortIo& io, void* fd, int id, int cmdId, std::string_view text)
{
    const int len = static_cast<int>(text.size());
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
        if (io.write(fd, text.data(), len) >= len) {
            if (io.pauseMs) io.pauseMs(kAnswerPauseMs);
            return 1;
        }
        printf("[%s]    send error!devId=%d,cmdId=%d", "Control_Send_Cmd", id, cmdId);
    }
    return 0;
}

int kytoControl(const PortIo& io, void* fd, int id, const char* cmdStr, int& exitFlag)
{
    static constexpr int kAll[] = {
        0, 1, 2, 3, 4, 5, 6, 7, 8, kShutdownAfterDelay, kShutdownAndRestart};
    return kytoControl(io, fd, id, cmdStr, exitFlag, kAll);
}

int kytoControl(const PortIo& io, void* fd, int id, const char* cmdStr, int& exitFlag,
                std::span<const int> taken)
{
    if (!cmdStr) return 0;
    printf("Control\n");
    printf("pCmdStr is %s\n", cmdStr);
    const int command = commandNumber(cmdStr);
    printf("cmdid %d\n", command);
    if (command == kRawSend) return controlSendData(io, fd, cmdStr);
    if (command == kSuspend || command == kResume) {
        exitFlag = command == kSuspend ? 1 : 0;
        return 0;
    }
    printf("Control_Send_Cmd\n");
    printf("pCmdStr is %s\n", cmdStr);
    std::vector<std::string> args;
    if (!splitTokens(cmdStr, kAsciiTokens, args)) return 0;
    for (size_t i = 0; i < args.size(); ++i)
        printf("argv%d=%s\n", static_cast<int>(i), args[i].c_str());
    if (std::find(taken.begin(), taken.end(), command) == taken.end()) return 0;
    const std::string text = kytoControlText(command, args);
    if (text.empty()) return 0;
    return sendText(io, fd, id, command, text);
}

} // namespace upscommon::ascii
