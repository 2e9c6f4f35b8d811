/*
 * update_test.cpp - the firmware update channel and the package check.
 *
 * The block exchange is driven answer by answer; the package check gets
 * archives built here byte by byte (hostile ones included: "../" members,
 * absolute names, links, devices, sizes past the caps); one order runs end
 * to end against a block server on loopback.
 */
#include "update.hpp"

#include "fake_runtime.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace cloud;
namespace fs = std::filesystem;

namespace
{

// ---- archives ----

std::string tarMember(const std::string& name, const std::string& data, char type = '0',
                      std::uint64_t declaredSize = ~0ull)
{
    std::string h(512, '\0');
    std::memcpy(h.data(), name.data(), std::min<std::size_t>(name.size(), 100));
    std::memcpy(h.data() + 100, "0000644", 7);
    std::memcpy(h.data() + 108, "0000000", 7);
    std::memcpy(h.data() + 116, "0000000", 7);
    char size[12];
    std::snprintf(
        size, sizeof size, "%011llo",
        static_cast<unsigned long long>(declaredSize == ~0ull ? data.size() : declaredSize));
    std::memcpy(h.data() + 124, size, 11);
    std::memcpy(h.data() + 136, "00000000000", 11);
    h[156] = type;
    // A link member pointing outside the package: only ever read, never followed.
    if (type == '2') std::memcpy(h.data() + 157, "/etc/passwd", 11);
    std::memcpy(h.data() + 257, "ustar", 6);
    std::memcpy(h.data() + 263, "00", 2);
    std::memset(h.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : h)
        sum += c;
    char chk[8];
    std::snprintf(chk, sizeof chk, "%06o", sum);
    std::memcpy(h.data() + 148, chk, 7);
    std::string out = h + data;
    out.resize((out.size() + 511) / 512 * 512, '\0');
    return out;
}

std::string tarEnd()
{
    return std::string(1024, '\0');
}

std::string gzip(const std::string& raw)
{
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, raw.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    z.avail_in = unsigned(raw.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = unsigned(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string payload(const std::string& extra = "")
{
    return gzip(tarMember("lib/libnew.so", "ELF") + tarMember("www/", "", '5') + extra + tarEnd());
}

std::string package(const std::string& config, const std::string& inner = payload(),
                    const std::string& extra = "")
{
    return gzip(tarMember("./gateway.tar.gz", inner) + tarMember("gateway_config.csv", config) +
                extra + tarEnd());
}

const std::string kGoodConfig = "torvix card firmware\nHW305KQM01 rev B\nFW02K14\n";

class Dir : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() /
               ("cloud-update-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        dir = root / "Update";
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(root); }
    std::string put(const std::string& name, const std::string& bytes)
    {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).string();
    }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> e;
        for (const auto& x : fs::recursive_directory_iterator(root))
            e.push_back(fs::relative(x.path(), root).string());
        std::sort(e.begin(), e.end());
        return e;
    }
    fwpkg::Outcome check(const std::string& bytes)
    {
        return fwpkg::check(put("Torvix.tar.gz", bytes), dir.string(), "HW305KQM01", "FW02K13");
    }
    fs::path root, dir;
};

} // namespace

// ---- the package check ----

using PackageCheck = Dir;

TEST_F(PackageCheck, AGoodPackageLeavesThePayloadAlone)
{
    const auto out = check(package(kGoodConfig));
    EXPECT_EQ(out.verdict, fwpkg::Verdict::Accepted);
    EXPECT_EQ(out.config.software, "FW02K14");
    EXPECT_EQ(entries(), (std::vector<std::string>{"Update", "Update/gateway.tar.gz"}));
}

