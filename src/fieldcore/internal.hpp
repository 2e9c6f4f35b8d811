/*
 * internal.hpp - pieces of the runtime shared between its files.
 */
#pragma once

#include "fieldcore.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/un.h>
#include <thread>
#include <vector>

namespace fieldcore
{

// ---- logs (logs.cpp) ----
void logLine(const char* file, const std::string& line);
std::string appLogPath();
void prepareCrashLog();
extern char crashPath[512];

// ---- settings (settings.cpp) ----
// Opens (or re-opens) the store under dir/config; used at start and by tests.
void openSettings(const std::string& appDir);
std::vector<std::pair<std::string, std::string>> listSettings();

// ---- signals (signals.cpp) ----
void clearSignals();
std::vector<std::pair<int, float>> listSignals(int devId);

// ---- ports (ports.cpp) ----
struct PortParams {
    int baud = 9600;
    int parity = 0; // 0 n, 1 o, 2 e, 3 s, 4 m
    int dataBits = 8;
    int stopBits = 1;
};
// Parses the parameter text "9600,n,8,1,0"; false (and defaults) when empty or bad.
bool parsePortParams(const std::string& text, PortParams& out);

// A line shared by several threads: first come, first served (a ticket
// lock), so that a thread that takes it back to back cannot starve the
// others. Recursive for its holder.
class Line
{
  public:
    void lock();
    bool try_lock();
    void unlock();

  private:
    std::mutex m_;
    std::condition_variable turn_;
    unsigned long next_ = 0;    // next ticket handed out
    unsigned long serving_ = 0; // ticket whose turn it is
    std::thread::id owner_;
    int depth_ = 0;
};

class Port
{
  public:
    Port(int no, std::string type, int timeoutMs, std::string params);
    ~Port();

    int no() const { return no_; }
    int timeoutMs() const { return timeoutMs_; }
    const std::string& device() const { return device_; }
    bool isOpen() const { return fd_ >= 0 || net_ != nullptr; }

    // Device file (or "tcp:host:port") from config/ports.conf.
    void setDevice(const std::string& dev) { device_ = dev; }
    // Opens the device with the port's line settings. After a failure, or
    // after the line was lost, it refuses until the back-off has passed.
    bool open();
    void close();

    // Held by a poll thread across a driver's whole Query or Control. Inside
    // it each request the driver writes opens an exchange that keeps the line
    // until the driver has read its reply, so that another user of the line
    // (the RS-485 slave) never takes a reply meant for the driver; between
    // exchanges (a driver's pauses) the line is free for the others.
    class Session
    {
      public:
        explicit Session(Port& p) : port_(p) {}
        void lock() { port_.beginSession(); }
        void unlock() { port_.endSession(); }

      private:
        Port& port_;
    };
    Session& transaction() { return session_; }

    int write(const void* buf, int len);
    int read(void* buf, int max);
    int control(int op, void* arg);

    // Console frames queued by the diagnostics page, sent between polls.
    void pushConsole(int code, std::string bytes);
    int pullConsole(int code, char* buf, int max);
    void serviceConsole();

  private:
    void beginSession();
    void endSession();
    void openExchange();
    int readFrame(unsigned char* p, int max, int firstWaitMs);
    int pendingInput() const;
    bool applyParams();
    void takeWantedParams();
    // The device went away (hang-up, I/O error): close it so that the port
    // thread opens it again. Caller holds io_.
    void lost(const char* what, int err);
    void trace(const char* dir, const unsigned char* data, int len);
    int gapMs() const;
    bool openTcp();
    int readTcp(unsigned char* p, int max);

    int no_;
    std::string type_;
    int timeoutMs_;
    std::string device_;
    PortParams params_; // on the line; changed only under io_
    bool paramsValid_ = false;
    std::mutex wantedMutex_;
    PortParams wanted_; // asked for by CommControl, not yet on the line
    std::atomic<bool> changed_{false};
    std::atomic<int> fd_{-1};
    std::atomic<void*> net_{nullptr}; // libnetport handle of a "tcp:" port
    std::atomic<bool> trace_{false};
    std::atomic<bool> enabled_{true};
    Line io_;
    Session session_{*this};
    long long retryAtMs_ = 0; // no open attempt before this (steady clock, ms)
    int backoffMs_ = 0;       // grows with each failed attempt, 0 after a success

    std::mutex consoleMutex_;
    std::deque<std::pair<int, std::string>> consoleOut_;
    std::map<int, std::string> consoleIn_;
    std::map<int, bool> consoleFailed_;
};

// ---- the runtime (runtime.cpp) ----
struct Plugin;
struct Device;
Port* findPort(int portNo);
std::vector<std::string> describeDevices();
std::vector<std::string> describePlugins();

// ---- control socket (control.cpp) ----
std::string controlSocketPath();
// Fills addr for the socket at path; dirFd >= 0 must be closed after use.
bool socketAddress(const std::string& path, struct sockaddr_un& addr, int& dirFd);
void startControlServer();
void stopControlServer();
// Executes one cardctl request (also used offline by cardctl itself).
std::string handleControl(const std::vector<std::string>& args, bool online);

} // namespace fieldcore
