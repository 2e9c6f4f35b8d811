/*
 * tcp_entry.cpp - the runtime entry points of a Modbus/TCP slave plug-in.
 *
 * libmbtcp_slave and libmbtcp_pack differ only in their settings prefix, the
 * size of their input-register image and their description, so both compile
 * this file with those three as definitions:
 *   MBTCP_SETTINGS  settings prefix ("tcp_modbus", "tcp_modbus_bms")
 *   MBTCP_INPUTS    input-register count (mbslave::kInputCount, ...)
 *   MBTCP_TITLE     first line of the description text
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
        return mbslave::tcpPluginRun(MBTCP_SETTINGS, MBTCP_INPUTS);
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
    std::snprintf(g_info, sizeof g_info, "%s\nbuilt %s %s\n", MBTCP_TITLE, __DATE__, __TIME__);
    return g_info;
}
}
