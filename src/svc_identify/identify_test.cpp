// Identification runs against a scripted line that answers like a UPS at one
// speed: which protocol, address and rate each kind of UPS ends with, the
// progress a user sees, what is written back when nothing is found, and how
// echoes, noise and a stop are survived.
#include "common.h"
#include "fake_runtime.hpp"
#include "identify.hpp"
#include "signals.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace identify;
using Bytes = std::vector<uint8_t>;

namespace
{

// The runtime, keeping every progress value in order.
class Runtime : public card::FakeRuntime
{
  public:
    void setValue(int dev, int sig, float v) override
    {
        if (dev == card::kUps && sig == Data_auto_identify_Progress) progress.push_back(v);
        FakeRuntime::setValue(dev, sig, v);
    }
    std::vector<float> progress;
};

// A line whose UPS answers only at `speed` (0: never, -1: always); answer(request) gives
// the reply bytes.
class ScriptedLine : public Line
{
  public:
    bool present() override { return there; }
    int write(const void* buf, int len) override
    {
        const auto* b = static_cast<const uint8_t*>(buf);
        Bytes req(b, b + len);
        writes.push_back({baud, std::string(req.begin(), req.end())});
        if ((speed < 0 || baud == speed) && answer) {
            Bytes r = answer(req);
            if (echo && !r.empty()) r.insert(r.begin(), req.begin(), req.end());
            pending.insert(pending.end(), r.begin(), r.end());
        }
        return len;
    }
    int read(void* buf, int max) override
    {
        const int n = std::min<int>(max, static_cast<int>(pending.size()));
        std::copy(pending.begin(), pending.begin() + n, static_cast<uint8_t*>(buf));
        pending.erase(pending.begin(), pending.begin() + n);
        return n;
    }
    void setBaud(int rate) override
    {
        baud = rate;
        bauds.push_back(rate);
    }

    struct Write {
        int baud;
        std::string text;
    };
    bool there = true;
    bool echo = false;
    int baud = 2400;
    int speed = 0;
    std::function<Bytes(const Bytes&)> answer;
    std::vector<Write> writes;
    std::vector<int> bauds;
    Bytes pending;
};

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

const std::string kQ1 = "(230.5 230.5 220.0 045 50.0 2.25 25.0 00000001\r";
const std::string kG1 = "!480 100 0035 012.5 +25.0 50.0 50.0 50.0\r";

// A text UPS; g1 empty: it does not answer G1.
std::function<Bytes(const Bytes&)> textUps(std::string g1 = "")
{
    return [g1](const Bytes& req) {
        const std::string r(req.begin(), req.end());
        if (r == "Q1\r") return text(kQ1);
        if (r == "G1\r") return text(g1);
        return Bytes{};
    };
}

// A Modbus UPS at addr whose registers 0x8000-0x8003 read regs.
std::function<Bytes(const Bytes&)> modbusUps(int addr, std::vector<int> regs,
                                             bool exception = false)
{
    return [=](const Bytes& req) {
        if (req.size() != 8 || req[0] != addr || req[1] != 4) return Bytes{};
        Bytes r{static_cast<uint8_t>(addr), 4, 8};
        if (exception)
            r = {static_cast<uint8_t>(addr), 0x84, 2};
        else
            for (int v : regs) {
                r.push_back(static_cast<uint8_t>(v >> 8));
                r.push_back(static_cast<uint8_t>(v));
            }
        r.resize(r.size() + 2);
        setModbusCRC(reinterpret_cast<char*>(r.data()), static_cast<int>(r.size()));
        return r;
    };
}

struct Search {
    Runtime rt;
    ScriptedLine line;
    int reboots = 0;
    std::function<bool(int)> sleep = [](int) { return true; };
    Identifier id{rt, line, [this](int ms) { return sleep(ms); }, [this] { ++reboots; }};

