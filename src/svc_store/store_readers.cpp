/*
 * store_readers.cpp - the six readers the web's log pages call, and the CSV
 * files they leave for download.
 *
 * A reader takes the database lock for the whole call, runs the page query
 * (counting every row, copying the rows of the asked page into fixed slots of
 * the caller's zeroed buffer), then rewrites its CSV file with the whole
 * selection in the language of `Module_Language`. Dates are bound values: a
 * day text becomes the range "<day> 00:00:00" .. "<day> 23:59:59", compared as
 * text. The history filters compare Alarm_Id as text ("3" lies between "28"
 * and "62"), exactly as the page classes expect.
 */
#include "store_readers.h"
#include "store.hpp"

#include "card_rules.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>

#define STORE_EXPORT __attribute__((visibility("default")))

namespace store
{

namespace
{

struct Slot {
    int offset;
    int size;
};

// Copies a field into its slot, leaving at least one zero byte at the slot's end.
void copySlot(char* row, Slot slot, const std::string& text)
{
    const size_t n = std::min(text.size(), static_cast<size_t>(slot.size - 1));
    std::memcpy(row + slot.offset, text.data(), n);
}

bool onlyChars(const char* text, size_t maxLen, const char* allowed)
{
    if (!text) return false;
    const size_t len = std::strlen(text);
    if (len > maxLen) return false;
    for (size_t i = 0; i < len; ++i)
        if (!std::strchr(allowed, text[i])) return false;
    return true;
}

// A day text: digits and hyphens ("2026-12-08"); an empty one selects nothing.
bool dayText(const char* func, const char* text)
{
    if (onlyChars(text, 10, "0123456789-")) return true;
    logLine("[%s] not a date: \"%.40s\"", func, text ? text : "(null)");
    return false;
}

// A time text of a chart range: a day, a blank (or "T") and the time of day.
bool timeRangeText(const char* func, const char* text)
{
    if (onlyChars(text, 32, "0123456789-: T")) return true;
    logLine("[%s] not a time: \"%.40s\"", func, text ? text : "(null)");
    return false;
}

// Runs a select with bound values and hands every row to fn. Logs a failing query.
bool selectRows(sqlite3* db, const char* func, const std::string& sql,
                const std::vector<std::string>& params, const std::function<void(Stmt&)>& fn)
{
    Stmt st(db, sql);
    int rc = SQLITE_ERROR;
    if (st.ok()) {
        for (const auto& p : params)
            st.bind(p);
        while ((rc = st.step()) == SQLITE_ROW)
            fn(st);
    }
    if (rc != SQLITE_DONE) {
        logLine("[%s]    %s,%s", func, "select  dataLog", sqlite3_errmsg(db));
        logLine("sq is %s", sql.c_str());
        return false;
    }
    return true;
}

// The rows of one page: rows [(page-1)*10, page*10) of the selection.
struct Pager {
    int curpage;
    char* data;
    int rowSize;
    int count = 0;

