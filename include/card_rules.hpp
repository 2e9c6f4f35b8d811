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

// ---- time texts ----

// Local time "%04d-%02d-%02d %02d:%02d:%02d" of t.
std::string timeText(std::time_t t);
// "%02d:%02d:%02d" of a duration in seconds, hours not wrapped ("100:00:00").
std::string durationText(long long seconds);

// ---- identification texts ----

// The text of a block of signals holding one character code each (UPS name,
// model, versions), up to the first 0.
std::string signalText(Runtime& r, int dev, int base, int count = SIG_TEXT_LEN);

} // namespace card
