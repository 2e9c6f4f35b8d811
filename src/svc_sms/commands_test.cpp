// SMS command set: registration and the management keywords with their
// checks, the rule that only registered numbers command the UPS, the
// recipients' keyword path, state reports, periodic reports and the users'
// alarm messages. Replies are captured as the send function gets them.
#include "sms.hpp"

#include "fake_runtime.hpp"

#include <gtest/gtest.h>

using namespace sms;

namespace
{

using Events = std::vector<card::FakeRuntime::Event>;
constexpr const char* kAlice = "+8613800138000";
constexpr const char* kStranger = "+8613999999999";

struct CommandsTest : ::testing::Test {
    card::FakeRuntime rt;
    struct Out {
        std::string to, text;
    };
    std::vector<Out> out;
    Commands cmd{rt, [this](const std::string& to, const std::string& text) {
                     out.push_back({to, text});
                     return true;
                 }};

    void SetUp() override { cmd.load(); }
    void from(const std::string& sender, const std::string& text) { cmd.handle({sender, text}); }
    std::string last() const { return out.empty() ? "" : out.back().text; }
    void registerAlice()
    {
        from(kStranger, "ZCHM583041*86#13800138000#30");
        out.clear();
        rt.clearRecords();
    }
};

TEST_F(CommandsTest, RegistrationFillsTheFirstFreeSlotOnceAndAnswersInTheLanguage)
{
    from(kStranger, "ZCHM583041*1#5550100#30");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, kStranger);
    EXPECT_EQ(out[0].text, "号码设置成功"); // language 0: Chinese
    EXPECT_TRUE(rt.logged("add new user success smsuser.user_num:1 user_id:<#1>"));
    EXPECT_EQ(rt.text("sms_user_telephone_0"), "5550100");
    EXPECT_EQ(rt.text("sms_telephone_code_0"), "1");
    EXPECT_EQ(rt.text("sms_report_time_0"), "30");
    EXPECT_EQ(rt.text("sms_dial_0"), "1");
    EXPECT_EQ(rt.text("registered_num"), "1");

    out.clear();
    from(kStranger, "ZCHM583041*1#5550100#30");
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(rt.logged("already exists"));
    EXPECT_EQ(cmd.users().count(), 1);

    // Malformed or unauthorised forms change nothing.
    for (const char* bad :
         {"ZCHM583041*1#", "ZCHM58304*1#5550101", "ZCHM583041#1*5550101",
          "ZCHM583041*1#5550101#3#4", "ZCHM583041**1#5550101", "ZCHM583041*1x#5550101",
          "ZCHM583041*1#555-0101", "ZCHM583041*1234567890#5550101"})
        from(kStranger, bad);
    EXPECT_EQ(cmd.users().count(), 1);
    EXPECT_TRUE(out.empty());

    // A report interval outside 1-999 is none; the ninth user finds no slot.
    from(kStranger, "ZCHM583041*1#5550102#1000");
    EXPECT_EQ(cmd.users().users[1].reportMinutes, 0);
    for (int i = 3; i <= 9; ++i)
        from(kStranger, "ZCHM583041*1#555010" + std::to_string(i));
    EXPECT_EQ(cmd.users().count(), kSlots);
    EXPECT_EQ(rt.text("sms_user_telephone_7"), "5550108");
}

TEST_F(CommandsTest, OnlyRegisteredNumbersCommandTheUps)
{
    from(kStranger, "XTGJ583041");
    EXPECT_TRUE(rt.events.empty());
    EXPECT_TRUE(rt.stores.empty());
    EXPECT_TRUE(
        rt.logged(std::string("Phone number is not registered user_telephone:") + kStranger));
    // Registration from a stranger is heard, but nothing else in the message.
    from(kStranger, "XTGJ583041 ZCHM583041*86#13999999999");
    EXPECT_EQ(cmd.users().count(), 1);
    EXPECT_TRUE(rt.events.empty());

    rt.clearRecords();
    out.clear();
    from(kStranger, "XTGJ583041");
    from(kStranger, "XTKJ583041");
    from(kStranger, "XTXM583041");
    from(kStranger, "XTHX583041");
    from(kStranger, "DCCS583041");
    from(kStranger, "QXCS583041");
    from(kStranger, "XTGJ583042");  // wrong password
    from(kStranger, "XTGJ583041 "); // anything after the password
    EXPECT_EQ(rt.events, (Events{{0, 4}, {0, 7}, {0, 5}, {0, 6}, {0, 0}, {0, 3}}));
    EXPECT_EQ(rt.storeCodes(), (std::vector<int>{1354, 1357, 1355, 1356, 1350, 1353}));
    EXPECT_EQ(rt.stores[0].text, std::string("Sms:") + kStranger);
    EXPECT_TRUE(out.empty()); // UPS commands are not answered
}

