/*
 * plugin.cpp - svc_nut on the card's task shell (server id 6, started when
 * "enable_nut" is set): the protocol server on "nut_port" (3493), the user
 * table reloaded on the web's event, the forced-shutdown latch fed by the
 * signals every second and by the commands posted on channel 0.
 */
#include "server.hpp"

#include "card_plugin.hpp"
#include "card_rules.hpp"
#include "platform.hpp"

#include <chrono>

namespace
{

constexpr int kDefaultPort = 3493;
constexpr auto kServeWait = std::chrono::milliseconds(250);
constexpr auto kPassPeriod = std::chrono::seconds(1);

class NutTask : public card::Task
{
    void init() override { users_.load(card::rt()); }

    void run() override
    {
        card::Runtime& r = card::rt();
        nut::ServerConfig cfg;
        cfg.hosts = nut::listenHosts();
        cfg.port = card::parseInt(r.text("nut_port", std::to_string(kDefaultPort)), kDefaultPort);
        if (cfg.port < 1 || cfg.port > 65535) cfg.port = kDefaultPort;
        // The web's HTTPS material serves STARTTLS as well.
        cfg.certFile = platform::appPath("www/server.crt");
        cfg.keyFile = platform::appPath("www/server.key");
        nut::Server server(ups_, users_, fsd_, std::move(cfg));
        {
            std::lock_guard hold(m_);
            server_ = &server;
        }
        bool complained = false;
        auto nextPass = nut::Clock::now();
        while (!stopped()) {
            if (!server.listening()) {
                if (server.listen()) {
                    r.log("NUT: listening on port " + std::to_string(server.boundPort()));
                } else if (!complained) {
                    r.log("NUT: cannot listen yet, " + server.lastError());
                    complained = true;
                }
            }
            server.step(server.listening() ? kServeWait : std::chrono::milliseconds(1000));
            if (reload_.exchange(false)) {
                users_.load(r);
                r.log("NUT: user list reloaded, " + std::to_string(users_.count()) + " users");
            }
            const auto now = nut::Clock::now();
            if (now >= nextPass) {
                fsd_.observe(r, now);
                nextPass = now + kPassPeriod;
            }
            if (auto why = fsd_.takeNews(); !why.empty())
                r.log("NUT: forced shutdown raised: " + why);
        }
        std::lock_guard hold(m_);
        server_ = nullptr;
    }

    void event(int channel, int code, void*, int) override
    {
        if (channel == card::channel::kNut && code == card::event::kUsersChanged) {
            reload_ = true;
            wakeServer();
        } else if (channel == card::channel::kCommand && code >= 0 &&
                   code <= card::command::kLast) {
            fsd_.commandPosted(card::rt(), code, nut::Clock::now());
        }
    }

    void stopping() override { wakeServer(); }

    void wakeServer()
    {
        std::lock_guard hold(m_);
        if (server_) server_->wake();
    }

    nut::Ups ups_{card::rt()};
    nut::Users users_;
    nut::ForcedShutdown fsd_;
    std::atomic<bool> reload_{false};
    std::mutex m_;
    nut::Server* server_ = nullptr;
};

} // namespace

CARD_TASK(NutTask, "svc_nut", CARD_INFO("svc_nut", "network UPS protocol server"))
