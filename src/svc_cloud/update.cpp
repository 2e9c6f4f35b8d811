/*
 * update.cpp - the update channel: the block exchange, the result record,
 * the order queue and the thread's run of one order (connect, fetch, verify,
 * check the package, report).
 */
#include "update.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cloud
{

namespace
{

const char* const kWho = "CLOUD_TCP_UPDATE";
constexpr const char* kPackageFile = "Torvix.tar.gz";
constexpr int kConnectMs = 5000;
constexpr int kBlockPauseMs = 20;
constexpr auto kProgressEvery = std::chrono::seconds(10);

// Record offsets: main status, status, then the order.
constexpr std::size_t kMain = 0, kStatus = 4, kWhoAt = 8, kName = 13, kUrl = 77, kBits = 159;
constexpr std::size_t kText = 64;

void putLe32(std::string& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char((v >> (8 * i)) & 0xFF);
}

std::uint32_t le32(std::string_view b, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | std::uint8_t(b[at + i]);
    return v;
}

void putText(std::string& b, std::size_t at, const std::string& t)
{
    std::memcpy(b.data() + at, t.data(), std::min(t.size(), kText - 1));
}

std::string getText(std::string_view b, std::size_t at)
{
    std::string_view t = b.substr(at, kText);
    return std::string(t.substr(0, t.find('\0')));
}

std::string line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string line(const char* fmt, ...)
{
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0) ::close(fd);
    }
};

// Connects to host:port (the host's first IPv4 address) within kConnectMs.
int dial(const std::string& url, std::string& why)
{
    const std::size_t colon = url.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        why = "no port in the address";
        return -1;
    }
    const std::string host = url.substr(0, colon), port = url.substr(colon + 1);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res); rc != 0 || !res) {
        why = gai_strerror(rc);
        return -1;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> hold(res, ::freeaddrinfo);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    if (::connect(fd, res->ai_addr, res->ai_addrlen) != 0 && errno != EINPROGRESS) {
        why = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (::poll(&p, 1, kConnectMs) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 ||
        err != 0) {
        why = err ? std::strerror(err) : "timed out";
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) <= 0) return false;
            continue;
        }
        if (n <= 0) return false;
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

enum class Read { Whole, TimedOut, Closed };

// Reads exactly `want` bytes unless the time runs out or the peer closes.
Read readAnswer(int fd, std::size_t want, int ms, std::string& out,
                const std::function<bool()>& stopped)
{
    out.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[2048];
    while (out.size() < want) {
        if (stopped()) return Read::Closed;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return Read::TimedOut;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, int(std::min<long long>(left.count(), 250)));
        if (r <= 0) continue;
        const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, want - out.size()), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return Read::Closed;
        out.append(buf, size_t(n));
    }
    return Read::Whole;
}

} // namespace

// ---- result record ----

std::string encodeResult(const UpdateResult& r)
{
    std::string b(kResultRecord, '\0');
    putLe32(b, kMain, std::uint32_t(r.mainStatus));
    putLe32(b, kStatus, std::uint32_t(r.status));
    std::memcpy(b.data() + kWhoAt, r.order.who.data(), r.order.who.size());
    putText(b, kName, r.order.name);
    putText(b, kUrl, r.order.url);
    b[kBits] = char(r.order.updateWho & 7);
    return b;
}

std::optional<UpdateResult> decodeResult(std::string_view b)
{
    if (b.size() < kResultRecord) return std::nullopt;
    UpdateResult r;
    r.mainStatus = int(le32(b, kMain));
    r.status = int(le32(b, kStatus));
    std::memcpy(r.order.who.data(), b.data() + kWhoAt, r.order.who.size());
    r.order.name = getText(b, kName);
    r.order.url = getText(b, kUrl);
    r.order.updateWho = std::uint8_t(b[kBits]) & 7;
    return r;
}

// ---- the block exchange ----

