/*
 * params.cpp - the SNMP parameter records and the agent configuration file.
 *
 * Both records are rebuilt from settings on every read, so comparing a fresh
 * pair with the pair in memory tells whether the agent needs a new file. The
 * file is produced as text here and written by the task with file I/O; every
 * value that comes from a setting is quoted the way snmpd.conf reads words, and
 * no value can break a line and slip in a directive of its own.
 */
#include "snmptask.h"

#include <cstdio>

namespace snmptask
{
namespace
{

std::string cut(std::string v, std::size_t field)
{
    if (v.size() >= field) v.resize(field - 1);
    return v;
}

std::string systemText(card::Runtime& r, const char* key)
{
    std::string v = r.text(key, "");
    if (v.empty() || v.size() > 63) return "none";
    return v;
}

std::string rowKey(const char* prefix, int row)
{
    return prefix + std::to_string(row);
}

const char* authName(int flag)
{
    return flag == 0 ? "MD5" : "SHA";
}
const char* privName(int flag)
{
    return flag == 0 ? "DES" : "AES";
}

bool needsQuote(const std::string& v)
{
    if (v.empty()) return true;
    for (unsigned char c : v)
        if (c <= ' ' || c == '"' || c == '\'' || c == '\\' || c == '#' || c == 0x7f) return true;
    return false;
}

} // namespace

void loadParams(AgentParams& a, TrapParams& t, card::Runtime& r)
{
    a = AgentParams{};
    t = TrapParams{};
    a.mibType = static_cast<std::uint32_t>(r.integer("mibType", 0));
    a.port = static_cast<std::uint32_t>(r.integer("snmp_port", 161));
    a.version = static_cast<std::uint32_t>(r.integer("snmpv3_version", 0));
    a.ipv6 = static_cast<std::uint32_t>(r.integer("snmp_net_type", 0));
    t.port = static_cast<std::uint32_t>(r.integer("trap_port", 162));
    t.version = static_cast<std::uint32_t>(r.integer("trap_snmp_version", 0));
    t.time = static_cast<std::uint32_t>(r.integer("trap_send_time", 10));
    t.count = static_cast<std::uint32_t>(r.integer("trap_send_count", 5));
    t.engineIdType = static_cast<std::uint32_t>(r.integer("engine_id_type", 0));
    a.systemName = systemText(r, "System_Name");
    a.systemAdmin = systemText(r, "System_Admin");
    a.systemLocation = systemText(r, "System_Location");

    auto flag = [&](const char* prefix, int row) {
        return static_cast<std::uint8_t>(r.integer(rowKey(prefix, row), 0));
    };
    auto name = [&](const char* prefix, int row, std::size_t field) {
        return cut(r.text(rowKey(prefix, row), ""), field);
    };
    for (int i = 0; i < kRows; ++i) {
        AgentRow& ar = a.rows[i];
        TrapRow& tr = t.rows[i];
        ar.user = name("snmp_user_", i, kNameField);
        ar.password = name("snmp_pass_word_", i, kNameField);
        ar.authFlag = flag("snmp_auth_flag_", i);
        ar.privacyFlag = flag("snmp_privacy_flag_", i);
        ar.privacyPassword = name("snmp_privacy_password_", i, kNameField);
        ar.manageIp = name("snmp_manage_ip_", i, kAddressField);
        ar.community = name("snmp_community_", i, kNameField);
        ar.permission = flag("snmp_permission_", i);
        tr.way = flag("trap_way_", i);
        tr.toIp = name("trap_to_ip_", i, kAddressField);
        tr.community = name("trap_community_", i, kNameField);
        tr.username = name("trap_username_", i, kNameField);
        tr.userPassword = name("trap_userpass_", i, kNameField);
        tr.auth = flag("trap_auth_", i);
        tr.privacy = flag("trap_privacyflag_", i);
        tr.privacyPassword = name("trap_privacy_pass_", i, kNameField);
    }
}

std::string confWord(const std::string& in)
{
    std::string v = confRest(in);
    if (!needsQuote(v)) return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    out += '"';
    return out;
}

std::string confRest(const std::string& in)
{
    std::string v = in;
    for (char& c : v)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) c = ' ';
    return v;
}

