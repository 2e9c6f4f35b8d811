// txtups_p from bytes: each cycle sends only "Q1\r"; the single-phase Q1
// rules with the driver's own identity and the nominal frequency it learns
// from the mains; 54/55 keep it off the line; 4 and 23 are its only texts.
#include "fake_port.h"
#include "signals.h"
#include "txtups_p.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace fakeport;
using namespace txtups_p;

namespace
{

constexpr int drv(int stored)
{
    return stored / 10000 * 1000 + stored % 10000;
}

std::string q1(const char* in, const char* hz, const char* bits)
{
    return std::string("(") + in + " " + in + " 220.0 045 " + hz + " 2.25 25.0 " + bits + "\r";
}

const std::string kNormal = q1("230.5", "50.0", "00000001");

struct Ups {
    std::string answer = kNormal;
    FakePort port;
    std::map<int, float> seen;
    Ups()
    {
        port.responder = [this](const Bytes& req) -> std::vector<Bytes> {
            if (std::string(req.begin(), req.end()) != "Q1\r" || answer.empty()) return {};
            return {Bytes(answer.begin(), answer.end())};
        };
    }
    int cycle(State& s)
    {
        upscommon::Cycle out([this](int sig, float v) { seen[sig] = v; });
        const int r = query(s, io(), &port, 1, out);
        out.finish();
        return r;
    }
    std::vector<std::string> sent()
    {
        std::vector<std::string> out;
        for (const Bytes& w : port.writes)
            out.emplace_back(w.begin(), w.end());
        port.writes.clear();
        return out;
    }
    std::string text(int base)
    {
        std::string t;
        for (int k = 0; k < SIG_TEXT_LEN && seen[base + k] > 0; ++k)
            t += static_cast<char>(seen[base + k]);
        return t;
    }
};

TEST(Cycle, SendsOnlyQ1EveryCycle)
{
    Ups ups;
    State s;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(ups.cycle(s), 1);
        EXPECT_EQ(ups.sent(), std::vector<std::string>{"Q1\r"});
    }
    // Silence asks nothing else either.
    ups.answer.clear();
    EXPECT_EQ(ups.cycle(s), 0);
    EXPECT_EQ(ups.sent(), std::vector<std::string>{"Q1\r"});
}

TEST(Q1, SinglePhaseRulesWithTheDriversIdentity)
{
    Ups ups;
    State s;
    ups.cycle(s);
    EXPECT_FLOAT_EQ(ups.seen[drv(Data_InputVoltage_A)], 230.5f);
    EXPECT_FLOAT_EQ(ups.seen[drv(Data_BypassVoltage_A)], 230.5f);
    EXPECT_FLOAT_EQ(ups.seen[drv(Data_OutputVoltage_A)], 220.0f);
    EXPECT_FLOAT_EQ(ups.seen[drv(Data_BatteryVoltage)], 13.5f); // six cells of 2.25 V
    EXPECT_EQ(ups.seen[drv(Data_InputNumLines)], 1);
    EXPECT_EQ(ups.seen[drv(Data_OutputSource)], 3);
    EXPECT_EQ(ups.seen[drv(Alarm_OnInput)], 1);
    EXPECT_EQ(ups.text(drv(Data_IdentManufacturer)), "CORVAN");
    EXPECT_EQ(ups.text(drv(Data_upsIdentModel)), kModel);

    // Mains failure: on battery at the nominal frequency.
    ups.answer = q1("000.0", "00.0", "10000001");
    ups.cycle(s);
    EXPECT_EQ(ups.seen[drv(Alarm_OnBattery)], 1);
    EXPECT_EQ(ups.seen[drv(Data_BatteryStatus)], 8);
    EXPECT_EQ(ups.seen[drv(Data_OutputSource)], 5);
    EXPECT_FLOAT_EQ(ups.seen[drv(Data_OutputFrequency)], 50.0f);

    // A UPS on 60 Hz mains keeps 60 Hz on battery.
    State sixty;
    ups.answer = q1("120.0", "59.9", "00000001");
    ups.cycle(sixty);
    ups.answer = q1("000.0", "00.0", "10000001");
    ups.cycle(sixty);
    EXPECT_FLOAT_EQ(ups.seen[drv(Data_OutputFrequency)], 60.0f);

    // A blank out of place: not an answer, nothing reported.
    std::string bad = kNormal;
    bad[18] = '0';
    ups.answer = bad;
    ups.seen.clear();
    EXPECT_EQ(ups.cycle(s), 0);
    EXPECT_TRUE(ups.seen.empty());
}

TEST(Control, SuspensionAndTheTwoTexts)
{
    Ups ups;
    State s;
    EXPECT_EQ(control(s, io(), &ups.port, 1, "54"), 0);
    EXPECT_EQ(ups.cycle(s), 0);
    EXPECT_TRUE(ups.sent().empty());
    EXPECT_EQ(control(s, io(), &ups.port, 1, "55"), 0);
    EXPECT_EQ(ups.cycle(s), 1);
    ups.sent();

    EXPECT_EQ(control(s, io(), &ups.port, 1, "23,0,0,0,0,45"), 1);
    EXPECT_EQ(control(s, io(), &ups.port, 1, "8"), 0);
    EXPECT_EQ(ups.sent(), (std::vector<std::string>{"S.7\r"}));
}

} // namespace
