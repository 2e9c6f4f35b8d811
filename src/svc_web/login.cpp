/*
 * login.cpp - the login gate in front of every request, the login and
 * first-use serial-number forms, the session table with its idle check, and
 * the hand-off of the user's name and level to the pages through "/sysTime".
 *
 * Failed logins are counted per source address (an IPv6 /64), each in a
 * window of its own: ten failures close the window for that address only, so
 * a password guesser never locks the administrator out from elsewhere.
 * A session lives as long as its account stays as it was at login: when the
 * user is deleted, demoted, given a new password or a new filter, the next
 * request with the old cookie finds the session ended. "/logout" ends one.
 * Session identifiers are bearer secrets: they go into the cookie and
 * nowhere else, never into the output or a log. An administrator who logs in
 * with the factory password is held on the first-password page (access.cpp)
 * until he has chosen his own.
 *
 * Requests run on many server threads at once (a handler may call the card's
 * own server through the loopback client), so the sessions and the login
 * counters live under one lock, held only for table work, never across I/O.
 */
#include "web.hpp"

#include "card_rules.hpp"
#include "platform.hpp"

#include <cjson/cJSON.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <strings.h>
#include <sys/random.h>
#include <unordered_map>

namespace web
{

namespace
{

constexpr const char* kProductFile = "config/PRODUCT";
constexpr const char* kCookieName = "mgs";
constexpr int kMaxFailures = 9; // the tenth failure in a window closes it
constexpr double kDefaultIdle = 300;
constexpr double kDefaultWindow = 60;
constexpr double kDefaultCheck = 30;

// Tests shorten the idle limit and the failure window; read once at start.
double envSeconds(const char* name, double def)
{
    const char* v = std::getenv(name);
    double d = v ? std::atof(v) : 0;
    return d > 0 ? d : def;
}
const double kIdle = envSeconds("CARDMON_TEST_SESSION_IDLE", kDefaultIdle);
const double kWindow = envSeconds("CARDMON_TEST_LOGIN_WINDOW", kDefaultWindow);

// Seconds on a clock that setting the card's date does not move.
double now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Failed logins of one source in its current window.
struct Failures {
    int count = 0;
    double windowStart = 0;
};
constexpr size_t kMaxSources = 4096; // counters kept at most; the oldest windows go first

std::mutex g_lock;
SessionTable g_sessions;
std::unordered_map<std::string, Failures> g_failures;
double g_lastPrune = now();

// Caller holds g_lock. The counter of `source`, its window restarted when over.
Failures& failuresOf(const std::string& source, double t)
{
    auto it = g_failures.find(source);
    if (it == g_failures.end()) {
        if (g_failures.size() >= kMaxSources) {
            auto oldest = g_failures.begin();
            for (auto i = g_failures.begin(); i != g_failures.end(); ++i)
                if (i->second.windowStart < oldest->second.windowStart) oldest = i;
            g_failures.erase(oldest);
        }
        it = g_failures.emplace(source, Failures{0, t}).first;
    }
    if (std::abs(t - it->second.windowStart) > kWindow) it->second = Failures{0, t};
    return it->second;
}

uint64_t newSessionId()
{
    uint64_t id = 0;
    while (id == 0) {
        if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) {
            FILE* f = std::fopen("/dev/urandom", "rb");
            if (!f || std::fread(&id, sizeof id, 1, f) != 1) id = 0;
            if (f) std::fclose(f);
        }
    }
    return id;
}

bool isGet(const Request& req)
{
    return strcasecmp(req.method.c_str(), "GET") == 0;
}

void closeAfter(Reply& r)
{
    r.close = true;
}

// The login form: "user" and "passwd" from the body.
void login_handler(const Request& req, Reply& reply)
{
    closeAfter(reply);
    auto user = req.bodyField("user");
    auto pass = req.bodyField("passwd");
    if (!user || !pass) {
        serveFile(reply, "www/login_tit_400.html", "text/html");
        return;
    }
    card::Runtime& rt = card::rt();
    Credential cred = checkUser(rt, req.address, *user, *pass);
    for (const auto& note : cred.notes)
        rt.log(note);
    rt.log("ip:" + req.address + "  user:" + headerSafe(*user) + " permission " +
           std::to_string(cred.level));

    uint64_t id = 0;
    bool closedNow = false, full = false;
    SessionTable::Admission admission;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        const double t = now();
        Failures& f = failuresOf(loginSourceKey(req.address), t);
        if (cred.level == kNoAccess || f.count > kMaxFailures) {
            closedNow = ++f.count == kMaxFailures + 1;
        } else {
            Session s;
            s.id = newSessionId();
            const uint64_t fresh = s.id;
            s.user = *user;
            s.level = cred.level;
            s.slot = cred.slot;
            s.stamp = cred.stamp;
            admission = g_sessions.create(std::move(s), t);
            if (admission.admitted)
                id = fresh;
            else
                full = true;
        }
    }
    if (closedNow)
        rt.log("ip:" + req.address + " ten failed logins: logins from " +
               loginSourceKey(req.address) + " refused for the rest of the minute");
    if (full) {
        rt.log("ip:" + req.address + "  user:" + headerSafe(*user) +
               " refused: every session slot is held by a higher level");
        if (!serveFile(reply, "www/login_tit_full.html", "text/html"))
            serveFile(reply, "www/login_tit_403.html", "text/html");
        return;
    }
    if (id == 0) {
        serveFile(reply, "www/login_tit_403.html", "text/html");
        return;
    }
    if (admission.evicted) {
        std::printf("Evicted a session of %s for a login of %s\n", admission.evicted->user.c_str(),
                    user->c_str());
        std::fflush(stdout);
    }
    char cookie[250];
    std::snprintf(cookie, sizeof cookie,
                  "%s=%llx ;user=%s;path=/;permission=%d;HttpOnly;SameSite=Strict", kCookieName,
                  static_cast<unsigned long long>(id), headerSafe(*user).c_str(), cred.level);
    const bool held = cred.slot == 0 && firstPasswordPending(rt);
    redirect(reply, held ? kFirstPasswordPage : "/");
    reply.header("Set-Cookie", cookie);
    std::fprintf(stderr, "%s logged in\n", user->c_str());
}

