// Register map: conversions, what each array holds, and the write rules.
#include "modbus_frames.h"
#include "regmap.h"

#include <gtest/gtest.h>

using namespace mbslave;
using namespace mbslave::test;
using card::FakeRuntime;

namespace
{

struct MapTest : ::testing::Test {
    FakeRuntime rt;
    RegisterMap map;
    void ups(int sig, float v) { rt.setValue(card::kUps, sig, v); }
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
    ups(Data_BatteryStatus, -1);
    ups(Data_SecondsOnBattery, 42);
    ups(Data_EstimatedMinutesRemaining, 17);
    ups(Data_BatteryManageTime, 99); // not used: management off
    ups(Data_TotalBatteryVoltage, 54.3f);
    ups(Data_BatteryCurrent, -1.5f);
    ups(Data_InputVoltage_A, 229.9f);
    ups(Data_InputFrequency_A, 49.9f);
    ups(Data_InputTruePower_A, 70000);
    ups(Data_OutputPower_A, 2.5f);
    ups(Data_BypassPower_A, 3.25f);
    ups(Sys_ConfigOutputVA, 3000); // halved
    ups(Sys_ConfigOutputPower, -7);
    ups(Data_UpsWorkMode, -3);
    ups(Data_energyflow_line7, 6);
    map.refreshAll(rt);
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
    ups(Data_OutputPower_A, 2.5f);
    ups(Data_BypassPower_A, 3.25f);
    ups(Data_EstimatedMinutesRemaining, 17);
    ups(Data_BatteryManageTime, 99);
    ups(Data_EstimatedChargeRemaining, 50);
    ups(Data_BatteryManageSoc, 88);
    for (const char* type : {"2", "4", "5", "7"}) {
        rt.set("ups_type", type);
        map.refreshInput(rt, 290, 2);
        EXPECT_EQ(map.input(291), 2500) << type;
    }
    rt.set("ups_type", "4");
    map.refreshInput(rt, 307, 2);
    EXPECT_EQ(map.input(308), 3); // bypass power scaled only for type 7
    rt.set("ups_type", "7");
    map.refreshInput(rt, 307, 2);
    EXPECT_EQ(map.input(308), 3250);

