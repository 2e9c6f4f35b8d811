// Schedules, shutdown delays and the automatic test on a faked clock (UTC).
#include "data_fixture.hpp"

using namespace svc_data;
using namespace svc_data_test;

namespace
{

TEST(ScheduleParse, ClockDateAndInteger)
{
    EXPECT_EQ(parseClock("22:00"), 22 * 60);
    EXPECT_EQ(parseClock("7:05"), 7 * 60 + 5);
    EXPECT_EQ(parseClock(" 00:00 "), 0);
    for (const char* bad :
         {"", "25:99", "24:00", "12:60", "12:5", "ab:cd", "12:00:00", "-1:00", "12;00", "1200"})
        EXPECT_FALSE(parseClock(bad)) << bad;
    EXPECT_EQ(parseDate("2026/12/08"), (Date{2026, 12, 8}));
    EXPECT_EQ(parseDate("2028/02/29"), (Date{2028, 2, 29}));
    for (const char* bad : {"", "2026/13/40", "2026/02/29", "2026-12-08", "26/12/08", "2026/0/1",
                            "2026/12/32", "2026/12/08x"})
        EXPECT_FALSE(parseDate(bad)) << bad;
    EXPECT_EQ(parseInteger(" 42 "), 42);
    EXPECT_EQ(parseInteger("-3"), -3);
    EXPECT_FALSE(parseInteger("4x"));
    EXPECT_FALSE(parseInteger(""));
}

TEST(ScheduleParse, EveryClockTimeAndRandomText)
{
    char buf[16];
    for (int h = 0; h < 24; ++h)
        for (int m = 0; m < 60; ++m) {
            std::snprintf(buf, sizeof buf, "%02d:%02d", h, m);
            ASSERT_EQ(parseClock(buf), h * 60 + m) << buf;
        }
    // Arbitrary text never crashes a parser, and what parses is in range.
    const std::string alphabet("0123456789:/- +x\t\xff", 18);
    unsigned seed = 12345;
    auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        for (unsigned k = 0, len = next() % 14; k < len; ++k)
            text += alphabet[next() % alphabet.size()];
        if (auto c = parseClock(text)) {
            ASSERT_TRUE(*c >= 0 && *c < 24 * 60) << text;
        }
        if (auto d = parseDate(text)) {
            ASSERT_TRUE(d->month >= 1 && d->month <= 12 && d->day >= 1 && d->day <= 31) << text;
        }
        parseInteger(text);
    }
}

TEST(ScheduleParse, NextTestDateMovesForwardToTheWeekday)
{
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(daysToWeekday(2, 2), 0);
    EXPECT_EQ(daysToWeekday(2, 1), 6); // Tuesday to the next Monday, not back one day
    EXPECT_EQ(daysToWeekday(6, 0), 1);
    const std::time_t last = at(2026, 12, 8, 10, 0); // Tuesday
    EXPECT_EQ(nextTestTime(last, 1, 2), at(2026, 12, 15, 10, 0));
    EXPECT_EQ(nextTestTime(last, 1, 1), at(2026, 12, 21, 10, 0));
    EXPECT_EQ(nextTestTime(last, 2, 5), at(2026, 12, 25, 10, 0));
    EXPECT_EQ(localTm(nextTestTime(last, 4, 0)).tm_wday, 0);
}

class ScheduleTest : public DataTest
{
  protected:
    void SetUp() override
    {
        DataTest::SetUp();
        rt_.set("in_tast1", "3");
        rt_.set("in_tast5", "30");
        core_.start();
    }
};

