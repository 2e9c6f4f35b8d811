/*
 * settings_test.cpp - the settings pages over the fake runtime: the serial
 * tables both ways, a refused field saving nothing, change marks and the
 * answers they give, the shared RS-485 line, time zones, the network files
 * and the web port, and what hostile values (shell syntax, line breaks,
 * "../", over-long texts) can and cannot reach: files, commands, the clock.
 */
#include "pages_settings.hpp"

#include "fake_runtime.hpp"
#include "platform.hpp"
#include "signals.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace web
{
namespace
{

namespace sp = settings;
namespace fs = std::filesystem;

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::atomic<int> g_reboots{0};

class SettingsPages : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        root_ = fs::temp_directory_path() / ("settings-test-" + std::to_string(::getpid()));
        fs::create_directories(root_ / "app/config");
        fs::create_directories(root_ / "app/www/image");
        fs::create_directories(root_ / "sys/etc/network");
        fs::create_directories(root_ / "sys/root/etc");
        ::setenv("CARDMON_APP_DIR", (root_ / "app").c_str(), 1);
        ::setenv("CARDMON_SYSROOT", (root_ / "sys").c_str(), 1);
        sp::rebootAction() = [] { ++g_reboots; };
    }
    static void TearDownTestSuite() { fs::remove_all(root_); }

    sp::Json call(Handler fn, const std::string& method, const std::string& body = "",
                  int level = kAdministrator)
    {
        Request req;
        req.method = method;
        req.body = body;
        req.level = level;
        req.address = "192.0.2.7";
        req.uri = "/test";
        reply = Reply{};
        fn(req, reply);
        return sp::Json(cJSON_Parse(reply.body.c_str()), cJSON_Delete);
    }
    sp::Json get(Handler fn, int level = kAdministrator) { return call(fn, "GET", "", level); }
    sp::Json post(Handler fn, const std::string& body) { return call(fn, "POST", body); }
    static std::string text(const sp::Json& doc, const char* member)
    {
        const cJSON* m = cJSON_GetObjectItemCaseSensitive(doc.get(), member);
        if (cJSON_IsString(m)) return m->valuestring;
        if (cJSON_IsNumber(m)) return std::to_string(m->valueint);
        return "(absent)";
    }
    static std::string result(const sp::Json& doc) { return text(doc, "result"); }
    static bool waitReboots(int n)
    {
        for (int i = 0; i < 60 && g_reboots < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return g_reboots >= n;
    }

    static inline fs::path root_;
    card::FakeRuntime rt;
    card::ScopedRuntime use{rt};
    Reply reply;
};

TEST_F(SettingsPages, SerialTablesReadIndexesAndWriteValues)
{
    rt.set("ups_baudRate", 2400);
    rt.set("ups_checkway", 2);
    EXPECT_EQ(text(get(ups_upsparam), "baudrate"), "1");
    EXPECT_EQ(text(get(ups_upsparam), "parity"), "2");
    EXPECT_EQ(text(get(ups_upsparam), "product_version"), "1");
    rt.set("ups_baudRate", 2000);
    EXPECT_EQ(text(get(ups_upsparam), "baudrate"), "");

    EXPECT_EQ(result(post(ups_upsparam, "baudrate=7&stop=2")), "1");
    EXPECT_EQ(rt.text("ups_baudRate"), "115200");
    EXPECT_EQ(rt.text("ups_stopBits"), "2");
    // An index outside its table leaves the setting as it is.
    EXPECT_EQ(result(post(ups_upsparam, "baudrate=8&data=9")), "1");
    EXPECT_EQ(rt.text("ups_baudRate"), "115200");
    EXPECT_FALSE(rt.has("ups_dataBits"));

    EXPECT_EQ(result(post(ups_upsparam, "ups_type=2")), "2");
    EXPECT_EQ(result(post(ups_upsparam, "ups_type=2")), "1");
    EXPECT_EQ(sp::serialValue(sp::Baud, "3"), 9600);
    EXPECT_EQ(sp::serialValue(sp::Baud, "-1"), std::nullopt);
}

TEST_F(SettingsPages, ARefusedFieldSavesNothingAndNamesTheField)
{
    rt.set("ups_addr", 1);
    auto doc = post(ups_upsparam, "ups_com_addr=9&BatCell=16%3Breboot&ups_type=3");
    EXPECT_EQ(result(doc), "fail");
    EXPECT_EQ(text(doc, "errmsg"), "BatCell");
    EXPECT_EQ(rt.text("ups_addr"), "1");
    EXPECT_FALSE(rt.has("ups_type"));
    // A text longer than its field is refused, not cut.
    EXPECT_EQ(result(post(ups_systeminfo, "config_mib_name=" + std::string(80, 'a'))), "fail");
    EXPECT_FALSE(rt.has("System_Name"));
    EXPECT_EQ(result(post(ups_systeminfo, "config_mib_name=UPS%0Aroom")), "fail");
    EXPECT_EQ(result(post(ups_systeminfo, "config_mib_name=UPS+room+2")), "ok");
    EXPECT_EQ(rt.text("System_Name"), "UPS room 2");
}

TEST_F(SettingsPages, UpsParamSideEffects)
{
    rt.set("enable_identify", 0);
    rt.setValue(card::kUps, Data_auto_identify_Progress, 80);
    EXPECT_EQ(result(post(ups_upsparam, "enable_identify=1&ups_shotdown_type=1")), "1");
    EXPECT_EQ(rt.value(card::kUps, Data_auto_identify_Progress), 0);
    EXPECT_EQ(rt.text("altups_ups_shotdown_type"), "1");
    ASSERT_EQ(rt.events.size(), 1u);
    EXPECT_EQ(rt.events[0], (card::FakeRuntime::Event{0, card::event::kModelSetup}));
}

TEST_F(SettingsPages, SensorsTakeTheSharedLineFromTheModbusSlave)
{
    rt.set("enable_485modbus", 1);
    rt.set("ths_enable", 0);
    auto doc = post(ups_thssettings, "is_used_ths=1&thsbaudrate=3&in_thaddr1=2");
    EXPECT_EQ(result(doc), "0");
    EXPECT_EQ(rt.text("enable_485modbus"), "0");
    EXPECT_EQ(rt.text("ths_baudRate"), "9600");
    EXPECT_EQ(rt.text("in_thaddr1"), "2");
    EXPECT_EQ(rt.text("in_thaddr2"), ""); // absent list fields store the empty text
    ASSERT_EQ(rt.events.size(), 1u);
    EXPECT_EQ(rt.events[0].code, card::event::kRestart);

    rt.events.clear();
    EXPECT_EQ(result(post(ups_thssettings, "is_used_ths=1&in_temph1=45.5")), "1");
    ASSERT_EQ(rt.events.size(), 1u);
    EXPECT_EQ(rt.events[0].code, card::event::kSensorSetup);

    // Switching the sensors off with the slave already off: restart needed.
    rt.events.clear();
    EXPECT_EQ(result(post(ups_thssettings, "is_used_ths=0")), "2");
    EXPECT_EQ(rt.events.back().code, card::event::kRestart);

    // Battery packs: a change of count switches the slave off too.
    rt.set("enable_485modbus", 1);
    EXPECT_EQ(result(post(ups_bmsparam, "bms_num=2")), "0");
    EXPECT_EQ(rt.text("enable_485modbus"), "0");
    EXPECT_EQ(result(post(ups_bmsparam, "bms_num=2&en_bms_auto_send_ups=1")), "1");
}

TEST_F(SettingsPages, RemoteControlRecordsTheClientAndPostsTheCommand)
{
    EXPECT_EQ(result(post(ups_remotecontrol, "remote=4&in_tast1=0.5")), "ok");
    ASSERT_EQ(rt.stores.size(), 1u);
    EXPECT_EQ(rt.stores[0].code, card::store::kControlWeb + 4);
    EXPECT_EQ(rt.stores[0].text, "Web:192.0.2.7");
    EXPECT_EQ(rt.events.back(), (card::FakeRuntime::Event{0, 4}));
    EXPECT_EQ(result(post(ups_remotecontrol, "remote=25")), "fail");
    EXPECT_EQ(rt.events.size(), 1u);
}

TEST_F(SettingsPages, ScheduleChecksEveryTimeAndDate)
{
    EXPECT_EQ(result(post(ups_upssche, "sched_on1=07:30&sched_off1=22:00&ssched_d2=2026/12/24")),
              "ok");
    EXPECT_EQ(rt.text("sched_on1"), "07:30");
    EXPECT_EQ(rt.text("ssched_d2"), "2026/12/24");
    EXPECT_EQ(result(post(ups_upssche, "sched_on1=25:00")), "fail");
    EXPECT_EQ(result(post(ups_upssche, "ssched_d1=2026/02/30")), "fail");
    EXPECT_EQ(rt.text("sched_on1"), "07:30");
    auto doc = get(ups_upssche);
    const cJSON* every = cJSON_GetObjectItem(doc.get(), "every_settings");
    ASSERT_EQ(cJSON_GetArraySize(every), 7);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(every, 0), "sched_off")->valuestring,
                 "22:00");
}

