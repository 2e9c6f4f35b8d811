/*
 * codec.cpp - the TLV box, the message head and its MD5 check, the command
 * items and the checksums (see codec.hpp for the formats).
 */
#include "codec.hpp"

#include <openssl/evp.h>

namespace cloud
{

// ---- TLV box ----

namespace tlv
{

bool Box::put(std::uint8_t tag, std::string_view bytes)
{
    if (bytes.size() > kMaxValue) return false;
    items_.emplace_back(tag, std::string(bytes));
    bytes_ += kItemHead + bytes.size();
    return true;
}

bool Box::putU16(std::uint8_t tag, std::uint16_t v)
{
    return put(tag, be16(v));
}

bool Box::putU32(std::uint8_t tag, std::uint32_t v)
{
    return put(tag, be32(v));
}

bool Box::putText(std::uint8_t tag, std::string_view text)
{
    std::string bytes(text);
    bytes.push_back('\0');
    return put(tag, bytes);
}

std::string Box::serialize() const
{
    std::string out;
    out.reserve(bytes_);
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
        out.push_back(char(it->first));
        out.push_back(char(kMarker));
        out += be16(std::uint16_t(it->second.size()));
        out += it->second;
    }
    return out;
}

std::optional<std::vector<Item>> parse(std::string_view wire)
{
    std::vector<Item> items;
    while (!wire.empty()) {
        if (wire.size() < kItemHead || std::uint8_t(wire[1]) != kMarker) return std::nullopt;
        const std::size_t len = readBe(wire.substr(2, 2));
        if (wire.size() - kItemHead < len) return std::nullopt;
        items.push_back({std::uint8_t(wire[0]), wire.substr(kItemHead, len)});
        wire.remove_prefix(kItemHead + len);
    }
    return items;
}

} // namespace tlv

// ---- big-endian numbers ----

std::string be16(std::uint16_t v)
{
    return {char(v >> 8), char(v & 0xFF)};
}

std::string be32(std::uint32_t v)
{
    return {char(v >> 24), char((v >> 16) & 0xFF), char((v >> 8) & 0xFF), char(v & 0xFF)};
}

std::uint32_t readBe(std::string_view bytes)
{
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bytes.size() && i < 4; ++i)
        v = (v << 8) | std::uint8_t(bytes[i]);
    return v;
}

// ---- message head ----

Digest md5(std::string_view bytes)
{
    Digest d{};
    unsigned len = 0;
    EVP_Digest(bytes.data(), bytes.size(), d.data(), &len, EVP_md5(), nullptr);
    return d;
}

std::string checkBytes(std::string_view bytes)
{
    const Digest d = md5(bytes);
    return std::string(reinterpret_cast<const char*>(d.data()) + 12, 4);
}

namespace
{
// Offsets in the head.
constexpr std::size_t kTotalLen = 0, kHeadMark = 2, kVersion = 3, kType = 4, kMac = 6,
                      kChecked = 10;
} // namespace

std::string frame(std::string_view payload, std::uint32_t timestamp, std::int16_t tzMinutes)
{
    std::string m(kHeadBytes, '\0');
    m += payload;
    m.replace(kTotalLen, 2, be16(std::uint16_t(m.size() - 2)));
    m[kHeadMark] = 1;
    m[kVersion] = 2;
    m.replace(kType, 2, be16(kDataType));
    m.replace(kChecked, 4, be32(timestamp));
    m.replace(14, 2, be16(std::uint16_t(tzMinutes)));
    m.replace(kMac, 4, checkBytes(std::string_view(m).substr(kChecked)));
    return m;
}

Received check(std::string_view message)
{
    Received r;
    if (message.size() > kMaxCommand) {
        r.verdict = Verdict::TooLong;
        return r;
    }
    const std::size_t head =
        message.size() > kVersion && message[kVersion] == 2 ? kHeadBytes : kHeadBytesV1;
    if (message.size() < head) return r; // Short
    const std::uint32_t total = readBe(message.substr(kTotalLen, 2));
    if (total != 0 && total != message.size() - 2) {
        r.verdict = Verdict::BadLength;
        return r;
    }
    if (message.substr(kMac, 4) != checkBytes(message.substr(kChecked))) {
        r.verdict = Verdict::BadMac;
        return r;
    }
    r.verdict = Verdict::Ok;
    r.body = message.substr(head);
    return r;
}

// ---- command items ----

std::vector<Short> shortItems(std::string_view bytes)
{
    std::vector<Short> items;
    while (bytes.size() >= 2) {
        const std::size_t len = std::uint8_t(bytes[1]);
        if (bytes.size() - 2 < len) break;
        items.push_back({std::uint8_t(bytes[0]), bytes.substr(2, len)});
        bytes.remove_prefix(2 + len);
    }
    return items;
}

const Short* find(const std::vector<Short>& items, std::uint8_t tag)
{
    for (const Short& s : items)
        if (s.tag == tag) return &s;
    return nullptr;
}

// ---- checksums ----

std::uint16_t crc16(std::string_view bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
    }
    return crc;
}

namespace
{
const std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}();
} // namespace

void Crc32::add(std::string_view bytes)
{
    for (unsigned char c : bytes)
        state_ = kCrcTable[(state_ ^ c) & 0xFF] ^ (state_ >> 8);
}

} // namespace cloud
