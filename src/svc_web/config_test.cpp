/*
 * config_test.cpp - the configuration file, the factory reset and the
 * protocol and notification pages over the fake runtime.
 *
 * The file: identifiers and keys as the file has always numbered them, the
 * header in each module language, lines with empty values, commas and
 * spreadsheet columns, the import's range, type and key rules, values the
 * pages refuse, and a round trip that gives back every setting. The reset:
 * its defaults, what it leaves alone, the records it removes and the reboot
 * (a sandbox stand-in). The pages: event masks, absent list fields, the
 * RS-485 line's owners, the cloud serial number, test messages and uploads.
 */
#include "config_file.hpp"
#include "pages.hpp"
#include "settings_page.hpp"

#include "fake_runtime.hpp"
#include "platform.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <unistd.h>

namespace web
{
namespace
{

namespace fs = std::filesystem;
using config::fileLines;
using config::lineFor;

// A scratch app directory and a sandbox whose reboot stand-in leaves a mark.
class Sandbox : public ::testing::Environment
{
  public:
    static fs::path root()
    {
        return fs::temp_directory_path() / ("config-test-" + std::to_string(::getpid()));
    }
    static fs::path app() { return root() / "app"; }
    static fs::path rebootMark() { return root() / "sys" / "rebooted"; }

