/*
 * web_core.hpp - the pure pieces of the web plug-in: form fields, client address
 * rules, access levels, the session table, acknowledgement answers and the
 * mapping of request paths to files. Nothing here touches a socket or a clock
 * of its own, and the user check reads the settings of the runtime it is
 * given, so every piece is tested by feeding it values.
 */
#pragma once

#include "card_runtime.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <vector>

namespace web
{

// ---- form fields (application/x-www-form-urlencoded, body or query string) ----

// Size of the handlers' field buffers, terminator included: a value keeps at
// most kFieldBuffer - 1 bytes.
constexpr size_t kFieldBuffer = 50;

// Decodes one form value ('+' is a blank, %XX a byte). nullopt when a '%' is
// not followed by two hexadecimal digits.
std::optional<std::string> urlDecode(std::string_view text);

// The value of field `name` in `form` (first occurrence; names compare without
// regard to case), decoded and cut to buffer - 1 bytes at a character boundary
// and at the first NUL. A field counts as present only when its value has at
// least one character; malformed encoding counts as absent.
std::optional<std::string> formField(std::string_view form, std::string_view name,
                                     size_t buffer = kFieldBuffer);

// Encodes a value for a form body (the inverse of urlDecode).
std::string urlEncode(std::string_view text);

// ---- client addresses ----

// The client address text the user filters are matched against: dotted IPv4
// (also for IPv4-mapped IPv6 peers), otherwise the standard IPv6 text.
std::string addressText(const struct sockaddr* sa);
// True for 127.0.0.0/8, ::1 and IPv4-mapped loopback.
bool isLoopback(const struct sockaddr* sa);

// A user's address filter (card::addressMatches): "*.*.*.*" admits every
// address, an empty filter none; otherwise the address must match by value,
// field by field ("192.168.1" is 192.168.1.*, never 10.192.168.1).
bool addressAllowed(std::string_view filter, std::string_view address);

// The key that failed logins are counted under: the IPv4 address, or the /64
// network of an IPv6 address (one host holds a whole /64).
std::string loginSourceKey(std::string_view address);

// ---- access levels ----

enum Level : int { kNoAccess = 0, kViewer = 1, kOperator = 2, kAdministrator = 3 };

// What a route does, for the level rules (see kLevelRules in access.cpp).
enum class Group {
    Status,       // live values, alarms, about
    Logs,         // log lists, charts, CSV downloads
    LogClear,     // removing log rows
    Ups,          // UPS control, schedules, UPS and peripheral parameters
    Users,        // the user table (it holds passwords)
    OwnPassword,  // a user's own web password (others' need an administrator)
    Network,      // addresses, DDNS
    System,       // identity, clock, serial lines, restart, serial number, logo
    Protocol,     // SNMP, Modbus, BACnet, IEC 61850, NUT, cloud
    Notification, // e-mail and SMS
    Config,       // configuration file export, import and factory reset
    Firmware,     // update list, FTP settings, upload, progress (reboots)
    Diagnostics,  // port logs and debug switches
    Open,         // pages and the clock: any logged-in user
};

struct LevelRule {
    Group group;
    int readLevel;  // least level for GET and other non-POST methods
    int writeLevel; // least level for POST
};

// The rule of a group.
const LevelRule& levelRule(Group g);
// True when a user of `level` may send `method` to a route of group `g`.
// `actsOnRead` marks routes that change the card whatever the method.
bool levelAllows(Group g, int level, std::string_view method, bool actsOnRead = false);
// A stored "user_right%d" turned into a level: below 1 is no access, above 3
// is an administrator.
int levelFromRight(int right);

// ---- users ----

constexpr int kUserSlots = 8;
constexpr const char* kAdminName = "admin";
constexpr const char* kAdminDefaultPassword = "pqlzv";

struct Credential {
    int level = 0;                  // 0: refused
    int slot = 0;                   // table slot 1..8 that matched; 0: the fixed administrator
    uint64_t stamp = 0;             // accountStamp of that account at the check
    std::vector<std::string> notes; // filter mismatches to log
};

// The level for user/pass from `address` by the settings of `settings`: the
// first table slot whose name and password match and whose filter admits the
// address, and the fixed administrator (level 3) whatever the table holds.
Credential checkUser(card::Runtime& settings, std::string_view address, std::string_view user,
                     std::string_view pass);

// A fingerprint of the account a session was opened for (slot 0: the fixed
// administrator; 1..8: the table slot): its name, password, level and filter.
// Any change of them (deleted, demoted, new password, new filter) changes the
// stamp, and the sessions opened under the old one end.
uint64_t accountStamp(card::Runtime& settings, int slot);

// ---- the first password ----

// A card leaves the factory with kAdminDefaultPassword. Until the
// administrator has chosen another, a session he opened with it reaches one
// page only, the one that replaces it; every other URI answers a redirect
// there. Other users, the loopback client and SNMP or Modbus (their own
// settings) are not held.
constexpr const char* kFirstPasswordPage = "/firstpassword.html";
constexpr size_t kMinPasswordChars = 8;
constexpr size_t kMaxPasswordBytes = kFieldBuffer - 1; // what the login form reads

// True while the administrator password is the factory value.
bool firstPasswordPending(card::Runtime& settings);
// The URIs a held session still reaches: the page, the files it loads, its
// form, the clock and the logout.
bool firstPasswordAllows(std::string_view uri);
// Why `pass` (typed again as `again`) cannot replace the factory password,
// the first reason that applies: "chars" (a control character), "factory"
// (the factory value), "short" (under kMinPasswordChars characters), "long"
// (over kMaxPasswordBytes bytes), "mismatch" (the two differ); "" when it is
// accepted.
std::string_view newPasswordProblem(std::string_view pass, std::string_view again);

// ---- sessions ----

struct Session {
    uint64_t id = 0; // 0: free slot
    double created = 0;
    double lastUsed = 0;
    std::string user;
    int level = 0;
    int handOff = 0;    // cookies handed to the pages: 0 none, 1 user, 2 user and level
    int slot = 0;       // the account: 0 the fixed administrator, 1..8 a table slot
    uint64_t stamp = 0; // accountStamp of the account at login
};

class SessionTable
{
  public:
    static constexpr size_t kSlots = 10;

