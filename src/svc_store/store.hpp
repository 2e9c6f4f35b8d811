/*
 * store.hpp - the record store's inner pieces, shared by its source files and
 * its tests.
 *
 * Five SQLite files under data/ hold the card's history. Other plug-ins queue
 * requests through DevCallback(card::kStoreServer, ...) with the codes of
 * store_codes.hpp; one worker takes the whole queue out
 * under the queue lock and applies it after releasing that lock, holding the
 * database lock only while it writes. The web's readers take the same database
 * lock. Lock order everywhere: queue lock, then database lock.
 *
 * Settings, signals, the clock and the log are read through card::rt(), so the
 * tests run the store on a card::FakeRuntime over real database files.
 */
#pragma once

#include "store_codes.hpp"

#include <sqlite3.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace store
{

// ---- database files (store_db.cpp) ----

enum class DbFile { UpsData, Alarm, Sms, Smtp, Operation };
constexpr std::array<DbFile, 5> kAllFiles = {DbFile::UpsData, DbFile::Alarm, DbFile::Sms,
                                             DbFile::Smtp, DbFile::Operation};

std::string dbPath(DbFile f);
// Guards every use of the database files, by the worker and by the readers.
std::mutex& dbMutex();

// A line of the application log.
void logLine(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The same, also on the error stream.
void logError(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// One open database file; closes itself.
class Db
{
  public:
    Db() = default;
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;
    Db(Db&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
    ~Db();
    // Opens for writing (creating the file) or read-only. Logs and returns
    // false when the file cannot be opened.
    bool open(const std::string& path, bool readOnly);
    sqlite3* get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr; }
    std::string error() const { return h_ ? sqlite3_errmsg(h_) : "not open"; }

  private:
    sqlite3* h_ = nullptr;
};

// A prepared statement with bound values (all our columns hold text).
class Stmt
{
  public:
    Stmt(sqlite3* db, std::string_view sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    bool ok() const { return s_ != nullptr; }
    Stmt& bind(std::string_view text);
    Stmt& bind(long long v);
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step();
    std::string column(int i) const;
    int columnCount() const { return s_ ? sqlite3_column_count(s_) : 0; }

  private:
    sqlite3_stmt* s_ = nullptr;
    int next_ = 1;
};

// Runs one statement without results; false (with the message) on failure.
bool execBound(sqlite3* db, std::string_view sql, const std::vector<std::string>& values,
               std::string* err);

// Runs the creating statements of a file's tables, each on its own; false if any failed.
bool createTables(sqlite3* db, DbFile f);
// DriverInit's pass over the five files: a missing file gets its tables.
void createMissingDatabases();

// ---- queue (store_queue.cpp) ----

struct Request {
    int code = 0;
    long long arrival = 0; // seconds since the epoch, taken when queued
    int32_t value = 0;     // the 4 data bytes, for the codes that keep a value
    std::string text;      // a copy of the data, for the codes that keep a text
};

// The callback body: copies what the code needs and queues it. Returns 0.
int enqueue(int code, const void* data, int size);
// The same with a given arrival time (tests).
int enqueueAt(int code, const void* data, int size, long long arrival);
size_t queuedCount();
// Takes every queued request out, in arrival order, under the queue lock.
std::vector<Request> takeQueue();

// ---- writing (store_apply.cpp) ----

// Applies requests in order; opens each file once per chunk, in one transaction.
void applyBatch(const std::vector<Request>& batch);
// Takes the queue and applies it now (the worker's step; tests call it directly).
void applyQueueNow();
// Applies everything queued so far before the program ends (request
// card::store::kFlush); 0 once written, -1 when it took longer than limit.
int flushQueue(std::chrono::milliseconds limit);

// The 20 fields of a UPS sample from the UPS signals and the settings.
std::array<std::string, 20> upsSampleFields();
// Tem and hum of a sensor sample; false when no sensor answers.
bool sensorSample(std::string& tem, std::string& hum);
// "Dev:UPS", or "Dev:THS MODULE" (34-53) / "Dev:SMS MODULE" (57-60) by alarm index.
std::string alarmSource(long long index);
// Appends a sample to today's e-mail report file (see store_apply.cpp).
void appendEmailReport(const std::string& time, const std::array<std::string, 20>& fields,
                       long long now);
std::string emailReportDir();

// ---- closing out alarms left from before a restart (store_closeout.cpp) ----

// When the card last stopped: system_startup_time + system_run_time.
long long lastEndFromSettings();
// L2 text, or "" when the clock is not set from a time server (or the zone is unknown).
std::string zoneShiftedEnd(long long lastEnd);
// Moves every current_alarm row into history_alarm and empties current_alarm.
void closeOutOldAlarms(long long lastEnd);

// ---- plug-in (store_plugin.cpp) ----

// Period of the worker between batches (2 s on the card; tests shorten it).
void setBatchPeriod(std::chrono::milliseconds period);

// ---- texts and encodings (store_texts.cpp, store_encoding.cpp) ----

constexpr int kLanguages = 5;
constexpr int kStartTexts = 200;
constexpr int kEndTexts = 80;
int languageSetting(); // Module_Language, kept within 0-4

struct LanguageTexts {
    const char* upsHeader;    // 21 columns of the UPS sample
    const char* sensorHeader; // Time, temperature, humidity
    const char* batTestHeader;
    const char* smsHeader;
    const char* emailHeader;
    const char* historyHeader;
    const char* sourceWords[4];    // "SCHEDULE", "Dev:UPS", "Dev:SMS MODULE", "Dev:THS MODULE"
    const char* const* startTexts; // kStartTexts entries
    const char* const* endTexts;   // kEndTexts entries
};
const LanguageTexts& languageTexts(int language);
// Text of an event number as the logs show it: below 500 the start text, else the
// end text of number - 500; "xxx" outside the tables.
std::string eventText(int language, long long number);
// The language's word for one of the four stored source words, else the source.
std::string sourceText(int language, const std::string& source);

// Languages 0-2 write their files in GBK, 3-4 in UTF-8.
bool languageUsesGbk(int language);
// UTF-8 to GBK through iconv; characters GBK lacks are kept as they are.
std::string toGbk(std::string_view utf8);
// The bytes of a file's text in the language's encoding.
std::string encodeFor(int language, std::string_view utf8);

} // namespace store