TEST_F(PackageCheck, WrongHardwareOrSoftwareEmptiesTheDirectory)
{
    EXPECT_EQ(check(package("x\nHW305KQM02\nFW02K13\n")).verdict, fwpkg::Verdict::Hardware);
    EXPECT_EQ(entries(), (std::vector<std::string>{"Update"}));
    EXPECT_EQ(check(package("x\nHW305KQM01\nFW02S13\n")).verdict, fwpkg::Verdict::Software);
    EXPECT_EQ(check(package("x\r\nHW305KQM01\r\nFW0\r\n")).verdict, fwpkg::Verdict::Software);
    EXPECT_EQ(entries(), (std::vector<std::string>{"Update"}));
    // A description without the version lines compares nothing.
    EXPECT_EQ(check(package("only a description")).verdict, fwpkg::Verdict::Accepted);
}

TEST_F(PackageCheck, HostileMembersAreRefusedAndNothingLeavesTheDirectory)
{
    const std::string cfg = tarMember("gateway_config.csv", kGoodConfig);
    const std::string pay = tarMember("gateway.tar.gz", payload());
    const std::pair<const char*, std::string> cases[] = {
        {"dot-dot", tarMember("../escaped", "x")},
        {"inner dot-dot", tarMember("a/../../escaped", "x")},
        {"absolute", tarMember("/tmp/escaped", "x")},
        {"symlink", tarMember("link", "", '2')},
        {"hard link", tarMember("hard", "", '1')},
        {"char device", tarMember("dev", "", '3')},
        {"fifo", tarMember("fifo", "", '6')},
    };
    for (const auto& [what, member] : cases) {
        const auto out = check(gzip(member + pay + cfg + tarEnd()));
        EXPECT_EQ(out.verdict, fwpkg::Verdict::Unsafe) << what;
        EXPECT_EQ(entries(), (std::vector<std::string>{"Update"})) << what;
    }
    // The same rules inside the payload the launcher unpacks.
    const auto inner = check(package(kGoodConfig, payload(tarMember("../../etc/passwd", "x"))));
    EXPECT_EQ(inner.verdict, fwpkg::Verdict::Unsafe);
    EXPECT_EQ(entries(), (std::vector<std::string>{"Update"}));
}

TEST_F(PackageCheck, SizeCapsAndDamagedArchives)
{
    // A member declaring 200 MiB is refused at its header, before any data.
    EXPECT_EQ(check(gzip(tarMember("big", "", '0', 200ull << 20))).verdict,
              fwpkg::Verdict::TooLarge);
    EXPECT_EQ(check("not a gzip file at all").verdict, fwpkg::Verdict::NotArchive);
    const std::string good = package(kGoodConfig);
    EXPECT_EQ(check(good.substr(0, good.size() / 2)).verdict, fwpkg::Verdict::NotArchive);
    EXPECT_EQ(check(gzip(tarMember("gateway.tar.gz", payload()) + tarEnd())).verdict,
              fwpkg::Verdict::MembersMissing);
    EXPECT_EQ(entries(), (std::vector<std::string>{"Update"}));
    EXPECT_EQ(
        fwpkg::check((dir / "absent").string(), dir.string(), "HW305KQM01", "FW02K13").verdict,
        fwpkg::Verdict::Missing);
}

TEST(PackageNames, SafeNamesStayInside)
{
    EXPECT_TRUE(fwpkg::safeName("a/b.txt"));
    EXPECT_TRUE(fwpkg::safeName("./a..b"));
    EXPECT_FALSE(fwpkg::safeName(""));
    EXPECT_FALSE(fwpkg::safeName(".."));
    EXPECT_FALSE(fwpkg::safeName("a/.."));
    EXPECT_FALSE(fwpkg::safeName("/abs"));
}

// ---- the block exchange ----

namespace
{

std::string header(std::uint32_t size, std::uint32_t crc)
{
    std::string h(kHeaderBytes, '\0');
    for (int i = 0; i < 4; ++i) {
        h[4 + i] = char((size >> (8 * i)) & 0xFF);
        h[8 + i] = char((crc >> (8 * i)) & 0xFF);
    }
    return h;
}

std::string answer(std::uint16_t transac, const std::string& data)
{
    return be16(transac) + be16(crc16(data)) + data;
}

// The block server's reading of a request: address, length, transac.
struct Asked {
    std::string name;
    unsigned at = 0, len = 0, transac = 0;
    bool crcOk = false;
};
Asked parseRequest(const std::string& req)
{
    Asked a;
    char name[80];
    unsigned crc = 0;
    std::sscanf(req.c_str(), "%79s %X %X %X %X", name, &a.at, &a.len, &a.transac, &crc);
    a.name = name;
    a.crcOk = crc == crc16(req.substr(0, req.rfind(' ')));
    return a;
}

} // namespace

