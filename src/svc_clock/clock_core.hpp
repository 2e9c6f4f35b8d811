/*
 * clock_core.hpp - the clock task's one-second pass.
 *
 * At start the task notes when the card started (system_startup_time); every
 * second it then
 *   1. keeps system_run_time = now - system_startup_time, so that the two
 *      together tell when the card last ran (the store closes alarms left
 *      open across a restart at that time);
 *   2. sets the clock from the time server: once when periodic sync is on or
 *      signal 3004 of the card asks for it, then every chosen interval and
 *      after a time-zone change (the zone goes into TZ first);
 *   3. sends the Wake-on-LAN packets once per return of mains (alarm 20005
 *      of the UPS set, then clear);
 *   4. reboots the card 30 s after system_restart was set to 1, or once
 *      system_restart_time hours have passed with system_automatic_restart 1
 *      (each setting is cleared before the reboot);
 *   5. forwards the battery packs' readings to the UPS of one family.
 *
 * What changes the machine (programs, TZ, the packets) goes through System,
 * so a test drives the pass with a card::FakeRuntime and a recording System.
 */
#pragma once

#include "card_runtime.hpp"

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace svc_clock
{

using Mac = std::array<std::uint8_t, 6>;
using WakePacket = std::array<std::uint8_t, 102>;

// What the pass asks of the machine.
class System
{
  public:
    virtual ~System() = default;
    // Runs a program without a shell; its output into *out when asked.
    virtual int run(const std::vector<std::string>& argv, std::string* out = nullptr) = 0;
    // Puts the zone text into TZ for this process.
    virtual void setZone(const std::string& tz) = 0;
    // Broadcasts the packets to UDP port `port` on the card's own network;
    // how many went out (0 when there is no socket or no interface).
    virtual int broadcast(int port, const std::vector<WakePacket>& packets) = 0;
};

// Hours between periodic syncs by "nchecktimeevery" (0 = none).
constexpr std::array<int, 7> kSyncHours = {0, 1, 3, 12, 24, 240, 720};
// A restart on request waits this long after the request was seen.
constexpr int kRestartDelaySeconds = 29;
constexpr int kHosts = 8; // Wake-on-LAN hosts

// One MAC byte from its settings text: the first two characters as hex
// digits; any other character sets the value read so far to 0.
std::uint8_t macByte(std::string_view text);
// 6 x 0xFF, then the MAC 16 times.
WakePacket wakePacket(const Mac& mac);
// The command text for the UPS with the packs' readings; empty when the pass
// has nothing to forward.
std::string packCommand(card::Runtime& rt);

class ClockCore
{
  public:
    ClockCore(card::Runtime& rt, System& sys) : rt_(rt), sys_(sys) {}

    // Before the first pass: the zone cache and the start time.
    void start();
    void pass();

    // Sets the clock from the time server (the zone first with zoneToo);
    // returns the time after it.
    std::time_t sync(bool zoneToo);
    // The Wake-on-LAN packets of the enabled hosts; how many were sent.
    int wakeUp();

  private:
    void syncAndNote(bool zoneToo);
    void clockStep(std::time_t& now);
    void wakeStep();
    void restartStep(std::time_t now);
    void reboot();

    card::Runtime& rt_;
    System& sys_;
    int zone_ = 26;
    int dst_ = 1;
    bool started_ = false; // the first sync of a periodic run is done
    std::time_t lastSync_ = 0;
    bool mainsLost_ = false;
    std::optional<std::time_t> restartSeen_;
    std::optional<std::time_t> autoRestartSeen_;
};

} // namespace svc_clock
