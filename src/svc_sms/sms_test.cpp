// SMS task: the modem's replies and listings, UCS-2 texts, the AT sequences,
// the connection states with their alarm signals and restarts, the event
// queue and the pending store, and the web console; a scripted modem on the
// line and the recording runtime with a set clock.
#include "fake_modem.hpp"
#include "sms.hpp"

#include "fake_runtime.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

using namespace sms;
using sms::test::FakeModem;

namespace
{

// ------------------------------------------------------------ parsers --

TEST(ModemReplies, ResultCodesAndInformationLines)
{
    EXPECT_TRUE(isOk("\r\nOK\r\n"));
    EXPECT_TRUE(isOk("AT\r\r\nOK\r\n"));
    EXPECT_FALSE(isOk("\r\nBOOK\r\n"));
    EXPECT_TRUE(isFinal("\r\n+CMS ERROR: 500\r\n"));
    EXPECT_FALSE(isFinal("\r\n> "));

    EXPECT_EQ(infoLine("AT+GMI\r\r\nHUAWEI\r\n\r\nOK\r\n"), "HUAWEI");
    EXPECT_EQ(afterBlank("\r\nRevision: 11.810.01\r\n\r\nOK\r\n"), "11.810.01");
    EXPECT_EQ(afterBlank("\r\n11.810\r\nOK\r\n"), "11.810");
    EXPECT_EQ(quoted("+COPS: 0,0,\"CHINA MOBILE\"\r\nOK"), "CHINA MOBILE");
    EXPECT_EQ(quoted("+COPS: 0,0,\"unterminated"), "");

    EXPECT_EQ(parseCsq("\r\n+CSQ: 20,99\r\n\r\nOK\r\n"), 20);
    EXPECT_EQ(parseCsq("\r\n+CSQ: 99,99\r\nOK\r\n"), 99);
    EXPECT_EQ(parseCsq("\r\n+CSQ: 1234,0\r\nOK\r\n"), -1);
    EXPECT_EQ(parseCsq("\r\n+CSQ: x\r\nOK\r\n"), -1);
    EXPECT_EQ(parseCsq("OK"), -1);

    EXPECT_EQ(parseCreg("\r\n+CREG: 0,5\r\nOK\r\n"), 5);
    EXPECT_EQ(parseCreg("\r\n+CREG: 2,1,\"1A2B\",\"3C4D\"\r\nOK\r\n"), 1);
    EXPECT_EQ(parseCreg("\r\n+CREG: 0,2\r\nOK\r\n"), 2);
    EXPECT_FALSE(registered(parseCreg("\r\n+CREG: 0,2\r\n")));
    EXPECT_EQ(parseCreg("\r\nOK\r\n"), -1);
}

TEST(ModemReplies, ListingOfUnreadMessagesInGsmAndUcs2)
{
    const std::string listing =
        "\r\n+CMGL: 1,\"REC UNREAD\",\"+8613800138000\",,\"24/01/02,10:00:00+32\"\r\n"
        "CXZT\r\n"
        // UCS-2 sender "+8613900139000" and content "XTGJ583041"
        "+CMGL: 2,\"REC UNREAD\",\"002B0038003600310033003900300030003100330039003000300030\",,"
        "\"24/01/02,10:01:00+32\"\r\n"
        "0058005400470004A00350038003300300034003100\r\n"
        "+CMGL: 3,\"REC UNREAD\",\"13700137000\",,\"24/01/02\"\r\nhello\r\n\r\nOK\r\n";
    auto m = parseListing(listing);
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].sender, "+8613800138000");
    EXPECT_EQ(m[0].content, "CXZT");
    EXPECT_EQ(m[1].sender, "+8613900139000");
    // The content above is no UCS-2 (a digit slipped): kept as it came.
    EXPECT_EQ(m[1].content, "0058005400470004A00350038003300300034003100");
    EXPECT_EQ(m[2].sender, "13700137000"); // a national number, not hexadecimal
    EXPECT_EQ(m[2].content, "hello");

    auto u = parseListing("+CMGL: 4,\"REC UNREAD\",\"002B0031\",,\"x\"\r\n"
                          "005800540047004A0035003800330030003400314E2D\r\n");
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].sender, "+1");
    EXPECT_EQ(u[0].content, "XTGJ583041中");
}

