// Form fields, address filters, the credential check, level rules, the
// session table and the file mapping of the web plug-in.
#include "web_core.hpp"

#include "fake_runtime.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <utility>

using namespace web;

TEST(FormField, DecodesAndFindsFirstOccurrence)
{
    EXPECT_EQ(formField("a=1&user=ad%6Din+x&user=other", "user"), "admin x");
    EXPECT_EQ(formField("USER=x", "user"), "x"); // names compare without case
    EXPECT_EQ(formField("xuser=1&user=2", "user"), "2");
    EXPECT_FALSE(formField("user=&passwd=1", "user")); // empty counts as absent
    EXPECT_FALSE(formField("user", "user"));
    EXPECT_FALSE(formField("", "user"));
    EXPECT_EQ(formField("k=a%3Db%26c", "k"), "a=b&c");
}

TEST(FormField, MalformedEncodingIsAbsent)
{
    EXPECT_FALSE(formField("user=ab%zz", "user"));
    EXPECT_FALSE(formField("user=ab%4", "user"));
    EXPECT_FALSE(formField("user=%", "user"));
    EXPECT_EQ(formField("user=%00rest", "user", 50), std::nullopt); // NUL ends the value
    EXPECT_EQ(formField("user=ab%00rest", "user", 50), "ab");
}

TEST(FormField, CutsToBufferAtCharacterBoundary)
{
    std::string longValue(500, 'x');
    auto v = formField("user=" + longValue, "user");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->size(), kFieldBuffer - 1);
    EXPECT_EQ(formField("k=abcdef", "k", 4), "abc");
    // "é" is two bytes: cutting inside it keeps the whole characters before.
    EXPECT_EQ(formField("k=a%C3%A9", "k", 3), "a");
    EXPECT_EQ(formField("k=a%C3%A9", "k", 4), "a\xC3\xA9");
}

TEST(FormField, EncodeRoundTrips)
{
    std::string text = "a b&c=d%/é\n";
    EXPECT_EQ(urlDecode(urlEncode(text)), text);
}

namespace
{
sockaddr_in v4(const char* a)
{
    sockaddr_in s{};
    s.sin_family = AF_INET;
    inet_pton(AF_INET, a, &s.sin_addr);
    return s;
}
sockaddr_in6 v6(const char* a)
{
    sockaddr_in6 s{};
    s.sin6_family = AF_INET6;
    inet_pton(AF_INET6, a, &s.sin6_addr);
    return s;
}
const sockaddr* sa(const void* p)
{
    return static_cast<const sockaddr*>(p);
}
} // namespace

TEST(Address, TextAndLoopback)
{
    auto a = v4("192.168.1.20");
    auto b = v6("::ffff:10.1.2.3");
    auto c = v6("2001:db8::1");
    auto l4 = v4("127.0.0.2");
    auto l6 = v6("::1");
    auto lm = v6("::ffff:127.0.0.1");
    EXPECT_EQ(addressText(sa(&a)), "192.168.1.20");
    EXPECT_EQ(addressText(sa(&b)), "10.1.2.3");
    EXPECT_EQ(addressText(sa(&c)), "2001:db8::1");
    EXPECT_TRUE(isLoopback(sa(&l4)));
    EXPECT_TRUE(isLoopback(sa(&l6)));
    EXPECT_TRUE(isLoopback(sa(&lm)));
    EXPECT_FALSE(isLoopback(sa(&a)));
    EXPECT_FALSE(isLoopback(sa(&b)));
    EXPECT_FALSE(isLoopback(sa(&c)));
    EXPECT_FALSE(isLoopback(nullptr));
}

