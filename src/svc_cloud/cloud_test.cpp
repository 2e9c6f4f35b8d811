/*
 * cloud_test.cpp - the cloud link's bytes and schedule: the TLV box and the
 * head, the checksums, every report decoded back from the card's signals,
 * the report triggers and every command, against the fake runtime and a
 * recording link.
 */
#include "codec.hpp"
#include "reports.hpp"
#include "session.hpp"

#include "fake_runtime.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace cloud;

namespace
{

// A decoded item: its tag, value and, for objects, its items in insertion
// order (the wire holds them most recent first).
struct Node {
    std::uint8_t tag = 0;
    std::string value;
    std::vector<Node> kids;

    const Node* at(std::uint8_t t) const
    {
        for (const Node& k : kids)
            if (k.tag == t) return &k;
        return nullptr;
    }
    std::string text() const { return value.substr(0, value.find('\0')); }
};

std::vector<Node> decode(std::string_view wire)
{
    auto items = tlv::parse(wire);
    EXPECT_TRUE(items.has_value());
    std::vector<Node> out;
    if (!items) return out;
    for (auto it = items->rbegin(); it != items->rend(); ++it) {
        Node n{it->tag, std::string(it->value), {}};
        auto inner = tlv::parse(it->value);
        if (inner && !inner->empty() && it->value.size() >= 4) n.kids = decode(it->value);
        out.push_back(std::move(n));
    }
    return out;
}

// The report object of a payload (its one outer item).
Node report(std::string_view payload)
{
    auto nodes = decode(payload);
    EXPECT_EQ(nodes.size(), 1u);
    return nodes.empty() ? Node{} : nodes[0];
}

// id -> value text of a data set.
std::map<std::uint32_t, std::string> dataItems(const Node& set)
{
    std::map<std::uint32_t, std::string> m;
    for (std::size_t i = 0; i + 1 < set.kids.size(); i += 2) {
        EXPECT_EQ(set.kids[i].tag, tag::kValue);
        EXPECT_EQ(set.kids[i + 1].tag, tag::kDataId);
        m[readBe(set.kids[i + 1].value)] = set.kids[i].text();
    }
    return m;
}

std::map<std::uint32_t, std::string> dataOf(std::string_view payload)
{
    const Node r = report(payload);
    const Node* obj = r.at(tag::kReport);
    EXPECT_NE(obj, nullptr);
    return obj && obj->at(tag::kDataSet) ? dataItems(*obj->at(tag::kDataSet))
                                         : std::map<std::uint32_t, std::string>{};
}

std::vector<std::uint16_t> alarmCodes(std::string_view payload)
{
    const Node r = report(payload);
    const Node* set = r.at(tag::kReport)->at(tag::kDataSet);
    std::vector<std::uint16_t> codes;
    const std::string v = set->at(tag::kAlarms)->value;
    for (std::size_t i = 0; i + 1 < v.size(); i += 2)
        codes.push_back(std::uint16_t(readBe(v.substr(i, 2))));
    return codes;
}

struct Published {
    std::string topic, message;
};

class RecordingLink : public Link
{
  public:
    void publish(const std::string& t, const std::string& m) override { sent.push_back({t, m}); }
    void subscribe(const std::string& t, int) override { subscribed.push_back(t); }
    void unsubscribe(const std::string& t, int) override { unsubscribed.push_back(t); }
    void disconnect() override { ++disconnects; }

    // Report tags of what was published, in order.
    std::vector<int> tags() const
    {
        std::vector<int> t;
        for (const auto& p : sent)
            t.push_back(report(std::string_view(p.message).substr(kHeadBytes)).tag);
        return t;
    }
    std::string payload(std::size_t i) const { return sent.at(i).message.substr(kHeadBytes); }