TEST_F(SettingsPages, TimeZonesFromTheTable)
{
    EXPECT_EQ(sp::timeZoneText(26, true), "GMT-8:00");
    EXPECT_EQ(sp::timeZoneText(26, false), "GMT-9:00");
    EXPECT_EQ(sp::timeZoneText(9, true), "GMT+3:30");
    EXPECT_EQ(sp::timeZoneText(12, false), "GMT-0:00");
    EXPECT_EQ(sp::timeZoneText(22, false), "GMT-6:45");
    EXPECT_EQ(sp::timeZoneText(33, true), std::nullopt);

    EXPECT_EQ(result(post(ups_timezone, "ntimezone=26&time_dst=0")), "ok");
    EXPECT_STREQ(std::getenv("TZ"), "GMT-9:00");
    std::string file = slurp(root_ / "app/config/Timezone");
    ASSERT_EQ(file.size(), 49u);
    EXPECT_EQ(file.substr(0, 9), std::string("GMT-9:00\0", 9));
    EXPECT_EQ(result(post(ups_timezone, "ntimezone=40")), "fail");
    EXPECT_EQ(rt.text("ntimezone"), "26");
}

TEST_F(SettingsPages, ManualTimeTakesNumbersOnly)
{
    rt.set("system_run_time", 100);
    EXPECT_EQ(result(post(ups_manualupdatetime, "systime=2026-03-04+05%3A06%3A07")), "ok");
    ASSERT_EQ(rt.clockSets.size(), 1u);
    EXPECT_EQ(rt.clockSets[0].tm_year, 126);
    EXPECT_EQ(rt.clockSets[0].tm_mday, 4);
    EXPECT_EQ(rt.clockSets[0].tm_sec, 7);
    EXPECT_EQ(rt.text("system_startup_time"), std::to_string(rt.clock - 100));
    for (const char* bad :
         {"2026-02-30 10:00:00", "2026-01-01 10:00:00;reboot", "2026-01-01 10:00:00\n", "$(reboot)",
          "1999-01-01 00:00:00", "2026-01-01 24:00:00", "2026-1-1"})
        EXPECT_FALSE(sp::parseSystemTime(bad)) << bad;
    EXPECT_EQ(result(post(ups_manualupdatetime, "systime=2026-01-01+10%3A00%3A00%3Breboot")),
              "fail");
    EXPECT_EQ(rt.clockSets.size(), 1u);
}

