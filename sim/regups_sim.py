#!/usr/bin/python3
"""Register-map UPS simulator (the regups_a family) on a serial line.

One model of UPS state (voltages, currents, frequencies, load, battery,
operating mode, switch positions, faults, identity texts) is encoded into the
Modbus registers and discrete inputs of the selected register layout:

  model 299    layout G, commands 0,1,2,3 (switch/battery register, test state)
  model 297    layout G, version area holds a number
  model 290    layout G, any other code (version text parsed by the driver)
  model 222    layout 222 (signed values, +/- battery strings, versions)
  model AAAA   the alternative layout (protocol word 0xAAAA, rating block)

The encoder works from the register tables of the driver documentation; the
expected card signals are derived from the same state by `expected_signals`,
which works at the signal level (what each state means), not from registers,
so a test comparing the two checks the card's decoding end to end.

It serves Modbus RTU through pymodbus's serial server on a pseudo-terminal,
records every write (control registers 0x8000-0x800A, parameter blocks at
0xFF00), logs every request, can answer wrongly on purpose (silent, bad CRC,
exception) and can pace its replies at a line speed.

Scenarios (the "scenario" command, --scenario): normal, mains_failure,
low_battery, depleted, discharge, mains_return, bypass, overload, test,
test_end, battery_disconnected, eco, standby; "fault:<name>" adds a fault,
"fault:-<name>" drops it, "fault:clear" drops them all. Fault names are the
keys of FAULT_BITS (an alarm the UPS shows in every map it has), an AAAA
fault bit name "e02Reg_E_<bit>", or a raw map bit "A67"/"B211"/"C59" (map B
counted from input 208). Two of them carry low battery in one map only, as
some 299 firmware does: "low_battery_a" (map A bit 67, map B clear) and
"low_battery_b" (map B bit 211, map A clear); the card is expected to show
20002 = 1 for either. {"cmd":"set","field":"faults","value":[...]} swaps the
whole fault list at once (no poll sees a state between the two lists).

Control: a line-based TCP server on 127.0.0.1 (one JSON object per line in
each direction); `SimClient` (simcore.py) is its Python client. Commands:
  {"cmd":"ping"}  {"cmd":"scenario","name":N}  {"cmd":"set","field":F,"value":V}
  {"cmd":"model","code":C}  {"cmd":"state"}  {"cmd":"expected"}
  {"cmd":"writes"}  {"cmd":"clear_writes"}
  {"cmd":"requests","since":K}  {"cmd":"clear_requests"}
  {"cmd":"reply_mode","mode":M,"scope":"all|read|write|fcN","count":N}
  {"cmd":"pace","baud":B}  {"cmd":"quit"}
Answers: {"ok":true,"result":...} or {"ok":false,"error":"..."}.

Run: regups_sim.py --device /dev/pts/N ...   (serve an existing tty)
     regups_sim.py --link /tmp/ttyUPS ...    (make a socat pair; the card
                                              opens /tmp/ttyUPS)
Once serving it prints one line "READY {json}" with the control port, the
simulator's tty and the card's tty (and writes the same JSON to --ready-file).
"""

import argparse
import asyncio
import copy
import logging
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simcore  # noqa: E402
from simcore import SimClient, start_socat  # noqa: E402,F401  (re-exported for callers)

# --------------------------------------------------------------------------
# UPS state
# --------------------------------------------------------------------------

BATTERY_STATES = {  # battery state field B of the status register
    "disconnected": 0,
    "idle": 1,
    "boost": 2,
    "float": 3,
    "charging": 4,
    "discharging": 5,
}

# Operating mode codes on the wire.
MODE_CODES_G = {"standby": 0, "line": 1, "battery": 2, "eco": 3, "bypass": 4}
MODE_CODES_AAAA = {"standby": 0, "line": 4, "battery": 5, "bypass": 3, "eco": 4}
AAAA_TEST_MODE = 6

# What the card reports for each operating mode: output source, work mode.
MODE_SOURCE = {
    "standby": (2, 1),
    "line": (3, 3),
    "battery": (5, 4),
    "eco": (8, 3),
    "bypass": (4, 2),
}

# Output/inverter field (bits 1-2 of the status high byte).
OUTPUT_STATES = {"output_off": 0, "other": 1, "inverter": 2}

MODELS = {
    299: dict(
        protocol=1,
        code=299,
        manufacturer="KYTO",
        model="KR33-299",
        version="V2.80",
        name="UPS-299",
        attached="BATT-CAB-1",
        lines=(3, 1, 1),
    ),
    297: dict(
        protocol=1,
        code=297,
        manufacturer="KYTO",
        model="KR33-297",
        version=123,
        name="UPS-297",
        attached="NONE",
        lines=(3, 3, 3),
    ),
    290: dict(
        protocol=1,
        code=290,
        manufacturer="KYTO",
        model="KR33-290",
        version="V2.70",
        name="UPS-290",
        attached="BATT-CAB-2",
        lines=(3, 1, 1),
    ),
    222: dict(
        protocol=1,
        code=222,
        manufacturer="KYTO",
        model="KR-222-HF",
        version="V222B001",
        name="UPS-222",
        attached="PACK-222",
        lines=(3, 3, 3),
        rectifier="R012",
        inverter="I034",
    ),
    "AAAA": dict(
        protocol=0xAAAA,
        code=301,
        manufacturer="KYTO",
        model="KR-AAAA-10K",
        version="V3.10",
        name="UPS-AAAA",
        attached="EXT-BATT",
        lines=(3, 1, 1),
    ),
}


def model_key(code):
    """Normalise a model code: 299, "297", "aaaa", 0xAAAA ..."""
    if isinstance(code, str):
        if code.upper() in ("AAAA", "0XAAAA"):
            return "AAAA"
        code = int(code)
    if code == 0xAAAA:
        return "AAAA"
    return int(code)


