/*
 * package.cpp - reading a firmware package: gzip through zlib, the tar
 * records by hand (ustar names with their prefix, pax "path" and "size"
 * records, GNU long names), the member rules, and the description check.
 * See package.hpp for what is accepted.
 */
#include "package.hpp"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace fwpkg
{

namespace fs = std::filesystem;

const char* verdictText(Verdict v)
{
    switch (v) {
    case Verdict::Accepted:
        return "accepted";
    case Verdict::Missing:
        return "no package";
    case Verdict::NotArchive:
        return "not a gzip tar archive";
    case Verdict::Unsafe:
        return "a member is a link, a device or leaves the directory";
    case Verdict::TooLarge:
        return "too large";
    case Verdict::MembersMissing:
        return "payload or description missing";
    case Verdict::Hardware:
        return "made for another hardware version";
    case Verdict::Software:
        return "software version does not fit";
    }
    return "?";
}

bool safeName(std::string_view name)
{
    if (name.empty() || name.front() == '/') return false;
    for (char c : name)
        if (c == '\0') return false;
    std::size_t at = 0;
    while (at <= name.size()) {
        std::size_t end = name.find('/', at);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(at, end - at) == "..") return false;
        at = end + 1;
    }
    return true;
}

namespace
{

constexpr std::size_t kBlock = 512;
constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kMaxExtended = 64 * 1024; // a pax or long-name record
constexpr std::uint64_t kMaxConfigBytes = 4096;

std::optional<std::uint64_t> octal(std::string_view field)
{
    std::uint64_t v = 0;
    std::size_t i = 0;
    while (i < field.size() && field[i] == ' ')
        ++i;
    bool any = false;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (v > (std::uint64_t(1) << 60)) return std::nullopt;
        v = v * 8 + std::uint64_t(field[i] - '0');
        any = true;
    }
    for (; i < field.size(); ++i)
        if (field[i] != ' ' && field[i] != '\0') return std::nullopt;
    if (!any) return std::nullopt;
    return v;
}

std::string cString(std::string_view field)
{
    return std::string(field.substr(0, field.find('\0')));
}

// The tar records of one archive, fed the inflated bytes in pieces.
class TarReader
{
  public:
    TarReader(const std::function<bool(const Member&)>& visit,
              const std::function<bool(std::string_view)>& data)
        : visit_(visit), data_(data)
    {
    }

    // Accepted while all is well so far.
    Verdict feed(std::string_view bytes)
    {
        while (!bytes.empty() && verdict_ == Verdict::Accepted && !ended_) {
            if (remaining_ > 0) {
                const std::size_t n =
                    std::size_t(std::min<std::uint64_t>(remaining_, bytes.size()));
                body(bytes.substr(0, n));
                remaining_ -= n;
                bytes.remove_prefix(n);
                if (remaining_ == 0) finishBody();
                continue;
            }
            if (padding_ > 0) {
                const std::size_t n = std::min(padding_, bytes.size());
                padding_ -= n;
                bytes.remove_prefix(n);
                continue;
            }
            const std::size_t n = std::min(kBlock - header_.size(), bytes.size());
            header_.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
            if (header_.size() == kBlock) {
                record(header_);
                header_.clear();
            }
        }
        return verdict_;
    }

    Verdict finish() const
    {
        if (verdict_ != Verdict::Accepted) return verdict_;
        if (remaining_ > 0 || !header_.empty() || members_ == 0) return Verdict::NotArchive;
        return Verdict::Accepted;
    }

  private:
    enum class Body { File, Skip, Pax, LongName };

    void fail(Verdict v)
    {
        if (verdict_ == Verdict::Accepted) verdict_ = v;
    }