    std::vector<Published> sent;
    std::vector<std::string> subscribed, unsubscribed;
    int disconnects = 0;
};

// A command message as the platform sends it: head and one command item
// holding `inner` items.
std::string command(std::uint8_t tag, const std::string& inner)
{
    std::string body;
    body += char(tag);
    body += char(inner.size());
    body += inner;
    return frame(body, 1'700'000'000, 480);
}

std::string item(std::uint8_t tag, const std::string& value)
{
    return std::string(1, char(tag)) + char(value.size()) + value;
}

} // namespace

// ---- TLV box: items on the wire most recent first, each tag, 0xFF, length ----

TEST(Tlv, ACharItemIsFourHeadBytesAndTheByte)
{
    tlv::Box b;
    b.putByte(48, '1');
    EXPECT_EQ(b.serialize(), std::string("\x30\xFF\x00\x01\x31", 5));
    EXPECT_EQ(b.size(), 5u);
}

TEST(Tlv, ItemsGoOutInReverseOrderAndObjectsNest)
{
    tlv::Box inner;
    inner.putU16(2, 0x1234);
    inner.putText(3, "ab");
    tlv::Box outer;
    outer.putU32(1, 0xA1B2C3D4);
    outer.putObject(9, inner);
    const std::string wire = outer.serialize();
    EXPECT_EQ(wire.size(), outer.size());
    auto items = tlv::parse(wire);
    ASSERT_TRUE(items);
    ASSERT_EQ(items->size(), 2u);
    EXPECT_EQ((*items)[0].tag, 9);
    EXPECT_EQ((*items)[1].tag, 1);
    EXPECT_EQ((*items)[1].value, std::string("\xA1\xB2\xC3\xD4", 4));
    auto nested = tlv::parse((*items)[0].value);
    ASSERT_TRUE(nested);
    EXPECT_EQ((*nested)[0].tag, 3);
    EXPECT_EQ((*nested)[0].value, std::string("ab\0", 3));
    EXPECT_EQ((*nested)[1].value, "\x12\x34");
}

TEST(Tlv, RefusesValuesLongerThanTheLengthFieldAndMalformedWire)
{
    tlv::Box b;
    EXPECT_FALSE(b.put(1, std::string(70000, 'x')));
    EXPECT_EQ(b.count(), 0u);
    EXPECT_FALSE(tlv::parse(std::string("\x01\xFE\x00\x00", 4)));   // marker
    EXPECT_FALSE(tlv::parse(std::string("\x01\xFF\x00\x05xy", 6))); // runs past the end
    EXPECT_FALSE(tlv::parse(std::string("\x01\xFF\x00", 3)));       // cut head
    EXPECT_TRUE(tlv::parse(std::string("\x01\xFF\x00\x00", 4)));    // empty value
}

// ---- head: 16 bytes, big-endian, MD5 check over bytes 10.. ----

TEST(Head, FrameCarriesLengthTypeTimeZoneAndTheMd5Check)
{
    const std::string m = frame("PAYLOAD", 0x01020304, -60);
    ASSERT_EQ(m.size(), 16u + 7u);
    EXPECT_EQ(readBe(m.substr(0, 2)), m.size() - 2);
    EXPECT_EQ(m[2], 1);
    EXPECT_EQ(m[3], 2);
    EXPECT_EQ(readBe(m.substr(4, 2)), 60u);
    EXPECT_EQ(readBe(m.substr(10, 4)), 0x01020304u);
    EXPECT_EQ(std::int16_t(readBe(m.substr(14, 2))), -60);
    EXPECT_EQ(m.substr(6, 4), checkBytes(m.substr(10)));
    EXPECT_EQ(check(m).verdict, Verdict::Ok);
    EXPECT_EQ(check(m).body, "PAYLOAD");
}

TEST(Head, Md5IsRfc1321)
{
    const Digest d = md5("abc");
    const std::uint8_t want[] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                 0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    EXPECT_TRUE(std::equal(d.begin(), d.end(), want));
}

TEST(Head, ReceivedMessagesAreCheckedForSizeLengthAndMac)
{
    std::string m = frame("CMD", 1, 0);
    std::string zeroLen = m;
    zeroLen[0] = zeroLen[1] = 0; // totalLen 0 is accepted when the check matches
    EXPECT_EQ(check(zeroLen).verdict, Verdict::Ok);
    std::string badLen = m;
    badLen[1] = char(badLen[1] + 1);
    EXPECT_EQ(check(badLen).verdict, Verdict::BadLength);
    std::string badMac = m;
    badMac.back() ^= 1;
    EXPECT_EQ(check(badMac).verdict, Verdict::BadMac);
    EXPECT_EQ(check(frame(std::string(1100, 'x'), 1, 0)).verdict, Verdict::TooLong);
    EXPECT_EQ(check(m.substr(0, 10)).verdict, Verdict::Short);
    // Version 1: a 14-byte head, the command right after the timestamp.
    std::string v1 = m.substr(0, 14) + "XY";
    v1[3] = 1;
    v1.replace(0, 2, be16(std::uint16_t(v1.size() - 2)));
    v1.replace(6, 4, checkBytes(v1.substr(10)));
    EXPECT_EQ(check(v1).verdict, Verdict::Ok);
    EXPECT_EQ(check(v1).body, "XY");
}

TEST(Checksums, Crc16IsModbusAndCrc32IsIeeeAcrossBlocks)
{
    EXPECT_EQ(crc16("123456789"), 0x4B37);
    Crc32 c;
    c.add("1234");
    c.add("56789");
    EXPECT_EQ(c.value(), 0xCBF43926u);
    c.reset();
    EXPECT_EQ(c.value(), 0u);
}

// ---- command items ----

TEST(CommandItems, ALengthPastTheEndEndsTheList)
{
    auto items = shortItems(std::string("\x4A\x01\x02\x65\x09\x01", 6));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].tag, 0x4A);
    EXPECT_EQ(find(items, 0x65), nullptr);
}