def default_state(model=299):
    key = model_key(model)
    ident = copy.deepcopy(MODELS.get(key, None))
    if ident is None:  # any other G code: same as 290 with that code
        ident = copy.deepcopy(MODELS[290])
        ident["code"] = key
        ident["model"] = "KR33-%d" % key
    return {
        "model": key,
        "addr": 1,
        "ident": ident,
        "input_lines": ident["lines"][0],
        "output_lines": ident["lines"][1],
        "bypass_lines": ident["lines"][2],
        "bypass_v": [230.0, 230.5, 229.5],
        "bypass_i": [0.0, 0.0, 0.0],
        "bypass_f": 50.0,
        "bypass_pf": [0.99, 0.98, 0.97],
        "input_v": [231.2, 230.8, 229.9],
        "input_i": [10.2, 10.4, 10.1],
        "input_f": [50.0, 50.1, 49.9],
        "input_pf": [0.98, 0.97, 0.99],
        "output_v": [220.0, 220.1, 219.9],
        "output_i": [15.0, 14.8, 15.2],
        "output_f": 50.0,
        "output_pf": [0.9, 0.91, 0.89],
        "output_va": [3.3, 3.2, 3.4],
        "output_w": [3.0, 2.9, 3.1],
        "load": [45.0, 44.0, 46.0],
        "battery_v": 240.5,
        "battery_v_neg": 239.8,
        "battery_i": 1.5,
        "battery_i_neg": 1.4,
        "battery_temp": 25.5,
        "battery_count": 20,
        "battery_cap": 100,
        "minutes": 35,
        "charge": 100.0,
        "rect_temp": 35.2,
        "inv_temp": 38.4,
        "rated_va": 10000,
        "rated_in_v": 220,
        "rated_in_f": 50,
        "rated_out_v": 220,
        "rated_out_f": 50,
        "energyflow": [1, 1, 1, 1, 0, 0, 0],
        "battery_state": "float",
        "mode": "line",
        "test": False,
        "input_switch": 1,
        "bypass_switch": 0,
        "output_state": "inverter",
        "faults": [],  # semantic fault names, or raw bits "A71", "B35", "C29"
        "buzzer": 1,
        "discharge_step": 0.0,  # charge % lost per second by "discharge"
    }


# --------------------------------------------------------------------------
# Alarm bit maps
# --------------------------------------------------------------------------

# Bit set for each semantic fault, per map (A: discrete inputs 0-111 of layout
# G; B: discrete inputs 208-689, index = input - 208; C: inputs 0-95, AAAA).
FAULT_BITS = {
    "general": {"A": [0], "B": [128], "C": [0]},
    "input": {"A": [32], "B": [256], "C": [53]},
    "bypass": {"A": [36], "B": [160], "C": [64]},
    "output": {"A": [48], "B": [193], "C": [9]},
    "overload": {"A": [52], "B": [132], "C": [51]},
    "low_battery": {"A": [67], "B": [211], "C": [59]},
    # The same alarm carried by one map only (a 299 firmware may set it in
    # one map and not in the other): the card must still show it all along.
    "low_battery_a": {"A": [67]},
    "low_battery_b": {"B": [211]},
    "depleted": {"A": [68], "B": [208], "C": [70]},
    "battery_bad": {"A": [71], "B": [213], "C": [77]},
    "test_failed": {"A": [70], "C": [73]},
    "charger": {"A": [76], "B": [278], "C": [56]},
    "fan": {"A": [96], "B": [180], "C": [29]},
    "fuse": {"B": [267]},
    "temperature": {"A": [104], "B": [320], "C": [8]},
    "system_off": {"B": [183]},
}

# Card signal raised by each semantic fault.
FAULT_SIGNAL = {
    "general": 20017,
    "input": 20005,
    "bypass": 20009,
    "output": 20006,
    "overload": 20007,
    "low_battery": 20002,
    "low_battery_a": 20002,
    "low_battery_b": 20002,
    "depleted": 20003,
    "battery_bad": 20000,
    "test_failed": 20018,
    "charger": 20012,
    "fan": 20015,
    "fuse": 20016,
    "temperature": 20004,
    "system_off": 20014,
}

MAP_SIZE = {"A": 112, "B": 482, "C": 96}
MAP_B_BASE = 208

# Fault register bit names of the AAAA layout (map C), usable as fault names.
E02_BITS = {
    "BusOverVolt01": 0, "BusUnderVolt": 1, "Unbalance": 2, "SoftStartFail": 3,
    "InvSoftStartFail": 4, "InvOverVolt": 5, "InvUnderVolt": 6, "InvForbid": 7,
    "OverTemperature": 8, "OutputShorted": 9, "Overload": 10,
    "InvNPowerAbnormal": 11, "ShutdownFault": 12, "SynchronousPulseLoss01": 15,
    "InvRelayShort": 16, "BusShort": 17, "CanCommunicationAbnormal": 18,
    "PhysicalAddressConflict": 19, "ParallelModelIncompatible": 20,
    "InputSCRSoftFail": 22, "InvAbnormal": 24, "ParallelBypWiringError": 25,
    "InvRelayOpened": 26, "RectifierFault01": 27, "InvCapAbnormal": 28,
    "FanFault01": 29, "Epo": 30, "ApsLoss": 31, "ParallelCablesAbnormal": 48,
    "ParallelSettingsError": 49, "OverloadAlarm": 51, "InputOverCurr01": 53,
    "StartupAbnormal": 55, "BattChargerFault": 56, "EepromAbnormal": 57,
    "InputOverCurrTimeOut": 58, "BattVoltLow": 59, "AdsampleAbnormal": 60,
    "SynchronousPulseLoss02": 61, "SynchronousSiglAbnormal02": 62,
    "BypVoltAbnormal": 64, "BypFault01": 65, "MainsVoltAbnormal": 66,
    "MainsFreqAbnormal": 67, "BypFreqOverTrack": 68,
    "BypToInvTransferTimes": 69, "BattEndOfDischarge": 70,
    "ForbiddenStartupUps": 72, "BattTestFail": 73,
    "ParallelCurrentUnbalance": 74, "InvPLLFail": 75,
    "BattMaintenanceAbnormal": 77, "RectifierFault02": 80,
    "Bus2BatTransferTimes": 81, "InputAbnormal": 82, "BypFreqAbnormal": 84,
    "InvOutputVoltDetAbnormal": 85, "BattVoltAbnormal": 86,
    "BypOutputVoltDetAbnormal": 87, "InvVoltAbnormal": 88, "BypManualOn": 89,
    "OverTempTimes": 90, "BattNumSetAbnormal": 91, "OverloadFreq": 95,
}