    void record(const std::string& h)
    {
        if (h.find_first_not_of('\0') == std::string::npos) {
            ended_ = true; // the end blocks
            return;
        }
        if (!checksumOk(h)) return fail(Verdict::NotArchive);
        if (static_cast<unsigned char>(h[124]) & 0x80) return fail(Verdict::TooLarge);
        auto size = octal(std::string_view(h).substr(124, 12));
        if (!size) return fail(Verdict::NotArchive);
        const char type = h[156];
        if (type == 'x' || type == 'g' || type == 'L' || type == 'K') {
            if (*size > kMaxExtended) return fail(Verdict::TooLarge);
            startBody(*size, type == 'x' ? Body::Pax : type == 'L' ? Body::LongName : Body::Skip);
            return;
        }
        Member m;
        m.type = type == '\0' ? '0' : type;
        m.size = *size;
        if (longName_) {
            m.name = std::move(*longName_);
        } else {
            m.name = cString(std::string_view(h).substr(0, 100));
            const std::string prefix = cString(std::string_view(h).substr(345, 155));
            if (h.compare(257, 5, "ustar") == 0 && !prefix.empty()) m.name = prefix + "/" + m.name;
        }
        if (paxName_) m.name = std::move(*paxName_);
        if (paxSize_) m.size = *paxSize_;
        longName_.reset();
        paxName_.reset();
        paxSize_.reset();

        if (++members_ > kMaxMembers) return fail(Verdict::TooLarge);
        if (m.type != '0' && m.type != '5') return fail(Verdict::Unsafe);
        if (!safeName(m.name)) return fail(Verdict::Unsafe);
        if (m.type == '5') m.size = 0;
        unpacked_ += m.size;
        if (unpacked_ > kMaxUnpackedBytes) return fail(Verdict::TooLarge);
        if (!visit_(m)) return fail(Verdict::Unsafe);
        startBody(m.size, Body::File);
    }

    static bool checksumOk(const std::string& h)
    {
        auto stored = octal(std::string_view(h).substr(148, 8));
        if (!stored) return false;
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < kBlock; ++i)
            sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(h[i]);
        return sum == *stored;
    }

    void startBody(std::uint64_t size, Body kind)
    {
        kind_ = kind;
        remaining_ = size;
        padding_ = std::size_t((kBlock - size % kBlock) % kBlock);
        extended_.clear();
        if (size == 0) finishBody();
    }

    void body(std::string_view bytes)
    {
        if (kind_ == Body::File) {
            if (data_ && !data_(bytes)) fail(Verdict::TooLarge);
        } else if (kind_ == Body::Pax || kind_ == Body::LongName) {
            extended_.append(bytes);
        }
    }

    void finishBody()
    {
        if (kind_ == Body::LongName) longName_ = cString(extended_);
        if (kind_ == Body::Pax) parsePax(extended_);
        kind_ = Body::Skip;
    }

    // "<length> <key>=<value>\n" records.
    void parsePax(std::string_view text)
    {
        while (!text.empty()) {
            const std::size_t blank = text.find(' ');
            if (blank == std::string_view::npos) return fail(Verdict::NotArchive);
            auto len = octalOrDecimal(text.substr(0, blank));
            if (!len || *len <= blank + 1 || *len > text.size()) return fail(Verdict::NotArchive);
            std::string_view rec = text.substr(blank + 1, *len - blank - 1);
            text.remove_prefix(*len);
            if (!rec.empty() && rec.back() == '\n') rec.remove_suffix(1);
            const std::size_t eq = rec.find('=');
            if (eq == std::string_view::npos) continue;
            const std::string_view key = rec.substr(0, eq), value = rec.substr(eq + 1);
            if (key == "path") paxName_ = std::string(value);
            if (key == "size") {
                auto s = octalOrDecimal(value);
                if (!s) return fail(Verdict::NotArchive);
                paxSize_ = *s;
            }
            if (key == "linkpath") return fail(Verdict::Unsafe);
        }
    }

    static std::optional<std::uint64_t> octalOrDecimal(std::string_view digits)
    {
        if (digits.empty() || digits.size() > 18) return std::nullopt;
        std::uint64_t v = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            v = v * 10 + std::uint64_t(c - '0');
        }
        return v;
    }

    const std::function<bool(const Member&)>& visit_;
    const std::function<bool(std::string_view)>& data_;
    Verdict verdict_ = Verdict::Accepted;
    std::string header_;
    std::uint64_t remaining_ = 0;
    std::size_t padding_ = 0;
    Body kind_ = Body::Skip;
    std::string extended_;
    std::optional<std::string> longName_, paxName_;
    std::optional<std::uint64_t> paxSize_;
    unsigned members_ = 0;
    std::uint64_t unpacked_ = 0;
    bool ended_ = false;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string plainName(std::string_view name)
{
    while (name.substr(0, 2) == "./")
        name.remove_prefix(2);
    return std::string(name);
}

} // namespace

