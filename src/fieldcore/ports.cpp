/*
 * ports.cpp - serial ports: termios set-up, framed reads, traffic trace and the
 * diagnostics console queue.
 *
 * A port is opened from the device file that config/ports.conf names for its
 * number, in raw mode with the parameter text of cardmon ("2400,n,8,1,0").
 * CommRead waits up to the port's time-out for the first byte and then keeps
 * reading until the line has been quiet for an inter-frame gap, so one call
 * returns one reply however the bytes were cut on their way.
 *
 * A line can go away under a running card: a USB adapter pulled, a serial
 * server restarted. A hang-up or an I/O error closes the device; the port
 * thread opens it again after a back-off (1 s, doubling up to 5 s), puts the
 * port's line settings back on it, and polling goes on.
 *
 * Sharing a line. Port 3 carries the sensor modules and battery packs, each
 * polled by its driver, and the card's own RS-485 slave answering a master.
 * The line is a fair lock taken per exchange, not per poll: a driver's
 * request keeps it until the driver has read the reply, and a driver's pauses
 * leave it free. A reader outside a driver poll (the slave) waits for the
 * first byte without holding the line and takes it only to read the frame.
 * A request goes out only on a quiet line: bytes already waiting belong to
 * someone else (a master asking our slave), so the exchange steps back a few
 * gaps for their reader before it sends.
 */
#include "internal.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

namespace fieldcore
{
namespace
{

speed_t toSpeed(int baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return 0;
    }
}

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The port a thread is polling a device on (inside a Session), and the port
// whose line it holds for an open exchange.
thread_local Port* tSession = nullptr;
thread_local Port* tExchange = nullptr;

// How long an exchange steps back for bytes another reader should take: the
// serial slave rests 100 ms between frames, so a request it has not read yet
// may wait that long.
constexpr int kQuietMs = 300;

constexpr int kFirstRetryMs = 1000;
constexpr int kMaxRetryMs = 5000;

// Errors after which the device file is no longer usable as it is open.
bool deviceGone(int err)
{
    return err == EIO || err == ENODEV || err == ENXIO || err == EBADF || err == EPIPE;
}

std::string traceHead(int port, const char* dir)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%d %s%04d-%02d-%02d %02d:%02d:%02d:%03hu", port, dir,
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  (unsigned short)(tv.tv_usec / 1000));
    return buf;
}

// ---- ports over TCP ----
// A "tcp:ADDRESS:PORT" entry (a serial-device server in the field) is served
// by libnetport's port-driver functions, loaded on first use.
constexpr const char* kTcpPrefix = "tcp:";

struct NetDriver {
    void* (*open)(const char*, const char*, int, int, int*) = nullptr;
    int (*read)(void*, void*, int) = nullptr;
    int (*write)(void*, const void*, int) = nullptr;
    int (*control)(void*, int, void*, int) = nullptr;
    int (*close)(void*) = nullptr;
};

const NetDriver* netDriver()
{
    static const NetDriver d = [] {
        NetDriver n;
        const std::string path = platform::appPath("lib/libnetport.so");
        void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            AppLogOut("[ports] %s cannot be loaded: %s", path.c_str(), dlerror());
            return n;
        }
        n.open = reinterpret_cast<decltype(n.open)>(dlsym(lib, "HAL_CommOpen"));
        n.read = reinterpret_cast<decltype(n.read)>(dlsym(lib, "HAL_CommRead"));
        n.write = reinterpret_cast<decltype(n.write)>(dlsym(lib, "HAL_CommWrite"));
        n.control = reinterpret_cast<decltype(n.control)>(dlsym(lib, "HAL_CommControl"));
        n.close = reinterpret_cast<decltype(n.close)>(dlsym(lib, "HAL_CommClose"));
        if (!n.open || !n.read || !n.write || !n.control || !n.close) n = NetDriver{};
        return n;
    }();
    return d.open ? &d : nullptr;
}

