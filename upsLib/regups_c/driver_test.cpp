// regups_c from bytes: the main block's scaling and mode, the energy-flow
// block's line and switch coding, the alarm rows, control registers and the
// suspension of polling it honours like every UPS driver.
#include "fake_port.h"
#include "regups_c.h"

#include <gtest/gtest.h>

#include <map>

using namespace fakeport;
using namespace regups_c;

namespace
{

using Values = std::map<int, float>;

Values decode(int index, const Bytes& reply)
{
    Reports out;
    decodeReply(index, reply.data(), static_cast<int>(reply.size()), out);
    Values v;
    for (const Report& x : out)
        v[x.sig] = x.value;
    return v;
}

Bytes mainBlock(uint16_t mode)
{
    std::vector<uint16_t> regs(52);
    regs[1] = 231;                         // input voltage A x1
    regs[4] = 500;                         // input frequency A x0.1
    regs[13] = 2201;                       // output voltage A x0.1
    regs[33] = static_cast<uint16_t>(-87); // battery current x0.1, signed
    regs[36] = 408;                        // battery voltage x1
    regs[40] = static_cast<uint16_t>(-5);  // battery temperature, signed
    regs[45] = mode;
    return registerReply(1, 4, regs);
}

TEST(Main, ScalingAndTheModeAsSource)
{
    Values v = decode(kMain, mainBlock(3));
    EXPECT_EQ(v.at(4133), 231);
    EXPECT_NEAR(v.at(4139), 50.0f, 1e-4);
    EXPECT_NEAR(v.at(4164), 220.1f, 1e-3);
    EXPECT_NEAR(v.at(4106), -8.7f, 1e-4);
    EXPECT_EQ(v.at(4105), 408);
    EXPECT_EQ(v.at(4107), -5);
    EXPECT_EQ(v.at(4163), 3);
    struct Case {
        int mode, source, battery, bypass, input;
    };
    for (const Case& c : {Case{4, 5, 1, 0, 0}, Case{5, 5, 1, 0, 0}, Case{2, 4, 0, 1, 0},
                          Case{6, 4, 0, 1, 0}, Case{3, 3, 0, 0, 1}, Case{7, 3, 0, 0, 1},
                          Case{0, 0, 0, 0, 0}, Case{1, 0, 0, 0, 0}, Case{9, 0, 0, 0, 0}}) {
        v = decode(kMain, mainBlock(static_cast<uint16_t>(c.mode)));
        EXPECT_EQ(v.at(4161), c.source) << c.mode;
        EXPECT_EQ(v.at(2001), c.battery) << c.mode;
        EXPECT_EQ(v.at(2008), c.bypass) << c.mode;
        EXPECT_EQ(v.at(2064), c.input) << c.mode;
    }
}

TEST(Energy, LinesOnAtOneSwitchesOpenAtOne)
{
    std::vector<uint16_t> regs = {1, 0, 2, 1, 1, 1, 0, /* switches */ 1, 0, 2, 1, 0, 0};
    const Values v = decode(kEnergy, registerReply(1, 4, regs));
    const int lines[] = {1, 0, 0, 1, 1, 1, 0};
    for (int k = 0; k < 7; ++k)
        EXPECT_EQ(v.at(4216 + k), lines[k]) << k;
    const int sw[] = {0, 1, 1, 0, 1, 1};
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(v.at(4231 + k), sw[k]) << k;
    EXPECT_TRUE(decode(kEnergy, registerReply(1, 4, {1, 0, 2})).empty());
}

TEST(Alarms, RowsOfTheMap)
{
    struct Case {
        int bit, sig;
    };
    for (const Case& c : {Case{0, 2017}, Case{98, 2017}, Case{71, 2006}, Case{56, 2007},
                          Case{55, 2000}, Case{66, 2002}, Case{21, 2004}, Case{93, 2015},
                          Case{94, 2005}, Case{78, 2009}, Case{95, 2012}}) {
        const Values v = decode(kAlarms, bitReply(1, 99, {c.bit}));
        for (auto [sig, val] : v)
            EXPECT_EQ(val, sig == c.sig ? 1 : 0) << "bit " << c.bit << " signal " << sig;
    }
    // Bits outside every row raise nothing.
    for (auto [sig, val] : decode(kAlarms, bitReply(1, 99, {4, 20, 45, 67, 69, 79})))
        EXPECT_EQ(val, 0) << sig;
}

FakePort acknowledging()
{
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> { return {echoAck(req)}; };
    return port;
}

Bytes single(int reg, int value)
{
    return withCrc({1, 6, uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)});
}

TEST(Control, CommandRows)
{
    const std::pair<const char*, Bytes> cases[] = {
        {"0", single(0x0001, 0xFFFF)},   {"1,10,2,0,0,30", single(0x0006, 10)},
        {"2", single(0x0002, 0xFFFF)},   {"3", single(0x0004, 0xFFFF)},
        {"4", single(0x0007, 12)},       {"4,10,2,0,0,30", single(0x0007, 12)},
        {"5,10,25", single(0x0008, 25)}, {"6", single(0x0005, 0xFFFF)},
        {"8", single(0x0003, 0xFFFF)},
    };
    for (const auto& [text, frame] : cases) {
        State s;
        FakePort port = acknowledging();
        EXPECT_EQ(control(s, io(), &port, 1, text), 1) << text;
        EXPECT_EQ(port.writes, std::vector<Bytes>{frame}) << text;
    }
    for (const char* text : {"7", "9", "12", "1", "1,abc", "5,10", "5,10,-3", "99"}) {
        State s;
        FakePort port = acknowledging();
        EXPECT_EQ(control(s, io(), &port, 1, text), 0) << text;
        EXPECT_TRUE(port.writes.empty()) << text;
    }
}

TEST(Query, FourCommandsFiftyMillisecondsApartAndSuspension)
{
    State s;
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> {
        const int func = req[1], count = req[4] << 8 | req[5];
        if (func == 2) return {bitReply(req[0], count, {59})};
        return {registerReply(req[0], 4, std::vector<uint16_t>(count))};
    };
    g_pausing = &port;
    Values seen;
    {
        upscommon::Cycle out([&](int sig, float v) { seen[sig] = v; });
        EXPECT_EQ(query(s, io(), &port, 1, out), 1);
    }
    g_pausing = nullptr;
    EXPECT_EQ(port.writes.size(), 4u);
    EXPECT_EQ(port.pauses, 4);
    EXPECT_EQ(port.lastPauseMs, 50);
    EXPECT_EQ(seen.at(2005), 1);

    upscommon::Cycle sink([](int, float) {});
    EXPECT_EQ(control(s, io(), &port, 1, "54"), 0);
    EXPECT_EQ(query(s, io(), &port, 1, sink), 0);
    EXPECT_EQ(port.writes.size(), 4u);
    EXPECT_EQ(control(s, io(), &port, 1, "55"), 0);
    EXPECT_EQ(query(s, io(), &port, 1, sink), 1);
    EXPECT_EQ(port.writes.size(), 8u);
}

} // namespace
