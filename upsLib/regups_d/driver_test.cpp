// regups_d from bytes: the alarm bits, the measurement and battery blocks,
// the values derived from all of them once per cycle, control frames and the
// suspension of polling it honours. The identity texts are checked end to
// end against the simulator.
#include "fake_port.h"
#include "regups_d.h"

#include <gtest/gtest.h>

#include <map>

using namespace fakeport;
using namespace regups_d;

namespace
{

using Values = std::map<int, float>;

Values values(const Reports& r)
{
    Values v;
    for (const Report& x : r)
        v[x.sig] = x.value;
    return v;
}

Values decode(State& s, int index, const Bytes& reply)
{
    Reports out;
    decodeReply(s, index, reply.data(), static_cast<int>(reply.size()), out);
    return values(out);
}

Bytes measurements(std::map<int, uint16_t> set)
{
    std::vector<uint16_t> regs(45);
    for (auto [k, v] : set)
        regs[k] = v;
    return registerReply(1, 4, regs);
}

Bytes batteryState(int system, int run, uint16_t volts10 = 4080)
{
    std::vector<uint16_t> regs(16);
    regs[0] = static_cast<uint16_t>(system);
    regs[2] = static_cast<uint16_t>(run);
    regs[10] = volts10;
    regs[12] = 35;  // discharge current
    regs[14] = 123; // charge current x0.1
    return registerReply(1, 4, regs);
}

TEST(Alarms, BitsToFlags)
{
    State s;
    Values v = decode(s, kAlarms, bitReply(1, 16, {1, 4, 8, 12}));
    EXPECT_EQ(v.at(2001), 1);
    EXPECT_EQ(v.at(2005), 1);
    EXPECT_EQ(v.at(2008), 1);
    EXPECT_EQ(v.at(2000), 0);
    EXPECT_EQ(v.at(2014), 1); // bit 9 clear: the UPS system is off
    EXPECT_EQ(v.at(3007), 1);
    EXPECT_EQ(s.alarms, (1u << 1) | (1u << 4) | (1u << 8) | (1u << 12));
    v = decode(s, kAlarms, bitReply(1, 16, {9, 10, 11}));
    EXPECT_EQ(v.at(2014), 0);
    EXPECT_EQ(v.at(2023), 1);
    EXPECT_EQ(v.at(2017), 1);
    EXPECT_EQ(v.at(3007), 0);
}

TEST(Measurements, ScalingPhasesAndGuards)
{
    State s;
    Values v = decode(s, kMeasurements,
                      measurements({{0, 3},
                                    {3, 255},
                                    {4, 3},
                                    {5, 5002},
                                    {6, 2305},
                                    {12, 4},
                                    {15, 2200},
                                    {14, 4999},
                                    {38, 220},
                                    {41, 50}}));
    EXPECT_NEAR(v.at(4107), 25.5f, 1e-4);
    EXPECT_NEAR(v.at(4139), 50.02f, 1e-3);
    EXPECT_NEAR(v.at(4141), 50.02f, 1e-3);
    EXPECT_NEAR(v.at(4133), 230.5f, 1e-3);
    EXPECT_EQ(v.at(4161), 4);
    EXPECT_NEAR(v.at(4162), 49.99f, 1e-3);
    EXPECT_EQ(v.at(3000), 220);
    EXPECT_EQ(v.at(3003), 50);
    EXPECT_EQ(s.batteryAlarm, 3);
    EXPECT_EQ(s.outputWay, 4);
    EXPECT_NEAR(s.inputV, 230.5f, 1e-3);
    EXPECT_NEAR(s.outputV, 220.0f, 1e-3);

    // A temperature outside 0..100 is no reading; one input line, one frequency.
    v = decode(s, kMeasurements, measurements({{3, static_cast<uint16_t>(-50)}, {4, 1}, {12, 9}}));
    EXPECT_EQ(v.count(4107), 0u);
    EXPECT_EQ(v.count(4140), 0u);
    EXPECT_EQ(v.at(4161), 9);
    EXPECT_EQ(s.outputWay, 1);
    EXPECT_EQ(decode(s, kMeasurements, measurements({{3, 1000}})).count(4107), 0u);
}

TEST(BatteryState, RunStateFlagsAndCurrent)
{
    struct Case {
        int run, charge, boost, flt;
        float current;
    };
    for (const Case& c : {Case{0, 1, 0, 0, 35}, Case{1, 0, 1, 0, 12.3f}, Case{2, 0, 0, 1, 12.3f},
                          Case{5, 0, 0, 0, 12.3f}}) {
        State s;
        const Values v = decode(s, kBatteryState, batteryState(2, c.run));
        EXPECT_EQ(v.at(2026), c.charge) << c.run;
        EXPECT_EQ(v.at(2027), c.boost) << c.run;
        EXPECT_EQ(v.at(2028), c.flt) << c.run;
        EXPECT_NEAR(v.at(4106), c.current, 1e-4) << c.run;
        EXPECT_NEAR(v.at(4105), 408.0f, 1e-3);
        EXPECT_NEAR(v.at(4108), 408.0f, 1e-3);
        EXPECT_EQ(s.system, 2);
        EXPECT_EQ(s.runState, c.run);
    }
}

std::vector<int> flow(const Values& v)
{
    std::vector<int> out;
    for (int k = 0; k < 7; ++k)
        out.push_back(static_cast<int>(v.at(4216 + k)));
    return out;
}

TEST(Derived, BatteryStatusWorkModeAndFlow)
{
    struct Case {
        const char* what;
        unsigned alarms;
        int a, sys, run, way;
        float in, out, batt;
        int status, mode, onInput;
        std::vector<int> lines;
    };
    const Case cases[] = {
        {"on line, floating", 0, 0, 3, 2, 3, 230, 220, 408, 7, 3, 1, {0, 1, 1, 1, 1, 1, 1}},
        {"on battery", 1u << 1, 0, 5, 0, 5, 0, 220, 380, 8, 4, 0, {0, 0, 0, 1, 1, 1, 2}},
        {"battery bad first",
         1u << 0 | 1u << 1,
         0,
         3,
         0,
         3,
         230,
         220,
         408,
         4,
         3,
         1,
         {0, 1, 1, 1, 1, 1, 2}},
        {"low battery by state A", 0, 4, 3, 1, 3, 230, 220, 408, 3, 3, 1, {0, 1, 1, 1, 1, 1, 1}},
        {"boost", 0, 0, 3, 1, 3, 230, 220, 408, 5, 3, 1, {0, 1, 1, 1, 1, 1, 1}},
        {"bypass, discharging", 0, 0, 3, 0, 4, 230, 220, 408, 8, 2, 0, {1, 1, 1, 1, 1, 1, 2}},
        {"bypass, charging", 0, 0, 3, 2, 4, 230, 220, 408, 7, 2, 0, {1, 1, 1, 0, 0, 1, 1}},
        {"fault state", 0, 1, 1, 5, 1, 0, 0, 0, 1, 6, 0, {0, 0, 0, 0, 0, 0, 0}},
        {"system 2", 0, 0, 2, 5, 3, 230, 0, 0, 2, 9, 1, {0, 1, 1, 1, 1, 0, 0}},
        {"system 7", 0, 0, 7, 5, 1, 0, 0, 0, 2, 8, 0, {0, 0, 0, 0, 0, 0, 0}},
        {"system 4", 0, 0, 4, 5, 1, 0, 0, 0, 2, 2, 0, {0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        State s;
        s.alarms = c.alarms;
        s.batteryAlarm = c.a;
        s.system = c.sys;
        s.runState = c.run;
        s.outputWay = c.way;
        s.inputV = c.in;
        s.outputV = c.out;
        s.batteryV = c.batt;
        Reports out;
        derive(s, out);
        const Values v = values(out);
        EXPECT_EQ(v.at(4101), c.status) << c.what;
        EXPECT_EQ(v.at(4239), c.mode) << c.what;
        EXPECT_EQ(v.at(2064), c.onInput) << c.what;
        EXPECT_EQ(flow(v), c.lines) << c.what;
    }
}

FakePort acknowledging()
{
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> { return {echoAck(req)}; };
    return port;
}

Bytes frame(int func, int reg, int value)
{
    return withCrc(
        {1, uint8_t(func), uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)});
}

TEST(Control, CoilAndRegisterWrites)
{
    const std::pair<const char*, Bytes> cases[] = {
        {"4", frame(5, 0x170C, 0)},  {"4,10,2,0,0,30", frame(5, 0x170C, 0)},
        {"7", frame(5, 0x170C, 1)},  {"17", frame(6, 0x151A, 1)},
        {"18", frame(6, 0x151A, 2)},
    };
    for (const auto& [text, want] : cases) {
        State s;
        FakePort port = acknowledging();
        EXPECT_EQ(control(s, io(), &port, 1, text), 1) << text;
        EXPECT_EQ(port.writes, std::vector<Bytes>{want}) << text;
    }
    for (const char* text : {"0", "3", "8", "12", "23,1,2,3,4,5"}) {
        State s;
        FakePort port = acknowledging();
        EXPECT_EQ(control(s, io(), &port, 1, text), 0) << text;
        EXPECT_TRUE(port.writes.empty()) << text;
    }
}

TEST(Query, DerivedOncePerCycleAndSuspension)
{
    State s;
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> {
        const int func = req[1], start = req[2] << 8 | req[3], count = req[4] << 8 | req[5];
        if (func == 2) return {bitReply(req[0], count, {1, 9})};
        if (start == 0x1388) return {measurements({{6, 0}, {12, 5}, {15, 2200}})};
        if (start == 0x1409) return {batteryState(3, 0)};
        return {registerReply(req[0], 4, std::vector<uint16_t>(count))};
    };
    std::map<int, int> reports;
    Values seen;
    {
        upscommon::Cycle out([&](int sig, float v) {
            ++reports[sig];
            seen[sig] = v;
        });
        EXPECT_EQ(query(s, io(), &port, 1, out), 1);
    }
    EXPECT_EQ(port.writes.size(), 4u);
    EXPECT_EQ(reports[4101], 1);
    EXPECT_EQ(reports[4216], 1);
    EXPECT_EQ(seen.at(4101), 8);
    EXPECT_EQ(seen.at(4239), 4);
    EXPECT_EQ(seen.at(4222), 2);

    upscommon::Cycle sink([](int, float) {});
    EXPECT_EQ(control(s, io(), &port, 1, "54"), 0);
    EXPECT_EQ(query(s, io(), &port, 1, sink), 0);
    EXPECT_EQ(port.writes.size(), 4u);
    EXPECT_EQ(control(s, io(), &port, 1, "55"), 0);
    EXPECT_EQ(query(s, io(), &port, 1, sink), 1);

    // Nothing answered: nothing derived.
    State quiet;
    FakePort silent;
    reports.clear();
    {
        upscommon::Cycle out([&](int sig, float) { ++reports[sig]; });
        EXPECT_EQ(query(quiet, io(), &silent, 1, out), 0);
    }
    EXPECT_TRUE(reports.empty());
}

} // namespace