TEST(ModemReplies, HostileListingsAreCutAndNeverOverrun)
{
    EXPECT_TRUE(parseListing("+CMGL:").empty());
    EXPECT_TRUE(parseListing("+CMGL: 1,\"REC UNREAD\"").empty());
    EXPECT_TRUE(parseListing("+CMGL: 1,\"REC UNREAD\",\"+1\"").empty()); // no content line
    auto m = parseListing("+CMGL: 1,\"REC UNREAD\",\"+" + std::string(500, '9') + "\r\n" +
                          std::string(1000, 'A') + "\r\n");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].sender.size(), kSenderBytes);
    EXPECT_EQ(m[0].content.size(), kContentBytes);
    // A long UCS-2 content is decoded first, then cut.
    std::string hex;
    for (int i = 0; i < 400; ++i)
        hex += "0041";
    auto u = parseListing("+CMGL: 1,\"REC UNREAD\",\"002B0031\",,\"\"\r\n" + hex + "\r\n");
    ASSERT_EQ(u.size(), 1u);
    EXPECT_EQ(u[0].content, std::string(kContentBytes, 'A'));
}

// -------------------------------------------------------------- UCS-2 --

TEST(Ucs2, EveryLanguageGoesThroughIconv)
{
    // The test bodies of English and both Chinese, and Turkish, as the modem gets them.
    EXPECT_EQ(toUcs2Hex(testText(English)),
              "0054006800690073002000690073002000610020007400650073007400200073006D0073");
    EXPECT_EQ(toUcs2Hex(testText(SimplifiedChinese)), "8FD9662F4E004E2A6D4B8BD577ED4FE1");
    EXPECT_EQ(toUcs2Hex(testText(TraditionalChinese)), "9019662F4E00500B6E2C8A6677ED4FE1");
    EXPECT_EQ(toUcs2Hex(testText(Turkish)),
              "004200750020006200690072002000640065006E0065006D006500200053004D005300270069006400"
              "690072");
    // é is one whole character, not a byte.
    EXPECT_EQ(toUcs2Hex(testText(Portuguese)), "00450073007400610020"
                                               "00E9"
                                               "00200075006D00610020006D0065006E00730061006700650"
                                               "06D002000640065002000740065007300740065");
    // Letters beyond Latin-1.
    EXPECT_EQ(toUcs2Hex("ışğİ"), "0131015F011F0130");
    // Outside the basic plane, and bytes that are no UTF-8: one "?" each.
    EXPECT_EQ(toUcs2Hex("a\xF0\x9F\x98\x80"
                        "b"),
              "0061003F0062");
    EXPECT_EQ(toUcs2Hex("a\xFF\xC3"), "0061003F003F");
    EXPECT_EQ(toUcs2Hex("+8613800138000"),
              "002B0038003600310033003800300030003100330038003000300030");
}

TEST(Ucs2, DecodingRefusesWhatIsNotUcs2)
{
    EXPECT_EQ(fromUcs2Hex("004800694E2D"), "Hi中");
    EXPECT_EQ(fromUcs2Hex(toUcs2Hex("Akü arızası")), "Akü arızası");
    EXPECT_FALSE(fromUcs2Hex(""));
    EXPECT_FALSE(fromUcs2Hex("004"));
    EXPECT_FALSE(fromUcs2Hex("00G1"));
    EXPECT_FALSE(fromUcs2Hex("D83D"));
    EXPECT_EQ(numberFromUcs2Hex("002B0031"), "+1");
    EXPECT_FALSE(numberFromUcs2Hex("4E2D"));
    EXPECT_FALSE(numberFromUcs2Hex("000A"));
}

// -------------------------------------------------------------- texts --

