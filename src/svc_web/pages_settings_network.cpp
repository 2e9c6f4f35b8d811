/*
 * pages_settings_network.cpp - the network pages (IPv4 with the web port,
 * IPv6, dynamic DNS), the rewrite of the network files that applies them,
 * and the IPv6 upkeep that keeps a DHCPv6 client running when wanted.
 *
 * The live network is the truth: a read first takes the addresses of the
 * interfaces file, resolv.conf and the kernel over into the settings. A
 * write that changes the network rewrites both files with file I/O (only
 * well-formed addresses reach them, one per line) and reboots the card after
 * the answer went out.
 */
#include "pages_settings.hpp"

#include "platform.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>

extern char** environ;

namespace web
{

namespace sp = settings;

namespace
{

constexpr const char* kInterfaces = "/etc/network/interfaces";
constexpr const char* kResolv = "/etc/resolv.conf";
constexpr int kRebootDelayMs = 1500;

bool multicastText(std::string_view v)
{
    if (v.size() > 2 && v.front() == '[' && v.back() == ']') v = v.substr(1, v.size() - 2);
    return sp::ipv6(v);
}

const sp::Page kNetwork({
    {"ip_assign_method", nullptr, sp::Int, "1", 0, nullptr, sp::range(0, 1)},
    {"config_ip", nullptr, sp::Text, "", 0, sp::ipv4},
    {"config_msk", nullptr, sp::Text, "", 0, sp::ipv4},
    {"config_gat", nullptr, sp::Text, "", 0, sp::ipv4},
    {"config_dns1", nullptr, sp::Text, "", 0, sp::ipv4},
    {"config_dns2", nullptr, sp::Text, "", sp::kAbsentEmpty, sp::ipv4},
    {"webType", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 1)},
    {"web_access_port", nullptr, sp::Int, "80", 0, nullptr, sp::range(1, 65535)},
    {"ipType", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 2)},
});

const sp::Page kNetwork6({
    {"ip_assign_method_ipv6", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 2)},
    {"config_ip_ipv6", nullptr, sp::Text, "", 0, sp::ipv6},
    {"config_prefix_ipv6", nullptr, sp::Int, "64", 0, nullptr, sp::range(0, 128)},
    {"config_gat_ipv6", nullptr, sp::Text, "", 0, sp::ipv6},
    {"ipv6_prefix_limit", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 128)},
    {"ipv6_route_discovery_auto", nullptr, sp::Int, "0", 0, nullptr, sp::range(0, 1)},
    {"ipv6_multicast_addr", nullptr, sp::Text, "[FF1E::1]", 0, multicastText},
    {"ipv6_multicast_port", nullptr, sp::Int, "8000", 0, nullptr, sp::range(1, 65535)},
    {"config_dns1_ipv6", nullptr, sp::Text, "", sp::kAbsentEmpty, sp::ipv6},
    {"config_dns2_ipv6", nullptr, sp::Text, "", sp::kAbsentEmpty, sp::ipv6},
});

const sp::Page kDdns({
    {"service_provider", "ddn_service_provider", sp::Int, "0", 0, nullptr, sp::range(0, 9)},
    {"domain_name", "ddn_resolution_name", sp::Text, "", 0, sp::hostName, {}, 64},
    {"login_name", "ddn_login_name", sp::Text, "", 0, nullptr, {}, 64},
    {"login_pass", "ddn_login_pass", sp::Text, "", sp::kSecret, nullptr, {}, 64},
    {"is_stun", "stun_service", sp::Int, "0", 0, nullptr, sp::range(0, 1)},
    {"stun_ip1", "stun_ipaddr_0", sp::Text, "", 0, sp::hostName, {}, 64},
    {"stun_ip2", "stun_ipaddr_1", sp::Text, "", 0, sp::hostName, {}, 64},
});

// The answer's members and the live settings they show.
struct LiveMember {
    const char* member;
    const char* live;
    const char* def;
};
constexpr LiveMember kLiveMembers[] = {
    {"ip_assign_method", "dhcpSet", "1"}, {"config_ip", "ipAddr", ""},
    {"config_msk", "netmask", ""},        {"config_gat", "gateway", ""},
    {"config_dns1", "dns1", ""},          {"config_dns2", "dns2", ""},
    {"webType", "httpType", "0"},         {"web_access_port", "httpPort", "80"},
    {"ipType", "enable_ipv6", "0"},
};
constexpr size_t kAddressMembers = 6; // the first six: what the network files are made of

