/*
 * store_closeout.cpp - alarms that were active when the card stopped.
 *
 * After a restart the alarm task starts every episode afresh, so the rows left
 * in current_alarm describe episodes whose end nobody saw. They are moved into
 * history_alarm with the time the card last stopped as their end (L1), and
 * current_alarm is emptied. When the clock is set from a time server, a start
 * stamped after L1 was written in a time zone L1 does not know of; such a row
 * ends at L1 shifted by the zone's offset (L2).
 */
#include "store.hpp"

#include "card_rules.hpp"

#include <cstdlib>
#include <cstring>

namespace store
{

namespace
{

constexpr int kZones = 33;

// Hour offsets by `ntimezone`, used when `time_dst` is non-zero.
constexpr float kZoneHoursDst[kZones] = {-12,  -11, -10, -9, -8, -7, -6,  -5, -4,  -3.5, -3,
                                         -2,   -1,  0,   1,  2,  3,  3.5, 4,  4.5, 5,    5.5,
                                         5.75, 6,   6.5, 7,  8,  9,  9.5, 10, 11,  12,   13};
// The same zones when `time_dst` is 0: one hour more each.
constexpr float kZoneHours[kZones] = {-11,  -10, -9,  -8, -7, -6, -5,   -4, -3,  -2.5, -2,
                                      -1,   0,   1,   2,  3,  4,  4.5,  5,  5.5, 6,    6.5,
                                      6.75, 7,   7.5, 8,  9,  10, 10.5, 11, 12,  13,   14};

int settingNumber(const char* key)
{
    return card::rt().integer(key, 0);
}

} // namespace

long long lastEndFromSettings()
{
    return static_cast<long long>(settingNumber("system_startup_time")) +
           settingNumber("system_run_time");
}

std::string zoneShiftedEnd(long long lastEnd)
{
    if (settingNumber("nchecktimeevery") == 0) return {};
    const int zone = settingNumber("ntimezone");
    if (zone < 0 || zone >= kZones) {
        logLine("[%s] time zone index %d unknown", __func__, zone);
        return {};
    }
    const float hours = settingNumber("time_dst") != 0 ? kZoneHoursDst[zone] : kZoneHours[zone];
    // The card forms this sum in single precision; keep its result.
    const float shifted = static_cast<float>(lastEnd) + hours * 3600.0f;
    return card::timeText(static_cast<std::time_t>(shifted));
}

void closeOutOldAlarms(long long lastEnd)
{
    const std::string l1 = card::timeText(static_cast<std::time_t>(lastEnd));
    const std::string l2 = zoneShiftedEnd(lastEnd);

    std::lock_guard lock(dbMutex());
    Db db;
    if (!db.open(dbPath(DbFile::Alarm), false)) return;
    // One transaction: a crash part-way leaves neither duplicate history rows nor
    // a half-emptied current_alarm.
    sqlite3_exec(db.get(), "begin immediate", nullptr, nullptr, nullptr);

    const char* select = "select Starting_Time,Alarm_Id from current_alarm where Alarm_Id>=?";
    struct Row {
        std::string start, id;
    };
    std::vector<Row> rows;
    {
        Stmt st(db.get(), select);
        st.bind(0LL);
        int rc = SQLITE_ERROR;
        while (st.ok() && (rc = st.step()) == SQLITE_ROW)
            rows.push_back({st.column(0), st.column(1)});
        if (rc != SQLITE_DONE) {
            logLine("[%s]    %s,%s", __func__, "select  dataLog", sqlite3_errmsg(db.get()));
            logLine("sq is %s", select);
            sqlite3_exec(db.get(), "rollback", nullptr, nullptr, nullptr);
            return;
        }
    }
    for (const auto& r : rows) {
        const std::string end = std::strncmp(r.start.c_str(), l1.c_str(), 19) <= 0 ? l1 : l2;
        const std::string source = alarmSource(std::atoll(r.id.c_str()));
        std::string err;
        if (!execBound(db.get(), "insert into history_alarm values(?,?,?,?)",
                       {r.start, r.id, end, source}, &err))
            logError("SQL add_hist_alarm_base error: %s\n", err.c_str());
    }
    Stmt del(db.get(), "delete from current_alarm where Alarm_Id>=?");
    del.bind(0LL);
    if (!del.ok() || del.step() != SQLITE_DONE)
        logError("SQL delet_hist_alarm_base error: %s\n", sqlite3_errmsg(db.get()));
    if (sqlite3_exec(db.get(), "commit", nullptr, nullptr, nullptr) != SQLITE_OK)
        logError("[%s] commit failed: %s\n", __func__, sqlite3_errmsg(db.get()));
    if (!rows.empty()) logLine("[%s] %zu alarm(s) closed at %s", __func__, rows.size(), l1.c_str());
}

} // namespace store
