// The readers: paging, filters, chart series, the CSV files and their bytes,
// and hostile date texts.
#include "store_readers.h"
#include "store_test_env.hpp"

#include "fieldcore.h"
#include "platform.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iconv.h>

using namespace storetest;
using store::DbFile;

namespace
{

std::string slot(const char* row, int offset, int size)
{
    return std::string(row + offset, strnlen(row + offset, static_cast<size_t>(size)));
}

std::string csv(const char* name)
{
    return fileBytes(appDir() + "/data/" + name);
}

void upsRow(const std::string& time, const std::string& inputV = "230.0")
{
    std::string sql = "insert into ups_data values('" + time + "','" + inputV + "'";
    for (int c = 2; c <= 20; ++c)
        sql += ",'" + std::to_string(c) + ".0'";
    exec(DbFile::UpsData, sql + ")");
}

void historyRow(const std::string& start, const std::string& id, const std::string& source)
{
    exec(DbFile::Alarm, "insert into history_alarm values('" + start + "','" + id +
                            "','2026-12-08 23:00:00','" + source + "')");
}

std::vector<std::string> historyIds(int type, const char* day = "2026-12-08")
{
    std::vector<char> page(10 * STORE_HISTORY_ROW);
    std::vector<std::string> ids;
    const int n = GetHistoryAlarmDataBase(type, day, 1, page.data());
    for (int r = 0; r < std::min(n, 10); ++r)
        ids.push_back(slot(page.data() + r * STORE_HISTORY_ROW, 50, 50));
    std::sort(ids.begin(), ids.end());
    return ids;
}

} // namespace

TEST_F(StoreTest, TwentyThreeRowsGivePagesOfTenTenThree)
{
    char hhmm[32];
    for (int i = 0; i < 23; ++i) {
        std::snprintf(hhmm, sizeof hhmm, "2026-12-08 %02d:%02d:00", i / 2, (i % 2) * 30);
        upsRow(hhmm, std::to_string(200 + i));
    }
    upsRow("2026-12-07 23:59:59");
    upsRow("2026-12-09 00:00:00");
    for (int page = 1; page <= 4; ++page) {
        char buf[10 * STORE_UPS_ROW] = {};
        EXPECT_EQ(GetUpsDataBase("2026-12-08", page, 0, buf), 23) << "page " << page;
        int filled = 0;
        for (int r = 0; r < 10; ++r)
            filled += buf[r * STORE_UPS_ROW] != 0;
        EXPECT_EQ(filled, page < 3 ? 10 : page == 3 ? 3 : 0);
        if (page == 1) { // newest first
            EXPECT_EQ(slot(buf, 0, 25), "2026-12-08 11:00:00");
            EXPECT_EQ(slot(buf, 25, 25), "222");
            EXPECT_EQ(slot(buf, 125, 25), "5.0"); // Internal_Temp
        }
        if (page == 3) {
            EXPECT_EQ(slot(buf + 2 * STORE_UPS_ROW, 0, 25), "2026-12-08 00:00:00");
        }
    }
    char buf[10 * STORE_UPS_ROW] = {};
    EXPECT_EQ(GetUpsDataBase("2026-12-08", 1, 3, buf), 23);
    EXPECT_EQ(slot(buf, 25, 25), "16.0");  // Bat_V
    EXPECT_EQ(slot(buf, 125, 25), "20.0"); // Bat_AV
}

TEST_F(StoreTest, HistoryFiltersCompareAsText)
{
    const std::string day = "2026-12-08 10:00:";
    int sec = 10;
    for (const char* id : {"0", "1", "3", "4", "8", "9", "22", "23", "24", "27", "29", "40", "61",
                           "62", "63", "64", "65"})
        historyRow(day + std::to_string(sec++), id, "Dev:UPS");
    historyRow(day + "40", "104", "Web:admin");
    historyRow(day + "41", "154", "SNMP");
    historyRow(day + "42", "154", "Tcp:10.0.0.2");
    historyRow(day + "43", "154", "Sms:+8613800");
    historyRow(day + "44", "154", "SCHEDULE");
    historyRow(day + "45", "3", "admin"); // not a device: outside types 1, 4, 5

    using V = std::vector<std::string>;
    char page[10 * STORE_HISTORY_ROW] = {};
    EXPECT_EQ(GetHistoryAlarmDataBase(0, "2026-12-08", 1, page), 23);
    // "3" lies between "28" and "62" as text, so the UPS-fault filter takes it too.
    EXPECT_EQ(historyIds(1), (V{"22", "29", "3", "4", "40", "61", "9"}));
    EXPECT_EQ(historyIds(2), (V{"104"}));
    EXPECT_EQ(historyIds(3), (V{"154", "154", "154", "154"}));
    EXPECT_EQ(historyIds(4), (V{"1", "24", "64", "8"}));
    EXPECT_EQ(historyIds(5), (V{"0", "23", "27", "3", "62", "63"}));
    EXPECT_EQ(GetHistoryAlarmDataBase(6, "2026-12-08", 1, page), 0);
}