TEST(Fetch, RequestsCarryAddressLengthTransacAndCrc)
{
    Fetch f("pkg.bin");
    EXPECT_EQ(f.request().substr(0, 14), "pkg.bin 0 90 1");
    const Asked a = parseRequest(f.request());
    EXPECT_TRUE(a.crcOk);
    EXPECT_EQ(a.len, kHeaderBytes);
}

TEST(Fetch, OneMebibyteComesInBlocksOf1024AndItsCrcIsChecked)
{
    std::string firmware(1 << 20, '\0');
    for (std::size_t i = 0; i < firmware.size(); ++i)
        firmware[i] = char(i * 7 + 3);
    Crc32 crc;
    crc.add(firmware);
    Fetch f("fw");
    std::string stored;
    auto store = [&](std::string_view d) {
        stored += d;
        return true;
    };
    Asked a = parseRequest(f.request());
    EXPECT_EQ(f.answer(answer(std::uint16_t(a.transac), header(1 << 20, crc.value())), store),
              kNotFinished);
    int blocks = 0, rc = kNotFinished;
    while (rc == kNotFinished) {
        a = parseRequest(f.request());
        ASSERT_TRUE(a.crcOk);
        ASSERT_EQ(a.at, kHeaderBytes + blocks * kBlockBytes);
        ASSERT_EQ(a.len, kBlockBytes);
        rc = f.answer(answer(std::uint16_t(a.transac), firmware.substr(a.at - kHeaderBytes, a.len)),
                      store);
        ++blocks;
    }
    EXPECT_EQ(rc, kFinished);
    EXPECT_EQ(blocks, 1024);
    EXPECT_EQ(stored, firmware);
    EXPECT_TRUE(f.crcMatches());
}

TEST(Fetch, BadAnswersAskTheSameBlockAgain)
{
    auto store = [](std::string_view) { return true; };
    Fetch f("fw");
    const std::string first = f.request();
    EXPECT_EQ(f.answer(answer(7, header(2048, 0)), store), kTransacErr);
    std::string badCrc = answer(1, header(2048, 0));
    badCrc[3] ^= 1;
    EXPECT_EQ(f.answer(badCrc, store), kCrcErr);
    EXPECT_EQ(f.answer(answer(1, header(2048, 0) + "extra"), store), kPackNumErr);
    EXPECT_EQ(f.request(), first);
    EXPECT_EQ(f.answer(answer(1, header(2048, 0)), store), kNotFinished);
    // A block longer than asked is refused, not written.
    EXPECT_EQ(f.answer(answer(2, std::string(1500, 'x')), store), kPackNumErr);
}

TEST(Fetch, HeadersOfZeroOrOverFourAndAHalfMebibytesAreRejected)
{
    auto store = [](std::string_view) { return true; };
    Fetch zero("fw");
    EXPECT_EQ(zero.answer(answer(1, header(0, 0)), store), kFileErr);
    Fetch big("fw");
    EXPECT_EQ(big.answer(answer(1, header(kMaxFirmware, 0)), store), kFileErr);
    Fetch ok("fw");
    EXPECT_EQ(ok.answer(answer(1, header(kMaxFirmware - 1, 0)), store), kNotFinished);
}

TEST(UpdateRecord, RoundTripsThroughItsFixedLayout)
{
    UpdateResult r{kFailed, ustatus::kUpdateFailed, {}};
    r.order.name = std::string(80, 'n'); // cut to 63
    r.order.url = "host:1";
    r.order.who = {1, 2, 3, 4, 5};
    r.order.updateWho = 2;
    const std::string b = encodeResult(r);
    ASSERT_EQ(b.size(), kResultRecord);
    auto back = decodeResult(b);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->mainStatus, kFailed);
    EXPECT_EQ(back->status, ustatus::kUpdateFailed);
    EXPECT_EQ(back->order.name, std::string(63, 'n'));
    EXPECT_EQ(back->order.url, "host:1");
    EXPECT_EQ(back->order.who, r.order.who);
    EXPECT_EQ(back->order.updateWho, 2);
    EXPECT_FALSE(decodeResult(b.substr(0, 100)));
}