TEST_F(SettingsPages, MacAddressIsTwoHexDigitsPerByteWrittenToItsFile)
{
    const fs::path file = root_ / "sys/root/etc/maccfg";
    EXPECT_EQ(result(post(ups_setmacaddr, "mac_0=02&mac_1=1a&mac_2=2B&mac_3=3c&mac_4=4d&mac_5=5e")),
              "ok");
    EXPECT_EQ(slurp(file), "MAC0=021a2B3c4d5e\n");
    EXPECT_EQ(text(get(ups_setmacaddr), "mac_3"), "3c");
    for (const char* bad :
         {"mac_0=0%3Brm", "mac_0=0%0Ax", "mac_0=..%2F", "mac_0=123", "mac_0=g1"}) {
        std::string body = std::string(bad) + "&mac_1=11&mac_2=22&mac_3=33&mac_4=44&mac_5=55";
        EXPECT_EQ(result(post(ups_setmacaddr, body)), "fail") << bad;
    }
    EXPECT_EQ(result(post(ups_setmacaddr, "mac_0=02")), "fail"); // all six or nothing
    EXPECT_EQ(slurp(file), "MAC0=021a2B3c4d5e\n");
    EXPECT_EQ(g_reboots, 0);
}

TEST_F(SettingsPages, NetworkPortRulesAndTheFilesItWrites)
{
    rt.set("httpPort", "80");
    rt.set("dhcpSet", "1");
    rt.set("ip_assign_method", "1");
    // The Modbus and alternate ports stay theirs: nothing changed, "1".
    EXPECT_EQ(result(post(ups_networkinfo, "web_access_port=8080")), "1");
    EXPECT_EQ(rt.text("httpPort"), "80");
    EXPECT_EQ(rt.text("web_access_port"), "80");
    EXPECT_EQ(result(post(ups_networkinfo, "web_access_port=502")), "1");

    // Malformed addresses never reach the files.
    EXPECT_EQ(result(post(ups_networkinfo, "ip_assign_method=0&config_ip=10.0.0.5%0Aup+reboot")),
              "fail");
    EXPECT_EQ(result(post(ups_networkinfo, "ip_assign_method=0&config_msk=255.255.255.0")), "fail");
    EXPECT_EQ(rt.text("ip_assign_method"), "1");

    const int before = g_reboots;
    EXPECT_EQ(result(post(ups_networkinfo, "ip_assign_method=0&config_ip=10.0.0.5&config_msk=255."
                                           "255.255.0&config_gat=10.0.0.1&config_dns1=10.0.0.2")),
              "2");
    EXPECT_EQ(slurp(root_ / "sys/etc/network/interfaces"),
              "auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet static\n"
              "address 10.0.0.5\nnetmask 255.255.255.0\ngateway 10.0.0.1\n");
    EXPECT_EQ(slurp(root_ / "sys/etc/resolv.conf"), "nameserver 10.0.0.2\n");
    EXPECT_EQ(rt.text("ipAddr"), "10.0.0.5");
    EXPECT_TRUE(waitReboots(before + 1));

    // A card that never saved this page: the port alone keeps its DHCP address.
    rt.erase("ip_assign_method");
    rt.erase("config_ip");
    rt.set("dhcpSet", "1");
    EXPECT_EQ(result(post(ups_networkinfo, "web_access_port=8081")), "2");
    EXPECT_EQ(rt.text("httpPort"), "8081");
    EXPECT_NE(slurp(root_ / "sys/etc/network/interfaces").find("iface eth0 inet dhcp"),
              std::string::npos);
    EXPECT_TRUE(waitReboots(before + 2));

    // A value stored by other means is left out rather than written as a line.
    rt.set("gateway", "10.0.0.1\nup reboot");
    rt.set("config_ip_ipv6", "2001:db8::5");
    rt.set("config_gat_ipv6", "2001:db8::1");
    rt.set("config_dns1_ipv6", "2001:db8::53");
    const std::string ifaces = sp::interfacesText(rt);
    EXPECT_EQ(ifaces.find("up reboot"), std::string::npos);
    EXPECT_NE(ifaces.find("iface eth0 inet6 static\naddress 2001:db8::5 \nnetmask 64 \n"),
              std::string::npos);
    EXPECT_EQ(sp::resolvText(rt), "nameserver 10.0.0.2\nnameserver 2001:db8::53\n");
}

