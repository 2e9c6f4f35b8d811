/*
 * pages_settings_proto.cpp - the settings pages of the network-facing
 * services: the SNMP agent and its traps, the Modbus slaves on TCP and on the
 * RS-485 line, BACnet, IEC 61850, NUT, the cloud link, and e-mail and SMS
 * notification with their event masks and test messages.
 *
 * Each page is a field table over the settings-page walk (settings_page.hpp);
 * the tables are built once, when the plug-in loads, so that a configuration
 * import checks these settings by the same rules as the pages. Lists whose
 * page fields count from 1 store under keys that count from 0 (shifted()).
 * The event-mask pages share one handler: bit i of the mask is the field
 * "event<i>".
 */
#include "pages.hpp"
#include "pages_settings.hpp"
#include "settings_page.hpp"

#include "card_runtime.hpp"
#include "platform.hpp"

#include <cjson/cJSON.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace web
{

namespace
{

namespace sp = settings;
using sp::Field;
using sp::Page;

constexpr int kListRows = 8;   // managers, trap receivers, recipients
constexpr int kReportRows = 4; // daily report recipients
constexpr int kEventBits = 26; // bits of an event mask

// ---- checks of page values ----

// An SNMP manager: any ("" or "*.*.*.*"), an address, or an address/prefix.
bool managerAddress(std::string_view v)
{
    if (v.empty() || v == "*.*.*.*" || sp::ipAddress(v)) return true;
    const size_t slash = v.find('/');
    if (slash == std::string_view::npos || !sp::ipAddress(v.substr(0, slash))) return false;
    const std::string_view bits = v.substr(slash + 1);
    return !bits.empty() && bits.size() <= 3 && sp::integerText(bits) && bits[0] != '+' &&
           bits[0] != '-' && std::atoi(std::string(bits).c_str()) <= 128;
}

bool hostOrEmpty(std::string_view v)
{
    return v.empty() || sp::hostName(v);
}

bool ipOrEmpty(std::string_view v)
{
    return v.empty() || sp::ipAddress(v);
}

// A mail address as the mail program takes it: local@domain, no blanks,
// quotes or angle brackets.
bool mailAddress(std::string_view v)
{
    const size_t at = v.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 >= v.size()) return false;
    if (v.find('@', at + 1) != std::string_view::npos) return false;
    for (char c : v)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || c == '"' || c == '<' ||
            c == '>' || c == '\\' || c == ',' || c == ';')
            return false;
    return sp::hostName(v.substr(at + 1));
}

bool mailOrEmpty(std::string_view v)
{
    return v.empty() || mailAddress(v);
}

// A telephone number: an optional '+', then 3 to 20 digits.
bool phoneNumber(std::string_view v)
{
    if (!v.empty() && v[0] == '+') v.remove_prefix(1);
    if (v.size() < 3 || v.size() > 20) return false;
    for (char c : v)
        if (c < '0' || c > '9') return false;
    return true;
}

bool phoneOrEmpty(std::string_view v)
{
    return v.empty() || phoneNumber(v);
}

bool timeOrEmpty(std::string_view v)
{
    return v.empty() || sp::timeOfDay(v);
}

bool portOrEmpty(std::string_view v)
{
    return v.empty() || sp::portNumber(v);
}

// The cloud serial number: letters, digits, '-' and '_'.
bool serialText(std::string_view v)
{
    if (v.empty()) return true;
    for (char c : v)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '-' || c == '_'))
            return false;
    return true;
}

// A community or user name for the agent's configuration: printable, no blank.
bool snmpWord(std::string_view v)
{
    for (char c : v)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
    return true;
}

// SNMP names and pass phrases hold at most 31 bytes (the agent's field).
constexpr size_t kSnmpName = 32;

// ---- tables ----

std::string numbered(const char* pattern, int n)
{
    std::string s = pattern;
    const size_t at = s.find("%d");
    if (at != std::string::npos) s.replace(at, 2, std::to_string(n));
    return s;
}

