/*
 * driver_shell.hpp - the shell every device driver is written on.
 *
 * The runtime's port thread calls a driver through Query, Control and Test
 * (and reads its description through DLLInfo/Info). The shell owns those C
 * edges: it hands the driver the port as a PortIo (CommWrite, CommRead, a
 * sleeping pause), catches everything, stamps the description, and gathers
 * one poll cycle's reports in a Cycle so that a signal several replies of the
 * cycle report is published once, settled:
 *
 *   - a measurement has one source and goes out as it is decoded;
 *   - an alarm flag reads 1 if any reply of the cycle set it: a 1 goes out at
 *     once, a 0 only when the cycle ends with no reply having set it;
 *   - a sum row is the sum over the cycle's replies, published at the end.
 *
 * So a reader never sees a value that a later reply of the same cycle takes
 * back. A signal one reply reports as a flag and another as a sum row (a
 * count of fault bits beside a flag that says "at least one") settles to the
 * larger of the two at the end: adding them would count one fault twice.
 * A reply whose decoder throws is lost like a reply that failed its CRC; the
 * cycle still settles what the other replies said.
 *
 * A driver states its command table, decoders and control texts:
 *
 *     struct MyDriver : upscommon::Driver { int query(...) override; ... };
 *     CARD_DRIVER(MyDriver, "description ...\n" CARD_STAMP_SPACE, __DATE__, __TIME__)
 */
#pragma once

#include "card_plugin.hpp"
#include "common.h"

#include <functional>
#include <map>
#include <span>
#include <utility>
#include <vector>

namespace upscommon
{

enum class ReportKind { Value, Flag, Sum };

// One (four-digit signal, value) report of a decoder.
struct Report {
    int sig;
    float value;
    ReportKind kind = ReportKind::Value;
    bool operator==(const Report& o) const { return sig == o.sig && value == o.value; }
};
using Reports = std::vector<Report>;

// One poll cycle's reports on their way to the runtime's callback.
class Cycle
{
  public:
    using Sink = std::function<void(int sig, float value)>;
    explicit Cycle(Sink sink) : sink_(std::move(sink)) {}
    Cycle(ENUMSIGNALPROC process, LPVOID p);
    ~Cycle();
    Cycle(const Cycle&) = delete;
    Cycle& operator=(const Cycle&) = delete;

    // A measurement: published at once.
    void value(int sig, float v);
    // An alarm flag: its first non-zero value at once, a 0 only by finish().
    void flag(int sig, float v);
    // A sum row: added up over the cycle, published by finish().
    void sum(int sig, float v);
    void add(const Report& r);
    void add(const Reports& rs);
    // Publishes the settled flags and sums (once; the destructor calls it too).
    void finish();

  private:
    struct Settling {
        float raised = 0; // first non-zero flag value; 0 while none was raised
        float sum = 0;
        bool summed = false;
    };
    Sink sink_;
    std::map<int, Settling> settling_;
    bool finished_ = false;
};

// One register-map poll cycle over list. skip(i) leaves command i out without
// I/O; decode(i, reply, size, reports) gets every validated reply and its
// reports go to out. A decoder that throws loses its reply's reports only.
// Returns 1 when at least one reply was valid, 0 otherwise (also on a short
// write and when *exitFlag is set). out is not finished here. pauseMs is the
// pause after every decoded reply.
using Decoder = std::function<void(int index, const uint8_t* reply, int size, Reports& out)>;
int pollCycle(const PortIo& io, void* fd, int id, std::span<const cmd> list, const int* exitFlag,
              const std::function<bool(int)>& skip, const Decoder& decode, Cycle& out,
              int pauseMs = kPollPauseMs);

// The port as the shell hands it to a driver on the card.
const PortIo& cardPort();

class Driver
{
  public:
    virtual ~Driver() = default;
    // One poll cycle: 1 when the device answered, else 0.
    virtual int query(const PortIo& io, void* port, int addr, Cycle& out) = 0;
    // One command string of the control grammar: 1 done, 0 refused or failed.
    virtual int control(const PortIo& io, void* port, int addr, const char* cmd) = 0;
    virtual int test(const PortIo&, void*, int, Cycle&) { return 1; }
};

// What Query, Control, Test and DLLInfo do, for any Driver.
class DriverShellBase
{
  public:
    DriverShellBase(Driver& d, char* info, const char* date, const char* time)
        : driver_(d), info_(info), date_(date), time_(time)
    {
    }
    int query(void* fd, int id, ENUMSIGNALPROC process, LPVOID p);
    int control(void* fd, int id, void* cmd);
    int test(void* fd, int id, ENUMSIGNALPROC process, LPVOID p);
    char* info();

  private:
    Driver& driver_;
    char* info_;
    const char* date_;
    const char* time_;
};

template <class T> class DriverShell : public DriverShellBase
{
  public:
    DriverShell(char* info, const char* date, const char* time)
        : DriverShellBase(driver_, info, date, time)
    {
    }
    T& driver() { return driver_; }

  private:
    T driver_;
};

} // namespace upscommon

// Defines Info, Query, Control and DLLInfo of the driver Type (default-
// constructed when the library loads: its learnt state lives as long).
#define CARD_DRIVER_NO_TEST(Type, infoText, date, time)                                            \
    CARD_EXPORT char Info[];                                                                       \
    char Info[] = infoText;                                                                        \
    namespace                                                                                      \
    {                                                                                              \
    upscommon::DriverShell<Type> card_driver{Info, date, time};                                    \
    }                                                                                              \
    CARD_EXPORT int Query(void* fd, int id, ENUMSIGNALPROC process, LPVOID p)                      \
    {                                                                                              \
        return card_driver.query(fd, id, process, p);                                              \
    }                                                                                              \
    CARD_EXPORT int Control(void* fd, int id, void* cmd)                                           \
    {                                                                                              \
        return card_driver.control(fd, id, cmd);                                                   \
    }                                                                                              \
    CARD_EXPORT char* DLLInfo(void)                                                                \
    {                                                                                              \
        return card_driver.info();                                                                 \
    }

// The same with Test.
#define CARD_DRIVER(Type, infoText, date, time)                                                    \
    CARD_DRIVER_NO_TEST(Type, infoText, date, time)                                                \
    CARD_EXPORT int Test(void* fd, int id, ENUMSIGNALPROC process, LPVOID p)                       \
    {                                                                                              \
        return card_driver.test(fd, id, process, p);                                               \
    }