// The first-use form: "sn_num" becomes the content of config/PRODUCT.
void sn_set_handler(const Request& req, Reply& reply)
{
    closeAfter(reply);
    auto sn = req.bodyField("sn_num");
    if (sn) // one line: a line break would split the file
        sn->resize(std::min(sn->find_first_of("\r\n"), sn->size()));
    if (!sn || sn->empty()) {
        serveFile(reply, "www/SNSet_tit_400.html", "text/html");
        return;
    }
    card::rt().log("Set SN num:" + headerSafe(*sn));
    platform::writeFile(platform::appPath(kProductFile), *sn + "\n");
    redirect(reply, "/login.html");
}

// The session the request's cookie names, as long as its account is still
// the one it was opened for; a session whose account changed is ended here.
std::optional<Session> sessionOf(const Request& req)
{
    std::optional<Session> s;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (Session* found = g_sessions.find(cookieSessionId(req.cookie), now())) s = *found;
    }
    if (!s) return s;
    card::Runtime& rt = card::rt();
    if (accountStamp(rt, s->slot) == s->stamp) return s;
    bool ended = false;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        // unless the session's own request renewed it meanwhile
        if (Session* cur = g_sessions.find(s->id, now()); cur && cur->stamp == s->stamp)
            ended = g_sessions.remove(s->id).has_value();
    }
    if (ended)
        rt.log("session of " + headerSafe(s->user) +
               " ended: the account was deleted or changed since the login");
    return std::nullopt;
}

} // namespace

bool cardHasSerialNumber()
{
    std::string text;
    if (!platform::readFile(platform::appPath(kProductFile), text, 100)) return false;
    return text.size() >= 2 && text[0] == 'S' && text[1] == 'T';
}

void tickLoginWindow()
{
    std::lock_guard<std::mutex> hold(g_lock);
    const double t = now();
    if (std::abs(t - g_lastPrune) < 1) return;
    g_lastPrune = t;
    for (auto it = g_failures.begin(); it != g_failures.end();)
        it = std::abs(t - it->second.windowStart) > kWindow ? g_failures.erase(it) : std::next(it);
}

bool gateNeedsBody(const Request& req)
{
    return req.method == "POST" && (req.uri == "/SNSet.html" || req.uri == "/login.html");
}