TEST_F(ScheduleTest, WeeklyOffTimeWarnsThenShutsDownOnce)
{
    rt_.set("sched_off3", "22:00"); // entry 3 = Tuesday
    rt_.set("sche_bef_min", 5);

    rt_.clock = at(2026, 12, 8, 21, 54, 55);
    EXPECT_FALSE(core_.weeklySchedule());
    EXPECT_EQ(ups(Alarm_ShutdownPending), 0.0f);
    rt_.clock = at(2026, 12, 8, 21, 55, 0);
    EXPECT_FALSE(core_.weeklySchedule());
    EXPECT_EQ(ups(Alarm_ShutdownPending), 1.0f);
    EXPECT_TRUE(takeCommands().empty());

    for (int s = 0; s < 60; s += 5) {
        rt_.clock = at(2026, 12, 8, 22, 0, s);
        EXPECT_TRUE(core_.weeklySchedule());
    }
    EXPECT_EQ(takeCommands(), (Commands{{60, "4,3,30"}}));
    EXPECT_EQ(takeStore(), (std::vector<int>{1404}));
    EXPECT_EQ(ups(Alarm_ShutdownPending), 0.0f);
    EXPECT_EQ(ups(Alarm_ShutdownImminent), 0.0f);

    rt_.clock = at(2026, 12, 8, 22, 1, 0);
    EXPECT_FALSE(core_.weeklySchedule());
    // Another weekday's entry is not looked at.
    rt_.clock = at(2026, 12, 9, 22, 0, 0);
    EXPECT_FALSE(core_.weeklySchedule());
    // A week later the same entry acts again.
    rt_.clock = at(2026, 12, 15, 22, 0, 0);
    EXPECT_TRUE(core_.weeklySchedule());
    EXPECT_EQ(takeCommands().size(), 1u);
}

// "Shutdown pending" goes as soon as the entry that raised it no longer leads
// to a shutdown: edited, cleared, or schedules switched off.
TEST_F(ScheduleTest, PendingShutdownIsWithdrawnWhenItsEntryChanges)
{
    rt_.set("sched_off3", "22:00"); // Tuesday
    rt_.set("sche_bef_min", 5);
    auto warnAt = [&](int minute) {
        rt_.clock = at(2026, 12, 8, 21, minute, 0);
        core_.supervisionPass();
        return ups(Alarm_ShutdownPending);
    };
    EXPECT_EQ(warnAt(55), 1.0f);
    EXPECT_EQ(warnAt(56), 1.0f); // still due within the warning time
    rt_.set("sched_off3", "23:30");
    EXPECT_EQ(warnAt(57), 0.0f);
    EXPECT_TRUE(rt_.logged("shutdown pending withdrawn: sched_off3 changed"));

    rt_.set("sched_off3", "22:00");
    rt_.set("sche_bef_min", 4);
    EXPECT_EQ(warnAt(56), 1.0f);
    rt_.set("use_dev_fun3", 0);
    EXPECT_EQ(warnAt(57), 0.0f);
    rt_.set("use_dev_fun3", 1);

    EXPECT_EQ(warnAt(56), 1.0f);
    rt_.erase("sched_off3");
    EXPECT_EQ(warnAt(58), 0.0f);

    // A one-off entry moved to another day.
    rt_.set("ssched_d2", "2026/12/08");
    rt_.set("ssched_off2", "22:00");
    EXPECT_EQ(warnAt(56), 1.0f);
    rt_.set("ssched_d2", "2026/12/10");
    EXPECT_EQ(warnAt(57), 0.0f);
    EXPECT_TRUE(takeCommands().empty());
}