def layout_of(state):
    ident = state["ident"]
    if ident["code"] == 222:
        return "222"
    if ident["protocol"] == 0xAAAA:
        return "AAAA"
    return "G"


def map_bits(state, which):
    """Bit array (list of 0/1) of alarm map A, B or C for the state."""
    bits = [0] * MAP_SIZE[which]
    code = state["ident"]["code"]
    for fault in state["faults"]:
        if fault in FAULT_BITS:
            for b in FAULT_BITS[fault].get(which, []):
                bits[b] = 1
        elif fault.startswith("e02Reg_E_") and which == "C":
            bits[E02_BITS[fault[len("e02Reg_E_"):]]] = 1
        elif len(fault) > 1 and fault[0] == which and fault[1:].isdigit():
            n = int(fault[1:])
            if n < len(bits):
                bits[n] = 1
    # Running states the maps carry as well (firmware 299 and 222 only; older
    # G firmware leaves these inputs at 0).
    if which == "A" and code == 299 and state["battery_state"] == "disconnected":
        bits[64] = 1
    if which == "B" and code in (299, 222) and state["output_state"] == "inverter":
        bits[143] = 1
    if which == "B" and code == 222 and state["input_switch"]:
        bits[35] = 1
    return bits


# --------------------------------------------------------------------------
# Register encoding
# --------------------------------------------------------------------------


def u16(v):
    """A value as a 16-bit register (two's complement for negatives)."""
    v = int(round(v))
    if v < -32768 or v > 65535:
        raise ValueError("value %r does not fit a register" % v)
    return v & 0xFFFF


def scaled(v, factor):
    return u16(round(v / factor))


def text_regs_low_first(text, nregs):
    """Two characters per register, the first in the low byte."""
    b = text.encode("latin-1")[: 2 * nregs].ljust(2 * nregs, b"\0")
    return [b[2 * i] | (b[2 * i + 1] << 8) for i in range(nregs)]


def text_regs_wire(text, nregs):
    """Two characters per register in wire order (first in the high byte)."""
    b = text.encode("latin-1")[: 2 * nregs].ljust(2 * nregs, b"\0")
    return [(b[2 * i] << 8) | b[2 * i + 1] for i in range(nregs)]


def status_register(state, new_input_coding):
    """Switch and battery state register: L = low byte, H = high byte."""
    low = (BATTERY_STATES[state["battery_state"]] & 7) << 4
    high = OUTPUT_STATES[state["output_state"]] << 1
    if not state["bypass_switch"]:
        low |= 0x80  # bypass switch reads open unless both bits are 0
    if new_input_coding:
        field = 1 if state["input_switch"] else 0
    else:
        field = 0 if state["input_switch"] else 1
    high |= field << 3
    return (high << 8) | low


def energyflow_register(state):
    ef = state["energyflow"]
    low = sum((ef[i] & 3) << (2 * i) for i in range(4))
    high = sum((ef[4 + i] & 3) << (2 * i) for i in range(3))
    return (high << 8) | low


def version_number(text):
    """The version the driver derives from a version text (0 if none)."""
    if not isinstance(text, str):
        return 0.0
    dot = text.rfind(".")
    if dot <= 0:
        return 0.0
    digits = "".join(c for c in text[:dot] if c.isdigit())
    value = float(int(digits)) if digits else 0.0
    if dot + 1 < len(text) and text[dot + 1].isdigit():
        value += int(text[dot + 1]) / 10.0
    return value


def new_input_coding(state):
    """Firmware above 2.75 reports a closed input switch as field value 1."""
    ident = state["ident"]
    if ident["code"] in (222, 297):
        return False
    return version_number(ident["version"]) > 2.75


def measurement_block(state, load_factor):
    """Registers 0-47, common to the three layouts."""
    r = [0] * 48
    s = state
    for i in range(3):
        r[0 + i] = scaled(s["bypass_v"][i], 0.1)
        r[3 + i] = scaled(s["bypass_i"][i], 0.1)
        r[9 + i] = scaled(s["bypass_pf"][i], 0.01)
        r[12 + i] = scaled(s["input_v"][i], 0.1)
        r[15 + i] = scaled(s["input_i"][i], 0.1)
        r[18 + i] = scaled(s["input_f"][i], 0.1)
        r[21 + i] = scaled(s["input_pf"][i], 0.01)
        r[24 + i] = scaled(s["output_v"][i], 0.1)
        r[27 + i] = scaled(s["output_i"][i], 0.1)
        r[33 + i] = scaled(s["output_pf"][i], 0.01)
        r[36 + i] = scaled(s["output_va"][i], 0.1)
        r[39 + i] = scaled(s["output_w"][i], 0.1)
        r[45 + i] = scaled(s["load"][i], load_factor)
    r[6] = scaled(s["bypass_f"], 0.1)
    r[30] = scaled(s["output_f"], 0.1)
    return r


