/*
 * at_parse.cpp - reading the modem's replies.
 *
 * A reply is whatever came back after a command: maybe the echo of the
 * command, information lines, unsolicited lines (+CMTI of a new message) and a
 * final result code, with CR, LF or both between lines. Nothing here trusts a
 * length or a position: every function walks the text it is given and copies
 * at most the sizes the task keeps.
 */
#include "sms.hpp"

#include <algorithm>

namespace sms
{
namespace
{

// The reply's lines, without their CR/LF, empty ones dropped.
std::vector<std::string_view> lines(std::string_view text)
{
    std::vector<std::string_view> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        if (end > pos) out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

bool isResult(std::string_view line)
{
    return line == "OK" || line == "ERROR" || line.starts_with("+CME ERROR") ||
           line.starts_with("+CMS ERROR");
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The integer of a field of digits (at most 3 of them), -1 otherwise.
int smallNumber(std::string_view field)
{
    field = trim(field);
    if (field.empty() || field.size() > 3) return -1;
    int v = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

// The text after "<prefix>" on the first line that starts with it.
std::optional<std::string_view> lineAfter(std::string_view reply, std::string_view prefix)
{
    for (std::string_view l : lines(reply))
        if (l.starts_with(prefix)) return l.substr(prefix.size());
    return std::nullopt;
}

std::string cut(std::string_view s, size_t max)
{
    return std::string(s.substr(0, max));
}

} // namespace

bool isFinal(std::string_view reply)
{
    for (std::string_view l : lines(reply))
        if (isResult(trim(l))) return true;
    return false;
}

bool isOk(std::string_view reply)
{
    for (std::string_view l : lines(reply))
        if (trim(l) == "OK") return true;
    return false;
}

std::string infoLine(std::string_view reply)
{
    for (std::string_view l : lines(reply)) {
        l = trim(l);
        if (l.empty() || l.starts_with("AT") || l.starts_with("at") || isResult(l)) continue;
        return cut(l, 100);
    }
    return {};
}

std::string afterBlank(std::string_view reply)
{
    const std::string line = infoLine(reply);
    const size_t blank = line.find(' ');
    return blank == std::string::npos ? line : std::string(trim(line.substr(blank + 1)));
}

std::string quoted(std::string_view reply)
{
    const size_t open = reply.find('"');
    if (open == std::string_view::npos) return {};
    const size_t close = reply.find('"', open + 1);
    if (close == std::string_view::npos) return {};
    return cut(reply.substr(open + 1, close - open - 1), 100);
}

int parseCsq(std::string_view reply)
{
    auto rest = lineAfter(reply, "+CSQ:");
    if (!rest) return -1;
    return smallNumber(rest->substr(0, rest->find(',')));
}

int parseCreg(std::string_view reply)
{
    auto rest = lineAfter(reply, "+CREG:");
    if (!rest) return -1;
    const size_t comma = rest->find(',');
    if (comma == std::string_view::npos) return smallNumber(*rest);
    std::string_view stat = rest->substr(comma + 1);
    return smallNumber(stat.substr(0, stat.find(',')));
}

std::vector<Message> parseListing(std::string_view listing)
{
    constexpr std::string_view kHead = "+CMGL:";
    std::vector<Message> out;
    size_t at = listing.find(kHead);
    while (at != std::string_view::npos) {
        const size_t next = listing.find(kHead, at + kHead.size());
        std::string_view entry =
            listing.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at);
        at = next;

        size_t eol = entry.find_first_of("\r\n");
        std::string_view header = entry.substr(0, eol);
        // The status field ends in READ, a quote and a comma; the sender follows.
        const size_t status = header.find("READ\",");
        if (status == std::string_view::npos || eol == std::string_view::npos) continue;
        std::string_view sender = header.substr(status + 6);
        sender = trim(sender.substr(0, sender.find(',')));
        if (sender.size() >= 2 && sender.front() == '"' && sender.back() == '"')
            sender = sender.substr(1, sender.size() - 2);
        else if (!sender.empty() && sender.front() == '"')
            sender.remove_prefix(1);

        // The content is the next line.
        std::string_view body = entry.substr(eol);
        while (!body.empty() && (body.front() == '\r' || body.front() == '\n'))
            body.remove_prefix(1);
        body = body.substr(0, body.find_first_of("\r\n"));

        // Decoded before they are cut, so that a cut never splits a group.
        Message m{std::string(sender), std::string(body)};
        if (!m.sender.empty() && m.sender.front() != '+') {
            if (auto number = numberFromUcs2Hex(m.sender)) {
                m.sender = std::move(*number);
                if (auto text = fromUcs2Hex(m.content)) m.content = std::move(*text);
            }
        }
        m.sender.resize(std::min(m.sender.size(), kSenderBytes));
        m.content.resize(std::min(m.content.size(), kContentBytes));
        out.push_back(std::move(m));
    }
    return out;
}

} // namespace sms
