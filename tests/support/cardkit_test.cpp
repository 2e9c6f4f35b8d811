// The card's shell and shared rules: a task's loop, side threads and stop
// behave the same for every plug-in, and one setting gives one shown value.
#include "card_plugin.hpp"
#include "card_rules.hpp"
#include "fake_runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace
{

struct Counter : card::Task {
    std::atomic<int> passes{0}, side{0}, events{0};
    void run() override
    {
        spawn("side", [this] {
            while (pause(10ms))
                ++side;
        });
        every(10ms, "counter", [this] {
            if (++passes == 2) throw std::runtime_error("one bad pass");
        });
    }
    void event(int, int code, void*, int) override
    {
        if (code == 13) throw std::logic_error("bad event");
        ++events;
    }
};

char g_info[] = CARD_INFO("svc_counter", "counts");

} // namespace

TEST(TaskShell, RunsPassesThroughAThrowStopsPromptlyAndJoinsSideThreads)
{
    card::TaskShell<Counter> shell("svc_counter", g_info, "Jun 18 2022", "06:06:19");
    shell.init(nullptr);
    std::thread runner([&] { EXPECT_EQ(shell.run(), 0); });
    while (shell.task().passes < 5 || shell.task().side < 2)
        std::this_thread::sleep_for(5ms);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(shell.stop(), 0);
    runner.join(); // returns only once the side thread has ended too
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms);
    const int side = shell.task().side;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(shell.task().side, side);

    // Events never let an exception out; a new DriverInit runs again.
    EXPECT_EQ(shell.event(0, 13, nullptr, 0), 0);
    EXPECT_EQ(shell.event(0, 1, nullptr, 0), 0);
    EXPECT_EQ(shell.task().events, 1);
    shell.init(nullptr);
    std::thread again([&] { shell.run(); });
    const int before = shell.task().passes;
    while (shell.task().passes < before + 2)
        std::this_thread::sleep_for(5ms);
    shell.stop();
    again.join();
}

