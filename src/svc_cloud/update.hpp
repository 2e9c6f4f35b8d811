/*
 * update.hpp - the firmware update channel: the platform orders a package by
 * name and server ("host:port"), a side thread fetches it over plain TCP in
 * numbered blocks, checks it and reports progress and result back through the
 * cloud connection (as events on the cloud channel, see plugin.cpp).
 *
 * The exchange: the card asks "<name> <address> <length> <transac> <crc16>"
 * (hexadecimal numbers, the CRC-16 of the text before it); the server answers
 * transac (2 bytes), CRC-16 of the data (2 bytes) and the data. The first
 * request (address 0) fetches the 144-byte header, which declares the
 * firmware's size and CRC-32; then blocks of at most 1024 bytes follow. The
 * size is capped, every answer must be exactly the block asked for, and the
 * CRC-32 of the whole must match before the package is looked at.
 */
#pragma once

#include "card_runtime.hpp"
#include "codec.hpp"
#include "package.hpp"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace cloud
{

// An order of the platform.
struct Order {
    std::array<std::uint8_t, 5> who{}; // device numbers; updateWho 0: the card itself
    std::string name;                  // package name (at most 63 characters)
    std::string url;                   // "host:port"
    int updateWho = 0;
};

// Main status of a reported result.
constexpr int kUpdating = 1, kSucceeded = 2, kFailed = 3;

// Status codes.
namespace ustatus
{
constexpr int kConnected = 1, kStartDownload = 2, kDownloadFinish = 3, kStartTransfer = 4,
              kTransferFinish = 5, kStartUpdate = 6, kServerUnreachable = 10, kDownloadFailed = 11,
              kTransferFailed = 12, kUpdateFailed = 13, kUpdateSucceeded = 20;
} // namespace ustatus

// What travels on the cloud channel (event kUpdateResult): main status,
// status and the order, as a fixed record (little-endian, explicit offsets).
struct UpdateResult {
    int mainStatus = 0;
    int status = 0;
    Order order;
};
constexpr std::size_t kResultRecord = 160;
std::string encodeResult(const UpdateResult& r);
std::optional<UpdateResult> decodeResult(std::string_view bytes);

// ---- the block exchange (pure) ----

constexpr std::uint32_t kHeaderBytes = 144;
constexpr std::uint32_t kBlockBytes = 1024;
constexpr std::uint32_t kMaxFirmware = 4718592; // 4.5 MiB
constexpr std::uint32_t kTransferMark = kHeaderBytes + 25 * kBlockBytes;

enum Recv : int {
    kCrc32Err = -5,
    kFileErr = -4,
    kPackNumErr = -3,
    kCrcErr = -2,
    kTransacErr = -1,
    kNotFinished = 0,
    kFinished = 1,
};

class Fetch
{
  public:
    explicit Fetch(std::string name) : name_(std::move(name)) {}

    // The next request (the same again after a failed answer).
    std::string request();
    // Bytes the answer to the current request has: 4 + the block.
    std::size_t answerBytes() const { return 4 + blockBytes(); }
    // Handles one whole answer. File data is handed to `store` (false: the
    // write failed, kFileErr).
    int answer(std::string_view bytes, const std::function<bool(std::string_view)>& store);

    std::uint32_t got() const { return got_; }
    std::uint32_t total() const { return total_; }
    std::uint32_t firmwareBytes() const { return got_ > kHeaderBytes ? got_ - kHeaderBytes : 0; }
    bool crcMatches() const { return crc_.value() == declaredCrc_; }
    std::uint32_t crc() const { return crc_.value(); }
    std::uint32_t declaredCrc() const { return declaredCrc_; }
    std::uint16_t transac() const { return transac_; }

  private:
    std::uint32_t blockBytes() const;

    std::string name_;
    std::uint32_t got_ = 0, total_ = 0, declaredCrc_ = 0;
    std::uint16_t transac_ = 1;
    Crc32 crc_;
};

// ---- the queue between the command parser and the channel thread ----

class UpdateQueue
{
  public:
    void push(Order o);
    // Waits up to `ms` for an order.
    std::optional<Order> pop(int ms);
    void wake();

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Order> orders_;
    bool woken_ = false;
};

// ---- the channel ----

struct ChannelConfig {
    std::string updateDir;    // the card's Update/ directory
    std::string hardwareCode; // this card's hardware version code
    int attempts = 3;         // connection attempts before giving up
    int timeouts = 3;         // answer time-outs before giving up
    int answerMs = 6000;      // an answer later than this is a time-out
    int retryPauseMs = 5000;  // pause after a closed connection
};

// Runs one order to its end: reports (through `report`) each status on the
// way and the final result, and leaves the accepted payload in the update
// directory. `stopped` ends it early (a failure).
void runOrder(card::Runtime& rt, const ChannelConfig& cfg, const Order& order,
              const std::function<void(const UpdateResult&)>& report,
              const std::function<bool()>& stopped);

// A package name the card accepts in a request and a log line.
bool packageNameOk(std::string_view name);

} // namespace cloud
