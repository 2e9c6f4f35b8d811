/*
 * store_apply.cpp - turns queued requests into rows.
 *
 * The worker applies a batch in arrival order. Requests are grouped into chunks;
 * for each chunk the database lock is taken once, each file the chunk touches is
 * opened once and written in one transaction, so a burst of samples costs one
 * journal sync per file instead of one per row, and a crash leaves either all or
 * none of a chunk's rows of a file. A commit that fails (flash full, an I/O
 * error) is rolled back and its statements are written again one by one, so
 * that only the rows that really cannot be written are lost, never the whole
 * chunk with them. Before each insert the table's retention
 * rule drops its oldest rows. A file that vanished while the card runs (someone
 * deleted it) gets its tables back before the next insert.
 *
 * What a request does, and the event number its row records, come from its
 * code's row of kRequestCodes (store_codes.hpp); a code outside the table is
 * dropped. Samples read the UPS and sensor signals and the settings when they
 * are applied, through card::rt() and the card's shared rules.
 */
#include "store.hpp"

#include "card_rules.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <thread>

namespace store
{

namespace
{

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

// A column of the UPS sample: one signal, or the three phases of a group.
struct PhaseGroup {
    int lines; // the group's line count signal; 0: a single value
    int a, b, c;
};

// The UPS sample's columns Input_V .. By_AP, in the table's order.
constexpr PhaseGroup kPhaseGroups[] = {
    {Data_InputNumLines, Data_InputVoltage_A, Data_InputVoltage_B, Data_InputVoltage_C},
    {Data_InputNumLines, Data_InputCurrent_A, Data_InputCurrent_B, Data_InputCurrent_C},
    {Data_InputNumLines, Data_InputFrequency_A, Data_InputFrequency_B, Data_InputFrequency_C},
    {Data_InputNumLines, Data_InputTruePower_A, Data_InputTruePower_B, Data_InputTruePower_C},
    {0, Data_Inverter_Temperature, 0, 0}, // Internal_Temp
    {Data_OutputNumLines, Data_OutputVoltage_A, Data_OutputVoltage_B, Data_OutputVoltage_C},
    {Data_OutputNumLines, Data_OutputCurrent_A, Data_OutputCurrent_B, Data_OutputCurrent_C},
    {Data_OutputNumLines, Data_OutputFrequency, Data_OutputFrequency, Data_OutputFrequency},
    {Data_OutputNumLines, Data_OutputPower_A, Data_OutputPower_B, Data_OutputPower_C},
    {Data_OutputNumLines, Data_OutputPercentLoad_A, Data_OutputPercentLoad_B,
     Data_OutputPercentLoad_C},
    {Data_BypassNumLines, Data_BypassVoltage_A, Data_BypassVoltage_B, Data_BypassVoltage_C},
    {Data_BypassNumLines, Data_BypassCurrent_A, Data_BypassCurrent_B, Data_BypassCurrent_C},
    {Data_BypassNumLines, Data_BypassFrequency, Data_BypassFrequency, Data_BypassFrequency},
    {Data_BypassNumLines, Data_BypassPower_A, Data_BypassPower_B, Data_BypassPower_C},
    {Data_BypassNumLines, Data_BypassApparent_Power_A, Data_BypassApparent_Power_B,
     Data_BypassApparent_Power_C},
};
constexpr size_t kBatteryColumns = 5; // Bat_V .. Bat_AV follow the groups
static_assert(std::size(kPhaseGroups) + kBatteryColumns == 20);

// One value, or "%.1f/%.1f/%.1f" of the three phases when the group's line count reads 3.
std::string groupText(card::Runtime& r, const PhaseGroup& g)
{
    auto ups = [&](int sig) { return fmt1(r.value(card::kUps, sig)); };
    if (g.lines == 0 || r.intValue(card::kUps, g.lines) != 3) return ups(g.a);
    return ups(g.a) + "/" + ups(g.b) + "/" + ups(g.c);
}

// The files a chunk writes, each opened once and written in one transaction.
// Every statement that went into a transaction is kept until the commit: if
// the commit fails, they are written again each on its own.
class Writer
{
  public:
    using Step = std::function<bool(sqlite3*)>;

    Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer()
    {
        for (size_t i = 0; i < open_.size(); ++i)
            if (auto& o = open_[i]; o && o->inTx) finish(*o, kAllFiles[i]);
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
            logLine("There is no %s", path.c_str());
            createTables(db.get(), f);
        }
        bool inTx =
            sqlite3_exec(db.get(), "begin immediate", nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!inTx) logError("[%s] %s: %s\n", "store", path.c_str(), sqlite3_errmsg(db.get()));
        slot.emplace(Open{std::move(db), inTx, {}});
        return slot->db.get();
    }