    void SetUp() override
    {
        fs::create_directories(app() / "data");
        fs::create_directories(app() / "config");
        fs::create_directories(root() / "sys" / "bin");
        std::ofstream(root() / "sys" / ".cardmon-sandbox");
        const fs::path reboot = root() / "sys" / "bin" / "reboot";
        std::ofstream(reboot) << "#!/bin/sh\ntouch '" << rebootMark().string() << "'\n";
        fs::permissions(reboot, fs::perms::owner_all);
        ::setenv("CARDMON_APP_DIR", app().c_str(), 1);
        ::setenv("CARDMON_SYSROOT", (root() / "sys").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(root()); }
};
[[maybe_unused]] auto* const kSandbox = ::testing::AddGlobalTestEnvironment(new Sandbox);

// The reboot comes at once or a second after the answer.
bool waitForReboot(int tenths = 50)
{
    for (int i = 0; i < tenths && !fs::exists(Sandbox::rebootMark()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool seen = fs::exists(Sandbox::rebootMark());
    fs::remove(Sandbox::rebootMark());
    return seen;
}

// ---- the file ----

TEST(ConfigFileLines, IdentifiersAndKeysAsTheFileNumbersThem)
{
    const std::map<int, std::vector<std::string>> anchors = {
        {1000, {"sche_bef_min"}},
        {1014, {"config_test_pre_time"}},
        {1015, {"sched_on1"}},
        {1049, {"ssched_off7"}},
        {1050, {"wakeport"}},
        {1051, {"WakeEnabled_0"}},
        {1052, {"mac_0_0"}},
        {1106, {"mac_7_5"}},
        {1154, {"ths_enable"}},
        {1179, {"temp_conver4"}},
        {1213, {"smtp_enable"}},
        {1233, {"email_event_7"}},
        {1272, {"sms_ctrl_7"}},
        {1307, {"httpPort"}},
        {1346, {"user_ip8"}},
        {1347, {"administrator_password"}},
        {1361, {"time_dst", "use_dev_fun0"}},
        {1368, {"use_dev_fun7"}},
        {1381, {"tcp_modbus_ip8"}},
        {1382, {"enable_485modbus"}},
        {1406, {"engine_id_type"}},
        {1470, {"snmp_permission_7"}},
        {1534, {"trap_privacy_pass_7"}},
        {1542, {"trap_event_7"}},
        {1462, {"enable_identify", "bat_change_time"}},
        {1466, {"en_bms_auto_send_ups"}},
    };
    std::map<int, std::vector<std::string>> byId;
    std::set<std::string> keys;
    for (const auto& l : fileLines()) {
        EXPECT_GE(l.id, config::kFirstId) << l.key;
        EXPECT_LE(l.id, config::kLastId) << l.key;
        EXPECT_TRUE(keys.insert(l.key).second) << "twice: " << l.key;
        byId[l.id].push_back(l.key);
    }
    for (const auto& [id, want] : anchors) {
        std::set<std::string> got(byId[id].begin(), byId[id].end());
        for (const auto& k : want)
            EXPECT_TRUE(got.count(k)) << id << " " << k;
    }
    EXPECT_EQ(lineFor("ntimezone")->type, config::Text);
    EXPECT_EQ(lineFor("time_dst")->type, config::Integer);
    EXPECT_EQ(lineFor("mbtcp_slavePort")->type, config::Text);
    EXPECT_EQ(fileLines().front().key, "sche_bef_min");
    EXPECT_EQ(lineFor("no_such_key"), nullptr);
    // Identifiers the card's newer lines took were free: only the old overlaps remain.
    std::set<int> overlaps;
    for (const auto& [id, k] : byId)
        if (k.size() > 1) overlaps.insert(id);
    std::set<int> old = {1361, 1462};
    for (int id = 1450; id <= 1466; ++id) // the UPS lines sit inside the manager block
        old.insert(id);
    for (int id : overlaps)
        EXPECT_TRUE(old.count(id)) << "new overlap at " << id;
}

TEST(ConfigFileLines, EveryKeyTheResetWritesTravelsInTheFile)
{
    card::FakeRuntime rt;
    config::applyFactoryDefaults(rt);
    for (const auto& d : config::factoryDefaults()) {
        EXPECT_NE(lineFor(d.key), nullptr) << d.key;
        // A reset card's own file imports whole.
        EXPECT_TRUE(config::importAcceptable(rt, d.key, d.value, {})) << d.key << "=" << d.value;
    }
}

TEST(ConfigFileExport, HeaderInTheModuleLanguageThenOneLinePerSetting)
{
    card::FakeRuntime rt;
    rt.set("Module_Language", 3);
    rt.set("System_Name", "Rack\n9");
    rt.set("snmp_port", "1161");
    const std::string text = config::exportText(rt);
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "Kimlik, Anahtar, De\xc4\x9f"
                                                   "er, Tip\n");
    EXPECT_NE(text.find("\n1000,sche_bef_min,,1\n"), std::string::npos);
    EXPECT_NE(text.find("\n1353,System_Name,Rack9,1\n"), std::string::npos); // one line per setting
    EXPECT_NE(text.find("\n1400,snmp_port,1161,0\n"), std::string::npos);
    EXPECT_NE(text.find("\n1382,enable_485modbus,0,0\n"), std::string::npos);
    EXPECT_EQ(config::header(0), "ID,Key,Value,Type\n");
    EXPECT_EQ(config::header(1),
              "ID,\xb2\xce\xca\xfd\xc3\xfb,\xd6\xb5,\xb2\xce\xca\xfd\xc0\xe0\xd0\xcd\n");
    EXPECT_EQ(config::header(4), "ID, nome do par\xc3\xa2metro, valor, tipo de par\xc3\xa2metro\n");
    EXPECT_EQ(config::header(9), config::header(0));
}

TEST(ConfigFileParse, EmptyValuesCommasSpreadsheetColumnsAndBrokenLines)
{
    auto p = config::parseLine("1347,administrator_password,,1\r\n");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->id, 1347);
    EXPECT_EQ(p->key, "administrator_password");
    EXPECT_EQ(p->value, "");
    EXPECT_EQ(p->type, 1);
    EXPECT_EQ(config::parseLine("1353,System_Name, ,1")->value, ""); // the old files' blank
    EXPECT_EQ(config::parseLine("1353,System_Name,Hall 2, rack 4,1")->value, "Hall 2, rack 4");
    auto sheet = config::parseLine("1400,snmp_port,161,0,,,");
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->value, "161");
    EXPECT_EQ(sheet->type, 0);
    EXPECT_FALSE(config::parseLine("1400,snmp_port,161"));
    EXPECT_FALSE(config::parseLine("x,snmp_port,161,0"));
    EXPECT_FALSE(config::parseLine(""));
    EXPECT_EQ(config::parseLine("99999999999999,k,v,1")->id, 1'000'000);
}

TEST(ConfigFileImport, RangeTypeAndKeyRules)
{
    card::FakeRuntime rt;
    rt.set("administrator_password", "secret");
    rt.set("System_Name", "kept");
    const std::string file = "ID,Key,Value,Type\n"
                             "1347,administrator_password,,1\n"
                             "999,System_Name,low,1\n"
                             "1551,System_Name,high,1\n"
                             "1353,System_Name,typed,2\n"
                             "1500,SystemStartCount,0,1\n"
                             "1400,snmp_port,1161xyz,0\n"
                             "1353,System_Location,Hall 2, rack 4,1\n"
                             "garbage\n"
                             "1354,System_Location," +
                             std::string(300, 'x') + ",1\n";
    auto r = config::importText(rt, file);
    EXPECT_EQ(rt.text("administrator_password", "unset"), "");
    EXPECT_EQ(rt.text("System_Name"), "kept");
    EXPECT_FALSE(rt.has("SystemStartCount"));
    EXPECT_EQ(rt.text("snmp_port"), "1161"); // atoi of an integer line
    EXPECT_EQ(rt.text("System_Location"), "Hall 2, rack 4");
    EXPECT_EQ(r.stored, 3);
    EXPECT_EQ(r.ignored, 6);
    EXPECT_TRUE(r.refused.empty());
}

TEST(ConfigFileImport, ValuesThePagesRefuseKeepTheStoredOnes)
{
    card::FakeRuntime rt;
    rt.set("httpPort", 80);
    rt.set("mbtcp_slavePort", "502");
    rt.set("ipAddr", "10.0.0.5");
    rt.set("user_name1", "ops");
    const auto refused = [&](const std::string& lines) {
        return config::importText(rt, "header\n" + lines).refused;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(refused("1307,httpPort,8080,0\n"), V{"httpPort"});
    EXPECT_EQ(refused("1307,httpPort,502,0\n"), V{"httpPort"});
    EXPECT_EQ(refused("1307,httpPort,1502,0\n1370,mbtcp_slavePort,1502,1\n"),
              (V{"httpPort", "mbtcp_slavePort"}));
    EXPECT_EQ(refused("1301,ipAddr,10.0.0.9; reboot,1\n1302,netmask,255.255.0,1\n"),
              (V{"ipAddr", "netmask"}));
    EXPECT_EQ(refused("1317,user_right1,7,1\n1319,user_name2,admin,1\n1323,user_name3,ops,1\n"),
              (V{"user_right1", "user_name2", "user_name3"}));
    EXPECT_EQ(refused("1400,snmp_port,0,0\n1471,trap_to_ip_0,a b,1\n"),
              (V{"snmp_port", "trap_to_ip_0"}));
    EXPECT_EQ(refused("1226,email_event_0,99,0\n1218,to_email_address_0,x@y.example,1\n"), V{});
    EXPECT_EQ(rt.integer("httpPort"), 80);
    EXPECT_EQ(rt.text("mbtcp_slavePort"), "502");
    EXPECT_EQ(rt.text("ipAddr"), "10.0.0.5");
    EXPECT_FALSE(rt.has("user_right1"));
    EXPECT_FALSE(rt.has("snmp_port"));
    EXPECT_EQ(rt.integer("email_event_0"), 99);
    // A web port the file moves away from the Modbus port it also moves.
    EXPECT_EQ(refused("1307,httpPort,502,0\n1370,mbtcp_slavePort,1502,1\n"),
              V{"httpPort"}); // 502 stays refused by the network page's rule
    EXPECT_EQ(refused("1307,httpPort,8081,0\n1370,mbtcp_slavePort,8081,1\n"),
              (V{"httpPort", "mbtcp_slavePort"}));
    EXPECT_EQ(refused("1307,httpPort,8081,0\n1370,mbtcp_slavePort,80,1\n"), V{}); // 80 is freed
}

TEST(ConfigFileImport, ExportThenImportOnAnotherCardGivesEverySetting)
{
    card::FakeRuntime a;
    int n = 0;
    for (const auto& l : fileLines())
        a.set(l.key, l.type == config::Text ? "v" + std::to_string(++n) : std::to_string(++n));
    // Values the pages' checks accept where they check.
    a.set("httpPort", 8081);
    a.set("mbtcp_slavePort", "1502");
    a.set("snmp_port", 1161);
    a.set("trap_port", 1162);
    a.set("dhcpSet", "0");
    for (const char* k : {"ipAddr", "netmask", "gateway", "dns1", "dns2"})
        a.set(k, "10.1.2.3");
    for (int u = 1; u <= 8; ++u) {
        a.set("user_right" + std::to_string(u), std::to_string(u % 4));
        a.set("user_ip" + std::to_string(u), "10.1.");
    }
    for (int i = 0; i < 8; ++i) {
        a.set("snmp_manage_ip_" + std::to_string(i), "10.0.0." + std::to_string(i));
        a.set("trap_to_ip_" + std::to_string(i), "host" + std::to_string(i));
        a.set("to_email_address_" + std::to_string(i), "a" + std::to_string(i) + "@x.example");
        a.set("sms_recpt_" + std::to_string(i), "+4912345" + std::to_string(i));
        for (const char* k : {"snmp_auth_flag_", "snmp_privacy_flag_", "snmp_permission_",
                              "trap_way_", "trap_auth_", "trap_privacyflag_"})
            a.set(k + std::to_string(i), i % 3);
    }
    for (const auto& d : config::factoryDefaults())
        if (!config::importAcceptable(a, d.key, a.text(d.key), {})) a.set(d.key, d.value);

    card::FakeRuntime b;
    b.set("mbtcp_slavePort", "502");
    auto r = config::importText(b, config::exportText(a));
    EXPECT_TRUE(r.refused.empty()) << r.refused.front();
    EXPECT_EQ(r.ignored, 0);
    for (const auto& l : fileLines())
        EXPECT_EQ(b.text(l.key, "(unset)"), a.text(l.key)) << l.key;
}

// ---- the factory reset ----

TEST(FactoryReset, DefaultsInOrderAndWhatStaysAlone)
{
    const auto& d = config::factoryDefaults();
    ASSERT_FALSE(d.empty());
    EXPECT_EQ(d.front().key, "use_dev_fun1");
    EXPECT_EQ(d.back().key, "bat_change_time");
    card::FakeRuntime rt;
    rt.set("ipAddr", "10.0.0.5");
    rt.set("dhcpSet", "0");
    rt.set("cloud_sn", "CL-1");
    rt.set("user_ip3", "10.");
    rt.set("httpPort", 8081);
    config::applyFactoryDefaults(rt);
    EXPECT_EQ(rt.text("user_ip3"), "*.*.*.*");
    EXPECT_EQ(rt.integer("use_dev_fun3"), 1);
    EXPECT_EQ(rt.integer("httpPort"), 80);
    EXPECT_EQ(rt.text("in_thaddr3"), "3");
    EXPECT_EQ(rt.text("in_humil2"), "10");
    EXPECT_EQ(rt.text("mac_7_5"), "00");
    EXPECT_EQ(rt.integer("ups_baudRate"), 2400);
    EXPECT_EQ(rt.integer("sms_baudRate"), 115200);
    EXPECT_EQ(rt.integer("ntimezone"), 26);
    EXPECT_EQ(rt.text("administrator_password"), "pqlzv");
    EXPECT_EQ(rt.text("sms_admin_password"), "583041");
    EXPECT_EQ(rt.text("ipAddr"), "10.0.0.5");
    EXPECT_EQ(rt.text("dhcpSet"), "0");
    EXPECT_EQ(rt.text("cloud_sn"), "CL-1");
}

TEST(FactoryReset, RemovesTheRecordsAndRebootsThroughTheEvent)
{
    card::FakeRuntime rt;
    card::ScopedRuntime use(rt);
    const fs::path data = Sandbox::app() / "data";
    for (const char* f : {"ups_data.db", "alarm_info.db", "alarm_info.db-wal", "sms_info.db",
                          "smtp_record.db", "history.csv", "app.log", "keep.db"})
        std::ofstream(data / f) << "x";
    rt.set("httpPort", 8081);
    RestoreFactorySettings();
    EXPECT_EQ(rt.integer("httpPort"), 80);
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(data))
        left.insert(e.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"app.log", "keep.db"}));
    EXPECT_TRUE(waitForReboot());
}

