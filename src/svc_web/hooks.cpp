/*
 * hooks.cpp - work that the server calls but the configuration pages own:
 * the factory reset. (The IPv6 upkeep lives with the network pages.)
 */
#include "web.hpp"

#include "card_runtime.hpp"
#include "config_file.hpp"

namespace web
{

// The factory-reset event: nobody waits for an answer, so the card reboots at once.
void RestoreFactorySettings()
{
    config::factoryReset(0);
}

} // namespace web