TEST_F(ScheduleTest, ShutdownTheUpsRefusesIsLoggedAsFailed)
{
    rt_.controlResult = 0; // the driver's three attempts all failed
    rt_.set("sched_off3", "22:00");
    rt_.clock = at(2026, 12, 8, 22, 0, 0);
    EXPECT_TRUE(core_.weeklySchedule());
    ASSERT_EQ(rt_.controlLogs.size(), 1u);
    EXPECT_EQ(rt_.controlLogs[0],
              "Week_Time:shutdown UPS failed: the UPS did not accept it (command 4,3,30)");
    EXPECT_TRUE(rt_.logged("[svc_data] Week_Time:shutdown UPS failed"));

    rt_.controlResult = -1; // no answer in time
    rt_.set("sel_batlow", 1);
    rt_.set("bat_time", 0);
    rt_.setValue(card::kUps, Alarm_LowBattery, 1);
    core_.alarmDelays();
    ASSERT_EQ(rt_.controlLogs.size(), 2u);
    EXPECT_NE(rt_.controlLogs[1].find("shutdown after alarm 20002 failed: no answer"),
              std::string::npos);

    rt_.controlResult = 1;
    rt_.clock += 5;
    core_.alarmDelays();
    EXPECT_EQ(rt_.controlLogs.size(), 2u); // accepted: nothing to record
}

TEST_F(ScheduleTest, WeeklyOnTimeRestarts)
{
    rt_.set("sched_on3", "06:30");
    rt_.set("sched_off3", "06:30"); // the restart owns the minute
    rt_.clock = at(2026, 12, 8, 6, 30, 0);
    EXPECT_TRUE(core_.weeklySchedule());
    rt_.clock += 30;
    EXPECT_TRUE(core_.weeklySchedule());
    EXPECT_EQ(takeCommands(), (Commands{{60, "7,3,30"}}));
    EXPECT_EQ(takeStore(), (std::vector<int>{1407}));
}

TEST_F(ScheduleTest, OneOffWinsOverWeeklyInTheSameMinute)
{
    rt_.set("sched_on3", "08:15");
    rt_.set("ssched_d2", "2026/12/08");
    rt_.set("ssched_off2", "08:15");
    rt_.set("ssched_d3", "2026/12/09"); // another day: ignored today
    rt_.set("ssched_on3", "08:15");
    for (int s = 0; s < 60; s += 5) {
        rt_.clock = at(2026, 12, 8, 8, 15, s);
        core_.supervisionPass();
    }
    EXPECT_EQ(takeCommands(), (Commands{{60, "4,3,30"}}));
    EXPECT_EQ(takeStore(), (std::vector<int>{1404}));

    // Without the one-off entry the weekly one acts.
    rt_.erase("ssched_d2");
    rt_.clock = at(2026, 12, 15, 8, 15, 0);
    core_.supervisionPass();
    EXPECT_EQ(takeCommands(), (Commands{{60, "7,3,30"}}));

    // Schedules off: nothing.
    rt_.set("use_dev_fun3", 0);
    rt_.clock = at(2026, 12, 22, 8, 15, 0);
    core_.supervisionPass();
    EXPECT_TRUE(takeCommands().empty());
}

TEST_F(ScheduleTest, OneOffWarnsAndActsOnlyOnItsDate)
{
    rt_.set("ssched_d5", "2026/12/09");
    rt_.set("ssched_off5", "00:02");
    rt_.set("sche_bef_min", 3);
    rt_.clock = at(2026, 12, 9, 0, 2, 0);
    EXPECT_TRUE(core_.oneOffSchedule());
    EXPECT_EQ(takeCommands(), (Commands{{60, "4,3,30"}}));

    rt_.set("ssched_off5", "18:30");
    rt_.clock = at(2026, 12, 9, 18, 27, 0);
    EXPECT_FALSE(core_.oneOffSchedule());
    EXPECT_EQ(ups(Alarm_ShutdownPending), 1.0f);
    rt_.clock = at(2026, 12, 16, 18, 30, 0); // a week later: not its date
    EXPECT_FALSE(core_.oneOffSchedule());
    EXPECT_TRUE(takeCommands().empty());
}