// ---- pages over the fake runtime ----

class ProtoPages : public ::testing::Test
{
  protected:
    card::FakeRuntime rt;
    card::ScopedRuntime use{rt};
    Reply reply;

    std::string call(Handler fn, const std::string& body, const std::string& method = "POST",
                     int level = kAdministrator)
    {
        Request req;
        req.method = method;
        (method == "POST" ? req.body : req.query) = body;
        req.level = level;
        reply = Reply{};
        fn(req, reply);
        return reply.body;
    }
    std::string result(Handler fn, const std::string& body)
    {
        call(fn, body);
        std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(cJSON_Parse(reply.body.c_str()),
                                                            cJSON_Delete);
        const cJSON* r = cJSON_GetObjectItemCaseSensitive(doc.get(), "result");
        return cJSON_IsString(r) ? r->valuestring : "(none)";
    }
    bool restartPosted() const
    {
        for (const auto& e : rt.events)
            if (e == card::FakeRuntime::Event{card::channel::kCommand, card::event::kRestart})
                return true;
        return false;
    }
};

TEST_F(ProtoPages, EventMasksAreRebuiltFromTheFieldsSetTo1)
{
    rt.set("trap_event_1", 0xFFFF);
    EXPECT_EQ(result(ups_trapeventconfig, "userid=2&event0=1&event3=1&event4=0"), "ok");
    EXPECT_EQ(rt.integer("trap_event_1"), 9);
    EXPECT_TRUE(rt.logged("trap_event_1 : 9"));
    const std::string read = call(ups_trapeventconfig, "userid=2", "GET");
    EXPECT_NE(read.find("\"event0\":1,\"event1\":0,\"event2\":0,\"event3\":1"), std::string::npos);
    EXPECT_NE(read.find("\"userid\":2"), std::string::npos);
    EXPECT_EQ(result(ups_smsevent, "id=8&event25=1"), "ok");
    EXPECT_EQ(rt.integer("sms_event_7"), 1 << 25);
    EXPECT_EQ(result(ups_emailevent, "event1=1"), "ok"); // no selector: the first
    EXPECT_EQ(rt.integer("email_event_0"), 2);
    EXPECT_EQ(result(ups_emailevent, "id=9&event1=1"), "fail");
    EXPECT_EQ(result(ups_emailevent, "id=1&event1=yes"), "fail");
    EXPECT_EQ(rt.integer("email_event_0"), 2);
    EXPECT_FALSE(rt.has("email_event_8"));
}

