/*
 * server.cpp - listeners and clients of the protocol on one poll loop.
 *
 * Sockets are non-blocking; a client's bytes go in through its LineBuffer and
 * its answers out through a byte queue, so a slow or stalled client only ever
 * waits on itself. After STARTTLS a client's bytes pass through OpenSSL with
 * memory BIOs: the same queues carry ciphertext, and the handshake runs as
 * its bytes arrive.
 */
#include "server.hpp"

#include "platform.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace nut
{

namespace
{

constexpr std::size_t kReadChunk = 4096;
constexpr int kAcceptBurst = 64;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr auto kTlsRetry = std::chrono::seconds(5);
constexpr auto kLinger = std::chrono::seconds(2);

// A file descriptor that closes itself.
class Fd
{
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept
    {
        if (this != &o) {
            reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    void reset()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int get() const { return fd_; }

  private:
    int fd_ = -1;
};

std::string peerText(const sockaddr_storage& ss)
{
    char buf[INET6_ADDRSTRLEN] = {0};
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr))
            inet_ntop(AF_INET, &in6->sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

struct SslCtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

std::unique_ptr<SSL_CTX, SslCtxFree> loadTls(const std::string& cert, const std::string& key)
{
    if (cert.empty() || key.empty() || !platform::fileExists(cert) || !platform::fileExists(key))
        return nullptr;
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(ctx.get(), cert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx.get(), key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return ctx;
}

} // namespace

struct Server::Impl {
    struct Conn {
        Fd fd;
        Client client;
        LineBuffer in;
        std::string out; // bytes for the socket (ciphertext under TLS)
        std::size_t sent = 0;
        std::unique_ptr<SSL, SslFree> ssl;
        BIO* rbio = nullptr; // owned by ssl
        BIO* wbio = nullptr;
        bool closing = false; // close once `out` is sent
        bool eof = false;     // the client sent all it will send
        // Answers sent, our side shut: what still comes is read and dropped
        // until the client closes too (a close with unread bytes would reset
        // the connection and lose the last answer on the way).
        std::optional<Clock::time_point> lingerUntil;
        bool dead = false; // close now
        Clock::time_point lastActive = Clock::now();
        std::optional<Clock::time_point> holdUntil;
        std::string held; // the answer a failed login waits with

        std::size_t queued() const { return out.size() - sent; }
    };

    Server& owner;
    Ups& ups;
    ForcedShutdown& fsd;
    ServerConfig cfg;
    Protocol protocol;
    std::vector<std::pair<std::string, Fd>> listeners; // host, socket (-1: not bound)
    std::list<Conn> conns;
    Fd wakeRead, wakeWrite;
    Clock::time_point acceptPausedUntil{};
    std::unique_ptr<SSL_CTX, SslCtxFree> tls;
    Clock::time_point tlsTried{};

    Impl(Server& o, Ups& u, Users& users, ForcedShutdown& f, ServerConfig c)
        : owner(o), ups(u), fsd(f), cfg(std::move(c)), protocol(u, users, f, o)
    {
        int p[2];
        if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0) {
            wakeRead = Fd(p[0]);
            wakeWrite = Fd(p[1]);
        }
        for (const std::string& h : cfg.hosts)
            listeners.emplace_back(h, Fd());
        tls = loadTls(cfg.certFile, cfg.keyFile);
        tlsTried = Clock::now();
    }

    bool bindOne(const std::string& host, Fd& out, std::string& error);
    void accept(int listenFd);
    bool evictIdlest();
    void readFrom(Conn& c);
    void writeTo(Conn& c);
    void serve(Conn& c);
    void send(Conn& c, const std::string& text);
    void startTls(Conn& c);
    void drainTls(Conn& c);
    void pump(Conn& c);
    void sweep();
    bool wantsRead(const Conn& c) const
    {
        if (c.lingerUntil) return !c.dead && !c.eof;
        return !c.closing && !c.dead && !c.eof && !c.holdUntil && c.queued() <= kMaxQueued;
    }
};

Server::Server(Ups& ups, Users& users, ForcedShutdown& fsd, ServerConfig cfg)
    : impl_(std::make_unique<Impl>(*this, ups, users, fsd, std::move(cfg)))
{
}

Server::~Server() = default;

bool Server::Impl::bindOne(const std::string& host, Fd& out, std::string& error)
{
    sockaddr_storage ss{};
    socklen_t len = 0;
    const bool v6 = host.find(':') != std::string::npos;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(cfg.port));
        if (inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) != 1) {
            error = "bad address " + host;
            return false;
        }
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(cfg.port));
        if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1) {
            error = "bad address " + host;
            return false;
        }
        len = sizeof *a;
    }
    Fd s(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (s.get() < 0 && errno == EAFNOSUPPORT && host == "::")
        return bindOne("0.0.0.0", out, error); // a card without IPv6
    if (s.get() < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1, zero = 0;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // "::" serves IPv4 clients as well (their addresses arrive IPv4-mapped).
    if (v6)
        ::setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, host == "::" ? &zero : &one, sizeof one);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0 ||
        ::listen(s.get(), SOMAXCONN) != 0) {
        error = "[" + host + "]:" + std::to_string(cfg.port) + ": " + std::strerror(errno);
        return false;
    }
    if (owner.port_.load() == 0) {
        sockaddr_storage bound{};
        socklen_t blen = sizeof bound;
        if (::getsockname(s.get(), reinterpret_cast<sockaddr*>(&bound), &blen) == 0)
            owner.port_ = ntohs(bound.ss_family == AF_INET6
                                    ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                    : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    out = std::move(s);
    return true;
}

bool Server::listen()
{
    bool any = false;
    for (auto& [host, fd] : impl_->listeners) {
        if (fd.get() < 0) impl_->bindOne(host, fd, error_);
        any = any || fd.get() >= 0;
    }
    return any;
}

bool Server::listening() const
{
    for (const auto& l : impl_->listeners)
        if (l.second.get() >= 0) return true;
    return false;
}

void Server::wake()
{
    if (impl_->wakeWrite.get() >= 0) {
        const char b = 1;
        [[maybe_unused]] auto n = ::write(impl_->wakeWrite.get(), &b, 1);
    }
}

std::vector<std::string> Server::loggedIn()
{
    std::vector<std::string> out;
    for (const auto& c : impl_->conns)
        if (c.client.loggedIn && !c.dead) out.push_back(c.client.address);
    return out;
}

bool Server::tlsAvailable()
{
    // Certificates may be installed while the card runs: look again now
    // and then.
    if (!impl_->tls && Clock::now() - impl_->tlsTried >= kTlsRetry) {
        impl_->tls = loadTls(impl_->cfg.certFile, impl_->cfg.keyFile);
        impl_->tlsTried = Clock::now();
    }
    return impl_->tls != nullptr;
}

bool Server::Impl::evictIdlest()
{
    Conn* idlest = nullptr;
    for (Conn& c : conns)
        if (!c.dead && !c.client.loggedIn && (!idlest || c.lastActive < idlest->lastActive))
            idlest = &c;
    if (idlest) idlest->dead = true;
    return idlest != nullptr;
}

void Server::Impl::accept(int listenFd)
{
    for (int i = 0; i < kAcceptBurst; ++i) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        const int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&ss), &len,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                acceptPausedUntil = Clock::now() + kAcceptPause; // no busy loop meanwhile
            return;
        }
        const auto live =
            std::count_if(conns.begin(), conns.end(), [](const Conn& c) { return !c.dead; });
        if (static_cast<std::size_t>(live) >= cfg.maxClients && !evictIdlest()) {
            ::close(fd); // every client is monitoring: no room
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Conn& c = conns.emplace_back();
        c.fd = Fd(fd);
        c.client.address = peerText(ss);
    }
}

