// The text-protocol family's shared pieces: number fields as the protocol
// writes them, records with their blank checks, token replies, the poll cycle
// against a scripted line, and the control texts with their two formats.
#include "ascii.hpp"
#include "fake_port.h"

#include <gtest/gtest.h>

#include <string>

using namespace fakeport;
using namespace upscommon;
using namespace upscommon::ascii;

namespace
{

float num(const std::string& s, float f)
{
    return number(s.data(), static_cast<int>(s.size()), f);
}
float lead(const std::string& s, float f)
{
    return leadingNumber(s.data(), static_cast<int>(s.size()), f);
}
Bytes bytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

TEST(AsciiNumber, DigitsJoinedDotsAndBlanksIgnoredAnythingElseZero)
{
    EXPECT_FLOAT_EQ(num("230.5", 0.1f), 230.5f);
    EXPECT_FLOAT_EQ(num(" 12.5", 0.1f), 12.5f);
    EXPECT_FLOAT_EQ(num("0050", 1), 50);
    EXPECT_FLOAT_EQ(num("2.25", 0.01f), 2.25f);
    EXPECT_EQ(num("-12.5", 0.1f), 0);
    EXPECT_EQ(num("23x.5", 0.1f), 0);
    EXPECT_EQ(num("220/380", 1), 0);
    EXPECT_EQ(num(std::string(21, '1'), 1), 0); // longer than 20
    EXPECT_EQ(number(nullptr, 3, 1), 0);
    EXPECT_EQ(num("", 1), 0);
}

TEST(AsciiNumber, LeadingDigitsEndAtTheFirstOtherCharacter)
{
    EXPECT_FLOAT_EQ(lead("220/380", 1), 220);
    EXPECT_FLOAT_EQ(lead(" .380V", 1), 380);
    EXPECT_FLOAT_EQ(lead("010KVA    ", 1000), 10000);
    EXPECT_EQ(lead("V220", 1), 0);
    EXPECT_EQ(lead("   ", 1), 0);
    EXPECT_EQ(lead(std::string(21, '9'), 1), 0);
}

TEST(AsciiRecord, ShortReplyLeavesZerosThatFailTheBlankChecks)
{
    const Bytes full = bytes("(230.5 000.0\r");
    EXPECT_TRUE(Record(full.data(), static_cast<int>(full.size()), 13).blanks({6}));
    const Record half(full.data(), 5, 13);
    EXPECT_FALSE(half.blanks({6}));
    EXPECT_EQ(half.text(7, 11), std::string(5, '\0'));
    EXPECT_EQ(half.number(7, 11), 0);
    // Positions outside the record read as nothing.
    EXPECT_EQ(half.at(40), '\0');
    EXPECT_TRUE(half.text(10, 40).empty());
    EXPECT_FLOAT_EQ(Record(full.data(), 13, 13).number(1, 5, 0.1f), 230.5f);
}

TEST(AsciiTokens, FieldsUpToSixCharactersEachEndedByABlank)
{
    const Bytes qt = bytes("(2305 05000 3\r");
    Tokens t = tokens(qt.data(), static_cast<int>(qt.size()), 6);
    ASSERT_EQ(t.fields.size(), 3u);
    EXPECT_EQ(t.fields[1], "05000");
    EXPECT_TRUE(t.clean);
    EXPECT_TRUE(t.blankAfter[1]);
    EXPECT_FALSE(t.blankAfter[2]);

    const Bytes tooLong = bytes("(12 1234567 5\r");
    t = tokens(tooLong.data(), static_cast<int>(tooLong.size()), 6);
    EXPECT_EQ(t.fields.size(), 1u);
    EXPECT_FALSE(t.clean);

    const Bytes doubleBlank = bytes("1  2\r");
    t = tokens(doubleBlank.data(), static_cast<int>(doubleBlank.size()), 6);
    EXPECT_EQ(t.fields.size(), 1u);
    EXPECT_FALSE(t.clean);
}

// A two-command table against a scripted line.
const Command kTable[] = {{"1000", "A\r", 5, 500}, {"1001", "BB\r", 6, 800}};

struct Line {
    FakePort port;
    std::vector<std::string> decoded;
    std::vector<int> silent;
    int exitFlag = 0;
    int result = -1;
    Reports seen;

    void cycle(std::function<bool(int)> skip = nullptr)
    {
        CycleRules rules;
        rules.skip = std::move(skip);
        rules.silent = [&](int i) { silent.push_back(i); };
        rules.decode = [&](int i, const uint8_t* r, int got, Reports& out) {
            const std::string s(reinterpret_cast<const char*>(r), got);
            if (s == "throw\r") throw std::runtime_error("bad");
            decoded.push_back(std::to_string(i) + ":" + s);
            out.push_back({4000 + i, 1.0f});
            return s.back() == '\r';
        };
        Cycle out([&](int sig, float v) { seen.push_back({sig, v}); });
        g_pausing = &port;
        result = pollCycle(io(), &port, 1, kTable, &exitFlag, rules, out);
        g_pausing = nullptr;
    }
};

TEST(AsciiCycle, EchoDroppedHalfAnswerJoinedSilenceReported)
{
    Line r;
    // command 0: echo and answer in one read; command 1: an answer in two reads
    r.port.reads = {bytes("A\r(ok\r"), bytes("(o"), bytes("k2\r")};
    r.cycle();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.decoded, (std::vector<std::string>{"0:(ok\r", "1:(ok2\r"}));
    EXPECT_EQ(r.seen, (Reports{{4000, 1}, {4001, 1}}));
    // two waits and two answer pauses
    EXPECT_EQ(r.port.pauses, 4);

