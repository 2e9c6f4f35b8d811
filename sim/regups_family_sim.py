#!/usr/bin/python3
"""Register-map UPS simulator for the other register families: the second
KYTO generation (regups_b, ups_type 2), the third KYTO family (regups_c,
ups_type 3) and the UPS of another make (regups_d, ups_type 7).

It runs on the machinery of regups_sim.py (pymodbus serial server, reply
modes, pacing, control server, recorded requests and writes); only the UPS
state, its register layouts, the scenarios, what a control write does and
the signals the card should show are this family's:

  model b     second generation, protocol 2.60: energy flow in registers
  model b25   the same at protocol 2.50: the card draws the flow from bits
  model c     third family (mode register, energy block, 99 alarm bits)
  model d     the other make (alarm word, derived battery status and flow)

One semantic state (voltages, mode, battery, switches, faults) is encoded
into the family's registers; `expected()` derives the device-60 signals the
card should show from the same state at the signal level, so a test that
compares the two checks the driver's decoding end to end.

Scenarios: normal, mains_failure, mains_return, low_battery, bypass, test,
test_end, standby, battery_disconnected, maintenance (b: maintenance bypass
switch closed), epo (b), fault:NAME / fault:-NAME / fault:clear, and the
reply modes of regups_sim (silent, bad_crc, exception, answer).

Control writes act on the state (b: 0x0001/0x0002 start a test, 0x0004 ends
it, 0x0018 shuts down, 0x0005/0x000E start again, 0x0019 clears faults;
c: 0x0001/0x0002/0x0006 test, 0x0004 test end, 0x0007 <- 12 shuts down,
0x0005 wakes up; d: coil 0x170C <- 0 shuts down, <- 1 restarts, 0x151A
<- 1/2 sound on/off). Every write is recorded.

Run: regups_family_sim.py --link /tmp/ttyUPS --model b   (as regups_sim.py)
"""

import copy
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import regups_sim  # noqa: E402
from regups_sim import _q, scaled, text_regs_low_first, u16  # noqa: E402

MODELS = ("b", "b25", "c", "d")

IDENT = {
    "b": dict(code=251, manufacturer="KYTO", model="KR-B33-20K", attached="BATT-B1"),
    "c": dict(code=331, manufacturer="KYTO", model="KR-C31-10K", attached="CAB-C"),
    "d": dict(code=0, manufacturer="OTHERMAKE", model="OM-UPS-6K", version="V1.20",
              agent="A2.05", attached=""),
}


def model_key(code):
    code = str(code).lower()
    if code not in MODELS:
        raise ValueError("unknown model %r (b, b25, c, d)" % code)
    return code


def family(model):
    return model[0]


def default_state(model="b"):
    model = model_key(model)
    return {
        "model": model,
        "addr": 1,
        "ident": copy.deepcopy(IDENT[family(model)]),
        "protocol": 250 if model == "b25" else 260,  # hundredths
        "input_v": [231.2, 230.8, 229.9],
        "input_i": [10.2, 10.4, 10.1],
        "input_f": [50.0, 50.01, 49.99],
        "bypass_v": [230.0, 230.5, 229.5],
        "bypass_i": [0.0, 0.0, 0.0],
        "bypass_f": 50.0,
        "output_v": [220.0, 220.1, 219.9],
        "output_i": [15.0, 14.8, 15.2],
        "output_f": 50.0,
        "output_w": [3.0, 2.9, 3.1],
        "output_va": [3.3, 3.2, 3.4],
        "output_pf": [0.9, 0.91, 0.89],
        "bypass_w": [0.0, 0.0, 0.0],
        "bypass_va": [0.0, 0.0, 0.0],
        "load": [45.0, 44.0, 46.0],
        "battery_v": 408.0,
        "battery_v_neg": 407.5,
        "battery_i": 1.5,
        "battery_temp": 25.5,
        "inv_temp": 38.4,
        "minutes": 35,
        "charge": 100,
        "battery_count": 32,
        "battery_cap": 100,
        "pack_count": 2,
        "rated": [220, 50, 220, 50],
        "mode": "line",  # line, battery, bypass, test, standby, fault
        "battery_state": "float",  # float, boost, discharging, idle, disconnected
        "switches": {"input": 1, "maintenance": 0, "bypass": 1, "inverter": 1, "output": 1},
        "epo": 0,
        "buzzer": 1,
        "faults": [],
        "discharge_step": 0.0,  # regups_sim's ticker reads it
    }


