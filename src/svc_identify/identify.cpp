/*
 * identify.cpp - one identification run and its three probes (see
 * identify.hpp).
 */
#include "identify.hpp"

#include "ascii.hpp"
#include "common.h"
#include "signals.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace identify
{

namespace
{

constexpr int kSwitchSettleMs = 2000;
constexpr int kStepMs = 1000;
// The driver takes "54" between two of its cycles; a text UPS's cycle lasts
// several seconds.
constexpr int kDriverStillMs = 15000;

constexpr uint8_t kQ1[] = {'Q', '1', '\r'};
constexpr uint8_t kG1[] = {'G', '1', '\r'};
constexpr uint8_t kAltupsProbe[] = {'^', 'P', '0', '0', '3', 'M', 'O', 'D'};
constexpr int kQ1Reply = 47;
constexpr int kG1Reply = 41;
constexpr int kAltupsReply = 69;
constexpr int kModbusReply = 13;
constexpr int kModelRegister = 0x8000;
constexpr int kModelRegisters = 4;
constexpr int kFirstAddress = 1;
constexpr int kLastAddress = 5;

// Settings and the defaults start-up reads them with.
constexpr const char* kAddrKey = "ups_addr";
constexpr const char* kBaudKey = "ups_baudRate";
constexpr const char* kTypeKey = "ups_type";
constexpr int kAddrDefault = 1;
constexpr int kBaudDefault = 2400;
constexpr int kTypeDefault = 0;

bool isDigit(uint8_t c)
{
    return c >= '0' && c <= '9';
}

} // namespace

bool checkQ1(const uint8_t* data, int len)
{
    return data && len == kQ1Reply && data[0] == '(' && data[len - 1] == '\r';
}

// The three-phase group line starts with "!"; some firmware starts every
// line with "(". Either way its blanks must stand where the three-phase
// driver looks for them, or that driver could not read it.
bool checkG1(const uint8_t* data, int len)
{
    if (!data || len != kG1Reply || data[len - 1] != '\r') return false;
    if (data[0] != '!' && data[0] != '(') return false;
    return upscommon::ascii::Record(data, len, kG1Reply).blanks({4, 13, 25, 35});
}

bool checkAltups(const uint8_t* data, int len)
{
    if (!data || len < 5 || data[0] != '^') return false;
    if (data[1] != 'D' && data[1] != '1' && data[1] != '*') return false;
    return isDigit(data[2]) && isDigit(data[3]) && isDigit(data[4]);
}

int upsVersion(const uint8_t* data)
{
    auto reg = [&](int k) { return data[3 + 2 * k] << 8 | data[4 + 2 * k]; };
    return 100 * reg(1) + 10 * reg(2) + reg(3);
}

int protocolOfModel(int code)
{
    if (code == 222 || code == 297) return kRegUpsA222;
    if (code == 251) return kRegUpsB;
    return kRegUpsA;
}

Identifier::Identifier(card::Runtime& rt, Line& line, Sleep sleep, std::function<void()> reboot)
    : rt_(rt), line_(line), sleep_(std::move(sleep)), reboot_(std::move(reboot))
{
}

void Identifier::load()
{
    addr_ = rt_.integer(kAddrKey, kAddrDefault);
    baud_ = rt_.integer(kBaudKey, kBaudDefault);
    protocol_ = rt_.integer(kTypeKey, kTypeDefault);
    result_ = kNone;
}

void Identifier::progress(float v)
{
    rt_.setValue(card::kUps, Data_auto_identify_Progress, v);
}

bool Identifier::pause(int ms)
{
    if (stopping_) return false;
    if (sleep_ && !sleep_(ms)) stopping_ = true;
    return !stopping_;
}

bool Identifier::setPortBaud(int index)
{
    if (index < 0 || index >= static_cast<int>(std::size(kRates)) || !line_.present()) return false;
    baud_ = kRates[index];
    line_.setBaud(baud_);
    rt_.saveInt(kBaudKey, baud_);
    return pause(kSwitchSettleMs);
}

int Identifier::send(const uint8_t* req, int len)
{
    return line_.write(req, len) >= len ? len : 0;
}

int Identifier::receive(const uint8_t* req, int reqLen, uint8_t* buf, int expected)
{
    std::memset(buf, 0, kBufferSize);
    int got = std::max(0, std::min(line_.read(buf, kBufferSize), kBufferSize));
    if (got > 0 && got < expected && got < kBufferSize)
        got += std::max(0, std::min(line_.read(buf + got, kBufferSize - got), kBufferSize - got));
    // A line that echoes hands the request back before the answer.
    if (got >= reqLen && std::memcmp(buf, req, reqLen) == 0) {
        std::memmove(buf, buf + reqLen, got - reqLen);
        got -= reqLen;
        std::memset(buf + got, 0, reqLen);
        if (got == 0) got = std::max(0, std::min(line_.read(buf, kBufferSize), kBufferSize));
    }
    return got;
}

int Identifier::kyIdentify()
{
    uint8_t buf[kBufferSize];
    int r = kNothing;
    for (int i = 0; i < static_cast<int>(std::size(kRates)); ++i) {
        progress(10.0f * (i + 1));
        if (!setPortBaud(i)) return kNone;
        if (!send(kQ1, sizeof kQ1)) {
            r = kShortWrite;
            continue;
        }
        const int got = receive(kQ1, sizeof kQ1, buf, kQ1Reply);
        if (got <= 0) {
            r = kNothing;
            continue;
        }
        if (!checkQ1(buf, got)) {
            r = kUnknown;
            continue;
        }
        protocol_ = kTxtUps1;
        r = kFound;
        if (send(kG1, sizeof kG1)) {
            const int g1 = receive(kG1, sizeof kG1, buf, kG1Reply);
            if (checkG1(buf, g1)) protocol_ = kTxtUps3;
        }
        break;
    }
    return r;
}

int Identifier::modbusIdentify()
{
    uint8_t buf[kBufferSize];
    int r = kNothing;
    for (int i = 0; i < static_cast<int>(std::size(kRates)); ++i) {
        progress(40.0f + 10.0f * i);
        if (!setPortBaud(i)) return kNone;
        int code = 0, found = 0;
        for (int a = kFirstAddress; a <= kLastAddress && !found; ++a) {
            uint8_t req[8];
            buildCmd(reinterpret_cast<char*>(req), a, 4, kModelRegister, kModelRegisters);
            if (!send(req, sizeof req)) {
                r = kShortWrite;
                continue;
            }
            const int got = receive(req, sizeof req, buf, kModbusReply);
            if (got <= 0) {
                r = kNothing;
                continue;
            }
            if (buf[0] != a || !upscommon::replyValid(buf, got, kModbusReply)) {
                r = kUnknown;
                continue;
            }
            found = a;
            code = upsVersion(buf);
        }
        if (found && code > 0) {
            addr_ = found;
            protocol_ = protocolOfModel(code);
            rt_.log("identify: Modbus UPS at address " + std::to_string(found) + ", model " +
                    std::to_string(code));
            return kFound;
        }
        if (found) r = kUnknown; // a UPS that answers with no model code
    }
    return r;
}

int Identifier::altupsIdentify()
{
    uint8_t buf[kBufferSize];
    int r = kNothing;
    for (int i = 0; i < static_cast<int>(std::size(kRates)); ++i) {
        progress(70.0f + 10.0f * i);
        if (!setPortBaud(i)) return kNone;
        if (!send(kAltupsProbe, sizeof kAltupsProbe)) {
            r = kShortWrite;
            continue;
        }
        const int got = receive(kAltupsProbe, sizeof kAltupsProbe, buf, kAltupsReply);
        if (got <= 0) {
            r = kNothing;
            continue;
        }
        if (!checkAltups(buf, got)) {
            r = kUnknown;
            continue;
        }
        protocol_ = kAltUps;
        return kFound;
    }
    return r;
}

int Identifier::autoIdentify()
{
    if (!line_.present()) return kShortWrite;
    int r = kyIdentify();
    if (r != kFound && !stopping_) r = modbusIdentify();
    if (r != kFound && !stopping_) r = altupsIdentify();
    if (stopping_) return kNone;
    if (r == kFound) progress(90);
    return r;
}

int Identifier::run()
{
    stopping_ = false;
    const int oldAddr = rt_.integer(kAddrKey, kAddrDefault);
    const int oldBaud = rt_.integer(kBaudKey, kBaudDefault);
    const int oldType = rt_.integer(kTypeKey, kTypeDefault);
    addr_ = oldAddr, baud_ = oldBaud, protocol_ = oldType;
    rt_.log("identify: searching the UPS line");

    rt_.post(card::channel::kCommand, card::event::kSuspendPolling);
    for (float p : {3.0f, 6.0f, 9.0f}) {
        if (!pause(kStepMs)) break;
        progress(p);
    }
    if (!stopping_ && rt_.controlWait(card::kUps, "54", kDriverStillMs) < 0)
        rt_.log("identify: the UPS driver did not stop in time");

    const int r = stopping_ ? kNone : autoIdentify();
    result_ = r;
    if (r != kFound) {
        // Nothing changes: the old settings, and the old speed on the line at
        // once so that the driver polls on as before.
        addr_ = oldAddr, baud_ = oldBaud, protocol_ = oldType;
        rt_.saveInt(kAddrKey, oldAddr);
        rt_.saveInt(kBaudKey, oldBaud);
        rt_.saveInt(kTypeKey, oldType);
        if (line_.present()) line_.setBaud(oldBaud);
    }
    rt_.post(card::channel::kCommand, card::event::kResumePolling);
    rt_.saveInt("enable_identify", 0);
    for (float p : {95.0f, 100.0f}) {
        if (!pause(kStepMs)) break;
        progress(p);
    }
    if (r != kFound) {
        rt_.log("identify: no UPS recognised (result " + std::to_string(r) + ")");
        return r;
    }
    rt_.saveInt(kAddrKey, addr_);
    rt_.saveInt(kBaudKey, baud_);
    rt_.saveInt(kTypeKey, protocol_);
    rt_.log("identify: ups_type " + std::to_string(protocol_) + ", address " +
            std::to_string(addr_) + ", " + std::to_string(baud_) + " baud");
    if (protocol_ != oldType && reboot_) {
        rt_.log("identify: a new protocol, restarting");
        reboot_();
    }
    return r;
}

} // namespace identify
