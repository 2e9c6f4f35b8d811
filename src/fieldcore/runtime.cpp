/*
 * runtime.cpp - registration, plug-in loading, port threads and the event bus.
 *
 * cardmon registers ports, devices and servers on one SCfgIdu and then calls
 * startDataMonitor. From then on:
 *   - each port has one thread that opens (and re-opens) it and sends console
 *     frames; each device on it has a poll thread of its own that polls it every
 *     period through the driver's Query, keeps signal -1 of the device and runs
 *     the device's queued DevControl commands between polls. So one driver's
 *     long cycle (the sensors pause 1.5 s before every request) never holds up
 *     the other devices of its line: they share the line per exchange (ports.cpp);
 *   - each server (task) is a library lib<name>.so whose DriverRun runs in a
 *     thread of its own after DriverInit;
 *   - postEvent calls every loaded plug-in's EventFilter in the poster's thread.
 * A library that is absent or lacks an entry point is logged and skipped.
 */
#include "fieldcore.hpp"
#include "internal.hpp"
#include "platform.hpp"
#include "signals.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <list>
#include <shared_mutex>
#include <sys/stat.h>

namespace fieldcore
{

using Clock = std::chrono::steady_clock;

struct Library {
    std::string name;
    void* handle = nullptr;
};

struct Plugin {
    int serverId = 0;
    std::string name;
    std::string param;
    void* handle = nullptr;
    void* (*init)(void*) = nullptr;
    int (*run)(void*) = nullptr;
    int (*stop)(void*) = nullptr;
    int (*filter)(int, int, void*, int) = nullptr;
    char* (*info)() = nullptr;
    void* ctx = nullptr;
    std::thread thread;
    std::atomic<int> state{0}; // 0 registered, 1 running, 2 returned, -1 absent
};

struct Command {
    std::string text;
    std::shared_ptr<std::promise<int>> result;
};

struct Device {
    int id = 0;
    int portNo = 0;
    int addr = 0;
    std::string driver;
    int period = 1000;
    void* handle = nullptr;
    int (*query)(void*, int, ENUMSIGNALPROC, LPVOID) = nullptr;
    int (*control)(void*, int, void*) = nullptr;
    Clock::time_point nextPoll{};
    std::atomic<long> polls{0};
    std::atomic<long> answered{0};
};

struct PortWorker {
    std::unique_ptr<Port> port;
    std::vector<Device*> devices;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<Device*, Command>> commands;
    std::vector<std::thread> pollers; // one per device
};

struct Runtime {
    std::shared_mutex mutex; // guards the registries below
    std::map<int, std::unique_ptr<PortWorker>> ports;
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<std::unique_ptr<Plugin>> plugins;
    std::map<std::string, void*> libraries;
    std::map<int, DEVCALLBACKPROC> callbacks;
    std::map<int, std::string> portDevices; // from config/ports.conf
    std::atomic<bool> running{false};
    std::atomic<bool> stopping{false};
};

namespace
{

constexpr size_t kMaxQueuedCommands = 64;

Runtime& rt()
{
    static Runtime r;
    return r;
}

std::string libPath(const std::string& name)
{
    return platform::appPath("lib/lib" + name + ".so");
}

// dlopen once per library name; null (and a log line) when absent.
void* loadLibrary(const std::string& name)
{
    Runtime& r = rt();
    auto it = r.libraries.find(name);
    if (it != r.libraries.end()) return it->second;
    const std::string path = libPath(name);
    void* h = nullptr;
    if (!platform::fileExists(path))
        AppLogOut("[loadLibrary] %s is absent: skipped", path.c_str());
    else if (!(h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)))
        AppLogOut("[loadLibrary] %s cannot be loaded: %s", path.c_str(), dlerror());
    r.libraries[name] = h;
    return h;
}

template <typename F> F symbol(void* lib, const char* name)
{
    return lib ? reinterpret_cast<F>(dlsym(lib, name)) : nullptr;
}

void readPortsConf()
{
    Runtime& r = rt();
    const std::string path = platform::appPath("config/ports.conf");
    std::ifstream in(path);
    if (!in) {
        AppLogOut("[ports] %s is missing: ports have no device files", path.c_str());
        return;
    }
    std::string line;
    while (std::getline(in, line)) {
        auto hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        int no = std::atoi(line.substr(0, eq).c_str());
        std::string dev = line.substr(eq + 1);
        while (!dev.empty() && std::isspace(static_cast<unsigned char>(dev.back())))
            dev.pop_back();
        if (no > 0 && !dev.empty()) r.portDevices[no] = dev;
    }
}

struct EmitContext {
    int devId;
};

int emitSignal(int sigId, float value, LPVOID p)
{
    auto* ctx = static_cast<EmitContext*>(p);
    if (ctx) SetDevValue(ctx->devId, sig_from_driver(sigId), value);
    return 0;
}

void pollDevice(PortWorker& w, Device& d)
{
    d.polls++;
    int ok = 0;
    if (d.query && w.port->isOpen()) {
        EmitContext ctx{d.id};
        std::lock_guard line(w.port->transaction());
        try {
            ok = d.query(w.port.get(), d.addr, emitSignal, &ctx);
        } catch (...) {
            ok = 0;
        }
    }
    if (ok > 0) d.answered++;
    SetDevValue(d.id, SIG_LINK_OK, ok > 0 ? 1.0f : 0.0f);
}

void runCommand(PortWorker& w, Device& d, Command& c)
{
    int result = 0;
    if (d.control && w.port->isOpen()) {
        try {
            std::vector<char> text(c.text.begin(), c.text.end());
            text.push_back('\0');
            std::lock_guard line(w.port->transaction());
            result = d.control(w.port.get(), d.addr, text.data());
        } catch (...) {
            result = 0;
        }
    }
    if (c.result) c.result->set_value(result);
}

// Caller holds w.mutex.
bool hasCommandFor(const PortWorker& w, const Device* d)
{
    for (const auto& job : w.commands)
        if (job.first == d) return true;
    return false;
}

void deviceLoop(PortWorker* w, Device* d)
{
    char name[32];
    std::snprintf(name, sizeof name, "port%d.dev%d", w->port->no(), d->id);
    setThreadName(name);
    Runtime& r = rt();
    while (!r.stopping) {
        // Commands first: an operator waits for them, a poll can wait a little.
        for (;;) {
            std::pair<Device*, Command> job;
            {
                std::lock_guard lock(w->mutex);
                auto it = std::find_if(w->commands.begin(), w->commands.end(),
                                       [d](const auto& j) { return j.first == d; });
                if (it == w->commands.end()) break;
                job = std::move(*it);
                w->commands.erase(it);
            }
            runCommand(*w, *job.first, job.second);
        }
        if (r.stopping) break;
        if (Clock::now() >= d->nextPoll) {
            d->nextPoll = Clock::now() + std::chrono::milliseconds(d->period);
            pollDevice(*w, *d);
        }
        std::unique_lock lock(w->mutex);
        w->wake.wait_until(lock, d->nextPoll, [&] { return r.stopping || hasCommandFor(*w, d); });
    }
}

void portLoop(PortWorker* w)
{
    char name[32];
    std::snprintf(name, sizeof name, "port%d", w->port->no());
    setThreadName(name);
    Runtime& r = rt();
    auto nextOpen = Clock::now();
    bool reportedClosed = false;
    bool started = false;
    while (!r.stopping) {
        auto now = Clock::now();
        if (!w->port->isOpen() && now >= nextOpen) {
            if (!w->port->open() && !reportedClosed) {
                AppLogOut("[port %d] cannot open \"%s\": retrying every 2 s", w->port->no(),
                          w->port->device().c_str());
                reportedClosed = true;
            }
            if (w->port->isOpen()) reportedClosed = false;
            nextOpen = now + std::chrono::seconds(2);
        }
        // The devices start once the first attempt to open the line was made.
        if (!started) {
            for (Device* d : w->devices)
                w->pollers.emplace_back(deviceLoop, w, d);
            started = true;
        }
        w->port->serviceConsole();
        std::unique_lock lock(w->mutex);
        w->wake.wait_until(lock, Clock::now() + std::chrono::milliseconds(500),
                           [&] { return r.stopping.load(); });
    }
    w->wake.notify_all();
    for (auto& t : w->pollers)
        if (t.joinable()) t.join();
    // Anything still queued gets its answer so that no caller waits for ever.
    std::lock_guard lock(w->mutex);
    for (auto& job : w->commands)
        if (job.second.result) job.second.result->set_value(-1);
    w->commands.clear();
}

void runPlugin(Plugin* p)
{
    setThreadName(p->name.c_str());
    p->state = 1;
    try {
        p->run(p->ctx);
    } catch (...) {
        AppLogOut("[%s] DriverRun ended by an exception", p->name.c_str());
    }
    p->state = 2;
}

Device* findDevice(int devId)
{
    Runtime& r = rt();
    for (auto& d : r.devices)
        if (d->id == devId) return d.get();
    return nullptr;
}

int queueCommand(int devId, const char* text, std::shared_ptr<std::promise<int>> result)
{
    Runtime& r = rt();
    std::shared_lock lock(r.mutex);
    Device* d = findDevice(devId);
    if (!d || !text) {
        AppLogOut("[DevControl] device %d is not registered", devId);
        return 0;
    }
    auto it = r.ports.find(d->portNo);
    if (it == r.ports.end()) return 0;
    PortWorker& w = *it->second;
    {
        std::lock_guard qlock(w.mutex);
        if (w.commands.size() >= kMaxQueuedCommands) {
            AppLogOut("[DevControl] queue of port %d full: \"%s\" dropped", d->portNo, text);
            return 0;
        }
        w.commands.emplace_back(d, Command{text, std::move(result)});
    }
    w.wake.notify_all();
    return 1;
}

} // namespace

