// The e-mail task on a card::FakeRuntime with a recording program runner:
// what the mails say in each language, which alarms reach which recipient,
// the configuration texts under hostile settings, the queue's bounds, mails
// that wait for a server that is down, and the daily report's one mail per
// recipient per day.
#include "mail.hpp"

#include "fake_runtime.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;
using mail::Kind;

namespace
{

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string decodeBase64(const std::string& in)
{
    static const std::string k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        const size_t p = k.find(c);
        if (p == std::string::npos) break;
        v = v << 6 | unsigned(p);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char(v >> bits & 0xff);
        }
    }
    return out;
}

std::string header(const std::string& message, const std::string& name)
{
    std::istringstream in(message);
    for (std::string line; std::getline(in, line) && !line.empty();)
        if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
    return "<none>";
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// Runs nothing: records each call with the message file as it was then, and
// answers with the next scripted status (0 once the script is used up).
class FakePrograms : public mail::Programs
{
  public:
    struct Call {
        std::vector<std::string> argv;
        std::string input; // the message file's text at the time
    };
    int run(const std::vector<std::string>& argv, const std::string&) override
    {
        if (block) {
            std::unique_lock l(m);
            running = true;
            cv.notify_all();
            cv.wait(l, [&] { return released; });
        }
        calls.push_back({argv, slurp(messagePath)});
        if (statuses.empty()) return 0;
        const int s = statuses.front();
        statuses.erase(statuses.begin());
        return s;
    }
    std::string messagePath;
    std::vector<int> statuses;
    std::vector<Call> calls;
    // Blocking: a send that takes as long as the test wants.
    bool block = false;
    std::mutex m;
    std::condition_variable cv;
    bool running = false, released = false;
};

class MailTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        dir = fs::temp_directory_path() /
              ("mail_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "etc");
        paths.msmtpConf = (dir / "etc/msmtp.conf").string();
        paths.muttConf = (dir / "etc/mutt.conf").string();
        paths.message = (dir / "data/mail").string();
        paths.msmtpLog = (dir / "var/log/msmtp.log").string();
        paths.reportDir = (dir / "data/EmailReport").string();
        paths.msmtp = "/bin/msmtp";
        paths.mutt = "/bin/mutt";
        programs.messagePath = paths.message;

        rt.set("smtp_enable", 1);
        rt.set("sent_event_flag", 1);
        rt.set("email_server_address", "smtp.example.com");
        rt.set("email_port", 25);
        rt.set("from_email_address", "ups@example.com");
        rt.set("email_username", "ups@example.com");
        rt.set("email_password", "secret");
        rt.set("System_Name", "UPS-1");
        rt.set("System_Admin", "Ann");
        rt.set("System_Location", "Room 2");
        rt.clock = 1'700'000'000; // 2023-11-14 22:13:20 UTC
        core = std::make_unique<mail::MailCore>(rt, programs, paths, [this](int) {
            ++pauses;
            return true;
        });
    }
    void TearDown() override { fs::remove_all(dir); }

    void recipient(int i, const std::string& to, std::uint32_t mask)
    {
        rt.set("to_email_address_" + std::to_string(i), to);
        rt.set("email_event_" + std::to_string(i), std::to_string(mask));
    }
    std::vector<std::string> recipientsMailed() const
    {
        std::vector<std::string> to;
        for (const auto& c : programs.calls)
            to.push_back(header(c.input, "To"));
        return to;
    }

    fs::path dir;
    mail::Paths paths;
    card::FakeRuntime rt;
    FakePrograms programs;
    int pauses = 0;
    std::unique_ptr<mail::MailCore> core;
};

mail::System english()
{
    return {"UPS-1", "Ann", "Room 2", mail::English};
}

mail::MessageParts parts(Kind k, int alarm, const std::string& to = "ops@example.com")
{
    mail::MessageParts p;
    p.kind = k;
    p.alarm = alarm;
    p.from = "ups@example.com";
    p.to = to;
    const std::time_t t = 1'700'000'000;
    gmtime_r(&t, &p.local);
    return p;
}

