// The DDNS pass against scripted HTTP answers and STUN results, the reading
// of IP-check pages, and the RFC 3489 test sequence against scripted servers.
#include "ddns_core.hpp"
#include "stun.hpp"

#include "fake_runtime.hpp"

#include <deque>
#include <gtest/gtest.h>

namespace
{

using namespace svc_ddns;

struct Request {
    std::string url, user, password;
};

struct FakeNet : Net {
    std::vector<Request> requests;
    std::deque<HttpAnswer> answers; // empty: 200 with an empty body
    std::vector<std::string> stunAsked;
    std::deque<std::optional<std::string>> stunAnswers;
    int paused = 0;

    HttpAnswer get(const std::string& url, const std::string& user,
                   const std::string& password) override
    {
        requests.push_back({url, user, password});
        if (answers.empty()) return {200, "", ""};
        HttpAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    std::optional<std::string> stun(const std::string& server) override
    {
        stunAsked.push_back(server);
        if (stunAnswers.empty()) return std::nullopt;
        auto a = stunAnswers.front();
        stunAnswers.pop_front();
        return a;
    }
    void pause(int ms) override { paused += ms; }
    std::string escape(const std::string& v) override
    {
        std::string out;
        for (char c : v)
            out += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-'
                       ? std::string(1, c)
                       : "%" + std::to_string(int(c));
        return out;
    }
};

const char* kCheckPage = "<html><head><title>Current IP Check</title></head>"
                         "<body>Current IP Address: 203.0.113.7</body></html>\r\n";

struct Ddns : ::testing::Test {
    card::FakeRuntime rt;
    FakeNet net;
    DdnsCore core{rt, net,
                  providersFrom("check1=http://127.0.0.1:8001/ip\n"
                                "update1=http://127.0.0.1:8002\n")};

