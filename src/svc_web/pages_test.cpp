/*
 * pages_test.cpp - the rules of the status, log and diagnostics pages that
 * need no server: paging, dates and months, history classes and remapping,
 * the current-alarm flag, the "--" columns, the console's hex parser and
 * transcript lines, and the energy-flow codes. Then the handlers themselves
 * over the fake runtime: which settings and signals each answer is made of,
 * and what a write saves and posts.
 */
#include "pages.hpp"

#include "fake_runtime.hpp"
#include "platform.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

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

namespace web
{
namespace
{

using card::kSensors;
using card::kUps;

// A handler run against a fake card, its answer parsed.
class PagesOnAFakeCard : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        // Files the handlers write (the console transcript) go to a scratch app directory.
        dir_ =
            std::filesystem::temp_directory_path() / ("pages-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_ / "data");
        ::setenv("CARDMON_APP_DIR", dir_.c_str(), 1);
        ::setenv("TZ", "UTC", 1);
        tzset();
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

    pages::Json call(Handler fn, const std::string& method = "GET", const std::string& body = "")
    {
        Request req;
        req.method = method;
        req.body = body;
        reply = Reply{};
        fn(req, reply);
        return pages::Json(cJSON_Parse(reply.body.c_str()), cJSON_Delete);
    }
    pages::Json post(Handler fn, const std::string& body) { return call(fn, "POST", body); }
    static std::string text(const pages::Json& doc, const char* member)
    {
        const cJSON* m = cJSON_GetObjectItemCaseSensitive(doc.get(), member);
        return cJSON_IsString(m) ? m->valuestring : "(not a text)";
    }
    static double number(const cJSON* o, const char* member)
    {
        const cJSON* m = cJSON_GetObjectItemCaseSensitive(o, member);
        return cJSON_IsNumber(m) ? m->valuedouble : -999;
    }
    void setText(int dev, int base, const char* s)
    {
        for (int k = 0; s[k]; ++k)
            rt.setValue(dev, base + k, static_cast<float>(s[k]));
    }

    static inline std::filesystem::path dir_;
    card::FakeRuntime rt;
    card::ScopedRuntime use{rt};
    Reply reply;
};

TEST_F(PagesOnAFakeCard, EnergyChartOfARegisterFamilyReadsItsNamedSignals)
{
    rt.set("ups_type", 2);
    rt.set("System_Name", "UPS-7");
    rt.set("battery_enable_type", 1);
    rt.setValue(kUps, Data_InputNumLines, 3);
    rt.setValue(kUps, Data_InputVoltage_A, 230);
    rt.setValue(kUps, Data_InputVoltage_B, 231);
    rt.setValue(kUps, Data_InputVoltage_C, 232.5f);
    rt.setValue(kUps, Data_OutputNumLines, 1);
    rt.setValue(kUps, Data_OutputPower_A, 4.5f); // shown as reported: no kW scale here
    rt.setValue(kUps, Data_BypassNumLines, 1);
    rt.setValue(kUps, Data_BypassFrequency, 50);
    rt.setValue(kUps, Data_BatteryManageTime, 42);
    rt.setValue(kUps, Data_EstimatedMinutesRemaining, 7);
    rt.setValue(kUps, Data_energyflow_line1, 1);
    rt.setValue(kUps, Data_energyflow_line15, 1);
    rt.setValue(kUps, Data_energyflow_sw4, 1);
    rt.setValue(kUps, Alarm_BatteryFloatCharge, 1);
    rt.setValue(kUps, Data_OutputSource, 4);
    setText(kUps, Data_upsIdentName, "AB12");

    auto doc = call(ups_energychart);
    ASSERT_TRUE(doc);
    EXPECT_EQ(number(doc.get(), "ups_type"), 2);
    EXPECT_EQ(text(doc, "ups_model_str"), "UPS-7");
    EXPECT_EQ(text(doc, "ups_netstatus"), "0");
    EXPECT_EQ(text(doc, "input_V"), "230.0/231.0/232.5");
    EXPECT_EQ(text(doc, "output_act_pow"), "4.5");
    EXPECT_EQ(text(doc, "bypass_Hz"), "50.0");
    EXPECT_EQ(text(doc, "bat_re_time"), "42"); // the battery management's estimate
    EXPECT_EQ(text(doc, "serial_number"), "AB12");
    EXPECT_EQ(number(doc.get(), "energy_flow_part1"), 1);
    EXPECT_EQ(number(doc.get(), "energy_flow_part2"), 0);
    EXPECT_EQ(number(doc.get(), "energy_flow_part15"), 1);
    EXPECT_EQ(number(doc.get(), "output_sw"), 1);
    EXPECT_EQ(text(doc, "bat_status"), "0");
    EXPECT_EQ(text(doc, "energy_flow_dir"), "3");

    // A lost link hides every measurement, part and switch.
    rt.set("ups_lost", 1);
    doc = call(ups_energychart);
    EXPECT_EQ(text(doc, "ups_netstatus"), "1");
    EXPECT_EQ(text(doc, "input_V"), "0");
    EXPECT_EQ(text(doc, "serial_number"), "AB12");
    EXPECT_EQ(number(doc.get(), "output_sw"), 0);
    EXPECT_EQ(text(doc, "bat_status"), "6");
    EXPECT_EQ(text(doc, "energy_flow_dir"), "0");

    rt.set("ups_type", 11); // a family without a diagram
    call(ups_energychart);
    EXPECT_EQ(reply.kind, Reply::Kind::None);
}

TEST_F(PagesOnAFakeCard, EnergyChartSensorsUseTheSharedDivisorRule)
{
    rt.set("ups_type", 0);
    rt.setValue(kUps, Data_TotalBatteryVoltage, 54.2f);
    rt.setValue(kUps, Data_BatteryVoltage, 13.5f);
    rt.set("ths_enable", 1);
    rt.set("curr_module_num", "4");
    rt.set("in_thaddr1", "5");
    rt.set("temp_conver1", "10");
    rt.set("temp_conver2", "0");   // no divisor: the raw reading
    rt.set("temp_conver3", "12x"); // no number either
    rt.erase("temp_conver4");      // the factory divisor 100
    rt.setValue(kSensors, Data_temperature_1, 253);
    rt.setValue(kSensors, Data_humidity_1, 455);
    rt.setValue(kSensors, Data_temperature_2, 24);
    rt.setValue(kSensors, Data_temperature_3, 31);
    rt.setValue(kSensors, Data_temperature_4, 2250);

    auto doc = call(ups_energychart);
    ASSERT_TRUE(doc);
    EXPECT_EQ(text(doc, "bat_V"), "54.2"); // this family shows the string's total
    EXPECT_EQ(number(doc.get(), "ths_num"), 4);
    const cJSON* list = cJSON_GetObjectItemCaseSensitive(doc.get(), "ths_data");
    ASSERT_EQ(cJSON_GetArraySize(list), 4);
    auto sensor = [&](int i, const char* member) {
        return std::string(
            cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(list, i), member)->valuestring);
    };
    EXPECT_EQ(sensor(0, "id"), "5");
    EXPECT_EQ(sensor(0, "temp"), "25.3");
    EXPECT_EQ(sensor(0, "humi"), "45.5");
    EXPECT_EQ(sensor(1, "temp"), "24.0");
    EXPECT_EQ(sensor(2, "temp"), "31.0");
    EXPECT_EQ(sensor(3, "temp"), "22.5");
    EXPECT_EQ(sensor(3, "ths_net"), "0");