TEST_F(ScheduleTest, MalformedEntriesDoNothingAndAreLoggedOnce)
{
    rt_.set("sched_off3", "25:99");
    rt_.set("sched_on3", "");
    rt_.set("ssched_d1", "2026/13/40");
    rt_.set("ssched_off1", "22:00");
    rt_.set("sche_bef_min", "soon");
    const long before = logCount("sched_off3");
    const long beforeDate = logCount("ssched_d1");
    for (int m = 0; m < 3; ++m) {
        rt_.clock = at(2026, 12, 8, 22, m, 0);
        EXPECT_FALSE(core_.oneOffSchedule());
        EXPECT_FALSE(core_.weeklySchedule());
    }
    EXPECT_TRUE(takeCommands().empty());
    EXPECT_EQ(logCount("sched_off3") - before, 1);
    EXPECT_EQ(logCount("ssched_d1") - beforeDate, 1);
}

TEST_F(ScheduleTest, LowBatteryShutdownWithoutDelay)
{
    rt_.set("sel_batlow", 1);
    rt_.set("bat_time", 0);
    rt_.setValue(card::kUps, Alarm_LowBattery, 1);
    core_.alarmDelays();
    EXPECT_EQ(takeCommands(), (Commands{{60, "4,3,30"}}));
    EXPECT_EQ(takeStore(), (std::vector<int>{1404}));
    rt_.clock += 5;
    core_.alarmDelays();
    EXPECT_EQ(takeCommands().size(), 1u); // again on every pass while it lasts
    rt_.setValue(card::kUps, Alarm_LowBattery, 0);
    rt_.clock += 5;
    core_.alarmDelays();
    EXPECT_TRUE(takeCommands().empty());

    // Not selected: nothing.
    rt_.set("sel_batlow", 0);
    rt_.setValue(card::kUps, Alarm_LowBattery, 1);
    core_.alarmDelays();
    EXPECT_TRUE(takeCommands().empty());
}

TEST_F(ScheduleTest, LowBatteryShutdownAfterTwoMinutes)
{
    rt_.set("sel_batlow", 1);
    rt_.set("bat_time", 2);
    rt_.setValue(card::kUps, Alarm_LowBattery, 1);
    const std::time_t start = rt_.clock;
    std::vector<int> sentAt;
    for (int s = 0; s <= 300; s += 5) {
        rt_.clock = start + s;
        core_.alarmDelays();
        if (!takeCommands().empty()) sentAt.push_back(s);
        if (s == 5) {
            EXPECT_EQ(ups(Alarm_ShutdownImminent), 1.0f); // counting down
        }
    }
    EXPECT_EQ(sentAt, (std::vector<int>{120, 240}));

    // The alarm ends during a countdown: no shutdown, and "imminent" is cleared.
    rt_.setValue(card::kUps, Alarm_OutputOverload, 1);
    rt_.set("sel_overload", 1);
    rt_.set("load_time", 5);
    rt_.setValue(card::kUps, Alarm_LowBattery, 0);
    rt_.clock += 5;
    core_.alarmDelays();
    EXPECT_EQ(ups(Alarm_ShutdownImminent), 1.0f);
    rt_.setValue(card::kUps, Alarm_OutputOverload, 0);
    rt_.clock += 5;
    core_.alarmDelays();
    EXPECT_EQ(ups(Alarm_ShutdownImminent), 0.0f);
    EXPECT_TRUE(takeCommands().empty());

    // A delay that is not a number does nothing.
    rt_.set("bat_time", "two");
    rt_.setValue(card::kUps, Alarm_LowBattery, 1);
    for (int i = 0; i < 3; ++i, rt_.clock += 200)
        core_.alarmDelays();
    EXPECT_TRUE(takeCommands().empty());
}

class AutoTestTest : public ScheduleTest
{
  protected:
    void SetUp() override
    {
        ScheduleTest::SetUp();
        rt_.set("config_test_period", 1);
        rt_.set("config_test_weekly", 2); // Tuesday
        rt_.set("config_test_time", "10:00");
        rt_.set("cycleTime", 1);
        rt_.set("config_test_type", 1);
        rt_.set("config_test_pre_time", "10");
    }
    // Runs the passes of one minute, returns the commands sent.
    Commands minute(std::time_t t)
    {
        for (int s = 0; s < 60; s += 5) {
            rt_.clock = t + s;
            core_.automaticTest();
        }
        return takeCommands();
    }
};

