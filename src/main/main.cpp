/*
 * cardmon - the card's one resident program.
 *
 * At boot it finishes installing files shipped in a firmware package, repairs
 * the network configuration, sets the time zone, registers the ports, devices
 * and tasks with the runtime and starts it; afterwards its own thread only
 * blinks the two status LEDs (system: pin 9, communication: pin 8, slower while
 * the UPS is lost). It works in the app directory; every card path goes through
 * the platform layer so that off the card it stays inside a sandbox.
 */
#include "card.hpp"
#include "fieldcore.h"
#include "gpio.hpp"
#include "platform.hpp"
#include "startup.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fstream>
#include <string>
#include <unistd.h>

using platform::appPath;
using platform::fileExists;
using platform::runShell;
using platform::shellQuote;
using platform::sysPath;

namespace
{

SCfgIdu idu;
platform::GpioPage gpio;
std::atomic<bool> quit{false};

constexpr int kLedSystem = 9;
constexpr int kLedComm = 8;
constexpr int kLedPeriod = 50;
constexpr int kLedPeriodLost = 150;

std::string q(const std::string& path)
{
    return shellQuote(path);
}

std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

// Step 1: files a firmware package may have left for installation.
void installPackages()
{
    const std::string gconvTar = appPath("/root/app/gconv.tar.gz");
    const std::string gconvMods = sysPath("/usr/lib/gconv/gconv-modules");
    if (fileExists(gconvTar) && !fileExists(gconvMods))
        runShell("tar -zxvf " + q(gconvTar) + " -C " + q(sysPath("/usr/lib/")));
    if (fileExists(gconvTar) && fileExists(gconvMods)) runShell("rm " + q(gconvTar) + " -rf");

    struct Archive {
        const char* tar;
        const char* into;
        const char* proof;
    };
    static const Archive archives[] = {
        {"/root/app/data/snmpd.tar.gz", "/usr/bin/", "/usr/bin/snmpd"},
        {"/root/app/data/snmplib.tar.gz", "/usr/lib/", "/usr/lib/libnetsnmp.so.30"},
    };
    for (const auto& a : archives) {
        const std::string tar = appPath(a.tar);
        if (!fileExists(tar)) continue;
        runShell("tar -zxvf " + q(tar) + " -C " + q(sysPath(a.into)));
        if (fileExists(sysPath(a.proof))) runShell("rm " + q(tar) + " -rf");
    }

    const std::string packTable = appPath("/root/app/batpack_y.db");
    if (fileExists(packTable)) {
        runShell("cp " + q(packTable) + "  " + q(appPath("/root/app/config/signalTable")));
        runShell("rm " + q(packTable) + " -rf");
    }

    const std::string snmpcmd = appPath("/root/app/snmpcmd");
    const std::string home = sysPath("/home/admin/");
    if (fileExists(snmpcmd)) {
        runShell("mkdir " + q(home) + " -p ");
        if (fileExists(home)) runShell("cp " + q(snmpcmd) + " " + q(home));
        runShell("rm " + q(snmpcmd) + " -rf");
        if (fileExists(home + "snmpcmd")) runShell("chmod 777 " + q(home + "snmpcmd") + " ");
    }
    std::string users = firstLine(platform::runCapture(
        "cat " + q(sysPath("/etc/passwd")) + " 2>/dev/null | cut -d: -f1 | grep -w 'admin'"));
    if (!users.empty()) {
        if (users.find("admin") != std::string::npos) AppLogOut("User already exists!\n");
    } else {
        AppLogOut("Useradd!\n");
        runShell("adduser admin -s \"/home/admin/./snmpcmd\" <<EOF\npqlzv\npqlzv\nEOF");
    }
}

// The handler runs once: a second fault inside it takes the default course.
void installCrashHandlers()
{
    struct sigaction sa {
    };
    sa.sa_handler = OnCrashHandler;
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    void* frame[1];
    backtrace(frame, 1); // loads the unwinder now, never inside the handler
    for (int sig : {SIGSEGV, SIGABRT, SIGFPE, SIGILL, SIGBUS, SIGSTKFLT})
        sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void setZone(const char* zone)
{
    setenv("TZ", zone, 1);
    tzset();
}

// Style 0: the zone named in config/Timezone.
bool zoneFromFile()
{
    std::string text;
    if (!platform::readFile(appPath("config/Timezone"), text, 99)) return false;
    text = firstLine(std::string(text.c_str()));
    const char* zone = cardmon::zoneFromLine(text);
    if (!zone) return false;
    setZone(zone);
    return true;
}

// Style 1: the zone from the settings, written to config/Timezone.
void zoneFromSettings()
{
    const std::string path = appPath("config/Timezone");
    if (fileExists(path)) return;
    AppLogOut("Timezone File is not exist");
    int tz = GetSettingi2("ntimezone", 26);
    int dst = GetSettingi2("time_dst", 1);
    const char* zone = cardmon::zoneFromSettings(tz, dst);
    if (zone)
        setZone(zone);
    else
        AppLogOut("[main] ntimezone %d out of range: time zone left unchanged", tz);
    AppLogOut("Now set TZ env:%s", zone ? zone : "");
    platform::writeFile(path, cardmon::zoneRecord(zone ? zone : ""));
}

void mapGpio()
{
    if (!gpio.map()) {
        AppLogOut("[main] GPIO page cannot be mapped: LEDs stay dark");
        return;
    }
    using G = platform::GpioPage;
    gpio.write(G::kDirection, gpio.read(G::kDirection) | 0x3C0);
    gpio.drivePin(kLedComm, 0);
    gpio.drivePin(kLedSystem, 0);
}

// Replaces a system file whole: written beside it, then renamed over it, so
// that a failed write leaves the old file as it was.
bool replaceFile(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".new";
    if (!platform::writeFile(tmp, text)) {
        AppLogOut("[main] cannot write %s: %s", tmp.c_str(), std::strerror(errno));
        std::remove(tmp.c_str());
        return false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        AppLogOut("[main] cannot replace %s: %s", path.c_str(), std::strerror(errno));
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

void logLines(const std::string& text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        AppLogOut("%s", text.substr(start, end - start).c_str());
        start = end + 1;
    }
}

// Step 8: rewrites the interfaces file and reboots when eth0 is missing. A
// reboot that did not bring eth0 up is not asked for again for the same
// settings: the card starts with what it has and says why, instead of
// rebooting for ever. config/netcheck remembers what the last reboot was for.
void checkNetwork()
{
    const std::string dhcpSet = GetSettings2("dhcpSet", "");
    const std::string ip = GetSettings2("ipAddr", "");
    const std::string mask = GetSettings2("netmask", "");
    const std::string gateway = GetSettings2("gateway", "");
    const std::string interfaces = sysPath("/etc/network/interfaces");
    const std::string lastReboot = appPath("config/netcheck");
    if (!fileExists(interfaces)) return;
    std::string head = firstLine(platform::runCapture("ifconfig"));
    if (head.find("eth0") != std::string::npos) {
        AppLogOut("eth0 exist\n");
        if (fileExists(lastReboot)) std::remove(lastReboot.c_str());
        return;
    }
    AppLogOut("eth0 not exist\n");
    AppLogOut("[%s] reset = %d , dhcpSet = %d", "check_eth0", 1, std::atoi(dhcpSet.c_str()));
    cardmon::InterfacesPlan plan = cardmon::planInterfaces(dhcpSet, ip, mask, gateway);
    if (!plan.log.empty()) {
        logLines(plan.log);
        if (plan.log.find("D/E") != std::string::npos)
            std::printf("Address is belong to D/E!\n");
        else if (plan.log.find("ip is not ok") != std::string::npos)
            std::printf("ip is not ok!\n");
    }
    std::string reason = plan.reason;
    if (!plan.text.empty() && !replaceFile(interfaces, plan.text)) reason += "write failed\n";
    std::string last;
    platform::readFile(lastReboot, last, 4096);
    if (last == reason) {
        AppLogOut("[check_eth0] eth0 is still missing after a reboot for the same settings: "
                  "starting without rebooting again");
        return;
    }
    if (!platform::writeFile(lastReboot, reason)) {
        AppLogOut("[check_eth0] cannot note the reboot in %s: starting without rebooting",
                  lastReboot.c_str());
        return;
    }
    runShell("reboot");
}

void probeMemory()
{
    const std::string path = appPath("config/memTotal");
    std::string text = platform::runCapture("cat /proc/meminfo | grep MemTotal");
    platform::writeFile(path, text);
    if (!platform::readFile(path, text, 100)) return;
    int kb = cardmon::memTotalKb(text);
    if (kb < 0) return;
    SaveSettingi("memTotal", kb);
    SaveSettingi("is_mem_64M", kb > 32768 ? 1 : 0);
}

void countStart()
{
    int count = std::atoi(GetSettings2("SystemStartCount", "0"));
    if (count == 0) {
        const std::string dir = q(getDataLogPath());
        for (int i = 0; i < 3; ++i)
            runShell("rm -rf " + dir + "/*.log " + dir + "/*.log.bak " + dir + "/*.db ");
    }
    SaveSettings("SystemStartCount", std::to_string(count + 1).c_str());
}

// Written with file I/O: the names come from settings and never meet a
// shell; a name server that is no address is refused and nothing is written.
void writeResolvConf()
{
    const std::string path = sysPath("/etc/resolv.conf");
    if (fileExists(path)) return;
    const std::string dns1 = GetSettings2("dns1", "");
    const std::string dns2 = GetSettings2("dns2", "");
    std::string log;
    const std::string text = cardmon::resolvConfText(dns1, dns2, &log);
    logLines(log);
    if (!text.empty()) replaceFile(path, text);
}

std::string portParams(const char* prefix, int baudDefault)
{
    auto key = [&](const char* name) { return std::string(prefix) + name; };
    return cardmon::portParamText(GetSettingi2(key("_checkway").c_str(), 0),
                                  GetSettingi2(key("_baudRate").c_str(), baudDefault),
                                  GetSettingi2(key("_dataBits").c_str(), 8),
                                  GetSettingi2(key("_stopBits").c_str(), 1));
}

void registerPorts()
{
    std::string ups = portParams("ups", 2400);
    std::string ths = portParams("ths", 9600);
    std::string sms = portParams("sms", 115200);
    AppLogOut("ups port_Param is %s", ups.c_str());
    AppLogOut("ths port_Param is %s", ths.c_str());
    AppLogOut("sms port_Param is %s", sms.c_str());
    addPort(&idu, card::kUpsPort, "serial", 800, ups.c_str());
    addPort(&idu, card::kSensorPort, "serial", 500, ths.c_str());
    addPort(&idu, card::kModemPort, "serial", 500, sms.c_str());
}

// Step 16: every UPS driver needs its signal table; borrow the default one.
void repairSignalTable(const char* driver)
{
    const std::string dir = appPath("config/signalTable/");
    const std::string mine = dir + driver + ".db";
    const std::string fallback = dir + "txtups_1.db";
    if (fileExists(mine)) return;
    AppLogOut("%s is no here", mine.c_str());
    if (fileExists(fallback)) {
        std::string cmd = "cp " + q(fallback) + " " + q(mine);
        AppLogOut("lib_db_cmd : %s", cmd.c_str());
        runShell(cmd);
    }
}

void registerDevices()
{
    int upsType = GetSettingi2("ups_type", 0);
    const char* driver = cardmon::upsDriver(upsType);
    if (!driver) {
        AppLogOut("[main] ups_type %d out of range 0..10: using %s", upsType,
                  cardmon::kUpsDrivers[0]);
        driver = cardmon::kUpsDrivers[0];
    }
    repairSignalTable(driver);
    addDev(&idu, card::kUps, card::kUpsPort, GetSettingi2("ups_addr", 1), driver, 1000);

    if (void* port = getPortHandle(card::kSensorPort)) {
        int on = 1;
        CommControl(port, COMM_CTL_ENABLE, &on, 0);
    }
    if (GetSettingi2("use_dev_fun5", 1) == 0) SaveSettingi("ths_enable", 0);

    int packs = GetSettingi2("bms_num", 0);
    int packPro = GetSettingi2("bms_pro", 0);
    int packAddr = GetSettingi2("bms_start_addr", 1);
    if (packs > 0 && (packPro == 0 || packPro == 1))
        for (int i = 0; i < packs; ++i) {
            addDev(&idu, card::kPackBase + i, card::kSensorPort, packAddr + i,
                   cardmon::kPackDrivers[size_t(packPro)], 1000);
            AppLogOut("[%s] addDev %d", "main", i);
        }
    if (GetSettingi2("ths_enable", 0) == 1)
        addDev(&idu, card::kSensors, card::kSensorPort, 1, "envsensor", 1000);
}

void registerServers()
{
    using card::kServerTask;
    if (GetSettingi2("enable_485modbus", 1) == 1) addServer(&idu, kServerTask, "mbrtu_slave", "");
    runShell("cp " + q(appPath("/root/app/www/image/logo_torvix.png")) + " " +
             q(appPath("/root/app/www/image/logo.png")));
    for (const char* name : {"svc_data", "svc_alarm", "svc_web", "svc_mail", "svc_snmp", "svc_sms",
                             "svc_ddns", "svc_clock"})
        addServer(&idu, kServerTask, name, "");
    addServer(&idu, card::kStoreServer, "svc_store", "");
    addServer(&idu, kServerTask, "svc_identify", "");
    int tcpPro = GetSettingi2("tcp_modbus_pro", 0);
    if (GetSettingi2("enable_tcp_modbus", 1) == 1 && (tcpPro == 0 || tcpPro == 1))
        addServer(&idu, kServerTask, cardmon::kTcpModbusPlugins[size_t(tcpPro)], "");
    if (GetSettingi2("enable_bacnet", 1) == 1) addServer(&idu, kServerTask, "svc_bacnet", "");
    if (GetSettingi2("enable_cloud", 0) == 1) addServer(&idu, card::kCloudServer, "svc_cloud", "");
    if (GetSettingi2("enable_iec61850", 0) != 0) addServer(&idu, kServerTask, "svc_iec61850", "");
    if (GetSettingi2("enable_nut", 0) != 0) addServer(&idu, card::kNutServer, "svc_nut", "");
    if (GetSettingi2("battery_enable_type", 0) != 0)
        addServer(&idu, kServerTask, "svc_battery", "");
}

void ledLoop()
{
    cardmon::Blinker system{kLedSystem}, comm{kLedComm};
    long t = 0;
    while (!quit) {
        usleep(20000);
        ++t;
        int s = system.step(t, kLedPeriod);
        if (s >= 0) gpio.drivePin(system.pin, s);
        int c = comm.step(t, GetSettingi2("ups_lost", 0) ? kLedPeriodLost : kLedPeriod);
        if (c >= 0) gpio.drivePin(comm.pin, c);
    }
}

void onTerminate(int)
{
    quit = true;
}

} // namespace

int main()
{
    std::string why;
    if (!platform::mayRun(&why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 2;
    }
    if (chdir(platform::appDir().c_str()) != 0) {
        std::fprintf(stderr, "cardmon: cannot enter %s\n", platform::appDir().c_str());
        return 2;
    }
    platform::writeFile(sysPath("/var/run/cardmon.pid"), std::to_string(getpid()) + "\n");

    installPackages();                                         // 1
    installCrashHandlers();                                    // 2
    bool zoneOk = zoneFromFile();                              // 3
    platform::makeDirs(appPath("data/Update"));                // 4
    mapGpio();                                                 // 5
    platform::writeFile(appPath("config/DevType"), "4,2,1\n"); // 6
    initDataMonitor(&idu, 3);                                  // 7
    checkNetwork();                                            // 8
    if (!zoneOk) zoneFromSettings();                           // 9
    probeMemory();                                             // 10
    std::string sd = sysPath(GetSettings2("SdPath", "/mnt/mmcblckp0"));
    if (fileExists(sd)) setDataLogPath(sd.c_str()); // 11
    countStart();                                   // 12
    writeResolvConf();                              // 13
    SaveSettingi("enable_debug", 0);                // 14
    registerPorts();                                // 15
    registerDevices();                              // 16-21
    registerServers();                              // 22-31

    // A clean stop (the launcher's SIGTERM) lets the tasks close their files.
    struct sigaction sa {
    };
    sa.sa_handler = onTerminate;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    startDataMonitor(&idu); // 32
    ledLoop();
    AppLogOut("[main] stopping");
    stopDataMonitor(&idu);
    return 0;
}
