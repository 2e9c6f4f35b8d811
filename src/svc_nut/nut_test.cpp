// The protocol's logic without sockets: request lines, the UPS as its
// variables show it, users and levels, the forced-shutdown latch, and whole
// request sequences of the monitoring clients against card::FakeRuntime.
#include "nut.hpp"

#include "fake_runtime.hpp"

#include <gtest/gtest.h>

#include <map>

namespace nut
{
namespace
{

using Words = std::vector<std::string>;
using namespace std::chrono_literals;

// ---------------------------------------------------------------- lines

TEST(SplitWords, BlanksQuotesAndEscapesMakeWords)
{
    EXPECT_EQ(splitWords("GET VAR ups ups.status"), (Words{"GET", "VAR", "ups", "ups.status"}));
    EXPECT_EQ(splitWords("  LIST\tVAR   ups  "), (Words{"LIST", "VAR", "ups"}));
    EXPECT_EQ(splitWords(R"(SET VAR ups device.location "Rack 4, \"B\" \\ row")"),
              (Words{"SET", "VAR", "ups", "device.location", R"(Rack 4, "B" \ row)"}));
    EXPECT_EQ(splitWords(R"(SET VAR ups x "")"), (Words{"SET", "VAR", "ups", "x", ""}));
    EXPECT_EQ(splitWords(R"(a\ b)"), (Words{"a b"}));
    EXPECT_EQ(splitWords(""), Words{});
}

TEST(SplitWords, RefusesWhatIsNoRequest)
{
    EXPECT_FALSE(splitWords(R"(SET VAR ups x "open)"));
    EXPECT_FALSE(splitWords("GET VAR ups x\\"));
    EXPECT_FALSE(splitWords(std::string("GET\0VAR", 7)));
    EXPECT_FALSE(splitWords("GET \x1b[2J"));
    EXPECT_FALSE(splitWords("\"tab\tinside\""));
    EXPECT_FALSE(splitWords("a b c d e f g h i"));
    EXPECT_TRUE(splitWords("a b c d e f g h"));
}

TEST(Quote, EveryTextComesBackWordForWord)
{
    for (std::string text : {"plain", "two words", R"(a "quoted" \ text)", "", "\\\\\"\""}) {
        auto words = splitWords("VAR ups x " + quote(text));
        ASSERT_TRUE(words) << text;
        ASSERT_EQ(words->size(), 4u);
        EXPECT_EQ((*words)[3], text);
    }
    EXPECT_EQ(quote("line\nbreak\r"), "\"linebreak\""); // no answer may split a line
}

TEST(LineBuffer, AssemblesLinesAcrossReads)
{
    LineBuffer b;
    b.feed("GET VAR u");
    EXPECT_FALSE(b.next());
    b.feed("ps ups.status\r\nLIST UPS\nVER");
    EXPECT_EQ(b.next(), "GET VAR ups ups.status");
    EXPECT_EQ(b.next(), "LIST UPS");
    EXPECT_FALSE(b.next());
    EXPECT_EQ(b.pending(), 3u);
    EXPECT_EQ(b.takeRest(), "VER");
}

TEST(LineBuffer, ALineLongerThanTheLimitEndsTheInput)
{
    LineBuffer whole;
    whole.feed(std::string(kMaxLine, 'x') + "\nVER\n");
    EXPECT_TRUE(whole.overflowed());
    EXPECT_FALSE(whole.next());

    LineBuffer trickle; // never a line end: the held bytes stay bounded
    for (int i = 0; i < 2000; ++i)
        trickle.feed(std::string(100, 'y'));
    EXPECT_TRUE(trickle.overflowed());
    EXPECT_EQ(trickle.pending(), 0u);

    LineBuffer fits;
    fits.feed(std::string(kMaxLine - 1, 'z') + "\n");
    EXPECT_FALSE(fits.overflowed());
    EXPECT_EQ(fits.next()->size(), kMaxLine - 1);
}

// ---------------------------------------------------------------- the UPS

// A three-phase UPS on mains, as the register-map driver reports it.
void onMains(card::FakeRuntime& rt)
{
    const std::map<int, float> sig = {{Data_InputNumLines, 3},
                                      {Data_OutputNumLines, 3},
                                      {Data_BypassNumLines, 3},
                                      {Data_InputVoltage_A, 231.2f},
                                      {Data_InputVoltage_A + 1, 230.8f},
                                      {Data_InputVoltage_A + 2, 229.9f},
                                      {Data_InputCurrent_A, 10.2f},
                                      {Data_InputFrequency_A, 50.0f},
                                      {Data_OutputVoltage_A, 220.0f},
                                      {Data_OutputCurrent_A, 15.0f},
                                      {Data_OutputFrequency, 50.0f},
                                      {Data_OutputPower_A, 3.0f},
                                      {Data_OutputPower_A + 1, 2.9f},
                                      {Data_OutputPower_A + 2, 3.1f},
                                      {Data_OutputPercentLoad_A, 45},
                                      {Data_OutputPercentLoad_A + 1, 44},
                                      {Data_OutputPercentLoad_A + 2, 46},
                                      {Data_BatteryVoltage, 240.5f},
                                      {Data_EstimatedMinutesRemaining, 35},
                                      {Data_EstimatedChargeRemaining, 100},
                                      {Data_BatteryTemperature, 25.5f},
                                      {Alarm_BatteryCharge, 1},
                                      {Data_OutputSource, 3},
                                      {Sys_ConfigOutputVA, 10000}};
    for (auto [s, v] : sig)
        rt.setValue(card::kUps, s, v);
    const char* model = "KR33";
    for (int i = 0; model[i]; ++i)
        rt.setValue(card::kUps, Data_upsIdentModel + i, static_cast<float>(model[i]));
    rt.link(card::kUps, true);
}

std::map<std::string, std::string> asMap(const std::vector<Variable>& vars)
{
    std::map<std::string, std::string> m;
    for (const auto& v : vars)
        m[v.name] = v.value;
    return m;
}

TEST(UpsVariables, StandardNamesWithTheCardsScales)
{
    card::FakeRuntime rt;
    rt.set("ups_type", 4); // output power reported in kW
    onMains(rt);
    Ups ups(rt);
    auto v = asMap(ups.variables(false));
    EXPECT_EQ(v["device.type"], "ups");
    EXPECT_EQ(v["ups.model"], "KR33");
    EXPECT_EQ(v["ups.status"], "OL CHRG");
    EXPECT_EQ(v["battery.charge"], "100");
    EXPECT_EQ(v["battery.runtime"], "2100");  // minutes as seconds
    EXPECT_EQ(v["battery.voltage"], "240.5"); // a string voltage for this family
    EXPECT_EQ(v["ups.realpower"], "9000");    // kW as W, all phases
    EXPECT_EQ(v["ups.load"], "46.0");         // the most loaded phase
    EXPECT_EQ(v["input.voltage"], "231.2");
    EXPECT_EQ(v["input.L3-N.voltage"], "229.9");
    EXPECT_EQ(v["output.L2.realpower"], "2900");
    EXPECT_EQ(v["ups.delay.shutdown"], "12"); // in_tast23 default
    EXPECT_EQ(v.count("ups.alarm"), 0u);
    EXPECT_EQ(v["device.location"], ""); // unset, but readable

    // One phase: no L1..L3 rows. Block voltage x sections for families 0/8.
    rt.set("ups_type", 0);
    rt.set("battery_sections_number", 20);
    rt.setValue(card::kUps, Data_InputNumLines, 1);
    rt.setValue(card::kUps, Data_OutputNumLines, 1);
    rt.setValue(card::kUps, Data_BatteryVoltage, 13.5f);
    v = asMap(ups.variables(false));
    EXPECT_EQ(v.count("input.L1-N.voltage"), 0u);
    EXPECT_EQ(v.count("output.L1.current"), 0u);
    EXPECT_EQ(v["battery.voltage"], "270.0");
    EXPECT_EQ(v["ups.realpower"], "3"); // phase L1 only, in W

    // Battery management replaces charge and runtime.
    rt.set("battery_enable_type", 1);
    rt.setValue(card::kUps, Data_BatteryManageSoc, 77);
    rt.setValue(card::kUps, Data_BatteryManageTime, 10);
    EXPECT_EQ(ups.variable("battery.charge", false), "77");
    EXPECT_EQ(ups.variable("battery.runtime", false), "600");
}

TEST(UpsStatus, WordsFollowTheAlarmSignals)
{
    card::FakeRuntime rt;
    onMains(rt);
    Ups ups(rt);
    auto set = [&](int sig, float v) { rt.setValue(card::kUps, sig, v); };
    EXPECT_EQ(ups.status(false), "OL CHRG");
    set(Alarm_BatteryCharge, 0);
    EXPECT_EQ(ups.status(false), "OL");
    set(Alarm_OnBattery, 1);
    EXPECT_EQ(ups.status(false), "OB DISCHRG");
    set(Alarm_LowBattery, 1);
    EXPECT_EQ(ups.status(false), "OB LB DISCHRG");
    EXPECT_EQ(ups.status(true), "FSD OB LB DISCHRG");
    set(Alarm_OnBattery, 0);
    set(Alarm_LowBattery, 0);
    set(Alarm_OnBypass, 1);
    set(Alarm_OutputOverload, 1);
    set(Alarm_BatteryBad, 1);
    set(Alarm_TestInProgress, 1);
    EXPECT_EQ(ups.status(false), "OL RB BYPASS CAL OVER");
    for (int s : {Alarm_OnBypass, Alarm_OutputOverload, Alarm_BatteryBad, Alarm_TestInProgress})
        set(s, 0);
    set(Data_OutputSource, 7);
    EXPECT_EQ(ups.status(false), "OL TRIM");
    set(Data_OutputSource, 6);
    EXPECT_EQ(ups.status(false), "OL BOOST");
    set(Data_OutputSource, 2); // no output
    EXPECT_EQ(ups.status(false), "OFF");

    set(Alarm_FanFailure, 1);
    set(Alarm_ShutdownPending, 1);
    EXPECT_EQ(ups.alarms(), "Fan failure, Shutdown pending");
    EXPECT_EQ(ups.variable("ups.alarm", false), "Fan failure, Shutdown pending");
}

TEST(UpsStatus, StaleUntilTheUpsAnswersAndWhenTheCardDeclaresItLost)
{
    card::FakeRuntime rt;
    Ups ups(rt);
    EXPECT_TRUE(ups.stale()); // never answered: the zeros are no data
    rt.link(card::kUps, true);
    EXPECT_FALSE(ups.stale());
    rt.link(card::kUps, false); // one missed poll is no loss yet
    EXPECT_FALSE(ups.stale());
    rt.setValue(card::kUps, Alarm_CommunicationsLost, 1);
    EXPECT_TRUE(ups.stale());
}

TEST(Writables, SettingsBehindTheWritableVariables)
{
    card::FakeRuntime rt;
    const Writable* delay = findWritable("ups.delay.shutdown");
    const Writable* start = findWritable("ups.delay.start");
    const Writable* where = findWritable("device.location");
    ASSERT_TRUE(delay && start && where);
    EXPECT_EQ(setWritable(rt, *delay, "30"), std::nullopt);
    EXPECT_EQ(rt.text("in_tast23"), "30");
    EXPECT_EQ(setWritable(rt, *delay, "-1"), "INVALID-VALUE");
    EXPECT_EQ(setWritable(rt, *delay, "1e3"), "INVALID-VALUE");
    EXPECT_EQ(setWritable(rt, *delay, "10000"), "INVALID-VALUE");
    EXPECT_EQ(rt.text("in_tast23"), "30");
    EXPECT_EQ(setWritable(rt, *start, "90"), std::nullopt); // minutes, rounded up
    EXPECT_EQ(rt.text("in_tast5"), "2");
    EXPECT_EQ(writableValue(rt, *start), "120");
    EXPECT_EQ(setWritable(rt, *where, std::string(64, 'x')), "TOO-LONG");
    EXPECT_EQ(setWritable(rt, *where, "Room 2"), std::nullopt);
    EXPECT_EQ(rt.text("System_Location"), "Room 2");
}

// ---------------------------------------------------------------- users

void addUser(card::FakeRuntime& rt, int n, const char* name, const char* pass, const char* right,
             const char* filter)
{
    const std::string i = std::to_string(n);
    rt.set("user_name" + i, name);
    rt.set("user_pass" + i, pass);
    rt.set("user_right" + i, right);
    rt.set("user_ip" + i, filter);
}

TEST(Users, LevelsFromTheTableWithAddressFilters)
{
    card::FakeRuntime rt;
    addUser(rt, 1, "ops", "pw", "2", "192.168.1");
    addUser(rt, 2, "ops", "pw", "1", "*.*.*.*");
    addUser(rt, 3, "nobody", "x", "3", "");
    addUser(rt, 5, "boss", "s3", "9", "10.0.0.0/8");
    rt.set("administrator_password", "pqlzv");
    Users users;
    users.load(rt);
    EXPECT_EQ(users.count(), 4u);
    EXPECT_EQ(users.level("ops", "pw", "192.168.1.20"), kOperator);
    EXPECT_EQ(users.level("ops", "pw", "192.168.2.1"), kMonitor); // the next slot admits it
    EXPECT_EQ(users.level("ops", "bad", "192.168.1.20"), kNoAccess);
    EXPECT_EQ(users.level("nobody", "x", "192.168.1.20"), kNoAccess); // empty filter
    EXPECT_EQ(users.level("boss", "s3", "10.1.2.3"), kAdministrator); // clamped
    EXPECT_EQ(users.level("boss", "s3", "11.1.2.3"), kNoAccess);
    EXPECT_EQ(users.level("admin", "pqlzv", "10.1.2.3"), kNoAccess); // the web's fixed admin
    EXPECT_EQ(users.level("", "", "10.1.2.3"), kNoAccess);

    addUser(rt, 5, "", "", "", ""); // the web page saves, then the event reloads
    EXPECT_EQ(users.level("boss", "s3", "10.1.2.3"), kAdministrator);
    users.load(rt);
    EXPECT_EQ(users.level("boss", "s3", "10.1.2.3"), kNoAccess);
    EXPECT_EQ(levelOfRight("0"), kNoAccess);
    EXPECT_EQ(levelOfRight("text"), kNoAccess);
    EXPECT_EQ(levelOfRight("2"), kOperator);
}

// ---------------------------------------------------------------- FSD

TEST(ForcedShutdown, RaisedAheadOfEveryShutdownTheCardMakes)
{
    card::FakeRuntime rt;
    const auto t0 = Clock::now();
    {
        ForcedShutdown f; // a schedule's shutdown is pending
        f.observe(rt, t0);
        EXPECT_FALSE(f.raised(t0));
        rt.setValue(card::kUps, Alarm_ShutdownPending, 1);
        f.observe(rt, t0);
        EXPECT_TRUE(f.raised(t0));
        EXPECT_EQ(f.takeNews(), "a scheduled shutdown is pending");
        EXPECT_EQ(f.takeNews(), "");
        rt.setValue(card::kUps, Alarm_ShutdownPending, 0);
        f.observe(rt, t0 + 10s);
        EXPECT_TRUE(f.raised(t0 + ForcedShutdown::kHold)); // held after the last cause
        EXPECT_FALSE(f.raised(t0 + 1s + ForcedShutdown::kHold));
    }
    {
        // Shutdown 5 minutes after mains failure, warning 2 minutes ahead.
        ForcedShutdown f;
        rt.set("sel_down", 1);
        rt.set("down_time", 5);
        rt.set("sche_bef_min", 2);
        rt.setValue(card::kUps, Alarm_InputBad, 1);
        rt.setValue(card::kUps, Alarm_ShutdownImminent, 1); // the data task's countdown flag
        f.observe(rt, t0);
        f.observe(rt, t0 + 179s);
        EXPECT_FALSE(f.raised(t0 + 179s));
        f.observe(rt, t0 + 181s);
        EXPECT_TRUE(f.raised(t0 + 181s));
        EXPECT_EQ(f.takeNews(), "a shutdown after alarm sel_down is due");
    }
    {
        ForcedShutdown f; // mains back in time: the countdown starts over
        f.observe(rt, t0);
        rt.setValue(card::kUps, Alarm_InputBad, 0);
        rt.setValue(card::kUps, Alarm_ShutdownImminent, 0);
        f.observe(rt, t0 + 100s);
        rt.setValue(card::kUps, Alarm_InputBad, 1);
        f.observe(rt, t0 + 101s);
        f.observe(rt, t0 + 200s);
        EXPECT_FALSE(f.raised(t0 + 200s));
        rt.set("use_dev_fun3", 0); // the data task runs no delays then
        f.observe(rt, t0 + 400s);
        EXPECT_FALSE(f.raised(t0 + 400s));
        rt.set("use_dev_fun3", 1);
        rt.setValue(card::kUps, Alarm_InputBad, 0);
    }
    {
        ForcedShutdown f; // the UPS itself says the output goes off
        rt.setValue(card::kUps, Alarm_ShutdownImminent, 1);
        f.observe(rt, t0);
        EXPECT_TRUE(f.raised(t0));
        rt.setValue(card::kUps, Alarm_ShutdownImminent, 0);
    }
    {
        ForcedShutdown f; // commands from the web, SNMP, Modbus, SMS
        f.commandPosted(rt, card::command::kSelfTest, t0);
        EXPECT_FALSE(f.raised(t0));
        f.commandPosted(rt, card::command::kShutdown, t0);
        EXPECT_TRUE(f.raised(t0));
        ForcedShutdown off;
        rt.set("use_dev_fun2", 0); // the data task ignores remote commands
        off.commandPosted(rt, card::command::kShutdown, t0);
        EXPECT_FALSE(off.raised(t0));
    }
}

// ---------------------------------------------------------------- protocol

struct FakePeers : Peers {
    std::vector<std::string> logins;
    bool tls = false;
    std::vector<std::string> loggedIn() override { return logins; }
    bool tlsAvailable() override { return tls; }
};

struct ProtocolTest : ::testing::Test {
    card::FakeRuntime rt;
    Ups ups{rt};
    Users users;
    ForcedShutdown fsd;
    FakePeers peers;
    Protocol proto{ups, users, fsd, peers};
    Client client{"192.168.1.20"};

    void SetUp() override
    {
        onMains(rt);
        addUser(rt, 1, "mon", "m1", "1", "*.*.*.*");
        addUser(rt, 2, "op", "o2", "2", "192.168.1");
        addUser(rt, 3, "root", "r3", "3", "192.168.1.20");
        users.load(rt);
    }
    std::string ask(const std::string& line, Client& c)
    {
        Answer a = proto.handleLine(c, line);
        if (a.close) closed = true;
        if (a.authFailed) delayed = true;
        return a.text;
    }
    std::string ask(const std::string& line) { return ask(line, client); }
    Client as(const char* user, const char* pass, const char* address = "192.168.1.20")
    {
        Client c{address};
        EXPECT_EQ(ask(std::string("USERNAME ") + user, c), "OK\n");
        EXPECT_EQ(ask(std::string("PASSWORD ") + pass, c), "OK\n");
        return c;
    }
    bool closed = false, delayed = false;
};

TEST_F(ProtocolTest, ReadsNeedNoAccount)
{
    EXPECT_EQ(ask("LIST UPS"),
              "BEGIN LIST UPS\nUPS ups \"UPS of the network card\"\nEND LIST UPS\n");
    EXPECT_EQ(ask("GET VAR ups ups.status"), "VAR ups ups.status \"OL CHRG\"\n");
    EXPECT_EQ(ask("get var ups battery.charge"), "VAR ups battery.charge \"100\"\n");
    const std::string all = ask("LIST VAR ups");
    EXPECT_EQ(all.rfind("BEGIN LIST VAR ups\nVAR ups device.type \"ups\"\n", 0), 0u);
    EXPECT_NE(all.find("VAR ups input.L2-N.voltage \"230.8\"\n"), std::string::npos);
    EXPECT_TRUE(all.ends_with("END LIST VAR ups\n"));
    EXPECT_EQ(ask("GET TYPE ups ups.delay.shutdown"), "TYPE ups ups.delay.shutdown RW RANGE\n");
    EXPECT_EQ(ask("GET TYPE ups battery.charge"), "TYPE ups battery.charge NUMBER\n");
    EXPECT_EQ(ask("GET DESC ups ups.status"), "DESC ups ups.status \"UPS status\"\n");
    EXPECT_EQ(ask("LIST RANGE ups ups.delay.start"),
              "BEGIN LIST RANGE ups ups.delay.start\nRANGE ups ups.delay.start \"60\" \"599940\"\n"
              "END LIST RANGE ups ups.delay.start\n");
    EXPECT_EQ(ask("LIST ENUM ups ups.status"),
              "BEGIN LIST ENUM ups ups.status\nEND LIST ENUM ups ups.status\n");
    EXPECT_NE(ask("LIST CMD ups").find("CMD ups test.battery.start.quick\n"), std::string::npos);
    EXPECT_EQ(ask("GET CMDDESC ups beeper.toggle"),
              "CMDDESC ups beeper.toggle \"Toggle the UPS beeper\"\n");
    EXPECT_EQ(ask("NETVER"), "1.3\n");
    peers.logins = {"10.0.0.7", "::1"};
    EXPECT_EQ(ask("GET NUMLOGINS ups"), "NUMLOGINS ups 2\n");
    EXPECT_EQ(ask("LIST CLIENT ups"),
              "BEGIN LIST CLIENT ups\nCLIENT ups 10.0.0.7\nCLIENT ups ::1\nEND LIST CLIENT ups\n");
}

TEST_F(ProtocolTest, ErrorWordsForWhatCannotBeAnswered)
{
    EXPECT_EQ(ask("GET VAR other ups.status"), "ERR UNKNOWN-UPS\n");
    EXPECT_EQ(ask("GET VAR ups no.such.var"), "ERR VAR-NOT-SUPPORTED\n");
    EXPECT_EQ(ask("GET VAR ups ups.alarm"), "ERR VAR-NOT-SUPPORTED\n"); // no alarm now
    EXPECT_EQ(ask("GET CMDDESC ups self.destruct"), "ERR CMD-NOT-SUPPORTED\n");
    EXPECT_EQ(ask("GET VAR ups"), "ERR INVALID-ARGUMENT\n");
    EXPECT_EQ(ask("GET SOMETHING"), "ERR INVALID-ARGUMENT\n");
    EXPECT_EQ(ask("LIST"), "ERR INVALID-ARGUMENT\n");
    EXPECT_EQ(ask("REQ ups"), "ERR UNKNOWN-COMMAND\n");
    EXPECT_EQ(ask("GET VAR \"ups"), "ERR INVALID-ARGUMENT\n");
    EXPECT_EQ(ask("STARTTLS"), "ERR FEATURE-NOT-CONFIGURED\n");
    EXPECT_EQ(ask(""), "");
    rt.link(card::kUps, false);
    rt.setValue(card::kUps, Alarm_CommunicationsLost, 1);
    EXPECT_EQ(ask("GET VAR ups ups.status"), "ERR DATA-STALE\n");
    EXPECT_EQ(ask("LIST VAR ups"), "ERR DATA-STALE\n");
    EXPECT_EQ(ask("LOGOUT"), "OK Goodbye\n");
    EXPECT_TRUE(closed);
}

TEST_F(ProtocolTest, WrongCredentialsAreDelayedAndNeverLogged)
{
    EXPECT_EQ(ask("LOGIN ups"), "ERR USERNAME-REQUIRED\n");
    Client c = as("op", "guessed-secret");
    EXPECT_EQ(ask("USERNAME again", c), "ERR ALREADY-SET-USERNAME\n");
    EXPECT_EQ(ask("INSTCMD ups beeper.toggle", c), "ERR ACCESS-DENIED\n");
    EXPECT_TRUE(delayed);
    EXPECT_TRUE(rt.logged("wrong user, password or address for user op from 192.168.1.20"));
    EXPECT_FALSE(rt.logged("guessed-secret"));
    EXPECT_TRUE(rt.events.empty());

    delayed = false;
    Client far = as("op", "o2", "10.9.9.9"); // right password, outside the filter
    EXPECT_EQ(ask("LOGIN ups", far), "ERR ACCESS-DENIED\n");
    EXPECT_TRUE(delayed);
}

TEST_F(ProtocolTest, LevelsDecideWhatAUserMayDo)
{
    Client mon = as("mon", "m1");
    EXPECT_EQ(ask("LOGIN ups", mon), "OK\n");
    EXPECT_EQ(ask("LOGIN ups", mon), "ERR ALREADY-LOGGED-IN\n");
    EXPECT_EQ(ask("INSTCMD ups test.battery.start.quick", mon), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(ask("PRIMARY ups", mon), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(ask("FSD ups", mon), "ERR ACCESS-DENIED\n");
    EXPECT_FALSE(delayed); // right password, too low a level: no delay
    EXPECT_TRUE(rt.events.empty());

    Client op = as("op", "o2");
    EXPECT_EQ(ask("INSTCMD ups test.battery.start.quick", op), "OK\n");
    ASSERT_EQ(rt.events.size(), 1u);
    EXPECT_EQ(rt.events[0], (card::FakeRuntime::Event{card::channel::kCommand, 0}));
    ASSERT_EQ(rt.stores.size(), 1u);
    EXPECT_EQ(rt.stores[0].code, card::store::kControlModbus + 0);
    EXPECT_EQ(rt.stores[0].text, "NUT:192.168.1.20");
    EXPECT_EQ(ask("SET VAR ups ups.delay.shutdown 30", op), "ERR ACCESS-DENIED\n");
    EXPECT_EQ(ask("INSTCMD ups load.off.delay 45", op), "OK\n");
    EXPECT_EQ(rt.text("in_tast23"), "45");
    EXPECT_EQ(rt.events.back().code, card::command::kShutdownAfterDelay);
    EXPECT_EQ(ask("INSTCMD ups beeper.toggle 5", op), "ERR INVALID-ARGUMENT\n");
    EXPECT_EQ(ask("INSTCMD ups warp.drive", op), "ERR CMD-NOT-SUPPORTED\n");
    rt.set("use_dev_fun2", 0);
    EXPECT_EQ(ask("INSTCMD ups beeper.toggle", op), "ERR INSTCMD-FAILED\n");
    rt.set("use_dev_fun2", 1);

    Client root = as("root", "r3");
    EXPECT_EQ(ask("MASTER ups", root), "OK MASTER-GRANTED\n");
    EXPECT_EQ(ask("PRIMARY ups", root), "OK PRIMARY-GRANTED\n");
    EXPECT_EQ(ask("SET VAR ups device.location \"Room 2\"", root), "OK\n");
    EXPECT_EQ(rt.text("System_Location"), "Room 2");
    EXPECT_EQ(ask("SET VAR ups ups.status OB", root), "ERR READONLY\n");
    EXPECT_EQ(ask("SET VAR ups ups.delay.start x", root), "ERR INVALID-VALUE\n");
    EXPECT_FALSE(fsd.raised(Clock::now()));
    EXPECT_EQ(ask("FSD ups", root), "OK FSD-SET\n");
    EXPECT_EQ(ask("GET VAR ups ups.status"), "VAR ups ups.status \"FSD OL CHRG\"\n");
}

} // namespace
} // namespace nut
