/*
 * answers.cpp - the acknowledgement document every settings page answers
 * with, and the mapping of request paths onto the page files.
 */
#include "web_core.hpp"

#include <cjson/cJSON.h>
#include <memory>

namespace web
{

std::string resultOkText(int ok, std::string_view errmsg)
{
    const char* result = "fail";
    switch (ok) {
    case 1:
        result = "ok";
        break;
    case 100:
        result = "1";
        break;
    case 200:
        result = "2";
        break;
    case 300:
        result = "0";
        break;
    default:
        break;
    }
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(cJSON_CreateObject(), cJSON_Delete);
    cJSON_AddStringToObject(doc.get(), "result", result);
    cJSON_AddStringToObject(doc.get(), "errmsg", std::string(errmsg).c_str());
    char* text = cJSON_Print(doc.get());
    std::string out = text ? text : "";
    cJSON_free(text);
    return out;
}

namespace
{

bool endsWith(std::string_view s, std::string_view tail)
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// A URI that stays inside its directory: absolute, no "." or ".." segment, no
// backslash or control character.
bool safeUri(std::string_view uri)
{
    if (uri.empty() || uri[0] != '/') return false;
    for (char c : uri)
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20) return false;
    size_t pos = 1;
    while (pos <= uri.size()) {
        size_t end = uri.find('/', pos);
        if (end == std::string_view::npos) end = uri.size();
        std::string_view seg = uri.substr(pos, end - pos);
        if (seg == "." || seg == "..") return false;
        pos = end + 1;
    }
    return true;
}

} // namespace

const char* contentTypeFor(std::string_view path)
{
    if (endsWith(path, ".html")) return "text/html";
    if (endsWith(path, ".js")) return "text/js";
    if (endsWith(path, ".css")) return "text/css";
    return "text/plain";
}

std::optional<StaticFile> staticFileFor(std::string_view uri)
{
    if (uri.size() > kMaxStaticUri || !safeUri(uri)) return std::nullopt;
    if (uri == "/") return StaticFile{"www/index.html", "text/html"};
    std::string path;
    if (endsWith(uri, ".html")) {
        path = "www" + std::string(uri);
    } else if (endsWith(uri, ".db")) {
        // Only the pages' language tables: config/ also holds the settings
        // store and other files that must never leave the card this way.
        if (uri.substr(0, 6) != "/lang/") return std::nullopt;
        path = "config/" + std::string(uri.substr(1));
    } else {
        path = "www/" + std::string(uri.substr(1));
    }
    return StaticFile{path, contentTypeFor(path)};
}

std::string headerSafe(std::string_view text)
{
    std::string out;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f && c != ';' && c != ',')
            out.push_back(c);
    return out;
}

} // namespace web
