/*
 * commands.cpp - the SMS command set.
 *
 * Registered users (eight slots, mirrored to settings) manage the card and
 * operate the UPS with four-letter keywords, the management password and
 * arguments separated by "*" and "#". A keyword may stand anywhere in a
 * message; every keyword found is tried in the order of kKeywords, each with
 * its own check, and a command whose check fails is dropped without a reply.
 * Only a registered number may use them; from any other number only the
 * registration (ZCHM, which needs the password) is heard, and the refusal is
 * logged. The alarm recipients of the web pages with control rights have a
 * second, simpler path: the UPS keywords alone, without password or reply.
 *
 * UPS commands are posted to the data task (channel 0) and recorded by the
 * store as control actions "Sms:<number>".
 */
#include "sms.hpp"

#include "card_rules.hpp"

#include <cstdio>

namespace sms
{
namespace
{

constexpr unsigned kUserAlarmBits = 19; // bits 0..18 of a user's alarm mask
constexpr unsigned kDefaultAlarmMask = (1u << kUserAlarmBits) - 1;
constexpr int kMaxAlarmValues = 24;
constexpr int kMaxReportMinutes = 999;
constexpr size_t kMinSuffixDigits = 7; // a national number inside an international one

struct UpsKeyword {
    const char* word;
    int command;
};
constexpr UpsKeyword kUpsKeywords[] = {
    {"XTGJ", card::command::kShutdown}, {"XTKJ", card::command::kRestart},
    {"XTXM", card::command::kStandby},  {"XTHX", card::command::kWakeUp},
    {"DCCS", card::command::kSelfTest}, {"QXCS", card::command::kCancelTest},
};

std::string digitsOf(std::string_view s)
{
    std::string d;
    for (char c : s)
        if (c >= '0' && c <= '9') d += c;
    return d;
}

bool allDigits(std::string_view s)
{
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// A configured number and a sender are the same phone: the same digits, or
// the one a national form of the other (its digits ending the longer one).
bool sameNumber(std::string_view configured, std::string_view sender)
{
    const std::string a = digitsOf(configured), b = digitsOf(sender);
    if (a.empty() || b.empty()) return false;
    if (a == b) return true;
    const std::string& shorter = a.size() < b.size() ? a : b;
    const std::string& longer = a.size() < b.size() ? b : a;
    return shorter.size() >= kMinSuffixDigits && longer.ends_with(shorter);
}

// A small decimal number (at most 3 digits), -1 otherwise.
int smallInt(std::string_view s)
{
    if (!allDigits(s) || s.size() > 3) return -1;
    return card::parseInt(s, -1);
}

std::vector<std::string_view> split(std::string_view s, char sep)
{
    std::vector<std::string_view> out;
    size_t pos = 0;
    while (true) {
        const size_t at = s.find(sep, pos);
        out.push_back(
            s.substr(pos, at == std::string_view::npos ? std::string_view::npos : at - pos));
        if (at == std::string_view::npos) return out;
        pos = at + 1;
    }
}

std::string key(const char* base, int slot)
{
    return std::string(base) + std::to_string(slot);
}

std::string cut(std::string s, size_t max)
{
    if (s.size() > max) s.resize(max);
    return s;
}

std::string fmt(const char* f, double a)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, f, a);
    return buf;
}

std::string phases(card::Runtime& rt, bool three, int a, int b, int c, const char* unit)
{
    auto v = [&](int sig) { return fmt("%.1f", rt.value(card::kUps, sig)); };
    return (three ? v(a) + "/" + v(b) + "/" + v(c) : v(a)) + unit;
}

constexpr const char* kSourceWords[2][8] = {
    {"其他", "无", "市电", "旁路", "电池", "升压", "降压", "联合"},
    {"other", "none", "normal", "bypass", "battery", "booster", "reducer", "union"},
};
constexpr const char* kLabels[2][4] = {{"输入 ", "输出 ", "负载 ", "电池 "},
                                       {"INPUT ", "OUTPUT ", "LOAD ", "BATTERY "}};
constexpr const char* kCommunicationLost[2] = {"通讯失联", "Communication lost"};

} // namespace

// ---------------------------------------------------------------- record --

int UserRecord::count() const
{
    int n = 0;
    for (const User& u : users)
        n += u.enabled ? 1 : 0;
    return n;
}

int UserRecord::slotOf(const std::string& sender) const
{
    const std::string from = digitsOf(sender);
    for (int i = 0; i < kSlots; ++i) {
        const User& u = users[size_t(i)];
        if (!u.enabled || u.number.empty()) continue;
        const std::string full = u.code + u.number;
        if (from == full || from == "00" + full) return i;
    }
    return -1;
}

