/*
 * gpio.hpp - the GPIO register page of the card, mapped from /dev/mem.
 *
 * One 4096-byte page at physical 0xB8003000; the direction register sits at
 * +0x40 and the data register at +0x44. Off the card /dev/mem is a plain file
 * inside the sandbox. Access outside the page, or before it is mapped, reads 0
 * and writes nothing.
 */
#pragma once

#include <cstdint>

namespace platform
{

class GpioPage
{
  public:
    static constexpr uint32_t kBase = 0xB8003000;
    static constexpr uint32_t kSize = 4096;
    static constexpr uint32_t kDirection = 0xB8003040;
    static constexpr uint32_t kData = 0xB8003044;

    GpioPage() = default;
    ~GpioPage();
    GpioPage(const GpioPage&) = delete;
    GpioPage& operator=(const GpioPage&) = delete;

    // Maps the page from the (sandboxed) /dev/mem; false when it cannot.
    bool map();
    bool mapped() const { return page_ != nullptr; }

    uint32_t read(uint32_t addr) const;
    void write(uint32_t addr, uint32_t value);
    // Sets (level 1) or clears (level 0) one bit of the data register.
    void drivePin(int pin, int level);

  private:
    volatile uint32_t* reg(uint32_t addr) const;
    void* page_ = nullptr;
    int fd_ = -1;
};

} // namespace platform