TEST(Texts, EveryAlarmHasItsTextsAndItsRecipients)
{
    EXPECT_STREQ(alarmText(English, 1, false), "Battery powered");
    EXPECT_STREQ(alarmText(English, 1, true), "The end of the battery powered");
    EXPECT_STREQ(alarmText(English, 7, true), "Load normal");
    EXPECT_STREQ(alarmText(English, 41, false), "Ambient 1 humidity is below the set limit");
    EXPECT_STREQ(alarmText(English, 53, false), "Ambient 4 humidity is below the set limit");
    EXPECT_STREQ(alarmText(English, 44, true), "Temperature and humidity module 2 humidity normal");
    EXPECT_STREQ(alarmText(SimplifiedChinese, 5, false), "输入故障");
    for (int l = 0; l < Languages; ++l)
        for (int a = 0; a < kAlarmTexts; ++a)
            for (bool c : {false, true}) {
                const char* t = alarmText(l, a, c);
                ASSERT_TRUE(t && *t) << l << "/" << a;
                EXPECT_FALSE(toUcs2Hex(t).find("003F") != std::string::npos && l != English);
            }
    EXPECT_EQ(alarmText(English, 54, false), nullptr);
    EXPECT_STREQ(alarmText(99, 0, false), "Battery fault"); // unknown language: English

    EXPECT_EQ(recipientBit(5), 3);
    EXPECT_EQ(recipientBit(8), 11);
    EXPECT_EQ(recipientBit(20), 23);
    for (int a = 24; a <= 37; ++a)
        EXPECT_EQ(recipientBit(a), -1) << a;
    EXPECT_EQ(recipientBit(39), 24);
    EXPECT_EQ(recipientBit(53), 25);
    EXPECT_EQ(userBit(19), 18);
    for (int a : {10, 11, 18, 20, 21, 24, 40})
        EXPECT_EQ(userBit(a), -1) << a;
}

// -------------------------------------------------------- AT sequences --

struct ModemTest : ::testing::Test {
    card::FakeRuntime rt;
    FakeModem fm;
    Modem modem{fm, rt, nullptr};
};

TEST_F(ModemTest, SetUpFollowsTheModemType)
{
    fm.ati = "Huawei MG301";
    EXPECT_EQ(modem.connect(), 63);
    EXPECT_EQ(modem.type(), ModemType::MG301);
    EXPECT_EQ(fm.commands, (std::vector<std::string>{"AT", "ATE0", "AT+CMGF=1", "ATI4",
                                                     "AT+CPMS=SM", "AT+CNMI=3,1,0,0,1"}));
    fm.commands.clear();
    fm.ati = "Huawei MG323";
    modem.connect();
    EXPECT_EQ(fm.commands[5], "AT+CNMI=0,1,0,0,1");
    fm.commands.clear();
    fm.ati = "SIMCOM SIM800";
    modem.connect();
    EXPECT_EQ(modem.type(), ModemType::Other);
    EXPECT_EQ(fm.commands[4], "AT+CPMS=\"SM\",\"SM\",\"SM\"");
    EXPECT_EQ(fm.commands[5], "AT+CNMI=2,1,0,0,0");

    fm.silent = {"AT+CPMS=\"SM\",\"SM\",\"SM\""};
    EXPECT_EQ(modem.connect(), 63 - 16);
    fm.alive = false;
    EXPECT_EQ(modem.connect(), 0);
}

TEST_F(ModemTest, SimAndIdentity)
{
    EXPECT_EQ(modem.sim(), 3);
    fm.creg = 5; // roaming
    EXPECT_EQ(modem.sim(), 3);
    fm.creg = 2; // searching
    EXPECT_EQ(modem.sim(), 1);
    fm.simReady = false;
    EXPECT_EQ(modem.sim(), 0);

    EXPECT_EQ(modem.identity(), 31);
    EXPECT_EQ(rt.text("sms_maker"), "HUAWEI");
    EXPECT_EQ(rt.text("sms_model"), "MG323");
    EXPECT_EQ(rt.text("sms_soft"), "11.810.01.00.00");
    EXPECT_EQ(rt.text("sms_operater"), "CHINA MOBILE");
    EXPECT_EQ(rt.text("sms_center"), "+8613800100500");
    fm.silent = {"AT+COPS?"};
    EXPECT_EQ(modem.identity(), 31 - 8);
}

