/*
 * plugin.cpp - libmbrtu_slave: the Modbus RTU slave on the RS-485 line (port 3).
 *
 * The line is shared with the sensor modules and battery packs; the runtime's
 * port layer interleaves our reads and writes with their polling. The task
 * waits for the line to become readable, reads what arrived, answers every
 * frame addressed to setting 485modbus_slave_addr and pauses 100 ms.
 */
#include "card_plugin.hpp"
#include "rtu_frame.h"

#include <poll.h>

#include <cstdio>

namespace
{

using namespace std::chrono_literals;

constexpr auto kWaitReadable = 10s;
constexpr auto kWaitSlice = 500ms; // so that a stop is noticed quickly
constexpr auto kNoPortPause = 1s;
constexpr auto kRetryPause = 200ms;
constexpr auto kPassPause = 100ms;

class RtuSlave : public card::Task
{
    void run() override
    {
        card::Runtime& rt = card::rt();
        rt.log("serial modbus task start!");
        mbslave::PduHandler pdu(rt, mbslave::kRtuLimits);
        uint8_t buf[mbslave::kRtuReadMax];
        while (!stopped()) {
            void* port = getPortHandle(card::kSensorPort);
            if (!port) {
                pause(kNoPortPause);
                continue;
            }
            int fd = -1;
            CommControl(port, COMM_CTL_FD, &fd, 0);
            if (fd >= 0) {
                const int r = waitReadable(fd);
                if (r < 0) std::printf("failed select\n");
                if (r <= 0) {
                    pause(kRetryPause);
                    continue;
                }
            }
            const int n = CommRead(port, buf, sizeof buf);
            if (n > 0) {
                std::span<const uint8_t> data(buf, static_cast<size_t>(n));
                const int slaveAddr = rt.integer("485modbus_slave_addr", 1);
                for (auto [at, len] : mbslave::walkRtuBuffer(data)) {
                    auto answer = mbslave::handleRtuFrame(data.subspan(at, len), pdu, slaveAddr);
                    if (!answer.empty())
                        CommWrite(port, answer.data(), static_cast<int>(answer.size()));
                }
            }
            pause(kPassPause);
        }
    }

    // Waits until fd is readable: 1 readable, 0 timed out (or stopped), -1 error.
    int waitReadable(int fd)
    {
        for (auto waited = 0ms; !stopped() && waited < kWaitReadable; waited += kWaitSlice) {
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(kWaitSlice.count()));
            if (r > 0) return (p.revents & (POLLERR | POLLNVAL)) ? -1 : 1;
            if (r < 0) return -1;
        }
        return 0;
    }
};

} // namespace

CARD_TASK(RtuSlave, "mbrtu_slave", CARD_INFO("mbrtu_slave", "Modbus RTU slave"))
