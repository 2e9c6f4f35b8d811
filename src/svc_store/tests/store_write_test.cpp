// The write side of the store: request codes, samples, retention, close-out,
// the e-mail report file, and what happens to bad input and broken files.
#include "store_readers.h"
#include "store_test_env.hpp"

#include "fieldcore.h"
#include "platform.hpp"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace storetest;
using store::DbFile;

namespace
{

void request(int code, const char* text = nullptr)
{
    store::enqueue(code, text, text ? static_cast<int>(std::strlen(text)) + 1 : 0);
}

void requestValue(int code, int32_t value, long long arrival)
{
    store::enqueueAt(code, &value, 4, arrival);
}

// Rows without their first (time) column, or with it when keepTime.
Rows rowsOf(DbFile f, const std::string& table, const std::string& cols)
{
    return query(f, "select " + cols + " from " + table + " order by rowid");
}

} // namespace

// ---- request codes ----

struct CodeCase {
    int code;
    const char* text;
    DbFile file;
    const char* table;
    const char* cols;
    std::vector<std::string> row;
};

class RequestCodes : public StoreTest, public ::testing::WithParamInterface<CodeCase>
{
};

TEST_P(RequestCodes, LandInTheirTableWithTheirColumns)
{
    const CodeCase& c = GetParam();
    const long long before = store::nowSeconds();
    request(c.code, c.text);
    store::applyQueueNow();
    const Rows rows = rowsOf(c.file, c.table, c.cols);
    ASSERT_EQ(rows.size(), 1u) << "code " << c.code;
    EXPECT_EQ(rows[0], c.row);
    // The time column is "now", as a local time text.
    const std::string timeCol = std::string(c.table) == "current_alarm" ||
                                        std::string(c.table) == "history_alarm" ||
                                        std::string(c.table) == "operation_record"
                                    ? "Starting_Time"
                                    : "Time";
    const auto t = query(c.file, "select " + timeCol + " from " + c.table);
    EXPECT_GE(t[0][0], store::timeText(before));
    EXPECT_LE(t[0][0], store::timeText(store::nowSeconds()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestCodes,
    ::testing::Values(
        CodeCase{205, nullptr, DbFile::Alarm, "current_alarm", "Alarm_Id", {"5"}},
        CodeCase{265, nullptr, DbFile::Alarm, "current_alarm", "Alarm_Id", {"65"}},
        CodeCase{500,
                 "ops@example.com",
                 DbFile::Smtp,
                 "smtp_record",
                 "name,Alarm_Id",
                 {"ops@example.com", "54"}},
        CodeCase{601, "a@b.c", DbFile::Smtp, "smtp_record", "name,Alarm_Id", {"a@b.c", "1"}},
        CodeCase{701, "a@b.c", DbFile::Smtp, "smtp_record", "name,Alarm_Id", {"a@b.c", "501"}},
        CodeCase{800, "a@b.c", DbFile::Smtp, "smtp_record", "name,Alarm_Id", {"a@b.c", "55"}},
        CodeCase{900, "+8613800", DbFile::Sms, "sms_record", "name,Alarm_Id", {"+8613800", "56"}},
        CodeCase{1002, "+86", DbFile::Sms, "sms_record", "name,Alarm_Id", {"+86", "2"}},
        CodeCase{1102, "+86", DbFile::Sms, "sms_record", "name,Alarm_Id", {"+86", "502"}},
        CodeCase{1204,
                 "admin",
                 DbFile::Alarm,
                 "history_alarm",
                 "Alarm_Id,End_Time,Source",
                 {"104", "--", "admin"}},
        CodeCase{1254,
                 nullptr,
                 DbFile::Alarm,
                 "history_alarm",
                 "Alarm_Id,End_Time,Source",
                 {"154", "--", "SNMP"}},
        CodeCase{1304,
                 "Tcp:10.0.0.9",
                 DbFile::Alarm,
                 "history_alarm",
                 "Alarm_Id,End_Time,Source",
                 {"154", "--", "Tcp:10.0.0.9"}},
        CodeCase{1354,
                 "Sms:+8613800",
                 DbFile::Alarm,
                 "history_alarm",
                 "Alarm_Id,End_Time,Source",
                 {"154", "--", "Sms:+8613800"}},
        CodeCase{1404,
                 nullptr,
                 DbFile::Alarm,
                 "history_alarm",
                 "Alarm_Id,End_Time,Source",
                 {"154", "--", "SCHEDULE"}},
        CodeCase{1507,
                 "login admin",
                 DbFile::Operation,
                 "operation_record",
                 "Operate_Id,Source,IsUpload",
                 {"7", "login admin", "0"}}));

TEST_F(StoreTest, CodesOutsideTheTableAreDropped)
{
    for (int code : {-1, 0, 99, 103, 199, 501, 599, 801, 901, 999, 1450, 1499})
        request(code, "x");
    store::applyQueueNow();
    EXPECT_EQ(store::queuedCount(), 0u);
    EXPECT_EQ(count(DbFile::Alarm, "current_alarm"), 0);
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 0);
    EXPECT_EQ(count(DbFile::Smtp, "smtp_record"), 0);
    EXPECT_EQ(count(DbFile::Sms, "sms_record"), 0);
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 0);
    EXPECT_EQ(count(DbFile::UpsData, "ups_data"), 0);
    EXPECT_EQ(count(DbFile::UpsData, "test_data"), 0);
}

