"""The register-map UPS simulator checked on its own, with pymodbus's serial
client as the master: identity block per model, register encoding per
layout and scenario, alarm bits, recorded writes, wrong replies, pacing."""

import time

import pytest
from pymodbus.client import ModbusSerialClient

from simlib import RegupsSim


@pytest.fixture(scope="module")
def sim(tmp_path_factory):
    s = RegupsSim(tmp_path_factory.mktemp("sim"), model=299)
    yield s
    s.stop()


@pytest.fixture(scope="module")
def master(sim):
    c = ModbusSerialClient(port=sim.card_tty, baudrate=9600, timeout=1,
                           retries=0)
    assert c.connect()
    yield c
    c.close()


@pytest.fixture(autouse=True)
def fresh(sim):
    sim.model(299)
    sim.scenario("answer")
    sim.clear_writes()
    yield


def regs(master, start, count, fc=4):
    read = master.read_input_registers if fc == 4 else master.read_holding_registers
    r = read(start, count, slave=1)
    assert not r.isError(), r
    return r.registers


def bits(master, start, count):
    r = master.read_discrete_inputs(start, count, slave=1)
    assert not r.isError(), r
    return r.bits[:count]


def signed(v):
    return v - 0x10000 if v & 0x8000 else v


def chars_low_first(words):
    out = bytearray()
    for w in words:
        out += bytes([w & 0xFF, w >> 8])
    return out.rstrip(b"\0").decode()


def chars_wire(words):
    out = bytearray()
    for w in words:
        out += bytes([w >> 8, w & 0xFF])
    return out.rstrip(b"\0").decode()


def test_identity_block_per_model(sim, master):
    r = regs(master, 128, 51)
    assert r[0:4] == [1, 2, 9, 9]
    assert chars_low_first(r[4:12]) == "BATT-CAB-1"
    assert chars_low_first(r[12:20]) == "KR33-299"
    assert chars_low_first(r[20:28]) == "KYTO"
    assert bytes(r[29:37]).rstrip(b"\0") == b"V2.80"  # one character per register
    assert chars_low_first(r[37:45]) == "UPS-299"

    sim.model(222)
    r = regs(master, 128, 51)
    assert r[1:4] == [2, 2, 2]
    assert chars_wire(r[12:20]) == "KR-222-HF"
    assert chars_wire(r[29:33]) == "V222B001"

    sim.model(297)
    r = regs(master, 128, 51)
    assert r[1:4] == [2, 9, 7] and r[29] == 123

    sim.model("AAAA")
    r = regs(master, 128, 51)
    assert r[0] == 0xAAAA
    # the identification probe sees the same four words at 0x8000
    assert regs(master, 0x8000, 4) == r[0:4]


def test_layout_g_main_block_follows_the_state(sim, master):
    r = regs(master, 0, 73)
    assert r[12:15] == [2312, 2308, 2299]  # input voltages x0.1
    assert r[45:48] == [45, 44, 46]  # load in whole percent
    assert r[71] == 1 and r[72] == 0  # on line, no test
    low, high = r[69] & 0xFF, r[69] >> 8
    assert (low >> 4) & 7 == 3  # float charge
    assert (high >> 1) & 3 == 2  # inverter running
    assert (high >> 3) & 3 == 1  # input switch closed, version 2.8 coding

    sim.scenario("mains_failure")
    r = regs(master, 0, 73)
    assert r[12:21] == [0] * 9
    assert signed(r[51]) == -125  # discharge current, signed x0.1
    assert r[71] == 2
    assert (r[69] >> 4) & 7 == 5
    assert r[67] == (2 << 4) | (1 << 6)  # energy-flow lines 3 and 4

    sim.set("input_lines", 1)
    assert regs(master, 70, 1) == [0]
    sim.set("mode", "bypass")
    assert regs(master, 71, 1) == [4]

    sim.model(290)  # older firmware: 2.7 coding of the input switch
    assert (regs(master, 69, 1)[0] >> 11) & 3 == 0
    assert regs(master, 70, 1) == [1]  # three phases in, one out


def test_layout_222_and_aaaa_blocks(sim, master):
    sim.model(222)
    sim.scenario("mains_failure")
    r = regs(master, 0, 78)
    assert r[45:48] == [450, 440, 460]  # load x0.1
    assert signed(r[51]) == -125 and signed(r[52]) == -124
    assert r[57] == 950  # charge x0.1
    assert chars_wire(r[73:75]) == "R012" and chars_wire(r[75:77]) == "I034"
    assert (r[72] >> 4) & 7 == 5
    sim.scenario("test")
    assert regs(master, 77, 1) == [1]

    sim.model("AAAA")
    r = regs(master, 0, 74)
    assert r[71] == 4  # AAAA code for "on line"
    assert r[54] == 35 and r[55] == 1000
    assert r[72] == 0b01010101  # energy flow moved to register 72
    sim.scenario("test")
    assert regs(master, 71, 1) == [6]
    h = regs(master, 0, 79, fc=3)
    assert h[15] == 10000 and h[17:21] == [220, 50, 220, 50]
    assert h[21] & 2 == 2


