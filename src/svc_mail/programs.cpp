/*
 * programs.cpp - running msmtp and mutt: fork and exec with an argument
 * vector, standard input from the message file, no shell in between.
 *
 * Everything the child needs (arguments, environment) is built before the
 * fork, as the runtime has other threads. A program that hangs is killed
 * after the time-out, so one broken server never stops the task for good.
 */
#include "mail.hpp"

#include "platform.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace mail
{

int ChildPrograms::run(const std::vector<std::string>& argv, const std::string& stdinFile)
{
    if (argv.empty()) return -1;
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "PATH=", 5) == 0 || std::strncmp(*e, "TMPDIR=", 7) == 0) continue;
        env.emplace_back(*e);
    }
    const char* path = std::getenv("PATH");
    std::string childPath = path && *path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    if (!platform::sysRoot().empty()) childPath = platform::sysRoot() + "/bin:" + childPath;
    env.push_back("PATH=" + childPath);
    if (!tmpDir_.empty() && access(tmpDir_.c_str(), W_OK) == 0) env.push_back("TMPDIR=" + tmpDir_);

    std::vector<char*> args, envp;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const std::string input = stdinFile.empty() ? "/dev/null" : stdinFile;

    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int in = open(input.c_str(), O_RDONLY);
        const int null = open("/dev/null", O_RDWR);
        if (in < 0 || null < 0) _exit(127);
        dup2(in, 0);
        dup2(null, 1);
        dup2(null, 2);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        if (std::strchr(args[0], '/'))
            execve(args[0], args.data(), envp.data());
        else
            execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!WIFEXITED(status)) return -1;
    const int code = WEXITSTATUS(status);
    return code == 127 ? -1 : code;
}

} // namespace mail
