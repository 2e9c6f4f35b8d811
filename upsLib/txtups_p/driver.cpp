/*
 * driver.cpp - txtups_p on the driver shell: the driver object that keeps the
 * learnt state while the library is loaded, and its description.
 */
#include "txtups_p.h"

#include <cstdio>

namespace txtups_p
{

class Driver : public upscommon::Driver
{
  public:
    int query(const upscommon::PortIo& io, void* port, int addr, upscommon::Cycle& out) override
    {
        return txtups_p::query(state_, io, port, addr, out);
    }
    int control(const upscommon::PortIo& io, void* port, int addr, const char* cmd) override
    {
        return txtups_p::control(state_, io, port, addr, cmd);
    }
    int test(const upscommon::PortIo&, void*, int, upscommon::Cycle&) override
    {
        printf("Test");
        return 1;
    }

  private:
    State state_;
};

} // namespace txtups_p

CARD_DRIVER(txtups_p::Driver,
            "  CORVAN_ASCII单相协议(Q1) \n"
            "  版本：V1.0\n"
            "  数据传输方式：RS232\n"
            "  (通讯格式)：2400(默认可调),n,8,1\n"
            "  设计者：网络管理卡固件组\n"
            "  开发日期： 2020.03.16\n"
            "  修改者：\n"
            "  修改时间：\n"
            "  说明：单相UPS，仅Q1状态行\n"
            "本程序最后编译时间：\n" CARD_STAMP_SPACE,
            __DATE__, __TIME__)
