/*
 * package.hpp - the firmware package check shared by the cloud's update
 * channel and the web's update pages.
 *
 * A package is a gzip-compressed tar archive holding "gateway.tar.gz" (the
 * payload, installed by the launcher at the next start) and
 * "gateway_config.csv" (three lines: a description, the hardware version the
 * package is for, the software version). The archive is read here, never
 * handed to tar: every member must be a plain file or a directory whose name
 * is relative and has no ".." part, the archive and what it unpacks to stay
 * under size caps, and only the two members are written, into the update
 * directory. The payload is read through the same rules before the package
 * is accepted, so the launcher never meets a member it would refuse.
 *
 * Whatever the outcome, the update directory holds either the accepted
 * payload alone or nothing.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace fwpkg
{

constexpr std::uint64_t kMaxPackageBytes = 48ull << 20;  // the archive as received
constexpr std::uint64_t kMaxUnpackedBytes = 96ull << 20; // all members of an archive
constexpr unsigned kMaxMembers = 4096;
constexpr const char* kPayload = "gateway.tar.gz";
constexpr const char* kConfig = "gateway_config.csv";
constexpr std::size_t kConfigLine = 50; // each line is read up to this many bytes

enum class Verdict {
    Accepted,
    Missing,        // no package file
    NotArchive,     // not a gzip tar archive (or a damaged one)
    Unsafe,         // a member that is not a plain file or directory, or leaves the directory
    TooLarge,       // over a size or member cap
    MembersMissing, // the payload or the description is not in it
    Hardware,       // made for another hardware version
    Software,       // the software version line does not fit this firmware
};
const char* verdictText(Verdict v);

struct Member {
    std::string name;
    char type;          // tar type flag ('0' file, '5' directory, ...)
    std::uint64_t size; // bytes of a file
};

// Walks a gzip tar archive: `visit` sees each member's header (return false
// to refuse it: Unsafe), `data` each piece of a file member's bytes. Checks
// names, types, the member count and the unpacked size.
Verdict walk(const std::string& path, const std::function<bool(const Member&)>& visit,
             const std::function<bool(std::string_view)>& data = {});

// True for a member name that stays inside the directory it is unpacked in.
bool safeName(std::string_view name);

struct Config {
    std::string description, hardware, software;
    bool hasHardware = false, hasSoftware = false;
};
Config parseConfig(std::string_view text);
// Hardware: line 2 begins with the card's code; software: its fifth character
// is the fifth of the card's firmware version. A missing line is not compared.
Verdict checkConfig(const Config& c, std::string_view hardwareCode, std::string_view firmware);

struct Outcome {
    Verdict verdict = Verdict::Missing;
    Config config;
    std::uint64_t size = 0; // bytes of the package
};

// Checks the package at `archive` and leaves `dir` with the payload alone
// (accepted; the archive and the description are removed) or empty.
Outcome check(const std::string& archive, const std::string& dir, std::string_view hardwareCode,
              std::string_view firmware);

// Removes every entry of `dir` (not the directory itself).
void emptyDir(const std::string& dir);

} // namespace fwpkg
