/*
 * pages_settings_system.cpp - the card's own settings: serial lines, the
 * identity shown over SNMP, languages, the clock (time server, time zone,
 * manual time), the automatic restart, and the factory-floor pages that set
 * the serial number, the MAC address and the logo.
 *
 * Nothing a request carries reaches a shell: the clock is set through the
 * runtime from numbers, the MAC address and the serial number are written to
 * their files directly, and an uploaded logo is kept only when it is a PNG
 * named logo.png.
 */
#include "pages_settings.hpp"

#include "card_rules.hpp"

#include "platform.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace web
{

namespace sp = settings;

namespace
{

#define SERIAL_FIELDS(page, prefix)                                                                \
    {page "baudrate", prefix "baudRate", sp::Baud},                                                \
        {page "data", prefix "dataBits", sp::DataBits},                                            \
        {page "parity", prefix "checkway", sp::Parity},                                            \
    {                                                                                              \
        page "stop", prefix "stopBits", sp::StopBits                                               \
    }

const sp::Page kSystemCom({
    SERIAL_FIELDS("", "ups_"),
    SERIAL_FIELDS("sms", "sms_"),
    SERIAL_FIELDS("ths", "ths_"),
});

constexpr size_t kIdentity = 64; // SNMP's sysName, sysContact and sysLocation
const sp::Page kSystemInfo({
    {"config_mib_name", "System_Name", sp::Text, "", 0, nullptr, {}, kIdentity},
    {"config_mib_cont", "System_Admin", sp::Text, "", 0, nullptr, {}, kIdentity},
    {"config_mib_loc", "System_Location", sp::Text, "", 0, nullptr, {}, kIdentity},
});

const sp::Page kSystemLan({
    {"lagval", "interface_language", sp::Int, "0", 0, nullptr, sp::range(0, 9)},
    {"lang1", "Module_Language", sp::Int, "0", 0, nullptr, sp::range(0, 9)},
});

const sp::Page kAutoUpdateTime({
    {"nchecktimeevery", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 100000)},
    {"sel_server", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 99)},
    {"time_select", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 9)},
    {"otherser", nullptr, sp::Text, "", 0, sp::hostName, {}, 64},
    {"ntimezone", nullptr, sp::Int, "26", 0, nullptr, sp::range(0, sp::kTimeZones - 1)},
    {"time_dst", nullptr, sp::Int, "1", 0, nullptr, sp::range(0, 1)},
});

const sp::Page kTimeZone({
    {"ntimezone", nullptr, sp::Int, "26", 0, nullptr, sp::range(0, sp::kTimeZones - 1)},
    {"time_dst", nullptr, sp::Int, "1", 0, nullptr, sp::range(0, 1)},
});

const sp::Page kRestartSys({
    {"style", "system_restart", sp::Int, "0", 0, nullptr, sp::range(0, 9)},
    {"is_restart", "system_automatic_restart", sp::Int, "0", 0, nullptr, sp::range(0, 1)},
    {"restart_time", "system_restart_time", sp::Int, "0", 0, nullptr, sp::range(0, 100000)},
});

const sp::Page kLogo({{"logo_type", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 9)}});

constexpr size_t kTimezoneFile = 49;
constexpr size_t kLogoLimit = 512 * 1024;
constexpr const char* kLogoName = "logo.png";
constexpr const char* kLogoPath = "/root/app/www/image/logo.png";

void applyTimeZone(card::Runtime& rt)
{
    auto tz = sp::timeZoneText(rt.integer("ntimezone", 26), rt.integer("time_dst", 1) != 0);
    if (!tz) return;
    ::setenv("TZ", tz->c_str(), 1);
    ::tzset();
    std::string file(kTimezoneFile, '\0');
    std::memcpy(file.data(), tz->data(), std::min(tz->size(), kTimezoneFile - 1));
    platform::writeFile(platform::appPath("config/Timezone"), file);
}

std::string localTimeText(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool copyFile(const std::string& from, const std::string& to)
{
    std::string bytes;
    return platform::readFile(from, bytes, kLogoLimit) && !bytes.empty() &&
           platform::writeFile(to, bytes);
}

bool isPng(std::string_view data)
{
    static constexpr char kSignature[] = "\x89PNG\r\n\x1a\n";
    return data.size() > 8 && data.substr(0, 8) == std::string_view(kSignature, 8);
}

} // namespace

