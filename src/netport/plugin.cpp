/*
 * plugin.cpp - libnetport's port-driver interface: the HAL_Comm functions the
 * runtime calls for a port whose config/ports.conf entry is
 * "tcp:ADDRESS:PORT", and DLLInfo. Nothing thrown crosses these edges.
 */
#include "netport.hpp"

#include "card_plugin.hpp"

using netport::TcpPort;

namespace
{

char g_info[] = CARD_INFO("netport", "TCP port driver (server and client)");

TcpPort* port(void* h)
{
    return static_cast<TcpPort*>(h);
}

} // namespace

CARD_EXPORT void* HAL_CommOpen(const char* /*descriptor*/, const char* params, int /*attr*/,
                               int timeoutMs, int* errCode)
{
    try {
        if (errCode) *errCode = 0;
        TcpPort* p = params ? TcpPort::open(params, timeoutMs) : nullptr;
        if (!p && errCode) *errCode = -1;
        return p;
    } catch (...) {
        return nullptr;
    }
}

CARD_EXPORT int HAL_CommRead(void* h, void* buf, int len)
{
    try {
        return h ? port(h)->read(static_cast<unsigned char*>(buf), len) : -1;
    } catch (...) {
        return -1;
    }
}

CARD_EXPORT int HAL_CommWrite(void* h, const void* buf, int len)
{
    try {
        return h ? port(h)->write(static_cast<const unsigned char*>(buf), len) : -1;
    } catch (...) {
        return -1;
    }
}

using ProcessData = void (*)(unsigned char* data, int len);

CARD_EXPORT int HAL_CommControl(void* h, int cmd, void* buf, int /*len*/)
{
    if (!h) return 0;
    try {
        if (cmd == netport::kReaderThread) {
            if (!buf) {
                port(h)->stopReader();
            } else {
                auto fn = reinterpret_cast<ProcessData>(buf);
                port(h)->startReader(
                    [fn](const unsigned char* d, int n) { fn(const_cast<unsigned char*>(d), n); });
            }
        } else if (cmd == netport::kActiveSocket && buf) {
            *static_cast<int*>(buf) = port(h)->activeSocket();
        }
    } catch (...) {
    }
    return 1;
}

CARD_EXPORT int HAL_CommAccept(void*)
{
    return 0;
}

CARD_EXPORT int HAL_CommClose(void* h)
{
    if (!h) return 0;
    try {
        delete port(h);
    } catch (...) {
    }
    return 1;
}

CARD_EXPORT char* DLLInfo(void)
{
    card::stampInfo(g_info, __DATE__, __TIME__);
    return g_info;
}