// Adds the fields of `pattern` for n = 1..rows (n-major), their names
// numbered n and their keys n - 1.
Page shifted(Page page, std::initializer_list<Field> pattern, int rows)
{
    for (int n = 1; n <= rows; ++n)
        for (Field f : pattern) {
            const std::string key = numbered(f.key, n - 1);
            f.key = key.c_str(); // copied by list()
            page.list({f}, n, n);
        }
    return page;
}

// Fields of one receiver of a selector page ("trap_username" of receiver u
// is "trap_username_<u-1>").
Page receiver(std::initializer_list<Field> pattern, int u)
{
    Page page{std::initializer_list<Field>{}};
    for (Field f : pattern) {
        const std::string key = numbered(f.key, u - 1);
        f.key = key.c_str();
        page.list({f}, u, u);
    }
    return page;
}

using sp::Int;
using sp::Text;
constexpr unsigned kRestart = sp::kRestart;
constexpr unsigned kEmpty = sp::kAbsentEmpty;
constexpr unsigned kSecret = sp::kSecret;
constexpr auto kFlag = sp::range(0, 1);
constexpr auto kPort = sp::range(1, 65535);

// "/SnmpParaSettings" (the engine id is handled beside the table).
const Page kSnmpPara({
    {"snmpport", "snmp_port", Int, "161", 0, nullptr, kPort},
    {"trapport", "trap_port", Int, "162", 0, nullptr, kPort},
    {"trap_req_time", "trap_send_count", Int, "5", 0, nullptr, sp::range(0, 100)},
    {"trap_interval", "trap_send_time", Int, "5", 0, nullptr, sp::range(0, 3600)},
    {"snmpv3_engine_id_type", "engine_id_type", Int, "0", 0, nullptr, sp::range(0, 3)},
    {"snmp_net_style", "snmp_net_type", Int, "0", 0, nullptr, kFlag},
    {"snmp_mibType", "mibType", Int, "0", 0, nullptr, kFlag},
});

const Page kSnmpConfig = shifted(
    Page({{"snmpv3_version", "snmpv3_version", Int, "0", 0, nullptr, sp::range(0, 2)}}),
    {
        {"snmpv3_ip%d", "snmp_manage_ip_%d", Text, "", kEmpty, managerAddress},
        {"snmpv3_community%d", "snmp_community_%d", Text, "", kEmpty, snmpWord, {}, kSnmpName},
        {"snmpv3_username%d", "snmp_user_%d", Text, "", kEmpty, snmpWord, {}, kSnmpName},
        {"snmpv3_userpass%d",
         "snmp_pass_word_%d",
         Text,
         "",
         kEmpty | kSecret,
         nullptr,
         {},
         kSnmpName},
        {"snmpv3_privacy_pass%d",
         "snmp_privacy_password_%d",
         Text,
         "",
         kEmpty | kSecret,
         nullptr,
         {},
         kSnmpName},
        {"snmpv3_auth%d", "snmp_auth_flag_%d", Int, "0", 0, nullptr, sp::range(0, 2)},
        {"snmpv3_privacyflag%d", "snmp_privacy_flag_%d", Int, "0", 0, nullptr, sp::range(0, 2)},
        {"snmpv3_permission%d", "snmp_permission_%d", Int, "0", 0, nullptr, sp::range(0, 2)},
    },
    kListRows);

const Page kTrapConfig = shifted(
    Page({{"trap_snmp_version", "trap_snmp_version", Int, "0", 0, nullptr, sp::range(0, 2)}}),
    {
        {"trap_ip%d", "trap_to_ip_%d", Text, "", kEmpty, hostOrEmpty},
        {"trap_comu%d", "trap_community_%d", Text, "", kEmpty, snmpWord, {}, kSnmpName},
        {"trap_apt%d", "trap_way_%d", Int, "0", 0, nullptr, sp::range(0, 2)},
    },
    kListRows);

