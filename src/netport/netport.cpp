/*
 * netport.cpp - the TCP port: open text, server and client roles, the
 * peer-closed test and reconnect, the reader thread and the hex trace
 * (see netport.hpp).
 */
#include "netport.hpp"

#include "fieldcore.h"
#include "platform.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace netport
{

namespace
{

constexpr int kMaxPieces = 11;
constexpr size_t kDumpBytes = 1024;
constexpr int kReaderChunk = 255;
constexpr int kDefaultTimeoutMs = 1000;

void log(const std::string& line)
{
    if (sink().log) sink().log(line);
}

std::string format(const char* fmt, auto... args)
{
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

void setTimeouts(int fd, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> pieces;
    if (text.find(':') == std::string::npos) return pieces;
    size_t pos = 0;
    while (pos <= text.size() && int(pieces.size()) < kMaxPieces) {
        size_t colon = text.find(':', pos);
        if (colon == std::string::npos) colon = text.size();
        if (colon > pos) pieces.push_back(text.substr(pos, colon - pos));
        pos = colon + 1;
    }
    return pieces;
}

void closeFd(std::atomic<int>& fd)
{
    const int old = fd.exchange(-1);
    if (old >= 0) ::close(old);
}

} // namespace

Sink& sink()
{
    static Sink s{
        [](const std::string& line) { AppLogOut("%s", line.c_str()); },
        [](const std::string& file, const std::string& head, const std::string& dump) {
            writeLog(platform::appPath(file).c_str(), head.c_str(), dump.c_str(), kTraceLimit);
        },
    };
    return s;
}

std::string hexDump(const unsigned char* data, int len)
{
    std::string out;
    for (int i = 0; i < len && out.size() + 3 < kDumpBytes; ++i)
        out += format("%02x ", data[i]);
    return out;
}

TcpPort::TcpPort(std::string address, int port, int timeoutMs)
    : address_(std::move(address)), portNo_(port),
      timeoutMs_(timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs), server_(address_ == "0.0.0.0")
{
}

TcpPort::~TcpPort()
{
    stopReader();
    closeFd(clientFd_);
    closeFd(fd_);
}

TcpPort* TcpPort::open(const std::string& text, int timeoutMs)
{
    log(format("[%s] %s\n", "HAL_CommOpen", text.c_str()));
    if (text.size() > kMaxOpenText) {
        log("tcp settings error!");
        return nullptr;
    }
    const auto pieces = split(text);
    const int port = pieces.size() >= 2 ? std::atoi(pieces[1].c_str()) : 0;
    if (pieces.size() < 2 || port <= 0 || port > 65535) {
        log(format("%s    tcp error settings %s %d", "HAL_CommOpen", text.c_str(),
                   int(pieces.size())));
        return nullptr;
    }
    log(format("[%s]    open tcp port %d Setting=%s TimeOut=%d\n", "HAL_CommOpen", port,
               text.c_str(), timeoutMs));
    auto* p = new TcpPort(pieces[0], port, timeoutMs);
    // The handle stands even when the first attempt failed: a client
    // connects on its next write.
    if (p->server_)
        p->bind();
    else
        p->connect();
    return p;
}

int TcpPort::newSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log(std::string("socket: ") + std::strerror(errno));
        return -1;
    }
    setTimeouts(fd, timeoutMs_);
    return fd;
}

bool TcpPort::bind()
{
    if (fd_ < 0) {
        const int fd = newSocket();
        if (fd < 0) return false;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        fd_ = fd;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(std::uint16_t(portNo_));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(fd_, kBacklog) != 0) {
        log(format("bind: port %d: %s", portNo_, std::strerror(errno)));
        closeFd(fd_);
        return false;
    }
    return true;
}

