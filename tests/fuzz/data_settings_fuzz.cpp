// libFuzzer target for the settings the data task reads on every pass: the
// schedule times and dates, the warning and delay minutes, the automatic test
// settings, the command parameters, the serial settings and the sampling
// period, all of them any bytes the settings pages may have stored, with any
// float in the UPS signals and a clock that moves a minute a pass.
// Invariants: nothing crashes, the parsers return values in range, and every
// command for the UPS names a command number the task is meant to send.
#include "data_core.hpp"

#include "fake_runtime.hpp"
#include "scratch.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace
{

// Settings take the next bytes of the input when first read; signals read
// four bytes at a place that depends on their number.
class FuzzRuntime : public card::FakeRuntime
{
  public:
    FuzzRuntime(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    std::string text(const std::string& k, const std::string& def = "") override
    {
        auto it = seen_.find(k);
        if (it != seen_.end()) return it->second;
        if (pos_ >= size_) return seen_[k] = def;
        const size_t want = data_[pos_++] % 24;
        const size_t n = std::min(want, size_ - pos_);
        std::string v(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return seen_[k] = v;
    }
    int integer(const std::string& k, int def = 0) override
    {
        const std::string v = text(k, "");
        return v.empty() ? def : std::atoi(v.c_str());
    }
    void save(const std::string& k, const std::string& v) override { seen_[k] = v; }
    float value(int dev, int sig) override
    {
        if (size_ < 4) return 0;
        float f;
        std::memcpy(&f, data_ + static_cast<size_t>(dev * 131 + sig) % (size_ - 3), 4);
        return f;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    std::map<std::string, std::string> seen_;
};

const std::string& scratchDir()
{
    static const std::string dir = fuzzScratchDir("data_settings_fuzz");
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view raw(reinterpret_cast<const char*>(data), size);
    if (auto c = svc_data::parseClock(raw); c && (*c < 0 || *c >= 24 * 60)) std::abort();
    if (auto d = svc_data::parseDate(raw);
        d && (d->month < 1 || d->month > 12 || d->day < 1 || d->day > 31))
        std::abort();
    svc_data::parseInteger(raw);

    FuzzRuntime rt(data, size);
    rt.clock = 1'796'000'000 + (size ? data[size - 1] * 3571 : 0);
    svc_data::DataCore core(rt, scratchDir());
    core.start();
    for (int pass = 0; pass < 4; ++pass) {
        core.supervisionPass();
        core.samplerPass();
        rt.clock += 60;
    }
    core.onEvent(card::channel::kCommand, size ? data[0] % 26 : 0);
    for (const auto& c : rt.controls) {
        if (c.dev != card::kUps) continue;
        const int command = std::atoi(c.text.c_str());
        const bool known = (command >= 0 && command <= card::command::kLast) ||
                           command == svc_data::kCmdModelSetup;
        if (!known) std::abort();
    }
    return 0;
}