TEST_F(CommandsTest, ShortOrBlankedMessagesAreIgnored)
{
    registerAlice();
    from(kAlice, "CXZ");
    from(kAlice, "CXZT ");
    from(kAlice, "xCXZT"); // the keyword may stand anywhere...
    ASSERT_EQ(out.size(), 1u);
    from(kAlice, "CXZT\n"); // ...but nothing may follow it
    EXPECT_EQ(out.size(), 1u);
}

TEST_F(CommandsTest, SlotCommandsNameEnabledSlotsOnly)
{
    registerAlice();
    from(kAlice, "ZCHM583041*1#5550100");
    out.clear();
    from(kAlice, "QXHM583041#9");
    from(kAlice, "QXHM583041#3");
    from(kAlice, "QXHM583041");
    from(kAlice, "QXHM000000#2");
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(cmd.users().count(), 2);

    from(kAlice, "QXBH583041#1#2");
    EXPECT_EQ(last(), "号码设置成功");
    EXPECT_FALSE(cmd.users().users[0].dial);
    EXPECT_EQ(rt.text("sms_dial_1"), "0");
    from(kAlice, "SZBH583041#2");
    EXPECT_TRUE(cmd.users().users[1].dial);
    EXPECT_FALSE(cmd.users().users[0].dial);

    from(kAlice, "CXHM583041");
    EXPECT_EQ(last(), "<1>,86,13800138000,30\r\n<2>,1,5550100,0");

    from(kAlice, "QXHM583041#2");
    EXPECT_EQ(last(), "号码删除成功");
    EXPECT_EQ(cmd.users().count(), 1);
    EXPECT_EQ(rt.text("sms_user_enable_1"), "0");
    EXPECT_EQ(rt.text("sms_user_telephone_1"), "");
}

TEST_F(CommandsTest, AlarmSelectionAndItsQuery)
{
    registerAlice();
    from(kAlice, "SZGJ583041#1#6");
    EXPECT_EQ(last(), "告警设置成功");
    EXPECT_EQ(cmd.users().users[0].alarmMask, 0x21u);
    EXPECT_EQ(rt.text("sms_select_alarm_0"), "33");
    from(kAlice, "CXGJ583041");
    EXPECT_EQ(last(), "#1#6");

    out.clear();
    from(kAlice, "SZGJ583041#0#20#x"); // nothing valid: nothing changes
    from(kAlice, "SZGJ583042#2");
    from(kAlice, "CXGJ583041x");
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(cmd.users().users[0].alarmMask, 0x21u);
}

TEST_F(CommandsTest, SystemLanguageAndFactoryReset)
{
    registerAlice();
    from(kAlice, "SZYY583041#EN");
    EXPECT_EQ(last(), "Language set successfully");
    from(kAlice, "SZXT583041#secret#Server room");
    EXPECT_EQ(last(), "System set up successfully");
    EXPECT_EQ(rt.text("sms_admin_password"), "secret");
    EXPECT_EQ(rt.text("sms_system_name"), "Server room");
    from(kAlice, "XTGJ583041");
    EXPECT_TRUE(rt.events.empty());
    from(kAlice, "SZXT583041#x"); // the old password no longer works
    from(kAlice, "SZXTsecret#");  // an empty password is refused
    EXPECT_EQ(rt.text("sms_admin_password"), "secret");

    // The factory word from a registered number only, and exactly.
    out.clear();
    from(kStranger, "DFST583041");
    from(kAlice, "DFST583041x");
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(rt.text("sms_admin_password"), "secret");
    from(kAlice, "DFST583041");
    EXPECT_EQ(last(), std::string("system reset by ") + kAlice);
    EXPECT_EQ(rt.text("sms_admin_password"), "583041");
    EXPECT_EQ(rt.text("sms_system_name"), "");
    EXPECT_EQ(rt.text("sms_language"), "0");
    EXPECT_EQ(cmd.users().count(), 1); // the users stay
}

