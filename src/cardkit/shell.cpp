/*
 * shell.cpp - the task shell: stop flag, side threads, and the five entry
 * points' common work (see card_plugin.hpp).
 */
#include "card_plugin.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

namespace card
{

// ---- StopFlag ----

bool StopFlag::wait(Clock::duration d)
{
    std::unique_lock lock(m_);
    // A wake that came while nobody waited still ends the next wait.
    cv_.wait_for(lock, d, [&] { return stop_.load() || wakes_ != seen_; });
    seen_ = wakes_;
    return !stop_;
}

bool StopFlag::pause(Clock::duration d)
{
    std::unique_lock lock(m_);
    cv_.wait_for(lock, d, [&] { return stop_.load(); });
    return !stop_;
}

void StopFlag::wake()
{
    {
        std::lock_guard lock(m_);
        ++wakes_;
    }
    cv_.notify_all();
}

void StopFlag::raise()
{
    {
        std::lock_guard lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
}

void StopFlag::reset()
{
    std::lock_guard lock(m_);
    stop_ = false;
}

// ---- Task ----

namespace
{

void logFailure(const char* where, const char* what)
{
    try {
        throw;
    } catch (const std::exception& e) {
        AppLogOut("[%s] %s failed: %s", where, what, e.what());
    } catch (...) {
        AppLogOut("[%s] %s failed", where, what);
    }
}

struct ThreadStart {
    std::string name;
    std::function<void()> body;
};

void* threadMain(void* arg)
{
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
    setThreadName(start->name.c_str());
    try {
        start->body();
    } catch (...) {
        logFailure(start->name.c_str(), "thread");
    }
    return nullptr;
}

} // namespace

void Task::every(Clock::duration period, const char* what, const std::function<void()>& pass)
{
    do {
        try {
            pass();
        } catch (...) {
            logFailure(what, "pass");
        }
    } while (wait(period));
}

bool Task::spawn(const char* name, std::function<void()> body, std::size_t stack)
{
    auto* start = new ThreadStart{name, std::move(body)};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack);
    pthread_t t{};
    const int rc = pthread_create(&t, &attr, threadMain, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        AppLogOut("[%s] thread could not start: %s", name, std::strerror(rc));
        return false;
    }
    threads_.push_back(static_cast<unsigned long>(t));
    return true;
}

// ---- the entry points ----

void* TaskShellBase::init(void* arg)
{
    task_.stop_.reset();
    try {
        task_.init();
    } catch (...) {
        logFailure(name_, "init");
    }
    return arg;
}

int TaskShellBase::run()
{
    setThreadName(name_);
    int rc = 0;
    try {
        task_.run();
    } catch (...) {
        logFailure(name_, "run");
        rc = -1;
    }
    // Side threads watch the same flag; make sure they see it, then wait.
    task_.stop_.raise();
    for (unsigned long t : task_.threads_)
        pthread_join(static_cast<pthread_t>(t), nullptr);
    task_.threads_.clear();
    return rc;
}

int TaskShellBase::stop()
{
    task_.stop_.raise();
    try {
        task_.stopping();
    } catch (...) {
        logFailure(name_, "stop");
        return -1;
    }
    return 0;
}

int TaskShellBase::event(int channel, int code, void* data, int size)
{
    try {
        task_.event(channel, code, data, size);
    } catch (...) {
        logFailure(name_, "event");
    }
    return 0;
}

char* TaskShellBase::info()
{
    stampInfo(info_, date_, time_);
    return info_;
}

void stampInfo(char* info, const char* date, const char* time)
{
    if (!info || !date || !time) return;
    char stamp[64];
    const int n = std::snprintf(stamp, sizeof stamp, "%s %s\n", date, time);
    const size_t len = std::strlen(info);
    if (n <= 0 || n >= static_cast<int>(sizeof stamp) || len < static_cast<size_t>(n) + 1) return;
    const size_t at = len - static_cast<size_t>(n) - 1;
    std::memcpy(info + at, stamp, static_cast<size_t>(n));
    info[len - 1] = ' ';
}

} // namespace card
