#!/usr/bin/python3
"""Writes NORDWAVE-UPS-MIB.txt: the enterprise MIB (1.3.6.1.4.1.935) that
libmib935 serves, in SMIv2. The object list is the module's table (same
numbers, types and access); run again after changing it, then check with
  SMIPATH=base smilint -l 6 NORDWAVE-UPS-MIB.txt
"""
import re

S, I = "DisplayString", "Integer32"
RO, RW = "read-only", "read-write"

# (node path below upsObjects or the agent node, name, type, access, description)
OBJECTS = [
    ("1.1.1.1.1.1", "upsBaseIdentModel", S, RO, "The UPS model."),
    ("1.1.1.1.1.2", "upsBaseIdentUpsName", S, RW, "The name given to the UPS."),
    ("1.1.1.1.2.1", "upsSmartIdentFirmwareRevision", S, RO, "The UPS firmware version."),
    ("1.1.1.1.2.2", "upsSmartIdentDateOfManufacture", S, RO, "Date of manufacture (not known to the card)."),
    ("1.1.1.1.2.3", "upsSmartIdentUpsSerialNumber", S, RO, "Serial number (not known to the card)."),
    ("1.1.1.1.2.4", "upsSmartIdentAgentFirmwareRevision", S, RO, "The card's firmware version."),
    ("1.1.1.2.1.1", "upsBaseBatteryStatus", I, RO, "1 unknown, 2 normal, 3 low."),
    ("1.1.1.2.1.2", "upsBaseBatteryTimeOnBattery", I, RO, "Seconds on battery."),
    ("1.1.1.2.1.3", "upsBaseBatteryLastReplaceDate", S, RW, "When the battery was last replaced."),
    ("1.1.1.2.2.1", "upsSmartBatteryCapacity", I, RO, "Remaining charge in percent."),
    ("1.1.1.2.2.2", "upsSmartBatteryVoltage", I, RO, "Battery voltage in tenths of a volt."),
    ("1.1.1.2.2.3", "upsSmartBatteryTemperature", I, RO, "Battery temperature in tenths of a degree C."),
    ("1.1.1.2.2.4", "upsSmartBatteryRunTimeRemaining", I, RO, "Remaining run time in seconds."),
    ("1.1.1.2.2.5", "upsSmartBatteryReplaceIndicator", I, RO, "1: no replacement needed."),
    ("1.1.1.2.2.6", "upsSmartBatteryFullChargeVoltage", I, RO, "Battery voltage in volts."),
    ("1.1.1.2.2.7", "upsSmartBatteryCurrent", I, RO, "Battery current in tenths of an ampere."),
    ("1.1.1.3.1.1", "upsBaseInputPhase", I, RO, "Number of input lines."),
    ("1.1.1.3.2.1", "upsSmartInputLineVoltage", I, RO, "Input voltage of line 1 in tenths of a volt."),
    ("1.1.1.3.2.2", "upsSmartInputMaxLineVoltage", I, RO, "Highest input line voltage in tenths of a volt."),
    ("1.1.1.3.2.3", "upsSmartInputMinLineVoltage", I, RO, "Lowest input line voltage in tenths of a volt."),
    ("1.1.1.3.2.4", "upsSmartInputFrequency", I, RO, "Input frequency in tenths of a hertz."),
    ("1.1.1.3.2.5", "upsSmartInputLineFailCause", I, RO, "Cause of the last input failure (0: not known)."),
    ("1.1.1.4.1.1", "upsBaseOutputStatus", I, RO, "1 unknown, 2 on line, 3 on battery, 4 on boost, 6 on bypass."),
    ("1.1.1.4.1.2", "upsBaseOutputPhase", I, RO, "Number of output lines."),
    ("1.1.1.4.2.1", "upsSmartOutputVoltage", I, RO, "Output voltage of a single-phase output in tenths of a volt."),
    ("1.1.1.4.2.2", "upsSmartOutputFrequency", I, RO, "Output frequency in tenths of a hertz."),
    ("1.1.1.4.2.3", "upsSmartOutputLoad", I, RO, "Output load in percent."),
    ("1.1.1.5.1.1", "upsBaseConfigNumDevices", I, RO, "Number of devices in the device table."),
    ("1.1.1.5.1.2.1.1", "deviceIndex", I, RO, "Row number."),
    ("1.1.1.5.1.2.1.2", "nameOfDevice", S, RW, "Name of a device powered by the UPS."),
    ("1.1.1.5.1.2.1.3", "vaRatingOfDevice", I, RW, "Apparent power of the device."),
    ("1.1.1.5.1.2.1.4", "deviceAccept", I, RW, "Whether the row is in use."),
    ("1.1.1.5.2.1", "upsSmartConfigRatedOutputVoltage", I, RW, "Rated output voltage."),
    ("1.1.1.5.2.2", "upsSmartConfigHighTransferVolt", I, RW, "High transfer voltage."),
    ("1.1.1.5.2.3", "upsSmartConfigLowTransferVolt", I, RW, "Low transfer voltage."),
    ("1.1.1.5.2.4", "upsSmartConfigAlarm", I, RW, "Audible alarm: 1 enabled, 3 disabled."),
    ("1.1.1.5.2.5", "upsSmartConfigAlarmTimer", I, RW, "Audible alarm timer."),
    ("1.1.1.5.2.6", "upsSmartConfigMinReturnCapacity", I, RW, "Rated apparent power."),
    ("1.1.1.5.2.7", "upsSmartConfigSensitivity", I, RW, "Line sensitivity."),
    ("1.1.1.5.2.8", "upsSmartConfigLowBatteryRunTime", I, RW, "Run time left at the low-battery warning, minutes."),
    ("1.1.1.5.2.9", "upsSmartConfigReturnDelay", I, RW, "Delay before returning from battery."),
    ("1.1.1.5.2.10", "upsSmartConfigShutoffDelay", I, RW, "Delay in seconds for the next switch-off command."),
    ("1.1.1.5.2.11", "upsSmartConfigUpsSleepTime", I, RW, "Sleep time in minutes for the next sleep command."),
    ("1.1.1.5.2.12", "upsSmartConfigSetEEPROMDefaults", I, RW, "Restore the UPS's defaults."),
    ("1.1.1.6.1.1", "upsBaseControlConserveBattery", I, RW, "Conserve the battery."),
    ("1.1.1.6.2.1", "upsSmartControlUpsOff", I, RW, "Switch the UPS off after the shut-off delay."),
    ("1.1.1.6.2.2", "upsSmartControlRebootUps", I, RW, "Reboot the UPS."),
    ("1.1.1.6.2.3", "upsSmartControlUpsSleep", I, RW, "Put the UPS to sleep for the sleep time."),
    ("1.1.1.6.2.4", "upsSmartControlSimulatePowerFail", I, RW, "Simulate a mains failure."),
    ("1.1.1.6.2.5", "upsSmartControlFlashAndBeep", I, RW, "Flash the lights and beep."),
    ("1.1.1.6.2.6", "upsSmartControlTurnOnUpsLoad", I, RW, "Switch the load on."),
    ("1.1.1.7.2.1", "upsSmartTestDiagnosticSchedule", I, RW, "Automatic test schedule."),
    ("1.1.1.7.2.2", "upsSmartTestDiagnostics", I, RW, "Start a battery test."),
    ("1.1.1.7.2.3", "upsSmartTestDiagnosticsResults", I, RO, "1 passed, 2 failed, 4 in progress."),
    ("1.1.1.7.2.4", "upsSmartTestLastDiagnosticsDate", I, RO, "Date of the last test (not known)."),
    ("1.1.1.7.2.5", "upsSmartTestIndicators", I, RW, "Test the indicators."),
    ("1.1.1.7.2.6", "upsSmartTestRuntimeCalibration", I, RW, "3 cancels the calibration, other values start it."),
    ("1.1.1.7.2.7", "upsSmartTestCalibrationResults", I, RO, "Result of the last calibration (not known)."),
    ("1.1.1.7.2.8", "upsSmartTestCalibrationDate", I, RO, "Date of the last calibration (not known)."),
]
def add(path, name, t, a, d):
    OBJECTS.append((path, name, t, a, d))
