/*
 * data_core.cpp - the supervision pass, the sampler and the channel-0 commands.
 */
#include "data_core.hpp"

#include "fieldcore.h"
#include "fieldcore.hpp"
#include "platform.hpp"
#include "signals.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace svc_data
{

namespace
{

struct PortLine {
    int portNo;
    const char* prefix;
    int defaultBaud;
    const char* changeLog;
};
// UPS, sensor and SMS lines, in the order the pass visits them.
constexpr PortLine kPorts[] = {
    {1, "ups", 2400, "ups port parm is change"},
    {3, "ths", 9600, "ths port parm is change"},
    {7, "sms", 115200, "sms port parm is change"},
};

constexpr const char* kHardVersion64M = "HW305KQM02";
constexpr const char* kHardVersion = "HW305KQM01";
constexpr const char* kSoftVersion = "FW02K13";

std::time_t systemNow()
{
    return std::time(nullptr);
}

} // namespace

DataCore::DataCore(Hooks hooks) : hooks_(std::move(hooks))
{
    delays_ = {
        {"sel_down", Alarm_InputBad, "down_time"},
        {"sel_batlow", Alarm_LowBattery, "bat_time"},
        {"sel_overtemp", Alarm_TempBad, "temp_time"},
        {"sel_overload", Alarm_OutputOverload, "load_time"},
    };
}

std::time_t DataCore::now() const
{
    return hooks_.now ? hooks_.now() : systemNow();
}

void DataCore::control(int dev, const std::string& text)
{
    if (hooks_.control)
        hooks_.control(dev, text);
    else
        DevControl(dev, text.c_str());
}

void DataCore::sleepMs(int ms)
{
    if (hooks_.sleepMs)
        hooks_.sleepMs(ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Ends the program; the card's launcher starts it again. Nothing may run the
// static destructors while the other plug-in threads still work, so the
// buffered output is flushed and the process leaves at once.
void DataCore::exitProcess(int status)
{
    if (hooks_.exitProcess) {
        hooks_.exitProcess(status);
        return;
    }
    std::fflush(nullptr);
    ::_exit(status);
}

void DataCore::store(int code, const void* data, int size)
{
    DevCallback(kStoreServer, code, const_cast<void*>(data), size);
}

// Integer setting: def when empty, nullopt (logged once) when not a number.
std::optional<long> DataCore::intSetting(const char* k, long def)
{
    std::string text = fieldcore::settingText(k);
    if (text.empty()) return def;
    auto v = parseInteger(text);
    if (v)
        badLog_.good(k);
    else
        badLog_.bad(k, text);
    return v;
}

// The settings store is persistent: write only what changed.
void DataCore::saveTextIfChanged(const char* k, const std::string& value)
{
    if (fieldcore::settingText(k, "\x01") != value) SaveSettings(k, value.c_str());
}

void DataCore::saveIntIfChanged(const char* k, int value)
{
    if (fieldcore::settingText(k, "\x01") != std::to_string(value)) SaveSettingi(k, value);
}

PortConfig DataCore::readPort(const char* prefix, int defaultBaud)
{
    auto get = [&](const char* name, long def) {
        std::string k = std::string(prefix) + name;
        auto v = intSetting(k.c_str(), def);
        return static_cast<int>(v ? *v : def);
    };
    PortConfig c;
    c.baud = get("_baudRate", defaultBaud);
    c.dataBits = get("_dataBits", 8);
    c.stopBits = get("_stopBits", 1);
    c.checkWay = get("_checkway", 0);
    return c;
}

void DataCore::writeVersionFiles()
{
    const char* hw = GetSettingi2("is_mem_64M", 0) == 1 ? kHardVersion64M : kHardVersion;
    platform::writeFile(platform::appPath("config/hardVersion"), std::string(hw) + "\n");
    platform::writeFile(platform::appPath("config/softVersion"), std::string(kSoftVersion) + "\n");
}

void DataCore::init()
{
    SaveSettingi("ups_lost", 0);
    for (size_t i = 0; i < std::size(kPorts); ++i)
        ports_[i] = readPort(kPorts[i].prefix, kPorts[i].defaultBaud);
    writeVersionFiles();
}

void DataCore::start()
{
    startUpsType_ = GetSettingi2("ups_type", 0);
    startUpsAddr_ = GetSettingi2("ups_addr", 1);
    lastSeen_ = now();
    if (GetSettingi2("ths_enable", 0) != 0) sensorSetup();
    if (startUpsType_ == 6) modelSetup();
}

void DataCore::supervisionPass()
{
    applyPortSettings();
    if (checkModelChange()) return;
    linkWatch();
    if (GetSettingi2("use_dev_fun3", 1) == 1) {
        if (!oneOffSchedule()) weeklySchedule();
        alarmDelays();
        if (GetSettingi("config_test_period") == 1) {
            automaticTest();
        } else {
            saveTextIfChanged("ups_auto_test_next_time", "");
            saveIntIfChanged("ups_auto_test_last_time", 0);
        }
    }
    totalBatteryVoltage();
}

void DataCore::applyPortSettings()
{
    for (size_t i = 0; i < std::size(kPorts); ++i) {
        const PortLine& line = kPorts[i];
        PortConfig current = readPort(line.prefix, line.defaultBaud);
        auto changes = portChanges(ports_[i], current);
        if (changes.empty()) continue;
        // Identification switches the UPS line's rate itself while it runs.
        if (line.portNo == 1 && GetSettingi2("enable_identify", 0) != 0) continue;
        void* handle = getPortHandle(line.portNo);
        if (!handle) continue;
        AppLogOut("%s", line.changeLog);
        for (const PortChange& c : changes) {
            int value = c.value;
            CommControl(handle, c.op, &value, 0);
        }
        ports_[i] = current;
    }
}

bool DataCore::checkModelChange()
{
    const int type = GetSettingi2("ups_type", 0);
    const char* why = nullptr;
    if (type != startUpsType_)
        why = "ups_type is change ,system will be reboot";
    else if (type >= 2 && type <= 5 && GetSettingi2("ups_addr", 1) != startUpsAddr_)
        why = "ups_addr is change ,system will be reboot";
    if (!why) return false;
    sleepMs(500);
    AppLogOut("%s", why);
    exitProcess(0);
    return true;
}

void DataCore::linkWatch()
{
    const std::time_t t = now();
    const bool answering =
        hooks_.upsAnswering ? hooks_.upsAnswering() : GetDevValue(kUpsDevice, SIG_LINK_OK) == 1.0f;
    if (answering) {
        saveIntIfChanged("ups_lost", 0);
        SetDevValue(kUpsDevice, Alarm_CommunicationsLost, 0);
        lastSeen_ = t;
        return;
    }
    if (t < lastSeen_) // the clock went backwards
        lastSeen_ = t;
    auto timeout = intSetting("communication_timeout", 60);
    if (t - lastSeen_ > (timeout ? *timeout : 60)) {
        saveIntIfChanged("ups_lost", 1);
        SetDevValue(kUpsDevice, Alarm_CommunicationsLost, 1);
    }
}

void DataCore::totalBatteryVoltage()
{
    float v = GetDevValue(kUpsDevice, Data_BatteryVoltage);
    const int type = GetSettingi2("ups_type", 0);
    if ((type == 0 || type == 8) && GetDevValue(kUpsDevice, Alarm_UpsType) == 0.0f)
        v *= static_cast<float>(GetSettingi2("battery_sections_number", 16));
    SetDevValue(kUpsDevice, Data_TotalBatteryVoltage, v);
}

void DataCore::sensorSetup()
{
    const std::string modules = fieldcore::settingText("curr_module_num");
    std::string cmd = "0," + modules;
    control(kSensorDevice, cmd);
    AppLogOut("THS_DEVICE_NO is %d cmd is %s", kSensorDevice, cmd.c_str());

    auto n = parseInteger(modules);
    if (!n && !modules.empty()) badLog_.bad("curr_module_num", modules);
    const long count = n ? std::clamp<long>(*n, 0, 4) : 0;
    for (long i = 1; i <= count; ++i) {
        sleepMs(1000);
        std::string addrKey = "in_thaddr" + std::to_string(i);
        cmd = std::to_string(i) + "," + fieldcore::settingText(addrKey.c_str());
        control(kSensorDevice, cmd);
        AppLogOut("THS_DEVICE_NO is %d cmd is %s", kSensorDevice, cmd.c_str());
    }
}

void DataCore::modelSetup()
{
    std::string cmd = std::to_string(kCmdModelSetup) + "," +
                      std::to_string(GetSettingi2("altups_ups_shotdown_type", 0));
    control(kUpsDevice, cmd);
    AppLogOut("UPS_DEVICE_NO is %d cmd is %s", kUpsDevice, cmd.c_str());
}

bool DataCore::takeSensorSetupRequest()
{
    return sensorSetupWanted_.exchange(false);
}

void DataCore::onEvent(int channel, int eventType)
{
    if (channel != 0) return;
    if (eventType >= 0 && eventType <= kLastRemoteCommand) {
        if (GetSettingi2("use_dev_fun2", 1) != 1) return;
        std::string cmd = std::to_string(eventType);
        for (auto [k, def] :
             {std::pair{"in_tast1", "1"}, std::pair{"in_tast5", "1"}, std::pair{"in_tast15", "1"},
              std::pair{"in_tast16", "1"}, std::pair{"in_tast23", "12"}})
            cmd += "," + fieldcore::settingText(k, def);
        control(kUpsDevice, cmd);
        AppLogOut("devId is %d ,eventType is %d ,cmd is %s", kUpsDevice, eventType, cmd.c_str());
        return;
    }
    switch (eventType) {
    case kEventSensorSetup:
        // Sets the modules up one second apart: not in the poster's thread.
        sensorSetupWanted_ = true;
        break;
    case kEventModelSetup:
        modelSetup();
        break;
    case kEventSuspendPolling:
    case kEventResumePolling:
        control(kUpsDevice, std::to_string(eventType));
        break;
    case kEventRestart:
        AppLogOut("para change,system restart");
        sleepMs(500);
        exitProcess(0);
        break;
    default:
        break;
    }
}

void DataCore::samplerPass()
{
    const std::time_t t = now();
    if (!samplerStarted_) {
        samplerStarted_ = true;
        lastSample_ = t;
    }
    if (t < lastSample_) // the clock went backwards: count again from now
        lastSample_ = t;
    const bool lost = GetSettingi2("ups_lost", 0) == 1;

    auto minutes = intSetting("ups_data_record_minute", 5);
    if (minutes && *minutes >= 0 && (t - lastSample_) / 60 >= *minutes) {
        lastSample_ = t;
        const std::string db = platform::appPath("/root/app/data/ups_data.db");
        if (!platform::fileExists(db)) {
            AppLogOut("There is no %s", db.c_str());
        } else {
            if (!lost) store(kStoreUpsSample);
            auto n = parseInteger(fieldcore::settingText("curr_module_num"));
            if (n && *n >= 1 && *n <= 4) store(kStoreSensorSample);
        }
    }

    // Battery tests: the store records start and duration when the test ends.
    if (lost) return;
    const bool testing = GetDevValue(kUpsDevice, Alarm_TestInProgress) == 1.0f;
    if (testing && !testRunning_) {
        testRunning_ = true;
        testStart_ = t;
    } else if (!testing && testRunning_) {
        testRunning_ = false;
        std::int32_t start = static_cast<std::int32_t>(testStart_);
        store(kStoreBatteryTest, &start, sizeof start);
    }
}

} // namespace svc_data
