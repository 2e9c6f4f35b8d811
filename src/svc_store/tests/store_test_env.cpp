// One temporary app directory for the whole test process.
#include "store_test_env.hpp"

#include "platform.hpp"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace storetest
{

namespace
{

// Never destroyed, so the exit handler below can still read it.
const std::string& kDir = *new std::string([] {
    char tmpl[] = "/tmp/svc_store_test.XXXXXX";
    const char* dir = mkdtemp(tmpl);
    std::string d = dir ? dir : "/tmp/svc_store_test";
    setenv("CARDMON_APP_DIR", d.c_str(), 1);
    setenv("TZ", "UTC0", 1);
    tzset();
    return d;
}());

const int kCleanup = std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(kDir, ec);
});

} // namespace

const std::string& appDir()
{
    return kDir;
}

void freshStore()
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::remove_all(fs::path(kDir) / "data", ec);
    fs::create_directories(fs::path(kDir) / "data");
    store::takeQueue();
    store::createMissingDatabases();
}

Rows query(store::DbFile f, const std::string& sql)
{
    Rows rows;
    store::Db db;
    if (!db.open(store::dbPath(f), true)) return rows;
    store::Stmt st(db.get(), sql);
    EXPECT_TRUE(st.ok()) << sql << ": " << db.error();
    while (st.ok() && st.step() == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < st.columnCount(); ++i)
            row.push_back(st.column(i));
        rows.push_back(row);
    }
    return rows;
}

long long count(store::DbFile f, const std::string& table)
{
    auto rows = query(f, "select count(*) from " + table);
    return rows.empty() ? -1 : std::atoll(rows[0][0].c_str());
}

void exec(store::DbFile f, const std::string& sql)
{
    store::Db db;
    ASSERT_TRUE(db.open(store::dbPath(f), false));
    char* msg = nullptr;
    ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &msg), SQLITE_OK)
        << (msg ? msg : "") << " in " << sql.substr(0, 200);
}

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace storetest
