// The server with the runtime's settings store in a temporary app directory:
// the loopback client gets through the login gate and is answered while
// other connections hang half-sent, and it gives up on a silent port.
#include "web.hpp"

#include "card_plugin.hpp"
#include "fieldcore.hpp"
#include "platform.hpp"

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace
{

namespace fs = std::filesystem;

int freePort()
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

int connectTo(int port)
{
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

class WebServer : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        root_ = fs::temp_directory_path() / ("web-server-test-" + std::to_string(::getpid()));
        fs::create_directories(root_ / "app/config");
        fs::create_directories(root_ / "sys/var/run/dataMonitor");
        ::setenv("CARDMON_APP_DIR", (root_ / "app").c_str(), 1);
        ::setenv("CARDMON_SYSROOT", (root_ / "sys").c_str(), 1);
        fieldcore::resetForTests((root_ / "app").string());
        port_ = freePort();
        SaveSettingi("httpPort", port_);
        platform::writeFile(platform::appPath("config/PRODUCT"), "ST-TEST\n");
        stop_.reset();
        server_ =
            std::thread(web::webServer, [](card::Clock::duration d) { return stop_.wait(d); });
        for (int i = 0; i < 100; ++i) {
            int s = connectTo(port_);
            if (s >= 0) {
                ::close(s);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    static void TearDownTestSuite()
    {
        stop_.raise();
        server_.join();
        fs::remove_all(root_);
    }
    static inline fs::path root_;
    static inline int port_ = 0;
    static inline std::thread server_;
    static inline card::StopFlag stop_;
};

TEST_F(WebServer, LoopbackClientPassesTheGateWhileOthersHang)
{
    // Connections that never finish their request hold server threads.
    std::vector<int> hanging;
    for (int i = 0; i < 8; ++i) {
        int s = connectTo(port_);
        ASSERT_GE(s, 0);
        const char* half =
            "POST /NetworkRemoteInfo HTTP/1.1\r\nHost: x\r\nContent-Length: 99\r\n\r\nab";
        ASSERT_GT(::send(s, half, std::strlen(half), 0), 0);
        hanging.push_back(s);
    }
    char buf[5000] = {0};
    int n = httpGetPost("NetworkRemoteInfo", buf, sizeof buf, "user_name1=bob&user_right1=2");
    ASSERT_GT(n, 0);
    std::string answer(buf, static_cast<size_t>(n));
    EXPECT_NE(answer.find("HTTP/1.1 200 OK"), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"result\":\t\"1\""), std::string::npos) << answer;
    EXPECT_EQ(fieldcore::settingText("user_name1"), "bob");

    char small[16] = {0};
    n = httpGetPost("NetworkRemoteInfo", small, sizeof small, "");
    EXPECT_GT(n, 16);          // the length of what came back...
    EXPECT_EQ(small[0], '\0'); // ...but too long for the caller's buffer
    for (int s : hanging)
        ::close(s);
}

TEST_F(WebServer, LoopbackClientGivesUpOnASilentPort)
{
    // A listener that accepts but never answers: the call ends after 5 s.
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::listen(l, 4);
    socklen_t len = sizeof a;
    ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    std::string portFile = platform::sysPath("/var/run/dataMonitor/httpPort");
    platform::writeFile(portFile, std::to_string(ntohs(a.sin_port)) + "\n");
    char buf[100] = {0};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(httpGetPost("sysTime", buf, sizeof buf, "systime=2024-01-01 00:00:00"), 0);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(took, 4.5);
    EXPECT_LT(took, 8);
    EXPECT_EQ(buf[0], '\0');
    ::close(l);
    platform::writeFile(portFile, std::to_string(port_));
}

} // namespace

namespace
{

TEST_F(WebServer, EntryPointsPrepareTheUpdateDirectoryAndDescribeTheModule)
{
    SaveSettings("update_version", "V9");
    SaveSettingi("update_size", 1234);
    DriverInit(nullptr);
    EXPECT_EQ(fieldcore::settingText("update_version", "x"), "");
    EXPECT_EQ(GetSettingi2("update_size", -1), 0);
    EXPECT_TRUE(fs::is_directory(platform::appPath("/root/app/Update")));

    std::string info = DLLInfo();
    EXPECT_EQ(info.size(), 337u); // 338 bytes with the terminator
    EXPECT_NE(info.find("Torvix"), std::string::npos);
    EXPECT_NE(info.find("V1.0"), std::string::npos);
    EXPECT_NE(info.find("2019.08.02"), std::string::npos);
    std::string stamp = std::string(__DATE__).substr(0, 3);
    EXPECT_NE(info.find(stamp, info.size() - 30), std::string::npos);
    EXPECT_EQ(info.substr(info.size() - 2), "\n ");
    EXPECT_EQ(EventFilter(card::channel::kCommand, card::event::kFactoryReset, nullptr, 0),
              0); // factory reset hook: no crash
}

} // namespace
