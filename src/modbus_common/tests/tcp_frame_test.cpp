// Modbus/TCP frame walk, MBAP header rules, answers wrapped in the request's
// header, and the client filter. The limits the TCP slaves share with the
// serial one, or not, are in pdu_test.cpp.
#include "modbus_frames.h"
#include "tcp_frame.h"

#include <gtest/gtest.h>

using namespace mbslave;
using namespace mbslave::test;

namespace
{

struct TcpFrameTest : ::testing::Test {
    card::FakeRuntime rt;
    PduHandler pdu{rt, kTcpLimits};

    Bytes handle(const Bytes& f) { return handleTcpFrame(f, pdu, "Tcp:127.0.0.1"); }
    // Exception code of an answer, or -1 when it is not an exception answer.
    static int exceptionOf(const Bytes& a, int function)
    {
        if (a.size() != 9 || a[7] != ((function + 0x80) & 0xFF) || a[4] != 0 || a[5] != 3)
            return -1;
        return a[8];
    }
};

TEST(TcpWalk, SplitsFramesAndKeepsAnIncompleteTail)
{
    Bytes buf = tcpRequest(3, 9, 1);
    Bytes second = tcpRequest(4, 257, 2);
    buf.insert(buf.end(), second.begin(), second.end());
    Bytes many = tcpWriteMany(7, {120, 5});
    buf.insert(buf.end(), many.begin(), many.end());
    TcpWalk w = walkTcpBuffer(buf);
    ASSERT_EQ(w.frames.size(), 3u);
    EXPECT_EQ(w.frames[1], std::make_pair(size_t(12), size_t(12)));
    EXPECT_EQ(w.frames[2], std::make_pair(size_t(24), many.size()));
    EXPECT_EQ(w.consumed, buf.size());

    // Cut anywhere inside the last frame: the first two are taken, the rest waits.
    for (size_t cut = 25; cut < buf.size(); ++cut) {
        TcpWalk part = walkTcpBuffer(std::span(buf).first(cut));
        EXPECT_EQ(part.frames.size(), 2u) << cut;
        EXPECT_EQ(part.consumed, 24u) << cut;
    }
}

TEST(TcpWalk, SkipsBytesThatCannotStartAFrame)
{
    Bytes buf(5, 0xEE); // garbage whose "function byte" is never a known one
    Bytes req = tcpRequest(3, 9, 1);
    buf.insert(buf.end(), req.begin(), req.end());
    TcpWalk w = walkTcpBuffer(buf);
    ASSERT_EQ(w.frames.size(), 1u);
    EXPECT_EQ(w.frames[0].first, 5u);
    EXPECT_EQ(w.consumed, buf.size());

    // Garbage whose bytes alias a function code resynchronises on the frame.
    for (size_t g = 1; g < 30; ++g) {
        Bytes b(g, 0x06);
        b.insert(b.end(), req.begin(), req.end());
        b.insert(b.end(), req.begin(), req.end());
        TcpWalk r = walkTcpBuffer(b);
        // Frame-shaped garbage of 12 bytes or more is taken as malformed
        // frames (answered with exception 0), but never overlaps the real one.
        ASSERT_GE(r.frames.size(), 2u) << g;
        EXPECT_EQ(r.frames[r.frames.size() - 2].first, g);
        for (size_t i = 0; i + 2 < r.frames.size(); ++i)
            EXPECT_LE(r.frames[i].first + r.frames[i].second, g);
        EXPECT_EQ(r.consumed, b.size());
    }
    // A lone malformed frame is still a frame (it gets exception 0).
    Bytes bad = tcpRequest(3, 9, 1);
    bad[2] = 1;
    EXPECT_EQ(walkTcpBuffer(bad).frames.size(), 1u);

    Bytes junk(100, 0x55);
    w = walkTcpBuffer(junk);
    EXPECT_TRUE(w.frames.empty());
    EXPECT_GE(w.consumed, junk.size() - 7); // at most a 7-byte tail is kept
}

TEST_F(TcpFrameTest, ReadsHoldingRegistersWithinTheMap)
{
    rt.set("ups_addr", "3");
    Bytes a = handle(tcpRequest(3, 9, 1));
    Bytes expect{0x12, 0x34, 0, 0, 0, 5, 1, 3, 2, 0, 3};
    EXPECT_EQ(a, expect);

    a = handle(tcpRequest(3, 990, 10));
    ASSERT_EQ(a.size(), 9u + 20u);
    EXPECT_EQ(a[5], 3 + 20);
    EXPECT_EQ(a[8], 20);
    EXPECT_EQ(exceptionOf(handle(tcpRequest(3, 990, 20)), 3), 2);
    // Beyond the holding registers: a normal answer of zeros.
    a = handle(tcpRequest(3, 1500, 2));
    EXPECT_EQ(a, (Bytes{0x12, 0x34, 0, 0, 0, 7, 1, 3, 4, 0, 0, 0, 0}));
}

TEST_F(TcpFrameTest, ReadsInputRegistersAndText)
{
    putText(rt, card::kUps, Data_IdentManufacturer, "ABC");
    Bytes a = handle(tcpRequest(4, 513, 3));
    EXPECT_EQ(a, (Bytes{0x12, 0x34, 0, 0, 0, 9, 1, 4, 6, 'A', 'B', 'C', 0, 0, 0}));
    EXPECT_EQ(handle(tcpRequest(4, 1900, 100)).size(), 9u + 200u);

    PduHandler pack(rt, kPackLimits);
    rt.setValue(card::kPackBase, Data_bms_mod1_cell_volt1, 3312);
    a = handleTcpFrame(tcpRequest(4, 8192, 1), pack, "Tcp:x");
    EXPECT_EQ(a, (Bytes{0x12, 0x34, 0, 0, 0, 5, 1, 4, 2, 0x0C, 0xF0}));
    EXPECT_EQ(handleTcpFrame(tcpRequest(4, 8990, 10), pack, "Tcp:x").size(), 29u);
}

TEST_F(TcpFrameTest, ReadsDiscreteInputsAsPackedBits)
{
    rt.setValue(card::kUps, Alarm_CommunicationsLost, 1); // 257
    rt.setValue(card::kUps, Alarm_OnBattery, 1);          // 259
    Bytes a = handle(tcpRequest(2, 257, 3));
    EXPECT_EQ(a, (Bytes{0x12, 0x34, 0, 0, 0, 4, 1, 2, 1, 0b101}));
    a = handle(tcpRequest(2, 250, 10)); // 257 and 259 are bits 7 and 9
    EXPECT_EQ(a, (Bytes{0x12, 0x34, 0, 0, 0, 5, 1, 2, 2, 0x80, 0x02}));
    a = handle(tcpRequest(2, 0, 1000));
    EXPECT_EQ(a.size(), 9u + 125u);
    EXPECT_EQ(exceptionOf(handle(tcpRequest(2, 0, 1001)), 2), 2);
}

TEST_F(TcpFrameTest, MalformedHeadersGetExceptionZero)
{
    Bytes f = tcpRequest(3, 9, 1);
    f[2] = 1; // protocol id
    EXPECT_EQ(exceptionOf(handle(f), 3), 0);
    f = tcpRequest(3, 9, 1);
    f[5] = 7; // length field disagrees with the frame
    EXPECT_EQ(exceptionOf(handle(f), 3), 0);
    f = tcpRequest(3, 9, 1);
    f[4] = 1;
    EXPECT_EQ(exceptionOf(handle(f), 3), 0);
    EXPECT_EQ(exceptionOf(handle(tcpRequest(3, 9, 1, 0)), 3), 0);
    EXPECT_EQ(exceptionOf(handle(tcpRequest(3, 9, 1, 255)), 3), 0);
    // The exception keeps the transaction id and unit id.
    Bytes a = handle(tcpRequest(3, 9, 1, 0, 0xBEEF));
    EXPECT_EQ(a[0], 0xBE);
    EXPECT_EQ(a[1], 0xEF);
    EXPECT_EQ(a[6], 0);
}

TEST_F(TcpFrameTest, OtherUnitsAreNotAnswered)
{
    EXPECT_TRUE(handle(tcpRequest(3, 9, 1, 2)).empty());
    EXPECT_TRUE(handle(tcpRequest(6, 1, 65535, 247)).empty());
    EXPECT_FALSE(touchedAnything(rt));
}

TEST_F(TcpFrameTest, UnknownFunctionGetsExceptionOne)
{
    Bytes f = tcpRequest(5, 1, 0xFF00);
    EXPECT_EQ(exceptionOf(handle(f), 5), 1);
}

TEST_F(TcpFrameTest, SingleWriteIsEchoedWhetherOrNotAccepted)
{
    Bytes f = tcpRequest(6, 7, 601);
    EXPECT_EQ(handle(f), f);
    EXPECT_TRUE(commands(rt).empty());
    f = tcpRequest(6, 1, 65535);
    EXPECT_EQ(handle(f), f);
    EXPECT_EQ(commands(rt), std::vector<int>{0});
    // The control-log row names the peer.
    ASSERT_EQ(rt.stores.size(), 1u);
    EXPECT_EQ(rt.stores[0].code, card::store::kControlModbus);
    EXPECT_EQ(rt.stores[0].text, "Tcp:127.0.0.1");
    EXPECT_EQ(exceptionOf(handle(tcpRequest(6, 12001, 1)), 6), 2);
}

TEST_F(TcpFrameTest, BlockWriteAnswersStartAndQuantity)
{
    Bytes f = tcpWriteMany(7, {120, 5});
    Bytes a = handle(f);
    Bytes expect(f.begin(), f.begin() + 12);
    expect[5] = 6;
    EXPECT_EQ(a, expect);
    EXPECT_EQ(commands(rt), std::vector<int>{24});

    f = tcpWriteMany(7, {120, 5});
    f[11] = 3; // quantity disagrees with the frame length
    EXPECT_EQ(exceptionOf(handle(f), 16), 0);
    EXPECT_EQ(commands(rt).size(), 1u);
}

TEST(ClientFilter, OnlyListedMastersWriteAndTheSwitchSilencesTheRest)
{
    std::vector<std::string> list{"", "192.168.1.", "", "10.0.0.5", "", "", "", ""};
    // the factory setting: filter off, empty list: everybody reads, nobody writes
    EXPECT_EQ(clientAccess("10.0.0.1", false, std::vector<std::string>(8)), Access::Read);
    EXPECT_EQ(clientAccess("10.0.0.1", true, std::vector<std::string>(8)), Access::None);
    EXPECT_EQ(clientAccess("192.168.1.77", false, list), Access::ReadWrite);
    EXPECT_EQ(clientAccess("192.168.1.77", true, list), Access::ReadWrite);
    EXPECT_EQ(clientAccess("10.0.0.5", true, list), Access::ReadWrite);
    // entries match by field, never as text
    EXPECT_EQ(clientAccess("10.0.0.50", true, list), Access::None);
    EXPECT_EQ(clientAccess("10.0.0.51", false, list), Access::Read);
    EXPECT_EQ(clientAccess("10.192.168.1.5", true, list), Access::None);
    EXPECT_EQ(clientAccess("192.168.2.1", true, list), Access::None);
    list[6] = "::1";
    EXPECT_EQ(clientAccess("::1", true, list), Access::ReadWrite);
    EXPECT_EQ(clientAccess("::10", true, list), Access::None);
    list[7] = "*.*.*.*";
    EXPECT_EQ(clientAccess("::10", true, list), Access::ReadWrite);
}

TEST_F(TcpFrameTest, WritesOfAReadOnlyMasterGetExceptionOneAndChangeNothing)
{
    rt.set("ups_addr", "1");
    auto readOnly = [&](const Bytes& f) {
        return handleTcpFrame(f, pdu, "Tcp:10.0.0.9", Access::Read);
    };
    EXPECT_EQ(exceptionOf(readOnly(tcpRequest(6, 9, 12)), 6), kWriteRefused);
    EXPECT_EQ(exceptionOf(readOnly(tcpRequest(6, 1, 65535)), 6), kWriteRefused);
    EXPECT_EQ(exceptionOf(readOnly(tcpWriteMany(21, {2030, 1, 2, 3, 4, 5})), 16), kWriteRefused);
    EXPECT_EQ(rt.text("ups_addr"), "1");
    EXPECT_TRUE(commands(rt).empty());
    EXPECT_TRUE(rt.events.empty());
    // reads are served as ever, and the answer keeps the transaction id
    Bytes a = readOnly(tcpRequest(3, 9, 1));
    ASSERT_EQ(a.size(), 11u);
    EXPECT_EQ(a[7], 3);
    // a malformed write is still malformed first
    Bytes bad = tcpRequest(6, 9, 12);
    bad[2] = 1; // protocol identifier
    EXPECT_EQ(exceptionOf(readOnly(bad), 6), 0);
}

} // namespace