TEST_F(StoreTest, EndOfAlarmRemovesOnlyItsCurrentRow)
{
    request(201);
    request(207);
    request(301);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id"), (Rows{{"7"}}));
}

TEST_F(StoreTest, HistoryEpisodeTakesStartFromValueEndFromArrivalAndSourceFromIndex)
{
    const long long t0 = 1796000000;
    requestValue(401, static_cast<int32_t>(t0), t0 + 90);
    requestValue(434, static_cast<int32_t>(t0), t0 + 1);
    requestValue(453, static_cast<int32_t>(t0), t0 + 1);
    requestValue(457, static_cast<int32_t>(t0), t0 + 1);
    requestValue(460, static_cast<int32_t>(t0), t0 + 1);
    requestValue(461, static_cast<int32_t>(t0), t0 + 1);
    store::applyQueueNow();
    const Rows rows = rowsOf(DbFile::Alarm, "history_alarm", "*");
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{store::timeText(t0), "1", store::timeText(t0 + 90),
                                                 "Dev:UPS"}));
    EXPECT_EQ(rows[1][3], "Dev:THS MODULE");
    EXPECT_EQ(rows[2][3], "Dev:THS MODULE");
    EXPECT_EQ(rows[3][3], "Dev:SMS MODULE");
    EXPECT_EQ(rows[4][3], "Dev:SMS MODULE");
    EXPECT_EQ(rows[5][3], "Dev:UPS");
}

TEST_F(StoreTest, BatteryTestOf3725SecondsReads010205)
{
    const long long start = 1796000000;
    requestValue(102, static_cast<int32_t>(start), start + 3725);
    requestValue(102, static_cast<int32_t>(start), start + 100 * 3600 + 59);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::UpsData, "test_data", "*"),
              (Rows{{store::timeText(start), "01:02:05"}, {store::timeText(start), "100:00:59"}}));
}

TEST_F(StoreTest, TextsOver200BytesAreAppliedEmpty)
{
    const std::string exact(200, 'a');
    const std::string longer(201, 'b');
    store::enqueue(1001, exact.data(), 200); // no terminator within the 200 bytes
    store::enqueue(1001, longer.data(), 201);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::Sms, "sms_record", "name"), (Rows{{exact}, {""}}));
}

TEST_F(StoreTest, QuotesInTextsAreStoredAsTheyCame)
{
    const char* evil = "x'); drop table history_alarm; --";
    request(1200, evil);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::Alarm, "history_alarm", "Source"), (Rows{{evil}}));
}

// ---- samples ----

