/*
 * startup.hpp - the pieces of cardmon's start-up that are plain logic, kept apart
 * from main() so they can be tested without a card.
 */
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace cardmon
{

// UPS driver library names by the setting ups_type (0..10).
extern const std::array<const char*, 11> kUpsDrivers;
// Battery-pack drivers by bms_pro, Modbus/TCP plug-ins by tcp_modbus_pro.
extern const std::array<const char*, 2> kPackDrivers;
extern const std::array<const char*, 2> kTcpModbusPlugins;

// Time-zone tables: A when time_dst is non-zero, B when it is 0.
extern const std::array<const char*, 33> kZonesA;
extern const std::array<const char*, 33> kZonesB;

// Driver name for ups_type, or nullptr when out of range.
const char* upsDriver(int upsType);

// The zone in force for a line of config/Timezone: the first table-A entry that
// occurs in it, else the first table-B entry; nullptr when none does.
const char* zoneFromLine(std::string_view line);
// The zone for the settings ntimezone/time_dst; nullptr when out of range.
const char* zoneFromSettings(int ntimezone, int timeDst);
// config/Timezone record: the zone followed by zero bytes, 99 bytes in all.
std::string zoneRecord(std::string_view zone);

// Port parameter text for a check-way setting (0 n, 1 o, 2 e, 3 s, 4 m); empty
// for any other check way.
std::string portParamText(int checkWay, int baud, int dataBits, int stopBits);

// Static address check: 0 bad address, 1 address with its mask, 2 class mask.
int staticAddressCheck(std::string_view address, std::string_view mask);
// Class mask by first octet; sets *dClass for D/E addresses, *parsed to false
// when the address is not four numbers.
std::string classMask(std::string_view address, bool* dClass, bool* parsed);
// The whole /etc/network/interfaces text for these settings (empty for an
// unknown dhcpSet), and the log lines the check would write.
std::string interfacesText(int dhcpSet, const std::string& ip, const std::string& mask,
                           const std::string& gateway, std::string* logText);

// A dotted IPv4 address as the system files take it: four decimal numbers
// 0-255 of one to three digits joined by dots, nothing before, between or after.
bool wellFormedIpv4(std::string_view text);
// A name server for resolv.conf: an IPv4 address as above, or an IPv6 address.
bool wellFormedNameServer(std::string_view text);
// A setting's value as a log line may show it: control characters as \xNN.
std::string printable(std::string_view text);

// What the network check does when eth0 is missing. A value that is no
// well-formed address is refused: the file stays as it was. A static set-up
// that cannot give eth0 an address (a bad address, an unknown dhcpSet) falls
// back to DHCP so that the card comes up reachable.
struct InterfacesPlan {
    std::string text;   // the new interfaces file; empty: leave the file as it is
    std::string log;    // application log lines, each ending in a newline
    std::string reason; // what a reboot would be for: the same reason reboots once
};
InterfacesPlan planInterfaces(std::string_view dhcpSet, const std::string& ip,
                              const std::string& mask, const std::string& gateway);

// /etc/resolv.conf for the two name servers; empty (and a log line) when a
// non-empty one is malformed, so that the file is not written at all.
std::string resolvConfText(const std::string& dns1, const std::string& dns2, std::string* logText);

// MemTotal in kB from the text of "grep MemTotal /proc/meminfo"; -1 if absent.
int memTotalKb(std::string_view text);

// LED blinker: drives the pin to 0 at the start of each period and to 1 four
// ticks later.
struct Blinker {
    int pin;
    long last = 0;
    // Returns -1 (no change), 0 or 1: the level to drive at tick t.
    int step(long t, int period)
    {
        if (t - last > period) {
            last = t;
            return 0;
        }
        if (t - last == 4) return 1;
        return -1;
    }
};

} // namespace cardmon
