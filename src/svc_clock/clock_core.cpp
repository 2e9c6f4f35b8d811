/*
 * clock_core.cpp - the clock task's pass (see clock_core.hpp): run time,
 * time sync, Wake-on-LAN, restarts and the packs' readings for the UPS.
 */
#include "clock_core.hpp"

#include "card_rules.hpp"

#include <cstdio>
#include <cstdlib>

namespace svc_clock
{

namespace
{

constexpr int kWakePortDefault = 9527;
constexpr int kPackFamily = 4; // ups_type whose UPS takes the packs' readings
constexpr int kPackDevice = card::kPackBase;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string format(const char* fmt, auto... args)
{
    char buf[512];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

} // namespace

std::uint8_t macByte(std::string_view text)
{
    int value = 0;
    for (size_t i = 0; i < text.size() && i < 2; ++i) {
        const int d = hexDigit(text[i]);
        value = d < 0 ? 0 : value * 16 + d;
    }
    return static_cast<std::uint8_t>(value);
}

WakePacket wakePacket(const Mac& mac)
{
    WakePacket p{};
    for (size_t i = 0; i < 6; ++i)
        p[i] = 0xFF;
    for (size_t r = 0; r < 16; ++r)
        for (size_t i = 0; i < 6; ++i)
            p[6 + r * 6 + i] = mac[i];
    return p;
}

std::string packCommand(card::Runtime& rt)
{
    if (rt.integer("en_bms_auto_send_ups", 0) == 0 || rt.integer("bms_num", 0) <= 0 ||
        rt.integer("ups_type", 0) != kPackFamily)
        return {};
    if (!rt.answering(kPackDevice) || !rt.answering(card::kUps) ||
        rt.intValue(kPackDevice, Data_bms_send_flag) != 1)
        return {};
    auto v = [&](int sig) { return static_cast<double>(rt.value(kPackDevice, sig)); };
    auto i = [&](int sig) { return rt.intValue(kPackDevice, sig); };
    if (rt.integer("bms_pro", 0) == 1)
        return format(
            "%d,%d,%.1f,%.1f,%.1f,%.1f,%d,%.1f,%d,%d,%d,%d,%d,%d,%d,%d", 52,
            i(Data_BMS_Battery_Run_status), v(Data_BMS_charge_voltage), v(Data_BMS_charge_current),
            v(Data_BMS_allowed_max_charge_voltage), v(Data_BMS_allowed_max_charge_current),
            i(Data_BMS_charge_reguest_alarm_indication), v(Data_BMS_Battery_EOD_voltage),
            i(Data_BMS_Battery_SOC_P), i(Data_BMS_Battery_SOC_N), i(Data_BMS_Battery_SOH_P),
            i(Data_BMS_Battery_SOH_N), i(Data_BMS_addve_online_String_count),
            i(Data_BMS_reduceve_online_String_count), i(Data_BMS_Battery_Capacity),
            i(Data_BMS_Stop_Discharging_Warning));
    return format("%d,%.1f,%.1f,%.1f,%.2f,%.2f,%.1f,%.1f,%d,%d", 51, v(Data_bms_cbms_total_voltage),
                  v(Data_bms_cbms_current), v(Data_bms_cbms_soc),
                  v(Data_bms_cbms_highest_cell_volt), v(Data_bms_cbms_lowest_cell_volt),
                  v(Data_bms_cbms_highest_temp), v(Data_bms_cbms_lowest_temp),
                  i(Data_bms_cbms_alarm_event), i(Data_bms_cbms_primary_protection_event));
}

void ClockCore::start()
{
    zone_ = rt_.integer("ntimezone", 26);
    dst_ = rt_.integer("time_dst", 1);
    rt_.saveInt("system_startup_time", static_cast<int>(rt_.now()));
}

std::time_t ClockCore::sync(bool zoneToo)
{
    const std::string server = card::timeServerName(rt_);
    // The name comes from a setting: it reaches ntpdate as one argument, and
    // only when it is a host name or an address (never an option).
    bool answered = false;
    if (card::isHostOrAddress(server)) {
        std::string probe;
        sys_.run({"ntpdate", "-d", server}, &probe);
        answered = probe.find("receive") != std::string::npos;
    }
    rt_.log(
        format("NTP Test cmd:%s,result:%d", ("ntpdate -d " + server).c_str(), answered ? 1 : 0));
    if (!answered) return rt_.now();
    if (zoneToo) {
        if (const char* tz = card::timeZoneName(zone_, dst_ != 0)) sys_.setZone(tz);
    }
    sys_.run({"ntpdate", server});
    sys_.run({"hwclock", "--systohc", "--utc"});
    return rt_.now();
}

// After the clock moved, the start time moves with it so that start plus run
// time is still now.
void ClockCore::syncAndNote(bool zoneToo)
{
    lastSync_ = sync(zoneToo);
    const long long runTime = rt_.integer("system_run_time", 0);
    rt_.saveInt("system_startup_time", static_cast<int>(std::llabs(lastSync_ - runTime)));
}

void ClockCore::clockStep(std::time_t& now)
{
    const int every = rt_.integer("nchecktimeevery", 0);
    const int hours = every >= 0 && every < int(kSyncHours.size()) ? kSyncHours[size_t(every)] : 0;
    const bool asked = rt_.intValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME) == 1;
    if (hours == 0 && !asked) {
        started_ = false; // turned on again, it syncs at once
        return;
    }
    if (asked) {
        rt_.log("Start to auto ntp cali time");
        started_ = false;
    }
    if (!started_) {
        started_ = true;
        syncAndNote(true);
        now = lastSync_;
    }
    if (asked) rt_.setValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME, 0);
    if (std::llabs(now - lastSync_) >= static_cast<long long>(hours) * 3600) syncAndNote(false);
    const int zone = rt_.integer("ntimezone", 26);
    const int dst = rt_.integer("time_dst", 1);
    if (zone != zone_ || dst != dst_) {
        zone_ = zone;
        dst_ = dst;
        syncAndNote(true);
    }
}

