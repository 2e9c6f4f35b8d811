/*
 * fake_runtime.hpp - the runtime of every plug-in's unit tests.
 *
 * Settings and signals are maps, the clock is set by the test, and every
 * event, device command, store request and log line is recorded so a test can
 * assert on what the logic asked of the card. Install it for code that calls
 * card::rt() with card::ScopedRuntime, or hand it to logic that takes a
 * card::Runtime&.
 */
#pragma once

#include "card_runtime.hpp"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace card
{

class FakeRuntime : public Runtime
{
  public:
    struct Event {
        int channel, code;
        bool operator==(const Event&) const = default;
    };
    struct Control {
        int dev;
        std::string text;
        bool operator==(const Control&) const = default;
    };
    struct StoreRequest {
        int code;
        std::string text;   // the data up to its first 0 (texts)
        std::int32_t value; // the data as a 4-byte value (when size is 4)
    };

    // ---- Runtime ----
    std::string text(const std::string& key, const std::string& def = "") override;
    int integer(const std::string& key, int def = 0) override;
    void save(const std::string& key, const std::string& value) override;
    float value(int dev, int sig) override;
    void setValue(int dev, int sig, float v) override;
    void post(int channel, int code, void* data = nullptr, int size = 0) override;
    int control(int dev, const std::string& text) override;
    int controlWait(int dev, const std::string& text, int timeoutMs) override;
    int store(int code, const void* data = nullptr, int size = 0) override;
    std::time_t now() override;
    void sleepMs(int ms) override; // advances the clock, never sleeps
    void setClock(const std::tm& local) override;
    void log(const std::string& line) override;
    void controlLog(const std::string& line) override;
    void exitProcess(int status) override; // recorded in exits, the test goes on

    // ---- the test's side ----
    // Settings as the card would hold them (texts).
    void set(const std::string& key, const std::string& value) { save(key, value); }
    void set(const std::string& key, int value) { save(key, std::to_string(value)); }
    bool has(const std::string& key) const;
    void erase(const std::string& key);
    // Signal -1 of dev (the link) reads up.
    void link(int dev, bool up) { setValue(dev, kLinkSignal, up ? 1.0f : 0.0f); }

    std::time_t clock = 1'700'000'000; // seconds since the epoch
    int controlResult = 1;             // what control/controlWait answer
    // Called for each post (after it is recorded): lets a test wire tasks.
    std::function<void(int channel, int code)> onPost;

    std::vector<Event> events;
    std::vector<Control> controls;
    std::vector<StoreRequest> stores;
    std::vector<std::string> logs;
    std::vector<std::string> controlLogs;
    std::vector<std::tm> clockSets;
    std::vector<int> exits;
    int sleptMs = 0;

    // Codes of the recorded store requests, in order.
    std::vector<int> storeCodes() const;
    // Whether any log line contains text.
    bool logged(const std::string& text) const;
    void clearRecords();

  private:
    mutable std::mutex m_; // logic under test may run a side thread
    std::map<std::string, std::string> settings_;
    std::map<std::pair<int, int>, float> signals_;
};

} // namespace card
