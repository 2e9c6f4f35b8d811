// regups_a commands and the poll cycle against a scripted line.
#include "fake_port.h"
#include "regups_a.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace fakeport;
using namespace regups_a;

namespace
{

FakePort acknowledging()
{
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> { return {echoAck(req)}; };
    return port;
}

Bytes single(int reg, int value)
{
    return withCrc({5, 6, uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)});
}

int registerOf(const Bytes& f)
{
    return f[2] << 8 | f[3];
}
int valueOf(const Bytes& f, int k)
{
    return f[7 + 2 * k] << 8 | f[8 + 2 * k];
}

TEST(Control, SingleRegisterCommands)
{
    struct Case {
        const char* text;
        int reg, value;
    };
    const Case cases[] = {{"0", 0x8006, 1},  {"2", 0x8006, 2},
                          {"3", 0x8007, 1},  {"4", 0x8008, 1},
                          {"7", 0x8008, 3},  {"9", 0x8008, 2},
                          {"10", 0x8003, 1}, {"11", 0x8004, 1},
                          {"12", 0x8000, 1}, {"13", 0x8001, 1},
                          {"14", 0x8005, 1}, {"17", 0x8002, 0},
                          {"18", 0x8002, 1}, {"4,10,2,0,0,30", 0x8008, 1}};
    for (const Case& c : cases) {
        State s;
        FakePort port = acknowledging();
        EXPECT_EQ(control(s, io(), &port, 5, c.text), 1) << c.text;
        EXPECT_EQ(port.writes, std::vector<Bytes>{single(c.reg, c.value)}) << c.text;
    }
}

TEST(Control, UnsupportedCommandsWriteNothing)
{
    for (const char* text :
         {"1,10", "5,1,2", "6", "15", "16", "19", "20", "24,1,2,3,4,5", "99", "abc", "", "53"}) {
        State s;
        FakePort port = acknowledging();
        EXPECT_EQ(control(s, io(), &port, 1, text), 0) << text;
        EXPECT_TRUE(port.writes.empty()) << text;
    }
    State s;
    EXPECT_EQ(control(s, io(), nullptr, 1, nullptr), 0);
}

TEST(Control, AlarmToggleAlternatesOnAcknowledgedWrites)
{
    State s;
    FakePort port = acknowledging();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(control(s, io(), &port, 5, "8"), 1);
    ASSERT_EQ(port.writes.size(), 3u);
    EXPECT_EQ(port.writes[0], single(0x8002, 0));
    EXPECT_EQ(port.writes[1], single(0x8002, 1));
    EXPECT_EQ(port.writes[2], single(0x8002, 0));

    // A toggle the UPS never took is sent again with the same value.
    FakePort dead;
    EXPECT_EQ(control(s, io(), &dead, 5, "8"), 0);
    EXPECT_EQ(dead.writes.size(), 3u);
    EXPECT_EQ(dead.writes[0], single(0x8002, 1));
    EXPECT_EQ(control(s, io(), &port, 5, "8"), 1);
    EXPECT_EQ(port.writes.back(), single(0x8002, 1));
}

TEST(Control, ExceptionRepliesFailAfterThreeAttempts)
{
    State s;
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> {
        return {withCrc({req[0], static_cast<uint8_t>(req[1] | 0x80), 2})};
    };
    EXPECT_EQ(control(s, io(), &port, 1, "12"), 0);
    EXPECT_EQ(port.writes.size(), 3u);
}

TEST(Control, ParameterBlockA)
{
    State s;
    FakePort port = acknowledging();
    EXPECT_EQ(control(s, io(), &port, 1, "51,230.5,50,7.9,2.3,-0.5,12.34,0.1,300,-2"), 1);
    ASSERT_EQ(port.writes.size(), 1u);
    const Bytes& f = port.writes[0];
    ASSERT_EQ(f.size(), 27u);
    EXPECT_EQ(f[1], 16);
    EXPECT_EQ(registerOf(f), 0xFF00);
    EXPECT_EQ(f[5], 9);
    EXPECT_EQ(f[6], 18);
    const int want[] = {2305, 500, 7, 230, 0xFFCE, 123, 1, 300, 0xFFFE};
    for (int k = 0; k < 9; ++k)
        EXPECT_EQ(valueOf(f, k), want[k]) << k;
    EXPECT_EQ(checkModbufCRC(reinterpret_cast<char*>(const_cast<uint8_t*>(f.data())), 27), 0);
}

