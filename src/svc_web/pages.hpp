/*
 * pages.hpp - the read-only pages of the web plug-in: live status, current
 * alarms, the about page, the log lists over the record store's readers, the
 * chart series, CSV downloads and log clearing, the serial-port diagnostics
 * console, and the energy-flow diagram of the home page.
 *
 * Each route is one small handler (pages_status.cpp, pages_logs.cpp,
 * pages_diag.cpp, pages_energy.cpp). The rules they share, which need neither
 * a request nor the runtime, are declared below so that they can be tested by
 * feeding them values.
 */
#pragma once

#include "web.hpp"

#include <cjson/cJSON.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct MHD_Connection; // libmicrohttpd's

namespace web
{

// ---- handlers (route table names) ----

// status (pages_status.cpp)
void ups_deviceid(const Request& req, Reply& reply);
void ups_thsstatus(const Request& req, Reply& reply);
void ups_getmodulenum(const Request& req, Reply& reply);
void ups_IdentifyProgress(const Request& req, Reply& reply);
void ups_smsstatus(const Request& req, Reply& reply);
void ups_emailtestresult(const Request& req, Reply& reply);
void ups_smstestresult(const Request& req, Reply& reply);
void ups_currentalarm(const Request& req, Reply& reply);
void ups_aboutinfo(const Request& req, Reply& reply);

// logs (pages_logs.cpp)
void ups_historyalarm(const Request& req, Reply& reply);
void ups_upsdatalog(const Request& req, Reply& reply);
void ups_upsbattestlog(const Request& req, Reply& reply);
void ups_smslog(const Request& req, Reply& reply);
void ups_emaillog(const Request& req, Reply& reply);
void ups_upsdatachart(const Request& req, Reply& reply);
void ups_savelog(const Request& req, Reply& reply);
void ups_clearlog(const Request& req, Reply& reply);

// diagnostics (pages_diag.cpp)
void ups_issavelog(const Request& req, Reply& reply);
void ups_AutoDebugPrint(const Request& req, Reply& reply);
void ups_saveportlog(const Request& req, Reply& reply);
void ups_debugportlog(const Request& req, Reply& reply);
void ups_printPortlog(const Request& req, Reply& reply);

// energy flow (pages_energy.cpp)
void ups_energychart(const Request& req, Reply& reply);

// protocol and notification settings (pages_settings_proto.cpp)
void ups_snmpparasettings(const Request& req, Reply& reply);
void ups_snmpconfig(const Request& req, Reply& reply);
void ups_trapconfig(const Request& req, Reply& reply);
void ups_trapuserconfig(const Request& req, Reply& reply);
void ups_trapeventconfig(const Request& req, Reply& reply);
void ups_trapeventtest(const Request& req, Reply& reply);
void ups_exportsnmpmib(const Request& req, Reply& reply);
void ups_mbtcpslaveinfo(const Request& req, Reply& reply);
void ups_mbtcpslaveiplist(const Request& req, Reply& reply);
void ups_485modbusinfo(const Request& req, Reply& reply);
void ups_bacnetinfo(const Request& req, Reply& reply);
void ups_iec61850info(const Request& req, Reply& reply);
void ups_nutinfo(const Request& req, Reply& reply);
void ups_cloudsettings(const Request& req, Reply& reply);
void ups_emailconfig(const Request& req, Reply& reply);
void ups_emailevent(const Request& req, Reply& reply);
void ups_emailtest(const Request& req, Reply& reply);
void ups_smssettings(const Request& req, Reply& reply);
void ups_smsevent(const Request& req, Reply& reply);
void ups_smstest(const Request& req, Reply& reply);

// configuration file and factory reset (config_file.cpp, factory.cpp)
void ups_savecurrentsettings(const Request& req, Reply& reply);
void ups_updatesettings(const Request& req, Reply& reply);
void ups_recoverfactorysettings(const Request& req, Reply& reply);

// firmware update (pages_firmware.cpp)
void ups_update(const Request& req, Reply& reply); // "/update" without a body to stream
void ups_locateoronlineupdate(const Request& req, Reply& reply);
void ups_ftpupdate(const Request& req, Reply& reply);
void ups_updatelist(const Request& req, Reply& reply);
void ups_updateprogress(const Request& req, Reply& reply);

// "/update": the server hands the body over piece by piece as it arrives;
// the upload writes its file as it goes and answers once the body is in.
class FirmwareUpload
{
  public:
    virtual ~FirmwareUpload() = default;
    // false: refused (too large, not writable); the server answers 413.
    virtual bool feed(const char* data, size_t size) = 0;
    virtual void finish(const Request& req, Reply& reply) = 0;
};
std::unique_ptr<FirmwareUpload> startFirmwareUpload(::MHD_Connection* conn);

// Serves a file under data/ as an "application/csv" download named `name`
// (with the downFlag=1 cookie the pages watch); false when it is absent.
bool serveDownload(Reply& reply, const std::string& appRelative, const char* name);

namespace pages
{

// ---- JSON documents ----

using Json = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
inline Json newObject()
{
    return Json(cJSON_CreateObject(), cJSON_Delete);
}

// A form field as a number (atoi), 0 when absent.
int fieldInt(const std::optional<std::string>& value);

// The text of a fixed slot of a reader row: at most `size` bytes, up to the
// first zero.
std::string slotText(const char* row, int offset, int size);

// ---- paging of the log lists (10 rows a page) ----

constexpr int kPageRows = 10;
// Pages count from 1; a missing, zero or negative page asks for the first.
int pageNumber(int requested);
// "totalpage": ceil(total / 10).
int totalPages(int total);
// Rows on page `page` of `total` rows: 10 before the last page, the rest on
// the last one (10 when it is full), none beyond it.
int rowsOnPage(int total, int page);

// ---- dates ----

// "YYYY-MM-DD" naming a real day.
bool isDayText(std::string_view text);
// "YYYY-MM-DD HH:MM" naming a real day and time.
bool isMinuteText(std::string_view text);
// The month of a YYYYMM number as the range "%04d-%02d-01 00:00:00" ..
// "%04d-%02d-31 23:59:59"; nullopt for a month that does not exist.
std::optional<std::pair<std::string, std::string>> monthRange(long long yyyymm);

// ---- history alarms ----

// Row class: 2 web actions, 3 remote actions, 4 power states, 5 battery, 1 others.
int historyClass(long long n);
// Event number shown for ups_type (the same remapping as the CSV export).
long long historyEvent(int upsType, long long n);
// Source word in the page language (lagval 1 simplified, 2 traditional Chinese).
std::string historySource(int lagval, const std::string& source);

// ---- current alarms ----

// Alarm indexes that are states (on mains, on bypass, battery states...) rather
// than alarms.
bool isStateIndex(int index);
// "IsNew": 0 no entries, 1 at least one alarm, 2 only states.
int isNewFlag(const std::vector<int>& indexes);
// The alarm numbers of "curr_alarm_id" ("1,8,25"): at most `max` of them,
// each taken as an unsigned byte.
std::vector<int> alarmList(std::string_view ids, size_t max);

// ---- UPS data log ----

// The members of a data type's row (after "time"), in row order; empty for an
// unknown type.
const std::vector<const char*>& upsDataMembers(int dataType);
// True when `member` (index into upsDataMembers) is sent as "--" for ups_type.
bool upsDataDashed(int dataType, int member, int upsType, int batteryEnable);

// ---- port console ----

// Hexadecimal digit pairs to bytes; blanks, CR and LF are skipped. Any other
// character, or an odd digit count, gives no bytes.
std::string asciiTo16(std::string_view text);
// One transcript line: "send:" or "recv:", the local time with milliseconds,
// the bytes (HEX: a blank and "%02x " each; ASCII: as they are), CR LF.
std::string transcriptLine(bool receive, bool hex, std::string_view bytes, long long epochMs);

// ---- firmware update ----

// The base name of an uploaded file's name (whatever path the browser sent is
// dropped); empty for "", ".", "..", a control character or over 100 bytes.
std::string uploadBaseName(std::string_view raw);
// A name an uploaded package may have: "Torvix.tar..." or the name the update
// server gives it, "Torvix_<hardware>.tar.gz".
bool packageFileName(std::string_view name);
// "/UpdateProgress" at its t-th read since the update list: 10, 20, 30, 44,
// 55, 66, 77, 85, 95, then 100.
int updateProgress(int t);
// "%.2f M" of the size in mebibytes; empty for 0.
std::string updateSizeText(long long bytes);

// ---- energy flow ----

// "bat_status" from the battery signals (tested in order) while the link is up.
struct BatterySignals {
    float onBattery, charging, low, bad, depleted, boost, floatCharge, disconnected;
};
std::string batteryStatusCode(bool lost, const BatterySignals& s);
// "energy_flow_dir" from the output source signal.
std::string flowDirection(bool lost, float outputSource);
// The phase rule: "%.1f/%.1f/%.1f" with three phases, else "%.1f" of the first
// (power factors with two decimals).
std::string phaseText(float phases, float a, float b, float c, int decimals = 1);

} // namespace pages
} // namespace web
