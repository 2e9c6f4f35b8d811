// txtups_1 fed with single-phase replies: the cycle's command choice, Q1 for
// both UPS types (battery voltage, output source and frequency, energy flow),
// the hand-over to QT with the model 283/282 status fields, and F and BL.
#include "ascii_test_util.hpp"
#include "fake_port.h"
#include "signals.h"
#include "txtups_1.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace fakeport;
using namespace txtups_1;

namespace
{

using asciitest::decode;
using asciitest::drv;
using asciitest::lines;
using asciitest::Values;

// Q1 with the given input voltage, frequency, battery field and status bits.
std::string q1(const char* in, const char* hz, const char* batt, const char* bits,
               const char* out = "220.0")
{
    return std::string("(") + in + " " + in + " " + out + " 045 " + hz + " " + batt + " 25.0 " +
           bits + "\r";
}

const std::string kNormal = q1("230.5", "50.0", "2.25", "00000001");

TEST(Q1, BatteryVoltageByUpsType)
{
    ASSERT_EQ(kNormal.size(), 47u);
    State s;
    Values v = decode(s, kQ1, kNormal);
    EXPECT_FLOAT_EQ(v[drv(Data_BatteryVoltage)], 13.5f);
    EXPECT_EQ(v[drv(Alarm_UpsType)], 0);
    v = decode(s, kQ1, q1("230.5", "50.0", "27.0", "00001001"));
    EXPECT_FLOAT_EQ(v[drv(Data_BatteryVoltage)], 27.0f);
    EXPECT_EQ(v[drv(Alarm_UpsType)], 1);
}

TEST(Q1, MeasurementsAndOnLineState)
{
    State s;
    s.rated_freq = 50;
    Values v = decode(s, kQ1, kNormal);
    EXPECT_FLOAT_EQ(v[drv(Data_InputVoltage_A)], 230.5f);
    EXPECT_FLOAT_EQ(v[drv(Data_BypassVoltage_A)], 230.5f);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputVoltage_A)], 220.0f);
    EXPECT_EQ(v[drv(Data_OutputPercentLoad_A)], 45);
    EXPECT_FLOAT_EQ(v[drv(Data_BypassFrequency)], 50.0f);
    EXPECT_EQ(v[drv(Data_OutputNumLines)], 1);
    EXPECT_EQ(v[drv(Data_OutputSource)], 3);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 3);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 2);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputFrequency)], 50.0f);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(v[drv(Alarm_OnInput)], 1);
    EXPECT_EQ(v[drv(Alarm_OnBattery)], 0);
}

TEST(Q1, MainsFailureRunsOnBatteryAtTheRatedFrequency)
{
    State s;
    s.rated_freq = 50;
    Values v = decode(s, kQ1, q1("000.0", "00.0", "2.05", "10000001"));
    EXPECT_EQ(v[drv(Alarm_OnBattery)], 1);
    EXPECT_EQ(v[drv(Alarm_InputBad)], 1);
    EXPECT_EQ(v[drv(Alarm_BatteryCharge)], 1);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 8);
    EXPECT_EQ(v[drv(Data_OutputSource)], 5);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 4);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputFrequency)], 50.0f);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 0, 0, 1, 1, 1, 2}));
    // Low battery outranks the battery run.
    v = decode(s, kQ1, q1("000.0", "00.0", "1.75", "11000001"));
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 3);
}

TEST(Q1, BypassTestAndFailure)
{
    State s;
    Values v = decode(s, kQ1, q1("230.5", "50.0", "2.25", "00100001"));
    EXPECT_EQ(v[drv(Alarm_OnBypass)], 1);
    EXPECT_EQ(v[drv(Data_OutputSource)], 4);
    EXPECT_EQ(lines(v), (std::vector<float>{1, 1, 1, 0, 0, 1, 1}));
    v = decode(s, kQ1, q1("230.5", "50.0", "2.25", "00100001", "000.0"));
    EXPECT_EQ(v[drv(Data_OutputSource)], 2);
    EXPECT_EQ(v[drv(Data_OutputFrequency)], 0);

    v = decode(s, kQ1, q1("230.5", "50.0", "2.25", "00000101"));
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 5);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 5);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 1, 0, 1, 1, 1, 2}));
    EXPECT_EQ(v[drv(Alarm_OnInput)], 0);
    v = decode(s, kQ1, q1("230.5", "50.0", "27.0", "00001101"));
    EXPECT_EQ(lines(v), (std::vector<float>{0, 0, 0, 0, 0, 1, 2}));
    EXPECT_EQ(v[drv(Data_OutputSource)], 5);

    v = decode(s, kQ1, q1("230.5", "50.0", "2.25", "00010001"));
    EXPECT_EQ(v[drv(Alarm_GeneralFault)], 1);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 6);
}

TEST(Q1, Models283And282ReportTheRatedFrequencyWhenTheInputStrays)
{
    State s;
    s.type_model = 283;
    s.rated_freq = 50;
    EXPECT_FLOAT_EQ(
        decode(s, kQ1, q1("230.5", "56.0", "2.25", "00000001"))[drv(Data_OutputFrequency)], 50.0f);
    EXPECT_FLOAT_EQ(
        decode(s, kQ1, q1("230.5", "52.0", "2.25", "00000001"))[drv(Data_OutputFrequency)], 52.0f);
    s.type_model = 282;
    EXPECT_FLOAT_EQ(
        decode(s, kQ1, q1("230.5", "45.0", "2.25", "00000001"))[drv(Data_OutputFrequency)], 50.0f);
    s.type_model = 101;
    EXPECT_FLOAT_EQ(
        decode(s, kQ1, q1("230.5", "56.0", "2.25", "00000001"))[drv(Data_OutputFrequency)], 56.0f);
}

