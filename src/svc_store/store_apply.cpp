/*
 * store_apply.cpp - turns queued requests into rows.
 *
 * The worker applies a batch in arrival order. Requests are grouped into chunks;
 * for each chunk the database lock is taken once, each file the chunk touches is
 * opened once and written in one transaction, so a burst of samples costs one
 * journal sync per file instead of one per row, and a crash leaves either all or
 * none of a chunk's rows of a file. Before each insert the table's retention
 * rule drops its oldest rows. A file that vanished while the card runs (someone
 * deleted it) gets its tables back before the next insert.
 *
 * Request codes: 100 UPS sample, 101 sensor sample, 102 battery test, 200-299
 * current alarm, 300-399 end of a current alarm, 400-499 history episode,
 * 500-1199 e-mail and SMS notifications, 1200-1449 control actions by origin,
 * 1500 and above operation log. Everything else is dropped.
 */
#include "store.hpp"

#include "fieldcore.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sys/stat.h>

namespace store
{

namespace
{

constexpr int kUps = 60;
constexpr int kSensors = 61;
constexpr size_t kChunk = 256; // requests written under one hold of the database lock

// Retention: before an insert, a table whose row count reaches the limit loses its
// oldest rows. `inclusive` means "count >= limit", otherwise "count > limit".
struct Table {
    DbFile file;
    const char* name;
    const char* insertSql;
    int limit; // 0: no limit
    bool inclusive;
    int drop;
    const char* countLabel;
};

const Table kUpsData{DbFile::UpsData,
                     "ups_data",
                     "insert into ups_data "
                     "values(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                     5000,
                     true,
                     50,
                     "select count(*) from ups_data.db"};
const Table kThsData{DbFile::UpsData,
                     "ths_data",
                     "insert into ths_data values(?,?,?)",
                     5000,
                     true,
                     50,
                     "select count(*) from ups_data.db"};
const Table kTestData{DbFile::UpsData,
                      "test_data",
                      "insert into test_data values(?,?)",
                      1000,
                      true,
                      50,
                      "select count(*) from ups_data.db"};
const Table kCurrentAlarm{
    DbFile::Alarm, "current_alarm", "insert into current_alarm values(?,?)", 0, false, 0, nullptr};
const Table kHistoryAlarm{DbFile::Alarm,
                          "history_alarm",
                          "insert into history_alarm values(?,?,?,?)",
                          1000,
                          false,
                          10,
                          "select count(*) from ups_data.db"};
const Table kSmtpRecord{DbFile::Smtp,
                        "smtp_record",
                        "insert into smtp_record values(?,?,?)",
                        500,
                        false,
                        20,
                        "select count(*) from ups_data.db"};
const Table kSmsRecord{DbFile::Sms, "sms_record", "insert into sms_record values(?,?,?)", 500,
                       false,       20,           "select count(*) from ups_data.db"};
const Table kOperationRecord{DbFile::Operation,
                             "operation_record",
                             "insert into operation_record values(?,?,?,?)",
                             1000,
                             false,
                             10,
                             "select count(*) from operation_record.db"};

std::string fmt1(float v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(v));
    return buf;
}

float ups(int sig)
{
    return GetDevValue(kUps, sig);
}

// One value, or "%.1f/%.1f/%.1f" of three phase signals.
std::string group(bool threePhase, int a, int b, int c)
{
    if (!threePhase) return fmt1(ups(a));
    return fmt1(ups(a)) + "/" + fmt1(ups(b)) + "/" + fmt1(ups(c));
}

// The files a chunk writes, each opened once and written in one transaction.
class Writer
{
  public:
    Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer()
    {
        for (auto& o : open_) {
            if (o && o->inTx) {
                char* msg = nullptr;
                if (sqlite3_exec(o->db.get(), "commit", nullptr, nullptr, &msg) != SQLITE_OK) {
                    logError("[%s] commit failed: %s\n", "store", msg ? msg : "?");
                    sqlite3_exec(o->db.get(), "rollback", nullptr, nullptr, nullptr);
                }
                sqlite3_free(msg);
            }
        }
    }

