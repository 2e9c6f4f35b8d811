// Producers queueing from many threads while the worker applies batches and the
// web's readers run: built with ThreadSanitizer. No request may be lost, none
// written twice, and nothing may deadlock.
#include "store_readers.h"
#include "store_test_env.hpp"

#include "card_rules.hpp"
#include "fieldcore.h"

#include <atomic>
#include <future>
#include <set>
#include <thread>

using namespace storetest;
using store::DbFile;

TEST_F(StoreTest, ProducersWorkerAndReadersTogether)
{
    constexpr int kProducers = 8;
    constexpr int kEach = 120; // 960 operation rows stay below that table's limit of 1000
    const std::string today = card::timeText(fake.clock).substr(0, 10);

    DriverInit(nullptr);
    store::setBatchPeriod(std::chrono::milliseconds(5));
    std::thread worker([] { DriverRun(nullptr); });

    std::atomic<bool> producing{true};
    std::vector<std::thread> readers;
    std::atomic<long> reads{0};
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&, r] {
            std::vector<char> buf(STORE_CHART_ROWS * STORE_CHART_ROW);
            while (producing) {
                std::fill(buf.begin(), buf.end(), 0);
                if (r == 0)
                    GetHistoryAlarmDataBase(r % 6, today.c_str(), 1, buf.data());
                else if (r == 1)
                    GetSmsDataBase(today.c_str(), 2, buf.data());
                else
                    store::applyQueueNow(); // a second applier beside the worker
                ++reads;
                std::this_thread::yield();
            }
        });
    }

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([p] {
            for (int i = 0; i < kEach; ++i) {
                const std::string text = "p" + std::to_string(p) + "-" + std::to_string(i);
                DevCallback(card::kStoreServer, card::store::kOperation + p,
                            const_cast<char*>(text.c_str()), static_cast<int>(text.size()) + 1);
                DevCallback(card::kStoreServer, card::store::kAlarmStarted + p, nullptr, 0);
                if (i % 10 == 0)
                    DevCallback(card::kStoreServer, card::store::kSmsAlarmStart + p,
                                const_cast<char*>(text.c_str()), static_cast<int>(text.size()) + 1);
            }
        });
    }
    for (auto& t : producers)
        t.join();
    producing = false;
    for (auto& t : readers)
        t.join();

    // Stopping must not hang: the worker wakes, writes what is left and ends.
    auto stopped = std::async(std::launch::async, [&] {
        DriverStop(nullptr);
        worker.join();
    });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    store::setBatchPeriod(std::chrono::milliseconds(2000));
    EXPECT_EQ(store::queuedCount(), 0u);
    EXPECT_GT(reads.load(), 0);

    const Rows ops = query(DbFile::Operation, "select Source, Operate_Id from operation_record");
    ASSERT_EQ(ops.size(), static_cast<size_t>(kProducers * kEach));
    std::set<std::string> seen;
    for (const auto& r : ops) {
        EXPECT_TRUE(seen.insert(r[0]).second) << "twice: " << r[0];
        EXPECT_EQ(r[0].substr(1, r[0].find('-') - 1), r[1]);
    }
    EXPECT_EQ(count(DbFile::Alarm, "current_alarm"), kProducers * kEach);
    EXPECT_EQ(count(DbFile::Sms, "sms_record"), kProducers * kEach / 10);

    // Each producer's rows keep the order it queued them in.
    for (int p = 0; p < kProducers; ++p) {
        const Rows mine =
            query(DbFile::Operation, "select Source from operation_record where Operate_Id='" +
                                         std::to_string(p) + "' order by rowid");
        ASSERT_EQ(mine.size(), static_cast<size_t>(kEach));
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(mine[static_cast<size_t>(i)][0],
                      "p" + std::to_string(p) + "-" + std::to_string(i));
    }
}
