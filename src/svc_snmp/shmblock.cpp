/*
 * shmblock.cpp - byte-level access to the SNMP shared block and command queue.
 */
#include "shmblock.h"

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>

namespace snmpblock
{

static_assert(std::endian::native == std::endian::little,
              "the block is little-endian; add byte swaps for this target");

int ipcKey()
{
    const char* env = std::getenv("CARDMON_IPC_KEY");
    if (env && *env) {
        char* end = nullptr;
        errno = 0;
        long v = std::strtol(env, &end, 0);
        if (errno == 0 && end && *end == '\0' && v > 0 && v <= 0x7fffffff)
            return static_cast<int>(v);
    }
    return kDefaultIpcKey;
}

void Block::clear() const
{
    std::memset(p_, 0, kBlockSize);
}

std::uint32_t Block::u32(std::size_t offset) const
{
    // Every numeric field is 4-aligned within a page-aligned segment: one load.
    return __atomic_load_n(reinterpret_cast<const std::uint32_t*>(p_ + offset), __ATOMIC_RELAXED);
}

void Block::setU32(std::size_t offset, std::uint32_t v) const
{
    __atomic_store_n(reinterpret_cast<std::uint32_t*>(p_ + offset), v, __ATOMIC_RELAXED);
}

std::string Block::text(std::size_t offset, std::size_t size) const
{
    const char* s = reinterpret_cast<const char*>(p_ + offset);
    return std::string(s, strnlen(s, size));
}

void Block::setText(std::size_t offset, std::size_t size, std::string_view v) const
{
    std::size_t n = v.size() < size ? v.size() : size - 1;
    std::memcpy(p_ + offset, v.data(), n);
    std::memset(p_ + offset + n, 0, size - n);
}

void Block::setAlarm(int i, std::uint8_t id, std::uint32_t time) const
{
    std::size_t o = off::alarmTable + i * kAlarmEntrySize;
    p_[o] = id;
    setU32(o + 4, time);
}

Message encodeCommand(const Command& c)
{
    Message m{};
    m.type = kCommandType;
    m.data[0] = static_cast<unsigned char>(c.code);
    m.data[1] = static_cast<unsigned char>((c.value1 >> 8) & 0xff);
    m.data[2] = static_cast<unsigned char>(c.value1 & 0xff);
    m.data[3] = static_cast<unsigned char>((c.value2 >> 8) & 0xff);
    m.data[4] = static_cast<unsigned char>(c.value2 & 0xff);
    return m;
}

Command decodeCommand(const Message& m)
{
    Command c;
    c.code = m.data[0];
    c.value1 = m.data[1] * 256 + m.data[2];
    c.value2 = m.data[3] * 256 + m.data[4];
    return c;
}

void* attachBlock(int key, int* stage)
{
    int id = shmget(static_cast<key_t>(key), kBlockSize, IPC_CREAT | 0666);
    if (id < 0) {
        if (stage) *stage = 1;
        return nullptr;
    }
    void* p = shmat(id, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) {
        if (stage) *stage = 2;
        return nullptr;
    }
    if (stage) *stage = 0;
    return p;
}

void detachBlock(void* base)
{
    if (base) shmdt(base);
}

int openQueue(int key)
{
    return msgget(static_cast<key_t>(key), IPC_CREAT | 0660);
}

bool sendMessage(int qid, const Message& m)
{
    if (qid < 0) return false;
    return msgsnd(qid, &m, kPayloadSize, IPC_NOWAIT) == 0;
}

bool receiveMessage(int qid, long type, Message& m)
{
    if (qid < 0) return false;
    ssize_t n = msgrcv(qid, &m, kPayloadSize, type, IPC_NOWAIT | MSG_NOERROR);
    return n >= 0;
}

} // namespace snmpblock
