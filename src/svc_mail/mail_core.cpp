/*
 * mail_core.cpp - the queue and the send loop's pass.
 *
 * A pass: take the queued events under the lock (and nothing else under it);
 * turn each alarm event into one mail per recipient whose mask selects the
 * alarm and put them in the outbox; send the test mail at once; send the
 * outbox in order until it is empty or the server does not answer, when the
 * rest waits and is tried again later; then see whether it is the minute of
 * the daily report.
 */
#include "mail.hpp"

#include "platform.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mail
{
namespace
{

std::string format(const char* fmt, auto... args)
{
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

// Written to a new private file and renamed into place: the file is never
// readable by others, not even for a moment, whatever mode an old one had.
bool writePrivate(const std::string& path, const std::string& text)
{
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) platform::makeDirs(path.substr(0, slash));
    const std::string tmp = path + ".new";
    unlink(tmp.c_str());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = fchmod(fd, 0600) == 0;
    for (size_t done = 0; ok && done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    ok = close(fd) == 0 && ok;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

// One address as the programs take it: local@domain, no blanks, no list
// separators, no quotes or brackets that would make it several.
bool plainAddress(std::string_view v)
{
    const size_t at = v.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 >= v.size()) return false;
    if (v.find('@', at + 1) != std::string_view::npos) return false;
    for (char c : v)
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || std::strchr(",;<>\"()\\", c))
            return false;
    return v.front() != '-';
}

struct LocalTime {
    std::tm tm{};
    long offset = 0;
};

LocalTime localTime(std::time_t t)
{
    LocalTime l;
    localtime_r(&t, &l.tm);
    l.offset = l.tm.tm_gmtoff;
    return l;
}

} // namespace

MailCore::MailCore(card::Runtime& rt, Programs& programs, Paths paths,
                   std::function<bool(int)> pause)
    : rt_(rt), programs_(programs), paths_(std::move(paths)), pause_(std::move(pause))
{
}

bool MailCore::event(int channel, int code)
{
    const bool alarm = code >= 0 && code < kAlarmNumbers;
    const bool wanted = (channel == card::channel::kMailStart && (alarm || code == kTestMail)) ||
                        (channel == card::channel::kAlarmEnded && alarm);
    if (!wanted) return false;
    std::lock_guard lock(m_);
    if (events_.size() >= kEventQueueMax) {
        events_.pop_front();
        ++droppedEvents_;
    }
    events_.push_back({channel, code});
    return true;
}

size_t MailCore::queued() const
{
    std::lock_guard lock(m_);
    return events_.size();
}

std::vector<Event> MailCore::take()
{
    std::vector<Event> taken;
    unsigned dropped = 0;
    {
        std::lock_guard lock(m_);
        taken.assign(events_.begin(), events_.end());
        events_.clear();
        std::swap(dropped, droppedEvents_);
    }
    if (dropped)
        rt_.log(format("svc_mail: event queue full, the %u oldest events were dropped", dropped));
    return taken;
}

void MailCore::pass()
{
    const bool enabled = rt_.integer("smtp_enable", 0) == 1;
    std::optional<EventSettings> recipients;
    for (const Event& e : take()) {
        rt_.log(format("e->event.devId is %d ,e->event.eventId is %d", e.channel, e.code));
        if (!enabled) continue;
        if (e.code == kTestMail) {
            sendTest();
            continue;
        }
        if (!recipients) recipients = EventSettings::load(rt_);
        expand(e, enabled, *recipients);
    }
    if (!enabled && !outbox_.empty()) {
        rt_.log(format("svc_mail: mail is off, %zu waiting mails dropped", outbox_.size()));
        outbox_.clear();
    }
    if (enabled) {
        sendOutbox(enabled);
        dailyReport();
    }
}

void MailCore::expand(const Event& e, bool enabled, const EventSettings& ev)
{
    if (!enabled || !ev.send) return;
    const int bit = maskBit(e.code);
    if (bit < 0) {
        rt_.log(format("svc_mail: alarm %d is not mailed", e.code));
        return;
    }
    const Kind kind =
        e.channel == card::channel::kAlarmEnded ? Kind::AlarmCleared : Kind::AlarmRaised;
    for (int i = 0; i < kRecipients; ++i) {
        const std::string& to = ev.to[size_t(i)];
        if (to.empty() || !(ev.mask[size_t(i)] >> bit & 1u)) continue;
        if (!plainAddress(to)) {
            rt_.log(format("svc_mail: recipient %d is no single mail address, skipped", i + 1));
            continue;
        }
        enqueue({kind, e.code, to});
    }
}

void MailCore::enqueue(Mail m)
{
    if (outbox_.size() >= kOutboxMax) {
        const Mail& old = outbox_.front();
        rt_.log(format("svc_mail: mail queue full, dropped the oldest mail (alarm %d to %s)",
                       old.alarm, old.to.c_str()));
        outbox_.pop_front();
    }
    outbox_.push_back(std::move(m));
}

bool MailCore::gap()
{
    return pause_(kMailGapMs);
}

int MailCore::storeCode(const Mail& m) const
{
    return (m.kind == Kind::AlarmCleared ? card::store::kMailAlarmEnd
                                         : card::store::kMailAlarmStart) +
           m.alarm;
}

bool MailCore::writeServerConfig(const ServerSettings& s)
{
    if (writePrivate(paths_.msmtpConf, msmtpConfig(s, paths_.msmtpLog))) {
        const size_t slash = paths_.msmtpLog.rfind('/');
        if (slash != std::string::npos && slash > 0)
            platform::makeDirs(paths_.msmtpLog.substr(0, slash));
        return true;
    }
    rt_.log(format("svc_mail: cannot write %s: %s", paths_.msmtpConf.c_str(), strerror(errno)));
    return false;
}

bool MailCore::writeMessage(const std::string& text)
{
    if (writePrivate(paths_.message, text)) return true;
    rt_.log(format("svc_mail: cannot write %s: %s", paths_.message.c_str(), strerror(errno)));
    return false;
}

void MailCore::sendOutbox(bool enabled)
{
    if (!enabled || outbox_.empty() || rt_.now() < retryAt_) return;
    if (!writeServerConfig(ServerSettings::load(rt_))) return;
    bool first = true;
    while (!outbox_.empty()) {
        if (!first && !gap()) return;
        first = false;
        if (sendMail(outbox_.front()) == Sent::Later) {
            retryAt_ = rt_.now() + kRetryMs / 1000;
            rt_.log(format("svc_mail: mail server not reached, %zu mails wait", outbox_.size()));
            return;
        }
        outbox_.pop_front();
    }
}

MailCore::Sent MailCore::sendMail(const Mail& m)
{
    const ServerSettings s = ServerSettings::load(rt_);
    const System sys = System::load(rt_);
    const LocalTime now = localTime(rt_.now());
    MessageParts parts{m.kind, m.alarm, s.from, m.to, now.tm, now.offset};
    if (!writeMessage(messageText(parts, sys))) return Sent::Done;
    const int status = programs_.run({paths_.msmtp, "-C", paths_.msmtpConf, "-t"}, paths_.message);
    if (retryLater(status)) return Sent::Later;
    if (status != 0)
        rt_.log(format("svc_mail: mail of alarm %d to %s failed (msmtp status %d)", m.alarm,
                       m.to.c_str(), status));
    rt_.storeText(storeCode(m), m.to);
    return Sent::Done;
}

void MailCore::sendTest()
{
    const ServerSettings s = ServerSettings::load(rt_);
    // The web page shows the first line of the client's log: this mail's.
    unlink(paths_.msmtpLog.c_str());
    if (!writeServerConfig(s)) return;
    const LocalTime now = localTime(rt_.now());
    MessageParts parts{Kind::Test, -1, s.from, s.testTo, now.tm, now.offset};
    if (!writeMessage(messageText(parts, System::load(rt_)))) return;
    const int status = programs_.run({paths_.msmtp, "-C", paths_.msmtpConf, "-t"}, paths_.message);
    if (status != 0)
        rt_.log(
            format("svc_mail: test mail to %s failed (msmtp status %d)", s.testTo.c_str(), status));
    rt_.storeText(card::store::kMailTest, s.testTo);
}

void MailCore::dailyReport()
{
    const ReportSettings r = ReportSettings::load(rt_);
    if (!r.daily) return;
    const LocalTime now = localTime(rt_.now());
    if (now.tm.tm_hour != r.hour || now.tm.tm_min != r.minute) {
        served_.fill(false);
        return;
    }
    bool due = false;
    for (int i = 0; i < kReportRecipients; ++i)
        due = due || (!r.to[size_t(i)].empty() && !served_[size_t(i)]);
    if (!due) return;

    const ServerSettings s = ServerSettings::load(rt_);
    const System sys = System::load(rt_);
    if (!writeServerConfig(s)) return;
    if (!writePrivate(paths_.muttConf, muttConfig(paths_.msmtp, paths_.msmtpConf, sys, s.user))) {
        rt_.log(format("svc_mail: cannot write %s", paths_.muttConf.c_str()));
        return;
    }
    const std::string report =
        paths_.reportDir + format("/email_report%04d-%02d-%02d.csv", now.tm.tm_year + 1900,
                                  now.tm.tm_mon + 1, now.tm.tm_mday);
    bool first = true;
    for (int i = 0; i < kReportRecipients; ++i) {
        const std::string& to = r.to[size_t(i)];
        if (to.empty() || served_[size_t(i)]) continue;
        served_[size_t(i)] = true;
        if (!plainAddress(to)) {
            rt_.log(
                format("svc_mail: report recipient %d is no single mail address, skipped", i + 1));
            continue;
        }
        if (!first && !gap()) return;
        first = false;
        MessageParts parts{Kind::DailyReport, -1, s.from, to, now.tm, now.offset};
        if (!writeMessage(draftText(parts, sys))) continue;
        std::vector<std::string> argv = {
            paths_.mutt, "-n",          "-F", paths_.muttConf, "-e", muttOptions(sys.language),
            "-H",        paths_.message};
        if (platform::fileExists(report)) {
            argv.push_back("-a");
            argv.push_back(report);
        }
        const int status = programs_.run(argv, "");
        if (status != 0)
            rt_.log(
                format("svc_mail: daily report to %s failed (mutt status %d)", to.c_str(), status));
        rt_.storeText(card::store::kMailReport, to);
    }
}

} // namespace mail
