/*
 * tcp_server.h - the Modbus/TCP listener shared by mbtcp_slave and mbtcp_pack.
 *
 * One thread runs an Asio event loop for the listeners and every connection;
 * the register image is refreshed and read in that thread only. The listeners
 * bind the port from the setting mbtcp_slavePort and are retried every second
 * while the port is taken. Connections beyond maxConnections are closed at
 * once, and a connection that stays silent for idleTimeout is closed.
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
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
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
