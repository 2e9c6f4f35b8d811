/*
 * sms_core.cpp - the SMS task's pass.
 *
 * Every 3 s, while the SMS function is on (sms_enable and use_dev_fun7):
 *   state 0  set the modem up (six commands) and check the SIM (ready and
 *            registered); both complete -> state 1. The modem alarm signals
 *            20057-20060 say what is missing.
 *   state 1  read the modem's identity into the settings -> state 2.
 *   state 2  query the signal: sms_conf "1", sms_signal, periodic reports.
 * Each failure counts one error; the fifth restarts the modem and starts
 * again from state 0. A healthy signal query clears the count; a signal the
 * modem cannot measure (99, no network) counts and holds the messages.
 *
 * Then the queued events are taken in order: alarms (channel 2 raised,
 * channel 7 cleared) and test messages go out at once while connected, and
 * are held (ten of each at most) while not; the held ones go out once the
 * connection is back. Unread messages are read and handed to the command
 * set. Console requests of the web page are served by the task thread
 * between passes, so a console line never cuts into a message.
 */
#include "sms.hpp"

#include <cstdio>
#include <fstream>

namespace sms
{
namespace
{

constexpr int kModemComplete = 63;
constexpr int kSimComplete = 3;
constexpr int kIdentityComplete = 31;
constexpr int kRssiMax = 31;
constexpr size_t kQueueMax = 100;
constexpr size_t kStampBytes = 29; // "send:YYYY-MM-DD hh:mm:ss:mmm "
constexpr int kSetUpPauseMs = 1000;
constexpr int kBetweenMessagesMs = 2000;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hexadecimal byte pairs, blanks and line ends skipped; nullopt on anything else.
std::optional<std::string> hexBytes(std::string_view text)
{
    std::string out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\r' || c == '\n') continue;
        const int v = hexDigit(c);
        if (v < 0) return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(char(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return out;
}

// A transcript line as the web page writes them.
std::string transcriptLine(bool receive, bool hex, std::string_view bytes, std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    char head[64];
    std::snprintf(head, sizeof head, "%s%04d-%02d-%02d %02d:%02d:%02d:%03d ",
                  receive ? "recv:" : "send:", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, 0);
    std::string line = head;
    if (hex) {
        line += ' ';
        for (unsigned char b : bytes) {
            char h[4];
            std::snprintf(h, sizeof h, "%02x ", b);
            line += h;
        }
    } else {
        // The modem's lines on one line of the transcript.
        bool blank = false;
        for (char c : bytes) {
            const bool end = c == '\r' || c == '\n';
            if (end) {
                blank = true;
                continue;
            }
            if (blank && line.size() > kStampBytes) line += ' ';
            blank = false;
            line += c;
        }
    }
    return line + "\r\n";
}

void writeFile(const std::string& path, const std::string& text, bool append)
{
    std::ofstream f(path,
                    append ? std::ios::app | std::ios::binary : std::ios::trunc | std::ios::binary);
    f << text;
}

} // namespace

SmsCore::SmsCore(card::Runtime& rt, ModemIo& io, Files files, std::function<bool(int)> pause)
    : rt_(rt), pause_(pause), files_(std::move(files)), modem_(io, rt, pause),
      commands_(rt, [this](const std::string& number, const std::string& text) {
          return modem_.send(number, text);
      })
{
    if (!pause_)
        pause_ = [this](int ms) {
            rt_.sleepMs(ms);
            return true;
        };
}

void SmsCore::init()
{
    rt_.save("sms_conf", "0");
    for (const char* key :
         {"sms_signal", "sms_maker", "sms_model", "sms_soft", "sms_operater", "sms_center"})
        rt_.save(key, "");
    state_ = 0;
    errors_ = 0;
    pendingAlarms_.clear();
    pendingTests_.clear();
    commands_.resetTimers();
    commands_.load();
}

bool SmsCore::enabled()
{
    return rt_.integer("sms_enable", 0) == 1 && rt_.integer("use_dev_fun7", 1) == 1;
}

void SmsCore::pass()
{
    const bool on = enabled();
    if (on)
        connection();
    else
        disconnected();
    const bool connected = rt_.text("sms_conf", "0") == "1";
    drainQueue(on, connected);
    if (!on || !connected) return;
    reception();
    sendPending();
}

void SmsCore::setModemAlarms(int modemState, int simState)
{
    rt_.setValue(card::kUps, Alarm_Sms_Work_Abnormally, modemState == 0 ? 1.0f : 0.0f);
    rt_.setValue(card::kUps, Alarm_Sim_Not_installed, (simState & 1) ? 0.0f : 1.0f);
    rt_.setValue(card::kUps, Alarm_Sim_Not_registered_network, (simState & 2) ? 0.0f : 1.0f);
}

void SmsCore::connection()
{
    if (state_ == 0) {
        const int modem = modem_.connect();
        pause_(kSetUpPauseMs);
        const int sim = modem_.sim();
        if (modem == kModemComplete && sim == kSimComplete) {
            state_ = 1;
            lastFailure_.clear();
            setModemAlarms(kModemComplete, kSimComplete);
        } else {
            ++errors_;
            setModemAlarms(modem, sim);
            const std::string why =
                "sms modem set-up " + std::to_string(modem) + ", sim " + std::to_string(sim);
            if (why != lastFailure_) rt_.log(why); // once per kind of failure, not every pass
            lastFailure_ = why;
        }
    }
    const bool allDown = rt_.value(card::kUps, Alarm_Sms_Work_Abnormally) == 1.0f &&
                         rt_.value(card::kUps, Alarm_Sim_Not_installed) == 1.0f &&
                         rt_.value(card::kUps, Alarm_Sim_Not_registered_network) == 1.0f;
    rt_.setValue(card::kUps, Alarm_Sms_CommunicationsLost, allDown ? 1.0f : 0.0f);

    if (state_ == 1) {
        if (modem_.identity() == kIdentityComplete)
            state_ = 2;
        else
            ++errors_;
    }
    if (restartDue() || state_ != 2) return;
    // No answer, or no network to measure (99): messages are held meanwhile.
    const int rssi = modem_.signal();
    if (rssi < 1 || rssi > kRssiMax) {
        ++errors_;
        if (rt_.text("sms_conf", "0") != "0") rt_.save("sms_conf", "0");
        restartDue();
        return;
    }
    errors_ = 0;
    if (rt_.text("sms_conf", "0") != "1") rt_.save("sms_conf", "1");
    char text[32];
    std::snprintf(text, sizeof text, "%ddB/%d%%", 2 * rssi - 113, rssi * 100 / kRssiMax);
    if (rt_.text("sms_signal") != text) rt_.save("sms_signal", text);
    commands_.periodic();
}

bool SmsCore::restartDue()
{
    if (errors_ < kErrorsToRestart) return false;
    state_ = 0;
    errors_ = 0;
    rt_.save("sms_conf", "0");
    commands_.resetTimers();
    modem_.restart();
    return true;
}

void SmsCore::disconnected()
{
    errors_ = 0;
    state_ = 0;
    if (rt_.text("sms_conf", "0") != "0") rt_.save("sms_conf", "0");
    commands_.resetTimers();
    for (int sig = Alarm_Sms_Work_Abnormally; sig <= Alarm_Sms_CommunicationsLost; ++sig)
        rt_.setValue(card::kUps, sig, 0.0f);
}

bool SmsCore::event(int channel, int code)
{
    if (channel != card::channel::kSmsStart && channel != card::channel::kAlarmEnded) return false;
    std::lock_guard lock(queueMutex_);
    if (channel == card::channel::kSmsStart &&
        (code == card::event::kModemConsoleSend || code == card::event::kModemConsoleRead)) {
        rt_.log("eventType:" + std::to_string(code));
        console_.push_back(code);
        return true;
    }
    rt_.log((code == card::event::kTestSms ? "SMS_TEST is " : "SMS_EVENT is ") +
            std::to_string(code));
    if (queue_.size() >= kQueueMax) {
        rt_.log("sms queue full, event " + std::to_string(code) + " dropped");
        return false;
    }
    queue_.push_back({channel, code});
    return false;
}

void SmsCore::drainQueue(bool on, bool connected)
{
    std::deque<Queued> work;
    {
        std::lock_guard lock(queueMutex_);
        work.swap(queue_);
    }
    for (const Queued& q : work) {
        if (q.channel == card::channel::kSmsStart && q.code == card::event::kTestSms) {
            if (on && connected)
                testMessage();
            else if (on && pendingTests_.size() < kPendingMax)
                pendingTests_.push_back(rt_.now());
            else if (on)
                rt_.log("sms test dropped: ten tests are waiting");
            continue;
        }
        if (q.code < 0 || q.code >= kAlarmTexts) continue;
        if (on && connected) {
            alarmMessages(q.channel, q.code);
        } else if (on && (recipientBit(q.code) >= 0 || userBit(q.code) >= 0)) {
            if (pendingAlarms_.size() < kPendingMax)
                pendingAlarms_.push_back({q.channel, q.code, rt_.now()});
            else
                rt_.log("sms alarm " + std::to_string(q.code) + " dropped: ten alarms are waiting");
        }
    }
}

void SmsCore::sendPending()
{
    for (size_t i = 0; i < pendingTests_.size(); ++i) {
        testMessage();
        pause_(kBetweenMessagesMs);
    }
    pendingTests_.clear();
    for (const PendingAlarm& a : pendingAlarms_) {
        alarmMessages(a.channel, a.alarm);
        pause_(kBetweenMessagesMs);
    }
    pendingAlarms_.clear();
}

void SmsCore::alarmMessages(int channel, int alarm)
{
    const bool cleared = channel == card::channel::kAlarmEnded;
    const int bit = recipientBit(alarm);
    if (bit >= 0) {
        const int language = rt_.integer("Module_Language", 0);
        const char* text = alarmText(language, alarm, cleared);
        for (int i = 0; i < kSlots; ++i) {
            const std::string number = rt_.text("sms_recpt_" + std::to_string(i), "");
            if (number.empty()) continue;
            const unsigned mask = unsigned(rt_.integer("sms_event_" + std::to_string(i), 0));
            if (!(mask & (1u << bit))) continue;
            if (modem_.send(number, text))
                rt_.storeText((cleared ? card::store::kSmsAlarmEnd : card::store::kSmsAlarmStart) +
                                  alarm,
                              number);
        }
    }
    commands_.userAlarm(alarm, cleared);
}

void SmsCore::testMessage()
{
    std::remove(files_.testResult.c_str());
    const std::string number = rt_.text("test_sms_To", "");
    if (number.empty()) {
        writeFile(files_.testResult, "no number to send the test to\n", false);
        return;
    }
    std::string answer;
    const bool sent = modem_.send(number, testText(rt_.integer("Module_Language", 0)), &answer);
    writeFile(files_.testResult, answer.empty() ? "no answer from the modem\n" : answer, false);
    if (sent) rt_.storeText(card::store::kSmsTest, number);
}

void SmsCore::reception()
{
    const std::vector<Message> messages = modem_.unread();
    for (const Message& m : messages) {
        rt_.log("sms from " + m.sender);
        commands_.handle(m);
    }
    if (!messages.empty()) modem_.deleteRead();
}

void SmsCore::serveConsole()
{
    while (true) {
        int type;
        {
            std::lock_guard lock(queueMutex_);
            if (console_.empty()) return;
            type = console_.front();
            console_.pop_front();
        }
        console(type);
    }
}

int SmsCore::console(int type)
{
    std::string text;
    {
        std::ifstream f(files_.transcript, std::ios::binary);
        if (!f || !std::getline(f, text)) return -1;
    }
    if (text.size() < kStampBytes) return -1;
    text.erase(0, kStampBytes);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    const bool hex = type == card::event::kModemConsoleRead;
    std::string bytes;
    if (hex) {
        auto b = hexBytes(text);
        if (!b) return -1;
        bytes = std::move(*b);
    } else {
        bytes = text.empty() ? text : text + "\r"; // the modem's command terminator
    }
    writeFile(files_.transcript, transcriptLine(false, hex, hex ? bytes : text, rt_.now()), false);
    const std::string answer = modem_.raw(bytes);
    writeFile(files_.transcript, transcriptLine(true, hex, answer, rt_.now()), true);
    return int(answer.size());
}

} // namespace sms