std::uint32_t Fetch::blockBytes() const
{
    if (got_ == 0) return kHeaderBytes;
    return std::min(kBlockBytes, total_ - got_);
}

std::string Fetch::request()
{
    if (got_ == 0) transac_ = 1;
    char text[160];
    std::snprintf(text, sizeof text, "%s %X %X %X", name_.c_str(), unsigned(got_),
                  unsigned(blockBytes()), unsigned(transac_));
    std::string req = text;
    std::snprintf(text, sizeof text, " %04X", unsigned(crc16(req)));
    return req + text;
}

int Fetch::answer(std::string_view bytes, const std::function<bool(std::string_view)>& store)
{
    if (bytes.size() < 4) return kCrcErr;
    if (readBe(bytes.substr(0, 2)) != transac_) return kTransacErr;
    const std::string_view data = bytes.substr(4);
    if (readBe(bytes.substr(2, 2)) != crc16(data)) return kCrcErr;
    if (data.size() != blockBytes()) return kPackNumErr;
    if (got_ == 0) {
        const std::uint32_t size = le32(data, 4);
        if (size == 0 || size >= kMaxFirmware) return kFileErr;
        total_ = size + kHeaderBytes;
        declaredCrc_ = le32(data, 8);
        crc_.reset();
    } else {
        if (got_ + data.size() > total_) return kPackNumErr;
        crc_.add(data);
        if (!store(data)) return kFileErr;
    }
    got_ += std::uint32_t(data.size());
    ++transac_;
    return got_ == total_ ? kFinished : kNotFinished;
}

bool packageNameOk(std::string_view name)
{
    if (name.empty() || name.size() > kText - 1) return false;
    for (char c : name)
        if (c <= ' ' || c > '~') return false;
    return true;
}

// ---- the queue ----

void UpdateQueue::push(Order o)
{
    {
        std::lock_guard hold(m_);
        orders_.push_back(std::move(o));
    }
    cv_.notify_all();
}

std::optional<Order> UpdateQueue::pop(int ms)
{
    std::unique_lock hold(m_);
    cv_.wait_for(hold, std::chrono::milliseconds(ms), [&] { return !orders_.empty() || woken_; });
    woken_ = false;
    if (orders_.empty()) return std::nullopt;
    Order o = std::move(orders_.front());
    orders_.pop_front();
    return o;
}

void UpdateQueue::wake()
{
    {
        std::lock_guard hold(m_);
        woken_ = true;
    }
    cv_.notify_all();
}

// ---- one order ----