void UserRecord::load(card::Runtime& rt)
{
    language = rt.integer("sms_language", 0) == 1 ? 1 : 0;
    password = cut(rt.text("sms_admin_password", kFactoryPassword), kPasswordBytes);
    systemName = cut(rt.text("sms_system_name", ""), kSystemNameBytes);
    for (int i = 0; i < kSlots; ++i) {
        User& u = users[size_t(i)];
        u.enabled = rt.integer(key("sms_user_enable_", i), 0) == 1;
        u.code = cut(rt.text(key("sms_telephone_code_", i), ""), kCountryCodeBytes);
        u.number = cut(rt.text(key("sms_user_telephone_", i), ""), kPhoneBytes);
        const int minutes = rt.integer(key("sms_report_time_", i), 0);
        u.reportMinutes = minutes >= 1 && minutes <= kMaxReportMinutes ? minutes : 0;
        u.alarmMask = unsigned(rt.integer(key("sms_select_alarm_", i), int(kDefaultAlarmMask)));
        u.dial = rt.integer(key("sms_dial_", i), 0) == 1;
    }
}

void UserRecord::save(card::Runtime& rt) const
{
    rt.saveInt("registered_num", count());
    rt.saveInt("sms_language", language);
    rt.save("sms_system_name", systemName);
    rt.save("sms_admin_password", password);
    for (int i = 0; i < kSlots; ++i) {
        const User& u = users[size_t(i)];
        rt.saveInt(key("sms_user_enable_", i), u.enabled ? 1 : 0);
        rt.save(key("sms_telephone_code_", i), u.code);
        rt.save(key("sms_user_telephone_", i), u.number);
        rt.saveInt(key("sms_report_time_", i), u.reportMinutes);
        rt.saveInt(key("sms_select_alarm_", i), int(u.alarmMask));
        rt.saveInt(key("sms_dial_", i), u.dial ? 1 : 0);
    }
}

// -------------------------------------------------------------- keywords --

void Commands::handle(const Message& m)
{
    registeredPath(m.sender, m.content);
    recipientPath(m.sender, m.content);
}

void Commands::reply(const std::string& to, const std::string& text)
{
    send_(to, text);
}

void Commands::upsCommand(int command, const std::string& source)
{
    rt_.command(command);
    rt_.storeText(card::store::kControlSms + command, source);
    rt_.log("sms command " + std::to_string(command) + " from " + source);
}

void Commands::registeredPath(const std::string& sender, const std::string& content)
{
    if (content.size() <= 3) return;
    const int slot = users_.slotOf(sender);
    if (slot < 0) {
        const size_t at = content.find("ZCHM");
        if (at != std::string::npos)
            registerUser(sender, std::string_view(content).substr(at + 4));
        else
            rt_.log("Phone number is not registered user_telephone:" + sender);
        return;
    }

    // From the keyword to the end of the message, or nothing.
    auto from = [&](const char* word) -> std::optional<std::string_view> {
        const size_t at = content.find(word);
        if (at == std::string::npos) return std::nullopt;
        return std::string_view(content).substr(at);
    };
    auto arg = [&](const char* word) -> std::optional<std::string_view> {
        auto f = from(word);
        if (f) f->remove_prefix(4);
        return f;
    };

    if (auto a = arg("ZCHM")) registerUser(sender, *a);
    for (const char* word : {"CXHM", "cXHM", "CxHM", "cxHM"})
        if (auto a = arg(word)) listUsers(sender, *a);
    if (auto a = arg("QXHM")) slotCommand(sender, *a, "QXHM");
    if (auto f = from("CXZT"); f && *f == "CXZT") reply(sender, stateReport(users_.english()));
    if (auto a = arg("SZGJ")) setAlarms(sender, *a);
    if (auto a = arg("CXGJ")) listAlarms(sender, *a);
    if (auto a = arg("SZXT")) setSystem(sender, *a);
    if (auto a = arg("SZBH")) slotCommand(sender, *a, "SZBH");
    if (auto a = arg("QXBH")) slotCommand(sender, *a, "QXBH");
    if (auto a = arg("SZYY")) setLanguage(sender, *a);
    if (auto f = from("DFST"); f && *f == "DFST583041") {
        users_.language = 0;
        users_.systemName.clear();
        users_.password = kFactoryPassword;
        users_.save(rt_);
        rt_.log("sms settings reset by " + sender);
        reply(sender, "system reset by " + sender);
    }
    for (const UpsKeyword& k : kUpsKeywords)
        if (auto a = arg(k.word); a && passwordIs(*a)) upsCommand(k.command, "Sms:" + sender);
}

