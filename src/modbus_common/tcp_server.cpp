/*
 * tcp_server.cpp - Asio event loop of the Modbus/TCP slaves.
 *
 * Each connection keeps what it has received until a whole frame is there: a
 * request split over several TCP segments is answered once complete, bytes
 * that cannot start a frame are skipped. The answers to one read are sent
 * before the next read starts, so a client that does not read its answers
 * cannot make the server buffer without bound.
 */
#include "tcp_server.h"

#include "tcp_frame.h"

#include <asio.hpp>

#include <algorithm>
#include <array>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <atomic>
#include <set>
#include <thread>

namespace mbslave
{

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace
{

constexpr size_t kReadChunk = 512; // requests are 12 bytes; keeps idle connections small
constexpr auto kSweepPeriod = std::chrono::milliseconds(500);
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
constexpr int kAllowedClients = 8;

// "dotted IPv4", or the IPv6 text when the address is not an IPv4 one.
std::string peerText(const tcp::endpoint& ep)
{
    asio::ip::address a = ep.address();
    if (a.is_v6() && a.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6()).to_string();
    return a.to_string();
}

} // namespace

struct TcpServer::Impl {
    struct Connection;
    struct Listener {
        std::string host;
        tcp::acceptor acceptor;
        asio::steady_timer retry;
        Listener(asio::io_context& io, std::string h) : host(std::move(h)), acceptor(io), retry(io)
        {
        }
    };

    card::Runtime& rt;
    TcpServerConfig cfg;
    PduHandler pdu;         // the register image lives here, used in the server thread only
    asio::io_context io{1}; // one thread runs it: no internal locking needed
    std::vector<std::unique_ptr<Listener>> listeners;
    std::set<std::shared_ptr<Connection>> conns;
    asio::steady_timer sweep{io};
    std::thread thread;
    std::atomic<int> port{0};
    std::atomic<size_t> connCount{0};
    bool trimDue = false; // connections closed since memory was last handed back

    Impl(card::Runtime& r, TcpServerConfig c) : rt(r), cfg(std::move(c)), pdu(rt, cfg.limits) {}

    void run();
    void bind(Listener& l);
    void accept(Listener& l);
    void sweepIdle();
    void drop(const std::shared_ptr<Connection>& c);
    // Makes room for a new connection from peer (see tcp_server.h).
    void makeRoom(const std::string& peer);
    Access access(const std::string& peer);
};

struct TcpServer::Impl::Connection : std::enable_shared_from_this<Connection> {
    Impl& srv;
    tcp::socket sock;
    std::string peer;
    std::array<uint8_t, kReadChunk> chunk{};
    std::vector<uint8_t> pending; // start of a frame still arriving
    std::vector<uint8_t> out;
    Clock::time_point lastActive = Clock::now();

    Connection(Impl& s, tcp::socket so) : srv(s), sock(std::move(so))
    {
        asio::error_code ec;
        auto ep = sock.remote_endpoint(ec);
        peer = ec ? std::string() : peerText(ep);
        sock.set_option(tcp::no_delay(true), ec);
        sock.non_blocking(true, ec);
    }

    void read()
    {
        auto self = shared_from_this();
        sock.async_read_some(asio::buffer(chunk), [self](asio::error_code ec, size_t n) {
            if (ec) {
                self->srv.drop(self);
                return;
            }
            self->received(n);
        });
    }

    void received(size_t n)
    {
        pending.insert(pending.end(), chunk.begin(), chunk.begin() + static_cast<long>(n));
        TcpWalk walk = walkTcpBuffer(pending);
        out.clear();
        const Access access = walk.frames.empty() ? Access::None : srv.access(peer);
        if (access != Access::None) {
            const std::string origin = "Tcp:" + peer;
            for (auto [at, len] : walk.frames) {
                auto answer =
                    handleTcpFrame(std::span(pending).subspan(at, len), srv.pdu, origin, access);
                out.insert(out.end(), answer.begin(), answer.end());
            }
        }
        if (!out.empty()) lastActive = Clock::now(); // a request was served
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(walk.consumed));
        if (out.empty()) {
            read();
            return;
        }
        // Most answers fit the socket buffer at once: send them right away and
        // only fall back to an asynchronous write for what does not.
        size_t sent = 0;
        asio::error_code ec;
        while (sent < out.size() && !ec)
            sent += sock.write_some(asio::buffer(out.data() + sent, out.size() - sent), ec);
        if (sent == out.size()) {
            read();
            return;
        }
        if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
            srv.drop(shared_from_this());
            return;
        }
        auto self = shared_from_this();
        asio::async_write(sock, asio::buffer(out.data() + sent, out.size() - sent),
                          [self](asio::error_code e, size_t) {
                              if (e) {
                                  self->srv.drop(self);
                                  return;
                              }
                              self->read();
                          });
    }

    void close()
    {
        asio::error_code ec;
        sock.shutdown(tcp::socket::shutdown_both, ec);
        sock.close(ec);
    }
};

Access TcpServer::Impl::access(const std::string& peer)
{
    const bool on = rt.integer("enable_tcp_modbus_connect_permission", 0) == 1;
    std::vector<std::string> list;
    for (int i = 1; i <= kAllowedClients; ++i)
        list.push_back(rt.text("tcp_modbus_ip" + std::to_string(i), ""));
    return clientAccess(peer, on, list);
}

