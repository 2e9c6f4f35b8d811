/*
 * store_encoding.cpp - the byte encoding of the files the store writes.
 *
 * English and both Chinese languages write their CSV files in the GBK code page
 * (what the spreadsheet programs of their users open without asking); Turkish
 * and Portuguese stay in UTF-8. Conversion goes through the C library's iconv.
 */
#include "store.hpp"

#include <cerrno>
#include <iconv.h>

namespace store
{

bool languageUsesGbk(int language)
{
    return language >= 0 && language <= 2;
}

std::string toGbk(std::string_view utf8)
{
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
    std::string out;
    out.resize(utf8.size() * 2 + 16);
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* dst = out.data();
    size_t outLeft = out.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            const size_t used = static_cast<size_t>(dst - out.data());
            out.resize(out.size() * 2);
            dst = out.data() + used;
            outLeft = out.size() - used;
        } else {
            // A character GBK lacks, or broken UTF-8: keep the byte as it is.
            if (outLeft == 0) {
                const size_t used = static_cast<size_t>(dst - out.data());
                out.resize(out.size() * 2);
                dst = out.data() + used;
                outLeft = out.size() - used;
            }
            *dst++ = *in++;
            --inLeft;
            --outLeft;
        }
    }
    out.resize(static_cast<size_t>(dst - out.data()));
    iconv_close(cd);
    return out;
}

std::string encodeFor(int language, std::string_view utf8)
{
    return languageUsesGbk(language) ? toGbk(utf8) : std::string(utf8);
}

} // namespace store
