/*
 * logs.cpp - the application and control logs, size-capped record files, the
 * data-log directory, thread names and the crash handler.
 *
 * data/app.log holds AppLogOut lines and rolls over to data/app.log.0 at 512 kB;
 * data/control.log holds ControlLogOut lines the same way. Every line starts
 * with the local time. Lines also go to standard error, which the launcher
 * keeps beside the sandbox.
 */
#include "internal.hpp"
#include "platform.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace fieldcore
{
namespace
{

constexpr long kLogCap = 512 * 1024;

std::mutex logMutex;
std::mutex pathMutex;
std::string dataLogDir;

std::string vformat(const char* fmt, va_list ap)
{
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (size_t(n) < sizeof small) return std::string(small, size_t(n));
    std::string big(size_t(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    big.resize(size_t(n));
    return big;
}

std::string stamp()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  int(tv.tv_usec / 1000));
    return buf;
}

void rollIfFull(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > kLogCap)
        std::rename(path.c_str(), (path + ".0").c_str());
}

void emit(const char* name, const std::string& text)
{
    std::string line = stamp() + text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    line += '\n';
    std::lock_guard lock(logMutex);
    const std::string dir = platform::appPath("data");
    const std::string path = dir + "/" + name;
    rollIfFull(path);
    if (!platform::writeFile(path, line, true)) {
        platform::makeDirs(dir);
        platform::writeFile(path, line, true);
    }
    ::write(2, line.data(), line.size());
}

} // namespace

// The crash handler may not allocate: its file name is prepared at start, and
// backtrace() has run once so that its library is loaded before any crash.
char crashPath[512];

void prepareCrashLog()
{
    std::snprintf(crashPath, sizeof crashPath, "%s", platform::appPath("data/crash.txt").c_str());
    void* frames[4];
    backtrace(frames, 4);
}

std::string appLogPath()
{
    return platform::appPath("data/app.log");
}

void logLine(const char* file, const std::string& line)
{
    emit(file, line);
}

} // namespace fieldcore

using namespace fieldcore;

extern "C" {

void AppLogOut(const char* fmt, ...)
{
    if (!fmt) return;
    va_list ap;
    va_start(ap, fmt);
    std::string text = vformat(fmt, ap);
    va_end(ap);
    emit("app.log", text);
}

void ControlLogOut(const char* fmt, ...)
{
    if (!fmt) return;
    va_list ap;
    va_start(ap, fmt);
    std::string text = vformat(fmt, ap);
    va_end(ap);
    emit("control.log", text);
}

int writeLog(const char* file, const char* head, const char* text, int maxBytes)
{
    if (!file) return -1;
    std::string record;
    if (head && *head) record += std::string(head) + " ";
    if (text) record += text;
    if (record.empty() || record.back() != '\n') record += '\n';
    std::lock_guard lock(logMutex);
    struct stat st;
    if (maxBytes > 0 && stat(file, &st) == 0 && st.st_size + long(record.size()) > maxBytes) {
        // Keep the newer half so that the file stays below maxBytes.
        std::string old;
        platform::readFile(file, old, size_t(st.st_size));
        size_t keepFrom = old.size() / 2;
        size_t nl = old.find('\n', keepFrom);
        old = nl == std::string::npos ? std::string() : old.substr(nl + 1);
        if (old.size() + record.size() > size_t(maxBytes)) old.clear();
        if (record.size() > size_t(maxBytes)) record.resize(size_t(maxBytes));
        return platform::writeFile(file, old + record) ? 0 : -1;
    }
    return platform::writeFile(file, record, true) ? 0 : -1;
}

const char* getDataLogPath(void)
{
    thread_local std::string copy;
    std::lock_guard lock(pathMutex);
    if (dataLogDir.empty()) dataLogDir = platform::appPath("data");
    copy = dataLogDir;
    return copy.c_str();
}

int setDataLogPath(const char* dir)
{
    if (!dir || !*dir) return -1;
    std::lock_guard lock(pathMutex);
    dataLogDir = dir;
    return 0;
}

void setThreadName(const char* name)
{
    if (!name) return;
    char shortName[16];
    std::snprintf(shortName, sizeof shortName, "%s", name);
    pthread_setname_np(pthread_self(), shortName);
}

// Writes a backtrace to data/crash.txt, then lets the signal take its default
// course. It runs in whatever state the crash left behind (the allocator's lock
// may be held by this very thread), so it only uses async-signal-safe calls:
// open/write/close, numbers formatted by hand, the backtrace loaded at start.
// Should it hang all the same, the alarm ends the process within 4 s.
void OnCrashHandler(int sig)
{
    signal(SIGALRM, SIG_DFL);
    alarm(4);
    int fd = crashPath[0] ? open(crashPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : 2;
    if (fd < 0) fd = 2;
    char head[64];
    size_t n = 0;
    auto put = [&](const char* text) {
        while (*text && n < sizeof head)
            head[n++] = *text++;
    };
    auto putNumber = [&](long long v) {
        char digits[24];
        int k = 0;
        unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : v;
        do
            digits[k++] = char('0' + u % 10);
        while ((u /= 10) && k < 24);
        if (v < 0 && n < sizeof head) head[n++] = '-';
        while (k > 0 && n < sizeof head)
            head[n++] = digits[--k];
    };
    put("cardmon: signal ");
    putNumber(sig);
    put(" at ");
    putNumber(static_cast<long long>(time(nullptr)));
    put("\n");
    ssize_t ignored = ::write(fd, head, n);
    void* frames[64];
    int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, fd);
    ignored = ::write(fd, "\n", 1);
    (void)ignored;
    if (fd != 2) close(fd);
    signal(sig, SIG_DFL);
    raise(sig);
}

} // extern "C"