add("1.1.1.8.1.1", "upsThreePhaseBatteryVoltage", I, RO, "Battery voltage in volts.")
add("1.1.1.8.1.2", "upsThreePhaseBatteryCapacity", I, RO, "Remaining charge in percent.")
add("1.1.1.8.1.3", "upsThreePhaseBatteryTimeRemain", I, RO, "Remaining run time in minutes.")
add("1.1.1.8.1.4", "upsThreePhaseBatteryCurrent", I, RO, "Battery current in tenths of an ampere.")
add("1.1.1.8.1.5", "upsThreePhaseBatteryTemperature", I, RO, "Battery temperature in tenths of a degree C.")
add("1.1.1.8.2.1", "upsThreePhaseInputFrequency", I, RO, "Input frequency in tenths of a hertz.")
for k, p in enumerate("RST"):
    add("1.1.1.8.2.%d" % (2 + k), "upsThreePhaseInputVoltage" + p, I, RO, "Input voltage of phase %s in tenths of a volt." % p)
add("1.1.1.8.3.1", "upsThreePhaseOutputFrequency", I, RO, "Output frequency in tenths of a hertz.")
for k, p in enumerate("RST"):
    add("1.1.1.8.3.%d" % (2 + k), "upsThreePhaseOutputVoltage" + p, I, RO, "Output voltage of phase %s in tenths of a volt." % p)
