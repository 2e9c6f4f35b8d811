/*
 * alarm_core.hpp - the alarm task's logic, kept apart from its threads.
 *
 * Every two seconds the current-alarm pass derives the sensor limit alarms
 * (20034..20053) from the readings of the sensor device, then walks the UPS
 * alarm flags 20000..20065 and turns each change into an episode: a start
 * stamps 21000 + index, tells the mail and SMS tasks (channel::kMailStart,
 * kSmsStart) and asks the store for a current_alarm row (store::kAlarmStarted
 * + index); an end tells them on channel::kAlarmEnded, asks for the row to go
 * (kAlarmCleared + index) and parks the episode for the history worker, which
 * asks for the history_alarm row (kAlarmEpisode + index) a second later. The
 * active list is published in the settings for the web pages.
 *
 * Settings, signals, events, store requests, the clock and the log all go
 * through the card::Runtime the core is given, so tests drive a pass on a
 * card::FakeRuntime without threads.
 */
#pragma once

#include "card_runtime.hpp"

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svc_alarm
{

constexpr int kAlarmSlots = 100; // size of the per-index tables
constexpr unsigned kMaxAlarmType = 54;

// Indexes that describe running states rather than faults: never episodes.
bool isStateIndex(int index);

// One reading against its limits. A reading of exactly 0 means "no value"
// and raises nothing; the low limit is tested first, so with low >= high a
// reading between them counts as low. A missing limit is not tested.
struct LimitVerdict {
    bool low = false;
    bool high = false;
};
LimitVerdict checkLimits(double value, std::optional<double> low, std::optional<double> high);

// Strict decimal parse of a setting text (surrounding blanks allowed).
std::optional<double> parseDecimal(std::string_view text);
// Divisor of the raw sensor readings by the card's rule (card::sensorDivisorOf).
// `bad` tells whether the text was unusable (empty counts as usable: 1).
int parseDivisor(std::string_view text, bool* bad = nullptr);

// Builds the published list: indexes in increasing order joined by ",".
std::string joinIndexes(const std::vector<int>& indexes);

// The task's alarm bookkeeping (one instance per plug-in).
struct AlarmInfo {
    unsigned max_alrm_type = 0;
    unsigned curr_alarm_num = 0;
    unsigned hist_alarm_num = 0;
    std::array<std::uint8_t, kAlarmSlots> curr_alarm_id{};
    std::array<std::uint8_t, kAlarmSlots> hist_alarm_id{};
    std::array<long long, kAlarmSlots> curr_alarm_time{};
    std::array<std::array<long long, 2>, kAlarmSlots> hist_alarm_time{};
};

// An ended episode waiting for its history row.
struct EndedEpisode {
    int index;
    long long start;
    long long end;
};

class AlarmCore
{
  public:
    explicit AlarmCore(card::Runtime& rt = card::rt());

    // Start of the task: everything inactive, nothing published.
    void init();
    // One current-alarm pass (sensor alarms, episodes, publication).
    void currentPass();
    // One turn of the history worker: store requests for the ended episodes.
    void historyPass();

    // Sensor alarms alone (part of currentPass).
    void sensorPass();

    unsigned activeCount() const { return info_.curr_alarm_num; }
    unsigned waitingHistory();
    bool isActive(int index) const { return info_.curr_alarm_id[index] != 0; }

  private:
    void publish(const std::vector<int>& active);
    std::optional<double> limit(const std::string& key);
    int divisor(int sensor);
    void noteBad(const std::string& key, const std::string& value);
    void noteGood(const std::string& key);

    card::Runtime& rt_;
    AlarmInfo info_;
    std::mutex history_Mutex; // guards hist_alarm_num, hist_alarm_id, hist_alarm_time, ended_
    // Every ended episode in order. The per-index flags alone would let a second
    // end of the same index overwrite the first when the worker falls behind.
    std::vector<EndedEpisode> ended_;
    std::map<std::string, std::string> badSettings_; // logged once per bad value
};

} // namespace svc_alarm