TEST(Address, FiltersMatchByFieldAndFailuresCountPerSource)
{
    EXPECT_TRUE(addressAllowed("192.168.1", "192.168.1.20"));
    EXPECT_FALSE(addressAllowed("192.168.1", "10.192.168.1")); // never as a substring
    EXPECT_FALSE(addressAllowed("127.0.0.5", "127.0.0.50"));
    EXPECT_FALSE(addressAllowed("192.168.1", "192.168.2.1"));
    EXPECT_TRUE(addressAllowed("*.*.*.*", "2001:db8::1"));
    EXPECT_FALSE(addressAllowed("", "192.168.1.20"));
    EXPECT_EQ(loginSourceKey("127.0.0.5"), "127.0.0.5");
    EXPECT_EQ(loginSourceKey("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(loginSourceKey("2001:db8:1:2:bbbb::7"), loginSourceKey("2001:db8:1:2::9"));
}

TEST(CheckUser, TableSlotsFiltersAndAdministrator)
{
    const std::pair<const char*, const char*> table[] = {
        {"user_name2", "ops"},     {"user_pass2", "pw"},    {"user_right2", "2"},
        {"user_ip2", "192.168.1"}, {"user_name3", "ops"},   {"user_pass3", "pw"},
        {"user_right3", "1"},      {"user_ip3", "*.*.*.*"}, {"user_name4", "nobody"},
        {"user_pass4", "x"},       {"user_right4", "3"},    {"user_ip4", ""},
        {"user_name5", "admin"},   {"user_pass5", "other"}, {"user_right5", "1"},
        {"user_ip5", "*.*.*.*"}};
    card::FakeRuntime settings;
    for (const auto& [key, value] : table)
        settings.set(key, value);
    Credential ops = checkUser(settings, "192.168.1.20", "ops", "pw");
    EXPECT_EQ(ops.level, 2);
    EXPECT_EQ(ops.slot, 2);
    EXPECT_EQ(ops.stamp, accountStamp(settings, 2));
    Credential far = checkUser(settings, "192.168.2.1", "ops", "pw");
    EXPECT_EQ(far.level, 1); // slot 2 refuses the address, slot 3 admits it
    ASSERT_EQ(far.notes.size(), 1u);
    EXPECT_EQ(far.notes[0], "ipaddr is error, ipaddr:192.168.2.1,ipaddr2:192.168.1");
    EXPECT_EQ(checkUser(settings, "1.2.3.4", "ops", "bad").level, 0);
    EXPECT_EQ(checkUser(settings, "1.2.3.4", "nobody", "x").level, 0); // empty filter
    EXPECT_EQ(checkUser(settings, "1.2.3.4", "admin", "pqlzv").level, 3);
    EXPECT_EQ(checkUser(settings, "1.2.3.4", "admin", "other").level, 1); // the table user
    const uint64_t adminStamp = accountStamp(settings, 0);
    EXPECT_EQ(checkUser(settings, "1.2.3.4", "admin", "pqlzv").slot, 0);
    settings.set("administrator_password", "newer");
    EXPECT_NE(accountStamp(settings, 0), adminStamp);
    EXPECT_EQ(checkUser(settings, "1.2.3.4", "admin", "pqlzv").level, 0);
    EXPECT_EQ(checkUser(settings, "1.2.3.4", "admin", "newer").level, 3);
    // every change of the account changes its stamp; other slots keep theirs
    const uint64_t s2 = accountStamp(settings, 2), s3 = accountStamp(settings, 3);
    settings.set("user_pass3", "new");
    EXPECT_NE(accountStamp(settings, 3), s3);
    settings.set("user_pass3", "pw");
    EXPECT_EQ(accountStamp(settings, 3), s3);
    settings.set("user_ip3", "9.9.9.9");
    EXPECT_NE(accountStamp(settings, 3), s3);
    settings.set("user_ip3", "*.*.*.*");
    settings.set("user_name3", "");
    EXPECT_NE(accountStamp(settings, 3), s3);
    settings.set("user_name3", "ops");
    EXPECT_EQ(accountStamp(settings, 2), s2);
    settings.set("user_right3", "-4");
    EXPECT_NE(accountStamp(settings, 3), s3);
    EXPECT_EQ(checkUser(settings, "9.9.9.9", "ops", "pw").level, 0);
    settings.set("user_right3", "7");
    EXPECT_EQ(checkUser(settings, "9.9.9.9", "ops", "pw").level, 3);
}

TEST(Levels, ViewerReadsOperatorOperatesAdministratorAll)
{
    for (Group g : {Group::Status, Group::Logs, Group::Ups, Group::Network, Group::System,
                    Group::Protocol, Group::Notification, Group::Config, Group::Firmware}) {
        EXPECT_TRUE(levelAllows(g, kViewer, "GET"));
        EXPECT_FALSE(levelAllows(g, kViewer, "POST"));
        EXPECT_TRUE(levelAllows(g, kAdministrator, "POST"));
        EXPECT_FALSE(levelAllows(g, kNoAccess, "GET"));
    }
    for (Group g :
         {Group::Ups, Group::Notification, Group::LogClear, Group::OwnPassword, Group::Diagnostics})
        EXPECT_TRUE(levelAllows(g, kOperator, "POST"));
    for (Group g : {Group::Users, Group::Network, Group::System, Group::Protocol, Group::Config,
                    Group::Firmware})
        EXPECT_FALSE(levelAllows(g, kOperator, "POST"));
    EXPECT_FALSE(levelAllows(Group::Users, kOperator, "GET")); // the table shows passwords
    EXPECT_FALSE(levelAllows(Group::Config, kOperator, "GET", true));
    // Every user may change his own password (the handler refuses anyone else's).
    EXPECT_TRUE(levelAllows(Group::OwnPassword, kViewer, "POST"));
    EXPECT_FALSE(levelAllows(Group::OwnPassword, kNoAccess, "POST"));
    EXPECT_TRUE(levelAllows(Group::Open, kViewer, "POST"));
    EXPECT_EQ(levelFromRight(0), kNoAccess);
    EXPECT_EQ(levelFromRight(2), kOperator);
}

static Session sessionOf(uint64_t id, std::string user, int level, int slot = 1)
{
    Session s;
    s.id = id;
    s.user = std::move(user);
    s.level = level;
    s.slot = slot;
    return s;
}

TEST(FirstPassword, HeldUntilTheFactoryValueIsReplaced)
{
    card::FakeRuntime settings;
    EXPECT_TRUE(firstPasswordPending(settings)); // never set: the factory value
    settings.set("administrator_password", "pqlzv");
    EXPECT_TRUE(firstPasswordPending(settings));
    settings.set("administrator_password", "Pqlzv");
    EXPECT_FALSE(firstPasswordPending(settings));
    settings.set("administrator_password", "");
    EXPECT_FALSE(firstPasswordPending(settings)); // an empty one is not the factory's
    // The page and exactly what it loads; nothing that shows or changes the card.
    for (const char* uri : {kFirstPasswordPage, "/FirstPassword", "/sysTime", "/logout",
                            "/js/forms/firstpassword.js", "/lang/pages-zh.db", "/css/app.css"})
        EXPECT_TRUE(firstPasswordAllows(uri)) << uri;
    for (const char* uri : {"/", "/home.html", "/password.html", "/SetSysPassword", "/setPasswd",
                            "/SaveCurrentSettings", "/RecoverfactorySettings", "/AboutInfo",
                            "/js/forms/password.js", "/firstpassword.html/", "/FIRSTPASSWORD",
                            "/sysTime?x", ""})
        EXPECT_FALSE(firstPasswordAllows(uri)) << uri;
}

TEST(FirstPassword, NewPasswordRules)
{
    EXPECT_EQ(newPasswordProblem("Tr0ub4dor", "Tr0ub4dor"), "");
    EXPECT_EQ(newPasswordProblem("12345678", "12345678"), ""); // eight is enough
    EXPECT_EQ(newPasswordProblem("1234567", "1234567"), "short");
    EXPECT_EQ(newPasswordProblem("", ""), "short");
    EXPECT_EQ(newPasswordProblem("pqlzv", "pqlzv"), "factory");
    EXPECT_EQ(newPasswordProblem("Tr0ub4dor", "Tr0ub4dox"), "mismatch");
    EXPECT_EQ(newPasswordProblem("Tr0ub4dor", ""), "mismatch");
    // Characters, not bytes: eight Chinese characters pass, seven do not.
    EXPECT_EQ(newPasswordProblem("不间断电源管理密码", "不间断电源管理密码"), "");
    EXPECT_EQ(newPasswordProblem("不间断电源管理", "不间断电源管理"), "short");
    // What the login form reads: 49 bytes, no more (a longer one could never log in).
    const std::string longest(kMaxPasswordBytes, 'x');
    EXPECT_EQ(newPasswordProblem(longest, longest), "");
    EXPECT_EQ(newPasswordProblem(longest + "x", longest + "x"), "long");
    EXPECT_EQ(newPasswordProblem("不间断电源管理密码不间断电源管理密码",
                                 "不间断电源管理密码不间断电源管理密码"),
              "long");
    // A line break would split the system account's "user:password" line.
    for (std::string bad : {std::string("abcdefgh\nroot:x"), std::string("abcdefgh\r"),
                            std::string("abcd\tefgh"), std::string("abcdefgh\x7f"),
                            std::string("abcd\0efgh", 9)})
        EXPECT_EQ(newPasswordProblem(bad, bad), "chars");
}

TEST(Sessions, EvictsTheOwnOldestThenLowerLevelsAndExpiresIdle)
{
    SessionTable t;
    for (uint64_t i = 1; i <= SessionTable::kSlots; ++i) {
        auto a = t.create(sessionOf(i, "u" + std::to_string(i), 1, int(i % 8) + 1),
                          100.0 + static_cast<double>(i));
        EXPECT_TRUE(a.admitted);
        EXPECT_FALSE(a.evicted);
    }
    EXPECT_EQ(t.count(), 10u);
    ASSERT_TRUE(t.find(1, 200)); // slot 1 is now the newest; slot 2 the oldest
    auto ev = t.create(sessionOf(11, "admin", 3, 0), 201);
    ASSERT_TRUE(ev.admitted && ev.evicted);
    EXPECT_EQ(ev.evicted->id, 2u);
    EXPECT_EQ(ev.evicted->user, "u2");
    EXPECT_FALSE(t.find(2, 202));
    ASSERT_TRUE(t.find(11, 202));
    EXPECT_EQ(t.find(11, 202)->level, 3);
    EXPECT_FALSE(t.find(0, 202)); // 0 names no session

    auto gone = t.expire(100.0 + 300 + 5.5, 300); // ids 3..5 idle > 300 s
    EXPECT_EQ(gone.size(), 3u);
    EXPECT_EQ(t.count(), 7u);
    EXPECT_FALSE(t.find(3, 500));
    EXPECT_TRUE(t.find(6, 500));
    auto again = t.create(sessionOf(12, "again", 1), 501); // a free slot again
    EXPECT_TRUE(again.admitted && !again.evicted);
    EXPECT_EQ(t.remove(12)->user, "again");
    EXPECT_FALSE(t.remove(12));
    EXPECT_FALSE(t.find(12, 502));
}

TEST(Sessions, ViewersNeverPushTheAdministratorOut)
{
    SessionTable t;
    ASSERT_TRUE(t.create(sessionOf(100, "admin", 3, 0), 1).admitted);
    for (uint64_t i = 1; i <= 30; ++i) {
        auto a = t.create(sessionOf(i, "viewer", 1), 1.0 + static_cast<double>(i));
        ASSERT_TRUE(a.admitted);
        if (a.evicted) {
            EXPECT_EQ(a.evicted->user, "viewer"); // his own oldest first
            EXPECT_EQ(a.evicted->id, i - 9);
        }
    }
    EXPECT_TRUE(t.find(100, 50));
    // a table user named like the administrator is another account
    auto twin = t.create(sessionOf(200, "admin", 1, 5), 60);
    ASSERT_TRUE(twin.admitted);
    EXPECT_EQ(twin.evicted->user, "viewer");
    EXPECT_TRUE(t.find(100, 61));

    // operators fill the table: a viewer finds nothing it may evict
    SessionTable ops;
    for (uint64_t i = 1; i <= SessionTable::kSlots; ++i)
        ASSERT_TRUE(ops.create(sessionOf(i, "op" + std::to_string(i), 2), 1).admitted);
    auto refused = ops.create(sessionOf(99, "viewer", 1), 2);
    EXPECT_FALSE(refused.admitted);
    EXPECT_FALSE(refused.evicted);
    EXPECT_FALSE(ops.find(99, 3));
    EXPECT_EQ(ops.count(), 10u);
    // an operator evicts the least recently used operator
    ASSERT_TRUE(ops.find(1, 4));
    auto op = ops.create(sessionOf(98, "op98", 2), 5);
    ASSERT_TRUE(op.admitted);
    EXPECT_EQ(op.evicted->id, 2u);
}

TEST(Sessions, EvictionTieTakesLowestIndex)
{
    SessionTable t;
    for (uint64_t i = 1; i <= SessionTable::kSlots; ++i)
        t.create(sessionOf(i, "u" + std::to_string(i), 1), 5);
    EXPECT_EQ(t.create(sessionOf(99, "n", 1), 6).evicted->id, 1u);
}

TEST(Cookie, SessionIdFromHeader)
{
    EXPECT_EQ(cookieSessionId("mgs=1a2b"), 0x1a2bu);
    EXPECT_EQ(cookieSessionId("user=admin; mgs=ffffffffffffffff; x=1"), ~0ull);
    EXPECT_EQ(cookieSessionId("mgs=1a2b ;user=a"), 0x1a2bu);
    EXPECT_EQ(cookieSessionId("mgs=zz"), 0u);
    EXPECT_EQ(cookieSessionId("mgs="), 0u);
    EXPECT_EQ(cookieSessionId("mgs=1ffffffffffffffff"), 0u); // more than 64 bits
    EXPECT_EQ(cookieSessionId("xmgs=12"), 0u);
    EXPECT_EQ(cookieSessionId(std::string(5000, ';')), 0u);
    EXPECT_EQ(cookieSessionId(""), 0u);
}

TEST(Answers, ResultOkCodes)
{
    EXPECT_EQ(resultOkText(1), "{\n\t\"result\":\t\"ok\",\n\t\"errmsg\":\t\"\"\n}");
    EXPECT_NE(resultOkText(100).find("\"1\""), std::string::npos);
    EXPECT_NE(resultOkText(200).find("\"2\""), std::string::npos);
    EXPECT_NE(resultOkText(300).find("\"0\""), std::string::npos);
    EXPECT_NE(resultOkText(5).find("\"fail\""), std::string::npos);
    EXPECT_NE(resultOkText(5, "result=4").find("\"result=4\""), std::string::npos);
}

TEST(StaticFiles, MappingTypesAndEscapes)
{
    EXPECT_EQ(staticFileFor("/")->path, "www/index.html");
    EXPECT_EQ(staticFileFor("/login.html")->path, "www/login.html");
    EXPECT_EQ(staticFileFor("/css/app.css")->path, "www/css/app.css");
    EXPECT_STREQ(staticFileFor("/css/app.css")->contentType, "text/css");
    EXPECT_STREQ(staticFileFor("/app.js")->contentType, "text/js");
    EXPECT_STREQ(staticFileFor("/logo.png")->contentType, "text/plain");
    EXPECT_EQ(staticFileFor("/lang/en.db")->path, "config/lang/en.db");
    EXPECT_FALSE(staticFileFor("/settings.db")); // config/ beyond the language tables
    EXPECT_FALSE(staticFileFor("/lang/../x.db"));
    EXPECT_FALSE(staticFileFor("/../etc/passwd"));
    EXPECT_FALSE(staticFileFor("/a/..\\b.html"));
    EXPECT_FALSE(staticFileFor("/" + std::string(1100, 'a')));
    EXPECT_EQ(headerSafe("a;b\r\nc,d"), "abcd");
}
