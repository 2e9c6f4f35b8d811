/*
 * mail.hpp - the e-mail task: alarm mails, the test mail and the daily
 * report, handed to the SMTP client msmtp and the mail composer mutt.
 *
 * The task does not speak SMTP. Before each send it writes msmtp's
 * configuration (/etc/msmtp.conf, private: it holds the SMTP password), the
 * message (/root/app/data/mail) and, for the report, mutt's configuration
 * (/etc/mutt.conf); then it runs the program by argument vector, never through
 * a shell, so no settings text is ever read as a command.
 *
 * The pieces:
 *
 *   texts       titles, labels, test body and alarm texts in five languages,
 *               and the alarm selection mask's bit of each alarm.
 *   convert     UTF-8 to and from GB2312/GBK, UCS-2 and IBM857 through iconv.
 *   compose     the two configuration texts and the message text, pure
 *               functions of the settings (hostile values are neutralised
 *               here, so they are tested here).
 *   Programs    how a mail program is run; a recording fake in tests.
 *   MailCore    the queue and the send loop's pass.
 *
 * Threads: event() runs on the poster's thread (the alarm task's, the web
 * server's). It only appends to a bounded queue under a short lock and never
 * waits on the network. The task's own thread takes the queue's contents under
 * that lock and sends after releasing it. Mails that meet a server that is
 * down or slow wait in a second bounded queue, owned by the send thread, and
 * go out once the server answers again; when a queue is full the oldest entry
 * is dropped, with a log line.
 */
#pragma once

