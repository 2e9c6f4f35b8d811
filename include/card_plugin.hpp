/*
 * card_plugin.hpp - the shell every task is written on.
 *
 * The runtime calls a task through five C entry points: DriverInit once,
 * DriverRun in a thread of its own, DriverStop at shutdown, EventFilter in
 * the poster's thread, DLLInfo for its description. The shell owns all of
 * that: the stop flag and the sleeps that end early on a stop, the side
 * threads and their join, the thread name, the catching of every exception at
 * the C edge, and the build stamp of the description. A task only says what
 * its work is:
 *
 *     class Beacon : public card::Task {
 *         void run() override { every(std::chrono::seconds(2), [] { ... }); }
 *     };
 *     CARD_TASK(Beacon, "svc_beacon", CARD_INFO("svc_beacon", "what it does"))
 *
 * Drivers have their own shell beside the frame codec (upsLib/common).
 */
#pragma once

#include "card_runtime.hpp"
#include "fieldcore.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace card
{

using Clock = std::chrono::steady_clock;

// Stack of a side thread unless the task asks for another.
constexpr std::size_t kThreadStack = 0x100000;

// A task's stop flag and the sleeps that end when it is raised.
class StopFlag
{
  public:
    // Sleeps for d unless stopped or woken (also by a wake that came since the
    // last wait); false once stopped.
    bool wait(Clock::duration d);
    // Sleeps for d unless stopped; a wake does not shorten it.
    bool pause(Clock::duration d);
    // Ends the current wait early (the task has something to do).
    void wake();
    void raise();
    void reset();
    bool raised() const { return stop_.load(); }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::atomic<bool> stop_{false};
    unsigned wakes_ = 0;
    unsigned seen_ = 0;
};

class Task
{
  public:
    virtual ~Task() = default;

    // DriverInit: settings and files the task needs before it runs.
    virtual void init() {}
    // DriverRun: the task's work, until stopped() (the shell joins the side
    // threads after it returns).
    virtual void run() = 0;
    // EventFilter, in the poster's thread: queue work, never block on I/O.
    virtual void event(int /*channel*/, int /*code*/, void* /*data*/, int /*size*/) {}
    // DriverStop, after the flag is raised: close what run() may block on.
    virtual void stopping() {}

  protected:
    bool stopped() const { return stop_.raised(); }
    bool wait(Clock::duration d) { return stop_.wait(d); }
    bool pause(Clock::duration d) { return stop_.pause(d); }
    void wake() { stop_.wake(); }
    // Runs pass now and then every period until stopped; a pass that throws
    // is logged under `what` and the next one runs as usual.
    void every(Clock::duration period, const char* what, const std::function<void()>& pass);
    // Starts a side thread with its name and stack; joined when run() returns.
    // false (and a log line) when it could not start.
    bool spawn(const char* name, std::function<void()> body, std::size_t stack = kThreadStack);

  private:
    friend class TaskShellBase;
    StopFlag stop_;
    std::vector<unsigned long> threads_;
};

// What the five entry points do, for any Task.
class TaskShellBase
{
  public:
    TaskShellBase(Task& task, const char* name, char* info, const char* date, const char* time)
        : task_(task), name_(name), info_(info), date_(date), time_(time)
    {
    }
    void* init(void* arg);
    int run();
    int stop();
    int event(int channel, int code, void* data, int size);
    char* info();

  private:
    Task& task_;
    const char* name_;
    char* info_;
    const char* date_;
    const char* time_;
};

template <class T> class TaskShell : public TaskShellBase
{
  public:
    TaskShell(const char* name, char* info, const char* date, const char* time)
        : TaskShellBase(task_, name, info, date, time)
    {
    }
    T& task() { return task_; }

  private:
    T task_;
};

// Writes "<date> <time>\n" and a blank over the tail of info so that the text
// keeps its length (the last line of a description is blanks kept for it).
void stampInfo(char* info, const char* date, const char* time);

} // namespace card

#define CARD_EXPORT extern "C" __attribute__((visibility("default")))

// The blank line a description ends with, for the build stamp.
#define CARD_STAMP_SPACE "                                        "
// A task's description in the card's usual layout.
#define CARD_INFO(name, purpose)                                                                   \
    "  " name "  module\n"                                                                         \
    "  " purpose "\n"                                                                              \
    "  Version: V1.0\n"                                                                            \
    "  Last build:\n" CARD_STAMP_SPACE

// Defines the task's entry points and its Info text. Type is default-
// constructed when the library loads and lives until it is unloaded.
#define CARD_TASK(Type, name, infoText)                                                            \
    CARD_EXPORT char Info[];                                                                       \
    char Info[] = infoText;                                                                        \
    namespace                                                                                      \
    {                                                                                              \
    card::TaskShell<Type> card_shell{name, Info, __DATE__, __TIME__};                              \
    }                                                                                              \
    CARD_EXPORT void* DriverInit(void* arg)                                                        \
    {                                                                                              \
        return card_shell.init(arg);                                                               \
    }                                                                                              \
    CARD_EXPORT int DriverRun(void*)                                                               \
    {                                                                                              \
        return card_shell.run();                                                                   \
    }                                                                                              \
    CARD_EXPORT int DriverStop(void*)                                                              \
    {                                                                                              \
        return card_shell.stop();                                                                  \
    }                                                                                              \
    CARD_EXPORT int EventFilter(int channel, int code, void* data, int size)                       \
    {                                                                                              \
        return card_shell.event(channel, code, data, size);                                        \
    }                                                                                              \
    CARD_EXPORT char* DLLInfo(void)                                                                \
    {                                                                                              \
        return card_shell.info();                                                                  \
    }