Port* findPort(int portNo)
{
    Runtime& r = rt();
    std::shared_lock lock(r.mutex);
    auto it = r.ports.find(portNo);
    return it == r.ports.end() ? nullptr : it->second->port.get();
}

std::vector<std::string> describeDevices()
{
    Runtime& r = rt();
    std::shared_lock lock(r.mutex);
    std::vector<std::string> out;
    for (auto& d : r.devices) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "%d port=%d addr=%d driver=%s loaded=%d link=%g polls=%ld answered=%ld",
                      d->id, d->portNo, d->addr, d->driver.c_str(), d->query ? 1 : 0,
                      double(GetDevValue(d->id, SIG_LINK_OK)), d->polls.load(), d->answered.load());
        out.push_back(line);
    }
    return out;
}

std::vector<std::string> describePlugins()
{
    Runtime& r = rt();
    std::shared_lock lock(r.mutex);
    std::vector<std::string> out;
    static const char* states[] = {"absent", "registered", "running", "returned"};
    for (auto& p : r.plugins) {
        char line[256];
        std::snprintf(line, sizeof line, "%s server=%d state=%s", p->name.c_str(), p->serverId,
                      states[p->state + 1]);
        out.push_back(line);
    }
    return out;
}

std::string signalText(int devId, int base, int count)
{
    std::string s;
    for (int k = 0; k < count; ++k) {
        int c = GetDevIValue(devId, base + k);
        if (c <= 0) break;
        s += char(c & 0xff);
    }
    return s;
}

