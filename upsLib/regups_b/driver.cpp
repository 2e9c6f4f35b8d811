/*
 * driver.cpp - regups_b on the driver shell: the driver object that keeps
 * the learnt state while the library is loaded, its description and the
 * command-table accessors.
 */
#include "regups_b.h"

#include <cstdio>

namespace regups_b
{

class Driver : public upscommon::Driver
{
  public:
    int query(const upscommon::PortIo& io, void* port, int addr, upscommon::Cycle& out) override
    {
        return regups_b::query(state_, io, port, addr, out);
    }
    int control(const upscommon::PortIo& io, void* port, int addr, const char* cmd) override
    {
        return regups_b::control(state_, io, port, addr, cmd);
    }
    int test(const upscommon::PortIo&, void*, int, upscommon::Cycle&) override
    {
        printf("Test");
        return 1;
    }

  private:
    State state_;
};

} // namespace regups_b

CARD_DRIVER(regups_b::Driver,
            "  KY_RM2协议 \n"
            "  版本：V1.0\n"
            "  数据传输方式：RS232/RS485\n"
            "  (通讯格式)：9600(默认可调),n,8,1\n"
            "  设计者：网络管理卡固件组\n"
            "  开发日期： 2020.06.15\n"
            "  修改者：\n"
            "  修改时间：\n"
            "  说明：第二代寄存器映射协议，协议版本2.6起能流图取自寄存器\n"
            "本程序最后编译时间：\n" CARD_STAMP_SPACE,
            __DATE__, __TIME__)

CARD_REGMAP_ACCESSORS(regups_b::acuList)
