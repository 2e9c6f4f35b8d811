/*
 * store_bench.cpp - the record store against a plain SQLite loop doing the same
 * statements, in the same run, on the same machine.
 *
 *   1. requests applied per second: a mixed burst (UPS samples, alarm start and
 *      end, SMS, e-mail and operation records) through the queue, against a loop
 *      that opens the file, counts, inserts and closes for every request (the
 *      card's original one-file-per-request pattern);
 *   2. one full-day reader call with its CSV export at 5000 rows, against a loop
 *      running the page query and the export query and writing the same file.
 *
 * Prints one ratio per line ("name: value"); details go to the error stream.
 * Needs CARDMON_APP_DIR pointing at a scratch directory.
 */
#include "store.hpp"
#include "store_readers.h"

#include "card_rules.hpp"
#include "fieldcore.hpp"
#include "platform.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

struct Req {
    int code;
    std::string text;
};

std::vector<Req> burst(int n)
{
    const int codes[] = {100, 201, 301, 1001, 1500, 601};
    std::vector<Req> v;
    for (int i = 0; i < n; ++i) {
        const int c = codes[i % 6];
        v.push_back({c, (c == 1001 || c == 1500 || c == 601) ? "user" + std::to_string(i) : ""});
    }
    return v;
}

// The reference: one open, count, insert, close per request, on its own files.
double referenceApply(const std::vector<Req>& reqs, const std::string& dir)
{
    namespace fs = std::filesystem;
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string ups = dir + "/ups_data.db", alarm = dir + "/alarm_info.db",
                      sms = dir + "/sms_info.db", smtp = dir + "/smtp_record.db",
                      op = dir + "/operation_record.db";
    const std::pair<std::string, store::DbFile> files[] = {{ups, store::DbFile::UpsData},
                                                           {alarm, store::DbFile::Alarm},
                                                           {sms, store::DbFile::Sms},
                                                           {smtp, store::DbFile::Smtp},
                                                           {op, store::DbFile::Operation}};
    for (const auto& [path, f] : files) {
        store::Db db;
        db.open(path, false);
        store::createTables(db.get(), f);
    }
    auto insert = [](const std::string& path, const char* table, int limit, int drop,
                     const std::string& sql, const std::vector<std::string>& values) {
        store::Db db;
        if (!db.open(path, false)) return;
        if (limit > 0) {
            store::Stmt c(db.get(), std::string("select count(*) from ") + table);
            c.step();
            if (std::atoll(c.column(0).c_str()) > limit) {
                store::Stmt d(db.get(), std::string("delete from ") + table +
                                            " where rowid in (select rowid from " + table +
                                            " order by rowid limit 0,?)");
                d.bind(static_cast<long long>(drop));
                d.step();
            }
        }
        store::execBound(db.get(), sql, values, nullptr);
    };
    const auto t0 = Clock::now();
    for (const auto& r : reqs) {
        const std::string now = card::timeText(std::time(nullptr));
        if (r.code == 100) {
            std::vector<std::string> v{now};
            for (int i = 0; i < 20; ++i)
                v.push_back("0.0");
            insert(ups, "ups_data", 5000, 50,
                   "insert into ups_data values(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", v);
            std::string line = now;
            for (int i = 0; i < 20; ++i)
                line += ",0.0";
            platform::writeFile(dir + "/email_report.csv", line + "\n", true);
        } else if (r.code == 201) {
            insert(alarm, "current_alarm", 0, 0, "insert into current_alarm values(?,?)",
                   {now, "1"});
        } else if (r.code == 301) {
            store::Db db;
            db.open(alarm, false);
            store::execBound(db.get(), "delete from current_alarm where Alarm_Id=?", {"1"},
                             nullptr);
        } else if (r.code == 1001) {
            insert(sms, "sms_record", 500, 20, "insert into sms_record values(?,?,?)",
                   {r.text, "1", now});
        } else if (r.code == 601) {
            insert(smtp, "smtp_record", 500, 20, "insert into smtp_record values(?,?,?)",
                   {r.text, "1", now});
        } else {
            insert(op, "operation_record", 1000, 10, "insert into operation_record values(?,?,?,?)",
                   {now, "0", r.text, "0"});
        }
    }
    return seconds(t0, Clock::now());
}

double storeApply(const std::vector<Req>& reqs)
{
    for (const auto& r : reqs)
        store::enqueue(r.code, r.text.empty() ? nullptr : r.text.c_str(),
                       r.text.empty() ? 0 : static_cast<int>(r.text.size()) + 1);
    const auto t0 = Clock::now();
    store::applyQueueNow();
    return seconds(t0, Clock::now());
}

