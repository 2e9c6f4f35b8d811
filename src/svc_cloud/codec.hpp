/*
 * codec.hpp - the cloud link's byte formats: the TLV box every payload is
 * built with, the 16-byte message head and its MD5 check, the short items of
 * the platform's commands, and the two checksums of the update channel.
 *
 * All of it is pure: bytes in, bytes out. Multi-byte numbers on the wire are
 * big-endian; the helpers below write them so, never by copying a number's
 * memory.
 *
 * A TLV item on the wire is: tag (1 byte), 0xFF, value length (2 bytes,
 * big-endian), the value. A box serialises its items most recent first (the
 * reverse of the order they were put in); an object item's value is another
 * box's serialised form.
 */
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cloud
{

// ---- TLV box ----

namespace tlv
{

constexpr std::uint8_t kMarker = 0xFF;
constexpr std::size_t kItemHead = 4;
constexpr std::size_t kMaxValue = 0xFFFF;

class Box
{
  public:
    // Each put returns false (and adds nothing) for a value longer than the
    // 16-bit length field can say.
    bool put(std::uint8_t tag, std::string_view bytes);
    bool putByte(std::uint8_t tag, std::uint8_t v) { return put(tag, std::string(1, char(v))); }
    bool putU16(std::uint8_t tag, std::uint16_t v);
    bool putU32(std::uint8_t tag, std::uint32_t v);
    // The text and its terminating zero.
    bool putText(std::uint8_t tag, std::string_view text);
    bool putObject(std::uint8_t tag, const Box& inner) { return put(tag, inner.serialize()); }

    std::string serialize() const;
    // Bytes serialize() gives.
    std::size_t size() const { return bytes_; }
    std::size_t count() const { return items_.size(); }

  private:
    std::vector<std::pair<std::uint8_t, std::string>> items_; // insertion order
    std::size_t bytes_ = 0;
};

struct Item {
    std::uint8_t tag;
    std::string_view value;
};

// The items of a serialised box in wire order; nullopt when a marker is not
// 0xFF or a length runs past the end.
std::optional<std::vector<Item>> parse(std::string_view wire);

} // namespace tlv

// ---- big-endian numbers ----

std::string be16(std::uint16_t v);
std::string be32(std::uint32_t v);
std::uint32_t readBe(std::string_view bytes); // up to 4 bytes, unsigned

// ---- message head ----

constexpr std::size_t kHeadBytes = 16;   // version 2
constexpr std::size_t kHeadBytesV1 = 14; // version 1: no time zone
constexpr std::uint16_t kDataType = 60;  // every message the card sends
constexpr std::size_t kMaxCommand = 1024;

using Digest = std::array<std::uint8_t, 16>;
Digest md5(std::string_view bytes);
// Bytes 12..15 of the MD5 of `bytes`.
std::string checkBytes(std::string_view bytes);

// A whole message: head (version 2) and payload.
std::string frame(std::string_view payload, std::uint32_t timestamp, std::int16_t tzMinutes);

enum class Verdict { Ok, TooLong, Short, BadLength, BadMac };
struct Received {
    Verdict verdict = Verdict::Short;
    std::string_view body; // the command items (after the head)
};
// Checks a received message: at most 1024 bytes, a non-zero totalLen equal to
// the length minus 2, the check bytes matching; body follows the head of
// its version (16 bytes for version 2, else 14).
Received check(std::string_view message);

// ---- command items: tag (1 byte), length (1 byte), value ----

struct Short {
    std::uint8_t tag;
    std::string_view value;
};
// The items of `bytes`; a length running past the end ends the list there
// (the items before it count).
std::vector<Short> shortItems(std::string_view bytes);
// The first item with tag, or nullptr.
const Short* find(const std::vector<Short>& items, std::uint8_t tag);

// ---- checksums ----

// Modbus CRC-16 (initial 0xFFFF, reflected polynomial 0xA001).
std::uint16_t crc16(std::string_view bytes);

// CRC-32 of IEEE 802.3, kept running across blocks.
class Crc32
{
  public:
    void reset() { state_ = 0xFFFFFFFFu; }
    void add(std::string_view bytes);
    std::uint32_t value() const { return ~state_; }

  private:
    std::uint32_t state_ = 0xFFFFFFFFu;
};

} // namespace cloud
