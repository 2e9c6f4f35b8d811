/*
 * control.cpp - the operator's socket: cardctl talks to a running cardmon here.
 *
 * A request is one line of arguments separated by tabs; the answer is text that
 * starts with "OK\n" or "ERR <reason>\n". The socket lives in the system root's
 * /var/run/dataMonitor/ and is readable by root only.
 */
#include "fieldcore.hpp"
#include "internal.hpp"
#include "platform.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace fieldcore
{
namespace
{

std::atomic<int> listenFd{-1};
std::atomic<bool> serverStop{false};
std::thread serverThread;

std::string fmtFloat(float v)
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.9g", double(v)); // epoch seconds stay whole
    return buf;
}

int toInt(const std::string& s)
{
    return int(std::strtol(s.c_str(), nullptr, 10));
}

std::string ok(const std::string& body = {})
{
    return "OK\n" + body;
}

std::string err(const std::string& why)
{
    return "ERR " + why + "\n";
}

std::string settingVerb(const std::vector<std::string>& a)
{
    if (a.size() >= 2 && a[1] == "list") {
        std::string body;
        for (auto& [k, v] : listSettings())
            body += k + "=" + v + "\n";
        return ok(body);
    }
    if (a.size() >= 3 && a[1] == "get") {
        std::string def = a.size() >= 4 ? a[3] : "";
        return ok(std::string(GetSettings2(a[2].c_str(), def.c_str())) + "\n");
    }
    if (a.size() >= 4 && a[1] == "set")
        return SaveSettings(a[2].c_str(), a[3].c_str()) == 0 ? ok() : err("save failed");
    if (a.size() >= 3 && a[1] == "del")
        return DeleteSetting(a[2].c_str()) == 0 ? ok() : err("delete failed");
    return err("usage: setting get KEY [DEFAULT] | set KEY VALUE | del KEY | list");
}

std::string signalVerb(const std::vector<std::string>& a)
{
    if (a.size() >= 3 && a[1] == "list") {
        std::string body;
        for (auto& [n, v] : listSignals(toInt(a[2])))
            body += std::to_string(n) + "=" + fmtFloat(v) + "\n";
        return ok(body);
    }
    if (a.size() >= 4 && a[1] == "get")
        return ok(fmtFloat(GetDevValue(toInt(a[2]), toInt(a[3]))) + "\n");
    if (a.size() >= 5 && a[1] == "set")
        return SetDevValue(toInt(a[2]), toInt(a[3]), std::strtof(a[4].c_str(), nullptr)) == 0
                   ? ok()
                   : err("bad signal");
    if (a.size() >= 4 && a[1] == "text") return ok(signalText(toInt(a[2]), toInt(a[3])) + "\n");
    return err("usage: signal get DEV SIG | set DEV SIG VALUE | list DEV | text DEV BASE");
}

std::string linesOf(const std::vector<std::string>& v)
{
    std::string s;
    for (auto& l : v)
        s += l + "\n";
    return s;
}

// Faults the fault-injection tests raise from outside; a sandbox only.
std::string injectFault(const std::string& what)
{
    if (!platform::inSandbox()) return err("faults only in a sandbox");
    if (what != "crash-in-malloc") return err("unknown fault '" + what + "'");
    // One thread lives in the allocator (sizes past its per-thread cache, so
    // that it holds its arena's lock most of the time); a crash signal is sent
    // to it a moment later, after this answer has gone out.
    auto busy = std::make_shared<std::atomic<pthread_t>>(pthread_t{});
    std::thread([busy] {
        *busy = pthread_self();
        std::vector<void*> held(64, nullptr);
        for (unsigned i = 0;; ++i) {
            void*& slot = held[(i * 37) % held.size()];
            std::free(slot);
            slot = std::malloc(2048 + (i * 7919) % 60000);
        }
    }).detach();
    std::thread([busy] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        AppLogOut("[cardctl] fault: crash signal to a thread inside malloc");
        pthread_kill(busy->load(), SIGSEGV);
    }).detach();
    return ok();
}

} // namespace

