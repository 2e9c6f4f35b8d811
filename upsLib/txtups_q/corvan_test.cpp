// The CORVAN three-phase records from bytes: Q6 (phase counts, bypass from
// the status bits of the last WA, battery, mode, energy flow), WA (power and
// status bits), the tail every record ends with, replies that lose a blank
// or the end of the line; txtups_q's cycle (Q6 then WA)
// and the two control texts the family takes.
#include "fake_port.h"
#include "signals.h"
#include "txtups_q.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace fakeport;
using corvan::Kind;
using corvan::State;

namespace
{

using Values = std::map<int, float>;

constexpr int drv(int stored)
{
    return stored / 10000 * 1000 + stored % 10000;
}

Values decode(State& s, Kind kind, const std::string& reply, bool* ok = nullptr)
{
    upscommon::Reports out;
    const bool taken = corvan::decodeReply(s, kind, reinterpret_cast<const uint8_t*>(reply.data()),
                                           static_cast<int>(reply.size()), out);
    if (ok) *ok = taken;
    Values v;
    for (const auto& r : out)
        v[r.sig] = r.value;
    return v;
}

struct Q6 {
    std::string in[3] = {"230.5", "231.0", "229.5"}, inHz = "50.0";
    std::string out[3] = {"220.0", "220.1", "219.9"}, outHz = "50.1";
    std::string load[3] = {"045", "044", "046"};
    std::string battP = "240.0", battN = "239.5", temp = "25.0", seconds = "02130", charge = "100";
    char mode = '3', test = '0';
    std::string bits = "00000000";

    std::string line() const
    {
        std::string s = "(";
        for (const auto& v : in)
            s += v + " ";
        s += inHz + " ";
        for (const auto& v : out)
            s += v + " ";
        s += outHz + " ";
        for (const auto& v : load)
            s += v + " ";
        s += battP + " " + battN + " " + temp + " " + seconds + " " + charge + " " + mode + " " +
             test + " 00000000 " + bits + "\r";
        return s;
    }
};

std::string wa(const std::string& bits)
{
    return "(003.2 003.1 003.3 004.0 003.9 004.1 009.6 012.0 014.5 014.1 014.9 046 " + bits + "\r";
}

std::vector<float> lines(Values& v)
{
    std::vector<float> l;
    for (int k = 0; k < 7; ++k)
        l.push_back(v[drv(Data_energyflow_line1) + k]);
    return l;
}

TEST(Q6, ThreePhaseMeasurementsOnLine)
{
    const std::string line = Q6{}.line();
    ASSERT_EQ(line.size(), 108u);
    State s;
    Values v = decode(s, Kind::Q6, line);
    EXPECT_FLOAT_EQ(v[drv(Data_InputVoltage_A)], 230.5f);
    EXPECT_FLOAT_EQ(v[drv(Data_InputVoltage_C)], 229.5f);
    EXPECT_EQ(v[drv(Data_InputNumLines)], 3);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputVoltage_B)], 220.1f);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputFrequency)], 50.1f);
    EXPECT_EQ(v[drv(Data_OutputNumLines)], 3);
    EXPECT_EQ(v[drv(Data_OutputPercentLoad_C)], 46);
    EXPECT_FLOAT_EQ(v[drv(Data_BatteryVoltage)], 240.0f);
    EXPECT_FLOAT_EQ(v[drv(Data_PwBatteryVoltageN)], 239.5f);
    EXPECT_FLOAT_EQ(v[drv(Data_BatteryTemperature)], 25.0f);
    EXPECT_EQ(v[drv(Data_EstimatedMinutesRemaining)], 35); // 2130 s, whole minutes
    EXPECT_EQ(v[drv(Data_EstimatedChargeRemaining)], 100);
    EXPECT_EQ(v[drv(Data_OutputSource)], 3);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 3);
    EXPECT_EQ(v[drv(Alarm_OnBattery)], 0);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(v[drv(Alarm_OnInput)], 1);
    // The tail: ratings, no test, battery normal.
    EXPECT_EQ(v[drv(Sys_ConfigOutputVoltage)], 220);
    EXPECT_EQ(v[drv(Alarm_TestInProgress)], 0);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 2);
}

TEST(Q6, PhaseCountsFollowTheVoltagesOfSAndT)
{
    Q6 q;
    q.in[1] = q.in[2] = "000.0";
    q.out[2] = "000.0";
    State s;
    Values v = decode(s, Kind::Q6, q.line());
    EXPECT_EQ(v[drv(Data_InputNumLines)], 1);
    EXPECT_EQ(v.count(drv(Data_InputFrequency_B)), 0u);
    EXPECT_EQ(v[drv(Data_OutputNumLines)], 1); // two output phases count as one line
    q.in[1] = "230.0";
    EXPECT_EQ(decode(s, Kind::Q6, q.line())[drv(Data_InputNumLines)], 1);
}