TEST(Control, ParameterBlockB)
{
    State s;
    FakePort port = acknowledging();
    EXPECT_EQ(control(s, io(), &port, 1, "52,1,2.5,3.5,4.5,5.5,6,7.5,8,9,10,11,12,13,14,15"), 1);
    ASSERT_EQ(port.writes.size(), 1u);
    const Bytes& f = port.writes[0];
    ASSERT_EQ(f.size(), 39u);
    const int want[] = {1, 25, 35, 45, 55, 6, 75, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int k = 0; k < 15; ++k)
        EXPECT_EQ(valueOf(f, k), want[k]) << k;
}

TEST(Control, BadParameterBlocksAreRefused)
{
    for (const char* text : {"51,230.5,50", "51,a,50,7,2,1,1,1,1,1", "51,230.5,50,7,2,1,1,1,1,",
                             "51,7000,50,7,2,1,1,1,1,1", "51,1e30,50,7,2,1,1,1,1,1",
                             "52,1,2,3,4,5,6,7,8,9,10,11,12,13,14,70000",
                             "51,230.5,50,7,2,1,1,1,1,12345678901234567890"}) {
        State s;
        FakePort port = acknowledging();
        EXPECT_EQ(control(s, io(), &port, 1, text), 0) << text;
        EXPECT_TRUE(port.writes.empty()) << text;
    }
    // Tokens past the twentieth are dropped, not fatal.
    std::string many = "51,230.5,50,7,2,1,1,1,1,1";
    for (int i = 0; i < 30; ++i)
        many += ",9";
    State s;
    FakePort port = acknowledging();
    EXPECT_EQ(control(s, io(), &port, 1, many.c_str()), 1);
}

TEST(Control, RawSendGoesThroughUnchanged)
{
    State s;
    FakePort port;
    EXPECT_EQ(control(s, io(), &port, 1, "50,1,01 06 80 00 00 01"), 1);
    EXPECT_EQ(port.writes, (std::vector<Bytes>{{1, 6, 0x80, 0, 0, 1}}));
    EXPECT_EQ(control(s, io(), &port, 1, "50,1,0G"), 0);
    EXPECT_EQ(port.writes.size(), 1u);
}

// A UPS of one layout on the scripted line: answers every query it knows.
struct Ups {
    std::vector<uint16_t> identity = std::vector<uint16_t>(51);
    std::map<int, int> polled;   // start register + 1000 * function -> count
    std::vector<int> mapA, mapB; // alarm bits set, map B counted from input 208

    explicit Ups(int protocol, int a, int b, int c)
    {
        identity[0] = static_cast<uint16_t>(protocol);
        identity[1] = static_cast<uint16_t>(a);
        identity[2] = static_cast<uint16_t>(b);
        identity[3] = static_cast<uint16_t>(c);
    }
    std::vector<Bytes> answer(const Bytes& req)
    {
        const int func = req[1], start = req[2] << 8 | req[3], count = req[4] << 8 | req[5];
        ++polled[func * 1000 + start];
        if (func == 4 && start == 128) return {registerReply(req[0], 4, identity)};
        if (func == 2) return {bitReply(req[0], count, start == 0 ? mapA : mapB)};
        return {registerReply(req[0], func, std::vector<uint16_t>(count))};
    }
};

std::vector<int> commandsOf(const FakePort& port)
{
    std::vector<int> seen;
    for (const Bytes& w : port.writes)
        for (int i = 0; i < kQueryCount; ++i) {
            Bytes req(acuList[i].commd, acuList[i].commd + 8);
            req[0] = w[0];
            setModbusCRC(reinterpret_cast<char*>(req.data()), 8);
            if (req == w) seen.push_back(i);
        }
    return seen;
}

struct LayoutCase {
    int protocol, a, b, c;
    std::vector<int> commands;
};

