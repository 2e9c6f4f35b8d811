/*
 * server.cpp - the HTTP(S) server: GNU libmicrohttpd turns connections into
 * Requests, the dispatcher below walks them through the login gate, "/sysTime",
 * the route table, the page files, "/update", "/setPasswd" and "/Debug", and
 * the Reply goes back out.
 *
 * Every connection has a thread of its own, so a handler may wait for the
 * card's own server (the loopback client) without blocking it. The gate and
 * the level check run as soon as the headers are in, before any body is
 * read; bodies are kept only up to a size that fits the route, except a
 * firmware upload ("/update"), which goes to its file as it arrives.
 *
 * One address cannot take the pages away from the others: it may hold at
 * most kPerAddressConnections connections, and every request must have sent
 * its whole header within kHeaderDeadline of the connection's start (or of
 * the end of the previous request on it), however slowly it trickles in;
 * a connection past that is shut down. A request whose length is ambiguous
 * (two Content-Length headers, Content-Length beside Transfer-Encoding, a
 * transfer coding other than chunked) is refused with 400 before anything
 * else looks at it: a proxy in front of the card could read it differently.
 */
#include "pages.hpp"
#include "web.hpp"

#include "card_runtime.hpp"
#include "platform.hpp"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace web
{

namespace
{

constexpr size_t kFormBodyLimit = 64 * 1024;
constexpr size_t kUploadBodyLimit = 32 * 1024 * 1024;
constexpr unsigned kConnectionLimit = 128;
constexpr unsigned kConnectionTimeout = 30;     // seconds of silence before a connection is dropped
constexpr size_t kConnectionMemory = 32 * 1024; // request line and headers must fit here
constexpr unsigned kPerAddressConnections = 16; // a browser opens six; several tabs fit
constexpr double kHeaderDeadline = 10;          // seconds for a request's whole header
constexpr auto kWatchTick = std::chrono::milliseconds(500);

// Dispatch targets outside the route table.
constexpr Route kUploadTarget = {"/update", ups_update, Group::Firmware, true};
constexpr Route kSetPasswdTarget = {"/setPasswd", cmd_setPasswd, Group::Users, true};
constexpr Route kSysTimeTarget = {"/sysTime", cmd_sysTime, Group::Open, false};

// Per request state, kept by libmicrohttpd between the calls for one request.
struct Exchange {
    std::string rawUri;
    bool started = false;
    bool answered = false;
    bool gateForm = false;        // login or serial-number form: the gate takes the body
    const Route* route = nullptr; // handler to run once the body is in
    std::optional<StaticFile> file;
    bool debugPage = false;
    size_t bodyLimit = kFormBodyLimit;
    Request req;
    std::unique_ptr<FirmwareUpload> upload; // "/update": the body goes to its file as it comes
};

// ---- the header deadline ----

using SteadyClock = std::chrono::steady_clock;

// Tests shorten the deadline; read once at start.
const double kHeaderSeconds = [] {
    const char* v = std::getenv("CARDMON_TEST_HEADER_DEADLINE");
    const double d = v ? std::atof(v) : 0;
    return d > 0 ? d : kHeaderDeadline;
}();

// One connection under watch: between its start (or the end of a request)
// and the end of the next request's header.
struct Watch {
    int fd = -1;
    SteadyClock::time_point since = SteadyClock::now();
    bool inHeader = true;
    bool cut = false;
};

// libmicrohttpd reports a connection closed before it closes the socket, so
// a descriptor in this set is still the connection's own.
std::mutex g_watchLock;
std::set<Watch*> g_watches;

void onConnection(void*, MHD_Connection* conn, void** socketContext,
                  MHD_ConnectionNotificationCode code)
{
    std::lock_guard<std::mutex> hold(g_watchLock);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CONNECTION_FD);
        auto* w = new Watch;
        w->fd = info ? info->connect_fd : -1;
        g_watches.insert(w);
        *socketContext = w;
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        auto* w = static_cast<Watch*>(*socketContext);
        if (w && g_watches.erase(w)) delete w;
        *socketContext = nullptr;
    }
}

