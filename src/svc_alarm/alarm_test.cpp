// Alarm task: sensor limit alarms, episodes, publication and the history
// worker, driven pass by pass on the recording runtime with a set clock.
#include "alarm_core.hpp"

#include "card_rules.hpp"
#include "fake_runtime.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace svc_alarm;

namespace
{

using Events = std::vector<card::FakeRuntime::Event>;

class AlarmTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        rt_.clock = 1796000000;
        core_.init();
    }

    std::vector<card::FakeRuntime::StoreRequest> takeStore()
    {
        auto out = rt_.stores;
        rt_.stores.clear();
        return out;
    }
    Events takeEvents()
    {
        auto out = rt_.events;
        rt_.events.clear();
        return out;
    }
    void setAlarm(int index, float v) { rt_.setValue(card::kUps, ALARM_BASE + index, v); }
    float ups(int sig) { return rt_.value(card::kUps, sig); }

    // Every sensor module with limits 10..35 degrees and 20..80 %.
    void configureSensors(const char* modules)
    {
        rt_.set("ths_enable", 1);
        rt_.set("curr_module_num", modules);
        for (int n = 1; n <= card::kSensorModules; ++n) {
            auto k = [n](const char* f) { return std::string(f) + std::to_string(n); };
            rt_.set(k("in_temph"), "35");
            rt_.set(k("in_templ"), "10");
            rt_.set(k("in_humih"), "80");
            rt_.set(k("in_humil"), "20");
            rt_.set(k("temp_conver"), "1");
        }
    }
    void reading(int sensor, float temp, float hum)
    {
        rt_.setValue(card::kSensors, Data_temperature_1 + sensor, temp);
        rt_.setValue(card::kSensors, Data_humidity_1 + sensor, hum);
    }
    // The five alarms of sensor i: lost, temp hi, temp lo, hum hi, hum lo.
    std::vector<int> sensorAlarms(int i)
    {
        int base = Alarm_TH1_Temp_Hi + 4 * i;
        return {int(ups(Alarm_TH1_CommunicationsLost + i)), int(ups(base)), int(ups(base + 1)),
                int(ups(base + 2)), int(ups(base + 3))};
    }
    long logCount(const std::string& needle)
    {
        return std::count_if(rt_.logs.begin(), rt_.logs.end(), [&](const std::string& l) {
            return l.find(needle) != std::string::npos;
        });
    }

    card::FakeRuntime rt_;
    AlarmCore core_{rt_};
};

TEST(AlarmLimits, ReadingAgainstLimits)
{
    // 0 means "no reading": nothing, whatever the limits.
    EXPECT_FALSE(checkLimits(0, 10, 35).low);
    EXPECT_FALSE(checkLimits(0, -5, -1).high);
    EXPECT_FALSE(checkLimits(0, 5, 1).low);
    // Equal to a limit raises that limit's alarm.
    EXPECT_TRUE(checkLimits(10, 10, 35).low);
    EXPECT_FALSE(checkLimits(10, 10, 35).high);
    EXPECT_TRUE(checkLimits(35, 10, 35).high);
    EXPECT_FALSE(checkLimits(35, 10, 35).low);
    EXPECT_FALSE(checkLimits(20, 10, 35).low || checkLimits(20, 10, 35).high);
    // Low limit >= high limit: a reading between them counts as low only.
    LimitVerdict v = checkLimits(25, 30, 20);
    EXPECT_TRUE(v.low);
    EXPECT_FALSE(v.high);
    // A missing limit is not tested; the other one still is.
    EXPECT_FALSE(checkLimits(-40, std::nullopt, 35).low);
    EXPECT_TRUE(checkLimits(40, std::nullopt, 35).high);
}

TEST(AlarmLimits, SettingTexts)
{
    EXPECT_EQ(parseDecimal(" 35.5 "), 35.5);
    EXPECT_EQ(parseDecimal("-10"), -10.0);
    EXPECT_FALSE(parseDecimal(""));
    EXPECT_FALSE(parseDecimal("abc"));
    EXPECT_FALSE(parseDecimal("12abc"));
    EXPECT_FALSE(parseDecimal("0x10"));
    EXPECT_FALSE(parseDecimal("nan"));
    bool bad = false;
    EXPECT_EQ(parseDivisor("10", &bad), 10);
    EXPECT_FALSE(bad);
    EXPECT_EQ(parseDivisor("0", &bad), 1);
    EXPECT_TRUE(bad);
    EXPECT_EQ(parseDivisor("x", &bad), 1);
    EXPECT_TRUE(bad);
    EXPECT_EQ(parseDivisor("-3", &bad), 1);
    EXPECT_TRUE(bad);
    EXPECT_EQ(parseDivisor("2.5", &bad), 1);
    EXPECT_TRUE(bad);
    EXPECT_EQ(parseDivisor(" 1 ", &bad), 1);
    EXPECT_FALSE(bad);
    EXPECT_EQ(parseDivisor("", &bad), 1);
    EXPECT_FALSE(bad);
    EXPECT_EQ(joinIndexes({1, 2, 19}), "1,2,19");
    EXPECT_EQ(joinIndexes({}), "");
}