int netSocket(void* h)
{
    int fd = -1;
    if (h) netDriver()->control(h, COMM_CTL_FD, &fd, sizeof fd);
    return fd;
}

} // namespace

// ---- the fair line ----

void Line::lock()
{
    std::unique_lock l(m_);
    if (depth_ > 0 && owner_ == std::this_thread::get_id()) {
        ++depth_;
        return;
    }
    const unsigned long ticket = next_++;
    turn_.wait(l, [&] { return serving_ == ticket; });
    owner_ = std::this_thread::get_id();
    depth_ = 1;
}

bool Line::try_lock()
{
    std::lock_guard l(m_);
    if (depth_ > 0 && owner_ == std::this_thread::get_id()) {
        ++depth_;
        return true;
    }
    if (depth_ > 0 || next_ != serving_) return false; // held, or others wait
    ++next_;
    owner_ = std::this_thread::get_id();
    depth_ = 1;
    return true;
}

void Line::unlock()
{
    std::lock_guard l(m_);
    if (--depth_ > 0) return;
    owner_ = std::thread::id();
    ++serving_;
    turn_.notify_all();
}

bool parsePortParams(const std::string& text, PortParams& out)
{
    out = PortParams{};
    int baud = 0, data = 0, stop = 0, extra = 0;
    char parity = 0;
    if (std::sscanf(text.c_str(), "%d,%c,%d,%d,%d", &baud, &parity, &data, &stop, &extra) < 4)
        return false;
    static const std::string parities = "noesm";
    auto p = parities.find(char(std::tolower(parity)));
    if (p == std::string::npos || !toSpeed(baud) || data < 5 || data > 8 || stop < 1 || stop > 2)
        return false;
    out.baud = baud;
    out.parity = int(p);
    out.dataBits = data;
    out.stopBits = stop;
    return true;
}

Port::Port(int no, std::string type, int timeoutMs, std::string params)
    : no_(no), type_(std::move(type)), timeoutMs_(timeoutMs > 0 ? timeoutMs : 500)
{
    paramsValid_ = parsePortParams(params, params_);
    wanted_ = params_;
    if (!params.empty() && !paramsValid_)
        AppLogOut("[port %d] parameter text \"%s\" not understood; using %d,n,8,1", no_,
                  params.c_str(), params_.baud);
}

Port::~Port()
{
    close();
}

bool Port::open()
{
    std::lock_guard lock(io_);
    if (fd_ >= 0 || net_) return true;
    if (device_.empty()) return false;
    const long long now = nowMs();
    if (now < retryAtMs_) return false;
    if (device_.rfind(kTcpPrefix, 0) == 0) return openTcp();
    int fd = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        backoffMs_ = std::min(kMaxRetryMs, std::max(kFirstRetryMs, backoffMs_ * 2));
        retryAtMs_ = now + backoffMs_;
        return false;
    }
    fd_ = fd;
    backoffMs_ = 0;
    // The line settings in force (with any change made while it was closed).
    takeWantedParams();
    if (!applyParams())
        AppLogOut("[port %d] %s is not a terminal; used as a plain file", no_, device_.c_str());
    tcflush(fd, TCIOFLUSH);
    AppLogOut("[port %d] opened %s (%d,%c,%d,%d)", no_, device_.c_str(), params_.baud,
              "noesm"[params_.parity], params_.dataBits, params_.stopBits);
    return true;
}

void Port::lost(const char* what, int err)
{
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    backoffMs_ = kFirstRetryMs;
    retryAtMs_ = nowMs() + backoffMs_;
    AppLogOut("[port %d] %s lost (%s: %s): opening it again", no_, device_.c_str(), what,
              err ? std::strerror(err) : "hang-up");
}

