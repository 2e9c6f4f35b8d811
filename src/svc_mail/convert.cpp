/*
 * convert.cpp - character set conversions through iconv.
 *
 * The mails of the Chinese languages go out in GBK (GB2312 where the text fits
 * it); the other conversions are kept for the card's other users of these
 * helpers (UCS-2 big-endian, the Turkish code page IBM857). A conversion either
 * succeeds whole or fails: no half-converted text is ever sent.
 */
#include "mail.hpp"

#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace mail
{

std::optional<std::string> convert(std::string_view text, const char* from, const char* to)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out;
    char buf[512];
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    bool ok = true;
    // The final call with no input flushes a stateful encoding's shift state.
    for (bool flushing = false;;) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        const size_t r = flushing ? iconv(cd, nullptr, nullptr, &o, &oLeft)
                                  : iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, size_t(o - buf));
        if (r == size_t(-1) && errno != E2BIG) {
            ok = false;
            break;
        }
        if (r != size_t(-1)) {
            if (flushing) break;
            flushing = true;
        }
    }
    iconv_close(cd);
    if (!ok) return std::nullopt;
    return out;
}

namespace
{

int into(char* out, size_t size, const char* in, size_t len, const char* from, const char* to)
{
    if (!out || size == 0) return -1;
    out[0] = '\0';
    const auto r = convert(std::string_view(in ? in : "", in ? len : 0), from, to);
    if (!r || r->size() >= size) return -1;
    std::memcpy(out, r->data(), r->size());
    out[r->size()] = '\0';
    return static_cast<int>(r->size());
}

} // namespace

int utf8ToGb2312(char* out, size_t size, const char* in, size_t len)
{
    return into(out, size, in, len, "UTF-8", "GB2312");
}

int gb2312ToUtf8(char* out, size_t size, const char* in, size_t len)
{
    return into(out, size, in, len, "GB2312", "UTF-8");
}

int utf8ToUnicode(char* out, size_t size, const char* in, size_t len)
{
    return into(out, size, in, len, "UTF-8", "UCS-2BE");
}

int unicodeToUtf8(char* out, size_t size, const char* in, size_t len)
{
    return into(out, size, in, len, "UCS-2BE", "UTF-8");
}

int utf8ToIbm857(char* out, size_t size, const char* in, size_t len)
{
    return into(out, size, in, len, "UTF-8", "IBM857");
}

int ibm857ToUtf8(char* out, size_t size, const char* in, size_t len)
{
    return into(out, size, in, len, "IBM857", "UTF-8");
}

} // namespace mail
