/*
 * driver.cpp - txtups_q, the CORVAN three-phase UPS asked for Q6 and WA
 * (ups_type 9), on the driver shell. The records and their decoding are the
 * family's (corvan.hpp), the command table is in txtups_q.h.
 * The UPS has no self-test command, so the library exports no Test.
 */
#include "txtups_q.h"

namespace txtups_q
{

class Driver : public upscommon::Driver
{
  public:
    int query(const upscommon::PortIo& io, void* port, int addr, upscommon::Cycle& out) override
    {
        return corvan::query(state_, kQueries, kForgetOnSilence, io, port, addr, out);
    }
    int control(const upscommon::PortIo& io, void* port, int addr, const char* cmd) override
    {
        return corvan::control(state_, io, port, addr, cmd);
    }

  private:
    corvan::State state_;
};

} // namespace txtups_q

CARD_DRIVER_NO_TEST(txtups_q::Driver,
                    "  CORVAN_ASCII三相协议(Q6/WA) \n"
                    "  版本：V1.0\n"
                    "  数据传输方式：RS232\n"
                    "  (通讯格式)：2400(默认可调),n,8,1\n"
                    "  设计者：网络管理卡固件组\n"
                    "  开发日期： 2020.03.16\n"
                    "  修改者：\n"
                    "  修改时间：\n"
                    "  说明：三相UPS，Q6测量数据，WA功率与状态位\n"
                    "本程序最后编译时间：\n" CARD_STAMP_SPACE,
                    __DATE__, __TIME__)
