/*
 * login.cpp - the login gate in front of every request, the login and
 * first-use serial-number forms, the session table with its idle check, and
 * the hand-off of the user's name and level to the pages through "/sysTime".
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

std::mutex g_lock;
SessionTable g_sessions;
int g_loginCount = 0;
double g_windowStart = now();

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
    std::optional<Session> evicted;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (cred.level == kNoAccess || g_loginCount > kMaxFailures) {
            ++g_loginCount;
        } else {
            id = newSessionId();
            evicted = g_sessions.create(id, *user, cred.level, now());
        }
    }
    if (id == 0) {
        serveFile(reply, "www/login_tit_403.html", "text/html");
        return;
    }
    if (evicted) {
        std::printf("Evicted %llx/%s\n", static_cast<unsigned long long>(evicted->id),
                    evicted->user.c_str());
        std::fflush(stdout);
    }
    char cookie[250];
    std::snprintf(cookie, sizeof cookie,
                  "%s=%llx ;user=%s;path=/;permission=%d;HttpOnly;SameSite=Strict", kCookieName,
                  static_cast<unsigned long long>(id), headerSafe(*user).c_str(), cred.level);
    redirect(reply, "/");
    reply.header("Set-Cookie", cookie);
    std::fprintf(stderr, "%s logged in, sid %llx\n", user->c_str(),
                 static_cast<unsigned long long>(id));
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

Session* sessionOf(const Request& req, double t)
{
    return g_sessions.find(cookieSessionId(req.cookie), t);
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
    double t = now();
    if (std::abs(t - g_windowStart) > kWindow) {
        g_loginCount = 0;
        g_windowStart = t;
    }
}

bool gateNeedsBody(const Request& req)
{
    return req.method == "POST" && (req.uri == "/SNSet.html" || req.uri == "/login.html");
}

GateResult processLogin(const Request& req, Reply& reply)
{
    GateResult g;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        if (Session* s = sessionOf(req, now())) {
            g.level = s->level;
            g.user = s->user;
            g.sessionId = s->id;
        }
    }
    // The serial-number file is read only when the answer depends on it.
    auto hasSn = [] { return cardHasSerialNumber(); };
    if (req.method == "POST" && req.uri == "/SNSet.html") {
        // Once the card has its serial number, only an administrator changes it.
        if (g.level >= kAdministrator || !hasSn()) {
            sn_set_handler(req, reply);
            g.answered = true;
            return g;
        }
        if (g.sessionId != 0) {
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
    if (g.sessionId != 0) return g;
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

void checkSessions()
{
    std::vector<Session> gone;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        gone = g_sessions.expire(now(), kIdle);
    }
    for (const auto& s : gone)
        std::fprintf(stderr, "Session %llx (%s) closed due to idleness.\n",
                     static_cast<unsigned long long>(s.id), s.user.c_str());
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