void Server::Impl::send(Conn& c, const std::string& text)
{
    if (text.empty()) return;
    if (!c.ssl) {
        c.out += text;
        return;
    }
    if (SSL_write(c.ssl.get(), text.data(), static_cast<int>(text.size())) <= 0) {
        ERR_clear_error();
        c.dead = true;
        return;
    }
    drainTls(c);
}

void Server::Impl::drainTls(Conn& c)
{
    char buf[kReadChunk];
    int n;
    while ((n = BIO_read(c.wbio, buf, sizeof buf)) > 0)
        c.out.append(buf, static_cast<std::size_t>(n));
}

void Server::Impl::startTls(Conn& c)
{
    c.ssl.reset(SSL_new(tls.get()));
    c.rbio = BIO_new(BIO_s_mem());
    c.wbio = BIO_new(BIO_s_mem());
    if (!c.ssl || !c.rbio || !c.wbio) {
        if (c.rbio) BIO_free(c.rbio);
        if (c.wbio) BIO_free(c.wbio);
        c.rbio = c.wbio = nullptr;
        c.dead = true;
        return;
    }
    SSL_set_bio(c.ssl.get(), c.rbio, c.wbio);
    SSL_set_accept_state(c.ssl.get());
    c.client.tls = true;
    // Whatever came after the STARTTLS line is the start of the handshake.
    const std::string rest = c.in.takeRest();
    if (!rest.empty()) BIO_write(c.rbio, rest.data(), static_cast<int>(rest.size()));
}

void Server::Impl::readFrom(Conn& c)
{
    char buf[kReadChunk];
    const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
    if (n == 0) {
        c.eof = true; // answer what came, then close
        return;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        c.dead = true;
        return;
    }
    if (n < 0 || c.lingerUntil) return;
    c.lastActive = Clock::now();
    if (!c.ssl) {
        c.in.feed(std::string_view(buf, static_cast<std::size_t>(n)));
        return;
    }
    BIO_write(c.rbio, buf, static_cast<int>(n));
    char plain[kReadChunk];
    for (;;) {
        const int got = SSL_read(c.ssl.get(), plain, sizeof plain);
        if (got > 0) {
            c.in.feed(std::string_view(plain, static_cast<std::size_t>(got)));
            continue;
        }
        const int e = SSL_get_error(c.ssl.get(), got);
        if (e != SSL_ERROR_WANT_READ) {
            ERR_clear_error();
            c.closing = true;
            if (e != SSL_ERROR_ZERO_RETURN) c.dead = true;
        }
        break;
    }
    drainTls(c); // handshake records
}