TEST_F(ProtoPages, SnmpListsStoreEmptyTextsForAbsentAddressesAndHidePassPhrases)
{
    rt.set("snmp_manage_ip_3", "10.9.9.9");
    rt.set("snmp_pass_word_0", "phrase-0");
    EXPECT_EQ(
        result(ups_snmpconfig,
               "snmpv3_version=2&snmpv3_ip1=10.0.0.1&snmpv3_ip2=*.*.*.*&snmpv3_ip3=10.0.0.0/24"
               "&snmpv3_community1=public&snmpv3_auth1=1"),
        "ok");
    EXPECT_EQ(rt.text("snmp_manage_ip_0"), "10.0.0.1");
    EXPECT_EQ(rt.text("snmp_manage_ip_3", "unset"), "");
    EXPECT_EQ(rt.text("snmp_community_0"), "public");
    EXPECT_EQ(rt.text("snmp_pass_word_0"), "phrase-0"); // a hidden pass phrase stays
    EXPECT_EQ(rt.integer("snmp_auth_flag_0"), 1);
    EXPECT_FALSE(rt.has("snmp_auth_flag_1")); // integers only when present
    EXPECT_EQ(call(ups_snmpconfig, "", "GET", kViewer).find("phrase-0"), std::string::npos);
    EXPECT_NE(call(ups_snmpconfig, "", "GET", kAdministrator).find("phrase-0"), std::string::npos);
    // Hostile values refuse the write as a whole.
    EXPECT_EQ(result(ups_snmpconfig, "snmpv3_ip1=10.0.0.1%0Arocommunity+x&snmpv3_community2=a"),
              "fail");
    EXPECT_EQ(result(ups_snmpconfig, "snmpv3_community1=" + std::string(40, 'c')), "fail");
    EXPECT_EQ(rt.text("snmp_community_1"), "");
    EXPECT_EQ(result(ups_trapconfig, "trap_ip1=127.0.0.1&trap_apt1=1&sel_type=3"), "ok");
    EXPECT_EQ(rt.text("trap_to_ip_0"), "127.0.0.1");
    EXPECT_EQ(rt.integer("trap_way_0"), 1);
    EXPECT_FALSE(rt.has("sel_type"));
}

