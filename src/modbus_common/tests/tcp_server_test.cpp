// The Modbus/TCP listener on loopback: split requests, garbage, room at the
// connection limit and per address, idle clients, and rebinding a port that
// was taken.
#include "modbus_frames.h"
#include "tcp_frame.h"
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

    explicit Client(int port, const char* from = nullptr)
    {
        if (from) {
            sock.open(tcp::v4());
            sock.bind({asio::ip::make_address(from), 0});
        }
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

    void start(size_t maxConns = 256, std::chrono::milliseconds idle = 0ms, int port = 0,
               size_t perAddress = 16)
    {
        rt.set("mbtcp_slavePort", std::to_string(port));
        rt.set("ups_addr", "5");
        TcpServerConfig cfg;
        cfg.limits = kTcpLimits;
        cfg.bindHosts = {"127.0.0.1"};
        cfg.maxConnections = maxConns;
        cfg.maxPerAddress = perAddress;
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

TEST_F(ServerTest, AtTheLimitTheConnectionIdleTheLongestMakesRoom)
{
    start(3);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<Client>(server->boundPort()));
        ASSERT_TRUE(waitFor([&] { return server->connectionCount() == size_t(i + 1); }));
    }
    // Masters 0 and 2 poll; master 1 only sends bytes that make no frame.
    clients[1]->send(Bytes{0xEE, 0xEE});
    for (int i : {0, 2}) {
        clients[size_t(i)]->send(tcpRequest(3, 9, 1));
        EXPECT_EQ(clients[size_t(i)]->receive(11), holding9Answer());
    }
    Client extra(server->boundPort());
    extra.send(tcpRequest(3, 9, 1));
    EXPECT_EQ(extra.receive(11), holding9Answer());
    EXPECT_TRUE(clients[1]->closedByServer());
    for (int i : {0, 2}) {
        clients[size_t(i)]->send(tcpRequest(3, 9, 1));
        EXPECT_EQ(clients[size_t(i)]->receive(11), holding9Answer());
    }
    EXPECT_EQ(server->connectionCount(), 3u);
}

TEST_F(ServerTest, OneAddressCannotKeepAnotherOut)
{
    start(8, 0ms, 0, 4);
    Client master(server->boundPort(), "127.0.0.2");
    master.send(tcpRequest(3, 9, 1));
    EXPECT_EQ(master.receive(11), holding9Answer());
    // Another address opens twenty connections and feeds them garbage.
    std::vector<std::unique_ptr<Client>> flood;
    for (int i = 0; i < 20; ++i) {
        flood.push_back(std::make_unique<Client>(server->boundPort(), "127.0.0.1"));
        flood.back()->send(Bytes{0xEE});
    }
    ASSERT_TRUE(waitFor([&] { return server->connectionCount() == 5; }));
    master.send(tcpRequest(3, 9, 1));
    EXPECT_EQ(master.receive(11), holding9Answer());
    Client second(server->boundPort(), "127.0.0.3");
    second.send(tcpRequest(3, 9, 1));
    EXPECT_EQ(second.receive(11), holding9Answer());
}

TEST_F(ServerTest, IdleConnectionsStayOpenByDefault)
{
    rt.set("mbtcp_slavePort", "0");
    server = std::make_unique<TcpServer>(rt, TcpServerConfig{.bindHosts = {"127.0.0.1"}});
    ASSERT_TRUE(server->start());
    ASSERT_TRUE(waitFor([&] { return server->boundPort() != 0; }));
    Client c(server->boundPort());
    c.timeout(1500ms);
    EXPECT_FALSE(c.closedByServer()); // three sweeps passed, still open
    rt.set("ups_addr", "5");
    c.timeout(3000ms);
    c.send(tcpRequest(3, 9, 1));
    EXPECT_EQ(c.receive(11), holding9Answer());
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
    start(256, 0ms, port);
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

TEST_F(ServerTest, UnlistedMastersReadButTheirWritesAreRefused)
{
    rt.set("tcp_modbus_ip1", "127.0.0.10"); // not this client (127.0.0.1)
    start();
    Client c(server->boundPort());
    c.send(tcpRequest(6, 9, 12));
    Bytes a = c.receive(9);
    ASSERT_EQ(a.size(), 9u);
    EXPECT_EQ(a[7], 0x86);
    EXPECT_EQ(a[8], kWriteRefused);
    EXPECT_NE(rt.text("ups_addr", "1"), "12");
    c.send(tcpRequest(3, 9, 1));
    EXPECT_EQ(c.receive(11), holding9Answer());
    server->stop();
    rt.set("tcp_modbus_ip1", "127.0.0.1");
    start();
    Client d(server->boundPort());
    d.send(tcpRequest(6, 9, 12));
    EXPECT_EQ(d.receive(12), tcpRequest(6, 9, 12));
    EXPECT_EQ(rt.text("ups_addr"), "12");
}

} // namespace