void Server::Impl::serve(Conn& c)
{
    const auto now = Clock::now();
    if (c.holdUntil) {
        if (now < *c.holdUntil) return;
        c.holdUntil.reset();
        send(c, c.held);
        c.held.clear();
    }
    while (!c.closing && !c.dead && c.queued() <= kMaxQueued) {
        auto text = c.in.next();
        if (!text) break;
        Answer a = protocol.handleLine(c.client, *text);
        if (a.authFailed) {
            c.holdUntil = now + cfg.authDelay;
            c.held = std::move(a.text);
            return;
        }
        send(c, a.text);
        if (a.close) c.closing = true;
        if (a.startTls) {
            startTls(c);
            break;
        }
    }
    if (c.in.overflowed() && !c.closing) {
        send(c, "ERR INVALID-ARGUMENT\n");
        c.closing = true;
    }
    if (c.eof && !c.holdUntil && !c.in.hasLine()) c.closing = true;
}

void Server::Impl::pump(Conn& c)
{
    while (!c.dead) {
        serve(c);
        if (c.queued() > 0) writeTo(c);
        // Unsent answers wait for the socket, a held one for its time.
        if (c.queued() > 0 || c.holdUntil || c.closing || !c.in.hasLine()) break;
    }
    if (c.dead || !c.closing || c.queued() > 0) return;
    if (c.eof || c.lingerUntil) {
        if (c.eof) c.dead = true;
        return;
    }
    ::shutdown(c.fd.get(), SHUT_WR);
    c.lingerUntil = Clock::now() + kLinger;
}

void Server::Impl::writeTo(Conn& c)
{
    while (c.queued() > 0) {
        const ssize_t n =
            ::send(c.fd.get(), c.out.data() + c.sent, c.queued(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) c.dead = true;
            break;
        }
        c.sent += static_cast<std::size_t>(n);
        c.lastActive = Clock::now();
    }
    if (c.queued() == 0) {
        c.out.clear();
        c.sent = 0;
        if (c.out.capacity() > kMaxQueued) c.out.shrink_to_fit();
    } else if (c.sent > kMaxQueued) {
        c.out.erase(0, c.sent);
        c.sent = 0;
    }
}

void Server::Impl::sweep()
{
    const auto now = Clock::now();
    for (auto it = conns.begin(); it != conns.end();) {
        if (!it->dead && now - it->lastActive > cfg.idleTimeout) it->dead = true;
        if (it->lingerUntil && now > *it->lingerUntil) it->dead = true;
        it = it->dead ? conns.erase(it) : std::next(it);
    }
    owner.count_ = conns.size();
}

void Server::step(std::chrono::milliseconds wait)
{
    Impl& s = *impl_;
    const auto now = Clock::now();
    std::vector<pollfd> fds;
    fds.reserve(s.conns.size() + s.listeners.size() + 1);
    if (s.wakeRead.get() >= 0) fds.push_back({s.wakeRead.get(), POLLIN, 0});
    const std::size_t firstListener = fds.size();
    const bool accepting = now >= s.acceptPausedUntil;
    for (auto& l : s.listeners)
        if (l.second.get() >= 0 && accepting) fds.push_back({l.second.get(), POLLIN, 0});
    const std::size_t firstConn = fds.size();
    auto timeout = wait;
    std::vector<Impl::Conn*> polled;
    polled.reserve(s.conns.size());
    for (auto& c : s.conns) {
        short ev = 0;
        if (s.wantsRead(c)) ev |= POLLIN;
        if (c.queued() > 0) ev |= POLLOUT;
        if (c.holdUntil) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*c.holdUntil - now);
            timeout = std::min(timeout, std::max(left, std::chrono::milliseconds(0)));
        }
        fds.push_back({c.fd.get(), ev, 0});
        polled.push_back(&c);
    }
    if (!accepting)
        timeout = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        s.acceptPausedUntil - now));
    const int n =
        ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, timeout.count())));
    if (n < 0 && errno != EINTR) return;

    if (s.wakeRead.get() >= 0 && fds[0].revents) {
        char buf[64];
        while (::read(s.wakeRead.get(), buf, sizeof buf) > 0) {
        }
    }
    for (std::size_t i = 0; i < polled.size(); ++i) {
        Impl::Conn& c = *polled[i];
        const short re = fds[firstConn + i].revents;
        if (re & (POLLERR | POLLNVAL)) c.dead = true;
        if (!c.dead && (re & (POLLIN | POLLHUP)) && s.wantsRead(c)) s.readFrom(c);
        s.pump(c);
    }
    for (std::size_t i = firstListener; i < firstConn; ++i)
        if (fds[i].revents & POLLIN) s.accept(fds[i].fd);
    s.sweep();
}

std::vector<std::string> listenHosts()
{
#ifdef CARDMON_DEVICE
    return {"::"};
#else
    if (platform::inSandbox()) return {"127.0.0.1", "::1"};
    return {"::"};
#endif
}

} // namespace nut
