// Unit tests of the SNMP task's logic: shared-block codec, parameter records,
// agent configuration text, block refresh, queued commands and test traps.
#include "fake_runtime.hpp"
#include "shmblock.h"
#include "snmptask.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <unistd.h>

using namespace snmptask;
namespace off = snmpblock::off;

namespace
{

struct Buffer {
    alignas(8) unsigned char bytes[snmpblock::kBlockSize + 16] = {};
    snmpblock::Block block{bytes};
    Buffer() { block.clear(); }
};

void ups(card::FakeRuntime& fake, int sig, float v)
{
    fake.setValue(card::kUps, sig, v);
}

ConfigPaths paths()
{
    ConfigPaths p;
    p.upsmibModule = "/root/app/lib/libupsmib.so";
    p.mib935Module = "/root/app/lib/libmib935.so";
    return p;
}

} // namespace

// ---------------------------------------------------------------- codec

TEST(SharedBlock, FieldsLandAtTheirOffsetsLittleEndian)
{
    Buffer b;
    b.block.setU32(off::upsType, 0x11223344);
    EXPECT_EQ(b.bytes[760], 0x44);
    EXPECT_EQ(b.bytes[763], 0x11);
    b.block.setI32(off::batteryCurrent, -25);
    EXPECT_EQ(b.block.i32(off::batteryCurrent), -25);
    b.block.setAlarm(5, 7, 1234);
    EXPECT_EQ(b.bytes[764 + 5 * 8], 7);
    EXPECT_EQ(b.block.alarmTime(5), 1234u);
    b.block.setAlarmState(24, 1);
    EXPECT_EQ(b.bytes[1020 + 24 * 4], 1);
    b.block.setU32(off::runTime, 9);
    EXPECT_EQ(b.bytes[1160], 9);
    // nothing written past the block
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(b.bytes[snmpblock::kBlockSize + i], 0);
}

TEST(SharedBlock, TextsAreCutAndNulPadded)
{
    Buffer b;
    std::memset(b.bytes + off::identManufacturer, 'x', 32);
    b.block.setText(off::identManufacturer, 32, "ACME");
    EXPECT_EQ(b.block.text(off::identManufacturer, 32), "ACME");
    for (int i = 4; i < 32; ++i)
        EXPECT_EQ(b.bytes[off::identManufacturer + i], 0);
    b.block.setText(off::identManufacturer, 32, std::string(100, 'M'));
    EXPECT_EQ(b.block.text(off::identManufacturer, 32), std::string(31, 'M'));
    EXPECT_EQ(b.bytes[off::identModel], 0); // the next field is untouched
}

TEST(SharedBlock, CommandMessageCarriesBigEndianValues)
{
    snmpblock::Command c{23, 600, 0x1234};
    auto m = snmpblock::encodeCommand(c);
    EXPECT_EQ(m.type, 10);
    EXPECT_EQ(m.data[0], 23);
    EXPECT_EQ(m.data[1], 0x02);
    EXPECT_EQ(m.data[2], 0x58);
    EXPECT_EQ(m.data[3], 0x12);
    EXPECT_EQ(m.data[4], 0x34);
    for (size_t i = 5; i < snmpblock::kPayloadSize; ++i)
        ASSERT_EQ(m.data[i], 0);
    auto d = snmpblock::decodeCommand(m);
    EXPECT_EQ(d.code, 23);
    EXPECT_EQ(d.value1, 600);
    EXPECT_EQ(d.value2, 0x1234);
}

TEST(SharedBlock, KeyComesFromTheEnvironmentWhenValid)
{
    unsetenv("CARDMON_IPC_KEY");
    EXPECT_EQ(snmpblock::ipcKey(), 1628);
    setenv("CARDMON_IPC_KEY", "0x1234", 1);
    EXPECT_EQ(snmpblock::ipcKey(), 0x1234);
    setenv("CARDMON_IPC_KEY", "12abc", 1);
    EXPECT_EQ(snmpblock::ipcKey(), 1628);
    setenv("CARDMON_IPC_KEY", "-5", 1);
    EXPECT_EQ(snmpblock::ipcKey(), 1628);
    unsetenv("CARDMON_IPC_KEY");
}

