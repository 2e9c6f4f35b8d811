/*
 * pages_status.cpp - live status answers: identity and debug switch, sensor
 * links, module and phase counts, identification progress, the SMS modem,
 * the last test mail and test SMS, the current alarm list and the about page.
 * All of them read the signal and settings stores at each request.
 */
#include "pages.hpp"

#include "card_rules.hpp"
#include "platform.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace web
{

namespace
{

constexpr size_t kTestResultBytes = 300;
constexpr int kAlarmsPerPage = 15;
constexpr size_t kMaxAlarmIndex = 65;

void addSetting(cJSON* o, const char* member, const char* key)
{
    cJSON_AddStringToObject(o, member, card::rt().text(key).c_str());
}

void send(Reply& reply, const pages::Json& doc)
{
    sendResult(reply, doc.get());
}

// The first line of a file (without its line end), at most `max` bytes.
std::optional<std::string> firstLine(const std::string& path, size_t max)
{
    std::string text;
    if (!platform::readFile(path, text, max)) return std::nullopt;
    const size_t end = text.find_first_of("\r\n");
    if (end != std::string::npos) text.resize(end);
    return text;
}

// {"totalnum": 1, "data": [text]} or {"totalnum": 0, "data": []}.
void sendTestResult(Reply& reply, const std::optional<std::string>& text)
{
    auto doc = pages::newObject();
    const bool have = text && !text->empty();
    cJSON_AddNumberToObject(doc.get(), "totalnum", have ? 1 : 0);
    cJSON* list = cJSON_AddArrayToObject(doc.get(), "data");
    if (have) cJSON_AddItemToArray(list, cJSON_CreateString(text->c_str()));
    send(reply, doc);
}

std::string macAddress(const char* ifname)
{
    unsigned char mac[6] = {0};
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        struct ifreq ifr {
        };
        std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
        if (::ioctl(fd, SIOCGIFHWADDR, &ifr) == 0) std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
        ::close(fd);
    }
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

// The clock task's server, from the one list both read.
std::string timeServer()
{
    return card::timeServerName(card::rt());
}

} // namespace

namespace pages
{

bool isStateIndex(int index)
{
    return index == 1 || index == 8 || (index >= 23 && index <= 28) || index == 64;
}

int isNewFlag(const std::vector<int>& indexes)
{
    if (indexes.empty()) return 0;
    return std::all_of(indexes.begin(), indexes.end(), isStateIndex) ? 2 : 1;
}

std::vector<int> alarmList(std::string_view ids, size_t max)
{
    std::vector<int> out;
    while (!ids.empty() && out.size() < max) {
        const size_t comma = ids.find(',');
        const std::string_view item = ids.substr(0, comma);
        int v = 0;
        const auto [p, ec] = std::from_chars(item.data(), item.data() + item.size(), v);
        if (ec == std::errc() && p != item.data()) out.push_back(v & 0xff);
        if (comma == std::string_view::npos) break;
        ids.remove_prefix(comma + 1);
    }
    return out;
}

} // namespace pages

void ups_deviceid(const Request& req, Reply& reply)
{
    if (req.isPost()) return;
    auto doc = pages::newObject();
    cJSON_AddStringToObject(doc.get(), "deviceid", "0");
    cJSON_AddNumberToObject(doc.get(), "is_save_log", card::rt().integer("enable_debug", 0));
    send(reply, doc);
}

void ups_thsstatus(const Request& req, Reply& reply)
{
    if (req.isPost()) return;
    auto doc = pages::newObject();
    for (int n = 1; n <= card::kSensorModules; ++n) {
        const std::string member = "comm_status" + std::to_string(n);
        cJSON_AddNumberToObject(
            doc.get(), member.c_str(),
            card::rt().intValue(card::kSensors, Alarm_TH1_CommunicationsLost + n - 1));
    }
    send(reply, doc);
}

void ups_getmodulenum(const Request& req, Reply& reply)
{
    if (req.isPost()) {
        resultOk(reply, 1);
        return;
    }
    card::Runtime& rt = card::rt();
    auto doc = pages::newObject();
    cJSON_AddNumberToObject(doc.get(), "module_num", 1);
    cJSON_AddNumberToObject(doc.get(), "ups_type", card::upsType(rt));
    cJSON_AddNumberToObject(doc.get(), "inp_phase", rt.intValue(card::kUps, Data_InputNumLines));
    cJSON_AddNumberToObject(doc.get(), "out_phase", rt.intValue(card::kUps, Data_OutputNumLines));
    cJSON_AddNumberToObject(doc.get(), "byp_phase", rt.intValue(card::kUps, Data_BypassNumLines));
    send(reply, doc);
}

void ups_IdentifyProgress(const Request& req, Reply& reply)
{
    if (req.isPost()) return;
    const float v = card::rt().value(card::kUps, Data_auto_identify_Progress);
    auto doc = pages::newObject();
    cJSON_AddNumberToObject(doc.get(), "progress", v >= 0 && v <= 100 ? static_cast<int>(v) : 0);
    send(reply, doc);
}

void ups_smsstatus(const Request&, Reply& reply)
{
    static const char* const kModem[][2] = {
        {"show_sms_signal", "sms_signal"},     {"show_sms_maker", "sms_maker"},
        {"show_sms_model", "sms_model"},       {"show_sms_soft", "sms_soft"},
        {"show_sms_operater", "sms_operater"}, {"show_sms_center", "sms_center"},
    };
    card::Runtime& rt = card::rt();
    auto doc = pages::newObject();
    const std::string conf = rt.text("sms_conf");
    cJSON_AddStringToObject(doc.get(), "show_sms_conf", conf.c_str());
    const bool present = std::atoi(conf.c_str()) == 1;
    for (const auto& m : kModem)
        cJSON_AddStringToObject(doc.get(), m[0], present ? rt.text(m[1]).c_str() : "");
    send(reply, doc);
}

void ups_emailtestresult(const Request&, Reply& reply)
{
    sendTestResult(reply, firstLine(platform::sysPath("/var/log/msmtp.log"), kTestResultBytes));
}

void ups_smstestresult(const Request&, Reply& reply)
{
    std::string text;
    std::optional<std::string> result;
    if (platform::readFile(platform::appPath("data/test_sms.log"), text, kTestResultBytes))
        result = text.substr(0, std::min(text.size(), std::strlen(text.c_str())));
    sendTestResult(reply, result);
}

void ups_currentalarm(const Request&, Reply& reply)
{
    card::Runtime& rt = card::rt();
    const int n = std::clamp(rt.integer("curr_alarm_num", 0), 0, int(kMaxAlarmIndex) + 1);
    const std::vector<int> all =
        pages::alarmList(rt.text("curr_alarm_id"), static_cast<size_t>(n) + 1);
    // n entries are listed; a shorter id list lists what it holds.
    const std::vector<int> listed(all.begin(),
                                  all.begin() + std::min<ptrdiff_t>(n, ptrdiff_t(all.size())));

    auto doc = pages::newObject();
    cJSON_AddNumberToObject(doc.get(), "totalpage", (n + kAlarmsPerPage - 1) / kAlarmsPerPage);
    cJSON* list = cJSON_AddArrayToObject(doc.get(), "data");
    const std::string sysName = rt.text("System_Name");
    for (int index : listed) {
        cJSON* row = cJSON_CreateObject();
        cJSON_AddStringToObject(row, "sys_name", sysName.c_str());
        cJSON_AddStringToObject(row, "device", "0");
        cJSON_AddStringToObject(row, "Subdevice", "0");
        cJSON_AddStringToObject(row, "deviceNo", "1");
        cJSON_AddNumberToObject(row, "event", index);
        cJSON_AddStringToObject(row, "start_time",
                                card::timeText(card::alarmStart(rt, index)).c_str());
        cJSON_AddItemToArray(list, row);
    }
    cJSON_AddNumberToObject(doc.get(), "IsNew", pages::isNewFlag(listed));
    send(reply, doc);
}

void ups_aboutinfo(const Request&, Reply& reply)
{
    card::Runtime& rt = card::rt();
    auto doc = pages::newObject();
    cJSON* o = doc.get();
    addSetting(o, "config_mib_name", "System_Name");
    addSetting(o, "config_mib_cont", "System_Admin");
    addSetting(o, "config_mib_loc", "System_Location");
    cJSON_AddStringToObject(o, "hard_version",
                            rt.integer("is_mem_64M", 0) == 1 ? card::kHardwareVersion64M
                                                             : card::kHardwareVersion32M);
    cJSON_AddStringToObject(o, "firm_version", card::kFirmwareVersion);
    cJSON_AddStringToObject(
        o, "serial_num", firstLine(platform::appPath("config/PRODUCT"), 50).value_or("").c_str());
    cJSON_AddStringToObject(o, "total_run_time",
                            card::durationText(rt.integer("system_run_time", 0)).c_str());
    cJSON_AddStringToObject(o, "mac_addr", macAddress("eth0").c_str());
    addSetting(o, "config_ip", "ipAddr");
    addSetting(o, "config_msk", "netmask");
    addSetting(o, "config_gat", "gateway");
    addSetting(o, "config_dns1", "dns1");
    addSetting(o, "config_dns2", "dns2");
    addSetting(o, "email_serv_ip", "email_server_address");
    cJSON_AddStringToObject(o, "time_server", timeServer().c_str());
    cJSON_AddStringToObject(o, "online_mode", "100Mbps");
    addSetting(o, "ups_last_self_test_time", "ups_auto_test_cur_time");
    addSetting(o, "ups_next_self_test_time", "ups_auto_test_next_time");
    addSetting(o, "last_batt_replace_time", "bat_change_time");
    addSetting(o, "email_daily_report_time", "report_time");
    addSetting(o, "send_alarm_time", "sche_bef_min");
    addSetting(o, "cloud_sn", "cloud_sn");
    send(reply, doc);
}

} // namespace web
