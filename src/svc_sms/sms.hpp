/*
 * sms.hpp - the SMS task: a GSM modem on port 7, alarm messages and the SMS
 * command set.
 *
 * The pieces, from the wire up:
 *
 *   ModemIo     the port as the task sees it (CommWrite/CommRead of port 7 on
 *               the card, a scripted modem in tests).
 *   at_parse    pure functions over the modem's replies: final result codes,
 *               identity lines, CSQ, CREG, and the CMGL listing of unread
 *               messages. They face the outside and are fuzzed.
 *   ucs2        texts to and from UCS-2 hexadecimal through iconv, as every
 *               message goes out in text mode with the UCS2 character set.
 *   texts       the alarm texts in five languages, the test bodies and the
 *               reply words of the command set, as tables in alarm order.
 *   Modem       the AT sequences (set-up, SIM, identity, signal, restart,
 *               sending, listing, the raw console), each one exchange under
 *               the modem's lock so the console never cuts into a message.
 *   Commands    the registered users and their keywords, the recipients'
 *               keyword path, state reports, periodic reports and users'
 *               alarm messages.
 *   SmsCore     the task's pass: the connection states 0 -> 1 -> 2, the modem
 *               alarm signals 20057-20060, the published modem settings, the
 *               event queue, the pending store, reception and the console.
 *
 * Everything that touches the card goes through the card::Runtime the core is
 * given, so a test runs a pass on a card::FakeRuntime with a scripted modem.
 */
#pragma once

#include "card_runtime.hpp"

