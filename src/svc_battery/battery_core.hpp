/*
 * battery_core.hpp - the battery estimator: state of charge, state of health,
 * rated and remaining backup time, and a model of the charger's stages.
 *
 * The estimator is fed, every 20 ms, with one set of UPS readings; the count
 * of those loops is its clock:
 *   - every loop it refreshes its run data (voltage, load, main state, the
 *     end-of-discharge filters) and steps the charge-stage machine;
 *   - every 5th loop a tenth-second step counts; each 21st of those (2.1 s)
 *     runs an evaluation: power, rated time from the backup-time table, SOC,
 *     SOH, remaining time;
 *   - every 250th loop (5 s) the caller publishes SOC and remaining time,
 *     every 3000th (60 s) it keeps SOC, SOH and the discharge energy.
 * It never touches the runtime: parameters come from a settings lookup, the
 * readings from the caller, so tests drive it loop by loop.
 *
 * Fixed point: voltages are Q12 per 12 V block (4096 = 12.0 V), table powers
 * are hundredths of a watt per 2 V cell, table and rated times are minutes.
 */
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace svc_battery
{

constexpr int kQShift = 12;                   // the Q scale: 1 << 12 = 4096
constexpr int kEvalSeconds = 2;               // seconds an evaluation stands for
constexpr int kBuiltInRows = 15;              // points of the built-in backup-time table
constexpr int kTableSize = 20;                // room for the user's table
constexpr int kLoopMs = 20;                   // one estimator loop
constexpr int kTenthLoops = 5;                // loops per tenth-second step
constexpr int kEvalTenths = 21;               // tenth steps per evaluation (2.1 s)
constexpr int kPublishLoops = 250;            // 5 s
constexpr int kSaveLoops = 3000;              // 60 s
constexpr int kEodSetReadings = 50;           // low readings that raise the EOD flag
constexpr int kEodHoldReadings = 500;         // readings above the limit that clear it
constexpr unsigned kEodDischargeLoops = 1499; // 30 s of discharge before EOD counts

// Built-in backup-time table: battery Ah and the power per cell (1/100 W) that
// a string of that battery carries for each time of kBuiltInMinutes.
struct AhRow {
    int ah;
    std::array<std::uint32_t, kBuiltInRows> power;
};
extern const std::array<std::uint16_t, kBuiltInRows> kBuiltInMinutes;
extern const std::array<AhRow, 6> kCurrentTabList;
// The estimator picks among the first five rows (17 to 100 Ah).
constexpr int kEstimatorRows = 5;

// Index into kCurrentTabList of the row for a battery of `ah` (17..100 Ah):
// the nearest capacity, the smaller one on a tie of distance.
int rowForCapacity(int ah);

// Parameters, read from the settings when the task starts.
struct Params {
    int cellCount = 16;          // 12 V blocks per string (battery_sections_number)
    int cellGroup = 1;           // parallel strings (battery_packs_number)
    unsigned upsPower = 1000;    // rated VA (UpsPower)
    bool userTable = false;      // CurrentSel == 1
    std::string replaceTime;     // bat_change_time, 10 characters at most
    unsigned sampleCurrFlag = 0; // 3: the UPS type has no usable battery current
    int cellCapacity = 100;      // Ah (BatRateCap)
    unsigned wtNumber = kBuiltInRows;
    std::array<std::uint16_t, kTableSize> batMin{};
    std::array<float, kTableSize> batWatt{}; // 1/100 W per cell
    float eodVoltage = 10.5f;                // volts per block (BatDepVol)
    float fullVoltage = 13.5f;
    float floatChargeVolt = 13.5f;
    float cellLowVolt = 1.75f;
    int evenChargeTime = 240;     // minutes
    int floatChargeTime = 120;    // minutes
    float evenChargeVolt = 13.4f; // volts per block (BatEvenVol)
    int saveSoc = 100;
    int saveSoh = 100;
    std::uint32_t savePt = 100;
};

// A settings reader: the text of key, def when the key is unset.
using SettingText = std::function<std::string(const std::string& key, const std::string& def)>;
// The parameters from the settings. Values that would stop the arithmetic
// (no blocks, no strings, no power, an end-of-discharge voltage of 0 or
// less) take their defaults; SOC and SOH are kept within 0..100 and 1..100.
Params loadParams(const SettingText& setting);

// One loop's readings from the UPS (device 60).
struct Readings {
    float totalVoltage = 0;      // Data_TotalBatteryVoltage
    float current = 0;           // Data_BatteryCurrent
    int inputLines = 0;          // Data_InputNumLines
    std::array<float, 3> load{}; // Data_OutputPercentLoad_A..C
    bool onBattery = false;      // Alarm_OnBattery
    bool testing = false;        // Alarm_TestInProgress
    bool discharging = false;    // Alarm_BatteryCharge, set by the drivers while the battery feeds
    int batteryStatus = 0;       // Data_BatteryStatus (8: discharging)
    int outputSource = 0;        // Data_OutputSource (5: battery)
    bool inputBad = false;       // Alarm_InputBad
};

enum MainState : unsigned { eBatIdle = 0, eBatCharging = 1, eBatDischarging = 2 };
enum ChargeState : unsigned {
    eChargeOff = 0,
    eConstCurrCharge = 1,
    eConstVoltCharge = 2,
    eConstVoltFloat = 3,
    eBatPause = 4,
};
enum SohStatus : unsigned { eSohIdle = 0, eSohMeasuring = 1, eSohAbandoned = 2, eSohDone = 3 };

// What a loop asks of the caller.
struct Due {
    bool publish = false; // SOC -> 40121, remaining time -> 40120
    bool save = false;    // SOC, SOH, energy -> saveSoc, saveSoh, savePt
};

class Estimator
{
  public:
    explicit Estimator(const Params& p);

    // One 20 ms loop.
    Due loop(const Readings& r);

    // ---- what it publishes and keeps ----
    int soc() const { return run_.soc; }
    int soh() const { return run_.soh; }
    int remainMinutes() const { return run_.remainMin; }
    std::uint32_t energy() const { return run_.dischargePInteg; }

    // ---- its state, for tests and the log ----
    unsigned long loops() const { return loops_; }
    unsigned long evaluations() const { return evaluations_; }
    bool eodFlag() const { return eodFlag_; }
    bool eod() const { return run_.eod; }
    bool noLoad() const { return run_.noLoad; }
    bool chargeFull() const { return run_.chargeFull; }
    bool powerChange() const { return run_.powerChange; }
    MainState mainState() const { return run_.mainState; }
    ChargeState chargeState() const { return local_.chargeState; }
    SohStatus sohStatus() const { return run_.sohStatus; }
    int ratedMinutes() const { return run_.wtTimer; }
    unsigned realPower() const { return run_.realPower; }
    int loadPercent() const { return run_.loadPercent; }
    unsigned voltageQ() const { return run_.voltQ; }
    // The rated table in use: row of the built-in table (-1: the user's), its
    // powers after the end-of-discharge scaling, and its size.
    int tableRow() const { return tableRow_; }
    std::uint32_t tablePower(int i) const { return set_.power[std::size_t(i)]; }
    int tableMinutes(int i) const { return int(set_.minutes[std::size_t(i)]); }
    int tableSize() const { return int(run_.wtNumber); }

  private:
    // Set record: what the parameters give the estimator.
    struct Set {
        std::uint32_t systemVA = 1000;
        unsigned ah = 100, strings = 1, blocks = 16, cellsPerBlock = 6;
        unsigned eodQ = 0, openCircuitQ = 4437, chargeQ = 0;
        unsigned chargeMinutes = 240, floatMinutes = 120, pauseMinutes = 1;
        bool pauseEnable = false;
        unsigned efficiency = 90;
        std::array<std::uint32_t, kTableSize> minutes{};
        std::array<std::uint32_t, kTableSize> power{};
    };
    // Run record.
    struct Run {
        unsigned voltQ = 0;
        int soc = 100, soh = 100, remainMin = 0;
        std::uint32_t dischargePInteg = 0;
        MainState mainState = eBatCharging;
        ChargeState chargeState = eChargeOff;
        bool eod = false, chargeFull = false, noLoad = false, powerChange = false;
        SohStatus sohStatus = eSohIdle;
        int currQ = 0;
        int loadPercent = 0;
        int wtTimer = 0, wtConstTimer = 0;
        std::uint32_t ratePower = 0; // VA per cell
        std::uint32_t realPowerQ = 0;
        std::uint32_t realPower = 0; // 1/100 W per cell
        unsigned wtNumber = kBuiltInRows;
    };
    // Local flags and the charge-stage machine.
    struct Local {
        bool toDischarge = false, toCharge = false;
        bool chargeLogic = true;
        ChargeState chargeState = eChargeOff;
        bool innerFull = false;
        unsigned forceStage = 0;
        unsigned currSample = 3;
        bool noChargeCurrSoc = false;
        unsigned long stageLoops = 0;
    };

    void refresh(const Readings& r);
    void chargeStages();
    void evaluate();
    void power();
    void ratedTime();
    void dischargeSoc();
    void chargeSoc();
    void stateOfHealth();
    void remaining();
    void rebuildTable();
    bool eodReading(float totalVoltage);
    unsigned stageSeconds() const;

    Params p_;
    Set set_;
    Run run_;
    Local local_;

    unsigned long loops_ = 0, evaluations_ = 0;
    int tenths_ = 0;
    // The end-of-discharge flag with its hysteresis counter.
    bool eodFlag_ = false;
    int eodCount_ = 0;
    unsigned eodFilterLoops_ = 0;
    unsigned eodCnt30s_ = 0;
    bool inputBad_ = false;
    // The table was built for this capacity and EOD voltage.
    unsigned tableAh_ = 0, tableEodQ_ = 0;
    int tableRow_ = -2;
    // Power filter and change test.
    std::int64_t powerCaluQ_ = 0, rememberedPower_ = 0;
    int rememberedLoad_ = 0;
    std::int64_t measuredQ_ = 0;
    // Discharge: SOC kept in millionths of a point so a restart of the steps on
    // a change of load does not lose the part of a point already used.
    std::int64_t socMicro_ = 100'000'000, rememberedMicro_ = 100'000'000;
    unsigned long dischargeSteps_ = 0;
    std::uint32_t powerInteg_ = 0, chargePInteg_ = 0;
    // Charge without a current reading.
    unsigned chargeEvals_ = 0, cvEvals_ = 0;
    unsigned v0_ = 0;
    int soc0_ = 0;
    // SOH measurement.
    unsigned long sohEvals_ = 0;
    int sohRated_ = 0;
};

} // namespace svc_battery
