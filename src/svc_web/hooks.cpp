/*
 * hooks.cpp - work that the server calls but the network and configuration
 * pages own: the IPv6 router-discovery upkeep and the factory reset. Until
 * those pages land they only say that they were asked.
 */
#include "web.hpp"

#include "card_runtime.hpp"

namespace web
{

void proc_ipv6_route_discovery() {}

void RestoreFactorySettings()
{
    card::rt().log("[RestoreFactorySettings] factory reset requested; not available in this build");
}

} // namespace web