TEST_F(StoreTest, SinglePhaseUpsSample)
{
    SaveSettingi("ups_type", 3);
    SetDevValue(60, 40133, 230.04f);
    SetDevValue(60, 40136, 1.25f);
    SetDevValue(60, 40139, 50.0f);
    SetDevValue(60, 40238, 31.0f);
    SetDevValue(60, 40164, 220.0f);
    SetDevValue(60, 40162, 49.9f);
    SetDevValue(60, 40173, 37.0f);
    SetDevValue(60, 40191, 50.1f);
    SetDevValue(60, 40105, 13.5f);
    SetDevValue(60, 40106, -2.0f);
    SetDevValue(60, 40107, 25.0f);
    SetDevValue(60, 40103, 45.0f);
    SetDevValue(60, 40104, 98.0f);
    request(100);
    store::applyQueueNow();
    const Rows rows = rowsOf(DbFile::UpsData, "ups_data", "*");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{
                           rows[0][0], "230.0", "1.2",  "50.0", "0.0",  "31.0", "220.0",
                           "0.0",      "49.9",  "0.0",  "37.0", "0.0",  "0.0",  "50.1",
                           "0.0",      "0.0",   "13.5", "-2.0", "25.0", "45.0", "98.0"}));
}

TEST_F(StoreTest, ThreePhaseGroupsAndBatteryRules)
{
    SaveSettingi("ups_type", 0);
    SaveSettingi("battery_sections_number", 20);
    SaveSettingi("battery_enable_type", 1);
    SetDevValue(60, 40132, 3);
    SetDevValue(60, 40133, 230.1f);
    SetDevValue(60, 40134, 229.8f);
    SetDevValue(60, 40135, 231.0f);
    SetDevValue(60, 40163, 3);
    SetDevValue(60, 40162, 50.0f);
    SetDevValue(60, 40192, 3);
    SetDevValue(60, 40191, 49.8f);
    SetDevValue(60, 40105, 2.25f);
    SetDevValue(60, 40120, 61.0f);
    SetDevValue(60, 40121, 77.0f);
    SetDevValue(60, 40103, 1.0f);
    request(100);
    store::applyQueueNow();
    const Rows r = rowsOf(DbFile::UpsData, "ups_data",
                          "Input_V,Input_C,Internal_Temp,Output_F,By_F,Bat_V,Bat_Time,Bat_AV");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0],
              (std::vector<std::string>{"230.1/229.8/231.0", "0.0/0.0/0.0", "0.0", "50.0/50.0/50.0",
                                        "49.8/49.8/49.8", "45.0", "61.0", "77.0"}));
}

TEST_F(StoreTest, BatteryTemperatureBelowMinus15IsDashForTypes245)
{
    SetDevValue(60, 40107, -20.0f);
    // A sample reads the signals when it is applied.
    for (int type : {2, 4, 5, 3}) {
        SaveSettingi("ups_type", type);
        request(100);
        store::applyQueueNow();
    }
    SetDevValue(60, 40107, -15.0f);
    SaveSettingi("ups_type", 4);
    request(100);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::UpsData, "ups_data", "Bat_Tem"),
              (Rows{{"--"}, {"--"}, {"--"}, {"-20.0"}, {"-15.0"}}));
}

TEST_F(StoreTest, SensorSampleJoinsAnsweringSensors)
{
    SaveSettings("curr_module_num", "3");
    SaveSettings("temp_conver1", "10");
    SaveSettings("temp_conver3", "1");
    SetDevValue(61, 40208, 215.0f);
    SetDevValue(61, 40212, 453.0f);
    SetDevValue(61, 20035, 1.0f); // sensor 2 lost
    SetDevValue(61, 40210, 19.5f);
    SetDevValue(61, 40214, 40.0f);
    request(101);
    store::applyQueueNow();
    SetDevValue(61, 20034, 1.0f);
    SetDevValue(61, 20036, 1.0f);
    request(101); // nobody answers: no row
    store::applyQueueNow();
    SetDevValue(61, 20034, 0.0f);
    SaveSettings("curr_module_num", "5");
    request(101);
    store::applyQueueNow();
    const Rows r = rowsOf(DbFile::UpsData, "ths_data", "Tem,hum");
    EXPECT_EQ(r, (Rows{{"21.5 / 19.5", "45.3 / 40.0"}}));
}

// ---- retention ----