TEST(TaskShell, StopFlagWaitsEndOnStopOrWakeButPausesOnlyOnStop)
{
    card::StopFlag f;
    std::thread waker([&] {
        std::this_thread::sleep_for(20ms);
        f.wake();
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(f.wait(5s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    waker.join();

    std::thread woken([&] { f.wake(); });
    t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(f.pause(60ms));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 60ms);
    woken.join();

    f.wake(); // nobody waits: the next wait still ends at once
    t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(f.wait(5s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);

    f.raise();
    EXPECT_FALSE(f.wait(5s));
    EXPECT_FALSE(f.pause(5s));
}

TEST(TaskShell, BuildStampKeepsTheTextsLengthAndLandsOnTheSamePlace)
{
    char info[] = CARD_INFO("svc_x", "purpose");
    const size_t len = std::strlen(info);
    card::stampInfo(info, "Jun 18 2022", "06:06:19");
    std::string once = info;
    card::stampInfo(info, "Jun 18 2022", "06:06:19");
    EXPECT_EQ(once, info);
    EXPECT_EQ(std::strlen(info), len);
    EXPECT_EQ(once.substr(len - 22), "Jun 18 2022 06:06:19\n ");
    char tiny[] = "ab";
    card::stampInfo(tiny, "Jun 18 2022", "06:06:19");
    EXPECT_STREQ(tiny, "ab");
}

TEST(CardRules, SensorDivisorIsOnePositiveIntegerForEveryOddSetting)
{
    const std::pair<const char*, int> cases[] = {{"100", 100}, {" 10 ", 10}, {"0", 1},
                                                 {"-5", 1},    {"abc", 1},   {"", 1},
                                                 {"12abc", 1}, {"+4", 4},    {"99999999999", 1}};
    for (auto [text, want] : cases)
        EXPECT_EQ(card::sensorDivisorOf(text), want) << '"' << text << '"';

    card::FakeRuntime r;
    EXPECT_EQ(card::sensorDivisor(r, 1), 100); // factory value when unset
    r.set("temp_conver2", "0");
    r.setValue(card::kSensors, Data_temperature_2, 2550);
    EXPECT_FLOAT_EQ(card::sensorTemperature(r, 2), 2550);
    r.set("temp_conver2", "10");
    EXPECT_FLOAT_EQ(card::sensorTemperature(r, 2), 255);
}

TEST(CardRules, ScalesAndTextsByUpsFamily)
{
    for (int t = 0; t <= 10; ++t) {
        EXPECT_EQ(card::outputPowerScale(t), (t == 2 || t == 4 || t == 5 || t == 7) ? 1000 : 1);
        EXPECT_EQ(card::bypassPowerScale(t), t == 7 ? 1000 : 1);
    }
    card::FakeRuntime r;
    r.setValue(card::kUps, Data_BatteryVoltage, 13.5f);
    r.set("ups_type", 0);
    EXPECT_FLOAT_EQ(card::batteryVoltage(r), 13.5f * 16);
    r.set("battery_sections_number", 20);
    EXPECT_FLOAT_EQ(card::batteryVoltage(r), 13.5f * 20);
    r.set("ups_type", 4);
    EXPECT_FLOAT_EQ(card::batteryVoltage(r), 13.5f);

    EXPECT_EQ(card::durationText(3725), "01:02:05");
    EXPECT_EQ(card::durationText(360000), "100:00:00");
    EXPECT_EQ(card::durationText(-3), "00:00:00");

    for (int k = 0; k < 3; ++k)
        r.setValue(card::kUps, Data_upsIdentName + k, "UPS"[k]);
    EXPECT_EQ(card::signalText(r, card::kUps, Data_upsIdentName), "UPS");
}

TEST(CardRules, AddressFiltersMatchByFieldNeverByText)
{
    struct Case {
        const char* filter;
        const char* address;
        bool admitted;
    };
    const Case cases[] = {
        {"127.0.0.5", "127.0.0.5", true},
        {"127.0.0.5", "127.0.0.50", false}, // the old substring rule admitted these
        {"127.0.0.5", "127.0.0.51", false},
        {"127.0.0.5", "10.127.0.0.5", false},
        {"192.168.1", "192.168.1.20", true},
        {"192.168.1.", "192.168.1.20", true},
        {"192.168.1.*", "192.168.1.20", true},
        {"192.168.1", "192.168.10.2", false},
        {"192.168.1", "10.192.168.1", false},
        {"192.*.1.5", "192.7.1.5", true},
        {"192.*.1.5", "192.7.1.50", false},
        {"10.0.0.0/8", "10.200.3.4", true},
        {"10.0.0.0/8", "11.0.0.1", false},
        {"10.1.2.3/32", "10.1.2.3", true},
        {"*.*.*.*", "2001:db8::1", true},
        {"*", "10.0.0.1", true},
        {" 127.0.0.5 ", "127.0.0.5", true},
        {"::1", "::1", true},
        {"::1", "::10", false},
        {"::1", "0:0:0:0:0:0:0:1", true},
        {"2001:db8::/32", "2001:db8:5::9", true},
        {"2001:db8::/32", "2001:db9::9", false},
        {"127.0.0.1", "::ffff:127.0.0.1", true}, // IPv4-mapped peers are IPv4
        {"127.0.0.1", "::1", false},
        {"::1", "127.0.0.1", false},
        // entries that are no filter admit nobody
        {"", "127.0.0.1", false},
        {"256.0.0.1", "0.0.0.1", false},
        {"1.2.3.4.5", "1.2.3.4", false},
        {"1..3.4", "1.0.3.4", false},
        {"127.0.0.1/33", "127.0.0.1", false},
        {"127.0.0.1/", "127.0.0.1", false},
        {"abc", "127.0.0.1", false},
        {"127.0.0.1", "not an address", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(card::addressMatches(c.filter, c.address), c.admitted)
            << '"' << c.filter << "\" for " << c.address;
}

TEST(FakeRuntime, RecordsWhatTheLogicAskedOfTheCard)
{
    card::FakeRuntime r;
    card::ScopedRuntime use(r);
    card::rt().command(card::command::kShutdown);
    card::rt().storeText(card::store::kControlWeb + 4, std::string(300, 'x'));
    card::rt().storeValue(card::store::kAlarmEpisode + 1, 1234);
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0], (card::FakeRuntime::Event{card::channel::kCommand, 4}));
    ASSERT_EQ(r.stores.size(), 2u);
    EXPECT_EQ(r.stores[0].text.size(), card::store::kTextBytes - 1u);
    EXPECT_EQ(r.stores[1].value, 1234);
    EXPECT_EQ(r.storeCodes(), (std::vector<int>{1204, 401}));
}
