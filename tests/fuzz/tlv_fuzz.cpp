/*
 * tlv_fuzz.cpp - libFuzzer target over what the cloud link reads from
 * outside: TLV boxes, command messages (head, MD5 check, short items) and,
 * with the first byte odd, a firmware package's tar records (the input is
 * gzip-compressed and walked as a package).
 *
 * A box that parses must serialise back to the same bytes when its items are
 * put again in reverse.
 */
#include "codec.hpp"
#include "package.hpp"
#include "scratch.hpp"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

void tlvRoundTrip(std::string_view in)
{
    auto items = cloud::tlv::parse(in);
    if (!items) return;
    cloud::tlv::Box box;
    for (auto it = items->rbegin(); it != items->rend(); ++it)
        if (!box.put(it->tag, it->value)) std::abort();
    if (box.serialize() != in) std::abort();
}

void commandMessage(std::string_view in)
{
    const cloud::Received r = cloud::check(in);
    if (r.verdict != cloud::Verdict::Ok) return;
    for (const cloud::Short& s : cloud::shortItems(r.body))
        (void)cloud::shortItems(s.value);
}

void packageWalk(std::string_view in)
{
    static const std::string path = fuzzScratchDir("tlv_fuzz") + "/package.tar.gz";
    gzFile gz = gzopen(path.c_str(), "wb");
    if (!gz) return;
    gzwrite(gz, in.data(), unsigned(in.size()));
    gzclose(gz);
    std::size_t bytes = 0;
    fwpkg::walk(
        path,
        [](const fwpkg::Member& m) {
            if (!fwpkg::safeName(m.name) || (m.type != '0' && m.type != '5')) std::abort();
            return true;
        },
        [&](std::string_view d) {
            bytes += d.size();
            return true;
        });
    std::remove(path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) {
        packageWalk(in);
    } else {
        tlvRoundTrip(in);
        commandMessage(in);
    }
    return 0;
}