    Ddns()
    {
        rt.set("ddn_resolution_name", "ups.example.net");
        rt.set("ddn_login_name", "card");
        rt.set("ddn_login_pass", "s3cret");
    }
    float alarm() { return rt.value(card::kUps, Alarm_No_Get_Dynamic_Domain_Name); }
    void seconds(int n)
    {
        for (int i = 0; i < n; i += kPassSeconds) {
            rt.clock += kPassSeconds;
            core.pass();
        }
    }
};

TEST(IpCheckPage, AddressIsReadAroundTheFirstAndThirdDot)
{
    EXPECT_EQ(addressFromPage("Current IP Address: 203.0.113.7"), "203.0.113.7");
    EXPECT_EQ(addressFromPage(kCheckPage), "203.0.113.7");
    EXPECT_EQ(addressFromPage("ip=198.51.100.254;\n"), "198.51.100.254");
    // The last line that holds one wins; lines without three dots are skipped.
    EXPECT_EQ(addressFromPage("a 192.0.2.1\nb 192.0.2.2\nno address here.\n"), "192.0.2.2");
    for (const char* none : {"", "www.example.com.", "1.2.3", "999.1.1.1", "...", "1..2.3",
                             "Current IP Address: 2001:db8::7", "\n\n\r\n"})
        EXPECT_EQ(addressFromPage(none), std::nullopt) << none;
    // Lines are read in pieces of the 300-byte line buffer: an address
    // across a piece's end is not seen, one inside a later piece is.
    EXPECT_EQ(addressFromPage(std::string(295, 'x') + "192.0.2.9"), std::nullopt);
    EXPECT_EQ(addressFromPage(std::string(5000, 'x') + " 192.0.2.9 "), "192.0.2.9");
}

TEST(Providers, DefaultsAndOverrides)
{
    const Providers d = defaultProviders();
    EXPECT_EQ(d[0].path, "/dyndns/update");
    EXPECT_EQ(d[1].path, "/nic/update");
    EXPECT_NE(d[1].updateUrl.find(":80"), std::string::npos);
    const Providers p = providersFrom("update2=http://127.0.0.1:9/\r\ncheck9=x\nnoise\n");
    EXPECT_EQ(p[1].updateUrl, "http://127.0.0.1:9/");
    EXPECT_EQ(p[0].checkUrl, d[0].checkUrl);
}

TEST_F(Ddns, NoProviderSendsNothingAndClearsTheAlarm)
{
    rt.setValue(card::kUps, Alarm_No_Get_Dynamic_Domain_Name, 1);
    seconds(1200);
    EXPECT_TRUE(net.requests.empty());
    EXPECT_EQ(alarm(), 0.0f);
    rt.set("ddns_use", 1);
    seconds(2);
    EXPECT_TRUE(net.requests.empty());
    EXPECT_EQ(rt.text("ddns_use"), "0");
}

TEST_F(Ddns, RequestedUpdateReadsTheCheckPageAndSendsTheAccount)
{
    rt.set("ddn_service_provider", 1);
    seconds(2); // the first update after the start
    net.requests.clear();
    net.answers = {{200, kCheckPage, ""}, {200, "good", ""}};
    rt.set("ddns_use", 1);
    seconds(2);
    ASSERT_EQ(net.requests.size(), 2u);
    EXPECT_EQ(net.requests[0].url, "http://127.0.0.1:8001/ip");
    EXPECT_EQ(net.requests[1].url, "http://127.0.0.1:8002/dyndns/update?system=dyndns&hostname="
                                   "ups.example.net&myip=203.0.113.7");
    EXPECT_EQ(net.requests[1].user, "card");
    EXPECT_EQ(net.requests[1].password, "s3cret");
    EXPECT_EQ(rt.text("DDNSReqPubIP"), "203.0.113.7");
    EXPECT_EQ(rt.text("ddns_use"), "0");
    EXPECT_EQ(alarm(), 0.0f);
    EXPECT_TRUE(rt.logged("Dynamic domain name resolution succeeded"));

    // Then every 600 s, not sooner; a clock set back restarts the interval.
    net.requests.clear();
    seconds(598);
    EXPECT_TRUE(net.requests.empty());
    rt.clock -= 3600;
    seconds(598);
    EXPECT_TRUE(net.requests.empty());
    net.answers = {{200, kCheckPage, ""}, {200, "good", ""}};
    seconds(4);
    EXPECT_EQ(net.requests.size(), 2u);
}

TEST_F(Ddns, RefusedOrMissingAnswersRaiseTheAlarm)
{
    rt.set("ddn_service_provider", 2);
    net.answers = {{200, kCheckPage, ""}, {401, "badauth", ""}};
    EXPECT_FALSE(core.update(2));
    EXPECT_EQ(alarm(), 1.0f);
    EXPECT_TRUE(rt.logged("hm->resp_code==401"));
    EXPECT_NE(net.requests[1].url.find("/nic/update?hostname="), std::string::npos);

    net.requests.clear();
    net.answers = {{404, "", ""}};
    EXPECT_FALSE(core.update(2));
    EXPECT_EQ(net.requests.size(), 1u) << "no address, no update request";
    EXPECT_TRUE(rt.logged("http reply failed hm->resp_code is 404"));

    net.answers = {{0, "", "Connection refused"}};
    EXPECT_FALSE(core.update(2));
    EXPECT_TRUE(rt.logged("connect() failed: Connection refused"));

    net.answers = {{200, kCheckPage, ""}, {200, "good", ""}};
    EXPECT_TRUE(core.update(2));
    EXPECT_EQ(alarm(), 0.0f);
}

TEST_F(Ddns, DomainNameReachesTheRequestOnlyAsAHostName)
{
    rt.set("ddn_resolution_name", "a.example.net&hostname=victim.example.net");
    EXPECT_FALSE(core.update(1));
    EXPECT_TRUE(net.requests.empty());
    EXPECT_EQ(alarm(), 1.0f);
}

TEST_F(Ddns, StunFindsTheAddressOrTheUpdateFails)
{
    rt.set("stun_service", 1);
    rt.set("stun_ipaddr_0", "stun1.example.net");
    rt.set("stun_ipaddr_1", "stun2.example.net:3479");
    // Firewalled behind both servers: no address, no request, alarm.
    EXPECT_FALSE(core.update(1));
    EXPECT_EQ(net.stunAsked,
              (std::vector<std::string>{"stun1.example.net", "stun2.example.net:3479"}));
    EXPECT_EQ(net.paused, 2000);
    EXPECT_TRUE(net.requests.empty());
    EXPECT_EQ(alarm(), 1.0f);

    net.stunAnswers = {std::nullopt, "198.51.100.20"};
    EXPECT_TRUE(core.update(1));
    EXPECT_EQ(rt.text("StunPubIP"), "198.51.100.20");
    ASSERT_EQ(net.requests.size(), 1u);
    EXPECT_NE(net.requests[0].url.find("myip=198.51.100.20"), std::string::npos);
}

// ---- RFC 3489 ----

Bytes response(const TransactionId& id, Endpoint mapped, std::optional<Endpoint> changed)
{
    Bytes b = {0x01, 0x01, 0, 0};
    b.insert(b.end(), id.begin(), id.end());
    auto attr = [&](std::uint16_t type, Endpoint e) {
        b.insert(b.end(), {std::uint8_t(type >> 8), std::uint8_t(type), 0, 8, 0, 1,
                           std::uint8_t(e.port >> 8), std::uint8_t(e.port),
                           std::uint8_t(e.address >> 24), std::uint8_t(e.address >> 16),
                           std::uint8_t(e.address >> 8), std::uint8_t(e.address)});
    };
    attr(0x0001, mapped);
    if (changed) attr(0x0005, *changed);
    b[3] = std::uint8_t(b.size() - 20);
    return b;
}

// A server and a NAT in one: answers as the scenario says.
struct ScriptedServer : Transport {
    Endpoint localEp{0x0A000002, 40000};
    Endpoint primary{0xC0000201, 3478}, other{0xC0000202, 3479};
    Endpoint mappedPrimary{0xCB007107, 50000}, mappedOther{0xCB007107, 50000};
    bool answersChangeBoth = true, answersChangePort = true, answersOther = true, reachable = true;
    std::deque<Bytes> queue;
    int sent = 0;
    std::uint8_t next = 1;

