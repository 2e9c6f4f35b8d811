/*
 * driver.cpp - the entry points libregups_a exports to the runtime.
 *
 * Each entry point keeps its C signature, hands the port to the driver core
 * as CommWrite/CommRead and catches everything: nothing is ever thrown back
 * into the runtime's port thread.
 */
#include "regups_a.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace
{

regups_a::State g_state;

void pauseMs(int ms)
{
    usleep(static_cast<useconds_t>(ms) * 1000);
}

const upscommon::PortIo kPort = {CommWrite, CommRead, pauseMs};

// Stamp of this driver's build, kept fixed so every build describes itself alike.
constexpr const char* kBuildDate = "Jun 18 2022";
constexpr const char* kBuildTime = "06:06:19";

} // namespace

extern "C" {

char Info[] = "  KY_RM协议 \n"
              "  版本：V1.0\n"
              "  数据传输方式：RS232/RS485\n"
              "  (通讯格式)：9600(默认可调),n,8,1\n"
              "  设计者：网络管理卡固件组\n"
              "  开发日期： 2019.08.22\n"
              "  修改者：\n"
              "  修改时间：\n"
              "  说明：寄存器映射协议，支持G、222与AAAA三种寄存器布局\n"
              "本程序最后编译时间：\n"
              "                                        ";

int getCmdCount(int type);
int getCmdSize(int id, int devId, int type, char* arg);
int getCmd(unsigned cmdId, int devId, int type, char* arg, char* data);

int Query(void* fd, int id, ENUMSIGNALPROC process, LPVOID p)
{
    try {
        return regups_a::query(g_state, kPort, fd, id, [&](const regups_a::Report& r) {
            float v = r.value;
            valueToProcess(r.sig, 1, 0, &v, process, p);
        });
    } catch (...) {
        return 0;
    }
}

int Control(void* fd, int id, void* pCmdStr)
{
    try {
        return regups_a::control(g_state, kPort, fd, id, static_cast<const char*>(pCmdStr));
    } catch (...) {
        return 0;
    }
}

int Test(void*, int, ENUMSIGNALPROC, LPVOID)
{
    printf("Test");
    return 1;
}

char* DLLInfo(void)
{
    upscommon::stampBuildInfo(Info, kBuildDate, kBuildTime);
    return Info;
}

int getCmdCount(int)
{
    return 0;
}

int getCmdSize(int id, int, int type, char*)
{
    if (type != 0 || id < 0 || id >= regups_a::kQueryCount) return 0;
    return regups_a::acuList[id].cmdSize;
}

int getCmd(unsigned cmdId, int devId, int, char*, char* data)
{
    constexpr unsigned kLast = regups_a::kQueryCount - 1;
    if (cmdId > kLast) {
        printf("[%s]    cmdId to big! max=%d", "getCmd", static_cast<int>(kLast));
        return 0;
    }
    if (!data) return 0;
    const cmd& c = regups_a::acuList[cmdId];
    upscommon::fillRequest(c, devId, reinterpret_cast<uint8_t*>(data), c.cmdSize);
    return c.recvsize;
}

} // extern "C"