    Line silent;
    silent.port.reads = {bytes("A\r")}; // an echo and nothing behind it
    silent.cycle();
    EXPECT_EQ(silent.result, 0);
    EXPECT_EQ(silent.silent, (std::vector<int>{0, 1}));
}

TEST(AsciiCycle, RejectedOrThrowingRepliesDoNotCountAsAnswers)
{
    Line r;
    r.port.reads = {bytes("(torn"), bytes("throw\r")};
    r.cycle();
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(r.seen.empty());
}

TEST(AsciiCycle, SkipsSuspensionAndShortWrites)
{
    Line skipped;
    skipped.port.reads = {bytes("(x\r")};
    skipped.cycle([](int i) { return i == 0; });
    ASSERT_EQ(skipped.port.writes.size(), 1u);
    EXPECT_EQ(skipped.port.writes[0], bytes("BB\r"));

    Line suspended;
    suspended.exitFlag = 1;
    suspended.cycle();
    EXPECT_EQ(suspended.result, 0);
    EXPECT_TRUE(suspended.port.writes.empty());

    Line shortWrite;
    shortWrite.port.writeResults = {1};
    shortWrite.cycle();
    EXPECT_EQ(shortWrite.result, 0);
    EXPECT_EQ(shortWrite.port.writes.size(), 1u);
}

std::string textOf(const std::string& cmd)
{
    std::vector<std::string> tokens;
    splitTokens(cmd.c_str(), kAsciiTokens, tokens);
    return kytoControlText(commandNumber(cmd.c_str()), tokens);
}

TEST(AsciiControl, TextsAndTheirTwoDelayFormats)
{
    EXPECT_EQ(textOf("0"), "T\r");
    EXPECT_EQ(textOf("1,7"), "T07\r");
    EXPECT_EQ(textOf("5,1,15"), "S.2R0015\r");
    EXPECT_EQ(textOf("7"), "S.2R0001\r");
    EXPECT_EQ(textOf("8"), "Q\r");
    EXPECT_EQ(textOf("23,1,2,3,4,30"), "S.5\r");
    EXPECT_EQ(textOf("23,1,2,3,4,120"), "S02\r");
    EXPECT_EQ(textOf("24,1,15,3,4,300"), "S05R0015\r");
    EXPECT_EQ(textOf("24,1,15,3,4,30"), "S.5R0015\r");
    // Arguments that are missing, not numbers, or longer than their digits.
    EXPECT_EQ(textOf("1"), "");
    EXPECT_EQ(textOf("1,100"), "");
    EXPECT_EQ(textOf("1,-1"), "");
    EXPECT_EQ(textOf("5,1,10000"), "");
    EXPECT_EQ(textOf("23,1,2,3,4,6000"), "");
    EXPECT_EQ(textOf("23,1,2,3,4,1x"), "");
    EXPECT_EQ(textOf("24,1,,3,4,300"), "");
    EXPECT_EQ(textOf("9"), "");
    EXPECT_EQ(textOf("-1"), "");
}

TEST(AsciiControl, SendRetriesShortWritesAndSuspendTakesNoLine)
{
    FakePort port;
    port.writeResults = {1, 1};
    int exitFlag = 0;
    EXPECT_EQ(kytoControl(io(), &port, 1, "24,1,15,3,4,300", exitFlag), 1);
    ASSERT_EQ(port.writes.size(), 3u);
    EXPECT_EQ(port.writes[2], bytes("S05R0015\r"));

    FakePort failing;
    failing.writeResults = {0, 3, 8};
    EXPECT_EQ(kytoControl(io(), &failing, 1, "7", exitFlag), 0);
    EXPECT_EQ(failing.writes.size(), 3u);

    FakePort quiet;
    EXPECT_EQ(kytoControl(io(), &quiet, 1, "54", exitFlag), 0);
    EXPECT_EQ(exitFlag, 1);
    EXPECT_EQ(kytoControl(io(), &quiet, 1, "55", exitFlag), 0);
    EXPECT_EQ(exitFlag, 0);
    EXPECT_EQ(kytoControl(io(), &quiet, 1, "50,0,Q1\r", exitFlag), 1);
    EXPECT_EQ(kytoControl(io(), &quiet, 1, "1,12345678901234567890", exitFlag), 0);
    ASSERT_EQ(quiet.writes.size(), 1u);
    EXPECT_EQ(quiet.writes[0], bytes("Q1\r"));
}

} // namespace
