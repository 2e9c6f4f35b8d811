/*
 * plugin.cpp - libmbtcp_slave: the Modbus/TCP slave with the standard register
 * map (input registers 0..1999). Task entry points for the runtime.
 */
#include "fieldcore.h"
#include "regmap.h"
#include "tcp_plugin.h"

#include <cstdio>

namespace
{
char g_info[160];
}

extern "C" {

void* DriverInit(void* arg)
{
    return arg;
}

int DriverRun(void*)
{
    try {
        return mbslave::tcpPluginRun("tcp_modbus", mbslave::kInputCount);
    } catch (...) {
        return -1;
    }
}

int DriverStop(void*)
{
    try {
        return mbslave::tcpPluginStop();
    } catch (...) {
        return -1;
    }
}

int EventFilter(int, int, void*, int)
{
    return 0;
}

char* DLLInfo(void)
{
    std::snprintf(g_info, sizeof g_info, "Modbus/TCP slave V1.0\nbuilt %s %s\n", __DATE__,
                  __TIME__);
    return g_info;
}
}
