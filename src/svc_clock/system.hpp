/*
 * system.hpp - the card's System for the clock task (programs, TZ, the
 * Wake-on-LAN broadcast on the card's own interface).
 */
#pragma once

#include "clock_core.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace svc_clock
{

// The card's network interface.
constexpr const char* kCardInterface = "eth0";

struct InterfaceAddress {
    std::uint32_t address; // network byte order
    std::uint32_t netmask;
};
// The IPv4 address and netmask of an interface that is up.
std::optional<InterfaceAddress> interfaceAddress(const std::string& name);
// The directed broadcast of a network (all in network byte order).
std::uint32_t broadcastOf(std::uint32_t address, std::uint32_t netmask);

class CardSystem : public System
{
  public:
    explicit CardSystem(std::string interface = kCardInterface) : interface_(std::move(interface))
    {
    }
    int run(const std::vector<std::string>& argv, std::string* out = nullptr) override;
    void setZone(const std::string& tz) override;
    int broadcast(int port, const std::vector<WakePacket>& packets) override;

  private:
    std::string interface_;
};

} // namespace svc_clock
