/*
 * server.hpp - the network side of the protocol: listeners, every client on
 * one poll loop, optional TLS after STARTTLS.
 *
 * Limits that keep one client from hurting the others:
 *   - a request line is at most kMaxLine bytes; a longer one ends the client;
 *   - a client's unsent answers are at most kMaxQueued bytes: past that its
 *     requests wait (and its socket fills) until it reads again;
 *   - at most maxClients connections: a new one pushes out the longest idle
 *     client that has not logged in (a monitoring upsmon keeps its place);
 *   - a client silent for idleTimeout is closed;
 *   - a failed login holds that client's answer (and its further requests)
 *     for authDelay, without holding anyone else.
 */
#pragma once

#include "nut.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace nut
{

struct ServerConfig {
    std::vector<std::string> hosts{"::"}; // "::" serves IPv4 too
    int port = 3493;
    std::size_t maxClients = 512;
    std::chrono::milliseconds idleTimeout{std::chrono::minutes(5)};
    std::chrono::milliseconds authDelay{std::chrono::seconds(1)};
    std::string certFile, keyFile; // PEM; TLS is offered while both load
};

constexpr std::size_t kMaxQueued = 64 * 1024;

class Server : public Peers
{
  public:
    Server(Ups& ups, Users& users, ForcedShutdown& fsd, ServerConfig cfg);
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the listeners that are not bound yet; true when one listens.
    // The reason of the last failure is in lastError().
    bool listen();
    bool listening() const;
    const std::string& lastError() const { return error_; }
    // Port of the first listener (the bound one when the config said 0).
    int boundPort() const { return port_.load(); }

    // Waits up to `wait` for clients and serves them.
    void step(std::chrono::milliseconds wait);
    // Ends a step early; callable from any thread.
    void wake();

    std::size_t clientCount() const { return count_.load(); }

    // Peers
    std::vector<std::string> loggedIn() override;
    bool tlsAvailable() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string error_;
    std::atomic<int> port_{0};
    std::atomic<std::size_t> count_{0};
};

// The hosts the card listens on: every address on the card, loopback in a
// sandbox.
std::vector<std::string> listenHosts();

} // namespace nut
