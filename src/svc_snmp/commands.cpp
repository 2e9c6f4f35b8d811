/*
 * commands.cpp - set requests from the MIB module, and the test traps.
 *
 * A set request arrives as a UPS command number with a 16-bit value. Start-up
 * and shut-down delays are kept as command parameters in settings (minutes for
 * some UPS families, seconds for others) before the command is posted to the
 * data task; the store records every command as an SNMP control action.
 */
#include "snmptask.h"

#include "card_rules.hpp"

#include <cstdio>

namespace snmptask
{

CommandAction commandAction(const snmpblock::Command& c, int upsType)
{
    namespace cmd = card::command;
    const bool family45 = upsType == 4 || upsType == 5;
    auto minutes = [&](int seconds) { return std::to_string(seconds / 60 < 1 ? 1 : seconds / 60); };
    if (c.code == cmd::kStandby) {
        // start-up after value1 seconds
        if (upsType == 2) return {"in_tast16", minutes(c.value1), cmd::kInverterDelayStart};
        if (family45) return {"", "", cmd::kRestart};
        return {"in_tast5", minutes(c.value1), cmd::kStandby};
    }
    if (c.code == cmd::kShutdownAfterDelay) {
        // shut-down after value1 seconds
        if (upsType == 2) return {"in_tast15", minutes(c.value1), cmd::kInverterOffCountdown};
        if (family45) return {"", "", cmd::kShutdown};
        return {"in_tast23", std::to_string(c.value1), cmd::kShutdownAfterDelay};
    }
    return {"", "", c.code};
}

void handleMessage(const snmpblock::Message& m, card::Runtime& r)
{
    const snmpblock::Command c = snmpblock::decodeCommand(m);
    char line[128];
    std::snprintf(line, sizeof line,
                  "ReceiveMsg is ok msg.type:%ld msg.data[0]:%d,value1:%d,value2:%d", m.type,
                  c.code, c.value1, c.value2);
    r.log(line);
    const CommandAction a = commandAction(c, card::upsType(r));
    if (!a.settingKey.empty()) r.save(a.settingKey, a.settingValue);
    r.command(a.command);
    r.store(card::store::kControlSnmp + a.command);
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

std::vector<std::vector<std::string>> trapTestRequest(const TrapParams& trap, int row,
                                                      std::uint32_t mibType, card::Runtime& r)
{
    if (row < 1 || row > kRows) return {};
    const auto mask =
        static_cast<std::uint32_t>(r.integer("trap_event_" + std::to_string(row - 1), 0)) &
        0xffffff;
    if (mask == 0) {
        r.log("User_" + std::to_string(row) + " did not select an alarm event");
        return {};
    }
    return trapTestCommands(trap, row, mask, mibType, r.text("engine_id", ""));
}

} // namespace snmptask
