/*
 * tcp_server.h - the Modbus/TCP listener shared by mbtcp_slave and mbtcp_pack.
 *
 * One thread runs an Asio event loop for the listeners and every connection;
 * the register image is refreshed and read in that thread only. The listeners
 * bind the port from the setting mbtcp_slavePort and are retried every second
 * while the port is taken.
 *
 * A master may keep one connection and poll it rarely: an idle connection
 * stays open. Only when a new connection would pass maxConnections is the
 * connection idle the longest closed to make room, and one address may hold
 * at most maxPerAddress connections (its own longest idle one goes first), so
 * that one address cannot keep the others out. Only a complete frame that got
 * an answer counts as activity: bytes that never make a frame keep nothing open.
 */
#pragma once

#include "card_runtime.hpp"
#include "pdu.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mbslave
{

struct TcpServerConfig {
    Limits limits = kTcpLimits;               // kTcpLimits or kPackLimits
    std::vector<std::string> bindHosts{"::"}; // "::" listens on both families
    size_t maxConnections = 256;
    size_t maxPerAddress = 32;
    // Closes connections without activity for this long; zero: never.
    std::chrono::milliseconds idleTimeout{0};
    std::chrono::milliseconds rebindInterval{std::chrono::seconds(1)};
    // Called in the server thread with "mbtcp_slave-[::]:502" style text.
    std::function<void(const std::string&)> nameThread;
};

class TcpServer
{
  public:
    TcpServer(card::Runtime& rt, TcpServerConfig cfg);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    // Starts the server thread; false if it could not be created.
    bool start();
    // Ends the event loop and joins the thread; connections are closed.
    void stop();

    // Port of the first bound listener (0 until bound); for tests with port 0.
    int boundPort() const;
    // Connections open right now.
    size_t connectionCount() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace mbslave