TEST_F(ProtoPages, EngineIdAndTrapReceiverUsers)
{
    EXPECT_EQ(result(ups_snmpparasettings, "snmpv3_engine_id_type=3&snmpv3_engine_id=80001F88"),
              "ok");
    EXPECT_EQ(rt.text("engineid_string"), "80001F88");
    EXPECT_EQ(result(ups_snmpparasettings, "snmpv3_engine_id_type=1&snmpv3_engine_id=AABB"), "ok");
    EXPECT_EQ(rt.text("engineid_string"), "80001F88");
    EXPECT_EQ(result(ups_snmpparasettings, "snmpv3_engine_id=80;reboot"), "fail");
    EXPECT_EQ(
        result(ups_trapuserconfig, "userid=3&trap_username=ops&trap_auth=1&trap_userpass=pw123456"),
        "ok");
    EXPECT_EQ(rt.text("trap_username_2"), "ops");
    EXPECT_EQ(rt.text("trap_userpass_2"), "pw123456");
    const std::string read = call(ups_trapuserconfig, "userid=3", "GET", kViewer);
    EXPECT_NE(read.find("\"trap_username\":\"ops\""), std::string::npos);
    EXPECT_EQ(read.find("pw123456"), std::string::npos);
    EXPECT_EQ(result(ups_trapuserconfig, "userid=12&trap_username=x"), "fail");
    EXPECT_EQ(result(ups_trapeventtest, "userid=4"), "ok");
    EXPECT_EQ(rt.events.back(), (card::FakeRuntime::Event{card::channel::kTrapTest, 4}));
    EXPECT_EQ(result(ups_trapeventtest, "userid=4;x"), "fail");
}