def main_block_g(state):
    s = state
    r = measurement_block(s, 1) + [0] * 30
    r[49] = scaled(s["battery_v"], 0.1)
    r[51] = scaled(s["battery_i"], 0.1)
    r[53] = scaled(s["battery_temp"], 0.1)
    r[54] = u16(s["battery_count"])
    r[55] = u16(s["battery_cap"])
    r[56] = u16(s["minutes"])
    r[57] = u16(s["charge"])
    r[59] = scaled(s["rect_temp"], 0.1)
    r[60] = scaled(s["inv_temp"], 0.1)
    r[61] = u16(s["rated_va"])
    r[63] = u16(s["rated_in_v"])
    r[64] = u16(s["rated_in_f"])
    r[65] = u16(s["rated_out_v"])
    r[66] = u16(s["rated_out_f"])
    r[67] = energyflow_register(s)
    code = s["ident"]["code"]
    if code == 299:
        r[69] = status_register(s, new_input_coding(s))
        r[70] = 1 if s["input_lines"] == 3 else 0
    else:
        lines = (s["input_lines"], s["output_lines"], s["bypass_lines"])
        r[70] = {(1, 1, 1): 0, (3, 1, 1): 1, (3, 3, 3): 2}.get(lines, 9)
    r[71] = MODE_CODES_G[s["mode"]]
    r[72] = 6 if s["test"] else 0
    return r


def main_block_222(state):
    s = state
    r = measurement_block(s, 0.1) + [0] * 30
    r[49] = scaled(s["battery_v"], 0.1)
    r[50] = scaled(s["battery_v_neg"], 0.1)
    r[51] = scaled(s["battery_i"], 0.1)
    r[52] = scaled(s["battery_i_neg"], 0.1)
    r[53] = scaled(s["battery_temp"], 0.1)
    r[56] = u16(s["minutes"])
    r[57] = scaled(s["charge"], 0.1)
    r[59] = scaled(s["rect_temp"], 0.1)
    r[60] = scaled(s["inv_temp"], 0.1)
    r[61] = u16(s["rated_va"])
    r[63] = u16(s["rated_in_v"])
    r[64] = u16(s["rated_in_f"])
    r[65] = u16(s["rated_out_v"])
    r[66] = u16(s["rated_out_f"])
    r[67] = energyflow_register(s)
    r[70] = 2
    r[71] = MODE_CODES_G[s["mode"]]
    r[72] = status_register(s, False)
    ident = s["ident"]
    r[73:75] = text_regs_wire(ident.get("rectifier", ""), 2)
    r[75:77] = text_regs_wire(ident.get("inverter", ""), 2)
    r[77] = 1 if s["test"] else 0
    return r


def main_block_aaaa(state):
    s = state
    r = measurement_block(s, 0.1) + [0] * 30
    r[49] = scaled(s["battery_v"], 0.1)
    r[51] = scaled(s["battery_i"], 0.1)
    r[53] = scaled(s["battery_temp"], 0.1)
    r[54] = u16(s["minutes"])
    r[55] = scaled(s["charge"], 0.1)
    r[57] = scaled(s["rect_temp"], 0.1)
    r[58] = scaled(s["inv_temp"], 0.1)
    r[70] = status_register(s, new_input_coding(s))
    r[71] = AAAA_TEST_MODE if s["test"] else MODE_CODES_AAAA[s["mode"]]
    r[72] = energyflow_register(s)
    return r


def rating_block_aaaa(state):
    s = state
    r = [0] * 80
    r[15] = u16(s["rated_va"])
    r[17] = u16(s["rated_in_v"])
    r[18] = u16(s["rated_in_f"])
    r[19] = u16(s["rated_out_v"])
    r[20] = u16(s["rated_out_f"])
    r[21] = 0x0002 if s["input_lines"] == 3 else 0
    return r


def identity_block(state):
    """Input registers 128-178."""
    ident = state["ident"]
    code = ident["code"]
    r = [0] * 51
    r[0] = ident["protocol"] & 0xFFFF
    r[1], r[2], r[3] = code // 100 % 10, code // 10 % 10, code % 10
    texts = lambda t, n: (text_regs_wire if code == 222 else text_regs_low_first)(t, n)
    base = 4  # register 132
    r[base + 0 : base + 8] = texts(ident["attached"], 8)
    r[base + 8 : base + 16] = texts(ident["model"], 8)
    r[base + 16 : base + 24] = texts(ident["manufacturer"], 8)
    ver = base + 25  # byte offset 50
    if code == 222:
        r[ver : ver + 4] = text_regs_wire(ident["version"], 4)
    elif code == 297:
        r[ver] = u16(int(ident["version"]))
    else:
        text = ident["version"].encode("latin-1")[:8]
        r[ver : ver + 8] = list(text.ljust(8, b"\0"))
    r[base + 33 : base + 41] = texts(ident["name"], 8)
    return r


def input_registers(state):
    """address -> value for every input register the UPS serves."""
    regs = {}
    lay = layout_of(state)
    main = {"G": main_block_g, "222": main_block_222, "AAAA": main_block_aaaa}[lay]
    for i, v in enumerate(main(state)):
        regs[i] = v
    ident = identity_block(state)
    for i, v in enumerate(ident):
        regs[128 + i] = v
    for i in range(4):  # the identification probe reads 0x8000-0x8003
        regs[0x8000 + i] = ident[i]
    return regs


def holding_registers(state):
    regs = {}
    if layout_of(state) == "AAAA":
        for i, v in enumerate(rating_block_aaaa(state)):
            regs[i] = v
    return regs


def discrete_inputs(state):
    inputs = {}
    lay = layout_of(state)
    if lay == "AAAA":
        for i, b in enumerate(map_bits(state, "C")):
            inputs[i] = b
    else:
        if lay == "G":
            for i, b in enumerate(map_bits(state, "A")):
                inputs[i] = b
        for i, b in enumerate(map_bits(state, "B")):
            inputs[MAP_B_BASE + i] = b
    return inputs


