/*
 * ucs2.cpp - message texts to and from UCS-2 hexadecimal.
 *
 * Messages go out in text mode with the UCS2 character set: the modem takes
 * the number and the body as four hexadecimal digits per character. Every
 * language goes through iconv (UTF-8 <-> UCS-2BE), so letters beyond Latin-1
 * (Turkish ı, ş, ğ, Chinese) come out as the characters they are.
 */
#include "sms.hpp"

#include <cerrno>
#include <iconv.h>
#include <memory>

namespace sms
{
namespace
{

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using Converter = std::unique_ptr<void, IconvCloser>;

Converter open(const char* to, const char* from)
{
    iconv_t cd = iconv_open(to, from);
    return Converter(cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd);
}

// Bytes to skip for a character iconv could not take: the lead byte and the
// continuation bytes behind it.
size_t badSequence(const char* p, size_t left)
{
    size_t n = 1;
    while (n < left && n < 4 && (static_cast<unsigned char>(p[n]) & 0xC0) == 0x80)
        ++n;
    return n;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The 16-bit groups of hexadecimal text, nullopt unless whole groups.
std::optional<std::u16string> groups(std::string_view hex)
{
    if (hex.empty() || hex.size() % 4 != 0) return std::nullopt;
    std::u16string out;
    for (size_t i = 0; i < hex.size(); i += 4) {
        unsigned v = 0;
        for (size_t k = 0; k < 4; ++k) {
            const int d = hexDigit(hex[i + k]);
            if (d < 0) return std::nullopt;
            v = v << 4 | unsigned(d);
        }
        out.push_back(char16_t(v));
    }
    return out;
}

} // namespace

std::string toUcs2Hex(std::string_view utf8)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    Converter cd = open("UCS-2BE", "UTF-8");
    std::string out;
    if (!cd) return out;
    auto* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    while (inLeft > 0) {
        char buf[256];
        char* o = buf;
        size_t oLeft = sizeof buf;
        const size_t r = iconv(static_cast<iconv_t>(cd.get()), &in, &inLeft, &o, &oLeft);
        for (char* p = buf; p < o; ++p) {
            const auto b = static_cast<unsigned char>(*p);
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
        if (r == size_t(-1) && errno != E2BIG) {
            // No UTF-8, or no UCS-2 for it: one "?" for the sequence.
            const size_t skip = badSequence(in, inLeft);
            in += skip;
            inLeft -= skip;
            out += "003F";
            iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

std::optional<std::string> fromUcs2Hex(std::string_view hex)
{
    auto units = groups(hex);
    if (!units) return std::nullopt;
    std::string bytes;
    for (char16_t u : *units) {
        if (u >= 0xD800 && u <= 0xDFFF) return std::nullopt; // not UCS-2
        bytes.push_back(char(u >> 8));
        bytes.push_back(char(u & 0xFF));
    }
    Converter cd = open("UTF-8", "UCS-2BE");
    if (!cd) return std::nullopt;
    std::string out(bytes.size() * 2, '\0');
    char* in = bytes.data();
    size_t inLeft = bytes.size();
    char* o = out.data();
    size_t oLeft = out.size();
    if (iconv(static_cast<iconv_t>(cd.get()), &in, &inLeft, &o, &oLeft) == size_t(-1))
        return std::nullopt;
    out.resize(out.size() - oLeft);
    return out;
}

std::optional<std::string> numberFromUcs2Hex(std::string_view hex)
{
    auto units = groups(hex);
    if (!units) return std::nullopt;
    std::string out;
    for (char16_t u : *units) {
        if (u < 0x20 || u > 0x7E) return std::nullopt;
        out.push_back(char(u));
    }
    return out;
}

} // namespace sms
