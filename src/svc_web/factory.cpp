/*
 * factory.cpp - the factory reset: the card's default settings as one table,
 * and the reset itself (defaults, record databases and CSV exports removed,
 * reboot). The network addresses and the cloud serial number are not in the
 * table: a reset must not cut the card off its network or its cloud account.
 */
#include "config_file.hpp"
#include "pages_settings.hpp"

#include "platform.hpp"
#include "web.hpp"

#include <filesystem>

namespace web::config
{

namespace
{

// Keys (each may hold "%d" for n in from..to) and their defaults: one value
// for every key, one per key, or (one key) one per n.
struct DefaultRow {
    std::vector<const char*> keys;
    std::vector<const char*> values;
    int from = 0, to = 0;
};

// In the order the card has always stored them.
const std::vector<DefaultRow>& defaultRows()
{
    static const std::vector<DefaultRow> rows = {
        {{"use_dev_fun%d"}, {"1"}, 1, 7},
        {{"sche_bef_min", "sel_down", "sel_batlow", "sel_overtemp", "sel_overload",
          "config_test_period", "config_test_weekly", "config_test_type"},
         {"0"}},
        {{"down_time", "bat_time", "temp_time", "load_time", "cycleTime"}, {"1"}},
        {{"config_test_time"}, {"00:00"}},
        {{"config_test_pre_time"}, {"5"}},
        {{"ups_auto_test_cur_time", "ups_auto_test_next_time"}, {""}},
        {{"ups_auto_test_last_time"}, {"0"}},
        {{"sched_on%d", "sched_off%d", "ssched_d%d", "ssched_on%d", "ssched_off%d"}, {""}, 1, 7},
        {{"wakeport"}, {"9527"}},
        {{"WakeEnabled_%d"}, {"0"}, 0, 7},
        {{"mac_%d_0", "mac_%d_1", "mac_%d_2", "mac_%d_3", "mac_%d_4", "mac_%d_5"}, {"00"}, 0, 7},
        {{"remote"}, {"0"}},
        {{"in_tast1", "in_tast5", "in_tast15", "in_tast16"}, {"1"}},
        {{"ths_baudRate", "ths_dataBits", "ths_checkway", "ths_stopBits"}, {"9600", "8", "0", "1"}},
        {{"ths_enable"}, {"0"}},
        {{"curr_module_num"}, {"0"}},
        {{"in_thaddr%d"}, {"1", "2", "3", "4"}, 1, 4},
        {{"in_temph%d", "in_templ%d", "in_humih%d", "in_humil%d", "temp_conver%d"},
         {"60", "15", "80", "10", "100"},
         1,
         4},
        {{"smtp_enable"}, {"0"}},
        {{"email_server_address", "smtp_proxy_ip", "smtp_proxy_port", "from_email_address",
          "email_username", "email_password", "report_time"},
         {""}},
        {{"email_port", "smtp_proxy_enable", "auth_flag", "login_flag", "daily_report_flag",
          "sent_event_flag", "email_starttls"},
         {"0"}},
        {{"day_to_email_address_%d"}, {""}, 0, 3},
        {{"to_email_address_%d"}, {""}, 0, 7},
        {{"email_event_%d", "sms_event_%d"}, {"0"}, 0, 7},
        {{"sms_enable", "sms_checkway", "network_standard", "sms_alarm_is_enable", "registered_num",
          "sms_language"},
         {"0"}},
        {{"sms_baudRate", "sms_dataBits", "sms_stopBits"}, {"115200", "8", "1"}},
        {{"sms_recpt_%d"}, {""}, 0, 7},
        {{"sms_ctrl_%d"}, {"0"}, 0, 7},
        {{"sms_system_name"}, {""}},
        {{"sms_admin_password"}, {"583041"}},
        {{"sms_user_enable_%d", "sms_report_time_%d", "sms_select_alarm_%d", "sms_dial_%d"},
         {"0"},
         0,
         7},
        {{"sms_telephone_code_%d", "sms_user_telephone_%d"}, {""}, 0, 7},
        {{"enable_ipv6", "httpType"}, {"0"}},
        {{"httpPort"}, {"80"}},
        {{"ddn_service_provider", "stun_service"}, {"0"}},
        {{"ddn_resolution_name", "ddn_login_name", "ddn_login_pass", "stun_ipaddr_0",
          "stun_ipaddr_1"},
         {""}},
        {{"user_name%d", "user_pass%d", "user_right%d"}, {""}, 1, 8},
        {{"user_ip%d"}, {"*.*.*.*"}, 1, 8},
        {{"administrator_password"}, {"pqlzv"}},
        {{"interface_language", "Module_Language"}, {"0"}},
        {{"System_Name", "System_Admin", "System_Location", "otherser"}, {""}},
        {{"nchecktimeevery", "sel_server", "time_select"}, {"0"}},
        {{"ntimezone", "time_dst"}, {"26", "1"}},
        {{"mbtcp_slavePort"}, {"502"}},
        {{"System_Object_Id"}, {"1"}},
        {{"enable_tcp_modbus_connect_permission"}, {"0"}},
        {{"tcp_modbus_ip%d"}, {""}, 1, 8},
        {{"snmp_port", "trap_port"}, {"161", "162"}},
        {{"snmpv3_version", "trap_snmp_version", "engine_id_type"}, {"0"}},
        {{"trap_send_count", "trap_send_time"}, {"5", "5"}},
        {{"snmp_manage_ip_%d", "snmp_community_%d", "snmp_user_%d", "snmp_pass_word_%d",
          "snmp_privacy_password_%d"},
         {""},
         0,
         7},
        {{"snmp_auth_flag_%d", "snmp_privacy_flag_%d", "snmp_permission_%d"}, {"0"}, 0, 7},
        {{"trap_to_ip_%d", "trap_community_%d", "trap_username_%d", "trap_userpass_%d",
          "trap_privacy_pass_%d"},
         {""},
         0,
         7},
        {{"trap_way_%d", "trap_auth_%d", "trap_privacyflag_%d", "trap_event_%d"}, {"0"}, 0, 7},
        {{"enable_debug", "enable_tcp_modbus", "tcp_modbus_pro", "enable_bacnet",
          "enable_485modbus", "485modbus_pro", "enable_cloud", "cloud_pro", "bms_num", "bms_pro",
          "en_bms_auto_send_ups", "enable_identify", "ups_type", "ups_paralleraddr",
          "battery_enable_type", "ups_checkway"},
         {"0"}},
        {{"485modbus_slave_addr", "bms_start_addr", "ups_addr", "battery_packs_number"}, {"1"}},
        {{"battery_sections_number"}, {"16"}},
        {{"ups_data_record_minute"}, {"5"}},
        {{"communication_timeout"}, {"30"}},
        {{"ups_baudRate", "ups_dataBits", "ups_stopBits"}, {"2400", "8", "1"}},
        {{"bat_change_time"}, {""}},
    };
    return rows;
}

std::string withIndex(const char* pattern, int n)
{
    std::string key = pattern;
    size_t at = key.find("%d");
    if (at != std::string::npos) key.replace(at, 2, std::to_string(n));
    return key;
}

// The record databases and the exports made from them.
constexpr const char* kRecordFiles[] = {
    "/root/app/data/ups_data.db", "/root/app/data/alarm_info.db", "/root/app/data/sms_info.db",
    "/root/app/data/smtp_record.db"};

void removeWithJournal(const std::string& path)
{
    std::error_code ec;
    for (const char* tail : {"", "-wal", "-shm", "-journal"})
        std::filesystem::remove(path + tail, ec);
}

} // namespace

const std::vector<Default>& factoryDefaults()
{
    static const std::vector<Default> defaults = [] {
        std::vector<Default> out;
        for (const DefaultRow& row : defaultRows())
            for (int n = row.from; n <= row.to; ++n)
                for (size_t k = 0; k < row.keys.size(); ++k) {
                    const char* value = row.values.size() == 1 ? row.values[0]
                                        : row.keys.size() == 1
                                            ? row.values[static_cast<size_t>(n - row.from)]
                                            : row.values[k];
                    out.push_back({withIndex(row.keys[k], n), value});
                }
        return out;
    }();
    return defaults;
}

void applyFactoryDefaults(card::Runtime& rt)
{
    for (const Default& d : factoryDefaults())
        rt.save(d.key, d.value);
}

void removeRecords()
{
    for (const char* file : kRecordFiles)
        removeWithJournal(platform::appPath(file));
    std::error_code ec;
    const std::filesystem::path data = platform::appPath("/root/app/data");
    for (const auto& entry : std::filesystem::directory_iterator(data, ec))
        if (entry.path().extension() == ".csv") std::filesystem::remove(entry.path(), ec);
}

void rebootAfter(int delayMs)
{
    card::rt().log("[reboot] the card starts again with its new settings");
    if (delayMs <= 0)
        settings::rebootCard();
    else
        settings::afterAnswer(delayMs, settings::rebootCard);
}

void factoryReset(int delayMs)
{
    card::Runtime& rt = card::rt();
    rt.log("[factory] restoring the factory settings");
    applyFactoryDefaults(rt);
    // The administrator password is the factory one again, and the first
    // login asks for a new one: the runtime account's record follows it, so
    // that choice reaches the system account too (which keeps its password
    // until then).
    if (!rt.text("passwd_admin").empty()) rt.save("passwd_admin", "");
    removeRecords();
    rebootAfter(delayMs);
}

} // namespace web::config

namespace web
{

void ups_recoverfactorysettings(const Request&, Reply& reply)
{
    config::factoryReset(1000); // the answer leaves before the reboot
    resultOk(reply, 1);
}

} // namespace web
