/*
 * plugin.cpp - svc_ddns on the card's task shell: the pass every 2 s over
 * libcurl (9 s per request) and the UDP STUN client.
 */
#include "ddns_core.hpp"
#include "stun.hpp"

#include "card_plugin.hpp"
#include "platform.hpp"

#include <chrono>
#include <curl/curl.h>
#include <memory>
#include <thread>

namespace
{

constexpr size_t kMaxBody = 64 * 1024;
// The header the card has always sent with its DDNS requests.
constexpr const char* kContentType = "Content-Type:text/plain; charset=utf-8;'";

size_t collect(char* data, size_t size, size_t count, void* out)
{
    auto* body = static_cast<std::string*>(out);
    const size_t n = size * count;
    if (body->size() < kMaxBody) body->append(data, std::min(n, kMaxBody - body->size()));
    return n;
}

class CardNet : public svc_ddns::Net
{
  public:
    svc_ddns::HttpAnswer get(const std::string& url, const std::string& user,
                             const std::string& password) override
    {
        svc_ddns::HttpAnswer a;
        std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> h(curl_easy_init(), curl_easy_cleanup);
        if (!h) {
            a.error = "no HTTP client";
            return a;
        }
        curl_slist* headers = curl_slist_append(nullptr, kContentType);
        CURL* c = h.get();
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, long(svc_ddns::kHttpTimeoutSeconds));
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &a.body);
        if (!user.empty()) {
            curl_easy_setopt(c, CURLOPT_HTTPAUTH, long(CURLAUTH_BASIC));
            curl_easy_setopt(c, CURLOPT_USERNAME, user.c_str());
            curl_easy_setopt(c, CURLOPT_PASSWORD, password.c_str());
        }
        const CURLcode rc = curl_easy_perform(c);
        curl_slist_free_all(headers);
        if (rc != CURLE_OK) {
            a.error = curl_easy_strerror(rc);
            a.body.clear();
            return a;
        }
        long code = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
        a.code = int(code);
        return a;
    }
    std::optional<std::string> stun(const std::string& server) override
    {
        return svc_ddns::stunPublicAddress(server, card::rt());
    }
    void pause(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    std::string escape(const std::string& value) override
    {
        char* e = curl_easy_escape(nullptr, value.c_str(), int(value.size()));
        std::string out = e ? e : "";
        curl_free(e);
        return out;
    }
};

class DdnsTask : public card::Task
{
    void init() override { curl_global_init(CURL_GLOBAL_DEFAULT); }

    void run() override
    {
        std::string conf;
        platform::readFile(platform::appPath("config/ddns.conf"), conf, 4096);
        svc_ddns::DdnsCore core(card::rt(), net_, svc_ddns::providersFrom(conf));
        every(std::chrono::seconds(svc_ddns::kPassSeconds), "svc_dns", [&] { core.pass(); });
    }

    CardNet net_;
};

} // namespace

CARD_TASK(DdnsTask, "svc_dns",
          CARD_INFO("svc_ddns", "dynamic DNS name of the card's public address"))
