/*
 * config_file.cpp - the configuration file: its line table, the header in the
 * card's languages, export, the line parser and the import with its checks,
 * and the download and upload pages.
 */
#include "config_file.hpp"

#include "pages.hpp"
#include "platform.hpp"
#include "settings_page.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace web::config
{

namespace
{

// A block of the file: for each n in from..to, the keys in order, identifier
// first + stride * (n - from) + position. A key holds "%d" where n goes
// (a block without a list has from == to and no "%d").
struct Block {
    int first;
    int stride;
    int from, to;
    std::vector<std::pair<const char*, Type>> keys;
};

constexpr Type T = Text;
constexpr Type I = Integer;

// The file in its order. Identifiers overlap where they always have (1361,
// 1450-1462 inside the SNMP manager block, 1462 twice): they are labels.
const std::vector<Block>& blocks()
{
    static const std::vector<Block> table = {
        {1000,
         0,
         0,
         0,
         {{"sche_bef_min", T},
          {"sel_down", T},
          {"down_time", T},
          {"sel_batlow", T},
          {"bat_time", T},
          {"sel_overtemp", T},
          {"temp_time", T},
          {"sel_overload", T},
          {"load_time", T},
          {"config_test_period", T},
          {"cycleTime", T},
          {"config_test_weekly", T},
          {"config_test_time", T},
          {"config_test_type", T},
          {"config_test_pre_time", T}}},
        {1015,
         5,
         1,
         7,
         {{"sched_on%d", T},
          {"sched_off%d", T},
          {"ssched_d%d", T},
          {"ssched_on%d", T},
          {"ssched_off%d", T}}},
        {1050, 0, 0, 0, {{"wakeport", T}}},
        {1051,
         7,
         0,
         7,
         {{"WakeEnabled_%d", T},
          {"mac_%d_0", T},
          {"mac_%d_1", T},
          {"mac_%d_2", T},
          {"mac_%d_3", T},
          {"mac_%d_4", T},
          {"mac_%d_5", T}}},
        {1150,
         0,
         0,
         0,
         {{"ths_baudRate", I},
          {"ths_dataBits", I},
          {"ths_checkway", I},
          {"ths_stopBits", I},
          {"ths_enable", I},
          {"curr_module_num", T}}},
        {1156,
         6,
         1,
         4,
         {{"in_thaddr%d", T},
          {"in_temph%d", T},
          {"in_templ%d", T},
          {"in_humih%d", T},
          {"in_humil%d", T},
          {"temp_conver%d", T}}},
        {1200,
         0,
         0,
         0,
         {{"email_server_address", T},
          {"smtp_proxy_ip", T},
          {"from_email_address", T},
          {"email_username", T},
          {"email_password", T},
          {"report_time", T},
          {"email_port", I},
          {"smtp_proxy_enable", I},
          {"auth_flag", I},
          {"login_flag", I},
          {"daily_report_flag", I},
          {"sent_event_flag", I},
          {"smtp_proxy_port", T},
          {"smtp_enable", I}}},
        {1214, 1, 0, 3, {{"day_to_email_address_%d", T}}},
        {1218, 1, 0, 7, {{"to_email_address_%d", T}}},
        {1226, 1, 0, 7, {{"email_event_%d", I}}},
        {1234, 0, 0, 0, {{"email_starttls", I}}},
        {1250,
         0,
         0,
         0,
         {{"sms_baudRate", I},
          {"sms_dataBits", I},
          {"sms_checkway", I},
          {"sms_stopBits", I},
          {"sms_enable", I},
          {"network_standard", I},
          {"sms_alarm_is_enable", I}}},
        {1257, 2, 0, 7, {{"sms_recpt_%d", T}, {"sms_ctrl_%d", T}}},
        {1273, 1, 0, 7, {{"sms_event_%d", I}}},
        {1300,
         0,
         0,
         0,
         {{"dhcpSet", T},
          {"ipAddr", T},
          {"netmask", T},
          {"gateway", T},
          {"dns1", T},
          {"dns2", T},
          {"httpType", I},
          {"httpPort", I},
          {"ddn_service_provider", I},
          {"stun_service", I},
          {"ddn_resolution_name", T},
          {"ddn_login_name", T},
          {"ddn_login_pass", T},
          {"stun_ipaddr_0", T},
          {"stun_ipaddr_1", T}}},
        {1315,
         4,
         1,
         8,
         {{"user_name%d", T}, {"user_pass%d", T}, {"user_right%d", T}, {"user_ip%d", T}}},
        {1347, 0, 0, 0, {{"administrator_password", T}, {"enable_ipv6", I}}},
        {1350,
         0,
         0,
         0,
         {{"interface_language", I},
          {"Module_Language", I},
          {"enable_debug", I},
          {"System_Name", T},
          {"System_Admin", T},
          {"System_Location", T},
          {"nchecktimeevery", T},
          {"sel_server", T},
          {"time_select", T},
          {"otherser", T},
          {"ntimezone", T},
          {"time_dst", I}}},
        {1361, 1, 0, 7, {{"use_dev_fun%d", I}}},
        {1369,
         0,
         0,
         0,
         {{"enable_tcp_modbus", I},
          {"mbtcp_slavePort", T},
          {"enable_bacnet", I},
          {"System_Object_Id", I},
          {"enable_tcp_modbus_connect_permission", I}}},
        {1374, 1, 1, 8, {{"tcp_modbus_ip%d", T}}},
        {1382, 0, 0, 0, {{"enable_485modbus", I}}},
        {1400,
         0,
         0,
         0,
         {{"snmp_port", I},
          {"trap_port", I},
          {"snmpv3_version", I},
          {"trap_snmp_version", I},
          {"trap_send_count", I},
          {"trap_send_time", I},
          {"engine_id_type", I}}},
        {1407,
         8,
         0,
         7,
         {{"snmp_manage_ip_%d", T},
          {"snmp_community_%d", T},
          {"snmp_user_%d", T},
          {"snmp_pass_word_%d", T},
          {"snmp_privacy_password_%d", T},
          {"snmp_auth_flag_%d", I},
          {"snmp_privacy_flag_%d", I},
          {"snmp_permission_%d", I}}},
        {1471,
         8,
         0,
         7,
         {{"trap_to_ip_%d", T},
          {"trap_community_%d", T},
          {"trap_way_%d", I},
          {"trap_username_%d", T},
          {"trap_auth_%d", I},
          {"trap_privacyflag_%d", I},
          {"trap_userpass_%d", T},
          {"trap_privacy_pass_%d", T}}},
        {1535, 1, 0, 7, {{"trap_event_%d", I}}},
        {1450,
         0,
         0,
         0,
         {{"ups_type", I},
          {"ups_addr", I},
          {"ups_paralleraddr", I},
          {"battery_sections_number", I},
          {"battery_packs_number", I},
          {"battery_enable_type", I},
          {"ups_data_record_minute", I},
          {"communication_timeout", I},
          {"ups_baudRate", I},
          {"ups_dataBits", I},
          {"ups_checkway", I},
          {"ups_stopBits", I},
          {"enable_identify", I}}},
        {1462,
         0,
         0,
         0,
         {{"bat_change_time", T},
          {"bms_num", I},
          {"bms_pro", I},
          {"bms_start_addr", I},
          {"en_bms_auto_send_ups", I}}},
        // Settings the factory reset puts back that the file did not carry,
        // under identifiers nothing else uses.
        {1107,
         4,
         0,
         7,
         {{"sms_user_enable_%d", I},
          {"sms_report_time_%d", I},
          {"sms_select_alarm_%d", I},
          {"sms_dial_%d", I}}},
        {1139,
         0,
         0,
         0,
         {{"sms_system_name", T},
          {"sms_admin_password", T},
          {"registered_num", I},
          {"sms_language", I},
          {"remote", T},
          {"in_tast1", T},
          {"in_tast5", T},
          {"in_tast15", T},
          {"in_tast16", T}}},
        {1180, 2, 0, 7, {{"sms_telephone_code_%d", T}, {"sms_user_telephone_%d", T}}},
        {1383,
         0,
         0,
         0,
         {{"tcp_modbus_pro", I},
          {"485modbus_pro", I},
          {"485modbus_slave_addr", I},
          {"enable_cloud", I},
          {"cloud_pro", I}}},
        {1543,
         0,
         0,
         0,
         {{"ups_auto_test_cur_time", T},
          {"ups_auto_test_next_time", T},
          {"ups_auto_test_last_time", I}}},
    };
    return table;
}

std::string withIndex(const char* pattern, int n)
{
    std::string key = pattern;
    size_t at = key.find("%d");
    if (at != std::string::npos) key.replace(at, 2, std::to_string(n));
    return key;
}

// Text safe on one file line: control characters would end or split it.
std::string oneLine(const std::string& value)
{
    std::string out;
    for (char c : value)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) out.push_back(c);
    return out;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// atoi of a field: leading blanks, a sign, digits; nullopt without digits.
std::optional<long long> leadingInt(std::string_view s)
{
    s = trimmed(s);
    size_t i = 0;
    bool neg = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) neg = s[i++] == '-';
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return std::nullopt;
    long long v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
        if (v < 100'000'000'000LL) v = v * 10 + (s[i] - '0');
    return neg ? -v : v;
}

const std::string* pendingValue(const std::vector<std::pair<std::string, std::string>>& pending,
                                const std::string& key)
{
    const std::string* found = nullptr;
    for (const auto& [k, v] : pending)
        if (k == key) found = &v;
    return found;
}

// The TCP ports the card's own services listen on, besides the web server.
bool portTaken(card::Runtime& rt, const std::vector<std::pair<std::string, std::string>>& pending,
               int port)
{
    if (port == 8080 || port == 502) return true; // refused by the network page
    const std::string* modbus = pendingValue(pending, "mbtcp_slavePort");
    const std::string mb = modbus ? *modbus : rt.text("mbtcp_slavePort", "502");
    return std::atoi(mb.c_str()) == port;
}

bool startsWith(std::string_view s, std::string_view head)
{
    return s.substr(0, head.size()) == head;
}

// atoi that saturates instead of overflowing.
int toInt(std::string_view s)
{
    auto v = leadingInt(s);
    return v ? static_cast<int>(std::clamp<long long>(*v, INT_MIN, INT_MAX)) : 0;
}

} // namespace

const std::vector<Line>& fileLines()
{
    static const std::vector<Line> lines = [] {
        std::vector<Line> out;
        for (const Block& b : blocks())
            for (int n = b.from; n <= b.to; ++n)
                for (size_t k = 0; k < b.keys.size(); ++k)
                    out.push_back({b.first + b.stride * (n - b.from) + static_cast<int>(k),
                                   withIndex(b.keys[k].first, n), b.keys[k].second});
        return out;
    }();
    return lines;
}

const Line* lineFor(std::string_view key)
{
    static const std::map<std::string, const Line*, std::less<>> index = [] {
        std::map<std::string, const Line*, std::less<>> m;
        for (const Line& l : fileLines())
            m.emplace(l.key, &l);
        return m;
    }();
    auto it = index.find(key);
    return it == index.end() ? nullptr : it->second;
}

std::string header(int language)
{
    switch (language) {
    case 1: // GBK: ID,参数名,值,参数类型
        return "ID,\xb2\xce\xca\xfd\xc3\xfb,\xd6\xb5,\xb2\xce\xca\xfd\xc0\xe0\xd0\xcd\n";
    case 2: // GBK: ID,參數名,值,參數類型
        return "ID,\x85\xa2\x94\xb5\xc3\xfb,\xd6\xb5,\x85\xa2\x94\xb5\xee\x90\xd0\xcd\n";
    case 3:
        return "Kimlik, Anahtar, Değer, Tip\n";
    case 4:
        return "ID, nome do parâmetro, valor, tipo de parâmetro\n";
    default:
        return "ID,Key,Value,Type\n";
    }
}

std::string exportText(card::Runtime& rt)
{
    std::string out = header(rt.integer("Module_Language", 0));
    for (const Line& l : fileLines()) {
        const std::string value =
            l.type == Text ? oneLine(rt.text(l.key)) : std::to_string(rt.integer(l.key, 0));
        out += std::to_string(l.id) + "," + l.key + "," + value + "," +
               std::to_string(static_cast<int>(l.type)) + "\n";
    }
    return out;
}

std::optional<Parsed> parseLine(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (true) {
        size_t comma = line.find(',', pos);
        fields.push_back(
            line.substr(pos, comma == std::string_view::npos ? line.npos : comma - pos));
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    while (fields.size() > 4 && trimmed(fields.back()).empty())
        fields.pop_back();
    if (fields.size() < 4) return std::nullopt;
    auto id = leadingInt(fields.front());
    auto type = leadingInt(fields.back());
    if (!id || !type) return std::nullopt;
    Parsed p;
    p.id = static_cast<int>(std::clamp<long long>(*id, -1, 1'000'000));
    p.type = static_cast<int>(std::clamp<long long>(*type, -1, 1'000'000));
    p.key = std::string(trimmed(fields[1]));
    // The value runs from after the key to before the type, commas and all.
    const size_t begin = static_cast<size_t>(fields[2].data() - line.data());
    const size_t end = static_cast<size_t>(fields[fields.size() - 2].data() - line.data()) +
                       fields[fields.size() - 2].size();
    p.value = std::string(line.substr(begin, end - begin));
    if (p.value == " ") p.value.clear(); // the card's own files wrote an empty text this way
    return p;
}

bool importAcceptable(card::Runtime& rt, const std::string& key, const std::string& value,
                      const std::vector<std::pair<std::string, std::string>>& pending)
{
    if (!settings::noControl(value)) return false;
    if (!settings::storedValueAcceptable(key, value)) return false;
    if (key == "httpPort")
        return settings::portNumber(value) && !portTaken(rt, pending, std::atoi(value.c_str()));
    if (key == "mbtcp_slavePort") {
        if (!settings::portNumber(value)) return false;
        const std::string* web = pendingValue(pending, "httpPort");
        const int webPort = web ? std::atoi(web->c_str()) : rt.integer("httpPort", 80);
        return std::atoi(value.c_str()) != webPort;
    }
    if (key == "snmp_port" || key == "trap_port") return settings::portNumber(value);
    if (key == "dhcpSet") return value == "0" || value == "1";
    if (key == "ipAddr" || key == "netmask" || key == "gateway" || key == "dns1" || key == "dns2")
        return settings::ipv4OrEmpty(value);
    if (startsWith(key, "user_right"))
        return value.empty() || (value.size() == 1 && value[0] >= '0' && value[0] <= '3');
    if (startsWith(key, "user_name")) {
        // The fixed administrator is no table user, and a name names one user.
        if (value == kAdminName) return false;
        if (value.empty()) return true;
        for (int n = 1; n <= kUserSlots; ++n) {
            const std::string other = "user_name" + std::to_string(n);
            if (other == key) continue;
            const std::string* v = pendingValue(pending, other);
            if ((v ? *v : rt.text(other)) == value) return false;
        }
    }
    return true;
}

ImportResult importText(card::Runtime& rt, std::string_view text)
{
    ImportResult result;
    // The file's values in file order (a later line for the same key wins).
    std::vector<std::pair<std::string, std::string>> pending;
    size_t pos = text.find('\n'); // the header
    while (pos != std::string_view::npos && pos < text.size()) {
        const size_t begin = pos + 1;
        size_t end = text.find('\n', begin);
        std::string_view raw = text.substr(begin, end == text.npos ? text.npos : end - begin);
        pos = end;
        if (trimmed(raw).empty()) continue;
        if (raw.size() > kMaxLine) {
            ++result.ignored;
            continue;
        }
        auto p = parseLine(raw);
        if (!p || p->id < kFirstId || p->id > kLastId || (p->type != Integer && p->type != Text) ||
            !lineFor(p->key)) {
            ++result.ignored;
            continue;
        }
        std::string value = p->type == Integer ? std::to_string(toInt(p->value)) : p->value;
        pending.emplace_back(p->key, std::move(value));
    }
    for (size_t i = 0; i < pending.size(); ++i) {
        const auto& [key, value] = pending[i];
        if (!importAcceptable(rt, key, value, pending)) {
            rt.log("[config import] " + key + " refused: the value is not one its page accepts");
            result.refused.push_back(key);
            continue;
        }
        rt.save(key, value);
        ++result.stored;
    }
    return result;
}

bool writeConfigFile(card::Runtime& rt)
{
    const std::string path = platform::appPath(kFile);
    std::remove(path.c_str());
    return platform::writeFile(path, exportText(rt));
}

int readConfigFile(card::Runtime& rt, ImportResult* out)
{
    std::string text;
    if (!platform::readFile(platform::appPath(kFile), text, kMaxUpload)) return 4;
    ImportResult r = importText(rt, text);
    rt.log("[config import] " + std::to_string(r.stored) + " settings stored, " +
           std::to_string(r.ignored) + " lines ignored, " + std::to_string(r.refused.size()) +
           " refused");
    if (out) *out = std::move(r);
    return 1;
}

} // namespace web::config

// ---- pages ----

namespace web
{

namespace
{

// The "/UpdateSettings" outcomes: result code and the cookie the page reads.
struct UpdateOutcome {
    int code;
    const char* flag;
};
constexpr UpdateOutcome kImported{1, "UpdateFlag=2"};
constexpr UpdateOutcome kMissing{4, "UpdateFlag=1"};
constexpr UpdateOutcome kWrongName{5, "UpdateFlag=3"};
constexpr UpdateOutcome kNoFile{0, "UpdateFlag=4"};

constexpr int kRebootDelayMs = 1000; // lets the answer leave first

UpdateOutcome importUpload(const Request& req, config::ImportResult& result)
{
    card::Runtime& rt = card::rt();
    // The base name of the upload, within the size cap (else no file).
    auto part = settings::uploadedFile(req, config::kMaxUpload);
    if (!part) return kNoFile;
    rt.log("file_name: " + headerSafe(part->name) + ", size: " + std::to_string(part->data.size()));
    // The upload always lands in the one file the importer reads; any other
    // name is refused before anything is written.
    if (part->name != config::kDownloadName) return kWrongName;
    if (!platform::writeFile(platform::appPath(config::kFile), part->data)) return kNoFile;
    rt.log("filename : " + part->name);
    return config::readConfigFile(rt, &result) == 1 ? kImported : kMissing;
}

} // namespace

void ups_savecurrentsettings(const Request&, Reply& reply)
{
    if (!config::writeConfigFile(card::rt()))
        card::rt().log("[config export] " + std::string(config::kFile) + " cannot be written");
    if (!serveDownload(reply, config::kFile, config::kDownloadName)) sendError(reply, 404);
}

void ups_updatesettings(const Request& req, Reply& reply)
{
    config::ImportResult result;
    const UpdateOutcome outcome = importUpload(req, result);
    std::string errmsg;
    if (outcome.code != 1) {
        errmsg = "result=" + std::to_string(outcome.code);
    } else if (!result.refused.empty()) {
        // Imported all the same: the page names what kept its old value.
        errmsg = "refused:";
        for (const std::string& key : result.refused)
            errmsg += " " + key;
    }
    resultOk(reply, outcome.code == 1 ? 1 : 0, errmsg);
    reply.header("Content-Type", "text/js");
    reply.header("Set-Cookie", outcome.flag);
    if (outcome.code == 1) config::rebootAfter(kRebootDelayMs);
}

} // namespace web