// The header is in (true) or the request is over and the next may start.
void watchHeader(MHD_Connection* conn, bool complete)
{
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    std::lock_guard<std::mutex> hold(g_watchLock);
    auto* w = info ? static_cast<Watch*>(info->socket_context) : nullptr;
    if (!w || !g_watches.count(w)) return;
    w->inHeader = !complete;
    if (!complete) w->since = SteadyClock::now();
}

// Shuts down every connection whose header is overdue: its thread sees the
// end of the stream and closes it.
void cutOverdueHeaders()
{
    const auto limit = std::chrono::duration<double>(kHeaderSeconds);
    const auto now = SteadyClock::now();
    std::lock_guard<std::mutex> hold(g_watchLock);
    for (Watch* w : g_watches)
        if (w->inHeader && !w->cut && w->fd >= 0 && now - w->since > limit) {
            ::shutdown(w->fd, SHUT_RDWR);
            w->cut = true;
        }
}

// ---- request framing ----

struct Framing {
    int contentLength = 0;
    int transferEncoding = 0;
    bool wellFormed = true;
};

std::string_view trimmed(std::string_view v)
{
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t'))
        v.remove_suffix(1);
    return v;
}

MHD_Result countFraming(void* cls, MHD_ValueKind, const char* key, const char* value)
{
    auto* f = static_cast<Framing*>(cls);
    const std::string_view v = trimmed(value ? value : "");
    if (key && strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
        ++f->contentLength;
        if (v.empty() || v.size() > 19 || v.find_first_not_of("0123456789") != v.npos)
            f->wellFormed = false;
    } else if (key && strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) {
        ++f->transferEncoding;
        if (strncasecmp(v.data(), "chunked", v.size()) != 0 || v.size() != 7) f->wellFormed = false;
    }
    return MHD_YES;
}

// One way to tell where the body ends, or none (no body).
bool framingClear(MHD_Connection* conn)
{
    Framing f;
    MHD_get_connection_values(conn, MHD_HEADER_KIND, countFraming, &f);
    return f.wellFormed && f.contentLength <= 1 && f.transferEncoding <= 1 &&
           f.contentLength + f.transferEncoding <= 1;
}

void* onUri(void*, const char* uri, MHD_Connection*)
{
    auto* ex = new Exchange;
    ex->rawUri = uri ? uri : "";
    return ex;
}

void onCompleted(void*, MHD_Connection* conn, void** cls, MHD_RequestTerminationCode)
{
    delete static_cast<Exchange*>(*cls);
    *cls = nullptr;
    if (conn) watchHeader(conn, false); // the next request's header starts now
}

// One chunk: libmicrohttpd asks for the body of unknown size and gets it whole.
struct ChunkSource {
    std::string body;
    size_t sent = 0;
};

ssize_t readChunk(void* cls, uint64_t, char* buf, size_t max)
{
    auto* src = static_cast<ChunkSource*>(cls);
    if (src->sent >= src->body.size()) return MHD_CONTENT_READER_END_OF_STREAM;
    size_t n = std::min(max, src->body.size() - src->sent);
    std::memcpy(buf, src->body.data() + src->sent, n);
    src->sent += n;
    return static_cast<ssize_t>(n);
}

void freeChunk(void* cls)
{
    delete static_cast<ChunkSource*>(cls);
}

MHD_Result send(MHD_Connection* conn, Exchange& ex, Reply& reply)
{
    ex.answered = true;
    MHD_Response* resp = nullptr;
    switch (reply.kind) {
    case Reply::Kind::None:
        return MHD_NO; // no answer: the connection is closed
    case Reply::Kind::Text:
        resp = MHD_create_response_from_buffer(reply.body.size(), reply.body.data(),
                                               MHD_RESPMEM_MUST_COPY);
        break;
    case Reply::Kind::Chunked: {
        auto* src = new ChunkSource{std::move(reply.body), 0};
        size_t block = std::max<size_t>(src->body.size(), 1024);
        resp =
            MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, block, readChunk, src, freeChunk);
        if (!resp) delete src;
        break;
    }
    case Reply::Kind::File: {
        int fd = ::open(reply.file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {
        };
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            if (fd >= 0) ::close(fd);
            return MHD_NO;
        }
        resp = MHD_create_response_from_fd(static_cast<uint64_t>(st.st_size), fd);
        if (!resp) ::close(fd);
        break;
    }
    }
    if (!resp) return MHD_NO;
    bool hasType = false;
    for (const auto& [name, value] : reply.headers) {
        MHD_add_response_header(resp, name.c_str(), value.c_str());
        hasType = hasType || strcasecmp(name.c_str(), "Content-Type") == 0;
    }
    if (reply.kind == Reply::Kind::Chunked && !hasType)
        MHD_add_response_header(resp, "Content-Type", "application/json");
    if (reply.close) MHD_add_response_header(resp, "Connection", "close");
    MHD_Result ret = MHD_queue_response(conn, static_cast<unsigned>(reply.status), resp);
    MHD_destroy_response(resp);
    return ret;
}

