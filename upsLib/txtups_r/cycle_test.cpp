// txtups_r from bytes: Q1 brings the status bits (its own blank positions)
// before Q6 reads them, Q1 and WA both report the same flags and the cycle
// settles them, a silent cycle forgets the learnt UPS, and 54/55 keep the
// driver off the line while identification owns it.
#include "fake_port.h"
#include "signals.h"
#include "txtups_r.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace fakeport;
using corvan::Kind;
using corvan::State;

namespace
{

constexpr int drv(int stored)
{
    return stored / 10000 * 1000 + stored % 10000;
}

std::string q1(const std::string& bits)
{
    return "(230.5 230.5 220.0 045 50.0 2.25 25.0 " + bits + "\r";
}

std::string q6(char mode)
{
    return std::string("(230.5 231.0 229.5 50.0 220.0 220.1 219.9 50.0 045 044 046 240.0 "
                       "239.5 25.0 02100 100 ") +
           mode + " 0 00000000 00000000\r";
}

std::string wa(const std::string& bits)
{
    return "(003.2 003.1 003.3 004.0 003.9 004.1 009.6 012.0 014.5 014.1 014.9 046 " + bits + "\r";
}

struct Ups {
    std::map<std::string, std::string> answers;
    FakePort port;
    Ups()
    {
        port.responder = [this](const Bytes& req) -> std::vector<Bytes> {
            auto it = answers.find(std::string(req.begin(), req.end()));
            if (it == answers.end()) return {};
            return {Bytes(it->second.begin(), it->second.end())};
        };
    }
    std::vector<std::string> sent()
    {
        std::vector<std::string> out;
        for (const Bytes& w : port.writes)
            out.emplace_back(w.begin(), w.end());
        port.writes.clear();
        return out;
    }
};

// Every value the sink saw, in order, per signal.
using Seen = std::map<int, std::vector<float>>;

int cycle(State& s, Ups& ups, Seen& seen)
{
    upscommon::Cycle out([&](int sig, float v) { seen[sig].push_back(v); });
    const int r =
        corvan::query(s, txtups_r::kQueries, txtups_r::kForgetOnSilence, io(), &ups.port, 1, out);
    out.finish();
    return r;
}

TEST(Q1, StatusBitsAndTheTailOnly)
{
    State s;
    upscommon::Reports out;
    const std::string line = q1("11011100");
    ASSERT_EQ(line.size(), 47u);
    ASSERT_TRUE(corvan::decodeReply(s, Kind::Q1, reinterpret_cast<const uint8_t*>(line.data()),
                                    static_cast<int>(line.size()), out));
    std::map<int, float> v;
    for (const auto& r : out)
        v[r.sig] = r.value;
    EXPECT_EQ(v[drv(Alarm_InputBad)], 1);
    EXPECT_EQ(v[drv(Alarm_LowBattery)], 1);
    EXPECT_EQ(v[drv(Alarm_OnBypass)], 0);
    EXPECT_EQ(v[drv(Alarm_GeneralFault)], 1);
    EXPECT_EQ(v[drv(Alarm_UpsType)], 1);
    EXPECT_EQ(v[drv(Alarm_TestInProgress)], 1);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 3);
    EXPECT_EQ(v[drv(Sys_ConfigOutputFreq)], 50);
    // Its measurements belong to Q6.
    EXPECT_EQ(v.count(drv(Data_InputVoltage_A)), 0u);
    EXPECT_EQ(v.count(drv(Data_BatteryVoltage)), 0u);

    for (int pos : {6, 12, 18, 22}) {
        std::string bad = q1("00100000");
        bad[pos] = '0';
        out.clear();
        EXPECT_FALSE(corvan::decodeReply(s, Kind::Q1, reinterpret_cast<const uint8_t*>(bad.data()),
                                         static_cast<int>(bad.size()), out))
            << pos;
        EXPECT_TRUE(out.empty());
    }
}

TEST(Cycle, Q1BringsTheBypassBitToTheSameCyclesQ6)
{
    Ups ups;
    ups.answers = {{"Q1\r", q1("00100000")}, {"Q6\r", q6('2')}, {"WA\r", wa("00100000")}};
    State s;
    Seen seen;
    EXPECT_EQ(cycle(s, ups, seen), 1);
    EXPECT_EQ(ups.sent(), (std::vector<std::string>{"Q1\r", "Q6\r", "WA\r"}));
    EXPECT_FLOAT_EQ(seen[drv(Data_BypassVoltage_A)].back(), 220.0f);
    EXPECT_EQ(seen[drv(Data_OutputSource)].back(), 4);
    EXPECT_EQ(seen[drv(Alarm_OnBypass)], (std::vector<float>{1}));
}

TEST(Cycle, FlagsOfQ1AndWaSettleOncePerCycle)
{
    Ups ups;
    // Q1 already sees the mains gone, WA of the same cycle not yet.
    ups.answers = {{"Q1\r", q1("10000000")}, {"Q6\r", q6('4')}, {"WA\r", wa("00000000")}};
    State s;
    Seen seen;
    cycle(s, ups, seen);
    EXPECT_EQ(seen[drv(Alarm_InputBad)], (std::vector<float>{1}));
    EXPECT_EQ(seen[drv(Alarm_OnBattery)], (std::vector<float>{1}));
    // Neither record set these: one 0 each, at the end of the cycle.
    EXPECT_EQ(seen[drv(Alarm_GeneralFault)], (std::vector<float>{0}));
    EXPECT_EQ(seen[drv(Alarm_LowBattery)], (std::vector<float>{0}));
}

TEST(Cycle, SilenceForgetsTheUpsAndSuspensionKeepsOffTheLine)
{
    Ups ups;
    ups.answers = {{"Q1\r", q1("00100000")}, {"Q6\r", q6('2')}, {"WA\r", wa("00100000")}};
    State s;
    Seen seen;
    cycle(s, ups, seen);
    EXPECT_EQ(s.bypass_active, 1);

    // Identification takes the line: nothing is written while suspended, and
    // the learnt state outlives the pause.
    ups.sent();
    ASSERT_EQ(corvan::control(s, io(), &ups.port, 1, "54"), 0);
    EXPECT_EQ(cycle(s, ups, seen), 0);
    EXPECT_TRUE(ups.sent().empty());
    EXPECT_EQ(s.bypass_active, 1);
    ASSERT_EQ(corvan::control(s, io(), &ups.port, 1, "55"), 0);

    ups.answers.clear();
    EXPECT_EQ(cycle(s, ups, seen), 0);
    EXPECT_EQ(ups.sent().size(), 3u);
    EXPECT_EQ(s.bypass_active, 0);
    EXPECT_EQ(s.mode, 0);
}

} // namespace
