// The driver shell: a poll cycle's reports settled before the runtime sees
// them, and the C edges that nothing thrown gets past.
#include "driver_shell.hpp"
#include "fake_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace fakeport;
using upscommon::Cycle;
using upscommon::ReportKind;

namespace
{

using Published = std::vector<std::pair<int, float>>;

constexpr int kLow = 2002, kBad = 2000, kOff = 2014, kVolts = 4105;

struct Recorder {
    Published seen;
    Cycle::Sink sink()
    {
        return [this](int sig, float v) { seen.emplace_back(sig, v); };
    }
    std::vector<float> of(int sig) const
    {
        std::vector<float> out;
        for (const auto& [s, v] : seen)
            if (s == sig) out.push_back(v);
        return out;
    }
};

TEST(Cycle, AFlagRaisedByOneReplyIsNeverTakenBackByAnother)
{
    Recorder r;
    {
        Cycle c(r.sink());
        c.add({{kLow, 1, ReportKind::Flag}, {kVolts, 230.5f}}); // reply 1
        c.add({{kLow, 0, ReportKind::Flag}, {kVolts, 231.0f}}); // reply 2
        EXPECT_EQ(r.of(kLow), std::vector<float>{1});
        EXPECT_EQ(r.of(kVolts), (std::vector<float>{230.5f, 231.0f})); // values at once
        c.add({{kLow, 1, ReportKind::Flag}});                          // raised again
    }
    EXPECT_EQ(r.of(kLow), std::vector<float>{1});

    // Cleared by every reply: one 0, when the cycle ends.
    Recorder clear;
    Cycle c(clear.sink());
    c.flag(kLow, 0);
    c.flag(kLow, 0);
    EXPECT_TRUE(clear.seen.empty());
    c.finish();
    c.finish();
    EXPECT_EQ(clear.seen, (Published{{kLow, 0}}));
}

TEST(Cycle, SumRowsAddUpOverTheCycleAndMeetAFlagAtTheLarger)
{
    Recorder r;
    Cycle c(r.sink());
    c.sum(kOff, 1);
    c.sum(kOff, 2);
    c.sum(kOff, 0);
    // A flag of a signal with a count pending waits for the count.
    c.sum(kBad, 2);
    c.flag(kBad, 1);
    // A flag first goes out at once; the count then decides.
    c.flag(kLow, 1);
    c.sum(kLow, 0);
    EXPECT_EQ(r.seen, (Published{{kLow, 1}}));
    c.finish();
    EXPECT_EQ(r.of(kOff), std::vector<float>{3});
    EXPECT_EQ(r.of(kBad), std::vector<float>{2});
    EXPECT_EQ(r.of(kLow), (std::vector<float>{1, 1}));
}

// Commands 0 and 1 read two registers, command 2 eight inputs.
cmd request(int func, int count, int reply)
{
    cmd c{};
    std::memcpy(c.name, "01", 2);
    const unsigned char req[] = {1, static_cast<unsigned char>(func), 0, 0,
                                 0, static_cast<unsigned char>(count)};
    std::memcpy(c.commd, req, sizeof req);
    c.recvsize = reply;
    c.cmdSize = 8;
    return c;
}

TEST(PollCycle, AThrowingDecoderLosesOnlyItsOwnReply)
{
    const cmd list[] = {request(4, 2, 9), request(4, 2, 9), request(2, 8, 6)};
    FakePort port;
    port.responder = [](const Bytes& req) -> std::vector<Bytes> {
        if (req[1] == 2) return {bitReply(req[0], 8, {})};
        return {registerReply(req[0], 4, {1, 2})};
    };
    Recorder r;
    Cycle c(r.sink());
    int exitFlag = 0;
    auto decode = [](int i, const uint8_t*, int, upscommon::Reports& out) {
        out.push_back({kLow, i == 0 ? 1.0f : 0.0f, ReportKind::Flag});
        out.push_back({kVolts, static_cast<float>(i)});
        if (i == 1) throw std::runtime_error("malformed");
    };
    EXPECT_EQ(upscommon::pollCycle(io(), &port, 1, list, &exitFlag, nullptr, decode, c), 1);
    EXPECT_EQ(port.writes.size(), 3u); // the cycle went on after the throw
    c.finish();
    EXPECT_EQ(r.of(kVolts), (std::vector<float>{0, 2}));
    EXPECT_EQ(r.of(kLow), std::vector<float>{1});
}

// A driver that reports, then fails the way it is told to.
struct Scripted : upscommon::Driver {
    bool throws = false;
    int query(const upscommon::PortIo&, void*, int, Cycle& out) override
    {
        out.flag(kLow, 1);
        out.flag(kBad, 0);
        out.sum(kOff, 2);
        if (throws) throw std::runtime_error("decoder bug");
        return 1;
    }
    int control(const upscommon::PortIo&, void*, int, const char* cmd) override
    {
        if (std::string(cmd) == "throw") throw std::logic_error("bad");
        return 1;
    }
};

int record(int sig, float v, LPVOID p)
{
    static_cast<Published*>(p)->emplace_back(sig, v);
    return 1;
}

char g_info[] = "  test driver\n" CARD_STAMP_SPACE;

TEST(DriverShell, AThrowingDriverStillSettlesItsCycleAndNothingEscapes)
{
    upscommon::DriverShell<Scripted> shell(g_info, "Jun 18 2022", "06:06:19");
    for (bool throws : {false, true}) {
        shell.driver().throws = throws;
        Published seen;
        EXPECT_EQ(shell.query(nullptr, 1, record, &seen), throws ? 0 : 1);
        EXPECT_EQ(seen, (Published{{kLow, 1}, {kBad, 0}, {kOff, 2}})) << throws;
    }
    shell.driver().throws = false;
    EXPECT_EQ(shell.query(nullptr, 1, nullptr, nullptr), 1); // a null callback is never called
    char ok[] = "12", bad[] = "throw";
    EXPECT_EQ(shell.control(nullptr, 1, ok), 1);
    EXPECT_EQ(shell.control(nullptr, 1, bad), 0);
    EXPECT_EQ(shell.control(nullptr, 1, nullptr), 0);
    EXPECT_EQ(shell.test(nullptr, 1, nullptr, nullptr), 1);
}

TEST(DriverShell, DescriptionStampedInPlaceOnEveryCall)
{
    upscommon::DriverShell<Scripted> shell(g_info, "Jun 18 2022", "06:06:19");
    const size_t len = std::strlen(g_info);
    const std::string first = shell.info();
    EXPECT_EQ(shell.info(), g_info);
    EXPECT_EQ(first, g_info);
    EXPECT_EQ(first.size(), len);
    EXPECT_EQ(first.substr(0, 14), "  test driver\n");
    EXPECT_EQ(first.substr(len - 22), "Jun 18 2022 06:06:19\n ");
}

} // namespace
