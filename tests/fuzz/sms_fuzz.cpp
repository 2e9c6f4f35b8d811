// libFuzzer target for what the SMS task reads from the outside: the modem's
// replies (result codes, identity lines, CSQ, CREG), CMGL listings of unread
// messages in GSM text and UCS-2, and UCS-2 texts; every listed message then
// goes through both command paths on a card::FakeRuntime with a registered
// user, a controlling recipient and a scripted modem for the replies.
#include "fake_modem.hpp"
#include "sms.hpp"

#include "fake_runtime.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace sms;

namespace
{

void replies(std::string_view in)
{
    (void)isOk(in);
    (void)isFinal(in);
    if (infoLine(in).size() > 100 || quoted(in).size() > 100) __builtin_trap();
    (void)afterBlank(in);
    const int csq = parseCsq(in);
    const int creg = parseCreg(in);
    if (csq < -1 || csq > 999 || creg < -1 || creg > 999) __builtin_trap();
}

void ucs2(std::string_view in)
{
    const std::string hex = toUcs2Hex(in);
    if (hex.size() % 4 != 0) __builtin_trap();
    if (!hex.empty() && !fromUcs2Hex(hex)) __builtin_trap();
    if (auto text = fromUcs2Hex(in)) {
        // Whatever decodes encodes again to the same characters.
        std::string upper(in);
        for (char& c : upper)
            if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
        if (toUcs2Hex(*text) != upper) __builtin_trap();
    }
    if (auto n = numberFromUcs2Hex(in))
        if (n->size() * 4 != in.size()) __builtin_trap();
}

void listing(std::string_view in)
{
    card::FakeRuntime rt;
    rt.set("sms_enable", 1);
    rt.set("sms_alarm_is_enable", 1);
    rt.set("sms_recpt_0", "+8613900139000");
    rt.set("sms_ctrl_0", 1);
    rt.set("sms_user_enable_0", 1);
    rt.set("sms_telephone_code_0", "86");
    rt.set("sms_user_telephone_0", "13800138000");
    test::FakeModem modem;
    Modem m(modem, rt, nullptr);
    Commands cmd(rt,
                 [&](const std::string& to, const std::string& text) { return m.send(to, text); });
    cmd.load();
    for (const Message& msg : parseListing(in)) {
        if (msg.sender.size() > kSenderBytes || msg.content.size() > kContentBytes)
            __builtin_trap();
        cmd.handle(msg);
        // The same content from the registered user, as a command.
        cmd.handle({"+8613800138000", msg.content});
    }
    const UserRecord& u = cmd.users();
    if (u.count() > kSlots || u.password.size() > kPasswordBytes ||
        u.systemName.size() > kSystemNameBytes)
        __builtin_trap();
    for (const User& user : u.users)
        if (user.code.size() > kCountryCodeBytes || user.number.size() > kPhoneBytes)
            __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
    case 0:
        replies(in);
        break;
    case 1:
        ucs2(in);
        break;
    default:
        listing(in);
        break;
    }
    return 0;
}
