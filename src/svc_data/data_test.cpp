// Data task: link watch, model change, channel-0 commands, sampling requests,
// set-ups and the small derived values.
#include "data_fixture.hpp"
#include "fieldcore.h"

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
    rt_.set("ups_lost", 1);
    rt_.set("is_mem_64M", 1);
    core_.init();
    EXPECT_EQ(rt_.integer("ups_lost"), 0);
    EXPECT_EQ(file("config/hardVersion"), "HW305KQM02\n");
    EXPECT_EQ(file("config/softVersion"), "FW02K13\n");
    rt_.set("is_mem_64M", 0);
    core_.init();
    EXPECT_EQ(file("config/hardVersion"), "HW305KQM01\n");
}

TEST_F(DataTest, LinkWatch)
{
    rt_.set("communication_timeout", 60);
    core_.start();
    const std::time_t t0 = rt_.clock;
    core_.linkWatch();
    EXPECT_EQ(rt_.integer("ups_lost"), 0);

    rt_.link(card::kUps, false);
    rt_.clock = t0 + 60;
    core_.linkWatch();
    EXPECT_EQ(rt_.integer("ups_lost"), 0);
    EXPECT_EQ(ups(Alarm_CommunicationsLost), 0.0f);
    rt_.clock = t0 + 61;
    core_.linkWatch();
    EXPECT_EQ(rt_.integer("ups_lost"), 1);
    EXPECT_EQ(ups(Alarm_CommunicationsLost), 1.0f);

    // One good poll clears both.
    rt_.link(card::kUps, true);
    rt_.clock = t0 + 66;
    core_.linkWatch();
    EXPECT_EQ(rt_.integer("ups_lost"), 0);
    EXPECT_EQ(ups(Alarm_CommunicationsLost), 0.0f);

    // A time-out that is no number: the default 60 s holds.
    rt_.link(card::kUps, false);
    rt_.set("communication_timeout", "later");
    rt_.clock += 60;
    core_.linkWatch();
    EXPECT_EQ(rt_.integer("ups_lost"), 0);
    rt_.clock += 1;
    core_.linkWatch();
    EXPECT_EQ(rt_.integer("ups_lost"), 1);
    rt_.link(card::kUps, true);
    core_.linkWatch();
    EXPECT_EQ(rt_.integer("ups_lost"), 0);
}

TEST_F(DataTest, ModelOrAddressChangeEndsTheProgram)
{
    rt_.set("ups_type", 4);
    rt_.set("ups_addr", 1);
    core_.start();
    EXPECT_FALSE(core_.checkModelChange());
    rt_.set("ups_addr", 2);
    EXPECT_TRUE(core_.checkModelChange());
    EXPECT_EQ(rt_.exits, (std::vector<int>{0}));

    // The address only matters to the register-map types 2..5.
    rt_.exits.clear();
    rt_.set("ups_type", 0);
    rt_.set("ups_addr", 1);
    core_.start();
    rt_.set("ups_addr", 7);
    EXPECT_FALSE(core_.checkModelChange());
    rt_.set("ups_type", 1);
    EXPECT_TRUE(core_.checkModelChange());
    EXPECT_EQ(rt_.exits, (std::vector<int>{0}));
}

TEST_F(DataTest, ChannelZeroCommands)
{
    core_.onEvent(0, 4);
    EXPECT_EQ(takeCommands(), (Commands{{60, "4,1,1,1,1,12"}}));
    rt_.set("in_tast1", "2");
    rt_.set("in_tast5", "60");
    rt_.set("in_tast15", "3");
    rt_.set("in_tast16", "4");
    rt_.set("in_tast23", "5");
    core_.onEvent(0, 24);
    EXPECT_EQ(takeCommands(), (Commands{{60, "24,2,60,3,4,5"}}));

    rt_.set("use_dev_fun2", 0);
    core_.onEvent(0, 3);
    core_.onEvent(0, 4);
    EXPECT_TRUE(takeCommands().empty());
    // Polling suspend/resume pass whatever the remote switch says.
    core_.onEvent(0, 54);
    core_.onEvent(0, 55);
    EXPECT_EQ(takeCommands(), (Commands{{60, "54"}, {60, "55"}}));

    rt_.set("use_dev_fun2", 1);
    core_.onEvent(0, 25);
    core_.onEvent(0, -1);
    core_.onEvent(1, 4);
    core_.onEvent(7, 4);
    EXPECT_TRUE(takeCommands().empty());

    rt_.set("altups_ups_shotdown_type", 2);
    core_.onEvent(0, 53);
    EXPECT_EQ(takeCommands(), (Commands{{60, "150,2"}}));

    // The sensor set-up is handed to the supervision thread.
    EXPECT_FALSE(core_.takeSensorSetupRequest());
    core_.onEvent(0, 51);
    EXPECT_TRUE(takeCommands().empty());
    EXPECT_TRUE(core_.takeSensorSetupRequest());
    EXPECT_FALSE(core_.takeSensorSetupRequest());

    EXPECT_TRUE(rt_.exits.empty());
    core_.onEvent(0, 3000);
    EXPECT_EQ(rt_.exits, (std::vector<int>{0}));
}