std::vector<std::string> lines(const std::string& path)
{
    std::string text;
    std::vector<std::string> out;
    if (!platform::readFile(path, text, 64 * 1024)) return out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;)
        w.push_back(s);
    return w;
}

void saveIfValid(card::Runtime& rt, const std::string& key, const std::string& value,
                 bool (*check)(std::string_view))
{
    if (check(value) && rt.text(key) != value) rt.save(key, value);
}

// "fe800000000000000000000000000001" -> "fe80::1"
std::string ipv6FromHex(const std::string& hex)
{
    if (hex.size() != 32) return {};
    in6_addr a{};
    for (int i = 0; i < 16; ++i)
        a.s6_addr[i] =
            static_cast<unsigned char>(std::strtoul(hex.substr(i * 2, 2).c_str(), nullptr, 16));
    char buf[INET6_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET6, &a, buf, sizeof buf);
    return buf;
}

// Takes the live addresses over into the settings (a read shows the truth).
// The files change only with a network rewrite, which reboots the card, or
// with a DHCP lease: reading them once a second is as good as every time,
// and keeps a page read as cheap as a page file.
void takeLiveState(card::Runtime& rt)
{
    static std::mutex lock;
    static std::chrono::steady_clock::time_point last{};
    {
        std::lock_guard hold(lock);
        const auto now = std::chrono::steady_clock::now();
        if (last != std::chrono::steady_clock::time_point{} && now - last < std::chrono::seconds(1))
            return;
        last = now;
    }
    int v4 = 0, v6 = 0;
    for (const auto& l : lines(platform::sysPath(kResolv))) {
        auto w = words(l);
        if (w.size() < 2 || w[0] != "nameserver") continue;
        if (sp::ipv4(w[1]) && v4 < 2)
            saveIfValid(rt, v4++ == 0 ? "dns1" : "dns2", w[1], sp::ipv4);
        else if (sp::ipv6(w[1]) && v6 < 2)
            saveIfValid(rt, v6++ == 0 ? "config_dns1_ipv6" : "config_dns2_ipv6", w[1], sp::ipv6);
    }
    bool inEth0v4 = false;
    for (const auto& l : lines(platform::sysPath(kInterfaces))) {
        auto w = words(l);
        if (w.empty()) continue;
        if (w[0] == "iface") {
            inEth0v4 = w.size() >= 4 && w[1] == "eth0" && w[2] == "inet";
            if (inEth0v4 && (w[3] == "dhcp" || w[3] == "static"))
                saveIfValid(rt, "dhcpSet", w[3] == "dhcp" ? "1" : "0",
                            [](std::string_view) { return true; });
            continue;
        }
        if (!inEth0v4 || w.size() < 2) continue;
        if (w[0] == "address") saveIfValid(rt, "ipAddr", w[1], sp::ipv4);
        if (w[0] == "netmask") saveIfValid(rt, "netmask", w[1], sp::ipv4);
        if (w[0] == "gateway") saveIfValid(rt, "gateway", w[1], sp::ipv4);
    }
    // The kernel's IPv6 address of eth0 (global scope) and its default route.
    for (const auto& l : lines(platform::sysPath("/proc/net/if_inet6"))) {
        auto w = words(l);
        if (w.size() == 6 && w[5] == "eth0" && w[3] == "00") {
            saveIfValid(rt, "config_ip_ipv6", ipv6FromHex(w[0]), sp::ipv6);
            long prefix = std::strtol(w[2].c_str(), nullptr, 16);
            if (prefix >= 0 && prefix <= 128 && rt.integer("config_prefix_ipv6", -1) != prefix)
                rt.saveInt("config_prefix_ipv6", int(prefix));
            break;
        }
    }
    for (const auto& l : lines(platform::sysPath("/proc/net/ipv6_route"))) {
        auto w = words(l);
        if (w.size() == 10 && w[9] == "eth0" && w[1] == "00" &&
            w[4] != "00000000000000000000000000000000") {
            saveIfValid(rt, "config_gat_ipv6", ipv6FromHex(w[4]), sp::ipv6);
            break;
        }
    }
}