// ---- reports ----

class Reports : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        rt.set("cloud_sn", "SN000042");
        rt.set("ups_type", 1);
        rt.set("ups_lost", 0);
    }
    void ups(int sig, float v) { rt.setValue(card::kUps, sig, v); }
    card::FakeRuntime rt;
};

TEST_F(Reports, DataReportHoldsEveryRowInTableOrderWithItsValue)
{
    ups(Data_InputVoltage_A, 229.94f);
    ups(Data_OutputFrequency, 50.0f);
    ups(Data_OutputSource, 5);
    ups(Data_OutputNumLines, 3);
    ups(Data_BatteryTemperature, 25.5f);
    ups(Sys_ConfigOutputVA, 6000);
    rt.set("sms_signal", 17);
    const Node r = report(dataReport(rt, {1234}, false, nullptr));
    EXPECT_EQ(r.tag, tag::kData);
    EXPECT_EQ(r.at(tag::kSerialNo)->value, "SN000042"); // no terminator
    const Node* obj = r.at(tag::kReport);
    EXPECT_EQ(readBe(obj->at(tag::kTime)->value), 1234u);
    EXPECT_EQ(obj->at(tag::kFlag)->value, "1");
    EXPECT_EQ(obj->at(tag::kChange), nullptr);
    const Node* set = obj->at(tag::kDataSet);
    ASSERT_EQ(set->kids.size(), 2 * (2 + kDataIds.size()));
    EXPECT_EQ(readBe(set->kids[1].value), 1u);
    EXPECT_EQ(readBe(set->kids[3].value), 2u);
    EXPECT_EQ(readBe(set->kids[5].value), 100u); // the table's order
    auto d = dataItems(*set);
    EXPECT_EQ(d[1], "0.00");
    EXPECT_EQ(d[2], "17.00");
    EXPECT_EQ(d[201], "229.94");
    EXPECT_EQ(d[307], "50.00");
    EXPECT_EQ(d[309], "50.00");
    EXPECT_EQ(d[101], "2.00"); // source 5 -> 2
    EXPECT_EQ(d[104], "2.00"); // ups_type 1 with three output lines
    EXPECT_EQ(d[505], "25.50");
    EXPECT_EQ(d[606], "6.00"); // VA in kVA
}

