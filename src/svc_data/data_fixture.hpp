// Test fixture for the data task: fresh settings and signals per test, a faked
// clock in UTC, and captured UPS commands, store requests and process exits.
#pragma once

#include "data_core.hpp"

#include "fieldcore.h"
#include "fieldcore.hpp"
#include "platform.hpp"
#include "signals.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace svc_data_test
{

// One app directory per test program: the runtime resolves its paths once.
inline const std::string& baseDir()
{
    static const std::string dir = [] {
        char tmpl[] = "/tmp/svc_data_test.XXXXXX";
        std::string d = mkdtemp(tmpl);
        setenv("CARDMON_APP_DIR", d.c_str(), 1);
        platform::appDir();
        return d;
    }();
    return dir;
}

struct CleanUp : ::testing::Environment {
    void TearDown() override { std::filesystem::remove_all(baseDir()); }
};
inline const auto* g_cleanUp = ::testing::AddGlobalTestEnvironment(new CleanUp);

struct StoreRequest {
    int code;
    int value; // the 4 data bytes when size is 4, else -1
    bool operator==(const StoreRequest&) const = default;
};

inline std::mutex& storeMutex()
{
    static std::mutex m;
    return m;
}
inline std::vector<StoreRequest>& storeLog()
{
    static std::vector<StoreRequest> v;
    return v;
}
inline int captureStore(int code, void* data, int size)
{
    int value = -1;
    if (data && size == 4) std::memcpy(&value, data, 4);
    std::lock_guard<std::mutex> lock(storeMutex());
    storeLog().push_back({code, value});
    return 0;
}

// Seconds since the epoch of a UTC calendar time (the tests run in UTC).
inline std::time_t at(int y, int mo, int d, int h, int mi, int s = 0)
{
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return timegm(&tm);
}

class DataTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        static int counter = 0;
        dir_ = baseDir() + "/t" + std::to_string(++counter);
        std::filesystem::create_directories(dir_ + "/config");
        std::filesystem::create_directories(baseDir() + "/config");
        fieldcore::resetForTests(dir_);
        RegisterDevCallback(4, captureStore);
        takeStore();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::vector<StoreRequest> takeStore()
    {
        std::lock_guard<std::mutex> lock(storeMutex());
        auto out = storeLog();
        storeLog().clear();
        return out;
    }
    std::vector<std::pair<int, std::string>> takeCommands()
    {
        auto out = commands_;
        commands_.clear();
        return out;
    }
    float ups(int sig) { return GetDevValue(60, sig); }
    int appLogCount(const std::string& needle)
    {
        std::ifstream f(platform::appPath("data/app.log"));
        std::string line;
        int n = 0;
        while (std::getline(f, line))
            n += line.find(needle) != std::string::npos;
        return n;
    }

    std::string dir_;
    std::time_t clock_ = at(2026, 12, 8, 12, 0); // a Tuesday
    bool answering_ = true;
    std::vector<std::pair<int, std::string>> commands_;
    std::vector<int> exits_;
    svc_data::DataCore core_{svc_data::Hooks{
        [this] { return clock_; },
        [this](int dev, const std::string& text) {
            commands_.push_back({dev, text});
            return 1;
        },
        [](int) {},
        [this](int status) { exits_.push_back(status); },
        [this] { return answering_; },
    }};
};

using Commands = std::vector<std::pair<int, std::string>>;
using Requests = std::vector<StoreRequest>;

} // namespace svc_data_test