    struct Admission {
        bool admitted = false;
        std::optional<Session> evicted;
    };
    // Occupies the first free slot. With all taken it makes room by evicting
    // the least recently used session of the same account, else the least
    // recently used one of a level not above the new session's (the lowest
    // index among equals); a higher level is never evicted for a lower one,
    // and when nothing may go the login is not admitted. `s.id` must not be 0;
    // created and lastUsed are set to `now`.
    Admission create(Session s, double now);
    // The session named by `id`; refreshes its last use. nullptr when none.
    Session* find(uint64_t id, double now);
    // Ends the session named by `id`; returns it when there was one.
    std::optional<Session> remove(uint64_t id);
    // Releases every session idle for more than `idle` seconds; returns them.
    std::vector<Session> expire(double now, double idle);
    size_t count() const;

  private:
    Session slots_[kSlots];
};

// The session id in a Cookie header value ("mgs=<hex>"); 0 when absent or not
// a number. Values longer than 20 characters are not read.
uint64_t cookieSessionId(std::string_view cookieHeader);

// ---- answers ----

// {"result": R, "errmsg": E} in cJSON's formatted form: R is "ok" for 1, "1"
// for 100, "2" for 200, "0" for 300 and "fail" for anything else.
std::string resultOkText(int ok, std::string_view errmsg = {});

// ---- static files ----

constexpr size_t kMaxUri = 512;
constexpr size_t kMaxStaticUri = 1024;

struct StaticFile {
    std::string path;        // relative to the app directory
    const char* contentType; // "text/html", "text/js", "text/css" or "text/plain"
};

// The file a URI names: "/" is www/index.html; ".html" lies under www, ".db"
// under config/lang, anything else under www. nullopt for URIs that could
// leave those directories (".." segments, backslashes, NUL) or are too long.
std::optional<StaticFile> staticFileFor(std::string_view uri);

// Content type by file name ending.
const char* contentTypeFor(std::string_view path);

// Text safe inside a header value: control characters, ';' and ',' dropped.
std::string headerSafe(std::string_view text);

} // namespace web