TEST_F(Reports, DataRowRulesTemperatureBatteryManagementAndLostUps)
{
    ups(Data_BatteryTemperature, -15.0f);
    ups(Data_EstimatedChargeRemaining, 80);
    ups(Data_BatteryManageSoc, 64);
    ups(Data_UPSProductTypeIdent, 297);
    ups(Sys_ConfigOutputVA, 6000);
    auto d = dataOf(dataReport(rt, {1}, false, nullptr));
    EXPECT_EQ(d.count(505), 0u);
    EXPECT_EQ(d[506], "80.00");
    EXPECT_EQ(d[606], "6000.00");
    rt.set("battery_enable_type", 1);
    EXPECT_EQ(dataOf(dataReport(rt, {1}, false, nullptr))[506], "64.00");
    rt.set("ups_lost", 1);
    auto lost = dataOf(dataReport(rt, {1}, false, nullptr));
    EXPECT_EQ(lost.size(), 2u);
    EXPECT_EQ(lost[1], "1.00");
}

TEST_F(Reports, ComposedValuesAndTypeTables)
{
    for (int i = 0; i < 7; ++i)
        ups(Data_energyflow_line1 + i, float(i % 4));
    EXPECT_EQ(energyFlowBits(rt), 0 | 1 << 2 | 2 << 4 | 3 << 6 | 0 << 8 | 1 << 10 | 2 << 12);
    EXPECT_EQ(outputSourceCode(4), 4);
    EXPECT_EQ(outputSourceCode(3), 1);
    EXPECT_EQ(outputSourceCode(2), 0);
    EXPECT_EQ(outputSourceCode(7), 9);
    EXPECT_EQ(phaseArrangement(0, 3, 3), 0);
    EXPECT_EQ(phaseArrangement(4, 3, 3), 2);
    EXPECT_EQ(phaseArrangement(5, 3, 1), 1);
    EXPECT_EQ(phaseArrangement(4, 1, 1), 0);
    EXPECT_EQ(deviceType(1, 3), (std::array<std::uint8_t, 3>{2, 10, 3}));
    EXPECT_EQ(deviceType(5, 1), (std::array<std::uint8_t, 3>{2, 9, 7}));
    EXPECT_EQ(deviceType(8, 1), (std::array<std::uint8_t, 3>{2, 10, 1}));
    EXPECT_EQ(baudCode(19200), 5);
    EXPECT_EQ(baudOf(9), 115200);
    EXPECT_EQ(baudOf(4), 0);
    EXPECT_EQ(baudOf(7), 0);
}

TEST_F(Reports, ChangeReportCarriesOnlyRowsWhoseScaledValueMoved)
{
    std::vector<long long> last;
    ups(Data_InputVoltage_A, 230.0f);
    dataReport(rt, {1}, true, &last);
    ups(Data_InputVoltage_A, 230.04f); // below the 0.1 resolution
    ups(Data_InputPowerFactor_A, 0.95f);
    const std::string p = dataReport(rt, {1}, true, &last);
    auto d = dataOf(p);
    EXPECT_EQ(d.count(201), 0u);
    EXPECT_EQ(d[219], "0.95");
    EXPECT_EQ(d.size(), 3u); // items 1, 2 and the moved row
    const Node r = report(p);
    EXPECT_EQ(r.at(tag::kReport)->at(tag::kChange)->value, std::string(1, '\x01'));
}

TEST_F(Reports, AlarmReportsListActiveCodesOrZeroAndChangesOnlyOnce)
{
    std::vector<int> last(kAlarmIds.size(), 0);
    EXPECT_EQ(alarmCodes(alarmReport(rt, {1}, false, last)), (std::vector<std::uint16_t>{0}));
    ups(Alarm_OnBattery, 1);
    ups(Alarm_BypassSwitch, 1);
    EXPECT_EQ(alarmCodes(alarmReport(rt, {1}, false, last)),
              (std::vector<std::uint16_t>{4117 | 0x8000, 4152 | 0x8000}));
    EXPECT_EQ(last, std::vector<int>(kAlarmIds.size(), 0)); // "all" leaves it alone
    const std::string change = alarmReport(rt, {1}, true, last);
    EXPECT_EQ(alarmCodes(change), (std::vector<std::uint16_t>{4117 | 0x8000, 4152 | 0x8000}));
    const Node changed = report(change);
    EXPECT_EQ(readBe(changed.at(tag::kReport)->at(tag::kDataSet)->at(tag::kDataId)->value), 9999u);
    EXPECT_TRUE(alarmReport(rt, {1}, true, last).empty());
    ups(Alarm_OnBattery, 0);
    EXPECT_EQ(alarmCodes(alarmReport(rt, {1}, true, last)), (std::vector<std::uint16_t>{4117}));
}

