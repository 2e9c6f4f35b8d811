/*
 * pages_logs.cpp - the log lists (history alarms, UPS data, battery tests,
 * e-mail and SMS notifications), the chart series, the CSV downloads and the
 * clearing of a month of a log.
 *
 * The record store's readers do the queries (with bound values) and fill one
 * page of fixed-width rows; a handler checks the selection, calls its reader
 * and turns each row into an object of the list. Selections that name no real
 * day, data type or page answer an empty list instead of reaching the store.
 */
#include "pages.hpp"

#include "card_rules.hpp"
#include "platform.hpp"
#include "store_readers.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace web
{

namespace pages
{

int fieldInt(const std::optional<std::string>& value)
{
    return value ? std::atoi(value->c_str()) : 0;
}

std::string slotText(const char* row, int offset, int size)
{
    const char* p = row + offset;
    return std::string(p, strnlen(p, static_cast<size_t>(size)));
}

int pageNumber(int requested)
{
    return requested < 1 ? 1 : requested;
}

int totalPages(int total)
{
    return total <= 0 ? 0 : (total + kPageRows - 1) / kPageRows;
}

int rowsOnPage(int total, int page)
{
    if (total <= 0 || page < 1) return 0;
    const long long before = static_cast<long long>(page - 1) * kPageRows;
    return static_cast<int>(std::clamp<long long>(total - before, 0, kPageRows));
}

namespace
{

bool digitsAt(std::string_view s, size_t pos, size_t n, int& value)
{
    value = 0;
    for (size_t i = pos; i < pos + n; ++i) {
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
    }
    return true;
}

bool realDay(int y, int m, int d)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || m < 1 || m > 12 || d < 1) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= kDays[m - 1] + (m == 2 && leap ? 1 : 0);
}

} // namespace

bool isDayText(std::string_view t)
{
    int y, m, d;
    return t.size() == 10 && t[4] == '-' && t[7] == '-' && digitsAt(t, 0, 4, y) &&
           digitsAt(t, 5, 2, m) && digitsAt(t, 8, 2, d) && realDay(y, m, d);
}

bool isMinuteText(std::string_view t)
{
    int h, mi;
    return t.size() == 16 && isDayText(t.substr(0, 10)) && t[10] == ' ' && t[13] == ':' &&
           digitsAt(t, 11, 2, h) && digitsAt(t, 14, 2, mi) && h < 24 && mi < 60;
}

std::optional<std::pair<std::string, std::string>> monthRange(long long yyyymm)
{
    const long long year = yyyymm / 100, month = yyyymm - 100 * year;
    if (year < 1970 || year > 9999 || month < 1 || month > 12) return std::nullopt;
    char from[32], to[32];
    std::snprintf(from, sizeof from, "%04lld-%02lld-01 00:00:00", year, month);
    std::snprintf(to, sizeof to, "%04lld-%02lld-31 23:59:59", year, month);
    return std::make_pair(std::string(from), std::string(to));
}

int historyClass(long long n)
{
    if (n >= 100 && n <= 149) return 2;
    if (n >= 150 && n <= 199) return 3;
    switch (n) {
    case 1:
    case 8:
    case 24:
    case 25:
    case 64:
        return 4;
    case 0:
    case 2:
    case 3:
    case 23:
    case 26:
    case 27:
    case 28:
    case 62:
    case 63:
        return 5;
    default:
        return n < 1 ? 5 : 1;
    }
}

long long historyEvent(int upsType, long long n)
{
    struct Remap {
        int upsType;
        long long from, to;
    };
    static constexpr Remap kRemaps[] = {
        {4, 104, 120}, {4, 107, 121}, {4, 154, 170}, {4, 157, 171}, {5, 109, 119}, {5, 159, 169},
        {2, 104, 109}, {2, 154, 159}, {2, 106, 122}, {2, 156, 172}, {2, 107, 121}, {2, 157, 171},
    };
    for (const auto& r : kRemaps)
        if (r.upsType == upsType && r.from == n) return r.to;
    return n;
}

std::string historySource(int lagval, const std::string& source)
{
    // English word, simplified (lagval 1) and traditional (lagval 2) Chinese.
    static const char* const kWords[][3] = {
        {"SCHEDULE", "排程", "排程"},
        {"Dev:UPS", "设备:UPS", "設備:UPS"},
        {"Dev:SMS MODULE", "设备:短信模块", "設備:短信模塊"},
        {"Dev:THS MODULE", "设备:温湿度模块", "設備:溫濕度模塊"},
    };
    if (lagval != 1 && lagval != 2) return source;
    for (const auto& w : kWords)
        if (source == w[0]) return w[lagval];
    return source;
}

