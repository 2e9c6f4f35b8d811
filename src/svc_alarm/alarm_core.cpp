/*
 * alarm_core.cpp - sensor limit alarms, alarm episodes and their publication.
 */
#include "alarm_core.hpp"

#include "card_rules.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace svc_alarm
{

namespace
{

// Per sensor n = i + 1: the alarm signals it drives on the UPS device (the
// sensor device raises its own lost flag under the same number).
constexpr int kSensorLostBase = Alarm_TH1_CommunicationsLost; // + i
constexpr int kSensorLimitBase = Alarm_TH1_Temp_Hi;           // + 4i: temp hi, lo, hum hi, lo
// Readings of the sensor device.
constexpr int kTemperatureBase = Data_temperature_1; // + i
constexpr int kHumidityBase = Data_humidity_1;       // + i

std::string key(const char* format, int n)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, format, n);
    return buf;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// Alarm flags are read as unsigned integers: only a whole 1 (or 1.x) is active.
unsigned flagValue(float v)
{
    if (!(v >= 0.0f) || v >= 4294967296.0f)
        return 2; // neither 0 nor 1: leaves the episode as it is
    return static_cast<unsigned>(v);
}

} // namespace

bool isStateIndex(int index)
{
    return index == Alarm_RectifierRun - ALARM_BASE || index == Alarm_InverterRun - ALARM_BASE ||
           index == Alarm_UpsType - ALARM_BASE;
}

LimitVerdict checkLimits(double value, std::optional<double> low, std::optional<double> high)
{
    LimitVerdict v;
    if (value == 0.0) return v;
    if (low && value <= *low)
        v.low = true;
    else if (high && value >= *high)
        v.high = true;
    return v;
}

std::optional<double> parseDecimal(std::string_view text)
{
    text = trim(text);
    if (text.empty() || text.size() > 31) return std::nullopt;
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    double d = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(d))
        return std::nullopt;
    // strtod also takes hexadecimal and "inf"/"nan"; limits are plain decimals.
    for (char c : s)
        if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+'))
            return std::nullopt;
    return d;
}

int parseDivisor(std::string_view text, bool* bad)
{
    const int d = card::sensorDivisorOf(text);
    if (bad) *bad = !trim(text).empty() && card::parseInt(text, 0) != d;
    return d;
}

std::string joinIndexes(const std::vector<int>& indexes)
{
    std::string out;
    for (int i : indexes) {
        if (!out.empty()) out += ',';
        out += std::to_string(i);
    }
    return out;
}

AlarmCore::AlarmCore(card::Runtime& rt) : rt_(rt) {}

void AlarmCore::init()
{
    {
        std::lock_guard<std::mutex> lock(history_Mutex);
        info_ = AlarmInfo{};
        info_.max_alrm_type = kMaxAlarmType;
        ended_.clear();
    }
    badSettings_.clear();
    rt_.saveInt("curr_alarm_num", 0);
    rt_.save("curr_alarm_id", "");
}

void AlarmCore::noteBad(const std::string& k, const std::string& value)
{
    auto it = badSettings_.find(k);
    if (it != badSettings_.end() && it->second == value) return;
    badSettings_[k] = value;
    rt_.log("[svc_alarm] setting " + k + " has an unusable value \"" + value + "\", ignored");
}

void AlarmCore::noteGood(const std::string& k)
{
    badSettings_.erase(k);
}

std::optional<double> AlarmCore::limit(const std::string& k)
{
    const std::string text = rt_.text(k);
    auto v = parseDecimal(text);
    if (v)
        noteGood(k);
    else
        noteBad(k, text);
    return v;
}

// The card-wide divisor; a text that falls back to 1 is logged once.
int AlarmCore::divisor(int sensor)
{
    const std::string k = key("temp_conver%d", sensor);
    const std::string text = rt_.text(k);
    bool bad = false;
    parseDivisor(text, &bad);
    if (bad)
        noteBad(k, text);
    else
        noteGood(k);
    return card::sensorDivisor(rt_, sensor);
}

void AlarmCore::sensorPass()
{
    const std::string moduleText = rt_.text("curr_module_num");
    int modules = 0;
    if (auto m = parseDecimal(moduleText); m && *m >= 0 && *m == std::floor(*m)) {
        modules = static_cast<int>(std::min(*m, double(card::kSensorModules)));
        noteGood("curr_module_num");
    } else if (!trim(moduleText).empty()) {
        noteBad("curr_module_num", moduleText);
    }
    const bool enabled = rt_.integer("ths_enable", 0) == 1 && rt_.integer("use_dev_fun5", 1) == 1;

    for (int i = 0; i < card::kSensorModules; ++i) {
        const int n = i + 1;
        const int lostSig = kSensorLostBase + i;
        const int tempHi = kSensorLimitBase + 4 * i;
        const int tempLo = tempHi + 1;
        const int humHi = tempHi + 2;
        const int humLo = tempHi + 3;

        if (n > modules || !enabled) {
            for (int s : {lostSig, tempHi, tempLo, humHi, humLo})
                rt_.setValue(card::kUps, s, 0);
            continue;
        }
        if (rt_.value(card::kSensors, kSensorLostBase + i) == 1.0f) {
            rt_.setValue(card::kUps, lostSig, 1);
            for (int s : {tempHi, tempLo, humHi, humLo})
                rt_.setValue(card::kUps, s, 0);
            continue;
        }
        auto th = limit(key("in_temph%d", n));
        auto tl = limit(key("in_templ%d", n));
        auto hh = limit(key("in_humih%d", n));
        auto hl = limit(key("in_humil%d", n));
        const double d = divisor(n);
        const double t = rt_.value(card::kSensors, kTemperatureBase + i) / d;
        const double h = rt_.value(card::kSensors, kHumidityBase + i) / d;

        LimitVerdict tv = checkLimits(t, tl, th);
        LimitVerdict hv = checkLimits(h, hl, hh);
        rt_.setValue(card::kUps, tempLo, tv.low ? 1 : 0);
        rt_.setValue(card::kUps, tempHi, tv.high ? 1 : 0);
        rt_.setValue(card::kUps, humLo, hv.low ? 1 : 0);
        rt_.setValue(card::kUps, humHi, hv.high ? 1 : 0);
        rt_.setValue(card::kUps, lostSig, 0);
    }
}

