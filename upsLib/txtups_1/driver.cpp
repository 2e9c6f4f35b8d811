/*
 * driver.cpp - txtups_1 on the driver shell: the driver object that keeps the
 * learnt state while the library is loaded, and its description. Its control
 * commands are the family's (upscommon::ascii::kytoControl).
 */
#include "txtups_1.h"

namespace txtups_1
{

using Driver = upscommon::ascii::KytoDriver<State, txtups_1::query>;

} // namespace txtups_1

CARD_DRIVER(txtups_1::Driver,
            "  KY_ASCII单相协议 \n"
            "  版本：V1.0\n"
            "  数据传输方式：RS232\n"
            "  (通讯格式)：2400(默认可调),n,8,1\n"
            "  设计者：网络管理卡固件组\n"
            "  开发日期： 2019.08.22\n"
            "  修改者：\n"
            "  修改时间：\n"
            "  说明：单相ASCII协议UPS，型号283、282的QT状态字各有差异\n"
            "本程序最后编译时间：\n" CARD_STAMP_SPACE,
            __DATE__, __TIME__)