    // Runs a step on the file now and keeps it for a replay.
    bool run(DbFile f, Step step)
    {
        sqlite3* h = db(f);
        if (!h) return false;
        const bool done = step(h);
        if (done) open_[static_cast<size_t>(f)]->steps.push_back(std::move(step));
        return done;
    }

    void recreate(DbFile f)
    {
        if (sqlite3* h = db(f)) createTables(h, f);
    }

  private:
    struct Open {
        Db db;
        bool inTx;
        std::vector<Step> steps;
    };

    static void finish(Open& o, DbFile f)
    {
        sqlite3* h = o.db.get();
        char* msg = nullptr;
        if (sqlite3_exec(h, "commit", nullptr, nullptr, &msg) == SQLITE_OK) return;
        logError("[%s] commit of %zu rows to %s failed: %s; writing them one by one\n", "store",
                 o.steps.size(), dbPath(f).c_str(), msg ? msg : sqlite3_errmsg(h));
        sqlite3_free(msg);
        sqlite3_exec(h, "rollback", nullptr, nullptr, nullptr);
        size_t lost = 0;
        for (const Step& step : o.steps)
            if (!step(h)) ++lost;
        if (lost) logError("[%s] %zu rows to %s lost\n", "store", lost, dbPath(f).c_str());
    }

