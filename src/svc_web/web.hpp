/*
 * web.hpp - inside the web plug-in: the request and answer records that
 * handlers work on, the answer helpers, the route table, the login state and
 * the loopback client. The HTTP server itself (server.cpp) turns connections
 * into Requests and Replies into bytes on the wire.
 */
#pragma once

#include "web_core.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct cJSON;

namespace web
{

struct Request {
    std::string method;
    std::string uri;   // path, without the query string
    std::string query; // raw query string, without '?'
    std::string body;  // URL-encoded form or multipart upload
    std::string address;
    bool loopback = false;
    std::string userAgent;
    std::string cookie;
    std::string contentType;
    // Who is asking: the session's user and level, or the loopback client.
    uint64_t sessionId = 0;
    std::string user;
    int level = 0;

    bool isPost() const { return method == "POST"; }
    // Form field from the body of a POST, from the query string otherwise.
    std::optional<std::string> field(std::string_view name, size_t buffer = kFieldBuffer) const;
    std::optional<std::string> bodyField(std::string_view name, size_t buffer = kFieldBuffer) const;
    std::optional<std::string> queryField(std::string_view name,
                                          size_t buffer = kFieldBuffer) const;
};

struct Reply {
    enum class Kind {
        None,    // nothing answered: the connection is closed without a reply
        Text,    // body with Content-Length
        Chunked, // body sent as one chunk
        File,    // the file at `file`
    };
    Kind kind = Kind::None;
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string file; // absolute path on this machine
    bool close = false;

    void header(std::string name, std::string value)
    {
        headers.emplace_back(std::move(name), std::move(value));
    }
};

// ---- answer helpers ----

// 200, chunked, the document in cJSON's formatted form. The caller keeps
// ownership of `json`.
void sendResult(Reply& r, const cJSON* json);
// 200, chunked, {"result": ..., "errmsg": ...} (see resultOkText).
void resultOk(Reply& r, int ok, std::string_view errmsg = {});
// A page file (path relative to the app directory); false when it is absent.
bool serveFile(Reply& r, const std::string& appRelative, const char* contentType);
void redirect(Reply& r, std::string_view location);
void sendError(Reply& r, int status);

// ---- routes ----

using Handler = void (*)(const Request&, Reply&);

struct Route {
    const char* name; // URI, compared exactly
    Handler function; // nullptr: not available yet (404)
    Group group;      // level rule
    bool actsOnRead;  // changes the card whatever the method
};

// The route table in search order, ended by an entry whose name is null.
extern const Route kRoutes[];
const Route* findRoute(std::string_view uri);

// ---- login, sessions, cookies (login.cpp) ----

struct GateResult {
    bool answered = false;
    int level = 0;
    uint64_t sessionId = 0;
    std::string user;
};

// Restarts the failed-login window when it is older than its length.
void tickLoginWindow();
// The gate: answers the login and serial-number forms and their pages, lets
// sessions and the loopback client through, redirects everything else.
// Runs before the body is read, except for the two forms.
bool gateNeedsBody(const Request& req);
GateResult processLogin(const Request& req, Reply& reply);
// Releases sessions idle for longer than the limit.
void checkSessions();
// Seconds between two runs of checkSessions.
double sessionCheckInterval();
// "/sysTime" with the cookie hand-off of the asking session.
void cmd_sysTime(const Request& req, Reply& reply);
// "/logout": ends the asking session and sends the browser to the login page.
void cmd_logout(const Request& req, Reply& reply);
// After a handler ran: a POST that changed its own user's account (a new
// password) keeps its session; the user's other sessions end at their next
// request (see the account stamp in web_core.hpp).
void sessionAfterRequest(const Request& req);
bool cardHasSerialNumber();
// The account of a session: 0 the fixed administrator, 1..8 a table slot,
// -1 when no session has that id.
int sessionAccount(uint64_t sessionId);

// ---- user and password pages (routes_users.cpp) ----

void ups_networkremoteinfo(const Request& req, Reply& reply);
void ups_setsyspassword(const Request& req, Reply& reply);
void cmd_setPasswd(const Request& req, Reply& reply);

// ---- the first password (pages_first_password.cpp) ----

// "/FirstPassword": the administrator, logged in with the factory password,
// replaces it; the runtime account follows.
void ups_firstpassword(const Request& req, Reply& reply);

// ---- server (server.cpp) ----

// Sleeps for the given time unless the plug-in stops first; false once it
// stopped (the task's wait).
using StopWait = std::function<bool(std::chrono::steady_clock::duration)>;

// The server thread's body: binds, then runs the session timer until `wait`
// reports the stop, and closes the listeners.
void webServer(const StopWait& wait);

// ---- hooks filled by the pages that own them ----

void proc_ipv6_route_discovery();
void RestoreFactorySettings();

} // namespace web

// Loopback client: one POST to the card's own server (port from the run
// file), 5 s limit. Returns the length of the answer, 0 when none came.
int httpGetPost(const char* cmd, char* recv, int size, const char* postData);
