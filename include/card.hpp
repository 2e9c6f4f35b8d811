/*
 * card.hpp - card-wide facts every plug-in shares: device numbers, server ids,
 * event channels and codes, store request codes and the version texts.
 *
 * The signal catalogue (signals.h) names every signal; this header names
 * everything else that more than one plug-in agrees on, so that a number the
 * card's parts exchange is written down once. Rules that turn settings and
 * signals into values shown on several interfaces are in card_rules.hpp.
 */
#pragma once

#include "signals.h"

namespace card
{

// ---- devices (signals.h: DEV_CARD, DEV_UPS, DEV_SENSOR, DEV_PACK_BASE) ----
constexpr int kCard = DEV_CARD;
constexpr int kUps = DEV_UPS;
constexpr int kSensors = DEV_SENSOR;
constexpr int kPackBase = DEV_PACK_BASE; // battery pack n is kPackBase + n
constexpr int kLinkSignal = SIG_LINK_OK; // reads 1 while the device answers
constexpr int kSensorModules = 4;

// Exact alarm start times (card_rules.hpp: alarmStart/setAlarmStart): device
// kCard signal kAlarmStartHigh + index holds the upper 16 bits of the start
// time of alarm index, kAlarmStartLow + index the lower 16 bits, each exact in
// a float signal (ALARM_TIME_BASE + index of the UPS is only near the second).
constexpr int kAlarmStartHigh = ALARM_TIME_BASE;
constexpr int kAlarmStartLow = ALARM_TIME_BASE + 100;

// ---- ports ----
constexpr int kUpsPort = 1;
constexpr int kSensorPort = 3; // sensors, battery packs and the RS-485 Modbus slave
constexpr int kModemPort = 7;

// ---- server ids given by cardmon ----
constexpr int kServerTask = 0; // every task without an id of its own
constexpr int kStoreServer = 4;
constexpr int kCloudServer = 5;
constexpr int kNutServer = 6;

// ---- event channels (postEvent) and their codes ----
namespace channel
{
constexpr int kCommand = 0;    // UPS commands 0-24 and card requests, to the data task
constexpr int kMailStart = 1;  // alarm index started; 100 test mail
constexpr int kSmsStart = 2;   // alarm index started; 200 test SMS, 300/400 modem console
constexpr int kTrapTest = 3;   // n: test trap to receiver n
constexpr int kCloud = 5;      // firmware update result
constexpr int kNut = 6;        // user list reload
constexpr int kAlarmEnded = 7; // alarm index ended, to the mail and SMS tasks
} // namespace channel

namespace event
{
constexpr int kSensorSetup = 51;    // sensor settings changed
constexpr int kModelSetup = 53;     // UPS model settings changed
constexpr int kSuspendPolling = 54; // identification takes the UPS line
constexpr int kResumePolling = 55;
constexpr int kFactoryReset = 260;
constexpr int kTestMail = 100;
constexpr int kTestSms = 200;
constexpr int kModemConsoleSend = 300;
constexpr int kModemConsoleRead = 400;
constexpr int kRestart = 3000; // settings changed: the card starts again
constexpr int kTimeSync = 3004;
constexpr int kUsersChanged = 3005;
constexpr int kUpdateResult = 3006;
} // namespace event

// ---- UPS command numbers (channel 0, and the driver's command texts) ----
namespace command
{
constexpr int kSelfTest = 0;
constexpr int kDischargeTestToLow = 2;
constexpr int kCancelTest = 3;
constexpr int kShutdown = 4;
constexpr int kStandby = 5; // for argument 2 minutes
constexpr int kWakeUp = 6;
constexpr int kRestart = 7;
constexpr int kBeeperToggle = 8;
constexpr int kBypassManual = 10;
constexpr int kInverterOffCountdown = 15;
constexpr int kInverterDelayStart = 16;
constexpr int kShutdownAfterDelay = 23; // after argument 5 seconds
constexpr int kLast = 24;
} // namespace command

// ---- store request codes (DevCallback(kStoreServer, code, data, size)) ----
namespace store
{
constexpr int kUpsSample = 100;
constexpr int kSensorSample = 101;
constexpr int kBatteryTest = 102;
constexpr int kAlarmStarted = 200; // + alarm index: current_alarm row
constexpr int kAlarmCleared = 300; // + alarm index: the row goes
constexpr int kAlarmEpisode = 400; // + alarm index: history_alarm row
constexpr int kMailTest = 500;
constexpr int kMailAlarmStart = 600; // + alarm index
constexpr int kMailAlarmEnd = 700;   // + alarm index
constexpr int kMailReport = 800;
constexpr int kSmsTest = 900;
constexpr int kSmsAlarmStart = 1000; // + alarm index
constexpr int kSmsAlarmEnd = 1100;   // + alarm index
// Control actions: base + command number, source in the text (or fixed).
constexpr int kControlWeb = 1200;
constexpr int kControlSnmp = 1250;
constexpr int kControlModbus = 1300;
constexpr int kControlSms = 1350;
constexpr int kControlSchedule = 1400;
constexpr int kOperation = 1500; // + operation number
constexpr int kTextBytes = 200;  // longest text a request carries
// Not a record: writes everything queued now and answers once it is written
// (the runtime sends it before the program ends).
constexpr int kFlush = 1;
} // namespace store

// ---- version texts ----
constexpr const char* kFirmwareVersion = "FW02K13";
constexpr const char* kHardwareVersion32M = "HW305KQM01";
constexpr const char* kHardwareVersion64M = "HW305KQM02";
constexpr const char* kModuleVersion = "V1.0";

} // namespace card