TEST(Query, IdentityFirstThenTheLayoutsCommands)
{
    const LayoutCase cases[] = {
        {1, 2, 2, 2, {1, 3, 8}},         {1, 2, 9, 9, {0, 1, 2, 3}},
        {0xAAAA, 1, 0, 0, {1, 4, 5, 6}}, {0xAAAA, 2, 9, 9, {1, 4, 5, 6}},
        {3, 2, 0, 5, {1, 2, 3, 7}},
    };
    for (const LayoutCase& c : cases) {
        State s;
        Ups ups(c.protocol, c.a, c.b, c.c);
        FakePort port;
        port.responder = [&ups](const Bytes& req) { return ups.answer(req); };
        std::vector<Report> reports;
        upscommon::Cycle sink([&](int sig, float v) { reports.push_back({sig, v}); });
        EXPECT_EQ(query(s, io(), &port, 3, sink), 1);
        EXPECT_EQ(commandsOf(port), std::vector<int>{1});
        EXPECT_EQ(port.writes[0][0], 3);
        port.writes.clear();
        EXPECT_EQ(query(s, io(), &port, 3, sink), 1);
        EXPECT_EQ(commandsOf(port), c.commands) << c.a << c.b << c.c;
        EXPECT_FALSE(reports.empty());
    }
}

TEST(Query, AnAlarmOneMapSetsIsNeverTakenBackByTheOtherMap)
{
    struct Case {
        std::vector<int> mapA, mapB;
        int sig;
        float settled;
    };
    const Case cases[] = {
        {{67}, {}, 2002, 1},     // low battery in map A only
        {{}, {211}, 2002, 1},    // ... in map B only
        {{71, 72}, {}, 2000, 2}, // map A's sum row, map B's battery-bad row clear
        {{71}, {213}, 2000, 1},  // one battery fault seen by both maps counts once
        {{64, 65}, {}, 2029, 2}, // two battery switches beside the main block's flag
    };
    for (const Case& c : cases) {
        State s;
        Ups ups(1, 2, 9, 9);
        ups.mapA = c.mapA;
        ups.mapB = c.mapB;
        FakePort port;
        port.responder = [&ups](const Bytes& req) { return ups.answer(req); };
        std::vector<float> seen;
        for (int cycle = 0; cycle < 3; ++cycle) {
            upscommon::Cycle out([&](int sig, float v) {
                if (sig == c.sig) seen.push_back(v);
            });
            EXPECT_EQ(query(s, io(), &port, 1, out), 1);
        }
        // The first cycle reads the identity only; the next two both maps.
        ASSERT_FALSE(seen.empty()) << c.sig;
        EXPECT_EQ(seen.back(), c.settled) << c.sig;
        for (float v : seen)
            EXPECT_NE(v, 0) << c.sig << " bits " << c.mapA.size() << "/" << c.mapB.size();
    }
}

TEST(Query, SuspendAndResume)
{
    State s;
    Ups ups(1, 2, 9, 9);
    FakePort port;
    port.responder = [&ups](const Bytes& req) { return ups.answer(req); };
    upscommon::Cycle sink([](int, float) {});
    EXPECT_EQ(control(s, io(), &port, 1, "54"), 0);
    EXPECT_EQ(query(s, io(), &port, 1, sink), 0);
    EXPECT_EQ(query(s, io(), &port, 1, sink), 0);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(control(s, io(), &port, 1, "55"), 0);
    EXPECT_EQ(query(s, io(), &port, 1, sink), 1);
    EXPECT_EQ(port.writes.size(), 1u);
}

TEST(Query, SilentOrGarbledLine)
{
    State s;
    upscommon::Cycle sink([](int, float) {});
    FakePort silent;
    EXPECT_EQ(query(s, io(), &silent, 1, sink), 0);
    EXPECT_EQ(silent.writes.size(), 1u);

    FakePort garbled;
    garbled.responder = [](const Bytes&) -> std::vector<Bytes> { return {Bytes(107, 0x55)}; };
    EXPECT_EQ(query(s, io(), &garbled, 1, sink), 0);
    EXPECT_EQ(s.regups_a_protocol_version, kProtocolUnknown);
}

} // namespace
