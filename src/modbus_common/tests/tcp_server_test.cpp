// The Modbus/TCP listener on loopback: split requests, garbage, connection
// limit, idle clients, and rebinding a port that was taken.
#include "modbus_frames.h"
#include "tcp_server.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <thread>

using namespace mbslave;
using namespace mbslave::test;
using asio::ip::tcp;
using namespace std::chrono_literals;

namespace
{

// A blocking client with a receive time-out.
struct Client {
    asio::io_context io;
    tcp::socket sock{io};

    explicit Client(int port)
    {
        sock.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
        timeout(3000ms);
    }
    void timeout(std::chrono::milliseconds t)
    {
        timeval tv{static_cast<time_t>(t.count() / 1000),
                   static_cast<suseconds_t>(t.count() % 1000 * 1000)};
        setsockopt(sock.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    void send(const Bytes& b) { asio::write(sock, asio::buffer(b)); }
    // Reads exactly n bytes; fewer when the peer closes or the time-out passes.
    Bytes receive(size_t n)
    {
        Bytes b(n);
        size_t got = 0;
        while (got < n) {
            // Plain recv: it honours SO_RCVTIMEO, Asio's blocking read does not.
            ssize_t r = ::recv(sock.native_handle(), b.data() + got, n - got, 0);
            if (r <= 0) break;
            got += static_cast<size_t>(r);
        }
        b.resize(got);
        return b;
    }
    // True when the server has closed the connection.
    bool closedByServer()
    {
        uint8_t c;
        return ::recv(sock.native_handle(), &c, 1, 0) == 0 || errno == ECONNRESET;
    }
};

template <class F> bool waitFor(F cond, std::chrono::milliseconds limit = 5s)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return cond();
}

struct ServerTest : ::testing::Test {
    card::FakeRuntime rt;
    std::unique_ptr<TcpServer> server;

    void start(size_t maxConns = 256, std::chrono::milliseconds idle = 60s, int port = 0)
    {
        rt.set("mbtcp_slavePort", std::to_string(port));
        rt.set("ups_addr", "5");
        TcpServerConfig cfg;
        cfg.limits = kTcpLimits;
        cfg.bindHosts = {"127.0.0.1"};
        cfg.maxConnections = maxConns;
        cfg.idleTimeout = idle;
        cfg.rebindInterval = 200ms;
        server = std::make_unique<TcpServer>(rt, cfg);
        ASSERT_TRUE(server->start());
        if (port == 0) {
            ASSERT_TRUE(waitFor([&] { return server->boundPort() != 0; }));
        }
    }
    void TearDown() override
    {
        if (server) server->stop();
    }
    static const Bytes& holding9Answer()
    {
        static const Bytes a{0x12, 0x34, 0, 0, 0, 5, 1, 3, 2, 0, 5};
        return a;
    }
};

TEST_F(ServerTest, RequestSplitOverSegmentsAndAfterGarbageIsAnswered)
{
    start();
    Client c(server->boundPort());
    Bytes req = tcpRequest(3, 9, 1);
    c.send(Bytes(req.begin(), req.begin() + 5));
    std::this_thread::sleep_for(50ms);
    c.send(Bytes(req.begin() + 5, req.end()));
    EXPECT_EQ(c.receive(11), holding9Answer());

    Bytes junk(37, 0xEE);
    junk.insert(junk.end(), req.begin(), req.end());
    junk.insert(junk.end(), req.begin(), req.end());
    c.send(junk);
    EXPECT_EQ(c.receive(22).size(), 22u);

    // A unit that gets no answer does not hold up the next request.
    c.send(tcpRequest(3, 9, 1, 2));
    c.send(req);
    EXPECT_EQ(c.receive(11), holding9Answer());
}

TEST_F(ServerTest, ConnectionsBeyondTheLimitAreRefused)
{
    start(3);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i)
        clients.push_back(std::make_unique<Client>(server->boundPort()));
    ASSERT_TRUE(waitFor([&] { return server->connectionCount() == 3; }));
    Client extra(server->boundPort());
    EXPECT_TRUE(extra.closedByServer());
    for (auto& c : clients) {
        c->send(tcpRequest(3, 9, 1));
        EXPECT_EQ(c->receive(11), holding9Answer());
    }
    clients.pop_back();
    ASSERT_TRUE(waitFor([&] { return server->connectionCount() == 2; }));
    Client again(server->boundPort());
    again.send(tcpRequest(3, 9, 1));
    EXPECT_EQ(again.receive(11), holding9Answer());
}

TEST_F(ServerTest, SilentClientIsClosedAfterTheIdleTime)
{
    start(256, 300ms);
    Client silent(server->boundPort());
    Client busy(server->boundPort());
    EXPECT_TRUE(silent.closedByServer());
    // A half frame is kept only until the idle time ends too.
    Client half(server->boundPort());
    half.send(Bytes{0x12, 0x34, 0, 0});
    EXPECT_TRUE(half.closedByServer());
    ASSERT_TRUE(waitFor([&] { return server->connectionCount() == 0; }));
}

TEST_F(ServerTest, RebindsOnceThePortIsFree)
{
    asio::io_context io;
    auto blocker =
        std::make_unique<tcp::acceptor>(io, tcp::endpoint{asio::ip::make_address("127.0.0.1"), 0});
    const int port = blocker->local_endpoint().port();
    start(256, 60s, port);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server->boundPort(), 0);
    blocker.reset();
    ASSERT_TRUE(waitFor([&] { return server->boundPort() == port; }));
    Client c(port);
    c.send(tcpRequest(3, 9, 1));
    EXPECT_EQ(c.receive(11), holding9Answer());
}

TEST_F(ServerTest, ClientFilterDropsFramesOfOtherPeers)
{
    rt.set("enable_tcp_modbus_connect_permission", "1");
    rt.set("tcp_modbus_ip3", "10.1.");
    start();
    Client c(server->boundPort());
    c.timeout(500ms);
    c.send(tcpRequest(3, 9, 1));
    EXPECT_TRUE(c.receive(11).empty());
    server->stop();
    rt.set("tcp_modbus_ip5", "127.0.0.");
    start();
    Client d(server->boundPort());
    d.send(tcpRequest(3, 9, 1));
    EXPECT_EQ(d.receive(11), holding9Answer());
}

} // namespace
