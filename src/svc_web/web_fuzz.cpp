// libFuzzer target for what the web server reads from the network before any
// login: form bodies and query strings, cookie headers and request paths.
#include "web_core.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view in(reinterpret_cast<const char*>(data), size);
    for (size_t buffer : {2, 20, 50, 1000}) {
        auto v = web::formField(in, "user", buffer);
        if (v && (v->empty() || v->size() >= buffer || v->find('\0') != std::string::npos))
            std::abort();
    }
    if (auto d = web::urlDecode(in))
        if (web::urlDecode(web::urlEncode(*d)) != *d) std::abort();
    web::cookieSessionId(in);
    if (auto f = web::staticFileFor(in))
        if (f->path.find("..") != std::string::npos && f->path.find("/../") != std::string::npos)
            std::abort();
    for (char c : web::headerSafe(in))
        if (static_cast<unsigned char>(c) < 0x20 || c == ';') std::abort();
    return 0;
}