namespace
{

// Puts n rows into a table in one transaction; row k carries k in its second column.
void fill(DbFile f, const std::string& table, int columns, int n)
{
    std::string sql = "begin;";
    for (int k = 0; k < n; ++k) {
        sql += "insert into " + table + " values('2026-01-01 00:00:00','" + std::to_string(k) + "'";
        for (int c = 2; c < columns; ++c)
            sql += ",'x'";
        sql += ");";
    }
    sql += "commit;";
    exec(f, sql);
}

long long firstKept(DbFile f, const std::string& table, const std::string& col)
{
    auto r = query(f, "select " + col + " from " + table + " order by rowid limit 1");
    return r.empty() ? -1 : std::atoll(r[0][0].c_str());
}

} // namespace

TEST_F(StoreTest, HistoryKeepsAThousandAndDropsTenPastIt)
{
    fill(DbFile::Alarm, "history_alarm", 4, 1000);
    request(1250);
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 1001); // 1000 is not over the limit
    EXPECT_EQ(firstKept(DbFile::Alarm, "history_alarm", "Alarm_Id"), 0);
    request(1250);
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 992); // 1001: ten oldest gone
    EXPECT_EQ(firstKept(DbFile::Alarm, "history_alarm", "Alarm_Id"), 10);
}

TEST_F(StoreTest, UpsDataDropsFiftyWhenItHoldsFiveThousand)
{
    fill(DbFile::UpsData, "ups_data", 21, 4999);
    request(100); // the 5000th row: the count 4999 is below the limit
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::UpsData, "ups_data"), 5000);
    request(100);
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::UpsData, "ups_data"), 4951);
    EXPECT_EQ(firstKept(DbFile::UpsData, "ups_data", "Input_V"), 50);
}

TEST_F(StoreTest, NotificationsKeepFiveHundredAndDropTwentyPastIt)
{
    fill(DbFile::Smtp, "smtp_record", 3, 500);
    fill(DbFile::Sms, "sms_record", 3, 501);
    request(601, "a");
    request(1001, "b");
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Smtp, "smtp_record"), 501);
    EXPECT_EQ(count(DbFile::Sms, "sms_record"), 482);
    EXPECT_EQ(firstKept(DbFile::Sms, "sms_record", "Alarm_Id"), 20);
}

TEST_F(StoreTest, OtherTablesKeepTheirLimits)
{
    fill(DbFile::UpsData, "test_data", 2, 1000);
    fill(DbFile::UpsData, "ths_data", 3, 5000);
    fill(DbFile::Operation, "operation_record", 4, 1001);
    fill(DbFile::Alarm, "current_alarm", 2, 3000);
    SaveSettings("curr_module_num", "1");
    SetDevValue(61, 40208, 20.0f);
    requestValue(102, 1796000000, 1796000010);
    request(101);
    request(1500, "x");
    request(210);
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::UpsData, "test_data"), 951);
    EXPECT_EQ(count(DbFile::UpsData, "ths_data"), 4951);
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 992);
    EXPECT_EQ(count(DbFile::Alarm, "current_alarm"), 3001); // no limit
}

// ---- closing out alarms left from before a restart ----

TEST_F(StoreTest, TwoAlarmsAcrossARestartEndAtTheLastStop)
{
    const long long lastEnd = 1796000000;
    SaveSettingi("system_startup_time", static_cast<int>(lastEnd - 5000));
    SaveSettingi("system_run_time", 5000);
    EXPECT_EQ(store::lastEndFromSettings(), lastEnd);
    exec(DbFile::Alarm, "insert into current_alarm values('" + store::timeText(lastEnd - 600) +
                            "','1'); insert into current_alarm values('" +
                            store::timeText(lastEnd - 60) + "','35');");
    store::closeOutOldAlarms(store::lastEndFromSettings());
    EXPECT_EQ(count(DbFile::Alarm, "current_alarm"), 0);
    const Rows rows = rowsOf(DbFile::Alarm, "history_alarm", "*");
    EXPECT_EQ(
        rows,
        (Rows{{store::timeText(lastEnd - 600), "1", store::timeText(lastEnd), "Dev:UPS"},
              {store::timeText(lastEnd - 60), "35", store::timeText(lastEnd), "Dev:THS MODULE"}}));
}

