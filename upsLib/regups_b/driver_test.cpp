// regups_b from bytes: the measurement block's version and mode, the energy
// flow from registers (2.6 on) and from the status bits (below 2.6), the
// battery status rules, control frames and suspension of polling.
#include "fake_port.h"
#include "regups_b.h"

#include <gtest/gtest.h>

#include <map>

using namespace fakeport;
using namespace regups_b;

namespace
{

using Values = std::map<int, float>;

Values values(const Reports& r)
{
    Values v;
    for (const Report& x : r)
        v[x.sig] = x.value;
    return v;
}

Bytes measurement(uint16_t version, uint16_t mode)
{
    std::vector<uint16_t> regs(88);
    regs[0] = version;
    regs[13] = 2305;                        // input voltage A x0.1
    regs[4] = 5001;                         // input frequency A x0.01
    regs[68] = static_cast<uint16_t>(-125); // battery current x0.1, signed
    regs[87] = mode;
    return registerReply(1, 4, regs);
}

// Battery block, registers 88..143; lines and switches as the UPS writes them.
Bytes battery(const std::map<int, uint16_t>& set, uint16_t battState = 0)
{
    std::vector<uint16_t> regs(56);
    regs[91 - 88] = battState;
    for (auto [reg, v] : set)
        regs[reg - 88] = v;
    return registerReply(1, 4, regs);
}

Values decode(State& s, int index, const Bytes& reply)
{
    Reports out;
    decodeReply(s, index, reply.data(), static_cast<int>(reply.size()), out);
    return values(out);
}

int line(const Values& v, int k)
{
    return static_cast<int>(v.at(4215 + k));
}

TEST(Measurement, VersionModeAndScaling)
{
    State s;
    Values v = decode(s, kMeasurement, measurement(0x023C, 8));
    EXPECT_NEAR(s.pro_type, 2.60f, 1e-4);
    EXPECT_NEAR(v.at(3010), 2.60f, 1e-4);
    EXPECT_NEAR(v.at(4133), 230.5f, 1e-3);
    EXPECT_NEAR(v.at(4139), 50.01f, 1e-3);
    EXPECT_NEAR(v.at(4106), -12.5f, 1e-3);
    EXPECT_EQ(v.at(4132), 3);
    // Mode 8: on line.
    EXPECT_EQ(v.at(4161), 3);
    EXPECT_EQ(v.at(4239), 3);
    EXPECT_EQ(v.at(2064), 1);
    EXPECT_EQ(v.at(2023), 0);

    struct Case {
        int mode, source, work, test;
    };
    for (const Case& c :
         {Case{2, 4, 2, 0}, Case{4, 4, 2, 0}, Case{7, 4, 2, 0}, Case{9, 5, 4, 0}, Case{10, 5, 5, 1},
          Case{3, 2, 6, 0}, Case{6, 2, 1, 0}, Case{0, 1, 0, 0}, Case{99, 1, 0, 0}}) {
        v = decode(s, kMeasurement, measurement(0x0250, static_cast<uint16_t>(c.mode)));
        EXPECT_EQ(v.at(4161), c.source) << c.mode;
        EXPECT_EQ(v.at(4239), c.work) << c.mode;
        EXPECT_EQ(v.at(2023), c.test) << c.mode;
        EXPECT_EQ(v.at(2064), 0) << c.mode;
        EXPECT_EQ(s.work_state, c.mode);
    }
    // A reply cut short reports nothing and keeps the version.
    Bytes cut = measurement(0x0300, 8);
    cut.resize(100);
    EXPECT_TRUE(decode(s, kMeasurement, cut).empty());
    EXPECT_NEAR(s.pro_type, 2.80f, 1e-4);
}

TEST(EnergyFlow, FromRegistersFromVersion26On)
{
    State s;
    s.pro_type = 2.60f;
    const std::map<int, uint16_t> regs = {
        {125, 0x0100}, {126, 0x0200}, {127, 0x0300}, {128, 0x0000}, // lines 1-4
        {133, 0x0203},                                              // battery charging
        {140, 2},      {141, 1},      {142, 2},      {143, 0},      // switches
    };
    Values v = decode(s, kBattery, battery(regs, 3));
    EXPECT_EQ(line(v, 1), 2);
    EXPECT_EQ(line(v, 2), 1);
    EXPECT_EQ(line(v, 3), 0);
    EXPECT_EQ(line(v, 4), 0);
    EXPECT_EQ(line(v, 9), 2);
    EXPECT_EQ(v.at(4231), 1);
    EXPECT_EQ(v.at(4232), 0);
    EXPECT_EQ(v.at(4233), 1);
    EXPECT_EQ(v.at(4234), 0);
    EXPECT_EQ(s.batt_status, 3);

    // The battery line's own coding.
    const std::pair<uint16_t, int> battery9[] = {{0x0203, 2}, {0x0204, 1}, {0x0205, 3},
                                                 {0x0100, 3}, {0x0300, 0}, {0x0000, 0}};
    for (auto [reg, want] : battery9)
        EXPECT_EQ(line(decode(s, kBattery, battery({{133, reg}})), 9), want) << reg;

    // Below 2.6 the battery block carries no flow.
    s.pro_type = 2.59f;
    v = decode(s, kBattery, battery(regs, 3));
    EXPECT_EQ(v.count(4216), 0u);
    EXPECT_EQ(v.count(4231), 0u);
    EXPECT_EQ(v.at(4117), 0);
}

// Status bits of a UPS on line: mains and bypass good, rectifier and
// inverter running, inverter carrying the load, battery floating, every
// switch but the maintenance switch closed.
std::vector<int> onLineBits()
{
    return {0, 3, 5, 7, 8, 12, 13, 14, 15, 16, 23, 126};
}

std::vector<int> with(std::vector<int> bits, std::initializer_list<int> add,
                      std::initializer_list<int> drop = {})
{
    for (int b : drop)
        std::erase(bits, b);
    bits.insert(bits.end(), add);
    return bits;
}

std::vector<int> flowOf(const Values& v)
{
    std::vector<int> out;
    for (int k = 1; k <= 15; ++k)
        out.push_back(line(v, k));
    for (int k = 0; k < 4; ++k)
        out.push_back(static_cast<int>(v.at(4231 + k)));
    return out;
}

TEST(EnergyFlow, FromStatusBitsBelowVersion26)
{
    State s;
    s.pro_type = 2.50f;
    s.work_state = 8;
    struct Case {
        const char* what;
        std::vector<int> bits;
        std::vector<int> flow; // lines 1-15, switches 1-4
    };
    const Case cases[] = {
        {"on line", onLineBits(), {2, 2, 2, 2, 2, 2, 1, 1, 2, 0, 2, 2, 1, 0, 2, 0, 1, 1, 1}},
        {"mains failed, on battery",
         with(onLineBits(), {41, 6}, {5, 7, 8}),
         {0, 0, 0, 2, 2, 2, 1, 1, 1, 0, 2, 2, 1, 0, 2, 0, 1, 1, 1}},
        {"on bypass, inverter stopped",
         with(onLineBits(), {1}, {15, 16, 126}),
         {2, 2, 2, 1, 0, 0, 2, 2, 2, 2, 2, 2, 1, 0, 2, 0, 1, 1, 1}},
        {"maintenance bypass, output switch open, battery disconnected",
         with(onLineBits(), {9}, {13, 12, 5}),
         {2, 2, 2, 2, 2, 2, 1, 1, 0, 0, 2, 0, 2, 2, 2, 1, 1, 1, 0}},
        {"emergency power off",
         with(onLineBits(), {91}),
         {2, 2, 2, 2, 2, 0, 1, 1, 2, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1}},
        {"battery test",
         with(onLineBits(), {131}, {5}),
         {2, 2, 2, 2, 2, 2, 1, 1, 1, 0, 2, 2, 1, 0, 2, 0, 1, 1, 1}},
        {"nothing", {}, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const Values v = decode(s, kStatus, bitReply(1, 134, c.bits));
        EXPECT_EQ(flowOf(v), c.flow) << c.what;
    }
    // From 2.6 on the map draws nothing.
    s.pro_type = 2.60f;
    EXPECT_EQ(decode(s, kStatus, bitReply(1, 134, onLineBits())).count(4216), 0u);
}

TEST(Status, AlarmRowsAndBatteryStatus)
{
    State s;
    s.pro_type = 2.50f;
    s.work_state = 9; // on battery by the mode alone
    Values v = decode(s, kStatus, bitReply(1, 134, {12, 13, 46, 58, 119, 17}));
    EXPECT_EQ(v.at(2001), 1);
    EXPECT_EQ(v.at(2026), 0);
    EXPECT_EQ(v.at(2000), 1);
    EXPECT_EQ(v.at(2004), 1);
    EXPECT_EQ(v.at(2006), 1);
    EXPECT_EQ(v.at(2018), 1);
    EXPECT_EQ(v.at(2025), 1);
    EXPECT_EQ(v.at(2062), 0);
    EXPECT_EQ(v.at(2031), 0);
    EXPECT_EQ(v.at(2017), 0);
    EXPECT_EQ(v.at(4101), 4); // battery bad before on battery

    struct Case {
        float version;
        int mode, battState;
        std::vector<int> bits;
        int status;
    };
    const Case cases[] = {
        {2.5f, 8, 0, {}, 1},       // battery disconnected
        {2.5f, 10, 0, {12, 6}, 5}, // battery test
        {2.5f, 8, 0, {12, 87}, 3}, // low
        {2.5f, 8, 0, {12, 6}, 8},  // discharging
        {2.5f, 8, 0, {12, 4}, 6},  // boost
        {2.5f, 8, 0, {12, 5}, 7},  // float
        {2.5f, 8, 0, {12}, 2},     // normal
        {2.6f, 8, 2, {}, 9},       // state register 1..6
        {2.6f, 8, 4, {}, 6},       //
        {2.6f, 8, 6, {}, 5},       //
        {2.6f, 8, 0, {12, 85}, 4}, // no state: bad
        {2.6f, 8, 7, {12, 87}, 3}, // unknown state: low
        {2.6f, 8, 0, {12}, 2},     //
    };
    for (const Case& c : cases) {
        State st;
        st.pro_type = c.version;
        st.work_state = c.mode;
        st.batt_status = static_cast<float>(c.battState);
        EXPECT_EQ(decode(st, kStatus, bitReply(1, 134, c.bits)).at(4101), c.status)
            << c.version << "/" << c.mode << "/" << c.battState;
    }
    s.work_state = 3;
    EXPECT_EQ(decode(s, kStatus, bitReply(1, 134, {12, 13})).at(2017), 1);
}

FakePort acknowledging()
{
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> { return {echoAck(req)}; };
    return port;
}

Bytes single(int reg, int value)
{
    return withCrc({1, 6, uint8_t(reg >> 8), uint8_t(reg), uint8_t(value >> 8), uint8_t(value)});
}

TEST(Control, CommandRows)
{
    const std::pair<const char*, Bytes> cases[] = {
        {"0", single(0x0001, 0xFFFF)},
        {"2", single(0x0002, 0xFFFF)},
        {"3", single(0x0004, 0xFFFF)},
        {"4", single(0x0018, 0xFFFF)},
        {"6", single(0x0005, 0xFFFF)},
        {"7", single(0x000E, 0xFFFF)},
        {"8", single(0x001A, 0xFFFF)},
        {"12", single(0x0019, 0xFFFF)},
        {"13", single(0x0016, 0xFFFF)},
        {"15,10,2,30,5,60", single(0x0007, 30)},
        {"16,10,2,30,45,60", single(0x0008, 45)},
    };
    for (const auto& [text, frame] : cases) {
        State s;
        FakePort port = acknowledging();
        EXPECT_EQ(control(s, io(), &port, 1, text), 1) << text;
        EXPECT_EQ(port.writes, std::vector<Bytes>{frame}) << text;
    }
    // Unsupported numbers and bad arguments write nothing.
    for (const char* text : {"1,10", "5,1,2", "9", "14", "17", "15,10,2", "15,10,2,x", "15,1,2,-1",
                             "16,1,2,3,70000", "56,1,2,3,4,5", "56,1,2,3,4,5,q", "99", "abc"}) {
        State s;
        FakePort port = acknowledging();
        EXPECT_EQ(control(s, io(), &port, 1, text), 0) << text;
        EXPECT_TRUE(port.writes.empty()) << text;
    }
}

TEST(Control, BlockWriteOfSixRegisters)
{
    State s;
    FakePort port = acknowledging();
    EXPECT_EQ(control(s, io(), &port, 1, "56,1,2,300,-1,5,65535"), 1);
    ASSERT_EQ(port.writes.size(), 1u);
    const Bytes& f = port.writes[0];
    ASSERT_EQ(f.size(), 21u);
    EXPECT_EQ(f[1], 16);
    EXPECT_EQ(f[2] << 8 | f[3], 0x000F);
    EXPECT_EQ(f[5], 6);
    const int want[] = {1, 2, 300, 0xFFFF, 5, 0xFFFF};
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(f[7 + 2 * k] << 8 | f[8 + 2 * k], want[k]) << k;
}

// The UPS on the scripted line, answering all four commands.
std::vector<Bytes> ups(const Bytes& req, uint16_t version)
{
    const int func = req[1], start = req[2] << 8 | req[3], count = req[4] << 8 | req[5];
    if (func == 2) return {bitReply(req[0], count, onLineBits())};
    if (start == 0) return {measurement(version, 8)};
    if (start == 0x58) return {battery({{125, 0x0100}, {140, 2}})};
    return {registerReply(req[0], 4, std::vector<uint16_t>(count))};
}

TEST(Query, OneCycleLearnsTheVersionBeforeTheFlow)
{
    for (uint16_t version : {uint16_t(0x023C), uint16_t(0x0232)}) {
        State s;
        FakePort port;
        port.responder = [version](const Bytes& req) { return ups(req, version); };
        Values seen;
        std::map<int, int> reports;
        {
            upscommon::Cycle out([&](int sig, float v) {
                seen[sig] = v;
                ++reports[sig];
            });
            EXPECT_EQ(query(s, io(), &port, 1, out), 1);
        }
        EXPECT_EQ(port.writes.size(), 4u);
        // One source of the flow per cycle: registers from 2.6, bits below.
        EXPECT_EQ(reports[4216], 1) << version;
        EXPECT_EQ(seen.at(4216), 2);
        EXPECT_EQ(seen.at(4231), version >= 0x023C ? 1 : 0);
    }
}

TEST(Query, SuspendAndResume)
{
    State s;
    FakePort port;
    port.responder = [](const Bytes& req) { return ups(req, 0x023C); };
    upscommon::Cycle sink([](int, float) {});
    EXPECT_EQ(control(s, io(), &port, 1, "54"), 0);
    EXPECT_EQ(query(s, io(), &port, 1, sink), 0);
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(control(s, io(), &port, 1, "55"), 0);
    EXPECT_EQ(query(s, io(), &port, 1, sink), 1);
    EXPECT_EQ(port.writes.size(), 4u);
}

} // namespace
