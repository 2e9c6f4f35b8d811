// The runtime's stores and helpers without threads or ports: settings (typed
// reads, persistence, corrupt files), signals, the driver-number rule, port
// parameter texts, capped record files and command queues to unknown devices.
#include "fieldcore.hpp"
#include "internal.hpp"
#include "platform.hpp"
#include "signals.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

class Runtime : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("fieldcore-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        fieldcore::resetForTests(dir.string());
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(Runtime, SettingsAreTypedByUseAndDefaulted)
{
    EXPECT_STREQ(GetSettings("missing"), "");
    EXPECT_STREQ(GetSettings2("missing", "dflt"), "dflt");
    EXPECT_EQ(GetSettingi2("missing", 26), 26);
    EXPECT_FLOAT_EQ(GetSettingf2("missing", 1.5f), 1.5f);
    SaveSettings("ipAddr", "192.168.1.10");
    SaveSettingi("ups_type", 4);
    SaveSettingf("limit", 25.5f);
    EXPECT_STREQ(GetSettings("ipAddr"), "192.168.1.10");
    EXPECT_EQ(GetSettingi("ups_type"), 4);
    EXPECT_STREQ(GetSettings("ups_type"), "4");
    EXPECT_FLOAT_EQ(GetSettingf("limit"), 25.5f);
    EXPECT_EQ(GetSettingi2("ipAddr", 7), 192); // text read as a number: its leading digits
    DeleteSetting("ipAddr");
    EXPECT_STREQ(GetSettings2("ipAddr", "gone"), "gone");
}

TEST_F(Runtime, TextAnswersSurviveLaterCalls)
{
    SaveSettings("a", "first");
    SaveSettings("b", "second");
    const char* a = GetSettings("a");
    const char* b = GetSettings("b");
    EXPECT_STREQ(a, "first");
    EXPECT_STREQ(b, "second");
}

TEST_F(Runtime, SettingsPersistAndCorruptStoreIsReplaced)
{
    SaveSettings("dns1", "8.8.8.8; reboot");
    fieldcore::openSettings(dir.string());
    EXPECT_STREQ(GetSettings("dns1"), "8.8.8.8; reboot");

    std::ofstream(dir / "config/settings.db", std::ios::trunc) << std::string(4096, 'x');
    fs::remove(dir / "config/settings.db-wal");
    fs::remove(dir / "config/settings.db-shm");
    fieldcore::openSettings(dir.string());
    EXPECT_STREQ(GetSettings2("dns1", "default"), "default");
    EXPECT_EQ(SaveSettingi("after", 1), 0);
    fieldcore::openSettings(dir.string());
    EXPECT_EQ(GetSettingi("after"), 1);
    bool aside = false;
    for (auto& e : fs::directory_iterator(dir / "config"))
        aside |= e.path().filename().string().rfind("settings.db.corrupt-", 0) == 0;
    EXPECT_TRUE(aside);
}

TEST_F(Runtime, ConcurrentSavesAndReads)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                SaveSettingi(("k" + std::to_string(t)).c_str(), i);
                GetSettingi2("ups_lost", 0);
            }
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(GetSettingi(("k" + std::to_string(t)).c_str()), 199);
}

TEST_F(Runtime, SignalsAndTheDriverNumberRule)
{
    EXPECT_EQ(sig_from_driver(2005), 20005);
    EXPECT_EQ(sig_from_driver(3004), 30004);
    EXPECT_EQ(sig_from_driver(4208), 40208);
    EXPECT_EQ(sig_from_driver(41031), 41031);
    EXPECT_EQ(sig_from_driver(-1), -1);
    EXPECT_FLOAT_EQ(GetDevValue(60, Alarm_OnBattery), 0.0f);
    SetDevValue(60, Data_InputVoltage_A, 230.5f);
    EXPECT_FLOAT_EQ(GetDevValue(60, Data_InputVoltage_A), 230.5f);
    EXPECT_EQ(GetDevIValue(60, Data_InputVoltage_A), 230);
    EXPECT_EQ(SetDevValue(60, 70000, 1.0f), -1);
    EXPECT_EQ(SetDevValue(999, 1, 1.0f), -1);
    EXPECT_FLOAT_EQ(GetDevValue(999, 1), 0.0f);
    SetDevValue(60, SIG_LINK_OK, 1.0f);
    EXPECT_FLOAT_EQ(GetDevValue(60, SIG_LINK_OK), 1.0f);
    const char* model = "UPS-3000";
    for (int k = 0; k < 16; ++k)
        SetDevValue(60, Data_upsIdentModel + k, k < 8 ? float(model[k]) : 0.0f);
    EXPECT_EQ(fieldcore::signalText(60, Data_upsIdentModel), "UPS-3000");
}