TEST_F(ProtoPages, TheRs485SlaveTakesTheLineFromSensorsAndPacks)
{
    rt.set("enable_485modbus", 0);
    rt.set("ths_enable", 1);
    rt.set("bms_num", 0);
    EXPECT_EQ(result(ups_485modbusinfo, "enable_485modbus=1&485modbus_baudrate=7"), "0");
    EXPECT_EQ(rt.integer("ths_enable"), 0);
    EXPECT_EQ(rt.integer("ths_baudRate"), 115200);
    EXPECT_TRUE(restartPosted());
    rt.events.clear();
    EXPECT_EQ(result(ups_485modbusinfo, "enable_485modbus=1&485modbus_slave_addr=7"), "1");
    EXPECT_FALSE(restartPosted());
    EXPECT_EQ(result(ups_485modbusinfo, "enable_485modbus=0"), "2");
    EXPECT_TRUE(restartPosted());
    EXPECT_EQ(result(ups_485modbusinfo, "485modbus_slave_addr=300"), "fail");
}

TEST_F(ProtoPages, ServicesRestartOnChangeAndRefusePortsInUse)
{
    rt.set("httpPort", 8081);
    rt.set("enable_tcp_modbus", 1);
    EXPECT_EQ(result(ups_mbtcpslaveinfo, "tcp_modbus_port=8081"), "fail");
    EXPECT_EQ(result(ups_mbtcpslaveinfo, "enable_tcp_modbus_connect_permission=1"), "1");
    EXPECT_FALSE(restartPosted());
    EXPECT_EQ(result(ups_mbtcpslaveinfo, "tcp_modbus_port=1502"), "2");
    EXPECT_EQ(rt.text("mbtcp_slavePort"), "1502");
    EXPECT_TRUE(restartPosted());
    EXPECT_EQ(result(ups_iec61850info, "IEC61850_Port=1502"), "fail");
    EXPECT_EQ(result(ups_mbtcpslaveiplist, "tcp_modbus_ip1=10.0.0.1&tcp_modbus_ip2=10.0.0.300"),
              "fail");
    EXPECT_FALSE(rt.has("tcp_modbus_ip1"));
    EXPECT_EQ(result(ups_nutinfo, "enable_nut=1"), "2");
    EXPECT_EQ(result(ups_bacnetinfo, "enable_bacnet=1&config_mib_id=77"), "2"); // unset: a change
    EXPECT_EQ(result(ups_bacnetinfo, "enable_bacnet=1"), "1");
    const std::string read = call(ups_mbtcpslaveinfo, "", "GET");
    for (const char* m :
         {"\"enable_bacnet\":1", "\"config_mib_id\":77", "\"iec61850_port\":102",
          "\"enable_nut\":1", "\"tcp_modbus_port\":\"1502\"", "\"485modbus_baudrate\""})
        EXPECT_NE(read.find(m), std::string::npos) << m;
}