TEST(SharedBlock, QueueAndSegmentWorkAcrossAttachments)
{
    int key = 0x5a000000 + (getpid() & 0xffffff);
    int stage = -1;
    void* a = snmpblock::attachBlock(key, &stage);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(stage, 0);
    void* b = snmpblock::attachBlock(key, &stage);
    ASSERT_NE(b, nullptr);
    snmpblock::Block(a).setU32(off::inputNumLines, 3);
    EXPECT_EQ(snmpblock::Block(b).u32(off::inputNumLines), 3u);

    int q = snmpblock::openQueue(key);
    ASSERT_GE(q, 0);
    snmpblock::Message m{};
    EXPECT_FALSE(snmpblock::receiveMessage(q, 10, m));
    ASSERT_TRUE(snmpblock::sendMessage(q, snmpblock::encodeCommand({5, 30, 0})));
    ASSERT_TRUE(snmpblock::receiveMessage(q, 10, m));
    EXPECT_EQ(snmpblock::decodeCommand(m).value1, 30);

    // a segment of the wrong size under the key cannot be attached
    int id = shmget(key, 0, 0);
    snmpblock::detachBlock(a);
    snmpblock::detachBlock(b);
    shmctl(id, IPC_RMID, nullptr);
    int small = shmget(key, 16, IPC_CREAT | 0600);
    ASSERT_GE(small, 0);
    EXPECT_EQ(snmpblock::attachBlock(key, &stage), nullptr);
    EXPECT_EQ(stage, 1);
    shmctl(small, IPC_RMID, nullptr);
    msgctl(q, IPC_RMID, nullptr);
}

// ---------------------------------------------------------------- records

TEST(Params, DefaultsSystemTextsAndLongValues)
{
    card::FakeRuntime fake;
    fake.set("System_Location", std::string(64, 'L'));
    fake.set("System_Admin", "ops team");
    fake.set("snmp_community_0", std::string(40, 'c'));
    fake.set("trap_to_ip_2", std::string(80, '1'));
    AgentParams a;
    TrapParams t;
    loadParams(a, t, fake);
    EXPECT_EQ(a.port, 161u);
    EXPECT_EQ(t.port, 162u);
    EXPECT_EQ(t.time, 10u);
    EXPECT_EQ(t.count, 5u);
    EXPECT_EQ(a.systemLocation, "none");
    EXPECT_EQ(a.systemName, "none");
    EXPECT_EQ(a.systemAdmin, "ops team");
    EXPECT_EQ(a.rows[0].community.size(), 31u);
    EXPECT_EQ(t.rows[2].toIp.size(), 63u);
}

TEST(Params, ChangeDetectionSeesEveryRowField)
{
    card::FakeRuntime fake;
    AgentParams a1, a2;
    TrapParams t1, t2;
    loadParams(a1, t1, fake);
    loadParams(a2, t2, fake);
    EXPECT_TRUE(a1 == a2 && t1 == t2);
    fake.set("trap_privacy_pass_7", "secret99");
    loadParams(a2, t2, fake);
    EXPECT_FALSE(t1 == t2);
    loadParams(a1, t1, fake);
    fake.set("engineid_string", "other"); // not part of the records
    loadParams(a2, t2, fake);
    EXPECT_TRUE(a1 == a2 && t1 == t2);
    fake.set("snmp_permission_3", "2");
    loadParams(a2, t2, fake);
    EXPECT_FALSE(a1 == a2);
}

// ---------------------------------------------------------------- config file

