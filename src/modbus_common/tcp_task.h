/*
 * tcp_task.h - the task of a Modbus/TCP slave plug-in on the card's shell.
 *
 * libmbtcp_slave and libmbtcp_pack differ only in their task name and the
 * size of their input-register image; each entry source derives a default-
 * constructible task from TcpSlaveTask and hands it to CARD_TASK. run() starts
 * the listener on the card's runtime and keeps it until the task is stopped;
 * stopping() closes it with every connection, so the library can unload.
 */
#pragma once

#include "card_plugin.hpp"
#include "tcp_server.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mbslave
{

class TcpSlaveTask : public card::Task
{
  public:
    // inputCount: kInputCount, or kPackInputCount for the battery-pack variant.
    explicit TcpSlaveTask(int inputCount) : limits_(tcpLimits(inputCount)) {}

  protected:
    void run() override;
    void stopping() override;

  private:
    std::unique_ptr<TcpServer> take();

    Limits limits_;
    std::mutex m_;
    std::unique_ptr<TcpServer> server_;
};

// The addresses the listeners bind: "::" (both families) on the card; in a
// development sandbox only the loopback addresses.
std::vector<std::string> listenHosts();

} // namespace mbslave