    // The slot row of the current row when it is on the page, else null; counts it.
    char* next()
    {
        const int r = count++;
        if (!data || curpage < 1) return nullptr;
        const int first = (curpage - 1) * STORE_PAGE_ROWS;
        if (r < first || r >= first + STORE_PAGE_ROWS) return nullptr;
        return data + static_cast<ptrdiff_t>(r - first) * rowSize;
    }
};

void writeCsv(const char* func, const char* cardPath, int lang, const std::string& text)
{
    const std::string path = platform::appPath(cardPath);
    if (!platform::writeFile(path, encodeFor(lang, text)))
        logLine("[%s] cannot create %s", func, path.c_str());
}

std::vector<std::string> dayRange(const char* day)
{
    return {std::string(day) + " 00:00:00", std::string(day) + " 23:59:59"};
}

bool openForReading(Db& db, DbFile f)
{
    return db.open(dbPath(f), true);
}

bool inList(int v, std::initializer_list<int> list)
{
    return std::find(list.begin(), list.end(), v) != list.end();
}

// Columns of the 21-column UPS export written as "--" for UPS types that lack them.
bool dashedColumn(int col, int upsType, int batteryEnable)
{
    switch (col) {
    case 2: // Input_C
        return inList(upsType, {0, 1, 3, 8, 9, 10});
    case 4: // Input_TP
        return upsType != 6;
    case 5: // Internal_Temp
        return !inList(upsType, {0, 1, 2, 8, 9, 10});
    case 7:  // Output_C
    case 9:  // Output_P
    case 18: // Bat_Tem
        return inList(upsType, {0, 1, 8});
    case 12: // By_C
        return inList(upsType, {0, 1, 2, 3, 8, 9, 10});
    case 14: // By_TP
    case 15: // By_AP
        return !inList(upsType, {6, 7});
    case 17: // Bat_C
        return inList(upsType, {0, 8, 9, 10});
    case 19: // Bat_Time
        return batteryEnable == 0 && inList(upsType, {0, 2, 8});
    case 20: // Bat_AV
        return inList(upsType, {2, 8});
    default:
        return false;
    }
}

// The sensor page and its export.
const char* const kSensorQuery =
    "select Time,Tem,hum from ths_data where  Time>=? and Time <= ? order by Time desc";

const char* const kUpsExportQuery =
    "select "
    "Time,Input_V,Input_C,Input_F,Input_TP,Internal_Temp,Output_V,Output_C,Output_F,Output_P,"
    "Output_L,By_V,By_C,By_F,By_TP,By_AP,Bat_V,Bat_C,Bat_Tem,Bat_Time,Bat_AV from ups_data "
    "where Time>=? and Time <= ? order by Time desc";

// Chart series codes 1-25: column, and which part of a three-phase value (0 whole).
struct Series {
    const char* column;
    int part;
};
const Series kSeries[26] = {
    {nullptr, 0},    {"Output_L", 1}, {"Bat_AV", 0},   {"Bat_Tem", 0},  {"Bat_V", 0},
    {"Bat_C", 0},    {"Input_V", 1},  {"Input_V", 2},  {"Input_V", 3},  {"Input_C", 1},
    {"Input_C", 2},  {"Input_C", 3},  {"Output_V", 1}, {"Output_V", 2}, {"Output_V", 3},
    {"Output_C", 1}, {"Output_C", 2}, {"Output_C", 3}, {"By_V", 1},     {"By_V", 2},
    {"By_V", 3},     {"By_C", 1},     {"By_C", 2},     {"By_C", 3},     {"Output_L", 2},
    {"Output_L", 3},
};

// Part n (1-3) of "a/b/c"; "0" when the value has no such part.
std::string valuePart(const std::string& value, int part)
{
    if (part == 0) return value;
    size_t start = 0;
    for (int i = 1; i < part; ++i) {
        const size_t slash = value.find('/', start);
        if (slash == std::string::npos) return "0";
        start = slash + 1;
    }
    const size_t end = value.find('/', start);
    std::string p = value.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return p.empty() ? "0" : p;
}

// The history filters 0-5, with the values each compares against (as text).
struct HistoryFilter {
    std::string sql;
    std::vector<std::string> values;
};

// An alarm's number as history_alarm holds it.
std::string alarmId(int alarmSignal)
{
    return std::to_string(alarmSignal - ALARM_BASE);
}

const HistoryFilter& historyFilter(int type)
{
    static const std::string base = "select Starting_Time,Alarm_Id,End_Time,Source from "
                                    "history_alarm where Starting_Time>=? and Starting_Time<=?";
    static const std::string order = " order by Starting_Time desc";
    static const std::string device = "Dev%"; // the card's own devices
    static const HistoryFilter filters[6] = {
        {base + order, {}},
        // UPS faults: the listed alarms, and every id that lies (as text) between
        // those of Alarm_BatteryFloatCharge and Alarm_BatteryDisconnected
        {base +
             " and ((Alarm_Id IN(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)) or (Alarm_Id>? and "
             "Alarm_Id<?)) and Source like ?" +
             order,
         {alarmId(Alarm_TempBad),
          alarmId(Alarm_InputBad),
          alarmId(Alarm_OutputBad),
          alarmId(Alarm_OutputOverload),
          alarmId(Alarm_BypassBad),
          alarmId(Alarm_OutputOffAsRequested),
          alarmId(Alarm_UpsOffAsRequested),
          alarmId(Alarm_ChargerFailed),
          alarmId(Alarm_UpsOutputOff),
          alarmId(Alarm_UpsSystemOff),
          alarmId(Alarm_FanFailure),
          alarmId(Alarm_FuseFailure),
          alarmId(Alarm_GeneralFault),
          alarmId(Alarm_DiagnosticTestFailed),
          alarmId(Alarm_CommunicationsLost),
          alarmId(Alarm_AwaitingPower),
          alarmId(Alarm_ShutdownPending),
          alarmId(Alarm_ShutdownImminent),
          alarmId(Alarm_BatteryFloatCharge),
          alarmId(Alarm_BatteryDisconnected),
          device}},
        // web actions
        {base + " and Source like ?" + order, {"Web%"}},
        // remote actions
        {base + " and (Source==? or Source like ? or Source like ? or Source==?)" + order,
         {kSourceSnmp, "Tcp%", "Sms%", kSourceSchedule}},
        // power states
        {base +
             " and (Alarm_Id==? or Alarm_Id==? or Alarm_Id==? or Alarm_Id==? or "
             "Alarm_Id==?) and Source like ?" +
             order,
         {alarmId(Alarm_OnBattery), alarmId(Alarm_OnBypass), alarmId(Alarm_RectifierRun),
          alarmId(Alarm_InverterRun), alarmId(Alarm_OnInput), device}},
        // battery
        {base +
             " and ((Alarm_Id>=? and Alarm_Id<=?) or (Alarm_Id==? or Alarm_Id==? or "
             "Alarm_Id==? or Alarm_Id==? or Alarm_Id==? or Alarm_Id==?))  and Source like ?" +
             order,
         {alarmId(Alarm_BatteryCharge), alarmId(Alarm_BatteryFloatCharge),
          alarmId(Alarm_BatteryBad), alarmId(Alarm_LowBattery), alarmId(Alarm_DepletedBattery),
          alarmId(Alarm_TestInProgress), alarmId(Alarm_BatteryDisconnected),
          alarmId(Alarm_BatteryIdle), device}},
    };
    return filters[type];
}

// Commands some UPS families show under another command's text, in the web's
// and in the remote control texts alike.
long long remapEvent(int upsType, long long n)
{
    struct Shown {
        int command, as;
    };
    static const std::vector<Shown> type4 = {{4, 20}, {7, 21}};
    static const std::vector<Shown> type5 = {{9, 19}};
    static const std::vector<Shown> type2 = {{4, 9}, {6, 22}, {7, 21}};
    const std::vector<Shown>* map = upsType == 4   ? &type4
                                    : upsType == 5 ? &type5
                                    : upsType == 2 ? &type2
                                                   : nullptr;
    if (!map) return n;
    for (const int base : {kWebActionEvents, kRemoteActionEvents})
        for (const auto& [command, as] : *map)
            if (n == base + command) return base + as;
    return n;
}

// A page of notification rows (sms_record or smtp_record) and its CSV.
int notificationLog(const char* func, DbFile file, const char* table, const char* csv, bool sms,
                    const char* day, int curpage, char* data)
{
    if (!dayText(func, day)) return 0;
    std::lock_guard lock(dbMutex());
    Db db;
    if (!openForReading(db, file)) return -1;
    const int lang = languageSetting();
    const auto& texts = languageTexts(lang);
    std::string out = std::string(sms ? texts.smsHeader : texts.emailHeader) + "\n";
    Pager pager{curpage, data, STORE_LOG_ROW};
    const std::string sql = std::string("select name,Alarm_Id,Time from ") + table +
                            " where Time>=? and Time <= ? order by Time desc";
    selectRows(db.get(), func, sql, dayRange(day), [&](Stmt& st) {
        const std::string name = st.column(0), id = st.column(1), time = st.column(2);
        if (char* row = pager.next()) {
            copySlot(row, {0, 50}, name);
            copySlot(row, {50, 25}, id);
            copySlot(row, {75, 25}, time);
        }
        out += name + "," + eventText(lang, std::atoll(id.c_str())) + "," + time + "\n";
    });
    writeCsv(func, csv, lang, out);
    return pager.count;
}

// Deletes the rows between two time texts from each (file, statement), under the
// database lock. Returns the rows deleted, or -1 on a database error.
int clearRange(const std::vector<std::pair<DbFile, const char*>>& targets, const char* from,
               const char* to)
{
    if (!from || !to) return -1;
    std::lock_guard lock(dbMutex());
    int deleted = 0;
    for (const auto& [file, sql] : targets) {
        Db db;
        if (!db.open(dbPath(file), false)) return -1;
        std::string err;
        if (!execBound(db.get(), sql, {from, to}, &err)) {
            logLine("[%s] %s: %s", __func__, sql, err.c_str());
            return -1;
        }
        deleted += sqlite3_changes(db.get());
    }
    return deleted;
}

} // namespace

int languageSetting()
{
    const int lang = card::rt().integer("Module_Language", 0);
    return (lang >= 0 && lang < kLanguages) ? lang : 0;
}

} // namespace store