TEST_F(Reports, DeviceSerialAndSystemReports)
{
    const char* name = "UPS-A";
    for (int i = 0; name[i]; ++i)
        ups(Data_upsIdentName + i, float(name[i]));
    ups(Data_UPSSoftwareVersion, 'V');
    ups(Data_OutputNumLines, 1);
    const Node dev = report(deviceReport(rt, "0200000000A1"));
    EXPECT_EQ(dev.tag, tag::kDevice);
    EXPECT_EQ(dev.at(tag::kDeviceObj)->at(tag::kName)->text(), "UPS-A");
    EXPECT_EQ(dev.at(tag::kDeviceObj)->at(tag::kSoftware)->text(), "V");
    EXPECT_EQ(dev.at(tag::kDeviceObj)->at(tag::kDeviceType)->value, std::string("\x02\x0a\x02"));
    EXPECT_EQ(dev.at(tag::kMac)->text(), "0200000000A1");
    EXPECT_EQ(dev.at(tag::kAgent)->text(), "FW02K13");

    rt.set("ups_addr", 7);
    rt.set("ups_baudRate", 9600);
    const Node line = report(serialReport(rt));
    EXPECT_EQ(line.tag, tag::kSerial);
    EXPECT_EQ(line.at(tag::kSerialObj)->at(tag::kUpsType)->value, "\x01");
    EXPECT_EQ(line.at(tag::kSerialObj)->at(tag::kUpsAddr)->value, "\x07");
    EXPECT_EQ(line.at(tag::kBaudCode)->value, "\x03");

    rt.set("memTotal", 61044);
    rt.set("memUse", 20000);
    const Node sys = report(systemReport(rt));
    EXPECT_EQ(sys.tag, tag::kSystem);
    EXPECT_EQ(readBe(sys.at(tag::kSystemObj)->at(tag::kMemTotal)->value), 61044u * 1024);
    EXPECT_EQ(readBe(sys.at(tag::kSystemObj)->at(tag::kMemUsed)->value), 20000u * 1024);
}

// ---- the session: triggers and commands ----

class CloudSession : public Reports
{
  protected:
    void SetUp() override
    {
        Reports::SetUp();
        rt.set("collector_id", 3);
        Hooks h;
        h.reboot = [this] { ++reboots; };
        h.uploadLog = [this](int type) {
            uploads.push_back(type);
            return 0;
        };
        h.mac = [] { return std::string("020000000001"); };
        session = std::make_unique<Session>(rt, link, queue, h);
        session->begin();
    }
    void up()
    {
        session->connected(0);
        link.sent.clear();
    }
    void seconds(int n)
    {
        for (int i = 0; i < n; ++i) {
            rt.clock += 1;
            session->second();
        }
    }

    RecordingLink link;
    UpdateQueue queue;
    std::unique_ptr<Session> session;
    int reboots = 0;
    std::vector<int> uploads;
};