TEST_F(SettingsPages, PasswordsGoToAdministratorsOnly)
{
    rt.set("ddn_login_pass", "s3cret");
    rt.set("user_name1", "op");
    rt.set("user_pass1", "oppass");
    EXPECT_EQ(text(get(ups_ddnsinfo, kAdministrator), "login_pass"), "s3cret");
    EXPECT_EQ(text(get(ups_ddnsinfo, kViewer), "login_pass"), "");
    for (int level : {kViewer, kOperator}) {
        get(ups_networkinfo, level);
        EXPECT_EQ(reply.body.find("s3cret"), std::string::npos);
        EXPECT_EQ(reply.body.find("oppass"), std::string::npos);
    }
    get(ups_networkinfo, kAdministrator);
    EXPECT_NE(reply.body.find("oppass"), std::string::npos);
    // A form sent back with the password blank keeps it; the log never shows it.
    EXPECT_EQ(result(post(ups_ddnsinfo, "login_name=me&login_pass=")), "ok");
    EXPECT_EQ(rt.text("ddn_login_pass"), "s3cret");
    EXPECT_EQ(result(post(ups_ddnsinfo, "login_pass=n3w")), "ok");
    EXPECT_EQ(rt.text("ddn_login_pass"), "n3w");
    EXPECT_EQ(rt.text("ddns_use"), "1");
    for (const auto& line : rt.logs)
        EXPECT_EQ(line.find("n3w"), std::string::npos) << line;
}

