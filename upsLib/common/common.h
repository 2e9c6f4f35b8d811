/*
 * common.h - the frame codec and polling helpers shared by every serial driver.
 *
 * The C half is the codec every driver, the serial Modbus slave and the
 * identification task carry: CRC-16/MODBUS, Modbus request builders, big-endian
 * byte helpers, blank skipping, reply validation. Those names keep C linkage so
 * they look the same from every library that links the codec.
 *
 * The C++ half (namespace upscommon) holds what the register-map drivers share
 * above the codec: request filling, reply reading and validation, the
 * control-string grammar, the raw send and the three-attempt control send.
 * Port I/O goes through a PortIo of function pointers so that drivers hand in
 * CommWrite/CommRead and tests hand in fakes. The poll cycle over a command
 * table, which feeds a Cycle, is declared with the driver shell
 * (driver_shell.hpp).
 */
#ifndef UPSLIB_COMMON_H
#define UPSLIB_COMMON_H

#include "fieldcore.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One query command of a driver's poll table. */
typedef struct cmd {
    char name[4];            /* label; the register-map drivers use "01" */
    unsigned char commd[10]; /* prebuilt request; byte 0 and the CRC are filled per call */
    int recvsize;            /* exact length of a complete reply */
    int cmdSize;             /* request length (8 for Modbus requests) */
} cmd;

/* One control command of a register-map driver. */
typedef struct controlCmd {
    char name[4]; /* "00", "01", ... */
    unsigned char func;
    unsigned short addr;
    int recvsize;
    int cmdSize;
    int argc;
    int factor;
} controlCmd;

/* CRC over the first size-2 bytes, stored low byte first in the last two.
 * -1 for a null buffer or size <= 3 (buffer untouched), else 0. */
int setModbusCRC(char* buf, int size);
/* 0 when the last two bytes hold the CRC of the ones before, else -1. */
int checkModbufCRC(char* buf, int size);
/* 8-byte write-single-register request (function 6). 0, or -1 on a null buffer. */
int mod_Set_SetBuf(char* buf, int bAddr, int bNumber, int wValue);
/* 8-byte request addr, func, bNumber, wValue, CRC; returns the expected reply
 * length (function 2, 3, 4, 6), 0 for other functions, -1 on a null buffer. */
int buildCmd(char* buf, int bAddr, int func, int bNumber, int wValue);
/* Function 15 or 16 request with its data; returns the frame length, -1 for
 * other functions, a null buffer or values, or a count outside Modbus limits
 * (1..1968 coils, 1..123 registers). buf must hold 9 + 2*count bytes. */
int buildCmdOther(char* buf, int bAddr, int func, unsigned int bDataAddr, int bDataNum,
                  int* wValue);
unsigned short UINT8_2_to_UINT16(UINT8* buffer);
unsigned int UINT8_4_to_UINT32(UINT8* buffer);
/* First character of pKey that is not a blank. */
char* FiltSpace(char* pKey);
/* Validates a reply of exactly size bytes: no exception, byte count matching,
 * CRC right. 0 valid, -1 rejected (with a line on standard output). */
int checkVaild(char* data, int size);
/* Hands one float report to the runtime's callback (valueType and eventType
 * are carried for the contract's sake and never reach the callback). */
int valueToProcess(int id, int valueType, int eventType, void* value, ENUMSIGNALPROC proc,
                   LPVOID p);

#ifdef __cplusplus
}

#include <cstdint>
#include <string>
#include <vector>

namespace upscommon
{

constexpr int kReplyBufSize = 1000;    // one reply in the poll cycle
constexpr int kControlFrameSize = 100; // one control frame
constexpr int kControlReplySize = 10;  // one control reply
constexpr int kMaxTokens = 20;         // command string tokens, the number included
constexpr int kMaxTokenLen = 19;
constexpr int kControlAttempts = 3;
constexpr int kPollPauseMs = 300;

// The port as a driver sees it. Drivers fill it with CommWrite/CommRead and a
// sleeping pause; tests with fakes.
struct PortIo {
    int (*write)(void* h, const void* buf, int len);
    int (*read)(void* h, void* buf, int max);
    void (*pauseMs)(int ms);
};

// Copies the request of c into out (cmdSize bytes), puts devId in byte 0 and
// fills the CRC. Returns cmdSize, or 0 when the record is unusable.
int fillRequest(const cmd& c, int devId, uint8_t* out, int outSize);

// Reads one reply into buf: one read, and when it brought some but fewer than
// expected bytes, one more appended behind. Never writes past cap.
int readReply(const PortIo& io, void* fd, uint8_t* buf, int cap, int expected);

// A reply is accepted when at least `expected` bytes arrived and checkVaild
// accepts the first `expected` of them.
bool replyValid(const uint8_t* data, int received, int expected);

// The command number: atoi of at most the first 5 characters before the first
// comma; -1 when they hold no number at all.
int commandNumber(const char* s);

// Splits a command string at commas into at most maxTokens tokens (token 0 is
// the command number; further ones are dropped). Fails when a token is longer
// than kMaxTokenLen characters: such a string is refused, not truncated.
bool splitTokens(const char* s, int maxTokens, std::vector<std::string>& out);

// Parses "50,<data_type>,<payload>" into the bytes to write. data_type 0 takes
// the payload as it stands, any other reads hexadecimal text (blanks skipped,
// an odd last nibble dropped). Fails on a missing token, a bad hex digit, an
// empty result or more than maxLen bytes.
bool parseRawSend(const char* s, std::vector<uint8_t>& out, int maxLen = kControlFrameSize);

// Command 50: writes the parsed payload; 1 when all of it was written, else 0.
int controlSendData(const PortIo& io, void* fd, const char* cmdStr);

// Writes a control frame up to three times until the UPS acknowledges it.
// 1 on an acknowledged write, 0 after three failed attempts.
int controlSendFrame(const PortIo& io, void* fd, int id, int cmdId, const uint8_t* frame, int len);

} // namespace upscommon
#endif
#endif