#include <array>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sms
{

// ---- sizes of the things we keep ----
constexpr size_t kSenderBytes = 99;   // a sender as listed
constexpr size_t kContentBytes = 299; // a message's text as listed
constexpr size_t kPasswordBytes = 49;
constexpr size_t kSystemNameBytes = 49;
constexpr size_t kCountryCodeBytes = 9;
constexpr size_t kPhoneBytes = 49;
constexpr int kSlots = 8;           // registered users, and alarm recipients
constexpr int kAlarmTexts = 54;     // alarm numbers 0..53
constexpr int kPendingMax = 10;     // held alarms, and held tests
constexpr int kErrorsToRestart = 5; // errors in a row before a modem restart
constexpr const char* kFactoryPassword = "583041";

enum Language { English, SimplifiedChinese, TraditionalChinese, Turkish, Portuguese, Languages };

// ---------------------------------------------------------------- the port --

// The modem's line. read() waits a little for a first byte and returns what
// arrived until the line went quiet, as CommRead does.
class ModemIo
{
  public:
    virtual ~ModemIo() = default;
    virtual int write(const void* buf, int len) = 0;
    virtual int read(void* buf, int max) = 0;
};

// ------------------------------------------------------------ the parsers --

// The reply ends in a final result code: OK, ERROR, +CME ERROR or +CMS ERROR.
bool isFinal(std::string_view reply);
bool isOk(std::string_view reply);
// The first line of a reply that is neither empty, the echo of the command
// (starts with "AT"), nor a result code.
std::string infoLine(std::string_view reply);
// The text after the first blank of the information line ("Revision: 11.8"
// -> "11.8"), the whole line when it has none.
std::string afterBlank(std::string_view reply);
// The text between the first pair of double quotes ("" when there is none).
std::string quoted(std::string_view reply);
// The received signal strength of "+CSQ: 20,99": 0-31, 99 unknown, -1 when
// the reply holds no such line.
int parseCsq(std::string_view reply);
// The registration state of "+CREG: 0,1" (the second field, or the only one).
// -1 when there is no such line.
int parseCreg(std::string_view reply);
// Registered at home (1) or roaming (5).
inline bool registered(int creg)
{
    return creg == 1 || creg == 5;
}

struct Message {
    std::string sender;  // without its quotes, at most kSenderBytes
    std::string content; // UTF-8, at most kContentBytes of the listing
};
// The unread messages of a "+CMGL:" listing, in order. A sender that does not
// start with "+" is taken as UCS-2 hexadecimal (sender and content decoded)
// when it decodes as such, else as given.
std::vector<Message> parseListing(std::string_view listing);

// ------------------------------------------------------------------ UCS-2 --

// UTF-8 text as UCS-2 big-endian hexadecimal, upper case ("A" -> "0041").
// A character outside the basic plane, or a byte that is no UTF-8, becomes "?".
std::string toUcs2Hex(std::string_view utf8);
// UCS-2 hexadecimal back to UTF-8; nullopt unless it is whole groups of four
// hexadecimal digits of characters in the basic plane.
std::optional<std::string> fromUcs2Hex(std::string_view hex);
// A sender in UCS-2 (a number, or an operator's name): every group must be a
// printable ASCII character ("00" and 20..7E); nullopt otherwise.
std::optional<std::string> numberFromUcs2Hex(std::string_view hex);

// ------------------------------------------------------------------ texts --

// The alarm's text in the language, raised or cleared; nullptr outside 0-53.
const char* alarmText(int language, int alarm, bool cleared);
// Body of the test message.
const char* testText(int language);
// Bit of the recipients' event mask ("sms_event_N") for the alarm; -1: never sent.
int recipientBit(int alarm);
// Bit of a registered user's alarm mask; -1: never sent to users.
int userBit(int alarm);

enum class Reply { NumberRegistered, NumberSet, PhoneDeleted, AlarmSet, SystemSet, LanguageSet };
// Reply texts of the command set: English, or simplified Chinese.
const char* replyText(Reply r, bool english);

// ------------------------------------------------------------------ modem --

// Modem families by their ATI4 answer.
enum class ModemType { Unknown = 0, MG301 = 1, MG323 = 2, Other = 3 };

class Modem
{
  public:
    // pause(ms) sleeps; false once the task is stopping.
    Modem(ModemIo& io, card::Runtime& rt, std::function<bool(int)> pause);

    // One command and its reply, read until a final result code (or `reads`
    // reads without one). Takes the modem's lock.
    std::string command(const std::string& cmd, int reads = kReads);

    // Set-up: bits 1 AT, 2 ATE0, 4 AT+CMGF=1, 8 ATI4, 16 storage, 32 new
    // message indication; 63 when all answered.
    int connect();
    // SIM: bit 1 the SIM is ready, bit 2 registered; 3 when both.
    int sim();
    // Identity into the settings sms_maker, sms_model, sms_soft, sms_operater,
    // sms_center: bits 1, 2, 4, 8, 16; 31 when all answered.
    int identity();
    // Signal strength 0-31, 99 unknown, 0 when the modem did not answer.
    int signal();
    // Full restart; waits up to 30 s for the SIM to be ready again.
    void restart();
    // One text message in UCS-2 to number; true when the modem took it. The
    // modem's last answer goes to *answer.
    bool send(const std::string& number, const std::string& utf8Text,
              std::string* answer = nullptr);
    // The unread messages; they are marked read by the listing.
    std::vector<Message> unread();
    void deleteRead();
    // Raw bytes to the modem and up to 300 bytes of its answer (console).
    std::string raw(const std::string& bytes);

    ModemType type() const { return type_; }
    static constexpr int kReads = 3;

  private:
    std::string exchange(const std::string& cmd, int reads, bool prompt);
    std::string readMore(int reads, bool prompt, size_t cap);

    ModemIo& io_;
    card::Runtime& rt_;
    std::function<bool(int)> pause_;
    std::recursive_mutex m_; // every exchange, and every message as a whole
    ModemType type_ = ModemType::Unknown;
};

// --------------------------------------------------------------- commands --

struct User {
    bool enabled = false;
    std::string code;   // country code, without "+"
    std::string number; // without the country code
    int reportMinutes = 0;
    unsigned alarmMask = 0x7FFFF;
    bool dial = false; // receives alarm messages
};

struct UserRecord {
    int language = 0; // 0 Chinese, 1 English
    std::string password = kFactoryPassword;
    std::string systemName;
    std::array<User, kSlots> users{};

    int count() const;
    bool english() const { return language == 1; }
    // The enabled slot whose number the sender is, -1 when none.
    int slotOf(const std::string& sender) const;
    void load(card::Runtime& rt);
    void save(card::Runtime& rt) const;
};

// Sends one message; true when the modem took it.
using SendFn = std::function<bool(const std::string& number, const std::string& utf8Text)>;

class Commands
{
  public:
    Commands(card::Runtime& rt, SendFn send) : rt_(rt), send_(std::move(send)) {}

    void load() { users_.load(rt_); }
    // Both command paths for one received message.
    void handle(const Message& m);
    // Registered users' keywords (replies to the sender).
    void registeredPath(const std::string& sender, const std::string& content);
    // Recipients with control rights: UPS keywords without password.
    void recipientPath(const std::string& sender, const std::string& content);

    // The UPS state in the language of the record.
    std::string stateReport(bool english);
    // Periodic reports of the users whose interval has come.
    void periodic();
    void resetTimers() { timers_.fill(0); }
    // Alarm raised (cleared = false) or cleared, to the users who chose it.
    void userAlarm(int alarm, bool cleared);

    const UserRecord& users() const { return users_; }

  private:
    bool passwordIs(std::string_view given) const { return given == users_.password; }
    void reply(const std::string& to, const std::string& text);
    void upsCommand(int command, const std::string& source);

    void registerUser(const std::string& sender, std::string_view arg);
    void listUsers(const std::string& sender, std::string_view arg);
    void slotCommand(const std::string& sender, std::string_view arg, const char* keyword);
    void setAlarms(const std::string& sender, std::string_view arg);
    void listAlarms(const std::string& sender, std::string_view arg);
    void setSystem(const std::string& sender, std::string_view arg);
    void setLanguage(const std::string& sender, std::string_view arg);

    card::Runtime& rt_;
    SendFn send_;
    UserRecord users_;
    std::array<std::time_t, kSlots> timers_{};
};

// ------------------------------------------------------------------- core --

struct Files {
    std::string testResult; // data/test_sms.log
    std::string transcript; // data/send_data.txt
};

class SmsCore
{
  public:
    SmsCore(card::Runtime& rt, ModemIo& io, Files files, std::function<bool(int)> pause = nullptr);

    // Start of the task: identity settings cleared, users loaded.
    void init();
    // One pass of the task (every 3 s): connection, queue, reception, pending.
    void pass();
    // EventFilter: queues work; true when the task should run at once (console).
    bool event(int channel, int code);
    // Console requests waiting, run by the task thread between passes.
    void serveConsole();

    int state() const { return state_; }
    int errors() const { return errors_; }
    size_t pendingAlarms() const { return pendingAlarms_.size(); }
    Commands& commands() { return commands_; }
    Modem& modem() { return modem_; }

    // One console exchange (300 text, 400 hexadecimal): -1 on a bad line.
    int console(int type);

  private:
    struct Queued {
        int channel, code;
    };
    struct PendingAlarm {
        int channel, alarm;
        std::time_t time;
    };

    bool enabled();
    void connection();
    void disconnected();
    // Five errors: the modem is restarted and set up again from state 0.
    bool restartDue();
    void setModemAlarms(int modemState, int simState);
    void drainQueue(bool enabled, bool connected);
    void sendPending();
    void reception();
    void alarmMessages(int channel, int alarm);
    void testMessage();

    card::Runtime& rt_;
    std::function<bool(int)> pause_;
    Files files_;
    Modem modem_;
    Commands commands_;
    int state_ = 0;
    int errors_ = 0;
    std::string lastFailure_; // the set-up failure last logged
    std::mutex queueMutex_;
    std::deque<Queued> queue_;
    std::deque<int> console_;
    std::vector<PendingAlarm> pendingAlarms_;
    std::vector<std::time_t> pendingTests_;
};

} // namespace sms
