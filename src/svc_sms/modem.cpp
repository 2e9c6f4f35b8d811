/*
 * modem.cpp - the AT sequences.
 *
 * Every command is written and its reply read until a final result code (OK,
 * ERROR, +CME/+CMS ERROR) or a few quiet reads, so a modem that answers at
 * once is served at once and a silent one costs a bounded time. A message is
 * one sequence under the lock: text mode, the UCS2 character set, the
 * parameters with the configured data coding scheme, the number, the body
 * after the "> " prompt, and Ctrl-Z; the modem's "+CMGS:" says it took it.
 */
#include "sms.hpp"

namespace sms
{
namespace
{

constexpr int kReadBytes = 200;
constexpr size_t kReplyCap = 4096;
constexpr size_t kListingCap = 16384;
constexpr size_t kConsoleBytes = 300;
constexpr int kSendReads = 40; // the network may take seconds to take a message
constexpr int kRestartSeconds = 30;
constexpr char kCtrlZ = 0x1A;

} // namespace

Modem::Modem(ModemIo& io, card::Runtime& rt, std::function<bool(int)> pause)
    : io_(io), rt_(rt), pause_(std::move(pause))
{
    if (!pause_)
        pause_ = [this](int ms) {
            rt_.sleepMs(ms);
            return true;
        };
}

std::string Modem::readMore(int reads, bool prompt, size_t cap)
{
    std::string reply;
    for (int i = 0; i < reads && reply.size() < cap; ++i) {
        char buf[kReadBytes];
        const int n = io_.read(buf, sizeof buf);
        if (n > 0) reply.append(buf, size_t(std::min(n, int(sizeof buf))));
        if (isFinal(reply) || (prompt && reply.find('>') != std::string::npos)) break;
    }
    if (reply.size() > cap) reply.resize(cap);
    return reply;
}

std::string Modem::exchange(const std::string& cmd, int reads, bool prompt)
{
    std::lock_guard lock(m_);
    if (io_.write(cmd.data(), int(cmd.size())) != int(cmd.size())) return {};
    return readMore(reads, prompt, cmd.starts_with("AT+CMGL") ? kListingCap : kReplyCap);
}

std::string Modem::command(const std::string& cmd, int reads)
{
    return exchange(cmd, reads, false);
}

int Modem::connect()
{
    std::lock_guard lock(m_);
    int state = 0;
    if (isOk(command("AT\r"))) state |= 1;
    if (isOk(command("ATE0\r"))) state |= 2;
    if (isOk(command("AT+CMGF=1\r"))) state |= 4;
    const std::string ati = command("ATI4\r");
    if (isOk(ati)) {
        state |= 8;
        if (ati.find("MG301") != std::string::npos)
            type_ = ModemType::MG301;
        else if (ati.find("MG323") != std::string::npos)
            type_ = ModemType::MG323;
        else
            type_ = ModemType::Other;
    }
    const bool huawei = type_ == ModemType::MG301 || type_ == ModemType::MG323;
    if (isOk(command(huawei ? "AT+CPMS=SM\r" : "AT+CPMS=\"SM\",\"SM\",\"SM\"\r"))) state |= 16;
    const char* cnmi = type_ == ModemType::MG301   ? "AT+CNMI=3,1,0,0,1\r"
                       : type_ == ModemType::MG323 ? "AT+CNMI=0,1,0,0,1\r"
                                                   : "AT+CNMI=2,1,0,0,0\r";
    if (isOk(command(cnmi))) state |= 32;
    return state;
}

int Modem::sim()
{
    std::lock_guard lock(m_);
    int state = 0;
    const std::string pin = command("AT+CPIN?\r");
    if (isOk(pin) && pin.find("READY") != std::string::npos) state |= 1;
    const std::string creg = command("AT+CREG?\r");
    if (isOk(creg) && registered(parseCreg(creg))) state |= 2;
    return state;
}

int Modem::identity()
{
    std::lock_guard lock(m_);
    int state = 0;
    auto query = [&](const char* cmd, int bit, const char* key, auto&& pick) {
        const std::string reply = command(cmd);
        if (!isOk(reply)) return;
        state |= bit;
        rt_.save(key, pick(reply));
    };
    query("AT+GMI\r", 1, "sms_maker", infoLine);
    query("AT+GMM\r", 2, "sms_model", infoLine);
    query("AT+GMR\r", 4, "sms_soft", afterBlank);
    query("AT+COPS?\r", 8, "sms_operater", quoted);
    command("AT+CSCS=\"GSM\"\r");
    query("AT+CSCA?\r", 16, "sms_center", quoted);
    return state;
}

int Modem::signal()
{
    const std::string reply = command("AT+CSQ\r");
    if (!isOk(reply)) return 0;
    const int rssi = parseCsq(reply);
    return rssi < 0 ? 0 : rssi;
}

void Modem::restart()
{
    std::lock_guard lock(m_);
    rt_.log("sms modem restart");
    std::string seen;
    if (io_.write("AT+CFUN=1,1\r", 12) != 12) return;
    for (int s = 0; s < kRestartSeconds; ++s) {
        seen += readMore(1, false, kReplyCap);
        if (seen.find("+CPIN: READY") != std::string::npos) return;
        if (seen.size() > kReplyCap) seen.erase(0, seen.size() - 64);
        if (!pause_(1000)) return;
    }
}

bool Modem::send(const std::string& number, const std::string& utf8Text, std::string* answer)
{
    std::lock_guard lock(m_);
    const int dcs = rt_.integer("sms_Dcs", 24);
    command("AT+CMGF=1\r");
    command("AT+CSCS=\"UCS2\"\r");
    command("AT+CSMP=17,167,0," + std::to_string(dcs) + "\r");
    const std::string prompt = exchange("AT+CMGS=\"" + toUcs2Hex(number) + "\"\r", kReads, true);
    if (answer) *answer = prompt;
    if (prompt.find('>') == std::string::npos) {
        // Leave the modem's text entry in any case, so the next command is heard.
        const char esc = 0x1B;
        io_.write(&esc, 1);
        rt_.log("sms to " + number + " refused by the modem");
        return false;
    }
    const std::string body = toUcs2Hex(utf8Text);
    io_.write(body.data(), int(body.size()));
    const std::string result = exchange(std::string(1, kCtrlZ), kSendReads, false);
    if (answer) *answer = result;
    if (result.find("+CMGS:") != std::string::npos) return true;
    rt_.log("sms to " + number + " not sent: " + infoLine(result));
    return false;
}

std::vector<Message> Modem::unread()
{
    std::lock_guard lock(m_);
    command("AT+CSCS=\"GSM\"\r");
    const std::string listing = command("AT+CMGL=\"REC UNREAD\"\r", 10);
    if (listing.find("+CMGL:") == std::string::npos) return {};
    return parseListing(listing);
}

void Modem::deleteRead()
{
    command("AT+CMGD=1,2\r");
}

std::string Modem::raw(const std::string& bytes)
{
    std::lock_guard lock(m_);
    if (!bytes.empty() && io_.write(bytes.data(), int(bytes.size())) < 0) return {};
    return readMore(kReads, false, kConsoleBytes);
}

} // namespace sms