TEST_F(StoreTest, ChartSplitsThreePhaseValuesAndFillsMissingWithZero)
{
    std::string sql = "insert into ups_data "
                      "(Time,Input_V,Output_L,Bat_V) values('2026-12-08 10:00:00',"
                      "'230.1/229.8/231.0','35.0','54.0')";
    exec(DbFile::UpsData, sql);
    std::vector<char> buf(STORE_CHART_ROWS * STORE_CHART_ROW);
    int types[4] = {7, 25, 0, 0};
    EXPECT_EQ(
        GetUpsChartDataBase("2026-12-08 00:00:00", "2026-12-08 23:59:59", 2, types, buf.data()), 1);
    const char* row = buf.data();
    EXPECT_EQ(slot(row, 0, 25), "2026-12-08 10:00:00");
    EXPECT_EQ(slot(row, 25, 25), "229.8");
    EXPECT_EQ(slot(row, 50, 25), "0"); // Output_L has no third part
    EXPECT_EQ(slot(row, 75, 25), "0");
    EXPECT_EQ(slot(row, 100, 25), "0");

    int more[4] = {8, 1, 4, 99};
    std::fill(buf.begin(), buf.end(), 0);
    EXPECT_EQ(
        GetUpsChartDataBase("2026-12-08 00:00:00", "2026-12-08 23:59:59", 4, more, buf.data()), 1);
    EXPECT_EQ(slot(row, 25, 25), "231.0");
    EXPECT_EQ(slot(row, 50, 25), "35.0");
    EXPECT_EQ(slot(row, 75, 25), "54.0");
    EXPECT_EQ(slot(row, 100, 25), "0"); // unknown series code
}

TEST_F(StoreTest, ChartStopsAtAThousandRows)
{
    std::string sql = "begin;";
    for (int i = 0; i < 1005; ++i)
        sql += "insert into ups_data (Time) values('2026-12-08 10:00:00');";
    exec(DbFile::UpsData, sql + "commit;");
    std::vector<char> buf(STORE_CHART_ROWS * STORE_CHART_ROW);
    EXPECT_EQ(
        GetUpsChartDataBase("2026-12-08 00:00:00", "2026-12-08 23:59:59", 0, nullptr, buf.data()),
        1000);
}

TEST_F(StoreTest, UpsCsvDashesColumnsTheUpsTypeLacks)
{
    upsRow("2026-12-08 10:00:00");
    fake.set("ups_type", 0);
    fake.set("Module_Language", 0);
    char buf[10 * STORE_UPS_ROW] = {};
    ASSERT_EQ(GetUpsDataBase("2026-12-08", 1, 1, buf), 1);
    const std::string expectHeader =
        "Time,InputVoltage(V),InputCurrent(A),InputFrequency(Hz),InputActivePower(kW),"
        "InternalTemperature(\xA1\xE6),OutputVoltage(V),OutputCurrent(A),OutputFrequency(Hz),"
        "OutputActivePower(kW),OutputLoad(%),BypassVoltage(V),BypassCurrent(A),"
        "BypassFrequency(Hz),BypassActivePower(kW),BypassApparentPower(kVA),BatteryVoltage(V),"
        "BatteryCurrent(A),BatteryTemperature(\xA1\xE6),RemainingTime(min),RemainingCapacity(%)"
        "\n";
    // ups_type 0: Input_C, Input_TP, Output_C, Output_P, By_C, By_TP, By_AP, Bat_C, Bat_Tem
    // and Bat_Time are dashed; Internal_Temp and Bat_AV stay.
    const std::string expectRow = "2026-12-08 10:00:00,230.0,--,3.0,--,5.0,6.0,--,8.0,--,10.0,"
                                  "11.0,--,13.0,--,--,16.0,--,--,--,20.0,\n";
    EXPECT_EQ(csv("upsdata.csv"), expectHeader + expectRow);

    fake.set("ups_type", 6);
    fake.set("battery_enable_type", 1);
    GetUpsDataBase("2026-12-08", 1, 0, buf);
    EXPECT_EQ(csv("upsdata.csv").substr(expectHeader.size()),
              "2026-12-08 10:00:00,230.0,2.0,3.0,4.0,--,6.0,7.0,8.0,9.0,10.0,11.0,12.0,13.0,"
              "14.0,15.0,16.0,17.0,18.0,19.0,20.0,\n");
}

