/*
 * store_db.cpp - the five database files, their tables, and thin RAII wrappers
 * over SQLite's library interface (open, prepare/bind/step/finalize, close).
 *
 * Every value goes into a statement as a bound parameter; only the fixed table
 * and column names of this file are ever part of a statement's text.
 */
#include "store.hpp"

#include "card_runtime.hpp"
#include "platform.hpp"

#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>

namespace store
{

namespace
{

struct FileInfo {
    DbFile file;
    const char* cardPath;
    const char* createFailure; // logged when a creating statement failed at start
    std::vector<const char*> creates;
};

const std::vector<FileInfo>& files()
{
    static const std::vector<FileInfo> kFiles = {
        {DbFile::UpsData,
         "/root/app/data/ups_data.db",
         "Create_Ups_Data_Base is failed",
         {"create table if not exists ups_data(Time datetime,Input_V varchar,Input_C "
          "varchar,Input_F varchar,Input_TP varchar,Internal_Temp varchar,Output_V "
          "varchar,Output_C varchar,Output_F varchar,Output_P varchar,Output_L varchar,By_V "
          "varchar,By_C varchar,By_F varchar,By_TP varchar,By_AP varchar,Bat_V varchar,Bat_C "
          "varchar,Bat_Tem varchar,Bat_Time varchar,Bat_AV varchar)",
          "create table if not exists ths_data(Time datetime,Tem varchar,hum varchar)",
          "create table if not exists test_data(Time datetime,RunTime varchar)"}},
        {DbFile::Alarm,
         "/root/app/data/alarm_info.db",
         "inti_alarmdatabase is failed",
         {"create table if not exists current_alarm(Starting_Time datetime,Alarm_Id varchar)",
          "create table if not exists history_alarm(Starting_Time datetime,Alarm_Id "
          "varchar,End_Time varchar,Source varchar)"}},
        {DbFile::Sms,
         "/root/app/data/sms_info.db",
         nullptr,
         {"create table if not exists sms_record(name varchar,Alarm_Id varchar,Time datetime)"}},
        {DbFile::Smtp,
         "/root/app/data/smtp_record.db",
         nullptr,
         {"create table if not exists smtp_record(name varchar,Alarm_Id varchar,Time "
          "datetime)"}},
        {DbFile::Operation,
         "/root/app/data/operation_record.db",
         "Init_Record database is failed",
         {"create table if not exists operation_record(Starting_Time datetime,Operate_Id "
          "varchar,Source varchar,IsUpload varchar)"}},
    };
    return kFiles;
}

const FileInfo& info(DbFile f)
{
    for (const auto& i : files())
        if (i.file == f) return i;
    return files().front();
}

} // namespace

std::string dbPath(DbFile f)
{
    return platform::appPath(info(f).cardPath);
}

std::mutex& dbMutex()
{
    static std::mutex m;
    return m;
}

namespace
{

std::string formatted(const char* fmt, va_list ap)
{
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    std::string line(buf);
    // The application log adds its own line end.
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

} // namespace

void logLine(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const std::string line = formatted(fmt, ap);
    va_end(ap);
    card::rt().log(line);
}

void logError(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const std::string line = formatted(fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "%s\n", line.c_str());
    card::rt().log(line);
}

Db::~Db()
{
    if (h_) sqlite3_close_v2(h_);
}

bool Db::open(const std::string& path, bool readOnly)
{
    int flags = readOnly ? SQLITE_OPEN_READONLY : (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    sqlite3* h = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &h, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        logError("Can't open database: %s\n", h ? sqlite3_errmsg(h) : sqlite3_errstr(rc));
        if (h) sqlite3_close_v2(h);
        return false;
    }
    // Another opener (the web clearing a log, sqlite3 on a console) may hold the
    // file for a moment.
    sqlite3_busy_timeout(h, 2000);
    h_ = h;
    return true;
}

Stmt::Stmt(sqlite3* db, std::string_view sql)
{
    if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &s_, nullptr) != SQLITE_OK)
        s_ = nullptr;
}

Stmt::~Stmt()
{
    sqlite3_finalize(s_);
}

Stmt& Stmt::bind(std::string_view text)
{
    if (s_)
        sqlite3_bind_text(s_, next_, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    ++next_;
    return *this;
}

Stmt& Stmt::bind(long long v)
{
    if (s_) sqlite3_bind_int64(s_, next_, v);
    ++next_;
    return *this;
}

int Stmt::step()
{
    return s_ ? sqlite3_step(s_) : SQLITE_ERROR;
}

std::string Stmt::column(int i) const
{
    const unsigned char* t = s_ ? sqlite3_column_text(s_, i) : nullptr;
    if (!t) return {};
    return std::string(reinterpret_cast<const char*>(t),
                       static_cast<size_t>(sqlite3_column_bytes(s_, i)));
}

bool execBound(sqlite3* db, std::string_view sql, const std::vector<std::string>& values,
               std::string* err)
{
    Stmt st(db, sql);
    if (!st.ok()) {
        if (err) *err = sqlite3_errmsg(db);
        return false;
    }
    for (const auto& v : values)
        st.bind(v);
    int rc = st.step();
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        if (err) *err = sqlite3_errmsg(db);
        return false;
    }
    return true;
}

bool createTables(sqlite3* db, DbFile f)
{
    bool all = true;
    for (const char* sql : info(f).creates) {
        char* msg = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
            logError("SQL error: %s\n", msg ? msg : "?");
            all = false;
        }
        sqlite3_free(msg);
    }
    return all;
}

void createMissingDatabases()
{
    std::lock_guard lock(dbMutex());
    for (const auto& fi : files()) {
        const std::string path = dbPath(fi.file);
        struct stat st {
        };
        if (stat(path.c_str(), &st) == 0 && st.st_size > 0) continue;
        logLine("There is no %s", path.c_str());
        Db db;
        bool ok = db.open(path, false) && createTables(db.get(), fi.file);
        if (!ok && fi.createFailure) logLine("%s", fi.createFailure);
    }
}

} // namespace store
