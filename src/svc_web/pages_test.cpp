/*
 * pages_test.cpp - the rules of the status, log and diagnostics pages that
 * need no server: paging, dates and months, history classes and remapping,
 * the current-alarm flag, the "--" columns, the console's hex parser and
 * transcript lines, and the energy-flow codes.
 */
#include "pages.hpp"

#include <gtest/gtest.h>

namespace web::pages
{
namespace
{

TEST(PagesPaging, RowsPerPageOf23And20AndNone)
{
    EXPECT_EQ(totalPages(23), 3);
    EXPECT_EQ(rowsOnPage(23, 1), 10);
    EXPECT_EQ(rowsOnPage(23, 2), 10);
    EXPECT_EQ(rowsOnPage(23, 3), 3);
    EXPECT_EQ(rowsOnPage(23, 4), 0);
    EXPECT_EQ(rowsOnPage(20, 2), 10);
    EXPECT_EQ(totalPages(20), 2);
    EXPECT_EQ(totalPages(0), 0);
    EXPECT_EQ(rowsOnPage(0, 1), 0);
    EXPECT_EQ(rowsOnPage(23, 2147483647), 0);
    EXPECT_EQ(pageNumber(0), 1);
    EXPECT_EQ(pageNumber(-7), 1);
    EXPECT_EQ(pageNumber(5), 5);
}

TEST(PagesDates, DaysMinutesAndMonths)
{
    EXPECT_TRUE(isDayText("2024-02-29"));
    EXPECT_FALSE(isDayText("2023-02-29"));
    EXPECT_FALSE(isDayText("2026-13-01"));
    EXPECT_FALSE(isDayText("2026-1-01"));
    EXPECT_FALSE(isDayText("2026-11-20' or 1=1"));
    EXPECT_FALSE(isDayText(""));
    EXPECT_TRUE(isMinuteText("2026-11-20 23:59"));
    EXPECT_FALSE(isMinuteText("2026-11-20 24:00"));
    EXPECT_FALSE(isMinuteText("2026-11-20T10:00"));

    auto feb = monthRange(202202);
    ASSERT_TRUE(feb);
    EXPECT_EQ(feb->first, "2022-02-01 00:00:00");
    EXPECT_EQ(feb->second, "2022-02-31 23:59:59"); // text range: every day of the month
    EXPECT_FALSE(monthRange(202213));
    EXPECT_FALSE(monthRange(202200));
    EXPECT_FALSE(monthRange(2022));
    EXPECT_FALSE(monthRange(-202201));
}

TEST(PagesHistory, ClassesRemappingAndSources)
{
    EXPECT_EQ(historyClass(104), 2);
    EXPECT_EQ(historyClass(157), 3);
    EXPECT_EQ(historyClass(25), 4);
    EXPECT_EQ(historyClass(3), 5);
    EXPECT_EQ(historyClass(-4), 5);
    EXPECT_EQ(historyClass(5), 1);
    EXPECT_EQ(historyClass(200), 1);
    EXPECT_EQ(historyEvent(4, 104), 120);
    EXPECT_EQ(historyEvent(4, 109), 109);
    EXPECT_EQ(historyEvent(5, 159), 169);
    EXPECT_EQ(historyEvent(2, 106), 122);
    EXPECT_EQ(historyEvent(0, 104), 104);
    EXPECT_EQ(historySource(0, "Dev:UPS"), "Dev:UPS");
    EXPECT_EQ(historySource(1, "SCHEDULE"), "排程");
    EXPECT_EQ(historySource(2, "Dev:THS MODULE"), "設備:溫濕度模塊");
    EXPECT_EQ(historySource(1, "admin"), "admin");
}

TEST(PagesAlarms, NewFlagAndIdList)
{
    EXPECT_EQ(isNewFlag({}), 0);
    EXPECT_EQ(isNewFlag({1, 8, 25}), 2);
    EXPECT_EQ(isNewFlag({1, 8, 25, 5}), 1);
    EXPECT_EQ(alarmList("1,8,25", 4), (std::vector<int>{1, 8, 25}));
    EXPECT_EQ(alarmList("1,8,25,5", 2), (std::vector<int>{1, 8}));
    EXPECT_EQ(alarmList(",x,300,7", 9), (std::vector<int>{44, 7})); // 300 as a byte
    EXPECT_TRUE(alarmList("", 3).empty());
}

TEST(PagesUpsData, DashedColumns)
{
    EXPECT_EQ(upsDataMembers(0).size(), 5u);
    EXPECT_EQ(upsDataMembers(4).size(), 2u);
    EXPECT_TRUE(upsDataMembers(5).empty());
    EXPECT_TRUE(upsDataDashed(0, 1, 0, 0)); // input_A
    EXPECT_FALSE(upsDataDashed(0, 1, 2, 0));
    EXPECT_TRUE(upsDataDashed(0, 4, 4, 0)); // internal_temp: all but 0,1,2,8,9,10
    EXPECT_FALSE(upsDataDashed(0, 4, 9, 0));
    EXPECT_TRUE(upsDataDashed(3, 3, 2, 0)); // MinRemain unless battery management
    EXPECT_FALSE(upsDataDashed(3, 3, 2, 1));
    EXPECT_FALSE(upsDataDashed(4, 0, 0, 0));
    EXPECT_FALSE(upsDataDashed(0, 0, 0, 0)); // voltages always shown
}

TEST(PagesConsole, HexPairsAndTranscriptLines)
{
    EXPECT_EQ(asciiTo16("0A 1b\r\n"), std::string("\x0a\x1b", 2));
    EXPECT_EQ(asciiTo16("0G"), "");
    EXPECT_EQ(asciiTo16("0A1"), "");
    EXPECT_EQ(asciiTo16("01 04 00 00"), std::string("\x01\x04\x00\x00", 4));
    EXPECT_EQ(asciiTo16(""), "");

    setenv("TZ", "UTC", 1);
    tzset();
    const long long ms = 1796690048123LL;
    EXPECT_EQ(transcriptLine(false, true, std::string("\x01\xff", 2), ms),
              "send:2026-12-08 00:34:08:123  01 ff \r\n");
    EXPECT_EQ(transcriptLine(true, false, "OK", ms).substr(0, 5), "recv:");
    EXPECT_EQ(transcriptLine(true, false, "OK", ms).substr(29), "OK\r\n");
}

TEST(PagesEnergy, PhasesBatteryAndFlow)
{
    EXPECT_EQ(phaseText(3, 230.0f, 231.5f, 229.9f), "230.0/231.5/229.9");
    EXPECT_EQ(phaseText(1, 230.04f, 1, 2), "230.0");
    EXPECT_EQ(phaseText(0, 0, 0, 0), "0.0");
    EXPECT_EQ(phaseText(3, 0.98f, 0.97f, 0.99f, 2), "0.98/0.97/0.99");
    BatterySignals s{};
    EXPECT_EQ(batteryStatusCode(false, s), "6");
    s.disconnected = 1;
    EXPECT_EQ(batteryStatusCode(false, s), "5");
    s.floatCharge = 1;
    EXPECT_EQ(batteryStatusCode(false, s), "0");
    s.low = 1;
    EXPECT_EQ(batteryStatusCode(false, s), "2");
    s.onBattery = 1;
    EXPECT_EQ(batteryStatusCode(false, s), "1");
    EXPECT_EQ(batteryStatusCode(true, s), "6");
    EXPECT_EQ(flowDirection(false, 4), "3");
    EXPECT_EQ(flowDirection(false, 5), "2");
    EXPECT_EQ(flowDirection(false, 1), "1");
    EXPECT_EQ(flowDirection(false, 3), "1");
    EXPECT_EQ(flowDirection(false, 2), "0");
    EXPECT_EQ(flowDirection(false, 9), "0");
    EXPECT_EQ(flowDirection(true, 4), "0");
}

} // namespace
} // namespace web::pages
