// libmbtcp_pack: the Modbus/TCP slave whose input registers (0..8999) add the
// first battery pack's. Register map, request handling and listener are in
// src/modbus_common.
#include "tcp_task.h"

namespace
{
struct Slave : mbslave::TcpSlaveTask {
    Slave() : TcpSlaveTask(mbslave::kPackInputCount) {}
};
} // namespace

CARD_TASK(Slave, "tcp_modbus_bms", CARD_INFO("tcp_modbus_bms", "Modbus/TCP slave, battery packs"))