void fillDay(const std::string& path, int rows)
{
    store::Db db;
    db.open(path, false);
    store::createTables(db.get(), store::DbFile::UpsData);
    sqlite3_exec(db.get(), "begin", nullptr, nullptr, nullptr);
    for (int i = 0; i < rows; ++i) {
        char t[32];
        std::snprintf(t, sizeof t, "2026-12-08 %02d:%02d:%02d", i / 3600 % 24, i / 60 % 60, i % 60);
        std::vector<std::string> v{t, "230.1/229.8/231.0"};
        for (int c = 2; c <= 20; ++c)
            v.push_back(std::to_string(c) + ".5");
        store::execBound(db.get(),
                         "insert into ups_data values(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                         v, nullptr);
    }
    sqlite3_exec(db.get(), "commit", nullptr, nullptr, nullptr);
}

// The reference reader: the same two statements, the same page copy and CSV text.
double referenceDay(const std::string& path, const std::string& csv)
{
    const auto t0 = Clock::now();
    store::Db db;
    db.open(path, true);
    std::vector<char> page(10 * 150, 0);
    int n = 0;
    {
        store::Stmt st(db.get(), "select Time,Input_V,Input_C,Input_F,Input_TP,Internal_Temp "
                                 "from ups_data where Time>=? and Time <= ? order by Time desc");
        st.bind("2026-12-08 00:00:00").bind("2026-12-08 23:59:59");
        while (st.step() == SQLITE_ROW) {
            if (n < 10)
                for (int i = 0; i < 6; ++i) {
                    const std::string v = st.column(i);
                    std::memcpy(page.data() + n * 150 + i * 25, v.data(),
                                std::min<size_t>(v.size(), 24));
                }
            ++n;
        }
    }
    std::string out = "header\n";
    {
        store::Stmt st(db.get(), "select Time,Input_V,Input_C,Input_F,Input_TP,Internal_Temp,"
                                 "Output_V,Output_C,Output_F,Output_P,Output_L,By_V,By_C,By_F,"
                                 "By_TP,By_AP,Bat_V,Bat_C,Bat_Tem,Bat_Time,Bat_AV from ups_data "
                                 "where Time>=? and Time <= ? order by Time desc");
        st.bind("2026-12-08 00:00:00").bind("2026-12-08 23:59:59");
        while (st.step() == SQLITE_ROW) {
            for (int i = 0; i < 21; ++i)
                out += st.column(i) + ",";
            out += "\n";
        }
    }
    platform::writeFile(csv, out);
    return seconds(t0, Clock::now());
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double storeDay()
{
    std::vector<char> page(10 * STORE_UPS_ROW, 0);
    const auto t0 = Clock::now();
    GetUpsDataBase("2026-12-08", 1, 0, page.data());
    return seconds(t0, Clock::now());
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("CARDMON_APP_DIR")) {
        std::fprintf(stderr, "store_bench: set CARDMON_APP_DIR to a scratch directory\n");
        return 2;
    }
    const int requests = argc > 1 ? std::atoi(argv[1]) : 3000;
    const std::string app = platform::appDir();
    std::filesystem::remove_all(app + "/data");
    std::filesystem::create_directories(app + "/data");
    fieldcore::resetForTests(app);
    SaveSettingi("Module_Language", 3);
    store::createMissingDatabases();

    const auto reqs = burst(requests);
    const double tStore = storeApply(reqs);
    const double tRef = referenceApply(reqs, app + "/ref");
    std::fprintf(stderr, "apply: store %.0f req/s, sqlite loop %.0f req/s (%d requests)\n",
                 requests / tStore, requests / tRef, requests);
    std::printf("store_apply_rate_vs_sqlite_loop: %.2f\n", tRef / tStore);

    std::filesystem::remove(store::dbPath(store::DbFile::UpsData));
    fillDay(store::dbPath(store::DbFile::UpsData), 5000);
    // Interleaved rounds, median of each: the machine is shared and noisy.
    constexpr int kRounds = 9;
    std::vector<double> mine, ref, gbk;
    for (int round = 0; round < kRounds; ++round) {
        SaveSettingi("Module_Language", 3);
        mine.push_back(storeDay());
        ref.push_back(
            referenceDay(store::dbPath(store::DbFile::UpsData), app + "/ref/upsdata.csv"));
        SaveSettingi("Module_Language", 0); // the same call writing its CSV in GBK
        gbk.push_back(storeDay());
    }
    const double tMine = median(mine), tRefDay = median(ref), tGbk = median(gbk);
    std::fprintf(stderr,
                 "day reader at 5000 rows: store %.1f ms (GBK export %.1f ms), sqlite loop "
                 "%.1f ms\n",
                 tMine * 1e3, tGbk * 1e3, tRefDay * 1e3);
    std::printf("store_day_reader_time_vs_sqlite_loop: %.2f\n", tMine / tRefDay);
    std::printf("store_day_reader_gbk_time_vs_sqlite_loop: %.2f\n", tGbk / tRefDay);
    return 0;
}