#include "card_runtime.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mail
{

constexpr int kRecipients = 8;        // alarm recipients, each with a mask
constexpr int kReportRecipients = 4;  // daily report recipients
constexpr int kAlarmNumbers = 54;     // alarm numbers 0..53 (signal - 20000)
constexpr size_t kEventQueueMax = 64; // events waiting for the send thread
constexpr size_t kOutboxMax = 64;     // mails waiting for the server
constexpr int kMailGapMs = 2000;      // between two mails, as the card always did
constexpr int kRetryMs = 10000;       // a server that did not answer is tried again after
constexpr int kTestMail = card::event::kTestMail;

enum Language { English, SimplifiedChinese, TraditionalChinese, Turkish, Portuguese, Languages };

// Message kinds, numbered as the card numbers them.
enum class Kind { Test = 0, AlarmRaised = 1, DailyReport = 2, AlarmCleared = 3 };

// ------------------------------------------------------------------ texts --

// Subject of a message kind in the language (English outside 0-4). UTF-8.
const char* title(int language, Kind kind);
// The alarm's raised or cleared text; nullptr for numbers that are not mailed
// (24..37 and everything outside 0..53).
const char* alarmText(int language, int alarm, bool cleared);
// Bit of a recipient's selection mask that selects the alarm; -1: never mailed.
int maskBit(int alarm);
// "System Name: ", "System Administrator: ", "System Location: ".
enum class Label { Name, Administrator, Location };
const char* label(int language, Label which);
// Body of the test mail.
const char* testBody(int language);

// ---------------------------------------------------------------- convert --

// Each converts len bytes of in into out (size bytes), returning the number of
// bytes written, or -1 when the converter cannot be opened, the input does not
// convert, or out is too small. out is always 0-terminated when size > 0.
int utf8ToGb2312(char* out, size_t size, const char* in, size_t len);
int gb2312ToUtf8(char* out, size_t size, const char* in, size_t len);
int utf8ToUnicode(char* out, size_t size, const char* in, size_t len); // UCS-2BE
int unicodeToUtf8(char* out, size_t size, const char* in, size_t len);
int utf8ToIbm857(char* out, size_t size, const char* in, size_t len);
int ibm857ToUtf8(char* out, size_t size, const char* in, size_t len);
// Whole texts: nullopt when the text does not convert.
std::optional<std::string> convert(std::string_view text, const char* from, const char* to);

// --------------------------------------------------------------- settings --

struct ServerSettings {
    std::string server;
    int port = 465;
    std::string from;
    bool login = true; // authenticate
    bool tls = true;
    bool starttls = false;
    std::string user;
    std::string password;
    std::string testTo;
    bool proxy = false;
    std::string proxyHost;
    std::string proxyPort;

    static ServerSettings load(card::Runtime& rt);
};

struct EventSettings {
    bool send = false; // sent_event_flag
    std::array<std::string, kRecipients> to{};
    std::array<std::uint32_t, kRecipients> mask{};

    static EventSettings load(card::Runtime& rt);
};

struct ReportSettings {
    bool daily = false;
    int hour = -1, minute = -1; // -1: no valid report time
    std::array<std::string, kReportRecipients> to{};

    static ReportSettings load(card::Runtime& rt);
};

// The card's identity lines of every message.
struct System {
    std::string name, administrator, location;
    int language = English;

    static System load(card::Runtime& rt);
};

// "HH:MM" (one or two digits each) into hour and minute; false otherwise.
bool parseReportTime(std::string_view text, int& hour, int& minute);

// ---------------------------------------------------------------- compose --

// Where the files are and which programs run, resolved for this machine.
struct Paths {
    std::string msmtpConf, muttConf, message, msmtpLog, reportDir, tmpDir;
    std::string msmtp, mutt; // programs
    // The card's paths through the platform layer (sandbox aware).
    static Paths card();
};

// msmtp's configuration: the card's lines in the card's order. Values are
// written bare when they are plain, else quoted so that msmtp reads them back
// whole; control characters are dropped (a line break must never start a
// command of the value's choosing).
std::string msmtpConfig(const ServerSettings& s, const std::string& logFile);
// mutt's configuration. Values are escaped for mutt's parser: no backquote,
// dollar sign or line break of a setting is ever interpreted.
std::string muttConfig(const std::string& msmtpProgram, const std::string& msmtpConf,
                       const System& sys, const std::string& user);

struct MessageParts {
    Kind kind = Kind::Test;
    int alarm = -1;     // alarm mails
    std::string from;   // From_email_address
    std::string to;     // the recipient
    std::tm local{};    // when it is written
    long utcOffset = 0; // seconds east of UTC, for the Date line
};
// The message file: headers, an empty line, the identity lines and the body
// line of the kind. For languages 1 and 2 the text is GBK (declared gb2312
// when it fits GB2312, else gbk), otherwise UTF-8. The subject is an RFC 2047
// encoded word when it is not plain ASCII.
std::string messageText(const MessageParts& m, const System& sys);
// The same message for mutt: always UTF-8 (mutt converts it for sending, to
// GB2312/GBK for the Chinese languages, as mutt is told by muttOptions()).
std::string draftText(const MessageParts& m, const System& sys);
// mutt's "-e" command for the language's character sets.
std::string muttOptions(int language);

// A header value: control characters become blanks.
std::string headerValue(std::string_view v);

// --------------------------------------------------------------- programs --

class Programs
{
  public:
    virtual ~Programs() = default;
    // Runs argv[0] (a path, or a name looked up on the card's PATH) with its
    // standard input read from stdinFile ("" for /dev/null). Returns the exit
    // status, -1 when it could not run, -2 when it was stopped for taking too
    // long.
    virtual int run(const std::vector<std::string>& argv, const std::string& stdinFile) = 0;
};

// The real runner: fork and exec, no shell, the child killed after timeoutMs.
class ChildPrograms : public Programs
{
  public:
    explicit ChildPrograms(std::string tmpDir, int timeoutMs = 60000)
        : tmpDir_(std::move(tmpDir)), timeoutMs_(timeoutMs)
    {
    }
    int run(const std::vector<std::string>& argv, const std::string& stdinFile) override;

  private:
    std::string tmpDir_;
    int timeoutMs_;
};

// Whether msmtp's exit status says the server was not reached or answered
// "try later" (the mail waits and is tried again), as opposed to sent or
// refused for good.
bool retryLater(int status);

// ------------------------------------------------------------------- core --

struct Event {
    int channel, code;
};

class MailCore
{
  public:
    // pause(ms) sleeps between mails; false once the task is stopping.
    MailCore(card::Runtime& rt, Programs& programs, Paths paths, std::function<bool(int)> pause);

    // Poster's thread: queues channel 1 (0..53 raised, 100 test) and channel 7
    // (0..53 cleared); true when queued. Never blocks on anything but the
    // queue's lock, which the sender holds only to take the queue.
    bool event(int channel, int code);

    // One pass of the send loop.
    void pass();

    // Events not yet taken, and mails waiting for the server.
    size_t queued() const;
    size_t waiting() const { return outbox_.size(); }

  private:
    struct Mail {
        Kind kind;
        int alarm;
        std::string to;
    };
    enum class Sent { Done, Later };

    std::vector<Event> take();
    void expand(const Event& e, bool enabled, const EventSettings& ev);
    void enqueue(Mail m);
    void sendOutbox(bool enabled);
    Sent sendMail(const Mail& m);
    void sendTest();
    void dailyReport();

    bool writeServerConfig(const ServerSettings& s);
    bool writeMessage(const std::string& text);
    int storeCode(const Mail& m) const;
    bool gap();

    card::Runtime& rt_;
    Programs& programs_;
    Paths paths_;
    std::function<bool(int)> pause_;

    mutable std::mutex m_; // the event queue only
    std::deque<Event> events_;
    unsigned droppedEvents_ = 0;

    // Send thread only.
    std::deque<Mail> outbox_;
    std::time_t retryAt_ = 0;
    std::array<bool, kReportRecipients> served_{};
};

} // namespace mail