TEST_F(StoreTest, StartAfterTheLastStopEndsAtTheZoneShiftedTime)
{
    const long long lastEnd = 1796000000;
    SaveSettings("nchecktimeevery", "1");
    SaveSettings("time_dst", "0");
    SaveSettings("ntimezone", "22"); // 6.75 h without daylight saving
    const float shifted = static_cast<float>(lastEnd) + 6.75f * 3600.0f;
    const std::string l2 = store::timeText(static_cast<long long>(shifted));
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd), l2);
    SaveSettings("time_dst", "1"); // 5.75 h
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd), store::timeText(static_cast<long long>(
                                                  static_cast<float>(lastEnd) + 5.75f * 3600.0f)));
    SaveSettings("ntimezone", "33");
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd), "");
    SaveSettings("ntimezone", "0"); // -12 h with daylight saving
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd),
              store::timeText(static_cast<long long>(static_cast<float>(lastEnd) - 43200.0f)));

    exec(DbFile::Alarm,
         "insert into current_alarm values('" + store::timeText(lastEnd + 30) + "','57');");
    store::closeOutOldAlarms(lastEnd);
    EXPECT_EQ(rowsOf(DbFile::Alarm, "history_alarm", "End_Time,Source"),
              (Rows{{store::zoneShiftedEnd(lastEnd), "Dev:SMS MODULE"}}));
    SaveSettings("nchecktimeevery", "0");
    EXPECT_EQ(store::zoneShiftedEnd(lastEnd), "");
}

// ---- the e-mail report file ----

TEST_F(StoreTest, EmailReportKeepsOnlyTodaysFileWithItsHeader)
{
    namespace fs = std::filesystem;
    const std::string dir = store::emailReportDir();
    fs::create_directories(dir);
    platform::writeFile(dir + "/email_report2020-01-01.csv", "old");
    SaveSettingi("Module_Language", 0);
    SetDevValue(60, 40133, 231.0f);
    request(100);
    request(100);
    store::applyQueueNow();

    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    ASSERT_EQ(names.size(), 1u);
    const std::string bytes = fileBytes(dir + "/" + names[0]);
    // English header in GBK: the degree sign is A1 E6.
    const std::string header = "Time,InputVoltage(V),InputCurrent(A),InputFrequency(Hz),"
                               "InputActivePower(kW),InternalTemperature(\xA1\xE6),";
    EXPECT_EQ(bytes.substr(0, header.size()), header);
    const auto rows = rowsOf(DbFile::UpsData, "ups_data", "Time");
    const std::string line = rows[0][0] +
                             ",231.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,0.0,"
                             "0.0,0.0,0.0,0.0\n";
    EXPECT_NE(bytes.find("(%)\n" + line), std::string::npos);
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 3);
}

TEST_F(StoreTest, EmailReportHeaderIsUtf8ForTurkish)
{
    SaveSettingi("Module_Language", 3);
    request(100);
    store::applyQueueNow();
    namespace fs = std::filesystem;
    for (const auto& e : fs::directory_iterator(store::emailReportDir())) {
        const std::string bytes = fileBytes(e.path().string());
        EXPECT_EQ(bytes.rfind("Zaman,Giri\xC5\x9F", 0), 0u);
        EXPECT_NE(bytes.find("DahiliS\xC4\xB1"
                             "cakl\xC4\xB1k(\xE2\x84\x83)"),
                  std::string::npos);
    }
}

// ---- broken files and bad surroundings ----

TEST_F(StoreTest, DatabaseDeletedWhileRunningGetsItsTablesBack)
{
    request(201);
    store::applyQueueNow();
    std::filesystem::remove(store::dbPath(DbFile::Alarm));
    request(202);
    request(1250);
    store::applyQueueNow();
    EXPECT_EQ(rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id"), (Rows{{"2"}}));
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 1);
}

TEST_F(StoreTest, TableDroppedUnderTheStoreIsCreatedAgain)
{
    exec(DbFile::Operation, "drop table operation_record");
    request(1501, "x");
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 1);
}

