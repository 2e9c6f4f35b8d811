/*
 * battery_core.cpp - the battery estimator (see battery_core.hpp): the
 * built-in backup-time table, the parameters, the 20 ms run-data refresh and
 * charge-stage machine, and the 2.1 s evaluation.
 */
#include "battery_core.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace svc_battery
{

// Minutes of the built-in table, one per power column.
const std::array<std::uint16_t, kBuiltInRows> kBuiltInMinutes = {
    5, 10, 15, 20, 30, 45, 60, 90, 120, 180, 240, 300, 360, 600, 1200};

// Power per cell (1/100 W) against those minutes, by battery capacity.
const std::array<AhRow, 6> kCurrentTabList = {{
    {17, {10600, 7800, 6100, 5200, 4000, 2900, 2300, 1500, 1200, 900, 700, 600, 500, 300, 200}},
    {24, {13000, 10900, 7900, 6800, 5100, 3800, 2900, 1900, 1600, 1200, 1000, 800, 700, 400, 200}},
    {38,
     {18800, 15900, 12500, 11000, 8000, 5800, 4400, 3100, 2800, 2000, 1600, 1200, 1100, 700, 400}},
    {65,
     {25900, 21400, 17000, 14800, 11800, 8500, 7900, 5000, 4500, 3200, 2600, 2100, 1900, 1200,
      600}},
    {100,
     {35900, 31100, 26600, 23200, 18400, 13400, 10500, 7700, 6400, 4400, 3400, 2700, 2300, 1500,
      800}},
    {200,
     {79100, 69500, 59800, 52300, 37500, 31400, 25400, 21600, 17900, 10400, 7800, 7200, 6500, 3700,
      2100}},
}};

namespace
{

constexpr std::int64_t kMicro = 1'000'000; // millionths of a SOC point
// What the steps' rounding may leave over a whole point.
constexpr std::int64_t kSocSlack = 100;
constexpr unsigned kOpenCircuitQ = 4437;
// The table's powers hold for 10.5 V per block: 4096 x (10.5 V in Q).
constexpr std::uint32_t kTableEodScale = 14680050;
constexpr int kChargeRememberEvals = 40;
constexpr int kSohSettleEvals = 30;
constexpr unsigned kEodFilterMs = 2 * 1000 + 2000;
constexpr unsigned kEodCountCap = 8192;

// ---- parameters ----

std::string trimmed(const std::string& s)
{
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The integer reading of a setting (atoi), def when unset or blank.
long long intSetting(const SettingText& get, const std::string& key, long long def)
{
    const std::string t = trimmed(get(key, ""));
    return t.empty() ? def : std::atoll(t.c_str());
}

float floatSetting(const SettingText& get, const std::string& key, float def)
{
    const std::string t = trimmed(get(key, ""));
    if (t.empty()) return def;
    const float v = std::strtof(t.c_str(), nullptr);
    return std::isfinite(v) ? v : def;
}

int inRange(long long v, long long lo, long long hi, int def)
{
    return v < lo || v > hi ? def : int(v);
}

template <class T> T clampTo(std::int64_t v, std::int64_t lo, std::int64_t hi)
{
    return T(std::clamp(v, lo, hi));
}

unsigned toQ(float voltsPerBlock)
{
    return clampTo<unsigned>(std::int64_t(voltsPerBlock / 12.0f * 4096.0f), 0, 0xFFFF);
}

} // namespace

int rowForCapacity(int ah)
{
    int found = -1;
    for (int i = 0; i < kEstimatorRows; ++i)
        if (kCurrentTabList[std::size_t(i)].ah >= ah) {
            found = i;
            break;
        }
    if (found < 0) return kEstimatorRows - 1;
    if (found > 0 && ah - kCurrentTabList[std::size_t(found - 1)].ah <
                         kCurrentTabList[std::size_t(found)].ah - ah)
        return found - 1;
    return found;
}

Params loadParams(const SettingText& get)
{
    Params p;
    p.cellCount = inRange(intSetting(get, "battery_sections_number", 16), 1, 255, 16);
    p.cellGroup = inRange(intSetting(get, "battery_packs_number", 1), 1, 255, 1);
    p.upsPower = unsigned(inRange(intSetting(get, "UpsPower", 1000), 1, 100'000'000, 1000));
    p.userTable = intSetting(get, "CurrentSel", 0) == 1;
    p.replaceTime = get("bat_change_time", "").substr(0, 10);
    const long long upsType = intSetting(get, "ups_type", 0);
    const bool noCurrent = upsType == 0 || upsType == 8;
    p.sampleCurrFlag = noCurrent ? 3 : 0;
    p.cellCapacity = int(std::clamp(intSetting(get, "BatRateCap", 100), -100'000LL, 100'000LL));

    // A user table without a single point cannot give a time: the built-in one
    // stands in for it.
    const long long points = intSetting(get, "WtNumber", 8);
    if (p.userTable && points < 1) p.userTable = false;
    if (p.userTable) {
        p.wtNumber = unsigned(std::min<long long>(points, kBuiltInRows));
        for (unsigned i = 0; i < p.wtNumber; ++i) {
            const std::string n = std::to_string(i + 1);
            p.batMin[i] = clampTo<std::uint16_t>(intSetting(get, "BatMin" + n, 0), 0, 0xFFFF);
            p.batWatt[i] = std::max(0.0f, std::round(floatSetting(get, "BatWatt" + n, 0) * 100.0f));
        }
    } else {
        p.wtNumber = kBuiltInRows;
        const AhRow& row = kCurrentTabList[noCurrent ? 0 : 4];
        for (int i = 0; i < kBuiltInRows; ++i) {
            p.batMin[std::size_t(i)] = kBuiltInMinutes[std::size_t(i)];
            p.batWatt[std::size_t(i)] = float(row.power[std::size_t(i)]);
        }
    }

    p.eodVoltage = floatSetting(get, "BatDepVol", 10.5f);
    if (p.eodVoltage <= 0 || p.eodVoltage > 100) p.eodVoltage = 10.5f;
    p.evenChargeTime = inRange(intSetting(get, "EvenChargeTime", 240), 0, 100'000, 240);
    p.floatChargeTime = inRange(intSetting(get, "FloatChargeTime", 120), 0, 100'000, 120);
    p.evenChargeVolt = floatSetting(get, "BatEvenVol", 13.4f);
    if (p.evenChargeVolt <= 0.2f || p.evenChargeVolt > 100) p.evenChargeVolt = 13.4f;
    p.saveSoc = int(std::clamp(intSetting(get, "saveSoc", 100), 0LL, 100LL));
    p.saveSoh = int(std::clamp(intSetting(get, "saveSoh", 100), 1LL, 100LL));
    p.savePt = clampTo<std::uint32_t>(intSetting(get, "savePt", 100), 0, 0xFFFFFFFF);
    return p;
}

// ---- the estimator ----

Estimator::Estimator(const Params& p) : p_(p)
{
    set_.systemVA = p.upsPower;
    set_.ah = unsigned(std::max(0, p.cellCapacity));
    set_.strings = unsigned(p.cellGroup);
    set_.blocks = unsigned(p.cellCount);
    set_.eodQ = toQ(p.eodVoltage + 0.2f);
    set_.openCircuitQ = kOpenCircuitQ;
    set_.chargeQ = toQ(p.evenChargeVolt - 0.2f);
    set_.chargeMinutes = unsigned(p.evenChargeTime);
    set_.floatMinutes = unsigned(p.floatChargeTime);

    run_.soc = std::clamp(p.saveSoc, 0, 100);
    run_.chargeFull = run_.soc == 100;
    run_.soh = std::clamp(p.saveSoh, 1, 100);
    socMicro_ = run_.soc * kMicro;
    powerInteg_ = p.savePt;
    run_.dischargePInteg = p.savePt;
    run_.ratePower = set_.systemVA / (set_.strings * set_.blocks * set_.cellsPerBlock);
    run_.wtNumber = p.userTable ? p.wtNumber : kBuiltInRows;
}

Due Estimator::loop(const Readings& r)
{
    ++loops_;
    refresh(r);
    chargeStages();
    if (loops_ % kTenthLoops == 0 && ++tenths_ >= kEvalTenths) {
        tenths_ = 0;
        evaluate();
    }
    return {loops_ % kPublishLoops == 0, loops_ % kSaveLoops == 0};
}

// A total voltage at or below the end-of-discharge limit of the string counts
// up; 50 of them raise the flag and leave 500 readings above it to clear it.
bool Estimator::eodReading(float totalVoltage)
{
    const float limit = std::floor((p_.eodVoltage + 0.2f) * float(p_.cellCount));
    if (totalVoltage > 0 && totalVoltage <= limit) {
        if (eodFlag_)
            eodCount_ = kEodHoldReadings;
        else if (++eodCount_ >= kEodSetReadings) {
            eodFlag_ = true;
            eodCount_ = kEodHoldReadings;
        }
    } else {
        if (eodCount_ > 0) --eodCount_;
        if (eodCount_ == 0) eodFlag_ = false;
    }
    return eodFlag_;
}

void Estimator::refresh(const Readings& r)
{
    // 1. voltage, end-of-discharge limit, main state, the charger model's view
    const float perBlock = r.totalVoltage / float(set_.blocks);
    run_.voltQ = std::isfinite(perBlock) ? toQ(perBlock) : 0;
    set_.eodQ = toQ(p_.eodVoltage + 0.2f);
    eodReading(r.totalVoltage);
    const bool discharging =
        r.onBattery || r.testing || r.discharging || r.batteryStatus == 8 || r.outputSource == 5;
    run_.mainState = discharging ? eBatDischarging : eBatCharging;
    run_.chargeState = local_.chargeState;
    if (!discharging) run_.chargeFull = local_.innerFull;
    inputBad_ = r.inputBad;

    // 2. capacity, current, load, table size
    set_.ah = unsigned(std::max(0, p_.cellCapacity));
    const unsigned perUnit = p_.upsPower / unsigned(p_.cellCount * 12);
    run_.currQ =
        p_.sampleCurrFlag == 3 || perUnit == 0 || !std::isfinite(r.current)
            ? 0
            : clampTo<int>(std::int64_t(r.current / float(perUnit) * 4096.0f), -0x8000, 0x7FFF);
    float load = 0;
    if (r.inputLines == 1)
        load = r.load[0];
    else if (r.inputLines == 3)
        load = r.load[0] + r.load[1] + r.load[2];
    run_.loadPercent = std::isfinite(load) ? clampTo<int>(std::int64_t(load), 0, 0xFFFF) : 0;
    run_.wtNumber = p_.userTable ? p_.wtNumber : kBuiltInRows;

    // 3. loops of the present discharge
    eodCnt30s_ = discharging ? std::min(eodCnt30s_ + 1, kEodCountCap) : 0;

    // 4. end of discharge: the flag must have stood through 30 s of discharge;
    // it ends 4 s after the flag clears.
    if (!eodFlag_) {
        if (eodFilterLoops_ * kLoopMs <= kEodFilterMs) ++eodFilterLoops_;
        if (eodFilterLoops_ * kLoopMs > kEodFilterMs) run_.eod = false;
    } else {
        eodFilterLoops_ = 0;
        if (eodCnt30s_ > kEodDischargeLoops) run_.eod = true;
    }

    // 5. the rated table follows the capacity and the end-of-discharge voltage
    if (set_.ah != tableAh_ || set_.eodQ != tableEodQ_) rebuildTable();
}

void Estimator::rebuildTable()
{
    const std::uint64_t factor = kTableEodScale / std::max(1u, set_.eodQ);
    auto scaled = [&](std::uint64_t power) {
        return clampTo<std::uint32_t>(std::int64_t((factor * power + 2048) >> kQShift), 0,
                                      0xFFFFFFFF);
    };
    if (p_.userTable) {
        tableRow_ = -1;
        for (unsigned i = 0; i < p_.wtNumber; ++i) {
            set_.power[i] = scaled(std::uint64_t(p_.batWatt[i]));
            set_.minutes[i] = p_.batMin[i];
        }
    } else {
        tableRow_ = rowForCapacity(int(set_.ah));
        const AhRow& row = kCurrentTabList[std::size_t(tableRow_)];
        for (std::size_t i = 0; i < kBuiltInRows; ++i) {
            set_.power[i] = scaled(row.power[i]);
            set_.minutes[i] = kBuiltInMinutes[i];
        }
    }
    tableAh_ = set_.ah;
    tableEodQ_ = set_.eodQ;
}

unsigned Estimator::stageSeconds() const
{
    return unsigned((std::uint64_t(local_.stageLoops) * kLoopMs * 65) >> 16);
}

// Constant current until the charge voltage, constant voltage for the charge
// time, then float; after the float time the battery counts as full.
void Estimator::chargeStages()
{
    Local& l = local_;
    ++l.stageLoops;
    auto enter = [&](ChargeState s) {
        l.chargeState = s;
        l.stageLoops = 0;
    };
    const bool charging = run_.mainState == eBatCharging;
    if (!charging || (l.chargeState == eBatPause && stageSeconds() > set_.pauseMinutes * 60))
        enter(eChargeOff);
    if (charging && l.chargeState == eChargeOff && (l.chargeLogic || l.forceStage == 1)) {
        enter(eConstCurrCharge);
        l.innerFull = false;
    }
    if (l.chargeState == eConstCurrCharge && (run_.voltQ >= set_.chargeQ || l.forceStage == 2))
        enter(eConstVoltCharge);
    if (l.chargeState == eConstVoltCharge &&
        (stageSeconds() > set_.chargeMinutes * 60 || l.forceStage == 3))
        enter(eConstVoltFloat);
    if (l.chargeState == eConstVoltFloat &&
        ((stageSeconds() > set_.floatMinutes * 60 && charging && !l.innerFull) ||
         l.forceStage == 4)) {
        l.innerFull = true;
        if (set_.pauseEnable) enter(eBatPause);
    }
}

void Estimator::evaluate()
{
    ++evaluations_;
    power();
    ratedTime();
    if (run_.mainState == eBatDischarging)
        dischargeSoc();
    else
        chargeSoc();
    stateOfHealth();
    remaining();
}

// 1. The power a cell delivers, from the load (or the measured current), and
// whether it changed enough to restart the discharge reference.
void Estimator::power()
{
    run_.realPowerQ = std::uint32_t((std::int64_t(run_.loadPercent) << kQShift) / 90);
    std::int64_t measured = (std::int64_t(run_.currQ) * run_.voltQ) >> kQShift;
    const std::uint64_t fromLoad =
        (std::uint64_t(run_.ratePower) * run_.realPowerQ * 100) >> kQShift;
    const auto fromMeasured = [&] {
        return std::uint32_t(
            (std::uint64_t(std::max<std::int64_t>(0, measured)) * run_.ratePower * 100) >> kQShift);
    };
    const unsigned sample = local_.currSample;
    if (run_.mainState != eBatDischarging) {
        run_.realPower = std::uint32_t(fromLoad);
        local_.noChargeCurrSoc = sample != 0 && sample != 1;
        if (local_.noChargeCurrSoc) measured = 0;
    } else if (sample == 0) {
        run_.realPower = fromMeasured();
    } else if (sample == 1) {
        run_.realPower = std::uint32_t(fromLoad);
        measured = run_.realPowerQ;
    } else if (sample == 2) {
        run_.realPower = fromMeasured();
        measured = 0;
    } else {
        run_.realPower = std::uint32_t(fromLoad);
        measured = 0;
    }

    run_.powerChange = false;
    if (sample == 3) {
        if (std::abs(run_.loadPercent - rememberedLoad_) >= 2) {
            rememberedLoad_ = run_.loadPercent;
            run_.powerChange = true;
        }
        return;
    }
    powerCaluQ_ = std::max<std::int64_t>(0, (measured - powerCaluQ_) / 2 + powerCaluQ_);
    if (powerCaluQ_ > 40 && std::abs(powerCaluQ_ - rememberedPower_) * 100 > rememberedPower_ * 5) {
        rememberedPower_ = powerCaluQ_;
        run_.powerChange = true;
    }
}

// 2. Rated minutes at this power from the table (powers fall as the minutes
// rise): the first time above its power, a straight line between two points,
// and beyond the last point its time stretched by the share of its power
// (at most twice, never past 960 minutes' worth).
void Estimator::ratedTime()
{
    const int n = int(std::max(1u, run_.wtNumber));
    const auto P = [&](int i) { return std::int64_t(set_.power[std::size_t(i)]); };
    const auto T = [&](int i) { return std::int64_t(set_.minutes[std::size_t(i)]); };
    const std::int64_t pw = run_.realPower;
    std::int64_t t = -1;
    run_.noLoad = false;
    if (pw >= P(0)) t = T(0);
    for (int i = 0; t < 0 && i + 1 < n; ++i)
        if (pw >= P(i + 1))
            t = P(i) > P(i + 1) ? T(i) + (T(i + 1) - T(i)) * (P(i) - pw) / (P(i) - P(i + 1))
                                : T(i + 1);
    if (t < 0) {
        const std::int64_t last = T(n - 1);
        double c = P(n - 1) > 0 ? double(pw) / double(P(n - 1)) : 0;
        if (c >= 0.1 && run_.loadPercent > 1) {
            c = c <= 0.5 ? 0.5 : c >= 0.8 ? 1.0 : c;
            t = std::int64_t(double(last) / c);
        } else {
            t = 2 * last;
            run_.noLoad = true;
        }
        t = std::min(t, last >= 960 ? last : 2 * last);
    }
    run_.wtTimer = clampTo<int>(t, 0, 0xFFFF);
}

// 3. On battery: SOC falls along the rated time taken when the discharge (or
// the present load) began; it stands still without load.
void Estimator::dischargeSoc()
{
    const bool entering = !local_.toDischarge;
    if (entering || run_.powerChange) {
        rememberedMicro_ = entering ? run_.soc * kMicro : socMicro_;
        run_.chargeFull = rememberedMicro_ >= 100 * kMicro;
        run_.wtConstTimer = run_.wtTimer;
        dischargeSteps_ = 0;
        local_.toDischarge = true;
        local_.toCharge = false;
        chargePInteg_ = 0;
        run_.dischargePInteg = powerInteg_;
    }
    if (!run_.noLoad) {
        ++dischargeSteps_;
        const std::int64_t per = std::int64_t(std::max(1, run_.wtConstTimer)) * run_.soh * 60;
        const std::int64_t drop =
            std::int64_t(kEvalSeconds) * std::int64_t(dischargeSteps_) * 10000 * kMicro / per;
        socMicro_ = rememberedMicro_ - std::min(rememberedMicro_, drop);
        // A point is gone once it is all used: the published SOC rounds up.
        run_.soc = int(std::max<std::int64_t>(0, socMicro_ - kSocSlack + kMicro - 1) / kMicro);
    }
    const std::uint32_t add = std::uint32_t(std::max<std::int64_t>(0, powerCaluQ_));
    powerInteg_ += add;
    run_.dischargePInteg += add;
    if (run_.eod) {
        run_.soc = 0;
        socMicro_ = 0;
    }
    if (run_.chargeFull) run_.soc = 100;
}

// 3. On mains: without a current reading, SOC follows the charger's stages
// (towards 90 % with the voltage under constant current, a point at a time
// under constant voltage, full in float); with one, the charge is counted.
void Estimator::chargeSoc()
{
    if (!local_.toCharge) {
        local_.toCharge = true;
        local_.toDischarge = false;
        chargeEvals_ = 0;
        cvEvals_ = 0;
        soc0_ = run_.soc;
        chargePInteg_ = 0;
    }
    int soc = run_.soc;
    if (local_.noChargeCurrSoc) {
        if (inputBad_) chargeEvals_ = 0;
        if (chargeEvals_ < kChargeRememberEvals) {
            ++chargeEvals_;
            v0_ = run_.voltQ;
            soc0_ = soc;
        } else if (run_.chargeState == eConstCurrCharge) {
            if (run_.voltQ > v0_ && soc < 90 && v0_ < set_.chargeQ) {
                const int rise =
                    int(std::int64_t(90 - soc0_) * (run_.voltQ - v0_) / (set_.chargeQ - v0_));
                soc = std::max(soc, std::min(90, soc0_ + rise));
            }
        } else if (run_.chargeState == eConstVoltCharge) {
            const unsigned every = std::max(1u, set_.chargeMinutes * 6 / 2);
            if (soc < 90) {
                soc = 90;
            } else if (++cvEvals_ >= every) {
                cvEvals_ = 0;
                soc = std::min(100, soc + 1);
                if (soc == 100) run_.chargeFull = true;
            }
        } else if (run_.chargeFull) {
            soc = 100;
        }
    } else {
        chargePInteg_ += std::uint32_t(std::max<std::int64_t>(0, powerCaluQ_) * 8295 / 10000);
        if (run_.dischargePInteg > 0)
            soc = soc0_ + int(std::int64_t(100 - soc0_) * chargePInteg_ / run_.dischargePInteg);
    }
    run_.soc = std::clamp(soc, 1, 100);
    socMicro_ = run_.soc * kMicro;
}

// 4. SOH: a discharge from full under a steady load, timed to its end, against
// the rated time it began with.
void Estimator::stateOfHealth()
{
    if (run_.mainState == eBatCharging) {
        if (!run_.eod) {
            run_.sohStatus = eSohIdle;
            sohEvals_ = 0;
        }
        return;
    }
    if (run_.sohStatus == eSohIdle) {
        if (run_.chargeFull && !run_.noLoad && !run_.powerChange && run_.wtConstTimer > 0) {
            run_.sohStatus = eSohMeasuring;
            sohEvals_ = 0;
            sohRated_ = run_.wtConstTimer;
            run_.chargeFull = false;
        }
        return;
    }
    if (run_.sohStatus != eSohMeasuring) return;
    ++sohEvals_;
    if (run_.eod) {
        const std::int64_t minutes = (std::int64_t(kEvalSeconds) * sohEvals_ * 1093) >> 16;
        run_.soh = int(std::clamp<std::int64_t>(minutes * 100 / sohRated_, 1, 100));
        run_.sohStatus = eSohDone;
    } else if (run_.noLoad || (sohEvals_ > kSohSettleEvals &&
                               std::abs(run_.wtTimer - sohRated_) * 5 > sohRated_)) {
        run_.sohStatus = eSohAbandoned;
    }
}

// 5. Remaining minutes: the rated time scaled by SOH and SOC.
void Estimator::remaining()
{
    const unsigned sample = local_.currSample;
    const bool present = run_.mainState == eBatCharging || run_.noLoad || run_.powerChange ||
                         sample == 2 || sample == 3;
    const std::uint64_t ref = std::uint64_t(present ? run_.wtTimer : run_.wtConstTimer);
    const std::uint64_t scaled = (ref * std::uint64_t(run_.soh) * 656) >> 16;
    run_.remainMin = int(((scaled * 655 + 328) * std::uint64_t(run_.soc)) >> 16);
}

} // namespace svc_battery