for k, p in enumerate("RST"):
    add("1.1.1.8.3.%d" % (5 + k), "upsThreePhaseOutputLoad" + p, I, RO, "Load of phase %s in percent." % p)
add("1.1.1.8.4.1", "upsThreePhaseBypassFrequency", I, RO, "Bypass frequency in tenths of a hertz.")
for k, p in enumerate("RST"):
    add("1.1.1.8.4.%d" % (2 + k), "upsThreePhaseBypassVoltage" + p, I, RO, "Bypass voltage of phase %s in tenths of a volt." % p)
YN = " (14 yes, 16 no)."
for n, name, d in [(1, "upsStatusEmergencyStop", "Emergency stop" + YN),
                   (2, "upsStatusBatteryDepleted", "Battery depleted" + YN),
                   (3, "upsStatusBatteryLow", "Battery low" + YN),
                   (4, "upsStatusLineMode", "2 three-in/single-out or single, 3 three-phase output, 0 other."),
                   (5, "upsStatusBatteryCondition", "4 battery bad, 5 battery good."),
                   (6, "upsStatusBatteryCharging", "7 not charging, 16 charging."),
                   (7, "upsStatusRectifier", "Rectifier running" + YN)]:
    add("1.1.1.8.5.%d" % n, name, I, RO, d)
for n, name, d in [(1, "upsStatusBypassCondition", "8 bypass good, 9 bypass bad."),
                   (2, "upsStatusBypassBreaker", "8 open, 9 closed."),
                   (3, "upsStatusInputCondition", "10 input good, 11 input bad."),
                   (4, "upsStatusOnBypass", "12 not on bypass, 13 on bypass."),
                   (5, "upsStatusInverter", "Inverter running" + YN)]:
    add("1.1.1.8.6.%d" % n, name, I, RO, d)
for n, name in enumerate(["upsFaultOutputOff", "upsFaultSystemOff", "upsFaultBypassSwitch",
                          "upsFaultOverload", "upsFaultOutput", "upsFaultTemperature",
                          "upsFaultFuse"], 1):
    add("1.1.1.8.7.%d" % n, name, I, RO, "Condition present" + YN)
for n in range(1, 9):
    add("1.1.1.8.8.%d" % n, "upsStatusReserved%d" % n, S, RO, "Reserved (empty).")
add("1.1.1.9.1.1", "upsEnvTemperature", I, RO, "Temperature of sensor 1 in tenths of a degree C.")
add("1.1.1.9.1.2", "upsEnvHumidity", I, RO, "Humidity of sensor 1 in tenths of a percent.")
for n in range(3, 12):
    add("1.1.1.9.1.%d" % n, "upsEnvReserved%d" % n, I, RO, "Reserved (0).")
for n, name, d in [(1, "upsEnvOverTemperature", "A sensor is above its temperature limit."),
                   (2, "upsEnvUnderTemperature", "A sensor is below its temperature limit."),
                   (3, "upsEnvOverHumidity", "A sensor is above its humidity limit."),
                   (4, "upsEnvUnderHumidity", "A sensor is below its humidity limit.")]:
    add("1.1.1.9.2.%d" % n, name, I, RW, d + " (1 yes, 0 no)")
add("2.1.1", "trapsReceiversNum", I, RO, "Number of rows in the receiver table.")
add("2.1.2.1.1", "trapsIndex", I, RO, "Row number.")
add("2.1.2.1.2", "trapsReceiverAddr", S, RW, "Address of a trap receiver.")
add("2.1.2.1.3", "receiverCommunityString", S, RW, "Community of the receiver.")
add("2.1.2.1.4", "severityLevel", I, RW, "Lowest severity sent to the receiver.")
add("2.1.2.1.5", "receiverAccept", I, RW, "Whether the row is in use.")