TEST_F(ModemTest, AMessageIsSentInUcs2WithTheConfiguredCodingScheme)
{
    rt.set("sms_Dcs", 8);
    std::string answer;
    EXPECT_TRUE(modem.send("+8613800138000", "Akü arızası", &answer));
    EXPECT_NE(answer.find("+CMGS: 1"), std::string::npos);
    ASSERT_EQ(fm.sent.size(), 1u);
    EXPECT_EQ(fm.sent[0].number, "+8613800138000");
    EXPECT_EQ(fm.sent[0].text, "Akü arızası");
    EXPECT_EQ(fm.count("AT+CSCS=\"UCS2\""), 1);
    EXPECT_EQ(fm.count("AT+CSMP=17,167,0,8"), 1);

    fm.refuseMessages = true;
    EXPECT_FALSE(modem.send("+1", "x", &answer));
    EXPECT_NE(answer.find("+CMS ERROR"), std::string::npos);
    fm.refuseMessages = false;
    fm.silent = {"AT+CMGS=\"002B0031\""}; // no prompt: text entry never starts
    EXPECT_FALSE(modem.send("+1", "x"));
    fm.silent.clear();
    EXPECT_TRUE(modem.send("+1", "y")); // the line is usable again
    EXPECT_EQ(fm.sent.back().text, "y");
}

// --------------------------------------------------------------- core --

struct CoreTest : ::testing::Test {
    card::FakeRuntime rt;
    FakeModem fm;
    std::string dir = ::testing::TempDir();
    Files files{dir + "sms_test_result.log", dir + "sms_send_data.txt"};
    SmsCore core{rt, fm, files};

