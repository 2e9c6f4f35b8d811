// libFuzzer target for what the SNMP task takes from settings, signals and the
// agent: setting values (any bytes) into the parameter records and the agent
// configuration text, signal values (NaN, infinities, huge) into the shared
// block, queue messages into commands, and the agent's state file text.
// Invariants: every configuration line starts with one of our directives (no
// value can add a line), nothing is written outside the 1164-byte block, and a
// command posts one UPS command that the store records as an SNMP action.
#include "fake_runtime.hpp"
#include "shmblock.h"
#include "snmptask.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace
{

// The card's fake runtime, with settings and signals drawn from the input:
// each setting takes the next bytes when it is first read, each signal four
// bytes at a place that depends on its number.
class FuzzRuntime : public card::FakeRuntime
{
  public:
    FuzzRuntime(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    std::string next()
    {
        if (pos_ >= size_) return "";
        size_t n = data_[pos_++] % 72;
        n = std::min(n, size_ - pos_);
        std::string v(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return v;
    }
    std::string text(const std::string& k, const std::string& = "") override
    {
        auto it = seen_.find(k);
        if (it != seen_.end()) return it->second;
        return seen_[k] = next();
    }
    int integer(const std::string& k, int def = 0) override
    {
        std::string v = text(k, "");
        return v.empty() ? def : std::atoi(v.c_str()) + static_cast<unsigned char>(v[0]) % 4;
    }
    float value(int dev, int sig) override
    {
        if (size_ < 4) return 0;
        size_t at = static_cast<size_t>(dev * 131 + sig) % (size_ - 3);
        float f;
        std::memcpy(&f, data_ + at, 4);
        return f;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    std::map<std::string, std::string> seen_;
};

bool knownDirective(const std::string& line)
{
    static const char* const kDirectives[] = {
        "agentAddress ",       "sysLocation ", "sysContact ",  "sysName ",
        "engineIDType ",       "engineID ",    "dlmod ",       "rocommunity",
        "rwcommunity",         "rouser ",      "rwuser ",      "createUser ",
        "trap2sink ",          "trapsess ",    "sysObjectID ", "maxGetbulkRepeats ",
        "maxGetbulkResponses "};
    for (const char* d : kDirectives)
        if (line.compare(0, std::strlen(d), d) == 0) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzRuntime rt(data, size);
    snmptask::AgentParams a;
    snmptask::TrapParams t;
    snmptask::loadParams(a, t, rt);
    snmptask::ConfigPaths paths{"/root/app/lib/libupsmib.so", "/root/app/lib/libmib935.so", false};
    std::string text = snmptask::buildConfig(a, t, rt.next(), rt.next(), paths);
    size_t start = 0, lines = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos || !knownDirective(text.substr(start, end - start)))
            std::abort();
        start = end + 1;
        ++lines;
    }
    if (lines > 6 + 2 * snmptask::kRows + snmptask::kRows + 3) std::abort();

    alignas(8) static uint8_t buf[snmpblock::kBlockSize + 64];
    std::memset(buf, 0xA5, sizeof buf);
    snmpblock::Block b(buf);
    b.clear();
    snmptask::refreshBlock(b, a.mibType, rt);
    snmptask::refreshBlock(b, a.mibType, rt);
    for (size_t i = snmpblock::kBlockSize; i < sizeof buf; ++i)
        if (buf[i] != 0xA5) std::abort();
    for (int i = snmpblock::kAlarmTableUsed; i < snmpblock::kAlarmTableEntries; ++i)
        if (b.alarmId(i) != 0) std::abort();

    snmpblock::Message m{};
    m.type = snmpblock::kCommandType;
    std::memcpy(m.data, data, std::min(size, sizeof m.data));
    snmptask::handleMessage(m, rt);
    if (rt.events.size() != 1 || rt.stores.size() != 1) std::abort();
    const int command = rt.events[0].code;
    if (rt.events[0].channel != card::channel::kCommand || command < 0 || command > 255)
        std::abort();
    if (rt.stores[0].code != card::store::kControlSnmp + command) std::abort();

    snmptask::trapTestCommands(t, static_cast<int>(size % 10), size ? data[0] * 65793u : 0,
                               a.mibType, rt.next());
    snmptask::trapTestRequest(t, static_cast<int>(size % 10), a.mibType, rt);
    snmptask::engineIdFromState(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
