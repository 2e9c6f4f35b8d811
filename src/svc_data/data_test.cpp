// Data task: link watch, model change, channel-0 commands, sampling requests,
// set-ups and the small derived values.
#include "data_fixture.hpp"

using namespace svc_data;
using namespace svc_data_test;

namespace
{

TEST(DataPorts, ChangesInApplyOrder)
{
    PortConfig cached{2400, 8, 1, 0};
    EXPECT_TRUE(portChanges(cached, cached).empty());
    auto c = portChanges(cached, PortConfig{9600, 7, 2, 2});
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0].op, COMM_CTL_BAUD);
    EXPECT_EQ(c[0].value, 9600);
    EXPECT_EQ(c[1].op, COMM_CTL_DATABITS);
    EXPECT_EQ(c[2].op, COMM_CTL_STOPBITS);
    EXPECT_EQ(c[3].op, COMM_CTL_PARITY);
    EXPECT_EQ(c[3].value, 2);
    c = portChanges(cached, PortConfig{2400, 8, 1, 1});
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].op, COMM_CTL_PARITY);
}

TEST_F(DataTest, InitWritesVersionFilesAndClearsLostLink)
{
    SaveSettingi("ups_lost", 1);
    SaveSettingi("is_mem_64M", 1);
    core_.init();
    EXPECT_EQ(GetSettingi("ups_lost"), 0);
    std::string hw, sw;
    ASSERT_TRUE(platform::readFile(platform::appPath("config/hardVersion"), hw));
    ASSERT_TRUE(platform::readFile(platform::appPath("config/softVersion"), sw));
    EXPECT_EQ(hw, "HW305KQM02\n");
    EXPECT_EQ(sw, "FW02K13\n");
    SaveSettingi("is_mem_64M", 0);
    core_.init();
    platform::readFile(platform::appPath("config/hardVersion"), hw);
    EXPECT_EQ(hw, "HW305KQM01\n");
}

TEST_F(DataTest, LinkWatch)
{
    SaveSettingi("communication_timeout", 60);
    core_.start();
    const std::time_t t0 = clock_;
    core_.linkWatch();
    EXPECT_EQ(GetSettingi("ups_lost"), 0);

    answering_ = false;
    clock_ = t0 + 60;
    core_.linkWatch();
    EXPECT_EQ(GetSettingi("ups_lost"), 0);
    EXPECT_EQ(ups(Alarm_CommunicationsLost), 0.0f);
    clock_ = t0 + 61;
    core_.linkWatch();
    EXPECT_EQ(GetSettingi("ups_lost"), 1);
    EXPECT_EQ(ups(Alarm_CommunicationsLost), 1.0f);

    // One good poll clears both.
    answering_ = true;
    clock_ = t0 + 66;
    core_.linkWatch();
    EXPECT_EQ(GetSettingi("ups_lost"), 0);
    EXPECT_EQ(ups(Alarm_CommunicationsLost), 0.0f);

    // The runtime's own link state is the default source.
    DataCore plain{Hooks{[this] { return clock_; }}};
    plain.start();
    SetDevValue(60, SIG_LINK_OK, 0);
    SaveSettings("communication_timeout", "later"); // bad: the default 60 s holds
    clock_ += 61;
    plain.linkWatch();
    EXPECT_EQ(GetSettingi("ups_lost"), 1);
    SetDevValue(60, SIG_LINK_OK, 1);
    plain.linkWatch();
    EXPECT_EQ(GetSettingi("ups_lost"), 0);
}

TEST_F(DataTest, ModelOrAddressChangeEndsTheProgram)
{
    SaveSettingi("ups_type", 4);
    SaveSettingi("ups_addr", 1);
    core_.start();
    EXPECT_FALSE(core_.checkModelChange());
    SaveSettingi("ups_addr", 2);
    EXPECT_TRUE(core_.checkModelChange());
    EXPECT_EQ(exits_, (std::vector<int>{0}));

    // The address only matters to the register-map types 2..5.
    exits_.clear();
    SaveSettingi("ups_type", 0);
    SaveSettingi("ups_addr", 1);
    core_.start();
    SaveSettingi("ups_addr", 7);
    EXPECT_FALSE(core_.checkModelChange());
    SaveSettingi("ups_type", 1);
    EXPECT_TRUE(core_.checkModelChange());
    EXPECT_EQ(exits_, (std::vector<int>{0}));
}

