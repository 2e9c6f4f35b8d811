/*
 * hooks.cpp - work that the server calls but the network and configuration
 * pages own: the IPv6 router-discovery upkeep and the factory reset. Until
 * those pages land they only say that they were asked.
 */
#include "web.hpp"

#include "fieldcore.h"

namespace web
{

void proc_ipv6_route_discovery() {}

void RestoreFactorySettings()
{
    AppLogOut("[%s] factory reset requested; not available in this build", __func__);
}

} // namespace web
