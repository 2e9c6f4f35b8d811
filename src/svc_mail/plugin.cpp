/*
 * plugin.cpp - svc_mail on the card's task shell: a pass every 2 s, at once
 * when an event comes, the mail programs run from the task's own thread.
 */
#include "mail.hpp"

#include "card_plugin.hpp"

#include <chrono>

namespace
{

constexpr auto kPassPeriod = std::chrono::seconds(2);

class MailTask : public card::Task
{
    void run() override
    {
        every(kPassPeriod, "svc_mail pass", [this] { core_.pass(); });
    }

    void event(int channel, int code, void*, int) override
    {
        if (core_.event(channel, code)) wake();
    }

    mail::Paths paths_ = mail::Paths::card();
    mail::ChildPrograms programs_{paths_.tmpDir};
    mail::MailCore core_{card::rt(), programs_, paths_,
                         [this](int ms) { return pause(std::chrono::milliseconds(ms)); }};
};

} // namespace

CARD_TASK(MailTask, "svc_mail",
          CARD_INFO("svc_mail", "alarm mails, test mail and daily report through msmtp and mutt"))