TEST_F(DataTest, SensorAndModelSetUp)
{
    rt_.set("curr_module_num", "2");
    rt_.set("in_thaddr1", "5");
    rt_.set("in_thaddr2", "6");
    rt_.set("in_thaddr3", "7");
    rt_.set("ths_enable", 1);
    rt_.set("ups_type", 6);
    core_.start();
    EXPECT_EQ(takeCommands(), (Commands{{61, "0,2"}, {61, "1,5"}, {61, "2,6"}, {60, "150,0"}}));

    rt_.set("curr_module_num", "lots");
    core_.sensorSetup();
    EXPECT_EQ(takeCommands(), (Commands{{61, "0,lots"}}));
    rt_.set("curr_module_num", "9"); // at most four modules
    core_.sensorSetup();
    EXPECT_EQ(takeCommands().size(), 5u);
}

TEST_F(DataTest, SamplingRequests)
{
    const std::string db = dir_ + "/data/ups_data.db";
    rt_.set("ups_data_record_minute", 1);
    rt_.set("curr_module_num", "2");
    const std::time_t t0 = rt_.clock;
    core_.samplerPass();
    rt_.clock = t0 + 59;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());

    const long before = logCount("There is no");
    rt_.clock = t0 + 60;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());
    EXPECT_EQ(logCount("There is no") - before, 1);

    std::ofstream(db).flush();
    rt_.clock = t0 + 120;
    core_.samplerPass();
    EXPECT_EQ(takeStore(), (std::vector<int>{100, 101}));

    // UPS lost: no UPS sample; no sensors in use: no sensor sample.
    rt_.set("ups_lost", 1);
    rt_.set("curr_module_num", "0");
    rt_.clock = t0 + 180;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());

    // A clock that went backwards starts the count again.
    rt_.set("ups_lost", 0);
    rt_.clock = t0 - 3600;
    core_.samplerPass();
    rt_.clock = t0 - 3600 + 59;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());
    rt_.clock = t0 - 3600 + 60;
    core_.samplerPass();
    EXPECT_EQ(takeStore(), (std::vector<int>{100}));
}

TEST_F(DataTest, BatteryTestRecords)
{
    rt_.set("ups_data_record_minute", 1000);
    const std::time_t t0 = rt_.clock;
    core_.samplerPass();
    rt_.setValue(card::kUps, Alarm_TestInProgress, 1);
    rt_.clock = t0 + 2;
    core_.samplerPass();
    rt_.clock = t0 + 90;
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());
    rt_.setValue(card::kUps, Alarm_TestInProgress, 0);
    rt_.clock = t0 + 92;
    core_.samplerPass();
    ASSERT_EQ(rt_.stores.size(), 1u);
    EXPECT_EQ(rt_.stores[0].code, 102);
    EXPECT_EQ(rt_.stores[0].value, int(t0 + 2));
    rt_.stores.clear();
    core_.samplerPass();
    EXPECT_TRUE(takeStore().empty());
}

TEST_F(DataTest, TotalBatteryVoltage)
{
    rt_.setValue(card::kUps, Data_BatteryVoltage, 13.5f);
    core_.totalBatteryVoltage();
    EXPECT_FLOAT_EQ(ups(Data_TotalBatteryVoltage), 13.5f * 16);
    rt_.set("battery_sections_number", 20);
    rt_.set("ups_type", 8);
    core_.totalBatteryVoltage();
    EXPECT_FLOAT_EQ(ups(Data_TotalBatteryVoltage), 270.0f);
    rt_.setValue(card::kUps, Alarm_UpsType, 1);
    core_.totalBatteryVoltage();
    EXPECT_FLOAT_EQ(ups(Data_TotalBatteryVoltage), 13.5f);
    rt_.setValue(card::kUps, Alarm_UpsType, 0);
    rt_.set("ups_type", 4);
    core_.totalBatteryVoltage();
    EXPECT_FLOAT_EQ(ups(Data_TotalBatteryVoltage), 13.5f);
}

} // namespace
