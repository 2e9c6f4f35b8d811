/*
 * platform.cpp - path mapping and the one shell runner (see platform.hpp).
 */
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform
{

namespace
{

std::string envOr(const char* name, const char* def)
{
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string(def);
}

std::string stripSlash(std::string s)
{
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

constexpr std::string_view kCardApp = "/root/app";

// PATH for child processes: the sandbox's stand-ins come first.
std::string childPath()
{
    std::string path = envOr("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
    if (!sysRoot().empty()) path = sysRoot() + "/bin:" + path;
    return path;
}

} // namespace

const std::string& appDir()
{
    static const std::string dir = stripSlash(envOr("CARDMON_APP_DIR", "/root/app"));
    return dir;
}

const std::string& sysRoot()
{
    static const std::string root = [] {
        std::string r = stripSlash(envOr("CARDMON_SYSROOT", "/"));
        return r == "/" ? std::string() : r;
    }();
    return root;
}

std::string appPath(std::string_view p)
{
    if (p.substr(0, kCardApp.size()) == kCardApp &&
        (p.size() == kCardApp.size() || p[kCardApp.size()] == '/'))
        return appDir() + std::string(p.substr(kCardApp.size()));
    if (!p.empty() && p[0] == '/') return sysPath(p);
    while (p.substr(0, 2) == "./")
        p.remove_prefix(2);
    return appDir() + "/" + std::string(p);
}

std::string sysPath(std::string_view p)
{
    if (p.empty() || p[0] != '/') return appPath(p);
    return sysRoot() + std::string(p);
}

bool inSandbox()
{
    return !sysRoot().empty() && fileExists(sysRoot() + "/.cardmon-sandbox");
}

bool mayRun(std::string* why)
{
#ifdef CARDMON_DEVICE
    (void)why;
    return true;
#else
    if (inSandbox()) return true;
    if (why)
        *why = "cardmon: refusing to start on a development machine outside a sandbox: "
               "set CARDMON_SYSROOT to a directory holding .cardmon-sandbox "
               "(scripts/card makes one)";
    return false;
#endif
}

int runShell(const std::string& cmd)
{
    return runArgv({"/bin/sh", "-c", cmd});
}

namespace
{

// `input` (when given) is the child's standard input; it must fit a pipe's
// buffer, since it is written in full before the output is read.
int spawn(const std::vector<std::string>& argv, std::string* output, size_t maxBytes,
          const std::string_view* input = nullptr)
{
    if (argv.empty()) return -1;
    int pipefd[2] = {-1, -1};
    int infd[2] = {-1, -1};
    if (input && pipe2(infd, O_CLOEXEC) != 0) return -1;
    if (output && pipe2(pipefd, O_CLOEXEC) != 0) {
        if (input) {
            close(infd[0]);
            close(infd[1]);
        }
        return -1;
    }
    const std::string path = childPath();
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {pipefd[0], pipefd[1], infd[0], infd[1]})
            if (fd >= 0) close(fd);
        return -1;
    }
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            if (!output) dup2(devnull, 1);
        }
        if (input) dup2(infd[0], 0);
        if (output) dup2(pipefd[1], 1);
        setenv("PATH", path.c_str(), 1);
        // The child must not inherit the runtime's blocked or ignored signals.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (input) {
        close(infd[0]);
        // A child that exits unread must not end the caller with SIGPIPE: the
        // signal is held for this thread and a pending one taken back.
        sigset_t pipeSet, old;
        sigemptyset(&pipeSet);
        sigaddset(&pipeSet, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
        bool broken = false;
        size_t done = 0;
        while (done < input->size()) {
            ssize_t n = write(infd[1], input->data() + done, input->size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) { // the child stopped reading: its status tells
                broken = n < 0 && errno == EPIPE;
                break;
            }
            done += size_t(n);
        }
        close(infd[1]);
        if (broken) {
            const timespec none{0, 0};
            sigtimedwait(&pipeSet, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    if (output) {
        close(pipefd[1]);
        char buf[4096];
        ssize_t n;
        while ((n = read(pipefd[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0 && output->size() < maxBytes)
                output->append(buf, std::min<size_t>(size_t(n), maxBytes - output->size()));
        }
        close(pipefd[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

int runArgv(const std::vector<std::string>& argv, std::string* output)
{
    return spawn(argv, output, 1 << 20);
}

int runArgvInput(const std::vector<std::string>& argv, std::string_view input)
{
    return spawn(argv, nullptr, 0, &input);
}

std::string runCapture(const std::string& cmd, size_t maxBytes)
{
    std::string out;
    spawn({"/bin/sh", "-c", cmd}, &out, maxBytes);
    return out;
}

std::string shellQuote(std::string_view v)
{
    std::string q = "'";
    for (char c : v) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    q += "'";
    return q;
}

bool writeFile(const std::string& path, std::string_view bytes, bool append)
{
    int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += size_t(n);
    }
    return close(fd) == 0;
}

bool readFile(const std::string& path, std::string& out, size_t maxBytes)
{
    out.clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    ssize_t n;
    while (out.size() < maxBytes &&
           ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
        if (n > 0) out.append(buf, std::min<size_t>(size_t(n), maxBytes - out.size()));
    close(fd);
    return true;
}

bool fileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool makeDirs(const std::string& path)
{
    std::string cur;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        cur = path.substr(0, j);
        if (!cur.empty() && mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
        i = j + 1;
    }
    return true;
}

} // namespace platform
