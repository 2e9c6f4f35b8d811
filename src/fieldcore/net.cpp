/*
 * net.cpp - the card's own address, mask and gateway, and the runtime account.
 *
 * The card has one interface, eth0. Off the card (no eth0) the first interface
 * that is up and not loopback stands in for it.
 */
#include "internal.hpp"
#include "platform.hpp"

#include <arpa/inet.h>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <string>

namespace fieldcore
{
namespace
{

bool ifaceAddress(bool wantMask, std::string& out)
{
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    const struct ifaddrs* pick = nullptr;
    for (auto* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (std::strcmp(i->ifa_name, "eth0") == 0) {
            pick = i;
            break;
        }
        if (!pick && !(i->ifa_flags & IFF_LOOPBACK) && (i->ifa_flags & IFF_UP)) pick = i;
    }
    bool ok = false;
    if (pick) {
        const sockaddr* sa = wantMask ? pick->ifa_netmask : pick->ifa_addr;
        char buf[INET_ADDRSTRLEN] = {0};
        if (sa && inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, buf,
                            sizeof buf)) {
            out = buf;
            ok = true;
        }
    }
    freeifaddrs(list);
    return ok;
}

bool defaultGateway(std::string& out)
{
    std::ifstream in("/proc/net/route");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        char iface[32];
        unsigned dest = 0, gw = 0;
        if (std::sscanf(line.c_str(), "%31s %x %x", iface, &dest, &gw) == 3 && dest == 0) {
            struct in_addr a;
            a.s_addr = gw;
            out = inet_ntoa(a);
            return true;
        }
    }
    return false;
}

// A system account name: what chpasswd's "user:password" line can carry.
bool accountNameOk(const char* user)
{
    const size_t n = std::strlen(user);
    if (n > 32 || !(std::islower(static_cast<unsigned char>(user[0])) || user[0] == '_'))
        return false;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(user[i]);
        if (!std::islower(c) && !std::isdigit(c) && c != '_' && c != '-') return false;
    }
    return true;
}

// One line of text: a line break would let a password name a second account.
bool passwordOk(const char* pass)
{
    for (const char* p = pass; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) return false;
    return std::strlen(pass) < 256;
}

// chpasswd reads "user:password" lines on its standard input. Only the card
// itself or a sandbox (where a stand-in records a digest) runs it; a test
// process on a development machine changes no account.
bool setSystemPassword(const char* user, const char* pass)
{
    if (!platform::mayRun(nullptr)) return true;
    // In a sandbox only its stand-in, never a program of the machine.
    const std::string program =
        platform::inSandbox() ? platform::sysPath("/bin/chpasswd") : std::string("chpasswd");
    const std::string line = std::string(user) + ":" + pass + "\n";
    return platform::runArgvInput({program}, line) == 0;
}

int fill(char* buf, int size, bool ok, const std::string& v)
{
    if (!buf || size <= 0) return -1;
    std::snprintf(buf, size_t(size), "%s", ok ? v.c_str() : "");
    return ok ? 0 : -1;
}

} // namespace
} // namespace fieldcore

using namespace fieldcore;

extern "C" {

int GetIpaddress(char* buf, int size)
{
    std::string v;
    bool ok = ifaceAddress(false, v);
    return fill(buf, size, ok, v);
}

int GetNetmask(char* buf, int size)
{
    std::string v;
    bool ok = ifaceAddress(true, v);
    return fill(buf, size, ok, v);
}

int GetGateway(char* buf, int size)
{
    std::string v;
    bool ok = defaultGateway(v);
    return fill(buf, size, ok, v);
}

// The runtime's own account: the password of user U is the setting "passwd_U";
// the administrator "admin" starts with administrator_password. A change
// also sets the password of U's system account (made at start-up for
// "admin"), so no login on the card keeps an old one. Neither password ever
// reaches a log or a command line.
int setPassed(const char* user, const char* passwd, const char* newpasswd)
{
    if (!user || !*user || !passwd || !newpasswd || !*newpasswd) return 0;
    if (!accountNameOk(user) || !passwordOk(newpasswd)) return 0;
    const std::string key = std::string("passwd_") + user;
    std::string current = GetSettings2(key.c_str(), "");
    if (current.empty() && std::strcmp(user, "admin") == 0)
        current = GetSettings2("administrator_password", "pqlzv");
    if (current.empty() || current != passwd) return 0;
    if (!setSystemPassword(user, newpasswd)) {
        AppLogOut("[setPassed] the system account %s kept its password: chpasswd failed", user);
        return 0;
    }
    return SaveSettings(key.c_str(), newpasswd) == 0 ? 1 : 0;
}

} // extern "C"