// ------------------------------------------------------------------ texts --

TEST(MailTexts, AlarmNumbersMapToTheirMaskBits)
{
    const int ups[24] = {0,  3,  1,  2,  11, 6,  7,  12, 4,  5,  8,  9,
                         21, 16, 17, 22, 23, 10, 14, 15, 20, 18, 19, 13};
    for (int a = 0; a < 24; ++a)
        EXPECT_EQ(mail::maskBit(a), ups[a]) << a;
    for (int m = 0; m < 4; ++m) {
        EXPECT_EQ(mail::maskBit(38 + 4 * m), 24);
        EXPECT_EQ(mail::maskBit(39 + 4 * m), 24);
        EXPECT_EQ(mail::maskBit(40 + 4 * m), 25);
        EXPECT_EQ(mail::maskBit(41 + 4 * m), 25);
    }
    for (int a : {-1, 24, 30, 37, 54, 100})
        EXPECT_EQ(mail::maskBit(a), -1) << a;
}

TEST(MailTexts, EveryMailedAlarmHasBothTextsInEveryLanguage)
{
    for (int l = 0; l < mail::Languages; ++l)
        for (int a = -1; a <= 54; ++a) {
            const bool mailed = mail::maskBit(a) >= 0;
            for (bool cleared : {false, true}) {
                const char* t = mail::alarmText(l, a, cleared);
                EXPECT_EQ(t != nullptr, mailed) << l << " " << a;
                if (t) {
                    EXPECT_TRUE(mail::convert(t, "UTF-8", "UTF-16").has_value());
                }
            }
        }
    EXPECT_STREQ(mail::alarmText(0, 1, false), "[System Status]Battery powered");
    EXPECT_STREQ(mail::alarmText(0, 1, true), "[System Status]The end of the battery powered");
    EXPECT_STREQ(mail::alarmText(0, 23, true), "[Battery Status]A test is in progress end");
    EXPECT_STREQ(mail::alarmText(0, 38, false),
                 "[Alarm]Temperature and humidity module 1 temperature is too high");
    EXPECT_STREQ(mail::alarmText(0, 53, false),
                 "[Alarm]Temperature and humidity module 4 humidity is too low");
    EXPECT_STREQ(mail::alarmText(0, 53, true),
                 "[Alarm]Temperature and humidity module 4 humidity normal");
    EXPECT_STREQ(mail::alarmText(3, 52, true), mail::alarmText(3, 53, true));
    EXPECT_STRNE(mail::alarmText(3, 50, true), mail::alarmText(3, 52, true));
    EXPECT_STREQ(mail::title(3, Kind::AlarmRaised), "olay uyarısı");
    EXPECT_STREQ(mail::title(4, Kind::DailyReport), "Correio diário");
    EXPECT_STREQ(mail::title(9, Kind::Test), "test mail"); // unknown language: English
}

TEST(MailConvert, ConvertsWholeTextsOrFails)
{
    char out[64];
    const std::string zh = "告警事件";
    const int n = mail::utf8ToGb2312(out, sizeof out, zh.data(), zh.size());
    ASSERT_EQ(n, 8);
    EXPECT_EQ(std::string(out, 4), "\xB8\xE6\xBE\xAF");
    char back[64];
    ASSERT_EQ(mail::gb2312ToUtf8(back, sizeof back, out, size_t(n)), int(zh.size()));
    EXPECT_EQ(std::string(back), zh);

    EXPECT_EQ(mail::utf8ToGb2312(out, 4, zh.data(), zh.size()), -1); // too small
    EXPECT_EQ(mail::utf8ToGb2312(out, 64, "\xff\xfe", 2), -1);       // no UTF-8
    EXPECT_EQ(mail::utf8ToGb2312(out, 64, "電", 3), -1);             // not in GB2312
    ASSERT_EQ(mail::utf8ToUnicode(out, sizeof out, "A", 1), 2);
    EXPECT_EQ(std::string(out, 2), std::string("\0A", 2));
    ASSERT_EQ(mail::utf8ToIbm857(out, sizeof out, "ı", 2), 1);
    ASSERT_EQ(mail::ibm857ToUtf8(back, sizeof back, out, 1), 2);
    EXPECT_STREQ(back, "ı");
}