// "/TrapUserConfig": one table per receiver.
const std::vector<Page>& trapUsers()
{
    static const std::vector<Page> pages = [] {
        std::vector<Page> v;
        for (int u = 1; u <= kListRows; ++u)
            v.push_back(receiver(
                {
                    {"trap_username", "trap_username_%d", Text, "", 0, snmpWord, {}, kSnmpName},
                    {"trap_auth", "trap_auth_%d", Int, "0", 0, nullptr, sp::range(0, 2)},
                    {"trap_userpass",
                     "trap_userpass_%d",
                     Text,
                     "",
                     kSecret,
                     nullptr,
                     {},
                     kSnmpName},
                    {"trap_privacyflag", "trap_privacyflag_%d", Int, "0", 0, nullptr,
                     sp::range(0, 2)},
                    {"trap_privacy_pass",
                     "trap_privacy_pass_%d",
                     Text,
                     "",
                     kSecret,
                     nullptr,
                     {},
                     kSnmpName},
                },
                u));
        return v;
    }();
    return pages;
}
// Built with the plug-in, so that an import knows these settings' rules.
[[maybe_unused]] const bool kTrapUsersBuilt = !trapUsers().empty();

const Page kMbtcp({
    {"enable_tcp_modbus", "enable_tcp_modbus", Int, "1", kRestart, nullptr, kFlag},
    {"tcp_modbus_port", "mbtcp_slavePort", Int, "502", kRestart | sp::kNumberText, nullptr, kPort},
    {"enable_tcp_modbus_connect_permission", nullptr, Int, "0", 0, nullptr, kFlag},
    {"tcp_modbus_pro", "tcp_modbus_pro", Int, "0", kRestart, nullptr, sp::range(0, 9)},
});

const Page kMbtcpIps =
    Page(std::initializer_list<Field>{})
        .list({{"tcp_modbus_ip%d", nullptr, Text, "", kRestart, ipOrEmpty}}, 1, kListRows);
const Page kMbtcpPermission({{"enable_tcp_modbus_connect_permission", nullptr, Int, "0", kRestart,
                              nullptr, kFlag}});

const Page kRs485({
    {"enable_485modbus", "enable_485modbus", Int, "1", kRestart, nullptr, kFlag},
    {"485modbus_baudrate", "ths_baudRate", sp::Baud},
    {"485modbus_data", "ths_dataBits", sp::DataBits},
    {"485modbus_parity", "ths_checkway", sp::Parity},
    {"485modbus_stop", "ths_stopBits", sp::StopBits},
    {"485modbus_slave_addr", "485modbus_slave_addr", Int, "1", 0, nullptr, sp::range(1, 247)},
    {"485modbus_pro", "485modbus_pro", Int, "0", kRestart, nullptr, sp::range(0, 9)},
});

const Page kBacnet({
    {"enable_bacnet", "enable_bacnet", Int, "1", kRestart, nullptr, kFlag},
    {"config_mib_id", "System_Object_Id", Int, "1", 0, nullptr, sp::range(0, 4194302)},
});

const Page kIec61850({
    {"enable_iec61850", "enable_iec61850", Int, "0", kRestart, nullptr, kFlag},
    {"IEC61850_Port", "iec61850_port", Int, "102", kRestart, nullptr, kPort},
});

const Page kNut({{"enable_nut", "enable_nut", Int, "0", kRestart, nullptr, kFlag}});

const Page kCloud({
    {"enable_cloud", "enable_cloud", Int, "0", kRestart, nullptr, kFlag},
    {"cloud_pro", "cloud_pro", Int, "0", kRestart, nullptr, sp::range(0, 9)},
    {"cloud_sn", "cloud_sn", Text, "", 0, serialText, {}, 33},
});

