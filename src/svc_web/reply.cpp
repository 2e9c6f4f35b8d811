/*
 * reply.cpp - the answer helpers every handler uses, and the form fields of
 * a request.
 */
#include "web.hpp"

#include "platform.hpp"

#include <cjson/cJSON.h>
#include <sys/stat.h>

namespace web
{

std::optional<std::string> Request::field(std::string_view name, size_t buffer) const
{
    return isPost() ? bodyField(name, buffer) : queryField(name, buffer);
}

std::optional<std::string> Request::bodyField(std::string_view name, size_t buffer) const
{
    return formField(body, name, buffer);
}

std::optional<std::string> Request::queryField(std::string_view name, size_t buffer) const
{
    return formField(query, name, buffer);
}

void sendResult(Reply& r, const cJSON* json)
{
    char* text = json ? cJSON_Print(json) : nullptr;
    r.kind = Reply::Kind::Chunked;
    r.status = 200;
    r.body = text ? text : "";
    cJSON_free(text);
}

void resultOk(Reply& r, int ok, std::string_view errmsg)
{
    r.kind = Reply::Kind::Chunked;
    r.status = 200;
    r.body = resultOkText(ok, errmsg);
}

bool serveFile(Reply& r, const std::string& appRelative, const char* contentType)
{
    std::string path = platform::appPath(appRelative);
    struct stat st {
    };
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    r.kind = Reply::Kind::File;
    r.status = 200;
    r.file = path;
    r.header("Content-Type", contentType);
    return true;
}

void redirect(Reply& r, std::string_view location)
{
    r.kind = Reply::Kind::Text;
    r.status = 302;
    r.header("Location", std::string(location));
    r.body.clear();
}

void sendError(Reply& r, int status)
{
    r.kind = Reply::Kind::Text;
    r.status = status;
    r.body = "Error " + std::to_string(status);
    r.header("Content-Type", "text/plain");
}

} // namespace web