void AlarmCore::currentPass()
{
    sensorPass();

    bool changed = false;
    std::vector<int> active;
    for (int index = 0; index < ALARM_COUNT; ++index) {
        if (isStateIndex(index)) continue;
        const unsigned value = flagValue(rt_.value(card::kUps, ALARM_BASE + index));
        if (value == 1) {
            if (!info_.curr_alarm_id[index]) {
                const long long start = rt_.now();
                info_.curr_alarm_id[index] = 1;
                info_.curr_alarm_time[index] = start;
                card::setAlarmStart(rt_, index, start);
                rt_.post(card::channel::kMailStart, index);
                rt_.post(card::channel::kSmsStart, index);
                rt_.storeValue(card::store::kAlarmStarted + index,
                               static_cast<std::int32_t>(start));
                rt_.log("[svc_alarm] alarm " + std::to_string(index) +
                        " started, posted on channels " +
                        std::to_string(card::channel::kMailStart) + " and " +
                        std::to_string(card::channel::kSmsStart));
                changed = true;
            }
            active.push_back(index);
        } else if (value == 0 && info_.curr_alarm_id[index]) {
            {
                std::lock_guard<std::mutex> lock(history_Mutex);
                info_.curr_alarm_id[index] = 0;
                info_.hist_alarm_id[index] = 1;
                info_.hist_alarm_time[index][0] = info_.curr_alarm_time[index];
                info_.curr_alarm_time[index] = 0;
                card::setAlarmStart(rt_, index, 0);
                info_.hist_alarm_time[index][1] = rt_.now();
                ++info_.hist_alarm_num;
                ended_.push_back(
                    {index, info_.hist_alarm_time[index][0], info_.hist_alarm_time[index][1]});
            }
            rt_.post(card::channel::kAlarmEnded, index);
            rt_.store(card::store::kAlarmCleared + index);
            rt_.log("[svc_alarm] alarm " + std::to_string(index) + " ended, posted on channel " +
                    std::to_string(card::channel::kAlarmEnded));
            changed = true;
        }
    }

    if (changed && rt_.value(card::kCard, SYS_DATA_ALARM_CHANGE) == 0.0f)
        rt_.setValue(card::kCard, SYS_DATA_ALARM_CHANGE, 1);

    info_.curr_alarm_num = static_cast<unsigned>(active.size());
    {
        std::lock_guard<std::mutex> lock(history_Mutex);
        info_.hist_alarm_num = static_cast<unsigned>(ended_.size());
    }
    publish(active);
}

// The web pages read the active list from the settings. While the UPS link is
// lost every other flag is stale, so only the communication loss is shown.
void AlarmCore::publish(const std::vector<int>& active)
{
    int count = 0;
    std::string list;
    if (!active.empty()) {
        if (rt_.integer("ups_lost") == 1) {
            count = 1;
            list = std::to_string(Alarm_CommunicationsLost - ALARM_BASE);
        } else {
            count = static_cast<int>(active.size());
            list = joinIndexes(active);
        }
    }
    // Saved only when different: the store is persistent and the pass frequent.
    if (rt_.integer("curr_alarm_num", -1) != count) rt_.saveInt("curr_alarm_num", count);
    if (rt_.text("curr_alarm_id", "\x01") != list) rt_.save("curr_alarm_id", list);
}

unsigned AlarmCore::waitingHistory()
{
    std::lock_guard<std::mutex> lock(history_Mutex);
    return info_.hist_alarm_num;
}

void AlarmCore::historyPass()
{
    std::vector<EndedEpisode> batch;
    {
        std::lock_guard<std::mutex> lock(history_Mutex);
        batch.swap(ended_);
        info_.hist_alarm_id.fill(0);
        for (auto& t : info_.hist_alarm_time)
            t = {0, 0};
        info_.hist_alarm_num = 0;
    }
    // In increasing index order; episodes of one index keep their order.
    std::stable_sort(batch.begin(), batch.end(), [](const EndedEpisode& a, const EndedEpisode& b) {
        return a.index < b.index;
    });
    for (const EndedEpisode& e : batch) {
        // The store takes the start as a 4-byte value; the end is the moment
        // the request reaches its queue.
        rt_.storeValue(card::store::kAlarmEpisode + e.index, static_cast<std::int32_t>(e.start));
    }
}

} // namespace svc_alarm
