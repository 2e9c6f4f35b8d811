/*
 * stun.cpp - RFC 3489 Binding Requests, the NAT-type test sequence and the
 * UDP transport it runs over (see stun.hpp).
 */
#include "stun.hpp"

#include "card_rules.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace svc_ddns
{

namespace
{

constexpr std::uint16_t kBindingRequest = 0x0001;
constexpr std::uint16_t kBindingResponse = 0x0101;
constexpr std::uint16_t kMappedAddress = 0x0001;
constexpr std::uint16_t kChangeRequest = 0x0003;
constexpr std::uint16_t kChangedAddress = 0x0005;
constexpr std::uint8_t kChangeIp = 0x04;
constexpr std::uint8_t kChangePort = 0x02;
constexpr size_t kHeader = 20;
constexpr size_t kMaxMessage = 576;

// Retransmissions of one request, as RFC 3489 paces them (100 ms doubling),
// cut short at 3.1 s: enough for any server on the card's way out.
constexpr std::array<int, 5> kWaitsMs = {100, 200, 400, 800, 1600};

void put16(Bytes& b, std::uint16_t v)
{
    b.push_back(std::uint8_t(v >> 8));
    b.push_back(std::uint8_t(v));
}

std::uint16_t get16(const Bytes& b, size_t at)
{
    return std::uint16_t(b[at] << 8 | b[at + 1]);
}

std::optional<Endpoint> addressAttribute(const Bytes& b, size_t at, size_t len)
{
    if (len != 8 || b[at + 1] != 0x01) return std::nullopt; // IPv4 only
    Endpoint e;
    e.port = get16(b, at + 2);
    e.address = std::uint32_t(b[at + 4]) << 24 | std::uint32_t(b[at + 5]) << 16 |
                std::uint32_t(b[at + 6]) << 8 | b[at + 7];
    return e;
}

// One test: the request, retransmitted until an answer to it comes.
std::optional<BindingResponse> test(Transport& t, const Endpoint& to, bool changeIp,
                                    bool changePort)
{
    const TransactionId id = t.newId();
    const Bytes request = bindingRequest(id, changeIp, changePort);
    for (int waitMs : kWaitsMs) {
        t.send(to, request);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            auto answer = t.receive(int(left.count()));
            if (!answer) break;
            if (auto r = parseResponse(*answer, id)) return r;
        }
    }
    return std::nullopt;
}

class UdpTransport : public Transport
{
  public:
    UdpTransport(int fd, Endpoint local) : fd_(fd), local_(local) {}
    ~UdpTransport() override { ::close(fd_); }

    void send(const Endpoint& to, const Bytes& message) override
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(to.port);
        sa.sin_addr.s_addr = htonl(to.address);
        ::sendto(fd_, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                 sizeof sa);
    }
    std::optional<Bytes> receive(int timeoutMs) override
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        Bytes b(kMaxMessage);
        const ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
        // A refused datagram (ICMP unreachable) reads as an empty answer.
        if (n < 0) return Bytes{};
        b.resize(size_t(n));
        return b;
    }
    Endpoint local() override { return local_; }
    TransactionId newId() override
    {
        TransactionId id;
        for (auto& b : id)
            b = std::uint8_t(rng_());
        return id;
    }

  private:
    int fd_;
    Endpoint local_;
    std::mt19937 rng_{std::random_device{}()};
};

// "host[:port]" with the host checked and resolved to IPv4.
std::optional<Endpoint> resolve(const std::string& server, card::Runtime& rt)
{
    std::string host = server;
    int port = kStunPort;
    if (const size_t colon = server.rfind(':');
        colon != std::string::npos && server.find(':') == colon) {
        host = server.substr(0, colon);
        port = card::parseInt(server.substr(colon + 1), -1);
    }
    if (!card::isHostOrAddress(host) || port <= 0 || port > 65535) {
        rt.log(server + " is not a valid host name");
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) {
        rt.log(host + " is not a valid host name");
        return std::nullopt;
    }
    Endpoint e;
    e.address = ntohl(reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr);
    e.port = std::uint16_t(port);
    ::freeaddrinfo(list);
    char line[300];
    std::snprintf(line, sizeof line, "StunServer[%s] = %s:%d\n", server.c_str(),
                  toText(e.address).c_str(), port);
    rt.log(line);
    return e;
}

// The address our datagrams to the server leave from (no packet is sent).
std::optional<std::uint32_t> sourceAddressTowards(const Endpoint& server)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(server.port);
    sa.sin_addr.s_addr = htonl(server.address);
    socklen_t len = sizeof sa;
    std::optional<std::uint32_t> out;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
        out = ntohl(sa.sin_addr.s_addr);
    ::close(fd);
    return out;
}

} // namespace