# ---------------------------------------------------------------------------
# Faults: the bit each raises, per family, and the card signal it shows
# ---------------------------------------------------------------------------

FAULT_BITS = {
    "b": {"input": 41, "bypass": 44, "output": 56, "overload": 108, "low_battery": 87,
          "battery_bad": 45, "temperature": 104, "test_failed": 118, "fan": 77,
          "charger": 86, "fuse": 107, "system_off": 99},
    "c": {"general": 0, "output": 9, "overload": 18, "battery_bad": 19, "low_battery": 66,
          "temperature": 21, "fan": 58, "input": 59, "bypass": 31, "charger": 32},
    "d": {"battery_bad": 0, "low_battery": 2, "depleted": 3, "input": 4, "output": 5,
          "overload": 6, "bypass": 7, "general": 11},
}
FAULT_SIGNAL = {"general": 20017, "input": 20005, "bypass": 20009, "output": 20006,
                "overload": 20007, "low_battery": 20002, "depleted": 20003,
                "battery_bad": 20000, "test_failed": 20018, "charger": 20012, "fan": 20015,
                "fuse": 20016, "temperature": 20004, "system_off": 20014}


def has(s, fault):
    return fault in s["faults"]


def mains_ok(s):
    return not has(s, "input") and s["input_v"][0] > 0


def bypass_ok(s):
    return not has(s, "bypass") and s["bypass_v"][0] > 0


def inverter_on(s):
    return s["mode"] in ("line", "battery", "test")


def rectifier_on(s):
    return mains_ok(s) and s["switches"]["input"] and s["mode"] != "standby"


def discharging(s):
    return s["battery_state"] == "discharging"


# ---------------------------------------------------------------------------
# regups_b: second KYTO generation
# ---------------------------------------------------------------------------

B_MODE = {"line": 8, "battery": 9, "bypass": 4, "test": 10, "standby": 6, "fault": 3}
B_SOURCE = {"line": (3, 3), "battery": (5, 4), "bypass": (4, 2), "test": (5, 5),
            "standby": (2, 1), "fault": (2, 6)}
B_BATTERY_REG = {"disconnected": 1, "discharging": 3, "boost": 4, "float": 5, "idle": 0}


def b_flow(s):
    """Energy flow of the second generation's diagram: lines 1-15 (2 flows,
    1 live, 0 dead; battery line 9: 2 charging, 1 discharging, 3 idle, 0
    disconnected) and switches 1-4 (maintenance, bypass, inverter, output)."""
    sw = s["switches"]
    mok, rect, inv = mains_ok(s), rectifier_on(s), inverter_on(s)
    on_bypass = s["mode"] == "bypass"
    on_inverter = inv and not on_bypass
    bok, epo = bypass_ok(s), s["epo"]
    connected = s["battery_state"] != "disconnected"
    charging = s["battery_state"] in ("boost", "float")
    dis = discharging(s) or s["mode"] == "test"

    def f(flows, live=False):
        return 2 if flows else (1 if live else 0)

    line = [0] * 15
    line[0] = f(mok and sw["input"] and rect, mok)
    line[1] = f(mok and sw["input"] and rect, mok and sw["input"])
    line[2] = f(rect)
    line[3] = f(inv, rect or connected)
    line[4] = f(inv and on_inverter and sw["inverter"], inv)
    line[5] = f(inv and on_inverter and sw["inverter"] and not epo)
    line[6] = f(bok and on_bypass and sw["bypass"], bok)
    line[7] = f(bok and on_bypass and sw["bypass"], bok and sw["bypass"])
    line[8] = 0 if not connected else 1 if dis else 2 if charging else 3
    line[9] = f(bok and on_bypass and sw["bypass"] and not epo)
    line[10] = f(line[5] == 2 or line[9] == 2)
    line[11] = f(line[10] == 2 and sw["output"])
    line[12] = f(bok and sw["maintenance"], bok)
    line[13] = f(bok and sw["maintenance"])
    line[14] = f(line[11] == 2 or line[13] == 2)
    switches = [sw["maintenance"], sw["bypass"], sw["inverter"], sw["output"]]
    return line, [1 if x else 0 for x in switches]


