// The clock pass against a recording runtime and machine: what it syncs and
// when, the zone it puts into TZ, the reboots, the Wake-on-LAN packets and the
// start and run times the store's close-out of old alarms relies on.
#include "clock_core.hpp"
#include "system.hpp"

#include "fake_runtime.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace
{

using svc_clock::ClockCore;

struct FakeSystem : svc_clock::System {
    std::vector<std::vector<std::string>> runs;
    std::vector<std::string> zones;
    std::vector<std::pair<int, std::vector<svc_clock::WakePacket>>> sends;
    bool serverAnswers = true;
    card::FakeRuntime* rt = nullptr;
    int jump = 0; // what setting the clock moves it by

    int run(const std::vector<std::string>& argv, std::string* out) override
    {
        runs.push_back(argv);
        if (argv.size() == 2 && argv[0] == "ntpdate" && rt) rt->clock += jump;
        if (out && argv.size() == 3 && argv[1] == "-d" && serverAnswers)
            *out = "transmit(127.0.0.1)\nreceive(127.0.0.1)\n";
        return 0;
    }
    void setZone(const std::string& tz) override { zones.push_back(tz); }
    int broadcast(int port, const std::vector<svc_clock::WakePacket>& p) override
    {
        sends.emplace_back(port, p);
        return int(p.size());
    }
    int count(const std::vector<std::string>& argv) const
    {
        return int(std::count(runs.begin(), runs.end(), argv));
    }
};

struct Clock : ::testing::Test {
    card::FakeRuntime rt;
    FakeSystem sys;
    ClockCore core{rt, sys};

    Clock()
    {
        sys.rt = &rt;
        rt.set("sel_server", "1");
        rt.set("otherser", "127.0.0.1");
    }
    void second()
    {
        rt.clock += 1;
        core.pass();
    }
};

const std::vector<std::string> kProbe = {"ntpdate", "-d", "127.0.0.1"};
const std::vector<std::string> kSet = {"ntpdate", "127.0.0.1"};
const std::vector<std::string> kReboot = {"reboot"};

TEST_F(Clock, SyncOnDemandWithoutPeriodRunsTwiceAndClearsTheRequest)
{
    core.start();
    second();
    EXPECT_TRUE(sys.runs.empty()) << "no sync without period or request";

    rt.setValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME, 1);
    second();
    EXPECT_EQ(sys.count(kProbe), 2);
    EXPECT_EQ(sys.count(kSet), 2);
    EXPECT_EQ(sys.count({"hwclock", "--systohc", "--utc"}), 2);
    EXPECT_EQ(sys.zones, std::vector<std::string>{"GMT-8:00"}) << "only the first sets the zone";
    EXPECT_EQ(rt.value(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME), 0.0f);
    EXPECT_TRUE(rt.logged("Start to auto ntp cali time"));
    EXPECT_TRUE(rt.logged("NTP Test cmd:ntpdate -d 127.0.0.1,result:1"));

    second();
    EXPECT_EQ(sys.count(kProbe), 2) << "the request is spent";
}

TEST_F(Clock, PeriodicSyncStartsAtOnceThenFollowsTheIntervalAndTheZone)
{
    rt.set("nchecktimeevery", 1); // hourly
    core.start();
    second();
    EXPECT_EQ(sys.count(kProbe), 1);
    EXPECT_EQ(sys.zones, std::vector<std::string>{"GMT-8:00"});

    for (int i = 0; i < 3599; ++i)
        second();
    EXPECT_EQ(sys.count(kProbe), 1);
    second();
    EXPECT_EQ(sys.count(kProbe), 2) << "an hour after the last sync";

    rt.set("time_dst", 0);
    second();
    EXPECT_EQ(sys.zones.back(), "GMT-9:00");
    EXPECT_EQ(sys.count(kProbe), 3);

    // Turned off and on again: it syncs at once.
    rt.set("nchecktimeevery", 0);
    second();
    rt.set("nchecktimeevery", 3);
    second();
    EXPECT_EQ(sys.count(kProbe), 4);
}