std::string timeText(long long t)
{
    time_t tt = t < 0 ? time(nullptr) : time_t(t);
    struct tm tm;
    localtime_r(&tt, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

void resetForTests(const std::string& appDir)
{
    setenv("CARDMON_APP_DIR", appDir.c_str(), 1);
    openSettings(appDir);
    clearSignals();
    Runtime& r = rt();
    std::unique_lock lock(r.mutex);
    r.callbacks.clear();
}

} // namespace fieldcore

using namespace fieldcore;

extern "C" {

int initDataMonitor(SCfgIdu* idu, int)
{
    if (!idu) return -1;
    idu->impl = &rt();
    prepareCrashLog();
    platform::makeDirs(platform::appPath("data"));
    chmod(platform::appPath("data").c_str(), 0700); // logs and records: the card's own
    GetSettingi2("ups_lost", 0); // opens the settings store now, not in the LED loop
    readPortsConf();
    return 0;
}

int addPort(SCfgIdu* idu, int portNo, const char* type, int timeoutMs, const char* params)
{
    if (!idu || !idu->impl) return -1;
    Runtime& r = rt();
    std::unique_lock lock(r.mutex);
    if (r.ports.count(portNo)) {
        AppLogOut("[addPort] port %d registered twice", portNo);
        return -1;
    }
    auto w = std::make_unique<PortWorker>();
    w->port =
        std::make_unique<Port>(portNo, type ? type : "serial", timeoutMs, params ? params : "");
    auto dev = r.portDevices.find(portNo);
    if (dev != r.portDevices.end())
        w->port->setDevice(dev->second); // a real device file of this machine
    else
        AppLogOut("[addPort] no device file for port %d in config/ports.conf", portNo);
    r.ports[portNo] = std::move(w);
    return 0;
}

int addDev(SCfgIdu* idu, int devId, int portNo, int busAddr, const char* driverName, int nTimeSpan)
{
    if (!idu || !idu->impl || !driverName) return -1;
    Runtime& r = rt();
    std::unique_lock lock(r.mutex);
    auto port = r.ports.find(portNo);
    if (port == r.ports.end()) {
        AppLogOut("[addDev] device %d names port %d, which is not registered", devId, portNo);
        return -1;
    }
    auto d = std::make_unique<Device>();
    d->id = devId;
    d->portNo = portNo;
    d->addr = busAddr;
    d->driver = driverName;
    d->period = nTimeSpan > 0 ? nTimeSpan : 1000;
    d->handle = loadLibrary(driverName);
    d->query = symbol<decltype(d->query)>(d->handle, "Query");
    d->control = symbol<decltype(d->control)>(d->handle, "Control");
    if (d->handle && !d->query)
        AppLogOut("[addDev] driver %s has no Query: device %d is not polled", driverName, devId);
    if (auto info = symbol<char* (*)()>(d->handle, "DLLInfo")) info();
    port->second->devices.push_back(d.get());
    r.devices.push_back(std::move(d));
    return 0;
}

int addServer(SCfgIdu* idu, int serverId, const char* pluginName, const char* param)
{
    if (!idu || !idu->impl || !pluginName) return -1;
    Runtime& r = rt();
    std::unique_lock lock(r.mutex);
    auto p = std::make_unique<Plugin>();
    p->serverId = serverId;
    p->name = pluginName;
    p->param = param ? param : "";
    p->handle = loadLibrary(pluginName);
    p->init = symbol<decltype(p->init)>(p->handle, "DriverInit");
    p->run = symbol<decltype(p->run)>(p->handle, "DriverRun");
    p->stop = symbol<decltype(p->stop)>(p->handle, "DriverStop");
    p->filter = symbol<decltype(p->filter)>(p->handle, "EventFilter");
    p->info = symbol<decltype(p->info)>(p->handle, "DLLInfo");
    if (!p->handle)
        p->state = -1;
    else if (!p->run)
        AppLogOut("[addServer] %s has no DriverRun: it will not run", pluginName);
    r.plugins.push_back(std::move(p));
    return 0;
}

int startDataMonitor(SCfgIdu* idu)
{
    if (!idu || !idu->impl) return -1;
    Runtime& r = rt();
    std::vector<Plugin*> plugins;
    {
        std::shared_lock lock(r.mutex);
        for (auto& p : r.plugins)
            plugins.push_back(p.get());
    }
    // Every task is initialised before any of them runs, in registration order.
    for (Plugin* p : plugins) {
        if (!p->handle) continue;
        try {
            if (p->info) p->info();
            p->ctx = p->init ? p->init(const_cast<char*>(p->param.c_str())) : nullptr;
        } catch (...) {
            AppLogOut("[%s] DriverInit failed", p->name.c_str());
        }
    }
    r.running = true;
    {
        std::shared_lock lock(r.mutex);
        for (auto& [no, w] : r.ports)
            w->thread = std::thread(portLoop, w.get());
    }
    for (Plugin* p : plugins)
        if (p->handle && p->run) p->thread = std::thread(runPlugin, p);
    startControlServer();
    AppLogOut("[startDataMonitor] %zu ports, %zu devices, %zu servers", r.ports.size(),
              r.devices.size(), r.plugins.size());
    return 0;
}

int stopDataMonitor(SCfgIdu* idu)
{
    if (!idu || !idu->impl) return -1;
    Runtime& r = rt();
    if (r.stopping.exchange(true)) return 0;
    stopControlServer();
    std::vector<Plugin*> plugins;
    {
        std::shared_lock lock(r.mutex);
        for (auto& p : r.plugins)
            plugins.push_back(p.get());
    }
    for (Plugin* p : plugins)
        if (p->stop) {
            try {
                p->stop(p->ctx);
            } catch (...) {
            }
        }
    for (auto& [no, w] : r.ports) {
        w->wake.notify_all();
        if (w->thread.joinable()) w->thread.join();
    }
    // A task that does not return within 3 s is left behind; the process is ending.
    auto deadline = Clock::now() + std::chrono::seconds(3);
    for (Plugin* p : plugins) {
        if (!p->thread.joinable()) continue;
        while (p->state == 1 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (p->state == 1)
            p->thread.detach();
        else
            p->thread.join();
    }
    r.running = false;
    return 0;
}

int DevControl(int devId, const char* cmdText)
{
    try {
        return queueCommand(devId, cmdText, nullptr);
    } catch (...) {
        return 0;
    }
}

int DevControlWait(int devId, const char* cmdText, int timeoutMs)
{
    try {
        auto result = std::make_shared<std::promise<int>>();
        auto future = result->get_future();
        if (!queueCommand(devId, cmdText, result)) return 0;
        if (future.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready)
            return -1;
        return future.get();
    } catch (...) {
        return -1;
    }
}

int postEvent(int channel, int eventType, void* data, int size)
{
    Runtime& r = rt();
    std::vector<Plugin*> targets;
    {
        std::shared_lock lock(r.mutex);
        for (auto& p : r.plugins)
            if (p->filter) targets.push_back(p.get());
    }
    for (Plugin* p : targets) {
        try {
            p->filter(channel, eventType, data, size);
        } catch (...) {
            AppLogOut("[postEvent] %s failed on event %d/%d", p->name.c_str(), channel, eventType);
        }
    }
    return int(targets.size());
}

int RegisterDevCallback(int serverId, DEVCALLBACKPROC fn)
{
    Runtime& r = rt();
    std::unique_lock lock(r.mutex);
    r.callbacks[serverId] = fn;
    return 0;
}

int DevCallback(int serverId, int code, void* data, int size)
{
    DEVCALLBACKPROC fn = nullptr;
    {
        Runtime& r = rt();
        std::shared_lock lock(r.mutex);
        auto it = r.callbacks.find(serverId);
        if (it != r.callbacks.end()) fn = it->second;
    }
    if (!fn) return -1;
    try {
        return fn(code, data, size);
    } catch (...) {
        return -1;
    }
}

} // extern "C"