TEST_F(ProtoPages, ANewCloudSerialNumberIsRecordedAndReconnects)
{
    rt.set("cloud_sn", "CL-1");
    EXPECT_EQ(result(ups_cloudsettings, "cloud_sn=CL-1"), "1");
    EXPECT_TRUE(rt.stores.empty());
    EXPECT_EQ(result(ups_cloudsettings, "cloud_sn=CL-2&enable_cloud=1"), "2");
    ASSERT_EQ(rt.stores.size(), 1u);
    EXPECT_EQ(rt.stores[0].code, card::store::kOperation);
    EXPECT_EQ(rt.stores[0].text, "cloud_sn:[CL-1]->[CL-2]");
    EXPECT_EQ(rt.value(card::kCard, SYS_CMD_CTRL_CLOUD_MQTT_RECONNECTED), 1.0f);
    EXPECT_EQ(rt.text("nchecktimeevery"), "1");
    std::string product;
    platform::readFile(platform::appPath("config/CloudProduct"), product);
    EXPECT_EQ(product, "CL-2");
    EXPECT_EQ(result(ups_cloudsettings, "cloud_sn=..%2F..%2Fetc"), "fail");
}

TEST_F(ProtoPages, MailAndSmsSettingsAndTests)
{
    rt.set("email_password", "mail-pw");
    rt.set("to_email_address_7", "old@x.example");
    EXPECT_EQ(result(ups_emailconfig, "email_serv_ip=smtp.x.example&email_serv_port=587&"
                                      "email_recpt1=ops%40x.example&email_daily_time=07:30"),
              "ok");
    EXPECT_EQ(rt.text("to_email_address_0"), "ops@x.example");
    EXPECT_EQ(rt.text("to_email_address_7", "unset"), "");
    EXPECT_EQ(rt.text("email_password"), "mail-pw");
    EXPECT_EQ(rt.integer("email_port"), 587);
    EXPECT_EQ(result(ups_emailconfig, "email_recpt1=a%40b.example%0ABcc:x"), "fail");
    EXPECT_EQ(result(ups_emailtest, "email_Test_recpt=ops%40x.example"), "ok");
    EXPECT_EQ(rt.text("test_email_To"), "ops@x.example");
    EXPECT_EQ(rt.events.back(), (card::FakeRuntime::Event{card::channel::kMailStart, 100}));
    EXPECT_EQ(result(ups_emailtest, "email_Test_recpt=-oProxyCommand%3Dx"), "fail");

    std::ofstream(Sandbox::app() / "data" / "test_sms.log") << "old";
    EXPECT_EQ(result(ups_smssettings, "smsbaudrate=3&sms_recpt1=%2B4915112345&sms_ctrl1=1"), "ok");
    EXPECT_EQ(rt.integer("sms_baudRate"), 9600);
    EXPECT_EQ(rt.text("sms_recpt_0"), "+4915112345");
    EXPECT_EQ(rt.text("sms_ctrl_0"), "1");
    EXPECT_FALSE(rt.has("sms_ctrl_1"));
    EXPECT_EQ(result(ups_smstest, "sms_Test_recpt=%2B4915112345"), "ok");
    EXPECT_FALSE(fs::exists(Sandbox::app() / "data" / "test_sms.log"));
    EXPECT_EQ(rt.events.back(), (card::FakeRuntime::Event{card::channel::kSmsStart, 200}));
    EXPECT_EQ(result(ups_smstest, "sms_Test_recpt=123;reboot"), "fail");
    const std::string read = call(ups_smssettings, "", "GET");
    EXPECT_NE(read.find("\"show_sms_conf\""), std::string::npos);
    EXPECT_NE(read.find("\"sms_recpt\":[\"+4915112345\""), std::string::npos);
}