TEST(ConfigFile, CommunityRowsTrapsAndOrder)
{
    card::FakeRuntime fake;
    fake.set("snmp_port", "16100");
    fake.set("System_Name", "ups-1");
    fake.set("System_Admin", "Jo \"the admin\" Doe");
    fake.set("System_Location", "Room 4, rack 2");
    fake.set("snmp_community_0", "public");
    fake.set("snmp_permission_0", "1");
    fake.set("snmp_manage_ip_0", "*.*.*.*");
    fake.set("snmp_community_1", "my secret");
    fake.set("snmp_permission_1", "2");
    fake.set("snmp_manage_ip_1", "10.0.0.5");
    fake.set("snmp_community_2", "off");
    fake.set("snmp_permission_2", "0");
    fake.set("trap_way_0", "1");
    fake.set("trap_to_ip_0", "127.0.0.1");
    fake.set("trap_community_0", "public");
    fake.set("trap_way_1", "2");
    fake.set("trap_to_ip_1", "127.0.0.2");
    fake.set("trap_community_1", "inf");
    fake.set("trap_port", "16200");
    AgentParams a;
    TrapParams t;
    loadParams(a, t, fake);
    std::string expected = "agentAddress udp:16100\n"
                           "sysLocation Room 4, rack 2\n"
                           "sysContact Jo \"the admin\" Doe\n"
                           "sysName ups-1\n"
                           "engineIDType 3\n"
                           "dlmod upsmib /root/app/lib/libupsmib.so\n"
                           "rocommunity public\n"
                           "rwcommunity \"my secret\" 10.0.0.5\n"
                           "trap2sink 127.0.0.1:16200 public\n"
                           "trapsess -C i -v 2c 127.0.0.2:16200 -c inf -t 50 -r 5\n"
                           "maxGetbulkRepeats 10\n"
                           "maxGetbulkResponses 20\n";
    EXPECT_EQ(buildConfig(a, t, "", "", paths()), expected);
}

