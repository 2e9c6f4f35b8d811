// The server on loopback sockets: many clients at once, and the clients that
// must not hurt the others (endless lines, a reader that stopped, a crowd of
// idle connections, a password guesser).
#include "server.hpp"

#include "fake_runtime.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace nut
{
namespace
{

using namespace std::chrono_literals;

class Socket
{
  public:
    explicit Socket(int port)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Socket() { ::close(fd_); }
    bool connected() const { return connected_; }
    bool send(const std::string& s)
    {
        std::size_t done = 0;
        while (done < s.size()) {
            const ssize_t n = ::send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Reads until `lines` line ends arrived, the peer closed, or the time ran
    // out.
    std::string read(int lines = 1, std::chrono::milliseconds limit = 3s)
    {
        std::string got;
        const auto end = Clock::now() + limit;
        while (std::count(got.begin(), got.end(), '\n') < lines) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    bool closed() const { return closed_; }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
};

struct ServerTest : ::testing::Test {
    card::FakeRuntime rt;
    Ups ups{rt};
    Users users;
    ForcedShutdown fsd;
    std::unique_ptr<Server> server;
    std::atomic<bool> stop{false};
    std::thread loop;

    void start(ServerConfig cfg = {})
    {
        rt.link(card::kUps, true);
        rt.set("user_name1", "op");
        rt.set("user_pass1", "o2");
        rt.set("user_right1", "2");
        rt.set("user_ip1", "127.0.0.1");
        users.load(rt);
        cfg.hosts = {"127.0.0.1"};
        cfg.port = 0;
        server = std::make_unique<Server>(ups, users, fsd, cfg);
        ASSERT_TRUE(server->listen()) << server->lastError();
        loop = std::thread([this] {
            while (!stop)
                server->step(50ms);
        });
    }
    void TearDown() override
    {
        stop = true;
        if (server) server->wake();
        if (loop.joinable()) loop.join();
    }
    int port() const { return server->boundPort(); }
    bool answersStatus()
    {
        Socket s(port());
        return s.send("GET VAR ups ups.status\n") && s.read() == "VAR ups ups.status \"OL\"\n";
    }
};

TEST_F(ServerTest, ManyClientsAtOnceEachGetTheirAnswers)
{
    start();
    std::vector<std::unique_ptr<Socket>> clients;
    for (int i = 0; i < 100; ++i)
        clients.push_back(std::make_unique<Socket>(port()));
    for (auto& c : clients)
        ASSERT_TRUE(c->send("GET VAR ups ups.status\nGET NUMLOGINS ups\n"));
    for (auto& c : clients)
        EXPECT_EQ(c->read(2), "VAR ups ups.status \"OL\"\nNUMLOGINS ups 0\n");
}

TEST_F(ServerTest, AnEndlessLineEndsOnlyThatClient)
{
    start();
    Socket flood(port());
    std::string chunk(64 * 1024, 'A');
    for (int i = 0; i < 16 && flood.send(chunk); ++i) {
    }
    EXPECT_EQ(flood.read(), "ERR INVALID-ARGUMENT\n");
    flood.read(1, 1s);
    EXPECT_TRUE(flood.closed());
    EXPECT_TRUE(answersStatus());
}

TEST_F(ServerTest, AClientThatStopsReadingDoesNotHoldTheOthers)
{
    start();
    Socket stalled(port());
    std::string burst;
    for (int i = 0; i < 200; ++i)
        burst += "LIST VAR ups\n";
    // Its socket fills and the server stops reading its requests; the sends
    // themselves may block, so they run on a thread of their own.
    std::thread writer([&] {
        for (int i = 0; i < 100 && stalled.send(burst); ++i) {
        }
    });
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(answersStatus());
    TearDown(); // the server goes: the writer's socket errors out
    writer.join();
}

TEST_F(ServerTest, IdleCrowdsMakeRoomAndMonitorsKeepTheirPlace)
{
    ServerConfig cfg;
    cfg.maxClients = 20;
    start(cfg);
    Socket monitor(port());
    ASSERT_TRUE(monitor.send("USERNAME op\nPASSWORD o2\nLOGIN ups\n"));
    ASSERT_EQ(monitor.read(3), "OK\nOK\nOK\n");
    std::vector<std::unique_ptr<Socket>> idle;
    for (int i = 0; i < 60; ++i)
        idle.push_back(std::make_unique<Socket>(port()));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(answersStatus());
    EXPECT_LE(server->clientCount(), 20u);
    ASSERT_TRUE(monitor.send("GET VAR ups ups.status\n"));
    EXPECT_EQ(monitor.read(), "VAR ups ups.status \"OL\"\n");
}

TEST_F(ServerTest, AWrongPasswordWaitsWithoutHoldingOthers)
{
    ServerConfig cfg;
    cfg.authDelay = 600ms;
    start(cfg);
    Socket guesser(port());
    ASSERT_TRUE(guesser.send("USERNAME op\nPASSWORD nope\nLOGIN ups\nGET VAR ups ups.status\n"));
    EXPECT_EQ(guesser.read(2), "OK\nOK\n");
    const auto asked = Clock::now();
    EXPECT_TRUE(answersStatus());
    EXPECT_LT(Clock::now() - asked, 400ms);
    EXPECT_EQ(guesser.read(2), "ERR ACCESS-DENIED\nVAR ups ups.status \"OL\"\n");
    EXPECT_GE(Clock::now() - asked, 550ms);
}

TEST_F(ServerTest, AnswersWhatCameBeforeTheClientHungUp)
{
    start();
    {
        Socket s(port());
        ASSERT_TRUE(s.send("GET VAR ups ups.status\nLOGOUT\nGET VAR ups ups.status\n"));
        EXPECT_EQ(s.read(3), "VAR ups ups.status \"OL\"\nOK Goodbye\n");
        EXPECT_TRUE(s.closed());
    }
    EXPECT_TRUE(answersStatus());
}

} // namespace
} // namespace nut
