// The one request handler under each slave's limits: every request below is
// judged by the Modbus/TCP slave, its battery-pack variant and the RTU slave,
// and the table says what each answers. A refused request changes nothing.
#include "modbus_frames.h"
#include "pdu.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace mbslave;
using namespace mbslave::test;

namespace
{

Bytes pdu(int function, int a, int b)
{
    return {static_cast<uint8_t>(function), static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
            static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)};
}

// Function 16 with quantity and byte count taken from the registers.
Bytes block(int start, std::initializer_list<int> regs)
{
    Bytes p = pdu(16, start, static_cast<int>(regs.size()));
    p.push_back(static_cast<uint8_t>(2 * regs.size()));
    for (int r : regs) {
        p.push_back(static_cast<uint8_t>(r >> 8));
        p.push_back(static_cast<uint8_t>(r));
    }
    return p;
}

constexpr int kOk = -1; // a normal answer; otherwise the exception code

struct Case {
    const char* what;
    Bytes request;
    int tcp, pack, rtu;
};

// The answer a request gets when it is served.
size_t servedLength(const Bytes& request)
{
    const int quantity = request[3] << 8 | request[4];
    switch (request[0]) {
    case 2:
        return 2 + static_cast<size_t>(std::max(1, (quantity + 7) / 8));
    case 3:
    case 4:
        return 2 + 2 * static_cast<size_t>(quantity);
    default:
        return 5; // writes: function, address and quantity or value
    }
}

TEST(PduLimits, EachSlaveKeepsItsOwnLimits)
{
    Bytes trailing = pdu(3, 9, 1);
    trailing.push_back(0);
    Bytes disagreeing = block(7, {120, 5});
    disagreeing[4] = 3; // quantity 3, two registers sent
    const Case cases[] = {
        // what, request, then the answer of the TCP slave, the pack one, the RTU one
        {"bit read of 999", pdu(2, 0, 999), kOk, kOk, kOk},
        {"bit read of 1000", pdu(2, 0, 1000), kOk, kOk, 2},
        {"bit read of 1001", pdu(2, 0, 1001), 2, 2, 2},
        {"bits past the image", pdu(2, 1500, 600), 2, 2, 2},
        {"bits from 2000", pdu(2, 2000, 1), 0, 0, 0},
        {"125 registers", pdu(3, 0, 125), 2, 2, 2},
        {"holding 989..998", pdu(3, 989, 10), kOk, kOk, kOk},
        {"holding 990..999", pdu(3, 990, 10), kOk, kOk, 2},
        {"holding past 999", pdu(3, 990, 20), 2, 2, 2},
        {"holding from 1500", pdu(3, 1500, 2), kOk, kOk, 2},
        {"holding from 0x8000", pdu(3, 0x8000, 1), 0, 0, 2},
        {"input 1990..1999", pdu(4, 1990, 10), kOk, kOk, 2},
        {"input 1900..2000", pdu(4, 1900, 101), 2, kOk, 2},
        {"input 8990..8999", pdu(4, 8990, 10), kOk, kOk, 2},
        {"input 8990..9000", pdu(4, 8990, 11), kOk, 2, 2},
        {"input from 9000", pdu(4, 9000, 1), kOk, kOk, 2},
        {"read with a byte too many", trailing, 0, 0, kOk},
        {"write at 12000", pdu(6, 12000, 1), kOk, kOk, kOk},
        {"write at 12001", pdu(6, 12001, 1), 2, 2, kOk},
        {"write at 0xFFFF", pdu(6, 0xFFFF, 1), 0, 0, kOk},
        {"block at 11999", block(11999, {1}), kOk, kOk, kOk},
        {"block at 12000", block(12000, {1}), 2, 2, kOk},
        {"block whose quantity disagrees", disagreeing, 0, 0, kOk},
        {"function 5", pdu(5, 1, 0xFF00), 1, 1, 1},
        {"three bytes", Bytes{3, 0, 9}, 0, 0, 0},
    };
    const std::pair<const char*, Limits> slaves[] = {
        {"TCP", kTcpLimits}, {"pack", kPackLimits}, {"RTU", kRtuLimits}};
    for (const auto& c : cases) {
        const int expected[] = {c.tcp, c.pack, c.rtu};
        for (size_t s = 0; s < 3; ++s) {
            card::FakeRuntime rt;
            PduHandler handler(rt, slaves[s].second);
            const Bytes a = handler.answer(c.request, "Tcp:10.0.0.1");
            SCOPED_TRACE(std::string(c.what) + " on " + slaves[s].first);
            if (expected[s] == kOk) {
                ASSERT_FALSE(a.empty());
                EXPECT_EQ(a[0], c.request[0]);
                EXPECT_EQ(a.size(), servedLength(c.request));
            } else {
                EXPECT_EQ(a, (Bytes{static_cast<uint8_t>(c.request[0] + 0x80),
                                    static_cast<uint8_t>(expected[s])}));
                EXPECT_FALSE(touchedAnything(rt));
            }
        }
    }
}

TEST(PduLimits, ReadsPastTheImageAnswerZerosOverTcp)
{
    card::FakeRuntime rt;
    rt.setValue(card::kPackBase, Data_bms_mod1_cell_volt1, 3312);
    PduHandler tcp(rt, kTcpLimits);
    // The standard slave has no pack registers, though it answers their addresses.
    EXPECT_EQ(tcp.answer(pdu(4, 8192, 1), "Tcp:x"), (Bytes{4, 2, 0, 0}));
    PduHandler pack(rt, kPackLimits);
    EXPECT_EQ(pack.answer(pdu(4, 8192, 1), "Tcp:x"), (Bytes{4, 2, 0x0C, 0xF0}));
}

TEST(PduHandler, BlockWriteTakesTheRegistersItsByteCountNames)
{
    card::FakeRuntime rt;
    PduHandler handler(rt, kRtuLimits);
    Bytes p = block(7, {120, 5});
    p[5] = 3; // one whole register: the shutdown delay alone does nothing
    EXPECT_EQ(handler.answer(p, "COM"), Bytes(p.begin(), p.begin() + 5));
    EXPECT_TRUE(commands(rt).empty());
    p[5] = 4;
    handler.answer(p, "COM");
    EXPECT_EQ(commands(rt), std::vector<int>{24});
    EXPECT_EQ(rt.text("in_tast23"), "120");
}

} // namespace
