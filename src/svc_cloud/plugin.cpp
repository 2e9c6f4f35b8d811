/*
 * plugin.cpp - svc_cloud on the card's task shell (server id kCloudServer,
 * started when "enable_cloud" is set): one MQTT 3.1.1 connection through
 * libmosquitto to the broker named by "backenIp"/"backenPort", driven by the
 * task's thread, and the update channel's side thread.
 *
 * The task's thread does all network work of the link: it connects (with the
 * will: communication state 0), runs libmosquitto's loop for up to a second,
 * hands the link's events to the session and calls its timer every second.
 * The update thread takes orders from the session's queue and posts its
 * results on the cloud channel; event() queues them for the task's thread,
 * which reports them once the link is up.
 *
 * The card speaks plain MQTT: any broker or broker cluster behind that
 * address and port serves it.
 */
#include "session.hpp"
#include "update.hpp"

#include "card_plugin.hpp"
#include "card_rules.hpp"
#include "platform.hpp"

#include <mosquitto.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <mutex>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr const char* kDefaultBroker = "mqtt.torvix-cloud.com";
constexpr int kDefaultPort = 1883;
constexpr const char* kDefaultUser = "zelkmqtt";
constexpr const char* kDefaultPassword = "Rq4%wTk8Lz";
constexpr int kKeepAlive = 60;
constexpr int kQos = 0;
constexpr auto kStartDelay = std::chrono::seconds(5);
constexpr auto kAfterClose = std::chrono::seconds(5);
constexpr int kLoopMs = 1000;
constexpr std::size_t kSerialChars = 49;

// The log server of the pass-through log upload.
constexpr const char* kDefaultLogServer = "log.torvix-cloud.com";
constexpr int kLogPort = 4499;
constexpr const char* kLogUser = "qelmupld7";
constexpr const char* kLogPassword = "Borel*413";

std::string firstLine(const std::string& path, std::size_t max, bool& found)
{
    std::ifstream in(path);
    found = bool(in);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line.substr(0, max);
}

std::string macText()
{
    unsigned char mac[6] = {0};
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "eth0", IFNAMSIZ - 1);
        if (::ioctl(fd, SIOCGIFHWADDR, &ifr) == 0) std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
        ::close(fd);
    }
    char text[13];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return text;
}

void refreshMemory(card::Runtime& rt)
{
    std::ifstream in("/proc/meminfo");
    std::string key;
    long kb = 0;
    while (in >> key >> kb) {
        if (key == "MemFree:") {
            const long total = rt.integer("memTotal", 0);
            rt.saveInt("memUse", int(std::max(0L, total - kb)));
            return;
        }
        in.ignore(64, '\n');
    }
}

std::int16_t timezoneMinutes(std::time_t now)
{
    std::tm local{};
    ::localtime_r(&now, &local);
    return std::int16_t(local.tm_gmtoff / 60);
}

