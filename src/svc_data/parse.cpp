/*
 * parse.cpp - strict readers for the task's text settings, local calendar
 * helpers and the port parameter comparison.
 */
#include "data_core.hpp"

#include "card_rules.hpp"
#include "fieldcore.h"

#include <cctype>
#include <charconv>

namespace svc_data
{

namespace
{

std::string_view trim(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

// Reads 1..maxDigits decimal digits from s at pos.
std::optional<int> digits(std::string_view s, size_t& pos, size_t minDigits, size_t maxDigits)
{
    size_t start = pos;
    while (pos < s.size() && pos - start < maxDigits &&
           std::isdigit(static_cast<unsigned char>(s[pos])))
        ++pos;
    if (pos - start < minDigits) return std::nullopt;
    int v = 0;
    std::from_chars(s.data() + start, s.data() + pos, v);
    return v;
}

bool leapYear(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

} // namespace

std::optional<int> parseClock(std::string_view text)
{
    text = trim(text);
    size_t pos = 0;
    auto h = digits(text, pos, 1, 2);
    if (!h || pos >= text.size() || text[pos] != ':') return std::nullopt;
    ++pos;
    auto m = digits(text, pos, 2, 2);
    if (!m || pos != text.size() || *h > 23 || *m > 59) return std::nullopt;
    return *h * 60 + *m;
}

std::optional<Date> parseDate(std::string_view text)
{
    text = trim(text);
    size_t pos = 0;
    auto y = digits(text, pos, 4, 4);
    if (!y || pos >= text.size() || text[pos++] != '/') return std::nullopt;
    auto m = digits(text, pos, 1, 2);
    if (!m || pos >= text.size() || text[pos++] != '/') return std::nullopt;
    auto d = digits(text, pos, 1, 2);
    if (!d || pos != text.size() || *m < 1 || *m > 12 || *d < 1) return std::nullopt;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int last = kDays[*m - 1] + ((*m == 2 && leapYear(*y)) ? 1 : 0);
    if (*d > last) return std::nullopt;
    return Date{*y, *m, *d};
}

std::optional<long> parseInteger(std::string_view text)
{
    text = trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    long v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
    return v;
}

std::tm localTm(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

std::string minuteText(std::time_t t)
{
    return card::timeText(t).substr(0, 16); // "YYYY-MM-DD HH:MM"
}

int daysToWeekday(int from, int target)
{
    return ((target - from) % 7 + 7) % 7;
}

std::time_t nextTestTime(std::time_t last, int cycleWeeks, int weekday)
{
    // Calendar arithmetic through mktime keeps the time of day across DST changes.
    std::tm tm = localTm(last);
    tm.tm_mday += 7 * cycleWeeks;
    tm.tm_isdst = -1;
    std::time_t next = std::mktime(&tm); // normalises tm, sets tm_wday
    tm.tm_mday += daysToWeekday(tm.tm_wday, weekday);
    tm.tm_isdst = -1;
    next = std::mktime(&tm);
    return next;
}

void BadValueLog::bad(const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> lock(m_);
    auto it = seen_.find(key);
    if (it != seen_.end() && it->second == value) return;
    seen_[key] = value;
    rt_.log("[svc_data] setting " + key + " has an unusable value \"" + value + "\", ignored");
}

void BadValueLog::good(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_);
    seen_.erase(key);
}

std::vector<PortChange> portChanges(const PortConfig& cached, const PortConfig& current)
{
    std::vector<PortChange> out;
    if (cached.baud != current.baud) out.push_back({COMM_CTL_BAUD, current.baud});
    if (cached.dataBits != current.dataBits) out.push_back({COMM_CTL_DATABITS, current.dataBits});
    if (cached.stopBits != current.stopBits) out.push_back({COMM_CTL_STOPBITS, current.stopBits});
    if (cached.checkWay != current.checkWay) out.push_back({COMM_CTL_PARITY, current.checkWay});
    return out;
}

} // namespace svc_data
