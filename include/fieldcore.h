/*
 * fieldcore.h - the acquisition runtime's interface.
 *
 * libfieldcore loads drivers and tasks by name (lib<name>.so from the app's lib/),
 * polls every device on its port's thread, runs every task in a thread of its own,
 * and owns the settings store, the signal store, the event bus, port I/O and the
 * logs. cardmon registers ports, devices and tasks; everybody else only calls the
 * functions below. Every function may be called from any thread.
 *
 * The second half of this file declares the entry points that plug-ins export
 * (tasks: DriverInit/DriverRun/DriverStop/EventFilter/DLLInfo; drivers:
 * Query/Control/Test/DLLInfo/Info) so that their definitions get C linkage.
 */
#ifndef FIELDCORE_H
#define FIELDCORE_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* LPVOID;
typedef unsigned char UINT8;

/* Signal callback a driver reports through: process(signal, value, p). */
typedef int (*ENUMSIGNALPROC)(int sigId, float value, LPVOID p);

/* Store-style callback bound with RegisterDevCallback. */
typedef int (*DEVCALLBACKPROC)(int code, void* data, int size);

/* Configuration root; cardmon owns exactly one for its whole life. */
typedef struct SCfgIdu {
    void* impl; /* runtime-private */
} SCfgIdu;

/* ---- set-up (cardmon only, in this order) ---- */
int initDataMonitor(SCfgIdu* idu, int reserved);
int addPort(SCfgIdu* idu, int portNo, const char* type, int timeoutMs, const char* params);
int addDev(SCfgIdu* idu, int devId, int portNo, int busAddr, const char* driverName, int nTimeSpan);
int addServer(SCfgIdu* idu, int serverId, const char* pluginName, const char* param);
int startDataMonitor(SCfgIdu* idu);
/* Stops every task (DriverStop), every port thread, and unloads the libraries. */
int stopDataMonitor(SCfgIdu* idu);

/* ---- settings (persistent, typed by use) ----
 * Text results live in a small per-thread ring of buffers: copy them before the
 * next 16 calls of the same thread. A key that was never saved gives the default
 * ("" for GetSettings, 0 for GetSettingi). */
const char* GetSettings(const char* key);
const char* GetSettings2(const char* key, const char* def);
int GetSettingi(const char* key);
int GetSettingi2(const char* key, int def);
float GetSettingf(const char* key);
float GetSettingf2(const char* key, float def);
int SaveSettings(const char* key, const char* value);
int SaveSettingi(const char* key, int value);
int SaveSettingf(const char* key, float value);
/* Removes a key; later reads give the default. */
int DeleteSetting(const char* key);

/* ---- signals ---- */
float GetDevValue(int devId, int sigNo);
int GetDevIValue(int devId, int sigNo);
int SetDevValue(int devId, int sigNo, float value);

/* Queues a command text for the device's Control on its port thread.
 * 1 queued, 0 unknown device or queue full. */
int DevControl(int devId, const char* cmdText);
/* The same, waiting up to timeoutMs for Control's result (-1 on time-out). */
int DevControlWait(int devId, const char* cmdText, int timeoutMs);

/* ---- events ---- */
int postEvent(int channel, int eventType, void* data, int size);
int RegisterDevCallback(int serverId, DEVCALLBACKPROC fn);
int DevCallback(int serverId, int code, void* data, int size);

/* ---- ports ---- */
enum {
    COMM_CTL_FD = 4097,       /* arg: int* receives the file descriptor */
    COMM_CTL_BAUD = 4098,     /* arg: int* baud rate */
    COMM_CTL_PARITY = 4099,   /* arg: int* 0 n, 1 o, 2 e, 3 s, 4 m */
    COMM_CTL_DATABITS = 4100, /* arg: int* */
    COMM_CTL_STOPBITS = 4101, /* arg: int* */
    COMM_CTL_ENABLE = 4102,   /* arg: int* 1 enables the port */
    COMM_CTL_TRACE = 4103     /* arg: int* 1 logs the port's traffic */
};
void* getPortHandle(int portNo);
int CommWrite(void* h, const void* buf, int len);
/* Waits up to the port time-out for a first byte, then collects what arrives
 * until the line has been quiet for an inter-frame gap. Returns the count. */
int CommRead(void* h, void* buf, int max);
int CommControl(void* h, int op, void* arg, int len);
/* Port console: queue raw bytes to send between polls of port portNo, and fetch
 * what came back. PullControlCmd: count, 0 while nothing came, -2 when the frame
 * could not be sent (no such port). */
int PushContorlCmd(int portNo, int code, const char* data, int len);
int PullControlCmd(int portNo, int code, char* buf, int max);

/* ---- logs ---- */
void AppLogOut(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void ControlLogOut(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
/* Appends "head text\n" to file, keeping the file below maxBytes (the older
 * half is dropped when the record would not fit). 0 ok, -1 error. */
int writeLog(const char* file, const char* head, const char* text, int maxBytes);
const char* getDataLogPath(void);
int setDataLogPath(const char* dir);
void setThreadName(const char* name);
void OnCrashHandler(int sig);

/* ---- network and account ---- */
int GetIpaddress(char* buf, int size);
int GetNetmask(char* buf, int size);
int GetGateway(char* buf, int size);
/* Changes the runtime account's password; > 0 on success. */
int setPassed(const char* user, const char* passwd, const char* newpasswd);

/* ======== entry points exported by plug-ins ======== */

/* Tasks (servers). DriverInit gets the server's parameter text; DriverRun and
 * DriverStop get what DriverInit returned. */
void* DriverInit(void* arg);
int DriverRun(void* arg);
int DriverStop(void* arg);
int EventFilter(int channel, int eventType, void* data, int size);
char* DLLInfo(void);

/* Drivers. fd is the port handle for CommWrite/CommRead, id the bus address. */
int Query(void* fd, int id, ENUMSIGNALPROC process, LPVOID p);
int Control(void* fd, int id, void* pCmdStr);
int Test(void* fd, int id, ENUMSIGNALPROC process, LPVOID p);

#ifdef __cplusplus
}
#endif
#endif
