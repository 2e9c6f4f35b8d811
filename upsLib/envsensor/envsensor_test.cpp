// The sensor driver against a scripted line: which module is asked what, in
// which order and after which pauses, and what the cycle reports.
#include "envsensor.h"
#include "fake_port.h"
#include "rs485.hpp"
#include "signals.h"

#include <gtest/gtest.h>

#include <map>

using namespace fakeport;

namespace
{

int g_pausedMs = 0;
void recordPause(int ms)
{
    g_pausedMs += ms;
}
upscommon::PortIo line()
{
    return {fakeWrite, fakeRead, recordPause};
}

// The signals one cycle published, by stored number.
std::map<int, float> cycle(const envsensor::State& s, FakePort& port, int* result = nullptr)
{
    std::map<int, float> got;
    g_pausedMs = 0;
    {
        upscommon::Cycle out([&](int sig, float v) { got[sig_from_driver(sig)] = v; });
        const int r = envsensor::query(s, line(), &port, out);
        if (result) *result = r;
    }
    return got;
}

// Modules at the given addresses answer alternative `which` with regs; any
// other request stays unanswered.
FakePort modules(std::map<int, std::vector<uint16_t>> regsByAddr, int which = 0)
{
    FakePort port;
    port.responder = [regsByAddr, which](const Bytes& req) -> std::vector<Bytes> {
        auto it = regsByAddr.find(req[0]);
        const Bytes want(envsensor::thsList[which].commd + 1, envsensor::thsList[which].commd + 6);
        if (it == regsByAddr.end() || Bytes(req.begin() + 1, req.begin() + 6) != want) return {};
        return {registerReply(req[0], req[1], it->second)};
    };
    return port;
}

TEST(EnvSensor, SilentSecondModuleIsLostAfterAllThreeAlternatives)
{
    envsensor::State s;
    s.module_num = 2;
    FakePort port = modules({{1, {0x00E6, 0x01C2}}});
    int result = 0;
    auto got = cycle(s, port, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(got[Data_temperature_1], 230);
    EXPECT_EQ(got[Data_humidity_1], 450);
    EXPECT_EQ(got[Alarm_TH1_CommunicationsLost], 0);
    EXPECT_EQ(got[Alarm_TH2_CommunicationsLost], 1);
    EXPECT_EQ(got.count(Data_temperature_2), 0u);
    EXPECT_EQ(got.count(Alarm_TH3_CommunicationsLost), 0u); // beyond module_num: not reported
    // Module 1 once, module 2 with every alternative; each request after 1.5 s.
    ASSERT_EQ(port.writes.size(), 4u);
    EXPECT_EQ(port.writes[0], withCrc({1, 4, 0, 0, 0, 2}));
    EXPECT_EQ(port.writes[1], withCrc({2, 4, 0, 0, 0, 2}));
    EXPECT_EQ(port.writes[2], withCrc({2, 3, 0, 0, 0, 4}));
    EXPECT_EQ(port.writes[3], withCrc({2, 3, 0, 2, 0, 2}));
    EXPECT_GE(g_pausedMs, 4 * 1500);
}

TEST(EnvSensor, ThirtyTwoBitAlternativeAndSignedSixteenBitValues)
{
    envsensor::Reports r;
    const Bytes wide = registerReply(1, 3, {0x0000, 0x00FA, 0x0001, 0x0000});
    envsensor::decodeReply(0, 1, wide.data(), int(wide.size()), r);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].sig, 4208);
    EXPECT_EQ(r[0].value, 250.0f);
    EXPECT_EQ(r[1].sig, 4212);
    EXPECT_EQ(r[1].value, 65536.0f);

    r.clear();
    const Bytes cold = registerReply(3, 3, {0xFF9C, 0x0320});
    envsensor::decodeReply(3, 2, cold.data(), int(cold.size()), r);
    EXPECT_EQ(r, (envsensor::Reports{{4211, -100.0f}, {4215, 800.0f}}));

    r.clear(); // too short for the alternative it claims to answer
    envsensor::decodeReply(0, 1, cold.data(), int(cold.size()), r);
    envsensor::decodeReply(4, 0, cold.data(), int(cold.size()), r);
    EXPECT_TRUE(r.empty());
}

TEST(EnvSensor, FallsBackPastBadRepliesToTheFirstValidOne)
{
    envsensor::State s;
    s.module_num = 1;
    s.module_id[0] = 9;
    FakePort port;
    int n = 0;
    port.responder = [&n](const Bytes& req) -> std::vector<Bytes> {
        switch (n++) {
        case 0: { // "100": right length, broken CRC
            Bytes b = registerReply(9, 4, {1, 2});
            b.back() ^= 0xFF;
            return {b};
        }
        case 1: // "101": a late reply of another module
            return {registerReply(8, 3, {0, 1, 0, 2})};
        default: // "102"
            return {registerReply(req[0], 3, {215, 400})};
        }
    };
    auto got = cycle(s, port);
    EXPECT_EQ(port.writes.size(), 3u);
    EXPECT_EQ(got[Data_temperature_1], 215);
    EXPECT_EQ(got[Alarm_TH1_CommunicationsLost], 0);
}

TEST(EnvSensor, ExceptionAndShortWriteCountAsNoAnswer)
{
    envsensor::State s;
    s.module_num = 1;
    FakePort port;
    port.writeResults = {3, 8, 8};
    port.responder = [](const Bytes& req) -> std::vector<Bytes> {
        return {withCrc({req[0], uint8_t(req[1] | 0x80), 2})};
    };
    auto got = cycle(s, port);
    EXPECT_EQ(got[Alarm_TH1_CommunicationsLost], 1);
    EXPECT_EQ(got.count(Data_temperature_1), 0u);
}

TEST(EnvSensor, ConfigurationCommands)
{
    envsensor::State s;
    EXPECT_EQ(envsensor::control(s, "0,2"), 0);
    EXPECT_EQ(s.module_num, 2);
    envsensor::control(s, "3,17");
    envsensor::control(s, "4,247");
    EXPECT_EQ(s.module_id, (std::array<int, 4>{1, 2, 17, 247}));
    // Out of range, not a number, missing or unknown: nothing changes.
    for (const char* bad : {"0,5", "0,-1", "1,0", "2,248", "2,12x", "2,", "2", "5,3", "x,1",
                            "1,99999999999999999999"})
        envsensor::control(s, bad);
    EXPECT_EQ(s.module_num, 2);
    EXPECT_EQ(s.module_id, (std::array<int, 4>{1, 2, 17, 247}));

    s.module_num = 0; // no modules: no traffic, no reports
    FakePort port = modules({{1, {1, 2}}});
    EXPECT_TRUE(cycle(s, port).empty());
    EXPECT_TRUE(port.writes.empty());
}

} // namespace

namespace
{

TEST(StationReply, ExceptionIsWholeAndAPartialReplyIsJoined)
{
    uint8_t buf[64] = {};
    FakePort port;
    port.reads = {withCrc({1, 0x84, 2}), registerReply(1, 4, {1, 2})};
    EXPECT_EQ(upscommon::readStationReply(line(), &port, buf, sizeof buf, 9), 5);
    EXPECT_EQ(port.reads.size(), 1u); // the next frame is not ours to take

    const Bytes whole = registerReply(1, 4, {1, 2});
    port.reads = {Bytes(whole.begin(), whole.begin() + 4), Bytes(whole.begin() + 4, whole.end())};
    EXPECT_EQ(upscommon::readStationReply(line(), &port, buf, sizeof buf, 9), 9);
    EXPECT_EQ(Bytes(buf, buf + 9), whole);
}

} // namespace