const Page kEmail = shifted(
    shifted(Page({
                {"email_serv_ip", "email_server_address", Text, "", 0, hostOrEmpty, {}, 64},
                {"email_serv_port", "email_port", Int, "0", 0, nullptr, sp::range(0, 65535)},
                {"email_used_agent_serv", "smtp_proxy_enable", Int, "0", 0, nullptr, kFlag},
                {"email_agent_serv", "smtp_proxy_ip", Text, "", 0, hostOrEmpty, {}, 64},
                {"email_sender", "from_email_address", Text, "", 0, mailOrEmpty, {}, 64},
                {"cmdEHLO", "auth_flag", Int, "0", 0, nullptr, kFlag},
                {"Lflag", "login_flag", Int, "0", 0, nullptr, kFlag},
                {"username", "email_username", Text, "", 0, nullptr, {}, 64},
                {"password", "email_password", Text, "", kSecret, nullptr, {}, 64},
                {"email_send_daily", "daily_report_flag", Int, "0", 0, nullptr, kFlag},
                {"email_daily_time", "report_time", Text, "", 0, timeOrEmpty},
                {"email_send_trap", "sent_event_flag", Int, "0", 0, nullptr, kFlag},
                {"email_agent_port", "smtp_proxy_port", Text, "", 0, portOrEmpty},
                {"is_used_email", "smtp_enable", Int, "0", 0, nullptr, kFlag},
                {"starttls", "email_starttls", Int, "0", 0, nullptr, sp::range(0, 2)},
            }),
            {{"report_recpt%d", "day_to_email_address_%d", Text, "", kEmpty, mailOrEmpty, {}, 64}},
            kReportRows),
    {{"email_recpt%d", "to_email_address_%d", Text, "", kEmpty, mailOrEmpty, {}, 64}}, kListRows);

const Page kSms =
    shifted(Page({
                {"smsbaudrate", "sms_baudRate", sp::Baud},
                {"smsdata", "sms_dataBits", sp::DataBits},
                {"smsparity", "sms_checkway", sp::Parity},
                {"smsstop", "sms_stopBits", sp::StopBits},
                {"sms_Enable", "sms_enable", Int, "0", 0, nullptr, kFlag},
                {"sel_stype", "network_standard", Int, "0", 0, nullptr, sp::range(0, 9)},
                {"sms_sendEnable", "sms_alarm_is_enable", Int, "0", 0, nullptr, kFlag},
                {"sms_dcs", "sms_Dcs", Int, "24", 0, nullptr, sp::range(0, 255)},
            }),
            {
                {"sms_recpt%d", "sms_recpt_%d", Text, "", kEmpty, phoneOrEmpty},
                {"sms_ctrl%d", "sms_ctrl_%d", Int, "0", sp::kNumberText, nullptr, kFlag},
            },
            kListRows);

// ---- shared pieces ----

void addList(cJSON* doc, const char* name, const char* const (*members)[2], size_t count,
             bool numbers(size_t), const Request& req, bool secret(size_t))
{
    cJSON* list = cJSON_AddArrayToObject(doc, name);
    card::Runtime& rt = card::rt();
    for (int n = 0; n < kListRows; ++n) {
        cJSON* row = cJSON_CreateObject();
        for (size_t m = 0; m < count; ++m) {
            const std::string key = numbered(members[m][1], n);
            if (numbers(m))
                cJSON_AddNumberToObject(row, members[m][0], rt.integer(key, 0));
            else
                cJSON_AddStringToObject(
                    row, members[m][0],
                    secret(m) && req.level < kAdministrator ? "" : rt.text(key).c_str());
        }
        cJSON_AddItemToArray(list, row);
    }
}

// The "Trap_data" and "snmpv3_data" lists of the SNMP pages' reads.
void addSnmpLists(cJSON* doc, const Request& req)
{
    static const char* const kTrap[][2] = {{"trap_ip", "trap_to_ip_%d"},
                                           {"trap_comu", "trap_community_%d"},
                                           {"trap_apt", "trap_way_%d"}};
    static const char* const kV3[][2] = {
        {"snmpv3_ip", "snmp_manage_ip_%d"},
        {"snmpv3_community", "snmp_community_%d"},
        {"snmpv3_username", "snmp_user_%d"},
        {"snmpv3_userpass", "snmp_pass_word_%d"},
        {"snmpv3_privacy_pass", "snmp_privacy_password_%d"},
        {"snmpv3_auth", "snmp_auth_flag_%d"},
        {"snmpv3_privacyflag", "snmp_privacy_flag_%d"},
        {"snmpv3_permission", "snmp_permission_%d"},
    };
    addList(
        doc, "Trap_data", kTrap, 3, [](size_t m) { return m == 2; }, req,
        [](size_t) { return false; });
    addList(
        doc, "snmpv3_data", kV3, 8, [](size_t m) { return m >= 5; }, req,
        [](size_t m) { return m == 3 || m == 4; });
}