    void send(const Endpoint& to, const Bytes& m) override
    {
        ++sent;
        TransactionId id;
        std::copy(m.begin() + 4, m.begin() + 20, id.begin());
        const std::uint8_t change = m[27];
        if (!reachable) return;
        if (to == other) {
            if (answersOther) queue.push_back(response(id, mappedOther, primary));
            return;
        }
        if (change == 0x06 && !answersChangeBoth) return;
        if (change == 0x02 && !answersChangePort) return;
        queue.push_back(response({}, mappedPrimary, other)); // a stray answer first
        queue.push_back(response(id, mappedPrimary, other));
    }
    std::optional<Bytes> receive(int) override
    {
        if (queue.empty()) return std::nullopt;
        Bytes b = queue.front();
        queue.pop_front();
        return b;
    }
    Endpoint local() override { return localEp; }
    TransactionId newId() override
    {
        TransactionId id{};
        id.fill(next++);
        return id;
    }
};

TEST(Stun, RequestsAndResponsesFollowTheWireFormat)
{
    TransactionId id;
    id.fill(0xAB);
    const Bytes req = bindingRequest(id, true, false);
    ASSERT_EQ(req.size(), 28u);
    EXPECT_EQ(req[0], 0x00);
    EXPECT_EQ(req[1], 0x01);
    EXPECT_EQ(req[3], 8);
    EXPECT_EQ(req[21], 0x03);
    EXPECT_EQ(req[27], 0x04);

    const Bytes ok = response(id, {0xCB007107, 4660}, Endpoint{0x7F000002, 3479});
    auto r = parseResponse(ok, id);
    ASSERT_TRUE(r);
    EXPECT_EQ(toText(r->mapped.address), "203.0.113.7");
    EXPECT_EQ(r->mapped.port, 4660);
    EXPECT_EQ(r->changed->port, 3479);

    TransactionId other = id;
    other[15] = 0;
    EXPECT_FALSE(parseResponse(ok, other));
    for (size_t cut : {0u, 19u, 20u, 27u, 31u}) {
        Bytes shorter(ok.begin(), ok.begin() + cut);
        EXPECT_FALSE(parseResponse(shorter, id)) << cut;
    }
    Bytes lying = ok;
    lying[3] = 0xF0; // longer than what came
    EXPECT_FALSE(parseResponse(lying, id));
    Bytes error = ok;
    error[1] = 0x11; // Binding Error Response
    EXPECT_FALSE(parseResponse(error, id));
    Bytes v6 = ok;
    v6[25] = 0x02;
    EXPECT_FALSE(parseResponse(v6, id)) << "only an IPv4 mapped address";
}

TEST(Stun, TestSequenceTellsTheNatType)
{
    {
        ScriptedServer s;
        s.reachable = false;
        EXPECT_EQ(classify(s, s.primary).type, NatType::Blocked);
        EXPECT_EQ(s.sent, 5) << "retransmitted, then given up";
    }
    {
        ScriptedServer s;
        s.mappedPrimary = s.localEp;
        EXPECT_EQ(classify(s, s.primary).type, NatType::Open);
        s.answersChangeBoth = false;
        EXPECT_EQ(classify(s, s.primary).type, NatType::Firewall);
        EXPECT_FALSE(hasPublicAddress(NatType::Firewall));
    }
    {
        ScriptedServer s;
        const StunResult r = classify(s, s.primary);
        EXPECT_EQ(r.type, NatType::IndependentFilter);
        EXPECT_EQ(toText(r.mapped.address), "203.0.113.7");
        s.answersChangeBoth = false;
        EXPECT_EQ(classify(s, s.primary).type, NatType::AddressDependentFilter);
        s.answersChangePort = false;
        EXPECT_EQ(classify(s, s.primary).type, NatType::PortDependentFilter);
        s.mappedOther.port = 50001;
        EXPECT_EQ(classify(s, s.primary).type, NatType::DependentMapping);
        s.answersOther = false;
        EXPECT_EQ(classify(s, s.primary).type, NatType::Error);
    }
    EXPECT_EQ(natTypeText(NatType::PortDependentFilter),
              "StunNatType: Independent Mapping, Port Dependent Filter");
}

TEST(Stun, ServerNamesThatAreNoHostsAreRefusedUnresolved)
{
    card::FakeRuntime rt;
    for (const char* bad : {"", "-x", "a b", "stun.example.net:0", "stun.example.net:70000",
                            "stun.example.net:x", "$(reboot)"})
        EXPECT_EQ(stunPublicAddress(bad, rt), std::nullopt) << bad;
    EXPECT_TRUE(rt.logged("is not a valid host name"));
}

} // namespace
