/*
 * commands.cpp - set requests from the MIB module, and the test traps.
 *
 * A set request arrives as a command code with a 16-bit value. Start-up and
 * shut-down delays are kept as command parameters in settings (minutes for some
 * UPS families, seconds for others) before the command is posted to the data
 * task; the control-log code says that the command came from SNMP.
 */
#include "snmptask.h"

namespace snmptask
{

CommandAction commandAction(const snmpblock::Command& c, int upsType)
{
    CommandAction a;
    const bool family45 = upsType == 4 || upsType == 5;
    auto minutes = [&](int seconds) { return std::to_string(seconds / 60 < 1 ? 1 : seconds / 60); };
    if (c.code == 5) {
        if (upsType == 2) {
            a = {"in_tast16", minutes(c.value1), 16, 1266};
        } else if (family45) {
            a = {"", "", 7, 1257};
        } else {
            a = {"in_tast5", minutes(c.value1), 5, 1255};
        }
    } else if (c.code == 23) {
        if (upsType == 2) {
            a = {"in_tast15", minutes(c.value1), 15, 1265};
        } else if (family45) {
            a = {"", "", 4, 1254};
        } else {
            a = {"in_tast23", std::to_string(c.value1), 23, 1273};
        }
    } else {
        a = {"", "", c.code, 1250 + c.code};
    }
    return a;
}

int maskBitAlarm(int bit)
{
    static constexpr int kMap[24] = {0, 2,  3,  1,  8,  9,  5,  6,  10, 11, 17, 4,
                                     7, 23, 18, 19, 13, 14, 21, 22, 20, 12, 15, 16};
    if (bit < 0 || bit >= 24) return 0;
    return kMap[bit] + 1;
}

std::vector<std::vector<std::string>> trapTestCommands(const TrapParams& t, int row,
                                                       std::uint32_t mask, std::uint32_t mibType,
                                                       const std::string& engineId)
{
    std::vector<std::vector<std::string>> out;
    if (row < 1 || row > kRows || mask == 0) return out;
    const TrapRow& r = t.rows[row - 1];
    if (r.way == 0 || (t.version != 0 && t.version != 1)) return out;
    const std::string target = r.toIp + ":" + std::to_string(t.port);
    const std::string T = std::to_string(t.time * t.count);
    const std::string R = std::to_string(t.count);
    for (int b = 0; b < 24; ++b) {
        if (!(mask & (1u << b))) continue;
        int n = maskBitAlarm(b);
        std::vector<std::string> a;
        a.push_back(r.way == 1 ? "snmptrap" : "snmpinform");
        if (t.version == 0) {
            a.insert(a.end(), {"-v", "2c"});
            if (r.way != 1) a.insert(a.end(), {"-t", T, "-r", R});
            a.insert(a.end(), {"-c", r.community});
        } else {
            if (r.way != 1) a.insert(a.end(), {"-t", T, "-r", R});
            a.insert(a.end(), {"-v", "3", "-u", r.username});
            // informs discover the receiver's engine; traps speak for the agent's
            if (r.way == 1 && !engineId.empty()) a.insert(a.end(), {"-e", engineId});
            a.insert(a.end(),
                     {"-a", r.auth == 0 ? "MD5" : "SHA", "-A", r.userPassword, "-x",
                      r.privacy == 0 ? "DES" : "AES", "-X", r.privacyPassword, "-l", "authPriv"});
        }
        a.push_back(target);
        a.push_back("2");
        if (mibType == 0) {
            a.insert(a.end(), {"1.3.6.1.2.1.33.2.3", "1.3.6.1.2.1.33.1.6.2.1.1", "i",
                               std::to_string(n), "1.3.6.1.2.1.33.1.6.2.1.2", "o",
                               "1.3.6.1.2.1.33.1.6.3." + std::to_string(n)});
        } else {
            a.push_back("1.3.6.1.4.1.935.0.0");
        }
        out.push_back(std::move(a));
    }
    return out;
}

} // namespace snmptask