    // The open file, or null when it cannot be opened (logged).
    sqlite3* db(DbFile f)
    {
        auto& slot = open_[static_cast<size_t>(f)];
        if (slot) return slot->db.get();
        const std::string path = dbPath(f);
        struct stat st {
        };
        const bool missing = stat(path.c_str(), &st) != 0 || st.st_size == 0;
        Db db;
        if (!db.open(path, false)) return nullptr;
        if (missing) {
            AppLogOut("There is no %s", path.c_str());
            createTables(db.get(), f);
        }
        bool inTx =
            sqlite3_exec(db.get(), "begin immediate", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!inTx) logError("[%s] %s: %s\n", "store", path.c_str(), sqlite3_errmsg(db.get()));
        slot.emplace(Open{std::move(db), inTx});
        return slot->db.get();
    }

    void recreate(DbFile f)
    {
        if (sqlite3* h = db(f)) createTables(h, f);
    }

  private:
    struct Open {
        Db db;
        bool inTx;
    };
    std::array<std::optional<Open>, kAllFiles.size()> open_;
};

void applyRetention(sqlite3* db, const Table& t)
{
    if (t.limit <= 0) return;
    Stmt count(db, std::string("select count(*) from ") + t.name);
    if (!count.ok() || count.step() != SQLITE_ROW) {
        AppLogOut("[%s]    %s,%s", "retention", t.countLabel, sqlite3_errmsg(db));
        return;
    }
    const long long n = std::atoll(count.column(0).c_str());
    if (t.inclusive ? n < t.limit : n <= t.limit) return;
    Stmt del(db, std::string("delete from ") + t.name + " where rowid in (select rowid from " +
                     t.name + " order by rowid limit 0,?)");
    del.bind(static_cast<long long>(t.drop));
    if (!del.ok() || del.step() != SQLITE_DONE)
        logError("SQL delet_hist_alarm_base error: %s\n", sqlite3_errmsg(db));
}

// Retention, then the insert. A table that is gone (the file was replaced under
// us) is created again and the insert tried once more.
bool insertRow(Writer& w, const Table& t, const std::vector<std::string>& values,
               const char* errFormat)
{
    sqlite3* db = w.db(t.file);
    if (!db) return false;
    applyRetention(db, t);
    std::string err;
    if (execBound(db, t.insertSql, values, &err)) return true;
    if (err.find("no such table") != std::string::npos) {
        AppLogOut("[%s] %s lost its tables, creating them again", __func__, t.name);
        w.recreate(t.file);
        if (execBound(db, t.insertSql, values, &err)) return true;
    }
    logError(errFormat, err.c_str());
    return false;
}

void controlAction(Writer& w, int id, const std::string& source, long long now)
{
    insertRow(w, kHistoryAlarm, {timeText(now), std::to_string(id), "--", source},
              "SQL Insert_Ups_Control error: %s\n");
}

void notification(Writer& w, const Table& t, const std::string& name, int id, long long now)
{
    insertRow(w, t, {name, std::to_string(id), timeText(now)},
              "SQL sq_creat_alarm_table error: %s\n");
}

void applyOne(Writer& w, const Request& r, long long now)
{
    const int c = r.code;
    if (c == 100) {
        const std::string t = timeText(now);
        const auto fields = upsSampleFields();
        std::vector<std::string> values{t};
        values.insert(values.end(), fields.begin(), fields.end());
        insertRow(w, kUpsData, values, "SQL sq_creat_alarm_table error: %s\n");
        appendEmailReport(t, fields, now);
    } else if (c == 101) {
        std::string tem, hum;
        if (sensorSample(tem, hum))
            insertRow(w, kThsData, {timeText(now), tem, hum},
                      "SQL sq_creat_alarm_table error: %s\n");
    } else if (c == 102) {
        insertRow(w, kTestData, {timeText(r.value), durationText(r.arrival - r.value)},
                  "SQL sq_creat_alarm_table error: %s\n");
    } else if (c >= 200 && c <= 299) {
        insertRow(w, kCurrentAlarm, {timeText(now), std::to_string(c - 200)},
                  "SQL add_curr_alarm_base error: %s\n");
    } else if (c >= 300 && c <= 399) {
        if (sqlite3* db = w.db(DbFile::Alarm)) {
            std::string err;
            if (!execBound(db, "delete from current_alarm where Alarm_Id=?",
                           {std::to_string(c - 300)}, &err))
                logError("SQL delet_hist_alarm_base error: %s\n", err.c_str());
        }
    } else if (c >= 400 && c <= 499) {
        const int index = c - 400;
        insertRow(
            w, kHistoryAlarm,
            {timeText(r.value), std::to_string(index), timeText(r.arrival), alarmSource(index)},
            "SQL add_hist_alarm_base error: %s\n");
    } else if (c == 500) {
        notification(w, kSmtpRecord, r.text, 54, now);
    } else if (c >= 600 && c <= 699) {
        notification(w, kSmtpRecord, r.text, c - 600, now);
    } else if (c >= 700 && c <= 799) {
        notification(w, kSmtpRecord, r.text, c - 200, now);
    } else if (c == 800) {
        notification(w, kSmtpRecord, r.text, 55, now);
    } else if (c == 900) {
        notification(w, kSmsRecord, r.text, 56, now);
    } else if (c >= 1000 && c <= 1099) {
        notification(w, kSmsRecord, r.text, c - 1000, now);
    } else if (c >= 1100 && c <= 1199) {
        notification(w, kSmsRecord, r.text, c - 600, now);
    } else if (c >= 1200 && c <= 1249) {
        controlAction(w, c - 1100, r.text, now);
    } else if (c >= 1250 && c <= 1299) {
        controlAction(w, c - 1100, "SNMP", now);
    } else if (c >= 1300 && c <= 1349) {
        controlAction(w, c - 1150, r.text, now);
    } else if (c >= 1350 && c <= 1399) {
        controlAction(w, c - 1200, r.text, now);
    } else if (c >= 1400 && c <= 1449) {
        controlAction(w, c - 1250, "SCHEDULE", now);
    } else if (c >= 1500) {
        insertRow(w, kOperationRecord, {timeText(now), std::to_string(c - 1500), r.text, "0"},
                  "SQL Insert_Operation_Record error: %s\n");
    } else {
        AppLogOut("[%s] request code %d dropped", "store", c);
    }
}

std::mutex applyMutex; // one batch at a time, so rows keep their arrival order

} // namespace

