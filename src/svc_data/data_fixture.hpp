// Test fixture for the data task: the recording runtime with a UPS that
// answers, a clock in UTC, and a scratch directory for the task's files.
#pragma once

#include "data_core.hpp"

#include "fake_runtime.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace svc_data_test
{

using Commands = std::vector<card::FakeRuntime::Control>;

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
        std::filesystem::create_directories(dir_ + "/config");
        std::filesystem::create_directories(dir_ + "/data");
        rt_.clock = at(2026, 12, 8, 12, 0); // a Tuesday
        rt_.link(card::kUps, true);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Codes of the store requests since the last call.
    std::vector<int> takeStore()
    {
        auto out = rt_.storeCodes();
        rt_.stores.clear();
        return out;
    }
    Commands takeCommands()
    {
        auto out = rt_.controls;
        rt_.controls.clear();
        return out;
    }
    float ups(int sig) { return rt_.value(card::kUps, sig); }
    // The text of a file the task wrote under its directory.
    std::string file(const std::string& relative)
    {
        std::ifstream f(dir_ + "/" + relative);
        return {std::istreambuf_iterator<char>(f), {}};
    }
    long logCount(const std::string& needle)
    {
        return std::count_if(rt_.logs.begin(), rt_.logs.end(), [&](const std::string& l) {
            return l.find(needle) != std::string::npos;
        });
    }

    const std::string dir_ = ::testing::TempDir() + "svc_data_test." + std::to_string(getpid());
    card::FakeRuntime rt_;
    svc_data::DataCore core_{rt_, dir_};
};

} // namespace svc_data_test
