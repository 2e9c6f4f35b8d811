/*
 * plugin.cpp - the web plug-in on the card's task shell: the task's thread
 * starts the server thread, then keeps the periodic IPv6 upkeep going. The
 * server waits on the task's stop flag, so a stop ends both.
 */
#include "web.hpp"

#include "card_plugin.hpp"
#include "platform.hpp"

#include <chrono>

namespace
{

constexpr auto kIpv6Upkeep = std::chrono::seconds(60);

class WebTask : public card::Task
{
    void init() override
    {
        card::rt().save("update_version", "");
        card::rt().saveInt("update_size", 0);
        platform::makeDirs(platform::appPath("/root/app/Update"));
    }

    void run() override
    {
        spawn("webServer-443",
              [this] { web::webServer([this](card::Clock::duration d) { return wait(d); }); });
        // The first upkeep is due one period after the start.
        if (wait(kIpv6Upkeep)) every(kIpv6Upkeep, "ipv6 upkeep", web::proc_ipv6_route_discovery);
    }

    void event(int channel, int code, void*, int) override
    {
        if (channel == card::channel::kCommand && code == card::event::kFactoryReset)
            web::RestoreFactorySettings();
    }
};

} // namespace

// The description keeps its 338-byte layout: the text, then blanks that the
// build stamp ends in (the stamp's line end is the next to last character).
#define WEB_INFO                                                                                   \
    "Torvix module\n"                                                                              \
    "Purpose: web data exchange (pages, settings, logs, firmware)\n"                               \
    "Version: V1.0\n"                                                                              \
    "Developed: 2019.08.02\n"                                                                      \
    "Modified: 2019.08.02\n"                                                                       \
    "Author: card firmware team\n"                                                                 \
    "Modifier: card firmware team\n"                                                               \
    "Last build: " CARD_STAMP_SPACE CARD_STAMP_SPACE CARD_STAMP_SPACE "                 "

CARD_TASK(WebTask, "svc_web", WEB_INFO)

static_assert(sizeof Info == 338, "the web's description is 338 bytes with its terminator");