// A QT line: the fields of txtups_1.h, reserved zeros, the fault code.
std::string qtLine(const char* mode, const char* status, const char* fault,
                   const char* outV = "2200")
{
    std::string s =
        std::string("(2305 5000 ") + outV + " 5010 045 0270 100 0250 " + mode + " " + status;
    for (int k = 0; k < 20; ++k)
        s += " 000000";
    return s + " " + fault + "\r";
}

TEST(Qt, OwnsSourceModeAndFrequencyWhileItAnswers)
{
    State s;
    bool ok = false;
    Values v = decode(s, kQT, qtLine("3", "0000", "0"), &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(v[drv(Data_OutputSource)], 3);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 3);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputFrequency)], 50.1f);
    EXPECT_EQ(s.is_exist_qt, 1);
    EXPECT_EQ(decode(s, kQT, qtLine("6", "0000", "0", "0300"))[drv(Data_OutputSource)], 2);
    EXPECT_EQ(decode(s, kQT, qtLine("6", "0000", "0"))[drv(Data_OutputSource)], 4);

    v = decode(s, kQ1, kNormal);
    for (int sig : {Data_OutputSource, Data_OutputFrequency, Data_UpsWorkMode})
        EXPECT_EQ(v.count(drv(sig)), 0u) << sig;

    // A short or malformed QT: nothing, the ownership as it was.
    State fresh;
    EXPECT_TRUE(decode(fresh, kQT, "(2305 5000 2200 5010\r", &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(decode(fresh, kQT, qtLine("3", "1234567", "0")).empty());
    EXPECT_EQ(fresh.is_exist_qt, 0);
}

TEST(Qt, StatusFieldsOfModels283And282)
{
    State m283;
    m283.type_model = 283;
    Values v = decode(m283, kQT, qtLine("3", "0208", "42"));
    EXPECT_EQ(v[drv(Alarm_BatteryDisconnected)], 1);
    EXPECT_EQ(v[drv(Alarm_FanFailure)], 1);
    EXPECT_EQ(v[drv(Alarm_TempBad)], 1);
    v = decode(m283, kQT, qtLine("3", "0010", "45"));
    EXPECT_EQ(v[drv(Alarm_BatteryDisconnected)], 0);
    EXPECT_EQ(v[drv(Alarm_FanFailure)], 0);
    EXPECT_EQ(v[drv(Alarm_TempBad)], 0);

    State m282;
    m282.type_model = 282;
    v = decode(m282, kQT, qtLine("3", "0010", "42"));
    EXPECT_EQ(v[drv(Alarm_BatteryDisconnected)], 1);
    EXPECT_EQ(v.count(drv(Alarm_TempBad)), 0u);

    State other;
    other.type_model = 101;
    v = decode(other, kQT, qtLine("3", "0208", "42"));
    EXPECT_EQ(v.count(drv(Alarm_BatteryDisconnected)), 0u);
}

TEST(Ratings, FAndBl)
{
    State s;
    Values v = decode(s, kF, "#220.0 005 12.00 50.0\r");
    EXPECT_FLOAT_EQ(v[drv(Sys_ConfigInputVoltage)], 220.0f);
    EXPECT_FLOAT_EQ(v[drv(Sys_ConfigOutputFreq)], 50.0f);
    EXPECT_FLOAT_EQ(s.rated_freq, 50.0f);
    v = decode(s, kBL, "BL087\r");
    EXPECT_EQ(v[drv(Data_EstimatedChargeRemaining)], 87);
    EXPECT_EQ(v[drv(Alarm_BatteryBad)], 0);
    bool ok = true;
    EXPECT_TRUE(decode(s, kBL, "XL087\r", &ok).empty());
    EXPECT_TRUE(decode(s, kF, "#220.0x005 12.00 50.0\r", &ok).empty());
    EXPECT_FALSE(ok);
}

TEST(Cycle, ModelFirstThenQtAndSilenceForgetsBoth)
{
    std::map<std::string, std::string> answers = {
        {"MODEL\r", "TYPE283\r"},
        {"QT\r", qtLine("3", "0000", "0")},
        {"Q1\r", kNormal},
        {"I\r", "#KYTO            KR11-283   V1.10     \r"},
        {"F\r", "#220.0 005 12.00 50.0\r"},
        {"BL\r", "BL100\r"}};
    FakePort port;
    port.responder = asciitest::answerFrom(answers);
    auto sent = [&] {
        std::vector<std::string> out = asciitest::sent(port);
        port.writes.clear();
        return out;
    };
    State s;
    upscommon::Cycle out([](int, float) {});
    EXPECT_EQ(query(s, io(), &port, 1, out), 1);
    EXPECT_EQ(sent(), (std::vector<std::string>{"MODEL\r", "Q1\r", "I\r", "F\r", "BL\r"}));
    EXPECT_EQ(query(s, io(), &port, 1, out), 1);
    EXPECT_EQ(sent(), (std::vector<std::string>{"QT\r", "Q1\r", "I\r", "F\r", "BL\r"}));
    EXPECT_EQ(s.is_exist_qt, 1);
    answers.clear();
    EXPECT_EQ(query(s, io(), &port, 1, out), 0);
    EXPECT_EQ(s.type_model, 0);
    EXPECT_EQ(s.is_exist_qt, 0);
}

} // namespace
