/*
 * nut.hpp - the card as a server of the network UPS protocol (TCP 3493), so
 * that the standard monitoring clients on the servers the UPS powers (upsmon,
 * upsc, upscmd, upsrw) watch it and shut their systems down in time.
 *
 * The pieces, one file each:
 *   parse.cpp     request lines: bounded line assembly and the split into
 *                 words (quotes, backslash escapes); answers' quoting
 *   upsvars.cpp   the one UPS, "ups": its variables from the card's signals
 *                 (a table), the status words, the alarms, the instant
 *                 commands (to channel 0) and the writable variables
 *   users.cpp     the users of the card's user table, their levels and
 *                 address filters
 *   fsd.cpp       the forced-shutdown latch, raised before the card itself
 *                 switches the UPS off
 *   protocol.cpp  one request of one client -> its answer
 *   server.cpp    sockets, TLS and every client on one poll loop
 *   plugin.cpp    the task on the card's shell
 *
 * Everything up to protocol.cpp is pure logic over card::Runtime: unit tests
 * drive it with card::FakeRuntime and no socket.
 */
#pragma once

#include "card_runtime.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace nut
{

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- lines

constexpr std::size_t kMaxLine = 512; // longest request line, its end included
constexpr std::size_t kMaxWords = 8;  // the longest request has five

// Assembles request lines from received bytes. A line ends with "\n" (a "\r"
// before it is dropped). A line longer than kMaxLine marks the buffer
// overflowed and nothing more comes out of it: the client is broken or
// hostile, its connection ends.
class LineBuffer
{
  public:
    void feed(std::string_view bytes);
    // The next complete line, without its end.
    std::optional<std::string> next();
    bool overflowed() const { return overflow_; }
    bool hasLine() const { return !overflow_ && buf_.find('\n') != std::string::npos; }
    // Bytes held that belong to no complete line yet.
    std::size_t pending() const { return buf_.size(); }
    // Hands over what was received after the last complete line (the first
    // TLS bytes when a client pipelines its handshake after STARTTLS).
    std::string takeRest();

  private:
    std::string buf_;
    bool overflow_ = false;
};

// The words of a request line: blanks separate words, "double quotes" hold a
// word with blanks, a backslash takes the next character as it is. nullopt
// for a line that is no request: an open quote, a control character, more
// than kMaxWords words.
std::optional<std::vector<std::string>> splitWords(std::string_view line);

// A value as the answers carry it: in double quotes, with '"' and '\'
// escaped; control characters (which no answer line may hold) are dropped.
std::string quote(std::string_view text);

// ---------------------------------------------------------------- the UPS

constexpr const char* kUpsName = "ups";

struct Variable {
    std::string name, value;
};

// What the UPS looks like through the protocol, read from the card's signals
// at each request (values are never older than the driver's last poll).
class Ups
{
  public:
    explicit Ups(card::Runtime& r) : rt_(r) {}

    // True while the card has no current data of the UPS: it has not
    // answered since the start, or the card declared it lost.
    bool stale();
    // Every variable, in table order (writable ones included).
    std::vector<Variable> variables(bool fsd);
    std::optional<std::string> variable(std::string_view name, bool fsd);
    // The status words ("OL CHRG", "OB DISCHRG LB", "FSD OB LB"...).
    std::string status(bool fsd);
    // The UPS's current alarms as one text; empty when there is none.
    std::string alarms();
    // UPSDESC / LIST UPS description.
    std::string description();

    card::Runtime& runtime() { return rt_; }

  private:
    card::Runtime& rt_;
    std::atomic<bool> seen_{false};
};

// "Unavailable" for a name the server does not know.
std::string describeVariable(std::string_view name);
// A variable the server shows (whether or not it has a value right now).
bool knownVariable(std::string_view name);
bool numericVariable(std::string_view name);

// ---- instant commands: a card UPS command on channel 0 ----
struct Command {
    const char* name;
    int number; // card::command numbering
    const char* description;
    const char* paramSetting; // setting a command parameter is stored in (seconds), or null
};
std::span<const Command> commands();
const Command* findCommand(std::string_view name);
// Card commands after which the UPS output goes off (for the FSD latch).
bool switchesOutputOff(int commandNumber);

// ---- writable variables: card settings ----
enum class Kind { Range, Text };
struct Writable {
    const char* name;
    const char* setting;
    const char* def; // the setting's default
    Kind kind;
    int min, max; // Range: limits of the shown value; Text: longest text
    int unit;     // Range: the setting holds shown value / unit (minutes: 60)
    const char* description;
};
std::span<const Writable> writables();
const Writable* findWritable(std::string_view name);
std::string writableValue(card::Runtime& r, const Writable& w);
// Stores a new value; the protocol's error word when the value is refused.
std::optional<std::string> setWritable(card::Runtime& r, const Writable& w, std::string_view value);

// ---------------------------------------------------------------- users

// Level 1 reads and monitors (upsmon secondary), 2 also runs instant
// commands, 3 also acts as primary (FSD) and sets variables.
enum Level : int { kNoAccess = 0, kMonitor = 1, kOperator = 2, kAdministrator = 3 };

constexpr int kUserSlots = 8;

struct User {
    std::string name, password, filter;
    int level = kNoAccess;
};

// The user table of the settings ("user_name<n>", "user_pass<n>",
// "user_right<n>", "user_ip<n>", n = 1..8), loaded at start and again on the
// web's reload event. Safe to use from several threads.
class Users
{
  public:
    void load(card::Runtime& r);
    // The level of name/password from address (dotted IPv4 or IPv6 text):
    // the first slot whose name and password match and whose filter admits
    // the address (card::addressMatches). kNoAccess otherwise.
    int level(std::string_view name, std::string_view password, std::string_view address) const;
    std::size_t count() const;

  private:
    mutable std::mutex m_;
    std::vector<User> users_;
};

// A stored "user_right<n>" as a level: below 1 none, above 3 administrator.
int levelOfRight(std::string_view right);

// ---------------------------------------------------------------- FSD

// The forced-shutdown flag of the UPS. Raised
//   - by a primary client (FSD ups),
//   - when the card itself is about to switch the UPS off: a schedule's
//     shutdown is pending (Alarm_ShutdownPending), a shutdown after an alarm
//     is due within the lead time, the UPS or the data task says the output
//     goes off (Alarm_ShutdownImminent, outside a countdown that still has
//     longer to run), or a command that switches the output off was posted
//     on channel 0 (web, SNMP, Modbus, SMS, this server).
// It stays raised while a cause lasts and kHold after the last one.
class ForcedShutdown
{
  public:
    static constexpr auto kHold = std::chrono::seconds(120);
    static constexpr int kMinimumLeadSeconds = 60;

    // Looks at the signals and settings once (every pass of the task).
    void observe(card::Runtime& r, Clock::time_point now);
    // A channel-0 event (in the poster's thread).
    void commandPosted(card::Runtime& r, int code, Clock::time_point now);
    // FSD from a primary client.
    void raise(const std::string& why, Clock::time_point now);
    bool raised(Clock::time_point now) const;
    // Why it was raised last (for the log), and whether that was news.
    std::string takeNews();

  private:
    void cause(const std::string& why, Clock::time_point now);

    struct Countdown {
        int alarm;
        const char* select;
        const char* minutes;
        std::optional<Clock::time_point> since;
    };
    mutable std::mutex m_;
    std::optional<Clock::time_point> last_; // last time a cause was seen
    std::string why_;
    bool news_ = false;
    Countdown countdowns_[4] = {{Alarm_InputBad, "sel_down", "down_time", {}},
                                {Alarm_LowBattery, "sel_batlow", "bat_time", {}},
                                {Alarm_TempBad, "sel_overtemp", "temp_time", {}},
                                {Alarm_OutputOverload, "sel_overload", "load_time", {}}};
};

// ---------------------------------------------------------------- protocol

// One client's state.
struct Client {
    std::string address; // dotted IPv4 or IPv6 text
    std::string username, password;
    bool haveUsername = false, havePassword = false;
    bool loggedIn = false; // LOGIN ups done (counts in NUMLOGINS)
    bool primary = false;
    bool tls = false;
};

// The answer to one request.
struct Answer {
    std::string text;        // whole lines, each ending "\n"
    bool close = false;      // end the connection after sending
    bool startTls = false;   // switch to TLS after sending
    bool authFailed = false; // send after the failed-login delay
};

// What the protocol needs of the server around it.
class Peers
{
  public:
    virtual ~Peers() = default;
    // Addresses of the clients that did LOGIN.
    virtual std::vector<std::string> loggedIn() = 0;
    virtual bool tlsAvailable() = 0;
};

class Protocol
{
  public:
    Protocol(Ups& ups, Users& users, ForcedShutdown& fsd, Peers& peers)
        : ups_(ups), users_(users), fsd_(fsd), peers_(peers)
    {
    }
    Answer handle(Client& c, const std::vector<std::string>& words);
    // A raw line: split, then handled; an unreadable line gets its error.
    Answer handleLine(Client& c, std::string_view line);

  private:
    Answer get(Client& c, const std::vector<std::string>& w);
    Answer list(Client& c, const std::vector<std::string>& w);
    Answer set(Client& c, const std::vector<std::string>& w);
    Answer instcmd(Client& c, const std::vector<std::string>& w);
    Answer login(Client& c, const std::vector<std::string>& w);
    Answer primary(Client& c, const std::vector<std::string>& w, bool oldName);
    Answer fsd(Client& c, const std::vector<std::string>& w);
    // The level of the client's credentials; sets `refused` to the answer
    // when it is below `least`.
    bool authorize(Client& c, int least, const char* what, Answer& refused);

    Ups& ups_;
    Users& users_;
    ForcedShutdown& fsd_;
    Peers& peers_;
    // Refused logins are logged at most once per kRefusalLogGap (a password
    // guesser must not fill the log); the next line counts the others.
    Clock::time_point lastRefusalLog_{};
    int unlogged_ = 0;
};

constexpr auto kRefusalLogGap = std::chrono::seconds(10);

constexpr const char* kNetVersion = "1.3";

} // namespace nut