GateResult processLogin(const Request& req, Reply& reply)
{
    GateResult g;
    bool held = false; // the administrator's session on the factory password
    if (auto s = sessionOf(req)) {
        g.level = s->level;
        g.user = s->user;
        g.sessionId = s->id;
        held = s->slot == 0 && firstPasswordPending(card::rt());
    }
    // The serial-number file is read only when the answer depends on it.
    auto hasSn = [] { return cardHasSerialNumber(); };
    if (req.method == "POST" && req.uri == "/SNSet.html") {
        // Once the card has its serial number, only an administrator changes it.
        if ((g.level >= kAdministrator && !held) || !hasSn()) {
            sn_set_handler(req, reply);
            g.answered = true;
            return g;
        }
        if (g.sessionId != 0 && !held) {
            sendError(reply, 403);
            g.answered = true;
            return g;
        }
    } else if (req.method == "POST" && req.uri == "/login.html") {
        login_handler(req, reply);
        g.answered = true;
        return g;
    } else if (isGet(req) && req.uri == "/SNSet.html" && !hasSn()) {
        g.answered = serveFile(reply, "www/SNSet.html", "text/html");
        if (g.answered) return g;
    } else if (isGet(req) && req.uri == "/login.html" && hasSn()) {
        g.answered = serveFile(reply, "www/login.html", "text/html");
        if (g.answered) return g;
    }
    if (g.sessionId != 0) {
        if (held && !firstPasswordAllows(req.uri)) {
            redirect(reply, kFirstPasswordPage);
            g.answered = true;
        }
        return g;
    }
    // The card's own loopback client; the header alone proves nothing from
    // another machine.
    if (req.userAgent == "settings" && req.loopback) {
        g.level = kAdministrator;
        g.user = "settings";
        return g;
    }
    redirect(reply, hasSn() ? "/login.html" : "/SNSet.html");
    closeAfter(reply);
    g.answered = true;
    return g;
}

int sessionAccount(uint64_t sessionId)
{
    std::lock_guard<std::mutex> hold(g_lock);
    const Session* s = g_sessions.find(sessionId, now());
    return s ? s->slot : -1;
}

void checkSessions()
{
    std::vector<Session> gone;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        gone = g_sessions.expire(now(), kIdle);
    }
    for (const auto& s : gone)
        std::fprintf(stderr, "A session of %s closed due to idleness.\n", s.user.c_str());
}

void sessionAfterRequest(const Request& req)
{
    if (req.sessionId == 0 || !req.isPost()) return;
    std::optional<Session> s;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (Session* found = g_sessions.find(req.sessionId, now())) s = *found;
    }
    card::Runtime& rt = card::rt();
    const uint64_t stamp = s ? accountStamp(rt, s->slot) : 0;
    if (!s || stamp == s->stamp) return;
    // This request changed its own account: a user who set a new password
    // stays logged in here (his other sessions end), unless the account no
    // longer names him at the same level from this address.
    bool keep = s->slot == 0;
    if (!keep) {
        const std::string n = std::to_string(s->slot);
        keep = rt.text("user_name" + n) == s->user &&
               levelFromRight(std::atoi(rt.text("user_right" + n).c_str())) == s->level &&
               addressAllowed(rt.text("user_ip" + n), req.address);
    }
    std::lock_guard<std::mutex> hold(g_lock);
    if (Session* cur = g_sessions.find(req.sessionId, now())) {
        if (keep)
            cur->stamp = stamp;
        else
            g_sessions.remove(req.sessionId);
    }
}

void cmd_logout(const Request& req, Reply& reply)
{
    std::optional<Session> gone;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        gone = g_sessions.remove(req.sessionId);
    }
    if (gone)
        card::rt().log("ip:" + req.address + "  user:" + headerSafe(gone->user) + " logged out");
    redirect(reply, "/login.html");
    reply.header("Set-Cookie",
                 std::string(kCookieName) + "=; path=/; Max-Age=0; HttpOnly; SameSite=Strict");
    closeAfter(reply);
}

double sessionCheckInterval()
{
    // 30 s for the card's 300 s limit; proportionally shorter in tests.
    double t = kIdle / 10;
    return t < 1 ? 1 : (t > kDefaultCheck ? kDefaultCheck : t);
}

void cmd_sysTime(const Request& req, Reply& reply)
{
    std::string cookie;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (Session* s = g_sessions.find(req.sessionId, now())) {
            if (s->handOff == 0)
                cookie = "user=" + headerSafe(s->user) + ";";
            else if (s->handOff == 1)
                cookie = "permission=" + std::to_string(s->level);
            if (s->handOff < 2) ++s->handOff;
        }
    }
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(doc.get(), "time", card::timeText(card::rt().now()).c_str());
    if (!cookie.empty()) reply.header("Set-Cookie", cookie);
    sendResult(reply, doc.get());
}

} // namespace web
