/*
 * system.cpp - the clock task's hands on the machine: programs run without a
 * shell, the process's TZ, and the Wake-on-LAN broadcast.
 *
 * The wake-up packets go to the broadcast address of the card's own
 * interface only (its IPv4 address and netmask), sent from that address and
 * bound to that interface, never to 255.255.255.255 on whatever interface the
 * routing picks.
 */
#include "system.hpp"

#include "card_runtime.hpp"
#include "platform.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace svc_clock
{

std::optional<InterfaceAddress> interfaceAddress(const std::string& name)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<InterfaceAddress> found;
    for (ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || name != a->ifa_name) continue;
        if (!(a->ifa_flags & IFF_UP) || !a->ifa_netmask) continue;
        InterfaceAddress ia;
        ia.address = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
        ia.netmask = reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr;
        found = ia;
    }
    freeifaddrs(list);
    return found;
}

std::uint32_t broadcastOf(std::uint32_t address, std::uint32_t netmask)
{
    return address | ~netmask;
}

int CardSystem::run(const std::vector<std::string>& argv, std::string* out)
{
    return platform::runArgv(argv, out);
}

void CardSystem::setZone(const std::string& tz)
{
    ::setenv("TZ", tz.c_str(), 1);
    ::tzset();
}

int CardSystem::broadcast(int port, const std::vector<WakePacket>& packets)
{
    card::Runtime& rt = card::rt();
    const auto ia = interfaceAddress(interface_);
    if (!ia) {
        rt.log("[wakeup] " + interface_ + " has no IPv4 address: no wake-up packet sent");
        return 0;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        rt.log(std::string("[wakeup] socket: ") + std::strerror(errno));
        return 0;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // Without the privilege to bind to the device, the source address still
    // keeps the packets on this interface's network.
    ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface_.c_str(),
                 socklen_t(interface_.size() + 1));
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = ia->address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        rt.log(std::string("[wakeup] bind: ") + std::strerror(errno));
        ::close(fd);
        return 0;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = broadcastOf(ia->address, ia->netmask);
    int sent = 0;
    for (const auto& p : packets) {
        if (::sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
            static_cast<ssize_t>(p.size())) {
            rt.log(std::string("[wakeup] sendto: ") + std::strerror(errno));
            break;
        }
        ++sent;
    }
    ::close(fd);
    return sent;
}

} // namespace svc_clock