void userTable(cJSON* doc, const Request& req)
{
    card::Runtime& rt = card::rt();
    cJSON* list = cJSON_AddArrayToObject(doc, "data");
    const bool admin = req.level >= kAdministrator;
    for (int n = 1; n <= kUserSlots; ++n) {
        const std::string i = std::to_string(n);
        cJSON* row = cJSON_CreateObject();
        cJSON_AddStringToObject(row, "user_name", rt.text("user_name" + i).c_str());
        cJSON_AddStringToObject(row, "user_pass", admin ? rt.text("user_pass" + i).c_str() : "");
        cJSON_AddStringToObject(row, "user_right", rt.text("user_right" + i).c_str());
        cJSON_AddStringToObject(row, "user_ip", rt.text("user_ip" + i).c_str());
        cJSON_AddItemToArray(list, row);
    }
}

std::mutex g_resetLock; // one rewrite of the network files at a time

} // namespace

namespace settings
{

std::string interfacesText(card::Runtime& rt)
{
    std::string out = "auto lo\niface lo inet loopback\nauto eth0\n";
    if (std::atoi(rt.text("dhcpSet").c_str()) != 0) {
        out += "iface eth0 inet dhcp\n";
    } else {
        out += "iface eth0 inet static\n";
        for (const char* k : {"ipAddr", "netmask", "gateway"}) {
            std::string v = rt.text(k);
            if (ipv4(v))
                out += std::string(k == std::string("ipAddr") ? "address" : k) + " " + v + "\n";
        }
    }
    const std::string ip6 = rt.text("config_ip_ipv6"), gw6 = rt.text("config_gat_ipv6");
    const int prefix = rt.integer("config_prefix_ipv6", 64);
    if (ipv6(ip6) && ipv6(gw6) && rt.integer("ip_assign_method_ipv6", 0) == 0 && prefix >= 0 &&
        prefix <= 128)
        out += "iface eth0 inet6 static\naddress " + ip6 + " \nnetmask " + std::to_string(prefix) +
               " \ngateway " + gw6 + " \n";
    return out;
}

std::string resolvText(card::Runtime& rt)
{
    std::string out;
    for (const char* k : {"dns1", "dns2"})
        if (ipv4(rt.text(k))) out += "nameserver " + rt.text(k) + "\n";
    const int method6 = rt.integer("ip_assign_method_ipv6", 0);
    if (method6 == 0 || method6 == 1)
        for (const char* k : {"config_dns1_ipv6", "config_dns2_ipv6"})
            if (ipv6(rt.text(k))) out += "nameserver " + rt.text(k) + "\n";
    return out;
}

void networkReset()
{
    std::lock_guard hold(g_resetLock);
    card::Runtime& rt = card::rt();
    for (const auto& [page, live] : {std::pair{"ip_assign_method", "dhcpSet"},
                                     {"config_ip", "ipAddr"},
                                     {"config_msk", "netmask"},
                                     {"config_gat", "gateway"},
                                     {"config_dns1", "dns1"},
                                     {"config_dns2", "dns2"}})
        rt.save(live, rt.text(page));
    if (!platform::writeFile(platform::sysPath(kInterfaces), interfacesText(rt)))
        rt.log("[network_reset] cannot write the interfaces file");
    if (!platform::writeFile(platform::sysPath(kResolv), resolvText(rt)))
        rt.log("[network_reset] cannot write resolv.conf");
    rt.log("[network_reset] network files rewritten, the card restarts");
    afterAnswer(kRebootDelayMs, rebootCard);
}

void ipv6Upkeep(Dhcp6Client& client)
{
    static std::mutex lock;
    static pid_t ours = -1;
    std::lock_guard hold(lock);
    card::Runtime& rt = card::rt();
    const int discovery = rt.integer("ipv6_route_discovery_auto", 0);
    const int method = rt.integer("ip_assign_method_ipv6", 0);
    if (ours > 0 && !client.running(ours)) ours = -1; // it ended: forget it
    if (discovery == 0 && method != 0) {
        if (ours <= 0) {
            rt.log("udhcpc6 start");
            ours = client.start();
        }
        return;
    }
    if (ours > 0) {
        client.stopAll();
        ours = -1;
    }
}

} // namespace settings