std::string buildConfig(const AgentParams& a, const TrapParams& t,
                        const std::string& engineIdString, const std::string& engineId,
                        const ConfigPaths& paths)
{
    std::string out;
    auto line = [&](const std::string& l) { out += l + "\n"; };
    const bool v6 = a.ipv6 != 0;

    // 1. where the agent listens
    std::string host = paths.loopbackOnly ? (v6 ? "[::1]:" : "127.0.0.1:") : "";
    line(std::string("agentAddress ") + (v6 ? "udp6:" : "udp:") + host + std::to_string(a.port));
    // 2-4. system texts (these directives take the rest of the line as it stands)
    line("sysLocation " + confRest(a.systemLocation));
    line("sysContact " + confRest(a.systemAdmin));
    line("sysName " + confRest(a.systemName));
    // 5. engine ID
    switch (t.engineIdType) {
    case 0:
        line("engineIDType 3");
        break;
    case 1:
        line("engineIDType 1");
        break;
    case 2:
        line("engineIDType 2");
        break;
    case 3:
        if (!confRest(engineIdString).empty()) line("engineID " + confRest(engineIdString));
        break;
    default:
        break;
    }
    // 6. the MIB module
    if (a.mibType == 0)
        line("dlmod upsmib " + paths.upsmibModule);
    else
        line("dlmod mib935 " + paths.mib935Module);
    // 7. who may ask
    for (const AgentRow& r : a.rows) {
        if (r.permission != 1 && r.permission != 2) continue;
        bool rw = r.permission == 2;
        if (a.version == 0) {
            std::string d = rw ? "rwcommunity" : "rocommunity";
            if (v6) d += "6";
            if (r.manageIp == "*.*.*.*" || r.manageIp.empty())
                line(d + " " + confWord(r.community));
            else
                line(d + " " + confWord(r.community) + " " + confWord(r.manageIp));
        } else if (a.version == 1) {
            line(std::string(rw ? "rwuser " : "rouser ") + confWord(r.user) + " priv");
            line("createUser " + confWord(r.user) + " " + authName(r.authFlag) + " " +
                 confWord(r.password) + " " + privName(r.privacyFlag) + " " +
                 confWord(r.privacyPassword));
        }
    }
    // 8. where traps and informs go
    const std::string T = std::to_string(t.time * t.count);
    const std::string R = std::to_string(t.count);
    const std::string port = std::to_string(t.port);
    for (const TrapRow& r : t.rows) {
        if (r.way == 0) continue;
        std::string addr =
            v6 ? "udp6:[" + confRest(r.toIp) + "]:" + port : confRest(r.toIp) + ":" + port;
        addr = confWord(addr);
        if (t.version == 0 || t.version == 2) {
            if (r.way == 1) {
                // trap2sink splits its line on blanks and knows no quoting; a
                // community that needs quotes goes through the equivalent trapsess.
                if (confWord(r.community) == r.community && confWord(addr) == addr)
                    line("trap2sink " + addr + " " + r.community);
                else
                    line("trapsess -v 2c -c " + confWord(r.community) + " " + addr);
            } else {
                line("trapsess -C i -v 2c " + addr + " -c " + confWord(r.community) + " -t " + T +
                     " -r " + R);
            }
        } else if (t.version == 1) {
            std::string v3 = "-v 3 -u " + confWord(r.username);
            if (!engineId.empty() && r.way == 1) v3 += " -e " + confWord(engineId);
            v3 += std::string(" -a ") + authName(r.auth) + " -A " + confWord(r.userPassword) +
                  " -x " + privName(r.privacy) + " -X " + confWord(r.privacyPassword) +
                  " -l authPriv " + addr;
            if (r.way == 1)
                line("trapsess " + v3);
            else if (r.way <= 127)
                line("trapsess -C i -t " + T + " -r " + R + " " + v3);
        }
    }
    // 9. a GETBULK answer stays small whatever max-repetitions asks for, so
    // a spoofed request cannot make the card send many times its size; a
    // walk simply takes more round trips
    line("maxGetbulkRepeats " + std::to_string(kMaxGetbulkRepeats));
    line("maxGetbulkResponses " + std::to_string(kMaxGetbulkResponses));
    // 10. the enterprise MIB announces itself
    if (a.mibType != 0) line("sysObjectID 1.3.6.1.4.1.935");
    return out;
}

std::string engineIdFromState(const std::string& text)
{
    std::string tail = text.size() > 100 ? text.substr(text.size() - 100) : text;
    auto p = tail.find("oldEngineID");
    if (p == std::string::npos || p + 12 > tail.size()) return "";
    std::string v = tail.substr(p + 12);
    auto e = v.find('\n');
    if (e != std::string::npos) v.resize(e);
    while (!v.empty() && (v.back() == '\r' || v.back() == ' '))
        v.pop_back();
    return v;
}

} // namespace snmptask