TEST_F(StoreTest, SensorCsvAndChineseHeadersInGbk)
{
    exec(DbFile::UpsData, "insert into ths_data values('2026-12-08 10:00:00','21.5','45.0')");
    fake.set("Module_Language", 1);
    char buf[10 * STORE_UPS_ROW] = {};
    ASSERT_EQ(GetUpsDataBase("2026-12-08", 1, 4, buf), 1);
    EXPECT_EQ(slot(buf, 25, 25), "21.5");
    EXPECT_EQ(slot(buf, 50, 25), "45.0");
    // 时间,温度 (℃),湿度 (%) in GBK
    EXPECT_EQ(csv("upsdata.csv"), "\xCA\xB1\xBC\xE4,\xCE\xC2\xB6\xC8 (\xA1\xE6),"
                                  "\xCA\xAA\xB6\xC8 (%)\n2026-12-08 10:00:00,21.5,45.0,\n");
    fake.set("Module_Language", 4);
    GetUpsDataBase("2026-12-08", 1, 4, buf);
    EXPECT_EQ(csv("upsdata.csv"),
              "Hora,temperatura (\xE2\x84\x83),umidade (%)\n2026-12-08 10:00:00,21.5,45.0,\n");
}

TEST_F(StoreTest, BatteryTestPageAndCsv)
{
    exec(DbFile::UpsData, "insert into test_data values('2026-12-08 09:00:00','01:02:05')");
    char buf[10 * STORE_BATTEST_ROW] = {};
    ASSERT_EQ(GetBatTestDataBase("2026-12-08", 1, buf), 1);
    EXPECT_EQ(slot(buf, 0, 25), "2026-12-08 09:00:00");
    EXPECT_EQ(slot(buf, 25, 25), "01:02:05");
    EXPECT_EQ(csv("battest.csv"), "Battery Test Start Time,Total Battery Test Time\n"
                                  "2026-12-08 09:00:00,01:02:05,\n");
}

TEST_F(StoreTest, NotificationLogsShowStartAndEndTexts)
{
    exec(DbFile::Sms, "insert into sms_record values('+8613800','1','2026-12-08 10:00:00');"
                      "insert into sms_record values('+8613800','501','2026-12-08 11:00:00');"
                      "insert into sms_record values('+8613800','56','2026-12-08 12:00:00');"
                      "insert into sms_record values('+8613800','999','2026-12-08 13:00:00');");
    exec(DbFile::Smtp, "insert into smtp_record values('" + std::string(60, 'm') +
                           "','55','2026-12-08 10:00:00')");
    char buf[10 * STORE_LOG_ROW] = {};
    ASSERT_EQ(GetSmsDataBase("2026-12-08", 1, buf), 4);
    EXPECT_EQ(slot(buf, 0, 50), "+8613800");
    EXPECT_EQ(slot(buf, 50, 25), "999");
    EXPECT_EQ(slot(buf, 75, 25), "2026-12-08 13:00:00");
    EXPECT_EQ(csv("sms.csv"),
              "Telephone Number,Event Description,Time\n"
              "+8613800,xxx,2026-12-08 13:00:00\n"
              "+8613800,SMS test,2026-12-08 12:00:00\n"
              "+8613800,[System Status]The end of the battery powered,2026-12-08 11:00:00\n"
              "+8613800,[System Status]Battery powered,2026-12-08 10:00:00\n");
    std::memset(buf, 0, sizeof buf);
    ASSERT_EQ(GetEmailDataBase("2026-12-08", 1, buf), 1);
    EXPECT_EQ(slot(buf, 0, 50), std::string(49, 'm')); // cut to its slot
    EXPECT_EQ(csv("email.csv"), "Mailbox Number,Event Description,Time\n" + std::string(60, 'm') +
                                    ",mail daily,2026-12-08 10:00:00\n");
}