std::string header(MHD_Connection* conn, const char* name)
{
    const char* v = MHD_lookup_connection_value(conn, MHD_HEADER_KIND, name);
    return v ? v : "";
}

void fillRequest(MHD_Connection* conn, const char* method, Exchange& ex)
{
    Request& req = ex.req;
    req.method = method ? method : "";
    size_t q = ex.rawUri.find('?');
    req.uri = ex.rawUri.substr(0, q);
    if (q != std::string::npos) req.query = ex.rawUri.substr(q + 1);
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const sockaddr* peer = info ? info->client_addr : nullptr;
    req.address = addressText(peer);
    req.loopback = isLoopback(peer);
    req.userAgent = header(conn, MHD_HTTP_HEADER_USER_AGENT);
    req.cookie = header(conn, MHD_HTTP_HEADER_COOKIE);
    req.contentType = header(conn, MHD_HTTP_HEADER_CONTENT_TYPE);
}

bool isUploadUri(std::string_view uri)
{
    return uri == "/update" || uri == "/UpdateSettings" || uri == "/ChangeLogo";
}

// The login, first-use and answer pages need their style sheet, logo, texts
// and language script before anyone logged in: exactly these, nothing else.
constexpr const char* kPreLoginAssets[] = {"/css/app.css", "/image/logo.png", "/js/lang.js",
                                           "/lang/en.db", "/lang/zh.db"};

bool servePreLoginAsset(const Request& req, Reply& reply)
{
    if (req.method != "GET" && req.method != "HEAD") return false;
    for (const char* asset : kPreLoginAssets) {
        if (req.uri != asset) continue;
        auto f = staticFileFor(req.uri);
        return f && serveFile(reply, f->path, f->contentType);
    }
    return false;
}

