/*
 * poll.cpp - the register-map poll cycle and reply validation.
 *
 * A driver's Query walks its command table in order: write the prebuilt
 * request, read the reply (joined from at most two reads), validate it against
 * the table's exact reply length and hand it to the driver's decoder, whose
 * reports join the cycle (driver_shell.hpp settles them). A bad reply, or one
 * its decoder chokes on, only loses that command for this cycle; a short
 * write ends the cycle.
 */
#include "driver_shell.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" {

int checkVaild(char* data, int size)
{
    if (!data || size < 5) return -1;
    const auto* d = reinterpret_cast<const uint8_t*>(data);
    if (d[1] > 128) {
        printf("addr=%d, error code=%d!\n", d[0], d[2]);
        return -1;
    }
    const int len = d[2] + 5;
    if (len != size) {
        printf("error size=%d,but len=%d\n", size, len);
        // Only bytes known to be there are shown: the announced length may run
        // past what the caller's buffer holds.
        for (int i = 0; i < std::min(len, size); ++i)
            printf("%x ", d[i]);
        printf("\n");
        return -1;
    }
    if (checkModbufCRC(data, size) != 0) {
        printf("crc error!");
        return -1;
    }
    return 0;
}

int valueToProcess(int id, int /*valueType*/, int /*eventType*/, void* value, ENUMSIGNALPROC proc,
                   LPVOID p)
{
    if (!proc || !value) return 0;
    float v;
    std::memcpy(&v, value, sizeof v);
    proc(id, v, p);
    return 1;
}

} // extern "C"

namespace upscommon
{

int fillRequest(const cmd& c, int devId, uint8_t* out, int outSize)
{
    if (c.cmdSize < 4 || c.cmdSize > static_cast<int>(sizeof c.commd) || c.cmdSize > outSize)
        return 0;
    std::memcpy(out, c.commd, c.cmdSize);
    out[0] = static_cast<uint8_t>(devId);
    setModbusCRC(reinterpret_cast<char*>(out), c.cmdSize);
    return c.cmdSize;
}

int readReply(const PortIo& io, void* fd, uint8_t* buf, int cap, int expected)
{
    int got = io.read(fd, buf, cap);
    got = std::clamp(got, 0, cap);
    if (got > 0 && got < expected && got < cap) {
        int more = io.read(fd, buf + got, cap - got);
        got += std::clamp(more, 0, cap - got);
    }
    return got;
}

bool replyValid(const uint8_t* data, int received, int expected)
{
    if (received < expected) return false;
    return checkVaild(const_cast<char*>(reinterpret_cast<const char*>(data)), expected) == 0;
}

int pollCycle(const PortIo& io, void* fd, int id, std::span<const cmd> list, const int* exitFlag,
              const std::function<bool(int)>& skip, const Decoder& decode, Cycle& out, int pauseMs)
{
    uint8_t buf[kReplyBufSize];
    Reports reports;
    int answered = 0;
    for (int i = 0; i < static_cast<int>(list.size()); ++i) {
        if (skip && skip(i)) continue;
        if (exitFlag && *exitFlag == 1) return 0;
        const cmd& c = list[i];
        std::memset(buf, 0, sizeof buf);
        const int size = fillRequest(c, id, buf, sizeof buf);
        const int written = size > 0 ? io.write(fd, buf, size) : -1;
        if (written != c.cmdSize) {
            printf("[%s]    send cmd error!,devId=%d,cmdId=%d\n", "Query", id, i);
            return 0;
        }
        std::memset(buf, 0, sizeof buf);
        const int got = readReply(io, fd, buf, sizeof buf, c.recvsize);
        if (c.recvsize > kReplyBufSize || !replyValid(buf, got, c.recvsize)) {
            printf("[%s]  checkVaild  recv fail!devId=%d,cmdId=%d\n", "Query", id, i);
            continue;
        }
        ++answered;
        if (decode) {
            reports.clear();
            try {
                decode(i, buf, c.recvsize, reports);
                out.add(reports);
            } catch (...) {
                printf("[%s]  decode fail!devId=%d,cmdId=%d\n", "Query", id, i);
            }
        }
        if (io.pauseMs) io.pauseMs(pauseMs);
    }
    return answered > 0 ? 1 : 0;
}

} // namespace upscommon
