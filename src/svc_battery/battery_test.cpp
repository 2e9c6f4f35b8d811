// Battery estimator: the parameters, the rated table and its row by capacity,
// the end-of-discharge hysteresis, SOC on battery and on mains, SOH, and the
// service's publication and keeping; the estimator is driven loop by loop
// (its clock), the service on the recording runtime.
#include "battery_core.hpp"
#include "battery_service.hpp"

#include "fake_runtime.hpp"
#include "signals.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace svc_battery;

namespace
{

using Settings = std::map<std::string, std::string>;

Params params(const Settings& s = {})
{
    return loadParams([&](const std::string& key, const std::string& def) {
        const auto it = s.find(key);
        return it == s.end() ? def : it->second;
    });
}

// One string of 16 blocks; a load on one input line.
Readings mains(float load = 45, float volts = 13.5f * 16)
{
    Readings r;
    r.totalVoltage = volts;
    r.inputLines = 1;
    r.load = {load, 0, 0};
    r.batteryStatus = 2;
    r.outputSource = 3;
    return r;
}

Readings battery(float load = 45, float volts = 12.5f * 16)
{
    Readings r = mains(load, volts);
    r.onBattery = true;
    r.batteryStatus = 8;
    r.outputSource = 5;
    return r;
}

// Runs loops until n more evaluations have been made.
void evaluations(Estimator& e, const Readings& r, int n)
{
    const unsigned long until = e.evaluations() + unsigned(n);
    while (e.evaluations() < until)
        e.loop(r);
}

void loops(Estimator& e, const Readings& r, int n)
{
    for (int i = 0; i < n; ++i)
        e.loop(r);
}

// A user table whose two points share one time: every load in between has it.
Settings flatTable(int minutes)
{
    return {{"CurrentSel", "1"},
            {"WtNumber", "2"},
            {"BatMin1", std::to_string(minutes)},
            {"BatWatt1", "1000"},
            {"BatMin2", std::to_string(minutes)},
            {"BatWatt2", "0.01"}};
}

// 10 VA per cell (90 % load is 10 W); after the end-of-discharge scaling
// 10 minutes at 15.00 W and 20 minutes at 5.00 W per cell.
Settings twoPoints()
{
    return {{"UpsPower", "960"},   {"CurrentSel", "1"}, {"WtNumber", "2"},   {"BatMin1", "10"},
            {"BatWatt1", "15.29"}, {"BatMin2", "20"},   {"BatWatt2", "5.10"}};
}

// ---- parameters ----

TEST(BatteryParams, UnusableValuesFallBackAndTheUserTableHasFifteenPointsAtMost)
{
    // No usable battery current on types 0 and 8; their built-in row is 17 Ah.
    EXPECT_EQ(params().sampleCurrFlag, 3u);
    EXPECT_FLOAT_EQ(params().batWatt[0], 10600);
    EXPECT_FLOAT_EQ(params({{"ups_type", "4"}}).batWatt[0], 35900);

    // Values that would divide by zero or leave no table.
    const Params bad = params({{"battery_sections_number", "0"},
                               {"battery_packs_number", "-2"},
                               {"UpsPower", "0"},
                               {"BatDepVol", "-0.2"},
                               {"BatEvenVol", "x"},
                               {"saveSoc", "150"},
                               {"saveSoh", "0"},
                               {"CurrentSel", "1"},
                               {"WtNumber", "0"}});
    EXPECT_EQ(bad.cellCount, 16);
    EXPECT_EQ(bad.cellGroup, 1);
    EXPECT_EQ(bad.upsPower, 1000u);
    EXPECT_FLOAT_EQ(bad.eodVoltage, 10.5f);
    EXPECT_FLOAT_EQ(bad.evenChargeVolt, 13.4f);
    EXPECT_EQ(bad.saveSoc, 100);
    EXPECT_EQ(bad.saveSoh, 1);
    EXPECT_FALSE(bad.userTable);

    Settings s = {{"CurrentSel", "1"}, {"WtNumber", "40"}};
    for (int i = 1; i <= 20; ++i) {
        s["BatMin" + std::to_string(i)] = std::to_string(i * 10);
        s["BatWatt" + std::to_string(i)] = "12.34";
    }
    const Params p = params(s);
    EXPECT_EQ(p.wtNumber, 15u);
    EXPECT_EQ(p.batMin[14], 150);
    EXPECT_FLOAT_EQ(p.batWatt[0], 1234);
}

// ---- the rated table ----

TEST(BatteryTable, RowIsTheNearestCapacity)
{
    const std::map<int, int> rowAh = {{1, 17},   {17, 17},   {20, 17},  {21, 24},
                                      {50, 38},  {51, 38},   {52, 65},  {82, 65},
                                      {83, 100}, {100, 100}, {300, 100}};
    for (const auto& [ah, want] : rowAh)
        EXPECT_EQ(kCurrentTabList[std::size_t(rowForCapacity(ah))].ah, want) << ah << " Ah";

    Estimator e(params({{"BatRateCap", "50"}}));
    e.loop(mains());
    EXPECT_EQ(kCurrentTabList[std::size_t(e.tableRow())].ah, 38);
}

TEST(BatteryTable, PowersAreScaledToTheEndOfDischargeVoltage)
{
    // The table holds for 10.5 V per block; the limit compared is 0.2 V above it.
    Estimator std105(params({{"BatRateCap", "100"}}));
    std105.loop(mains());
    EXPECT_EQ(std105.tablePower(0), 35225u); // 35900 x 4019 / 4096
    EXPECT_EQ(std105.tableMinutes(0), 5);
    EXPECT_EQ(std105.tableMinutes(14), 1200);

    Estimator high(params({{"BatRateCap", "100"}, {"BatDepVol", "11.5"}}));
    high.loop(mains());
    EXPECT_EQ(high.tablePower(0), 32219u); // factor 14680050 / 3993 = 3676
}

// Rated time at a power set by the load: 10 VA per cell, so 90 % is 10 W.
TEST(BatteryTable, RatedTimeInterpolatesAndStretchesBeyondTheLastPoint)
{
    const Settings s = twoPoints();
    Estimator probe(params(s));
    probe.loop(mains());
    ASSERT_EQ(probe.tablePower(0), 1500u);
    ASSERT_EQ(probe.tablePower(1), 500u);

    struct Case {
        float load;
        int minutes;
        bool noLoad;
    };
    for (const Case c : {Case{200, 10, false}, // above the first point
                         Case{90, 15, false},  // 10 W: halfway
                         Case{40, 20, false},  // 4.44 W: 0.89 of the last point
                         Case{27, 33, false},  // 2.99 W: 0.6 -> 20 / 0.6
                         Case{10, 40, false},  // 1.11 W: at most twice
                         Case{4, 40, true}}) { // 0.44 W: under a tenth
        Estimator e(params(s));
        evaluations(e, battery(c.load), 1);
        EXPECT_EQ(e.ratedMinutes(), c.minutes) << c.load << " %";
        EXPECT_EQ(e.noLoad(), c.noLoad) << c.load << " %";
    }
}

// ---- end of discharge ----

TEST(BatteryEod, FiftyLowReadingsRaiseTheFlagAndFiveHundredClearIt)
{
    Estimator e(params()); // limit: floor(10.7 V x 16) = 171 V
    loops(e, battery(45, 171.0f), 49);
    EXPECT_FALSE(e.eodFlag());
    e.loop(battery(45, 171.0f));
    EXPECT_TRUE(e.eodFlag());
    loops(e, battery(45, 171.5f), 499);
    EXPECT_TRUE(e.eodFlag());
    e.loop(battery(45, 171.5f));
    EXPECT_FALSE(e.eodFlag());
    // No reading at all is not a low one.
    loops(e, battery(45, 0), 100);
    EXPECT_FALSE(e.eodFlag());
}

TEST(BatteryEod, EndOfDischargeNeedsThirtySecondsOnBatteryAndEmptiesTheBattery)
{
    Estimator e(params(flatTable(30)));
    loops(e, battery(45, 150), 1400); // 28 s on battery, the flag up since 1 s
    EXPECT_TRUE(e.eodFlag());
    EXPECT_FALSE(e.eod());
    EXPECT_GT(e.soc(), 0);
    loops(e, battery(45, 150), 120);
    EXPECT_TRUE(e.eod());
    evaluations(e, battery(45, 150), 1);
    EXPECT_EQ(e.soc(), 0);
    EXPECT_EQ(e.remainMinutes(), 0);
    // The flag clears after 500 good readings, the end 4 s later.
    loops(e, mains(45), 500 + 199);
    EXPECT_FALSE(e.eodFlag());
    EXPECT_TRUE(e.eod());
    e.loop(mains(45));
    EXPECT_FALSE(e.eod());
}

// ---- state of charge on battery ----

TEST(BatterySoc, RestoredValueIsTheFirstPublished)
{
    Estimator fresh(params());
    EXPECT_EQ(fresh.soc(), 100);
    Estimator saved(params({{"saveSoc", "37"}, {"saveSoh", "80"}}));
    EXPECT_EQ(saved.soc(), 37);
    EXPECT_EQ(saved.soh(), 80);
    Due due;
    int n = 0;
    while (!due.publish) {
        due = saved.loop(mains());
        ++n;
    }
    EXPECT_EQ(n, 250);
    EXPECT_EQ(saved.soc(), 37);
}

TEST(BatterySoc, FallsOnePointEveryNineEvaluationsAtThirtyMinutes)
{
    Estimator e(params(flatTable(30)));
    evaluations(e, battery(45), 2);
    ASSERT_EQ(e.ratedMinutes(), 30);
    EXPECT_EQ(e.soc(), 100);
    EXPECT_EQ(e.sohStatus(), eSohMeasuring); // from full, so SOH is measured
    evaluations(e, battery(45), 6);
    EXPECT_EQ(e.soc(), 100);
    for (int point = 1; point <= 5; ++point) {
        evaluations(e, battery(45), 1);
        EXPECT_EQ(e.soc(), 100 - point) << "evaluation " << e.evaluations();
        evaluations(e, battery(45), 8);
        EXPECT_EQ(e.soc(), 100 - point);
    }
    // Remaining time: the rated time scaled by SOC (SOH 100).
    EXPECT_EQ(e.remainMinutes(), 30 * 95 / 100);
}

TEST(BatterySoc, WithoutLoadTheRatedTimeIsTheLastPointAndSocHolds)
{
    Estimator e(params({{"saveSoc", "80"}}));
    evaluations(e, battery(0), 50);
    EXPECT_TRUE(e.noLoad());
    EXPECT_EQ(e.ratedMinutes(), 1200);
    EXPECT_EQ(e.soc(), 80);
    EXPECT_EQ(e.sohStatus(), eSohIdle);
}

TEST(BatterySoc, ALoadThatKeepsChangingStillUsesTheBattery)
{
    // Every evaluation sees a new load and so a new reference; the part of a
    // point already used is carried over.
    Estimator e(params(flatTable(30)));
    for (int i = 0; i < 90; ++i)
        evaluations(e, battery(i % 2 ? 45 : 50), 1);
    EXPECT_TRUE(e.powerChange());
    EXPECT_EQ(e.soc(), 90);
}

TEST(BatterySoc, AChangeOfLoadGoesOnFromTheSocReached)
{
    Estimator e(params(twoPoints()));
    evaluations(e, battery(40), 12); // 20 minutes: a point every 6
    ASSERT_EQ(e.ratedMinutes(), 20);
    EXPECT_EQ(e.soc(), 98);
    evaluations(e, battery(90), 1); // 15 minutes: a point every 4.5
    EXPECT_TRUE(e.powerChange());
    EXPECT_EQ(e.ratedMinutes(), 15);
    evaluations(e, battery(90), 7);
    EXPECT_EQ(e.soc(), 97);
    evaluations(e, battery(90), 1);
    EXPECT_EQ(e.soc(), 96);
}

// ---- state of health ----

TEST(BatterySoh, DischargeFromFullToItsEndMeasuresHealth)
{
    Estimator e(params(flatTable(10)));
    evaluations(e, battery(45), 182);
    EXPECT_EQ(e.sohStatus(), eSohMeasuring);
    // The end comes after 6 of the 10 rated minutes (evaluations count 2 s).
    loops(e, battery(45, 150), 60);
    ASSERT_TRUE(e.eod());
    evaluations(e, battery(45, 150), 1);
    EXPECT_EQ(e.sohStatus(), eSohDone);
    EXPECT_EQ(e.soh(), 60);
    EXPECT_EQ(e.soc(), 0);

    // Back on mains: charging starts from 1 %, the next rated times count SOH.
    loops(e, mains(45, 12.0f * 16), 800);
    evaluations(e, mains(45, 12.0f * 16), 1);
    EXPECT_EQ(e.sohStatus(), eSohIdle);
    EXPECT_EQ(e.soc(), 1);
    EXPECT_EQ(e.soh(), 60);
}

TEST(BatterySoh, MeasurementNeedsAFullBatteryAndASteadyLoad)
{
    Settings s = flatTable(10);
    s["saveSoc"] = "90";
    Estimator part(params(s));
    evaluations(part, battery(45), 5);
    EXPECT_EQ(part.sohStatus(), eSohIdle);

    // The rated time moves by a quarter after the first 30 evaluations.
    Estimator moved(params(twoPoints()));
    evaluations(moved, battery(40), 33);
    EXPECT_EQ(moved.sohStatus(), eSohMeasuring);
    evaluations(moved, battery(90), 1);
    EXPECT_EQ(moved.sohStatus(), eSohAbandoned);
    loops(moved, battery(90, 150), 60);
    evaluations(moved, battery(90, 150), 1);
    EXPECT_EQ(moved.soc(), 0);
    EXPECT_EQ(moved.soh(), 100);

    Estimator idle(params(flatTable(10)));
    evaluations(idle, battery(45), 3);
    evaluations(idle, battery(0), 1);
    EXPECT_EQ(idle.sohStatus(), eSohAbandoned);
}

// ---- on mains: the charger's stages ----

TEST(BatteryCharge, SocFollowsTheStagesWithoutACurrentReading)
{
    Estimator e(params({{"saveSoc", "50"}, {"EvenChargeTime", "10"}, {"FloatChargeTime", "1"}}));
    const Readings low = mains(45, 12.5f * 16);
    evaluations(e, low, 40); // the start point: 12.5 V per block, 50 %
    EXPECT_EQ(e.chargeState(), eConstCurrCharge);
    evaluations(e, mains(45, 13.0f * 16), 1);
    EXPECT_EQ(e.soc(), 78); // 50 + 40 x (13.0 - 12.5) / (13.2 - 12.5)
    evaluations(e, low, 1);
    EXPECT_EQ(e.soc(), 78); // never falls on mains

    // At the charge voltage: constant voltage, 90 %, then a point every 30
    // evaluations (10 minutes over 10 points).
    const Readings high = mains(45, 13.3f * 16);
    evaluations(e, high, 1);
    EXPECT_EQ(e.chargeState(), eConstVoltCharge);
    EXPECT_EQ(e.soc(), 90);
    evaluations(e, high, 29);
    EXPECT_EQ(e.soc(), 90);
    evaluations(e, high, 1);
    EXPECT_EQ(e.soc(), 91);
    // Float once the charge time (10 min) is over, full once the float time
    // (1 min) is; stage time counts 20 x 65 / 65536 s a loop, so 601 of its
    // seconds are 606 s and 61 are 61.5 s.
    int n = 0;
    for (; n < 40000 && e.chargeState() != eConstVoltFloat; ++n)
        e.loop(high);
    EXPECT_NEAR((n + 31 * 105) * 0.02, 606, 0.1);
    EXPECT_EQ(e.soc(), 99);
    for (n = 0; n < 4000 && !e.chargeFull(); ++n)
        e.loop(high);
    EXPECT_NEAR(n * 0.02, 61.5, 0.1);
    evaluations(e, high, 1);
    EXPECT_EQ(e.soc(), 100);

    // Any of the UPS's discharge signs ends the charge.
    Readings test = high;
    test.testing = true;
    e.loop(test);
    EXPECT_EQ(e.mainState(), eBatDischarging);
    EXPECT_EQ(e.chargeState(), eChargeOff);
}

// ---- the service on the card ----

class BatteryServiceTest : public ::testing::Test
{
  protected:
    void ups(int sig, float v) { rt_.setValue(card::kUps, sig, v); }
    float ups(int sig) { return rt_.value(card::kUps, sig); }
    void onBattery(float load)
    {
        ups(Data_TotalBatteryVoltage, 200);
        ups(Data_InputNumLines, 3);
        ups(Data_OutputPercentLoad_A, load / 3);
        ups(Data_OutputPercentLoad_B, load / 3);
        ups(Data_OutputPercentLoad_C, load / 3);
        ups(Alarm_OnBattery, 1);
    }
    card::FakeRuntime rt_;
};

TEST_F(BatteryServiceTest, PublishesEveryFiveSecondsAndKeepsEveryMinute)
{
    for (const auto& [k, v] : flatTable(30))
        rt_.set(k, v);
    rt_.set("saveSoc", 64);
    BatteryService s(rt_);
    s.start();
    EXPECT_EQ(ups(Data_BatteryManageSoc), 64);
    onBattery(45);
    for (int i = 0; i < 249; ++i)
        s.loop();
    EXPECT_EQ(ups(Data_BatteryManageTime), 0);
    s.loop();
    EXPECT_EQ(ups(Data_BatteryManageSoc), 64);
    EXPECT_EQ(ups(Data_BatteryManageTime), 19); // 30 min x 64 %
    EXPECT_FALSE(rt_.has("saveSoh"));
    for (int i = 250; i < 3000; ++i)
        s.loop();
    EXPECT_EQ(rt_.text("saveSoc"), "61"); // 28 evaluations: 3 points
    EXPECT_FALSE(rt_.has("saveSoh"));     // unchanged: not written
}

TEST_F(BatteryServiceTest, ARestartCarriesOnFromTheKeptValues)
{
    for (const auto& [k, v] : flatTable(30))
        rt_.set(k, v);
    {
        BatteryService s(rt_);
        s.start();
        onBattery(45);
        for (int i = 0; i < 105 * 20; ++i)
            s.loop();
        s.keep(); // the task keeps them when it stops
    }
    EXPECT_EQ(rt_.text("saveSoc"), "98");
    rt_.setValue(card::kUps, Data_BatteryManageSoc, 0);
    BatteryService again(rt_);
    again.start();
    EXPECT_EQ(ups(Data_BatteryManageSoc), 98);
    EXPECT_EQ(again.estimator().soc(), 98);
}

TEST_F(BatteryServiceTest, ReadsEachDischargeSignAndTheLoadByInputLines)
{
    const std::map<int, float> signs = {{Alarm_OnBattery, 1},
                                        {Alarm_TestInProgress, 1},
                                        {Alarm_BatteryCharge, 1},
                                        {Data_BatteryStatus, 8},
                                        {Data_OutputSource, 5}};
    for (const auto& [sig, v] : signs) {
        card::FakeRuntime rt;
        BatteryService s(rt);
        s.start();
        s.loop();
        EXPECT_EQ(s.estimator().mainState(), eBatCharging) << sig;
        rt.setValue(card::kUps, sig, v);
        s.loop();
        EXPECT_EQ(s.estimator().mainState(), eBatDischarging) << sig;
    }

    BatteryService s(rt_);
    s.start();
    ups(Data_OutputPercentLoad_A, 20);
    ups(Data_OutputPercentLoad_B, 21);
    ups(Data_OutputPercentLoad_C, 22);
    for (const auto& [lines, load] : std::map<int, int>{{0, 0}, {1, 20}, {3, 63}}) {
        ups(Data_InputNumLines, float(lines));
        s.loop();
        EXPECT_EQ(s.estimator().loadPercent(), load) << lines << " lines";
    }
}

} // namespace
