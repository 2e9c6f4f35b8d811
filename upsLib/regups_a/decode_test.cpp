// regups_a decoders fed with replies built from the UPS family's register tables.
#include "fake_port.h"
#include "regups_a.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <string>

using namespace fakeport;
using namespace regups_a;

namespace
{

using Values = std::map<int, float>;

// Last value reported for each signal.
Values values(const Reports& r)
{
    Values v;
    for (const Report& x : r)
        v[x.sig] = x.value;
    return v;
}

std::string text(const Values& v, int base, int len = 16)
{
    std::string s;
    for (int k = 0; k < len; ++k) {
        auto it = v.find(base + k);
        if (it == v.end() || it->second == 0) break;
        s += static_cast<char>(it->second);
    }
    return s;
}

// Identity block registers 128..178.
struct Identity {
    int protocol = 0;
    int digits[3] = {0, 0, 0};
    uint8_t area[82] = {}; // text area as it lies on the wire
    std::vector<uint16_t> versionRegs;

    void field(int offset, const std::string& s, bool lowFirst)
    {
        for (size_t k = 0; k < s.size() && k < 16; ++k)
            area[offset + (lowFirst ? (k ^ 1) : k)] = static_cast<uint8_t>(s[k]);
    }
    Bytes reply() const
    {
        std::vector<uint16_t> regs = {
            static_cast<uint16_t>(protocol), static_cast<uint16_t>(digits[0]),
            static_cast<uint16_t>(digits[1]), static_cast<uint16_t>(digits[2])};
        uint8_t a[82];
        std::memcpy(a, area, sizeof a);
        for (size_t i = 0; i < versionRegs.size() && i < 8; ++i) {
            a[50 + 2 * i] = static_cast<uint8_t>(versionRegs[i] >> 8);
            a[50 + 2 * i + 1] = static_cast<uint8_t>(versionRegs[i]);
        }
        for (int i = 0; i < 41; ++i)
            regs.push_back(static_cast<uint16_t>(a[2 * i] << 8 | a[2 * i + 1]));
        regs.resize(51);
        return registerReply(1, 4, regs);
    }
};

std::vector<uint16_t> chars(const std::string& s)
{
    return std::vector<uint16_t>(s.begin(), s.end());
}

Values decode(State& s, int index, const Bytes& reply)
{
    Reports out;
    decodeReply(s, index, reply.data(), static_cast<int>(reply.size()), out);
    return values(out);
}

std::vector<int> selected(const State& s)
{
    std::vector<int> on;
    const auto sel = selectCommands(s);
    for (int i = 0; i < kQueryCount; ++i)
        if (sel[i]) on.push_back(i);
    return on;
}

TEST(Tables, RequestsAndReplyLengthsAgree)
{
    for (int i = 0; i < kQueryCount; ++i) {
        char frame[8];
        const cmd& c = acuList[i];
        const int count = c.commd[4] << 8 | c.commd[5];
        EXPECT_EQ(buildCmd(frame, 1, c.commd[1], c.commd[2] << 8 | c.commd[3], count), c.recvsize)
            << "command " << i;
        EXPECT_EQ(c.cmdSize, 8);
    }
    for (int i = 0; i < 11; ++i) {
        EXPECT_EQ(controlList[i].addr, 0x8000 + i);
        EXPECT_EQ(controlList[i].func, 6);
    }
    EXPECT_STREQ(controlList[10].name, "0A");
}

TEST(Identity, Code222TextsInWireOrderAndSelection)
{
    State s;
    EXPECT_EQ(selected(s), (std::vector<int>{kIdentity}));
    Identity id;
    id.digits[0] = id.digits[1] = id.digits[2] = 2;
    id.field(0, "Parallel", false);
    id.field(16, "KR33-60K", false);
    id.field(32, "ACME", false);
    id.field(66, "Room 4", false);
    std::memcpy(id.area + 50, "V100B002", 8);
    const Values v = decode(s, kIdentity, id.reply());
    EXPECT_EQ(s.regups_a_version, 222);
    EXPECT_EQ(v.at(4096), 222);
    EXPECT_EQ(text(v, 4080), "Parallel");
    EXPECT_EQ(text(v, 4016), "KR33-60K");
    EXPECT_EQ(text(v, 4000), "ACME");
    EXPECT_EQ(text(v, 4064), "Room 4");
    EXPECT_EQ(text(v, 4032, 8), "V100B002");
    EXPECT_EQ(s.ups_version, 0);
    EXPECT_EQ(selected(s), (std::vector<int>{kIdentity, kAlarmB, kMain222}));
}

TEST(Identity, OtherCodesSwapBytesAndParseVersion)
{
    State s;
    Identity id;
    id.digits[0] = 2;
    id.digits[1] = id.digits[2] = 9;
    id.field(16, "GP-10KS", true);
    id.field(32, "ACME", true);
    id.versionRegs = chars("V2.8");
    Values v = decode(s, kIdentity, id.reply());
    EXPECT_EQ(s.regups_a_version, 299);
    EXPECT_EQ(text(v, 4016), "GP-10KS");
    EXPECT_EQ(text(v, 4000), "ACME");
    EXPECT_EQ(text(v, 4032, 8), "V2.8");
    EXPECT_FLOAT_EQ(s.ups_version, 2.8f);
    EXPECT_EQ(selected(s), (std::vector<int>{kMainG, kIdentity, kAlarmA, kAlarmB}));

    // A register above 255 is left out; the last "." counts.
    id.versionRegs = {'1', 0x1234, '2', '.', '7', '.', '5', 0};
    v = decode(s, kIdentity, id.reply());
    EXPECT_EQ(v.count(4033), 0u);
    EXPECT_EQ(v.at(4032), '1');
    EXPECT_FLOAT_EQ(s.ups_version, 127.5f);

    // Without a "." after position 0 the version stays as it was.
    id.versionRegs = chars(".9");
    decode(s, kIdentity, id.reply());
    EXPECT_FLOAT_EQ(s.ups_version, 127.5f);

    id.digits[1] = 0;
    id.digits[2] = 5;
    decode(s, kIdentity, id.reply());
    EXPECT_EQ(selected(s), (std::vector<int>{kIdentity, kAlarmA, kAlarmB, kMainGNoTest}));
}

TEST(Identity, Code297VersionNumberAndAAAA)
{
    State s;
    Identity id;
    id.digits[0] = 2;
    id.digits[1] = 9;
    id.digits[2] = 7;
    id.versionRegs = {1234};
    Values v = decode(s, kIdentity, id.reply());
    EXPECT_EQ(text(v, 4032, 4), "1234");
    id.versionRegs = {56};
    v = decode(s, kIdentity, id.reply());
    EXPECT_EQ(v.at(4032), '5');
    EXPECT_EQ(v.at(4033), '6');
    EXPECT_EQ(v.at(4034), 0);
    EXPECT_EQ(v.at(4035), 0);

    id.protocol = 0xAAAA;
    decode(s, kIdentity, id.reply());
    EXPECT_EQ(selected(s), (std::vector<int>{kIdentity, kMainAAAA, kAlarmC, kRating}));
    id.digits[1] = 9;
    id.digits[2] = 9;
    decode(s, kIdentity, id.reply());
    EXPECT_EQ(selected(s), (std::vector<int>{kIdentity, kMainAAAA, kAlarmC, kRating}));
}

// Main-block registers with a recognisable value in every slot.
std::vector<uint16_t> mainRegs(int count)
{
    std::vector<uint16_t> r(count);
    for (int i = 0; i < count; ++i)
        r[i] = static_cast<uint16_t>(1000 + i);
    return r;
}

TEST(MainBlock, LayoutGScalesAndStates)
{
    State s;
    s.regups_a_version = 205;
    s.regups_a_protocol_version = 1;
    auto r = mainRegs(73);
    r[0] = 2301;
    r[9] = 98;
    r[45] = 57;
    r[51] = static_cast<uint16_t>(-15);
    r[54] = static_cast<uint16_t>(-2);
    r[67] = 0x1B | (0x39 << 8); // lines 3,2,1,0 then 1,2,3
    r[70] = 2;
    r[71] = 2;
    r[72] = 6;
    Values v = decode(s, kMainG, registerReply(1, 4, r));
    EXPECT_FLOAT_EQ(v.at(4193), 230.1f);
    EXPECT_FLOAT_EQ(v.at(4191), 100.6f);
    EXPECT_FLOAT_EQ(v.at(4202), 0.98f);
    EXPECT_FLOAT_EQ(v.at(4133), 101.2f);
    EXPECT_FLOAT_EQ(v.at(4141), 102.0f);
    EXPECT_FLOAT_EQ(v.at(4145), 10.21f);
    EXPECT_FLOAT_EQ(v.at(4162), 103.0f);
    EXPECT_FLOAT_EQ(v.at(4182), 103.8f);
    EXPECT_FLOAT_EQ(v.at(4170), 103.9f);
    EXPECT_FLOAT_EQ(v.at(4173), 57.0f);
    EXPECT_EQ(v.count(4192), 1u); // from the phase arrangement only
    EXPECT_FLOAT_EQ(v.at(4105), 104.9f);
    EXPECT_FLOAT_EQ(v.at(4106), -1.5f);
    EXPECT_FLOAT_EQ(v.at(4116), -2.0f);
    EXPECT_FLOAT_EQ(v.at(4103), 1056.0f);
    EXPECT_FLOAT_EQ(v.at(4237), 105.9f);
    EXPECT_FLOAT_EQ(v.at(3004), 1061.0f);
    EXPECT_FLOAT_EQ(v.at(3003), 1066.0f);
    EXPECT_EQ(v.at(4216), 3);
    EXPECT_EQ(v.at(4219), 0);
    EXPECT_EQ(v.at(4220), 1);
    EXPECT_EQ(v.at(4222), 3);
    EXPECT_EQ(v.at(4132), 3);
    EXPECT_EQ(v.at(4163), 3);
    EXPECT_EQ(v.at(4161), 5);
    EXPECT_EQ(v.at(4239), 4);
    EXPECT_EQ(v.at(2001), 1);
    EXPECT_EQ(v.at(4101), 8);
    EXPECT_EQ(v.at(2023), 1);
    for (int sig : {2025, 2029, 2030, 2031, 2032})
        EXPECT_EQ(v.at(sig), 0) << sig;

    // Without the test register; low battery raised by the alarm map.
    s.batt_low_990 = 1;
    r.resize(72);
    r[71] = 4;
    r[70] = 7;
    v = decode(s, kMainGNoTest, registerReply(1, 4, r));
    EXPECT_EQ(v.count(2023), 0u);
    EXPECT_EQ(v.count(4132), 0u);
    EXPECT_EQ(v.at(4161), 4);
    EXPECT_EQ(v.at(2008), 1);
    EXPECT_EQ(v.at(4101), 3);
    r[71] = 9;
    s.batt_low_990 = 0;
    v = decode(s, kMainGNoTest, registerReply(1, 4, r));
    EXPECT_EQ(v.at(4161), 9);
    EXPECT_EQ(v.at(4239), 0);
    EXPECT_EQ(v.at(4101), 2);
}

// Status register: battery state in bits 4-6 of the low byte; high byte holds
// bypass (bit 0), output/inverter (bits 1-2) and input switch (bits 3-4).
uint16_t status(int battery, int inputField, int outputField, bool bypassOpen)
{
    return static_cast<uint16_t>((battery << 4) | (bypassOpen ? 0x80 : 0) |
                                 ((inputField << 3 | outputField << 1) << 8));
}

TEST(MainBlock, Code299SwitchesAndInputSwitchByVersion)
{
    State s;
    s.regups_a_protocol_version = 1;
    s.regups_a_version = 299;
    s.ups_version = 2.8f;
    auto r = mainRegs(73);
    r[69] = status(4, 1, 2, false);
    r[70] = 5;
    r[71] = 1;
    r[72] = 0;
    Values v = decode(s, kMainG, registerReply(1, 4, r));
    EXPECT_EQ(v.at(2026), 1);
    EXPECT_EQ(v.at(2029), 0);
    EXPECT_EQ(v.at(2030), 1);
    EXPECT_EQ(v.at(2032), 1);
    EXPECT_EQ(v.at(2031), 0);
    EXPECT_EQ(v.at(2025), 1);
    EXPECT_EQ(v.at(4132), 3);
    EXPECT_EQ(v.at(4163), 1);
    EXPECT_EQ(v.at(4192), 1);
    EXPECT_EQ(v.at(2064), 1);
    EXPECT_EQ(v.at(4101), 8);

    s.ups_version = 2.7f;
    v = decode(s, kMainG, registerReply(1, 4, r));
    EXPECT_EQ(v.at(2030), 0);
    r[69] = status(0, 0, 0, true);
    v = decode(s, kMainG, registerReply(1, 4, r));
    EXPECT_EQ(v.at(2030), 1);
    EXPECT_EQ(v.at(2029), 1);
    EXPECT_EQ(v.at(2062), 1);
    EXPECT_EQ(v.at(2032), 0);
    EXPECT_EQ(v.at(2031), 1);
    EXPECT_EQ(v.at(2025), 0);
    EXPECT_EQ(v.at(4101), 1);

    // Battery status while testing, and the remaining states.
    struct Case {
        int battery, test, status;
        int raised;
    };
    const Case cases[] = {{1, 6, 5, 2063}, {2, 6, 6, 2027}, {3, 0, 7, 2028},
                          {4, 6, 5, 2026}, {5, 0, 2, 0},    {1, 0, 2, 2063}};
    for (const Case& c : cases) {
        r[69] = status(c.battery, 0, 1, false);
        r[72] = static_cast<uint16_t>(c.test);
        v = decode(s, kMainG, registerReply(1, 4, r));
        EXPECT_EQ(v.at(4101), c.status) << c.battery << "/" << c.test;
        for (int sig : {2026, 2027, 2028, 2029, 2062, 2063})
            EXPECT_EQ(v.at(sig), sig == c.raised ? 1 : 0) << c.battery << " sig " << sig;
        EXPECT_EQ(v.at(2031), 0);
        EXPECT_EQ(v.at(2025), 0);
    }
}

TEST(MainBlock, Layout222SignedWithVersions)
{
    State s;
    s.regups_a_protocol_version = 1;
    s.regups_a_version = 222;
    auto r = mainRegs(78);
    r[0] = static_cast<uint16_t>(-10);
    r[45] = 575;
    r[49] = 2400;
    r[50] = static_cast<uint16_t>(-2400);
    r[57] = 955;
    r[70] = 0;
    r[71] = 3;
    r[72] = status(3, 0, 0, false);
    r[73] = 'V' << 8 | '1';
    r[74] = '0' << 8 | '2';
    r[75] = 'B' << 8 | '0';
    r[76] = '0' << 8 | '7';
    r[77] = 2;
    Values v = decode(s, kMain222, registerReply(1, 4, r));
    EXPECT_FLOAT_EQ(v.at(4193), -1.0f);
    EXPECT_FLOAT_EQ(v.at(4173), 57.5f);
    EXPECT_FLOAT_EQ(v.at(4105), 240.0f);
    EXPECT_FLOAT_EQ(v.at(4108), 240.0f);
    EXPECT_FLOAT_EQ(v.at(4109), -240.0f);
    EXPECT_FLOAT_EQ(v.at(4104), 95.5f);
    for (int sig : {4132, 4163, 4192})
        EXPECT_EQ(v.at(sig), 3);
    EXPECT_EQ(v.at(4161), 8);
    EXPECT_EQ(v.at(4239), 3);
    EXPECT_EQ(v.at(2028), 1);
    EXPECT_EQ(v.at(4101), 7);
    EXPECT_EQ(v.count(2030), 0u);
    EXPECT_EQ(text(v, 3100, 4), "V102");
    EXPECT_EQ(text(v, 3120, 4), "B007");
    EXPECT_EQ(v.at(2023), 1);
    r[77] = 3;
    r[72] = status(1, 0, 0, false);
    v = decode(s, kMain222, registerReply(1, 4, r));
    EXPECT_EQ(v.at(2023), 0);
    EXPECT_EQ(v.at(4101), 2); // no test case in this layout
}

TEST(MainBlock, LayoutAAAAModeCoding)
{
    State s;
    s.regups_a_protocol_version = 0xAAAA;
    auto r = mainRegs(74);
    r[45] = 575;
    r[54] = 42;
    r[55] = 880;
    r[70] = status(2, 1, 0, false);
    r[72] = 0x2A;
    struct Case {
        int mode, source, work, input, battery, bypass;
    };
    const Case cases[] = {{0, 2, 1, 0, 0, 0}, {4, 3, 3, 1, 0, 0}, {5, 5, 4, 0, 1, 0},
                          {3, 4, 2, 0, 0, 1}, {6, 1, 0, 0, 0, 0}, {1, 1, 0, 0, 0, 0}};
    for (const Case& c : cases) {
        r[71] = static_cast<uint16_t>(c.mode);
        const Values v = decode(s, kMainAAAA, registerReply(1, 4, r));
        EXPECT_EQ(v.at(4161), c.source) << c.mode;
        EXPECT_EQ(v.at(4239), c.work) << c.mode;
        EXPECT_EQ(v.at(2064), c.input) << c.mode;
        EXPECT_EQ(v.at(2001), c.battery) << c.mode;
        EXPECT_EQ(v.at(2008), c.bypass) << c.mode;
        EXPECT_EQ(v.at(2023), c.mode == 6 ? 1 : 0);
        EXPECT_FLOAT_EQ(v.at(4173), 57.5f);
        EXPECT_EQ(v.at(4103), 42);
        EXPECT_FLOAT_EQ(v.at(4104), 88.0f);
        EXPECT_EQ(v.at(4216), 2);
        EXPECT_EQ(v.at(4218), 2);
        EXPECT_EQ(v.at(2027), 1);
        EXPECT_EQ(v.at(4101), 6);
        EXPECT_EQ(v.at(2030), 0); // version 0 wants the field at 0
    }
    r[70] = status(1, 0, 0, false);
    r[71] = 6;
    EXPECT_EQ(decode(s, kMainAAAA, registerReply(1, 4, r)).at(4101), 5);
}

TEST(RatingBlock, RatingsAndInputLines)
{
    State s;
    std::vector<uint16_t> r(79);
    r[15] = 6000;
    r[17] = 220;
    r[18] = 50;
    r[19] = 230;
    r[20] = 60;
    r[21] = 0x0002;
    Values v = decode(s, kRating, registerReply(1, 3, r));
    EXPECT_EQ(v.at(3004), 6000);
    EXPECT_EQ(v.at(3000), 220);
    EXPECT_EQ(v.at(3003), 60);
    EXPECT_EQ(v.at(4132), 3);
    EXPECT_EQ(v.at(4163), 1);
    EXPECT_EQ(v.at(4192), 1);
    r[21] = 0xFFFD;
    v = decode(s, kRating, registerReply(1, 3, r));
    EXPECT_EQ(v.at(4132), 1);
}

TEST(AlarmMaps, MapASumRowsAndSingleBits)
{
    State s;
    Values v = decode(s, kAlarmA, bitReply(1, 112, {}));
    EXPECT_EQ(v.size(), 13u);
    for (const auto& [sig, value] : v)
        EXPECT_EQ(value, 0) << sig;

    v = decode(s, kAlarmA, bitReply(1, 112, {71, 72, 64, 103, 52, 104}));
    EXPECT_EQ(v.at(2000), 2);
    EXPECT_EQ(v.at(2029), 1);
    EXPECT_EQ(v.at(2017), 1);
    EXPECT_EQ(v.at(2007), 1);
    EXPECT_EQ(v.at(2004), 1);
    EXPECT_EQ(v.at(2005), 0);

    struct Row {
        int sig;
        int bit;
    };
    const Row rows[] = {{2017, 0},  {2017, 25}, {2017, 80}, {2005, 35}, {2009, 36},
                        {2009, 41}, {2006, 48}, {2002, 67}, {2003, 68}, {2018, 70},
                        {2012, 76}, {2015, 96}, {2029, 65}};
    for (const Row& row : rows) {
        v = decode(s, kAlarmA, bitReply(1, 112, {row.bit}));
        for (const auto& [sig, value] : v)
            EXPECT_EQ(value, sig == row.sig ? 1 : 0) << "bit " << row.bit << " sig " << sig;
    }
    EXPECT_EQ(s.batt_low_990, 0);
}

TEST(AlarmMaps, MapBRowsAndCode222Extras)
{
    State s;
    s.regups_a_version = 299;
    Values v = decode(s, kAlarmB, bitReply(1, 482, {183, 184, 335, 455, 256, 211, 143, 25}));
    EXPECT_EQ(v.at(2014), 4);
    EXPECT_EQ(v.at(2005), 1);
    EXPECT_EQ(s.input_err, 1);
    EXPECT_EQ(v.at(2002), 1);
    EXPECT_EQ(s.batt_low_990, 1);
    EXPECT_EQ(v.at(2025), 1);
    EXPECT_EQ(v.at(2015), 1);
    EXPECT_EQ(v.at(2017), 0);
    EXPECT_EQ(v.count(2030), 0u);

    // Bits 22-24 and 35 count only for code 222.
    v = decode(s, kAlarmB, bitReply(1, 482, {22, 24, 35}));
    EXPECT_EQ(v.at(2002), 0);
    EXPECT_EQ(v.at(2009), 0);
    EXPECT_EQ(s.batt_low_990, 0);
    EXPECT_EQ(s.input_err, 0);
    s.regups_a_version = 222;
    v = decode(s, kAlarmB, bitReply(1, 482, {23, 24, 35}));
    EXPECT_EQ(v.at(2002), 1);
    EXPECT_EQ(v.at(2009), 1);
    EXPECT_EQ(v.at(2030), 1);
    EXPECT_EQ(s.batt_low_990, 1);

    struct Row {
        int sig;
        int bit;
    };
    const Row rows[] = {{2017, 128}, {2017, 470}, {2017, 325}, {2007, 132}, {2007, 438},
                        {2006, 193}, {2006, 481}, {2009, 160}, {2009, 428}, {2003, 276},
                        {2000, 213}, {2000, 285}, {2015, 467}, {2016, 267}, {2016, 454},
                        {2004, 448}, {2012, 346}, {2005, 270}};
    s.regups_a_version = 299;
    for (const Row& row : rows) {
        v = decode(s, kAlarmB, bitReply(1, 482, {row.bit}));
        for (const auto& [sig, value] : v)
            EXPECT_EQ(value, sig == row.sig ? 1 : 0) << "bit " << row.bit << " sig " << sig;
    }
    // Neighbours that the table leaves out raise nothing.
    for (int bit : {124, 139, 295, 308}) {
        v = decode(s, kAlarmB, bitReply(1, 482, {bit}));
        for (const auto& [sig, value] : v)
            EXPECT_EQ(value, 0) << "bit " << bit << " sig " << sig;
    }
}

TEST(AlarmMaps, MapC)
{
    State s;
    struct Row {
        int sig;
        int bit;
    };
    const Row rows[] = {{2017, 0},  {2017, 91}, {2017, 15}, {2005, 53}, {2005, 82},
                        {2009, 64}, {2009, 89}, {2006, 9},  {2006, 95}, {2007, 51},
                        {2002, 59}, {2003, 70}, {2018, 73}, {2000, 77}, {2000, 86},
                        {2012, 56}, {2015, 29}, {2004, 8},  {2004, 90}};
    for (const Row& row : rows) {
        const Values v = decode(s, kAlarmC, bitReply(1, 96, {row.bit}));
        EXPECT_EQ(v.size(), 12u);
        for (const auto& [sig, value] : v)
            EXPECT_EQ(value, sig == row.sig ? 1 : 0) << "bit " << row.bit << " sig " << sig;
    }
    // Unnamed fault bits raise nothing.
    for (int bit : {13, 14, 21, 23, 50, 52, 54, 63, 71, 76, 78, 79, 83, 92, 93, 94}) {
        const Values v = decode(s, kAlarmC, bitReply(1, 96, {bit}));
        for (const auto& [sig, value] : v)
            EXPECT_EQ(value, 0) << "bit " << bit << " sig " << sig;
    }
}

TEST(Malformed, ShortOrHostileRepliesAreHarmless)
{
    State s;
    for (int index = 0; index < kQueryCount; ++index) {
        Bytes reply(acuList[index].recvsize - 1, 0xFF);
        Reports out;
        decodeReply(s, index, reply.data(), static_cast<int>(reply.size()), out);
        EXPECT_TRUE(out.empty()) << index;
    }
    Reports out;
    decodeReply(s, 9, nullptr, 0, out);
    decodeReply(s, -1, nullptr, 500, out);
    EXPECT_TRUE(out.empty());

    // Random bytes of every length through validation and, when accepted, decoding.
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        const int index = static_cast<int>(rng() % kQueryCount);
        Bytes reply(rng() % 200);
        for (auto& b : reply)
            b = static_cast<uint8_t>(rng());
        if (round % 2 && reply.size() > 5) {
            reply[2] = static_cast<uint8_t>(reply.size() - 5);
            setModbusCRC(reinterpret_cast<char*>(reply.data()), static_cast<int>(reply.size()));
        }
        const int size = static_cast<int>(reply.size());
        if (upscommon::replyValid(reply.data(), size, acuList[index].recvsize))
            decodeReply(s, index, reply.data(), acuList[index].recvsize, out);
        decodeReply(s, index, reply.data(), size, out);
    }
    for (const Report& r : out)
        EXPECT_TRUE(std::isfinite(r.value));
}

} // namespace
