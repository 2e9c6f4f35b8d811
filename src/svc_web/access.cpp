/*
 * access.cpp - who may do what: client address texts and the users' address
 * filters, the credential check over the user table, and the level rules.
 *
 * Levels: 3 administrator (everything), 2 operator (everything except the
 * user table, other users' passwords, and writes to network, system,
 * protocol, configuration and firmware), 1 viewer (reads only). The server
 * enforces them per route group; a refused request gets 403 and changes
 * nothing. Before all of them, an administrator still on the factory password
 * reaches only the page that replaces it.
 */
#include "web_core.hpp"

#include "card_rules.hpp"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

namespace web
{

namespace
{

// Least level per group for reads (any method but POST) and for writes (POST).
constexpr LevelRule kLevelRules[] = {
    {Group::Status, kViewer, kOperator},
    {Group::Logs, kViewer, kOperator},
    {Group::LogClear, kOperator, kOperator},
    {Group::Ups, kViewer, kOperator},
    {Group::Users, kAdministrator, kAdministrator},
    {Group::OwnPassword, kViewer, kViewer}, // the handler keeps it to one's own
    {Group::Network, kViewer, kAdministrator},
    {Group::System, kViewer, kAdministrator},
    {Group::Protocol, kViewer, kAdministrator},
    {Group::Notification, kViewer, kOperator},
    {Group::Config, kViewer, kAdministrator},
    {Group::Firmware, kViewer, kAdministrator},
    {Group::Diagnostics, kViewer, kOperator},
    {Group::Open, kViewer, kViewer},
};

// What the first-password page needs; everything else redirects to it.
constexpr std::string_view kFirstPasswordUris[] = {
    kFirstPasswordPage,
    "/FirstPassword",
    "/sysTime",
    "/logout",
    "/css/app.css",
    "/css/pages.css",
    "/image/logo.png",
    "/js/nav.js",
    "/js/pages.js",
    "/js/form.js",
    "/js/forms/firstpassword.js",
    "/lang/en.db",
    "/lang/zh.db",
    "/lang/pages-en.db",
    "/lang/pages-zh.db",
};

bool isMappedV4(const in6_addr& a)
{
    return IN6_IS_ADDR_V4MAPPED(&a);
}

// FNV-1a: a stamp only has to change when its input does; it never leaves
// the process.
uint64_t fnv(uint64_t h, std::string_view text)
{
    for (unsigned char c : text)
        h = (h ^ c) * 1099511628211ull;
    return (h ^ 0xff) * 1099511628211ull; // a separator: "ab","c" differs from "a","bc"
}

} // namespace

std::string addressText(const sockaddr* sa)
{
    char buf[INET6_ADDRSTRLEN] = {0};
    if (!sa) return {};
    if (sa->sa_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    } else if (sa->sa_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        if (isMappedV4(in6->sin6_addr))
            inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

bool isLoopback(const sockaddr* sa)
{
    if (!sa) return false;
    if (sa->sa_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (sa->sa_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) return true;
        return isMappedV4(in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

bool addressAllowed(std::string_view filter, std::string_view address)
{
    return card::addressMatches(filter, address);
}

std::string loginSourceKey(std::string_view address)
{
    in6_addr a6{};
    const std::string text(address);
    if (text.find(':') == std::string::npos || inet_pton(AF_INET6, text.c_str(), &a6) != 1)
        return text;
    std::memset(&a6.s6_addr[8], 0, 8);
    char buf[INET6_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET6, &a6, buf, sizeof buf);
    return std::string(buf) + "/64";
}

const LevelRule& levelRule(Group g)
{
    for (const auto& r : kLevelRules)
        if (r.group == g) return r;
    return kLevelRules[0];
}

bool levelAllows(Group g, int level, std::string_view method, bool actsOnRead)
{
    const LevelRule& r = levelRule(g);
    bool write = method == "POST" || actsOnRead;
    return level >= (write ? r.writeLevel : r.readLevel);
}

int levelFromRight(int right)
{
    if (right < kViewer) return kNoAccess;
    return right > kAdministrator ? kAdministrator : right;
}

Credential checkUser(card::Runtime& settings, std::string_view address, std::string_view user,
                     std::string_view pass)
{
    Credential c;
    for (int n = 1; n <= kUserSlots; ++n) {
        std::string idx = std::to_string(n);
        std::string name = settings.text("user_name" + idx);
        if (name.empty()) continue;
        if (name != user || settings.text("user_pass" + idx) != pass) continue;
        std::string filter = settings.text("user_ip" + idx);
        if (filter.empty()) continue;
        if (addressAllowed(filter, address)) {
            c.level = levelFromRight(std::atoi(settings.text("user_right" + idx).c_str()));
            c.slot = n;
            break;
        }
        c.notes.push_back("ipaddr is error, ipaddr:" + std::string(address) + ",ipaddr2:" + filter);
    }
    if (user == kAdminName &&
        pass == settings.text("administrator_password", kAdminDefaultPassword)) {
        c.level = kAdministrator;
        c.slot = 0;
    }
    if (c.level != kNoAccess) c.stamp = accountStamp(settings, c.slot);
    return c;
}

bool firstPasswordPending(card::Runtime& settings)
{
    return settings.text("administrator_password", kAdminDefaultPassword) == kAdminDefaultPassword;
}

bool firstPasswordAllows(std::string_view uri)
{
    for (std::string_view allowed : kFirstPasswordUris)
        if (uri == allowed) return true;
    return false;
}

std::string_view newPasswordProblem(std::string_view pass, std::string_view again)
{
    size_t chars = 0;
    for (unsigned char c : pass) {
        if (c < 0x20 || c == 0x7f) return "chars";
        chars += (c & 0xc0) != 0x80; // UTF-8: count the lead bytes
    }
    if (pass == kAdminDefaultPassword) return "factory";
    if (chars < kMinPasswordChars) return "short";
    if (pass.size() > kMaxPasswordBytes) return "long";
    if (pass != again) return "mismatch";
    return {};
}

uint64_t accountStamp(card::Runtime& settings, int slot)
{
    uint64_t h = 14695981039346656037ull;
    if (slot == 0)
        return fnv(fnv(h, kAdminName),
                   settings.text("administrator_password", kAdminDefaultPassword));
    const std::string idx = std::to_string(slot);
    for (const char* key : {"user_name", "user_pass", "user_right", "user_ip"})
        h = fnv(h, settings.text(key + idx));
    return h;
}

} // namespace web