TRAPS = ["xxxxxxx", "Communication failure", "UPS overload", "Failed self-test", "Deep discharge",
    "On battery", "SmartBoost", "Low battery", "Communication established", "Utility restored",
    "Passed self-test", "Battery normal", "Switching off", "Going to sleep", "Wake up",
    "Starting reboot", "The environment temperature exceed the normal value",
    "The environment temperature is normal", "The environment humidity exceed the normal value",
    "The environment humidity is normal", "Smoke is abnormal", "Water is abnormal",
    "Security is abnormal", "Smoke is normal", "Water is normal", "Security is normal", "Gas Alarm",
    "UPS Temperature Overrun", "UPS Load Normal", "UPS temperature Normal",
    "The environment temperature below the normal value",
    "The environment humidity below the normal value", "The UPS is entering 'bypass' mode"] + \
    ["Security%d Alarm" % n for n in range(1, 8)] + ["Security%d Normal" % n for n in range(1, 8)] + [
    "Rectifier Rotation Error", "Bypass Frequency Fail", "Bypass AC Normal", "Bypass AC Abnormal",
    "UPS Test", "UPS Schedule Shutdown", "The UPS return from Bypass Mode",
    "The UPS Short Circuit Shutdown", "The UPS Inverter Output Fail Shutdown",
    "The UPS Manual Bypass Breaker on Shutdown", "The UPS High DC Shutdown", "The UPS Emergency Stop",
    "The UPS Static Switch in Inverter Mode", "The UPS Static Switch in Bypass Mode",
    "The UPS Over Temperature Shutdown", "The UPS Overload Shutdown", "The UPS Capacity Underrun",
    "The UPS Capacity Normal", "The UPS Low Battery Shutdown", "The UPS has enabled Buck",
    "The UPS has return from Buck", "The UPS has return from Boost"]
assert len(TRAPS) == 69 and len(OBJECTS) == 127, (len(TRAPS), len(OBJECTS))

# Intermediate nodes, named by path.
NODES = {
    "1": "nwProducts", "1.1": "nwHardware", "1.1.1": "upsObjects",
    "1.1.1.1": "upsIdent", "1.1.1.1.1": "upsBaseIdent", "1.1.1.1.2": "upsSmartIdent",
    "1.1.1.2": "upsBattery", "1.1.1.2.1": "upsBaseBattery", "1.1.1.2.2": "upsSmartBattery",
    "1.1.1.3": "upsInput", "1.1.1.3.1": "upsBaseInput", "1.1.1.3.2": "upsSmartInput",
    "1.1.1.4": "upsOutput", "1.1.1.4.1": "upsBaseOutput", "1.1.1.4.2": "upsSmartOutput",
    "1.1.1.5": "upsConfig", "1.1.1.5.1": "upsBaseConfig", "1.1.1.5.2": "upsSmartConfig",
    "1.1.1.6": "upsControl", "1.1.1.6.1": "upsBaseControl", "1.1.1.6.2": "upsSmartControl",
    "1.1.1.7": "upsTest", "1.1.1.7.2": "upsSmartTest",
    "1.1.1.8": "upsThreePhase", "1.1.1.8.1": "upsThreePhaseBattery", "1.1.1.8.2": "upsThreePhaseInput",
    "1.1.1.8.3": "upsThreePhaseOutput", "1.1.1.8.4": "upsThreePhaseBypass",
    "1.1.1.8.5": "upsThreePhaseUpsStatus", "1.1.1.8.6": "upsThreePhaseLineStatus",
    "1.1.1.8.7": "upsThreePhaseFaults", "1.1.1.8.8": "upsThreePhaseReserved",
    "1.1.1.9": "upsEnvironment", "1.1.1.9.1": "upsEnvValues", "1.1.1.9.2": "upsEnvAlarms",
    "2": "nwAgent", "2.1": "nwAgentTraps",
}
TABLES = {  # table path -> (table, entry, row type, index)
    "1.1.1.5.1.2": ("upsBaseConfigDeviceTable", "upsBaseConfigDeviceEntry", "UpsBaseConfigDeviceEntry", "deviceIndex"),
    "2.1.2": ("trapsReceiverTable", "trapsReceiverEntry", "TrapsReceiverEntry", "trapsIndex"),
}

def name_of(path):
    return "nordwaveUpsMib" if path == "" else NODES[path]

