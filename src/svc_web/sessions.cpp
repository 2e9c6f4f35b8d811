/*
 * sessions.cpp - the table of logged-in browsers. Ten slots. A login that
 * finds them all taken makes room by evicting: first the least recently used
 * session of the same account, then the least recently used one whose level
 * is not above the newcomer's, so ten viewer logins never push an
 * administrator out; when nothing may go, the login is refused. Sessions idle
 * for longer than the limit are released by the periodic check. The table
 * knows no clock and no random source: callers pass both in.
 */
#include "web_core.hpp"

#include <cctype>

namespace web
{

namespace
{

bool sameAccount(const Session& a, const Session& b)
{
    return a.slot == b.slot && a.user == b.user;
}

} // namespace

SessionTable::Admission SessionTable::create(Session s, double now)
{
    Admission a;
    Session* slot = nullptr;
    for (auto& cur : slots_)
        if (cur.id == 0) {
            slot = &cur;
            break;
        }
    // The least recently used session that `may` give up its slot.
    auto oldest = [&](auto may) {
        Session* pick = nullptr;
        for (auto& cur : slots_)
            if (may(cur) && (!pick || cur.lastUsed < pick->lastUsed)) pick = &cur;
        return pick;
    };
    if (!slot) slot = oldest([&](const Session& cur) { return sameAccount(cur, s); });
    if (!slot) slot = oldest([&](const Session& cur) { return cur.level <= s.level; });
    if (!slot) return a;
    if (slot->id != 0) a.evicted = *slot;
    s.created = s.lastUsed = now;
    s.handOff = 0;
    *slot = std::move(s);
    a.admitted = true;
    return a;
}

std::optional<Session> SessionTable::remove(uint64_t id)
{
    if (id == 0) return std::nullopt;
    for (auto& s : slots_)
        if (s.id == id) {
            Session gone = s;
            s = Session{};
            return gone;
        }
    return std::nullopt;
}

Session* SessionTable::find(uint64_t id, double now)
{
    if (id == 0) return nullptr;
    for (auto& s : slots_)
        if (s.id == id) {
            s.lastUsed = now;
            return &s;
        }
    return nullptr;
}

std::vector<Session> SessionTable::expire(double now, double idle)
{
    std::vector<Session> gone;
    for (auto& s : slots_)
        if (s.id != 0 && s.lastUsed < now - idle) {
            gone.push_back(s);
            s = Session{};
        }
    return gone;
}

size_t SessionTable::count() const
{
    size_t n = 0;
    for (const auto& s : slots_)
        n += s.id != 0;
    return n;
}

uint64_t cookieSessionId(std::string_view header)
{
    constexpr size_t kMaxValue = 20;
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find(';', pos);
        if (end == std::string_view::npos) end = header.size();
        std::string_view item = header.substr(pos, end - pos);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        size_t eq = item.find('=');
        if (eq != std::string_view::npos && item.substr(0, eq) == "mgs") {
            std::string_view v = item.substr(eq + 1);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
                v.remove_suffix(1);
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            if (v.empty() || v.size() > kMaxValue || v.size() > 16) return 0;
            uint64_t id = 0;
            for (char c : v) {
                if (!std::isxdigit(static_cast<unsigned char>(c))) return 0;
                id = id * 16 + static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                                         ? c - '0'
                                                         : std::tolower(c) - 'a' + 10);
            }
            return id;
        }
        pos = end + 1;
    }
    return 0;
}

} // namespace web