TEST_F(StoreTest, HistoryCsvRemapsEventsAndTranslatesSources)
{
    historyRow("2026-12-08 10:00:00", "104", "Web:admin");
    historyRow("2026-12-08 11:00:00", "1", "Dev:UPS");
    historyRow("2026-12-08 12:00:00", "154", "SCHEDULE");
    fake.set("ups_type", 4);
    char buf[10 * STORE_HISTORY_ROW] = {};
    ASSERT_EQ(GetHistoryAlarmDataBase(0, "2026-12-08", 1, buf), 3);
    EXPECT_EQ(slot(buf, 50, 50), "154"); // the page keeps the stored number
    EXPECT_EQ(csv("hisAlarm.csv"),
              "Event Description,Starting Time,End Time,Source\n"
              "[Remote Operation]Shutdown Output,2026-12-08 12:00:00,2026-12-08 23:00:00,"
              "SCHEDULE,\n"
              "[System Status]Battery powered,2026-12-08 11:00:00,2026-12-08 23:00:00,Dev:UPS,\n"
              "[Web Operation]Shutdown Output,2026-12-08 10:00:00,2026-12-08 23:00:00,"
              "Web:admin,\n");
    fake.set("Module_Language", 2);
    fake.set("ups_type", 0);
    GetHistoryAlarmDataBase(0, "2026-12-08", 1, buf);
    const std::string bytes = csv("hisAlarm.csv");
    // 排程 and 設備:UPS in GBK
    EXPECT_NE(bytes.find(",\xC5\xC5\xB3\xCC,\n"), std::string::npos);
    EXPECT_NE(bytes.find(",\xD4\x4F\x82\xE4:UPS,\n"), std::string::npos);
}

TEST_F(StoreTest, HostileDateTextReturnsNothingAndChangesNothing)
{
    historyRow("2026-12-08 10:00:00", "1", "Dev:UPS");
    upsRow("2026-12-08 10:00:00");
    exec(DbFile::Sms, "insert into sms_record values('x','1','2026-12-08 10:00:00')");
    GetHistoryAlarmDataBase(0, "2026-12-08", 1, nullptr);
    const std::string csvBefore = csv("hisAlarm.csv");
    const char* evil = "2026-12-08' or 1=1 --";
    char buf[10 * STORE_HISTORY_ROW] = {};
    for (int type = 0; type <= 5; ++type)
        EXPECT_EQ(GetHistoryAlarmDataBase(type, evil, 1, buf), 0);
    EXPECT_EQ(GetUpsDataBase(evil, 1, 0, buf), 0);
    EXPECT_EQ(GetBatTestDataBase(evil, 1, buf), 0);
    EXPECT_EQ(GetSmsDataBase(evil, 1, buf), 0);
    EXPECT_EQ(GetEmailDataBase(evil, 1, buf), 0);
    int types[4] = {6, 0, 0, 0};
    EXPECT_EQ(GetUpsChartDataBase(evil, "2026-12-09 00:00:00", 1, types, buf), 0);
    EXPECT_EQ(GetUpsChartDataBase("2026-12-08 00:00:00", "2026-12-09' or '1'='1", 1, types, buf),
              0);
    EXPECT_EQ(GetHistoryAlarmDataBase(0, "2026-13-45xyz", 1, buf), 0);
    EXPECT_EQ(GetHistoryAlarmDataBase(0, nullptr, 1, buf), 0);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 1);
    EXPECT_EQ(count(DbFile::UpsData, "ups_data"), 1);
    EXPECT_EQ(count(DbFile::Sms, "sms_record"), 1);
    EXPECT_EQ(csv("hisAlarm.csv"), csvBefore);
}