// Where a request that passed the gate goes, in dispatch order. Returns the
// route whose level rule applies; `ex` learns the file or page to serve.
const Route* resolve(Exchange& ex)
{
    static constexpr Route kPages = {"", nullptr, Group::Open, false};
    const Request& req = ex.req;
    if (req.uri == "/sysTime") return &kSysTimeTarget;
    if (const Route* r = findRoute(req.uri)) return r;
    if (auto f = staticFileFor(req.uri)) {
        struct stat st {
        };
        if (::stat(platform::appPath(f->path).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            ex.file = f;
            return &kPages;
        }
    }
    if (req.uri == "/update") return &kUploadTarget;
    if (req.uri == "/setPasswd") return &kSetPasswdTarget;
    if (strcasecmp(req.method.c_str(), "GET") == 0 && req.uri == "/Debug") {
        ex.debugPage = true;
        return &kPages;
    }
    return nullptr;
}

// Runs what the request resolved to, once its body is in.
void run(Exchange& ex, Reply& reply)
{
    if (ex.gateForm) {
        processLogin(ex.req, reply);
        return;
    }
    if (ex.file) {
        serveFile(reply, ex.file->path, ex.file->contentType);
        return;
    }
    if (ex.debugPage) {
        if (!serveFile(reply, "www/Debug.html", "text/html")) sendError(reply, 404);
        return;
    }
    try {
        if (ex.upload) {
            ex.upload->finish(ex.req, reply);
            return;
        }
        ex.route->function(ex.req, reply);
        sessionAfterRequest(ex.req);
    } catch (const std::exception& e) {
        card::rt().log("[run] " + ex.req.uri + ": " + e.what());
        reply = Reply{};
        sendError(reply, 500);
    }
}

// First call for a request: headers only. Decides everything that does not
// need the body, and answers at once when the body does not matter.
MHD_Result begin(MHD_Connection* conn, const char* method, Exchange& ex)
{
    ex.started = true;
    watchHeader(conn, true);
    size_t q = ex.rawUri.find('?');
    if ((q == std::string::npos ? ex.rawUri.size() : q) > kMaxUri)
        return MHD_NO; // no answer at all
    fillRequest(conn, method, ex);
    if (!framingClear(conn)) {
        card::rt().log("[begin] " + ex.req.address + ": request with an ambiguous length refused");
        Reply reply;
        sendError(reply, 400);
        reply.close = true;
        return send(conn, ex, reply);
    }
    tickLoginWindow();
    if (gateNeedsBody(ex.req)) {
        ex.gateForm = true;
        return MHD_YES;
    }
    if (Reply look; servePreLoginAsset(ex.req, look)) return send(conn, ex, look);
    Reply reply;
    GateResult g = processLogin(ex.req, reply);
    if (g.answered) return send(conn, ex, reply);
    ex.req.level = g.level;
    ex.req.user = g.user;
    ex.req.sessionId = g.sessionId;

    const Route* target = resolve(ex);
    if (target && !levelAllows(target->group, ex.req.level, ex.req.method, target->actsOnRead)) {
        card::rt().log("[begin] " + ex.req.uri + " refused to " + headerSafe(ex.req.user) +
                       " (level " + std::to_string(ex.req.level) + ")");
        sendError(reply, 403);
        reply.close = true;
        return send(conn, ex, reply);
    }
    if (!target || (!target->function && !ex.file && !ex.debugPage)) {
        sendError(reply, 404);
        return send(conn, ex, reply);
    }
    ex.route = target;
    ex.bodyLimit = isUploadUri(ex.req.uri) ? kUploadBodyLimit : kFormBodyLimit;
    if (target == &kUploadTarget && ex.req.isPost()) ex.upload = startFirmwareUpload(conn);
    return MHD_YES;
}

MHD_Result onRequest(void*, MHD_Connection* conn, const char*, const char* method, const char*,
                     const char* upload, size_t* uploadSize, void** cls)
{
    auto* ex = static_cast<Exchange*>(*cls);
    if (!ex) return MHD_NO;
    try {
        if (!ex->started) return begin(conn, method, *ex);
        if (*uploadSize > 0) {
            if (!ex->answered && ex->upload) {
                if (!ex->upload->feed(upload, *uploadSize)) {
                    Reply reply;
                    sendError(reply, 413);
                    reply.close = true;
                    *uploadSize = 0;
                    return send(conn, *ex, reply);
                }
            } else if (!ex->answered) {
                if (ex->req.body.size() + *uploadSize > ex->bodyLimit) {
                    Reply reply;
                    sendError(reply, 413);
                    reply.close = true;
                    *uploadSize = 0;
                    return send(conn, *ex, reply);
                }
                ex->req.body.append(upload, *uploadSize);
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        if (ex->answered) return MHD_YES;
        Reply reply;
        run(*ex, reply);
        return send(conn, *ex, reply);
    } catch (...) {
        return MHD_NO;
    }
}

struct Listener {
    MHD_Daemon* daemon = nullptr;
};

void writePortFiles(int port)
{
    std::string text = std::to_string(port);
    platform::writeFile(platform::appPath("config/HttpPort"), text);
    std::string run = platform::sysPath("/var/run/dataMonitor");
    platform::makeDirs(run);
    platform::writeFile(run + "/httpPort", text);
}

void tuneTcp()
{
    // Quick reuse of closed connections' ports; older kernels also recycle.
    for (const char* f : {"/proc/sys/net/ipv4/tcp_tw_recycle", "/proc/sys/net/ipv4/tcp_tw_reuse"}) {
        std::string p = platform::sysPath(f);
        if (platform::fileExists(p)) platform::writeFile(p, "1");
    }
}

struct TlsFiles {
    std::string cert, key, error;
};

TlsFiles readTls()
{
    TlsFiles t;
    if (!platform::readFile(platform::appPath("www/server.crt"), t.cert) || t.cert.empty())
        t.error = "cannot read www/server.crt";
    else if (!platform::readFile(platform::appPath("www/server.key"), t.key) || t.key.empty())
        t.error = "cannot read www/server.key";
    else // the private key is the card's alone, however it was put there
        ::chmod(platform::appPath("www/server.key").c_str(), 0600);
    return t;
}

MHD_Daemon* startDaemon(int port, unsigned extraFlags, const sockaddr* bindAddr,
                        const TlsFiles* tls)
{
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL | extraFlags;
    MHD_OptionItem ops[10];
    int n = 0;
    ops[n++] = {MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, nullptr};
    ops[n++] = {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kPerAddressConnections, nullptr};
    ops[n++] = {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(onConnection), nullptr};
    ops[n++] = {MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeout, nullptr};
    ops[n++] = {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory),
                nullptr};
    if (bindAddr) ops[n++] = {MHD_OPTION_SOCK_ADDR, 0, const_cast<sockaddr*>(bindAddr)};
    if (tls) {
        flags |= MHD_USE_TLS;
        ops[n++] = {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(tls->cert.c_str())};
        ops[n++] = {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(tls->key.c_str())};
    }
    ops[n++] = {MHD_OPTION_END, 0, nullptr};
    return MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, onRequest,
                            nullptr, MHD_OPTION_URI_LOG_CALLBACK, onUri, nullptr,
                            MHD_OPTION_NOTIFY_COMPLETED, onCompleted, nullptr, MHD_OPTION_ARRAY,
                            ops, MHD_OPTION_END);
}

// Binds the listeners. On the card one dual-stack listener on [::] serves
// both address families, with IPv4 alone as the fall-back. A development
// build never exposes the pages to the network: it listens on ::1 and
// 127.0.0.1 only.
std::vector<MHD_Daemon*> bindListeners(int port, const TlsFiles* tls)
{
    std::vector<MHD_Daemon*> ds;
#ifdef CARDMON_DEVICE
    if (MHD_Daemon* d = startDaemon(port, MHD_USE_DUAL_STACK, nullptr, tls)) {
        card::rt().log("bind ipv6 web");
        ds.push_back(d);
    } else if (MHD_Daemon* d4 = startDaemon(port, 0, nullptr, tls)) {
        card::rt().log("bind ipv4 web");
        ds.push_back(d4);
    }
#else
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    v6.sin6_addr = in6addr_loopback;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (MHD_Daemon* d = startDaemon(port, MHD_USE_IPv6, reinterpret_cast<sockaddr*>(&v6), tls)) {
        card::rt().log("bind ipv6 web");
        ds.push_back(d);
    }
    if (MHD_Daemon* d4 = startDaemon(port, 0, reinterpret_cast<sockaddr*>(&v4), tls)) {
        card::rt().log("bind ipv4 web");
        ds.push_back(d4);
    }
#endif
    return ds;
}

} // namespace

void webServer(const StopWait& wait)
{
    card::Runtime& rt = card::rt();
    const int port = rt.integer("httpPort", 80);
    writePortFiles(port);
    tuneTcp();

    std::vector<MHD_Daemon*> daemons;
    if (rt.integer("httpType", 0) != 1) {
        daemons = bindListeners(port, nullptr);
        if (daemons.empty()) {
            rt.log(std::string("webServer    bind faild! ") + std::strerror(errno));
            return;
        }
    } else {
        TlsFiles tls = readTls();
        if (tls.error.empty()) {
            daemons = bindListeners(port, &tls);
            if (daemons.empty()) tls.error = "certificate or key not accepted";
        }
        rt.log("ssl error:" + tls.error);
    }
    const auto check = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(sessionCheckInterval()));
    auto nextCheck = SteadyClock::now() + check;
    while (wait(kWatchTick)) {
        cutOverdueHeaders();
        if (SteadyClock::now() >= nextCheck) {
            checkSessions();
            nextCheck = SteadyClock::now() + check;
        }
    }
    for (MHD_Daemon* d : daemons)
        MHD_stop_daemon(d);
}

} // namespace web