TEST_F(AlarmTest, SensorEdges)
{
    configureSensors("4");
    reading(0, 0, 50);  // temperature 0: no temperature alarm
    reading(1, 10, 80); // both equal to a limit
    reading(2, 36, 19);
    reading(3, 20, 50);
    rt_.set("in_templ4", "30"); // low >= high, reading between
    rt_.set("in_temph4", "15");
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(sensorAlarms(1), (std::vector<int>{0, 0, 1, 1, 0}));
    EXPECT_EQ(sensorAlarms(2), (std::vector<int>{0, 1, 0, 0, 1}));
    EXPECT_EQ(sensorAlarms(3), (std::vector<int>{0, 0, 1, 0, 0}));
}

TEST_F(AlarmTest, SensorModuleCountAndSwitches)
{
    configureSensors("4");
    for (int i = 0; i < 4; ++i)
        reading(i, 50, 50);
    rt_.setValue(card::kSensors, Alarm_TH2_CommunicationsLost, 1); // module 2 silent
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 1, 0, 0, 0}));
    EXPECT_EQ(sensorAlarms(1), (std::vector<int>{1, 0, 0, 0, 0}));
    EXPECT_EQ(sensorAlarms(3), (std::vector<int>{0, 1, 0, 0, 0}));

    // Two modules in use: 3 and 4 are forced to 0 whatever they read.
    rt_.set("curr_module_num", "2");
    rt_.setValue(card::kSensors, Alarm_TH4_CommunicationsLost, 1);
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(2), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(sensorAlarms(3), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(sensorAlarms(0)[1], 1);

    // Sensors disabled, or the sensor function off: everything 0.
    rt_.set("use_dev_fun5", 0);
    core_.sensorPass();
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(sensorAlarms(i), (std::vector<int>{0, 0, 0, 0, 0}));
    rt_.set("use_dev_fun5", 1);
    rt_.set("ths_enable", 0);
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 0, 0, 0, 0}));
}

TEST_F(AlarmTest, SensorDivisorAndBadSettings)
{
    configureSensors("1");
    rt_.set("temp_conver1", "10");
    reading(0, 355, 500); // 35.5 degrees, 50 %
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 1, 0, 0, 0}));

    rt_.set("temp_conver1", "0"); // read as 1: 355 degrees, 500 %
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 1, 0, 1, 0}));
    EXPECT_EQ(logCount("temp_conver1"), 1);

    // Unset, the card's factory divisor 100 holds: 3.55 degrees, 5 %.
    rt_.erase("temp_conver1");
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 0, 1, 0, 1}));

    // A non-numeric limit raises nothing by itself, and is logged once.
    rt_.set("temp_conver1", "1");
    rt_.set("in_temph1", "hot");
    rt_.set("in_humih1", "");
    reading(0, 400, 500);
    const long logged = logCount("in_temph1");
    for (int i = 0; i < 5; ++i)
        core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(logCount("in_temph1") - logged, 1);
    reading(0, 5, 500); // the valid low limit still works
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0)[2], 1);
}

