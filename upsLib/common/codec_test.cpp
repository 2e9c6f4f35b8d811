// Frame codec, reply validation, poll cycle and command-string handling.
#include "common.h"
#include "driver_shell.hpp"
#include "fake_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace fakeport;

namespace
{

char* chars(Bytes& b)
{
    return reinterpret_cast<char*>(b.data());
}

// A CRC-16/MODBUS computed bit by bit, to check the table-driven one against.
uint16_t crcBitwise(const uint8_t* p, int n)
{
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

TEST(Crc, KnownRequestAndRoundTrip)
{
    Bytes f{0x01, 0x04, 0x00, 0x00, 0x00, 0x49, 0, 0};
    ASSERT_EQ(setModbusCRC(chars(f), 8), 0);
    EXPECT_EQ(f[6], 0x31);
    EXPECT_EQ(f[7], 0xFC);
    EXPECT_EQ(checkModbufCRC(chars(f), 8), 0);
    f[3] ^= 0x01;
    EXPECT_EQ(checkModbufCRC(chars(f), 8), -1);
}

TEST(Crc, MatchesBitwiseDefinition)
{
    Bytes f(64);
    for (int len = 2; len < 62; len += 7) {
        for (int i = 0; i < len; ++i)
            f[i] = static_cast<uint8_t>(i * 37 + len);
        setModbusCRC(chars(f), len + 2);
        const uint16_t want = crcBitwise(f.data(), len);
        EXPECT_EQ(f[len], want & 0xFF);
        EXPECT_EQ(f[len + 1], want >> 8);
    }
}

TEST(Crc, TooSmallOrNullIsRefusedAndUntouched)
{
    Bytes f{0xAA, 0xBB, 0xCC};
    EXPECT_EQ(setModbusCRC(chars(f), 3), -1);
    EXPECT_EQ(f, (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(checkModbufCRC(chars(f), 3), -1);
    EXPECT_EQ(f, (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(setModbusCRC(nullptr, 8), -1);
    EXPECT_EQ(checkModbufCRC(nullptr, 8), -1);
}

TEST(Builders, BuildCmdFramesAndReplyLengths)
{
    Bytes f(8);
    EXPECT_EQ(buildCmd(chars(f), 1, 2, 208, 482), 66);
    EXPECT_EQ(f, withCrc({1, 2, 0x00, 0xD0, 0x01, 0xE2}));
    EXPECT_EQ(buildCmd(chars(f), 1, 3, 0, 79), 163);
    EXPECT_EQ(buildCmd(chars(f), 1, 4, 0, 73), 151);
    EXPECT_EQ(buildCmd(chars(f), 1, 2, 0, 112), 19);
    EXPECT_EQ(buildCmd(chars(f), 1, 2, 0, 1), 6);
    EXPECT_EQ(buildCmd(chars(f), 9, 6, 0x8002, 1), 8);
    EXPECT_EQ(f, withCrc({9, 6, 0x80, 0x02, 0x00, 0x01}));
    EXPECT_EQ(buildCmd(chars(f), 1, 5, 0, 0), 0);
    EXPECT_EQ(buildCmd(nullptr, 1, 3, 0, 1), -1);

    Bytes g(8);
    EXPECT_EQ(mod_Set_SetBuf(chars(g), 9, 0x8002, 1), 0);
    EXPECT_EQ(g, withCrc({9, 6, 0x80, 0x02, 0x00, 0x01}));
    EXPECT_EQ(mod_Set_SetBuf(nullptr, 1, 0, 0), -1);
}

TEST(Builders, BuildCmdOtherCoilsAndRegisters)
{
    Bytes f(40, 0xEE);
    int coils[] = {0x01A5, 0x7777};
    EXPECT_EQ(buildCmdOther(chars(f), 1, 15, 0x0013, 9, coils), 11);
    f.resize(11);
    EXPECT_EQ(f, withCrc({1, 0x0F, 0x00, 0x13, 0x00, 0x09, 2, 0xA5, 0x01}));

    Bytes g(40);
    int regs[] = {2305, -1};
    EXPECT_EQ(buildCmdOther(chars(g), 1, 16, 0xFF00, 2, regs), 13);
    g.resize(13);
    EXPECT_EQ(g, withCrc({1, 0x10, 0xFF, 0x00, 0x00, 0x02, 4, 0x09, 0x01, 0xFF, 0xFF}));

    EXPECT_EQ(buildCmdOther(chars(g), 1, 6, 0, 1, regs), -1);
    EXPECT_EQ(buildCmdOther(chars(g), 1, 16, 0, 0, regs), -1);
    EXPECT_EQ(buildCmdOther(chars(g), 1, 16, 0, 124, regs), -1);
    EXPECT_EQ(buildCmdOther(nullptr, 1, 16, 0, 1, regs), -1);
    EXPECT_EQ(buildCmdOther(chars(g), 1, 16, 0, 1, nullptr), -1);
}

TEST(Builders, ByteHelpersAndBlankSkip)
{
    UINT8 b[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(UINT8_2_to_UINT16(b), 0x1234);
    EXPECT_EQ(UINT8_4_to_UINT32(b), 0x12345678u);
    char text[] = "   a b";
    EXPECT_STREQ(FiltSpace(text), "a b");
    char blank[] = "   ";
    EXPECT_STREQ(FiltSpace(blank), "");
}

TEST(Validation, AcceptsOnlyWellFormedReplies)
{
    Bytes ok = registerReply(1, 4, {1, 2, 3});
    EXPECT_EQ(checkVaild(chars(ok), 11), 0);
    EXPECT_TRUE(upscommon::replyValid(ok.data(), 11, 11));
    // Fewer bytes arrived than the table expects, even with a matching frame.
    EXPECT_FALSE(upscommon::replyValid(ok.data(), 10, 11));
    // Byte count disagrees with the expected length although the CRC is right.
    Bytes other = registerReply(1, 4, {1, 2});
    EXPECT_EQ(checkVaild(chars(other), 9), 0);
    EXPECT_EQ(checkVaild(chars(other), 11), -1);
    Bytes bad = ok;
    bad[4] ^= 0x40;
    EXPECT_EQ(checkVaild(chars(bad), 11), -1);
    Bytes exc = withCrc({1, 0x84, 2});
    EXPECT_EQ(checkVaild(chars(exc), 5), -1);
    EXPECT_EQ(checkVaild(nullptr, 11), -1);
    Bytes tiny{1, 4};
    EXPECT_EQ(checkVaild(chars(tiny), 2), -1);
}

TEST(ReadReply, JoinsOneSplitButNotTwo)
{
    const Bytes reply = registerReply(1, 4, {10, 20, 30, 40});
    FakePort port;
    port.reads = {Bytes(reply.begin(), reply.begin() + 5), Bytes(reply.begin() + 5, reply.end())};
    uint8_t buf[upscommon::kReplyBufSize] = {};
    const int n = upscommon::readReply(io(), &port, buf, sizeof buf, 13);
    EXPECT_EQ(n, 13);
    EXPECT_TRUE(upscommon::replyValid(buf, n, 13));

    port.reads = {Bytes(reply.begin(), reply.begin() + 4),
                  Bytes(reply.begin() + 4, reply.begin() + 8),
                  Bytes(reply.begin() + 8, reply.end())};
    std::memset(buf, 0, sizeof buf);
    const int m = upscommon::readReply(io(), &port, buf, sizeof buf, 13);
    EXPECT_EQ(m, 8);
    EXPECT_FALSE(upscommon::replyValid(buf, m, 13));
}

TEST(ReadReply, OverlongStreamStaysInsideTheBuffer)
{
    FakePort port;
    port.reads = {Bytes(5, 0x11), Bytes(3000, 0x22)};
    struct {
        uint8_t buf[upscommon::kReplyBufSize];
        uint8_t guard[16];
    } area;
    std::memset(area.guard, 0x5A, sizeof area.guard);
    const int n = upscommon::readReply(io(), &port, area.buf, sizeof area.buf, 151);
    EXPECT_EQ(n, upscommon::kReplyBufSize);
    for (uint8_t g : area.guard)
        EXPECT_EQ(g, 0x5A);
}

cmd request(int func, int start, int count, int reply)
{
    cmd c{};
    c.commd[1] = static_cast<unsigned char>(func);
    c.commd[2] = static_cast<unsigned char>(start >> 8);
    c.commd[3] = static_cast<unsigned char>(start);
    c.commd[4] = static_cast<unsigned char>(count >> 8);
    c.commd[5] = static_cast<unsigned char>(count);
    c.recvsize = reply;
    c.cmdSize = 8;
    return c;
}

TEST(PollCycle, SkipsDecodesAndCountsAnswers)
{
    const cmd list[] = {request(4, 0, 2, 9), request(4, 10, 1, 7), request(2, 0, 8, 6)};
    FakePort port;
    g_pausing = &port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> {
        if (req[3] == 0 && req[1] == 4) return {registerReply(req[0], 4, {0x1234, 0x5678})};
        if (req[1] == 2)
            return {withCrc({req[0], 2, 1, 0xFF, 0xFF})}; // byte count right, length wrong
        return {};
    };
    std::vector<int> decoded;
    std::vector<std::pair<int, float>> published;
    upscommon::Cycle cycle([&](int sig, float v) { published.emplace_back(sig, v); });
    int exitFlag = 0;
    const int r = upscommon::pollCycle(
        io(), &port, 7, list, &exitFlag, [](int i) { return i == 1; },
        [&](int i, const uint8_t* reply, int size, upscommon::Reports& out) {
            decoded.push_back(i);
            EXPECT_EQ(size, 9);
            EXPECT_EQ(reply[3], 0x12);
            out.push_back({4105, static_cast<float>(reply[4])});
        },
        cycle);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(decoded, std::vector<int>{0});
    EXPECT_EQ(published, (std::vector<std::pair<int, float>>{{4105, 0x34}}));
    ASSERT_EQ(port.writes.size(), 2u);
    EXPECT_EQ(port.writes[0], withCrc({7, 4, 0, 0, 0, 2}));
    EXPECT_EQ(port.writes[1], withCrc({7, 2, 0, 0, 0, 8}));
    EXPECT_EQ(port.pauses, 1);
    g_pausing = nullptr;
}

TEST(PollCycle, ShortWriteSuspensionAndSilence)
{
    const cmd list[] = {request(4, 0, 2, 9), request(4, 0, 2, 9)};
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> {
        return {registerReply(req[0], 4, {1, 2})};
    };
    port.writeResults = {8, 5};
    int decoded = 0;
    int exitFlag = 0;
    auto count = [&](int, const uint8_t*, int, upscommon::Reports&) { ++decoded; };
    upscommon::Cycle cycle([](int, float) {});
    // The first reply decoded, then a short write ends the cycle with 0.
    EXPECT_EQ(upscommon::pollCycle(io(), &port, 1, list, &exitFlag, nullptr, count, cycle), 0);
    EXPECT_EQ(decoded, 1);

    exitFlag = 1;
    port.writes.clear();
    EXPECT_EQ(upscommon::pollCycle(io(), &port, 1, list, &exitFlag, nullptr, count, cycle), 0);
    EXPECT_TRUE(port.writes.empty());

    exitFlag = 0;
    FakePort silent;
    EXPECT_EQ(upscommon::pollCycle(io(), &silent, 1, list, &exitFlag, nullptr, count, cycle), 0);
    EXPECT_EQ(silent.writes.size(), 2u);
}

TEST(CommandString, NumberAndTokens)
{
    EXPECT_EQ(upscommon::commandNumber("23,1,2"), 23);
    EXPECT_EQ(upscommon::commandNumber("1234567"), 12345);
    EXPECT_EQ(upscommon::commandNumber(" 8x"), 8);
    EXPECT_EQ(upscommon::commandNumber(""), -1);
    EXPECT_EQ(upscommon::commandNumber("abc,1"), -1);
    EXPECT_EQ(upscommon::commandNumber(",0"), -1);
    EXPECT_EQ(upscommon::commandNumber(nullptr), -1);

    std::vector<std::string> t;
    ASSERT_TRUE(upscommon::splitTokens("51,230.5,,7", 20, t));
    EXPECT_EQ(t, (std::vector<std::string>{"51", "230.5", "", "7"}));

    std::string many = "52";
    for (int i = 1; i < 30; ++i)
        many += "," + std::to_string(i);
    ASSERT_TRUE(upscommon::splitTokens(many.c_str(), 20, t));
    EXPECT_EQ(t.size(), 20u);
    EXPECT_EQ(t.back(), "19");

    EXPECT_TRUE(upscommon::splitTokens(("1," + std::string(19, '9')).c_str(), 20, t));
    EXPECT_FALSE(upscommon::splitTokens(("1," + std::string(20, '9')).c_str(), 20, t));
    EXPECT_FALSE(upscommon::splitTokens(("1,2," + std::string(5000, 'x')).c_str(), 20, t));
}

struct RawCase {
    const char* text;
    int result;
    Bytes written;
};

TEST(RawSend, WritesExactlyTheGivenBytes)
{
    const RawCase cases[] = {
        {"50,1,01 06 80 00 00 01", 1, {0x01, 0x06, 0x80, 0x00, 0x00, 0x01}},
        {"50,1,0G", 0, {}},
        {"50,1,ABC", 1, {0xAB}},
        {"50,0,XY", 1, {'X', 'Y'}},
        {"50,2,aBcD", 1, {0xAB, 0xCD}},
        {"50,1,A", 0, {}},
        {"50,1", 0, {}},
        {"50", 0, {}},
        {"50,,0102", 0, {}},
        {"50,0,", 0, {}},
    };
    for (const RawCase& c : cases) {
        FakePort port;
        EXPECT_EQ(upscommon::controlSendData(io(), &port, c.text), c.result) << c.text;
        if (c.written.empty())
            EXPECT_TRUE(port.writes.empty()) << c.text;
        else
            EXPECT_EQ(port.writes, std::vector<Bytes>{c.written}) << c.text;
    }
}

TEST(RawSend, PayloadBeyondTheFrameBufferIsRefused)
{
    FakePort port;
    const std::string fits = "50,1," + std::string(2 * upscommon::kControlFrameSize, 'F');
    EXPECT_EQ(upscommon::controlSendData(io(), &port, fits.c_str()), 1);
    ASSERT_EQ(port.writes.size(), 1u);
    EXPECT_EQ(port.writes[0].size(), static_cast<size_t>(upscommon::kControlFrameSize));

    const std::string hex = "50,1," + std::string(2 * upscommon::kControlFrameSize + 2, 'F');
    const std::string text = "50,0," + std::string(upscommon::kControlFrameSize + 1, 'x');
    FakePort other;
    EXPECT_EQ(upscommon::controlSendData(io(), &other, hex.c_str()), 0);
    EXPECT_EQ(upscommon::controlSendData(io(), &other, text.c_str()), 0);
    EXPECT_TRUE(other.writes.empty());

    FakePort shortWrite;
    shortWrite.writeResults = {1};
    EXPECT_EQ(upscommon::controlSendData(io(), &shortWrite, "50,1,0102"), 0);
}

TEST(ControlSend, RetriesUntilAcknowledged)
{
    Bytes frame(8);
    buildCmd(chars(frame), 1, 6, 0x8006, 1);

    FakePort ok;
    ok.responder = [](const Bytes& req) -> std::vector<Bytes> { return {echoAck(req)}; };
    EXPECT_EQ(upscommon::controlSendFrame(io(), &ok, 1, 6, frame.data(), 8), 1);
    EXPECT_EQ(ok.writes.size(), 1u);

    FakePort exception;
    exception.responder = [](const Bytes&) -> std::vector<Bytes> {
        return {withCrc({1, 0x86, 4})};
    };
    EXPECT_EQ(upscommon::controlSendFrame(io(), &exception, 1, 6, frame.data(), 8), 0);
    EXPECT_EQ(exception.writes.size(), 3u);

    // A garbled answer, then silence, then a good one.
    FakePort flaky;
    flaky.reads = {Bytes{1, 6, 0x80, 0x06, 0, 1, 0, 0}, Bytes{}};
    flaky.writeResults = {8, 8, 8};
    int calls = 0;
    flaky.responder = [&calls](const Bytes& req) -> std::vector<Bytes> {
        return ++calls == 3 ? std::vector<Bytes>{echoAck(req)} : std::vector<Bytes>{};
    };
    EXPECT_EQ(upscommon::controlSendFrame(io(), &flaky, 1, 6, frame.data(), 8), 1);
    EXPECT_EQ(flaky.writes.size(), 3u);

    FakePort shortWrites;
    shortWrites.writeResults = {7, 7, 7};
    shortWrites.responder = [](const Bytes& req) -> std::vector<Bytes> { return {echoAck(req)}; };
    EXPECT_EQ(upscommon::controlSendFrame(io(), &shortWrites, 1, 6, frame.data(), 8), 0);
    EXPECT_EQ(shortWrites.writes.size(), 3u);
}

} // namespace
