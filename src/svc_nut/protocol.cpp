/*
 * protocol.cpp - one request of one client and its answer, by the public
 * description of the network UPS protocol (version 1.3): GET, LIST, SET,
 * INSTCMD, USERNAME/PASSWORD, LOGIN/LOGOUT, PRIMARY (and its old name
 * MASTER), FSD, STARTTLS, HELP, VER, NETVER, and the protocol's error words.
 *
 * Reading needs no account. LOGIN (a monitoring client) needs level 1,
 * INSTCMD level 2, PRIMARY, FSD and SET level 3. Credentials are checked when
 * a request needs them; a failed check is answered only after the server's
 * delay (Answer::authFailed), and its log line never holds the password.
 */
#include "nut.hpp"

#include "card_rules.hpp"

#include <algorithm>
#include <cctype>

namespace nut
{

namespace
{

std::string upper(std::string_view s)
{
    std::string u(s);
    for (char& c : u)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

Answer line(std::string text)
{
    return Answer{text + "\n"};
}

Answer error(const char* word)
{
    return line(std::string("ERR ") + word);
}

bool isUps(std::string_view name)
{
    return name == kUpsName;
}

std::string typeOf(std::string_view name)
{
    if (const Writable* w = findWritable(name))
        return w->kind == Kind::Range ? "RW RANGE" : "RW STRING:" + std::to_string(w->max);
    return numericVariable(name) ? "NUMBER" : "STRING:128";
}

constexpr const char* kHelp = "Commands: HELP VER NETVER GET LIST SET INSTCMD LOGIN LOGOUT "
                              "USERNAME PASSWORD PRIMARY MASTER FSD STARTTLS";
constexpr int kLongestParameter = 9999; // seconds a command parameter may hold

} // namespace

Answer Protocol::handleLine(Client& c, std::string_view text)
{
    auto words = splitWords(text);
    if (!words) return error("INVALID-ARGUMENT");
    return handle(c, *words);
}

Answer Protocol::handle(Client& c, const std::vector<std::string>& w)
{
    if (w.empty()) return {};
    const std::string verb = upper(w[0]);
    if (verb == "GET") return get(c, w);
    if (verb == "LIST") return list(c, w);
    if (verb == "SET") return set(c, w);
    if (verb == "INSTCMD") return instcmd(c, w);
    if (verb == "LOGIN") return login(c, w);
    if (verb == "PRIMARY") return primary(c, w, false);
    if (verb == "MASTER") return primary(c, w, true);
    if (verb == "FSD") return fsd(c, w);
    if (verb == "USERNAME") {
        if (w.size() != 2) return error("INVALID-ARGUMENT");
        if (c.haveUsername) return error("ALREADY-SET-USERNAME");
        if (w[1].empty()) return error("INVALID-USERNAME");
        c.username = w[1];
        c.haveUsername = true;
        return line("OK");
    }
    if (verb == "PASSWORD") {
        if (w.size() != 2) return error("INVALID-ARGUMENT");
        if (c.havePassword) return error("ALREADY-SET-PASSWORD");
        if (w[1].empty()) return error("INVALID-PASSWORD");
        c.password = w[1];
        c.havePassword = true;
        return line("OK");
    }
    if (verb == "LOGOUT") {
        Answer a = line("OK Goodbye");
        a.close = true;
        return a;
    }
    if (verb == "STARTTLS") {
        if (c.tls) return error("ALREADY-SSL-MODE");
        if (!peers_.tlsAvailable()) return error("FEATURE-NOT-CONFIGURED");
        Answer a = line("OK STARTTLS");
        a.startTls = true;
        return a;
    }
    if (verb == "VER")
        return line(std::string("svc_nut ") + card::kFirmwareVersion +
                    " - network UPS server of the card");
    if (verb == "NETVER") return line(kNetVersion);
    if (verb == "HELP") return line(kHelp);
    return error("UNKNOWN-COMMAND");
}

bool Protocol::authorize(Client& c, int least, const char* what, Answer& refused)
{
    if (!c.haveUsername) {
        refused = error("USERNAME-REQUIRED");
        return false;
    }
    if (!c.havePassword) {
        refused = error("PASSWORD-REQUIRED");
        return false;
    }
    card::Runtime& r = ups_.runtime();
    const int level = users_.level(c.username, c.password, c.address);
    if (level == kNoAccess) {
        refused = error("ACCESS-DENIED");
        refused.authFailed = true;
        const auto now = Clock::now();
        if (lastRefusalLog_ == Clock::time_point{} || now - lastRefusalLog_ >= kRefusalLogGap) {
            std::string more;
            if (unlogged_ > 0) more = " (" + std::to_string(unlogged_) + " more refused before)";
            r.log("NUT: " + std::string(what) +
                  " refused: wrong user, password or address for user " + c.username + " from " +
                  c.address + more);
            lastRefusalLog_ = now;
            unlogged_ = 0;
        } else {
            ++unlogged_;
        }
        return false;
    }
    if (level < least) {
        refused = error("ACCESS-DENIED");
        r.log("NUT: " + std::string(what) + " refused: user " + c.username + " (level " +
              std::to_string(level) + ") from " + c.address);
        return false;
    }
    return true;
}

Answer Protocol::get(Client& c, const std::vector<std::string>& w)
{
    (void)c;
    if (w.size() < 2) return error("INVALID-ARGUMENT");
    const std::string sub = upper(w[1]);
    if (sub == "TRACKING") return w.size() == 2 ? line("OFF") : error("INVALID-ARGUMENT");
    if (sub == "NUMLOGINS" || sub == "UPSDESC") {
        if (w.size() != 3) return error("INVALID-ARGUMENT");
        if (!isUps(w[2])) return error("UNKNOWN-UPS");
        if (sub == "UPSDESC") return line("UPSDESC " + w[2] + " " + quote(ups_.description()));
        return line("NUMLOGINS " + w[2] + " " + std::to_string(peers_.loggedIn().size()));
    }
    if (sub != "VAR" && sub != "TYPE" && sub != "DESC" && sub != "CMDDESC")
        return error("INVALID-ARGUMENT");
    if (w.size() != 4) return error("INVALID-ARGUMENT");
    if (!isUps(w[2])) return error("UNKNOWN-UPS");
    const std::string& name = w[3];
    if (sub == "CMDDESC") {
        const Command* cmd = findCommand(name);
        if (!cmd) return error("CMD-NOT-SUPPORTED");
        return line("CMDDESC " + w[2] + " " + name + " " + quote(cmd->description));
    }
    if (!knownVariable(name)) return error("VAR-NOT-SUPPORTED");
    if (sub == "DESC")
        return line("DESC " + w[2] + " " + name + " " + quote(describeVariable(name)));
    if (sub == "TYPE") return line("TYPE " + w[2] + " " + name + " " + typeOf(name));
    if (ups_.stale()) return error("DATA-STALE");
    auto v = ups_.variable(name, fsd_.raised(Clock::now()));
    if (!v) return error("VAR-NOT-SUPPORTED");
    return line("VAR " + w[2] + " " + name + " " + quote(*v));
}

Answer Protocol::list(Client& c, const std::vector<std::string>& w)
{
    (void)c;
    if (w.size() < 2) return error("INVALID-ARGUMENT");
    const std::string sub = upper(w[1]);
    std::string query = sub;
    for (std::size_t i = 2; i < w.size(); ++i)
        query += " " + w[i];
    auto listOf = [&](const std::vector<std::string>& rows) {
        std::string text = "BEGIN LIST " + query + "\n";
        for (const std::string& r : rows)
            text += r + "\n";
        text += "END LIST " + query + "\n";
        return Answer{text};
    };
    if (sub == "UPS") {
        if (w.size() != 2) return error("INVALID-ARGUMENT");
        return listOf({std::string("UPS ") + kUpsName + " " + quote(ups_.description())});
    }
    const bool named = sub == "ENUM" || sub == "RANGE";
    if (sub != "VAR" && sub != "RW" && sub != "CMD" && sub != "CLIENT" && !named)
        return error("INVALID-ARGUMENT");
    if (w.size() != (named ? 4u : 3u)) return error("INVALID-ARGUMENT");
    const std::string& ups = w[2];
    if (!isUps(ups)) return error("UNKNOWN-UPS");
    std::vector<std::string> rows;
    if (sub == "VAR") {
        if (ups_.stale()) return error("DATA-STALE");
        for (const Variable& v : ups_.variables(fsd_.raised(Clock::now())))
            rows.push_back("VAR " + ups + " " + v.name + " " + quote(v.value));
    } else if (sub == "RW") {
        for (const Writable& wr : writables())
            rows.push_back("RW " + ups + " " + wr.name + " " +
                           quote(writableValue(ups_.runtime(), wr)));
    } else if (sub == "CMD") {
        for (const Command& cmd : commands())
            rows.push_back("CMD " + ups + " " + cmd.name);
    } else if (sub == "CLIENT") {
        for (const std::string& a : peers_.loggedIn())
            rows.push_back("CLIENT " + ups + " " + a);
    } else {
        const std::string& name = w[3];
        if (!knownVariable(name)) return error("VAR-NOT-SUPPORTED");
        const Writable* wr = findWritable(name);
        if (sub == "RANGE" && wr && wr->kind == Kind::Range)
            rows.push_back("RANGE " + ups + " " + name + " " + quote(std::to_string(wr->min)) +
                           " " + quote(std::to_string(wr->max)));
    }
    return listOf(rows);
}

Answer Protocol::set(Client& c, const std::vector<std::string>& w)
{
    if (w.size() >= 2 && upper(w[1]) == "TRACKING") return error("FEATURE-NOT-SUPPORTED");
    if (w.size() != 5 || upper(w[1]) != "VAR") return error("INVALID-ARGUMENT");
    Answer refused;
    if (!authorize(c, kAdministrator, "SET", refused)) return refused;
    if (!isUps(w[2])) return error("UNKNOWN-UPS");
    const std::string& name = w[3];
    const Writable* wr = findWritable(name);
    if (!wr) return error(knownVariable(name) ? "READONLY" : "VAR-NOT-SUPPORTED");
    if (auto refusedWord = setWritable(ups_.runtime(), *wr, w[4]))
        return error(refusedWord->c_str());
    ups_.runtime().log("NUT: " + c.username + " from " + c.address + " set " + name + " to " +
                       w[4]);
    return line("OK");
}

Answer Protocol::instcmd(Client& c, const std::vector<std::string>& w)
{
    if (w.size() != 3 && w.size() != 4) return error("INVALID-ARGUMENT");
    Answer refused;
    if (!authorize(c, kOperator, "INSTCMD", refused)) return refused;
    if (!isUps(w[1])) return error("UNKNOWN-UPS");
    const Command* cmd = findCommand(w[2]);
    if (!cmd) return error("CMD-NOT-SUPPORTED");
    card::Runtime& r = ups_.runtime();
    if (w.size() == 4) {
        const int seconds = card::parseInt(w[3], -1);
        if (!cmd->paramSetting || seconds < 0 || seconds > kLongestParameter ||
            w[3].find_first_not_of("0123456789") != std::string::npos)
            return error("INVALID-ARGUMENT");
        r.saveInt(cmd->paramSetting, seconds);
    }
    // The data task carries out remote commands only when they are allowed,
    // and a command for a UPS the card cannot reach goes nowhere: say so
    // instead of answering OK.
    if (r.integer("use_dev_fun2", 1) != 1) return error("INSTCMD-FAILED");
    if (ups_.stale()) return error("DRIVER-NOT-CONNECTED");
    r.command(cmd->number);
    r.storeText(card::store::kControlModbus + cmd->number, "NUT:" + c.address);
    r.log("NUT: " + c.username + " from " + c.address + " ran " + cmd->name + " (command " +
          std::to_string(cmd->number) + ")");
    return line("OK");
}

Answer Protocol::login(Client& c, const std::vector<std::string>& w)
{
    if (w.size() != 2) return error("INVALID-ARGUMENT");
    if (c.loggedIn) return error("ALREADY-LOGGED-IN");
    Answer refused;
    if (!authorize(c, kMonitor, "LOGIN", refused)) return refused;
    if (!isUps(w[1])) return error("UNKNOWN-UPS");
    c.loggedIn = true;
    ups_.runtime().log("NUT: " + c.username + " from " + c.address + " monitors the UPS");
    return line("OK");
}

Answer Protocol::primary(Client& c, const std::vector<std::string>& w, bool oldName)
{
    if (w.size() != 2) return error("INVALID-ARGUMENT");
    Answer refused;
    if (!authorize(c, kAdministrator, oldName ? "MASTER" : "PRIMARY", refused)) return refused;
    if (!isUps(w[1])) return error("UNKNOWN-UPS");
    c.primary = true;
    return line(oldName ? "OK MASTER-GRANTED" : "OK PRIMARY-GRANTED");
}

Answer Protocol::fsd(Client& c, const std::vector<std::string>& w)
{
    if (w.size() != 2) return error("INVALID-ARGUMENT");
    Answer refused;
    if (!authorize(c, kAdministrator, "FSD", refused)) return refused;
    if (!isUps(w[1])) return error("UNKNOWN-UPS");
    fsd_.raise("primary " + c.username + " from " + c.address, Clock::now());
    return line("OK FSD-SET");
}

} // namespace nut
