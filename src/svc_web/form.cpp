/*
 * form.cpp - URL-encoded form fields as the handlers read them: from a POST
 * body or from the query string, first occurrence wins, cut to the handler's
 * buffer size so that a long field can never overrun anything downstream.
 */
#include "web_core.hpp"

#include <cctype>

namespace web
{

namespace
{

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Cuts `s` to at most `max` bytes without splitting a UTF-8 sequence.
void cutUtf8(std::string& s, size_t max)
{
    if (s.size() <= max) return;
    size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80)
        --n;
    s.resize(n);
}

} // namespace

std::optional<std::string> urlDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::optional<std::string> formField(std::string_view form, std::string_view name, size_t buffer)
{
    if (name.empty() || buffer < 2) return std::nullopt;
    size_t pos = 0;
    while (pos <= form.size()) {
        size_t end = form.find('&', pos);
        if (end == std::string_view::npos) end = form.size();
        std::string_view pair = form.substr(pos, end - pos);
        size_t eq = pair.find('=');
        if (eq != std::string_view::npos && sameName(pair.substr(0, eq), name)) {
            auto value = urlDecode(pair.substr(eq + 1));
            if (!value) return std::nullopt;
            size_t nul = value->find('\0');
            if (nul != std::string::npos) value->resize(nul);
            cutUtf8(*value, buffer - 1);
            if (value->empty()) return std::nullopt;
            return value;
        }
        pos = end + 1;
    }
    return std::nullopt;
}

std::string urlEncode(std::string_view text)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

} // namespace web
