/*
 * loopback.cpp - the card calling its own web server: one form POST with the
 * user agent "settings", which the login gate lets through from a loopback
 * address. Used by pages that reuse another page's handler.
 */
#include "web.hpp"

#include "platform.hpp"

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace
{

constexpr int kDefaultPort = 80;
constexpr size_t kRecvBuffer = 5000; // answers this long or longer are dropped
constexpr long kTimeoutMs = 5000;
constexpr size_t kMaxCmd = 200;

// One loopback call at a time, as the card's pages expect.
std::mutex g_loopbackLock;

int loopbackPort()
{
    std::string text;
    if (!platform::readFile(platform::sysPath("/var/run/dataMonitor/httpPort"), text, 50))
        return kDefaultPort;
    int port = std::atoi(text.c_str());
    return port > 0 && port < 65536 ? port : kDefaultPort;
}

size_t collect(char* data, size_t size, size_t n, void* user)
{
    auto* out = static_cast<std::string*>(user);
    out->append(data, size * n);
    return size * n;
}

} // namespace

int httpGetPost(const char* cmd, char* recv, int size, const char* postData)
{
    try {
        std::lock_guard<std::mutex> hold(g_loopbackLock);
        std::string path = cmd ? cmd : "";
        if (path.size() > kMaxCmd) path.resize(kMaxCmd);
        char url[300];
        std::snprintf(url, sizeof url, "http://127.0.0.1:%d/%s", loopbackPort(), path.c_str());

        CURL* curl = curl_easy_init();
        if (!curl) return 0;
        std::string headers, body;
        curl_slist* extra = curl_slist_append(nullptr, "user-agent: settings");
        curl_easy_setopt(curl, CURLOPT_URL, url);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, extra);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postData ? postData : "");
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kTimeoutMs);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &headers);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        CURLcode rc = curl_easy_perform(curl);
        curl_slist_free_all(extra);
        curl_easy_cleanup(curl);
        if (rc != CURLE_OK) {
            if (rc == CURLE_COULDNT_CONNECT)
                std::fprintf(stderr, "connect() failed: %s\n", curl_easy_strerror(rc));
            return 0;
        }
        // The whole reply message, as the pages parse it.
        std::string reply = headers + body;
        if (reply.size() >= kRecvBuffer) return 0;
        if (recv && size > 0 && reply.size() < static_cast<size_t>(size))
            std::memcpy(recv, reply.data(), reply.size());
        return static_cast<int>(reply.size());
    } catch (...) {
        return 0;
    }
}
