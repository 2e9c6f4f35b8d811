/*
 * store_plugin.cpp - svc_store on the card's task shell: the plug-in the
 * runtime registers as server card::kStoreServer.
 *
 * init() makes the data directory, notes when the card last stopped, creates
 * missing database files and registers the request callback. run() first
 * closes out the alarms left from before the restart, then applies the queue
 * every 2 s; once stopped it still writes whatever arrived before the stop.
 * A flush request (card::store::kFlush, sent by the runtime before the program
 * ends) writes the queue at once and answers when it is written.
 */
#include "store.hpp"

#include "card_plugin.hpp"
#include "platform.hpp"

#include <atomic>

namespace store
{

namespace
{

std::atomic<std::chrono::milliseconds::rep> batchPeriodMs{2000};

constexpr auto kFlushLimit = std::chrono::seconds(5);

int storeCallback(int code, void* data, int size)
{
    try {
        if (code == card::store::kFlush) return flushQueue(kFlushLimit);
        return enqueue(code, data, size);
    } catch (...) {
        return -1;
    }
}

class StoreTask : public card::Task
{
    void init() override
    {
        platform::makeDirs(platform::appPath("/root/app/data"));
        lastEnd_ = lastEndFromSettings();
        createMissingDatabases();
        RegisterDevCallback(card::kStoreServer, storeCallback);
    }

    void run() override
    {
        closeOutOldAlarms(lastEnd_);
        every(std::chrono::milliseconds(batchPeriodMs.load()), "store batch", applyQueueNow);
        applyQueueNow();
    }

    long long lastEnd_ = 0; // when the card last stopped, read before anything changes it
};

} // namespace

void setBatchPeriod(std::chrono::milliseconds period)
{
    batchPeriodMs = period.count();
}

} // namespace store

CARD_TASK(store::StoreTask, "svc_store",
          CARD_INFO("svc_store", "Record store: databases, write queue, retention, log readers"))
