/*
 * driver.cpp - regups_a on the driver shell: the driver object that keeps the
 * learnt state for as long as the library is loaded, its description, and
 * the command-table accessors the runtime's tools read.
 */
#include "regmap.hpp"
#include "regups_a.h"

#include <cstdio>

namespace regups_a
{

class Driver : public upscommon::Driver
{
  public:
    int query(const upscommon::PortIo& io, void* port, int addr, upscommon::Cycle& out) override
    {
        return regups_a::query(state_, io, port, addr, out);
    }
    int control(const upscommon::PortIo& io, void* port, int addr, const char* cmd) override
    {
        return regups_a::control(state_, io, port, addr, cmd);
    }
    int test(const upscommon::PortIo&, void*, int, upscommon::Cycle&) override
    {
        printf("Test");
        return 1;
    }

  private:
    State state_;
};

} // namespace regups_a

// The build stamp is fixed so that every build describes itself alike.
CARD_DRIVER(regups_a::Driver,
            "  KY_RM协议 \n"
            "  版本：V1.0\n"
            "  数据传输方式：RS232/RS485\n"
            "  (通讯格式)：9600(默认可调),n,8,1\n"
            "  设计者：网络管理卡固件组\n"
            "  开发日期： 2019.08.22\n"
            "  修改者：\n"
            "  修改时间：\n"
            "  说明：寄存器映射协议，支持G、222与AAAA三种寄存器布局\n"
            "本程序最后编译时间：\n" CARD_STAMP_SPACE,
            "Jun 18 2022", "06:06:19")

CARD_REGMAP_ACCESSORS(regups_a::acuList)