std::string alarmSource(long long index)
{
    if (index >= 34 && index <= 53) return "Dev:THS MODULE";
    if (index >= 57 && index <= 60) return "Dev:SMS MODULE";
    return "Dev:UPS";
}

std::string durationText(long long seconds)
{
    if (seconds < 0) seconds = 0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return buf;
}

std::array<std::string, 20> upsSampleFields()
{
    const int upsType = GetSettingi2("ups_type", 0);
    const bool in3 = GetDevIValue(kUps, 40132) == 3;
    const bool out3 = GetDevIValue(kUps, 40163) == 3;
    const bool by3 = GetDevIValue(kUps, 40192) == 3;

    std::array<std::string, 20> f;
    f[0] = group(in3, 40133, 40134, 40135);  // Input_V
    f[1] = group(in3, 40136, 40137, 40138);  // Input_C
    f[2] = group(in3, 40139, 40140, 40141);  // Input_F
    f[3] = group(in3, 40142, 40143, 40144);  // Input_TP
    f[4] = fmt1(ups(40238));                 // Internal_Temp
    f[5] = group(out3, 40164, 40165, 40166); // Output_V
    f[6] = group(out3, 40167, 40168, 40169); // Output_C
    f[7] = group(out3, 40162, 40162, 40162); // Output_F
    f[8] = group(out3, 40170, 40171, 40172); // Output_P
    f[9] = group(out3, 40173, 40174, 40175); // Output_L
    f[10] = group(by3, 40193, 40194, 40195); // By_V
    f[11] = group(by3, 40196, 40197, 40198); // By_C
    f[12] = group(by3, 40191, 40191, 40191); // By_F
    f[13] = group(by3, 40199, 40200, 40201); // By_TP
    f[14] = group(by3, 40205, 40206, 40207); // By_AP

    float batV = ups(40105);
    if (upsType == 0 || upsType == 8)
        batV *= static_cast<float>(GetSettingi2("battery_sections_number", 16));
    f[15] = fmt1(batV);       // Bat_V
    f[16] = fmt1(ups(40106)); // Bat_C
    const float batTem = ups(40107);
    const bool noSensor = (upsType == 2 || upsType == 4 || upsType == 5) && batTem < -15.0f;
    f[17] = noSensor ? "--" : fmt1(batTem); // Bat_Tem
    const bool fromManager = GetSettingi2("battery_enable_type", 0) != 0;
    f[18] = fmt1(ups(fromManager ? 40120 : 40103)); // Bat_Time
    f[19] = fmt1(ups(fromManager ? 40121 : 40104)); // Bat_AV
    return f;
}