// ZCHM password*country#number[#minutes]
void Commands::registerUser(const std::string& sender, std::string_view arg)
{
    const size_t star = arg.find('*');
    if (star == std::string_view::npos || arg.find('*', star + 1) != std::string_view::npos) return;
    const auto fields = split(arg.substr(star + 1), '#');
    if (fields.size() < 2 || fields.size() > 3 || arg.find('#') < star) return;
    if (!passwordIs(arg.substr(0, star))) return;
    const std::string_view code = fields[0], number = fields[1];
    if (!allDigits(code) || code.size() > kCountryCodeBytes || !allDigits(number) ||
        number.size() > kPhoneBytes)
        return;
    if (users_.count() >= kSlots) {
        rt_.log("sms users full, " + std::string(number) + " not added");
        return;
    }
    for (const User& u : users_.users)
        if (u.enabled && u.code == code && u.number == number) {
            rt_.log("Phone number already exists user_telephone:" + std::string(number));
            return;
        }
    int minutes = fields.size() == 3 ? smallInt(fields[2]) : 0;
    if (minutes < 1 || minutes > kMaxReportMinutes) minutes = 0;
    for (int i = 0; i < kSlots; ++i) {
        User& u = users_.users[size_t(i)];
        if (u.enabled) continue;
        u = User{true, std::string(code), std::string(number), minutes, kDefaultAlarmMask, true};
        timers_[size_t(i)] = 0;
        users_.save(rt_);
        rt_.log("add new user success smsuser.user_num:" + std::to_string(users_.count()) +
                " user_id:<#" + std::to_string(i + 1) + ">");
        reply(sender, replyText(Reply::NumberRegistered, users_.english()));
        return;
    }
}

// CXHM password
void Commands::listUsers(const std::string& sender, std::string_view arg)
{
    if (!passwordIs(arg) || users_.count() == 0) return;
    std::string text;
    for (int i = 0; i < kSlots; ++i) {
        const User& u = users_.users[size_t(i)];
        if (!u.enabled) continue;
        if (!text.empty()) text += "\r\n";
        text += "<" + std::to_string(i + 1) + ">," + u.code + "," + u.number + "," +
                std::to_string(u.reportMinutes);
    }
    reply(sender, text);
}

// QXHM / SZBH / QXBH password#id[#id...]
void Commands::slotCommand(const std::string& sender, std::string_view arg, const char* keyword)
{
    const auto fields = split(arg, '#');
    if (fields.size() < 2 || !passwordIs(fields[0])) return;
    const std::string_view word(keyword);
    bool changed = false;
    for (size_t f = 1; f < fields.size(); ++f) {
        const int id = smallInt(fields[f]);
        if (id < 1 || id > kSlots) continue;
        User& u = users_.users[size_t(id - 1)];
        if (!u.enabled) continue;
        if (word == "QXHM") {
            u = User{};
            u.alarmMask = 0;
            timers_[size_t(id - 1)] = 0;
        } else {
            u.dial = word == "SZBH";
        }
        changed = true;
    }
    if (!changed) return;
    users_.save(rt_);
    reply(sender,
          replyText(word == "QXHM" ? Reply::PhoneDeleted : Reply::NumberSet, users_.english()));
}

// SZGJ password#n[#n...]: the sender's alarm mask is the bits n - 1.
void Commands::setAlarms(const std::string& sender, std::string_view arg)
{
    const auto fields = split(arg, '#');
    if (fields.size() < 2 || !passwordIs(fields[0])) return;
    unsigned mask = 0;
    for (size_t f = 1; f < fields.size() && f <= kMaxAlarmValues; ++f) {
        const int n = smallInt(fields[f]);
        if (n >= 1 && n <= int(kUserAlarmBits)) mask |= 1u << (n - 1);
    }
    const int slot = users_.slotOf(sender);
    if (mask == 0 || slot < 0) return;
    users_.users[size_t(slot)].alarmMask = mask;
    users_.save(rt_);
    reply(sender, replyText(Reply::AlarmSet, users_.english()));
}

// CXGJ password
void Commands::listAlarms(const std::string& sender, std::string_view arg)
{
    const int slot = users_.slotOf(sender);
    if (!passwordIs(arg) || slot < 0) return;
    const unsigned mask = users_.users[size_t(slot)].alarmMask & kDefaultAlarmMask;
    if (mask == 0) return;
    std::string text;
    for (unsigned b = 0; b < kUserAlarmBits; ++b)
        if (mask & (1u << b)) text += "#" + std::to_string(b + 1);
    reply(sender, text);
}

