/*
 * routes.cpp - the command URIs the pages call, in search order, each with
 * the group whose level rule (access.cpp) decides who may call it. A route
 * whose handler is not written yet stays in the table with a null handler
 * and answers 404 until its page lands.
 */
#include "pages.hpp"
#include "pages_settings.hpp"
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
    {"/RemoteControl", ups_remotecontrol, Group::Ups, false},
    {"/ThsSettings", ups_thssettings, Group::Ups, false},
    {"/UpsSche", ups_upssche, Group::Ups, false},
    {"/UpsParam", ups_upsparam, Group::Ups, false},
    {"/BatParam", ups_batparam, Group::Ups, false},
    {"/ConstantPower", ups_constantpower, Group::Ups, false},
    {"/SmsLog", ups_smslog, Group::Logs, false},
    {"/EmailLog", ups_emaillog, Group::Logs, false},
    {"/UpsDataLog", ups_upsdatalog, Group::Logs, false},
    {"/ModuleNum", ups_getmodulenum, Group::Status, false},
    {"/UpsDataChart", ups_upsdatachart, Group::Logs, false},
    {"/HistoryAlarm", ups_historyalarm, Group::Logs, false},
    {"/SaveLog", ups_savelog, Group::Logs, false},
    {"/ClearLog", ups_clearlog, Group::LogClear, false},
    {"/NetworkInfo", ups_networkinfo, Group::Network, false},
    {"/NetworkRemoteInfo", ups_networkremoteinfo, Group::Users, false},
    {"/SystemInfo", ups_systeminfo, Group::System, false},
    {"/SystemLan", ups_systemlan, Group::System, false},
    {"/ManualUpdateTime", ups_manualupdatetime, Group::System, false},
    {"/AutoUpdateTime", ups_autoupdatetime, Group::System, false},
    {"/TimeZone", ups_timezone, Group::System, false},
    {"/SystemCom", ups_systemcom, Group::System, false},
    {"/SnmpParaSettings", ups_snmpparasettings, Group::Protocol, false},
    {"/UpsWakeUp", ups_upswakeup, Group::Ups, false},
    {"/EmailConfig", ups_emailconfig, Group::Notification, false},
    {"/EmailEvent", ups_emailevent, Group::Notification, false},
    {"/EmailTest", ups_emailtest, Group::Notification, false},
    {"/SmsStatus", ups_smsstatus, Group::Notification, false},
    {"/SmsEvent", ups_smsevent, Group::Notification, false},
    {"/SmsSettings", ups_smssettings, Group::Notification, false},
    {"/SmsTest", ups_smstest, Group::Notification, false},
    {"/SavePortLog", ups_saveportlog, Group::Diagnostics, kActs},
    {"/PrintPortLog", ups_printPortlog, Group::Diagnostics, false},
    {"/UpdateList", ups_updatelist, Group::Firmware, false},
    {"/LocateOrOnlineUpdate", ups_locateoronlineupdate, Group::Firmware, false},
    {"/FtpUpdate", ups_ftpupdate, Group::Firmware, false},
    {"/UpdateProgress", ups_updateprogress, Group::Firmware, kActs}, // reboots at the end
    {"/CurrentAlarm", ups_currentalarm, Group::Status, false},
    {"/AboutInfo", ups_aboutinfo, Group::Status, false},
    {"/SnmpConfig", ups_snmpconfig, Group::Protocol, false},
    {"/TrapConfig", ups_trapconfig, Group::Protocol, false},
    {"/TrapUserConfig", ups_trapuserconfig, Group::Protocol, false},
    {"/TrapEventConfig", ups_trapeventconfig, Group::Protocol, false},
    {"/TrapEventTest", ups_trapeventtest, Group::Protocol, false},
    {"/UpsBatTestLog", ups_upsbattestlog, Group::Logs, false},
    {"/DDNSInfo", ups_ddnsinfo, Group::Network, false},
    {"/RestartSys", ups_restartsys, Group::System, false},
    {"/SaveCurrentSettings", ups_savecurrentsettings, Group::Config, kActs}, // holds every password
    {"/UpdateSettings", ups_updatesettings, Group::Config, false},
    {"/RecoverfactorySettings", ups_recoverfactorysettings, Group::Config, kActs},
    {"/CfgDeviceLeft", ups_cfgdeviceleft, Group::Ups, false},
    {"/ChangeLogo", ups_changelogo, Group::System, false},
    {"/AutoUartDebug", ups_AutoDebugPrint, Group::Diagnostics, false},
    {"/EmailTestResult", ups_emailtestresult, Group::Notification, false},
    {"/SmsTestResult", ups_smstestresult, Group::Notification, false},
    {"/SetSnNum", ups_setsnnum, Group::System, false},
    {"/SetMacAddr", ups_setmacaddr, Group::System, false},
    {"/DebugPrintPortLog", ups_debugportlog, Group::Diagnostics, kActs},
    {"/IsSaveLog", ups_issavelog, Group::Diagnostics, false},
    {"/ThsStatus", ups_thsstatus, Group::Status, false},
    {"/SetSysPassword", ups_setsyspassword, Group::OwnPassword, false},
    {"/MbtcpSlaveInfo", ups_mbtcpslaveinfo, Group::Protocol, false},
    {"/BacnetInfo", ups_bacnetinfo, Group::Protocol, false},
    {"/MbtcpSlaveIpList", ups_mbtcpslaveiplist, Group::Protocol, false},
    {"/485ModbusInfo", ups_485modbusinfo, Group::Protocol, false},
    {"/NetworkInfoIpv6", ups_network6info, Group::Network, false},
    {"/CloudSettings", ups_cloudsettings, Group::Protocol, false},
    {"/ExportSnmpMib", ups_exportsnmpmib, Group::Protocol, false},
    {"/BmsParam", ups_bmsparam, Group::Ups, false},
    {"/DebugSelectLogo", ups_debugselectlogo, Group::System, false},
    {"/TvTimeUpdate", ups_tvtimeupdate, Group::Ups, false},
    {"/TvBatteryCell", ups_tvbatterycell, Group::Ups, false},
    {"/TvBatteryGroup", ups_tvbatterygroup, Group::Ups, false},
    {"/IdentifyProgress", ups_IdentifyProgress, Group::Status, false},
    {"/Iec61850Info", ups_iec61850info, Group::Protocol, false},
    {"/NutInfo", ups_nutinfo, Group::Protocol, false},
    {"/FirstPassword", ups_firstpassword, Group::OwnPassword, false},
    {"/logout", cmd_logout, Group::Open, kActs},
    {nullptr, nullptr, Group::Open, false},
};

const Route* findRoute(std::string_view uri)
{
    for (const Route* r = kRoutes; r->name; ++r)
        if (uri == r->name) return r;
    return nullptr;
}

} // namespace web