TEST_F(SettingsPages, TimeServerMustBeAHostName)
{
    for (const char* bad : {"-d", "pool.ntp.org%3Breboot", "%24(reboot)", "a+b", "x%0Ay"}) {
        EXPECT_EQ(result(post(ups_tvtimeupdate, std::string("update_ip=") + bad)), "fail") << bad;
    }
    EXPECT_FALSE(rt.has("update_ip"));
    EXPECT_FALSE(fs::exists(root_ / "app/config/UpdateIP"));
}

Request uploadOf(const std::string& name, const std::string& data)
{
    Request req;
    req.method = "POST";
    req.contentType = "multipart/form-data; boundary=XyZ";
    req.body = "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + name +
               "\"\r\nContent-Type: image/png\r\n\r\n" + data + "\r\n--XyZ--\r\n";
    return req;
}

TEST_F(SettingsPages, LogoUploadKeepsOnlyAPngNamedLogo)
{
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + "image";
    auto up = sp::uploadedFile(uploadOf("C:\\pics\\..\\logo.png", png), 1000);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->name, "logo.png");
    EXPECT_EQ(up->data, png);
    EXPECT_FALSE(sp::uploadedFile(uploadOf("..", png), 1000));
    EXPECT_FALSE(sp::uploadedFile(uploadOf("logo.png", png), 5)); // too large

    for (const auto& [name, data] : std::vector<std::pair<std::string, std::string>>{
             {"../../etc/passwd", png}, {"logo.png", "not a png"}, {"settings.db", png}}) {
        reply = Reply{};
        ups_changelogo(uploadOf(name, data), reply);
        EXPECT_NE(reply.body.find("fail"), std::string::npos) << name;
    }
    EXPECT_FALSE(fs::exists(root_ / "app/www/image/logo.png"));
    EXPECT_FALSE(fs::exists(root_ / "app/config/passwd"));
    reply = Reply{};
    ups_changelogo(uploadOf("logo.png", png), reply);
    EXPECT_NE(reply.body.find("\"ok\""), std::string::npos);
    EXPECT_EQ(slurp(root_ / "app/www/image/logo.png"), png);
}

TEST_F(SettingsPages, Ipv6UpkeepStartsOneClientAndStopsIt)
{
    int starts = 0, stops = 0;
    bool alive = true;
    sp::Dhcp6Client client{[&] {
                               ++starts;
                               return pid_t(4242);
                           },
                           [&](pid_t) { return alive; }, [&] { ++stops; }};
    rt.set("ipv6_route_discovery_auto", 0);
    rt.set("ip_assign_method_ipv6", 1);
    sp::ipv6Upkeep(client);
    sp::ipv6Upkeep(client);
    EXPECT_EQ(starts, 1);
    alive = false; // the client ended: the next pass starts another
    sp::ipv6Upkeep(client);
    EXPECT_EQ(starts, 2);
    alive = true;
    rt.set("ip_assign_method_ipv6", 0);
    sp::ipv6Upkeep(client);
    EXPECT_EQ(stops, 1);
    sp::ipv6Upkeep(client);
    EXPECT_EQ(stops, 1); // nothing of ours runs any more
}

TEST_F(SettingsPages, ImportChecksFollowThePages)
{
    EXPECT_TRUE(sp::storedValueAcceptable("ups_baudRate", "9600"));
    EXPECT_FALSE(sp::storedValueAcceptable("ups_baudRate", "9601"));
    EXPECT_FALSE(sp::storedValueAcceptable("config_ip", "10.0.0.1\nup reboot"));
    EXPECT_FALSE(sp::storedValueAcceptable("ntimezone", "99"));
    EXPECT_TRUE(sp::storedValueAcceptable("sched_on3", "6:30"));
    EXPECT_TRUE(sp::storedValueAcceptable("no_page_key", "anything"));
    EXPECT_TRUE(sp::pageOwnsKey("mac_7_5"));
}

} // namespace
} // namespace web