# --------------------------------------------------------------------------
# What the card should report for a state (signal level, 5-digit numbers)
# --------------------------------------------------------------------------


def _q(v, step):
    return round(round(v / step) * step, 6)


def text_signals(base, text, n=16):
    b = text.encode("latin-1")[:n]
    return {base + k: float(b[k]) if k < len(b) else 0.0 for k in range(n)}


def expected_signals(state):
    """Device-60 signal -> value the card should show for this state."""
    s = state
    lay = layout_of(s)
    ident = s["ident"]
    code = ident["code"]
    e = {}
    # identity
    e[40096] = float(code)
    e.update(text_signals(40080, ident["attached"]))
    e.update(text_signals(40016, ident["model"]))
    e.update(text_signals(40000, ident["manufacturer"]))
    e.update(text_signals(40064, ident["name"]))
    if code == 222:
        e.update(text_signals(40032, ident["version"], 8))
    elif code == 297:
        e.update(text_signals(40032, "%d" % int(ident["version"]), 4))
    else:
        e.update(text_signals(40032, ident["version"], 8))
    # measurements
    load_step = 1 if lay == "G" else 0.1
    for i in range(3):
        e[40193 + i] = _q(s["bypass_v"][i], 0.1)
        e[40196 + i] = _q(s["bypass_i"][i], 0.1)
        e[40202 + i] = _q(s["bypass_pf"][i], 0.01)
        e[40133 + i] = _q(s["input_v"][i], 0.1)
        e[40136 + i] = _q(s["input_i"][i], 0.1)
        e[40139 + i] = _q(s["input_f"][i], 0.1)
        e[40145 + i] = _q(s["input_pf"][i], 0.01)
        e[40164 + i] = _q(s["output_v"][i], 0.1)
        e[40167 + i] = _q(s["output_i"][i], 0.1)
        e[40177 + i] = _q(s["output_pf"][i], 0.01)
        e[40180 + i] = _q(s["output_va"][i], 0.1)
        e[40170 + i] = _q(s["output_w"][i], 0.1)
        e[40173 + i] = _q(s["load"][i], load_step)
    e[40191] = _q(s["bypass_f"], 0.1)
    e[40162] = _q(s["output_f"], 0.1)
    e[40105] = _q(s["battery_v"], 0.1)
    e[40106] = _q(s["battery_i"], 0.1)
    e[40107] = _q(s["battery_temp"], 0.1)
    e[40103] = float(s["minutes"])
    e[40104] = _q(s["charge"], 1 if lay == "G" else 0.1)
    e[40237] = _q(s["rect_temp"], 0.1)
    e[40238] = _q(s["inv_temp"], 0.1)
    e[30004] = float(s["rated_va"])
    e[30000] = float(s["rated_in_v"])
    e[30001] = float(s["rated_in_f"])
    e[30002] = float(s["rated_out_v"])
    e[30003] = float(s["rated_out_f"])
    if lay == "G":
        e[40116] = float(s["battery_count"])
        e[40117] = float(s["battery_cap"])
    if lay == "222":
        e[40108] = e[40105]
        e[40109] = _q(s["battery_v_neg"], 0.1)
        e[40110] = e[40106]
        e[40111] = _q(s["battery_i_neg"], 0.1)
        for k, ch in enumerate(ident.get("rectifier", "").ljust(4, "\0")[:4]):
            e[30100 + k] = float(ord(ch))
        for k, ch in enumerate(ident.get("inverter", "").ljust(4, "\0")[:4]):
            e[30120 + k] = float(ord(ch))
    for k in range(7):
        e[40216 + k] = float(s["energyflow"][k])
    # phases
    if lay == "222":
        e[40132], e[40163], e[40192] = 3.0, 3.0, 3.0
    elif lay == "AAAA" or code == 299:
        e[40132] = 3.0 if s["input_lines"] == 3 else 1.0
        e[40163], e[40192] = 1.0, 1.0
    else:
        lines = (s["input_lines"], s["output_lines"], s["bypass_lines"])
        if lines in ((1, 1, 1), (3, 1, 1), (3, 3, 3)):
            e[40132], e[40163], e[40192] = map(float, lines)
    # operating mode
    mode = s["mode"]
    if lay == "AAAA" and s["test"]:
        e[40161], e[40239] = 1.0, 0.0
        flags = (0, 0, 0)
    else:
        if lay == "AAAA" and mode == "eco":
            mode = "line"
        e[40161], e[40239] = map(float, MODE_SOURCE[mode])
        flags = {"line": (1, 0, 0), "battery": (0, 1, 0), "bypass": (0, 0, 1)}.get(
            mode, (0, 0, 0)
        )
    e[20064], e[20001], e[20008] = map(float, flags)
    # test in progress
    if lay != "G" or code == 299:
        e[20023] = 1.0 if s["test"] else 0.0
    # switch and battery states
    b = s["battery_state"]
    if lay != "G" or code == 299:
        e[20029] = 1.0 if b == "disconnected" else 0.0
        e[20062] = 1.0 if b == "disconnected" else 0.0
        e[20063] = 1.0 if b == "idle" else 0.0
        e[20027] = 1.0 if b == "boost" else 0.0
        e[20028] = 1.0 if b == "float" else 0.0
        e[20026] = 1.0 if b == "charging" else 0.0
        e[20032] = 1.0 if s["bypass_switch"] else 0.0
        e[20031] = 1.0 if s["output_state"] == "output_off" else 0.0
        e[20025] = 1.0 if s["output_state"] == "inverter" else 0.0
        e[20030] = 1.0 if s["input_switch"] else 0.0
        # battery status
        if b == "disconnected":
            st = 1
        elif b == "boost":
            st = 6
        elif b == "float":
            st = 7
        elif s["test"] and lay != "222":
            st = 5
        elif b == "charging":
            st = 8
        else:
            st = 2
        e[40101] = float(st)
    else:
        for sig in (20029, 20030, 20031, 20032, 20025):
            e[sig] = 0.0
        # the driver's own low-battery result comes from map B
        low = any(f in s["faults"] for f in ("low_battery", "low_battery_b"))
        e[40101] = 8.0 if mode == "battery" else (3.0 if low else 2.0)
    # faults: a signal several faults raise is 1 if any of them is present
    maps = {"G": ("A", "B"), "222": ("B",), "AAAA": ("C",)}[lay]
    for fault, sig in FAULT_SIGNAL.items():
        if any(m in FAULT_BITS[fault] for m in maps):
            e[sig] = max(e.get(sig, 0.0), 1.0 if fault in s["faults"] else 0.0)
    return e