void runOrder(card::Runtime& rt, const ChannelConfig& cfg, const Order& order,
              const std::function<void(const UpdateResult&)>& report,
              const std::function<bool()>& stopped)
{
    auto say = [&](int main, int status) { report(UpdateResult{main, status, order}); };
    auto fail = [&](int status) {
        fwpkg::emptyDir(cfg.updateDir);
        say(kFailed, status);
    };
    if (!packageNameOk(order.name)) return fail(ustatus::kDownloadFailed);

    fwpkg::emptyDir(cfg.updateDir);
    const std::string packagePath = cfg.updateDir + "/" + kPackageFile;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(packagePath.c_str(), "wb"),
                                                         std::fclose);
    rt.log(line("[%s] Open save file fd", kWho));
    if (!file) return fail(ustatus::kDownloadFailed);
    auto store = [&](std::string_view d) {
        return std::fwrite(d.data(), 1, d.size(), file.get()) == d.size();
    };

    Fetch fetch(order.name);
    int timeouts = 0;
    bool finished = false, reached = false;
    auto lastProgress = std::chrono::steady_clock::now();
    for (int attempt = 1; attempt <= cfg.attempts && !finished; ++attempt) {
        if (stopped()) return fail(ustatus::kDownloadFailed);
        rt.log(line("[%s] Start to connect,url:tcp://%.80s", kWho, order.url.c_str()));
        std::string why;
        Fd conn{dial(order.url, why)};
        if (conn.fd < 0) {
            rt.log(line("[%s] connect() failed: %.80s", kWho, why.c_str()));
            if (attempt < cfg.attempts) rt.sleepMs(cfg.retryPauseMs);
            continue;
        }
        rt.log(line("[%s] connect success", kWho));
        reached = true;
        say(kUpdating, ustatus::kConnected);
        std::string answer;
        while (!finished) {
            const std::uint32_t at = fetch.got();
            if (!sendAll(conn.fd, fetch.request())) break;
            if (at == 0) say(kUpdating, ustatus::kStartDownload);
            if (at == kTransferMark) say(kUpdating, ustatus::kStartTransfer);
            const Read r = readAnswer(conn.fd, fetch.answerBytes(), cfg.answerMs, answer, stopped);
            if (stopped()) return fail(ustatus::kDownloadFailed);
            if (r == Read::Closed) {
                rt.log(line("[%s] MG_EV_CLOSE", kWho));
                break;
            }
            int rc = kNotFinished;
            if (r == Read::TimedOut) {
                rt.log(line("[%s] recv time out", kWho));
            } else {
                const std::uint16_t expected = fetch.transac();
                rc = fetch.answer(answer, store);
                if (rc == kTransacErr)
                    rt.log(line("[%s] transac err,now:%d,recv:%d", kWho, expected,
                                int(readBe(std::string_view(answer).substr(0, 2)))));
                if (rc == kCrcErr) rt.log(line("[%s] crc err", kWho));
                if (rc == kPackNumErr) rt.log(line("[%s] file pack num err", kWho));
                if (rc == kFileErr) {
                    rt.log(line("[%s] fw file error,too big or too small", kWho));
                    return fail(ustatus::kDownloadFailed);
                }
            }
            // A late or bad answer: the same request again, a few times at most.
            if (r == Read::TimedOut || rc < 0) {
                if (++timeouts > cfg.timeouts) return fail(ustatus::kDownloadFailed);
                rt.sleepMs(kBlockPauseMs);
                continue;
            }
            timeouts = 0;
            if (rc == kFinished) {
                finished = true;
                break;
            }
            if (std::chrono::steady_clock::now() - lastProgress >= kProgressEvery) {
                lastProgress = std::chrono::steady_clock::now();
                rt.log(line("[%s] update progress: %.2f %%", kWho,
                            100.0 * fetch.got() / std::max<std::uint32_t>(fetch.total(), 1)));
            }
            rt.sleepMs(kBlockPauseMs);
        }
        if (!finished && attempt < cfg.attempts) rt.sleepMs(cfg.retryPauseMs);
    }
    if (!finished) return fail(!reached ? ustatus::kServerUnreachable : ustatus::kDownloadFailed);

    file.reset();
    rt.log(line("[%s] recv finish,frameworkSize=%u", kWho, unsigned(fetch.firmwareBytes())));
    say(kUpdating, ustatus::kTransferFinish);
    if (!fetch.crcMatches()) {
        rt.log(line("[%s] Crc32Check err,fw_crc32:%u,fw_calc_crc32:%u", kWho,
                    unsigned(fetch.declaredCrc()), unsigned(fetch.crc())));
        return fail(ustatus::kTransferFailed);
    }
    rt.log(line("[%s] Start to save fw", kWho));
    const fwpkg::Outcome out =
        fwpkg::check(packagePath, cfg.updateDir, cfg.hardwareCode, card::kFirmwareVersion);
    rt.log(line("[%s] update_infor:%.49s", kWho, out.config.description.c_str()));
    if (out.verdict != fwpkg::Verdict::Accepted) {
        rt.log(line("[%s] Update Failed: %s", kWho, fwpkg::verdictText(out.verdict)));
        return fail(ustatus::kUpdateFailed);
    }
    rt.log(line("[%s] Update Success", kWho));
    say(kSucceeded, ustatus::kUpdateSucceeded);
}

} // namespace cloud
