/*
 * startup.cpp - tables and plain logic of cardmon's start-up (see startup.hpp).
 */
#include "startup.hpp"

#include "card_rules.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace cardmon
{

const std::array<const char*, 11> kUpsDrivers = {"txtups_1", "txtups_3", "regups_b", "regups_c",
                                                 "regups_a", "regups_a", "altups",   "regups_d",
                                                 "txtups_p", "txtups_q", "txtups_r"};
const std::array<const char*, 2> kPackDrivers = {"batpack_y", "batpack_x"};
const std::array<const char*, 2> kTcpModbusPlugins = {"mbtcp_slave", "mbtcp_pack"};

const char* upsDriver(int upsType)
{
    if (upsType < 0 || upsType >= int(kUpsDrivers.size())) return nullptr;
    return kUpsDrivers[size_t(upsType)];
}

const char* zoneFromLine(std::string_view line)
{
    return card::timeZoneIn(line);
}

const char* zoneFromSettings(int ntimezone, int timeDst)
{
    return card::timeZoneName(ntimezone, timeDst != 0);
}

std::string zoneRecord(std::string_view zone)
{
    std::string rec(99, '\0');
    rec.replace(0, std::min<size_t>(zone.size(), 98), zone.substr(0, 98));
    return rec;
}

std::string portParamText(int checkWay, int baud, int dataBits, int stopBits)
{
    static const char parity[] = "noesm";
    if (checkWay < 0 || checkWay > 4) return {};
    char buf[25] = {0};
    std::snprintf(buf, sizeof buf, "%d,%c,%d,%d,%d", baud, parity[checkWay], dataBits, stopBits, 0);
    return buf;
}

namespace
{

// Scans "%d%c%d%c%d%c%d"; true only when all seven fields were read.
bool scanQuad(std::string_view text, int oct[4], char sep[3])
{
    if (text.empty()) return false;
    std::string s(text);
    return std::sscanf(s.c_str(), "%d%c%d%c%d%c%d", &oct[0], &sep[0], &oct[1], &sep[1], &oct[2],
                       &sep[2], &oct[3]) == 7;
}

unsigned bitsOf(const int oct[4])
{
    return (unsigned(oct[0]) << 24) | (unsigned(oct[1]) << 16) | (unsigned(oct[2]) << 8) |
           unsigned(oct[3]);
}

// Bit k of v, counted from the most significant (k = 0) down.
int bitAt(unsigned v, int k)
{
    return int((v >> (31 - k)) & 1u);
}

} // namespace

int staticAddressCheck(std::string_view address, std::string_view mask)
{
    int a[4] = {0}, m[4] = {0};
    char as[3] = {0}, ms[3] = {0};
    bool addrGood = false;
    if (scanQuad(address, a, as)) {
        for (char c : as)
            if (c != '.') return 0;
        for (int o : a)
            if (o < 0 || o > 255) return 0;
        if (a[0] == 127) return 0;
        if (a[1] == 0 && a[2] == 0 && a[3] == 0) return 0;
        if (a[1] == 255 && a[2] == 255 && a[3] == 255) return 0;
        addrGood = true;
    }
    int zeros = 0;
    if (scanQuad(mask, m, ms)) {
        for (char c : ms)
            if (c != '.') return 2;
        for (int o : m)
            if (o < 0 || o > 255) return 2;
        if (m[0] != 255) return 2;
        unsigned bits = bitsOf(m);
        bool up = false, down = false;
        for (int k = 1; k <= 30; ++k) {
            if (bitAt(bits, k) == 1 && bitAt(bits, k - 1) == 0) up = true;
            if (bitAt(bits, k) == 0 && bitAt(bits, k - 1) == 1) down = true;
        }
        if (up && down) return 2;
        for (int k = 0; k < 32; ++k)
            zeros += bitAt(bits, k) == 0;
    }
    if (addrGood) {
        unsigned bits = bitsOf(a);
        int hostZeros = 0;
        for (int k = 32 - zeros; k < 32; ++k)
            hostZeros += bitAt(bits, k) == 0;
        if (hostZeros == zeros || hostZeros == 0) return 2;
    }
    return 1;
}

std::string classMask(std::string_view address, bool* dClass, bool* parsed)
{
    int a[4] = {0};
    char sep[3] = {0};
    bool ok = scanQuad(address, a, sep);
    if (parsed) *parsed = ok;
    if (dClass) *dClass = false;
    if (ok && a[0] >= 1 && a[0] <= 126) return "255.0.0.0";
    if (ok && a[0] >= 128 && a[0] <= 191) return "255.255.0.0";
    if (ok && a[0] >= 192 && a[0] <= 223) return "255.255.255.0";
    if (dClass) *dClass = ok;
    return "0.0.0.0";
}

std::string interfacesText(int dhcpSet, const std::string& ip, const std::string& mask,
                           const std::string& gateway, std::string* logText)
{
    if (dhcpSet != 0 && dhcpSet != 1) return {};
    std::string t = "auto lo\niface lo inet loopback\nauto eth0\n";
    if (dhcpSet == 1) return t + "iface eth0 inet dhcp\n";
    t += "iface eth0 inet static\n";
    switch (staticAddressCheck(ip, mask)) {
    case 1:
        t += "address " + ip + "\nnetmask " + mask + "\n";
        break;
    case 2: {
        bool dClass = false, parsed = false;
        std::string cls = classMask(ip, &dClass, &parsed);
        if (dClass && logText) *logText += "[check_eth0] Address is belong to D/E !\n";
        t += "address " + ip + "\nnetmask " + cls + "\n";
        break;
    }
    default:
        if (logText) *logText += "[check_eth0] ip is not ok!\n";
        break;
    }
    if (!gateway.empty()) t += "gateway " + gateway + "\n";
    return t;
}

bool wellFormedIpv4(std::string_view text)
{
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t digits = 0;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
            value = value * 10 + (text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    return i == text.size();
}

bool wellFormedNameServer(std::string_view text)
{
    if (wellFormedIpv4(text)) return true;
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
    unsigned char buf[sizeof(struct in6_addr)];
    return inet_pton(AF_INET6, std::string(text).c_str(), buf) == 1;
}

std::string printable(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out;
}

InterfacesPlan planInterfaces(std::string_view dhcpSet, const std::string& ip,
                              const std::string& mask, const std::string& gateway)
{
    InterfacesPlan plan;
    const int mode = std::atoi(std::string(dhcpSet).c_str());
    plan.reason = "dhcpSet=" + std::string(dhcpSet) + " ipAddr=" + ip + " netmask=" + mask +
                  " gateway=" + gateway + "\n";
    const std::string dhcp = interfacesText(1, "", "", "", nullptr);
    if (mode != 0 && mode != 1) {
        plan.log = "[check_eth0] dhcpSet \"" + printable(dhcpSet) +
                   "\" is neither 0 nor 1: eth0 set to DHCP\n";
        plan.text = dhcp;
        return plan;
    }
    if (mode == 1) {
        plan.text = dhcp;
        return plan;
    }
    // Every value that reaches the file must be an address and nothing more.
    for (auto [name, value] :
         {std::pair{"ipAddr", &ip}, std::pair{"netmask", &mask}, std::pair{"gateway", &gateway}}) {
        if (value->empty() || wellFormedIpv4(*value)) continue;
        plan.log += "[check_eth0] " + std::string(name) + " \"" + printable(*value) +
                    "\" is not an address: /etc/network/interfaces left as it was\n";
    }
    if (!plan.log.empty()) return plan;
    if (staticAddressCheck(ip, mask) == 0 || ip.empty()) {
        plan.log = "[check_eth0] ip is not ok!\n[check_eth0] static address \"" + ip +
                   "\" cannot be used: eth0 set to DHCP\n";
        plan.text = dhcp;
        return plan;
    }
    plan.text = interfacesText(0, ip, mask, gateway, &plan.log);
    return plan;
}

std::string resolvConfText(const std::string& dns1, const std::string& dns2, std::string* logText)
{
    std::string text;
    bool ok = true;
    for (const std::string* dns : {&dns1, &dns2}) {
        if (!dns->empty() && !wellFormedNameServer(*dns)) {
            ok = false;
            if (logText)
                *logText += "[main] name server \"" + printable(*dns) +
                            "\" is not an address: /etc/resolv.conf not written\n";
        }
        text += "nameserver " + *dns + "\n";
    }
    return ok ? text : std::string();
}

int memTotalKb(std::string_view text)
{
    std::string s(text);
    if (s.find("MemTotal") == std::string::npos) return -1;
    char num[100] = {0};
    if (std::sscanf(s.c_str(), "%*[^:]:%99[^kB]", num) != 1) return -1;
    return std::atoi(num);
}

} // namespace cardmon