    rt.setValue(kSensors, Alarm_TH1_CommunicationsLost, 1);
    doc = call(ups_energychart);
    list = cJSON_GetObjectItemCaseSensitive(doc.get(), "ths_data");
    EXPECT_EQ(sensor(0, "id"), "0");
    EXPECT_EQ(sensor(0, "temp"), "0");
    EXPECT_EQ(sensor(0, "humi"), "0");
    EXPECT_EQ(sensor(0, "ths_net"), "1");
}

TEST_F(PagesOnAFakeCard, StatusAnswersReadTheirSignals)
{
    rt.set("ups_type", 4);
    rt.setValue(kUps, Data_InputNumLines, 3);
    rt.setValue(kUps, Data_OutputNumLines, 1);
    rt.setValue(kUps, Data_BypassNumLines, 3);
    auto doc = call(ups_getmodulenum);
    EXPECT_EQ(number(doc.get(), "ups_type"), 4);
    EXPECT_EQ(number(doc.get(), "inp_phase"), 3);
    EXPECT_EQ(number(doc.get(), "out_phase"), 1);
    EXPECT_EQ(number(doc.get(), "byp_phase"), 3);

    rt.setValue(kSensors, Alarm_TH3_CommunicationsLost, 1);
    doc = call(ups_thsstatus);
    EXPECT_EQ(number(doc.get(), "comm_status1"), 0);
    EXPECT_EQ(number(doc.get(), "comm_status3"), 1);

    rt.setValue(kUps, Data_auto_identify_Progress, 42.7f);
    EXPECT_EQ(number(call(ups_IdentifyProgress).get(), "progress"), 42);
    rt.setValue(kUps, Data_auto_identify_Progress, 150);
    EXPECT_EQ(number(call(ups_IdentifyProgress).get(), "progress"), 0);
}

TEST_F(PagesOnAFakeCard, AboutPageShowsTheCardVersionsAndRunTime)
{
    rt.set("system_run_time", 360061);
    rt.set("time_select", 3);
    auto doc = call(ups_aboutinfo);
    EXPECT_EQ(text(doc, "hard_version"), "HW305KQM01");
    EXPECT_EQ(text(doc, "firm_version"), "FW02K13");
    EXPECT_EQ(text(doc, "total_run_time"), "100:01:01"); // hours do not wrap
    EXPECT_EQ(text(doc, "time_server"), "time.google.com");
    rt.set("is_mem_64M", 1);
    rt.set("sel_server", 1);
    rt.set("otherser", "ntp.example.org");
    doc = call(ups_aboutinfo);
    EXPECT_EQ(text(doc, "hard_version"), "HW305KQM02");
    EXPECT_EQ(text(doc, "time_server"), "ntp.example.org");
}

TEST_F(PagesOnAFakeCard, CurrentAlarmsCarryTheirStartTimes)
{
    rt.set("curr_alarm_num", 2);
    rt.set("curr_alarm_id", "1,5,8");
    rt.setValue(kUps, Alarm_Time(5), 1700000000.0f);
    auto doc = call(ups_currentalarm);
    const cJSON* list = cJSON_GetObjectItemCaseSensitive(doc.get(), "data");
    ASSERT_EQ(cJSON_GetArraySize(list), 2);
    EXPECT_EQ(number(cJSON_GetArrayItem(list, 1), "event"), 5);
    EXPECT_STREQ(
        cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(list, 1), "start_time")->valuestring,
        "2023-11-14 22:13:20");
    EXPECT_EQ(number(doc.get(), "IsNew"), 1);
}