bool TcpPort::connect()
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(address_.c_str(), nullptr, &hints, &list) != 0 || !list) {
        log("connect: " + address_ + " is no address");
        return false;
    }
    sockaddr_in sa = *reinterpret_cast<sockaddr_in*>(list->ai_addr);
    ::freeaddrinfo(list);
    sa.sin_port = htons(std::uint16_t(portNo_));
    if (fd_ < 0) {
        const int fd = newSocket();
        if (fd < 0) return false;
        fd_ = fd;
    }
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        closeFd(fd_);
        return false;
    }
    return true;
}

bool TcpPort::peerClosed(int fd)
{
    if (fd < 0) return true;
    unsigned char buf[32];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return false;
    return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
}

bool TcpPort::waitReadable(int fd, int timeoutMs)
{
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    if (r < 0 && errno != EINTR) log("failed select\n");
    return r > 0;
}

int TcpPort::activeSocket() const
{
    const int client = clientFd_;
    return client >= 0 ? client : fd_.load();
}

int TcpPort::read(unsigned char* buf, int len)
{
    if (!buf || len <= 0) return -1;
    ssize_t n;
    if (server_) {
        if (clientFd_ < 0) {
            if (fd_ < 0) return -1;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return -1; // no client within the time-out
            setTimeouts(c, timeoutMs_);
            clientFd_ = c;
        }
        n = ::recv(clientFd_, buf, size_t(len), 0);
        if (n == 0) {
            closeFd(clientFd_); // the next read waits for a new client
            return 0;
        }
    } else {
        if (!waitReadable(fd_, timeoutMs_)) return -1;
        n = ::recv(fd_, buf, size_t(len), 0);
    }
    if (n < 0) return -1;
    trace("recv:", buf, int(n));
    return int(n);
}

int TcpPort::write(const unsigned char* buf, int len)
{
    if (!buf || len <= 0) return -1;
    int fd;
    if (server_) {
        fd = clientFd_;
        if (fd < 0) return -1;
    } else {
        // A peer that went away is connected to again, on a fresh socket.
        if (peerClosed(fd_)) {
            closeFd(fd_);
            if (!connect()) return -1;
            log(format("[HAL_CommWrite] port %d connected to %s again", portNo_, address_.c_str()));
        }
        fd = fd_;
    }
    const ssize_t n = ::send(fd, buf, size_t(len), MSG_NOSIGNAL);
    if (n < 0) return -1;
    trace("send:", buf, int(n));
    return int(n);
}

void TcpPort::trace(const char* dir, const unsigned char* data, int len)
{
    if (len <= 0 || !sink().trace) return;
    timeval tv;
    ::gettimeofday(&tv, nullptr);
    tm t;
    ::localtime_r(&tv.tv_sec, &t);
    const std::string head = format("%d %s", portNo_, dir) +
                             format("%04d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                                    t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec) +
                             format(":%03hu ", static_cast<unsigned short>(tv.tv_usec / 1000));
    sink().trace(format("%s/%d.log", "data", portNo_), head, hexDump(data, len));
}

bool TcpPort::startReader(Feed feed)
{
    stopReader();
    feed_ = std::move(feed);
    exit_ = false;
    try {
        reader_ = std::thread([this] { readerLoop(); });
    } catch (...) {
        return false;
    }
    return true;
}

void TcpPort::stopReader()
{
    exit_ = true;
    if (reader_.joinable()) reader_.join();
}

void TcpPort::readerLoop()
{
    const std::string name = format("%d-%s", portNo_, "readThread");
    ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
    unsigned char buf[kReaderChunk];
    while (!exit_) {
        const int fd = activeSocket();
        if (!waitReadable(fd, timeoutMs_)) {
            if (fd < 0) ::usleep(unsigned(timeoutMs_) * 1000);
            continue;
        }
        if (server_ && clientFd_ < 0) {
            // A client is waiting on the listening socket.
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                setTimeouts(c, timeoutMs_);
                clientFd_ = c;
            }
            continue;
        }
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            trace("recv:", buf, int(n));
            if (feed_) feed_(buf, int(n));
        } else if (server_) {
            closeFd(clientFd_);
        } else {
            ::usleep(unsigned(timeoutMs_) * 1000); // gone: the next write connects again
        }
    }
}

} // namespace netport
