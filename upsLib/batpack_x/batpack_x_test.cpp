// batpack_x from bytes: the string registers as pack signals, the cycle's
// result and pauses, and the set-point commands.
#include "batpack_x.h"
#include "fake_port.h"
#include "signals.h"

#include <gtest/gtest.h>

#include <map>

using namespace fakeport;

namespace
{

std::vector<uint16_t> packRegisters()
{
    std::vector<uint16_t> r(15);
    for (int k = 0; k < 15; ++k)
        r[k] = uint16_t(10 + k);
    r[1] = 5432;   // charge voltage 543.2
    r[2] = 0xFFF6; // charge current -1.0
    r[4] = 0x8000; // allowed current, most negative
    return r;
}

std::map<int, float> run(FakePort& port, int id, int* result)
{
    std::map<int, float> got;
    g_pausing = &port;
    {
        upscommon::Cycle out([&](int sig, float v) { got[sig_from_driver(sig)] = v; });
        *result = batpack_x::query(io(), &port, id, out);
    }
    g_pausing = nullptr;
    return got;
}

TEST(BatpackX, StringRegistersBecomeThePackSignals)
{
    FakePort port;
    port.reads.push_back(registerReply(71, 3, packRegisters()));
    int result = -1;
    auto got = run(port, 71, &result);
    EXPECT_EQ(result, 0); // whatever the pack said
    EXPECT_EQ(port.writes, std::vector<Bytes>{withCrc({71, 3, 0, 0, 0, 15})});
    EXPECT_EQ(got.size(), 15u);
    EXPECT_EQ(got[Data_BMS_Battery_Run_status], 10);
    EXPECT_FLOAT_EQ(got[Data_BMS_charge_voltage], 543.2f);
    EXPECT_FLOAT_EQ(got[Data_BMS_charge_current], -1.0f);
    EXPECT_FLOAT_EQ(got[Data_BMS_allowed_max_charge_voltage], 1.3f);
    EXPECT_FLOAT_EQ(got[Data_BMS_allowed_max_charge_current], -3276.8f);
    EXPECT_FLOAT_EQ(got[Data_BMS_Battery_EOD_voltage], 1.6f);
    EXPECT_EQ(got[Data_BMS_addve_online_String_count], 21);
    EXPECT_EQ(got[Data_BMS_Stop_Discharging_Warning], 24);
    EXPECT_EQ(port.pauses, 1);
}

TEST(BatpackX, BadRepliesReportNothing)
{
    Bytes badCrc = registerReply(1, 3, packRegisters());
    badCrc[5] ^= 1;
    const Bytes cases[] = {badCrc, registerReply(2, 3, packRegisters()), // another pack
                           registerReply(1, 3, std::vector<uint16_t>(14)), withCrc({1, 0x83, 2}),
                           Bytes{}};
    for (const Bytes& reply : cases) {
        FakePort port;
        if (!reply.empty()) port.reads.push_back(reply);
        int result = -1;
        EXPECT_TRUE(run(port, 1, &result).empty());
        EXPECT_EQ(result, 0);
    }
    FakePort shortWrite;
    shortWrite.writeResults = {5};
    shortWrite.reads.push_back(registerReply(1, 3, packRegisters()));
    int result = -1;
    EXPECT_TRUE(run(shortWrite, 1, &result).empty());
    EXPECT_EQ(shortWrite.reads.size(), 1u); // nothing read after a short write
    EXPECT_EQ(shortWrite.pauses, 0);
}

TEST(BatpackX, SetpointCommands)
{
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> { return {echoAck(req)}; };
    EXPECT_EQ(batpack_x::control(io(), &port, 3, "0,535"), 1);
    EXPECT_EQ(batpack_x::control(io(), &port, 3, "1,-5"), 1);
    EXPECT_EQ(port.writes, (std::vector<Bytes>{withCrc({3, 6, 0x10, 0x00, 0x02, 0x17}),
                                               withCrc({3, 6, 0x10, 0x01, 0xFF, 0xFB})}));
    port.writes.clear();
    for (const char* bad : {"2,1", "1,70000", "1,-40000", "1,12a", "1,", "1", "50,0,0102"})
        EXPECT_EQ(batpack_x::control(io(), &port, 3, bad), 0) << bad;
    EXPECT_TRUE(port.writes.empty());

    FakePort deaf; // three attempts, then failure
    EXPECT_EQ(batpack_x::control(io(), &deaf, 3, "0,1"), 0);
    EXPECT_EQ(deaf.writes.size(), 3u);
}

} // namespace
