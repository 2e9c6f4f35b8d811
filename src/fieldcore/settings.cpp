/*
 * settings.cpp - the persistent settings store.
 *
 * Every key lives in a SQLite table (config/settings.db, WAL journal) and in a
 * map in memory. Reads come from memory only, so the LED loop may ask for
 * ups_lost every 20 ms; a save updates the map and writes through to SQLite
 * before it returns, so a setting survives a kill -9 right after the save. A
 * store that cannot be opened or fails its check is moved aside and started
 * afresh; the card then runs on defaults instead of not running at all.
 * The store holds every password, community and pass phrase of the card: its
 * files are private to the card's user (0600, their directory 0700) from the
 * moment they exist.
 */
#include "internal.hpp"
#include "platform.hpp"

#include <sqlite3.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <shared_mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace fieldcore
{
namespace
{

struct Store {
    std::shared_mutex mapMutex;
    std::unordered_map<std::string, std::string> values;
    std::mutex dbMutex; // guards db and its statements
    sqlite3* db = nullptr;
    sqlite3_stmt* upsert = nullptr;
    sqlite3_stmt* remove = nullptr;
    bool loaded = false;
    std::string dir;
};

Store& store()
{
    static Store s;
    return s;
}

void closeDb(Store& s)
{
    sqlite3_finalize(s.upsert);
    sqlite3_finalize(s.remove);
    s.upsert = s.remove = nullptr;
    if (s.db) sqlite3_close(s.db);
    s.db = nullptr;
}

bool execSql(sqlite3* db, const char* sql)
{
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        AppLogOut("[settings] %s: %s", sql, err ? err : "?");
        sqlite3_free(err);
        return false;
    }
    return true;
}

bool checkOk(sqlite3* db)
{
    sqlite3_stmt* st = nullptr;
    bool ok = false;
    if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(st, 0);
        ok = t && std::string(reinterpret_cast<const char*>(t)) == "ok";
    }
    sqlite3_finalize(st);
    return ok;
}

bool openDb(Store& s, const std::string& path)
{
    if (sqlite3_open_v2(path.c_str(), &s.db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK)
        return false;
    sqlite3_busy_timeout(s.db, 2000);
    if (!checkOk(s.db)) return false;
    if (!execSql(s.db, "PRAGMA journal_mode=WAL") || !execSql(s.db, "PRAGMA synchronous=NORMAL") ||
        !execSql(s.db, "create table if not exists settings(key text primary key, value text)"))
        return false;
    return sqlite3_prepare_v2(s.db,
                              "insert into settings(key,value) values(?1,?2) "
                              "on conflict(key) do update set value=excluded.value",
                              -1, &s.upsert, nullptr) == SQLITE_OK &&
           sqlite3_prepare_v2(s.db, "delete from settings where key=?1", -1, &s.remove, nullptr) ==
               SQLITE_OK;
}

void loadValues(Store& s)
{
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(s.db, "select key, value from settings", -1, &st, nullptr) != SQLITE_OK)
        return;
    std::unique_lock lock(s.mapMutex);
    s.values.clear();
    while (sqlite3_step(st) == SQLITE_ROW) {
        auto k = sqlite3_column_text(st, 0);
        auto v = sqlite3_column_text(st, 1);
        if (k)
            s.values[reinterpret_cast<const char*>(k)] = v ? reinterpret_cast<const char*>(v) : "";
    }
    sqlite3_finalize(st);
}

constexpr mode_t kPrivateFile = 0600;
constexpr mode_t kPrivateDir = 0700;

// The store's file exists, private, before SQLite opens it (SQLite gives its
// journal files the mode of the database), and files left by an older
// firmware with a wider mode are made private too.
void makePrivate(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kPrivateFile);
    if (fd >= 0) {
        if (::fchmod(fd, kPrivateFile) != 0)
            AppLogOut("[settings] cannot make %s private: %s", path.c_str(), std::strerror(errno));
        ::close(fd);
    }
    for (const char* tail : {"-wal", "-shm"})
        ::chmod((path + tail).c_str(), kPrivateFile);
}

