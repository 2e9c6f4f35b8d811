/*
 * store_queue.cpp - the request queue between the producers (every plug-in
 * calling DevCallback(card::kStoreServer, ...)) and the store's worker.
 *
 * A request copies only what its code's row of kRequestCodes keeps: the 4 data
 * bytes (battery test, alarm start and history episodes: a start time) or the text
 * (notifications, control actions, operations). A text over
 * card::store::kTextBytes bytes is not copied; the request is still applied,
 * with an empty text.
 */
#include "store.hpp"

#include "card_runtime.hpp"

#include <cstring>
#include <deque>

namespace store
{

namespace
{

std::mutex queueMutex;
std::deque<Request> queue; // arrival order

} // namespace

int enqueueAt(int code, const void* data, int size, long long arrival)
{
    Request r;
    r.code = code;
    r.arrival = arrival;
    const RequestCode* kind = requestCode(code);
    const Keeps keeps = kind ? kind->keeps : Keeps::Nothing;
    if (keeps == Keeps::Value || keeps == Keeps::StartTimeIfGiven) {
        if (data && size == sizeof r.value)
            std::memcpy(&r.value, data, sizeof r.value);
        else if (keeps == Keeps::Value || data || size)
            logLine("[%s] code %d without its 4-byte time (size %d)", __func__, code, size);
    }
    if (keeps == Keeps::Text && data && size > 0) {
        if (size <= card::store::kTextBytes) {
            const char* p = static_cast<const char*>(data);
            r.text.assign(p, strnlen(p, static_cast<size_t>(size)));
        } else {
            logLine("[%s] code %d: text of %d bytes is too long, applied without it", __func__,
                    code, size);
        }
    }
    std::lock_guard lock(queueMutex);
    queue.push_back(std::move(r));
    return 0;
}

int enqueue(int code, const void* data, int size)
{
    return enqueueAt(code, data, size, card::rt().now());
}

size_t queuedCount()
{
    std::lock_guard lock(queueMutex);
    return queue.size();
}

std::vector<Request> takeQueue()
{
    std::lock_guard lock(queueMutex);
    std::vector<Request> batch(std::make_move_iterator(queue.begin()),
                               std::make_move_iterator(queue.end()));
    queue.clear();
    return batch;
}

} // namespace store