// A list of texts under `name`, from keys pattern(0..rows-1).
void addTexts(cJSON* doc, const char* name, const char* pattern, int rows)
{
    cJSON* list = cJSON_AddArrayToObject(doc, name);
    for (int n = 0; n < rows; ++n)
        cJSON_AddItemToArray(list,
                             cJSON_CreateString(card::rt().text(numbered(pattern, n)).c_str()));
}

// The restart event, once the answer is out: the data task ends the program
// when it gets it, which would otherwise close the connection unanswered.
// (A test's runtime records it at once.)
constexpr int kAnswerDelayMs = 300;
void restartAfterAnswer()
{
    card::Runtime& rt = card::rt();
    if (&rt != &card::cardRuntime()) {
        rt.post(card::channel::kCommand, card::event::kRestart);
        return;
    }
    sp::afterAnswer(kAnswerDelayMs,
                    [] { card::rt().post(card::channel::kCommand, card::event::kRestart); });
}

// The answer of the pages whose changes take effect at a restart: "1", or
// "2" and the restart event after the answer.
void restartAnswer(Reply& reply, bool restart)
{
    resultOk(reply, restart ? sp::kAnswerRestart : sp::kAnswerSaved);
    if (restart) restartAfterAnswer();
}

// Writes `page`; false (refusal sent) when a field was refused.
bool written(const Page& page, const Request& req, Reply& reply, sp::Write& w)
{
    w = page.write(req);
    return !sp::refused(reply, w);
}

// The TCP ports the card's services hold, by settings key and default.
struct TcpPort {
    const char* key;
    int def;
};
constexpr TcpPort kTcpPorts[] = {
    {"httpPort", 80}, {"mbtcp_slavePort", 502}, {"iec61850_port", 102}};

// True when page field `field` asks for a TCP port that another of the
// card's services (not the one stored under `ownKey`) already holds.
bool portInUse(const Request& req, const char* field, const char* ownKey)
{
    auto v = req.bodyField(field);
    if (!v || !sp::portNumber(*v)) return false;
    const int port = std::atoi(v->c_str());
    if (port == 443) return true; // the web server's TLS listener
    for (const TcpPort& p : kTcpPorts)
        if (std::string_view(p.key) != ownKey && card::rt().integer(p.key, p.def) == port)
            return true;
    return false;
}

// The selector of a per-receiver page ("userid", "id"): 1..8; absent or
// below 1 is 1. nullopt for a number beyond the list.
std::optional<int> selector(const Request& req, const char* name)
{
    auto v = req.isPost() ? req.bodyField(name) : req.queryField(name);
    if (!v) return 1;
    if (!sp::integerText(*v) || v->size() > 6) return std::nullopt;
    const int n = std::atoi(v->c_str());
    if (n < 1) return 1;
    if (n > kListRows) return std::nullopt;
    return n;
}

// The event-mask pages: read "event0".."event25" from the bits of the mask
// setting of the selected receiver; a write rebuilds the whole mask from the
// fields whose value is 1 (an absent field clears its bit).
void eventMaskPage(const Request& req, Reply& reply, const char* selectorName,
                   const char* keyPattern)
{
    card::Runtime& rt = card::rt();
    auto id = selector(req, selectorName);
    if (!id) {
        if (req.isPost()) {
            resultOk(reply, sp::kAnswerRefused, selectorName);
            return;
        }
        id = 1;
    }
    const std::string key = numbered(keyPattern, *id - 1);
    if (!req.isPost()) {
        rt.log("get " + std::string(selectorName) + " : " + std::to_string(*id));
        const auto mask = static_cast<unsigned>(rt.integer(key, 0));
        auto doc = sp::object();
        cJSON_AddNumberToObject(doc.get(), selectorName, *id);
        for (int i = 0; i < kEventBits; ++i)
            cJSON_AddNumberToObject(doc.get(), ("event" + std::to_string(i)).c_str(),
                                    (mask >> i) & 1u);
        sp::sendPage(reply, doc.get());
        return;
    }
    int mask = 0;
    for (int i = 0; i < kEventBits; ++i) {
        const std::string name = "event" + std::to_string(i);
        auto v = req.bodyField(name);
        if (!v) continue;
        if (*v != "0" && *v != "1") {
            resultOk(reply, sp::kAnswerRefused, name);
            return;
        }
        if (*v == "1") mask |= 1 << i;
    }
    rt.log(key + " : " + std::to_string(mask));
    rt.saveInt(key, mask);
    resultOk(reply, sp::kAnswerOk);
}

} // namespace