bool plainWord(std::string_view s)
{
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

// Uploads a log file to the log server's FTP service with lftp, run without
// a shell; 0 when lftp succeeded.
int uploadLog(card::Runtime& rt, int type)
{
    static const char* const kFiles[] = {"data/app.log", "data/crash.txt", "data/mem.log"};
    const std::string host = rt.text("cloud_log_server", kDefaultLogServer);
    const int port = card::parseInt(rt.text("cloud_log_port", std::to_string(kLogPort)), kLogPort);
    const std::string sn = rt.text("cloud_sn");
    if (type < 0 || type > 2 || !plainWord(host) || !plainWord(sn) || port < 1 || port > 65535)
        return -1;
    auto quoted = [](const std::string& path) { return "\"" + path + "\""; };
    std::string script = "set net:timeout 10; set net:max-retries 2; "
                         "set net:reconnect-interval-base 5; "
                         "set net:reconnect-interval-multiplier 1; "
                         "open -u " +
                         std::string(kLogUser) + "," + kLogPassword + " -p " +
                         std::to_string(port) + " " + host + "; cd log; cd SNMP; mkdir -f " + sn +
                         "; cd " + sn + "; put " + quoted(platform::appPath(kFiles[type]));
    if (type == 0 && platform::fileExists(platform::appPath("data/app.log.0")))
        script += "; put " + quoted(platform::appPath("data/app.log.0"));
    for (char c : platform::appDir())
        if (c == '"' || c == ';') return -1; // would break the quoting above
    return platform::runArgv({"lftp", "-c", script});
}

class MosquittoLink : public cloud::Link
{
  public:
    explicit MosquittoLink(mosquitto*& m) : m_(m) {}
    void publish(const std::string& topic, const std::string& message) override
    {
        int mid = 100;
        if (m_)
            mosquitto_publish(m_, &mid, topic.c_str(), int(message.size()), message.data(), kQos,
                              false);
    }
    void subscribe(const std::string& topic, int mid) override
    {
        if (m_) mosquitto_subscribe(m_, &mid, topic.c_str(), kQos);
    }
    void unsubscribe(const std::string& topic, int mid) override
    {
        if (m_) mosquitto_unsubscribe(m_, &mid, topic.c_str());
    }
    void disconnect() override
    {
        if (m_) mosquitto_disconnect(m_);
    }

  private:
    mosquitto*& m_;
};

class CloudTask : public card::Task
{
    void init() override { mosquitto_lib_init(); }

    void run() override
    {
        card::Runtime& rt = card::rt();
        bool found = false;
        const std::string sn =
            firstLine(platform::appPath("config/CloudProduct"), kSerialChars, found);
        if (found) rt.save("cloud_sn", sn);
        const std::string product = firstLine(platform::appPath("config/PRODUCT"), 64, found);
        if (found) rt.save("snmp_sn", product);

        rt.setValue(card::kCard, SYS_CMD_MQTT_ACK_UPDATE_RESULT, 0);
        spawn(
            "TcpUpdateHandle", [this] { updateLoop(); }, 0x100000);

        cloud::Hooks hooks;
        hooks.reboot = [] { platform::runArgv({"reboot"}); };
        hooks.uploadLog = [&rt](int type) { return uploadLog(rt, type); };
        hooks.mac = macText;
        hooks.refreshMemory = [&rt] { refreshMemory(rt); };
        hooks.pause = [&rt](int ms) { rt.sleepMs(ms); };
        hooks.timezoneMinutes = [&rt] { return timezoneMinutes(rt.now()); };
        cloud::Session session(rt, link_, updates_, hooks);
        session.begin();
        rt.log("[svc_cloud] Wait for device comm");
        if (!wait(kStartDelay)) return;

        session_ = &session;
        auto nextSecond = card::Clock::now();
        while (!stopped()) {
            session.watch(state_ == State::Up);
            if (state_ == State::Idle) connect(rt, session);
            if (m_) {
                const int rc = mosquitto_loop(m_, kLoopMs, 1);
                if (rc != MOSQ_ERR_SUCCESS && state_ != State::Idle) lost(rt, session, rc);
            } else if (!wait(std::chrono::milliseconds(kLoopMs))) {
                break;
            }
            if (card::Clock::now() >= nextSecond) {
                nextSecond = card::Clock::now() + std::chrono::seconds(1);
                session.second();
                if (session.isConnected())
                    for (const cloud::UpdateResult& r : takeResults())
                        session.updateResult(r);
            }
        }
        if (m_ && session.isConnected()) mosquitto_disconnect(m_);
        drop();
        session_ = nullptr;
        updates_.wake();
    }

    void event(int channel, int code, void* data, int size) override
    {
        if (channel != card::channel::kCloud || code != card::event::kUpdateResult || !data ||
            size <= 0)
            return;
        auto r =
            cloud::decodeResult(std::string_view(static_cast<const char*>(data), size_t(size)));
        if (!r) return;
        std::lock_guard hold(resultsLock_);
        results_.push_back(*r);
    }

    void stopping() override { updates_.wake(); }

    // ---- the link ----

    enum class State { Idle, Connecting, Up };

    void connect(card::Runtime& rt, cloud::Session& session)
    {
        drop();
        const std::string sn = rt.text("cloud_sn");
        m_ = mosquitto_new(sn.empty() ? nullptr : sn.c_str(), true, this);
        if (!m_) return;
        mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        mosquitto_connect_callback_set(m_, onConnect);
        mosquitto_disconnect_callback_set(m_, onDisconnect);
        mosquitto_message_callback_set(m_, onMessage);
        const std::string user = rt.text("backenUser", kDefaultUser);
        const std::string pass = rt.text("backenPassword", kDefaultPassword);
        mosquitto_username_pw_set(m_, user.c_str(), pass.c_str());
        const std::string will = session.willMessage();
        mosquitto_will_set(m_, session.willTopic().c_str(), int(will.size()), will.data(), kQos,
                           false);
        const std::string host = rt.text("backenIp", kDefaultBroker);
        const int port =
            card::parseInt(rt.text("backenPort", std::to_string(kDefaultPort)), kDefaultPort);
        rt.log("MQTT:MG_EV_CONNECT-SN:" + sn);
        if (mosquitto_connect(m_, host.c_str(), port, kKeepAlive) != MOSQ_ERR_SUCCESS) {
            // Unreachable now: the next pass tries again after the pause.
            drop();
            wait(kAfterClose);
            return;
        }
        state_ = State::Connecting;
    }

    void lost(card::Runtime& rt, cloud::Session& session, int rc)
    {
        rt.log(rc == MOSQ_ERR_NO_CONN ? "MQTT:MG_EV_MQTT_DISCONNECT" : "MQTT:MG_EV_CLOSE");
        session.closed();
        state_ = State::Idle;
        drop();
        wait(kAfterClose);
    }

    void drop()
    {
        if (m_) mosquitto_destroy(m_);
        m_ = nullptr;
    }

    static void onConnect(mosquitto*, void* obj, int rc)
    {
        auto* self = static_cast<CloudTask*>(obj);
        if (!self->session_) return;
        if (rc == 0) self->state_ = State::Up;
        self->session_->connected(rc);
    }

    static void onDisconnect(mosquitto*, void* obj, int)
    {
        auto* self = static_cast<CloudTask*>(obj);
        if (self->session_ && self->session_->isConnected()) self->session_->closed();
    }

    static void onMessage(mosquitto*, void* obj, const mosquitto_message* msg)
    {
        auto* self = static_cast<CloudTask*>(obj);
        if (!self->session_ || !msg || !msg->topic) return;
        self->session_->message(msg->topic, std::string_view(static_cast<const char*>(msg->payload),
                                                             size_t(msg->payloadlen)));
    }

    std::vector<cloud::UpdateResult> takeResults()
    {
        std::lock_guard hold(resultsLock_);
        std::vector<cloud::UpdateResult> out(results_.begin(), results_.end());
        results_.clear();
        return out;
    }

    // ---- the update channel's thread ----

    void updateLoop()
    {
        card::Runtime& rt = card::rt();
        cloud::ChannelConfig cfg;
        cfg.updateDir = platform::appPath("/root/app/Update");
        platform::makeDirs(cfg.updateDir);
        auto report = [&rt](const cloud::UpdateResult& r) {
            std::string record = cloud::encodeResult(r);
            rt.post(card::channel::kCloud, card::event::kUpdateResult, record.data(),
                    int(record.size()));
        };
        while (!stopped()) {
            std::optional<cloud::Order> order = updates_.pop(1000);
            if (!order) continue;
            cfg.hardwareCode = card::hardwareVersion(rt);
            cloud::runOrder(rt, cfg, *order, report, [this] { return stopped(); });
        }
    }

    mosquitto* m_ = nullptr;
    MosquittoLink link_{m_};
    State state_ = State::Idle;
    cloud::Session* session_ = nullptr;
    cloud::UpdateQueue updates_;
    std::mutex resultsLock_;
    std::deque<cloud::UpdateResult> results_;
};

} // namespace

CARD_TASK(CloudTask, "svc_cloud", CARD_INFO("svc_cloud", "cloud reporting over MQTT"))