TEST(Q6, BypassComesFromTheLastWa)
{
    Q6 q;
    q.mode = '2';
    State s;
    // No WA yet: the bypass line reads 0 though the UPS runs on bypass.
    Values v = decode(s, Kind::Q6, q.line());
    EXPECT_EQ(v[drv(Data_BypassVoltage_A)], 0);
    EXPECT_EQ(v[drv(Data_BypassFrequency)], 0);
    EXPECT_EQ(v[drv(Data_OutputSource)], 4);
    EXPECT_EQ(lines(v), (std::vector<float>{1, 1, 1, 0, 0, 1, 1}));
    EXPECT_EQ(v[drv(Alarm_OnInput)], 0);

    decode(s, Kind::WA, wa("00100000"));
    v = decode(s, Kind::Q6, q.line());
    EXPECT_FLOAT_EQ(v[drv(Data_BypassVoltage_A)], 220.0f);
    EXPECT_FLOAT_EQ(v[drv(Data_BypassVoltage_C)], 219.9f);
    EXPECT_FLOAT_EQ(v[drv(Data_BypassFrequency)], 50.1f);

    // Bypass with the output off: no path lights up.
    q.out[0] = "000.0";
    EXPECT_EQ(lines(v = decode(s, Kind::Q6, q.line())), (std::vector<float>{0, 0, 0, 0, 0, 0, 0}));
    // Eco runs on bypass too.
    q = Q6{};
    q.mode = '8';
    EXPECT_EQ(decode(s, Kind::Q6, q.line())[drv(Data_OutputSource)], 4);

    // A WA without the bit takes the bypass line away again.
    decode(s, Kind::WA, wa("00000000"));
    EXPECT_EQ(decode(s, Kind::Q6, q.line())[drv(Data_BypassVoltage_A)], 0);
}

TEST(Q6, MainsFailureBatteryTestAndLowBattery)
{
    Q6 q;
    q.in[0] = q.in[1] = q.in[2] = "000.0";
    q.inHz = "00.0";
    q.mode = '4';
    State s;
    decode(s, Kind::WA, wa("10000000"));
    Values v = decode(s, Kind::Q6, q.line());
    EXPECT_EQ(v[drv(Alarm_OnBattery)], 1);
    EXPECT_EQ(v[drv(Data_OutputSource)], 5);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 4);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 8);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 0, 0, 1, 1, 1, 2}));
    EXPECT_EQ(v[drv(Alarm_OnInput)], 0);

    // Low battery outranks the battery run, in WA's tail and Q6's alike.
    v = decode(s, Kind::WA, wa("11000000"));
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 3);
    EXPECT_EQ(v[drv(Alarm_LowBattery)], 1);
    EXPECT_EQ(decode(s, Kind::Q6, q.line())[drv(Data_BatteryStatus)], 3);

    // Mains present and input good, but the output failed: no output path.
    State f;
    decode(f, Kind::WA, wa("00010000"));
    v = decode(f, Kind::Q6, Q6{}.line());
    EXPECT_EQ(v[drv(Data_energyflow_line6)], 0);

    State t;
    q = Q6{};
    q.mode = '5';
    q.test = '1';
    v = decode(t, Kind::Q6, q.line());
    EXPECT_EQ(v[drv(Data_OutputSource)], 5);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 5);
    EXPECT_EQ(v[drv(Alarm_TestInProgress)], 1);
    EXPECT_EQ(v[drv(Alarm_DiagnosticTestFailed)], 0);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 1, 0, 1, 1, 1, 2}));
    EXPECT_EQ(v[drv(Alarm_OnInput)], 0);
    // A failed test once back on line.
    q.mode = '3';
    q.test = '3';
    v = decode(t, Kind::Q6, q.line());
    EXPECT_EQ(v[drv(Alarm_TestInProgress)], 0);
    EXPECT_EQ(v[drv(Alarm_DiagnosticTestFailed)], 1);
}

