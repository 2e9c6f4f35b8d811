/*
 * ascii.hpp - what the drivers of the text-protocol UPS family share.
 *
 * These UPSs take a short command ending in a carriage return ("Q1\r") and
 * answer with one fixed-format line: a start character, fields at fixed
 * byte positions separated by blanks, a carriage return. A driver states its
 * command table, its records (which positions must hold a blank, which hold
 * numbers, flags or texts) and its decoders; this file holds the rest:
 *
 *   - the two number readers of the protocol (digits joined, or digits up to
 *     the first non-digit) and the reply record with its blank checks;
 *   - blank-separated token replies ("QT");
 *   - one poll cycle over a command table: write, wait, read (joined from at
 *     most two reads, an echo of the command dropped), decode, pause;
 *   - the control texts of the family and their three-attempt send;
 *   - what the KYTO drivers do alike: the MODEL and I replies, the output
 *     source of a QT mode, the command choice and cycle with the learnt
 *     model and QT, and the driver object.
 *
 * Nothing here blocks except through the PortIo it is given, so a driver's
 * cycle runs against a scripted port in the unit tests.
 */
#pragma once

#include "common.h"
#include "driver_shell.hpp"

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace upscommon::ascii
{

// A number field longer than this reads as 0.
constexpr int kMaxNumberField = 20;
// Pause after every command that brought an answer.
constexpr int kAnswerPauseMs = 300;
// A command text in a table fits this many bytes.
constexpr int kCommandBytes = 10;
constexpr int kAsciiTokens = 10;
constexpr int kSendAttempts = 3;

// The decimal digits of the field joined into one integer, times factor.
// "." and blanks are ignored wherever they stand; any other character, or a
// field longer than kMaxNumberField, gives 0 ("230.5" x 0.1 = 230.5).
float number(const char* s, int len, float factor);

// The digits up to the first character that is not a digit once a digit has
// been seen, times factor. Before the first digit "." and blanks are skipped
// and anything else ends the field; no digit gives 0 ("220/380" = 220).
float leadingNumber(const char* s, int len, float factor);

// One reply as its fixed-size record: the first `size` bytes of the reply,
// zeros where the reply was shorter (so the blank checks reject it).
class Record
{
  public:
    Record(const uint8_t* reply, int got, int size);
    int size() const { return static_cast<int>(bytes_.size()); }
    char at(int pos) const { return pos >= 0 && pos < size() ? bytes_[pos] : '\0'; }
    // Every listed position holds a blank.
    bool blanks(std::initializer_list<int> positions) const;
    // A one-character flag: "1" is set, anything else clear.
    bool set(int pos) const { return at(pos) == '1'; }
    int flag(int pos) const { return set(pos) ? 1 : 0; }
    // Fields by their first and last position (both included).
    std::string_view text(int first, int last) const;
    float number(int first, int last, float factor = 1) const;
    float leadingNumber(int first, int last, float factor = 1) const;

  private:
    std::string bytes_;
};

// Blank-separated fields of a token reply: an optional "(" at the start is
// skipped, then fields of at most maxLen characters, each ended by a blank or
// (the last one) by the carriage return or the end of the reply. Reading
// stops at a field that is too long or at a character below the blank;
// `clean` tells whether the whole reply was read that way.
struct Tokens {
    std::vector<std::string_view> fields;
    std::vector<bool> blankAfter; // field i was ended by a blank
    bool clean = false;
};
Tokens tokens(const uint8_t* reply, int size, int maxLen);

// Reports the character codes of a text field, one signal per character.
void textSignals(Reports& out, int firstSig, std::string_view text);

inline void value(Reports& out, int sig, float v)
{
    out.push_back({sig, v, ReportKind::Value});
}
// An alarm flag: the cycle settles flags several replies report.
inline void flag(Reports& out, int sig, bool on)
{
    out.push_back({sig, on ? 1.0f : 0.0f, ReportKind::Flag});
}

// One query command: its label, the text sent, the exact reply length and
// the wait between writing it and reading the answer.
struct Command {
    const char* name;
    const char* text;
    int recvsize;
    int waitMs;
};

inline int textSize(const Command& q)
{
    return static_cast<int>(std::char_traits<char>::length(q.text));
}

// What a driver's cycle decides per command.
struct CycleRules {
    // Leave command i out this cycle (no I/O, no pause).
    std::function<bool(int i)> skip;
    // Command i brought nothing.
    std::function<void(int i)> silent;
    // Decodes the reply of command i (got bytes, the echo of the command
    // already dropped); false when it was rejected (a blank out of place, a
    // torn line): such a reply does not count as an answer.
    std::function<bool(int i, const uint8_t* reply, int got, Reports& out)> decode;
};

// One poll cycle over list, in order: stops with 0 while *exitFlag is 1 or
// on a short write; returns 1 when at least one reply was decoded. A decoder
// that throws loses its reply only.
int pollCycle(const PortIo& io, void* fd, int id, std::span<const Command> list,
              const int* exitFlag, const CycleRules& rules, Cycle& out);

// The command text of control command `command` of the KYTO text protocol
// (0-8, 23, 24) from its tokens (token 0 is the number; token 1 the test
// minutes, 2 the standby/restart minutes, 5 the shutdown delay in seconds).
// Empty when the command is not one of them or an argument is missing or does
// not fit its digits.
std::string kytoControlText(int command, const std::vector<std::string>& tokens);

// Writes a control text up to three times until it is written whole, then
// pauses 300 ms (no reply is read). 1 done, 0 after three short writes.
int sendText(const PortIo& io, void* fd, int id, int cmdId, std::string_view text);

// Control of a KYTO text-protocol driver: 50 raw send, 54/55 suspend and
// resume polling through *exitFlag (result 0), the control texts otherwise.
int kytoControl(const PortIo& io, void* fd, int id, const char* cmdStr, int& exitFlag);

// The same for a UPS that takes only some of the control texts: a command
// number not in `taken` is refused (0) without touching the line; 50, 54 and
// 55 are always served.
int kytoControl(const PortIo& io, void* fd, int id, const char* cmdStr, int& exitFlag,
                std::span<const int> taken);

// Four-digit driver number of a catalogue signal (d0abc -> d.abc).
constexpr int drv(int stored)
{
    return stored / 10000 * 1000 + stored % 10000;
}

// Field n (counted from 1) of a token reply read as a number (see number()).
float tokenNumber(const Tokens& t, int n, float factor);

// What the KYTO text-protocol drivers learn from the UPS and keep between
// cycles: the model from "MODEL", whether the UPS answers "QT", and the
// polling suspension of the control commands.
struct KytoLearnt {
    int& typeModel;
    int& isExistQt;
    int& exitFlag;
};

// "MODEL": "TYPE" and the three-digit model, learnt into typeModel.
bool kytoModel(int& typeModel, const Record& r, Reports& out);

// "I": manufacturer, model and software version texts.
bool kytoIdentity(const Record& r, Reports& out);

// Output source of a QT mode code (the output voltage tells the two kinds of
// mode 6 apart).
int kytoQtSource(int code, float outVol);

// Where a KYTO driver's table holds the commands the family chooses alike:
// MODEL only while the model is unknown, QT only once it is known, NS never.
struct KytoCommands {
    int model;
    int qt;
    int ns;
};
bool kytoSkipped(const KytoCommands& c, int typeModel, int index);

// One poll cycle of a KYTO driver over list: skip(learnt at the start, i)
// chooses the commands (the model learnt in this cycle changes the choice
// from the next one on); a silent QT (command qtIndex), or one this short that
// does not end the line, clears isExistQt; a cycle with no answer while
// polling runs forgets the model (and QT as well when forgetQt).
int kytoCycle(const PortIo& io, void* fd, int id, std::span<const Command> list, int qtIndex,
              KytoLearnt learnt, bool forgetQt, const std::function<bool(int i)>& skip,
              const std::function<bool(int i, const uint8_t* reply, int got, Reports& out)>& decode,
              Cycle& out);

// A KYTO text-protocol driver on the driver shell: keeps State (which holds
// exit_upslib_flag) while the library is loaded, polls with Query and serves
// the family's control commands.
template <class State, int (*Query)(State&, const PortIo&, void*, int, Cycle&)>
class KytoDriver : public upscommon::Driver
{
  public:
    int query(const PortIo& io, void* port, int addr, Cycle& out) override
    {
        return Query(state_, io, port, addr, out);
    }
    int control(const PortIo& io, void* port, int addr, const char* cmd) override
    {
        return kytoControl(io, port, addr, cmd, state_.exit_upslib_flag);
    }
    int test(const PortIo&, void*, int, Cycle&) override
    {
        printf("Test");
        return 1;
    }
    State& state() { return state_; }

  private:
    State state_;
};

} // namespace upscommon::ascii
