// Alarm task: sensor limit alarms, episodes, publication and the history
// worker, driven pass by pass on the runtime's stores with a faked clock.
#include "alarm_core.hpp"

#include "fieldcore.h"
#include "fieldcore.hpp"
#include "platform.hpp"
#include "signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

using namespace svc_alarm;

namespace
{

struct StoreRequest {
    int code;
    int value; // the 4 data bytes when size is 4, else -1
};

// One app directory per test program: the runtime resolves its log path once.
const std::string& baseDir()
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/svc_alarm_test.XXXXXX";
        std::string d = mkdtemp(tmpl);
        setenv("CARDMON_APP_DIR", d.c_str(), 1);
        platform::appDir();
        return d;
    }();
    return dir;
}

struct CleanUp : ::testing::Environment {
    void TearDown() override { std::filesystem::remove_all(baseDir()); }
};
const auto* g_cleanUp = ::testing::AddGlobalTestEnvironment(new CleanUp);

std::mutex g_storeMutex;
std::vector<StoreRequest> g_store;

int captureStore(int code, void* data, int size)
{
    int value = -1;
    if (data && size == 4) std::memcpy(&value, data, 4);
    std::lock_guard<std::mutex> lock(g_storeMutex);
    g_store.push_back({code, value});
    return 0;
}

class AlarmTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        static int counter = 0;
        dir_ = baseDir() + "/t" + std::to_string(++counter);
        std::filesystem::create_directories(dir_ + "/config");
        fieldcore::resetForTests(dir_);
        RegisterDevCallback(4, captureStore);
        {
            std::lock_guard<std::mutex> lock(g_storeMutex);
            g_store.clear();
        }
        events_.clear();
        core_.init();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::vector<StoreRequest> takeStore()
    {
        std::lock_guard<std::mutex> lock(g_storeMutex);
        auto out = g_store;
        g_store.clear();
        return out;
    }
    std::vector<std::pair<int, int>> takeEvents()
    {
        auto out = events_;
        events_.clear();
        return out;
    }
    void setAlarm(int index, float v) { SetDevValue(DEV_UPS, ALARM_BASE + index, v); }
    float ups(int sig) { return GetDevValue(DEV_UPS, sig); }

    // One sensor module with limits 10..35 degrees and 20..80 % humidity.
    void configureSensors(const char* modules)
    {
        SaveSettingi("ths_enable", 1);
        SaveSettings("curr_module_num", modules);
        for (int n = 1; n <= 4; ++n) {
            auto k = [n](const char* f) { return std::string(f) + std::to_string(n); };
            SaveSettings(k("in_temph").c_str(), "35");
            SaveSettings(k("in_templ").c_str(), "10");
            SaveSettings(k("in_humih").c_str(), "80");
            SaveSettings(k("in_humil").c_str(), "20");
            SaveSettings(k("temp_conver").c_str(), "1");
        }
    }
    void reading(int sensor, float temp, float hum)
    {
        SetDevValue(DEV_SENSOR, Data_temperature_1 + sensor, temp);
        SetDevValue(DEV_SENSOR, Data_humidity_1 + sensor, hum);
    }
    // The five alarms of sensor i: lost, temp hi, temp lo, hum hi, hum lo.
    std::vector<int> sensorAlarms(int i)
    {
        int base = Alarm_TH1_Temp_Hi + 4 * i;
        return {int(ups(Alarm_TH1_CommunicationsLost + i)), int(ups(base)), int(ups(base + 1)),
                int(ups(base + 2)), int(ups(base + 3))};
    }
    int appLogCount(const std::string& needle)
    {
        std::ifstream f(platform::appPath("data/app.log"));
        std::string line;
        int n = 0;
        while (std::getline(f, line))
            n += line.find(needle) != std::string::npos;
        return n;
    }

    std::string dir_;
    long long clock_ = 1796000000;
    std::vector<std::pair<int, int>> events_;
    AlarmCore core_{Hooks{[this] { return clock_; },
                          [this](int ch, int code) {
                              events_.push_back({ch, code});
                          }}};
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
    SaveSettings("in_templ4", "30"); // low >= high, reading between
    SaveSettings("in_temph4", "15");
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
    SetDevValue(DEV_SENSOR, Alarm_TH2_CommunicationsLost, 1); // module 2 silent
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 1, 0, 0, 0}));
    EXPECT_EQ(sensorAlarms(1), (std::vector<int>{1, 0, 0, 0, 0}));
    EXPECT_EQ(sensorAlarms(3), (std::vector<int>{0, 1, 0, 0, 0}));

    // Two modules in use: 3 and 4 are forced to 0 whatever they read.
    SaveSettings("curr_module_num", "2");
    SetDevValue(DEV_SENSOR, Alarm_TH4_CommunicationsLost, 1);
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(2), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(sensorAlarms(3), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(sensorAlarms(0)[1], 1);

    // Sensors disabled, or the sensor function off: everything 0.
    SaveSettingi("use_dev_fun5", 0);
    core_.sensorPass();
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(sensorAlarms(i), (std::vector<int>{0, 0, 0, 0, 0}));
    SaveSettingi("use_dev_fun5", 1);
    SaveSettingi("ths_enable", 0);
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 0, 0, 0, 0}));
}

