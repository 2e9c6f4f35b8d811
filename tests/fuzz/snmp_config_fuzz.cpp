// libFuzzer target for what the SNMP task takes from settings, signals and the
// agent: setting values (any bytes) into the parameter records and the agent
// configuration text, signal values (NaN, infinities, huge) into the shared
// block, queue messages into commands, and the agent's state file text.
// Invariants: every configuration line starts with one of our directives (no
// value can add a line), nothing is written outside the 1164-byte block.
#include "shmblock.h"
#include "snmptask.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace
{

struct FuzzSettings : snmptask::Settings {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    std::map<std::string, std::string> seen;
    std::string next()
    {
        if (pos >= size) return "";
        size_t n = data[pos++] % 72;
        n = std::min(n, size - pos);
        std::string v(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
        return v;
    }
    std::string text(const std::string& k, const std::string&) override
    {
        auto it = seen.find(k);
        if (it != seen.end()) return it->second;
        return seen[k] = next();
    }
    int integer(const std::string& k, int def) override
    {
        std::string v = text(k, "");
        return v.empty() ? def : std::atoi(v.c_str()) + static_cast<unsigned char>(v[0]) % 4;
    }
};

struct FuzzSignals : snmptask::Signals {
    const uint8_t* data;
    size_t size;
    float value(int dev, int sig) override
    {
        if (size < 4) return 0;
        size_t at = static_cast<size_t>(dev * 131 + sig) % (size - 3);
        float f;
        std::memcpy(&f, data + at, 4);
        return f;
    }
};

bool knownDirective(const std::string& line)
{
    static const char* const kDirectives[] = {
        "agentAddress ", "sysLocation ", "sysContact ", "sysName ",    "engineIDType ",
        "engineID ",     "dlmod ",       "rocommunity", "rwcommunity", "rouser ",
        "rwuser ",       "createUser ",  "trap2sink ",  "trapsess ",   "sysObjectID "};
    for (const char* d : kDirectives)
        if (line.compare(0, std::strlen(d), d) == 0) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzSettings s;
    s.data = data;
    s.size = size;
    snmptask::AgentParams a;
    snmptask::TrapParams t;
    snmptask::loadParams(s, a, t);
    snmptask::ConfigPaths paths{"/root/app/lib/libupsmib.so", "/root/app/lib/libmib935.so", false};
    std::string text = snmptask::buildConfig(a, t, s.next(), s.next(), paths);
    size_t start = 0, lines = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos || !knownDirective(text.substr(start, end - start)))
            std::abort();
        start = end + 1;
        ++lines;
    }
    if (lines > 6 + 2 * snmptask::kRows + snmptask::kRows + 1) std::abort();

    alignas(8) static uint8_t buf[snmpblock::kBlockSize + 64];
    std::memset(buf, 0xA5, sizeof buf);
    snmpblock::Block b(buf);
    b.clear();
    FuzzSignals sig;
    sig.data = data;
    sig.size = size;
    snmptask::refreshBlock(b, s, sig, a.mibType);
    snmptask::refreshBlock(b, s, sig, a.mibType);
    for (size_t i = snmpblock::kBlockSize; i < sizeof buf; ++i)
        if (buf[i] != 0xA5) std::abort();
    for (int i = snmpblock::kAlarmTableUsed; i < snmpblock::kAlarmTableEntries; ++i)
        if (b.alarmId(i) != 0) std::abort();

    snmpblock::Message m{};
    std::memcpy(m.data, data, std::min(size, sizeof m.data));
    snmpblock::Command c = snmpblock::decodeCommand(m);
    snmptask::CommandAction act = snmptask::commandAction(c, s.integer("ups_type", 0));
    if (act.event < 0 || act.event > 255) std::abort();
    snmptask::trapTestCommands(t, static_cast<int>(size % 10), size ? data[0] * 65793u : 0,
                               a.mibType, s.next());
    snmptask::engineIdFromState(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