bool sensorSample(std::string& tem, std::string& hum)
{
    const int n = std::atoi(fieldcore::settingText("curr_module_num").c_str());
    if (n < 1 || n > 4) return false;
    tem.clear();
    hum.clear();
    for (int i = 0; i < n; ++i) {
        if (GetDevIValue(kSensors, 20034 + i) != 0) continue; // not answering
        char key[32];
        std::snprintf(key, sizeof key, "temp_conver%d", i + 1);
        int d = std::atoi(fieldcore::settingText(key).c_str());
        if (d == 0) d = 1; // an unset divisor would turn every reading into "inf"
        const std::string t = fmt1(GetDevValue(kSensors, 40208 + i) / static_cast<float>(d));
        const std::string h = fmt1(GetDevValue(kSensors, 40212 + i) / static_cast<float>(d));
        tem = tem.empty() ? t : tem + " / " + t;
        hum = hum.empty() ? h : hum + " / " + h;
    }
    return !tem.empty();
}

std::string emailReportDir()
{
    return platform::appPath("/root/app/data/EmailReport");
}

void appendEmailReport(const std::string& time, const std::array<std::string, 20>& fields,
                       long long now)
{
    namespace fs = std::filesystem;
    time_t tt = static_cast<time_t>(now);
    struct tm tm {
    };
    localtime_r(&tt, &tm);
    char name[64];
    std::snprintf(name, sizeof name, "/email_report%04d-%02d-%02d.csv", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday);
    const std::string dir = emailReportDir();
    const std::string path = dir + name;

    if (!platform::fileExists(path)) {
        // A new day: only today's report stays in the directory.
        std::error_code ec;
        fs::remove_all(dir, ec);
        fs::create_directories(dir, ec);
        const int lang = languageSetting();
        const std::string header = encodeFor(lang, languageTexts(lang).upsHeader) + "\n";
        if (!platform::writeFile(path, header)) {
            logError("[%s] cannot write %s\n", __func__, path.c_str());
            return;
        }
    }
    std::string line = time;
    for (const auto& f : fields)
        line += "," + f;
    line += "\n";
    if (!platform::writeFile(path, line, true))
        logError("[%s] cannot write %s\n", __func__, path.c_str());
}

void applyBatch(const std::vector<Request>& batch)
{
    for (size_t start = 0; start < batch.size(); start += kChunk) {
        const size_t end = std::min(batch.size(), start + kChunk);
        std::lock_guard lock(dbMutex());
        Writer w;
        for (size_t i = start; i < end; ++i) {
            try {
                applyOne(w, batch[i], nowSeconds());
            } catch (const std::exception& e) {
                logError("[%s] request %d: %s\n", __func__, batch[i].code, e.what());
            }
        }
    }
}

void applyQueueNow()
{
    std::lock_guard order(applyMutex);
    applyBatch(takeQueue());
}

} // namespace store