// SZXT password#newpassword[#systemname]
void Commands::setSystem(const std::string& sender, std::string_view arg)
{
    const auto fields = split(arg, '#');
    if (fields.size() < 2 || !passwordIs(fields[0])) return;
    const std::string_view pass = fields[1];
    if (pass.empty() || pass.size() > kPasswordBytes || pass.find('*') != std::string_view::npos)
        return;
    if (fields.size() > 2 && fields[2].size() > kSystemNameBytes) return;
    users_.password = std::string(pass);
    if (fields.size() > 2) users_.systemName = std::string(fields[2]);
    users_.save(rt_);
    reply(sender, replyText(Reply::SystemSet, users_.english()));
}

// SZYY password#CN or #EN
void Commands::setLanguage(const std::string& sender, std::string_view arg)
{
    const size_t hash = arg.find('#');
    if (hash == std::string_view::npos || !passwordIs(arg.substr(0, hash))) return;
    const std::string_view rest = arg.substr(hash + 1);
    if (rest.find("CN") != std::string_view::npos)
        users_.language = 0;
    else if (rest.find("EN") != std::string_view::npos)
        users_.language = 1;
    else
        return;
    users_.save(rt_);
    reply(sender, replyText(Reply::LanguageSet, users_.english()));
}

void Commands::recipientPath(const std::string& sender, const std::string& content)
{
    if (rt_.integer("sms_enable", 0) != 1 || rt_.integer("sms_alarm_is_enable", 0) != 1) return;
    int match = -1;
    std::string number;
    for (int i = 0; i < kSlots; ++i) {
        const std::string n = rt_.text(key("sms_recpt_", i), "");
        if (!n.empty() && sameNumber(n, sender)) {
            match = i;
            number = n;
        }
    }
    if (match < 0) return;
    const bool mayControl = rt_.integer(key("sms_ctrl_", match), 0) != 0;
    for (const UpsKeyword& k : kUpsKeywords) {
        if (content.find(k.word) == std::string::npos) continue;
        if (mayControl)
            upsCommand(k.command, "Sms:" + number);
        else
            rt_.log("sms recipient " + number + " may not control the UPS: " + k.word + " ignored");
    }
}

// ----------------------------------------------------------- reports --

std::string Commands::stateReport(bool english)
{
    const int l = english ? 1 : 0;
    const char* const* label = kLabels[l];
    if (rt_.integer("ups_lost", 0) == 1) {
        std::string r = kCommunicationLost[l];
        for (int i = 0; i < 4; ++i)
            r += std::string("\r\n") + label[i] + "0";
        return r;
    }
    std::string r;
    const int source = rt_.intValue(card::kUps, Data_OutputSource);
    if (source >= 1 && source <= 8) r = std::string(kSourceWords[l][source - 1]) + "\r\n";
    const bool in3 = rt_.intValue(card::kUps, Data_InputNumLines) == 3;
    const bool out3 = rt_.intValue(card::kUps, Data_OutputNumLines) == 3;
    r += label[0] +
         phases(rt_, in3, Data_InputVoltage_A, Data_InputVoltage_B, Data_InputVoltage_C, "V");
    r += "\r\n";
    r += label[1] +
         phases(rt_, out3, Data_OutputVoltage_A, Data_OutputVoltage_B, Data_OutputVoltage_C, "V");
    r += "\r\n";
    r += label[2] + phases(rt_, out3, Data_OutputPercentLoad_A, Data_OutputPercentLoad_B,
                           Data_OutputPercentLoad_C, "%");
    r += "\r\n";
    r += label[3] + fmt("%.1fV", card::batteryVoltage(rt_));
    return r;
}

void Commands::periodic()
{
    const std::time_t now = rt_.now();
    for (int i = 0; i < kSlots; ++i) {
        const User& u = users_.users[size_t(i)];
        std::time_t& since = timers_[size_t(i)];
        if (!u.enabled || u.reportMinutes < 1 || u.reportMinutes > kMaxReportMinutes) continue;
        if (since == 0) {
            since = now;
            continue;
        }
        if ((now - since) / 60 < u.reportMinutes) continue;
        since = now;
        reply("+" + u.code + u.number, stateReport(users_.english()));
    }
}

void Commands::userAlarm(int alarm, bool cleared)
{
    const int bit = userBit(alarm);
    if (bit < 0) return;
    for (const User& u : users_.users) {
        if (!u.enabled || !u.dial || !(u.alarmMask & (1u << bit))) continue;
        const char* text =
            alarmText(users_.english() ? English : SimplifiedChinese, alarm, cleared);
        reply("+" + u.code + u.number, text);
    }
}

} // namespace sms