// ---- upload and download ----

std::string multipart(const std::string& name, const std::string& data)
{
    return "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + name +
           "\"\r\nContent-Type: text/csv\r\n\r\n" + data + "\r\n--XyZ--\r\n";
}

TEST_F(ProtoPages, UploadsImportOnlyTheConfigurationFileByItsBaseName)
{
    const fs::path config = Sandbox::app() / "config";
    auto upload = [&](const std::string& name, const std::string& data) {
        Request req;
        req.method = "POST";
        req.contentType = "multipart/form-data; boundary=XyZ";
        req.body = multipart(name, data);
        req.level = kAdministrator;
        reply = Reply{};
        ups_updatesettings(req, reply);
        for (const auto& [k, v] : reply.headers)
            if (k == "Set-Cookie") return v;
        return std::string("(none)");
    };
    const std::string file = "ID,Key,Value,Type\n1353,System_Name,Hall 2,1\n1307,httpPort,8080,0\n";
    EXPECT_EQ(upload("settings.csv", file), "UpdateFlag=3");
    EXPECT_FALSE(rt.has("System_Name"));
    EXPECT_FALSE(fs::exists(config / "settings.csv"));
    EXPECT_EQ(upload("../../system_config.csv.sh", file), "UpdateFlag=3");
    EXPECT_EQ(upload("x", std::string(config::kMaxUpload + 1, 'x')), "UpdateFlag=4");
    EXPECT_FALSE(waitForReboot(15));

    rt.set("httpPort", 80);
    EXPECT_EQ(upload("..\\..\\system_config.csv", file), "UpdateFlag=2");
    EXPECT_EQ(rt.text("System_Name"), "Hall 2");
    EXPECT_EQ(rt.integer("httpPort"), 80);
    EXPECT_NE(reply.body.find("refused: httpPort"), std::string::npos);
    EXPECT_TRUE(waitForReboot());
    for (const auto& e : fs::recursive_directory_iterator(Sandbox::root())) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name != "settings.csv" && name != "system_config.csv.sh" && name != "x")
            << name;
    }

    Request bad;
    bad.method = "POST";
    bad.body = "no upload";
    reply = Reply{};
    ups_updatesettings(bad, reply);
    EXPECT_NE(reply.body.find("result=0"), std::string::npos);

    rt.set("Module_Language", 1);
    call(ups_savecurrentsettings, "", "GET");
    EXPECT_EQ(reply.kind, Reply::Kind::File);
    std::string saved;
    platform::readFile(reply.file, saved);
    EXPECT_EQ(saved, config::exportText(rt));
}

} // namespace
} // namespace web
