/*
 * data_core.cpp - the supervision pass, the sampler and the channel-0 commands.
 */
#include "data_core.hpp"

#include "card_rules.hpp"
#include "fieldcore.h"
#include "platform.hpp"

#include <algorithm>
#include <cstdint>

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
    {card::kUpsPort, "ups", 2400, "ups port parm is change"},
    {card::kSensorPort, "ths", 9600, "ths port parm is change"},
    {card::kModemPort, "sms", 115200, "sms port parm is change"},
};

// The log line of a set-up command sent to a device.
std::string setUpLine(const char* device, int dev, const std::string& cmd)
{
    return std::string(device) + " is " + std::to_string(dev) + " cmd is " + cmd;
}

} // namespace

DataCore::DataCore(card::Runtime& rt, std::string appDir) : rt_(rt), appDir_(std::move(appDir))
{
    delays_ = {
        {"sel_down", Alarm_InputBad, "down_time"},
        {"sel_batlow", Alarm_LowBattery, "bat_time"},
        {"sel_overtemp", Alarm_TempBad, "temp_time"},
        {"sel_overload", Alarm_OutputOverload, "load_time"},
    };
}

std::string DataCore::path(const std::string& relative) const
{
    return appDir_.empty() ? platform::appPath(relative) : appDir_ + "/" + relative;
}

// Integer setting: def when empty, nullopt (logged once) when not a number.
std::optional<long> DataCore::intSetting(const char* k, long def)
{
    const std::string text = rt_.text(k);
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
    if (rt_.text(k, "\x01") != value) rt_.save(k, value);
}

void DataCore::saveIntIfChanged(const char* k, int value)
{
    if (rt_.text(k, "\x01") != std::to_string(value)) rt_.saveInt(k, value);
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
    const char* hw =
        rt_.integer("is_mem_64M", 0) == 1 ? card::kHardwareVersion64M : card::kHardwareVersion32M;
    platform::writeFile(path("config/hardVersion"), std::string(hw) + "\n");
    platform::writeFile(path("config/softVersion"), std::string(card::kFirmwareVersion) + "\n");
}

void DataCore::init()
{
    rt_.saveInt("ups_lost", 0);
    for (size_t i = 0; i < std::size(kPorts); ++i)
        ports_[i] = readPort(kPorts[i].prefix, kPorts[i].defaultBaud);
    writeVersionFiles();
}

void DataCore::start()
{
    startUpsType_ = card::upsType(rt_);
    startUpsAddr_ = rt_.integer("ups_addr", 1);
    lastSeen_ = rt_.now();
    if (rt_.integer("ths_enable", 0) != 0) sensorSetup();
    if (startUpsType_ == 6) modelSetup();
}

void DataCore::supervisionPass()
{
    applyPortSettings();
    if (checkModelChange()) return;
    linkWatch();
    if (rt_.integer("use_dev_fun3", 1) == 1) {
        if (!oneOffSchedule()) weeklySchedule();
        alarmDelays();
        if (rt_.integer("config_test_period") == 1) {
            automaticTest();
        } else {
            saveTextIfChanged("ups_auto_test_next_time", "");
            saveIntIfChanged("ups_auto_test_last_time", 0);
        }
    }
    checkPendingShutdown();
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
        if (line.portNo == card::kUpsPort && rt_.integer("enable_identify", 0) != 0) continue;
        void* handle = getPortHandle(line.portNo);
        if (!handle) continue;
        rt_.log(line.changeLog);
        for (const PortChange& c : changes) {
            int value = c.value;
            CommControl(handle, c.op, &value, 0);
        }
        ports_[i] = current;
    }
}

bool DataCore::checkModelChange()
{
    const int type = card::upsType(rt_);
    const char* why = nullptr;
    if (type != startUpsType_)
        why = "ups_type is change ,system will be reboot";
    else if (type >= 2 && type <= 5 && rt_.integer("ups_addr", 1) != startUpsAddr_)
        why = "ups_addr is change ,system will be reboot";
    if (!why) return false;
    rt_.sleepMs(500);
    rt_.log(why);
    rt_.exitProcess(0);
    return true;
}

void DataCore::linkWatch()
{
    const std::time_t t = rt_.now();
    if (rt_.answering(card::kUps)) {
        saveIntIfChanged("ups_lost", 0);
        rt_.setValue(card::kUps, Alarm_CommunicationsLost, 0);
        lastSeen_ = t;
        return;
    }
    if (t < lastSeen_) // the clock went backwards
        lastSeen_ = t;
    auto timeout = intSetting("communication_timeout", 60);
    if (t - lastSeen_ > (timeout ? *timeout : 60)) {
        saveIntIfChanged("ups_lost", 1);
        rt_.setValue(card::kUps, Alarm_CommunicationsLost, 1);
    }
}

