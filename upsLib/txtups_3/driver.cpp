/*
 * driver.cpp - txtups_3 on the driver shell: the driver object that keeps the
 * learnt state while the library is loaded, its description, and the
 * accessors the runtime's tools read (command tables, the decoder and the
 * two number readers under the names the UPS family's tools know).
 */
#include "txtups_3.h"

#include <cstdio>
#include <cstring>

namespace txtups_3
{

using Driver = upscommon::ascii::KytoDriver<State, txtups_3::query>;

} // namespace txtups_3

CARD_DRIVER(txtups_3::Driver,
            "  KY_ASCII三相协议 \n"
            "  版本：V1.0\n"
            "  数据传输方式：RS232\n"
            "  (通讯格式)：2400(默认可调),n,8,1\n"
            "  设计者：网络管理卡固件组\n"
            "  开发日期： 2019.08.22\n"
            "  修改者：\n"
            "  修改时间：\n"
            "  说明：三相ASCII协议UPS，型号231、221、211各有差异\n"
            "本程序最后编译时间：\n" CARD_STAMP_SPACE,
            __DATE__, __TIME__)

namespace
{

const char* commandText(int cmdId, int type, int* size, int* recv)
{
    using namespace txtups_3;
    if (type == 0 && cmdId >= 0 && cmdId < kQueryCount) {
        const auto& c = Kyto_3phase_AcuList[cmdId];
        *size = upscommon::ascii::textSize(c);
        *recv = c.recvsize;
        return c.text;
    }
    if (type == 1 && cmdId >= 0 && cmdId < kControlCount) {
        *size = static_cast<int>(std::strlen(Kyto_3phase_controlList[cmdId]));
        *recv = 0;
        return Kyto_3phase_controlList[cmdId];
    }
    return nullptr;
}

} // namespace

CARD_EXPORT int KYTO_3phase_getCmdCount(int)
{
    return 0;
}

CARD_EXPORT int KYTO_3phase_getCmdSize(int id, int, int type, char*)
{
    int size = 0, recv = 0;
    return commandText(id, type, &size, &recv) ? size : 0;
}

CARD_EXPORT int KYTO_3phase_getRecvSize(int id, int, int type, char*)
{
    int size = 0, recv = 0;
    return commandText(id, type, &size, &recv) ? recv : 0;
}

CARD_EXPORT int KYTO_3phase_getCmd(unsigned cmdId, int, int type, char*, char* data)
{
    const long last = type == 0 ? txtups_3::kQueryCount - 1 : txtups_3::kControlCount - 1;
    int size = 0, recv = 0;
    const char* text = cmdId > static_cast<unsigned>(last)
                           ? nullptr
                           : commandText(static_cast<int>(cmdId), type, &size, &recv);
    if (!text) {
        printf("[%s]    cmdId to big! max=%ld", "getCmd", last);
        return 0;
    }
    if (data) std::memcpy(data, text, size);
    return size;
}

CARD_EXPORT float KYTO_3phase_str_2_float(char* str, int len, float factor)
{
    return upscommon::ascii::number(str, len, factor);
}

CARD_EXPORT float KYTO_3phase_str_2_float_Cancel_other(char* str, int len, float factor)
{
    return upscommon::ascii::leadingNumber(str, len, factor);
}

CARD_EXPORT int KYTO_3phase_valueToProcess(int id, int valueType, int eventType, void* value,
                                           ENUMSIGNALPROC proc, LPVOID p)
{
    return valueToProcess(id, valueType, eventType, value, proc, p);
}

// Decodes one reply held in data (read up to its carriage return) with the
// driver's learnt state, reporting through process.
CARD_EXPORT int KYTO_3phase_Process(int cmdid, char* data, ENUMSIGNALPROC process, LPVOID p)
{
    if (!data) return 0;
    try {
        int len = 0;
        while (len < upscommon::kReplyBufSize && data[len] && data[len] != '\r')
            ++len;
        if (len < upscommon::kReplyBufSize && data[len] == '\r') ++len;
        upscommon::Reports reports;
        upscommon::Cycle cycle(process, p);
        const bool ok = txtups_3::decodeReply(card_driver.driver().state(), cmdid,
                                              reinterpret_cast<const uint8_t*>(data), len, reports);
        cycle.add(reports);
        return ok ? 1 : 0;
    } catch (...) {
        return 0;
    }
}
