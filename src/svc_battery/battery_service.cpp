/*
 * battery_service.cpp - the estimator's readings and results through the
 * card's runtime (see battery_service.hpp).
 */
#include "battery_service.hpp"

#include "card.hpp"
#include "signals.h"

#include <string>

namespace svc_battery
{

void BatteryService::start()
{
    const Params p = loadParams(
        [this](const std::string& key, const std::string& def) { return rt_.text(key, def); });
    est_.emplace(p);
    keptSoc_ = p.saveSoc;
    keptSoh_ = p.saveSoh;
    keptEnergy_ = p.savePt;
    rt_.setValue(card::kUps, Data_BatteryManageSoc, float(est_->soc()));
    rt_.log("[svc_battery] " + std::to_string(p.cellCount) + " blocks x " +
            std::to_string(p.cellGroup) + " strings, " + std::to_string(p.cellCapacity) + " Ah, " +
            std::to_string(p.upsPower) + " VA, " + (p.userTable ? "user" : "built-in") +
            " table; SOC " + std::to_string(est_->soc()) + " %, SOH " +
            std::to_string(est_->soh()) + " %");
}

Readings BatteryService::read()
{
    auto v = [this](int sig) { return rt_.value(card::kUps, sig); };
    auto on = [&](int sig) { return v(sig) != 0.0f; };
    Readings r;
    r.totalVoltage = v(Data_TotalBatteryVoltage);
    r.current = v(Data_BatteryCurrent);
    r.inputLines = rt_.intValue(card::kUps, Data_InputNumLines);
    r.load = {v(Data_OutputPercentLoad_A), v(Data_OutputPercentLoad_B),
              v(Data_OutputPercentLoad_C)};
    r.onBattery = on(Alarm_OnBattery);
    r.testing = on(Alarm_TestInProgress);
    r.discharging = on(Alarm_BatteryCharge);
    r.batteryStatus = rt_.intValue(card::kUps, Data_BatteryStatus);
    r.outputSource = rt_.intValue(card::kUps, Data_OutputSource);
    r.inputBad = on(Alarm_InputBad);
    return r;
}

void BatteryService::publish()
{
    rt_.setValue(card::kUps, Data_BatteryManageSoc, float(est_->soc()));
    rt_.setValue(card::kUps, Data_BatteryManageTime, float(est_->remainMinutes()));
}

void BatteryService::loop()
{
    const Due due = est_->loop(read());
    if (est_->eod() != lastEod_) {
        lastEod_ = est_->eod();
        rt_.log(lastEod_ ? "[svc_battery] end of discharge"
                         : "[svc_battery] end of discharge over");
    }
    if (est_->sohStatus() != lastSoh_) {
        lastSoh_ = est_->sohStatus();
        if (lastSoh_ == eSohDone)
            rt_.log("[svc_battery] SOH measured: " + std::to_string(est_->soh()) + " %");
    }
    if (due.publish) publish();
    if (due.save) keep();
}

void BatteryService::keep()
{
    if (!est_) return;
    if (est_->soc() != keptSoc_) rt_.saveInt("saveSoc", keptSoc_ = est_->soc());
    if (est_->soh() != keptSoh_) rt_.saveInt("saveSoh", keptSoh_ = est_->soh());
    if (est_->energy() != keptEnergy_) {
        keptEnergy_ = est_->energy();
        rt_.save("savePt", std::to_string(keptEnergy_));
    }
}

} // namespace svc_battery
