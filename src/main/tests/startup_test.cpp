// Start-up logic: address checks, zone tables, port texts, memory probe, LEDs.
#include "startup.hpp"

#include <gtest/gtest.h>

using namespace cardmon;

TEST(StaticAddressCheck, CasesFromTheField)
{
    EXPECT_EQ(staticAddressCheck("192.168.1.10", "255.255.255.0"), 1);
    EXPECT_EQ(staticAddressCheck("192.168.1.0", "255.255.255.0"), 2);   // host part all zero
    EXPECT_EQ(staticAddressCheck("192.168.1.255", "255.255.255.0"), 2); // host part all ones
    EXPECT_EQ(staticAddressCheck("127.0.0.5", "255.0.0.0"), 0);
    EXPECT_EQ(staticAddressCheck("10.0.0.1", "255.0.255.0"), 2); // not contiguous
    EXPECT_EQ(staticAddressCheck("10.0.0.1", "0.0.0.0"), 2);
    EXPECT_EQ(staticAddressCheck("10.1.2.3", ""), 2);
    EXPECT_EQ(staticAddressCheck("10.0.0.0", "255.0.0.0"), 0); // octets 2-4 zero
    EXPECT_EQ(staticAddressCheck("10.255.255.255", "255.0.0.0"), 0);
    EXPECT_EQ(staticAddressCheck("10.0.0.256", "255.0.0.0"), 0);
    EXPECT_EQ(staticAddressCheck("10,0,0,1", "255.0.0.0"), 0); // wrong separators
    EXPECT_EQ(staticAddressCheck("10.1.2.3", "255,255,0,0"), 2);
    EXPECT_EQ(staticAddressCheck("", "255.255.255.0"), 1); // no address at all
    EXPECT_EQ(staticAddressCheck("junk; reboot", "255.255.255.0"), 1);
}

TEST(StaticAddressCheck, ClassMasks)
{
    bool d = false, parsed = false;
    EXPECT_EQ(classMask("10.1.2.3", &d, &parsed), "255.0.0.0");
    EXPECT_EQ(classMask("172.16.0.1", &d, &parsed), "255.255.0.0");
    EXPECT_EQ(classMask("192.168.1.0", &d, &parsed), "255.255.255.0");
    EXPECT_FALSE(d);
    EXPECT_EQ(classMask("224.0.0.1", &d, &parsed), "0.0.0.0");
    EXPECT_TRUE(d);
    EXPECT_EQ(classMask("nonsense", &d, &parsed), "0.0.0.0");
    EXPECT_FALSE(d);
    EXPECT_FALSE(parsed);
}

TEST(Interfaces, StaticAndDhcpTexts)
{
    std::string log;
    EXPECT_EQ(interfacesText(1, "", "", "", &log),
              "auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet dhcp\n");
    EXPECT_EQ(interfacesText(0, "192.168.1.10", "255.255.255.0", "192.168.1.1", &log),
              "auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet static\n"
              "address 192.168.1.10\nnetmask 255.255.255.0\ngateway 192.168.1.1\n");
    EXPECT_EQ(interfacesText(0, "10.1.2.3", "", "", &log),
              "auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet static\n"
              "address 10.1.2.3\nnetmask 255.0.0.0\n");
    log.clear();
    EXPECT_EQ(interfacesText(0, "127.0.0.5", "255.0.0.0", "", &log),
              "auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet static\n");
    EXPECT_NE(log.find("ip is not ok!"), std::string::npos);
    EXPECT_EQ(interfacesText(5, "1.2.3.4", "", "", &log), "");
}

TEST(Interfaces, OnlyWellFormedAddressesReachTheFile)
{
    for (const char* good : {"0.0.0.0", "192.168.1.10", "255.255.255.255", "010.1.2.3"})
        EXPECT_TRUE(wellFormedIpv4(good)) << good;
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", ".1.2.3.4", "1.2.3.256", "1.2.3.4 ",
                            " 1.2.3.4", "1.2.3.4\nup touch /tmp/x", "1..2.3", "1.2.3.0004",
                            "1.2.3.4;reboot", "$(reboot)", "1.2.3.-4", "+1.2.3.4"})
        EXPECT_FALSE(wellFormedIpv4(bad)) << printable(bad);
    EXPECT_TRUE(wellFormedNameServer("2001:db8::1"));
    EXPECT_FALSE(wellFormedNameServer("2001:db8::1\nnameserver 6.6.6.6"));

    // A line break, shell syntax or any other text in a value: nothing written.
    for (const char* key : {"ip", "mask", "gateway"}) {
        std::string ip = "192.168.1.10", mask = "255.255.255.0", gw = "192.168.1.1";
        std::string& bad = key[0] == 'i' ? ip : key[0] == 'm' ? mask : gw;
        bad = "1.2.3.4\nup touch /tmp/x";
        InterfacesPlan plan = planInterfaces("0", ip, mask, gw);
        EXPECT_EQ(plan.text, "") << key;
        EXPECT_NE(plan.log.find("left as it was"), std::string::npos);
        EXPECT_NE(plan.log.find("1.2.3.4\\x0aup touch"), std::string::npos) << plan.log;
        EXPECT_EQ(plan.log.find("\nup"), std::string::npos); // the log keeps one line per value
    }
    EXPECT_EQ(planInterfaces("0", "10.1.2.3", "", "$(reboot)").text, "");
    // DHCP writes none of them, so they do not matter there.
    EXPECT_EQ(planInterfaces("1", "x\ny", "", "").text,
              "auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet dhcp\n");
}