TEST_F(CloudSession, ConnectSubscribesAndSendsStateIdentityAlarmsAndData)
{
    session->connected(0);
    EXPECT_EQ(link.subscribed,
              (std::vector<std::string>{"Cmd/OPRIX/igCollector/+",
                                        "Cmd/OPRIX/igCollector/+/Device/SN000042"}));
    EXPECT_EQ(link.tags(), (std::vector<int>{22, 17, 30, 32, 16, 16}));
    EXPECT_EQ(link.sent[0].topic, "Signal/OPRIX/Device/SN000042");
    EXPECT_EQ(link.sent[1].topic, "Signal/OPRIX/Device/SN000042/Collector/3");
    EXPECT_EQ(report(link.payload(0)).at(tag::kState)->value, "\x01");
    EXPECT_EQ(rt.intValue(card::kCard, SYS_DATA_CLOUD_MQTT_STATE), 1);
    EXPECT_EQ(rt.text("curr_cloud_sn"), "SN000042");
}

TEST_F(CloudSession, RefusedConnectDisconnects)
{
    session->connected(5);
    EXPECT_EQ(link.disconnects, 1);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_TRUE(rt.logged("mqtt connect error=5"));
}

TEST_F(CloudSession, TimerSendsDataAfterTheIntervalAndOtherDataAfterAClockJump)
{
    rt.set("ReportTimeInterval", 10);
    up();
    seconds(10);
    EXPECT_TRUE(link.sent.empty());
    seconds(1);
    EXPECT_EQ(link.tags(), (std::vector<int>{16}));
    link.sent.clear();
    rt.clock += 700; // past ResetTimeCheckTime (600) since the last report
    session->second();
    EXPECT_EQ(link.tags(), (std::vector<int>{22, 17, 30, 32, 16}));
}