int ClockCore::wakeUp()
{
    int enabled = 0;
    for (int n = 0; n < kHosts; ++n)
        if (rt_.integer(format("WakeEnabled_%d", n), 0) == 1) ++enabled;
    if (enabled == 0) return 0;
    const int port = card::parseInt(rt_.text("wakeport", std::to_string(kWakePortDefault)), -1);
    if (port <= 0 || port > 65535) {
        rt_.log("[wakeup] wakeport \"" + rt_.text("wakeport") + "\" is no port: nothing sent");
        return 0;
    }
    std::vector<WakePacket> packets;
    std::vector<int> hosts;
    for (int n = 0; n < kHosts; ++n) {
        if (rt_.integer(format("WakeEnabled_%d", n), 0) == 0) continue;
        Mac mac{};
        for (int b = 0; b < 6; ++b) {
            mac[size_t(b)] = macByte(rt_.text(format("mac_%d_%d", n, b)));
            rt_.log(format("send mac_addr: %d", mac[size_t(b)]));
        }
        packets.push_back(wakePacket(mac));
        hosts.push_back(n);
    }
    const int sent = sys_.broadcast(port, packets);
    for (int k = 0; k < sent && k < int(hosts.size()); ++k)
        rt_.log(format("Send mac%d wakeup packet successfully", hosts[size_t(k)]));
    return sent;
}

void ClockCore::wakeStep()
{
    const bool inputBad = rt_.intValue(card::kUps, Alarm_InputBad) != 0;
    if (!mainsLost_) {
        mainsLost_ = inputBad;
        return;
    }
    if (inputBad) return;
    mainsLost_ = false;
    if (rt_.integer("use_dev_fun4", 1) == 1) wakeUp();
}

void ClockCore::reboot()
{
    rt_.log("[svc_clock] restarting the card");
    sys_.run({"reboot"});
}

void ClockCore::restartStep(std::time_t now)
{
    if (rt_.integer("system_restart", 0) != 1) {
        restartSeen_.reset();
    } else if (!restartSeen_) {
        restartSeen_ = now;
    } else if (now - *restartSeen_ > kRestartDelaySeconds) {
        restartSeen_.reset();
        rt_.saveInt("system_restart", 0);
        reboot();
    }

    if (rt_.integer("system_automatic_restart", 0) != 1) {
        autoRestartSeen_.reset();
        return;
    }
    if (!autoRestartSeen_) autoRestartSeen_ = now;
    const long long after = static_cast<long long>(rt_.integer("system_restart_time", 0)) * 3600;
    if (now - *autoRestartSeen_ >= after) {
        autoRestartSeen_.reset();
        rt_.saveInt("system_automatic_restart", 0);
        rt_.saveInt("system_restart_time", 0);
        reboot();
    }
}

void ClockCore::pass()
{
    std::time_t now = rt_.now();
    if (now < lastSync_) lastSync_ = now;
    const long long startup = rt_.integer("system_startup_time", 0);
    if (now >= startup) rt_.saveInt("system_run_time", static_cast<int>(now - startup));

    clockStep(now);
    wakeStep();
    restartStep(now);
    if (const std::string text = packCommand(rt_); !text.empty()) rt_.control(card::kUps, text);
}

} // namespace svc_clock