TEST_F(CommandsTest, StateReports)
{
    registerAlice();
    rt.set("ups_type", 4);
    rt.setValue(card::kUps, Data_OutputSource, 3);
    rt.setValue(card::kUps, Data_InputNumLines, 3);
    rt.setValue(card::kUps, Data_InputVoltage_A, 230.0f);
    rt.setValue(card::kUps, Data_InputVoltage_B, 231.5f);
    rt.setValue(card::kUps, Data_InputVoltage_C, 229.0f);
    rt.setValue(card::kUps, Data_OutputNumLines, 1);
    rt.setValue(card::kUps, Data_OutputVoltage_A, 220.0f);
    rt.setValue(card::kUps, Data_OutputPercentLoad_A, 45.5f);
    rt.setValue(card::kUps, Data_BatteryVoltage, 13.5f);
    EXPECT_EQ(cmd.stateReport(true),
              "normal\r\nINPUT 230.0/231.5/229.0V\r\nOUTPUT 220.0V\r\nLOAD 45.5%\r\nBATTERY 13.5V");
    rt.set("ups_type", 0); // per block: times the blocks of the string
    rt.set("battery_sections_number", 16);
    EXPECT_NE(cmd.stateReport(true).find("BATTERY 216.0V"), std::string::npos);
    from(kAlice, "CXZT");
    EXPECT_EQ(last().substr(0, 8), "市电\r\n"); // language 0

    rt.set("ups_lost", 1);
    EXPECT_EQ(cmd.stateReport(true),
              "Communication lost\r\nINPUT 0\r\nOUTPUT 0\r\nLOAD 0\r\nBATTERY 0");
}

TEST_F(CommandsTest, PeriodicReportsComeAtEachUsersInterval)
{
    registerAlice(); // every 30 minutes
    cmd.periodic();  // starts the timer
    EXPECT_TRUE(out.empty());
    rt.clock += 29 * 60 + 59;
    cmd.periodic();
    EXPECT_TRUE(out.empty());
    rt.clock += 1;
    cmd.periodic();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, "+8613800138000");
    rt.clock += 60;
    cmd.resetTimers(); // a modem reset: the next pass starts over
    cmd.periodic();
    rt.clock += 29 * 60;
    cmd.periodic();
    EXPECT_EQ(out.size(), 1u);
}

TEST_F(CommandsTest, UsersGetTheAlarmsTheyChoseInTheirLanguage)
{
    registerAlice();
    from(kAlice, "SZGJ583041#6#19"); // input fault (bit 5), communication (bit 18)
    out.clear();
    cmd.userAlarm(5, false);
    cmd.userAlarm(1, false);  // not chosen
    cmd.userAlarm(10, false); // never sent to users
    cmd.userAlarm(19, true);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].to, "+8613800138000");
    EXPECT_EQ(out[0].text, "输入故障");
    EXPECT_EQ(out[1].text, "监控卡与UPS通讯正常");
    from(kAlice, "SZYY583041#EN");
    from(kAlice, "QXBH583041#1"); // no alarm messages for this user
    out.clear();
    cmd.userAlarm(5, false);
    EXPECT_TRUE(out.empty());
    from(kAlice, "SZBH583041#1");
    out.clear();
    cmd.userAlarm(5, false);
    EXPECT_EQ(last(), "Input fault");
}

TEST_F(CommandsTest, RecipientsWithControlRightsUseTheKeywordsWithoutPassword)
{
    rt.set("sms_recpt_1", "13800138000"); // national form of the sender
    rt.set("sms_recpt_4", "+15550100");
    rt.set("sms_ctrl_1", 1);
    from(kAlice, "XTGJ");
    EXPECT_TRUE(rt.events.empty()); // the switches are off

    rt.set("sms_enable", 1);
    rt.set("sms_alarm_is_enable", 1);
    from(kAlice, "please XTGJ and DCCS");
    EXPECT_EQ(rt.events, (Events{{0, 4}, {0, 0}}));
    EXPECT_EQ(rt.stores[0].text, "Sms:13800138000");
    EXPECT_TRUE(out.empty());

    rt.clearRecords();
    from("+15550100", "XTGJ"); // a recipient without control rights
    from("+15550100999", "XTGJ");
    from("+1", "XTGJ"); // too short to be anybody's number
    EXPECT_TRUE(rt.events.empty());
    EXPECT_TRUE(rt.logged("may not control the UPS"));
}

TEST_F(CommandsTest, TheRecordSurvivesARestartOfTheTask)
{
    registerAlice();
    from(kAlice, "SZGJ583041#2");
    from(kAlice, "SZYY583041#EN");
    Commands again(rt, [](const std::string&, const std::string&) { return true; });
    again.load();
    EXPECT_EQ(again.users().count(), 1);
    EXPECT_EQ(again.users().users[0].code, "86");
    EXPECT_EQ(again.users().users[0].alarmMask, 2u);
    EXPECT_TRUE(again.users().english());
    // Settings too long for their fields are cut on loading.
    rt.set("sms_admin_password", std::string(200, 'p'));
    again.load();
    EXPECT_EQ(again.users().password.size(), kPasswordBytes);
}

} // namespace