TEST_F(StoreTest, MissingDatabaseReadsAsMinusOne)
{
    std::filesystem::remove(store::dbPath(DbFile::Alarm));
    char buf[10 * STORE_HISTORY_ROW] = {};
    EXPECT_EQ(GetHistoryAlarmDataBase(0, "2026-12-08", 1, buf), -1);
    EXPECT_FALSE(platform::fileExists(store::dbPath(DbFile::Alarm)));
}

TEST_F(StoreTest, ClearLogDeletesOnlyTheRange)
{
    historyRow("2026-11-30 23:59:59", "1", "Dev:UPS");
    historyRow("2026-12-01 00:00:00", "1", "Dev:UPS");
    historyRow("2026-12-31 23:59:59", "1", "Dev:UPS");
    EXPECT_EQ(StoreClearLog(3, "2026-12-01 00:00:00", "2026-12-31 23:59:59"), 2);
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 1);
    EXPECT_EQ(StoreClearLog(0, "2026-12-01 00:00:00", "2026-12-31 23:59:59"), 0);

    exec(DbFile::Sms, "insert into sms_record values('a','1','2026-12-05 10:00:00');"
                      "insert into sms_record values('a','1','2027-01-01 00:00:00');");
    exec(DbFile::UpsData, "insert into test_data values('2026-12-05 10:00:00','00:01:00');"
                          "insert into ths_data values('2026-12-05 10:00:00','1','2');");
    upsRow("2026-12-05 10:00:00");
    EXPECT_EQ(StoreClearSmsLog("2026-12-01 00:00:00", "2026-12-31 23:59:59"), 1);
    EXPECT_EQ(count(DbFile::Sms, "sms_record"), 1);
    EXPECT_EQ(StoreClearLog(2, "2026-12-01 00:00:00", "2026-12-31 23:59:59"), 2);
    EXPECT_EQ(count(DbFile::UpsData, "test_data"), 1); // the battery-test log stays
    EXPECT_EQ(StoreClearLog(1, "x' or 1=1 --", "2026-12-31 23:59:59"), 0);
}

// ---- event texts ----

TEST(StoreTexts, EveryLanguageHasFullTablesThatEncode)
{
    for (int lang = 0; lang < store::kLanguages; ++lang) {
        for (int n = 0; n < store::kStartTexts; ++n) {
            const std::string t = StoreEventStartText(lang, n);
            const bool used = n < 66 || (n >= 100 && n < 125) || (n >= 150 && n < 175);
            EXPECT_EQ(t == "xxx", !used) << lang << " start " << n;
        }
        for (int n = 0; n < store::kEndTexts; ++n)
            EXPECT_EQ(std::string(StoreEventEndText(lang, n)) == "xxx", n >= 66)
                << lang << " end " << n;
        if (store::languageUsesGbk(lang)) {
            // Every text of a GBK language converts without loss.
            iconv_t cd = iconv_open("GBK", "UTF-8");
            for (int n = 0; n < store::kStartTexts; ++n) {
                std::string in = StoreEventStartText(lang, n);
                std::string out(in.size() * 2 + 4, '\0');
                char* ip = in.data();
                char* op = out.data();
                size_t il = in.size(), ol = out.size();
                EXPECT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<size_t>(-1)) << in;
            }
            iconv_close(cd);
        }
    }
    EXPECT_STREQ(StoreEventStartText(0, 37),
                 "[Alarm]Temperature and humidity module 4 communication lost");
    EXPECT_STREQ(StoreEventStartText(0, 45), "[Alarm]Temperature and humidity module 2 humidity "
                                             "is too low");
    EXPECT_STREQ(StoreEventEndText(0, 39),
                 "[Alarm]Temperature and humidity module 1 temperature normal");
    EXPECT_STREQ(StoreEventStartText(0, 101), "[Web Operation]UPS Discharge Test");
    EXPECT_STREQ(StoreEventStartText(0, 174),
                 "[Remote Operation]Restart the UPS N minutes after the scheduled shutdown");
    EXPECT_STREQ(StoreEventStartText(1, 1), "[系统状态]电池供电");
    EXPECT_STREQ(StoreEventStartText(2, 1), "[系統狀態]電池供電");
    EXPECT_STREQ(StoreEventStartText(9, 1), StoreEventStartText(0, 1));
    EXPECT_STREQ(StoreEventStartText(0, 200), "xxx");
    EXPECT_STREQ(StoreEventEndText(0, -1), "xxx");
}