out = []
w = out.append
w("""NORDWAVE-UPS-MIB DEFINITIONS ::= BEGIN

-- Enterprise MIB of the Nordwave UPS network card (enterprise number 935).
-- Written from the card's own object table; generated by gen_enterprise_mib.py.
-- Every object has the single instance .0.

IMPORTS
    MODULE-IDENTITY, OBJECT-TYPE, NOTIFICATION-TYPE, Integer32, enterprises
        FROM SNMPv2-SMI
    DisplayString
        FROM SNMPv2-TC
    MODULE-COMPLIANCE, OBJECT-GROUP, NOTIFICATION-GROUP
        FROM SNMPv2-CONF;

nordwaveUpsMib MODULE-IDENTITY
    LAST-UPDATED "202612080000Z"
    ORGANIZATION "Nordwave"
    CONTACT-INFO "Nordwave technical support."
    DESCRIPTION
        "Status, configuration, control and notifications of a UPS managed
        by the Nordwave network card."
    REVISION "202612080000Z"
    DESCRIPTION "First version."
    ::= { enterprises 935 }
""")
for path in sorted(NODES, key=lambda p: [int(x) for x in p.split(".")]):
    parent, _, num = path.rpartition(".")
    w("%s OBJECT IDENTIFIER ::= { %s %s }\n" % (NODES[path], name_of(parent), num))

done_tables = set()
for path, name, typ, acc, descr in OBJECTS:
    parent, _, num = path.rpartition(".")
    entry_path, _, _ = parent.rpartition(".")
    if entry_path in TABLES:
        table, entry, rowtype, index = TABLES[entry_path]
        if entry_path not in done_tables:
            done_tables.add(entry_path)
            tp, _, tn = entry_path.rpartition(".")
            cols = [(n, t) for p, n, t, a, d in OBJECTS if p.rpartition(".")[0] == parent]
            w('%s OBJECT-TYPE\n    SYNTAX     SEQUENCE OF %s\n    MAX-ACCESS not-accessible\n    STATUS     current\n    DESCRIPTION\n        "A table with the single row 0."\n    ::= { %s %s }\n'
              % (table, rowtype, name_of(tp), tn))
            w('%s OBJECT-TYPE\n    SYNTAX     %s\n    MAX-ACCESS not-accessible\n    STATUS     current\n    DESCRIPTION\n        "One row."\n    INDEX      { %s }\n    ::= { %s 1 }\n'
              % (entry, rowtype, index, table))
            w("%s ::= SEQUENCE {\n%s\n}\n" % (rowtype, ",\n".join("    %-24s %s" % (n, t) for n, t in cols)))
        syntax = typ + " (0..64)" if name == index else typ
        w('%s OBJECT-TYPE\n    SYNTAX     %s\n    MAX-ACCESS %s\n    STATUS     current\n    DESCRIPTION\n        "%s"\n    ::= { %s %s }\n'
          % (name, syntax, acc, descr, entry, num))
        continue
    w('%s OBJECT-TYPE\n    SYNTAX     %s\n    MAX-ACCESS %s\n    STATUS     current\n    DESCRIPTION\n        "%s"\n    ::= { %s %s }\n'
      % (name, typ, acc, descr, name_of(parent), num))

w("nwTraps OBJECT IDENTIFIER ::= { nordwaveUpsMib 0 }\n")
trap_names = []
# Number 0 only identifies the card's test notification; SMIv2 cannot name it.
for n, text in enumerate(TRAPS):
    if n == 0:
        continue
    words = re.findall(r"[A-Za-z0-9]+", text if n else "test trap")
    nm = "nwEvent" + "".join(x[0].upper() + x[1:] for x in words)
    trap_names.append(nm)
    w('%s NOTIFICATION-TYPE\n    STATUS current\n    DESCRIPTION\n        "%s. The notification carries its own identifier as an\n        OCTET STRING binding that holds this text."\n    ::= { nwTraps %d }\n'
      % (nm, text.replace('"', "'"), n))
assert len(set(trap_names)) == 68

w("nwConformance OBJECT IDENTIFIER ::= { nordwaveUpsMib 3 }\n")
w('nwObjectGroup OBJECT-GROUP\n    OBJECTS { %s }\n    STATUS current\n    DESCRIPTION "The objects served by the card."\n    ::= { nwConformance 1 }\n'
  % ",\n              ".join(o[1] for o in OBJECTS))
w('nwNotificationGroup NOTIFICATION-GROUP\n    NOTIFICATIONS { %s }\n    STATUS current\n    DESCRIPTION "The notifications the card sends."\n    ::= { nwConformance 2 }\n'
  % ",\n                    ".join(trap_names))
w('nwCompliance MODULE-COMPLIANCE\n    STATUS current\n    DESCRIPTION "The card implements every object and notification."\n    MODULE\n    MANDATORY-GROUPS { nwObjectGroup, nwNotificationGroup }\n    ::= { nwConformance 3 }\n')
w("END\n")
open("NORDWAVE-UPS-MIB.txt", "w").write("\n".join(out))