std::string handleControl(const std::vector<std::string>& a, bool online)
{
    if (a.empty()) return err("empty request");
    const std::string& verb = a[0];
    if (verb == "setting") return settingVerb(a);
    if (!online) return err("cardmon is not running (only 'setting' works without it)");
    if (verb == "signal") return signalVerb(a);
    if (verb == "event" && a.size() >= 3) {
        std::string data = a.size() >= 4 ? a[3] : "";
        std::vector<char> buf(data.begin(), data.end());
        buf.push_back('\0');
        int n = postEvent(toInt(a[1]), toInt(a[2]), data.empty() ? nullptr : buf.data(),
                          data.empty() ? 0 : int(buf.size()));
        return ok(std::to_string(n) + "\n");
    }
    if (verb == "control" && a.size() >= 3) {
        int timeout = a.size() >= 4 ? toInt(a[3]) : 10000;
        return ok(std::to_string(DevControlWait(toInt(a[1]), a[2].c_str(), timeout)) + "\n");
    }
    if (verb == "store" && a.size() >= 2) {
        // The store copies at most 200 bytes of text; hand it a zero-padded block.
        std::string text = a.size() >= 3 ? a[2] : "";
        std::vector<char> buf(std::max<size_t>(text.size() + 1, 50), '\0');
        std::memcpy(buf.data(), text.data(), text.size());
        int r = DevCallback(4, toInt(a[1]), a.size() >= 3 ? buf.data() : nullptr,
                            a.size() >= 3 ? int(buf.size()) : 0);
        return r < 0 ? err("no store registered") : ok();
    }
    if (verb == "trace" && a.size() >= 3) {
        // Port traffic goes to data/<port>_HEX.log and data/<port>_ASCII.log.
        int on = a[2] == "on" ? 1 : 0;
        return CommControl(getPortHandle(toInt(a[1])), COMM_CTL_TRACE, &on, 0)
                   ? ok()
                   : err("no such port");
    }
    if (verb == "devices") return ok(linesOf(describeDevices()));
    if (verb == "plugins") return ok(linesOf(describePlugins()));
    if (verb == "fault" && a.size() >= 2) return injectFault(a[1]);
    if (verb == "log" && a.size() >= 2) {
        AppLogOut("[cardctl] %s", a[1].c_str());
        return ok();
    }
    return err("unknown request '" + verb + "'");
}

std::string controlSocketPath()
{
    return platform::sysPath("/var/run/dataMonitor/cardctl.sock");
}

// A sandbox deep in a test directory can give a socket path longer than a
// sockaddr_un holds; then the socket is reached through its directory's
// descriptor instead (/proc/self/fd/N/name), which is short.
bool socketAddress(const std::string& path, sockaddr_un& addr, int& dirFd)
{
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    dirFd = -1;
    if (path.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        return true;
    }
    auto slash = path.rfind('/');
    dirFd = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return false;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/%s", dirFd,
                  path.substr(slash + 1).c_str());
    return true;
}

namespace
{

std::vector<std::string> splitTabs(const std::string& line)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= line.size()) {
        size_t tab = line.find('\t', start);
        if (tab == std::string::npos) tab = line.size();
        out.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    return out;
}

void serveClient(int fd)
{
    std::string req;
    char buf[4096];
    while (req.find('\n') == std::string::npos && req.size() < 65536) {
        struct pollfd pfd {
            fd, POLLIN, 0
        };
        if (poll(&pfd, 1, 2000) <= 0) break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        req.append(buf, size_t(n));
    }
    auto nl = req.find('\n');
    if (nl == std::string::npos) {
        close(fd);
        return;
    }
    req.resize(nl);
    std::string answer;
    try {
        answer = handleControl(splitTabs(req), true);
    } catch (...) {
        answer = err("internal error");
    }
    size_t done = 0;
    while (done < answer.size()) {
        ssize_t n = write(fd, answer.data() + done, answer.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    close(fd);
}

void serverLoop()
{
    setThreadName("cardctl");
    while (!serverStop) {
        struct pollfd pfd {
            listenFd, POLLIN, 0
        };
        if (poll(&pfd, 1, 200) <= 0) continue;
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // Requests such as "control" wait for a port; serve each on its own thread.
        std::thread(serveClient, fd).detach();
    }
}

} // namespace

void startControlServer()
{
    const std::string path = controlSocketPath();
    platform::makeDirs(path.substr(0, path.rfind('/')));
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr {
    };
    int dirFd = -1;
    if (fd < 0 || !socketAddress(path, addr, dirFd)) {
        AppLogOut("[cardctl] socket path %s unusable", path.c_str());
        if (fd >= 0) close(fd);
        return;
    }
    mode_t old = umask(077);
    int b = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    umask(old);
    if (dirFd >= 0) close(dirFd);
    if (b != 0 || listen(fd, 16) != 0) {
        AppLogOut("[cardctl] cannot listen on %s: %s", path.c_str(), strerror(errno));
        close(fd);
        return;
    }
    listenFd = fd;
    serverStop = false;
    serverThread = std::thread(serverLoop);
}

void stopControlServer()
{
    serverStop = true;
    if (serverThread.joinable()) serverThread.join();
    if (listenFd >= 0) close(listenFd);
    listenFd = -1;
    unlink(controlSocketPath().c_str());
}

} // namespace fieldcore
