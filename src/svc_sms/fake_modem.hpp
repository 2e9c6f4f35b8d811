/*
 * fake_modem.hpp - a scripted GSM modem on the far end of the task's line,
 * for the unit tests: it answers the AT subset the task speaks, takes
 * messages in UCS-2 text entry and keeps them decoded, lists an inbox, and
 * can stop answering single commands or everything.
 */
#pragma once

#include "sms.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sms::test
{

class FakeModem : public ModemIo
{
  public:
    struct Sent {
        std::string number, text;
    };

    // What the modem is.
    std::string ati = "Manufacturer: HUAWEI\r\nModel: MG323\r\n";
    bool alive = true;    // answers at all
    bool simReady = true; // "+CPIN: READY", else +CME ERROR: 10
    int creg = 1;         // registration state
    int rssi = 20;        // AT+CSQ
    bool refuseMessages = false;
    std::set<std::string> silent; // commands (without "\r") left unanswered
    std::string inbox;            // the +CMGL listing of unread messages

    // What the modem saw.
    std::vector<std::string> commands;
    std::vector<Sent> sent;
    int restarts = 0;
    int deletes = 0;

    int write(const void* buf, int len) override
    {
        const std::string bytes(static_cast<const char*>(buf), size_t(len));
        if (entry_ && bytes.find('\x1B') != std::string::npos) { // text entry given up
            entry_ = false;
            body_.clear();
            return len;
        }
        if (entry_) {
            body_ += bytes;
            const size_t z = body_.find('\x1A');
            if (z == std::string::npos) return len;
            entry_ = false;
            auto text = fromUcs2Hex(body_.substr(0, z));
            body_.clear();
            if (!alive) return len;
            if (refuseMessages || !text) {
                out_ += "\r\n+CMS ERROR: 500\r\n";
            } else {
                sent.push_back({number_, *text});
                out_ += "\r\n+CMGS: " + std::to_string(sent.size()) + "\r\n\r\nOK\r\n";
            }
            return len;
        }
        for (char c : bytes)
            if (c != '\x1B') line_ += c;
        size_t cr;
        while ((cr = line_.find('\r')) != std::string::npos) {
            const std::string cmd = line_.substr(0, cr);
            line_.erase(0, cr + 1);
            commands.push_back(cmd);
            if (alive && !silent.count(cmd)) out_ += answer(cmd);
        }
        return len;
    }

    int read(void* buf, int max) override
    {
        const int n = std::min<int>(max, int(out_.size()));
        out_.copy(static_cast<char*>(buf), size_t(n));
        out_.erase(0, size_t(n));
        return n;
    }

    int count(const std::string& cmd) const
    {
        return int(std::count(commands.begin(), commands.end(), cmd));
    }

  private:
    std::string answer(const std::string& cmd)
    {
        static const std::string ok = "\r\nOK\r\n";
        if (cmd == "AT+CFUN=1,1") {
            ++restarts;
            return "\r\nOK\r\n\r\n+CPIN: READY\r\n";
        }
        if (cmd == "ATI4") return "\r\n" + ati + ok;
        if (cmd == "AT+CPIN?")
            return simReady ? "\r\n+CPIN: READY\r\n" + ok : "\r\n+CME ERROR: 10\r\n";
        if (cmd == "AT+CREG?") return "\r\n+CREG: 0," + std::to_string(creg) + "\r\n" + ok;
        if (cmd == "AT+GMI") return "\r\nHUAWEI\r\n" + ok;
        if (cmd == "AT+GMM") return "\r\nMG323\r\n" + ok;
        if (cmd == "AT+GMR") return "\r\nRevision: 11.810.01.00.00\r\n" + ok;
        if (cmd == "AT+COPS?") return "\r\n+COPS: 0,0,\"CHINA MOBILE\"\r\n" + ok;
        if (cmd == "AT+CSCA?") return "\r\n+CSCA: \"+8613800100500\",145\r\n" + ok;
        if (cmd == "AT+CSQ") return "\r\n+CSQ: " + std::to_string(rssi) + ",99\r\n" + ok;
        if (cmd.starts_with("AT+CMGL")) {
            std::string listing = inbox;
            inbox.clear();
            return listing + ok;
        }
        if (cmd == "AT+CMGD=1,2") {
            ++deletes;
            return ok;
        }
        if (cmd.starts_with("AT+CMGS=\"")) {
            const std::string hex = cmd.substr(9, cmd.size() - 10);
            number_ = fromUcs2Hex(hex).value_or("?" + hex);
            entry_ = true;
            return "\r\n> ";
        }
        if (cmd.starts_with("AT")) return ok;
        return "\r\nERROR\r\n";
    }

    std::string line_, out_, body_, number_;
    bool entry_ = false;
};

} // namespace sms::test