    std::array<std::optional<Open>, kAllFiles.size()> open_;
};

void applyRetention(sqlite3* db, const Table& t)
{
    if (t.limit <= 0) return;
    Stmt count(db, std::string("select count(*) from ") + t.name);
    if (!count.ok() || count.step() != SQLITE_ROW) {
        logLine("[%s]    %s,%s", "retention", t.countLabel, sqlite3_errmsg(db));
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
    std::string err;
    auto insert = [&t, values, &err](sqlite3* db) {
        applyRetention(db, t);
        return execBound(db, t.insertSql, values, &err);
    };
    if (!w.db(t.file)) return false;
    if (w.run(t.file, insert)) return true;
    if (err.find("no such table") != std::string::npos) {
        logLine("[%s] %s lost its tables, creating them again", __func__, t.name);
        w.recreate(t.file);
        if (w.run(t.file, insert)) return true;
    }
    logError(errFormat, err.c_str());
    return false;
}

void controlAction(Writer& w, int id, const std::string& source, long long now)
{
    insertRow(w, kHistoryAlarm, {card::timeText(now), std::to_string(id), "--", source},
              "SQL Insert_Ups_Control error: %s\n");
}

void notification(Writer& w, const Table& t, const std::string& name, int id, long long now)
{
    insertRow(w, t, {name, std::to_string(id), card::timeText(now)},
              "SQL sq_creat_alarm_table error: %s\n");
}

void applyOne(Writer& w, const Request& r, long long now)
{
    const RequestCode* kind = requestCode(r.code);
    if (!kind) {
        logLine("[%s] request code %d dropped", "store", r.code);
        return;
    }
    const int number = kind->numberOf(r.code);
    const char* const sampleError = "SQL sq_creat_alarm_table error: %s\n";
    switch (kind->action) {
    case Action::UpsSample: {
        const std::string t = card::timeText(now);
        const auto fields = upsSampleFields();
        std::vector<std::string> values{t};
        values.insert(values.end(), fields.begin(), fields.end());
        insertRow(w, kUpsData, values, sampleError);
        appendEmailReport(t, fields, now);
        break;
    }
    case Action::SensorSample: {
        std::string tem, hum;
        if (sensorSample(tem, hum))
            insertRow(w, kThsData, {card::timeText(now), tem, hum}, sampleError);
        break;
    }
    case Action::BatteryTest:
        insertRow(w, kTestData, {card::timeText(r.value), card::durationText(r.arrival - r.value)},
                  sampleError);
        break;
    case Action::AlarmStarted:
        // The start time the alarm task stamped, when it sent one.
        insertRow(w, kCurrentAlarm,
                  {card::timeText(r.value ? r.value : now), std::to_string(number)},
                  "SQL add_curr_alarm_base error: %s\n");
        break;
    case Action::AlarmCleared: {
        std::string err;
        const std::string id = std::to_string(number);
        if (w.db(DbFile::Alarm) && !w.run(DbFile::Alarm, [id, &err](sqlite3* db) {
                return execBound(db, "delete from current_alarm where Alarm_Id=?", {id}, &err);
            }))
            logError("SQL delet_hist_alarm_base error: %s\n", err.c_str());
        break;
    }
    case Action::AlarmEpisode:
        insertRow(w, kHistoryAlarm,
                  {card::timeText(r.value), std::to_string(number), card::timeText(r.arrival),
                   alarmSource(number)},
                  "SQL add_hist_alarm_base error: %s\n");
        break;
    case Action::MailRecord:
        notification(w, kSmtpRecord, r.text, number, now);
        break;
    case Action::SmsRecord:
        notification(w, kSmsRecord, r.text, number, now);
        break;
    case Action::ControlAction:
        controlAction(w, number, kind->source ? kind->source : r.text, now);
        break;
    case Action::Operation:
        insertRow(w, kOperationRecord, {card::timeText(now), std::to_string(number), r.text, "0"},
                  "SQL Insert_Operation_Record error: %s\n");
        break;
    }
}

std::mutex applyMutex; // one batch at a time, so rows keep their arrival order

} // namespace

std::string alarmSource(long long index)
{
    const long long sig = ALARM_BASE + index;
    if (sig >= Alarm_TH1_CommunicationsLost && sig <= Alarm_TH4_Hum_Lo) return kSourceSensorModule;
    if (sig >= Alarm_Sms_Work_Abnormally && sig <= Alarm_Sms_CommunicationsLost)
        return kSourceSmsModule;
    return kSourceUps;
}

std::array<std::string, 20> upsSampleFields()
{
    card::Runtime& r = card::rt();
    const int upsType = card::upsType(r);
    auto ups = [&](int sig) { return r.value(card::kUps, sig); };

    std::array<std::string, 20> f;
    for (size_t i = 0; i < std::size(kPhaseGroups); ++i)
        f[i] = groupText(r, kPhaseGroups[i]);
    f[15] = fmt1(card::batteryVoltage(r));  // Bat_V
    f[16] = fmt1(ups(Data_BatteryCurrent)); // Bat_C
    const float batTem = ups(Data_BatteryTemperature);
    // These families report a missing battery sensor as a reading below -15.
    const bool noSensor = (upsType == 2 || upsType == 4 || upsType == 5) && batTem < -15.0f;
    f[17] = noSensor ? "--" : fmt1(batTem); // Bat_Tem
    // With a battery manager the remaining time and charge are the manager's.
    const bool fromManager = r.integer("battery_enable_type", 0) != 0;
    f[18] = fmt1(ups(fromManager ? Data_BatteryManageTime : Data_EstimatedMinutesRemaining));
    f[19] = fmt1(ups(fromManager ? Data_BatteryManageSoc : Data_EstimatedChargeRemaining));
    return f;
}

bool sensorSample(std::string& tem, std::string& hum)
{
    card::Runtime& r = card::rt();
    const int n = r.integer("curr_module_num", 0);
    if (n < 1 || n > card::kSensorModules) return false;
    tem.clear();
    hum.clear();
    for (int m = 1; m <= n; ++m) {
        if (!card::sensorAnswering(r, m)) continue;
        const std::string t = fmt1(card::sensorTemperature(r, m));
        const std::string h = fmt1(card::sensorHumidity(r, m));
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
                applyOne(w, batch[i], card::rt().now());
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

int flushQueue(std::chrono::milliseconds limit)
{
    // The caller is about to end the program: it waits for the rows, but
    // never for ever (a stuck file must not keep the card from restarting).
    auto done = std::make_shared<std::promise<void>>();
    auto ready = done->get_future();
    std::thread([done] {
        try {
            applyQueueNow();
        } catch (...) {
        }
        done->set_value();
    }).detach();
    if (ready.wait_for(limit) == std::future_status::ready) return 0;
    logError("[%s] the queue was not written within %lld ms\n", "store",
             static_cast<long long>(limit.count()));
    return -1;
}

} // namespace store
