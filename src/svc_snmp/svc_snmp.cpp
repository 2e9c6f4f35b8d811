/*
 * svc_snmp.cpp - the SNMP task: keeps net-snmp's snmpd running with our MIB module.
 *
 * The agent never reads the settings or signal stores. This task writes its
 * configuration file from settings, runs it as a child process (restarting it
 * within about a second when it ends, and with a new file when the settings
 * change), refreshes the shared block from the signals every two seconds, and
 * drains the message queue on which the module sends set requests. On request of
 * the web page it also sends test traps with net-snmp's snmptrap/snmpinform.
 *
 * Only the child this task started is ever stopped, by its process id.
 */
#include "shmblock.h"
#include "snmptask.h"

#include <fieldcore.h>
#include <fieldcore.hpp>
#include <platform.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
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

struct RuntimeSettings : Settings {
    std::string text(const std::string& key, const std::string& def) override
    {
        return fieldcore::settingText(key.c_str(), def.c_str());
    }
    int integer(const std::string& key, int def) override { return GetSettingi2(key.c_str(), def); }
};

struct RuntimeSignals : Signals {
    float value(int devId, int sigNo) override { return GetDevValue(devId, sigNo); }
};

constexpr const char* kConfigFile = "/etc/snmpd.cfg";
constexpr const char* kStateDir = "/var/net-snmp";
constexpr const char* kStateFile = "/var/net-snmp/snmpd.conf";
constexpr const char* kAgentLog = "/var/log/snmpd.log";
constexpr off_t kAgentLogMax = 1 << 20;

std::atomic<bool> g_exit{false};
std::mutex g_paramsLock; // the records are read by the trap-test thread too
AgentParams g_agent;
TrapParams g_trap;
pid_t g_child = 0;
void* g_shm = nullptr;
int g_queue = -1;
std::atomic<bool> g_trapTestBusy{false};
int g_token = 0;

void Snmp_Config_Init()
{
    RuntimeSettings s;
    AgentParams a;
    TrapParams t;
    loadParams(s, a, t);
    std::lock_guard<std::mutex> lock(g_paramsLock);
    g_agent = a;
    g_trap = t;
}

// 1 when any setting differs from the records in memory (which are replaced).
int CheckSnmpConfig()
{
    RuntimeSettings s;
    AgentParams a;
    TrapParams t;
    loadParams(s, a, t);
    std::lock_guard<std::mutex> lock(g_paramsLock);
    if (a == g_agent && t == g_trap) return 0;
    g_agent = a;
    g_trap = t;
    return 1;
}

