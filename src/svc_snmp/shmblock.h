/*
 * shmblock.h - the data channel between the SNMP task and the agent's MIB module.
 *
 * The task (libsvc_snmp, inside cardmon) and the module (libupsmib or libmib935,
 * inside snmpd) are different processes. They share one System V memory block of
 * 1164 bytes, which the task refills every two seconds, and one System V message
 * queue on which the module sends set requests back. Both are external formats:
 * every field is at a fixed byte offset, integers are 32-bit little-endian, texts
 * are NUL-padded byte arrays. This file is the only place that knows the layout;
 * the task and both modules read and write the block through it.
 *
 * No lock guards the block: every numeric field is written as one aligned 32-bit
 * store, so a reader sees the old or the new value of each field.
 */
#pragma once

#include "signals.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace snmpblock
{

constexpr std::size_t kBlockSize = 1164;
constexpr int kDefaultIpcKey = 1628;

// The System V key of the block and of the queue: 1628 on the card. A test
// sandbox can move it with CARDMON_IPC_KEY so parallel cards never meet.
int ipcKey();

// ---- layout (byte offsets) ----
namespace off
{
constexpr std::size_t systemName = 0;              // char[32], never filled
constexpr std::size_t batteryLastReplaceDate = 32; // char[64]
constexpr std::size_t thsEnable = 96;              // u8 + 3 pad
constexpr std::size_t thsTemperature = 100;        // 4 x u32, tenths
constexpr std::size_t thsHumidity = 116;           // 4 x u32, tenths
constexpr std::size_t overTemperature = 132;       // 4 x u8
constexpr std::size_t underTemperature = 136;      // 4 x u8
constexpr std::size_t overHumidity = 140;          // 4 x u8
constexpr std::size_t underHumidity = 144;         // 4 x u8
constexpr std::size_t identManufacturer = 148;     // char[32]
constexpr std::size_t identModel = 180;            // char[64]
constexpr std::size_t identUpsSoftwareVersion = 244;
constexpr std::size_t identAgentSoftwareVersion = 308;
constexpr std::size_t identName = 372;
constexpr std::size_t identAttachedDevices = 436;

// upsmib_battery, 7 x u32
constexpr std::size_t batteryStatus = 500;
constexpr std::size_t secondsOnBattery = 504;
constexpr std::size_t estimatedMinutesRemaining = 508;
constexpr std::size_t estimatedChargeRemaining = 512;
constexpr std::size_t batteryVoltage = 516;
constexpr std::size_t batteryCurrent = 520;
constexpr std::size_t batteryTemperature = 524;

// upsmib_input, 14 x u32; per-phase groups are A, B, C at +0, +4, +8
constexpr std::size_t inputLineBads = 528;
constexpr std::size_t inputNumLines = 532;
constexpr std::size_t inputVoltage = 536;
constexpr std::size_t inputCurrent = 548;
constexpr std::size_t inputFrequency = 560;
constexpr std::size_t inputTruePower = 572;

// upsmib_output, 15 x u32
constexpr std::size_t outputSource = 584;
constexpr std::size_t outputFrequency = 588;
constexpr std::size_t outputNumLines = 592;
constexpr std::size_t outputVoltage = 596;
constexpr std::size_t outputCurrent = 608;
constexpr std::size_t outputPower = 620;
constexpr std::size_t outputPercentLoad = 632;

// upsmib_bypass, 11 x u32
constexpr std::size_t bypassFrequency = 644;
constexpr std::size_t bypassNumLines = 648;
constexpr std::size_t bypassVoltage = 652;
constexpr std::size_t bypassCurrent = 664;
constexpr std::size_t bypassPower = 676;

// upsmib_config, 10 x u32 in record order
constexpr std::size_t configInputVoltage = 688;
constexpr std::size_t configInputFreq = 692;
constexpr std::size_t configOutputVoltage = 696;
constexpr std::size_t configOutputFreq = 700;
constexpr std::size_t configOutputVA = 704;
constexpr std::size_t configOutputPower = 708;
constexpr std::size_t configLowBattTime = 712;
constexpr std::size_t configAudibleStatus = 716;
constexpr std::size_t configLowVoltageTransferPoint = 720;
constexpr std::size_t configHighVoltageTransferPoint = 724;

// upsmib_self, 9 x u32
constexpr std::size_t rectifierRun = 728;
constexpr std::size_t inverterRun = 732;
constexpr std::size_t batteryCharge = 736;
constexpr std::size_t batteryFloat = 740;
constexpr std::size_t batterySwitch = 744;
constexpr std::size_t inputSwitch = 748;
constexpr std::size_t outputSwitch = 752;
constexpr std::size_t bypassSwitch = 756;
constexpr std::size_t upsType = 760;

constexpr std::size_t alarmTable = 764;  // 32 x { u8 event_ID, 3 pad, u32 time }
constexpr std::size_t alarmState = 1020; // 32 x i32
constexpr std::size_t testStartTime = 1148;
constexpr std::size_t testElapsedTime = 1152;
constexpr std::size_t inputBadNum = 1156;
constexpr std::size_t runTime = 1160;
} // namespace off

constexpr int kAlarmTableEntries = 32;
constexpr int kAlarmTableUsed = 6; // only entries 0..5 are ever filled
constexpr int kAlarmStateEntries = 32;
constexpr int kWellKnownAlarms = 24;
constexpr std::size_t kAlarmEntrySize = 8;

// The alarm numbers in the block are UPS-MIB's well-known alarms 1..24, whose
// order is the order of the UPS alarm flags Alarm_BatteryBad ..
// Alarm_TestInProgress.
constexpr int wellKnownAlarm(int signal)
{
    return signal - ALARM_BASE + 1;
}
constexpr int alarmSignal(int wellKnown)
{
    return ALARM_BASE + wellKnown - 1;
}
static_assert(wellKnownAlarm(Alarm_TestInProgress) == kWellKnownAlarms);

// A view on 1164 bytes (the attached segment, or a buffer in tests).
class Block
{
  public:
    explicit Block(void* base) : p_(static_cast<std::uint8_t*>(base)) {}

    std::uint8_t* data() const { return p_; }
    void clear() const;

    std::uint32_t u32(std::size_t offset) const;
    std::int32_t i32(std::size_t offset) const { return static_cast<std::int32_t>(u32(offset)); }
    void setU32(std::size_t offset, std::uint32_t v) const;
    void setI32(std::size_t offset, std::int32_t v) const
    {
        setU32(offset, static_cast<std::uint32_t>(v));
    }
    std::uint8_t u8(std::size_t offset) const { return p_[offset]; }
    void setU8(std::size_t offset, std::uint8_t v) const { p_[offset] = v; }

    // Text up to the first NUL, never past `size` bytes.
    std::string text(std::size_t offset, std::size_t size) const;
    // Writes at most size-1 bytes and NUL-pads the rest of the field.
    void setText(std::size_t offset, std::size_t size, std::string_view v) const;

    // Alarm table entry i (0..31).
    std::uint8_t alarmId(int i) const { return p_[off::alarmTable + i * kAlarmEntrySize]; }
    std::uint32_t alarmTime(int i) const { return u32(off::alarmTable + i * kAlarmEntrySize + 4); }
    void setAlarm(int i, std::uint8_t id, std::uint32_t time) const;
    // State of well-known alarm j (index 0..31; 1..24 used).
    std::int32_t alarmState(int j) const { return i32(off::alarmState + j * 4); }
    void setAlarmState(int j, std::int32_t v) const { setI32(off::alarmState + j * 4, v); }

  private:
    std::uint8_t* p_;
};

// ---- the command queue ----
// A message is a C long `type` followed by a 256-byte payload. (The payload is
// declared one byte larger than the legacy 255 so that sending and receiving 256
// bytes never reads or writes past the record.)
constexpr long kCommandType = 10;
constexpr long kIdentNameType = 5;
constexpr std::size_t kPayloadSize = 256;

struct Message {
    long type;
    unsigned char data[kPayloadSize];
};

struct Command {
    int code = 0;   // UPS command number
    int value1 = 0; // unsigned 16 bits
    int value2 = 0; // unsigned 16 bits
};

Message encodeCommand(const Command& c);
Command decodeCommand(const Message& m);

// ---- System V helpers shared by both processes ----
// Creates or opens the block with IPC_CREAT|0666 and attaches it. nullptr on
// failure; `stage` receives 1 when shmget failed, 2 when shmat failed.
void* attachBlock(int key, int* stage);
void detachBlock(void* base);
// msgget(key, IPC_CREAT|0660); -1 on failure.
int openQueue(int key);
// Sends without waiting; false when the queue is full or missing.
bool sendMessage(int qid, const Message& m);
// Receives one message of `type` without waiting; false when there is none.
bool receiveMessage(int qid, long type, Message& m);

} // namespace snmpblock
