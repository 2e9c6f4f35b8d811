// The smallest task on the card's shell: counts its passes in signal 30001 of
// the card, keeps the last code posted on channel 9 in 30002, and leaves
// data/heartbeat.stopped behind when the runtime stops it.
#include "card_plugin.hpp"

#include <fstream>

namespace
{

constexpr int kBeatSignal = 30001; // test signals of the card, outside the catalogue
constexpr int kLastCodeSignal = 30002;

class Heartbeat : public card::Task
{
    void run() override
    {
        int beats = 0;
        every(std::chrono::milliseconds(100), "heartbeat",
              [&] { card::rt().setValue(card::kCard, kBeatSignal, float(++beats)); });
        std::ofstream("data/heartbeat.stopped") << beats << "\n";
    }
    void event(int channel, int code, void*, int) override
    {
        if (channel == 9) card::rt().setValue(card::kCard, kLastCodeSignal, float(code));
    }
};

} // namespace

CARD_TASK(Heartbeat, "heartbeat", CARD_INFO("heartbeat", "test task on the card's shell"))
