/*
 * driver.cpp - envsensor on the driver shell: the driver object that keeps the
 * module configuration while the library is loaded, its description and the
 * command-table accessors the runtime's tools read.
 */
#include "envsensor.h"

#include <cstdio>

namespace envsensor
{

class Driver : public upscommon::Driver
{
  public:
    int query(const upscommon::PortIo& io, void* port, int, upscommon::Cycle& out) override
    {
        return envsensor::query(state_, io, port, out);
    }
    int control(const upscommon::PortIo& io, void* port, int, const char* cmd) override
    {
        // Command 50 (raw send) goes to the line as for every UPS driver.
        if (upscommon::commandNumber(cmd) == 50) return upscommon::controlSendData(io, port, cmd);
        return envsensor::control(state_, cmd);
    }

  private:
    State state_;
};

} // namespace envsensor

CARD_DRIVER(envsensor::Driver,
            "  THS温湿度模块协议 \n"
            "  版本：V1.0\n"
            "  数据传输方式：RS485\n"
            "  (通讯格式)：9600(默认可调),n,8,1\n"
            "  设计者：网络管理卡固件组\n"
            "  开发日期： 2019.08.22\n"
            "  修改者：\n"
            "  修改时间：\n"
            "  说明：最多四个温湿度模块，每个模块三种读取命令\n"
            "本程序最后编译时间：\n" CARD_STAMP_SPACE,
            __DATE__, __TIME__)

CARD_EXPORT int getCmdCount(int)
{
    return envsensor::kAlternatives;
}

CARD_EXPORT int getCmdSize(int id, int, int type, char*)
{
    if (type != 0 || id < 0 || id >= envsensor::kAlternatives) return 0;
    return envsensor::thsList[id].cmdSize;
}

CARD_EXPORT int getRecvSize(int id, int, int, char*)
{
    if (id < 0 || id >= envsensor::kAlternatives) return 0;
    return envsensor::thsList[id].recvsize;
}

CARD_EXPORT int getCmd(unsigned cmdId, int devId, int, char*, char* data)
{
    if (cmdId >= static_cast<unsigned>(envsensor::kAlternatives) || !data) return 0;
    const cmd& c = envsensor::thsList[cmdId];
    upscommon::fillRequest(c, devId, reinterpret_cast<uint8_t*>(data), c.cmdSize);
    return c.recvsize;
}