TEST(Wa, PowerCurrentsAndStatusBits)
{
    State s;
    bool ok = false;
    const std::string line = wa("00101000");
    ASSERT_EQ(line.size(), 80u);
    Values v = decode(s, Kind::WA, line, &ok);
    ASSERT_TRUE(ok);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputPower_A)], 3200.0f);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputPower_C)], 3300.0f);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputApparent_Power_B)], 3900.0f);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputCurrent_A)], 14.5f);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputCurrent_C)], 14.9f);
    EXPECT_EQ(v[drv(Alarm_OnBypass)], 1);
    EXPECT_EQ(v[drv(Alarm_UpsType)], 1);
    EXPECT_EQ(v[drv(Alarm_InputBad)], 0);
    EXPECT_EQ(v[drv(Alarm_GeneralFault)], 0);
    EXPECT_EQ(s.bypass_active, 1);
    // The test bit of WA is the test alarm of the tail.
    EXPECT_EQ(decode(s, Kind::WA, wa("00000100"))[drv(Alarm_TestInProgress)], 1);
}

TEST(Records, ABlankOutOfPlaceOrATornLineIsDropped)
{
    State s;
    bool ok = true;
    for (int pos : {6, 12, 18, 23}) {
        std::string line = Q6{}.line();
        line[pos] = '0';
        EXPECT_TRUE(decode(s, Kind::Q6, line, &ok).empty()) << pos;
        EXPECT_FALSE(ok);
    }
    for (int pos : {6, 18, 30, 42}) {
        std::string line = wa("00100000");
        line[pos] = '0';
        EXPECT_TRUE(decode(s, Kind::WA, line, &ok).empty()) << pos;
    }
    EXPECT_EQ(s.bypass_active, 0);
    // Half a Q6: the missing blanks reject it.
    EXPECT_TRUE(decode(s, Kind::Q6, Q6{}.line().substr(0, 20)).empty());
    // A stray character in a number field reads 0.
    std::string stray = Q6{}.line();
    stray[2] = '?';
    EXPECT_EQ(decode(s, Kind::Q6, stray)[drv(Data_InputVoltage_A)], 0);
}

std::vector<std::string> texts(const std::vector<Bytes>& writes)
{
    std::vector<std::string> out;
    for (const Bytes& w : writes)
        out.emplace_back(w.begin(), w.end());
    return out;
}

TEST(Cycle, Q6ThenWaAndOnlyWholeLinesCount)
{
    std::map<std::string, std::string> answers = {{"Q6\r", Q6{}.line()}, {"WA\r", wa("00000000")}};
    FakePort port;
    port.responder = [&](const Bytes& req) -> std::vector<Bytes> {
        auto it = answers.find(std::string(req.begin(), req.end()));
        if (it == answers.end()) return {};
        return {Bytes(it->second.begin(), it->second.end())};
    };
    State s;
    std::map<int, float> seen;
    upscommon::Cycle out([&](int sig, float v) { seen[sig] = v; });
    EXPECT_EQ(corvan::query(s, txtups_q::kQueries, txtups_q::kForgetOnSilence, io(), &port, 1, out),
              1);
    out.finish();
    EXPECT_EQ(texts(port.writes), (std::vector<std::string>{"Q6\r", "WA\r"}));
    EXPECT_FLOAT_EQ(seen[drv(Data_InputVoltage_A)], 230.5f);
    EXPECT_FLOAT_EQ(seen[drv(Data_OutputPower_A)], 3200.0f);

    // Lines cut before their carriage return are not decoded.
    for (auto& [cmd, line] : answers)
        line.pop_back();
    port.writes.clear();
    upscommon::Cycle torn([](int, float) {});
    EXPECT_EQ(corvan::query(s, txtups_q::kQueries, false, io(), &port, 1, torn), 0);
    EXPECT_EQ(port.writes.size(), 2u);
}

TEST(Control, TheTwoShutdownTextsAndNothingElse)
{
    FakePort port;
    State s;
    auto control = [&](const char* cmd) {
        port.writes.clear();
        return corvan::control(s, io(), &port, 1, cmd);
    };
    EXPECT_EQ(control("4"), 1);
    EXPECT_EQ(texts(port.writes), (std::vector<std::string>{"S.2\r"}));
    EXPECT_EQ(control("23,0,0,0,0,30"), 1);
    EXPECT_EQ(texts(port.writes), (std::vector<std::string>{"S.5\r"}));
    EXPECT_EQ(control("23,0,0,0,0,120"), 1);
    EXPECT_EQ(texts(port.writes), (std::vector<std::string>{"S02\r"}));
    // The KYTO commands these UPSs do not take never reach the line.
    for (const char* other : {"0", "1,10", "3", "7", "8", "24,0,15,0,0,300", "99"}) {
        EXPECT_EQ(control(other), 0) << other;
        EXPECT_TRUE(port.writes.empty()) << other;
    }
    EXPECT_EQ(control("23"), 0); // no delay given
    EXPECT_TRUE(port.writes.empty());
}

} // namespace