def test_alarm_maps_carry_the_faults(sim, master):
    a = bits(master, 0, 112)
    assert not any(a)
    b = bits(master, 208, 482)
    assert [i for i, v in enumerate(b) if v] == [143]  # inverter running

    sim.scenario("low_battery")
    a = bits(master, 0, 112)
    assert a[32] and a[67] and not a[68]
    b = bits(master, 208, 482)
    assert b[256] and b[211]

    sim.scenario("fault:A72")
    assert bits(master, 0, 112)[72]
    sim.scenario("fault:clear")
    assert not any(bits(master, 0, 112))

    # low battery carried by one map only; the card shows 20002 either way
    sim.scenario("fault:low_battery_a")
    assert [i for i, v in enumerate(bits(master, 0, 112)) if v] == [67]
    assert [i for i, v in enumerate(bits(master, 208, 482)) if v] == [143]
    assert sim.expected()[20002] == 1.0
    sim.set("faults", ["low_battery_b"])
    assert not any(bits(master, 0, 112))
    assert [i for i, v in enumerate(bits(master, 208, 482)) if v] == [143, 211]
    assert sim.expected()[20002] == 1.0
    # older G firmware takes its battery status from map B alone
    sim.model(297)
    sim.set("faults", ["low_battery_b"])
    assert sim.expected()[40101] == 3.0
    sim.set("faults", ["low_battery_a"])
    assert sim.expected()[40101] == 2.0 and sim.expected()[20002] == 1.0
    sim.model(299)

    sim.model("AAAA")
    sim.scenario("fault:e02Reg_E_FanFault01")
    sim.scenario("fault:overload")
    c = bits(master, 0, 96)
    assert [i for i, v in enumerate(c) if v] == [29, 51]
    with pytest.raises(RuntimeError):
        sim.scenario("fault:nonsense")


def test_writes_are_recorded_and_act(sim, master):
    assert not master.write_register(0x8006, 1, slave=1).isError()
    assert sim.state()["test"] is True
    assert not master.write_registers(0xFF00, [2305, 500, 3], slave=1).isError()
    w = sim.writes()
    assert [(x["fc"], x["reg"], x["values"]) for x in w] == [
        (6, 0x8006, [1]), (16, 0xFF00, [2305, 500, 3])]


def test_wrong_replies(sim, master):
    sim.scenario("exception:write")
    r = master.write_register(0x8000, 1, slave=1)
    assert r.isError() and r.function_code == 0x86
    assert not master.read_input_registers(128, 51, slave=1).isError()
    assert sim.writes()[-1]["reply"] == "exception"

    sim.scenario("silent")
    assert master.read_input_registers(128, 51, slave=1).isError()
    sim.scenario("bad_crc")
    assert master.read_input_registers(128, 51, slave=1).isError()
    sim.reply_mode("silent", count=1)
    assert master.read_input_registers(128, 51, slave=1).isError()
    assert not master.read_input_registers(128, 51, slave=1).isError()

    # another bus address gets no answer
    assert master.read_input_registers(128, 51, slave=2).isError()
    assert sim.requests()[-1]["reply"] == "not addressed"


def test_pacing_delays_replies_by_their_wire_time(sim, master):
    sim.pace(9600)
    try:
        t = time.monotonic()
        regs(master, 0, 73)
        took = time.monotonic() - t
    finally:
        sim.pace(0)
    assert took >= (8 + 151) * 10 / 9600


def test_discharge_runs_the_battery_down():
    import regups_sim as rs

    s = rs.default_state(299)
    rs.apply_scenario(s, "discharge")
    s["discharge_step"] = 40.0
    rs.discharge_tick(s)  # 100 -> 60
    assert s["charge"] == 60.0 and "low_battery" not in s["faults"]
    rs.discharge_tick(s)  # -> 20
    assert "low_battery" in s["faults"] and "depleted" not in s["faults"]
    rs.discharge_tick(s)  # -> 0
    assert s["charge"] == 0.0 and "depleted" in s["faults"]
    assert s["discharge_step"] == 0.0
    rs.apply_scenario(s, "mains_return")
    assert s["mode"] == "line" and not s["faults"]
