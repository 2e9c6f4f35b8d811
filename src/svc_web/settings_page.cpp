/*
 * settings_page.cpp - the settings-page walk: reads a page's fields into one
 * JSON object, checks and saves a write, the serial-line tables, the checks
 * of page values, and the registry of pages that a configuration import asks.
 */
#include "settings_page.hpp"

#include "card_runtime.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace web::settings
{

struct Page::Entry {
    std::string name;
    std::string key;
    Field field;
};

namespace
{

constexpr int kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr int kDataBits[] = {5, 6, 7, 8};
constexpr int kStopBits[] = {1, 2};
constexpr int kParityCodes = 5;       // the runtime's parity codes 0-4
constexpr size_t kLongestRead = 4096; // how much of a field is looked at to tell "too long"

// ---- registry of pages ----

std::mutex& registryLock()
{
    static std::mutex m;
    return m;
}
std::vector<const Page*>& registry()
{
    static std::vector<const Page*> pages;
    return pages;
}
void enlist(const Page* p)
{
    std::lock_guard hold(registryLock());
    registry().push_back(p);
}
void delist(const Page* p)
{
    std::lock_guard hold(registryLock());
    auto& r = registry();
    r.erase(std::remove(r.begin(), r.end(), p), r.end());
}

std::string numbered(const char* pattern, int n)
{
    std::string s = pattern ? pattern : "";
    size_t at = s.find("%d");
    if (at != std::string::npos) s.replace(at, 2, std::to_string(n));
    return s;
}

bool parseInteger(std::string_view v, long long& out)
{
    if (!integerText(v) || v.size() > 18) return false;
    out = std::strtoll(std::string(v).c_str(), nullptr, 10);
    return true;
}

bool parseFloat(std::string_view v, double& out)
{
    if (v.empty() || v.size() > 40) return false;
    std::string s(v);
    char* end = nullptr;
    errno = 0;
    out = std::strtod(s.c_str(), &end);
    return errno == 0 && end == s.c_str() + s.size() && std::isfinite(out) &&
           s.find_first_of("xXnN") == std::string::npos; // no hex floats, nan, inf
}

bool inRange(const Range& r, double v)
{
    return r.max < r.min || (v >= double(r.min) && v <= double(r.max));
}

std::string floatText(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

bool isSerial(Conv c)
{
    return c == Baud || c == DataBits || c == Parity || c == StopBits;
}

// The stored text a page value becomes; nullopt when the value is refused,
// "skip" when a serial index lies outside its table (the setting stays).
struct Converted {
    bool ok = false;
    bool skip = false;
    std::string stored;
};

Converted convert(const Field& f, std::string_view v)
{
    Converted c;
    switch (f.conv) {
    case Int: {
        long long n = 0;
        if (!parseInteger(v, n) || !inRange(f.limits, double(n))) return c;
        c.stored = std::to_string(n);
        break;
    }
    case Float: {
        double d = 0;
        if (!parseFloat(v, d) || !inRange(f.limits, d)) return c;
        c.stored = floatText(d);
        break;
    }
    case Text:
        if (!(f.flags & kMultiline) && !noControl(v)) return c;
        c.stored = std::string(v);
        break;
    default: {
        auto s = serialValue(f.conv, v);
        c.ok = true;
        if (!s) {
            c.skip = true;
            return c;
        }
        c.stored = std::to_string(*s);
        return c;
    }
    }
    if (f.check && !f.check(v)) return c;
    c.ok = true;
    return c;
}

std::string logSafe(std::string_view v)
{
    std::string out;
    for (char ch : v)
        out.push_back(static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f ? ' ' : ch);
    return out;
}

size_t bufferOf(const Field& f)
{
    return f.size ? f.size : kFieldBuffer;
}

// The page value of a present field; `tooLong` when it does not fit its buffer.
std::optional<std::string> valueOf(const Request& req, const std::string& name, const Field& f,
                                   bool& tooLong)
{
    auto v = req.bodyField(name, kLongestRead);
    tooLong = v && v->size() > bufferOf(f) - 1;
    return v;
}

} // namespace

bool Write::changedKey(std::string_view key) const
{
    return std::find(changed.begin(), changed.end(), key) != changed.end();
}

Page::Page(std::initializer_list<Field> fields)
{
    for (const Field& f : fields)
        entries_.push_back(Entry{f.name, f.key ? f.key : f.name, f});
    enlist(this);
}

Page::~Page()
{
    delist(this);
}

Page::Page(Page&& other) noexcept : entries_(std::move(other.entries_))
{
    enlist(this);
}

Page& Page::list(std::initializer_list<Field> pattern, int from, int to) &
{
    for (int n = from; n <= to; ++n)
        for (const Field& f : pattern)
            entries_.push_back(Entry{numbered(f.name, n), numbered(f.key ? f.key : f.name, n), f});
    return *this;
}

Page&& Page::list(std::initializer_list<Field> pattern, int from, int to) &&
{
    list(pattern, from, to);
    return std::move(*this);
}

void Page::readInto(cJSON* doc, const Request& req) const
{
    card::Runtime& rt = card::rt();
    for (const Entry& e : entries_) {
        const Field& f = e.field;
        if ((f.flags & kSecret) && req.level < kAdministrator) {
            cJSON_AddStringToObject(doc, e.name.c_str(), "");
            continue;
        }
        switch (f.conv) {
        case Int:
            if (f.flags & kNumberText)
                cJSON_AddStringToObject(
                    doc, e.name.c_str(),
                    std::to_string(rt.integer(e.key, std::atoi(f.def))).c_str());
            else
                cJSON_AddNumberToObject(doc, e.name.c_str(), rt.integer(e.key, std::atoi(f.def)));
            break;
        case Float: {
            std::string t = rt.text(e.key, f.def);
            cJSON_AddNumberToObject(doc, e.name.c_str(), std::strtod(t.c_str(), nullptr));
            break;
        }
        case Text:
            cJSON_AddStringToObject(doc, e.name.c_str(), rt.text(e.key, f.def).c_str());
            break;
        default: {
            std::string t = rt.text(e.key, f.def);
            cJSON_AddStringToObject(doc, e.name.c_str(),
                                    t.empty() ? ""
                                              : serialIndex(f.conv, std::atoi(t.c_str())).c_str());
            break;
        }
        }
    }
}

Json Page::read(const Request& req) const
{
    Json doc = object();
    readInto(doc.get(), req);
    return doc;
}

std::string Page::check(const Request& req) const
{
    for (const Entry& e : entries_) {
        if (e.field.flags & kReadOnly) continue;
        bool tooLong = false;
        auto v = valueOf(req, e.name, e.field, tooLong);
        if (!v) continue;
        if (tooLong || !convert(e.field, *v).ok) return e.name;
    }
    return {};
}

Write Page::write(const Request& req) const
{
    Write w;
    w.refusedField = check(req);
    if (w.refused()) {
        card::rt().log("[settings] " + req.uri + ": " + w.refusedField + " refused");
        return w;
    }
    card::Runtime& rt = card::rt();
    for (const Entry& e : entries_) {
        const Field& f = e.field;
        if (f.flags & kReadOnly) continue;
        bool tooLong = false;
        auto v = valueOf(req, e.name, f, tooLong);
        std::string stored;
        if (v) {
            w.present.push_back(e.name);
            rt.log(e.name + " : " + ((f.flags & kSecret) ? std::string("******") : logSafe(*v)));
            Converted c = convert(f, *v);
            if (c.skip) continue;
            stored = c.stored;
        } else if ((f.flags & kAbsentEmpty) && !(f.flags & kSecret)) {
            stored.clear();
        } else {
            continue;
        }
        bool changed;
        if (f.conv == Int && !stored.empty())
            changed = rt.integer(e.key, std::atoi(f.def)) != std::atoi(stored.c_str()) ||
                      rt.text(e.key).empty();
        else
            changed = rt.text(e.key) != stored;
        if (changed) {
            w.changed.push_back(e.key);
            if (f.flags & kRestart) w.restart = true;
        }
        rt.save(e.key, stored);
    }
    return w;
}

namespace
{

bool storedAcceptable(const Field& f, std::string_view v)
{
    if (v.empty()) return true; // unset: the page shows its default
    if (isSerial(f.conv)) {
        long long n = 0;
        return parseInteger(v, n) && !serialIndex(f.conv, int(n)).empty();
    }
    if (v.size() > bufferOf(f) - 1 && f.conv == Text) return false;
    return convert(f, v).ok;
}

} // namespace

bool storedValueAcceptable(std::string_view key, std::string_view value)
{
    std::lock_guard hold(registryLock());
    for (const Page* p : registry())
        for (const auto& e : p->entries())
            if (e.key == key && !(e.field.flags & kReadOnly) && !storedAcceptable(e.field, value))
                return false;
    return true;
}

bool pageOwnsKey(std::string_view key)
{
    std::lock_guard hold(registryLock());
    for (const Page* p : registry())
        for (const auto& e : p->entries())
            if (e.key == key) return true;
    return false;
}

// ---- answers ----

bool refused(Reply& reply, const Write& w)
{
    if (!w.refused()) return false;
    resultOk(reply, kAnswerRefused, w.refusedField);
    return true;
}

void sendPage(Reply& reply, const cJSON* doc)
{
    char* text = doc ? cJSON_PrintUnformatted(doc) : nullptr;
    reply.kind = Reply::Kind::Text;
    reply.status = 200;
    reply.body = text ? text : "{}";
    cJSON_free(text);
    reply.header("Content-Type", "application/json");
    reply.header("Cache-Control", "no-store");
}

// ---- uploads ----

std::optional<Upload> uploadedFile(const Request& req, size_t maxBytes)
{
    std::string_view type = req.contentType;
    size_t b = type.find("boundary=");
    if (type.find("multipart/form-data") == std::string_view::npos || b == std::string_view::npos)
        return std::nullopt;
    std::string_view boundary = type.substr(b + 9);
    boundary = boundary.substr(0, boundary.find(';'));
    if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
        boundary = boundary.substr(1, boundary.size() - 2);
    if (boundary.empty() || boundary.size() > 200) return std::nullopt;
    const std::string delim = "--" + std::string(boundary);
    std::string_view body = req.body;
    size_t at = body.find(delim);
    while (at != std::string_view::npos) {
        size_t headStart = at + delim.size();
        if (body.substr(headStart, 2) != "\r\n") return std::nullopt; // "--": the end
        size_t headEnd = body.find("\r\n\r\n", headStart);
        if (headEnd == std::string_view::npos) return std::nullopt;
        std::string_view head = body.substr(headStart + 2, headEnd - headStart - 2);
        size_t dataStart = headEnd + 4;
        size_t next = body.find("\r\n" + delim, dataStart);
        if (next == std::string_view::npos) return std::nullopt;
        size_t fn = head.find("filename=\"");
        if (fn != std::string_view::npos) {
            std::string_view name = head.substr(fn + 10);
            name = name.substr(0, name.find('"'));
            size_t slash = name.find_last_of("/\\");
            if (slash != std::string_view::npos) name = name.substr(slash + 1);
            if (name.empty() || name == "." || name == ".." || name.size() > 100 ||
                !noControl(name))
                return std::nullopt;
            if (next - dataStart > maxBytes) return std::nullopt;
            return Upload{std::string(name), std::string(body.substr(dataStart, next - dataStart))};
        }
        at = next + 2;
    }
    return std::nullopt;
}

// ---- serial line tables ----

namespace
{

template <size_t N> std::string indexIn(const int (&table)[N], int stored)
{
    for (size_t i = 0; i < N; ++i)
        if (table[i] == stored) return std::to_string(i);
    return {};
}

} // namespace

std::string serialIndex(Conv table, int stored)
{
    switch (table) {
    case Baud:
        return indexIn(kBaudRates, stored);
    case DataBits:
        return std::find(std::begin(kDataBits), std::end(kDataBits), stored) != std::end(kDataBits)
                   ? std::to_string(stored)
                   : std::string();
    case Parity:
        return stored >= 0 && stored < kParityCodes ? std::to_string(stored) : std::string();
    case StopBits:
        return std::find(std::begin(kStopBits), std::end(kStopBits), stored) != std::end(kStopBits)
                   ? std::to_string(stored)
                   : std::string();
    default:
        return {};
    }
}

std::optional<int> serialValue(Conv table, std::string_view index)
{
    long long n = 0;
    if (!parseInteger(index, n) || n < 0 || n > 1'000'000) return std::nullopt;
    int i = int(n);
    switch (table) {
    case Baud:
        if (i < int(std::size(kBaudRates))) return kBaudRates[i];
        return std::nullopt;
    case DataBits:
    case StopBits:
    case Parity:
        if (!serialIndex(table, i).empty()) return i;
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

// ---- checks ----

bool noControl(std::string_view v)
{
    return std::none_of(v.begin(), v.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool integerText(std::string_view v)
{
    if (!v.empty() && (v[0] == '-' || v[0] == '+')) v.remove_prefix(1);
    return !v.empty() &&
           std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ipv4(std::string_view v)
{
    if (v.size() > 15) return false;
    in_addr a{};
    return inet_pton(AF_INET, std::string(v).c_str(), &a) == 1;
}

bool ipv6(std::string_view v)
{
    if (v.size() > 45) return false;
    in6_addr a{};
    return inet_pton(AF_INET6, std::string(v).c_str(), &a) == 1;
}

bool ipAddress(std::string_view v)
{
    return ipv4(v) || ipv6(v);
}

bool hostName(std::string_view v)
{
    if (ipAddress(v)) return true;
    if (v.empty() || v.size() > 253 || v.front() == '-' || v.front() == '.') return false;
    return std::all_of(v.begin(), v.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    });
}

bool hexByte(std::string_view v)
{
    auto hex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    return v.size() == 2 && std::all_of(v.begin(), v.end(), hex);
}

namespace
{

// Digits at `pos` (between min and max of them) as a number; -1 when absent.
int digitsAt(std::string_view v, size_t& pos, size_t min, size_t max)
{
    size_t start = pos;
    int n = 0;
    while (pos < v.size() && pos - start < max && v[pos] >= '0' && v[pos] <= '9')
        n = n * 10 + (v[pos++] - '0');
    return pos - start < min ? -1 : n;
}

} // namespace

bool timeOfDay(std::string_view v)
{
    size_t pos = 0;
    int h = digitsAt(v, pos, 1, 2);
    if (h < 0 || pos >= v.size() || v[pos++] != ':') return false;
    int m = digitsAt(v, pos, 2, 2);
    return m >= 0 && pos == v.size() && h < 24 && m < 60;
}

bool scheduleDay(std::string_view v)
{
    size_t pos = 0;
    int y = digitsAt(v, pos, 4, 4);
    if (y < 0 || pos >= v.size() || v[pos++] != '/') return false;
    int m = digitsAt(v, pos, 1, 2);
    if (m < 0 || pos >= v.size() || v[pos++] != '/') return false;
    int d = digitsAt(v, pos, 1, 2);
    if (d < 1 || pos != v.size() || m < 1 || m > 12) return false;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= kDays[m - 1] - (m == 2 && !leap ? 1 : 0);
}

bool portNumber(std::string_view v)
{
    long long n = 0;
    return parseInteger(v, n) && n >= 1 && n <= 65535;
}

bool ipv4OrEmpty(std::string_view v)
{
    return v.empty() || ipv4(v);
}

bool ipv6OrEmpty(std::string_view v)
{
    return v.empty() || ipv6(v);
}

} // namespace web::settings
