/*
 * plugin.cpp - svc_sms on the card's task shell: the modem on the runtime's
 * port 7, a pass every 3 s, console requests of the web page served as soon
 * as they come.
 */
#include "sms.hpp"

#include "card_plugin.hpp"
#include "platform.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

namespace
{

constexpr auto kPassPeriod = std::chrono::seconds(3);

// Port 7 as the runtime has it; looked up at each use, as the runtime owns it.
class CardModem : public sms::ModemIo
{
  public:
    int write(const void* buf, int len) override
    {
        void* h = getPortHandle(card::kModemPort);
        return h ? CommWrite(h, buf, len) : -1;
    }
    int read(void* buf, int max) override
    {
        void* h = getPortHandle(card::kModemPort);
        return h ? CommRead(h, buf, max) : 0;
    }
    // Whether a device file backs the port.
    static bool open()
    {
        int fd = -1;
        void* h = getPortHandle(card::kModemPort);
        return h && CommControl(h, COMM_CTL_FD, &fd, 0) == 1 && fd >= 0;
    }
};

class SmsTask : public card::Task
{
    void init() override
    {
        core_.init();
        if (!CardModem::open()) card::rt().log("svc_sms: no modem line on port 7");
    }

    void run() override
    {
        auto next = card::Clock::now();
        while (!stopped()) {
            core_.serveConsole();
            if (card::Clock::now() >= next) {
                try {
                    core_.pass();
                } catch (const std::exception& e) {
                    card::rt().log(std::string("svc_sms pass failed: ") + e.what());
                }
                next = card::Clock::now() + kPassPeriod;
            }
            wait(std::max<card::Clock::duration>(next - card::Clock::now(), {}));
        }
    }

    void event(int channel, int code, void*, int) override
    {
        if (core_.event(channel, code)) wake();
    }

    CardModem modem_;
    sms::SmsCore core_{
        card::rt(), modem_,
        sms::Files{platform::appPath("data/test_sms.log"), platform::appPath("data/send_data.txt")},
        [this](int ms) { return pause(std::chrono::milliseconds(ms)); }};
};

} // namespace

CARD_TASK(SmsTask, "svc_sms", CARD_INFO("svc_sms", "GSM modem, alarm messages and SMS commands"))