TEST_F(AlarmTest, SensorDivisorAndBadSettings)
{
    configureSensors("1");
    SaveSettings("temp_conver1", "10");
    reading(0, 355, 500); // 35.5 degrees, 50 %
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 1, 0, 0, 0}));

    SaveSettings("temp_conver1", "0"); // read as 1: 355 degrees, 500 %
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 1, 0, 1, 0}));

    // A non-numeric limit raises nothing by itself, and is logged once.
    SaveSettings("temp_conver1", "1");
    SaveSettings("in_temph1", "hot");
    SaveSettings("in_humih1", "");
    reading(0, 400, 500);
    const int logged = appLogCount("in_temph1");
    for (int i = 0; i < 5; ++i)
        core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(appLogCount("in_temph1") - logged, 1);
    reading(0, 5, 500); // the valid low limit still works
    core_.sensorPass();
    EXPECT_EQ(sensorAlarms(0)[2], 1);
}

TEST_F(AlarmTest, EpisodeStartAndEnd)
{
    setAlarm(1, 1);
    core_.currentPass();
    const long long start = clock_;
    EXPECT_EQ(takeEvents(), (std::vector<std::pair<int, int>>{{1, 1}, {2, 1}}));
    auto s = takeStore();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].code, 201);
    // Signals are floats: the stamp keeps the start to within 128 s.
    EXPECT_NEAR(ups(ALARM_TIME_BASE + 1), double(start), 128.0);
    EXPECT_EQ(GetDevValue(DEV_CARD, SYS_DATA_ALARM_CHANGE), 1.0f);
    EXPECT_EQ(GetSettingi("curr_alarm_num"), 1);
    EXPECT_EQ(fieldcore::settingText("curr_alarm_id"), "1");

    // Still active: nothing new, and the change flag stays as its reader left it.
    SetDevValue(DEV_CARD, SYS_DATA_ALARM_CHANGE, 0);
    clock_ += 2;
    core_.currentPass();
    EXPECT_TRUE(takeEvents().empty());
    EXPECT_TRUE(takeStore().empty());
    EXPECT_EQ(GetDevValue(DEV_CARD, SYS_DATA_ALARM_CHANGE), 0.0f);

    setAlarm(1, 0);
    clock_ += 30;
    core_.currentPass();
    EXPECT_EQ(takeEvents(), (std::vector<std::pair<int, int>>{{7, 1}}));
    s = takeStore();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].code, 301);
    EXPECT_EQ(ups(ALARM_TIME_BASE + 1), 0.0f);
    EXPECT_EQ(GetDevValue(DEV_CARD, SYS_DATA_ALARM_CHANGE), 1.0f);
    EXPECT_EQ(GetSettingi("curr_alarm_num"), 0);
    EXPECT_EQ(fieldcore::settingText("curr_alarm_id", "x"), "");
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
    clock_ += 600;
    core_.currentPass();
    EXPECT_NEAR(ups(ALARM_TIME_BASE + 1), double(clock_), 128.0);
}

TEST_F(AlarmTest, StatesShortAlarmsAndOddValues)
{
    for (int index : {24, 25, 33})
        setAlarm(index, 1);
    core_.currentPass();
    EXPECT_TRUE(takeEvents().empty());
    EXPECT_TRUE(takeStore().empty());
    EXPECT_EQ(GetSettingi("curr_alarm_num"), 0);

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
    SetDevValue(DEV_UPS, ALARM_BASE + 66, 1);
    takeStore();
    core_.currentPass();
    EXPECT_TRUE(takeStore().empty());
}

TEST_F(AlarmTest, LostLinkPublication)
{
    setAlarm(1, 1);
    setAlarm(2, 1);
    setAlarm(19, 1);
    SaveSettingi("ups_lost", 0);
    core_.currentPass();
    EXPECT_EQ(GetSettingi("curr_alarm_num"), 3);
    EXPECT_EQ(fieldcore::settingText("curr_alarm_id"), "1,2,19");

    SaveSettingi("ups_lost", 1);
    core_.currentPass();
    EXPECT_EQ(GetSettingi("curr_alarm_num"), 1);
    EXPECT_EQ(fieldcore::settingText("curr_alarm_id"), "19");
    EXPECT_EQ(core_.activeCount(), 3u); // the episodes themselves go on

    for (int i : {1, 2, 19})
        setAlarm(i, 0);
    core_.currentPass();
    EXPECT_EQ(GetSettingi("curr_alarm_num"), 0);
    EXPECT_EQ(fieldcore::settingText("curr_alarm_id", "x"), "");
}

TEST_F(AlarmTest, SensorAlarmsBecomeEpisodes)
{
    configureSensors("1");
    reading(0, 40, 50);
    core_.currentPass();
    auto s = takeStore();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].code, 200 + (Alarm_TH1_Temp_Hi - ALARM_BASE));
    EXPECT_EQ(fieldcore::settingText("curr_alarm_id"), "38");
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
        ++clock_;
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