void DataCore::totalBatteryVoltage()
{
    // A UPS that flags its type in 20033 reports the string's voltage itself.
    const float v = rt_.value(card::kUps, Alarm_UpsType) == 0.0f
                        ? card::batteryVoltage(rt_)
                        : rt_.value(card::kUps, Data_BatteryVoltage);
    rt_.setValue(card::kUps, Data_TotalBatteryVoltage, v);
}

void DataCore::sensorSetup()
{
    const std::string modules = rt_.text("curr_module_num");
    std::string cmd = "0," + modules;
    rt_.control(card::kSensors, cmd);
    rt_.log(setUpLine("THS_DEVICE_NO", card::kSensors, cmd));

    auto n = parseInteger(modules);
    if (!n && !modules.empty()) badLog_.bad("curr_module_num", modules);
    const long count = n ? std::clamp<long>(*n, 0, card::kSensorModules) : 0;
    for (long i = 1; i <= count; ++i) {
        rt_.sleepMs(1000);
        cmd = std::to_string(i) + "," + rt_.text("in_thaddr" + std::to_string(i));
        rt_.control(card::kSensors, cmd);
        rt_.log(setUpLine("THS_DEVICE_NO", card::kSensors, cmd));
    }
}

void DataCore::modelSetup()
{
    const std::string cmd = std::to_string(kCmdModelSetup) + "," +
                            std::to_string(rt_.integer("altups_ups_shotdown_type", 0));
    rt_.control(card::kUps, cmd);
    rt_.log(setUpLine("UPS_DEVICE_NO", card::kUps, cmd));
}

bool DataCore::takeSensorSetupRequest()
{
    return sensorSetupWanted_.exchange(false);
}

void DataCore::onEvent(int channel, int eventType)
{
    if (channel != card::channel::kCommand) return;
    if (eventType >= 0 && eventType <= card::command::kLast) {
        if (rt_.integer("use_dev_fun2", 1) != 1) return;
        std::string cmd = std::to_string(eventType);
        for (auto [k, def] :
             {std::pair{"in_tast1", "1"}, std::pair{"in_tast5", "1"}, std::pair{"in_tast15", "1"},
              std::pair{"in_tast16", "1"}, std::pair{"in_tast23", "12"}})
            cmd += "," + rt_.text(k, def);
        rt_.control(card::kUps, cmd);
        rt_.log("devId is " + std::to_string(card::kUps) + " ,eventType is " +
                std::to_string(eventType) + " ,cmd is " + cmd);
        return;
    }
    switch (eventType) {
    case card::event::kSensorSetup:
        // Sets the modules up one second apart: not in the poster's thread.
        sensorSetupWanted_ = true;
        break;
    case card::event::kModelSetup:
        modelSetup();
        break;
    case card::event::kSuspendPolling:
    case card::event::kResumePolling:
        rt_.control(card::kUps, std::to_string(eventType));
        break;
    case card::event::kRestart:
        rt_.log("para change,system restart");
        rt_.sleepMs(500);
        rt_.exitProcess(0);
        break;
    default:
        break;
    }
}

void DataCore::samplerPass()
{
    const std::time_t t = rt_.now();
    if (!samplerStarted_) {
        samplerStarted_ = true;
        lastSample_ = t;
    }
    if (t < lastSample_) // the clock went backwards: count again from now
        lastSample_ = t;
    const bool lost = rt_.integer("ups_lost", 0) == 1;

    auto minutes = intSetting("ups_data_record_minute", 5);
    if (minutes && *minutes >= 0 && (t - lastSample_) / 60 >= *minutes) {
        lastSample_ = t;
        const std::string db = path("data/ups_data.db");
        if (!platform::fileExists(db)) {
            rt_.log("There is no " + db);
        } else {
            if (!lost) rt_.store(card::store::kUpsSample);
            auto n = parseInteger(rt_.text("curr_module_num"));
            if (n && *n >= 1 && *n <= card::kSensorModules) rt_.store(card::store::kSensorSample);
        }
    }

    // Battery tests: the store records start and duration when the test ends.
    if (lost) return;
    const bool testing = rt_.value(card::kUps, Alarm_TestInProgress) == 1.0f;
    if (testing && !testRunning_) {
        testRunning_ = true;
        testStart_ = t;
    } else if (!testing && testRunning_) {
        testRunning_ = false;
        rt_.storeValue(card::store::kBatteryTest, static_cast<std::int32_t>(testStart_));
    }
}

} // namespace svc_data