def b_bits(s):
    bits = set(FAULT_BITS["b"][f] for f in s["faults"] if f in FAULT_BITS["b"])
    sw = s["switches"]
    running = {
        0: bypass_ok(s), 1: s["mode"] == "bypass", 3: sw["inverter"],
        4: s["battery_state"] == "boost", 5: s["battery_state"] == "float",
        6: discharging(s), 7: rectifier_on(s), 8: rectifier_on(s), 9: sw["maintenance"],
        12: s["battery_state"] != "disconnected", 13: sw["output"], 14: sw["bypass"],
        15: inverter_on(s), 16: inverter_on(s), 23: sw["input"], 91: s["epo"],
        126: inverter_on(s) and s["mode"] != "bypass", 131: s["mode"] == "test",
    }
    bits |= {b for b, on in running.items() if on}
    return {0x20 + i: (1 if i in bits else 0) for i in range(134)}


def b_line_register(k, v):
    if k == 8:  # battery line
        return {2: 0x0203, 1: 0x0204, 3: 0x0100, 0: 0x0300}[v]
    return {2: 0x0100, 1: 0x0200, 0: 0x0000}[v]


def b_input_registers(s):
    r = {}
    r[0] = (s["protocol"] // 100) << 8 | s["protocol"] % 100
    for i in range(3):
        r[4 + i] = scaled(s["input_f"][i], 0.01)
        r[7 + i] = scaled(s["input_i"][i], 0.1)
        r[13 + i] = scaled(s["input_v"][i], 0.1)
        r[17 + i] = scaled(s["bypass_v"][i], 0.1)
        r[26 + i] = scaled(s["output_v"][i], 0.1)
        r[29 + i] = scaled(s["output_i"][i], 0.1)
        r[35 + i] = scaled(s["output_w"][i], 0.1)
        r[38 + i] = scaled(s["output_va"][i], 0.1)
        r[44 + i] = scaled(s["output_pf"][i], 0.01)
        r[47 + i] = scaled(s["load"][i], 0.1)
    r[20] = scaled(s["bypass_f"], 0.01)
    r[32] = scaled(s["output_f"], 0.01)
    r[67] = scaled(s["battery_v"], 0.1)
    r[68] = scaled(s["battery_i"], 0.1)
    r[71] = scaled(s["battery_temp"], 0.1)
    r[76] = scaled(s["inv_temp"], 0.1)
    r[87] = B_MODE[s["mode"]]
    r[88] = u16(s["battery_cap"])
    r[89] = u16(s["battery_count"])
    r[90] = u16(s["pack_count"])
    r[91] = B_BATTERY_REG[s["battery_state"]]
    lines, switches = b_flow(s)
    for k, v in enumerate(lines):
        r[125 + k] = b_line_register(k, v)
    for k, v in enumerate(switches):
        r[140 + k] = 2 if v else 1
    r.update(identity_registers(s))
    return r


def identity_registers(s):
    """Identity block at 0x8000 (regups_b and regups_c)."""
    ident = s["ident"]
    code = ident["code"]
    regs = [0, code // 100 % 10, code // 10 % 10, code % 10]
    regs += text_regs_low_first(ident["attached"], 8)
    regs += text_regs_low_first(ident["model"], 8)
    regs += text_regs_low_first(ident["manufacturer"], 8)
    return {0x8000 + i: v for i, v in enumerate(regs)}


def text_signals(base, text, n=16):
    b = text.encode("latin-1")[:n]
    return {base + k: float(b[k]) if k < len(b) else 0.0 for k in range(n)}


def identity_expected(s):
    ident = s["ident"]
    e = {40096: float(ident["code"])}
    e.update(text_signals(40080, ident["attached"]))
    e.update(text_signals(40016, ident["model"]))
    e.update(text_signals(40000, ident["manufacturer"]))
    return e


def b_expected(s):
    e = identity_expected(s)
    e.update({40132: 3.0, 40163: 3.0, 40192: 3.0, 30010: s["protocol"] / 100.0})
    for i in range(3):
        e[40139 + i] = _q(s["input_f"][i], 0.01)
        e[40136 + i] = _q(s["input_i"][i], 0.1)
        e[40133 + i] = _q(s["input_v"][i], 0.1)
        e[40193 + i] = _q(s["bypass_v"][i], 0.1)
        e[40164 + i] = _q(s["output_v"][i], 0.1)
        e[40167 + i] = _q(s["output_i"][i], 0.1)
        e[40170 + i] = _q(s["output_w"][i], 0.1)
        e[40180 + i] = _q(s["output_va"][i], 0.1)
        e[40177 + i] = _q(s["output_pf"][i], 0.01)
        e[40173 + i] = _q(s["load"][i], 0.1)
    e[40191] = _q(s["bypass_f"], 0.01)
    e[40162] = _q(s["output_f"], 0.01)
    e[40105] = _q(s["battery_v"], 0.1)
    e[40106] = _q(s["battery_i"], 0.1)
    e[40107] = _q(s["battery_temp"], 0.1)
    e[40238] = _q(s["inv_temp"], 0.1)
    e[40117], e[40116], e[40118] = (float(s["battery_cap"]), float(s["battery_count"]),
                                    float(s["pack_count"]))
    mode = s["mode"]
    e[40161], e[40239] = map(float, B_SOURCE[mode])
    e[20023] = 1.0 if mode == "test" else 0.0
    e[20064] = 1.0 if mode == "line" else 0.0
    for fault, sig in FAULT_SIGNAL.items():
        if fault in FAULT_BITS["b"]:
            e[sig] = 1.0 if has(s, fault) else 0.0
    b = s["battery_state"]
    on_battery = discharging(s) or mode == "battery"
    e[20001] = float(on_battery)
    e[20026] = float(discharging(s))
    e[20008] = float(mode == "bypass")
    e[20027] = float(b == "boost")
    e[20028] = float(b == "float")
    e[20024] = float(rectifier_on(s))
    e[20025] = float(inverter_on(s))
    e[20017] = float(mode == "fault")
    e[20062] = float(b == "disconnected")
    e[20031] = float(not s["switches"]["output"])
    bad, low = has(s, "battery_bad"), has(s, "low_battery")
    if s["protocol"] >= 260:
        st = {1: 1, 2: 9, 3: 8, 4: 6, 5: 7, 6: 5}.get(B_BATTERY_REG[b])
        e[40101] = float(st if st else (4 if bad else 3 if low else 2))
    else:
        e[40101] = float(1 if b == "disconnected" else 5 if mode == "test" else 4 if bad
                         else 3 if low else 8 if on_battery else 6 if b == "boost"
                         else 7 if b == "float" else 2)
    lines, switches = b_flow(s)
    for k, v in enumerate(lines):
        e[40216 + k] = float(v)
    for k, v in enumerate(switches):
        e[40231 + k] = float(v)
    return e


# ---------------------------------------------------------------------------
# regups_c: third KYTO family
# ---------------------------------------------------------------------------

C_MODE = {"line": 3, "battery": 4, "bypass": 2, "test": 5, "standby": 0, "fault": 1}
C_SOURCE = {3: 3, 4: 5, 5: 5, 2: 4}


def c_flow(s):
    """The UPS's own seven lines (1 on) and six switches (1 closed): mains to
    rectifier, rectifier to inverter, inverter to output, bypass to output,
    output to load, battery charging, battery discharging; input, bypass,
    maintenance, inverter, output and battery switches."""
    mode = s["mode"]
    inv = inverter_on(s)
    lines = [rectifier_on(s), rectifier_on(s) and inv, inv, mode == "bypass",
             mode != "standby", s["battery_state"] in ("boost", "float"),
             discharging(s) or mode == "test"]
    sw = s["switches"]
    switches = [sw["input"], sw["bypass"], sw["maintenance"], sw["inverter"], sw["output"],
                s["battery_state"] != "disconnected"]
    return [1 if x else 0 for x in lines], [1 if x else 0 for x in switches]


def c_input_registers(s):
    r = {}
    for i in range(3):
        r[1 + i] = u16(s["input_v"][i])
        r[4 + i] = scaled(s["input_f"][i], 0.1)
        r[7 + i] = u16(s["bypass_v"][i])
        r[13 + i] = scaled(s["output_v"][i], 0.1)
        r[16 + i] = scaled(s["output_i"][i], 0.1)
        r[22 + i] = u16(s["output_w"][i])
        r[25 + i] = u16(s["output_va"][i])
        r[28 + i] = u16(s["load"][i])
    r[10] = scaled(s["bypass_f"], 0.1)
    r[19] = scaled(s["output_f"], 0.1)
    r[33] = scaled(s["battery_i"], 0.1)
    r[36] = u16(s["battery_v"])
    r[38] = u16(s["charge"])
    r[39] = u16(s["minutes"])
    r[40] = u16(s["battery_temp"])
    r[45] = C_MODE[s["mode"]]
    lines, switches = c_flow(s)
    for k, v in enumerate(lines):
        r[0x37 + k] = v
    for k, v in enumerate(switches):
        r[0x37 + 7 + k] = 2 if v else 1
    r.update(identity_registers(s))
    return r


def c_bits(s):
    bits = set(FAULT_BITS["c"][f] for f in s["faults"] if f in FAULT_BITS["c"])
    return {i: (1 if i in bits else 0) for i in range(99)}


def c_expected(s):
    e = identity_expected(s)
    e.update({40132: 3.0, 40163: 3.0, 40192: 3.0})
    for i in range(3):
        e[40133 + i] = _q(s["input_v"][i], 1)
        e[40139 + i] = _q(s["input_f"][i], 0.1)
        e[40193 + i] = _q(s["bypass_v"][i], 1)
        e[40164 + i] = _q(s["output_v"][i], 0.1)
        e[40167 + i] = _q(s["output_i"][i], 0.1)
        e[40170 + i] = _q(s["output_w"][i], 1)
        e[40180 + i] = _q(s["output_va"][i], 1)
        e[40173 + i] = _q(s["load"][i], 1)
    e[40191] = _q(s["bypass_f"], 0.1)
    e[40162] = _q(s["output_f"], 0.1)
    e[40106] = _q(s["battery_i"], 0.1)
    e[40105] = _q(s["battery_v"], 1)
    e[40104] = float(s["charge"])
    e[40103] = float(s["minutes"])
    e[40107] = _q(s["battery_temp"], 1)
    source = C_SOURCE.get(C_MODE[s["mode"]], 0)
    e[40161] = float(source)
    e[20001], e[20008], e[20064] = float(source == 5), float(source == 4), float(source == 3)
    for fault, sig in FAULT_SIGNAL.items():
        if fault in FAULT_BITS["c"]:
            e[sig] = 1.0 if has(s, fault) else 0.0
    lines, switches = c_flow(s)
    for k, v in enumerate(lines):
        e[40216 + k] = float(v)
    for k, v in enumerate(switches):
        e[40231 + k] = float(v)
    return e


# ---------------------------------------------------------------------------
# regups_d: another make
# ---------------------------------------------------------------------------

D_WAY = {"line": 3, "bypass": 4, "battery": 5, "test": 5, "standby": 1, "fault": 1}
D_SYSTEM = {"fault": 1}  # system state register; 3 otherwise
D_RUN = {"discharging": 0, "boost": 1, "float": 2}  # battery run state; 3 otherwise


def d_alarm_bits(s):
    bits = set(FAULT_BITS["d"][f] for f in s["faults"] if f in FAULT_BITS["d"])
    if discharging(s) or s["mode"] == "battery":
        bits.add(1)
    if s["mode"] == "bypass":
        bits.add(8)
    if s["mode"] != "standby":
        bits.add(9)  # the UPS system is on
    if s["mode"] == "test":
        bits.add(10)
    if s["buzzer"]:
        bits.add(12)
    return bits


def d_battery_alarm(s):
    return 3 if has(s, "low_battery") else 1 if s["battery_state"] == "disconnected" else 0


def d_input_registers(s):
    r = {}
    base = 0x1388
    m = [0] * 45
    m[0] = d_battery_alarm(s)
    m[1] = u16(s["minutes"])
    m[2] = u16(s["charge"])
    m[3] = scaled(s["battery_temp"], 0.1)
    m[4] = 3
    m[5] = scaled(s["input_f"][0], 0.01)
    for i in range(3):
        m[6 + i] = scaled(s["input_v"][i], 0.1)
        m[9 + i] = u16(s["input_i"][i])
        m[15 + i] = scaled(s["output_v"][i], 0.1)
        m[18 + i] = u16(s["output_i"][i])
        m[21 + i] = scaled(s["output_w"][i], 0.1)
        m[24 + i] = scaled(s["load"][i], 0.1)
        m[29 + i] = scaled(s["bypass_v"][i], 0.1)
        m[32 + i] = u16(s["bypass_i"][i])
        m[35 + i] = scaled(s["bypass_w"][i], 0.1)
    m[12] = D_WAY[s["mode"]]
    m[13] = 3
    m[14] = scaled(s["output_f"], 0.01)
    m[27] = 3
    m[28] = scaled(s["bypass_f"], 0.01)
    m[38:42] = [u16(x) for x in s["rated"]]
    r.update({base + i: v for i, v in enumerate(m)})
    ident = s["ident"]
    text = bytearray(152)
    for offset, t, n in ((0, ident["manufacturer"], 16), (64, ident["model"], 16),
                         (128, ident["version"], 8), (136, ident["agent"], 8)):
        b = t.encode("latin-1")[:n]
        text[offset:offset + len(b)] = b
    r.update({0x13B5 + i: text[2 * i] << 8 | text[2 * i + 1] for i in range(76)})
    b = [0] * 16
    b[0] = D_SYSTEM.get(s["mode"], 3)
    b[2] = D_RUN.get(s["battery_state"], 3)
    for i in range(3):
        b[4 + i] = scaled(s["output_va"][i], 0.1)
        b[7 + i] = scaled(s["bypass_va"][i], 0.1)
    b[10] = scaled(s["battery_v"], 0.1)
    b[11] = scaled(s["battery_v_neg"], 0.1)
    b[12] = u16(abs(s["battery_i"])) if discharging(s) else 0
    b[14] = scaled(abs(s["battery_i"]), 0.1) if not discharging(s) else 0
    r.update({0x1409 + i: v for i, v in enumerate(b)})
    return r


def d_expected(s):
    e = {}
    bits = d_alarm_bits(s)
    for k, sig in ((0, 20000), (1, 20001), (2, 20002), (3, 20003), (4, 20005), (5, 20006),
                   (6, 20007), (7, 20009), (8, 20008), (10, 20023), (11, 20017)):
        e[sig] = float(k in bits)
    e[20014] = float(9 not in bits)
    e[30007] = float(12 in bits)
    e[40103], e[40104] = float(s["minutes"]), float(s["charge"])
    if 0 < s["battery_temp"] < 100:
        e[40107] = _q(s["battery_temp"], 0.1)
    e[40132] = 3.0
    for i in range(3):
        e[40139 + i] = _q(s["input_f"][0], 0.01)
        e[40133 + i] = _q(s["input_v"][i], 0.1)
        e[40136 + i] = _q(s["input_i"][i], 1)
        e[40164 + i] = _q(s["output_v"][i], 0.1)
        e[40167 + i] = _q(s["output_i"][i], 1)
        e[40170 + i] = _q(s["output_w"][i], 0.1)
        e[40173 + i] = _q(s["load"][i], 0.1)
        e[40193 + i] = _q(s["bypass_v"][i], 0.1)
        e[40196 + i] = _q(s["bypass_i"][i], 1)
        e[40199 + i] = _q(s["bypass_w"][i], 0.1)
        e[40180 + i] = _q(s["output_va"][i], 0.1)
        e[40205 + i] = _q(s["bypass_va"][i], 0.1)
    way = D_WAY[s["mode"]]
    e[40161], e[40163], e[40162] = float(way), 3.0, _q(s["output_f"], 0.01)
    e[40192], e[40191] = 3.0, _q(s["bypass_f"], 0.01)
    for k in range(4):
        e[30000 + k] = float(s["rated"][k])
    ident = s["ident"]
    e.update(text_signals(40000, ident["manufacturer"]))
    e.update(text_signals(40016, ident["model"]))
    e.update(text_signals(40032, ident["version"], 8))
    e.update(text_signals(40048, ident["agent"], 8))
    run = D_RUN.get(s["battery_state"], 3)
    e[20026], e[20027], e[20028] = float(run == 0), float(run == 1), float(run == 2)
    e[40105] = e[40108] = _q(s["battery_v"], 0.1)
    e[40109] = _q(s["battery_v_neg"], 0.1)
    e[40106] = (_q(abs(s["battery_i"]), 1) if run == 0 else
                _q(abs(s["battery_i"]), 0.1) if not discharging(s) else 0.0)
    # derived once the cycle is in
    a, system = d_battery_alarm(s), D_SYSTEM.get(s["mode"], 3)
    if 0 in bits:
        st = 4
    elif 1 in bits or run == 0:
        st = 8
    elif 2 in bits or 3 in bits or a in (3, 4):
        st = 3
    else:
        st = {1: 5, 2: 7}.get(run, 1 if a == 1 else 2)
    e[40101] = float(st)
    e[40239] = float(6 if system == 1 else 3 if way == 3 else 2 if way == 4 else
                     4 if way == 5 else 1)
    e[20064] = float(way == 3)
    inp, batt = s["input_v"][0] > 0, s["battery_v"] > 0
    bline = 0 if not batt else (2 if run == 0 else 1)
    if way == 4:
        lines = [1, inp, inp, bline == 2, bline == 2, 1, bline]
    elif way == 5:
        lines = [0, inp, inp, 1, 1, 1, 2]
    else:
        lines = [0, inp, inp, inp or batt, inp or batt, s["output_v"][0] > 0, bline]
    for k, v in enumerate(lines):
        e[40216 + k] = float(v)
    return e


# ---------------------------------------------------------------------------
# Scenarios and control writes
# ---------------------------------------------------------------------------


def _add(s, fault):
    if fault not in s["faults"]:
        s["faults"].append(fault)


def apply_scenario(s, name):
    if name == "normal":
        fresh = default_state(s["model"])
        fresh["addr"], fresh["ident"], fresh["protocol"] = s["addr"], s["ident"], s["protocol"]
        s.clear()
        s.update(fresh)
    elif name in ("mains_failure", "low_battery"):
        s["input_v"], s["input_i"], s["input_f"] = [0.0] * 3, [0.0] * 3, [0.0] * 3
        s["bypass_v"], s["bypass_f"] = [0.0] * 3, 0.0
        s["mode"], s["battery_state"], s["battery_i"] = "battery", "discharging", -12.5
        s["minutes"], s["charge"] = 30, 95
        _add(s, "input")
        if name == "low_battery":
            s["battery_v"], s["minutes"], s["charge"] = 360.0, 4, 20
            _add(s, "low_battery")
    elif name == "mains_return":
        d = default_state(s["model"])
        for k in ("input_v", "input_i", "input_f", "bypass_v", "bypass_f", "battery_v",
                  "battery_i"):
            s[k] = d[k]
        s["mode"], s["battery_state"], s["minutes"] = "line", "boost", 30
        s["faults"] = [f for f in s["faults"] if f not in ("input", "low_battery")]
    elif name == "bypass":
        s["mode"] = "bypass"
        s["bypass_w"], s["bypass_va"] = list(s["output_w"]), list(s["output_va"])
    elif name == "test":
        s["mode"] = "test"
    elif name in ("test_end", "wake"):
        s["mode"] = "line"
    elif name == "standby":
        s["mode"], s["output_v"], s["output_i"] = "standby", [0.0] * 3, [0.0] * 3
    elif name == "battery_disconnected":
        s["battery_state"], s["battery_v"], s["battery_i"] = "disconnected", 0.0, 0.0
    elif name == "maintenance":
        s["switches"]["maintenance"], s["switches"]["output"] = 1, 0
    elif name == "epo":
        s["epo"] = 1
    elif name.startswith("fault:"):
        fault = name[len("fault:"):]
        if fault == "clear":
            s["faults"] = []
        elif fault.startswith("-"):
            s["faults"] = [f for f in s["faults"] if f != fault[1:]]
        elif fault in FAULT_BITS[family(s["model"])]:
            _add(s, fault)
        else:
            raise ValueError("model %s has no fault %r" % (s["model"], fault))
    else:
        raise ValueError("unknown scenario %r" % name)
    return s


CONTROL_EFFECTS = {  # (family, fc, register, value or None for any) -> scenario
    ("b", 6, 0x0001, None): "test", ("b", 6, 0x0002, None): "test",
    ("b", 6, 0x0004, None): "test_end", ("b", 6, 0x0018, None): "standby",
    ("b", 6, 0x0005, None): "wake", ("b", 6, 0x000E, None): "wake",
    ("b", 6, 0x0019, None): "fault:clear",
    ("c", 6, 0x0001, None): "test", ("c", 6, 0x0002, None): "test",
    ("c", 6, 0x0006, None): "test", ("c", 6, 0x0004, None): "test_end",
    ("c", 6, 0x0007, 12): "standby", ("c", 6, 0x0005, None): "wake",
    ("d", 5, 0x170C, 0): "standby", ("d", 5, 0x170C, 1): "wake",
}


class FamilySimulator(regups_sim.Simulator):
    """regups_sim's Simulator with this family's state, layouts and rules."""

    def __init__(self, model="b", addr=1, pace_baud=0, bits_per_char=10):
        super().__init__(299, addr, pace_baud, bits_per_char)
        self.state = default_state(model)
        self.state["addr"] = addr

    def set_model(self, code):
        addr = self.state["addr"]
        self.state = default_state(code)
        self.state["addr"] = addr

    def set_field(self, field, value):
        s = self.state
        if field in ("manufacturer", "model_text", "attached", "code", "version"):
            s["ident"]["model" if field == "model_text" else field] = value
        elif field in s["switches"]:
            s["switches"][field] = int(value)
        elif field in s and field not in ("model", "ident", "switches"):
            old = s[field]
            s[field] = [value] * len(old) if isinstance(old, list) and \
                not isinstance(value, list) else value
        else:
            raise ValueError("unknown field %r" % field)

    def scenario(self, name):
        mode = name.partition(":")[0]
        if mode in regups_sim.REPLY_MODES:
            super().scenario(name)
        else:
            apply_scenario(self.state, name)

    def table(self, fc):
        fam = family(self.state["model"])
        if fc == 4:
            return {"b": b_input_registers, "c": c_input_registers,
                    "d": d_input_registers}[fam](self.state)
        if fc == 2:
            if fam == "d":
                bits = d_alarm_bits(self.state)
                return {0x1388 + i: (1 if i in bits else 0) for i in range(16)}
            return {"b": b_bits, "c": c_bits}[fam](self.state)
        return {}

    def expected(self):
        fam = family(self.state["model"])
        return {"b": b_expected, "c": c_expected, "d": d_expected}[fam](self.state)

    def control_effect(self, reg, values):
        s = self.state
        fam = family(s["model"])
        v = values[0] if values else 0
        if fam == "d" and reg == 0x151A and v in (1, 2):
            s["buzzer"] = 1 if v == 1 else 0
            return
        for fc in (5, 6):
            for key in ((fam, fc, reg, v), (fam, fc, reg, None)):
                if key in CONTROL_EFFECTS:
                    apply_scenario(s, CONTROL_EFFECTS[key])
                    return


def main(argv=None):
    regups_sim.main(argv, sim_class=FamilySimulator, models=model_key)


if __name__ == "__main__":
    main()