# --------------------------------------------------------------------------
# Scenarios
# --------------------------------------------------------------------------


def _add_fault(s, name):
    if name not in s["faults"]:
        s["faults"].append(name)


def _drop_faults(s, *names):
    s["faults"] = [f for f in s["faults"] if f not in names]


def _mains_off(s):
    s["input_v"] = [0.0] * 3
    s["input_i"] = [0.0] * 3
    s["input_f"] = [0.0] * 3
    s["input_pf"] = [0.0] * 3
    s["bypass_v"] = [0.0] * 3
    s["bypass_f"] = 0.0
    s["bypass_pf"] = [0.0] * 3
    s["mode"] = "battery"
    s["battery_state"] = "discharging"
    s["battery_i"] = -12.5
    s["battery_i_neg"] = -12.4
    s["energyflow"] = [0, 0, 2, 1, 0, 0, 0]
    _add_fault(s, "input")


def discharge_tick(state):
    """One second of the "discharge" scenario: the battery runs down, low
    battery at 20 %, depleted at 0 %."""
    s = state
    step = s["discharge_step"]
    if not step or s["mode"] != "battery":
        return
    s["charge"] = max(0.0, round(s["charge"] - step, 1))
    s["minutes"] = int(s["charge"] * 0.3)
    s["battery_v"] = round(180.0 + 0.6 * s["charge"], 1)
    if s["charge"] <= 20.0:
        _add_fault(s, "low_battery")
    if s["charge"] <= 0.0:
        _add_fault(s, "depleted")
        s["discharge_step"] = 0.0


def apply_scenario(state, name):
    """Change the state as the named situation would; returns the state."""
    s = state
    if name == "normal":
        fresh = default_state(s["model"])
        fresh["addr"] = s["addr"]
        fresh["ident"] = s["ident"]
        s.clear()
        s.update(fresh)
    elif name == "mains_failure":
        _mains_off(s)
        s["minutes"] = 30
        s["charge"] = 95.0
    elif name == "low_battery":
        _mains_off(s)
        s["battery_v"] = 200.0
        s["minutes"] = 4
        s["charge"] = 20.0
        _add_fault(s, "low_battery")
    elif name == "depleted":
        _mains_off(s)
        s["battery_v"] = 180.0
        s["minutes"] = 0
        s["charge"] = 0.0
        _add_fault(s, "low_battery")
        _add_fault(s, "depleted")
    elif name == "discharge":
        _mains_off(s)
        s["discharge_step"] = s["discharge_step"] or 2.0
    elif name == "mains_return":
        s["discharge_step"] = 0.0
        d = default_state(s["model"])
        for k in ("input_v", "input_i", "input_f", "input_pf", "bypass_v",
                  "bypass_f", "bypass_pf"):
            s[k] = d[k]
        s["mode"] = "line"
        s["battery_state"] = "charging"
        s["battery_i"] = 5.0
        s["battery_i_neg"] = 4.9
        s["battery_v"] = 230.0
        s["minutes"] = 20
        s["charge"] = 40.0
        s["energyflow"] = [1, 1, 1, 1, 0, 0, 0]
        _drop_faults(s, "input", "low_battery", "depleted")
    elif name == "bypass":
        s["mode"] = "bypass"
        s["output_state"] = "other"
        s["bypass_i"] = list(s["output_i"])
        s["energyflow"] = [0, 0, 0, 0, 1, 1, 0]
    elif name == "overload":
        s["load"] = [112.0, 115.0, 110.0]
        s["output_i"] = [37.0, 38.0, 36.5]
        s["output_va"] = [8.1, 8.3, 8.0]
        s["output_w"] = [7.3, 7.5, 7.2]
        _add_fault(s, "overload")
    elif name == "test":
        s["test"] = True
    elif name == "test_end":
        s["test"] = False
    elif name == "battery_disconnected":
        s["battery_state"] = "disconnected"
        s["battery_i"] = 0.0
    elif name == "eco":
        s["mode"] = "eco"
    elif name == "standby":
        s["mode"] = "standby"
        s["output_state"] = "output_off"
        s["output_v"] = [0.0] * 3
        s["output_i"] = [0.0] * 3
        s["load"] = [0.0] * 3
    elif name.startswith("fault:"):
        fault = name[len("fault:"):]
        if fault == "clear":
            s["faults"] = []
        elif fault.startswith("-"):
            _drop_faults(s, fault[1:])
        else:
            ok = (
                fault in FAULT_BITS
                or (fault.startswith("e02Reg_E_") and fault[9:] in E02_BITS)
                or (len(fault) > 1 and fault[0] in "ABC" and fault[1:].isdigit()
                    and int(fault[1:]) < MAP_SIZE[fault[0]])
            )
            if not ok:
                raise ValueError("unknown fault %r" % fault)
            _add_fault(s, fault)
    else:
        raise ValueError("unknown scenario %r" % name)
    return s


# --------------------------------------------------------------------------
# Modbus side
# --------------------------------------------------------------------------

REPLY_MODES = ("answer", "silent", "bad_crc", "exception")


