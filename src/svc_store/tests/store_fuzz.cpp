// libFuzzer target for what reaches the store from outside: request codes with
// arbitrary data (texts of any length, missing values) applied to the databases,
// and the readers' date, page and type arguments as the web passes them on.
#include "store.hpp"
#include "store_readers.h"

#include "fieldcore.hpp"
#include "platform.hpp"
#include "scratch.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string dir = fuzzScratchDir("store_fuzz");
    setenv("CARDMON_APP_DIR", dir.c_str(), 1);
    std::filesystem::create_directories(dir + "/data");
    fieldcore::resetForTests(platform::appDir());
    store::createMissingDatabases();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    const int selector = data[0] % 8;
    const int number = data[1] | (data[2] << 8);
    const int small = data[3];
    const std::string text(reinterpret_cast<const char*>(data + 4), size - 4);

    std::vector<char> page(STORE_CHART_ROWS * STORE_CHART_ROW, 0);
    switch (selector) {
    case 0:
    case 1:
        // Any code, data of any size (the value codes take 4 bytes).
        store::enqueue(number - 1000, text.data(), static_cast<int>(text.size()));
        store::applyQueueNow();
        break;
    case 2:
        GetHistoryAlarmDataBase(small % 8 - 1, text.c_str(), number % 5 - 1, page.data());
        break;
    case 3:
        GetUpsDataBase(text.c_str(), number % 5 - 1, small % 7 - 1, page.data());
        break;
    case 4: {
        int types[4] = {number % 30, small % 30, (number >> 4) % 30, 7};
        GetUpsChartDataBase(text.c_str(), "2026-12-31 23:59:59", small % 7 - 1, types, page.data());
        break;
    }
    case 5:
        GetSmsDataBase(text.c_str(), number % 4, page.data());
        GetEmailDataBase(text.c_str(), number % 4, page.data());
        break;
    case 6:
        GetBatTestDataBase(text.c_str(), number % 4, page.data());
        break;
    default:
        StoreEventStartText(small - 128, number - 1000);
        StoreEventEndText(small - 128, number - 1000);
        break;
    }
    return 0;
}
