/*
 * tcp_task.cpp - TcpSlaveTask: one TcpServer per plug-in, on the card's
 * runtime (see tcp_task.h).
 */
#include "tcp_task.h"

#include "platform.hpp"

#include <cstdio>

namespace mbslave
{

namespace
{
// The listener needs no attention of the task's thread: it only waits.
constexpr auto kIdleWait = std::chrono::hours(1);
} // namespace

void TcpSlaveTask::run()
{
    {
        std::lock_guard lock(m_);
        TcpServerConfig cfg;
        cfg.limits = limits_;
        cfg.bindHosts = listenHosts();
        cfg.nameThread = [](const std::string& name) { setThreadName(name.c_str()); };
        server_ = std::make_unique<TcpServer>(card::rt(), std::move(cfg));
        if (!server_->start()) {
            server_.reset();
            std::printf("####pthread_create Server_Comm_Task ERROR ####\n\n");
            return;
        }
    }
    while (wait(kIdleWait)) {
    }
    // Stopped: stopping() has closed the server unless it ran before start.
    if (auto server = take()) server->stop();
}

void TcpSlaveTask::stopping()
{
    if (auto server = take()) server->stop();
}

std::unique_ptr<TcpServer> TcpSlaveTask::take()
{
    std::lock_guard lock(m_);
    return std::move(server_);
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

} // namespace mbslave
