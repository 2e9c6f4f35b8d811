/*
 * svc_snmp.cpp - the SNMP task: keeps net-snmp's snmpd running with our MIB module.
 *
 * The agent never reads the settings or signal stores. This task writes its
 * configuration file from settings, runs it as a child process (restarting it
 * within about a second when it ends, and with a new file when the settings
 * change), refreshes the shared block from the signals every two seconds, and
 * drains the message queue on which the module sends set requests. On request of
 * the web page it also sends test traps with net-snmp's snmptrap/snmpinform, in
 * a side thread of its own, one request after the other.
 *
 * Only the child this task started is ever stopped, by its process id.
 */
#include "card_plugin.hpp"
#include "shmblock.h"
#include "snmptask.h"

#include <platform.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace
{

using namespace snmptask;
using card::Clock;
using card::rt;

constexpr const char* kConfigFile = "/etc/snmpd.cfg";
constexpr const char* kStateDir = "/var/net-snmp";
constexpr const char* kStateFile = "/var/net-snmp/snmpd.conf";
constexpr const char* kAgentLog = "/var/log/snmpd.log";
constexpr off_t kAgentLogMax = 1 << 20;

// The loop ticks every 100 ms; one pass a second, five passes a cycle.
constexpr auto kTick = std::chrono::milliseconds(100);
constexpr int kTicksPerPass = 10;
constexpr int kPassesPerCycle = 5;

// An agent that ran for a while comes back at once; one that cannot even start
// (its port is taken, say) is retried after a growing pause.
constexpr auto kShortLife = std::chrono::seconds(3);
constexpr auto kMaxBackoff = std::chrono::milliseconds(30000);

void logf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char* fmt, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    rt().log(line);
}

std::string findAgentProgram()
{
    const char* path = getenv("PATH");
    std::string dirs = std::string(path ? path : "") + ":/usr/sbin:/usr/local/sbin:/sbin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty()) {
            std::string p = dir + "/snmpd";
            if (access(p.c_str(), X_OK) == 0) return p;
        }
        start = end + 1;
    }
    return "snmpd";
}

class SnmpTask : public card::Task
{
    void init() override
    {
        readEngineId();
        loadSettings();
        writeConfig();
    }

    void run() override
    {
        if (!attachShared()) {
            rt().log("SnmpDataInit is failed drop out DriverRun");
            return;
        }
        spawn("snmp_trap", [this] { trapWorker(); });
        // One pass a second: the settings are compared once a cycle, the queue
        // and the block are served on passes 0, 2 and 4. The agent is watched
        // on every tick so that a crashed agent is back within about a second.
        int tick = 0;
        every(kTick, "svc_snmp", [&] {
            const bool pass = tick % kTicksPerPass == 0;
            const int k = tick / kTicksPerPass;
            if (pass && k == 0) {
                if (settingsChanged())
                    writeConfig();
                else
                    readEngineId();
            }
            superviseAgent();
            if (pass && k % 2 == 0) {
                receiveCommand();
                refreshShared();
            }
            tick = (tick + 1) % (kTicksPerPass * kPassesPerCycle);
        });
        stopAgent();
        snmpblock::detachBlock(shm_);
        shm_ = nullptr;
    }

    void event(int channel, int code, void*, int) override
    {
        if (channel != card::channel::kTrapTest || code < 1 || code > kRows) return;
        // Tests run one after the other: a request while another runs waits
        // its turn. A row already waiting is not queued twice (it will run).
        {
            std::lock_guard lock(trapLock_);
            if (std::find(trapRows_.begin(), trapRows_.end(), code) != trapRows_.end()) return;
            trapRows_.push_back(code);
        }
        wake();
    }

    // ---- parameter records ----

    AgentParams agentParams()
    {
        std::lock_guard lock(paramsLock_);
        return agent_;
    }

    TrapParams trapParams()
    {
        std::lock_guard lock(paramsLock_);
        return trap_;
    }

    void loadSettings()
    {
        AgentParams a;
        TrapParams t;
        loadParams(a, t);
        std::lock_guard lock(paramsLock_);
        agent_ = a;
        trap_ = t;
    }

    // True when any setting differs from the records in memory (which are replaced).
    bool settingsChanged()
    {
        AgentParams a;
        TrapParams t;
        loadParams(a, t);
        std::lock_guard lock(paramsLock_);
        if (a == agent_ && t == trap_) return false;
        agent_ = a;
        trap_ = t;
        return true;
    }

