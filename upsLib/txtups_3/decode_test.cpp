// txtups_3 fed with replies laid out as the three-phase text protocol writes
// them: the cycle's command choice and model learning, each decoder, the
// combined Q1 rules (battery status, output source, energy flow), QT, and
// replies with blanks out of place.
#include "ascii_test_util.hpp"
#include "fake_port.h"
#include "signals.h"
#include "txtups_3.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

using namespace fakeport;
using namespace txtups_3;

namespace
{

using asciitest::decode;
using asciitest::drv;
using asciitest::lines;
using asciitest::sent;
using asciitest::Values;

std::string fmt(const char* f, auto... a)
{
    char buf[300];
    std::snprintf(buf, sizeof buf, f, a...);
    return buf;
}

// Replies of a UPS in the given state.
struct Ups {
    std::string model = "TYPE231\r";
    std::string g1 = "!480 100 0035 012.5 +25.0 50.0 50.0 50.0\r";
    std::string g2 = "!00000001 00000111 00000000\r";
    std::string g3 = "!230.5/231.0/229.5 230.0/230.0/230.0 220.0/220.1/219.9 045.0/044.0/046.0\r";
    std::string gf = "!220V/380V      050 220V/380V      050 220V/380V      050 480 010KVA    \r";
    std::string i = "#KYTO            KR33-231   V2.80     \r";
    std::string q1 = "(230.5 230.5 220.0 045 50.0 480. 25.0 00000001\r";
    std::string qt = "";
    std::string f = "#380.0 015 480.0 50.0\r";
};

TEST(Records, RepliesHaveTheProtocolsLengths)
{
    const Ups u;
    EXPECT_EQ(u.g1.size(), 41u);
    EXPECT_EQ(u.g2.size(), 28u);
    EXPECT_EQ(u.g3.size(), 73u);
    EXPECT_EQ(u.gf.size(), 73u);
    EXPECT_EQ(u.i.size(), 39u);
    EXPECT_EQ(u.q1.size(), 47u);
    EXPECT_EQ(u.f.size(), 22u);
}

// A line answering every command of the table from u (QT only if set).
FakePort lineFor(const Ups& u, bool* silent = nullptr)
{
    FakePort port;
    port.responder = [&u, silent](const Bytes& req) -> std::vector<Bytes> {
        if (silent && *silent) return {};
        const std::map<std::string, std::string> answers = {
            {"MODEL\r", u.model}, {"G1\r", u.g1}, {"G2\r", u.g2}, {"G3\r", u.g3}, {"GF\r", u.gf},
            {"I\r", u.i},         {"Q1\r", u.q1}, {"QT\r", u.qt}, {"F\r", u.f}};
        return asciitest::answerFrom(answers)(req);
    };
    return port;
}

TEST(Cycle, FirstCycleAsksTheModelThenModel231AddsQtAndF)
{
    Ups u;
    bool silent = false;
    FakePort port = lineFor(u, &silent);
    State s;
    upscommon::Cycle out([](int, float) {});
    EXPECT_EQ(query(s, io(), &port, 1, out), 1);
    EXPECT_EQ(sent(port),
              (std::vector<std::string>{"MODEL\r", "G1\r", "G2\r", "G3\r", "GF\r", "I\r", "Q1\r"}));
    EXPECT_EQ(s.type_model, 231);

    port.writes.clear();
    EXPECT_EQ(query(s, io(), &port, 1, out), 1);
    EXPECT_EQ(sent(port), (std::vector<std::string>{"G1\r", "G2\r", "G3\r", "GF\r", "I\r", "Q1\r",
                                                    "QT\r", "F\r"}));
    EXPECT_EQ(s.is_exist_qt, 0); // QT brought nothing

    // A cycle in which nothing answers forgets the model.
    silent = true;
    EXPECT_EQ(query(s, io(), &port, 1, out), 0);
    EXPECT_EQ(s.type_model, 0);

    // Suspended: no byte on the line, the model kept.
    silent = false;
    s.type_model = 231;
    s.exit_upslib_flag = 1;
    port.writes.clear();
    EXPECT_EQ(query(s, io(), &port, 1, out), 0);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(s.type_model, 231);
}

TEST(Cycle, OtherModelsSkipFAndATornQtIsDropped)
{
    Ups u;
    u.model = "TYPE201\r";
    u.qt = "(1 2 3 4"; // cut off: short and without its carriage return
    FakePort port = lineFor(u);
    State s;
    s.is_exist_qt = 1;
    upscommon::Cycle out([](int, float) {});
    query(s, io(), &port, 1, out);
    port.writes.clear();
    query(s, io(), &port, 1, out);
    const auto cmds = sent(port);
    EXPECT_EQ(cmds.back(), "QT\r");
    EXPECT_EQ(s.is_exist_qt, 0);
}

TEST(Decode, G1BatteryTemperatureAndFrequencies)
{
    State s;
    Values v = decode(s, kG1, Ups{}.g1);
    EXPECT_EQ(v[drv(Data_BatteryVoltage)], 480);
    EXPECT_EQ(v[drv(Data_EstimatedChargeRemaining)], 100);
    EXPECT_EQ(v[drv(Data_EstimatedMinutesRemaining)], 35);
    EXPECT_FLOAT_EQ(v[drv(Data_BatteryCurrent)], 12.5f);
    EXPECT_FLOAT_EQ(v[drv(Data_BatteryTemperature)], 25.0f);
    EXPECT_FLOAT_EQ(v[drv(Data_InputFrequency_C)], 50.0f);
    EXPECT_EQ(v[drv(Alarm_BatteryDisconnected)], 0);
    EXPECT_EQ(v[drv(Data_InputNumLines)], 3);
    // No battery voltage: disconnected. A stray character parses as 0.
    v = decode(s, kG1, "!0x0 100 0035 012.5 +25.0 50.0 50.0 50.0\r");
    EXPECT_EQ(v[drv(Data_BatteryVoltage)], 0);
    EXPECT_EQ(v[drv(Alarm_BatteryDisconnected)], 1);
}

TEST(Decode, RepliesWithABlankOutOfPlaceOrCutShortReportNothing)
{
    State s;
    bool ok = true;
    EXPECT_TRUE(decode(s, kG1, "!480x100 0035 012.5 +25.0 50.0 50.0 50.0\r", &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(decode(s, kQ1, Ups{}.q1.substr(0, 20), &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_TRUE(decode(s, kG3, std::string(Ups{}.g3).replace(24, 1, "-"), &ok).empty());
    EXPECT_TRUE(decode(s, kModel, "TYPO231\r", &ok).empty());
    EXPECT_EQ(s.type_model, 0);
    EXPECT_TRUE(decode(s, kG2, "", &ok).empty());
}

TEST(Decode, G2ShutdownCausesByModel)
{
    //                                  EPO at position 20
    const std::string epo = "!00000001 00000111 01000000\r";
    const std::string overload = "!00000001 00000111 00001000\r";
    State other;
    Values v = decode(other, kG2, epo);
    EXPECT_EQ(v[drv(Alarm_UpsSystemOff)], 1);
    EXPECT_EQ(v[drv(Alarm_ShutdownImminent)], 1);
    v = decode(other, kG2, overload);
    EXPECT_EQ(v[drv(Alarm_UpsSystemOff)], 1);
    EXPECT_EQ(v[drv(Alarm_OutputOverload)], 1);

    // Model 231 leaves the report to Q1, where a general fault adds in.
    State m231;
    m231.type_model = 231;
    v = decode(m231, kG2, overload);
    EXPECT_EQ(v.count(drv(Alarm_UpsSystemOff)), 0u);
    v = decode(m231, kQ1, Ups{}.q1);
    EXPECT_EQ(v[drv(Alarm_UpsSystemOff)], 0);
    decode(m231, kG2, epo);
    v = decode(m231, kQ1, Ups{}.q1);
    EXPECT_EQ(v[drv(Alarm_ShutdownImminent)], 1);

    State m221;
    m221.type_model = 221;
    decode(m221, kG2, epo);
    EXPECT_EQ(m221.IsOffFlag, 0);
}

TEST(Decode, G3PhasesAndBypassVoltage)
{
    State s;
    s.on_byp = 1;
    Values v = decode(s, kG3, Ups{}.g3);
    EXPECT_FLOAT_EQ(v[drv(Data_InputVoltage_B)], 231.0f);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputVoltage_C)], 219.9f);
    EXPECT_FLOAT_EQ(v[drv(Data_OutputPercentLoad_A)], 45.0f);
    EXPECT_FLOAT_EQ(v[drv(Data_BypassVoltage_A)], 230.0f);
    EXPECT_EQ(s.byp_vol, 230);
    EXPECT_EQ(v[drv(Alarm_OnBypass)], 1);
}

TEST(Decode, GfRatingsAndModel231sLineToLineInput)
{
    State other;
    Values v = decode(other, kGF, Ups{}.gf);
    EXPECT_EQ(v[drv(Sys_ConfigInputVoltage)], 220);
    EXPECT_EQ(v[drv(Sys_ConfigOutputVoltage)], 220);
    EXPECT_EQ(v[drv(Sys_ConfigInputFreq)], 50);
    EXPECT_EQ(v[drv(Sys_ConfigOutputVA)], 10000);
    EXPECT_EQ(v.count(drv(Sys_ConfigOutputPower)), 0u);

    State m231;
    m231.type_model = 231;
    v = decode(m231, kGF, Ups{}.gf);
    EXPECT_EQ(v[drv(Sys_ConfigInputVoltage)], 380);
    EXPECT_EQ(v.count(drv(Sys_ConfigOutputVoltage)), 0u);
    EXPECT_EQ(v[drv(Sys_ConfigOutputPower)], 8000);
    v = decode(m231, kF, Ups{}.f);
    EXPECT_FLOAT_EQ(v[drv(Sys_ConfigOutputVoltage)], 380.0f);
}

TEST(Decode, IdentityTexts)
{
    State s;
    Values v = decode(s, kI, Ups{}.i);
    EXPECT_EQ(v[drv(Data_IdentManufacturer)], 'K');
    EXPECT_EQ(v[drv(Data_upsIdentModel) + 5], '2');
    EXPECT_EQ(v[drv(Data_UPSSoftwareVersion)], 'V');
    EXPECT_EQ(v.count(drv(Data_IdentManufacturer) + 15), 0u);
    EXPECT_EQ(v[drv(Data_AttachedDevices)], 0);
}

// Q1 after G2 and G3 of the same cycle.
Values cycleQ1(State& s, const std::string& g2, const std::string& q1,
               const std::string& g3 = Ups{}.g3)
{
    decode(s, kG1, Ups{}.g1);
    decode(s, kG2, g2);
    decode(s, kG3, g3);
    return decode(s, kQ1, q1);
}

TEST(Decode, Q1OnLineOnBatteryAndUnderTest)
{
    // rectifier running; bypass fine, static switch on the inverter, inverter running
    const std::string online = "!00000001 00000111 00000000\r";
    State s;
    Values v = cycleQ1(s, online, Ups{}.q1);
    EXPECT_EQ(v[drv(Data_OutputSource)], 3);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 3);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 7);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 1, 1, 1, 1, 1, 1}));
    EXPECT_EQ(v[drv(Alarm_OnInput)], 1);
    EXPECT_EQ(v[drv(Sys_ConfigAudibleStatus)], 1);

    // run mode battery, rectifier stopped
    const std::string battery = "!00000100 00000111 00000000\r";
    const std::string mainsOff = "(000.0 000.0 220.0 045 00.0 480. 25.0 10000001\r";
    const std::string g3Off =
        "!000.0/000.0/000.0 000.0/000.0/000.0 220.0/220.1/219.9 045.0/044.0/046.0\r";
    State b;
    v = cycleQ1(b, battery, mainsOff, g3Off);
    EXPECT_EQ(v[drv(Alarm_InputBad)], 1);
    EXPECT_EQ(v[drv(Data_OutputSource)], 5);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 4);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 8);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 0, 0, 1, 1, 1, 2}));
    EXPECT_EQ(v[drv(Alarm_OnInput)], 0);

    // Test_Flag "1": the energy lines read 0, 1, 0, 1, 1, (line 6), 2.
    const std::string testing = "(230.5 230.5 220.0 045 50.0 480. 25.0 00000101\r";
    State t;
    v = cycleQ1(t, online, testing);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 1, 0, 1, 1, 1, 2}));
    EXPECT_EQ(v[drv(Alarm_TestInProgress)], 1);
    EXPECT_EQ(v[drv(Alarm_OnInput)], 0);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 5);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 5);
}