TEST_F(CloudSession, AlarmChangeSendsAlarmAndPowerReports)
{
    up();
    seconds(1);
    link.sent.clear();
    ups(Alarm_OnBattery, 1);
    seconds(1);
    ASSERT_EQ(link.tags(), (std::vector<int>{16, 16}));
    EXPECT_EQ(alarmCodes(link.payload(0)), (std::vector<std::uint16_t>{4117 | 0x8000}));
    auto power = dataOf(link.payload(1));
    EXPECT_EQ(power.size(), 4u);
    EXPECT_TRUE(power.count(500));
    link.sent.clear();
    seconds(1);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(CloudSession, LostUpsSendsDataAndItsReturnTheIdentity)
{
    up();
    rt.set("ups_lost", 1);
    seconds(1);
    EXPECT_EQ(link.tags(), (std::vector<int>{16}));
    EXPECT_EQ(dataOf(link.payload(0)).size(), 2u);
    link.sent.clear();
    rt.set("ups_lost", 0);
    seconds(1);
    EXPECT_EQ(link.tags(), (std::vector<int>{17, 30, 32, 16, 16}));
}

TEST_F(CloudSession, EverySixtyTicksTheChangeReport)
{
    rt.set("ReportTimeInterval", 100000);
    up();
    seconds(60);
    EXPECT_TRUE(link.sent.empty());
    seconds(1);
    ASSERT_EQ(link.tags(), (std::vector<int>{16}));
    EXPECT_NE(report(link.payload(0)).at(tag::kReport)->at(tag::kChange), nullptr);
}

TEST_F(CloudSession, ReconnectRequestLeavesCleanly)
{
    up();
    rt.setValue(card::kCard, SYS_CMD_CTRL_CLOUD_MQTT_RECONNECTED, 1);
    seconds(1);
    ASSERT_FALSE(link.sent.empty());
    EXPECT_EQ(report(link.payload(link.sent.size() - 1)).at(tag::kState)->value,
              std::string(1, '\0'));
    EXPECT_EQ(link.unsubscribed.size(), 2u);
    EXPECT_EQ(link.disconnects, 1);
    EXPECT_EQ(rt.intValue(card::kCard, SYS_CMD_CTRL_CLOUD_MQTT_RECONNECTED), 0);
}

TEST_F(CloudSession, CloudFailureAlarmRisesAfterTwentySecondsDown)
{
    session->watch(true);
    rt.clock += 20;
    session->watch(false);
    EXPECT_EQ(rt.intValue(card::kUps, Alarm_ConnectCloudFail), 0);
    rt.clock += 1;
    session->watch(false);
    EXPECT_EQ(rt.intValue(card::kUps, Alarm_ConnectCloudFail), 1);
    session->watch(true);
    EXPECT_EQ(rt.intValue(card::kUps, Alarm_ConnectCloudFail), 0);
}

TEST_F(CloudSession, DataRequestsSendWhatTheyNameAndNinetyNineEndsTheProcess)
{
    up();
    const std::string topic = "Cmd/OPRIX/igCollector/3";
    const std::vector<std::vector<int>> want = {{16, 16, 17}, {16}, {16}, {17}, {30}, {32}};
    for (int type = 0; type <= 5; ++type) {
        link.sent.clear();
        session->message(topic, command(18, item(74, std::string(1, char(type)))));
        EXPECT_EQ(link.tags(), want[size_t(type)]) << type;
    }
    EXPECT_TRUE(rt.exits.empty());
    session->message(topic, command(18, item(68, "SN000042") + item(74, "\x63")));
    EXPECT_EQ(rt.exits, std::vector<int>{0});
}

TEST_F(CloudSession, BadMacOtherTopicsAndOversizedCommandsAreIgnored)
{
    up();
    std::string m = command(18, item(74, "\x63"));
    m[7] ^= 0x55;
    session->message("Cmd/OPRIX/igCollector/3", m);
    EXPECT_TRUE(rt.logged("mac err"));
    session->message("Other/topic", command(18, item(74, "\x63")));
    std::string big = command(18, item(74, "\x63") + item(1, std::string(250, 'x')));
    while (big.size() <= kMaxCommand)
        big = frame(big.substr(kHeadBytes) + item(1, std::string(250, 'x')), 1, 0);
    session->message("Cmd/OPRIX/igCollector/3", big);
    EXPECT_TRUE(rt.exits.empty());
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(CloudSession, TimeCheckSavesTheZoneAndAsksTheClockTask)
{
    session->message("Cmd/OPRIX/igCollector/3", command(19, ""));
    EXPECT_EQ(rt.integer("cloudTimezone"), 480);
    EXPECT_EQ(rt.intValue(card::kCard, SYS_CMD_CTRL_SYS_NTP_CALI_TIME), 1);
    session->message("Cmd/OPRIX/igCollector/3", command(19, item(101, be16(std::uint16_t(-300)))));
    EXPECT_EQ(rt.integer("cloudTimezone"), -300);
}

TEST_F(CloudSession, SerialLineCommandsSaveBaudTypeAndAddress)
{
    const std::string topic = "Cmd/OPRIX/igCollector/3";
    rt.set("ups_baudRate", 2400);
    session->message(topic, command(33, item(68, "SN000042") + item(102, "\x05")));
    EXPECT_EQ(rt.integer("ups_baudRate"), 19200);
    for (const char* code : {"\x04", "\x07"}) {
        session->message(topic, command(33, item(102, code)));
        EXPECT_EQ(rt.integer("ups_baudRate"), 19200);
    }
    session->message(
        topic, command(33, item(106, item(48, "\x01") + item(113, "\x09") + item(107, "\x19"))));
    EXPECT_EQ(rt.integer("ups_type"), 4);
    EXPECT_EQ(rt.integer("ups_addr"), 9);
    session->message(topic, command(33, item(106, item(113, "\x05") + item(107, "\x63"))));
    EXPECT_EQ(rt.integer("ups_type"), 4); // no driver for protocol 99: nothing changes
    EXPECT_EQ(rt.integer("ups_addr"), 9);
}

TEST_F(CloudSession, ConnectInfoOfAnotherCollectorResendsTheIdentity)
{
    up();
    session->message("Cmd/OPRIX/igCollector/3", command(25, item(68, "3") + item(77, "\x01")));
    EXPECT_TRUE(link.sent.empty());
    session->message("Cmd/OPRIX/igCollector/3", command(25, item(68, "7") + item(77, "\x01")));
    EXPECT_EQ(link.tags(), (std::vector<int>{17, 30, 32, 16}));
    EXPECT_EQ(rt.integer("collector_id"), 7);
    EXPECT_EQ(link.sent[0].topic, "Signal/OPRIX/Device/SN000042/Collector/7");
}

TEST_F(CloudSession, UpdateOrdersQueueTheCardsOwnAndRefuseOthers)
{
    up();
    const std::string topic = "Cmd/OPRIX/igCollector/3";
    session->message(topic,
                     command(20, item(78, "Torvix_HW305KQM01.bin") + item(80, "127.0.0.1:4000")));
    auto order = queue.pop(0);
    ASSERT_TRUE(order);
    EXPECT_EQ(order->name, "Torvix_HW305KQM01.bin");
    EXPECT_EQ(order->url, "127.0.0.1:4000");
    EXPECT_EQ(order->updateWho, 0);
    EXPECT_TRUE(link.sent.empty());

    session->message(topic, command(20, item(78, "pack") + item(80, "h:1") + item(82, "\x02") +
                                            item(48, "61") + item(48, "70")));
    EXPECT_FALSE(queue.pop(0));
    ASSERT_EQ(link.tags(), (std::vector<int>{21}));
    const Node answer = report(link.payload(0));
    const Node* upd = answer.at(tag::kUpdateObj);
    EXPECT_EQ(upd->at(tag::kMainStatus)->value, "\x03");
    EXPECT_EQ(upd->at(tag::kStatus)->value, "\x0d");

    link.sent.clear();
    session->message(topic, command(20, item(78, "a b") + item(80, "127.0.0.1:4000")));
    session->message(topic, command(20, item(78, "p") + item(80, "host;reboot:1")));
    EXPECT_FALSE(queue.pop(0));
    EXPECT_EQ(link.tags(), (std::vector<int>{21, 21}));
}

TEST_F(CloudSession, PassThroughUploadsTheNamedLogAndAnswers)
{
    up();
    session->message("Cmd/OPRIX/igCollector/3",
                     command(26, item(94, be32(0x01020304)) + item(96, "\x01")));
    EXPECT_EQ(uploads, std::vector<int>{1});
    ASSERT_EQ(link.tags(), (std::vector<int>{27}));
    const Node a = report(link.payload(0));
    EXPECT_EQ(readBe(a.at(tag::kMessageId)->value), 0x01020304u);
    EXPECT_EQ(a.at(tag::kResult)->text(), "0");
    session->message("Cmd/OPRIX/igCollector/3", command(26, item(94, be32(5)) + item(96, "\x07")));
    EXPECT_EQ(uploads.size(), 1u);
    EXPECT_EQ(report(link.payload(1)).at(tag::kResult)->text(), "-1");
}

TEST_F(CloudSession, UpdateResultIsReportedAndOnlyTheCardsOwnSuccessReboots)
{
    up();
    UpdateResult r{kFailed, ustatus::kTransferFailed, {}};
    r.order.name = "pkg";
    session->updateResult(r);
    EXPECT_EQ(reboots, 0);
    r.mainStatus = kSucceeded;
    r.status = ustatus::kUpdateSucceeded;
    session->updateResult(r);
    EXPECT_EQ(reboots, 1);
    ASSERT_EQ(link.tags(), (std::vector<int>{21, 21}));
    const Node answer = report(link.payload(1));
    const Node* upd = answer.at(tag::kUpdateObj);
    EXPECT_EQ(upd->at(tag::kPackage)->text(), "pkg");
    EXPECT_EQ(upd->at(tag::kMainStatus)->value, "\x02");
    EXPECT_EQ(upd->at(tag::kStatus)->value, "\x14");
}

TEST_F(CloudSession, WillIsStateZeroOnTheStateTopic)
{
    EXPECT_EQ(session->willTopic(), "Signal/OPRIX/Device/SN000042");
    const std::string will = session->willMessage();
    EXPECT_EQ(check(will).verdict, Verdict::Ok);
    const Node r = report(will.substr(kHeadBytes));
    EXPECT_EQ(r.tag, tag::kCommState);
    EXPECT_EQ(r.at(tag::kState)->value, std::string(1, '\0'));
}