// ---- SNMP ----

void ups_snmpparasettings(const Request& req, Reply& reply)
{
    card::Runtime& rt = card::rt();
    if (!req.isPost()) {
        auto doc = kSnmpPara.read(req);
        cJSON_AddStringToObject(doc.get(), "snmpv3_engine_id", rt.text("engine_id").c_str());
        cJSON_AddNumberToObject(doc.get(), "sel_type", 0);
        cJSON_AddNumberToObject(doc.get(), "snmpv3_version", rt.integer("snmpv3_version", 0));
        cJSON_AddNumberToObject(doc.get(), "trap_snmp_version", rt.integer("trap_snmp_version", 0));
        addSnmpLists(doc.get(), req);
        sp::sendPage(reply, doc.get());
        return;
    }
    // The engine id text: hexadecimal pairs, as the agent's configuration takes it.
    auto engine = req.bodyField("snmpv3_engine_id", 65);
    if (engine && (engine->size() > 64 || engine->size() % 2 != 0 ||
                   engine->find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)) {
        resultOk(reply, sp::kAnswerRefused, "snmpv3_engine_id");
        return;
    }
    sp::Write w;
    if (!written(kSnmpPara, req, reply, w)) return;
    if (engine && rt.integer("engine_id_type", 0) == 3) {
        rt.log("snmpv3_engine_id : " + *engine);
        rt.save("engineid_string", *engine);
    }
    resultOk(reply, sp::kAnswerOk);
}

void ups_snmpconfig(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        auto doc = kSnmpConfig.read(req);
        addSnmpLists(doc.get(), req);
        sp::sendPage(reply, doc.get());
        return;
    }
    sp::Write w;
    if (written(kSnmpConfig, req, reply, w)) resultOk(reply, sp::kAnswerOk);
}

void ups_trapconfig(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        auto doc = kTrapConfig.read(req);
        cJSON_AddNumberToObject(doc.get(), "sel_type", 0);
        addSnmpLists(doc.get(), req);
        sp::sendPage(reply, doc.get());
        return;
    }
    if (auto sel = req.bodyField("sel_type")) card::rt().log("sel_type : " + headerSafe(*sel));
    sp::Write w;
    if (written(kTrapConfig, req, reply, w)) resultOk(reply, sp::kAnswerOk);
}

void ups_trapuserconfig(const Request& req, Reply& reply)
{
    auto id = selector(req, "userid");
    if (!id && req.isPost()) {
        resultOk(reply, sp::kAnswerRefused, "userid");
        return;
    }
    const Page& page = trapUsers()[static_cast<size_t>(id.value_or(1) - 1)];
    if (!req.isPost()) {
        auto doc = page.read(req);
        cJSON_AddNumberToObject(doc.get(), "userid", id.value_or(1));
        sp::sendPage(reply, doc.get());
        return;
    }
    sp::Write w;
    if (written(page, req, reply, w)) resultOk(reply, sp::kAnswerOk);
}

void ups_trapeventconfig(const Request& req, Reply& reply)
{
    eventMaskPage(req, reply, "userid", "trap_event_%d");
}

void ups_trapeventtest(const Request& req, Reply& reply)
{
    if (!req.isPost()) return; // no answer
    auto v = req.bodyField("userid");
    const int n = v && sp::integerText(*v) && v->size() < 4 ? std::atoi(v->c_str()) : 0;
    if (n < 1 || n > kListRows) {
        resultOk(reply, sp::kAnswerRefused, "userid");
        return;
    }
    card::rt().post(card::channel::kTrapTest, n);
    resultOk(reply, sp::kAnswerOk);
}