const std::vector<const char*>& upsDataMembers(int dataType)
{
    static const std::vector<const char*> kMembers[] = {
        {"input_V", "input_A", "input_Hz", "input_act_pow", "internal_temp"},
        {"output_V", "output_A", "output_Hz", "output_act_pow", "load"},
        {"bypass_V", "bypass_A", "bypass_Hz", "bypass_act_pow", "bypass_app_pow"},
        {"battery_V", "battery_A", "batt_temp", "MinRemain", "ChargeRemain"},
        {"temperature", "humidity"},
    };
    static const std::vector<const char*> kNone;
    return dataType >= 0 && dataType <= 4 ? kMembers[dataType] : kNone;
}

bool upsDataDashed(int dataType, int member, int upsType, int batteryEnable)
{
    using Types = std::initializer_list<int>;
    auto in = [upsType](Types types) {
        return std::find(types.begin(), types.end(), upsType) != types.end();
    };
    switch (dataType * 10 + member) {
    case 1:
        return in({0, 1, 3, 8, 9, 10}); // input_A
    case 3:
        return in({0, 1, 2, 3, 4, 5, 7, 8, 9, 10}); // input_act_pow
    case 4:
        return !in({0, 1, 2, 8, 9, 10}); // internal_temp
    case 11:
    case 13:
        return in({0, 1, 8}); // output_A, output_act_pow
    case 21:
        return in({0, 1, 2, 3, 8, 9, 10}); // bypass_A
    case 23:
    case 24:
        return in({0, 1, 2, 3, 4, 5, 8, 9, 10}); // bypass powers
    case 31:
        return in({0, 8, 9, 10}); // battery_A
    case 32:
        return in({0, 1, 8}); // batt_temp
    case 33:
        return batteryEnable == 0 && in({0, 2, 8}); // MinRemain
    case 34:
        return in({2, 8}); // ChargeRemain
    default:
        return false;
    }
}

} // namespace pages

namespace
{

using pages::Json;

constexpr size_t kDateField = 50;
constexpr size_t kBatTestDateField = 30;

void addCommonMembers(cJSON* row, const std::string& sysName)
{
    cJSON_AddStringToObject(row, "sys_name", sysName.c_str());
    cJSON_AddStringToObject(row, "device", "0");
    cJSON_AddStringToObject(row, "Subdevice", "0");
    cJSON_AddStringToObject(row, "deviceNo", "1");
}

// A POST to a log URI only records what it was given.
void logPostedFields(const Request& req)
{
    std::string_view form = req.body;
    while (!form.empty()) {
        const size_t amp = form.find('&');
        const std::string_view pair = form.substr(0, amp);
        const size_t eq = pair.find('=');
        const auto name = urlDecode(pair.substr(0, eq));
        const auto value = urlDecode(eq == std::string_view::npos ? "" : pair.substr(eq + 1));
        if (name && value && !name->empty())
            card::rt().log(headerSafe(*name) + " : " + headerSafe(*value));
        if (amp == std::string_view::npos) break;
        form.remove_prefix(amp + 1);
    }
}

// One log list: the reader fills a page of `rowSize`-byte rows and returns the
// total; `fill` adds a row's own members after the common four.
struct LogList {
    int rowSize;
    std::function<int(const char* day, int page, char* rows)> read;
    std::function<void(cJSON* row, const char* data)> fill;
};

void sendLogList(const Request& req, Reply& reply, const LogList& log, size_t dateField)
{
    const std::string day = req.queryField("curr_dat_data", dateField).value_or("");
    const int page = pages::pageNumber(pages::fieldInt(req.queryField("curpage")));
    int total = 0;
    std::vector<char> rows(static_cast<size_t>(pages::kPageRows * log.rowSize), 0);
    if (pages::isDayText(day)) total = std::max(log.read(day.c_str(), page, rows.data()), 0);

    Json doc = pages::newObject();
    cJSON_AddStringToObject(doc.get(), "totalpage",
                            std::to_string(pages::totalPages(total)).c_str());
    cJSON* list = cJSON_AddArrayToObject(doc.get(), "data");
    const std::string sysName = card::rt().text("System_Name");
    const int count = pages::rowsOnPage(total, page);
    for (int i = 0; i < count; ++i) {
        cJSON* row = cJSON_CreateObject();
        addCommonMembers(row, sysName);
        log.fill(row, rows.data() + static_cast<ptrdiff_t>(i) * log.rowSize);
        cJSON_AddItemToArray(list, row);
    }
    sendResult(reply, doc.get());
}

void addSlot(cJSON* row, const char* member, const char* data, int offset, int size)
{
    cJSON_AddStringToObject(row, member, pages::slotText(data, offset, size).c_str());
}

// The SMS and e-mail logs share one row layout.
LogList notificationList(const char* nameMember, int (*reader)(const char*, int, char*))
{
    return {STORE_LOG_ROW, reader, [nameMember](cJSON* row, const char* d) {
                addSlot(row, nameMember, d, 0, 50);
                addSlot(row, "event", d, 50, 25);
                addSlot(row, "time", d, 75, 25);
            }};
}

// CSV files the storage task leaves for download, by "log_type".
struct CsvFile {
    const char* path;
    const char* name;
};
constexpr CsvFile kCsvFiles[] = {
    {"data/sms.csv", "sms.csv"},         {"data/email.csv", "email.csv"},
    {"data/upsdata.csv", "upsdata.csv"}, {"data/hisAlarm.csv", "hisAlarm.csv"},
    {"data/battest.csv", "battest.csv"},
};

} // namespace