namespace settings
{

std::optional<std::string> timeZoneText(int index, bool dst)
{
    const char* zone = card::timeZoneName(index, dst);
    if (!zone) return std::nullopt;
    return std::string(zone);
}

std::optional<std::tm> parseSystemTime(std::string_view text)
{
    int part[6];
    size_t pos = 0;
    static const char kSeparators[] = "-- ::";
    for (int i = 0; i < 6; ++i) {
        size_t start = pos;
        long v = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 4)
            v = v * 10 + (text[pos++] - '0');
        if (pos == start) return std::nullopt;
        part[i] = int(v);
        if (i < 5) {
            if (pos >= text.size() || text[pos] != kSeparators[i]) return std::nullopt;
            ++pos;
        }
    }
    if (pos != text.size()) return std::nullopt;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int y = part[0], mo = part[1], d = part[2];
    const bool leap = y % 4 == 0; // exact for 2000..2099
    if (y < 2000 || y > 2099 || mo < 1 || mo > 12 || d < 1 ||
        d > kDays[mo - 1] - (mo == 2 && !leap ? 1 : 0) || part[3] > 23 || part[4] > 59 ||
        part[5] > 59)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = part[3];
    tm.tm_min = part[4];
    tm.tm_sec = part[5];
    tm.tm_isdst = -1;
    return tm;
}

void afterAnswer(int delayMs, std::function<void()> what)
{
    std::thread([delayMs, what = std::move(what)] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        what();
    }).detach();
}

std::function<void()>& rebootAction()
{
    static std::function<void()> action = [] {
        ::sync();
        // A development machine reboots only inside a sandbox (its stand-in).
        if (platform::mayRun(nullptr)) platform::runArgv({"reboot"});
    };
    return action;
}

void rebootCard()
{
    // Runs on a thread of its own after the answer: no runtime calls here.
    rebootAction()();
}

} // namespace settings

void ups_systemcom(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        auto doc = kSystemCom.read(req);
        cJSON_AddNumberToObject(doc.get(), "dev_sel", card::rt().integer("dev_sel", 0));
        sp::sendPage(reply, doc.get());
        return;
    }
    if (sp::refused(reply, kSystemCom.write(req))) return;
    resultOk(reply, sp::kAnswerOk);
}

void ups_systeminfo(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        auto doc = kSystemInfo.read(req);
        kSystemLan.readInto(doc.get(), req);
        kAutoUpdateTime.readInto(doc.get(), req);
        cJSON_AddStringToObject(doc.get(), "systime", localTimeText(card::rt().now()).c_str());
        sp::sendPage(reply, doc.get());
        return;
    }
    if (sp::refused(reply, kSystemInfo.write(req))) return;
    resultOk(reply, sp::kAnswerOk);
}

void ups_systemlan(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sp::sendPage(reply, kSystemLan.read(req).get());
        return;
    }
    if (sp::refused(reply, kSystemLan.write(req))) return;
    resultOk(reply, sp::kAnswerOk);
}

void ups_autoupdatetime(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sp::sendPage(reply, kAutoUpdateTime.read(req).get());
        return;
    }
    if (sp::refused(reply, kAutoUpdateTime.write(req))) return;
    resultOk(reply, sp::kAnswerOk);
}

void ups_timezone(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        auto doc = kTimeZone.read(req);
        card::Runtime& rt = card::rt();
        auto tz = sp::timeZoneText(rt.integer("ntimezone", 26), rt.integer("time_dst", 1) != 0);
        cJSON_AddStringToObject(doc.get(), "tz", tz.value_or("").c_str());
        sp::sendPage(reply, doc.get());
        return;
    }
    if (sp::refused(reply, kTimeZone.write(req))) return;
    applyTimeZone(card::rt());
    resultOk(reply, sp::kAnswerOk);
}

void ups_manualupdatetime(const Request& req, Reply& reply)
{
    card::Runtime& rt = card::rt();
    if (!req.isPost()) {
        auto doc = sp::object();
        cJSON_AddStringToObject(doc.get(), "systime", localTimeText(rt.now()).c_str());
        sp::sendPage(reply, doc.get());
        return;
    }
    auto text = req.bodyField("systime");
    auto when = text ? sp::parseSystemTime(*text) : std::nullopt;
    if (!when) {
        rt.log("[ManualUpdateTime] refused: not a time");
        resultOk(reply, sp::kAnswerRefused, "systime");
        return;
    }
    const int parts[6] = {when->tm_year + 1900, when->tm_mon + 1, when->tm_mday,
                          when->tm_hour,        when->tm_min,     when->tm_sec};
    for (int i = 0; i < 6; ++i)
        rt.log("date_time[" + std::to_string(i) + "] is " + std::to_string(parts[i]));
    const int runTime = rt.integer("system_run_time", 0); // before the clock moves
    rt.setClock(*when);
    rt.saveInt("system_startup_time", static_cast<int>(rt.now() - runTime));
    resultOk(reply, sp::kAnswerOk);
}