class Simulator:
    """The UPS: state, reply behaviour, and what went over the line."""

    def __init__(self, model=299, addr=1, pace_baud=0, bits_per_char=10):
        self.state = default_state(model)
        self.state["addr"] = addr
        self.writes = []
        self.requests = []
        self.reply_mode = "answer"
        self.reply_scope = "all"
        self.reply_count = None  # None: until changed
        self.pace_baud = pace_baud
        self.bits_per_char = bits_per_char

    # -- control ---------------------------------------------------------
    def set_model(self, code):
        addr = self.state["addr"]
        self.state = default_state(code)
        self.state["addr"] = addr

    def set_field(self, field, value):
        s = self.state
        if field in ("manufacturer", "model_text", "version", "name", "attached",
                     "rectifier", "inverter", "protocol", "code"):
            key = "model" if field == "model_text" else field
            s["ident"][key] = value
            return
        if field not in s or field in ("model", "ident"):
            raise ValueError("unknown field %r" % field)
        old = s[field]
        if isinstance(old, list) and not isinstance(value, list):
            value = [value] * len(old)
        s[field] = value

    def scenario(self, name):
        if name in ("silent", "bad_crc", "exception", "answer") or ":" in name and \
                name.split(":")[0] in REPLY_MODES:
            mode, _, scope = name.partition(":")
            self.set_reply_mode(mode, scope or "all")
            return
        apply_scenario(self.state, name)

    def set_reply_mode(self, mode, scope="all", count=None):
        by_function = scope.startswith("fc") and scope[2:].isdigit()
        if mode not in REPLY_MODES or not (by_function or scope in ("all", "read", "write")):
            raise ValueError("bad reply mode %r/%r" % (mode, scope))
        self.reply_mode, self.reply_scope, self.reply_count = mode, scope, count

    # -- Modbus data -----------------------------------------------------
    def table(self, fc):
        """address -> value of what function fc reads, for the state (a
        model family of another register map overrides this)."""
        table = {2: discrete_inputs, 4: input_registers, 3: holding_registers}.get(fc)
        return table(self.state) if table else {}

    def expected(self):
        return expected_signals(self.state)

    def read(self, fc, address, count):
        values = self.table(fc)
        return [values.get(address + i, 0) for i in range(count)]

    def write(self, fc, address, values, reply):
        self.writes.append(
            {"fc": fc, "reg": address, "values": list(values), "reply": reply,
             "t": time.time()}
        )
        if reply == "answer":
            self.control_effect(address, list(values))

    def control_effect(self, reg, values):
        """What the UPS does when a control register is written."""
        s = self.state
        v = values[0] if values else 0
        if reg == 0x8000 and v == 1:
            s["faults"] = []
        elif reg == 0x8002:
            s["buzzer"] = 0 if v else 1
        elif reg == 0x8003 and v == 1:
            apply_scenario(s, "bypass")
        elif reg == 0x8004 and v == 1 and s["mode"] == "bypass":
            s["mode"] = "line"
            s["output_state"] = "inverter"
            s["energyflow"] = [1, 1, 1, 1, 0, 0, 0]
        elif reg == 0x8006 and v in (1, 2):
            s["test"] = True
        elif reg == 0x8007 and v == 1:
            s["test"] = False
        elif reg == 0x8008 and v == 1:
            apply_scenario(s, "standby")

    def mode_for(self, fc):
        """Reply mode for the next reply to function fc (consumes a counted
        mode). The scope limits it to polls, writes or one function code."""
        if self.reply_mode == "answer":
            return "answer"
        scope = self.reply_scope
        is_write = fc in (5, 6, 15, 16)
        if scope == ("read" if is_write else "write"):
            return "answer"
        if scope.startswith("fc") and scope != "fc%d" % fc:
            return "answer"
        mode = self.reply_mode
        if self.reply_count is not None:
            self.reply_count -= 1
            if self.reply_count <= 0:
                self.reply_mode, self.reply_count = "answer", None
        return mode

    def wire_delay(self, nbytes):
        if not self.pace_baud:
            return 0.0
        return nbytes * self.bits_per_char / float(self.pace_baud)


class SimContext:
    """pymodbus slave context backed by the simulator's state."""

    def __init__(self, sim):
        self.sim = sim

    def reset(self):
        pass

    def validate(self, fx, address, count=1):
        return 0 <= address and address + count <= 0x10000

    def getValues(self, fx, address, count=1):  # noqa: N802 (pymodbus API)
        return self.sim.read(fx, address, count)

    def setValues(self, fx, address, values):  # noqa: N802 (pymodbus API)
        # Writes are recorded by the handler (it knows the reply mode).
        pass