void proc_ipv6_route_discovery()
{
    static sp::Dhcp6Client card{
        [] {
            // A fixed command line: no setting reaches it.
            const char* argv[] = {"/bin/sh", "-c", "killall udhcpc6; exec udhcpc6 -R -f -i eth0",
                                  nullptr};
            pid_t pid = -1;
            if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) !=
                0)
                return pid_t(-1);
            return pid;
        },
        [](pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; },
        [] {
            platform::runArgv({"killall", "udhcpc6"});
        },
    };
    sp::ipv6Upkeep(card);
}

void ups_networkinfo(const Request& req, Reply& reply)
{
    card::Runtime& rt = card::rt();
    if (!req.isPost()) {
        takeLiveState(rt);
        auto doc = sp::object();
        for (const auto& m : kLiveMembers)
            cJSON_AddStringToObject(doc.get(), m.member, rt.text(m.live, m.def).c_str());
        kDdns.readInto(doc.get(), req);
        kNetwork6.readInto(doc.get(), req);
        cJSON_AddStringToObject(doc.get(), "local_ip_ipv6", rt.text("local_ip_ipv6").c_str());
        userTable(doc.get(), req);
        sp::sendPage(reply, doc.get());
        return;
    }
    // A static address needs an address: check what the page would leave.
    if (std::string bad = kNetwork.check(req); !bad.empty()) {
        resultOk(reply, sp::kAnswerRefused, bad);
        return;
    }
    const bool staticAddress =
        std::atoi(
            req.bodyField("ip_assign_method").value_or(rt.text("ip_assign_method", "1")).c_str()) ==
        0;
    if (staticAddress && !sp::ipv4(req.bodyField("config_ip").value_or(rt.text("config_ip")))) {
        resultOk(reply, sp::kAnswerRefused, "config_ip");
        return;
    }
    if (staticAddress && !sp::ipv4(req.bodyField("config_msk").value_or(rt.text("config_msk")))) {
        resultOk(reply, sp::kAnswerRefused, "config_msk");
        return;
    }
    // A page value never saved stands for the live one: a write of the port
    // alone must not turn an unset address method into a static address.
    for (size_t i = 0; i < kAddressMembers; ++i)
        if (rt.text(kLiveMembers[i].member).empty())
            rt.save(kLiveMembers[i].member, rt.text(kLiveMembers[i].live, kLiveMembers[i].def));
    kNetwork.write(req);
    bool changed = false;
    if (rt.text("webType") != rt.text("httpType") && !rt.text("webType").empty()) {
        rt.save("httpType", rt.text("webType"));
        changed = true;
    }
    const std::string port = rt.text("web_access_port");
    if (!port.empty() && port != rt.text("httpPort", "80")) {
        // Ports the card's own services listen on stay theirs.
        if (port == "8080" || port == "502") {
            rt.save("web_access_port", rt.text("httpPort", "80"));
        } else {
            rt.save("httpPort", port);
            changed = true;
        }
    }
    // An unset method is DHCP, as the start-up's network check reads it.
    if (rt.text("ip_assign_method") != rt.text("dhcpSet", "1")) changed = true;
    if (std::atoi(rt.text("ip_assign_method").c_str()) == 0)
        for (const auto& [page, live] : {std::pair{"config_ip", "ipAddr"},
                                         {"config_msk", "netmask"},
                                         {"config_gat", "gateway"}})
            if (rt.text(page) != rt.text(live)) changed = true;
    if (rt.text("config_dns1") != rt.text("dns1") || rt.text("config_dns2") != rt.text("dns2"))
        changed = true;
    rt.saveInt("enable_ipv6", 0);
    if (!changed) {
        resultOk(reply, sp::kAnswerSaved);
        return;
    }
    resultOk(reply, sp::kAnswerRestart);
    sp::networkReset();
}

void ups_network6info(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        takeLiveState(card::rt());
        sp::sendPage(reply, kNetwork6.read(req).get());
        return;
    }
    sp::Write w = kNetwork6.write(req);
    if (sp::refused(reply, w)) return;
    if (!w.any()) {
        resultOk(reply, sp::kAnswerSaved);
        return;
    }
    resultOk(reply, sp::kAnswerRestart);
    sp::networkReset();
}

void ups_ddnsinfo(const Request& req, Reply& reply)
{
    if (!req.isPost()) {
        sp::sendPage(reply, kDdns.read(req).get());
        return;
    }
    if (sp::refused(reply, kDdns.write(req))) return;
    card::rt().saveInt("ddns_use", 1);
    resultOk(reply, sp::kAnswerOk);
}

} // namespace web