    rt.set("battery_enable_type", "1");
    map.refreshInput(rt, 259, 2);
    EXPECT_EQ(map.input(259), 99);
    EXPECT_EQ(map.input(260), 88);
}

TEST_F(MapTest, SensorReadingsUseTheirDivisorAsEveryInterfaceDoes)
{
    rt.setValue(card::kSensors, Data_temperature_1, 2534); // hundredths (factory divisor 100)
    rt.setValue(card::kSensors, Data_humidity_1, 4550);
    rt.setValue(card::kSensors, Data_temperature_2, 253);
    rt.setValue(card::kSensors, Data_temperature_3, 500);
    rt.setValue(card::kSensors, Data_temperature_4, 70);
    rt.set("temp_conver2", "10");
    // A bad divisor divides by 1, as on the web pages, in SNMP and in the store.
    rt.set("temp_conver3", "0");
    rt.set("temp_conver4", "-5");
    map.refreshAll(rt);
    EXPECT_EQ(map.input(325), 253);
    EXPECT_EQ(map.input(326), 455);
    EXPECT_EQ(map.input(332), 253);
    EXPECT_EQ(map.input(339), 5000);
    EXPECT_EQ(map.input(346), 700);
    EXPECT_EQ(map.input(327), 0);
}

TEST_F(MapTest, TextsArePackedTwoCharactersPerRegister)
{
    putText(rt, card::kUps, Data_IdentManufacturer, "ABC");
    putText(rt, card::kUps, Data_upsIdentModel, "0123456789abcdefXYZ"); // 16 characters kept
    rt.set("System_Name", std::string(40, 'n'));
    rt.set("System_Location", "Lab");
    map.refreshAll(rt);
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
    rt.set("System_Location", "");
    map.refreshInput(rt, 689, 16);
    EXPECT_EQ(map.input(689), 0);
}

TEST_F(MapTest, RefreshTouchesOnlyTheRequestedRange)
{
    ups(Data_SecondsOnBattery, 42);
    ups(Data_BatteryStatus, 5);
    map.refreshInput(rt, 258, 1);
    EXPECT_EQ(map.input(258), 42);
    EXPECT_EQ(map.input(257), 0);
}

TEST_F(MapTest, DiscreteInputsFollowAlarmFlagsAndSensorUse)
{
    ups(Alarm_CommunicationsLost, 1);
    ups(Alarm_BatteryBad, 1);
    ups(Alarm_UpsOutputOff, 3); // bit 0 of the integer value
    ups(Alarm_UpsSystemOff, 2);
    ups(Alarm_BatteryFloatCharge, 1); // not mapped
    ups(Alarm_BatterySwitch, 1);
    ups(Alarm_TH4_Hum_Lo, 1);
    ups(Alarm_TH2_CommunicationsLost, 1); // sensor 2 not answering
    map.refreshAll(rt);
    EXPECT_EQ(map.discrete(257), 1);
    EXPECT_EQ(map.discrete(258), 1);
    EXPECT_EQ(map.discrete(271), 1);
    EXPECT_EQ(map.discrete(272), 0);
    EXPECT_EQ(map.discrete(285), 1);
    EXPECT_EQ(map.discrete(290), 1);
    EXPECT_EQ(map.discrete(310), 1);
    EXPECT_EQ(map.discrete(291), 0); // sensors not in use
    rt.set("ths_enable", "1");
    map.refreshAll(rt);
    EXPECT_EQ(map.discrete(291), 1);
    EXPECT_EQ(map.discrete(296), 0);
    EXPECT_EQ(map.discrete(301), 1);
    rt.set("use_dev_fun5", "0");
    map.refreshAll(rt);
    EXPECT_EQ(map.discrete(291), 0);
}

TEST_F(MapTest, HoldingRegistersShowLineSettingsClockAndLimits)
{
    rt.set("ups_addr", "7");
    rt.set("ups_baudRate", "9600");
    rt.set("ups_checkway", "2");
    rt.set("ups_stopBits", "2");
    rt.set("in_templ1", "-10.5");
    rt.set("in_temph1", "40.0");
    rt.set("in_humil1", "20");
    rt.set("in_humih1", "80.9");
    rt.set("in_thaddr4", "12");
    map.refreshAll(rt);
    EXPECT_EQ(map.holding(9), 7);
    EXPECT_EQ(map.holding(10), 4);
    EXPECT_EQ(map.holding(11), 0);
    EXPECT_EQ(map.holding(12), 1);
    EXPECT_EQ(map.holding(13), 1);
    std::tm t{};
    localtime_r(&rt.clock, &t);
    EXPECT_EQ(map.holding(21), t.tm_year + 1900);
    EXPECT_EQ(map.holding(22), t.tm_mon + 1);
    EXPECT_EQ(map.holding(26), t.tm_sec);
    EXPECT_EQ(map.holding(30), 10);
    EXPECT_EQ(map.holding(31), 60);
    EXPECT_EQ(map.holding(32), 20);
    EXPECT_EQ(map.holding(33), 80);
    EXPECT_EQ(map.holding(52), 12);
    rt.set("ups_baudRate", "19200");
    rt.set("ups_checkway", "1");
    map.refreshHolding(rt, 10, 3);
    EXPECT_EQ(map.holding(10), 0);
    EXPECT_EQ(map.holding(12), 2);
}

TEST_F(MapTest, PackVariantAddsBatteryPackRegisters)
{
    RegisterMap pack(kPackInputCount);
    rt.setValue(card::kPackBase, Data_bms_cbms_total_voltage, 812.7f); // integer part x10
    rt.setValue(card::kPackBase, Data_bms_cbms_charge_and_discharge_status, -2);
    rt.setValue(card::kPackBase, Data_bms_cbms_circuit_breaker_switching_state, 9);
    rt.setValue(card::kPackBase, Data_bms_cbms_negative_half_cluster_current, -3.9f);
    for (int i = 0; i < 32; ++i)
        rt.setValue(card::kPackBase, Data_bms_mod1_cell_volt1 + i, 3300 + i);
    pack.refreshInput(rt, 0, kPackInputCount);
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
    FakeRuntime rt;
    void write(int addr, int v) { writeSingle(rt, addr, static_cast<uint16_t>(v), "Tcp:10.0.0.9"); }
    std::string setting(const std::string& key) { return rt.text(key); }
    // The control-log request last sent to the store.
    std::pair<int, std::string> lastControlLog() const
    {
        return rt.stores.empty() ? std::make_pair(0, std::string())
                                 : std::make_pair(rt.stores.back().code, rt.stores.back().text);
    }
};

TEST_F(WriteTest, CommandRegistersNeed65535)
{
    const int expected[][3] = {
        {1, 0, 1300}, {2, 2, 1302}, {3, 8, 1308}, {4, 3, 1303}, {5, 6, 1306}};
    for (auto [addr, cmd, code] : expected) {
        rt.clearRecords();
        write(addr, 1);
        EXPECT_TRUE(commands(rt).empty()) << addr;
        write(addr, 65535);
        EXPECT_EQ(commands(rt), std::vector<int>{cmd}) << addr;
        ASSERT_EQ(rt.stores.size(), 1u);
        EXPECT_EQ(lastControlLog(), std::make_pair(code, std::string("Tcp:10.0.0.9")));
    }
}

TEST_F(WriteTest, TestMinutesAndShutdownDelaysDependOnUpsType)
{
    write(6, 100); // out of range
    EXPECT_TRUE(commands(rt).empty());
    write(6, 30);
    EXPECT_EQ(setting("in_tast1"), "30");
    EXPECT_EQ(commands(rt), std::vector<int>{1});

    rt.clearRecords();
    write(7, 601); // out of range: nothing at all
    write(7, 11);
    write(8, 0);
    write(8, 10000);
    EXPECT_TRUE(commands(rt).empty());
    EXPECT_FALSE(rt.has("in_tast23"));

    write(7, 120); // default type: seconds kept, command 23
    EXPECT_EQ(setting("in_tast23"), "120");
    write(8, 5); // default type: no effect
    EXPECT_EQ(commands(rt), std::vector<int>{23});
    EXPECT_EQ(lastControlLog().first, 1323);

    rt.clearRecords();
    rt.set("ups_type", "2");
    write(7, 59);
    EXPECT_EQ(setting("in_tast15"), "1");
    write(7, 150);
    EXPECT_EQ(setting("in_tast15"), "2");
    write(8, 9999);
    EXPECT_EQ(setting("in_tast16"), "9999");
    EXPECT_EQ(commands(rt), (std::vector<int>{15, 15, 16}));
    EXPECT_EQ(lastControlLog().first, 1316);

    rt.clearRecords();
    rt.set("ups_type", "5");
    write(7, 300);
    write(8, 2);
    EXPECT_EQ(commands(rt), (std::vector<int>{4, 7}));
}

TEST_F(WriteTest, LineSettings)
{
    write(9, 0);
    write(9, 248);
    EXPECT_FALSE(rt.has("ups_addr"));
    write(9, 247);
    EXPECT_EQ(setting("ups_addr"), "247");
    write(10, 5);
    EXPECT_FALSE(rt.has("ups_baudRate"));
    write(10, 3);
    EXPECT_EQ(setting("ups_baudRate"), "4800");
    write(12, 1);
    EXPECT_EQ(setting("ups_checkway"), "2");
    write(12, 2);
    EXPECT_EQ(setting("ups_checkway"), "1");
    write(12, 3);
    EXPECT_EQ(setting("ups_checkway"), "1");
    write(13, 1);
    EXPECT_EQ(setting("ups_stopBits"), "2");
    write(13, 2);
    EXPECT_EQ(setting("ups_stopBits"), "2");
    EXPECT_TRUE(commands(rt).empty());
}

TEST_F(WriteTest, ClockFieldReplacesOnePartOfTheLocalTime)
{
    rt.set("system_run_time", "1000");
    write(21, 2012); // year out of range
    write(24, 24);
    EXPECT_TRUE(rt.clockSets.empty());
    write(21, 2030);
    ASSERT_EQ(rt.clockSets.size(), 1u);
    std::tm now{};
    localtime_r(&rt.clock, &now);
    EXPECT_EQ(rt.clockSets[0].tm_year, 130);
    EXPECT_EQ(rt.clockSets[0].tm_mon, now.tm_mon);
    EXPECT_EQ(rt.clockSets[0].tm_min, now.tm_min);
    EXPECT_EQ(setting("system_startup_time"), std::to_string(rt.clock - 1000));
    write(26, 59);
    ASSERT_EQ(rt.clockSets.size(), 2u);
    EXPECT_EQ(rt.clockSets[1].tm_sec, 59);
    EXPECT_EQ(rt.logs.back(), "Set Time:26");
}

TEST_F(WriteTest, SensorLimitsKeepHighAboveLow)
{
    rt.set("in_templ1", "20.0");
    write(30, 450); // 25.0 above the low limit
    EXPECT_EQ(setting("in_temph1"), "25.0");
    write(30, 350); // 15.0 would fall below the low limit
    EXPECT_EQ(setting("in_temph1"), "25.0");
    write(31, 460); // low 26.0 above the high limit: refused
    EXPECT_EQ(setting("in_templ1"), "20.0");
    write(31, 100); // -10.0
    EXPECT_EQ(setting("in_templ1"), "-10.0");
    write(30, 1001); // out of range
    EXPECT_EQ(setting("in_temph1"), "25.0");

    rt.set("in_humih2", "80");
    write(38, 900); // sensor 2 humidity high 90.0
    EXPECT_EQ(setting("in_humih2"), "90.0");
    write(39, 950); // low 95.0 not below high
    EXPECT_FALSE(rt.has("in_humil2"));
    write(39, 300);
    EXPECT_EQ(setting("in_humil2"), "30.0");
    EXPECT_EQ(rt.logs.back().rfind("HUM (H) H: 90.0", 0), 0u);
}

TEST_F(WriteTest, SensorAddressGoesToTheSensorDriver)
{
    write(34, 0);
    write(34, 256);
    EXPECT_TRUE(rt.controls.empty());
    write(34, 5);
    write(52, 9); // sensor 4
    EXPECT_EQ(setting("in_thaddr1"), "5");
    EXPECT_EQ(setting("in_thaddr4"), "9");
    EXPECT_EQ(rt.controls, (std::vector<FakeRuntime::Control>{{card::kSensors, "1,5"},
                                                              {card::kSensors, "4,9"}}));
}

TEST_F(WriteTest, OtherRegistersOnlyLogOrAreIgnored)
{
    write(11, 3);
    write(35, 3); // 30 + 6k + 5: not a sensor field
    EXPECT_EQ(rt.logs,
              (std::vector<std::string>{"startAddr : 11 value : 3", "startAddr : 35 value : 3"}));
    write(0, 65535);
    write(54, 65535);
    write(12000, 1);
    EXPECT_EQ(rt.logs.size(), 2u);
    EXPECT_FALSE(touchedAnything(rt));
}

TEST_F(WriteTest, BlockAt7SetsBothDelays)
{
    const uint16_t bad[] = {601, 5};
    writeMultiple(rt, 7, bad, "COM");
    const uint16_t one[] = {120};
    writeMultiple(rt, 7, one, "COM");
    EXPECT_TRUE(commands(rt).empty());

    const uint16_t regs[] = {120, 5};
    writeMultiple(rt, 7, regs, "COM");
    EXPECT_EQ(setting("in_tast23"), "120");
    EXPECT_EQ(setting("in_tast5"), "5");
    EXPECT_EQ(commands(rt), std::vector<int>{24});
    EXPECT_EQ(lastControlLog(), std::make_pair(1324, std::string("COM")));

    rt.clearRecords();
    rt.set("ups_type", "2");
    writeMultiple(rt, 7, regs, "COM");
    EXPECT_EQ(setting("in_tast15"), "2");
    EXPECT_EQ(setting("in_tast16"), "5");
    EXPECT_EQ(commands(rt), (std::vector<int>{15, 16}));

    rt.clearRecords();
    writeMultiple(rt, 8, regs, "COM"); // other start addresses do nothing
    EXPECT_TRUE(commands(rt).empty());
}

TEST_F(WriteTest, BlockAt21SetsUpsClockSignalsAndTheClock)
{
    const uint16_t bad[] = {2030, 13, 1, 0, 0, 0};
    writeMultiple(rt, 21, bad, "COM");
    EXPECT_EQ(rt.value(card::kUps, Data_Time_month), 13); // stored even when invalid
    EXPECT_TRUE(rt.clockSets.empty());

    rt.set("ups_type", "2");
    const uint16_t date[] = {2031, 2, 3, 4, 5, 6};
    writeMultiple(rt, 21, date, "COM");
    EXPECT_EQ(rt.value(card::kUps, Data_Time_year), 2031);
    EXPECT_EQ(rt.value(card::kUps, Data_Time_second), 6);
    EXPECT_EQ(rt.controls, (std::vector<FakeRuntime::Control>{{card::kUps, "56,2031,2,3,4,5,6"}}));
    ASSERT_EQ(rt.clockSets.size(), 1u);
    EXPECT_EQ(rt.clockSets[0].tm_year, 131);
    EXPECT_EQ(rt.clockSets[0].tm_mday, 3);
    EXPECT_EQ(rt.clockSets[0].tm_sec, 6);

    const uint16_t shortBlock[] = {2031, 2, 3};
    writeMultiple(rt, 21, shortBlock, "COM");
    EXPECT_EQ(rt.clockSets.size(), 1u);
}

} // namespace
