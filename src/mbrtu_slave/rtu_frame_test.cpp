// Modbus RTU slave: frame walk, CRC and address checks, serial limits, writes.
#include "common.h"
#include "fake_host.h"
#include "rtu_frame.h"

#include <gtest/gtest.h>

using namespace mbslave;

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes withCrc(Bytes f)
{
    f.resize(f.size() + 2);
    setModbusCRC(reinterpret_cast<char*>(f.data()), static_cast<int>(f.size()));
    return f;
}

Bytes request(int addr, int function, int a, int b)
{
    return withCrc({static_cast<uint8_t>(addr), static_cast<uint8_t>(function),
                    static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                    static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)});
}

struct RtuTest : ::testing::Test {
    FakeHost host;
    RegisterMap map;
    RtuContext ctx{host, map, 1};

    Bytes handle(const Bytes& f) { return handleRtuFrame(f, ctx); }
    static int exceptionOf(const Bytes& a, int function)
    {
        if (a.size() != 5 || a[1] != ((function + 0x80) & 0xFF)) return -1;
        Bytes copy = a;
        if (checkModbufCRC(reinterpret_cast<char*>(copy.data()), 5) != 0) return -2;
        return a[2];
    }
};

TEST(RtuWalk, CutsFramesBySizeAndSkipsOtherBytes)
{
    Bytes buf{0x00, 0x99};
    Bytes r = request(1, 3, 9, 1);
    buf.insert(buf.end(), r.begin(), r.end());
    Bytes w = withCrc({1, 16, 0, 7, 0, 2, 4, 0, 120, 0, 5});
    buf.insert(buf.end(), w.begin(), w.end());
    buf.insert(buf.end(), r.begin(), r.begin() + 5); // incomplete: left alone
    auto frames = walkRtuBuffer(buf);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], std::make_pair(size_t(2), size_t(8)));
    EXPECT_EQ(frames[1], std::make_pair(size_t(10), w.size()));
}

TEST_F(RtuTest, ReadsRegistersWithTheSerialLimits)
{
    host.settings["ups_addr"] = "9";
    Bytes a = handle(request(1, 3, 9, 1));
    EXPECT_EQ(a, withCrc({1, 3, 2, 0, 9}));
    EXPECT_EQ(exceptionOf(handle(request(1, 3, 990, 10)), 3), 2); // holding ends at 999
    EXPECT_EQ(handle(request(1, 3, 989, 10)).size(), 5u + 20u);
    EXPECT_EQ(exceptionOf(handle(request(1, 3, 0, 125)), 3), 2);
    EXPECT_EQ(exceptionOf(handle(request(1, 4, 1990, 10)), 4), 2);

    host.setText(kUpsDev, 40000, "ABC");
    EXPECT_EQ(handle(request(1, 4, 513, 2)), withCrc({1, 4, 4, 'A', 'B', 'C', 0}));
}

TEST_F(RtuTest, ReadsBitsButRefusesAThousand)
{
    host.signals[{kUpsDev, 20019}] = 1;
    EXPECT_EQ(handle(request(1, 2, 257, 2)), withCrc({1, 2, 1, 1}));
    EXPECT_EQ(exceptionOf(handle(request(1, 2, 0, 1000)), 2), 2);
    EXPECT_EQ(handle(request(1, 2, 0, 999)).size(), 5u + 125u);
    EXPECT_EQ(exceptionOf(handle(request(1, 2, 2000, 1)), 2), 0);
    EXPECT_EQ(exceptionOf(handle(request(1, 2, 1500, 600)), 2), 2);
}

TEST_F(RtuTest, BadCrcAndOtherAddressesAreSilent)
{
    Bytes f = request(1, 6, 1, 65535);
    f[7] ^= 1;
    EXPECT_TRUE(handle(f).empty());
    EXPECT_TRUE(handle(request(2, 6, 1, 65535)).empty());
    EXPECT_TRUE(handle(request(0, 3, 9, 1)).empty());
    EXPECT_TRUE(host.commands.empty());
    Bytes tooShort{1, 3, 0};
    EXPECT_TRUE(handle(tooShort).empty());

    ctx.slaveAddr = 2;
    EXPECT_EQ(handle(request(2, 3, 9, 1)).size(), 7u);
}

TEST_F(RtuTest, UnsupportedFunctionIsRefusedWhateverTheAddress)
{
    EXPECT_EQ(exceptionOf(handle(request(1, 1, 0, 8)), 1), 1);
    EXPECT_EQ(exceptionOf(handle(request(7, 5, 0, 0xFF00)), 5), 1);
}

TEST_F(RtuTest, WritesActWithTheSerialOrigin)
{
    Bytes f = request(1, 6, 1, 65535);
    EXPECT_EQ(handle(f), f);
    EXPECT_EQ(host.commands, std::vector<int>{0});
    EXPECT_EQ(host.controlLogs.back(), std::make_pair(1300, std::string("COM")));
    f = request(1, 6, 7, 601);
    EXPECT_EQ(handle(f), f);
    EXPECT_EQ(host.commands.size(), 1u);

    Bytes w = withCrc({1, 16, 0, 7, 0, 2, 4, 0, 120, 0, 5});
    EXPECT_EQ(handle(w), withCrc({1, 16, 0, 7, 0, 2}));
    EXPECT_EQ(host.settings["in_tast23"], "120");
    EXPECT_EQ(host.settings["in_tast5"], "5");
    EXPECT_EQ(host.commands.back(), 24);
}

} // namespace
