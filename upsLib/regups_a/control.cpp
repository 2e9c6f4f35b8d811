/*
 * control.cpp - command strings of regups_a.
 *
 * Every operation is one Modbus write: a single register of the 0x8000 block,
 * or one of two parameter blocks at 0xFF00. The frame is acknowledged by the
 * UPS or retried (three attempts in all). Commands 54 and 55 only switch
 * polling off and on, so that another user can have the line.
 */
#include "regmap.hpp"
#include "regups_a.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace regups_a
{

namespace
{

constexpr int kBlockRegister = 0xFF00;

// Single-register operations: command number -> (control table index, value).
struct Write {
    int command;
    int entry;
    int value;
};
constexpr Write kWrites[] = {
    {0, 6, 1},  // short self-test
    {2, 6, 2},  // discharge test to low battery
    {3, 7, 1},  // cancel test
    {4, 8, 1},  // shutdown
    {7, 8, 3},  // restart
    {9, 8, 2},  // shutdown, switch to bypass
    {10, 3, 1}, // bypass manually
    {11, 4, 1}, // inverter manually
    {12, 0, 1}, // clear fault
    {13, 1, 1}, // clear history record
    {14, 5, 1}, // clear battery data
    {17, 2, 0}, // alarm sound on
    {18, 2, 1}, // alarm sound off
};
constexpr int kAlarmToggle = 8;
constexpr int kAlarmEntry = 2;

// Scale of each parameter-block argument: 0 integer, else decimal times scale.
constexpr int kBlockA[] = {10, 10, 0, 100, 100, 10, 10, 0, 0};
constexpr int kBlockB[] = {0, 10, 10, 10, 10, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0};

bool isNumber(const std::string& t, bool fraction)
{
    if (t.empty()) return false;
    char* end = nullptr;
    if (fraction)
        std::strtod(t.c_str(), &end);
    else
        std::strtol(t.c_str(), &end, 10);
    return end != t.c_str();
}

int sendSingle(const upscommon::PortIo& io, void* fd, int id, int entry, int value)
{
    const controlCmd& c = controlList[entry];
    return upscommon::regmap::sendWrite(io, fd, id, entry, c.func, c.addr, value * c.factor);
}

} // namespace

bool parameterBlock(int command, const std::vector<std::string>& tokens, std::vector<int>& regs)
{
    regs.clear();
    const int* scale = command == 51 ? kBlockA : kBlockB;
    const int count = static_cast<int>(command == 51 ? std::size(kBlockA) : std::size(kBlockB));
    if (static_cast<int>(tokens.size()) < count + 1) return false;
    for (int i = 0; i < count; ++i) {
        const std::string& t = tokens[i + 1];
        long v;
        if (scale[i] == 0) {
            if (!isNumber(t, false)) return false;
            v = std::strtol(t.c_str(), nullptr, 10);
        } else {
            if (!isNumber(t, true)) return false;
            // Truncated toward zero; the small bias keeps 2.3 x 10 at 23.
            const double x = std::strtod(t.c_str(), nullptr) * scale[i];
            if (!std::isfinite(x) || std::fabs(x) > 1e6) return false;
            v = static_cast<long>(x + (x >= 0 ? 1e-6 : -1e-6));
        }
        if (v < -32768 || v > 65535) return false;
        regs.push_back(static_cast<int>(v & 0xFFFF));
    }
    return true;
}

namespace
{

// A command string past the shared part (raw send, suspend, resume, tokens).
int runCommand(State& s, const upscommon::PortIo& io, void* fd, int id, int command,
               const std::vector<std::string>& tokens)
{
    if (command == kAlarmToggle) {
        const int ok = sendSingle(io, fd, id, kAlarmEntry, s.alarm_state);
        // The toggle follows the UPS: a write it never took is sent again next time.
        if (ok) s.alarm_state ^= 1;
        return ok;
    }
    for (const Write& w : kWrites)
        if (w.command == command) return sendSingle(io, fd, id, w.entry, w.value);

    if (command == 51 || command == 52) {
        std::vector<int> regs;
        if (!parameterBlock(command, tokens, regs)) {
            printf("[%s]    bad parameter block %d\n", "Control_Send_Cmd", command);
            return 0;
        }
        char frame[upscommon::kControlFrameSize] = {};
        const int len = buildCmdOther(frame, id, 16, kBlockRegister, static_cast<int>(regs.size()),
                                      regs.data());
        if (len <= 0) return 0;
        return upscommon::controlSendFrame(io, fd, id, command, reinterpret_cast<uint8_t*>(frame),
                                           len);
    }
    return 0;
}

} // namespace

int control(State& s, const upscommon::PortIo& io, void* fd, int id, const char* cmdStr)
{
    return upscommon::regmap::dispatchControl(
        io, fd, cmdStr, &s.exit_upslib_flag,
        [&](int command, const upscommon::regmap::Tokens& tokens) {
            return runCommand(s, io, fd, id, command, tokens);
        });
}

} // namespace regups_a