// Serves an archive or export under data/ as a download; false when absent.
bool serveDownload(Reply& reply, const std::string& appRelative, const char* name)
{
    if (!serveFile(reply, appRelative, "application/csv")) return false;
    reply.header("Content-Disposition", std::string("attachment; filename=") + name + ";");
    reply.header("Set-Cookie", "downFlag=1;");
    return true;
}

void ups_historyalarm(const Request& req, Reply& reply)
{
    if (req.isPost()) {
        logPostedFields(req);
        resultOk(reply, 1);
        return;
    }
    const int type = pages::fieldInt(req.queryField("event_type"));
    const int lagval = pages::fieldInt(req.queryField("lagval"));
    const int upsType = card::upsType(card::rt());
    LogList log{
        STORE_HISTORY_ROW,
        [type](const char* day, int page, char* rows) {
            return type < 0 || type > 5 ? 0 : GetHistoryAlarmDataBase(type, day, page, rows);
        },
        [=](cJSON* row, const char* d) {
            const long long n = std::atoll(pages::slotText(d, 50, 50).c_str());
            cJSON_AddNumberToObject(row, "event_type", pages::historyClass(n));
            cJSON_AddStringToObject(row, "event",
                                    std::to_string(pages::historyEvent(upsType, n)).c_str());
            addSlot(row, "start_time", d, 0, 50);
            addSlot(row, "end_time", d, 100, 50);
            cJSON_AddStringToObject(
                row, "source", pages::historySource(lagval, pages::slotText(d, 150, 50)).c_str());
        }};
    sendLogList(req, reply, log, kDateField);
}

void ups_upsdatalog(const Request& req, Reply& reply)
{
    if (req.isPost()) {
        logPostedFields(req);
        resultOk(reply, 1);
        return;
    }
    const int type = pages::fieldInt(req.queryField("dataType"));
    const int upsType = card::upsType(card::rt());
    const int batteryEnable = card::rt().integer("battery_enable_type", 0);
    const auto& members = pages::upsDataMembers(type);
    LogList log{STORE_UPS_ROW,
                [&members, type](const char* day, int page, char* rows) {
                    return members.empty() ? 0 : GetUpsDataBase(day, page, type, rows);
                },
                [&](cJSON* row, const char* d) {
                    addSlot(row, "time", d, 0, 25);
                    for (size_t i = 0; i < members.size(); ++i) {
                        const int m = static_cast<int>(i);
                        const bool dash = pages::upsDataDashed(type, m, upsType, batteryEnable);
                        cJSON_AddStringToObject(
                            row, members[i],
                            dash ? "--" : pages::slotText(d, 25 * (m + 1), 25).c_str());
                    }
                }};
    sendLogList(req, reply, log, kDateField);
}

void ups_upsbattestlog(const Request& req, Reply& reply)
{
    if (req.isPost()) return;
    LogList log{STORE_BATTEST_ROW, GetBatTestDataBase, [](cJSON* row, const char* d) {
                    addSlot(row, "start_time", d, 0, 25);
                    addSlot(row, "total_time", d, 25, 25);
                }};
    sendLogList(req, reply, log, kBatTestDateField);
}

void ups_smslog(const Request& req, Reply& reply)
{
    if (req.isPost()) {
        logPostedFields(req);
        resultOk(reply, 1);
        return;
    }
    sendLogList(req, reply, notificationList("phonenum", GetSmsDataBase), kDateField);
}

