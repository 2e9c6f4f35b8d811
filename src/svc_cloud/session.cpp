/*
 * session.cpp - the report schedule of the cloud link (see session.hpp).
 * The platform's commands are in commands.cpp.
 */
#include "session.hpp"

#include "reports.hpp"

namespace cloud
{

std::string commandTopic()
{
    return std::string(kCommandPrefix) + "/+";
}

std::string deviceCommandTopic(card::Runtime& rt)
{
    return std::string(kCommandPrefix) + "/+/Device/" + rt.text("cloud_sn");
}

std::string stateTopic(card::Runtime& rt)
{
    return "Signal/OPRIX/Device/" + rt.text("cloud_sn");
}

std::string reportTopic(card::Runtime& rt)
{
    return "Signal/OPRIX/Device/" + rt.text("curr_cloud_sn") + "/Collector/" +
           std::to_string(rt.integer("collector_id", 1));
}

namespace
{
constexpr int kSubscribeMid = 42, kSubscribeDeviceMid = 43, kUnsubscribeMid = 100,
              kUnsubscribeDeviceMid = 101;
constexpr int kReportInterval = 240, kOtherDataInterval = 600;
} // namespace

Session::Session(card::Runtime& rt, Link& link, UpdateQueue& updates, Hooks hooks)
    : rt_(rt), link_(link), updates_(updates), hooks_(std::move(hooks))
{
}

void Session::begin()
{
    rt_.log("mqtt service start");
    rt_.setValue(card::kCard, SYS_CMD_CTRL_CLOUD_MQTT_RECONNECTED, 0);
    rt_.setValue(card::kCard, SYS_DATA_CLOUD_MQTT_STATE, 0);
    rt_.setValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME, 0);
    lastAlarm_.assign(kAlarmIds.size(), 0);
    lastData_.assign(kDataIds.size(), -1);
    lastUp_ = rt_.now();
    connected_ = false;
}

void Session::watch(bool up)
{
    const std::time_t now = rt_.now();
    if (up) lastUp_ = now;
    const bool failed = !up && now - lastUp_ > kLinkAlarmSeconds;
    rt_.setValue(card::kUps, Alarm_ConnectCloudFail, failed ? 1.0f : 0.0f);
}

std::uint32_t Session::stamp()
{
    return std::uint32_t(rt_.now());
}

std::string Session::willMessage()
{
    const std::int16_t tz = hooks_.timezoneMinutes ? hooks_.timezoneMinutes() : 0;
    return frame(commState(rt_, false), stamp(), tz);
}

void Session::send(const std::string& topic, const std::string& payload)
{
    if (payload.empty()) return;
    const std::int16_t tz = hooks_.timezoneMinutes ? hooks_.timezoneMinutes() : 0;
    link_.publish(topic, frame(payload, stamp(), tz));
}

void Session::sendState(bool up)
{
    send(stateTopic(rt_), commState(rt_, up));
}

void Session::sendData()
{
    auto pause = [this] {
        if (hooks_.pause) hooks_.pause(20);
    };
    report(dataReport(rt_, {stamp()}, false, nullptr, pause));
}

void Session::sendAllAlarms()
{
    report(alarmReport(rt_, {stamp()}, false, lastAlarm_));
}

void Session::sendDevice()
{
    report(deviceReport(rt_, hooks_.mac ? hooks_.mac() : "000000000000"));
}

void Session::sendSerial()
{
    report(serialReport(rt_));
}

void Session::sendSystem()
{
    if (hooks_.refreshMemory) hooks_.refreshMemory();
    report(systemReport(rt_));
}

void Session::identityReports()
{
    sendDevice();
    sendSerial();
    sendSystem();
    sendAllAlarms();
}

void Session::sendOtherData()
{
    sendState(true);
    sendDevice();
    sendSerial();
    sendSystem();
}

void Session::connected(int rc)
{
    if (rc != 0) {
        rt_.log("mqtt connect error=" + std::to_string(rc));
        link_.disconnect();
        return;
    }
    rt_.log("MQTT:MG_EV_MQTT_CONNACK");
    connected_ = true;
    rt_.setValue(card::kCard, SYS_DATA_CLOUD_MQTT_STATE, 1);
    link_.subscribe(commandTopic(), kSubscribeMid);
    rt_.save("cloud_cmd_topic", commandTopic());
    link_.subscribe(deviceCommandTopic(rt_), kSubscribeDeviceMid);
    rt_.save("cloud_cmd_topic2", deviceCommandTopic(rt_));
    rt_.save("curr_cloud_sn", rt_.text("cloud_sn"));
    sendState(true);
    identityReports();
    lastReport_ = rt_.now();
    sendData();
}

void Session::closed()
{
    connected_ = false;
    rt_.setValue(card::kCard, SYS_DATA_CLOUD_MQTT_STATE, 0);
}

void Session::second()
{
    if (!connected_) {
        leaveIfAsked();
        return;
    }
    const std::time_t now = rt_.now();
    ++ticks_;
    const long since = long(now - lastReport_);
    if (since > rt_.integer("ReportTimeInterval", kReportInterval)) {
        if (since > rt_.integer("ResetTimeCheckTime", kOtherDataInterval)) otherDue_ = true;
        lastReport_ = now;
        dataDue_ = true;
    }
    if (otherDue_) {
        otherDue_ = false;
        rt_.log("MQTT: Time change,Start to report other data");
        sendOtherData();
    }
    if (dataDue_) {
        dataDue_ = false;
        sendData();
    }

    const int lost = rt_.integer("ups_lost", 0);
    if (lost != lastLost_) {
        const bool back = lastLost_ != -1 && lost == 0;
        lastLost_ = lost;
        if (back) {
            rt_.log("MQTT: UPS comm err,upload device Info");
            identityReports();
        }
        sendData();
    }

    if (alarmStates(rt_) != lastAlarm_) {
        report(alarmReport(rt_, {stamp()}, true, lastAlarm_));
        report(powerReport(rt_, {stamp()}));
    }

    if (ticks_ > kChangeTicks) {
        ticks_ = 0;
        report(dataReport(rt_, {stamp()}, true, &lastData_));
    }
    leaveIfAsked();
}

void Session::leaveIfAsked()
{
    if (rt_.intValue(card::kCard, SYS_CMD_CTRL_CLOUD_MQTT_RECONNECTED) != 1) return;
    if (connected_) {
        sendState(false);
        const std::string t1 = rt_.text("cloud_cmd_topic"), t2 = rt_.text("cloud_cmd_topic2");
        link_.unsubscribe(t1, kUnsubscribeMid);
        rt_.log("MQTT:Unsubscribe topic:" + t1);
        link_.unsubscribe(t2, kUnsubscribeDeviceMid);
        rt_.log("MQTT:Unsubscribe topic2:" + t2);
        link_.disconnect();
    }
    rt_.setValue(card::kCard, SYS_CMD_CTRL_CLOUD_MQTT_RECONNECTED, 0);
}

void Session::updateResult(const UpdateResult& r)
{
    report(updateResultReport(rt_, r.order.name, r.mainStatus, r.status));
    rt_.log("[svc_cloud] sendUpdateResult,mainStatus:" + std::to_string(r.mainStatus) +
            ",Status:" + std::to_string(r.status));
    if (r.mainStatus == kSucceeded && r.order.updateWho == 0 && hooks_.reboot) hooks_.reboot();
}

} // namespace cloud