TEST_F(Clock, ServerThatDoesNotAnswerLeavesClockAndZoneAlone)
{
    sys.serverAnswers = false;
    rt.set("nchecktimeevery", 1);
    core.start();
    second();
    EXPECT_EQ(sys.count(kProbe), 1);
    EXPECT_EQ(sys.count(kSet), 0);
    EXPECT_TRUE(sys.zones.empty());
    EXPECT_TRUE(rt.logged("NTP Test cmd:ntpdate -d 127.0.0.1,result:0"));
}

TEST_F(Clock, ServerNameFromTheSettingIsOnlyEverAHostOrAddress)
{
    core.start();
    for (const char* bad :
         {"-d", "pool.ntp.org;reboot", "$(reboot)", "a b", "x\ny", "", "-q.org"}) {
        rt.set("otherser", bad);
        rt.setValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME, 1);
        second();
    }
    EXPECT_TRUE(sys.runs.empty());
    for (const char* good : {"ntp.example.net", "192.0.2.1", "2001:db8::1"}) {
        rt.set("otherser", good);
        rt.setValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME, 1);
        second();
        EXPECT_EQ(sys.count({"ntpdate", "-d", good}), 2) << good;
    }
    // The list's entry when no own server is chosen.
    rt.set("sel_server", "0");
    rt.set("time_select", "3");
    rt.setValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME, 1);
    second();
    EXPECT_EQ(sys.count({"ntpdate", "-d", "time.google.com"}), 2);
}

TEST_F(Clock, StartAndRunTimeTellWhenTheCardLastRanAcrossClockJumps)
{
    core.start();
    const long long started = rt.clock;
    EXPECT_EQ(rt.integer("system_startup_time"), started);
    for (int i = 0; i < 100; ++i)
        second();
    EXPECT_EQ(rt.integer("system_run_time"), 100);
    EXPECT_EQ(rt.integer("system_startup_time") + rt.integer("system_run_time"), rt.clock);

    // The sync sets the clock an hour ahead: the start moves with it.
    sys.jump = 3600;
    rt.setValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME, 1);
    second();
    EXPECT_EQ(rt.clock, started + 101 + 2 * 3600) << "both syncs moved it";
    second();
    EXPECT_EQ(rt.integer("system_startup_time") + rt.integer("system_run_time"), rt.clock);
    EXPECT_EQ(rt.integer("system_run_time"), 102);
}

TEST_F(Clock, RestartOnRequestRebootsThirtySecondsLaterWithTheSettingCleared)
{
    core.start();
    rt.set("system_restart", 1);
    for (int i = 0; i < 30; ++i)
        second();
    EXPECT_EQ(sys.count(kReboot), 0) << "29 s after the request was seen";
    second();
    EXPECT_EQ(sys.count(kReboot), 1);
    EXPECT_EQ(rt.text("system_restart"), "0");
    for (int i = 0; i < 40; ++i)
        second();
    EXPECT_EQ(sys.count(kReboot), 1);

    // Withdrawn before its time: no reboot.
    rt.set("system_restart", 1);
    for (int i = 0; i < 20; ++i)
        second();
    rt.set("system_restart", 0);
    for (int i = 0; i < 40; ++i)
        second();
    EXPECT_EQ(sys.count(kReboot), 1);
}

TEST_F(Clock, RestartAfterHoursClearsBothSettings)
{
    core.start();
    rt.set("system_automatic_restart", 1);
    rt.set("system_restart_time", 2);
    second();
    rt.clock += 2 * 3600 - 1;
    core.pass();
    EXPECT_EQ(sys.count(kReboot), 0);
    second();
    EXPECT_EQ(sys.count(kReboot), 1);
    EXPECT_EQ(rt.text("system_automatic_restart"), "0");
    EXPECT_EQ(rt.text("system_restart_time"), "0");
}