void TcpServer::Impl::drop(const std::shared_ptr<Connection>& c)
{
    c->close();
    if (conns.erase(c)) connCount = conns.size();
}

void TcpServer::Impl::bind(Listener& l)
{
    const std::string portText = rt.text("mbtcp_slavePort", "502");
    const int p = std::atoi(portText.c_str());
    asio::error_code ec;
    auto addr = asio::ip::make_address(l.host, ec);
    if (!ec && p >= 0 && p <= 65535) {
        tcp::endpoint ep(addr, static_cast<unsigned short>(p));
        l.acceptor.open(ep.protocol(), ec);
        if (!ec && addr.is_v6() && addr.to_v6().is_unspecified())
            l.acceptor.set_option(asio::ip::v6_only(false), ec);
        if (!ec) l.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec) l.acceptor.bind(ep, ec);
        if (!ec) l.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    } else if (!ec) {
        ec = asio::error::invalid_argument;
    }
    if (ec) {
        // The port is taken (or the address is missing): try again shortly.
        asio::error_code ignored;
        l.acceptor.close(ignored);
        l.retry.expires_after(cfg.rebindInterval);
        l.retry.async_wait([this, &l](asio::error_code e) {
            if (!e) bind(l);
        });
        return;
    }
    int expected = 0;
    port.compare_exchange_strong(expected, l.acceptor.local_endpoint(ec).port());
    accept(l);
}

void TcpServer::Impl::accept(Listener& l)
{
    l.acceptor.async_accept([this, &l](asio::error_code ec, tcp::socket s) {
        if (ec == asio::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors and the like: pause instead of spinning.
            l.retry.expires_after(kAcceptRetry);
            l.retry.async_wait([this, &l](asio::error_code e) {
                if (!e) accept(l);
            });
            return;
        }
        auto c = std::make_shared<Connection>(*this, std::move(s));
        makeRoom(c->peer);
        conns.insert(c);
        connCount = conns.size();
        c->read();
        accept(l);
    });
}

void TcpServer::Impl::makeRoom(const std::string& peer)
{
    std::shared_ptr<Connection> oldest, oldestOfPeer;
    size_t ofPeer = 0;
    for (const auto& c : conns) {
        if (!oldest || c->lastActive < oldest->lastActive) oldest = c;
        if (c->peer != peer) continue;
        ++ofPeer;
        if (!oldestOfPeer || c->lastActive < oldestOfPeer->lastActive) oldestOfPeer = c;
    }
    if (oldestOfPeer && ofPeer >= std::max<size_t>(cfg.maxPerAddress, 1))
        drop(oldestOfPeer);
    else if (oldest && conns.size() >= std::max<size_t>(cfg.maxConnections, 1))
        drop(oldest);
}

void TcpServer::Impl::sweepIdle()
{
    sweep.expires_after(kSweepPeriod);
    sweep.async_wait([this](asio::error_code ec) {
        if (ec) return;
        const auto now = Clock::now();
        std::vector<std::shared_ptr<Connection>> idle;
        if (cfg.idleTimeout.count() > 0)
            for (const auto& c : conns)
                if (now - c->lastActive > cfg.idleTimeout) idle.push_back(c);
        for (const auto& c : idle)
            drop(c);
#ifdef __GLIBC__
        // After a burst of clients, give the freed buffers back to the system.
        if (conns.empty() && trimDue) malloc_trim(0);
#endif
        if (conns.empty()) trimDue = false;
        sweepIdle();
    });
}

void TcpServer::Impl::run()
{
    if (cfg.nameThread) {
        std::string where;
        for (const auto& l : listeners) {
            where += where.empty() ? "" : ",";
            where += "[" + l->host + "]:" + rt.text("mbtcp_slavePort", "502");
        }
        cfg.nameThread("mbtcp_slave-" + where);
    }
    for (auto& l : listeners)
        bind(*l);
    sweepIdle();
    for (;;) {
        try {
            io.run();
            return;
        } catch (...) {
            // A handler that threw must not end the server for everybody.
        }
    }
}

TcpServer::TcpServer(card::Runtime& rt, TcpServerConfig cfg)
    : impl_(std::make_unique<Impl>(rt, std::move(cfg)))
{
    if (impl_->cfg.bindHosts.empty()) impl_->cfg.bindHosts.push_back("::");
    for (const auto& h : impl_->cfg.bindHosts)
        impl_->listeners.push_back(std::make_unique<Impl::Listener>(impl_->io, h));
}

TcpServer::~TcpServer()
{
    stop();
}

bool TcpServer::start()
{
    if (impl_->thread.joinable()) return true;
    try {
        impl_->thread = std::thread([this] { impl_->run(); });
    } catch (...) {
        return false;
    }
    return true;
}

void TcpServer::stop()
{
    if (!impl_->thread.joinable()) return;
    impl_->io.stop();
    impl_->thread.join();
    for (const auto& c : impl_->conns)
        c->close();
    impl_->conns.clear();
    impl_->connCount = 0;
    for (auto& l : impl_->listeners) {
        asio::error_code ec;
        l->acceptor.close(ec);
    }
}

int TcpServer::boundPort() const
{
    return impl_->port;
}

size_t TcpServer::connectionCount() const
{
    return impl_->connCount;
}

} // namespace mbslave