// ---- one order end to end against a block server on loopback ----

namespace
{

class BlockServer
{
  public:
    explicit BlockServer(std::string file, std::uint32_t crc) : file_(std::move(file)), crc_(crc)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        ::listen(fd_, 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~BlockServer()
    {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
    }
    int port = 0;

  private:
    void serve()
    {
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char buf[256];
        ssize_t n;
        while ((n = ::recv(c, buf, sizeof buf, 0)) > 0) {
            const Asked a = parseRequest(std::string(buf, size_t(n)));
            const std::string data = a.at == 0 ? header(std::uint32_t(file_.size()), crc_)
                                               : file_.substr(a.at - kHeaderBytes, a.len);
            const std::string out = answer(std::uint16_t(a.transac), data);
            ::send(c, out.data(), out.size(), MSG_NOSIGNAL);
        }
        ::close(c);
    }
    std::string file_;
    std::uint32_t crc_;
    int fd_ = -1;
    std::thread thread_;
};

} // namespace

using UpdateOrder = Dir;

TEST_F(UpdateOrder, FetchesChecksAndReportsEachStepThenSuccess)
{
    const std::string pkg = package(kGoodConfig);
    Crc32 crc;
    crc.add(pkg);
    BlockServer server(pkg, crc.value());
    card::FakeRuntime rt;
    ChannelConfig cfg{dir.string(), "HW305KQM01"};
    Order o;
    o.name = "Torvix_HW305KQM01.bin";
    o.url = "127.0.0.1:" + std::to_string(server.port);
    std::vector<std::pair<int, int>> seen;
    runOrder(
        rt, cfg, o, [&](const UpdateResult& r) { seen.emplace_back(r.mainStatus, r.status); },
        [] { return false; });
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{kUpdating, ustatus::kConnected},
                                                      {kUpdating, ustatus::kStartDownload},
                                                      {kUpdating, ustatus::kTransferFinish},
                                                      {kSucceeded, ustatus::kUpdateSucceeded}}));
    EXPECT_EQ(entries(), (std::vector<std::string>{"Update", "Update/gateway.tar.gz"}));
}

TEST_F(UpdateOrder, ACrcMismatchFailsWithStatus12AndAnEmptyDirectory)
{
    const std::string pkg = package(kGoodConfig);
    BlockServer server(pkg, 0xDEADBEEF);
    card::FakeRuntime rt;
    ChannelConfig cfg{dir.string(), "HW305KQM01"};
    Order o{{}, "pkg", "127.0.0.1:" + std::to_string(server.port), 0};
    UpdateResult last;
    runOrder(
        rt, cfg, o, [&](const UpdateResult& r) { last = r; }, [] { return false; });
    EXPECT_EQ(last.mainStatus, kFailed);
    EXPECT_EQ(last.status, ustatus::kTransferFailed);
    EXPECT_EQ(entries(), (std::vector<std::string>{"Update"}));
}

TEST_F(UpdateOrder, AnUnreachableServerFailsWithStatus10AfterThreeAttempts)
{
    card::FakeRuntime rt;
    ChannelConfig cfg{dir.string(), "HW305KQM01"};
    Order o{{}, "pkg", "127.0.0.1:1", 0};
    UpdateResult last;
    runOrder(
        rt, cfg, o, [&](const UpdateResult& r) { last = r; }, [] { return false; });
    EXPECT_EQ(last.mainStatus, kFailed);
    EXPECT_EQ(last.status, ustatus::kServerUnreachable);
    int attempts = 0;
    for (const auto& l : rt.logs)
        attempts += l.find("connect() failed") != std::string::npos;
    EXPECT_EQ(attempts, 3);
}