TEST_F(PagesOnAFakeCard, UserTableWriteSavesAndTellsTheNutServer)
{
    auto doc = post(ups_networkremoteinfo, "user_name1=bob&user_pass1=pw&user_ip1=*.*.*.*");
    EXPECT_EQ(text(doc, "result"), "1");
    EXPECT_EQ(rt.text("user_name1"), "bob");
    EXPECT_EQ(rt.text("user_pass1"), "pw");
    EXPECT_TRUE(rt.logged("user_pass1 : ******"));
    EXPECT_FALSE(rt.logged("user_pass1 : pw"));
    EXPECT_EQ(rt.events, (std::vector<card::FakeRuntime::Event>{
                             {card::kNutServer, card::event::kUsersChanged}}));

    rt.clearRecords();
    doc = post(ups_networkremoteinfo, "user_name1=admin&user_pass1=x");
    EXPECT_EQ(text(doc, "result"), "2");
    EXPECT_EQ(rt.text("user_name1"), "bob");
    EXPECT_TRUE(rt.events.empty());
}

TEST_F(PagesOnAFakeCard, ConsoleLinesForTheModemGoToTheSmsTask)
{
    // Each line sent starts the transcript the page shows afterwards.
    std::string transcript;
    const std::string path = platform::appPath("data/send_data.txt");
    post(ups_printPortlog, "coding=0&porttype=1&senddata=AT");
    ASSERT_TRUE(platform::readFile(path, transcript));
    EXPECT_EQ(transcript.substr(0, 5), "send:");
    EXPECT_EQ(transcript.substr(transcript.size() - 4), "AT\r\n");
    post(ups_printPortlog, "coding=1&porttype=1&senddata=0A0D");
    ASSERT_TRUE(platform::readFile(path, transcript));
    EXPECT_EQ(transcript.substr(transcript.size() - 9), " 0a 0d \r\n");
    EXPECT_EQ(rt.events, (std::vector<card::FakeRuntime::Event>{
                             {card::channel::kSmsStart, card::event::kModemConsoleSend},
                             {card::channel::kSmsStart, card::event::kModemConsoleRead}}));
}

} // namespace
} // namespace web
