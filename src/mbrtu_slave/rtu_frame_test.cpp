// Modbus RTU slave: frame walk, CRC and address checks, answers with their
// CRC, writes. The serial limits beside the TCP ones are in pdu_test.cpp.
#include "common.h"
#include "modbus_frames.h"
#include "rtu_frame.h"

#include <gtest/gtest.h>

using namespace mbslave;
using namespace mbslave::test;

namespace
{

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
    card::FakeRuntime rt;
    PduHandler pdu{rt, kRtuLimits};
    int slaveAddr = 1;

    Bytes handle(const Bytes& f) { return handleRtuFrame(f, pdu, slaveAddr); }
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
    rt.set("ups_addr", "9");
    Bytes a = handle(request(1, 3, 9, 1));
    EXPECT_EQ(a, withCrc({1, 3, 2, 0, 9}));
    EXPECT_EQ(exceptionOf(handle(request(1, 3, 990, 10)), 3), 2); // holding ends at 999
    EXPECT_EQ(handle(request(1, 3, 989, 10)).size(), 5u + 20u);

    putText(rt, card::kUps, Data_IdentManufacturer, "ABC");
    EXPECT_EQ(handle(request(1, 4, 513, 2)), withCrc({1, 4, 4, 'A', 'B', 'C', 0}));
}

TEST_F(RtuTest, ReadsBitsButRefusesAThousand)
{
    rt.setValue(card::kUps, Alarm_CommunicationsLost, 1);
    EXPECT_EQ(handle(request(1, 2, 257, 2)), withCrc({1, 2, 1, 1}));
    EXPECT_EQ(exceptionOf(handle(request(1, 2, 0, 1000)), 2), 2);
    EXPECT_EQ(handle(request(1, 2, 0, 999)).size(), 5u + 125u);
}

TEST_F(RtuTest, BadCrcAndOtherAddressesAreSilent)
{
    Bytes f = request(1, 6, 1, 65535);
    f[7] ^= 1;
    EXPECT_TRUE(handle(f).empty());
    EXPECT_TRUE(handle(request(2, 6, 1, 65535)).empty());
    EXPECT_TRUE(handle(request(0, 3, 9, 1)).empty());
    EXPECT_FALSE(touchedAnything(rt));
    Bytes tooShort{1, 3, 0};
    EXPECT_TRUE(handle(tooShort).empty());
    // A block write without its byte count is not a request.
    EXPECT_TRUE(handle(request(1, 16, 7, 1)).empty());

    slaveAddr = 2;
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
    EXPECT_EQ(commands(rt), std::vector<int>{0});
    ASSERT_EQ(rt.stores.size(), 1u);
    EXPECT_EQ(rt.stores[0].code, card::store::kControlModbus);
    EXPECT_EQ(rt.stores[0].text, "COM");
    f = request(1, 6, 7, 601);
    EXPECT_EQ(handle(f), f);
    EXPECT_EQ(commands(rt).size(), 1u);

    Bytes w = withCrc({1, 16, 0, 7, 0, 2, 4, 0, 120, 0, 5});
    EXPECT_EQ(handle(w), withCrc({1, 16, 0, 7, 0, 2}));
    EXPECT_EQ(rt.text("in_tast23"), "120");
    EXPECT_EQ(rt.text("in_tast5"), "5");
    EXPECT_EQ(commands(rt).back(), 24);
}

} // namespace