// Caller holds dbMutex.
void openLocked(Store& s, const std::string& appDir)
{
    closeDb(s);
    s.dir = appDir + "/config";
    platform::makeDirs(s.dir);
    ::chmod(s.dir.c_str(), kPrivateDir);
    const std::string path = s.dir + "/settings.db";
    makePrivate(path);
    if (!openDb(s, path)) {
        closeDb(s);
        const std::string aside = path + ".corrupt-" + std::to_string(time(nullptr));
        std::rename(path.c_str(), aside.c_str());
        ::chmod(aside.c_str(), kPrivateFile);
        makePrivate(path);
        std::remove((path + "-wal").c_str());
        std::remove((path + "-shm").c_str());
        AppLogOut("[settings] store %s unreadable, moved to %s; starting with defaults",
                  path.c_str(), aside.c_str());
        if (!openDb(s, path)) {
            AppLogOut("[settings] cannot create %s: settings are kept in memory only",
                      path.c_str());
            closeDb(s);
        }
    }
    if (s.db)
        loadValues(s);
    else {
        std::unique_lock lock(s.mapMutex);
        s.values.clear();
    }
    s.loaded = true;
}

Store& ready()
{
    Store& s = store();
    if (!s.loaded) {
        std::lock_guard lock(s.dbMutex);
        if (!s.loaded) openLocked(s, platform::appDir());
    }
    return s;
}

bool lookup(const char* key, std::string& out)
{
    if (!key) return false;
    Store& s = ready();
    std::shared_lock lock(s.mapMutex);
    auto it = s.values.find(key);
    if (it == s.values.end()) return false;
    out = it->second;
    return true;
}

// Text answers stay valid across the next few calls of the same thread.
const char* keep(std::string value)
{
    thread_local std::array<std::string, 16> ring;
    thread_local unsigned next = 0;
    std::string& slot = ring[next++ % ring.size()];
    slot = std::move(value);
    return slot.c_str();
}

int save(const char* key, const std::string& value)
{
    if (!key || !*key) return -1;
    Store& s = ready();
    {
        std::unique_lock lock(s.mapMutex);
        auto it = s.values.find(key);
        if (it != s.values.end() && it->second == value) return 0;
        s.values[key] = value;
    }
    std::lock_guard lock(s.dbMutex);
    if (!s.upsert) return -1;
    sqlite3_reset(s.upsert);
    sqlite3_bind_text(s.upsert, 1, key, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.upsert, 2, value.c_str(), int(value.size()), SQLITE_TRANSIENT);
    int rc = sqlite3_step(s.upsert);
    sqlite3_reset(s.upsert);
    if (rc != SQLITE_DONE) {
        AppLogOut("[settings] save %s failed: %s", key, sqlite3_errmsg(s.db));
        return -1;
    }
    return 0;
}

} // namespace

void openSettings(const std::string& appDir)
{
    Store& s = store();
    std::lock_guard lock(s.dbMutex);
    openLocked(s, appDir);
}

std::vector<std::pair<std::string, std::string>> listSettings()
{
    Store& s = ready();
    std::shared_lock lock(s.mapMutex);
    std::vector<std::pair<std::string, std::string>> out(s.values.begin(), s.values.end());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace fieldcore

using namespace fieldcore;

extern "C" {

const char* GetSettings(const char* key)
{
    return GetSettings2(key, "");
}

const char* GetSettings2(const char* key, const char* def)
{
    std::string v;
    if (lookup(key, v)) return keep(std::move(v));
    return keep(def ? def : "");
}

int GetSettingi(const char* key)
{
    return GetSettingi2(key, 0);
}

int GetSettingi2(const char* key, int def)
{
    std::string v;
    if (!lookup(key, v)) return def;
    return int(std::strtol(v.c_str(), nullptr, 10));
}

float GetSettingf(const char* key)
{
    return GetSettingf2(key, 0.0f);
}

float GetSettingf2(const char* key, float def)
{
    std::string v;
    if (!lookup(key, v)) return def;
    return std::strtof(v.c_str(), nullptr);
}

int SaveSettings(const char* key, const char* value)
{
    try {
        return save(key, value ? value : "");
    } catch (...) {
        return -1;
    }
}

int SaveSettingi(const char* key, int value)
{
    return SaveSettings(key, std::to_string(value).c_str());
}

int SaveSettingf(const char* key, float value)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", double(value));
    return SaveSettings(key, buf);
}

int DeleteSetting(const char* key)
{
    if (!key) return -1;
    Store& s = ready();
    {
        std::unique_lock lock(s.mapMutex);
        s.values.erase(key);
    }
    std::lock_guard lock(s.dbMutex);
    if (!s.remove) return -1;
    sqlite3_reset(s.remove);
    sqlite3_bind_text(s.remove, 1, key, -1, SQLITE_TRANSIENT);
    int rc = sqlite3_step(s.remove);
    sqlite3_reset(s.remove);
    return rc == SQLITE_DONE ? 0 : -1;
}

} // extern "C"
