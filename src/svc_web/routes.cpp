/*
 * routes.cpp - the command URIs the pages call, in search order, each with
 * the group whose level rule (access.cpp) decides who may call it. A route
 * whose handler is not written yet stays in the table with a null handler
 * and answers 404 until its page lands.
 */
#include "pages.hpp"
#include "web.hpp"

namespace web
{

namespace
{
constexpr bool kActs = true; // changes the card for any method
} // namespace

const Route kRoutes[] = {
    {"/DeviceID", ups_deviceid, Group::Status, false},
    {"/EnergyChart", ups_energychart, Group::Status, false},
    {"/RemoteControl", nullptr, Group::Ups, false},
    {"/ThsSettings", nullptr, Group::Ups, false},
    {"/UpsSche", nullptr, Group::Ups, false},
    {"/UpsParam", nullptr, Group::Ups, false},
    {"/BatParam", nullptr, Group::Ups, false},
    {"/ConstantPower", nullptr, Group::Ups, false},
    {"/SmsLog", ups_smslog, Group::Logs, false},
    {"/EmailLog", ups_emaillog, Group::Logs, false},
    {"/UpsDataLog", ups_upsdatalog, Group::Logs, false},
    {"/ModuleNum", ups_getmodulenum, Group::Status, false},
    {"/UpsDataChart", ups_upsdatachart, Group::Logs, false},
    {"/HistoryAlarm", ups_historyalarm, Group::Logs, false},
    {"/SaveLog", ups_savelog, Group::Logs, false},
    {"/ClearLog", ups_clearlog, Group::LogClear, false},
    {"/NetworkInfo", nullptr, Group::Network, false},
    {"/NetworkRemoteInfo", ups_networkremoteinfo, Group::Users, false},
    {"/SystemInfo", nullptr, Group::System, false},
    {"/SystemLan", nullptr, Group::System, false},
    {"/ManualUpdateTime", nullptr, Group::System, false},
    {"/AutoUpdateTime", nullptr, Group::System, false},
    {"/TimeZone", nullptr, Group::System, false},
    {"/SystemCom", nullptr, Group::System, false},
    {"/SnmpParaSettings", nullptr, Group::Protocol, false},
    {"/UpsWakeUp", nullptr, Group::Ups, false},
    {"/EmailConfig", nullptr, Group::Notification, false},
    {"/EmailEvent", nullptr, Group::Notification, false},
    {"/EmailTest", nullptr, Group::Notification, false},
    {"/SmsStatus", ups_smsstatus, Group::Notification, false},
    {"/SmsEvent", nullptr, Group::Notification, false},
    {"/SmsSettings", nullptr, Group::Notification, false},
    {"/SmsTest", nullptr, Group::Notification, false},
    {"/SavePortLog", ups_saveportlog, Group::Diagnostics, kActs},
    {"/PrintPortLog", ups_printPortlog, Group::Diagnostics, false},
    {"/UpdateList", nullptr, Group::Firmware, false},
    {"/LocateOrOnlineUpdate", nullptr, Group::Firmware, false},
    {"/FtpUpdate", nullptr, Group::Firmware, false},
    {"/UpdateProgress", nullptr, Group::Firmware, kActs}, // reboots at the end
    {"/CurrentAlarm", ups_currentalarm, Group::Status, false},
    {"/AboutInfo", ups_aboutinfo, Group::Status, false},
    {"/SnmpConfig", nullptr, Group::Protocol, false},
    {"/TrapConfig", nullptr, Group::Protocol, false},
    {"/TrapUserConfig", nullptr, Group::Protocol, false},
    {"/TrapEventConfig", nullptr, Group::Protocol, false},
    {"/TrapEventTest", nullptr, Group::Protocol, false},
    {"/UpsBatTestLog", ups_upsbattestlog, Group::Logs, false},
    {"/DDNSInfo", nullptr, Group::Network, false},
    {"/RestartSys", nullptr, Group::System, false},
    {"/SaveCurrentSettings", nullptr, Group::Config, kActs}, // holds every password
    {"/UpdateSettings", nullptr, Group::Config, false},
    {"/RecoverfactorySettings", nullptr, Group::Config, kActs},
    {"/CfgDeviceLeft", nullptr, Group::Ups, false},
    {"/ChangeLogo", nullptr, Group::System, false},
    {"/AutoUartDebug", ups_AutoDebugPrint, Group::Diagnostics, false},
    {"/EmailTestResult", ups_emailtestresult, Group::Notification, false},
    {"/SmsTestResult", ups_smstestresult, Group::Notification, false},
    {"/SetSnNum", nullptr, Group::System, false},
    {"/SetMacAddr", nullptr, Group::System, false},
    {"/DebugPrintPortLog", ups_debugportlog, Group::Diagnostics, kActs},
    {"/IsSaveLog", ups_issavelog, Group::Diagnostics, false},
    {"/ThsStatus", ups_thsstatus, Group::Status, false},
    {"/SetSysPassword", ups_setsyspassword, Group::OwnPassword, false},
    {"/MbtcpSlaveInfo", nullptr, Group::Protocol, false},
    {"/BacnetInfo", nullptr, Group::Protocol, false},
    {"/MbtcpSlaveIpList", nullptr, Group::Protocol, false},
    {"/485ModbusInfo", nullptr, Group::Protocol, false},
    {"/NetworkInfoIpv6", nullptr, Group::Network, false},
    {"/CloudSettings", nullptr, Group::Protocol, false},
    {"/ExportSnmpMib", nullptr, Group::Protocol, false},
    {"/BmsParam", nullptr, Group::Ups, false},
    {"/DebugSelectLogo", nullptr, Group::System, false},
    {"/TvTimeUpdate", nullptr, Group::Ups, false},
    {"/TvBatteryCell", nullptr, Group::Ups, false},
    {"/TvBatteryGroup", nullptr, Group::Ups, false},
    {"/IdentifyProgress", ups_IdentifyProgress, Group::Status, false},
    {"/Iec61850Info", nullptr, Group::Protocol, false},
    {"/NutInfo", nullptr, Group::Protocol, false},
    {nullptr, nullptr, Group::Open, false},
};

const Route* findRoute(std::string_view uri)
{
    for (const Route* r = kRoutes; r->name; ++r)
        if (uri == r->name) return r;
    return nullptr;
}

} // namespace web
