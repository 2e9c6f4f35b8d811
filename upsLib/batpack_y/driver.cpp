/*
 * driver.cpp - batpack_y on the driver shell (it keeps whether the last reply
 * was good), its description and the command-table accessors the runtime's
 * tools read.
 */
#include "batpack_y.h"

namespace batpack_y
{

class Driver : public upscommon::Driver
{
  public:
    int query(const upscommon::PortIo& io, void* port, int addr, upscommon::Cycle& out) override
    {
        return batpack_y::query(state_, io, port, addr, out);
    }
    int control(const upscommon::PortIo& io, void* port, int addr, const char* cmd) override
    {
        return batpack_y::control(io, port, addr, cmd);
    }

  private:
    State state_;
};

} // namespace batpack_y

CARD_DRIVER(batpack_y::Driver,
            "  BMS电池柜协议 \n"
            "  版本：V1.0\n"
            "  数据传输方式：RS485\n"
            "  (通讯格式)：9600(默认可调),n,8,1\n"
            "  设计者：网络管理卡固件组\n"
            "  开发日期： 2019.08.22\n"
            "  修改者：\n"
            "  修改时间：\n"
            "  说明：电池柜控制器数据，寄存器0x1100起32个\n"
            "本程序最后编译时间：\n" CARD_STAMP_SPACE,
            __DATE__, __TIME__)

CARD_EXPORT int getCmdCount(int)
{
    return 1;
}

CARD_EXPORT int getCmdSize(int id, int, int type, char*)
{
    return type == 0 && id == 0 ? batpack_y::packCmd.cmdSize : 0;
}

CARD_EXPORT int getRecvSize(int id, int, int, char*)
{
    return id == 0 ? batpack_y::packCmd.recvsize : 0;
}

CARD_EXPORT int getCmd(unsigned cmdId, int devId, int, char*, char* data)
{
    if (cmdId != 0 || !data) return 0;
    const cmd& c = batpack_y::packCmd;
    upscommon::fillRequest(c, devId, reinterpret_cast<uint8_t*>(data), c.cmdSize);
    return c.recvsize;
}