    void SetUp() override
    {
        rt.set("sms_enable", 1);
        rt.set("sms_recpt_0", "+8613800138000");
        rt.set("sms_event_0", 0x3FFFFFF);
        core.init();
    }
    float sig(int s) { return rt.value(card::kUps, s); }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> t;
        for (const auto& s : fm.sent)
            t.push_back(s.text);
        return t;
    }
    static std::string read(const std::string& path)
    {
        std::ifstream f(path, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
};

TEST_F(CoreTest, AHealthyModemIsConnectedInOnePassAndPublished)
{
    core.pass();
    EXPECT_EQ(core.state(), 2);
    EXPECT_EQ(rt.text("sms_conf"), "1");
    EXPECT_EQ(rt.text("sms_signal"), "-73dB/64%"); // signal 20
    EXPECT_EQ(rt.text("sms_operater"), "CHINA MOBILE");
    for (int s = Alarm_Sms_Work_Abnormally; s <= Alarm_Sms_CommunicationsLost; ++s)
        EXPECT_EQ(sig(s), 0.0f) << s;

    // Switched off: everything back to the start, alarms cleared.
    rt.set("sms_enable", 0);
    core.pass();
    EXPECT_EQ(core.state(), 0);
    EXPECT_EQ(rt.text("sms_conf"), "0");
}

TEST_F(CoreTest, TheAlarmSignalsSayWhatIsMissing)
{
    fm.alive = false;
    core.pass();
    EXPECT_EQ(core.state(), 0);
    EXPECT_EQ(rt.text("sms_conf"), "0");
    EXPECT_EQ(sig(Alarm_Sms_Work_Abnormally), 1.0f);
    EXPECT_EQ(sig(Alarm_Sim_Not_installed), 1.0f);
    EXPECT_EQ(sig(Alarm_Sim_Not_registered_network), 1.0f);
    EXPECT_EQ(sig(Alarm_Sms_CommunicationsLost), 1.0f);

    fm.alive = true;
    fm.simReady = false;
    fm.creg = 0;
    core.pass();
    EXPECT_EQ(sig(Alarm_Sms_Work_Abnormally), 0.0f);
    EXPECT_EQ(sig(Alarm_Sim_Not_installed), 1.0f);
    EXPECT_EQ(sig(Alarm_Sim_Not_registered_network), 1.0f);
    EXPECT_EQ(sig(Alarm_Sms_CommunicationsLost), 0.0f);

    fm.simReady = true; // the SIM is back, the network not yet
    core.pass();
    EXPECT_EQ(sig(Alarm_Sim_Not_installed), 0.0f);
    EXPECT_EQ(sig(Alarm_Sim_Not_registered_network), 1.0f);
    fm.creg = 1;
    core.pass();
    EXPECT_EQ(sig(Alarm_Sim_Not_registered_network), 0.0f);
    EXPECT_EQ(rt.text("sms_conf"), "1");
}

TEST_F(CoreTest, ASetUpFailureIsRetriedEachPassAndTheFifthRestartsTheModem)
{
    fm.silent = {"AT+CPMS=SM"};
    for (int pass = 1; pass <= 4; ++pass) {
        core.pass();
        EXPECT_EQ(fm.count("AT+CPMS=SM"), pass);
        EXPECT_EQ(core.errors(), pass);
        EXPECT_EQ(fm.restarts, 0);
    }
    core.pass();
    EXPECT_EQ(fm.restarts, 1);
    EXPECT_EQ(core.errors(), 0);
    EXPECT_EQ(core.state(), 0);
    EXPECT_EQ(sig(Alarm_Sms_Work_Abnormally), 0.0f); // it answered, only not everything

    // No network to measure: messages are held meanwhile, and it counts too.
    fm.silent.clear();
    fm.rssi = 99;
    core.event(card::channel::kSmsStart, 5);
    for (int pass = 1; pass <= 4; ++pass)
        core.pass();
    EXPECT_EQ(rt.text("sms_conf"), "0");
    EXPECT_EQ(core.pendingAlarms(), 1u);
    EXPECT_EQ(fm.restarts, 1);
    core.pass();
    EXPECT_EQ(fm.restarts, 2);
    EXPECT_EQ(rt.text("sms_conf"), "0");
}

TEST_F(CoreTest, AlarmMessagesFollowTheRecipientsMasks)
{
    core.pass();
    rt.set("sms_event_0", 8); // bit 3: input fault only
    rt.set("sms_recpt_2", "+15550001");
    rt.set("sms_event_2", 1 << 2 | 1); // load, battery
    rt.clearRecords();
    for (int a : {5, 30, 1, 7, 24, 37, 54})
        core.event(card::channel::kSmsStart, a);
    core.event(card::channel::kAlarmEnded, 7);
    core.pass();
    ASSERT_EQ(fm.sent.size(), 4u);
    EXPECT_EQ(fm.sent[0].number, "+8613800138000");
    EXPECT_EQ(fm.sent[0].text, "Input fault");
    EXPECT_EQ(fm.sent[1].number, "+15550001");
    EXPECT_EQ(fm.sent[1].text, "Battery powered");
    EXPECT_EQ(fm.sent[2].text, "Load overrun MAX-value");
    EXPECT_EQ(fm.sent[3].text, "Load normal");
    EXPECT_EQ(rt.storeCodes(), (std::vector<int>{1005, 1001, 1007, 1107}));
    EXPECT_EQ(rt.stores[0].text, "+8613800138000");

    // In the configured language; a message the modem refuses is not recorded.
    rt.set("Module_Language", Turkish);
    rt.clearRecords();
    fm.refuseMessages = true;
    core.event(card::channel::kSmsStart, 5);
    core.pass();
    EXPECT_TRUE(rt.stores.empty());
    fm.refuseMessages = false;
    core.event(card::channel::kSmsStart, 5);
    core.pass();
    EXPECT_EQ(fm.sent.back().text, "Giriş arızası");
}

TEST_F(CoreTest, AlarmsWhileTheModemIsAwayAreHeldAndSentOnItsReturn)
{
    fm.alive = false;
    core.pass();
    for (int a = 0; a < 11; ++a) // alarms 0..9 held, the 11th dropped
        core.event(card::channel::kSmsStart, a == 10 ? 12 : a);
    core.event(card::channel::kSmsStart, 30); // never sent: not held either
    core.event(card::channel::kSmsStart, card::event::kTestSms);
    rt.set("test_sms_To", "+15550002");
    core.pass();
    EXPECT_EQ(core.pendingAlarms(), 10u);
    EXPECT_TRUE(fm.sent.empty());

    fm.alive = true;
    core.pass();
    EXPECT_EQ(core.pendingAlarms(), 0u);
    ASSERT_EQ(fm.sent.size(), 11u);
    EXPECT_EQ(fm.sent[0].number, "+15550002"); // the held test first
    EXPECT_EQ(fm.sent[0].text, "This is a test sms");
    for (int a = 0; a < 10; ++a)
        EXPECT_EQ(fm.sent[size_t(a) + 1].text, alarmText(English, a, false));
    EXPECT_NE(read(files.testResult).find("+CMGS:"), std::string::npos);
    EXPECT_EQ(rt.storeCodes().front(), card::store::kSmsTest);

    // Switched off: nothing is held.
    rt.set("sms_enable", 0);
    core.event(card::channel::kSmsStart, 1);
    core.pass();
    EXPECT_EQ(core.pendingAlarms(), 0u);
}

TEST_F(CoreTest, MessagesReceivedReachTheCommandSetAndAreDeleted)
{
    rt.set("sms_alarm_is_enable", 1);
    rt.set("sms_ctrl_0", 1);
    core.pass();
    fm.inbox = "+CMGL: 1,\"REC UNREAD\",\"+8613800138000\",,\"24/01/02,10:00:00+32\"\r\nXTGJ\r\n";
    core.pass();
    EXPECT_EQ(rt.events, (std::vector<card::FakeRuntime::Event>{{0, card::command::kShutdown}}));
    ASSERT_EQ(rt.stores.size(), 1u);
    EXPECT_EQ(rt.stores[0].code, 1354);
    EXPECT_EQ(rt.stores[0].text, "Sms:+8613800138000");
    EXPECT_EQ(fm.deletes, 1);
    core.pass(); // nothing new: nothing deleted
    EXPECT_EQ(fm.deletes, 1);
}

TEST_F(CoreTest, TheConsoleSendsTheTranscriptLineAndAppendsTheAnswer)
{
    const std::string stamp = "send:2024-01-02 10:00:00:123 ";
    std::ofstream(files.transcript, std::ios::binary) << stamp << "AT+CSQ\r\n";
    EXPECT_TRUE(core.event(card::channel::kSmsStart, card::event::kModemConsoleSend));
    core.serveConsole();
    EXPECT_EQ(fm.commands.back(), "AT+CSQ");
    std::string t = read(files.transcript);
    EXPECT_EQ(t.substr(0, 5), "send:");
    EXPECT_NE(t.find("AT+CSQ\r\nrecv:"), std::string::npos);
    EXPECT_NE(t.find(" +CSQ: 20,99 OK\r\n"), std::string::npos);

    std::ofstream(files.transcript, std::ios::binary) << stamp << " 41 54 0d \r\n";
    EXPECT_GT(core.console(card::event::kModemConsoleRead), 0);
    t = read(files.transcript);
    EXPECT_NE(t.find(" 41 54 0d \r\nrecv:"), std::string::npos);
    EXPECT_NE(t.find(" 0d 0a 4f 4b 0d 0a \r\n"), std::string::npos);

    // A line that is no hexadecimal changes nothing.
    std::ofstream(files.transcript, std::ios::binary) << stamp << " 41 5x\r\n";
    const size_t before = fm.commands.size();
    EXPECT_EQ(core.console(card::event::kModemConsoleRead), -1);
    EXPECT_EQ(fm.commands.size(), before);
    EXPECT_EQ(read(files.transcript), stamp + " 41 5x\r\n");
    std::remove(files.transcript.c_str());
    EXPECT_EQ(core.console(card::event::kModemConsoleSend), -1);
}

} // namespace
