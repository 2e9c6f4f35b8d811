// Register map: conversions, what each array holds, and the write rules.
#include "fake_host.h"
#include "regmap.h"

#include <gtest/gtest.h>

using namespace mbslave;

namespace
{

struct MapTest : ::testing::Test {
    FakeHost host;
    RegisterMap map;
    void ups(int sig, float v) { host.signals[{kUpsDev, sig}] = v; }
};

TEST(Conversions, UnsignedSignedAndPairs)
{
    EXPECT_EQ(toU16(-3.0f), 0);
    EXPECT_EQ(toU16(230.7f), 230);
    EXPECT_EQ(toU16(70000.0f), 70000 & 0xFFFF);
    EXPECT_EQ(toU16(1e20f), 0xFFFF);
    EXPECT_EQ(toS16(-5.0f), 0xFFFB);
    EXPECT_EQ(toS16(std::numeric_limits<float>::quiet_NaN()), 0);
    uint16_t p[2];
    toPair(-2.0f, p);
    EXPECT_EQ(p[0], 0xFFFF);
    EXPECT_EQ(p[1], 0xFFFE);
    toPair(100000.0f, p);
    EXPECT_EQ(p[0], 1);
    EXPECT_EQ(p[1], 100000 - 65536);
}

TEST_F(MapTest, InputRegistersConvertUpsValues)
{
    ups(40101, -1);     // battery status, signed
    ups(40102, 42);     // seconds on battery
    ups(40103, 17);     // minutes remaining
    ups(40120, 99);     // managed minutes (not used: management off)
    ups(40119, 54.3f);  // battery voltage x10
    ups(40106, -1.5f);  // battery current x10 signed
    ups(40133, 229.9f); // input voltage A
    ups(40139, 49.9f);  // input frequency A x10
    ups(40142, 70000);  // input true power A, hi/lo
    ups(40170, 2.5f);   // output power A
    ups(40199, 3.25f);  // bypass power A
    ups(30004, 3000);   // rated VA, halved
    ups(30005, -7);
    ups(40239, -3);
    ups(40222, 6); // energy-flow line 7
    map.refreshAll(host);
    EXPECT_EQ(map.input(257), 0xFFFF);
    EXPECT_EQ(map.input(258), 42);
    EXPECT_EQ(map.input(259), 17);
    EXPECT_EQ(map.input(261), 543);
    EXPECT_EQ(map.input(262), static_cast<uint16_t>(-15));
    EXPECT_EQ(map.input(264), 0);
    EXPECT_EQ(map.input(266), 229);
    EXPECT_EQ(map.input(272), 499);
    EXPECT_EQ(map.input(275), 1);
    EXPECT_EQ(map.input(276), 70000 - 65536);
    EXPECT_EQ(map.input(290), 0); // ups_type 0: no kW scaling
    EXPECT_EQ(map.input(291), 2);
    EXPECT_EQ(map.input(307), 0);
    EXPECT_EQ(map.input(308), 3);
    EXPECT_EQ(map.input(317), 0);
    EXPECT_EQ(map.input(318), 1500);
    EXPECT_EQ(map.input(319), 0xFFFF);
    EXPECT_EQ(map.input(320), 0xFFF9);
    EXPECT_EQ(map.input(353), 0xFFFD);
    EXPECT_EQ(map.input(362), 6);
}

TEST_F(MapTest, PowerScalingFollowsUpsTypeAndBatteryManagementSwapsSignals)
{
    ups(40170, 2.5f);
    ups(40199, 3.25f);
    ups(40103, 17);
    ups(40120, 99);
    ups(40104, 50);
    ups(40121, 88);
    for (const char* type : {"2", "4", "5", "7"}) {
        host.settings["ups_type"] = type;
        map.refreshInput(host, 290, 2);
        EXPECT_EQ(map.input(291), 2500) << type;
    }
    host.settings["ups_type"] = "4";
    map.refreshInput(host, 307, 2);
    EXPECT_EQ(map.input(308), 3); // bypass power scaled only for type 7
    host.settings["ups_type"] = "7";
    map.refreshInput(host, 307, 2);
    EXPECT_EQ(map.input(308), 3250);

    host.settings["battery_enable_type"] = "1";
    map.refreshInput(host, 259, 2);
    EXPECT_EQ(map.input(259), 99);
    EXPECT_EQ(map.input(260), 88);
}

TEST_F(MapTest, SensorReadingsUseTheirDivisor)
{
    host.signals[{kSensorDev, 40208}] = 2534; // sensor 1 temperature, hundredths
    host.signals[{kSensorDev, 40212}] = 4550;
    host.signals[{kSensorDev, 40209}] = 253; // sensor 2, divisor 10
    host.signals[{kSensorDev, 40210}] = 500; // sensor 3, divisor 0 (bad setting)
    host.settings["temp_conver2"] = "10";
    host.settings["temp_conver3"] = "0";
    map.refreshAll(host);
    EXPECT_EQ(map.input(325), 253);
    EXPECT_EQ(map.input(326), 455);
    EXPECT_EQ(map.input(332), 253);
    EXPECT_EQ(map.input(339), 0);
    EXPECT_EQ(map.input(327), 0);
}

TEST_F(MapTest, TextsArePackedTwoCharactersPerRegister)
{
    host.setText(kUpsDev, 40000, "ABC");
    host.setText(kUpsDev, 40016, "0123456789abcdefXYZ"); // 16 characters kept
    host.settings["System_Name"] = std::string(40, 'n');
    host.settings["System_Location"] = "Lab";
    map.refreshAll(host);
    EXPECT_EQ(map.input(513), 'A' << 8 | 'B');
    EXPECT_EQ(map.input(514), 'C' << 8);
    for (int a = 515; a <= 520; ++a)
        EXPECT_EQ(map.input(a), 0) << a;
    EXPECT_EQ(map.input(536), 'e' << 8 | 'f');
    EXPECT_EQ(map.input(537), 0);
    EXPECT_EQ(map.input(625), 'F' << 8 | 'W');
    EXPECT_EQ(map.input(628), '3' << 8);
    EXPECT_EQ(map.input(640), 0);
    EXPECT_EQ(map.input(672), 'n' << 8 | 'n'); // first 32 characters only
    EXPECT_EQ(map.input(673), 0);
    EXPECT_EQ(map.input(689), 'L' << 8 | 'a');
    EXPECT_EQ(map.input(690), 'b' << 8);

    // A shorter name later leaves no trace of the longer one.
    host.settings["System_Location"] = "";
    map.refreshInput(host, 689, 16);
    EXPECT_EQ(map.input(689), 0);
}

TEST_F(MapTest, RefreshTouchesOnlyTheRequestedRange)
{
    ups(40102, 42);
    ups(40101, 5);
    map.refreshInput(host, 258, 1);
    EXPECT_EQ(map.input(258), 42);
    EXPECT_EQ(map.input(257), 0);
}

TEST_F(MapTest, DiscreteInputsFollowAlarmFlagsAndSensorUse)
{
    ups(20019, 1);
    ups(20000, 1);
    ups(20013, 3); // bit 0 of the integer value
    ups(20014, 2);
    ups(20028, 1); // not mapped
    ups(20029, 1);
    ups(20053, 1);
    ups(20035, 1); // sensor 2 not answering
    map.refreshAll(host);
    EXPECT_EQ(map.discrete(257), 1);
    EXPECT_EQ(map.discrete(258), 1);
    EXPECT_EQ(map.discrete(271), 1);
    EXPECT_EQ(map.discrete(272), 0);
    EXPECT_EQ(map.discrete(285), 1);
    EXPECT_EQ(map.discrete(290), 1);
    EXPECT_EQ(map.discrete(310), 1);
    EXPECT_EQ(map.discrete(291), 0); // sensors not in use
    host.settings["ths_enable"] = "1";
    map.refreshAll(host);
    EXPECT_EQ(map.discrete(291), 1);
    EXPECT_EQ(map.discrete(296), 0);
    EXPECT_EQ(map.discrete(301), 1);
    host.settings["use_dev_fun5"] = "0";
    map.refreshAll(host);
    EXPECT_EQ(map.discrete(291), 0);
}

TEST_F(MapTest, HoldingRegistersShowLineSettingsClockAndLimits)
{
    host.settings["ups_addr"] = "7";
    host.settings["ups_baudRate"] = "9600";
    host.settings["ups_checkway"] = "2";
    host.settings["ups_stopBits"] = "2";
    host.settings["in_templ1"] = "-10.5";
    host.settings["in_temph1"] = "40.0";
    host.settings["in_humil1"] = "20";
    host.settings["in_humih1"] = "80.9";
    host.settings["in_thaddr4"] = "12";
    map.refreshAll(host);
    EXPECT_EQ(map.holding(9), 7);
    EXPECT_EQ(map.holding(10), 4);
    EXPECT_EQ(map.holding(11), 0);
    EXPECT_EQ(map.holding(12), 1);
    EXPECT_EQ(map.holding(13), 1);
    std::tm t{};
    localtime_r(&host.fixedNow, &t);
    EXPECT_EQ(map.holding(21), t.tm_year + 1900);
    EXPECT_EQ(map.holding(22), t.tm_mon + 1);
    EXPECT_EQ(map.holding(26), t.tm_sec);
    EXPECT_EQ(map.holding(30), 10);
    EXPECT_EQ(map.holding(31), 60);
    EXPECT_EQ(map.holding(32), 20);
    EXPECT_EQ(map.holding(33), 80);
    EXPECT_EQ(map.holding(52), 12);
    host.settings["ups_baudRate"] = "19200";
    host.settings["ups_checkway"] = "1";
    map.refreshHolding(host, 10, 3);
    EXPECT_EQ(map.holding(10), 0);
    EXPECT_EQ(map.holding(12), 2);
}

TEST_F(MapTest, PackVariantAddsBatteryPackRegisters)
{
    RegisterMap pack(kPackInputCount);
    host.signals[{kFirstPackDev, 41000}] = 812.7f; // integer part x10
    host.signals[{kFirstPackDev, 41001}] = -2;
    host.signals[{kFirstPackDev, 41005}] = 9;
    host.signals[{kFirstPackDev, 41031}] = -3.9f;
    for (int i = 0; i < 32; ++i)
        host.signals[{kFirstPackDev, 42000 + i}] = 3300 + i;
    pack.refreshInput(host, 0, kPackInputCount);
    EXPECT_EQ(pack.inputCount(), kPackInputCount);
    EXPECT_EQ(pack.input(4096), 8120);
    EXPECT_EQ(pack.input(4097), 0xFFFE);
    EXPECT_EQ(pack.input(4099), 0);
    EXPECT_EQ(pack.input(4100), 0);
    EXPECT_EQ(pack.input(4101), 9);
    EXPECT_EQ(pack.input(4127), static_cast<uint16_t>(-30));
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(pack.input(8192 + i), 3300 + i);
    // The standard map has no pack registers.
    EXPECT_EQ(map.inputCount(), kInputCount);
}

// ------------------------------------------------------------------ writes

struct WriteTest : ::testing::Test {
    FakeHost host;
    void write(int addr, int v)
    {
        writeSingle(host, addr, static_cast<uint16_t>(v), "Tcp:10.0.0.9");
    }
};

TEST_F(WriteTest, CommandRegistersNeed65535)
{
    const int expected[][3] = {
        {1, 0, 1300}, {2, 2, 1302}, {3, 8, 1308}, {4, 3, 1303}, {5, 6, 1306}};
    for (auto [addr, cmd, code] : expected) {
        host.commands.clear();
        host.controlLogs.clear();
        write(addr, 1);
        EXPECT_TRUE(host.commands.empty()) << addr;
        write(addr, 65535);
        ASSERT_EQ(host.commands.size(), 1u) << addr;
        EXPECT_EQ(host.commands[0], cmd);
        ASSERT_EQ(host.controlLogs.size(), 1u);
        EXPECT_EQ(host.controlLogs[0], std::make_pair(code, std::string("Tcp:10.0.0.9")));
    }
}

TEST_F(WriteTest, TestMinutesAndShutdownDelaysDependOnUpsType)
{
    write(6, 100); // out of range
    EXPECT_TRUE(host.commands.empty());
    write(6, 30);
    EXPECT_EQ(host.settings["in_tast1"], "30");
    EXPECT_EQ(host.commands, std::vector<int>{1});

    host.commands.clear();
    write(7, 601); // out of range: nothing at all
    write(7, 11);
    write(8, 0);
    write(8, 10000);
    EXPECT_TRUE(host.commands.empty());
    EXPECT_FALSE(host.settings.count("in_tast23"));

    write(7, 120); // default type: seconds kept, command 23
    EXPECT_EQ(host.settings["in_tast23"], "120");
    write(8, 5); // default type: no effect
    EXPECT_EQ(host.commands, std::vector<int>{23});
    EXPECT_EQ(host.controlLogs.back().first, 1323);

    host.commands.clear();
    host.settings["ups_type"] = "2";
    write(7, 59);
    EXPECT_EQ(host.settings["in_tast15"], "1");
    write(7, 150);
    EXPECT_EQ(host.settings["in_tast15"], "2");
    write(8, 9999);
    EXPECT_EQ(host.settings["in_tast16"], "9999");
    EXPECT_EQ(host.commands, (std::vector<int>{15, 15, 16}));
    EXPECT_EQ(host.controlLogs.back().first, 1316);

    host.commands.clear();
    host.settings["ups_type"] = "5";
    write(7, 300);
    write(8, 2);
    EXPECT_EQ(host.commands, (std::vector<int>{4, 7}));
}

TEST_F(WriteTest, LineSettings)
{
    write(9, 0);
    write(9, 248);
    EXPECT_FALSE(host.settings.count("ups_addr"));
    write(9, 247);
    EXPECT_EQ(host.settings["ups_addr"], "247");
    write(10, 5);
    EXPECT_FALSE(host.settings.count("ups_baudRate"));
    write(10, 3);
    EXPECT_EQ(host.settings["ups_baudRate"], "4800");
    write(12, 1);
    EXPECT_EQ(host.settings["ups_checkway"], "2");
    write(12, 2);
    EXPECT_EQ(host.settings["ups_checkway"], "1");
    write(12, 3);
    EXPECT_EQ(host.settings["ups_checkway"], "1");
    write(13, 1);
    EXPECT_EQ(host.settings["ups_stopBits"], "2");
    write(13, 2);
    EXPECT_EQ(host.settings["ups_stopBits"], "2");
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(WriteTest, ClockFieldReplacesOnePartOfTheLocalTime)
{
    host.settings["system_run_time"] = "1000";
    write(21, 2012); // year out of range
    write(24, 24);
    EXPECT_TRUE(host.clocks.empty());
    write(21, 2030);
    ASSERT_EQ(host.clocks.size(), 1u);
    std::tm now{};
    localtime_r(&host.fixedNow, &now);
    EXPECT_EQ(host.clocks[0].tm_year, 130);
    EXPECT_EQ(host.clocks[0].tm_mon, now.tm_mon);
    EXPECT_EQ(host.clocks[0].tm_min, now.tm_min);
    EXPECT_EQ(host.settings["system_startup_time"], std::to_string(host.fixedNow - 1000));
    write(26, 59);
    ASSERT_EQ(host.clocks.size(), 2u);
    EXPECT_EQ(host.clocks[1].tm_sec, 59);
    EXPECT_EQ(host.logs.back(), "Set Time:26");
}

TEST_F(WriteTest, SensorLimitsKeepHighAboveLow)
{
    host.settings["in_templ1"] = "20.0";
    write(30, 450); // 25.0 above the low limit
    EXPECT_EQ(host.settings["in_temph1"], "25.0");
    write(30, 350); // 15.0 would fall below the low limit
    EXPECT_EQ(host.settings["in_temph1"], "25.0");
    write(31, 460); // low 26.0 above the high limit: refused
    EXPECT_EQ(host.settings["in_templ1"], "20.0");
    write(31, 100); // -10.0
    EXPECT_EQ(host.settings["in_templ1"], "-10.0");
    write(30, 1001); // out of range
    EXPECT_EQ(host.settings["in_temph1"], "25.0");

    host.settings["in_humih2"] = "80";
    write(38, 900); // sensor 2 humidity high 90.0
    EXPECT_EQ(host.settings["in_humih2"], "90.0");
    write(39, 950); // low 95.0 not below high
    EXPECT_FALSE(host.settings.count("in_humil2"));
    write(39, 300);
    EXPECT_EQ(host.settings["in_humil2"], "30.0");
    EXPECT_EQ(host.logs.back().rfind("HUM (H) H: 90.0", 0), 0u);
}

TEST_F(WriteTest, SensorAddressGoesToTheSensorDriver)
{
    write(34, 0);
    write(34, 256);
    EXPECT_TRUE(host.controls.empty());
    write(34, 5);
    write(52, 9); // sensor 4
    EXPECT_EQ(host.settings["in_thaddr1"], "5");
    EXPECT_EQ(host.settings["in_thaddr4"], "9");
    ASSERT_EQ(host.controls.size(), 2u);
    EXPECT_EQ(host.controls[0], std::make_pair(kSensorDev, std::string("1,5")));
    EXPECT_EQ(host.controls[1], std::make_pair(kSensorDev, std::string("4,9")));
}

TEST_F(WriteTest, OtherRegistersOnlyLogOrAreIgnored)
{
    write(11, 3);
    write(35, 3); // 30 + 6k + 5: not a sensor field
    ASSERT_EQ(host.logs.size(), 2u);
    EXPECT_EQ(host.logs[0], "startAddr : 11 value : 3");
    EXPECT_EQ(host.logs[1], "startAddr : 35 value : 3");
    write(0, 65535);
    write(54, 65535);
    write(12000, 1);
    EXPECT_EQ(host.logs.size(), 2u);
    EXPECT_FALSE(host.touchedAnything());
}

TEST_F(WriteTest, BlockAt7SetsBothDelays)
{
    const uint16_t bad[] = {601, 5};
    writeMultiple(host, 7, bad, "COM");
    const uint16_t one[] = {120};
    writeMultiple(host, 7, one, "COM");
    EXPECT_TRUE(host.commands.empty());

    const uint16_t regs[] = {120, 5};
    writeMultiple(host, 7, regs, "COM");
    EXPECT_EQ(host.settings["in_tast23"], "120");
    EXPECT_EQ(host.settings["in_tast5"], "5");
    EXPECT_EQ(host.commands, std::vector<int>{24});
    EXPECT_EQ(host.controlLogs.back(), std::make_pair(1324, std::string("COM")));

    host.commands.clear();
    host.settings["ups_type"] = "2";
    writeMultiple(host, 7, regs, "COM");
    EXPECT_EQ(host.settings["in_tast15"], "2");
    EXPECT_EQ(host.settings["in_tast16"], "5");
    EXPECT_EQ(host.commands, (std::vector<int>{15, 16}));

    host.commands.clear();
    writeMultiple(host, 8, regs, "COM"); // other start addresses do nothing
    EXPECT_TRUE(host.commands.empty());
}

TEST_F(WriteTest, BlockAt21SetsUpsClockSignalsAndTheClock)
{
    const uint16_t bad[] = {2030, 13, 1, 0, 0, 0};
    writeMultiple(host, 21, bad, "COM");
    EXPECT_EQ(host.value(kUpsDev, 40502), 13); // stored even when invalid
    EXPECT_TRUE(host.clocks.empty());

    host.settings["ups_type"] = "2";
    const uint16_t date[] = {2031, 2, 3, 4, 5, 6};
    writeMultiple(host, 21, date, "COM");
    EXPECT_EQ(host.value(kUpsDev, 40501), 2031);
    EXPECT_EQ(host.value(kUpsDev, 40506), 6);
    ASSERT_EQ(host.controls.size(), 1u);
    EXPECT_EQ(host.controls[0], std::make_pair(kUpsDev, std::string("56,2031,2,3,4,5,6")));
    ASSERT_EQ(host.clocks.size(), 1u);
    EXPECT_EQ(host.clocks[0].tm_year, 131);
    EXPECT_EQ(host.clocks[0].tm_mday, 3);
    EXPECT_EQ(host.clocks[0].tm_sec, 6);

    const uint16_t shortBlock[] = {2031, 2, 3};
    writeMultiple(host, 21, shortBlock, "COM");
    EXPECT_EQ(host.clocks.size(), 1u);
}

} // namespace
