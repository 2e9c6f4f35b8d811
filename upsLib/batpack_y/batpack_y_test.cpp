// batpack_y from bytes: the cabinet registers as pack signals and the send
// flag that tells, at the start of each cycle, how the previous one went.
#include "batpack_y.h"
#include "fake_port.h"
#include "signals.h"

#include <gtest/gtest.h>

#include <map>

using namespace fakeport;

namespace
{

std::vector<uint16_t> cabinet()
{
    std::vector<uint16_t> r(32);
    for (int k = 0; k < 32; ++k)
        r[k] = uint16_t(100 + k);
    r[0] = 5123;   // total voltage 512.3
    r[6] = 0xFF38; // current -20.0
    r[9] = 0xFFFE; // highest temperature -2
    r[12] = 0xFFFB;
    r[31] = 0xFFFF; // negative half-cluster current -0.1
    return r;
}

std::map<int, float> run(batpack_y::State& s, FakePort& port, int id = 4)
{
    std::map<int, float> got;
    upscommon::Cycle out([&](int sig, float v) { got[sig_from_driver(sig)] = v; });
    EXPECT_EQ(batpack_y::query(s, io(), &port, id, out), 0);
    return got;
}

TEST(BatpackY, CabinetRegistersBecomeThePackSignals)
{
    batpack_y::State s;
    FakePort port;
    port.reads.push_back(registerReply(4, 3, cabinet()));
    auto got = run(s, port);
    EXPECT_EQ(port.writes, std::vector<Bytes>{withCrc({4, 3, 0x11, 0x00, 0, 32})});
    EXPECT_EQ(got.size(), 33u);
    EXPECT_FLOAT_EQ(got[Data_bms_cbms_total_voltage], 512.3f);
    EXPECT_EQ(got[Data_bms_cbms_charge_and_discharge_status], 101);
    EXPECT_FLOAT_EQ(got[Data_bms_cbms_current], -20.0f);
    EXPECT_EQ(got[Data_bms_cbms_soh], 108);
    EXPECT_EQ(got[Data_bms_cbms_highest_temp], -2);
    EXPECT_EQ(got[Data_bms_cbms_lowest_temp], -5);
    EXPECT_EQ(got[Data_bms_cbms_highest_cell_volt], 115);
    EXPECT_EQ(got[Data_bms_cbms_secondary_protection_event], 130);
    EXPECT_FLOAT_EQ(got[Data_bms_cbms_negative_half_cluster_current], -0.1f);
}

TEST(BatpackY, SendFlagTellsHowThePreviousCycleWent)
{
    batpack_y::State s;
    Bytes tooLong = registerReply(4, 3, cabinet());
    tooLong.push_back(0);
    const std::vector<Bytes> replies = {
        registerReply(4, 3, cabinet()), Bytes{},
        registerReply(4, 3, cabinet()), tooLong,
        withCrc({4, 0x83, 4}),          registerReply(4, 3, cabinet())};
    std::vector<float> flags;
    for (const Bytes& reply : replies) {
        FakePort port;
        if (!reply.empty()) port.reads.push_back(reply);
        flags.push_back(run(s, port)[Data_bms_send_flag]);
    }
    // The first cycle has no good reply behind it.
    EXPECT_EQ(flags, (std::vector<float>{0, 1, 0, 1, 0, 0}));
    FakePort port;
    EXPECT_EQ(run(s, port)[Data_bms_send_flag], 1);
}

TEST(BatpackY, Commands)
{
    FakePort port;
    int calls = 0;
    port.responder = [&calls](const Bytes& req) -> std::vector<Bytes> {
        // The first attempt is refused with an exception, the second acknowledged.
        if (calls++ == 0) return {withCrc({req[0], 0x86, 4})};
        return {echoAck(req)};
    };
    EXPECT_EQ(batpack_y::control(io(), &port, 9, "3,1"), 1);
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[1], withCrc({9, 6, 0x02, 0x03, 0, 1}));
    port.writes.clear();
    for (const char* bad : {"4,1", "-1,1", "0,65536", "0,x", "0"})
        EXPECT_EQ(batpack_y::control(io(), &port, 9, bad), 0) << bad;
    EXPECT_TRUE(port.writes.empty());
}

} // namespace