// ---------------------------------------------------------------- configs --

TEST(MailConfig, MsmtpConfigurationIsTheCardsLinesInOrder)
{
    mail::ServerSettings s;
    s.server = "smtp.example.com";
    s.port = 587;
    s.from = "ups@example.com";
    s.login = true;
    s.tls = true;
    s.starttls = true;
    s.user = "ups";
    s.password = "p@ss word";
    EXPECT_EQ(mail::msmtpConfig(s, "/var/log/msmtp.log"),
              "host smtp.example.com\nport 587\nauth login\ntls on\ntls_starttls on\n"
              "tls_certcheck off\nfrom ups@example.com\nuser ups\npassword p@ss word\n"
              "timeout 10\nlogfile /var/log/msmtp.log\n");
    s.login = s.tls = s.starttls = false;
    s.proxy = true;
    s.proxyHost = "10.0.0.1";
    s.proxyPort = "1080";
    const auto l = lines(mail::msmtpConfig(s, "/var/log/msmtp.log"));
    ASSERT_EQ(l.size(), 13u);
    EXPECT_EQ(l[2], "auth off");
    EXPECT_EQ(l[3], "tls off");
    EXPECT_EQ(l[4], "tls_starttls off");
    EXPECT_EQ(l[11], "proxy_host 10.0.0.1");
    EXPECT_EQ(l[12], "proxy_port 1080");
}

TEST(MailConfig, HostileValuesStayInsideTheirLine)
{
    mail::ServerSettings s;
    s.server = "smtp.example.com\nproxy_host evil";
    s.password = "x\npasswordeval rm -rf /";
    s.user = " \"lead\\ ";
    const auto l = lines(mail::msmtpConfig(s, "/var/log/msmtp.log"));
    ASSERT_EQ(l.size(), 11u);
    EXPECT_EQ(l[0], "host smtp.example.comproxy_host evil");
    EXPECT_EQ(l[7], "user \" \\\"lead\\\\ \"");
    EXPECT_EQ(l[8], "password xpasswordeval rm -rf /");

    mail::System sys = english();
    EXPECT_EQ(mail::muttConfig("/bin/msmtp", "/etc/msmtp.conf", sys, "ups@example.com"),
              "set sendmail=\"/bin/msmtp -C /etc/msmtp.conf\"\nset use_from=yes\n"
              "set realname=\"UPS-1\"\nset editor=\"vi\"\nset from=ups@example.com\n"
              "set envelope_from=yes\n");
    sys.name = "a`reboot`$HOME\"\nset sendmail=\"/bin/sh";
    const auto m = lines(mail::muttConfig("/bin/msmtp", "/etc/msmtp.conf", sys, "x`id`; y"));
    ASSERT_EQ(m.size(), 6u);
    EXPECT_EQ(m[2], "set realname=\"a\\`reboot\\`\\$HOME\\\"set sendmail=\\\"/bin/sh\"");
    EXPECT_EQ(m[4], "set from=\"x\\`id\\`; y\"");
}

// --------------------------------------------------------------- messages --

