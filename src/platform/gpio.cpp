/*
 * gpio.cpp - read-modify-write access to the GPIO page (see gpio.hpp).
 */
#include "gpio.hpp"

#include "platform.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace platform
{

GpioPage::~GpioPage()
{
    if (page_) munmap(page_, kSize);
    if (fd_ >= 0) close(fd_);
}

bool GpioPage::map()
{
    if (page_) return true;
    fd_ = open(sysPath("/dev/mem").c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd_ < 0) return false;
    void* p = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, off_t(kBase));
    if (p == MAP_FAILED) {
        close(fd_);
        fd_ = -1;
        return false;
    }
    page_ = p;
    return true;
}

volatile uint32_t* GpioPage::reg(uint32_t addr) const
{
    if (!page_ || addr < kBase || addr + 4 > kBase + kSize || (addr & 3)) return nullptr;
    return reinterpret_cast<volatile uint32_t*>(static_cast<char*>(page_) + (addr - kBase));
}

uint32_t GpioPage::read(uint32_t addr) const
{
    auto r = reg(addr);
    return r ? *r : 0;
}

void GpioPage::write(uint32_t addr, uint32_t value)
{
    if (auto r = reg(addr)) *r = value;
}

void GpioPage::drivePin(int pin, int level)
{
    if (pin < 0 || pin > 31) return;
    uint32_t v = read(kData);
    v = level ? (v | (1u << pin)) : (v & ~(1u << pin));
    write(kData, v);
}

} // namespace platform