TEST_F(Runtime, PortParameterTexts)
{
    fieldcore::PortParams p;
    ASSERT_TRUE(fieldcore::parsePortParams("2400,n,8,1,0", p));
    EXPECT_EQ(p.baud, 2400);
    EXPECT_EQ(p.parity, 0);
    ASSERT_TRUE(fieldcore::parsePortParams("9600,e,7,2,0", p));
    EXPECT_EQ(p.parity, 2);
    EXPECT_EQ(p.dataBits, 7);
    EXPECT_EQ(p.stopBits, 2);
    ASSERT_TRUE(fieldcore::parsePortParams("115200,m,8,1,0", p));
    EXPECT_EQ(p.parity, 4);
    EXPECT_FALSE(fieldcore::parsePortParams("", p));
    EXPECT_FALSE(fieldcore::parsePortParams("1234,n,8,1,0", p));
    EXPECT_FALSE(fieldcore::parsePortParams("9600,x,8,1,0", p));
    EXPECT_FALSE(fieldcore::parsePortParams("9600,n,9,1,0", p));
}

TEST_F(Runtime, WriteLogStaysBelowItsCap)
{
    const std::string file = (dir / "trace.log").string();
    std::string text(100, 'a');
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(writeLog(file.c_str(), "head", text.c_str(), 2000), 0);
    EXPECT_LT(fs::file_size(file), 2000u);
    std::ifstream in(file);
    std::string last, line;
    while (std::getline(in, line))
        last = line;
    EXPECT_EQ(last, "head " + text);
    // A record larger than the cap is cut, never written past it.
    ASSERT_EQ(writeLog(file.c_str(), "h", std::string(5000, 'b').c_str(), 2000), 0);
    EXPECT_LE(fs::file_size(file), 2000u);
    EXPECT_EQ(writeLog(nullptr, "h", "t", 10), -1);
}

TEST_F(Runtime, CallbacksAndCommandsWithoutTargets)
{
    EXPECT_EQ(DevCallback(4, 201, nullptr, 0), -1);
    static int seen = 0;
    RegisterDevCallback(4, [](int code, void*, int) { return seen = code; });
    EXPECT_EQ(DevCallback(4, 201, nullptr, 0), 201);
    EXPECT_EQ(seen, 201);
    EXPECT_EQ(DevControl(60, "8"), 0); // no device registered
    EXPECT_EQ(getPortHandle(1), nullptr);
    EXPECT_EQ(PullControlCmd(1, 0, nullptr, 0), -2);
}

TEST(Platform, PathsStayInsideTheSandbox)
{
    setenv("CARDMON_APP_DIR", "/tmp/app", 1);
    // appDir()/sysRoot() are read once per process; only their use is checked here.
    const std::string app = platform::appDir();
    EXPECT_EQ(platform::appPath("/root/app/data/x.db"), app + "/data/x.db");
    EXPECT_EQ(platform::appPath("config/Timezone"), app + "/config/Timezone");
    EXPECT_EQ(platform::appPath("./config/signalTable/a.db"), app + "/config/signalTable/a.db");
    EXPECT_EQ(platform::appPath("/root/application"), platform::sysRoot() + "/root/application");
    EXPECT_EQ(platform::sysPath("/etc/snmpd.cfg"), platform::sysRoot() + "/etc/snmpd.cfg");
    EXPECT_EQ(platform::shellQuote("a'b; rm -rf /"), "'a'\\''b; rm -rf /'");
}

TEST(Platform, RunArgvPassesValuesAsTheyAre)
{
    std::string out;
    EXPECT_EQ(platform::runArgv({"printf", "%s", "$(echo hi); `id`"}, &out), 0);
    EXPECT_EQ(out, "$(echo hi); `id`");
    EXPECT_EQ(platform::runCapture("echo " + platform::shellQuote("a b $HOME")), "a b $HOME\n");
    EXPECT_NE(platform::runArgv({"/nonexistent/program"}), 0);
}

TEST(Platform, RunArgvInputFeedsStandardInputOnly)
{
    // The input never shows among the arguments; a child that reads nothing
    // does not take the caller down with SIGPIPE.
    EXPECT_EQ(platform::runArgvInput({"/bin/sh", "-c", "read -r l; [ \"$l\" = 'a:b c' ]"},
                                     "a:b c\n"),
              0);
    EXPECT_EQ(platform::runArgvInput({"/bin/sh", "-c", "read -r l; [ \"$l\" = x ]"}, "y\n"), 1);
    EXPECT_EQ(platform::runArgvInput({"true"}, std::string(1 << 20, 'x')), 0);
}

TEST_F(Runtime, SetPassedChecksTheOldPasswordAndRefusesLineBreaks)
{
    // Off a sandbox no system account is touched: only the runtime's record.
    EXPECT_EQ(setPassed("admin", "wrong", "n1-secret"), 0);
    EXPECT_EQ(setPassed("admin", "pqlzv", "two\nroot:x"), 0);
    EXPECT_EQ(setPassed("Admin;id", "pqlzv", "n1-secret"), 0);
    EXPECT_EQ(setPassed("admin", "pqlzv", ""), 0);
    EXPECT_STREQ(GetSettings2("passwd_admin", ""), "");
    EXPECT_EQ(setPassed("admin", "pqlzv", "n1-secret"), 1);
    EXPECT_STREQ(GetSettings2("passwd_admin", ""), "n1-secret");
    EXPECT_EQ(setPassed("admin", "pqlzv", "n2-secret"), 0); // the old one is gone
    EXPECT_EQ(setPassed("admin", "n1-secret", "n2-secret"), 1);
    EXPECT_EQ(setPassed("nobody", "", "n3-secret"), 0); // an account the runtime never made
}
