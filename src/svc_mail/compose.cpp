/*
 * compose.cpp - the settings records, the two configuration texts and the
 * message text.
 *
 * Everything here is a pure function of the settings, so every rule about
 * hostile values lives here and is tested here: a settings text never adds a
 * line to a configuration file, never reaches mutt's command substitution
 * (backquotes, $variables) and never adds a header to a message.
 */
#include "mail.hpp"

#include "card_rules.hpp"
#include "platform.hpp"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace mail
{
namespace
{

bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

std::string withoutControls(std::string_view v)
{
    std::string out;
    for (char c : v)
        if (!isControl(static_cast<unsigned char>(c))) out += c;
    return out;
}

std::uint32_t maskOf(const std::string& text)
{
    const char* s = text.c_str();
    char* end = nullptr;
    const long long v = std::strtoll(s, &end, 10);
    return end == s ? 0u : static_cast<std::uint32_t>(v);
}

std::string numbered(const char* pattern, int n)
{
    char key[64];
    std::snprintf(key, sizeof key, pattern, n);
    return key;
}

const char* charsetName(int language)
{
    return language == SimplifiedChinese || language == TraditionalChinese ? "gbk" : "utf-8";
}

std::string base64(std::string_view bytes)
{
    static const char* const k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = unsigned(static_cast<unsigned char>(bytes[i])) << 16 |
                           unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                           unsigned(static_cast<unsigned char>(bytes[i + 2]));
        out += k[v >> 18 & 63];
        out += k[v >> 12 & 63];
        out += k[v >> 6 & 63];
        out += k[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = unsigned(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= unsigned(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += k[v >> 18 & 63];
        out += k[v >> 12 & 63];
        out += i + 1 < bytes.size() ? k[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

bool ascii(std::string_view v)
{
    for (char c : v)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// "Date:" value as mail readers expect it: "Mon, 01 Jan 2024 12:00:00 +0800".
std::string dateValue(const std::tm& t, long offset)
{
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[(t.tm_wday % 7 + 7) % 7], t.tm_mday, kMonths[(t.tm_mon % 12 + 12) % 12],
                  t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, offset < 0 ? '-' : '+',
                  minutes / 60, minutes % 60);
    return buf;
}

// The message in UTF-8 without its subject: identity lines and body line.
std::string bodyText(const MessageParts& m, const System& sys)
{
    const int l = sys.language;
    std::string b;
    b += label(l, Label::Name) + withoutControls(sys.name) + "\n";
    b += label(l, Label::Administrator) + withoutControls(sys.administrator) + "\n";
    b += label(l, Label::Location) + withoutControls(sys.location) + "\n";
    switch (m.kind) {
    case Kind::Test:
        b += std::string(testBody(l)) + "\n";
        break;
    case Kind::AlarmRaised:
    case Kind::AlarmCleared:
        if (const char* t = alarmText(l, m.alarm, m.kind == Kind::AlarmCleared))
            b += std::string(t) + "\n";
        break;
    case Kind::DailyReport:
        break;
    }
    return b;
}

// Headers and body in charset (the subject and body already in it).
std::string assemble(const MessageParts& m, const std::string& charset, const std::string& subject,
                     const std::string& body)
{
    std::string s;
    s += "Date:" + dateValue(m.local, m.utcOffset) + "\n";
    s += "From:" + headerValue(m.from) + "\n";
    s += "MIME-Version: 1.0\n";
    s += "content-type: text/plain; charset=" + charset + ";\n";
    s += "Content-Transfer-Encoding: 8bit\n";
    s += "To:" + headerValue(m.to) + "\n";
    s += "Subject:" + (ascii(subject) ? subject : "=?" + charset + "?B?" + base64(subject) + "?=") +
         "\n";
    s += "\n";
    s += body;
    return s;
}

// msmtp reads a command's argument up to the end of its line; one in double
// quotes may hold leading or trailing blanks, with \" and \\ escaped.
std::string msmtpValue(std::string_view raw)
{
    const std::string v = withoutControls(raw);
    const bool plain = v.empty() || (v.front() != ' ' && v.front() != '\t' && v.front() != '"' &&
                                     v.back() != ' ' && v.back() != '\t');
    if (plain) return v;
    std::string q = "\"";
    for (char c : v) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

// A double-quoted string for mutt's parser, where backquotes run commands and
// $names expand: both are escaped, as are quotes and backslashes.
std::string muttQuoted(std::string_view raw)
{
    std::string q = "\"";
    for (char c : withoutControls(raw)) {
        if (c == '"' || c == '\\' || c == '`' || c == '$') q += '\\';
        q += c;
    }
    return q + "\"";
}

// An address-like value bare when it is plain, quoted otherwise.
std::string muttWord(std::string_view raw)
{
    for (char c : raw)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("@._+-=", c))
            return muttQuoted(raw);
    return std::string(raw);
}

// A program: the card's path in the system root, else the name on the PATH.
std::string findProgram(const char* cardPath, const char* name)
{
    const std::string onCard = platform::sysPath(cardPath);
    if (access(onCard.c_str(), X_OK) == 0) return onCard;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t i = 0; i <= dirs.size();) {
        size_t j = dirs.find(':', i);
        if (j == std::string::npos) j = dirs.size();
        const std::string dir = dirs.substr(i, j - i);
        if (!dir.empty()) {
            const std::string p = dir + "/" + name;
            if (access(p.c_str(), X_OK) == 0) return p;
        }
        i = j + 1;
    }
    return onCard;
}

} // namespace

// ---------------------------------------------------------------- records --

ServerSettings ServerSettings::load(card::Runtime& rt)
{
    ServerSettings s;
    s.server = rt.text("email_server_address");
    s.port = rt.integer("email_port", 465);
    s.from = rt.text("from_email_address");
    s.login = rt.integer("login_flag", 1) == 1;
    s.tls = rt.integer("auth_flag", 1) == 1;
    s.starttls = rt.integer("email_starttls", 0) == 1;
    s.user = rt.text("email_username");
    s.password = rt.text("email_password");
    s.testTo = rt.text("test_email_To");
    s.proxy = rt.integer("smtp_proxy_enable", 0) == 1;
    s.proxyHost = rt.text("smtp_proxy_ip");
    s.proxyPort = rt.text("smtp_proxy_port");
    return s;
}

EventSettings EventSettings::load(card::Runtime& rt)
{
    EventSettings e;
    e.send = rt.integer("sent_event_flag", 0) == 1;
    for (int i = 0; i < kRecipients; ++i) {
        e.to[size_t(i)] = rt.text(numbered("to_email_address_%d", i));
        e.mask[size_t(i)] = maskOf(rt.text(numbered("email_event_%d", i), "0"));
    }
    return e;
}

ReportSettings ReportSettings::load(card::Runtime& rt)
{
    ReportSettings r;
    r.daily = rt.integer("daily_report_flag", 0) == 1;
    if (!parseReportTime(rt.text("report_time"), r.hour, r.minute)) r.hour = r.minute = -1;
    for (int i = 0; i < kReportRecipients; ++i)
        r.to[size_t(i)] = rt.text(numbered("day_to_email_address_%d", i));
    return r;
}

System System::load(card::Runtime& rt)
{
    System s;
    s.name = rt.text("System_Name");
    s.administrator = rt.text("System_Admin");
    s.location = rt.text("System_Location");
    s.language = rt.integer("Module_Language", 0);
    if (s.language < 0 || s.language >= Languages) s.language = English;
    return s;
}

bool parseReportTime(std::string_view text, int& hour, int& minute)
{
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    const auto field = [](std::string_view f, int max, int& out) {
        if (f.empty() || f.size() > 2) return false;
        out = 0;
        for (char c : f) {
            if (c < '0' || c > '9') return false;
            out = out * 10 + (c - '0');
        }
        return out <= max;
    };
    return field(text.substr(0, colon), 23, hour) && field(text.substr(colon + 1), 59, minute);
}

// ------------------------------------------------------------------ paths --

Paths Paths::card()
{
    Paths p;
    p.msmtpConf = platform::sysPath("/etc/msmtp.conf");
    p.muttConf = platform::sysPath("/etc/mutt.conf");
    p.message = platform::appPath("/root/app/data/mail");
    p.msmtpLog = platform::sysPath("/var/log/msmtp.log");
    p.reportDir = platform::appPath("/root/app/data/EmailReport");
    p.tmpDir = platform::sysPath("/tmp");
    p.msmtp = findProgram("/bin/msmtp", "msmtp");
    p.mutt = findProgram("/bin/mutt", "mutt");
    return p;
}

// ---------------------------------------------------------------- configs --

std::string msmtpConfig(const ServerSettings& s, const std::string& logFile)
{
    std::string c;
    c += "host " + msmtpValue(s.server) + "\n";
    c += "port " + std::to_string(s.port) + "\n";
    c += s.login ? "auth login\n" : "auth off\n";
    c += s.tls ? "tls on\n" : "tls off\n";
    c += s.starttls ? "tls_starttls on\n" : "tls_starttls off\n";
    c += "tls_certcheck off\n";
    c += "from " + msmtpValue(s.from) + "\n";
    c += "user " + msmtpValue(s.user) + "\n";
    c += "password " + msmtpValue(s.password) + "\n";
    c += "timeout 10\n";
    c += "logfile " + msmtpValue(logFile) + "\n";
    if (s.proxy) {
        c += "proxy_host " + msmtpValue(s.proxyHost) + "\n";
        c += "proxy_port " + msmtpValue(s.proxyPort) + "\n";
    }
    return c;
}

std::string muttConfig(const std::string& msmtpProgram, const std::string& msmtpConf,
                       const System& sys, const std::string& user)
{
    std::string c;
    c += "set sendmail=" + muttQuoted(msmtpProgram + " -C " + msmtpConf) + "\n";
    c += "set use_from=yes\n";
    c += "set realname=" + muttQuoted(sys.name) + "\n";
    c += "set editor=\"vi\"\n";
    c += "set from=" + muttWord(user) + "\n";
    c += "set envelope_from=yes\n";
    return c;
}

std::string muttOptions(int language)
{
    // mutt reads the draft as UTF-8 and picks the first character set that
    // holds the whole text for sending.
    const bool chinese = language == SimplifiedChinese || language == TraditionalChinese;
    return std::string("set copy=no charset=\"utf-8\" send_charset=\"") +
           (chinese ? "us-ascii:gb2312:gbk:utf-8" : "us-ascii:utf-8") + "\"";
}

// --------------------------------------------------------------- messages --

std::string headerValue(std::string_view v)
{
    std::string out(v);
    for (char& c : out)
        if (isControl(static_cast<unsigned char>(c))) c = ' ';
    return out;
}

std::string messageText(const MessageParts& m, const System& sys)
{
    const std::string subject = title(sys.language, m.kind);
    const std::string body = bodyText(m, sys);
    if (std::string(charsetName(sys.language)) == "gbk") {
        // GB2312 when everything fits it (the usual case), else GBK; a text
        // that neither holds goes out as UTF-8 rather than damaged.
        for (const char* cs : {"GB2312", "GBK"}) {
            auto s = convert(subject, "UTF-8", cs);
            auto b = convert(body, "UTF-8", cs);
            if (s && b) return assemble(m, cs[2] == '2' ? "gb2312" : "gbk", *s, *b);
        }
    }
    return assemble(m, "utf-8", subject, body);
}

std::string draftText(const MessageParts& m, const System& sys)
{
    return assemble(m, "utf-8", title(sys.language, m.kind), bodyText(m, sys));
}

bool retryLater(int status)
{
    // sysexits: 68 no host, 69 unavailable, 74 I/O error, 75 temporary
    // failure; -2: the program took too long and was stopped.
    return status == 68 || status == 69 || status == 74 || status == 75 || status == -2;
}

} // namespace mail
