/*
 * tcp_plugin.h - the task entry points of the two Modbus/TCP plug-ins
 * (mbtcp_slave and mbtcp_pack differ only in thread name and input-register
 * space). Each plug-in links its own copy, so each has its own server.
 */
#pragma once

namespace mbslave
{

// Starts the listener thread; 0 on success, -1 if the thread could not start.
int tcpPluginRun(const char* threadName, int inputCount);
// Stops the listener and closes every connection (so the library can unload).
int tcpPluginStop();

} // namespace mbslave
