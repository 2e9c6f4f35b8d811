/*
 * card_rules.hpp - rules that several interfaces apply to the same settings
 * and signals, each defined once.
 *
 * The web pages, the SNMP block, the Modbus registers, the store's samples and
 * the notifications all show the same UPS: a value read through one of them
 * must match the others. Every rule that turns a setting or a signal into a
 * shown value, and that more than one plug-in needs, lives here.
 */
#pragma once

#include "card_runtime.hpp"

#include <string>
#include <string_view>

namespace card
{

// ---- numbers in settings ----

// The integer a settings text holds: optional blanks, an optional sign and
// digits, nothing else; def when the text is not such a number.
int parseInt(std::string_view text, int def);

// Divisor of sensor module n's raw readings (n = 1..4, setting "temp_conver<n>",
// factory value "100"): a positive integer; 0, negative values and text that is
// no number divide by 1, so a bad setting shows the raw reading everywhere.
int sensorDivisor(Runtime& r, int n);
int sensorDivisorOf(std::string_view text);

// Sensor module n's (1..4) temperature and humidity, divided by its divisor.
float sensorTemperature(Runtime& r, int n);
float sensorHumidity(Runtime& r, int n);
// Module n (1..4) of the sensor device is answering (its lost flag reads 0).
bool sensorAnswering(Runtime& r, int n);

// ---- scales by UPS family (setting "ups_type") ----

int upsType(Runtime& r);
// Output power signals are in kW for these families: shown x1000 as W.
int outputPowerScale(int upsType);
// Bypass power likewise (only one family reports it in kW).
int bypassPowerScale(int upsType);
// Battery voltage is reported per cell block for these families: multiplied
// by "battery_sections_number" (16) for the string's voltage.
bool batteryVoltagePerBlock(int upsType);
float batteryVoltage(Runtime& r);

// ---- hardware ----

// This card's hardware version code: kHardwareVersion64M on a card with 64 MB
// ("is_mem_64M" 1), else kHardwareVersion32M. Firmware packages name it.
const char* hardwareVersion(Runtime& r);

// ---- time texts ----

// Local time "%04d-%02d-%02d %02d:%02d:%02d" of t.
std::string timeText(std::time_t t);
// "%02d:%02d:%02d" of a duration in seconds, hours not wrapped ("100:00:00").
std::string durationText(long long seconds);

// ---- alarm start times ----

// When alarm index (0..99) started, exact to the second; 0 while it does not
// stand. Every interface that shows a start time reads it here.
std::time_t alarmStart(Runtime& r, int index);
// Stamps (or with 0 clears) the start time of alarm index: the exact pair on
// device kCard and the UPS's ALARM_TIME_BASE + index signal.
void setAlarmStart(Runtime& r, int index, std::time_t start);

// ---- identification texts ----

// The text of a block of signals holding one character code each (UPS name,
// model, versions), up to the first 0.
std::string signalText(Runtime& r, int dev, int base, int count = SIG_TEXT_LEN);

// ---- client address filters ----

// Whether one entry of an address filter (the web users' "user_ip<n>", the
// Modbus masters' "tcp_modbus_ip<n>") admits a client address (dotted IPv4,
// or IPv6 text). Entries compare by value, field by field, never as text, so
// "10.0.0.5" does not admit 10.0.0.50:
//   "*.*.*.*" or "*"             every address, IPv4 and IPv6
//   "192.168.1.20"               that address only
//   "192.168.1.*", "192.168.*.*" starred fields are any value; fields left
//   "192.168.1", "192.168.1."    off at the end are any value too
//   "192.168.1.0/24", "fd00::/8" a network by prefix length
//   "2001:db8::5", "::1"         that IPv6 address, however it is spelt
// An empty entry, or one that is none of these, admits nobody.
bool addressMatches(std::string_view filter, std::string_view address);

// ---- time servers and zones ----

// The public NTP servers of the "time_select" list.
constexpr int kTimeServerCount = 30;
// Server index (0..kTimeServerCount-1) of the list; nullptr outside it.
const char* timeServer(int index);
// The server the card sets its clock from: "otherser" when "sel_server" reads
// as a non-zero number, else the list's entry for "time_select" ("" outside).
std::string timeServerName(Runtime& r);
// TZ text of zone index 0..32 ("ntimezone"): with daylight saving ("time_dst"
// non-zero) "GMT-8:00" for 26, without it one hour further west
// ("GMT-9:00"); nullptr outside the table.
const char* timeZoneName(int zone, bool dst);
// The first zone of either table (with daylight saving first) that occurs in
// text, as the zone file is read back; nullptr when none does.
const char* timeZoneIn(std::string_view text);

// A host name (letters, digits, '-' and '.', labels of 1-63 characters that
// neither start nor end with '-') or an IPv4/IPv6 address; nothing that a
// program could read as an option, a path or shell text.
bool isHostOrAddress(std::string_view text);

} // namespace card