void ups_emaillog(const Request& req, Reply& reply)
{
    if (req.isPost()) {
        logPostedFields(req);
        resultOk(reply, 1);
        return;
    }
    sendLogList(req, reply, notificationList("email_account", GetEmailDataBase), kDateField);
}

void ups_upsdatachart(const Request& req, Reply& reply)
{
    if (req.isPost()) {
        logPostedFields(req);
        resultOk(reply, 1);
        return;
    }
    const std::string start = req.queryField("curr_dat_data_start").value_or("");
    const std::string end = req.queryField("curr_dat_data_end").value_or("");
    const std::string from = start + ":00", to = end + ":59";
    card::rt().log("select_date1 is " + headerSafe(from));
    card::rt().log("select_date2 is " + headerSafe(to));
    const int num = std::clamp(pages::fieldInt(req.queryField("data_num")), 0, 4);
    int codes[4];
    for (int i = 0; i < 4; ++i)
        codes[i] = pages::fieldInt(req.queryField("data_type" + std::to_string(i)));

    std::vector<char> rows(static_cast<size_t>(STORE_CHART_ROWS) * STORE_CHART_ROW, 0);
    int count = 0;
    if (pages::isMinuteText(start) && pages::isMinuteText(end))
        count = std::clamp(GetUpsChartDataBase(from.c_str(), to.c_str(), num, codes, rows.data()),
                           0, int(STORE_CHART_ROWS));

    Json doc = pages::newObject();
    cJSON* list = cJSON_AddArrayToObject(doc.get(), "data");
    static const char* const kValues[] = {"data0", "data1", "data2", "data3"};
    for (int i = 0; i < count; ++i) {
        const char* d = rows.data() + static_cast<ptrdiff_t>(i) * STORE_CHART_ROW;
        cJSON* row = cJSON_CreateObject();
        addSlot(row, "time", d, 0, 25);
        for (int k = 0; k < 4; ++k)
            addSlot(row, kValues[k], d, 25 * (k + 1), 25);
        cJSON_AddItemToArray(list, row);
    }
    cJSON_AddNumberToObject(doc.get(), "totalnum", count);
    sendResult(reply, doc.get());
}

void ups_savelog(const Request& req, Reply& reply)
{
    // The pages name the file in the query string, whatever the method.
    auto type = req.queryField("log_type");
    if (!type) type = req.bodyField("log_type");
    const int t = pages::fieldInt(type);
    if (type && t >= 0 && t < int(std::size(kCsvFiles)) &&
        serveDownload(reply, kCsvFiles[t].path, kCsvFiles[t].name))
        return;
    resultOk(reply, 1);
    reply.header("Content-Type", "text/js");
    reply.header("Set-Cookie", "downFlag=2");
}

void ups_clearlog(const Request& req, Reply& reply)
{
    if (!req.isPost()) return;
    const int type = pages::fieldInt(req.bodyField("log_type"));
    // YYYYMM as digits only: "202201' or ..." is not January.
    const std::string month = req.bodyField("cur_date").value_or("");
    const bool digits = !month.empty() && month.size() <= 6 &&
                        month.find_first_not_of("0123456789") == std::string::npos;
    const auto range = digits ? pages::monthRange(std::atoll(month.c_str())) : std::nullopt;
    if (!range) {
        resultOk(reply, 0, "not a month");
        return;
    }
    card::Runtime& rt = card::rt();
    const char* from = range->first.c_str();
    const char* to = range->second.c_str();
    int rc = -1;
    switch (type) {
    case 0:
        rt.log("clear sms log");
        rc = StoreClearSmsLog(from, to);
        break;
    case 1:
        rc = StoreClearLog(1, from, to);
        rt.log("clear email log");
        break;
    case 2:
        rt.log("clear ups data log");
        rc = StoreClearLog(2, from, to);
        break;
    case 3:
        rt.log("sq is delete from history_alarm where Starting_Time>='" + range->first +
               "' and Starting_Time <= '" + range->second + "'");
        rc = StoreClearLog(3, from, to);
        rt.log(rc >= 0 ? "rc==SQLITE_OK" : "rc!=SQLITE_OK database error");
        rt.log("clear history alarm log");
        break;
    default:
        resultOk(reply, 0, "unknown log");
        return;
    }
    if (rc < 0)
        resultOk(reply, 0, "database error");
    else
        resultOk(reply, 1);
}

} // namespace web
