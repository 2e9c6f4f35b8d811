// libFuzzer target for what a network UPS client sends: any bytes, cut into
// reads at the places the input says, through the line assembly, the word
// split and the protocol (a user table of three levels, a UPS on mains).
// Invariants: the line buffer never holds more than one line of kMaxLine
// bytes, every answer is whole lines that read back as words, every command
// posted is one of the card's UPS commands and is recorded in the store with
// the client's address, and the password never reaches the log.
#include "nut.hpp"

#include "fake_runtime.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

struct NoPeers : nut::Peers {
    std::vector<std::string> loggedIn() override { return {"10.0.0.1"}; }
    bool tlsAvailable() override { return true; }
};

void fail(int line)
{
    std::fprintf(stderr, "nut_fuzz: invariant at line %d broken\n", line);
    std::abort();
}
#define check(ok)                                                                                  \
    do {                                                                                           \
        if (!(ok)) fail(__LINE__);                                                                 \
    } while (0)

bool readsBack(std::string_view line)
{
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == '\\' && ++i == line.size()) return false;
        if (c == '"') quoted = !quoted;
    }
    return !quoted;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    card::FakeRuntime rt;
    rt.link(card::kUps, true);
    rt.setValue(card::kUps, Data_InputNumLines, 3);
    rt.setValue(card::kUps, Data_OutputNumLines, 3);
    rt.setValue(card::kUps, Alarm_FanFailure, 1);
    const char* users[][4] = {{"mon", "secret-m", "1", "*.*.*.*"},
                              {"op", "secret-o", "2", "192.168.1"},
                              {"root", "secret-r", "3", "192.168.1.0/24"}};
    for (int n = 0; n < 3; ++n) {
        const std::string i = std::to_string(n + 1);
        rt.set("user_name" + i, users[n][0]);
        rt.set("user_pass" + i, users[n][1]);
        rt.set("user_right" + i, users[n][2]);
        rt.set("user_ip" + i, users[n][3]);
    }
    nut::Ups ups(rt);
    nut::Users table;
    table.load(rt);
    nut::ForcedShutdown fsd;
    NoPeers peers;
    nut::Protocol proto(ups, table, fsd, peers);
    nut::Client client{"192.168.1.20"};
    nut::LineBuffer in;

    // The first byte of each read gives its length (1..64).
    size_t at = 0;
    while (at < size && !in.overflowed()) {
        const size_t len = 1 + data[at++] % 64;
        const size_t take = len < size - at ? len : size - at;
        in.feed(std::string_view(reinterpret_cast<const char*>(data + at), take));
        at += take;
        check(in.pending() <= nut::kMaxLine + 64);
        while (auto line = in.next()) {
            check(line->size() < nut::kMaxLine);
            nut::Answer a = proto.handleLine(client, *line);
            check(a.text.empty() || a.text.back() == '\n');
            // Every answer line reads back as words: no control character,
            // every quote closed.
            size_t start = 0;
            for (size_t end; (end = a.text.find('\n', start)) != std::string::npos; start = end + 1)
                check(readsBack(std::string_view(a.text).substr(start, end - start)));
            if (a.close || a.startTls) return 0;
        }
    }
    for (const auto& e : rt.events)
        check(e.channel != card::channel::kCommand || e.code <= card::command::kLast);
    for (const auto& s : rt.stores)
        check(s.text == "NUT:192.168.1.20");
    // (A user name or a set value may of course spell a password itself.)
    if (client.username.find("secret-") == std::string::npos)
        for (const auto& l : rt.logs)
            check(l.find(" set ") != std::string::npos || l.find("secret-") == std::string::npos);
    return 0;
}
