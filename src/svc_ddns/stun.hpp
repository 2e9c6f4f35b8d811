/*
 * stun.hpp - the classic STUN client of RFC 3489: Binding Requests over UDP,
 * tests I, II and III, and the NAT type they reveal.
 *
 * Test I asks the server for the address it sees us at (MAPPED-ADDRESS);
 * test II asks it to answer from its other address and port; test I again,
 * sent to that other address (CHANGED-ADDRESS), tells whether the mapping
 * depends on the destination; test III asks for a change of port only.
 * Messages are built and read here from bytes; the exchange runs over a
 * Transport, so the sequence is tested with scripted answers.
 */
#pragma once

#include "card_runtime.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace svc_ddns
{

constexpr int kStunPort = 3478;

struct Endpoint {
    std::uint32_t address = 0; // host byte order
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};
std::string toText(std::uint32_t address);

using TransactionId = std::array<std::uint8_t, 16>;
using Bytes = std::vector<std::uint8_t>;

// A Binding Request with a CHANGE-REQUEST attribute when a change is asked.
Bytes bindingRequest(const TransactionId& id, bool changeIp, bool changePort);

struct BindingResponse {
    Endpoint mapped;
    std::optional<Endpoint> changed; // the server's other address and port
};
// A Binding Response to request id with an IPv4 MAPPED-ADDRESS; nullopt for
// anything else (other ids, errors, truncated or malformed attributes).
std::optional<BindingResponse> parseResponse(const Bytes& message, const TransactionId& id);

enum class NatType {
    Open,
    IndependentFilter,
    AddressDependentFilter,
    PortDependentFilter,
    DependentMapping,
    Firewall,
    Blocked,
    Error,
};
// "StunNatType: ..." as logged.
std::string natTypeText(NatType t);
// The types behind which the mapped address of test I is the public one.
bool hasPublicAddress(NatType t);

class Transport
{
  public:
    virtual ~Transport() = default;
    virtual void send(const Endpoint& to, const Bytes& message) = 0;
    // The next datagram within timeoutMs, if any.
    virtual std::optional<Bytes> receive(int timeoutMs) = 0;
    // Where our datagrams leave from, as the server would see it without NAT.
    virtual Endpoint local() = 0;
    virtual TransactionId newId() = 0;
};

struct StunResult {
    NatType type = NatType::Error;
    Endpoint mapped; // of test I
};
StunResult classify(Transport& t, const Endpoint& server);

// The whole test against "host[:port]" over a UDP socket of a random port;
// the public address when the type tells one. Logs as it goes.
std::optional<std::string> stunPublicAddress(const std::string& server, card::Runtime& rt);

} // namespace svc_ddns
