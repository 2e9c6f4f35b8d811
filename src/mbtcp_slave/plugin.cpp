// libmbtcp_slave: the Modbus/TCP slave with the standard register map (input
// registers 0..1999). Register map, request handling and listener are in
// src/modbus_common.
#include "tcp_task.h"

namespace
{
struct Slave : mbslave::TcpSlaveTask {
    Slave() : TcpSlaveTask(mbslave::kInputCount) {}
};
} // namespace

CARD_TASK(Slave, "tcp_modbus", CARD_INFO("tcp_modbus", "Modbus/TCP slave"))
