/*
 * identify.hpp - finding out which protocol, bus address and line speed the
 * UPS on port 1 speaks.
 *
 * A run is asked for by the setting enable_identify (the web's UPS page sets
 * it). The run suspends the UPS driver (event 54, and waits until the driver
 * has really stood still), then probes the line in a fixed order, each probe
 * at 2400, 4800 and 9600 baud:
 *
 *   1. the text protocol: "Q1\r" answered by a 47-byte "(...\r" line; a UPS
 *      that also answers "G1\r" with the three-phase group line is ups_type 1
 *      (txtups_3), else ups_type 0 (txtups_1);
 *   2. Modbus: read input registers 0x8000-0x8003 at addresses 1-5; the model
 *      code 100*r1 + 10*r2 + r3 picks ups_type 5 (222, 297), 2 (251) or 4;
 *   3. the altups protocol: "^P003MOD" answered by "^D" + three digits.
 *
 * Progress goes to signal Data_auto_identify_Progress of the UPS (3, 6, 9 while
 * the driver stops; 10-30, 40-60, 70-90 per probe and rate; 90 found; 95, 100
 * at the end). A run that finds something stores ups_type, ups_addr and
 * ups_baudRate and restarts the card when the protocol changed; any other run
 * writes the old settings back and puts the line back at the old speed at
 * once, so that the driver goes on polling as before.
 *
 * The logic talks to the line through Line and sleeps through a Sleep that
 * ends early when the task stops, so a test drives a whole run without port,
 * thread or clock.
 */
#pragma once

#include "card_runtime.hpp"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace identify
{

// Result codes of a probe and of a run.
enum Result : int {
    kNone = 0,
    kShortWrite = 1, // the request could not be written whole (or no port)
    kNothing = 2,    // nothing came back
    kUnknown = 3,    // something came back, not recognised
    kFound = 4,
};

// ups_type of each protocol found.
constexpr int kTxtUps1 = 0;
constexpr int kTxtUps3 = 1;
constexpr int kRegUpsB = 2;
constexpr int kRegUpsA = 4;
constexpr int kRegUpsA222 = 5;
constexpr int kAltUps = 6;

constexpr int kRates[] = {2400, 4800, 9600};
constexpr int kBufferSize = 200;

// Port 1 as the run uses it.
class Line
{
  public:
    virtual ~Line() = default;
    virtual bool present() = 0;
    virtual int write(const void* buf, int len) = 0;
    virtual int read(void* buf, int max) = 0;
    virtual void setBaud(int rate) = 0;
};

// Sleeps ms; false once the task is stopping (the run then gives up).
using Sleep = std::function<bool(int ms)>;

// Reply checks.
bool checkQ1(const uint8_t* data, int len);
bool checkG1(const uint8_t* data, int len);
bool checkAltups(const uint8_t* data, int len);
// Model code of a valid 13-byte Modbus reply: 100*r1 + 10*r2 + r3 of the
// registers after the first.
int upsVersion(const uint8_t* data);
// ups_type of a Modbus model code.
int protocolOfModel(int code);

class Identifier
{
  public:
    Identifier(card::Runtime& rt, Line& line, Sleep sleep, std::function<void()> reboot);

    // DriverInit: the configured protocol, address and rate.
    void load();
    // One run, as asked for by enable_identify. Returns its result.
    int run();

    int protocol() const { return protocol_; }
    int addr() const { return addr_; }
    int baud() const { return baud_; }
    int result() const { return result_; }
    void clearResult() { result_ = kNone; }

    // The probes (each over the three rates) and the whole search.
    int kyIdentify();
    int modbusIdentify();
    int altupsIdentify();
    int autoIdentify();

  private:
    void progress(float v);
    bool setPortBaud(int index);
    int send(const uint8_t* req, int len);
    int receive(const uint8_t* req, int reqLen, uint8_t* buf, int expected);
    bool pause(int ms);

    card::Runtime& rt_;
    Line& line_;
    Sleep sleep_;
    std::function<void()> reboot_;
    int protocol_ = 0;
    int addr_ = 0;
    int baud_ = 0;
    int result_ = kNone;
    bool stopping_ = false;
};

} // namespace identify