TEST(Interfaces, SetUpsThatGiveNoAddressFallBackToDhcp)
{
    const std::string dhcp = "auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet dhcp\n";
    for (auto [mode, ip] : {std::pair{"0", "127.0.0.5"}, std::pair{"0", ""}, std::pair{"", ""},
                            std::pair{"5", "10.1.2.3"}}) {
        InterfacesPlan plan = planInterfaces(mode, ip, "255.0.0.0", "");
        EXPECT_EQ(plan.text, dhcp) << mode << " " << ip;
        EXPECT_NE(plan.log.find("DHCP"), std::string::npos);
    }
    InterfacesPlan plan = planInterfaces("0", "192.168.1.10", "255.255.255.0", "192.168.1.1");
    EXPECT_EQ(plan.text,
              interfacesText(0, "192.168.1.10", "255.255.255.0", "192.168.1.1", nullptr));
    // The reason names the settings: the same settings give the same reason.
    EXPECT_EQ(plan.reason,
              planInterfaces("0", "192.168.1.10", "255.255.255.0", "192.168.1.1").reason);
    EXPECT_NE(plan.reason, planInterfaces("0", "192.168.1.11", "255.255.255.0", "").reason);
}

TEST(ResolvConf, NameServersAreAddressesOrNothingIsWritten)
{
    std::string log;
    EXPECT_EQ(resolvConfText("8.8.8.8", "2001:4860:4860::8888", &log),
              "nameserver 8.8.8.8\nnameserver 2001:4860:4860::8888\n");
    EXPECT_EQ(resolvConfText("", "", &log), "nameserver \nnameserver \n");
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(resolvConfText("8.8.8.8", "1.1.1.1\noptions debug", &log), "");
    EXPECT_NE(log.find("not written"), std::string::npos);
}

TEST(TimeZone, TablesAndRecord)
{
    EXPECT_STREQ(zoneFromSettings(26, 1), "GMT-8:00");
    EXPECT_STREQ(zoneFromSettings(26, 0), "GMT-9:00");
    EXPECT_EQ(zoneFromSettings(33, 1), nullptr);
    EXPECT_EQ(zoneFromSettings(-1, 0), nullptr);
    EXPECT_STREQ(zoneFromLine("GMT+2:30"), "GMT+2:30"); // only table B has it
    EXPECT_STREQ(zoneFromLine("GMT-8:00"), "GMT-8:00");
    EXPECT_EQ(zoneFromLine("UTC"), nullptr);
    std::string rec = zoneRecord("GMT-8:00");
    ASSERT_EQ(rec.size(), 99u);
    EXPECT_EQ(rec.substr(0, 8), "GMT-8:00");
    EXPECT_EQ(rec.find_first_not_of('\0', 8), std::string::npos);
}

TEST(Ports, ParameterTexts)
{
    EXPECT_EQ(portParamText(0, 2400, 8, 1), "2400,n,8,1,0");
    EXPECT_EQ(portParamText(2, 9600, 7, 2), "9600,e,7,2,0");
    EXPECT_EQ(portParamText(4, 115200, 8, 1), "115200,m,8,1,0");
    EXPECT_EQ(portParamText(7, 2400, 8, 1), "");
    EXPECT_EQ(upsDriver(4), std::string("regups_a"));
    EXPECT_EQ(upsDriver(11), nullptr);
}

TEST(Memory, MemTotalLine)
{
    EXPECT_EQ(memTotalKb("MemTotal:        61044 kB\n"), 61044);
    EXPECT_EQ(memTotalKb("MemFree: 10 kB"), -1);
    EXPECT_EQ(memTotalKb(""), -1);
}

TEST(Leds, BlinkPeriods)
{
    Blinker b{9};
    std::vector<std::pair<long, int>> edges;
    for (long t = 1; t <= 160; ++t) {
        int v = b.step(t, 50);
        if (v >= 0) edges.emplace_back(t, v);
    }
    // Lit at 4, dark at 51, lit at 55, dark again 51 ticks later: a 1.02 s cycle
    // of 20 ms ticks with 4 ticks dark.
    ASSERT_GE(edges.size(), 5u);
    EXPECT_EQ(edges[0], std::make_pair(4L, 1));
    EXPECT_EQ(edges[1], std::make_pair(51L, 0));
    EXPECT_EQ(edges[2], std::make_pair(55L, 1));
    EXPECT_EQ(edges[3], std::make_pair(102L, 0));
    EXPECT_EQ(edges[4], std::make_pair(106L, 1));
    Blinker slow{8};
    long firstDark = 0;
    for (long t = 1; t <= 200 && !firstDark; ++t)
        if (slow.step(t, 150) == 0) firstDark = t;
    EXPECT_EQ(firstDark, 151);
}