void ups_exportsnmpmib(const Request&, Reply& reply)
{
    const bool enterprise = card::rt().integer("mibType", 0) != 0;
    const char* name = enterprise ? "Nordwave.mib" : "UPSMIB_UPS_MIB.MIB";
    if (!serveFile(reply, std::string("www/") + name, "application/text")) {
        resultOk(reply, sp::kAnswerOk);
        return;
    }
    reply.header("Content-Disposition", std::string("attachment; filename=") + name + ";");
    reply.header("Set-Cookie", "downFlag=1;");
}

// ---- Modbus and the other services ----

void ups_mbtcpslaveinfo(const Request& req, Reply& reply)
{
    card::Runtime& rt = card::rt();
    if (!req.isPost()) {
        auto doc = kMbtcp.read(req);
        kBacnet.readInto(doc.get(), req);
        kRs485.readInto(doc.get(), req);
        kCloud.readInto(doc.get(), req);
        kIec61850.readInto(doc.get(), req);
        kNut.readInto(doc.get(), req);
        cJSON_DeleteItemFromObject(doc.get(), "IEC61850_Port");
        cJSON_AddNumberToObject(doc.get(), "iec61850_port", rt.integer("iec61850_port", 102));
        sp::sendPage(reply, doc.get());
        return;
    }
    if (portInUse(req, "tcp_modbus_port", "mbtcp_slavePort")) {
        resultOk(reply, sp::kAnswerRefused, "tcp_modbus_port");
        return;
    }
    sp::Write w;
    if (written(kMbtcp, req, reply, w)) restartAnswer(reply, w.restart);
}

void ups_mbtcpslaveiplist(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        auto doc = kMbtcpIps.read(req);
        kMbtcpPermission.readInto(doc.get(), req);
        sp::sendPage(reply, doc.get());
        return;
    }
    // Both tables are checked before either saves anything.
    const std::string bad = kMbtcpIps.check(req) + kMbtcpPermission.check(req);
    if (!bad.empty()) {
        resultOk(reply, sp::kAnswerRefused, bad);
        return;
    }
    sp::Write ips, permission;
    written(kMbtcpIps, req, reply, ips);
    written(kMbtcpPermission, req, reply, permission);
    restartAnswer(reply, ips.restart || permission.restart);
}

void ups_485modbusinfo(const Request& req, Reply& reply)
{
    card::Runtime& rt = card::rt();
    if (!req.isPost()) {
        sp::sendPage(reply, kRs485.read(req).get());
        return;
    }
    sp::Write w;
    if (!written(kRs485, req, reply, w)) return;
    if (!w.restart) {
        resultOk(reply, sp::kAnswerSaved);
        return;
    }
    // The sensor line serves one of three: the slave takes it from the
    // sensors and the battery packs.
    bool switched = false;
    if (rt.integer("enable_485modbus", 1) == 1) {
        for (const char* other : {"ths_enable", "bms_num"})
            if (rt.integer(other, 0) != 0) {
                rt.log(std::string(other) + " : 0 (the RS-485 Modbus slave takes the line)");
                rt.saveInt(other, 0);
                switched = true;
            }
    }
    resultOk(reply, switched ? sp::kAnswerSwitched : sp::kAnswerRestart);
    restartAfterAnswer();
}

void ups_bacnetinfo(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sp::sendPage(reply, kBacnet.read(req).get());
        return;
    }
    sp::Write w;
    if (written(kBacnet, req, reply, w)) restartAnswer(reply, w.restart);
}

void ups_iec61850info(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sp::sendPage(reply, kIec61850.read(req).get());
        return;
    }
    if (portInUse(req, "IEC61850_Port", "iec61850_port")) {
        resultOk(reply, sp::kAnswerRefused, "IEC61850_Port");
        return;
    }
    sp::Write w;
    if (written(kIec61850, req, reply, w)) restartAnswer(reply, w.restart);
}