def make_handler_class():
    from pymodbus.pdu import ModbusExceptions
    from pymodbus.server.async_io import ModbusSingleRequestHandler

    class SimRequestHandler(ModbusSingleRequestHandler):
        """Adds the UPS's reply behaviour to pymodbus's serial handler."""

        last_rx = 0.0
        rx_tail = b""

        def data_received(self, data):
            now = time.monotonic()
            self.rx_tail = (self.rx_tail + data)[-8:]
            # A silent gap on the line ends any partial frame (RTU framing),
            # so garbage (an ASCII probe, a torn frame) cannot wedge the framer.
            if now - self.last_rx > 0.05 and getattr(self, "framer", None):
                self.receive_queue.put_nowait(None)
            self.last_rx = now
            super().data_received(data)

        async def _recv_(self):
            while True:
                data = await self.receive_queue.get()
                if data is None:
                    self.framer.resetFrame()
                    continue
                return data

        def execute(self, request, *addr):
            sim = self.server.sim
            fc = request.function_code
            is_write = fc in (5, 6, 15, 16)
            unit = request.unit_id
            entry = {"t": time.time(), "fc": fc, "unit": unit,
                     "addr": getattr(request, "address", None),
                     "count": getattr(request, "count", None)}
            sim.requests.append(entry)
            if unit != sim.state["addr"]:
                entry["reply"] = "not addressed"
                return
            mode = sim.mode_for(fc)
            entry["reply"] = mode
            if is_write:
                values = getattr(request, "values", None)
                if fc == 5 and len(self.rx_tail) == 8:
                    # pymodbus keeps a coil write as on/off; the UPS's own
                    # value is in the frame (address, 5, coil, value, CRC).
                    values = [self.rx_tail[4] << 8 | self.rx_tail[5]]
                if values is None:
                    values = [getattr(request, "value", 0)]
                sim.write(fc, request.address, values, mode)
            if mode == "silent":
                return
            if mode == "exception":
                response = request.doException(ModbusExceptions.SlaveFailure)
            else:
                try:
                    response = request.execute(self.server.context[unit])
                except Exception:  # pylint: disable=broad-except
                    response = request.doException(ModbusExceptions.SlaveFailure)
            response.transaction_id = request.transaction_id
            response.unit_id = unit
            packet = self.framer.buildPacket(response)
            if mode == "bad_crc":
                packet = packet[:-1] + bytes([packet[-1] ^ 0x5A])
            req_len = 8 if not is_write or fc in (5, 6) else 9 + 2 * len(
                getattr(request, "values", []) or [])
            delay = sim.wire_delay(req_len + len(packet))
            entry["reply_len"] = len(packet)
            loop = asyncio.get_event_loop()

            def put():
                entry["t_reply"] = time.time()
                self._send_(packet)

            if delay > 0:
                loop.call_later(delay, put)
            else:
                put()

    return SimRequestHandler


# --------------------------------------------------------------------------
# Control server
# --------------------------------------------------------------------------


def handle_command(sim, req, stop_event):
    cmd = req.get("cmd")
    if cmd == "ping":
        return "pong"
    if cmd == "scenario":
        sim.scenario(req["name"])
        return None
    if cmd == "set":
        sim.set_field(req["field"], req["value"])
        return None
    if cmd == "model":
        sim.set_model(req["code"])
        return None
    if cmd == "addr":
        sim.state["addr"] = int(req["addr"])
        return None
    if cmd == "state":
        return sim.state
    if cmd == "expected":
        return {str(k): v for k, v in sim.expected().items()}
    if cmd == "writes":
        return sim.writes
    if cmd == "clear_writes":
        sim.writes = []
        return None
    if cmd == "requests":
        return sim.requests[int(req.get("since", 0)):]
    if cmd == "clear_requests":
        sim.requests = []
        return None
    if cmd == "reply_mode":
        sim.set_reply_mode(req.get("mode", "answer"), req.get("scope", "all"),
                           req.get("count"))
        return None
    if cmd == "pace":
        sim.pace_baud = int(req.get("baud", 0))
        return None
    if cmd == "quit":
        stop_event.set()
        return None
    raise ValueError("unknown command %r" % cmd)


async def control_server(sim, port, stop_event):
    async def client(reader, writer):
        try:
            while True:
                line = await reader.readline()
                if not line:
                    break
                writer.write(simcore.answer_line(
                    lambda req: handle_command(sim, req, stop_event), line))
                await writer.drain()
        finally:
            writer.close()

    return await asyncio.start_server(client, "127.0.0.1", port)


# --------------------------------------------------------------------------
# Program
# --------------------------------------------------------------------------


async def run(args, sim_class=None):
    from pymodbus.datastore import ModbusServerContext
    from pymodbus.framer.rtu_framer import ModbusRtuFramer
    from pymodbus.server.async_io import ModbusSerialServer

    sim = (sim_class or Simulator)(args.model, args.addr, args.pace, args.bits_per_char)
    for name in args.scenario:
        sim.scenario(name)
    socat = None
    device, card_tty = args.device, None
    if args.link:
        socat, device = simcore.start_socat(args.link)
        card_tty = args.link
    context = ModbusServerContext(slaves=SimContext(sim), single=True)
    server = ModbusSerialServer(
        context, framer=ModbusRtuFramer, port=device, baudrate=args.baud,
        handler=make_handler_class(), timeout=0.01)
    server.sim = sim
    await server.start()
    if server.transport is None:
        raise RuntimeError("cannot open %s" % device)
    stop_event = asyncio.Event()
    ctl = await control_server(sim, args.control_port, stop_event)
    port = ctl.sockets[0].getsockname()[1]
    simcore.announce_ready(port, device, card_tty, args.ready_file)
    loop = asyncio.get_event_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop_event.set)

    async def ticker():
        while True:
            await asyncio.sleep(1.0)
            discharge_tick(sim.state)

    tick = asyncio.create_task(ticker())
    await stop_event.wait()
    tick.cancel()
    ctl.close()
    await server.shutdown()
    simcore.stop_socat(socat)


def main(argv=None, sim_class=None, models=None):
    """sim_class and models: another family's simulator and model key reader."""
    p = argparse.ArgumentParser(description="register-map UPS simulator")
    simcore.add_line_arguments(p)
    p.add_argument("--model", default="299", help="299, 297, 290 (or another G "
                   "code), 222 or AAAA")
    p.add_argument("--addr", type=int, default=1, help="Modbus address")
    p.add_argument("--baud", type=int, default=9600)
    p.add_argument("--pace", type=int, default=0, metavar="BAUD",
                   help="delay each reply by its time on a line of BAUD")
    p.add_argument("--bits-per-char", type=int, default=10)
    p.add_argument("--scenario", action="append", default=[],
                   help="apply a scenario at start (repeatable)")
    p.add_argument("--verbose", action="store_true")
    args = p.parse_args(argv)
    args.model = (models or model_key)(args.model)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.CRITICAL)
    asyncio.run(run(args, sim_class))


if __name__ == "__main__":
    main()