    // Writes the agent's configuration file and stops the agent, so that the
    // next tick starts it with the new file at once (a new file is a new
    // chance: the restart back-off starts over). The file holds pass phrases:
    // it is created private and renamed into place, so that neither the old
    // nor the new text is ever readable by others, even when a step fails.
    void writeConfig()
    {
        ConfigPaths paths;
        paths.upsmibModule = platform::appPath("/root/app/lib/libupsmib.so");
        paths.mib935Module = platform::appPath("/root/app/lib/libmib935.so");
        paths.loopbackOnly = platform::inSandbox();
        const std::string text =
            buildConfig(agentParams(), trapParams(), rt().text("engineid_string", ""),
                        rt().text("engine_id", ""), paths);

        const std::string path = platform::sysPath(kConfigFile);
        auto slash = path.rfind('/');
        if (slash != std::string::npos) platform::makeDirs(path.substr(0, slash));
        if (!writePrivate(path, text)) return;
        stopAgent();
        backoff_ = Clock::duration::zero();
        nextStart_ = Clock::now();
    }

    static bool writePrivate(const std::string& path, const std::string& text)
    {
        const std::string tmp = path + ".new";
        unlink(tmp.c_str()); // a leftover may have other owners or modes
        const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            logf("[Write_Config_File] cannot create %s: %s", tmp.c_str(), strerror(errno));
            return false;
        }
        bool ok = fchmod(fd, 0600) == 0; // whatever the umask
        for (size_t done = 0; ok && done < text.size();) {
            const ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
        ok = ok && fsync(fd) == 0;
        ok = close(fd) == 0 && ok;
        if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
            logf("[Write_Config_File] cannot write %s: %s", path.c_str(), strerror(errno));
            unlink(tmp.c_str());
            return false;
        }
        return true;
    }

    // Keeps the setting engine_id equal to the running agent's engine ID.
    void readEngineId()
    {
        std::string text;
        if (!platform::readFile(platform::sysPath(kStateFile), text)) return;
        const std::string id = engineIdFromState(text);
        if (!id.empty() && id != rt().text("engine_id", "")) rt().save("engine_id", id);
    }

    // ---- the agent child ----

    void startAgent(std::uint32_t mibType)
    {
        rt().log("[startAgent] snmpd start");
        // A fresh state file each start: the engine ID setting follows the agent.
        const std::string stateDir = platform::sysPath(kStateDir);
        platform::makeDirs(stateDir);
        unlink(platform::sysPath(kStateFile).c_str());

        const std::string logPath = platform::sysPath(kAgentLog);
        platform::makeDirs(logPath.substr(0, logPath.rfind('/')));
        struct stat st {
        };
        const bool truncate = stat(logPath.c_str(), &st) == 0 && st.st_size > kAgentLogMax;
        const int logFd =
            open(logPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND),
                 0644);

        // Everything the child needs is prepared before fork: the child only execs.
        std::vector<std::string> args = {findAgentProgram(),
                                         "-f",
                                         "-C",
                                         "-c",
                                         platform::sysPath(kConfigFile),
                                         "-LOn",
                                         "-I",
                                         "-smux", // no SMUX listener on TCP 199
                                         mibType == 0 ? "-Dupsmib,dlmod" : "-Dmib935,dlmod"};
        std::vector<std::string> env;
        for (char** e = environ; e && *e; ++e) {
            if (strncmp(*e, "SNMP_PERSISTENT_DIR=", 20) == 0 ||
                strncmp(*e, "CARDMON_IPC_KEY=", 16) == 0 || strncmp(*e, "MIBS=", 5) == 0)
                continue;
            env.emplace_back(*e);
        }
        env.push_back("SNMP_PERSISTENT_DIR=" + stateDir);
        env.push_back("CARDMON_IPC_KEY=" + std::to_string(snmpblock::ipcKey()));
        env.push_back("MIBS="); // the agent needs no MIB texts; spares it the search
        std::vector<char*> argv, envp;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const pid_t parent = getpid();

        const pid_t pid = fork();
        if (pid < 0) {
            logf("[startAgent] fork: %s", strerror(errno));
            if (logFd >= 0) close(logFd);
            return; // tried again on the next tick
        }
        if (pid == 0) {
            // The agent goes when the task's thread goes (it forks in run()).
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(1);
            int devnull = open("/dev/null", O_RDWR);
            if (devnull >= 0) dup2(devnull, 0);
            if (logFd >= 0) {
                dup2(logFd, 1);
                dup2(logFd, 2);
            }
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            signal(SIGPIPE, SIG_DFL);
            close_range(3, ~0U, 0);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (logFd >= 0) close(logFd);
        child_ = pid;
    }

    // Stops the agent child this task started, if any, and reaps it.
    void stopAgent()
    {
        if (child_ <= 0) return;
        kill(child_, SIGTERM);
        for (int i = 0; i < 30; ++i) {
            if (waitpid(child_, nullptr, WNOHANG) != 0) {
                child_ = 0;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(child_, SIGKILL);
        waitpid(child_, nullptr, 0);
        child_ = 0;
    }

    // Starts the agent when it has ended (or was never started).
    void superviseAgent()
    {
        const auto now = Clock::now();
        if (child_ > 0) {
            int status = 0;
            const pid_t r = waitpid(child_, &status, WNOHANG);
            if (r == 0) return;
            logf("[superviseAgent] snmpd %d ended (status 0x%x)", child_,
                 r == child_ ? status : -1);
            child_ = 0;
            if (now - startedAt_ < kShortLife)
                backoff_ = std::min<Clock::duration>(
                    kMaxBackoff, std::max<Clock::duration>(std::chrono::seconds(1), backoff_ * 2));
            else
                backoff_ = Clock::duration::zero();
            nextStart_ = now + backoff_;
        }
        if (now < nextStart_) return;
        startedAt_ = now;
        startAgent(agentParams().mibType);
    }

    // ---- the shared block and the queue ----

    bool attachShared()
    {
        int stage = 0;
        const int key = snmpblock::ipcKey();
        shm_ = snmpblock::attachBlock(key, &stage);
        if (!shm_) {
            std::printf("###share memory ERROR %d### %s\n", stage, strerror(errno));
            logf("###share memory ERROR %d### %s", stage, strerror(errno));
            return false;
        }
        snmpblock::Block(shm_).clear();
        queue_ = snmpblock::openQueue(key);
        if (queue_ < 0) logf("[SnmpDataInit] message queue %d: %s", key, strerror(errno));
        return true;
    }

    // Acts on at most one queued command.
    void receiveCommand()
    {
        snmpblock::Message m{};
        // Identification-name messages are not acted on; drain them so they can
        // never fill the queue and crowd out commands.
        while (snmpblock::receiveMessage(queue_, snmpblock::kIdentNameType, m))
            rt().log("[ReceiveMsg] upsIdentName set ignored");
        if (snmpblock::receiveMessage(queue_, snmpblock::kCommandType, m)) handleMessage(m);
    }

    void refreshShared()
    {
        if (shm_) refreshBlock(snmpblock::Block(shm_), agentParams().mibType);
    }

    // ---- test traps ----

    // Informs can wait for minutes: they run here, never in the poster's thread.
    void trapWorker()
    {
        while (!stopped()) {
            int row = 0;
            {
                std::lock_guard lock(trapLock_);
                if (!trapRows_.empty()) {
                    row = trapRows_.front();
                    trapRows_.pop_front();
                }
            }
            if (row == 0) {
                wait(std::chrono::milliseconds(500));
                continue;
            }
            const AgentParams a = agentParams();
            for (const auto& argv : trapTestRequest(trapParams(), row, a.mibType)) {
                if (stopped()) break;
                const int rc = platform::runArgv(argv);
                logf("[trap_test] %s to row %d: %d", argv[0].c_str(), row, rc);
            }
        }
    }

    std::mutex paramsLock_; // the records are read by the trap worker too
    AgentParams agent_;
    TrapParams trap_;
    pid_t child_ = 0;
    Clock::time_point startedAt_;
    Clock::time_point nextStart_;
    Clock::duration backoff_ = Clock::duration::zero();
    void* shm_ = nullptr;
    int queue_ = -1;
    std::mutex trapLock_;
    std::deque<int> trapRows_; // receiver rows of the tests waiting to run
};

} // namespace

CARD_TASK(SnmpTask, "svc_snmp", CARD_INFO("svc_snmp", "SNMP agent supervision and test traps"))
