/*
 * plugin.cpp - svc_identify on the task shell: once a second it looks at
 * enable_identify and, when it is set, runs one identification on port 1
 * (identify.hpp). The task's stop ends a run at its next pause.
 */
#include "card_plugin.hpp"
#include "identify.hpp"
#include "platform.hpp"

#include <optional>

namespace
{

// Port 1 through the runtime's port calls.
class CardLine : public identify::Line
{
  public:
    bool present() override { return handle() != nullptr; }
    int write(const void* buf, int len) override { return CommWrite(handle(), buf, len); }
    int read(void* buf, int max) override { return CommRead(handle(), buf, max); }
    void setBaud(int rate) override { CommControl(handle(), COMM_CTL_BAUD, &rate, sizeof rate); }

  private:
    static void* handle() { return getPortHandle(card::kUpsPort); }
};

class IdentifyTask : public card::Task
{
    void init() override
    {
        identifier_.emplace(
            card::rt(), line_, [this](int ms) { return pause(std::chrono::milliseconds(ms)); },
            [] { platform::runShell("reboot"); });
        identifier_->load();
    }

    void run() override
    {
        every(std::chrono::seconds(1), "identify", [this] {
            if (card::rt().integer("enable_identify", 0) == 0) {
                identifier_->clearResult();
                return;
            }
            identifier_->run();
        });
    }

    CardLine line_;
    std::optional<identify::Identifier> identifier_;
};

} // namespace

CARD_TASK(IdentifyTask, "svc_identify",
          "  svc_identify   模块\n"
          "  自动识别ups参数数据：协议类型、设备地址、波特率\n"
          "  Version: V1.0\n"
          "  Last build:\n" CARD_STAMP_SPACE)
