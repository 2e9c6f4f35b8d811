/*
 * parse.cpp - request lines of the network UPS protocol.
 *
 * A request is one line of words. Words are separated by blanks; a word in
 * double quotes may hold blanks; a backslash takes the next character as it
 * is (\" and \\ inside quotes). Answers quote their values the same way. The
 * line assembly is bounded: nothing a client sends makes the server hold more
 * than one line of kMaxLine bytes for it.
 */
#include "nut.hpp"

namespace nut
{

void LineBuffer::feed(std::string_view bytes)
{
    if (overflow_) return;
    buf_.append(bytes);
    // Every complete line must fit, and so must the line still arriving.
    std::size_t start = 0;
    for (std::size_t end; (end = buf_.find('\n', start)) != std::string::npos; start = end + 1)
        if (end + 1 - start > kMaxLine) overflow_ = true;
    if (buf_.size() - start > kMaxLine) overflow_ = true;
    if (overflow_) {
        buf_.clear();
        buf_.shrink_to_fit();
    }
}

std::optional<std::string> LineBuffer::next()
{
    if (overflow_) return std::nullopt;
    const std::size_t end = buf_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string line = buf_.substr(0, end);
    buf_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string LineBuffer::takeRest()
{
    std::string rest;
    rest.swap(buf_);
    return rest;
}

std::optional<std::vector<std::string>> splitWords(std::string_view line)
{
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        // A tab separates words like a blank; no other control character
        // belongs in a request.
        if ((c < 0x20 && (c != '\t' || quoted)) || c == 0x7F) return std::nullopt;
        if (c == '\\') {
            if (++i == line.size()) return std::nullopt;
            const unsigned char e = static_cast<unsigned char>(line[i]);
            if (e < 0x20 || e == 0x7F) return std::nullopt;
            word += static_cast<char>(e);
            inWord = true;
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true; // "" is an empty word
        } else if ((c == ' ' || c == '\t') && !quoted) {
            if (inWord) {
                if (words.size() == kMaxWords) return std::nullopt;
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else {
            word += static_cast<char>(c);
            inWord = true;
        }
    }
    if (quoted) return std::nullopt;
    if (inWord) {
        if (words.size() == kMaxWords) return std::nullopt;
        words.push_back(std::move(word));
    }
    return words;
}

std::string quote(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) continue;
        if (c == '"' || c == '\\') out += '\\';
        out += ch;
    }
    out += '"';
    return out;
}

} // namespace nut