TEST_F(DataTest, ChannelZeroCommands)
{
    core_.onEvent(0, 4);
    EXPECT_EQ(takeCommands(), (Commands{{60, "4,1,1,1,1,12"}}));
    SaveSettings("in_tast1", "2");
    SaveSettings("in_tast5", "60");
    SaveSettings("in_tast15", "3");
    SaveSettings("in_tast16", "4");
    SaveSettings("in_tast23", "5");
    core_.onEvent(0, 24);
    EXPECT_EQ(takeCommands(), (Commands{{60, "24,2,60,3,4,5"}}));

    SaveSettingi("use_dev_fun2", 0);
    core_.onEvent(0, 3);
    core_.onEvent(0, 4);
    EXPECT_TRUE(takeCommands().empty());
    // Polling suspend/resume pass whatever the remote switch says.
    core_.onEvent(0, 54);
    core_.onEvent(0, 55);
    EXPECT_EQ(takeCommands(), (Commands{{60, "54"}, {60, "55"}}));

    SaveSettingi("use_dev_fun2", 1);
    core_.onEvent(0, 25);
    core_.onEvent(0, -1);
    core_.onEvent(1, 4);
    core_.onEvent(7, 4);
    EXPECT_TRUE(takeCommands().empty());

    SaveSettingi("altups_ups_shotdown_type", 2);
    core_.onEvent(0, 53);
    EXPECT_EQ(takeCommands(), (Commands{{60, "150,2"}}));

    // The sensor set-up is handed to the supervision thread.
    EXPECT_FALSE(core_.takeSensorSetupRequest());
    core_.onEvent(0, 51);
    EXPECT_TRUE(takeCommands().empty());
    EXPECT_TRUE(core_.takeSensorSetupRequest());
    EXPECT_FALSE(core_.takeSensorSetupRequest());

    EXPECT_TRUE(exits_.empty());
    core_.onEvent(0, 3000);
    EXPECT_EQ(exits_, (std::vector<int>{0}));
}

TEST_F(DataTest, SensorAndModelSetUp)
{
    SaveSettings("curr_module_num", "2");
    SaveSettings("in_thaddr1", "5");
    SaveSettings("in_thaddr2", "6");
    SaveSettings("in_thaddr3", "7");
    SaveSettingi("ths_enable", 1);
    SaveSettingi("ups_type", 6);
    core_.start();
    EXPECT_EQ(takeCommands(), (Commands{{61, "0,2"}, {61, "1,5"}, {61, "2,6"}, {60, "150,0"}}));

    SaveSettings("curr_module_num", "lots");
    core_.sensorSetup();
    EXPECT_EQ(takeCommands(), (Commands{{61, "0,lots"}}));
    SaveSettings("curr_module_num", "9"); // at most four modules
    core_.sensorSetup();
    EXPECT_EQ(takeCommands().size(), 5u);
}

TEST_F(DataTest, SamplingRequests)
{
    const std::string db = platform::appPath("data/ups_data.db");
    std::filesystem::remove(db);
    SaveSettingi("ups_data_record_minute", 1);
    SaveSettings("curr_module_num", "2");
    const std::time_t t0 = clock_;
    core_.samplerPass();
    clock_ = t0 + 59;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());

    const int before = appLogCount("There is no");
    clock_ = t0 + 60;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());
    EXPECT_EQ(appLogCount("There is no") - before, 1);

    std::filesystem::create_directories(platform::appPath("data"));
    platform::writeFile(db, "");
    clock_ = t0 + 120;
    core_.samplerPass();
    EXPECT_EQ(takeStore(), (Requests{{100, -1}, {101, -1}}));

    // UPS lost: no UPS sample; no sensors in use: no sensor sample.
    SaveSettingi("ups_lost", 1);
    SaveSettings("curr_module_num", "0");
    clock_ = t0 + 180;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());

    // A clock that went backwards starts the count again.
    SaveSettingi("ups_lost", 0);
    clock_ = t0 - 3600;
    core_.samplerPass();
    clock_ = t0 - 3600 + 59;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());
    clock_ = t0 - 3600 + 60;
    core_.samplerPass();
    EXPECT_EQ(takeStore(), (Requests{{100, -1}}));
}

TEST_F(DataTest, BatteryTestRecords)
{
    SaveSettingi("ups_data_record_minute", 1000);
    const std::time_t t0 = clock_;
    core_.samplerPass();
    SetDevValue(60, Alarm_TestInProgress, 1);
    clock_ = t0 + 2;
    core_.samplerPass();
    clock_ = t0 + 90;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());
    SetDevValue(60, Alarm_TestInProgress, 0);
    clock_ = t0 + 92;
    core_.samplerPass();
    EXPECT_EQ(takeStore(), (Requests{{102, int(t0 + 2)}}));
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());
}

TEST_F(DataTest, TotalBatteryVoltage)
{
    SetDevValue(60, Data_BatteryVoltage, 13.5f);
    core_.totalBatteryVoltage();
    EXPECT_FLOAT_EQ(ups(Data_TotalBatteryVoltage), 13.5f * 16);
    SaveSettingi("battery_sections_number", 20);
    SaveSettingi("ups_type", 8);
    core_.totalBatteryVoltage();
    EXPECT_FLOAT_EQ(ups(Data_TotalBatteryVoltage), 270.0f);
    SetDevValue(60, Alarm_UpsType, 1);
    core_.totalBatteryVoltage();
    EXPECT_FLOAT_EQ(ups(Data_TotalBatteryVoltage), 13.5f);
    SetDevValue(60, Alarm_UpsType, 0);
    SaveSettingi("ups_type", 4);
    core_.totalBatteryVoltage();
    EXPECT_FLOAT_EQ(ups(Data_TotalBatteryVoltage), 13.5f);
}

} // namespace
