/*
 * driver.cpp - regups_d on the driver shell: the driver object, its
 * description and the command-table accessors.
 */
#include "regups_d.h"

#include <cstdio>

namespace regups_d
{

class Driver : public upscommon::Driver
{
  public:
    int query(const upscommon::PortIo& io, void* port, int addr, upscommon::Cycle& out) override
    {
        return regups_d::query(state_, io, port, addr, out);
    }
    int control(const upscommon::PortIo& io, void* port, int addr, const char* cmd) override
    {
        return regups_d::control(state_, io, port, addr, cmd);
    }
    int test(const upscommon::PortIo&, void*, int, upscommon::Cycle&) override
    {
        printf("Test");
        return 1;
    }

  private:
    State state_;
};

} // namespace regups_d

CARD_DRIVER(regups_d::Driver,
            "  KY_RM4协议 \n"
            "  版本：V1.0\n"
            "  数据传输方式：RS232/RS485\n"
            "  (通讯格式)：9600(默认可调),n,8,1\n"
            "  设计者：网络管理卡固件组\n"
            "  开发日期： 2021.03.18\n"
            "  修改者：\n"
            "  修改时间：\n"
            "  说明：另一品牌UPS的寄存器映射协议\n"
            "本程序最后编译时间：\n" CARD_STAMP_SPACE,
            __DATE__, __TIME__)

CARD_REGMAP_ACCESSORS(regups_d::acuList)