TEST_F(AlarmTest, EpisodeStartAndEnd)
{
    setAlarm(1, 1);
    core_.currentPass();
    const long long start = rt_.clock;
    EXPECT_EQ(takeEvents(), (Events{{1, 1}, {2, 1}}));
    auto s = takeStore();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].code, 201);
    EXPECT_EQ(s[0].value, int(start)); // the current_alarm row's start
    // The exact start every interface shows; the UPS's float signal only near it.
    EXPECT_EQ(card::alarmStart(rt_, 1), start);
    EXPECT_NEAR(ups(ALARM_TIME_BASE + 1), double(start), 128.0);
    EXPECT_EQ(rt_.value(card::kCard, SYS_DATA_ALARM_CHANGE), 1.0f);
    EXPECT_EQ(rt_.integer("curr_alarm_num"), 1);
    EXPECT_EQ(rt_.text("curr_alarm_id"), "1");

    // Still active: nothing new, and the change flag stays as its reader left it.
    rt_.setValue(card::kCard, SYS_DATA_ALARM_CHANGE, 0);
    rt_.clock += 2;
    core_.currentPass();
    EXPECT_TRUE(takeEvents().empty());
    EXPECT_TRUE(takeStore().empty());
    EXPECT_EQ(rt_.value(card::kCard, SYS_DATA_ALARM_CHANGE), 0.0f);

    setAlarm(1, 0);
    rt_.clock += 30;
    core_.currentPass();
    EXPECT_EQ(takeEvents(), (Events{{7, 1}}));
    s = takeStore();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].code, 301);
    EXPECT_EQ(ups(ALARM_TIME_BASE + 1), 0.0f);
    EXPECT_EQ(card::alarmStart(rt_, 1), 0);
    EXPECT_EQ(rt_.value(card::kCard, SYS_DATA_ALARM_CHANGE), 1.0f);
    EXPECT_EQ(rt_.integer("curr_alarm_num"), 0);
    EXPECT_EQ(rt_.text("curr_alarm_id", "x"), "");
    EXPECT_EQ(core_.waitingHistory(), 1u);

    core_.historyPass();
    s = takeStore();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].code, 401);
    EXPECT_EQ(s[0].value, int(start));
    core_.historyPass();
    EXPECT_TRUE(takeStore().empty());
    EXPECT_EQ(core_.waitingHistory(), 0u);

    // A new episode stamps the time again.
    setAlarm(1, 1);
    rt_.clock += 600;
    core_.currentPass();
    EXPECT_EQ(card::alarmStart(rt_, 1), rt_.clock);
}

TEST_F(AlarmTest, StatesShortAlarmsAndOddValues)
{
    for (int index : {24, 25, 33})
        setAlarm(index, 1);
    core_.currentPass();
    EXPECT_TRUE(takeEvents().empty());
    EXPECT_TRUE(takeStore().empty());
    EXPECT_EQ(rt_.integer("curr_alarm_num"), 0);

    // Up and down again between two passes: no episode at all.
    setAlarm(5, 1);
    setAlarm(5, 0);
    core_.currentPass();
    EXPECT_TRUE(takeEvents().empty());
    EXPECT_TRUE(takeStore().empty());

    // Values other than 0 and 1 leave an episode as it is.
    setAlarm(6, 2);
    setAlarm(7, -1);
    core_.currentPass();
    EXPECT_TRUE(takeEvents().empty());
    setAlarm(6, 1);
    core_.currentPass();
    takeEvents();
    setAlarm(6, 3);
    core_.currentPass();
    EXPECT_TRUE(takeEvents().empty());
    EXPECT_TRUE(core_.isActive(6));
    // Indexes past 65 are not alarms.
    rt_.setValue(card::kUps, ALARM_BASE + 66, 1);
    takeStore();
    core_.currentPass();
    EXPECT_TRUE(takeStore().empty());
}

TEST_F(AlarmTest, LostLinkPublication)
{
    setAlarm(1, 1);
    setAlarm(2, 1);
    setAlarm(19, 1);
    rt_.set("ups_lost", 0);
    core_.currentPass();
    EXPECT_EQ(rt_.integer("curr_alarm_num"), 3);
    EXPECT_EQ(rt_.text("curr_alarm_id"), "1,2,19");

    rt_.set("ups_lost", 1);
    core_.currentPass();
    EXPECT_EQ(rt_.integer("curr_alarm_num"), 1);
    EXPECT_EQ(rt_.text("curr_alarm_id"), "19");
    EXPECT_EQ(core_.activeCount(), 3u); // the episodes themselves go on

    for (int i : {1, 2, 19})
        setAlarm(i, 0);
    core_.currentPass();
    EXPECT_EQ(rt_.integer("curr_alarm_num"), 0);
    EXPECT_EQ(rt_.text("curr_alarm_id", "x"), "");
}

TEST_F(AlarmTest, SensorAlarmsBecomeEpisodes)
{
    configureSensors("1");
    reading(0, 40, 50);
    core_.currentPass();
    auto s = takeStore();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].code, 200 + (Alarm_TH1_Temp_Hi - ALARM_BASE));
    EXPECT_EQ(rt_.text("curr_alarm_id"), "38");
}

// The history worker runs beside the pass: every ended episode must give
// exactly one history request, none lost or doubled.
TEST_F(AlarmTest, HistoryWorkerBesidePasses)
{
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop)
            core_.historyPass();
    });
    const int rounds = 200;
    for (int r = 0; r < rounds; ++r) {
        setAlarm(r % 3, 1);
        core_.currentPass();
        setAlarm(r % 3, 0);
        ++rt_.clock;
        core_.currentPass();
    }
    stop = true;
    worker.join();
    core_.historyPass();
    int history = 0, added = 0;
    for (auto& req : takeStore()) {
        history += req.code >= 400 && req.code < 500;
        added += req.code >= 200 && req.code < 300;
    }
    EXPECT_EQ(added, rounds);
    EXPECT_EQ(history, rounds);
}

} // namespace