void ups_nutinfo(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sp::sendPage(reply, kNut.read(req).get());
        return;
    }
    sp::Write w;
    if (written(kNut, req, reply, w)) restartAnswer(reply, w.restart);
}

void ups_cloudsettings(const Request& req, Reply& reply)
{
    card::Runtime& rt = card::rt();
    if (!req.isPost()) {
        sp::sendPage(reply, kCloud.read(req).get());
        return;
    }
    const std::string oldSn = rt.text("cloud_sn");
    sp::Write w;
    if (!written(kCloud, req, reply, w)) return;
    if (w.changedKey("cloud_sn")) {
        const std::string sn = rt.text("cloud_sn");
        rt.storeText(card::store::kOperation, "cloud_sn:[" + oldSn + "]->[" + sn + "]");
        platform::writeFile(platform::appPath("config/CloudProduct"), sn);
        rt.setValue(card::kCard, SYS_CMD_CTRL_CLOUD_MQTT_RECONNECTED, 1.0f);
    }
    // The cloud needs a synchronised clock.
    if (rt.integer("enable_cloud", 0) != 0 && rt.integer("nchecktimeevery", 0) == 0)
        rt.save("nchecktimeevery", "1");
    restartAnswer(reply, w.restart);
}

// ---- notification ----

void ups_emailconfig(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        auto doc = kEmail.read(req);
        addTexts(doc.get(), "report", "day_to_email_address_%d", kReportRows);
        addTexts(doc.get(), "alarm", "to_email_address_%d", kListRows);
        cJSON_AddStringToObject(doc.get(), "deviceid", "0");
        sp::sendPage(reply, doc.get());
        return;
    }
    sp::Write w;
    if (written(kEmail, req, reply, w)) resultOk(reply, sp::kAnswerOk);
}

void ups_emailevent(const Request& req, Reply& reply)
{
    eventMaskPage(req, reply, "id", "email_event_%d");
}

void ups_emailtest(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        resultOk(reply, sp::kAnswerOk);
        return;
    }
    auto to = req.bodyField("email_Test_recpt", 64);
    if (!to || !mailAddress(*to)) {
        resultOk(reply, sp::kAnswerRefused, "email_Test_recpt");
        return;
    }
    card::rt().save("test_email_To", *to);
    card::rt().post(card::channel::kMailStart, card::event::kTestMail);
    resultOk(reply, sp::kAnswerOk);
}

void ups_smssettings(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        auto doc = kSms.read(req);
        cJSON_AddStringToObject(doc.get(), "deviceid", "0");
        // The modem's state, as "/SmsStatus" gives it.
        Reply status;
        ups_smsstatus(req, status);
        if (cJSON* modem = cJSON_Parse(status.body.c_str())) {
            for (cJSON* m = modem->child; m; m = m->next)
                cJSON_AddItemToObject(doc.get(), m->string, cJSON_Duplicate(m, true));
            cJSON_Delete(modem);
        }
        addTexts(doc.get(), "sms_recpt", "sms_recpt_%d", kListRows);
        addTexts(doc.get(), "sms_ctrl", "sms_ctrl_%d", kListRows);
        sp::sendPage(reply, doc.get());
        return;
    }
    sp::Write w;
    if (written(kSms, req, reply, w)) resultOk(reply, sp::kAnswerOk);
}

void ups_smsevent(const Request& req, Reply& reply)
{
    eventMaskPage(req, reply, "id", "sms_event_%d");
}

void ups_smstest(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        resultOk(reply, sp::kAnswerOk);
        return;
    }
    auto to = req.bodyField("sms_Test_recpt");
    if (!to || !phoneNumber(*to)) {
        resultOk(reply, sp::kAnswerRefused, "sms_Test_recpt");
        return;
    }
    card::rt().save("test_sms_To", *to);
    std::remove(platform::appPath("/root/app/data/test_sms.log").c_str());
    card::rt().post(card::channel::kSmsStart, card::event::kTestSms);
    resultOk(reply, sp::kAnswerOk);
}

} // namespace web
