/*
 * tcp_plugin.cpp - one TcpServer per plug-in, on the runtime host.
 */
#include "tcp_plugin.h"

#include "fieldcore.h"
#include "runtime_host.h"
#include "tcp_server.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace mbslave
{

namespace
{
std::mutex g_lock;
RuntimeHost g_host;
std::unique_ptr<TcpServer> g_server;
} // namespace

int tcpPluginRun(const char* threadName, int inputCount)
{
    setThreadName(threadName);
    std::lock_guard lk(g_lock);
    if (g_server) return 0;
    TcpServerConfig cfg;
    cfg.inputCount = inputCount;
    cfg.bindHosts = listenHosts();
    cfg.nameThread = [](const std::string& name) { setThreadName(name.c_str()); };
    auto server = std::make_unique<TcpServer>(g_host, std::move(cfg));
    if (!server->start()) {
        std::printf("####pthread_create Server_Comm_Task ERROR ####\n\n");
        return -1;
    }
    g_server = std::move(server);
    return 0;
}

int tcpPluginStop()
{
    std::unique_ptr<TcpServer> server;
    {
        std::lock_guard lk(g_lock);
        server = std::move(g_server);
    }
    if (server) server->stop();
    return 0;
}

} // namespace mbslave