// Stops the agent child this task started, if any, and reaps it.
void stopAgent()
{
    if (g_child <= 0) return;
    kill(g_child, SIGTERM);
    for (int i = 0; i < 30; ++i) {
        if (waitpid(g_child, nullptr, WNOHANG) != 0) {
            g_child = 0;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(g_child, SIGKILL);
    waitpid(g_child, nullptr, 0);
    g_child = 0;
}

void Write_Config_File()
{
    AgentParams a;
    TrapParams t;
    {
        std::lock_guard<std::mutex> lock(g_paramsLock);
        a = g_agent;
        t = g_trap;
    }
    ConfigPaths paths;
    paths.upsmibModule = platform::appPath("/root/app/lib/libupsmib.so");
    paths.mib935Module = platform::appPath("/root/app/lib/libmib935.so");
    paths.loopbackOnly = platform::inSandbox();
    std::string text = buildConfig(a, t, fieldcore::settingText("engineid_string", ""),
                                   fieldcore::settingText("engine_id", ""), paths);

    const std::string path = platform::sysPath(kConfigFile);
    const std::string tmp = path + ".new";
    auto slash = path.rfind('/');
    if (slash != std::string::npos) platform::makeDirs(path.substr(0, slash));
    if (!platform::writeFile(tmp, text) || rename(tmp.c_str(), path.c_str()) != 0) {
        AppLogOut("[%s] cannot write %s: %s", __func__, path.c_str(), strerror(errno));
        return;
    }
    chmod(path.c_str(), 0600); // it holds pass phrases
    stopAgent();
}

void Read_EngineID()
{
    std::string text;
    if (!platform::readFile(platform::sysPath(kStateFile), text)) return;
    std::string id = engineIdFromState(text);
    if (!id.empty() && id != fieldcore::settingText("engine_id", ""))
        SaveSettings("engine_id", id.c_str());
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

void startAgent(std::uint32_t mibType)
{
    AppLogOut("[%s] snmpd start", __func__);
    // A fresh state file each start: the engine ID setting follows the agent.
    const std::string stateDir = platform::sysPath(kStateDir);
    platform::makeDirs(stateDir);
    unlink(platform::sysPath(kStateFile).c_str());

    const std::string logPath = platform::sysPath(kAgentLog);
    auto slash = logPath.rfind('/');
    platform::makeDirs(logPath.substr(0, slash));
    struct stat st {
    };
    bool truncate = stat(logPath.c_str(), &st) == 0 && st.st_size > kAgentLogMax;
    int logFd = open(logPath.c_str(),
                     O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0644);

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

    pid_t pid = fork();
    if (pid < 0) {
        AppLogOut("[%s] fork: %s", __func__, strerror(errno));
        if (logFd >= 0) close(logFd);
        return; // tried again on the next pass
    }
    if (pid == 0) {
        // The agent goes when the task's thread goes.
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
    g_child = pid;
}

// Restarts the agent when it has ended (or was never started). An agent that
// ran for a while comes back at once; one that cannot even start (its port is
// taken, say) is retried after a growing pause instead of every 100 ms.
using Clock = std::chrono::steady_clock;
Clock::time_point g_startedAt;
Clock::time_point g_nextStart;
std::chrono::milliseconds g_backoff{0};
constexpr std::chrono::seconds kShortLife{3};
constexpr std::chrono::milliseconds kMaxBackoff{30000};

void superviseAgent()
{
    const auto now = Clock::now();
    if (g_child > 0) {
        int status = 0;
        pid_t r = waitpid(g_child, &status, WNOHANG);
        if (r == 0) return;
        AppLogOut("[%s] snmpd %d ended (status 0x%x)", __func__, g_child,
                  r == g_child ? status : -1);
        g_child = 0;
        if (now - g_startedAt < kShortLife)
            g_backoff =
                std::min(kMaxBackoff, std::max(std::chrono::milliseconds(1000), g_backoff * 2));
        else
            g_backoff = std::chrono::milliseconds(0);
        g_nextStart = now + g_backoff;
    }
    if (now < g_nextStart) return;
    std::uint32_t mibType;
    {
        std::lock_guard<std::mutex> lock(g_paramsLock);
        mibType = g_agent.mibType;
    }
    g_startedAt = now;
    startAgent(mibType);
}

int SnmpDataInit()
{
    int stage = 0;
    int key = snmpblock::ipcKey();
    g_shm = snmpblock::attachBlock(key, &stage);
    if (!g_shm) {
        std::printf("###share memory ERROR %d### %s\n", stage, strerror(errno));
        AppLogOut("###share memory ERROR %d### %s", stage, strerror(errno));
        return 1;
    }
    snmpblock::Block(g_shm).clear();
    g_queue = snmpblock::openQueue(key);
    if (g_queue < 0) AppLogOut("[%s] message queue %d: %s", __func__, key, strerror(errno));
    return 0;
}

// Handles at most one queued command; -1 when the queue is empty.
int ReceiveMsg()
{
    snmpblock::Message m{};
    // Identification-name messages are not acted on; drain them so they can
    // never fill the queue and crowd out commands.
    while (snmpblock::receiveMessage(g_queue, snmpblock::kIdentNameType, m))
        AppLogOut("[%s] upsIdentName set ignored", __func__);
    if (!snmpblock::receiveMessage(g_queue, snmpblock::kCommandType, m)) return -1;
    snmpblock::Command c = snmpblock::decodeCommand(m);
    AppLogOut("ReceiveMsg is ok msg.type:%ld msg.data[0]:%d,value1:%d,value2:%d", m.type, c.code,
              c.value1, c.value2);
    CommandAction a = commandAction(c, GetSettingi2("ups_type", 0));
    if (!a.settingKey.empty()) SaveSettings(a.settingKey.c_str(), a.settingValue.c_str());
    postEvent(0, a.event, nullptr, 0);
    DevCallback(4, a.logCode, nullptr, 0);
    return 0;
}

void refreshShared()
{
    if (!g_shm) return;
    RuntimeSettings s;
    RuntimeSignals sig;
    std::uint32_t mibType;
    {
        std::lock_guard<std::mutex> lock(g_paramsLock);
        mibType = g_agent.mibType;
    }
    refreshBlock(snmpblock::Block(g_shm), s, sig, mibType);
}

void trap_test(int row)
{
    if (row < 1 || row > kRows) return;
    auto mask =
        static_cast<std::uint32_t>(GetSettingi(("trap_event_" + std::to_string(row - 1)).c_str()));
    if ((mask & 0xffffff) == 0) {
        AppLogOut("User_%d did not select an alarm event", row);
        return;
    }
    std::string engineId = fieldcore::settingText("engine_id", "");
    TrapParams t;
    std::uint32_t mibType;
    {
        std::lock_guard<std::mutex> lock(g_paramsLock);
        t = g_trap;
        mibType = g_agent.mibType;
    }
    auto cmds = trapTestCommands(t, row, mask & 0xffffff, mibType, engineId);
    for (const auto& argv : cmds) {
        if (g_exit) break;
        int rc = platform::runArgv(argv);
        AppLogOut("[%s] %s to row %d: %d", __func__, argv[0].c_str(), row, rc);
    }
}

} // namespace

extern "C" {

void* DriverInit(void* /*arg*/)
{
    try {
        g_exit = false;
        Read_EngineID();
        Snmp_Config_Init();
        Write_Config_File();
    } catch (...) {
        AppLogOut("[%s] failed", __func__);
    }
    return &g_token;
}

int DriverRun(void* /*arg*/)
{
    try {
        setThreadName("svc_snmp");
        if (SnmpDataInit() != 0) {
            AppLogOut("SnmpDataInit is failed drop out DriverRun");
            return -1;
        }
        int k = 0;
        while (!g_exit) {
            if (k == 0) {
                if (CheckSnmpConfig())
                    Write_Config_File();
                else
                    Read_EngineID();
            }
            superviseAgent();
            if (k % 2 == 0) {
                ReceiveMsg();
                refreshShared();
            }
            k = (k + 1) % 5;
            // One pass a second; the agent is watched every 100 ms in between
            // so that a crashed agent is back within about a second.
            for (int i = 0; i < 10 && !g_exit; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                superviseAgent();
            }
        }
        stopAgent();
        // A running trap test uses this library's code: let it finish its
        // current command before the runtime may unload us.
        for (int i = 0; i < 600 && g_trapTestBusy; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } catch (...) {
        AppLogOut("[%s] failed", __func__);
    }
    return 0;
}

int DriverStop(void* /*arg*/)
{
    g_exit = true;
    return 0;
}

int EventFilter(int channel, int eventType, void* /*data*/, int /*size*/)
{
    try {
        if (channel != 3 || eventType < 1 || eventType > kRows) return 0;
        // Informs can wait for minutes: never in the poster's thread, one run at a time.
        if (g_trapTestBusy.exchange(true)) return 0;
        std::thread([eventType] {
            try {
                trap_test(eventType);
            } catch (...) {
            }
            g_trapTestBusy = false;
        }).detach();
    } catch (...) {
        g_trapTestBusy = false;
    }
    return 0;
}

char* DLLInfo(void)
{
    static char info[256];
    std::snprintf(info, sizeof info,
                  "svc_snmp: SNMP agent supervision and test traps\nBuild: %s %s", __DATE__,
                  __TIME__);
    return info;
}

} // extern "C"