TEST_F(StoreTest, CorruptOrUnopenableFilesLeaveTheOthersWorking)
{
    platform::writeFile(store::dbPath(DbFile::Smtp), std::string(4096, '\x5a'));
    std::filesystem::remove(store::dbPath(DbFile::Sms));
    std::filesystem::create_directory(store::dbPath(DbFile::Sms)); // cannot be opened as a file
    request(601, "a");
    request(1001, "b");
    request(203);
    request(1502, "c");
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Alarm, "current_alarm"), 1);
    EXPECT_EQ(count(DbFile::Operation, "operation_record"), 1);
    EXPECT_EQ(store::queuedCount(), 0u);
    // The readers report the broken files instead of crashing.
    char page[10 * 100] = {};
    EXPECT_LE(GetSmsDataBase("2026-01-01", 1, page), 0);
    EXPECT_EQ(GetEmailDataBase("2026-01-01", 1, page), 0);
}

TEST_F(StoreTest, FullDiskIsLoggedAndWritingGoesOnAfterwards)
{
    request(201);
    store::applyQueueNow();
    // A file-size limit makes every growing write fail as on a full flash.
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old {
    };
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 16 * 1024;
    setrlimit(RLIMIT_FSIZE, &small);
    for (int i = 0; i < 400; ++i)
        request(100);
    request(205);
    store::applyQueueNow();
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_LT(count(DbFile::UpsData, "ups_data"), 400);
    request(206);
    request(100);
    store::applyQueueNow();
    const Rows ids = rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id");
    EXPECT_EQ(ids.back(), std::vector<std::string>{"6"});
    EXPECT_GE(count(DbFile::UpsData, "ups_data"), 1);
}

TEST_F(StoreTest, ReadOnlyDataDirectoryIsLoggedWithoutACrash)
{
    request(201);
    store::applyQueueNow();
    std::filesystem::remove(store::dbPath(DbFile::Sms)); // and one file is missing
    // Root writes through any mode bits, so a child process gives up root first.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        chmod(appDir().c_str(), 0755);
        chmod((appDir() + "/data").c_str(), 0555);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        for (int code : {100, 101, 202, 301, 401, 601, 1001, 1204, 1501})
            request(code, "x");
        store::applyQueueNow();
        char page[10 * STORE_HISTORY_ROW] = {};
        const bool readersOk = GetHistoryAlarmDataBase(0, "2026-12-08", 1, page) == 0 &&
                               GetSmsDataBase("2026-12-08", 1, page) == -1;
        _exit(readersOk && store::queuedCount() == 0 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    chmod((appDir() + "/data").c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status)) << "child died by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id"), (Rows{{"1"}}));
    EXPECT_EQ(count(DbFile::Alarm, "history_alarm"), 0);
    // Writable again: the missing file comes back with the next request.
    request(1001, "y");
    store::applyQueueNow();
    EXPECT_EQ(count(DbFile::Sms, "sms_record"), 1);
}

// ---- the plug-in ----

TEST_F(StoreTest, PluginCreatesFilesTakesCallbacksAndWritesUntilStopped)
{
    std::filesystem::remove_all(appDir() + "/data");
    DriverInit(nullptr);
    for (auto f : store::kAllFiles)
        EXPECT_TRUE(platform::fileExists(store::dbPath(f))) << store::dbPath(f);
    store::setBatchPeriod(std::chrono::milliseconds(20));
    std::thread worker([] { DriverRun(nullptr); });
    EXPECT_EQ(DevCallback(4, 209, nullptr, 0), 0);
    const char name[] = "web-user";
    DevCallback(4, 1201, const_cast<char*>(name), sizeof name);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count(DbFile::Alarm, "history_alarm") < 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    DriverStop(nullptr);
    worker.join();
    store::setBatchPeriod(std::chrono::milliseconds(2000));
    EXPECT_EQ(rowsOf(DbFile::Alarm, "current_alarm", "Alarm_Id"), (Rows{{"9"}}));
    EXPECT_EQ(rowsOf(DbFile::Alarm, "history_alarm", "Alarm_Id,Source"),
              (Rows{{"101", "web-user"}}));
    const std::string info = DLLInfo();
    EXPECT_EQ(info, std::string(DLLInfo()));
    EXPECT_NE(info.find(__DATE__), std::string::npos);
}