TEST(WakeOnLan, MacBytesReadTheFirstTwoCharactersLeniently)
{
    EXPECT_EQ(svc_clock::macByte("g1"), 0x01);
    EXPECT_EQ(svc_clock::macByte("1g"), 0x00);
    EXPECT_EQ(svc_clock::macByte("0A"), 0x0A);
    EXPECT_EQ(svc_clock::macByte("0a"), 0x0A);
    EXPECT_EQ(svc_clock::macByte("fF7"), 0xFF);
    EXPECT_EQ(svc_clock::macByte("c"), 0x0C);
    EXPECT_EQ(svc_clock::macByte(""), 0x00);

    const auto p = svc_clock::wakePacket({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(p[i], 0xFF);
    for (size_t r = 0; r < 16; ++r)
        EXPECT_EQ(p[6 + r * 6 + 1], 0x1A) << r;
    EXPECT_EQ(p[101], 0x5E);
}

TEST_F(Clock, OneSetOfWakeUpPacketsPerReturnOfMains)
{
    rt.set("WakeEnabled_0", "1");
    rt.set("WakeEnabled_5", "1");
    for (int b = 0; b < 6; ++b)
        rt.set("mac_5_" + std::to_string(b), "a" + std::to_string(b));
    rt.set("wakeport", "9");
    core.start();
    for (int input : {0, 1, 1, 1, 0, 0, 0, 1, 0, 0}) {
        rt.setValue(card::kUps, Alarm_InputBad, float(input));
        second();
    }
    ASSERT_EQ(sys.sends.size(), 2u);
    EXPECT_EQ(sys.sends[0].first, 9);
    ASSERT_EQ(sys.sends[0].second.size(), 2u);
    EXPECT_EQ(sys.sends[0].second[1][6], 0xA0);
    EXPECT_EQ(sys.sends[0].second[1][11], 0xA5);
    EXPECT_TRUE(rt.logged("Send mac5 wakeup packet successfully"));

    rt.set("use_dev_fun4", 0);
    for (int input : {1, 0})
        rt.setValue(card::kUps, Alarm_InputBad, float(input)), second();
    EXPECT_EQ(sys.sends.size(), 2u) << "wake-up not allowed";

    rt.set("use_dev_fun4", 1);
    rt.set("WakeEnabled_0", "0");
    rt.set("WakeEnabled_5", "2"); // sent to, but not counted as enabled
    for (int input : {1, 0})
        rt.setValue(card::kUps, Alarm_InputBad, float(input)), second();
    EXPECT_EQ(sys.sends.size(), 2u) << "no host enabled";
}

TEST(WakeOnLan, BroadcastIsTheDirectedOneOfTheInterfaceNetwork)
{
    auto a = [](const char* t) { return inet_addr(t); };
    EXPECT_EQ(svc_clock::broadcastOf(a("192.168.1.20"), a("255.255.255.0")), a("192.168.1.255"));
    EXPECT_EQ(svc_clock::broadcastOf(a("10.7.3.9"), a("255.255.252.0")), a("10.7.3.255"));
    EXPECT_FALSE(svc_clock::interfaceAddress("no-such-if0"));
}

TEST_F(Clock, PackReadingsGoToTheUpsOfItsFamilyWhileBothAnswer)
{
    rt.set("en_bms_auto_send_ups", 1);
    rt.set("bms_num", 2);
    rt.set("ups_type", 4);
    rt.link(card::kPackBase, true);
    rt.link(card::kUps, true);
    rt.setValue(card::kPackBase, Data_bms_send_flag, 1);
    rt.setValue(card::kPackBase, Data_bms_cbms_total_voltage, 512.3f);
    rt.setValue(card::kPackBase, Data_bms_cbms_highest_cell_volt, 3.456f);
    rt.setValue(card::kPackBase, Data_bms_cbms_alarm_event, 7);
    core.start();
    second();
    ASSERT_EQ(rt.controls.size(), 1u);
    EXPECT_EQ(rt.controls[0].dev, card::kUps);
    EXPECT_EQ(rt.controls[0].text, "51,512.3,0.0,0.0,3.46,0.00,0.0,0.0,7,0");

    rt.set("bms_pro", 1);
    rt.setValue(card::kPackBase, Data_BMS_Battery_Run_status, 2);
    rt.setValue(card::kPackBase, Data_BMS_charge_voltage, 54.25f);
    rt.setValue(card::kPackBase, Data_BMS_Stop_Discharging_Warning, 9);
    second();
    EXPECT_EQ(rt.controls.back().text, "52,2,54.2,0.0,0.0,0.0,0,0.0,0,0,0,0,0,0,0,9");

    rt.link(card::kUps, false);
    second();
    rt.set("ups_type", 5);
    rt.link(card::kUps, true);
    second();
    EXPECT_EQ(rt.controls.size(), 2u);
}

} // namespace
