/*
 * pages_settings.hpp - the settings pages of the UPS link, the peripherals,
 * the serial lines, the clock, the card's identity and the network. Each page
 * is a field table over the settings-page walk (settings_page.hpp); the
 * rules below that need no request are declared for their tests.
 */
#pragma once

#include "settings_page.hpp"
#include "web.hpp"

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace web
{

// UPS and peripherals (pages_settings_ups.cpp)
void ups_upsparam(const Request& req, Reply& reply);
void ups_remotecontrol(const Request& req, Reply& reply);
void ups_thssettings(const Request& req, Reply& reply);
void ups_upssche(const Request& req, Reply& reply);
void ups_batparam(const Request& req, Reply& reply);
void ups_constantpower(const Request& req, Reply& reply);
void ups_upswakeup(const Request& req, Reply& reply);
void ups_cfgdeviceleft(const Request& req, Reply& reply);
void ups_bmsparam(const Request& req, Reply& reply);
void ups_tvtimeupdate(const Request& req, Reply& reply);
void ups_tvbatterycell(const Request& req, Reply& reply);
void ups_tvbatterygroup(const Request& req, Reply& reply);

// system (pages_settings_system.cpp)
void ups_systemcom(const Request& req, Reply& reply);
void ups_systeminfo(const Request& req, Reply& reply);
void ups_systemlan(const Request& req, Reply& reply);
void ups_autoupdatetime(const Request& req, Reply& reply);
void ups_timezone(const Request& req, Reply& reply);
void ups_manualupdatetime(const Request& req, Reply& reply);
void ups_restartsys(const Request& req, Reply& reply);
void ups_setsnnum(const Request& req, Reply& reply);
void ups_setmacaddr(const Request& req, Reply& reply);
void ups_debugselectlogo(const Request& req, Reply& reply);
void ups_changelogo(const Request& req, Reply& reply);

// network (pages_settings_network.cpp)
void ups_networkinfo(const Request& req, Reply& reply);
void ups_network6info(const Request& req, Reply& reply);
void ups_ddnsinfo(const Request& req, Reply& reply);

namespace settings
{

// The POSIX TZ text of a time-zone index and daylight-saving switch
// ("GMT-8:00" for 26 with daylight saving); nullopt outside the table.
std::optional<std::string> timeZoneText(int index, bool dst);
constexpr int kTimeZones = 33;

// "YYYY-MM-DD HH:MM:SS" (parts split at '-', ' ' and ':') as a real local
// time from 2000 to 2099; nullopt for anything else.
std::optional<std::tm> parseSystemTime(std::string_view text);

// The network files from the settings (network_reset): the interfaces file
// and resolv.conf texts. Values that are not well-formed addresses are left
// out, so no setting can add a line of its own.
std::string interfacesText(card::Runtime& rt);
std::string resolvText(card::Runtime& rt);
// Copies the page's addresses into the live ones, writes both files and
// reboots the card shortly after the answer went out (network_reset).
void networkReset();

// The IPv6 upkeep's DHCPv6 client: what it starts and stops. The card's own
// runs udhcpc6 as a child; tests record the calls.
struct Dhcp6Client {
    std::function<pid_t()> start;       // a running client's pid, or -1
    std::function<bool(pid_t)> running; // false once the child ended
    std::function<void()> stopAll;      // ends every DHCPv6 client
};
// One upkeep pass over the settings of card::rt() (see proc_ipv6_route_discovery).
void ipv6Upkeep(Dhcp6Client& client);

// Runs `what` on a thread of its own after `delayMs` (a reboot after the answer).
void afterAnswer(int delayMs, std::function<void()> what);
// Reboots the card (the "reboot" program); tests put a recorder in its place.
void rebootCard();
std::function<void()>& rebootAction();

} // namespace settings
} // namespace web