// Caller holds io_. The handle stands once opened: a client connects again
// by itself on the write after its peer left.
bool Port::openTcp()
{
    const NetDriver* d = netDriver();
    int err = 0;
    void* h = d ? d->open(device_.c_str(), device_.c_str() + 4, 0, timeoutMs_, &err) : nullptr;
    if (!h) {
        backoffMs_ = kMaxRetryMs;
        retryAtMs_ = nowMs() + backoffMs_;
        return false;
    }
    net_ = h;
    backoffMs_ = 0;
    AppLogOut("[port %d] opened %s", no_, device_.c_str());
    return true;
}

// One reply, as from a serial line: the first bytes within the time-out,
// then whatever follows until a gap.
int Port::readTcp(unsigned char* p, int max)
{
    int got = 0;
    int wait = timeoutMs_;
    while (got < max) {
        struct pollfd pfd {
            netSocket(net_), POLLIN, 0
        };
        if (pfd.fd < 0 || ::poll(&pfd, 1, wait) <= 0) break;
        const int n = netDriver()->read(net_, p + got, max - got);
        if (n <= 0) break;
        got += n;
        wait = gapMs();
    }
    trace("recv:", p, got);
    return got;
}

void Port::close()
{
    std::lock_guard lock(io_);
    if (void* h = net_.exchange(nullptr)) netDriver()->close(h);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool Port::applyParams()
{
    struct termios tio;
    if (tcgetattr(fd_, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CMSPAR | CRTSCTS);
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= sizes[params_.dataBits - 5];
    switch (params_.parity) {
    case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        tio.c_cflag |= PARENB;
        break;
    case 3:
        tio.c_cflag |= PARENB | CMSPAR;
        break; // space
    case 4:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break; // mark
    default:
        break;
    }
    if (params_.stopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t sp = toSpeed(params_.baud);
    if (sp) {
        cfsetispeed(&tio, sp);
        cfsetospeed(&tio, sp);
    }
    return tcsetattr(fd_, TCSANOW, &tio) == 0;
}

int Port::gapMs() const
{
    // 3.5 character times, but never below what USB adapters and schedulers
    // add between two pieces of one frame.
    int bits = 1 + params_.dataBits + (params_.parity ? 1 : 0) + params_.stopBits;
    int ms = (35 * bits * 1000 / params_.baud + 9) / 10;
    return std::max(ms, 20);
}

void Port::trace(const char* dir, const unsigned char* data, int len)
{
    if (!trace_ || len <= 0) return;
    std::string hex, text;
    for (int i = 0; i < len && hex.size() < 1020; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02x ", data[i]);
        hex += b;
    }
    text.assign(reinterpret_cast<const char*>(data), size_t(len));
    for (char& c : text)
        if (c == '\n' || c == '\r' || c == '\0') c = ' ';
    const std::string head = traceHead(no_, dir);
    const std::string dirPath = platform::appPath("data");
    writeLog((dirPath + "/" + std::to_string(no_) + "_HEX.log").c_str(), head.c_str(), hex.c_str(),
             256000);
    writeLog((dirPath + "/" + std::to_string(no_) + "_ASCII.log").c_str(), head.c_str(),
             text.c_str(), 256000);
}

void Port::beginSession()
{
    tSession = this;
}

void Port::endSession()
{
    // A request without a reply read (a raw send, a command with no answer)
    // gives the line back here.
    if (tExchange == this) {
        tExchange = nullptr;
        io_.unlock();
    }
    if (tSession == this) tSession = nullptr;
}

int Port::pendingInput() const
{
    int n = 0;
    const int fd = fd_;
    return fd >= 0 && ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

// Takes the line for a driver's request and keeps it until its reply is read.
void Port::openExchange()
{
    io_.lock();
    const int gap = gapMs();
    for (int waited = 0; waited < kQuietMs && pendingInput() > 0; waited += gap) {
        io_.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(gap));
        io_.lock();
    }
    tExchange = this;
}

int Port::write(const void* buf, int len)
{
    if (!buf || len <= 0) return 0;
    if (tSession == this && tExchange != this) openExchange();
    std::lock_guard lock(io_);
    takeWantedParams();
    const auto* p = static_cast<const unsigned char*>(buf);
    if (net_) {
        const int n = enabled_ ? netDriver()->write(net_, p, len) : -1;
        trace("send:", p, n);
        return n;
    }
    if (fd_ < 0 || !enabled_) return -1;
    int done = 0;
    long long deadline = nowMs() + timeoutMs_;
    while (done < len) {
        ssize_t n = ::write(fd_, p + done, size_t(len - done));
        if (n > 0) {
            done += int(n);
            continue;
        }
        if (n < 0 && deviceGone(errno)) {
            lost("write", errno);
            break;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        if (nowMs() > deadline) break;
        struct pollfd pfd {
            fd_, POLLOUT, 0
        };
        ::poll(&pfd, 1, 10);
    }
    trace("send:", p, done);
    return done;
}

int Port::read(void* buf, int max)
{
    if (!buf || max <= 0) return 0;
    auto* p = static_cast<unsigned char*>(buf);
    if (tExchange == this) { // the reply to this thread's request: then the line is free
        int got;
        {
            std::lock_guard lock(io_);
            got = readFrame(p, max, timeoutMs_);
        }
        tExchange = nullptr;
        io_.unlock();
        return got;
    }
    if (tSession == this || net_) {
        std::lock_guard lock(io_);
        return readFrame(p, max, timeoutMs_);
    }
    // Outside a driver poll: the line is taken only once a frame is there.
    const long long deadline = nowMs() + timeoutMs_;
    for (;;) {
        const int fd = fd_;
        if (fd < 0 || !enabled_) return 0;
        struct pollfd pfd {
            fd, POLLIN, 0
        };
        const int r = ::poll(&pfd, 1, int(std::max(0LL, deadline - nowMs())));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 0;
        {
            std::lock_guard lock(io_);
            // A driver's exchange may have taken the bytes that woke us.
            if ((pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) || pendingInput() > 0)
                return readFrame(p, max, 0);
        }
        if (nowMs() >= deadline) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Caller holds io_: the first bytes within firstWaitMs, then what follows
// until a gap.
int Port::readFrame(unsigned char* p, int max, int firstWaitMs)
{
    takeWantedParams();
    if (net_) return enabled_ ? readTcp(p, max) : 0;
    if (fd_ < 0 || !enabled_) return 0;
    int got = 0;
    int wait = firstWaitMs;
    while (got < max) {
        struct pollfd pfd {
            fd_, POLLIN, 0
        };
        int r = ::poll(&pfd, 1, wait);
        if (r < 0 && errno == EINTR) continue;
        const bool hangUp = r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL));
        if (r <= 0 || !(pfd.revents & POLLIN)) {
            if (hangUp) lost("read", 0);
            break;
        }
        ssize_t n = ::read(fd_, p + got, size_t(max - got));
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n < 0 && deviceGone(errno)) {
            lost("read", errno);
            break;
        }
        if (n == 0 && hangUp) lost("read", 0); // what the line held is read: it hung up
        if (n <= 0) break;
        got += int(n);
        wait = gapMs();
    }
    trace("recv:", p, got);
    return got;
}

// Line parameters never wait for the line: a driver may hold it for seconds.
// The new parameters are kept as wanted and put on the line at once when it is
// free, else by the next read or write, before any byte moves.
int Port::control(int op, void* arg)
{
    int* v = static_cast<int*>(arg);
    switch (op) {
    case COMM_CTL_FD:
        if (v) *v = net_ ? netSocket(net_) : fd_.load();
        return 1;
    case COMM_CTL_BAUD:
    case COMM_CTL_PARITY:
    case COMM_CTL_DATABITS:
    case COMM_CTL_STOPBITS: {
        if (!v) return 0;
        {
            std::lock_guard lock(wantedMutex_);
            PortParams next = wanted_;
            if (op == COMM_CTL_BAUD)
                next.baud = *v;
            else if (op == COMM_CTL_PARITY)
                next.parity = *v;
            else if (op == COMM_CTL_DATABITS)
                next.dataBits = *v;
            else
                next.stopBits = *v;
            if (!toSpeed(next.baud) || next.parity < 0 || next.parity > 4 || next.dataBits < 5 ||
                next.dataBits > 8 || next.stopBits < 1 || next.stopBits > 2) {
                AppLogOut("[port %d] control %d with value %d refused", no_, op, *v);
                return 0;
            }
            wanted_ = next;
            changed_ = true;
        }
        if (io_.try_lock()) {
            takeWantedParams();
            io_.unlock();
        }
        return 1;
    }
    case COMM_CTL_ENABLE:
        enabled_ = v ? *v != 0 : true;
        return 1;
    case COMM_CTL_TRACE:
        trace_ = v && *v != 0;
        return 1;
    default:
        return 0;
    }
}

// Caller holds io_.
void Port::takeWantedParams()
{
    if (!changed_) return;
    {
        std::lock_guard lock(wantedMutex_);
        params_ = wanted_;
        changed_ = false;
    }
    if (fd_ >= 0) applyParams();
}

void Port::pushConsole(int code, std::string bytes)
{
    std::lock_guard lock(consoleMutex_);
    if (consoleOut_.size() >= 16) consoleOut_.pop_front();
    consoleIn_.erase(code);
    consoleFailed_.erase(code);
    consoleOut_.emplace_back(code, std::move(bytes));
}

int Port::pullConsole(int code, char* buf, int max)
{
    std::lock_guard lock(consoleMutex_);
    if (consoleFailed_.count(code)) {
        consoleFailed_.erase(code);
        return -2;
    }
    auto it = consoleIn_.find(code);
    if (it == consoleIn_.end() || !buf || max <= 0) return 0;
    int n = int(std::min<size_t>(it->second.size(), size_t(max)));
    std::memcpy(buf, it->second.data(), size_t(n));
    consoleIn_.erase(it);
    return n;
}

// Runs on the port thread between polls: send each queued frame, keep the reply.
void Port::serviceConsole()
{
    for (;;) {
        std::pair<int, std::string> job;
        {
            std::lock_guard lock(consoleMutex_);
            if (consoleOut_.empty()) return;
            job = std::move(consoleOut_.front());
            consoleOut_.pop_front();
        }
        std::string reply;
        int sent;
        {
            std::lock_guard exchange(session_);
            sent = write(job.second.data(), int(job.second.size()));
            if (sent == int(job.second.size())) {
                char buf[1024];
                int n = read(buf, sizeof buf);
                if (n > 0) reply.assign(buf, size_t(n));
            }
        }
        std::lock_guard lock(consoleMutex_);
        if (sent != int(job.second.size()))
            consoleFailed_[job.first] = true;
        else if (!reply.empty())
            consoleIn_[job.first] = std::move(reply);
    }
}

} // namespace fieldcore

using namespace fieldcore;

extern "C" {

void* getPortHandle(int portNo)
{
    return findPort(portNo);
}

int CommWrite(void* h, const void* buf, int len)
{
    return h ? static_cast<Port*>(h)->write(buf, len) : -1;
}

int CommRead(void* h, void* buf, int max)
{
    return h ? static_cast<Port*>(h)->read(buf, max) : 0;
}

int CommControl(void* h, int op, void* arg, int)
{
    return h ? static_cast<Port*>(h)->control(op, arg) : 0;
}

int PushContorlCmd(int portNo, int code, const char* data, int len)
{
    Port* p = findPort(portNo);
    if (!p || !data || len <= 0) return -2;
    p->pushConsole(code, std::string(data, size_t(std::min(len, 1024))));
    return len;
}

int PullControlCmd(int portNo, int code, char* buf, int max)
{
    Port* p = findPort(portNo);
    if (!p) return -2;
    return p->pullConsole(code, buf, max);
}

} // extern "C"
