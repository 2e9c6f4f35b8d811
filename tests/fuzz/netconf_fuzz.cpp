// libFuzzer target for the settings cardmon writes into system files at boot:
// dhcpSet, ipAddr, netmask, gateway into /etc/network/interfaces and dns1,
// dns2 into /etc/resolv.conf. Any bytes may come from the settings pages.
// Invariants: a file is either refused (empty text) or made only of the lines
// the card writes, each value a well-formed address, so that no setting can
// add a line (a command ifup would run as root) to a system file.
#include "startup.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace
{

// The input cut into n fields at zero bytes (missing ones are empty).
std::vector<std::string> fields(const uint8_t* data, size_t size, size_t n)
{
    std::vector<std::string> out(n);
    size_t k = 0;
    for (size_t i = 0; i < size && k < n; ++i) {
        if (data[i] == 0)
            ++k;
        else
            out[k] += char(data[i]);
    }
    return out;
}

bool startsWith(std::string_view s, std::string_view p)
{
    return s.substr(0, p.size()) == p;
}

void checkInterfaces(const std::string& text)
{
    static const std::string_view fixed[] = {"auto lo", "iface lo inet loopback", "auto eth0",
                                             "iface eth0 inet dhcp", "iface eth0 inet static"};
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) std::abort(); // every line ends with a newline
        const std::string_view line(text.data() + start, end - start);
        bool known = false;
        for (auto f : fixed)
            known = known || line == f;
        for (std::string_view key : {"address ", "netmask ", "gateway "})
            if (!known && startsWith(line, key)) {
                if (!cardmon::wellFormedIpv4(line.substr(key.size()))) std::abort();
                known = true;
            }
        if (!known) std::abort();
        start = end + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto f = fields(data, size, 6);
    const cardmon::InterfacesPlan plan = cardmon::planInterfaces(f[0], f[1], f[2], f[3]);
    checkInterfaces(plan.text);
    for (unsigned char c : plan.log)
        if (c < 0x20 && c != '\n') std::abort(); // a value's control characters are escaped
    std::string log;
    const std::string resolv = cardmon::resolvConfText(f[4], f[5], &log);
    if (!resolv.empty()) {
        for (const std::string* dns : {&f[4], &f[5]})
            if (!dns->empty() && !cardmon::wellFormedNameServer(*dns)) std::abort();
        if (resolv != "nameserver " + f[4] + "\nnameserver " + f[5] + "\n") std::abort();
    }
    // The address checks themselves take any text.
    cardmon::staticAddressCheck(f[1], f[2]);
    bool d = false, parsed = false;
    cardmon::classMask(f[1], &d, &parsed);
    cardmon::printable(f[3]);
    return 0;
}
