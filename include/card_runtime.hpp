/*
 * card_runtime.hpp - the runtime as a plug-in's logic sees it.
 *
 * Plug-in logic (passes, handlers, register maps) talks to the card through
 * one interface: settings, signals, events, device commands, store requests,
 * the clock and the logs. On the card `card::rt()` is the runtime itself
 * (libfieldcore's C interface behind it); a unit test installs a
 * `card::FakeRuntime` (tests/support/fake_runtime.hpp) with
 * `card::ScopedRuntime`, or hands one to the logic it builds, and so drives a
 * pass, a handler or a schedule without threads, ports or a settings file.
 */
#pragma once

#include "card.hpp"

#include <cmath>
#include <cstdint>
#include <ctime>
#include <string>

namespace card
{

class Runtime
{
  public:
    virtual ~Runtime() = default;

    // ---- settings: read at each use, every read names its default ----
    virtual std::string text(const std::string& key, const std::string& def = "") = 0;
    // The runtime's integer reading of the stored text (atoi), def when unset.
    virtual int integer(const std::string& key, int def = 0) = 0;
    virtual void save(const std::string& key, const std::string& value) = 0;
    void saveInt(const std::string& key, int value) { save(key, std::to_string(value)); }

    // ---- signals ----
    virtual float value(int dev, int sig) = 0;
    virtual void setValue(int dev, int sig, float v) = 0;
    // The runtime's integer reading (truncated); 0 for a value that is no
    // finite number within int's range, as GetDevIValue reads it.
    int intValue(int dev, int sig)
    {
        const float v = value(dev, sig);
        const bool fits = std::isfinite(v) && v <= 2147483520.0f && v >= -2147483520.0f;
        return fits ? static_cast<int>(v) : 0;
    }
    bool answering(int dev) { return value(dev, kLinkSignal) != 0; }

    // ---- events and device commands ----
    virtual void post(int channel, int code, void* data = nullptr, int size = 0) = 0;
    // UPS command n for the data task (channel 0).
    void command(int n) { post(channel::kCommand, n); }
    // Queues a command text for the device's driver: 1 queued, 0 refused.
    virtual int control(int dev, const std::string& text) = 0;
    // The same, waiting for the driver's result (-1 on time-out).
    virtual int controlWait(int dev, const std::string& text, int timeoutMs) = 0;

    // ---- store requests (server kStoreServer) ----
    virtual int store(int code, const void* data = nullptr, int size = 0) = 0;
    // A request carrying a text (cut to the store's text size).
    int storeText(int code, const std::string& text);
    // A request carrying a 4-byte value (battery test start, episode start).
    int storeValue(int code, std::int32_t value) { return store(code, &value, sizeof value); }

    // ---- clock ----
    virtual std::time_t now() = 0;
    virtual void sleepMs(int ms) = 0;
    // Sets the system clock and the hardware clock to this local time.
    virtual void setClock(const std::tm& local) = 0;

    // ---- logs ----
    virtual void log(const std::string& line) = 0;        // the application log
    virtual void controlLog(const std::string& line) = 0; // the control log

    // ---- the process ----
    // Ends the program at once (the launcher starts it again): buffered output
    // is flushed, no static destructor runs while other plug-in threads work.
    virtual void exitProcess(int status) = 0;
};

// The runtime this plug-in's logic uses: the card's own unless a test
// installed another.
Runtime& rt();

// Installs a runtime for the life of the object (tests), restoring the
// previous one afterwards. Not meant to be swapped while plug-in threads run.
class ScopedRuntime
{
  public:
    explicit ScopedRuntime(Runtime& r);
    ~ScopedRuntime();
    ScopedRuntime(const ScopedRuntime&) = delete;
    ScopedRuntime& operator=(const ScopedRuntime&) = delete;

  private:
    Runtime* previous_;
};

// The card's runtime (libfieldcore). Exposed so that logic can be built on it
// explicitly; rt() returns it by default.
Runtime& cardRuntime();

} // namespace card