TEST(MailMessage, EnglishAlarmMessage)
{
    const std::string m = mail::messageText(parts(Kind::AlarmRaised, 1), english());
    EXPECT_EQ(m, "Date:Tue, 14 Nov 2023 22:13:20 +0000\n"
                 "From:ups@example.com\n"
                 "MIME-Version: 1.0\n"
                 "content-type: text/plain; charset=utf-8;\n"
                 "Content-Transfer-Encoding: 8bit\n"
                 "To:ops@example.com\n"
                 "Subject:Alarm event\n"
                 "\n"
                 "System Name: UPS-1\n"
                 "System Administrator: Ann\n"
                 "System Location: Room 2\n"
                 "[System Status]Battery powered\n");
    const std::string t = mail::messageText(parts(Kind::Test, -1), english());
    EXPECT_EQ(header(t, "Subject"), "test mail");
    EXPECT_NE(t.find("\nIf you received this test mail,it means that your mail settings are "
                     "corrrect\n"),
              std::string::npos);
    const std::string c = mail::messageText(parts(Kind::AlarmCleared, 1), english());
    EXPECT_EQ(header(c, "Subject"), "Alarm disappears");
    EXPECT_EQ(lines(c).back(), "[System Status]The end of the battery powered");
    EXPECT_EQ(lines(mail::messageText(parts(Kind::DailyReport, -1), english())).back(),
              "System Location: Room 2");
}

TEST(MailMessage, SubjectsAndCharsetsFollowTheLanguage)
{
    mail::System tr = english();
    tr.language = mail::Turkish;
    const std::string m = mail::messageText(parts(Kind::AlarmRaised, 1), tr);
    EXPECT_EQ(header(m, "content-type"), " text/plain; charset=utf-8;");
    const std::string subject = header(m, "Subject");
    ASSERT_EQ(subject.rfind("=?utf-8?B?", 0), 0u) << subject;
    EXPECT_EQ(decodeBase64(subject.substr(10)), "olay uyarısı");

    mail::System zh = english();
    zh.language = mail::SimplifiedChinese;
    zh.name = "机房";
    const std::string z = mail::messageText(parts(Kind::AlarmRaised, 5), zh);
    EXPECT_EQ(header(z, "content-type"), " text/plain; charset=gb2312;");
    EXPECT_EQ(decodeBase64(header(z, "Subject").substr(11)),
              *mail::convert("告警事件", "UTF-8", "GB2312"));
    EXPECT_NE(z.find(*mail::convert("系统名称: 机房\n", "UTF-8", "GB2312")), std::string::npos);
    EXPECT_NE(z.find(*mail::convert(mail::alarmText(1, 5, false), "UTF-8", "GB2312")),
              std::string::npos);

    // Traditional characters are outside GB2312: the message says GBK.
    zh.language = mail::TraditionalChinese;
    const std::string t = mail::messageText(parts(Kind::Test, -1), zh);
    EXPECT_EQ(header(t, "content-type"), " text/plain; charset=gbk;");
    EXPECT_NE(t.find(*mail::convert(mail::testBody(2), "UTF-8", "GBK")), std::string::npos);

    // mutt's draft is UTF-8 whatever the language; mutt converts it.
    const std::string d = mail::draftText(parts(Kind::DailyReport, -1), zh);
    EXPECT_EQ(header(d, "content-type"), " text/plain; charset=utf-8;");
    EXPECT_NE(mail::muttOptions(1).find("gb2312:gbk"), std::string::npos);
}

TEST(MailMessage, HeaderValuesCannotAddHeaders)
{
    mail::System sys = english();
    sys.name = "UPS\nBcc: spy@example.com";
    const std::string m =
        mail::messageText(parts(Kind::Test, -1, "a@example.com\r\nBcc: spy@example.com"), sys);
    for (const auto& l : lines(m))
        EXPECT_NE(l.rfind("Bcc:", 0), 0u) << l;
    EXPECT_EQ(header(m, "To"), "a@example.com  Bcc: spy@example.com");
}