std::string toText(std::uint32_t address)
{
    char buf[INET_ADDRSTRLEN];
    const std::uint32_t n = htonl(address);
    return ::inet_ntop(AF_INET, &n, buf, sizeof buf) ? buf : "";
}

Bytes bindingRequest(const TransactionId& id, bool changeIp, bool changePort)
{
    Bytes b;
    put16(b, kBindingRequest);
    put16(b, 8); // the CHANGE-REQUEST attribute, always sent
    b.insert(b.end(), id.begin(), id.end());
    put16(b, kChangeRequest);
    put16(b, 4);
    b.insert(b.end(),
             {0, 0, 0, std::uint8_t((changeIp ? kChangeIp : 0) | (changePort ? kChangePort : 0))});
    return b;
}

std::optional<BindingResponse> parseResponse(const Bytes& m, const TransactionId& id)
{
    if (m.size() < kHeader || get16(m, 0) != kBindingResponse) return std::nullopt;
    const size_t length = get16(m, 2);
    if (kHeader + length > m.size() || !std::equal(id.begin(), id.end(), m.begin() + 4))
        return std::nullopt;
    std::optional<Endpoint> mapped, changed;
    size_t at = kHeader;
    const size_t end = kHeader + length;
    while (at + 4 <= end) {
        const std::uint16_t type = get16(m, at);
        const size_t len = get16(m, at + 2);
        if (at + 4 + len > end) return std::nullopt;
        if (type == kMappedAddress) mapped = addressAttribute(m, at + 4, len);
        if (type == kChangedAddress) changed = addressAttribute(m, at + 4, len);
        at += 4 + len;
    }
    if (!mapped) return std::nullopt;
    return BindingResponse{*mapped, changed};
}

std::string natTypeText(NatType t)
{
    switch (t) {
    case NatType::Open:
        return "StunNatType: Open";
    case NatType::IndependentFilter:
        return "StunNatType: Independent Mapping, Independent Filter";
    case NatType::AddressDependentFilter:
        return "StunNatType: Independent Mapping, Address Dependent Filter";
    case NatType::PortDependentFilter:
        return "StunNatType: Independent Mapping, Port Dependent Filter";
    case NatType::DependentMapping:
        return "StunNatType: Dependent Mapping";
    case NatType::Firewall:
        return "StunNatType: Firewall";
    case NatType::Blocked:
        return "StunNatType: Blocked or could not reach STUN server";
    case NatType::Error:
        break;
    }
    return "StunNatType: Some stun error detetecting NAT type";
}

bool hasPublicAddress(NatType t)
{
    return t == NatType::Open || t == NatType::IndependentFilter ||
           t == NatType::AddressDependentFilter || t == NatType::PortDependentFilter ||
           t == NatType::DependentMapping;
}

StunResult classify(Transport& t, const Endpoint& server)
{
    const auto one = test(t, server, false, false);
    if (!one) return {NatType::Blocked, {}};
    StunResult r{NatType::Error, one->mapped};
    const bool behindNat = !(one->mapped == t.local());
    const bool changedAnswered = test(t, server, true, true).has_value();
    if (!behindNat) {
        r.type = changedAnswered ? NatType::Open : NatType::Firewall;
        return r;
    }
    if (changedAnswered) {
        r.type = NatType::IndependentFilter;
        return r;
    }
    if (!one->changed) return r; // the server cannot tell more
    const auto other = test(t, *one->changed, false, false);
    if (!other) return r;
    if (!(other->mapped == one->mapped)) {
        r.type = NatType::DependentMapping;
        return r;
    }
    r.type = test(t, server, false, true) ? NatType::AddressDependentFilter
                                          : NatType::PortDependentFilter;
    return r;
}

std::optional<std::string> stunPublicAddress(const std::string& server, card::Runtime& rt)
{
    const auto to = resolve(server, rt);
    if (!to) return std::nullopt;
    const auto source = sourceAddressTowards(*to);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (!source || fd < 0) {
        if (fd >= 0) ::close(fd);
        rt.log(natTypeText(NatType::Error));
        return std::nullopt;
    }
    std::mt19937 rng{std::random_device{}()};
    int port = 0;
    for (int attempt = 0; attempt < 20 && port == 0; ++attempt) {
        const int candidate = 20000 + int(rng() % 40000);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(std::uint16_t(candidate));
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) port = candidate;
    }
    if (port == 0) {
        ::close(fd);
        rt.log(natTypeText(NatType::Error));
        return std::nullopt;
    }
    rt.log("StunRandomPort: " + std::to_string(port));
    UdpTransport transport(fd, Endpoint{*source, std::uint16_t(port)});
    const StunResult r = classify(transport, *to);
    rt.log(natTypeText(r.type));
    if (!hasPublicAddress(r.type)) {
        rt.log("Stun: Can't not find the public network IP");
        return std::nullopt;
    }
    return toText(r.mapped.address);
}

} // namespace svc_ddns