Verdict walk(const std::string& path, const std::function<bool(const Member&)>& visit,
             const std::function<bool(std::string_view)>& data)
{
    File in(std::fopen(path.c_str(), "rb"));
    if (!in) return Verdict::Missing;
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return Verdict::NotArchive; // gzip only
    struct End {
        z_stream& z;
        ~End() { inflateEnd(&z); }
    } end{z};
    TarReader tar(visit, data);
    std::vector<unsigned char> inBuf(kChunk), outBuf(kChunk);
    bool streamEnd = false;
    while (!streamEnd) {
        const std::size_t got = std::fread(inBuf.data(), 1, inBuf.size(), in.get());
        if (got == 0) break;
        z.next_in = inBuf.data();
        z.avail_in = unsigned(got);
        while (z.avail_in > 0 && !streamEnd) {
            z.next_out = outBuf.data();
            z.avail_out = unsigned(outBuf.size());
            const int rc = inflate(&z, Z_NO_FLUSH);
            if (rc != Z_OK && rc != Z_STREAM_END) return Verdict::NotArchive;
            const std::size_t produced = outBuf.size() - z.avail_out;
            const Verdict v =
                tar.feed(std::string_view(reinterpret_cast<const char*>(outBuf.data()), produced));
            if (v != Verdict::Accepted) return v;
            streamEnd = rc == Z_STREAM_END;
            if (produced == 0 && rc == Z_OK && z.avail_in > 0 && z.avail_out > 0)
                return Verdict::NotArchive; // no progress
        }
    }
    if (!streamEnd) return Verdict::NotArchive; // cut short
    return tar.finish();
}

Config parseConfig(std::string_view text)
{
    Config c;
    std::string* lines[] = {&c.description, &c.hardware, &c.software};
    bool* seen[] = {nullptr, &c.hasHardware, &c.hasSoftware};
    for (int i = 0; i < 3 && !text.empty(); ++i) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        *lines[i] = std::string(line.substr(0, kConfigLine - 1));
        if (seen[i]) *seen[i] = true;
    }
    return c;
}

Verdict checkConfig(const Config& c, std::string_view hardwareCode, std::string_view firmware)
{
    if (c.hasHardware && c.hardware.compare(0, hardwareCode.size(), hardwareCode) != 0)
        return Verdict::Hardware;
    if (c.hasSoftware &&
        (c.software.size() < 5 || firmware.size() < 5 || c.software[4] != firmware[4]))
        return Verdict::Software;
    return Verdict::Accepted;
}

void emptyDir(const std::string& dir)
{
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        fs::remove_all(e.path(), ec);
}

Outcome check(const std::string& archive, const std::string& dir, std::string_view hardwareCode,
              std::string_view firmware)
{
    Outcome out;
    std::error_code ec;
    const auto size = fs::file_size(archive, ec);
    if (ec) {
        emptyDir(dir);
        return out; // Missing
    }
    out.size = size;
    const std::string payload = dir + "/" + kPayload, config = dir + "/" + kConfig;
    auto verdict = [&]() -> Verdict {
        if (size > kMaxPackageBytes) return Verdict::TooLarge;
        File current;
        std::uint64_t written = 0, cap = 0;
        bool havePayload = false, haveConfig = false;
        const Verdict v = walk(
            archive,
            [&](const Member& m) {
                current.reset();
                const std::string name = plainName(m.name);
                if (m.type != '0' || (name != kPayload && name != kConfig)) return true;
                bool& seen = name == kPayload ? havePayload : haveConfig;
                if (seen) return false; // one of each
                seen = true;
                cap = name == kPayload ? kMaxPackageBytes : kMaxConfigBytes;
                if (m.size > cap) return false;
                written = 0;
                current.reset(std::fopen((name == kPayload ? payload : config).c_str(), "wb"));
                return bool(current);
            },
            [&](std::string_view bytes) {
                if (!current) return true; // a member that is not kept
                written += bytes.size();
                return written <= cap &&
                       std::fwrite(bytes.data(), 1, bytes.size(), current.get()) == bytes.size();
            });
        current.reset();
        if (v != Verdict::Accepted) return v;
        if (!havePayload || !haveConfig) return Verdict::MembersMissing;
        // The launcher unpacks the payload: refuse now what it would refuse then.
        const Verdict inner = walk(payload, [](const Member&) { return true; });
        if (inner != Verdict::Accepted) return inner;
        std::string text;
        if (File f{std::fopen(config.c_str(), "rb")}) {
            char buf[kMaxConfigBytes];
            text.assign(buf, std::fread(buf, 1, sizeof buf, f.get()));
        } else {
            return Verdict::MembersMissing;
        }
        out.config = parseConfig(text);
        return checkConfig(out.config, hardwareCode, firmware);
    }();
    out.verdict = verdict;
    if (verdict == Verdict::Accepted) {
        fs::remove(archive, ec);
        fs::remove(config, ec);
    } else {
        emptyDir(dir);
    }
    return out;
}

} // namespace fwpkg
