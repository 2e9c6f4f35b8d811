/*
 * battery_service.hpp - the estimator on the card: parameters from the
 * settings, one set of UPS readings per loop from the signal store, SOC and
 * remaining time published on device 60 (40121, 40120), SOC, SOH and the
 * discharge energy kept in the settings so that a restart carries on.
 */
#pragma once

#include "battery_core.hpp"
#include "card_runtime.hpp"

#include <optional>

namespace svc_battery
{

class BatteryService
{
  public:
    explicit BatteryService(card::Runtime& rt) : rt_(rt) {}

    // Reads the parameters, starts the estimator and publishes the saved SOC.
    void start();
    // One 20 ms loop: readings in, publication and keeping when due.
    void loop();
    // Writes SOC, SOH and energy to the settings (only what changed).
    void keep();

    const Estimator& estimator() const { return *est_; }

  private:
    Readings read();
    void publish();

    card::Runtime& rt_;
    std::optional<Estimator> est_;
    int keptSoc_ = -1, keptSoh_ = -1;
    long long keptEnergy_ = -1;
    SohStatus lastSoh_ = eSohIdle;
    bool lastEod_ = false;
};

} // namespace svc_battery