TEST(MailSettings, ReportTimeAndMasksParse)
{
    int h = 0, m = 0;
    EXPECT_TRUE(mail::parseReportTime("8:30", h, m));
    EXPECT_EQ(h * 100 + m, 830);
    EXPECT_TRUE(mail::parseReportTime("23:59", h, m));
    for (const char* bad : {"", "8", "24:00", "12:60", "1:2:3", "ab:cd", "123:1", "-1:30"})
        EXPECT_FALSE(mail::parseReportTime(bad, h, m)) << bad;

    card::FakeRuntime rt;
    rt.set("email_event_0", "4294967295");
    rt.set("email_event_1", "junk");
    const auto ev = mail::EventSettings::load(rt);
    EXPECT_EQ(ev.mask[0], 0xFFFFFFFFu);
    EXPECT_EQ(ev.mask[1], 0u);
    EXPECT_FALSE(ev.send);
    const auto s = mail::ServerSettings::load(rt);
    EXPECT_EQ(s.port, 465);
    EXPECT_TRUE(s.login && s.tls && !s.starttls);
}

// ------------------------------------------------------------------- core --

TEST_F(MailTest, AlarmMailsGoToTheSelectedRecipientsOnly)
{
    recipient(0, "a@example.com", 1u << 3); // alarm 1 is bit 3
    recipient(1, "b@example.com", 1u << 0);
    recipient(3, "d@example.com", 0xFFFFFFFFu);
    recipient(4, "", 0xFFFFFFFFu);
    EXPECT_TRUE(core->event(card::channel::kMailStart, 1));
    core->pass();
    EXPECT_EQ(recipientsMailed(), (std::vector<std::string>{"a@example.com", "d@example.com"}));
    EXPECT_EQ(programs.calls[0].argv,
              (std::vector<std::string>{"/bin/msmtp", "-C", paths.msmtpConf, "-t"}));
    EXPECT_EQ(header(programs.calls[0].input, "Subject"), "Alarm event");
    EXPECT_EQ(lines(programs.calls[0].input).back(), "[System Status]Battery powered");
    EXPECT_EQ(rt.storeCodes(), (std::vector<int>{601, 601}));
    EXPECT_EQ(rt.stores[1].text, "d@example.com");
    EXPECT_EQ(pauses, 1); // between the two mails, not after the last

    rt.clearRecords();
    programs.calls.clear();
    EXPECT_TRUE(core->event(card::channel::kAlarmEnded, 1));
    core->pass();
    ASSERT_EQ(programs.calls.size(), 2u);
    EXPECT_EQ(header(programs.calls[0].input, "Subject"), "Alarm disappears");
    EXPECT_EQ(rt.storeCodes(), (std::vector<int>{701, 701}));

    // The file holds the password: private, and stays so.
    struct stat st {
    };
    ASSERT_EQ(stat(paths.msmtpConf.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(slurp(paths.msmtpConf).find("password secret\n"), std::string::npos);
}

TEST_F(MailTest, AlarmsOutsideTheMailedNumbersMailNobody)
{
    recipient(0, "a@example.com", 0xFFFFFFFFu);
    for (int a : {24, 30, 37})
        EXPECT_TRUE(core->event(card::channel::kMailStart, a));
    EXPECT_FALSE(core->event(card::channel::kMailStart, 54));
    EXPECT_FALSE(core->event(card::channel::kAlarmEnded, mail::kTestMail));
    EXPECT_FALSE(core->event(card::channel::kSmsStart, 1));
    core->pass();
    EXPECT_TRUE(programs.calls.empty());
    EXPECT_TRUE(rt.stores.empty());
    EXPECT_TRUE(rt.logged("e->event.devId is 1 ,e->event.eventId is 30"));
}

TEST_F(MailTest, Bit24SelectsEverySensorTemperatureAlarm)
{
    recipient(2, "t@example.com", 1u << 24);
    for (int a = 38; a <= 53; ++a)
        core->event(card::channel::kMailStart, a);
    core->pass();
    std::vector<int> codes = rt.storeCodes();
    EXPECT_EQ(codes, (std::vector<int>{638, 639, 642, 643, 646, 647, 650, 651}));
}

TEST_F(MailTest, NothingIsSentWhileMailOrAlarmMailIsOff)
{
    recipient(0, "a@example.com", 0xFFFFFFFFu);
    rt.set("sent_event_flag", 0);
    core->event(card::channel::kMailStart, 1);
    core->pass();
    EXPECT_TRUE(programs.calls.empty());

    rt.set("sent_event_flag", 1);
    rt.set("smtp_enable", 0);
    core->event(card::channel::kMailStart, 1);
    core->event(card::channel::kMailStart, mail::kTestMail);
    core->pass();
    EXPECT_TRUE(programs.calls.empty());
    EXPECT_EQ(core->queued(), 0u); // consumed and dropped
    rt.set("smtp_enable", 1);
    core->pass();
    EXPECT_TRUE(programs.calls.empty());
}

TEST_F(MailTest, TestMailStartsAFreshClientLog)
{
    rt.set("test_email_To", "me@example.com");
    fs::create_directories(dir / "var/log");
    std::ofstream(paths.msmtpLog) << "an old line\n";
    core->event(card::channel::kMailStart, mail::kTestMail);
    core->pass();
    ASSERT_EQ(programs.calls.size(), 1u);
    EXPECT_FALSE(fs::exists(paths.msmtpLog));
    EXPECT_EQ(header(programs.calls[0].input, "To"), "me@example.com");
    EXPECT_EQ(header(programs.calls[0].input, "Subject"), "test mail");
    EXPECT_EQ(rt.storeCodes(), std::vector<int>{card::store::kMailTest});
    EXPECT_EQ(rt.stores[0].text, "me@example.com");
    EXPECT_NE(slurp(paths.msmtpConf).find("logfile " + paths.msmtpLog + "\n"), std::string::npos);
}

TEST_F(MailTest, MailsWaitForAServerThatIsDownAndGoOutInOrder)
{
    recipient(0, "a@example.com", 0xFFFFFFFFu);
    recipient(1, "b@example.com", 0xFFFFFFFFu);
    programs.statuses = {0, 75}; // a's mail goes, then the server is gone
    core->event(card::channel::kMailStart, 1);
    core->event(card::channel::kAlarmEnded, 1);
    core->pass();
    EXPECT_EQ(rt.storeCodes(), std::vector<int>{601});
    EXPECT_EQ(core->waiting(), 3u);
    EXPECT_TRUE(rt.logged("mail server not reached, 3 mails wait"));

    core->pass(); // too early to try again
    EXPECT_EQ(programs.calls.size(), 2u);

    rt.clock += 11;
    programs.statuses = {75}; // still down
    core->pass();
    EXPECT_EQ(programs.calls.size(), 3u);
    rt.clock += 11;
    core->pass();
    EXPECT_EQ(core->waiting(), 0u);
    EXPECT_EQ(recipientsMailed(),
              (std::vector<std::string>{"a@example.com", "b@example.com", "b@example.com",
                                        "b@example.com", "a@example.com", "b@example.com"}));
    EXPECT_EQ(rt.storeCodes(), (std::vector<int>{601, 601, 701, 701}));

    // Refused for good (bad recipient, authentication): recorded, not retried.
    programs.statuses = {77};
    core->event(card::channel::kMailStart, 2);
    core->pass();
    EXPECT_EQ(core->waiting(), 0u);
    EXPECT_TRUE(rt.logged("failed (msmtp status 77)"));
}

TEST_F(MailTest, QueuesAreBoundedAndDropTheOldest)
{
    for (int i = 0; i < int(mail::kEventQueueMax) + 6; ++i)
        core->event(card::channel::kMailStart, i % 2 == 0 ? 0 : 30);
    EXPECT_EQ(core->queued(), mail::kEventQueueMax);
    rt.set("smtp_enable", 0);
    core->pass();
    EXPECT_TRUE(rt.logged("the 6 oldest events were dropped"));

    rt.set("smtp_enable", 1);
    recipient(0, "a@example.com", 0xFFFFFFFFu);
    programs.statuses.assign(1, 75);
    for (int a = 0; a < 24; ++a)
        core->event(card::channel::kMailStart, a);
    core->pass(); // alarm 0's mail meets a server that is down
    for (int a = 0; a < 24; ++a)
        core->event(card::channel::kAlarmEnded, a);
    core->pass();
    for (int a = 0; a < 24; ++a)
        core->event(card::channel::kMailStart, a);
    core->pass();
    EXPECT_EQ(core->waiting(), mail::kOutboxMax);
    EXPECT_TRUE(rt.logged("mail queue full, dropped the oldest mail (alarm 0 to a@example.com)"));
    rt.clock += 11;
    core->pass();
    EXPECT_EQ(core->waiting(), 0u);
    // The newest are kept: the last one mailed is the last alarm raised.
    EXPECT_EQ(rt.storeCodes().back(), 623);
    EXPECT_EQ(rt.storeCodes().size(), mail::kOutboxMax);
}

TEST_F(MailTest, PostersNeverWaitForASendInProgress)
{
    recipient(0, "a@example.com", 0xFFFFFFFFu);
    programs.block = true;
    core->event(card::channel::kMailStart, 1);
    std::thread sender([&] { core->pass(); });
    {
        std::unique_lock l(programs.m);
        programs.cv.wait(l, [&] { return programs.running; });
    }
    // msmtp is "running": a poster (the alarm task) queues without waiting.
    auto poster = std::async(std::launch::async, [&] {
        return core->event(card::channel::kMailStart, 2) &&
               core->event(card::channel::kAlarmEnded, 1);
    });
    EXPECT_EQ(poster.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_TRUE(poster.get());
    {
        std::lock_guard l(programs.m);
        programs.released = true;
    }
    programs.cv.notify_all();
    sender.join();
    EXPECT_EQ(core->queued(), 2u);
}

TEST_F(MailTest, DailyReportOncePerRecipientInItsMinute)
{
    rt.set("daily_report_flag", 1);
    rt.set("report_time", "8:30");
    rt.set("day_to_email_address_0", "r0@example.com");
    rt.set("day_to_email_address_2", "r2@example.com");
    rt.set("day_to_email_address_3", "-oops@example.com"); // never an option of mutt
    rt.clock = 1'700'000'000 - 22 * 3600 - 13 * 60 - 20 + 8 * 3600 + 29 * 60; // 08:29:00
    core->pass();
    EXPECT_TRUE(programs.calls.empty());

    fs::create_directories(paths.reportDir);
    const std::string csv = paths.reportDir + "/email_report2023-11-14.csv";
    std::ofstream(csv) << "Time,...\n";
    rt.clock += 60; // 08:30:00
    core->pass();
    rt.clock += 30;
    core->pass();
    ASSERT_EQ(programs.calls.size(), 2u);
    EXPECT_EQ(programs.calls[0].argv,
              (std::vector<std::string>{"/bin/mutt", "-n", "-F", paths.muttConf, "-e",
                                        mail::muttOptions(0), "-H", paths.message, "-a", csv}));
    EXPECT_EQ(header(programs.calls[0].input, "To"), "r0@example.com");
    EXPECT_EQ(header(programs.calls[1].input, "To"), "r2@example.com");
    EXPECT_EQ(header(programs.calls[1].input, "Subject"), "Daily Mail");
    EXPECT_EQ(rt.storeCodes(), (std::vector<int>{800, 800}));
    EXPECT_TRUE(rt.logged("report recipient 4 is no single mail address"));
    EXPECT_NE(slurp(paths.muttConf).find("set sendmail=\"/bin/msmtp -C " + paths.msmtpConf + "\""),
              std::string::npos);

    rt.clock += 60; // 08:31: the marks clear
    core->pass();
    rt.clock += 24 * 3600 - 60; // next day, 08:30, no report file yet
    core->pass();
    ASSERT_EQ(programs.calls.size(), 4u);
    EXPECT_EQ(programs.calls[2].argv.size(), 8u); // no attachment
}

} // namespace