using namespace store;

extern "C" {

STORE_EXPORT int GetUpsDataBase(const char* time_str, int curpage, int type, char* data)
{
    static const char* const func = "Get_Ups_Data";
    try {
        if (type < 0 || type > 4) {
            logLine("[%s] unknown data type %d", func, type);
            return 0;
        }
        if (!dayText(func, time_str)) return 0;
        std::lock_guard lock(dbMutex());
        Db db;
        if (!openForReading(db, DbFile::UpsData)) return -1;
        const auto range = dayRange(time_str);
        const int lang = languageSetting();
        const auto& texts = languageTexts(lang);
        Pager pager{curpage, data, STORE_UPS_ROW};
        std::string out;
        if (type == 4) {
            out = std::string(texts.sensorHeader) + "\n";
            selectRows(db.get(), func, kSensorQuery, range, [&](Stmt& st) {
                char* row = pager.next();
                for (int i = 0; i < 3; ++i) {
                    const std::string v = st.column(i);
                    if (row) copySlot(row, {25 * i, 25}, v);
                    out += v;
                    out += ',';
                }
                out += '\n';
            });
        } else {
            // One pass over the day serves both the page (Time and the five columns
            // of its group, as the group's own query would give them) and the export.
            out = std::string(texts.upsHeader) + "\n";
            const int upsType = card::upsType(card::rt());
            const int batteryEnable = card::rt().integer("battery_enable_type", 0);
            const int first = 1 + 5 * type;
            selectRows(db.get(), func, kUpsExportQuery, range, [&](Stmt& st) {
                char* row = pager.next();
                for (int i = 0; i < 21; ++i) {
                    const std::string v = st.column(i);
                    if (row && (i == 0 || (i >= first && i < first + 5)))
                        copySlot(row, {i == 0 ? 0 : 25 * (i - first + 1), 25}, v);
                    out += dashedColumn(i, upsType, batteryEnable) ? std::string("--") : v;
                    out += ',';
                }
                out += '\n';
            });
        }
        writeCsv(func, "data/upsdata.csv", lang, out);
        return pager.count;
    } catch (...) {
        return 0;
    }
}

STORE_EXPORT int GetBatTestDataBase(const char* time_str, int curpage, char* data)
{
    static const char* const func = "Get_BatTest_Data";
    try {
        if (!dayText(func, time_str)) return 0;
        std::lock_guard lock(dbMutex());
        Db db;
        if (!openForReading(db, DbFile::UpsData)) return -1;
        const int lang = languageSetting();
        std::string out = std::string(languageTexts(lang).batTestHeader) + "\n";
        Pager pager{curpage, data, STORE_BATTEST_ROW};
        selectRows(db.get(), func,
                   "select Time,RunTime from test_data where Time>=? and Time <= ? order by "
                   "Time desc",
                   dayRange(time_str), [&](Stmt& st) {
                       const std::string start = st.column(0), run = st.column(1);
                       if (char* row = pager.next()) {
                           copySlot(row, {0, 25}, start);
                           copySlot(row, {25, 25}, run);
                       }
                       out += start + "," + run + ",\n";
                   });
        writeCsv(func, "data/battest.csv", lang, out);
        return pager.count;
    } catch (...) {
        return 0;
    }
}

STORE_EXPORT int GetUpsChartDataBase(const char* time_start, const char* time_end, int num,
                                     const int* data_type, char* data)
{
    static const char* const func = "Get_Ups_Chart";
    try {
        if (!timeRangeText(func, time_start) || !timeRangeText(func, time_end)) return 0;
        num = std::clamp(num, 0, 4);
        if (!data_type) num = 0;
        std::string sql = "select Time";
        std::vector<int> parts;
        for (int i = 0; i < num; ++i) {
            const int code = data_type[i];
            const bool known = code >= 1 && code <= 25;
            sql += i == 0 ? ", " : ",";
            sql += known ? kSeries[code].column : "'0'";
            parts.push_back(known ? kSeries[code].part : 0);
        }
        sql += " from ups_data where Time>=? and Time <= ?";

        std::lock_guard lock(dbMutex());
        Db db;
        if (!openForReading(db, DbFile::UpsData)) return -1;
        int rows = 0;
        selectRows(db.get(), func, sql, {time_start, time_end}, [&](Stmt& st) {
            if (rows >= STORE_CHART_ROWS) return;
            if (data) {
                char* row = data + static_cast<ptrdiff_t>(rows) * STORE_CHART_ROW;
                copySlot(row, {0, 25}, st.column(0));
                for (int i = 0; i < 4; ++i)
                    copySlot(row, {25 * (i + 1), 25},
                             i < num ? valuePart(st.column(i + 1), parts[static_cast<size_t>(i)])
                                     : "0");
            }
            ++rows;
        });
        return rows;
    } catch (...) {
        return 0;
    }
}

STORE_EXPORT int GetSmsDataBase(const char* time_str, int curpage, char* data)
{
    try {
        return notificationLog("Get_Sms_Data", DbFile::Sms, "sms_record", "data/sms.csv", true,
                               time_str, curpage, data);
    } catch (...) {
        return 0;
    }
}

STORE_EXPORT int GetEmailDataBase(const char* time_str, int curpage, char* data)
{
    try {
        return notificationLog("Get_Email_Data", DbFile::Smtp, "smtp_record", "data/email.csv",
                               false, time_str, curpage, data);
    } catch (...) {
        return 0;
    }
}

STORE_EXPORT int GetHistoryAlarmDataBase(int type, const char* time_str, int curpage, char* data)
{
    static const char* const func = "Get_History_Alarm_Data";
    try {
        if (type < 0 || type > 5) {
            logLine("[%s] unknown filter %d", func, type);
            return 0;
        }
        if (!dayText(func, time_str)) return 0;
        const HistoryFilter& filter = historyFilter(type);
        std::vector<std::string> params = dayRange(time_str);
        params.insert(params.end(), filter.values.begin(), filter.values.end());

        std::lock_guard lock(dbMutex());
        Db db;
        if (!openForReading(db, DbFile::Alarm)) return -1;
        const int lang = languageSetting();
        const int upsType = card::upsType(card::rt());
        std::string out = std::string(languageTexts(lang).historyHeader) + "\n";
        Pager pager{curpage, data, STORE_HISTORY_ROW};
        selectRows(db.get(), func, filter.sql, params, [&](Stmt& st) {
            const std::string start = st.column(0), id = st.column(1), end = st.column(2),
                              source = st.column(3);
            if (char* row = pager.next()) {
                copySlot(row, {0, 50}, start);
                copySlot(row, {50, 50}, id);
                copySlot(row, {100, 50}, end);
                copySlot(row, {150, 50}, source);
            }
            const long long n = remapEvent(upsType, std::atoll(id.c_str()));
            out += std::string(StoreEventStartText(lang, static_cast<int>(n))) + "," + start + "," +
                   end + "," + sourceText(lang, source) + ",\n";
        });
        writeCsv(func, "data/hisAlarm.csv", lang, out);
        return pager.count;
    } catch (...) {
        return 0;
    }
}

STORE_EXPORT int StoreClearLog(int log_type, const char* time_from, const char* time_to)
{
    try {
        if (log_type == 1)
            return clearRange(
                {{DbFile::Smtp, "delete from smtp_record where Time>=? and Time <= ?"}}, time_from,
                time_to);
        if (log_type == 2)
            return clearRange(
                {{DbFile::UpsData, "delete from ups_data where Time>=? and Time <= ?"},
                 {DbFile::UpsData, "delete from ths_data where Time>=? and Time <= ?"}},
                time_from, time_to);
        if (log_type == 3)
            return clearRange({{DbFile::Alarm, "delete from history_alarm where "
                                               "Starting_Time>=? and Starting_Time <= ?"}},
                              time_from, time_to);
        return (time_from && time_to) ? 0 : -1;
    } catch (...) {
        return -1;
    }
}

STORE_EXPORT int StoreClearSmsLog(const char* time_from, const char* time_to)
{
    try {
        return clearRange({{DbFile::Sms, "delete from sms_record where Time>=? and Time <= ?"}},
                          time_from, time_to);
    } catch (...) {
        return -1;
    }
}

} // extern "C"
