/*
 * store_queue.cpp - the request queue between the producers (every plug-in
 * calling DevCallback(4, ...)) and the store's worker.
 *
 * A request copies only what its code needs: the 4 data bytes for the battery
 * test (102) and history episodes (400-499), the text for the notification,
 * control and operation codes. A text over 200 bytes is not copied; the request
 * is still applied, with an empty text.
 */
#include "store.hpp"

#include "fieldcore.h"

#include <cstring>
#include <deque>

namespace store
{

namespace
{

std::mutex queueMutex;
std::deque<Request> queue; // arrival order

bool keepsValue(int code)
{
    return code == 102 || (code >= 400 && code <= 499);
}

bool keepsText(int code)
{
    return (code >= 500 && code <= 1249) || (code >= 1300 && code <= 1399) || code >= 1500;
}

} // namespace

int enqueueAt(int code, const void* data, int size, long long arrival)
{
    Request r;
    r.code = code;
    r.arrival = arrival;
    if (keepsValue(code)) {
        if (data && size == 4)
            std::memcpy(&r.value, data, 4);
        else
            AppLogOut("[%s] code %d without its 4-byte time (size %d)", __func__, code, size);
    }
    if (keepsText(code) && data && size > 0) {
        if (static_cast<size_t>(size) <= kTextBytes) {
            const char* p = static_cast<const char*>(data);
            r.text.assign(p, strnlen(p, static_cast<size_t>(size)));
        } else {
            AppLogOut("[%s] code %d: text of %d bytes is too long, applied without it", __func__,
                      code, size);
        }
    }
    std::lock_guard lock(queueMutex);
    queue.push_back(std::move(r));
    return 0;
}

int enqueue(int code, const void* data, int size)
{
    return enqueueAt(code, data, size, nowSeconds());
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
