/*
 * ddns_core.hpp - the DDNS task's loop: keep the dynamic DNS name of the
 * chosen provider pointing at the card's public IPv4 address.
 *
 * Every 2 s the pass reads the provider (ddn_service_provider: 0 none, 1 or
 * 2) and the request flag ddns_use. A request runs one update at once (and
 * clears the flag); otherwise an update runs every 600 s. An update finds
 * the public address (STUN against stun_ipaddr_0, then stun_ipaddr_1, or the
 * provider's IP-check page), sends the provider's update request with the
 * account, and sets alarm 20061 of the UPS to 1 when it failed, 0 when it
 * worked or no provider is chosen.
 *
 * The network goes through Net, so the pass is tested with scripted answers;
 * the card's Net is libcurl and the UDP STUN client.
 */
#pragma once

#include "card_runtime.hpp"

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace svc_ddns
{

constexpr int kPassSeconds = 2;
constexpr int kIntervalSeconds = 600;
constexpr int kHttpTimeoutSeconds = 9;

// Where a provider is reached. The card knows two; config/ddns.conf may name
// other URLs for them (check1=, update1=, check2=, update2=).
struct Provider {
    std::string checkUrl;  // IP-check page
    std::string updateUrl; // scheme, host and port of the update service
    std::string path;      // update path
    std::string system;    // "system=" query member, when the provider wants one
};
using Providers = std::array<Provider, 2>;
Providers defaultProviders();
// The defaults with the overrides of a ddns.conf text applied.
Providers providersFrom(std::string_view confText);

struct HttpAnswer {
    int code = 0; // 0: no answer
    std::string body;
    std::string error;
};

class Net
{
  public:
    virtual ~Net() = default;
    virtual HttpAnswer get(const std::string& url, const std::string& user,
                           const std::string& password) = 0;
    virtual std::optional<std::string> stun(const std::string& server) = 0;
    virtual void pause(int ms) = 0;
    // Query text with each value escaped for a URL.
    virtual std::string escape(const std::string& value) = 0;
};

// The IPv4 address an IP-check page shows: of each line (cut at 300 bytes)
// with at least three dots, the digits around the first and the third dot;
// the last line that holds a well-formed address wins.
std::optional<std::string> addressFromPage(std::string_view body);

class DdnsCore
{
  public:
    DdnsCore(card::Runtime& rt, Net& net, Providers providers)
        : rt_(rt), net_(net), providers_(std::move(providers))
    {
    }
    void pass();
    // One update with provider 1 or 2; true when the provider took it.
    bool update(int provider);

  private:
    std::optional<std::string> publicAddress(const Provider& p);
    void setAlarm(bool failed);

    card::Runtime& rt_;
    Net& net_;
    Providers providers_;
    std::optional<std::time_t> last_; // start of the running interval
};

} // namespace svc_ddns