    Search()
    {
        rt.set("ups_type", 0);
        rt.set("ups_addr", 1);
        rt.set("ups_baudRate", 2400);
        rt.set("enable_identify", 1);
    }
    bool sent(const std::string& t) const
    {
        for (const auto& w : line.writes)
            if (w.text == t) return true;
        return false;
    }
};

using Events = std::vector<card::FakeRuntime::Event>;

TEST(Identify, TextUpsAt4800WithoutG1IsTheSinglePhaseDriver)
{
    Search r;
    r.line.speed = 4800;
    r.line.answer = textUps();
    EXPECT_EQ(r.id.run(), kFound);
    EXPECT_EQ(r.rt.progress, (std::vector<float>{3, 6, 9, 10, 20, 90, 95, 100}));
    EXPECT_EQ(r.rt.integer("ups_type"), 0);
    EXPECT_EQ(r.rt.integer("ups_baudRate"), 4800);
    EXPECT_EQ(r.rt.integer("enable_identify"), 0);
    EXPECT_EQ(r.reboots, 0);
    EXPECT_EQ(r.line.bauds, (std::vector<int>{2400, 4800}));
    // The driver was asked to stand still, and waited for, before any probe.
    EXPECT_EQ(r.rt.events, (Events{{0, 54}, {0, 55}}));
    ASSERT_EQ(r.rt.controls.size(), 1u);
    EXPECT_EQ(r.rt.controls[0].text, "54");
    EXPECT_TRUE(r.sent("G1\r"));
}

TEST(Identify, AGroupLineMakesItThreePhaseAndRestarts)
{
    for (const std::string& g1 : {kG1, "(" + kG1.substr(1)}) {
        Search r;
        r.line.speed = 2400;
        r.line.answer = textUps(g1);
        EXPECT_EQ(r.id.run(), kFound);
        EXPECT_EQ(r.rt.integer("ups_type"), 1) << g1;
        EXPECT_EQ(r.reboots, 1);
    }
    // A G1 answer the three-phase driver could not read keeps it single-phase.
    Search r;
    r.line.speed = 2400;
    r.line.answer = textUps("!480x100 0035 012.5 +25.0 50.0 50.0 50.0\r");
    r.id.run();
    EXPECT_EQ(r.rt.integer("ups_type"), 0);
    EXPECT_EQ(r.reboots, 0);
}

TEST(Identify, ModbusUpsAtAddress3WithModel297)
{
    Search r;
    r.line.speed = 9600;
    r.line.answer = modbusUps(3, {1, 2, 9, 7});
    EXPECT_EQ(r.id.run(), kFound);
    EXPECT_EQ(r.rt.integer("ups_type"), 5);
    EXPECT_EQ(r.rt.integer("ups_addr"), 3);
    EXPECT_EQ(r.rt.integer("ups_baudRate"), 9600);
    EXPECT_EQ(r.reboots, 1);
    EXPECT_EQ(r.rt.progress, (std::vector<float>{3, 6, 9, 10, 20, 30, 40, 50, 60, 90, 95, 100}));
    EXPECT_FALSE(r.sent("^P003MOD"));
}

TEST(Identify, ModelCodesPickTheRegisterMapDriver)
{
    EXPECT_EQ(protocolOfModel(222), kRegUpsA222);
    EXPECT_EQ(protocolOfModel(251), kRegUpsB);
    EXPECT_EQ(protocolOfModel(299), kRegUpsA);
}

TEST(Identify, NoModelCodeOrAnExceptionIsNotAUps)
{
    Search zero;
    zero.line.speed = 2400;
    zero.line.answer = modbusUps(1, {1, 0, 0, 0});
    EXPECT_EQ(zero.id.run(), kNothing); // the altups probe ran last and heard nothing
    EXPECT_TRUE(zero.sent("^P003MOD"));
    EXPECT_EQ(zero.rt.integer("ups_type"), 0);

    Search exception;
    exception.line.speed = -1;
    exception.line.answer = modbusUps(5, {}, true);
    EXPECT_EQ(exception.id.modbusIdentify(), kUnknown);
}

TEST(Identify, AltupsAnswer)
{
    Search r;
    r.line.speed = 4800;
    r.line.answer = [](const Bytes& req) {
        return std::string(req.begin(), req.end()) == "^P003MOD"
                   ? text("^D012" + std::string(64, '0'))
                   : Bytes{};
    };
    EXPECT_EQ(r.id.run(), kFound);
    EXPECT_EQ(r.rt.integer("ups_type"), kAltUps);
    EXPECT_EQ(r.reboots, 1);
    EXPECT_FALSE(checkAltups(text("^X012").data(), 5));
    EXPECT_FALSE(checkAltups(text("^D0A2").data(), 5));
    EXPECT_FALSE(checkAltups(text("^D0").data(), 3));
}

TEST(Identify, NothingAnsweringLeavesEverythingAsItWas)
{
    Search r;
    r.rt.set("ups_baudRate", 4800);
    r.rt.set("ups_addr", 2);
    EXPECT_EQ(r.id.run(), kNothing);
    EXPECT_EQ(r.rt.integer("ups_type"), 0);
    EXPECT_EQ(r.rt.integer("ups_addr"), 2);
    EXPECT_EQ(r.rt.integer("ups_baudRate"), 4800);
    EXPECT_EQ(r.rt.integer("enable_identify"), 0);
    EXPECT_EQ(r.reboots, 0);
    // The line goes back to the old speed at once.
    EXPECT_EQ(r.line.bauds.back(), 4800);
    EXPECT_EQ(r.rt.progress,
              (std::vector<float>{3, 6, 9, 10, 20, 30, 40, 50, 60, 70, 80, 90, 95, 100}));
    EXPECT_EQ(r.rt.events, (Events{{0, 54}, {0, 55}}));

    // No port at all: result 1, nothing written.
    Search none;
    none.line.there = false;
    EXPECT_EQ(none.id.run(), kShortWrite);
    EXPECT_TRUE(none.line.writes.empty());
}

TEST(Identify, EchoesAndNoiseOnTheLine)
{
    Search echo;
    echo.line.speed = 2400;
    echo.line.echo = true;
    echo.line.answer = textUps();
    EXPECT_EQ(echo.id.kyIdentify(), kFound);

    // Noise at every rate: not recognised, no crash, nothing stored.
    Search noise;
    noise.line.speed = 0;
    noise.line.answer = nullptr;
    noise.line.pending = Bytes(500, 0xFF);
    EXPECT_EQ(noise.id.kyIdentify(), kUnknown);
    Search torn;
    torn.line.speed = 2400;
    torn.line.answer = [](const Bytes&) { return text(kQ1.substr(0, 30)); };
    EXPECT_NE(torn.id.kyIdentify(), kFound);
}

TEST(Identify, AStopEndsTheRunWithTheOldSettings)
{
    Search r;
    r.line.speed = 4800;
    r.line.answer = textUps();
    int sleeps = 0;
    r.sleep = [&](int) { return ++sleeps < 5; };
    EXPECT_EQ(r.id.run(), kNone);
    EXPECT_EQ(r.rt.integer("ups_baudRate"), 2400);
    EXPECT_EQ(r.rt.events.back(), (card::FakeRuntime::Event{0, 55}));
    EXPECT_EQ(r.reboots, 0);
}

} // namespace
