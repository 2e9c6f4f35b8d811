// The TCP port through its HAL_Comm functions: open texts, the server that
// serves one client after the other, the client that connects again after
// its peer left, the reader thread and the hex trace. The whole program runs
// in a network namespace of its own, so the server's 0.0.0.0:502 and every
// peer exist only inside it.
#include "netport.hpp"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
void* HAL_CommOpen(const char*, const char*, int, int, int*);
int HAL_CommRead(void*, void*, int);
int HAL_CommWrite(void*, const void*, int);
int HAL_CommControl(void*, int, void*, int);
int HAL_CommClose(void*);
char* DLLInfo(void);
}

namespace
{

std::mutex g_m;
std::vector<std::string> g_logs;
std::vector<std::string> g_traces; // file | head | dump

bool g_isolated = false;

class Isolated : public ::testing::Environment
{
    void SetUp() override
    {
        if (::unshare(CLONE_NEWNET) != 0) return;
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        ifr.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
        g_isolated = fd >= 0 && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
        if (fd >= 0) ::close(fd);
        netport::sink().log = [](const std::string& l) {
            std::lock_guard lock(g_m);
            g_logs.push_back(l);
        };
        netport::sink().trace = [](const std::string& f, const std::string& h,
                                   const std::string& d) {
            std::lock_guard lock(g_m);
            g_traces.push_back(f + "|" + h + "|" + d);
        };
    }
};
const auto* g_env = ::testing::AddGlobalTestEnvironment(new Isolated);

#define NEED_NAMESPACE()                                                                           \
    if (!g_isolated) GTEST_SKIP() << "no network namespace of our own (needs CAP_SYS_ADMIN)"

bool logged(const std::string& text)
{
    std::lock_guard lock(g_m);
    for (const auto& l : g_logs)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

int listener(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(std::uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ::listen(fd, 4);
    return fd;
}

int connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(std::uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    return fd;
}

std::string readSome(int fd)
{
    char buf[256];
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, size_t(n)) : "";
}

std::string halRead(void* h)
{
    char buf[64];
    const int n = HAL_CommRead(h, buf, sizeof buf);
    return n > 0 ? std::string(buf, size_t(n)) : "<" + std::to_string(n) + ">";
}

int halWrite(void* h, const std::string& s)
{
    return HAL_CommWrite(h, s.data(), int(s.size()));
}

TEST(NetportOpen, TextChoosesServerOrClientOrFails)
{
    NEED_NAMESPACE();
    int err = 1;
    void* server = HAL_CommOpen("", "0.0.0.0:502", 0, 200, &err);
    ASSERT_NE(server, nullptr);
    auto* s = static_cast<netport::TcpPort*>(server);
    EXPECT_TRUE(s->server());
    EXPECT_EQ(s->portNo(), 502);
    int fd = -1;
    EXPECT_EQ(HAL_CommControl(server, netport::kActiveSocket, &fd, 4), 1);
    EXPECT_GE(fd, 0) << "listening on 502";
    EXPECT_EQ(HAL_CommClose(server), 1);

    // Nothing is routed in this namespace: the first connect fails, the
    // handle stays for the next write.
    void* client = HAL_CommOpen("", "192.168.1.9:4001", 0, 200, &err);
    ASSERT_NE(client, nullptr);
    EXPECT_FALSE(static_cast<netport::TcpPort*>(client)->server());
    EXPECT_EQ(static_cast<netport::TcpPort*>(client)->address(), "192.168.1.9");
    EXPECT_EQ(halWrite(client, "x"), -1);
    HAL_CommClose(client);

    EXPECT_EQ(HAL_CommOpen("", "192.168.1.9", 0, 200, &err), nullptr);
    EXPECT_TRUE(logged("HAL_CommOpen    tcp error settings 192.168.1.9 0"));
    EXPECT_EQ(err, -1);
    EXPECT_EQ(HAL_CommOpen("", (std::string(95, 'a') + ":5020").c_str(), 0, 200, &err), nullptr);
    EXPECT_TRUE(logged("tcp settings error!"));
    for (const char* bad : {"127.0.0.1:", ":502", "127.0.0.1:0", "127.0.0.1:x", "1.2.3.4:70000"})
        EXPECT_EQ(HAL_CommOpen("", bad, 0, 200, &err), nullptr) << bad;

    EXPECT_EQ(HAL_CommRead(nullptr, &fd, 1), -1);
    EXPECT_EQ(HAL_CommWrite(nullptr, &fd, 1), -1);
    EXPECT_EQ(HAL_CommControl(nullptr, 4097, &fd, 4), 0);
    EXPECT_EQ(HAL_CommClose(nullptr), 0);
    EXPECT_NE(std::string(DLLInfo()).find("netport"), std::string::npos);
}

TEST(NetportServer, ServesOneClientAfterTheOther)
{
    NEED_NAMESPACE();
    void* h = HAL_CommOpen("", "0.0.0.0:502", 0, 300, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(halWrite(h, "early"), -1) << "no client yet";
    EXPECT_EQ(halRead(h), "<-1>") << "no client within the time-out";

    int listening = -1, active = -1;
    HAL_CommControl(h, netport::kActiveSocket, &listening, 4);
    const int a = connectTo(502);
    ::send(a, "\x01\x03", 2, 0);
    EXPECT_EQ(halRead(h), "\x01\x03");
    EXPECT_EQ(halWrite(h, "reply"), 5);
    EXPECT_EQ(readSome(a), "reply");
    HAL_CommControl(h, netport::kActiveSocket, &active, 4);
    EXPECT_GE(listening, 0);
    EXPECT_NE(active, listening) << "the client's socket while one is connected";

    ::close(a);
    EXPECT_EQ(halRead(h), "<0>") << "the client left";
    EXPECT_EQ(halWrite(h, "lost"), -1);
    const int b = connectTo(502);
    ::send(b, "next", 4, 0);
    EXPECT_EQ(halRead(h), "next") << "a new client is served";
    ::close(b);
    HAL_CommClose(h);
    std::lock_guard lock(g_m);
    EXPECT_NE(std::find_if(g_traces.begin(), g_traces.end(),
                           [](const std::string& t) {
                               return t.rfind("data/502.log|502 recv:", 0) == 0 &&
                                      t.find("|01 03 ") != std::string::npos;
                           }),
              g_traces.end());
}

TEST(NetportClient, ConnectsAgainAfterThePeerLeft)
{
    NEED_NAMESPACE();
    const int port = 4001;
    int l = listener(port);
    void* h = HAL_CommOpen("", "127.0.0.1:4001", 0, 300, nullptr);
    ASSERT_NE(h, nullptr);
    int peer = ::accept(l, nullptr, nullptr);
    EXPECT_EQ(halWrite(h, "poll"), 4);
    EXPECT_EQ(readSome(peer), "poll");
    ::send(peer, "answer", 6, 0);
    EXPECT_EQ(halRead(h), "answer");
    EXPECT_EQ(halRead(h), "<-1>") << "nothing more within the time-out";

    // The peer closes its side; the server still listens: the next write
    // goes out on a fresh connection.
    ::close(peer);
    EXPECT_EQ(halRead(h), "<0>");
    EXPECT_EQ(halWrite(h, "again"), 5);
    peer = ::accept(l, nullptr, nullptr);
    EXPECT_EQ(readSome(peer), "again");

    // The server is gone altogether: writes fail until it is back.
    ::close(peer);
    ::close(l);
    EXPECT_EQ(halWrite(h, "gone"), -1);
    EXPECT_EQ(halWrite(h, "gone"), -1);
    l = listener(port);
    EXPECT_EQ(halWrite(h, "back"), 4);
    peer = ::accept(l, nullptr, nullptr);
    EXPECT_EQ(readSome(peer), "back");
    ::close(peer);
    ::close(l);
    HAL_CommClose(h);
}

std::mutex g_fedM;
std::string g_fed;
void feed(unsigned char* d, int n)
{
    std::lock_guard lock(g_fedM);
    g_fed.append(reinterpret_cast<char*>(d), size_t(n));
}

TEST(NetportReader, ThreadFeedsWhatArrivesUntilStopped)
{
    NEED_NAMESPACE();
    const int l = listener(4002);
    void* h = HAL_CommOpen("", "127.0.0.1:4002", 0, 100, nullptr);
    ASSERT_NE(h, nullptr);
    const int peer = ::accept(l, nullptr, nullptr);
    EXPECT_EQ(HAL_CommControl(h, netport::kReaderThread, reinterpret_cast<void*>(&feed), 0), 1);
    ::send(peer, "abc", 3, 0);
    ::send(peer, "def", 3, 0);
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard lock(g_fedM);
            if (g_fed.size() >= 6) break;
        }
        ::usleep(20000);
    }
    EXPECT_EQ(HAL_CommControl(h, netport::kReaderThread, nullptr, 0), 1);
    {
        std::lock_guard lock(g_fedM);
        EXPECT_EQ(g_fed, "abcdef");
    }
    ::send(peer, "ghi", 3, 0);
    EXPECT_EQ(halRead(h), "ghi") << "stopped: the bytes wait for a read";
    ::close(peer);
    ::close(l);
    HAL_CommClose(h);
}

TEST(NetportTrace, DumpShowsAtMostTheFirst341Bytes)
{
    const std::vector<unsigned char> data(400, 0xAB);
    const std::string dump = netport::hexDump(data.data(), int(data.size()));
    EXPECT_EQ(dump.size(), 341u * 3);
    EXPECT_EQ(dump.substr(0, 6), "ab ab ");
    const unsigned char two[] = {0x00, 0x7f};
    EXPECT_EQ(netport::hexDump(two, 2), "00 7f ");
}

} // namespace
