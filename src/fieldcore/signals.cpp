/*
 * signals.cpp - the signal store: per device, signal number -> float.
 *
 * Each device gets a flat table of atomics on first use, so reads and writes
 * from any thread take no lock. Signal -1 (link state) sits beside the table.
 */
#include "signals.h"
#include "internal.hpp"

#include <array>
#include <cmath>

namespace fieldcore
{
namespace
{

constexpr int kMaxDevices = 256;
constexpr int kMaxSignal = 65536;

struct DeviceTable {
    std::unique_ptr<std::atomic<float>[]> values { new std::atomic<float>[ kMaxSignal ]() };
    std::unique_ptr<std::atomic<bool>[]> seen { new std::atomic<bool>[ kMaxSignal ]() };
    std::atomic<float> link{0.0f};
};

std::array<std::atomic<DeviceTable*>, kMaxDevices> tables{};
std::mutex createMutex;

DeviceTable* table(int devId, bool create)
{
    if (devId < 0 || devId >= kMaxDevices) return nullptr;
    DeviceTable* t = tables[devId].load(std::memory_order_acquire);
    if (t || !create) return t;
    std::lock_guard lock(createMutex);
    t = tables[devId].load(std::memory_order_acquire);
    if (!t) {
        t = new DeviceTable;
        tables[devId].store(t, std::memory_order_release);
    }
    return t;
}

} // namespace

void clearSignals()
{
    for (int d = 0; d < kMaxDevices; ++d)
        if (DeviceTable* t = table(d, false)) {
            for (int i = 0; i < kMaxSignal; ++i) {
                t->values[i].store(0.0f, std::memory_order_relaxed);
                t->seen[i].store(false, std::memory_order_relaxed);
            }
            t->link.store(0.0f);
        }
}

std::vector<std::pair<int, float>> listSignals(int devId)
{
    std::vector<std::pair<int, float>> out;
    DeviceTable* t = table(devId, false);
    if (!t) return out;
    out.emplace_back(SIG_LINK_OK, t->link.load());
    for (int i = 0; i < kMaxSignal; ++i)
        if (t->seen[i].load(std::memory_order_relaxed))
            out.emplace_back(i, t->values[i].load(std::memory_order_relaxed));
    return out;
}

} // namespace fieldcore

using namespace fieldcore;

extern "C" {

float GetDevValue(int devId, int sigNo)
{
    DeviceTable* t = table(devId, false);
    if (!t) return 0.0f;
    if (sigNo == SIG_LINK_OK) return t->link.load(std::memory_order_relaxed);
    if (sigNo < 0 || sigNo >= kMaxSignal) return 0.0f;
    return t->values[sigNo].load(std::memory_order_relaxed);
}

int GetDevIValue(int devId, int sigNo)
{
    float v = GetDevValue(devId, sigNo);
    if (!std::isfinite(v) || v > 2147483520.0f || v < -2147483520.0f) return 0;
    return int(v);
}

int SetDevValue(int devId, int sigNo, float value)
{
    DeviceTable* t = table(devId, true);
    if (!t) return -1;
    if (sigNo == SIG_LINK_OK) {
        t->link.store(value, std::memory_order_relaxed);
        return 0;
    }
    if (sigNo < 0 || sigNo >= kMaxSignal) return -1;
    t->values[sigNo].store(value, std::memory_order_relaxed);
    t->seen[sigNo].store(true, std::memory_order_relaxed);
    return 0;
}

} // extern "C"
