/*
 * ddns_core.cpp - the DDNS pass, one update, and the reading of an IP-check
 * page (see ddns_core.hpp).
 */
#include "ddns_core.hpp"

#include "card_rules.hpp"
#include "platform.hpp"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>

namespace svc_ddns
{

namespace
{

constexpr size_t kLineBytes = 300;
constexpr size_t kMaxAddressText = 16;
constexpr const char* kPageFile = "/root/app/data/public_network.txt";

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::optional<std::string> addressInLine(std::string_view line)
{
    size_t dots[3];
    size_t found = 0;
    for (size_t i = 0; i < line.size() && found < 3; ++i)
        if (line[i] == '.') dots[found++] = i;
    if (found < 3) return std::nullopt;
    size_t left = dots[0];
    while (left > 0 && dots[0] - left < 3 && isDigit(line[left - 1]))
        --left;
    size_t right = dots[2] + 1;
    while (right < line.size() && right - dots[2] - 1 < 3 && isDigit(line[right]))
        ++right;
    std::string text(line.substr(left, right - left));
    // Only a well-formed address counts: "www.example.com." holds three dots
    // but no address.
    in_addr a;
    if (text.empty() || text.size() > kMaxAddressText || inet_pton(AF_INET, text.c_str(), &a) != 1)
        return std::nullopt;
    return text;
}

std::string confValue(std::string_view text, std::string_view key)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > key.size() && line.substr(0, key.size()) == key &&
            line[key.size()] == '=')
            return std::string(line.substr(key.size() + 1));
        pos = end + 1;
    }
    return {};
}

} // namespace

Providers defaultProviders()
{
    return {{
        {"http://ip.3322.net/", "http://members.3322.net", "/dyndns/update", "dyndns"},
        {"http://checkip.dyndns.org/", "http://members.dyndns.org:80", "/nic/update", ""},
    }};
}

Providers providersFrom(std::string_view confText)
{
    Providers p = defaultProviders();
    for (size_t i = 0; i < p.size(); ++i) {
        const std::string n = std::to_string(i + 1);
        if (auto v = confValue(confText, "check" + n); !v.empty()) p[i].checkUrl = v;
        if (auto v = confValue(confText, "update" + n); !v.empty()) p[i].updateUrl = v;
    }
    return p;
}

std::optional<std::string> addressFromPage(std::string_view body)
{
    std::optional<std::string> last;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t end = body.find('\n', pos);
        if (end == std::string_view::npos) end = body.size();
        // Long lines are read in pieces of a line buffer, as they always were.
        for (size_t at = pos; at < end; at += kLineBytes - 1)
            if (auto a = addressInLine(body.substr(at, std::min(end, at + kLineBytes - 1) - at)))
                last = a;
        pos = end + 1;
    }
    return last;
}

void DdnsCore::setAlarm(bool failed)
{
    rt_.setValue(card::kUps, Alarm_No_Get_Dynamic_Domain_Name, failed ? 1.0f : 0.0f);
}

std::optional<std::string> DdnsCore::publicAddress(const Provider& p)
{
    if (rt_.integer("stun_service", 0) == 1) {
        auto a = net_.stun(rt_.text("stun_ipaddr_0"));
        if (!a) {
            net_.pause(2000);
            a = net_.stun(rt_.text("stun_ipaddr_1"));
        }
        if (a) rt_.save("StunPubIP", *a);
        return a;
    }
    const HttpAnswer page = net_.get(p.checkUrl, "", "");
    if (page.code == 0) {
        rt_.log("connect() failed: " + page.error + "\n");
        return std::nullopt;
    }
    if (page.code != 200) {
        rt_.log("http reply failed hm->resp_code is " + std::to_string(page.code));
        return std::nullopt;
    }
    platform::writeFile(platform::appPath(kPageFile), page.body);
    auto a = addressFromPage(page.body);
    if (a) {
        char line[200];
        std::snprintf(line, sizeof line, "strlen(ipaddr) is %zu ip is %s", a->size(), a->c_str());
        rt_.log(line);
        rt_.save("DDNSReqPubIP", *a);
    }
    return a;
}

bool DdnsCore::update(int provider)
{
    const Provider& p = providers_[size_t(provider == 1 ? 0 : 1)];
    bool ok = false;
    const std::string name = rt_.text("ddn_resolution_name");
    if (!card::isHostOrAddress(name)) {
        rt_.log("[ddns] domain name \"" + name + "\" is no host name: nothing sent");
    } else if (auto address = publicAddress(p)) {
        std::string query = p.system.empty() ? "" : "system=" + p.system + "&";
        query += "hostname=" + net_.escape(name) + "&myip=" + net_.escape(*address);
        const HttpAnswer answer = net_.get(p.updateUrl + p.path + "?" + query,
                                           rt_.text("ddn_login_name"), rt_.text("ddn_login_pass"));
        ok = answer.code == 200;
        if (answer.code == 0) rt_.log("connect() failed: " + answer.error + "\n");
        rt_.log("hm->resp_code==" + std::to_string(answer.code));
    }
    setAlarm(!ok);
    rt_.log(ok ? "Dynamic domain name resolution succeeded"
               : "Dynamic domain name resolution failed");
    return ok;
}

void DdnsCore::pass()
{
    const int provider = rt_.integer("ddn_service_provider", 0);
    const bool chosen = provider == 1 || provider == 2;
    const std::time_t now = rt_.now();
    if (rt_.integer("ddns_use", 0) == 1) {
        rt_.log("Application: DDNS");
        if (chosen)
            update(provider);
        else
            setAlarm(false);
        last_ = rt_.now();
        rt_.saveInt("ddns_use", 0);
        return;
    }
    if (!chosen) {
        setAlarm(false);
        return;
    }
    if (last_ && now < *last_) last_ = now; // the clock went back
    if (last_ && now - *last_ < kIntervalSeconds) return;
    rt_.log("Time Intervel: DDNS");
    last_ = now;
    update(provider);
}

} // namespace svc_ddns