TEST(Decode, Q1OnBypassAndBatteryStatusOrder)
{
    // static switch "0": on bypass, the bypass fine (Bypass_State "1")
    const std::string bypass = "!00000001 00000100 00000000\r";
    State s;
    Values v = cycleQ1(s, bypass, Ups{}.q1);
    EXPECT_EQ(v[drv(Data_OutputSource)], 4);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 2);
    EXPECT_EQ(lines(v), (std::vector<float>{1, 1, 1, 0, 0, 1, 1}));

    // Bypass_State "0": a bypass fault empties the diagram.
    const std::string bypassFault = "!00000001 00000000 00000000\r";
    v = cycleQ1(s, bypassFault, Ups{}.q1);
    EXPECT_EQ(lines(v), (std::vector<float>{0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(s.byp_err, 1);

    // Low battery wins over everything; a failed UPS shows mode 6.
    const std::string low = "!00010001 00000111 00000000\r";
    const std::string failed = "(230.5 230.5 220.0 045 50.0 480. 25.0 00010001\r";
    v = cycleQ1(s, low, failed);
    EXPECT_EQ(v[drv(Data_BatteryStatus)], 3);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 6);
    EXPECT_EQ(v[drv(Alarm_GeneralFault)], 1);
}

std::string qtWith(int fields, const char* mode)
{
    std::string s = "(";
    for (int k = 1; k <= fields; ++k)
        s += (k == 26 ? std::string(mode) : std::to_string(k)) + " ";
    s += "0\r";
    return s;
}

TEST(Decode, QtOwnsTheOutputSourceOnceItAnswers)
{
    State s;
    s.out_vol = 220;
    Values v = decode(s, kQT, qtWith(30, "3"));
    EXPECT_EQ(v[drv(Data_OutputSource)], 3);
    EXPECT_EQ(v[drv(Data_UpsWorkMode)], 3);
    EXPECT_EQ(s.is_exist_qt, 1);
    EXPECT_EQ(decode(s, kQT, qtWith(30, "6"))[drv(Data_OutputSource)], 4);
    s.out_vol = 10;
    EXPECT_EQ(decode(s, kQT, qtWith(30, "6"))[drv(Data_OutputSource)], 2);
    EXPECT_EQ(decode(s, kQT, qtWith(30, "5"))[drv(Data_OutputSource)], 5);
    EXPECT_EQ(decode(s, kQT, qtWith(30, "11"))[drv(Data_OutputSource)], 1);
    // Q1 then leaves source and mode alone.
    v = decode(s, kQ1, Ups{}.q1);
    EXPECT_EQ(v.count(drv(Data_OutputSource)), 0u);
    EXPECT_EQ(v.count(drv(Data_UpsWorkMode)), 0u);

    // Fewer than 26 fields, or a field too long: nothing, and the state kept.
    State fresh;
    bool ok = true;
    EXPECT_TRUE(decode(fresh, kQT, qtWith(24, "3"), &ok).empty());
    EXPECT_FALSE(ok);
    EXPECT_EQ(fresh.is_exist_qt, 0);
    EXPECT_TRUE(decode(s, kQT, qtWith(30, "1234567")).empty());
    EXPECT_EQ(s.is_exist_qt, 1);
}

} // namespace
