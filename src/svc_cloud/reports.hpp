/*
 * reports.hpp - what the card tells the cloud platform, and the tables that
 * map the card's signals onto the platform's identifiers.
 *
 * Every report is one outer TLV object whose tag names the report; inside it
 * the serial number (tag 68, setting "cloud_sn") and the report's items. The
 * builders read the settings and signals of the runtime they are given and
 * return the payload (the head is added when it is sent), so each report is
 * tested by setting signals on a fake runtime and decoding what comes out.
 */
#pragma once

#include "card_runtime.hpp"
#include "codec.hpp"

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace cloud
{

// ---- report tags ----
namespace tag
{
constexpr std::uint8_t kData = 16, kDevice = 17, kUpdateResult = 21, kCommState = 22,
                       kPassThrough = 27, kSerial = 30, kSystem = 32;
constexpr std::uint8_t kFlag = 48, kDataId = 49, kValue = 50, kTime = 51, kSerialNo = 68,
                       kReport = 69, kDataSet = 70, kDeviceObj = 71, kDeviceType = 72,
                       kSoftware = 73, kName = 75, kAlarms = 76, kState = 77, kPackage = 78,
                       kMainStatus = 81, kUpdateObj = 82, kSignal = 84, kMac = 87, kAgent = 88,
                       kStatus = 89, kChange = 92, kAgentKind = 93, kMessageId = 94, kResult = 97,
                       kBaudCode = 102, kDataBits = 103, kStopBits = 104, kParity = 105,
                       kSerialObj = 106, kUpsType = 107, kSystemKind = 108, kSystemObj = 109,
                       kMemUsed = 110, kMemTotal = 111, kMemTotal2 = 112, kUpsAddr = 113;
} // namespace tag

// ---- tables ----

// How a data row's value is found.
enum class Source : std::uint8_t {
    Signal,       // the UPS signal
    OutputSource, // 40161 mapped to the platform's codes
    EnergyFlow,   // seven flow signals, two bits each
    Phases,       // phase arrangement from ups_type and the line counts
    Charge,       // 40104, or 40121 with battery management
    Minutes,      // 40103, or 40120 with battery management
    RatedVa,      // 30004 / 1000 unless the product code is 297 or 222
};

struct DataRow {
    std::uint32_t id; // the platform's data identifier
    int signal;       // UPS signal (device 60)
    int factor;       // resolution of the change report
    Source source = Source::Signal;
};
extern const std::vector<DataRow> kDataIds;

struct AlarmRow {
    std::uint16_t id; // the platform's alarm identifier
    int signal;       // UPS alarm signal
};
extern const std::vector<AlarmRow> kAlarmIds;

constexpr std::uint16_t kAlarmActive = 0x8000;
constexpr std::uint32_t kAlarmSetId = 9999;
constexpr int kRowsPerPause = 20; // the data report pauses 20 ms after every 20 rows
constexpr float kNoTemperature = -15.0f;

// The value a row reports now.
float rowValue(card::Runtime& rt, const DataRow& row);
// Output source code: 4 gives 4, 5 gives 2, 3 gives 1, 2 gives 0, else 9.
int outputSourceCode(float source);
// Seven flow signals packed two bits each, the first in bits 0-1.
int energyFlowBits(card::Runtime& rt);
int phaseArrangement(int upsType, int inputLines, int outputLines);
// Device type triple by ups_type (and the output line count).
std::array<std::uint8_t, 3> deviceType(int upsType, int outputLines);
// Line speed code of a baud rate, and the reverse; -1 / 0 when not in the table.
int baudCode(int baud);
int baudOf(int code);

// ---- reports (payloads) ----

struct Stamp {
    std::uint32_t time; // the head's timestamp, also item 51
};

std::string commState(card::Runtime& rt, bool up);
// Data report: every row (change == false), or only the rows whose key moved
// since `last` (updated), with item 92 = 1. `pause` runs after every 20 rows.
std::string dataReport(card::Runtime& rt, Stamp s, bool change, std::vector<long long>* last,
                       const std::function<void()>& pause = {});
std::string powerReport(card::Runtime& rt, Stamp s);
// Alarm report. All: every active row (or the single code 0), `last` left
// alone. Change: the rows that differ from `last` (updated); empty when none.
std::string alarmReport(card::Runtime& rt, Stamp s, bool change, std::vector<int>& last);
std::string deviceReport(card::Runtime& rt, const std::string& mac);
std::string serialReport(card::Runtime& rt);
std::string systemReport(card::Runtime& rt);
std::string passThroughAnswer(card::Runtime& rt, std::uint32_t messageId, int result);
std::string updateResultReport(card::Runtime& rt, const std::string& package, int mainStatus,
                               int status);

// The state of every alarm row now (1 active).
std::vector<int> alarmStates(card::Runtime& rt);

} // namespace cloud