void ups_restartsys(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sp::sendPage(reply, kRestartSys.read(req).get());
        return;
    }
    if (sp::refused(reply, kRestartSys.write(req))) return;
    resultOk(reply, sp::kAnswerOk);
}

void ups_setsnnum(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        std::string sn;
        platform::readFile(platform::appPath("config/PRODUCT"), sn, 100);
        sn = sn.substr(0, sn.find_first_of("\r\n"));
        auto doc = sp::object();
        cJSON_AddStringToObject(doc.get(), "sn_num", sn.c_str());
        sp::sendPage(reply, doc.get());
        return;
    }
    auto sn = req.bodyField("sn_num");
    if (!sn || !sp::noControl(*sn)) {
        resultOk(reply, sp::kAnswerRefused, "sn_num");
        return;
    }
    card::rt().log("Set SN num:" + *sn);
    platform::writeFile(platform::appPath("/root/app/config/PRODUCT"), *sn + "\n");
    resultOk(reply, sp::kAnswerOk);
}

void ups_setmacaddr(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        std::string text;
        platform::readFile(platform::sysPath("/root/etc/maccfg"), text, 100);
        auto doc = sp::object();
        std::string mac = text.rfind("MAC0=", 0) == 0 ? text.substr(5, 12) : "";
        for (int b = 0; b < 6; ++b) {
            const std::string member = "mac_" + std::to_string(b);
            cJSON_AddStringToObject(doc.get(), member.c_str(),
                                    mac.size() == 12 ? mac.substr(b * 2, 2).c_str() : "");
        }
        sp::sendPage(reply, doc.get());
        return;
    }
    std::string mac;
    for (int b = 0; b < 6; ++b) {
        const std::string name = "mac_" + std::to_string(b);
        auto v = req.bodyField(name);
        if (!v || !sp::hexByte(*v)) {
            resultOk(reply, sp::kAnswerRefused, name);
            return;
        }
        mac += *v;
    }
    if (!platform::writeFile(platform::sysPath("/root/etc/maccfg"), "MAC0=" + mac + "\n")) {
        resultOk(reply, sp::kAnswerRefused, "maccfg");
        return;
    }
    card::rt().log("[SetMacAddr] MAC0=" + mac);
    resultOk(reply, sp::kAnswerOk);
    if (auto reboot = req.bodyField("IsReboot"); reboot && std::atoi(reboot->c_str()) != 0) {
        card::rt().log("[SetMacAddr] the card restarts");
        sp::afterAnswer(1000, sp::rebootCard);
    }
}

void ups_debugselectlogo(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sp::sendPage(reply, kLogo.read(req).get());
        return;
    }
    sp::Write w = kLogo.write(req);
    if (sp::refused(reply, w)) return;
    const char* from = card::rt().integer("logo_type", 0) == 1
                           ? "/root/app/www/image/logo_brendova.png"
                           : "/root/app/www/image/logo_torvix.png";
    if (!copyFile(platform::appPath(from), platform::appPath(kLogoPath)))
        card::rt().log(std::string("[DebugSelectLogo] cannot copy ") + from);
    resultOk(reply, sp::kAnswerSaved);
}

void ups_changelogo(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sendError(reply, 405);
        return;
    }
    auto up = sp::uploadedFile(req, kLogoLimit);
    if (!up || up->name != kLogoName || !isPng(up->data)) {
        card::rt().log("[ChangeLogo] refused: " + (up ? up->name : std::string("no file")));
        resultOk(reply, sp::kAnswerRefused, "result=0");
        return;
    }
    // Kept under config/ first, then moved over the page's logo in one step.
    const std::string kept = platform::appPath("/root/app/config/logo.png");
    const std::string logo = platform::appPath(kLogoPath);
    if (!platform::writeFile(kept, up->data) || std::rename(kept.c_str(), logo.c_str()) != 0) {
        resultOk(reply, sp::kAnswerRefused, "result=0");
        return;
    }
    card::rt().log("[ChangeLogo] new logo, " + std::to_string(up->data.size()) + " bytes");
    resultOk(reply, sp::kAnswerOk);
}

} // namespace web