TEST(ConfigFile, EnterpriseIpv6AndEngineIdTypes)
{
    card::FakeRuntime fake;
    fake.set("mibType", "1");
    fake.set("snmp_net_type", "1");
    fake.set("snmp_community_4", "pub");
    fake.set("snmp_permission_4", "1");
    fake.set("snmp_manage_ip_4", "fe80::1");
    fake.set("trap_way_0", "1");
    fake.set("trap_to_ip_0", "::1");
    fake.set("trap_community_0", "c");
    AgentParams a;
    TrapParams t;
    loadParams(a, t, fake);
    std::string text = buildConfig(a, t, "", "", paths());
    EXPECT_NE(text.find("agentAddress udp6:161\n"), std::string::npos);
    EXPECT_NE(text.find("dlmod mib935 /root/app/lib/libmib935.so\n"), std::string::npos);
    EXPECT_NE(text.find("rocommunity6 pub fe80::1\n"), std::string::npos);
    EXPECT_NE(text.find("trap2sink udp6:[::1]:162 c\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 28), "sysObjectID 1.3.6.1.4.1.935\n");

    const char* lines[] = {"engineIDType 3", "engineIDType 1", "engineIDType 2",
                           "engineID 0x8000aa"};
    for (int type = 0; type < 5; ++type) {
        t.engineIdType = static_cast<std::uint32_t>(type);
        text = buildConfig(a, t, "0x8000aa", "", paths());
        if (type < 4)
            EXPECT_NE(text.find(std::string(lines[type]) + "\n"), std::string::npos) << type;
        else
            EXPECT_EQ(text.find("engineID"), std::string::npos);
    }
}

TEST(ConfigFile, V3UsersAndSessionsQuoteTheirWords)
{
    card::FakeRuntime fake;
    fake.set("snmpv3_version", "1");
    fake.set("snmp_user_0", "admin");
    fake.set("snmp_pass_word_0", "auth pass\\1");
    fake.set("snmp_auth_flag_0", "1");
    fake.set("snmp_privacy_flag_0", "1");
    fake.set("snmp_privacy_password_0", "privpass");
    fake.set("snmp_permission_0", "2");
    fake.set("snmp_community_1", "ignored-in-v3");
    fake.set("snmp_permission_1", "1");
    fake.set("snmp_user_1", "ro");
    fake.set("trap_snmp_version", "1");
    fake.set("trap_way_0", "1");
    fake.set("trap_to_ip_0", "127.0.0.1");
    fake.set("trap_username_0", "tu");
    fake.set("trap_userpass_0", "tpass123");
    fake.set("trap_privacy_pass_0", "ppass123");
    fake.set("trap_way_1", "3");
    fake.set("trap_to_ip_1", "127.0.0.1");
    fake.set("trap_username_1", "iu");
    fake.set("trap_userpass_1", "ipass123");
    fake.set("trap_auth_1", "1");
    fake.set("trap_privacyflag_1", "1");
    fake.set("trap_privacy_pass_1", "ipriv123");
    fake.set("trap_way_2", "200"); // outside 2..127: no line
    fake.set("trap_to_ip_2", "127.0.0.1");
    AgentParams a;
    TrapParams t;
    loadParams(a, t, fake);
    std::string text = buildConfig(a, t, "", "0x80001f8803", paths());
    EXPECT_NE(text.find("rwuser admin priv\n"
                        "createUser admin SHA \"auth pass\\\\1\" AES privpass\n"
                        "rouser ro priv\n"
                        "createUser ro MD5 \"\" DES \"\"\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("community"), std::string::npos);
    EXPECT_NE(text.find("trapsess -v 3 -u tu -e 0x80001f8803 -a MD5 -A tpass123 -x DES -X ppass123 "
                        "-l authPriv 127.0.0.1:162\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("trapsess -C i -t 50 -r 5 -v 3 -u iu -a SHA -A ipass123 -x AES -X ipriv123 "
                        "-l authPriv 127.0.0.1:162\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 14); // 12 + the GETBULK cap
}

TEST(ConfigFile, NoValueCanAddALine)
{
    card::FakeRuntime fake;
    fake.set("System_Name", "x\nrwcommunity evil");
    fake.set("snmp_community_0", "a\nrwcommunity evil");
    fake.set("snmp_permission_0", "1");
    fake.set("trap_way_0", "1");
    fake.set("trap_to_ip_0", "127.0.0.1");
    fake.set("trap_community_0", "two words");
    AgentParams a;
    TrapParams t;
    loadParams(a, t, fake);
    std::string text = buildConfig(a, t, "", "", paths());
    EXPECT_EQ(text.find("\nrwcommunity"), std::string::npos) << text;
    EXPECT_NE(text.find("sysName x rwcommunity evil\n"), std::string::npos);
    EXPECT_NE(text.find("rocommunity \"a rwcommunity evil\"\n"), std::string::npos);
    // trap2sink cannot quote: the same sink is written as a session
    EXPECT_NE(text.find("trapsess -v 2c -c \"two words\" 127.0.0.1:162\n"), std::string::npos);
}

TEST(ConfigFile, SandboxListensOnLoopbackOnly)
{
    AgentParams a;
    TrapParams t;
    a.port = 1611;
    ConfigPaths p = paths();
    p.loopbackOnly = true;
    EXPECT_EQ(buildConfig(a, t, "", "", p).substr(0, 36), "agentAddress udp:127.0.0.1:1611\nsysL");
    a.ipv6 = 1;
    EXPECT_EQ(buildConfig(a, t, "", "", p).substr(0, 31), "agentAddress udp6:[::1]:1611\nsy");
}

TEST(ConfigFile, EngineIdFromAgentState)
{
    std::string state = std::string(500, '#') + "\nsetserialno 12\noldEngineID 0x80001f88044142\n";
    EXPECT_EQ(engineIdFromState(state), "0x80001f88044142");
    EXPECT_EQ(engineIdFromState("nothing here\n"), "");
    // only the tail is searched
    EXPECT_EQ(engineIdFromState("oldEngineID 0x01\n" + std::string(200, '#')), "");
}

// ---------------------------------------------------------------- refresh

TEST(Refresh, ScalesFollowTheMibAndTheUpsType)
{
    card::FakeRuntime fake;
    Buffer b;
    ups(fake, Data_InputVoltage_A, 230.6f);
    ups(fake, Data_BatteryTemperature, 25.4f);
    ups(fake, Data_InputFrequency_A, 50.02f);
    ups(fake, Data_BatteryCurrent, -1.25f);
    ups(fake, Data_OutputPower_A, 1.5f);
    ups(fake, Data_BypassPower_A, 2.5f);
    ups(fake, Sys_ConfigOutputVA, 10.0f);
    ups(fake, Data_UPSProductTypeIdent, 297);
    ups(fake, Data_EstimatedMinutesRemaining, 30);
    ups(fake, Data_BatteryManageTime, 45);
    ups(fake, Data_IdentManufacturer, 'A');
    ups(fake, Data_IdentManufacturer + 1, 'B');
    fake.set("System_Name", "card");
    refreshBlock(b.block, 0, fake);
    EXPECT_EQ(b.block.i32(off::inputVoltage), 230);
    EXPECT_EQ(b.block.i32(off::batteryTemperature), 25);
    EXPECT_EQ(b.block.i32(off::inputFrequency), 500);
    EXPECT_EQ(b.block.i32(off::batteryCurrent), -12); // towards zero
    EXPECT_EQ(b.block.i32(off::outputPower), 1);
    EXPECT_EQ(b.block.i32(off::configOutputVA), 10000);
    EXPECT_EQ(b.block.i32(off::estimatedMinutesRemaining), 30);
    EXPECT_EQ(b.block.text(off::identManufacturer, 32), "AB");
    EXPECT_EQ(b.block.text(off::identAgentSoftwareVersion, 64), "FW02K13");
    EXPECT_EQ(b.block.text(off::identName, 64), "card");

    fake.set("ups_type", "7");
    fake.set("battery_enable_type", "1");
    refreshBlock(b.block, 1, fake);
    EXPECT_EQ(b.block.i32(off::inputVoltage), 2306);
    EXPECT_EQ(b.block.i32(off::batteryTemperature), 254);
    EXPECT_EQ(b.block.i32(off::outputPower), 1500);
    EXPECT_EQ(b.block.i32(off::bypassPower), 2500);
    EXPECT_EQ(b.block.i32(off::estimatedMinutesRemaining), 45);

    // kW families other than 7 scale the output power only
    fake.set("ups_type", "4");
    refreshBlock(b.block, 1, fake);
    EXPECT_EQ(b.block.i32(off::outputPower), 1500);
    EXPECT_EQ(b.block.i32(off::bypassPower), 2);
}

TEST(Refresh, NonFiniteAndHugeSignalsAreClampedNotCast)
{
    card::FakeRuntime fake;
    Buffer b;
    ups(fake, Data_InputVoltage_A, std::numeric_limits<float>::quiet_NaN());
    ups(fake, Data_InputVoltage_B, std::numeric_limits<float>::infinity());
    ups(fake, Data_InputVoltage_C, -std::numeric_limits<float>::infinity());
    ups(fake, Data_OutputPower_A, 3e38f); // x1000 overflows the float itself
    ups(fake, Data_BatteryCurrent, -5e9f);
    ups(fake, Alarm_UpsType, std::numeric_limits<float>::quiet_NaN());
    fake.set("ups_type", "4");
    refreshBlock(b.block, 1, fake);
    EXPECT_EQ(b.block.i32(off::inputVoltage), 0);
    EXPECT_EQ(b.block.i32(off::inputVoltage + 4), INT32_MAX);
    EXPECT_EQ(b.block.i32(off::inputVoltage + 8), INT32_MIN);
    EXPECT_EQ(b.block.i32(off::outputPower), INT32_MAX);
    EXPECT_EQ(b.block.i32(off::batteryCurrent), INT32_MIN);
    EXPECT_EQ(b.block.i32(off::upsType), 0);
}

TEST(Refresh, SensorsDivideByAPositiveDivisorOnlyAndVanishWhenDisabled)
{
    card::FakeRuntime fake;
    Buffer b;
    fake.setValue(card::kSensors, Data_temperature_1, 2534);
    fake.setValue(card::kSensors, Data_humidity_2, 456);
    fake.setValue(card::kSensors, Data_temperature_3, 300);
    fake.setValue(card::kSensors, Data_temperature_4, 300);
    ups(fake, Alarm_TH2_Temp_Hi, 1);
    fake.set("ths_enable", "1");
    fake.set("temp_conver2", "0");
    fake.set("temp_conver3", "-10");
    fake.set("temp_conver4", "10x");
    refreshBlock(b.block, 0, fake);
    EXPECT_EQ(b.block.i32(off::thsTemperature), 253);       // 2534 / 100 * 10
    EXPECT_EQ(b.block.i32(off::thsHumidity + 4), 4560);     // divisor 0 read as 1
    EXPECT_EQ(b.block.i32(off::thsTemperature + 8), 3000);  // negative: 1
    EXPECT_EQ(b.block.i32(off::thsTemperature + 12), 3000); // no number: 1
    EXPECT_EQ(b.block.u8(off::overTemperature + 1), 1);
    fake.set("ths_enable", "0");
    refreshBlock(b.block, 0, fake);
    EXPECT_EQ(b.block.i32(off::thsTemperature), 0);
    EXPECT_EQ(b.block.u8(off::overTemperature + 1), 0);
}

TEST(Refresh, AlarmTableKeepsSixSlotsInPlace)
{
    card::FakeRuntime fake;
    Buffer b;
    auto alarm = [&](int wellKnown, int state) {
        ups(fake, snmpblock::alarmSignal(wellKnown), static_cast<float>(state));
    };
    fake.set("system_run_time", "10");
    for (int j : {2, 3, 5, 7, 9, 11, 13})
        alarm(j, 1);
    refreshBlock(b.block, 0, fake);
    int listed = 0;
    for (int i = 0; i < 6; ++i)
        if (b.block.alarmId(i)) ++listed;
    EXPECT_EQ(listed, 6);
    EXPECT_EQ(b.block.alarmId(0), 2);
    EXPECT_EQ(b.block.alarmTime(0), 1000u);
    EXPECT_EQ(b.block.alarmId(6), 0); // entries past 5 stay unused
    for (int j : {2, 3, 5, 7, 9, 11, 13})
        EXPECT_EQ(b.block.alarmState(j), 1) << j;
    // well-known alarm 2 is the on-battery flag
    EXPECT_EQ(snmpblock::alarmSignal(2), Alarm_OnBattery);

    // alarm 5 clears: its slot (2) goes to the waiting alarm 13, stamped now
    alarm(5, 0);
    fake.set("system_run_time", "20");
    refreshBlock(b.block, 0, fake);
    EXPECT_EQ(b.block.alarmState(5), 0);
    EXPECT_EQ(b.block.alarmId(2), 13);
    EXPECT_EQ(b.block.alarmTime(2), 2000u);
    EXPECT_EQ(b.block.alarmId(0), 2); // others did not move

    // alarm 2 clears and comes back: new time stamp
    alarm(2, 0);
    refreshBlock(b.block, 0, fake);
    EXPECT_EQ(b.block.alarmId(0), 0);
    alarm(2, 1);
    fake.set("system_run_time", "30");
    refreshBlock(b.block, 0, fake);
    EXPECT_EQ(b.block.alarmId(0), 2);
    EXPECT_EQ(b.block.alarmTime(0), 3000u);
}

// ---------------------------------------------------------------- commands

// What one queued command does on a card of this UPS type.
struct Handled {
    card::FakeRuntime fake;
    Handled(snmpblock::Command c, int upsType)
    {
        fake.set("ups_type", upsType);
        handleMessage(snmpblock::encodeCommand(c), fake);
    }
    std::string setting(const std::string& key) { return fake.text(key, "(unset)"); }
    // The UPS command posted on channel 0, which the store also records.
    int command()
    {
        EXPECT_EQ(fake.events.size(), 1u);
        EXPECT_EQ(fake.stores.size(), 1u);
        if (fake.events.empty() || fake.stores.empty()) return -1;
        EXPECT_EQ(fake.events[0].channel, card::channel::kCommand);
        EXPECT_EQ(fake.stores[0].code, card::store::kControlSnmp + fake.events[0].code);
        return fake.events[0].code;
    }
};

TEST(Commands, DelaysAndCommandsByUpsType)
{
    Handled a({5, 30, 0}, 0);
    EXPECT_EQ(a.setting("in_tast5"), "1"); // 30 s is at least a minute
    EXPECT_EQ(a.command(), 5);
    EXPECT_EQ(a.fake.stores[0].code, 1255);
    EXPECT_TRUE(a.fake.logged("ReceiveMsg is ok msg.type:10 msg.data[0]:5,value1:30,value2:0"));

    Handled b({5, 600, 0}, 2);
    EXPECT_EQ(b.setting("in_tast16"), "10");
    EXPECT_EQ(b.command(), 16);
    EXPECT_EQ(b.fake.stores[0].code, 1266);

    Handled c({5, 600, 0}, 5);
    EXPECT_EQ(c.setting("in_tast5"), "(unset)");
    EXPECT_EQ(c.setting("in_tast16"), "(unset)");
    EXPECT_EQ(c.command(), 7);
    EXPECT_EQ(c.fake.stores[0].code, 1257);

    Handled d({23, 12, 0}, 1);
    EXPECT_EQ(d.setting("in_tast23"), "12"); // seconds, unchanged
    EXPECT_EQ(d.command(), 23);
    EXPECT_EQ(d.fake.stores[0].code, 1273);

    Handled e({23, 120, 0}, 2);
    EXPECT_EQ(e.setting("in_tast15"), "2");
    EXPECT_EQ(e.command(), 15);
    EXPECT_EQ(e.fake.stores[0].code, 1265);

    Handled f({23, 120, 0}, 4);
    EXPECT_EQ(f.setting("in_tast23"), "(unset)");
    EXPECT_EQ(f.command(), 4);
    EXPECT_EQ(f.fake.stores[0].code, 1254);

    Handled g({6, 0, 0}, 4);
    EXPECT_EQ(g.command(), 6);
    EXPECT_EQ(g.fake.stores[0].code, 1256);
}

TEST(TrapTest, OneCommandPerSelectedBit)
{
    TrapParams t;
    t.port = 16200;
    t.rows[2] = TrapRow{};
    t.rows[2].way = 1;
    t.rows[2].toIp = "127.0.0.1";
    t.rows[2].community = "pub lic";
    auto cmds = trapTestCommands(t, 3, 0b1011, 0, "");
    ASSERT_EQ(cmds.size(), 3u);
    std::vector<std::string> first = {"snmptrap",
                                      "-v",
                                      "2c",
                                      "-c",
                                      "pub lic",
                                      "127.0.0.1:16200",
                                      "2",
                                      "1.3.6.1.2.1.33.2.3",
                                      "1.3.6.1.2.1.33.1.6.2.1.1",
                                      "i",
                                      "1",
                                      "1.3.6.1.2.1.33.1.6.2.1.2",
                                      "o",
                                      "1.3.6.1.2.1.33.1.6.3.1"};
    EXPECT_EQ(cmds[0], first);
    EXPECT_EQ(cmds[1][10], "3"); // bit 1 -> alarm 3
    EXPECT_EQ(cmds[2][10], "2"); // bit 3 -> alarm 2

    EXPECT_TRUE(trapTestCommands(t, 3, 0, 0, "").empty());
    EXPECT_TRUE(trapTestCommands(t, 2, 1, 0, "").empty()); // row disabled
    EXPECT_TRUE(trapTestCommands(t, 9, 1, 0, "").empty());
    t.version = 2;
    EXPECT_TRUE(trapTestCommands(t, 3, 1, 0, "").empty());

    t.version = 1;
    t.rows[2].way = 2;
    t.rows[2].username = "u";
    cmds = trapTestCommands(t, 3, 1u << 23, 1, "0x80");
    ASSERT_EQ(cmds.size(), 1u);
    std::vector<std::string> inform = {"snmpinform", "-t",
                                       "50",         "-r",
                                       "5",          "-v",
                                       "3",          "-u",
                                       "u",          "-a",
                                       "MD5",        "-A",
                                       "",           "-x",
                                       "DES",        "-X",
                                       "",           "-l",
                                       "authPriv",   "127.0.0.1:16200",
                                       "2",          "1.3.6.1.4.1.935.0.0"};
    EXPECT_EQ(cmds[0], inform);
}

TEST(TrapTest, MaskBitsMapToWellKnownAlarms)
{
    std::set<int> seen;
    for (int b = 0; b < 24; ++b)
        seen.insert(maskBitAlarm(b));
    EXPECT_EQ(seen.size(), 24u);
    EXPECT_EQ(*seen.begin(), 1);
    EXPECT_EQ(*seen.rbegin(), 24);
    EXPECT_EQ(maskBitAlarm(13), 24);
    EXPECT_EQ(maskBitAlarm(24), 0);
}

TEST(TrapTest, RequestTakesTheRowsMaskAndEngineIdFromSettings)
{
    card::FakeRuntime fake;
    TrapParams t;
    t.version = 1;
    t.rows[0].way = 1;
    t.rows[0].toIp = "127.0.0.1";
    fake.set("engine_id", "0x80001f88");
    fake.set("trap_event_0", 0x1000004); // bit 24 selects no alarm
    auto cmds = trapTestRequest(t, 1, 0, fake);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0][6], "0x80001f88");                 // snmptrap -v 3 -u <user> -e <id>
    EXPECT_EQ(cmds[0].back(), "1.3.6.1.2.1.33.1.6.3.4"); // bit 2 -> alarm 4

    fake.set("trap_event_0", 0x1000000);
    EXPECT_TRUE(trapTestRequest(t, 1, 0, fake).empty());
    EXPECT_TRUE(fake.logged("User_1 did not select an alarm event"));
    fake.clearRecords();
    EXPECT_TRUE(trapTestRequest(t, 9, 0, fake).empty());
    EXPECT_TRUE(fake.logs.empty()); // rows 1..8 only
}