TEST_F(AutoTestTest, RunsOnItsWeekdayOnceAndBooksTheNextDate)
{
    EXPECT_TRUE(minute(at(2026, 12, 7, 10, 0)).empty()); // Monday
    EXPECT_EQ(rt_.text("ups_auto_test_next_time", "x"), "");

    EXPECT_EQ(minute(at(2026, 12, 8, 10, 0)), (Commands{{60, "2,10,30"}}));
    EXPECT_EQ(takeStore(), (std::vector<int>{1402}));
    EXPECT_EQ(rt_.text("ups_auto_test_cur_time"), "2026-12-08 10:00");
    EXPECT_EQ(rt_.text("ups_auto_test_next_time"), "2026-12-15 10:00");
    EXPECT_EQ(rt_.integer("ups_auto_test_last_time"), int(at(2026, 12, 8, 10, 0)));

    EXPECT_TRUE(minute(at(2026, 12, 8, 10, 1)).empty());
    EXPECT_EQ(minute(at(2026, 12, 15, 10, 0)).size(), 1u);

    // Test type 0 and 2 map to commands 0 and 1.
    rt_.set("config_test_type", 2);
    EXPECT_EQ(minute(at(2026, 12, 22, 10, 0)), (Commands{{60, "1,10,30"}}));
    rt_.set("config_test_type", 7); // unknown: no command
    EXPECT_TRUE(minute(at(2026, 12, 29, 10, 0)).empty());
}

TEST_F(AutoTestTest, NextDateAfterAWeekdayChange)
{
    ASSERT_EQ(minute(at(2026, 12, 8, 10, 0)).size(), 1u);
    // Moved to Monday: the next test is the first Monday a cycle after the
    // last one (Tue 15th + 6 days), and runs there.
    rt_.set("config_test_weekly", 1);
    EXPECT_TRUE(minute(at(2026, 12, 14, 10, 0)).empty());
    EXPECT_EQ(rt_.text("ups_auto_test_next_time"), "2026-12-21 10:00");
    EXPECT_EQ(minute(at(2026, 12, 21, 10, 0)).size(), 1u);
    EXPECT_EQ(rt_.text("ups_auto_test_next_time"), "2026-12-28 10:00");

    // Moved to Friday, two-week cycle: from Mon 21st + 14 days to Fri 2027-01-08.
    rt_.set("config_test_weekly", 5);
    rt_.set("cycleTime", 2);
    EXPECT_TRUE(minute(at(2026, 12, 25, 10, 0)).empty());
    EXPECT_EQ(rt_.text("ups_auto_test_next_time"), "2027-01-08 10:00");
    EXPECT_EQ(minute(at(2027, 1, 8, 10, 0)).size(), 1u);
}

TEST_F(AutoTestTest, OffOrMalformedDoesNothing)
{
    rt_.set("config_test_period", 0);
    rt_.set("ups_auto_test_last_time", 12345);
    rt_.set("ups_auto_test_next_time", "2026-12-08 10:00");
    rt_.clock = at(2026, 12, 8, 10, 0);
    core_.supervisionPass();
    EXPECT_TRUE(takeCommands().empty());
    EXPECT_EQ(rt_.integer("ups_auto_test_last_time"), 0);
    EXPECT_EQ(rt_.text("ups_auto_test_next_time", "x"), "");

    rt_.set("config_test_period", 1);
    for (auto [k, v] :
         {std::pair{"cycleTime", "0"}, std::pair{"cycleTime", "x"},
          std::pair{"config_test_weekly", "9"}, std::pair{"config_test_time", "25:99"}}) {
        SetUp();
        rt_.set(k, v);
        EXPECT_TRUE(minute(at(2026, 12, 8, 10, 0)).empty()) << k << "=" << v;
    }
}

} // namespace
