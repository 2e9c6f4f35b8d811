#!/usr/bin/python3
"""Text-protocol UPS simulator (the txtups_1 / txtups_3 family) on a serial line.

The UPS takes a short command ending in a carriage return and answers with one
fixed-format line. One model of UPS state (voltages, frequencies, load,
battery, operating mode, test, faults, identity, ratings) is encoded into the
replies of the chosen model family:

  three-phase   231, 221, 211, or any other code from 200 to 279 (201 ...):
                MODEL G1 G2 G3 GF I Q1 NS? F, and QT for 231 and 221
  single-phase  283, 282, or any code below 200 (101 ...):
                MODEL Q1 I F BL NS?, and QT for 283 and 282

Replies, byte for byte (position 0 first; every reply ends with "\\r"):
  MODEL  "TYPE" + three digits
  G1     "!BBB PPP RRRR CCC.C +TT.T II.I YY.Y OO.O"  battery V, charge %,
         minutes, battery A, temperature, input/bypass/output Hz
  G2     "!" + 8 flags + " " + 8 flags + " " + 8 flags   (running state and
         shutdown causes, positions as the three-phase driver reads them)
  G3     "!" input, bypass, output voltage and load % of phases A/B/C, each
         "AAA.A/BBB.B/CCC.C", separated by blanks
  GF     "!" ratings: "220V/380V" rectifier, bypass and output voltages (14
         wide), their frequencies "050", battery "480", capacity "010KVA"
  I      "#" manufacturer (15) model (10) version (10)
  Q1     "(III.I FFF.F OOO.O LLL HH.H B.BB TT.T b7..b0": input, input fault,
         output V, load %, input Hz, battery (cell volts x.xx for an on-line
         UPS, string volts xx.x for UPS type 1), temperature, status bits
         utility fail, battery low, bypass active, UPS failed, UPS type 1,
         test, shutdown active, beeper on
  F      "#VVV.V CCC BBB.B FF.F" rated voltage, current, battery, frequency
  BL     "BL" + charge % (three digits)
  QT     three-phase: "(" and blank-separated fields of at most 6 characters,
         field 26 the UPS mode code, 235 bytes in all.
         single-phase (213 bytes): 1 input V x10, 2 input Hz x100, 3 output V
         x10, 4 output Hz x100, 5 load %, 6 battery V x10, 7 charge %,
         8 temperature x10, 9 mode code, 10 status word (four hex digits:
         0x8 battery disconnected and 0x200 fan failure on model 283, 0x10
         battery disconnected on model 282), reserved "000000" fields, and
         last the fault code (42: over-temperature shutdown, model 283).
  Mode codes: 1 standby, 2 bypass, 3 line, 4 battery, 5 battery test, 6 eco.
  G1, G2, G3 and GF start with "!", I and F with "#", Q1 and QT with "(".

The line speed is real: the simulator reads the speed the card set on its end
of the pseudo-terminal pair (termios) and answers only while it equals its own
speed (--speed, default 2400); at another speed it hears noise and stays
silent (or, with mismatch "noise", answers with garbage as a receiver at the
wrong speed would see it). Replies are paced at the line speed: each byte
takes 10 bit times, after the request's own time on the wire.

Control commands (sent with "T", "S.5", "S02R0015", "C", "Q" ...) act on the
state and are recorded (`writes`); every request is logged (`requests`).

Control: a line-based TCP server on 127.0.0.1 (one JSON object per line in
each direction), the same style as regups_sim.py; `SimClient` is its client.
  {"cmd":"ping"}  {"cmd":"scenario","name":N}  {"cmd":"set","field":F,"value":V}
  {"cmd":"model","code":C}  {"cmd":"state"}  {"cmd":"expected"}
  {"cmd":"requests","since":K}  {"cmd":"clear_requests"}
  {"cmd":"writes"}  {"cmd":"clear_writes"}
  {"cmd":"reply_mode","mode":M,"scope":"all|<command>","count":N}
  {"cmd":"speed","baud":B}  {"cmd":"pace","on":true|false}
  {"cmd":"mismatch","mode":"silent|noise"}  {"cmd":"quit"}
Reply modes: answer, silent, echo (the line echoes each command before the
answer), half (the first half of the answer only), bad_blank (a blank out of
place), stray (a stray character in the first number field), noise (bytes of
garbage instead of the answer), short_qt (a QT with only 20 fields).

Scenarios: normal, mains_failure, low_battery, depleted, discharge (battery
runs down 2 %/s), mains_return, bypass, eco, overload, test, test_end,
standby, battery_disconnected, fault:NAME / fault:-NAME / fault:clear (NAME:
general, input, bypass, output, overload, low_battery, depleted, temperature,
system_off, short, fan).

Run: txtups_sim.py --device /dev/pts/N --card-tty /dev/pts/M ...
     txtups_sim.py --link /tmp/ttyUPS ...  (makes a socat pair; the card
                                             opens /tmp/ttyUPS)
Once serving it prints "READY {json}" (control port, the simulator's and the
card's tty) and writes the same JSON to --ready-file.
"""

import argparse
import copy
import os
import random
import select
import signal
import sys
import termios
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simcore  # noqa: E402
from simcore import SimClient, start_socat  # noqa: E402,F401  (re-exported for callers)

# --------------------------------------------------------------------------
# UPS state
# --------------------------------------------------------------------------

THREE_PHASE_QT = (231, 221)
SINGLE_PHASE_QT = (283, 282)
MODE_CODES = {"standby": 1, "bypass": 2, "line": 3, "battery": 4, "eco": 6}
TEST_CODE = 5
FAULTS = ("general", "input", "bypass", "output", "overload", "low_battery",
          "depleted", "temperature", "system_off", "short", "fan")


def family_of(code):
    code = int(code)
    if code in SINGLE_PHASE_QT or code < 200 or code >= 280:
        return 1
    return 3


def default_state(model=231):
    model = int(model)
    three = family_of(model) == 3
    answers = ["MODEL", "Q1", "I", "F", "NS?"]
    answers += ["G1", "G2", "G3", "GF"] if three else ["BL"]
    if model in THREE_PHASE_QT + SINGLE_PHASE_QT:
        answers.append("QT")
    return {
        "model": model,
        "phases": 3 if three else 1,
        "answers": answers,
        "speed": 2400,
        "ups_type1": False,  # single phase: a line-interactive UPS (Q1 bit 3)
        "input_v": [230.5, 231.0, 229.5] if three else [230.5],
        "input_f": 50.0,
        "bypass_v": [230.0, 230.0, 230.0] if three else [230.5],
        "bypass_f": 50.0,
        "output_v": [220.0, 220.1, 219.9] if three else [220.0],
        "output_f": 50.0,
        "load": [45.0, 44.0, 46.0] if three else [45.0],
        "battery_v": 480.0 if three else 13.5,  # string V, or a 12 V block of six cells
        "battery_i": 1.5,
        "charge": 100.0,
        "minutes": 35,
        "temperature": 25.0,
        "rated_v": 220.0,
        "rated_f": 50.0,
        "rated_i": 15,
        "rated_battery": 480.0 if three else 12.0,
        "kva": 10 if three else 1,
        "boost": False,
        "mode": "line",
        "test": False,
        "shutdown_pending": False,
        "faults": [],
        "beeper": True,
        "battery_connected": True,
        "manufacturer": "KYTO",
        "model_text": ("KR33-%d" if three else "KR11-%d") % model,
        "version": "V2.80" if three else "V1.10",
        "serial": "KY2024%011d" % model,
        "discharge_step": 0.0,
    }


def on_battery(s):
    return s["mode"] == "battery"


def on_bypass_path(s):
    return s["mode"] in ("bypass", "eco", "standby")


def output_off(s):
    return s["mode"] == "standby"


def single_output_f(s):
    """Output frequency a single-phase UPS produces."""
    if output_off(s):
        return 0.0
    if on_battery(s):
        return s["rated_f"]
    if s["model"] in SINGLE_PHASE_QT and not s["test"] and s["mode"] == "line" and \
            abs(s["input_f"] - s["rated_f"]) >= 5:
        return s["rated_f"]
    return s["input_f"]


# --------------------------------------------------------------------------
# Replies
# --------------------------------------------------------------------------


def bits(*flags):
    return "".join("1" if f else "0" for f in flags)


def triple(values):
    return "/".join("%05.1f" % min(v, 999.9) for v in values)


def reply_model(s):
    return "TYPE%03d\r" % s["model"]


def reply_g1(s):
    i = s["battery_i"]
    return "!%03d %03d %04d %05.1f %s%04.1f %04.1f %04.1f %04.1f\r" % (
        int(s["battery_v"]) if s["battery_connected"] else 0, int(s["charge"]), s["minutes"],
        min(abs(i), 999.9), "+" if i >= 0 else "-", s["temperature"], s["input_f"],
        s["bypass_f"], 0.0 if output_off(s) else s["output_f"])


def g2_bits(s):
    f = s["faults"]
    bypass_ok = "bypass" not in f and s["bypass_v"][0] > 0
    return (
        bits(0, "input" in f, "depleted" in f, "low_battery" in f, s["phases"] == 1,
             on_battery(s), s["boost"], s["input_v"][0] > 0 and not output_off(s)),
        bits(0, 0, 0, "bypass" in f, 0, bypass_ok, not on_bypass_path(s),
             not on_bypass_path(s)),
        bits(0, "system_off" in f, 0, 0, "overload" in f, "output" in f,
             "temperature" in f, "short" in f),
    )


def reply_g2(s):
    return "!%s %s %s\r" % g2_bits(s)


def reply_g3(s):
    out = [0.0] * 3 if output_off(s) else s["output_v"]
    load = [0.0] * 3 if output_off(s) else s["load"]
    return "!%s %s %s %s\r" % (triple(s["input_v"]), triple(s["bypass_v"]), triple(out),
                                triple(load))


def reply_gf(s):
    v = ("%03dV/%03dV" % (s["rated_v"], round(s["rated_v"] * 3 ** 0.5, -1))).ljust(14)
    f = "%03d" % s["rated_f"]
    return "!%s %s %s %s %s %s %03d %s\r" % (v, f, v, f, v, f, s["rated_battery"],
                                             ("%03dKVA" % s["kva"]).ljust(10))


def reply_i(s):
    return "#%-15.15s %-10.10s %-10.10s\r" % (s["manufacturer"], s["model_text"], s["version"])


def q1_battery_field(s):
    v = s["battery_v"] if s["battery_connected"] else 0.0
    if s["phases"] == 3:
        return "%4.2f" % min(v / 216.0, 9.99)
    if s["ups_type1"]:
        return "%04.1f" % min(v, 99.9)
    return "%4.2f" % min(v / 6.0, 9.99)


def reply_q1(s):
    f = s["faults"]
    out = 0.0 if output_off(s) else s["output_v"][0]
    load = 0 if output_off(s) else int(s["load"][0])
    return "(%05.1f %05.1f %05.1f %03d %04.1f %s %04.1f %s\r" % (
        s["input_v"][0], s["input_v"][0], out, load, s["input_f"], q1_battery_field(s),
        s["temperature"],
        bits(s["input_v"][0] == 0, "low_battery" in f, s["mode"] in ("bypass", "eco"),
             "general" in f, s["ups_type1"], s["test"], s["shutdown_pending"], s["beeper"]))


def reply_f(s):
    rated_v = s["rated_v"]
    if s["model"] == 231:
        rated_v = round(rated_v * 3 ** 0.5, -1)  # line to line
    return "#%05.1f %03d %05.1f %04.1f\r" % (rated_v, s["rated_i"], s["rated_battery"],
                                             s["rated_f"])


def reply_bl(s):
    return "BL%03d\r" % int(s["charge"])


def reply_ns(s):
    return "(%-17.17s\r" % s["serial"]


def mode_code(s):
    return TEST_CODE if s["test"] else MODE_CODES[s["mode"]]


def padded(fields, size):
    """ "(" + fields joined by blanks, reserved fields inserted before the last
    one so that the whole line is size bytes with its carriage return."""
    head, last = fields[:-1], fields[-1]
    line = "(" + " ".join(head)
    room = size - len(line) - len(last) - 2  # blank before last, "\r"
    while room >= 14:
        line += " 000000"
        room -= 7
    if room >= 8:  # two fields
        a = room - 7
        line += " " + "0" * (a - 1) + " 000000"
    elif room >= 2:
        line += " " + "0" * (room - 1)
    elif room == 1:
        head[-1] += "0"
        return padded(head + [last], size)
    return line + " " + last + "\r"


def reply_qt(s, short=False):
    if s["phases"] == 3:
        fields = ["%04d" % int(s["input_v"][k] * 10) for k in range(3)]
        fields += ["%04d" % int(s["output_v"][k] * 10) for k in range(3)]
        fields += ["%03d" % int(v) for v in s["load"]]
        fields += ["%04d" % int(s["input_f"] * 10), "%04d" % int(s["output_f"] * 10)]
        fields += ["%04d" % int(s["battery_v"]), "%03d" % int(s["charge"])]
        while len(fields) < 25:
            fields.append("0")
        fields.append("%d" % mode_code(s))
        fields += ["0"] * 4
        if short:
            return "(" + " ".join(fields[:20]) + "\r"
        return padded(fields, 235)
    status = 0
    if not s["battery_connected"]:
        status |= 0x8 if s["model"] == 283 else 0x10
    if "fan" in s["faults"] and s["model"] == 283:
        status |= 0x200
    fault = 42 if "temperature" in s["faults"] else 0
    out = 0.0 if output_off(s) else s["output_v"][0]
    fields = ["%04d" % int(s["input_v"][0] * 10), "%04d" % int(s["input_f"] * 100),
              "%04d" % int(out * 10), "%04d" % int(single_output_f(s) * 100),
              "%03d" % (0 if output_off(s) else int(s["load"][0])),
              "%04d" % int(s["battery_v"] * 10), "%03d" % int(s["charge"]),
              "%04d" % int(s["temperature"] * 10), "%d" % mode_code(s), "%04X" % status,
              "%d" % fault]
    if short:
        return "(" + " ".join(fields[:6]) + "\r"
    return padded(fields, 213)


REPLIES = {"MODEL": reply_model, "G1": reply_g1, "G2": reply_g2, "G3": reply_g3,
           "GF": reply_gf, "I": reply_i, "Q1": reply_q1, "F": reply_f, "BL": reply_bl,
           "NS?": reply_ns, "QT": reply_qt}


# --------------------------------------------------------------------------
# What the card should show
# --------------------------------------------------------------------------


def _q(v, step):
    return round(round(v / step) * step, 6)


def text_signals(base, text, n):
    b = text.encode("latin-1")[:n].ljust(n, b" ")
    return {base + k: float(b[k]) for k in range(n)}


def expected_signals(state):
    """Device-60 signal -> value the card should show for this state."""
    s = state
    return _expected_three(s) if s["phases"] == 3 else _expected_single(s)


def _qt_source(code, out_v):
    if code in (0, 1, 9):
        return 2
    if code in (2, 8):
        return 4
    if code == 6:
        return 2 if out_v < 50 else 4
    if code in (3, 7):
        return 3
    if code in (4, 5):
        return 5
    return 1


def _expected_three(s):
    e = {}
    m, f = s["model"], s["faults"]
    b1, b2, b3 = g2_bits(s)
    g2 = "!" + b1 + " " + b2 + " " + b3
    bit = lambda pos: g2[pos] == "1"  # noqa: E731
    e[40096] = float(m)
    e[40132], e[40163], e[40192] = 3.0, 3.0, 3.0
    bat_v = float(int(s["battery_v"])) if s["battery_connected"] else 0.0
    e[40105] = bat_v
    e[40104] = float(int(s["charge"]))
    e[40103] = float(s["minutes"])
    e[40106] = _q(abs(s["battery_i"]), 0.1)
    e[40107] = e[40238] = _q(s["temperature"], 0.1)
    for k in range(3):
        e[40139 + k] = _q(s["input_f"], 0.1)
    e[40191] = _q(s["bypass_f"], 0.1)
    e[40162] = 0.0 if output_off(s) else _q(s["output_f"], 0.1)
    e[20062] = 1.0 if bat_v < 1 else 0.0
    out = [0.0] * 3 if output_off(s) else s["output_v"]
    load = [0.0] * 3 if output_off(s) else s["load"]
    for k in range(3):
        e[40133 + k] = _q(s["input_v"][k], 0.1)
        e[40193 + k] = _q(s["bypass_v"][k], 0.1)
        e[40164 + k] = _q(out[k], 0.1)
        e[40173 + k] = _q(load[k], 0.1)
    # ratings
    line = round(s["rated_v"] * 3 ** 0.5, -1)
    e[30000] = float(line if m == 231 else int(s["rated_v"]))
    e[30002] = float(line if m == 231 else int(s["rated_v"]))
    e[30001] = e[30003] = float(int(s["rated_f"]))
    e[30004] = s["kva"] * 1000.0
    if m == 231:
        e[30005] = s["kva"] * 800.0
    e.update(text_signals(40000, s["manufacturer"], 15))
    e.update(text_signals(40016, s["model_text"], 10))
    e.update(text_signals(40032, s["version"], 10))
    e[40080] = 0.0
    # state flags
    on_bat = bit(6) and bit(16)
    on_byp = g2[16] == "0"
    byp_err = bit(13) or g2[15] == "0"
    inp_v, out_v, byp_v = s["input_v"][0], out[0], int(s["bypass_v"][0])
    uf = inp_v == 0
    testing = s["test"]
    inp_err = bit(2) or uf
    e[20001] = float(on_bat)
    e[20002] = float(bit(4))
    e[20003] = float(bit(3))
    e[20005] = float(inp_err)
    e[20006] = float(bit(24) or bit(26))
    e[20007] = float(bit(23))
    e[20009] = float(byp_err)
    e[20004] = float(bit(25))
    e[20017] = float("general" in f)
    e[20023] = float(testing)
    e[20024] = float(bit(8))
    e[20025] = float(bit(17))
    e[20027] = float(bit(7))
    e[20026] = float(on_bat or testing)
    e[20033] = 0.0
    e[30007] = float(s["beeper"])
    on_bypass = byp_v > 0 and on_byp and (out_v > 0 if m in (221, 211) else True)
    e[20008] = float(on_bypass)
    off = any(bit(p) for p in (3, 20, 21, 22, 24, 25, 26))
    if m == 231:
        e[20014] = e[20022] = float(off or "general" in f)
    elif m not in (221, 211):
        e[20014] = e[20022] = float(off or bit(23))
    # battery status
    if bit(4):
        st = 3
    elif testing:
        st = 5
    elif on_bat:
        st = 8
    elif bit(3):
        st = 4
    elif bat_v < 1:
        st = 1
    elif bit(7):
        st = 6
    elif m == 231:
        st = 2
    else:
        st = 7
    e[40101] = float(st)
    # output source and mode
    if "QT" in s["answers"]:
        code = mode_code(s)
        e[40161], e[40239] = float(_qt_source(code, out_v)), float(code)
    else:
        if byp_v > 0 and on_byp and out_v >= 1:
            src, mode = 4, 2
        elif byp_v > 0 and on_byp:
            src, mode = 2, 1
        elif on_bat:
            src, mode = 5, 4
        elif inp_v > 0 and not inp_err and not on_byp:
            src, mode = 3, 3
        else:
            src, mode = 1, 0
        mode = 5 if testing else (6 if "general" in f else mode)
        e[40161], e[40239] = float(src), float(mode)
    # energy flow
    good = inp_v > 0 and not inp_err
    on_rec, on_inv = bit(8), bit(17)
    out_err = bit(24) or bit(26)
    l = [0] * 8
    on_input = False
    if on_byp and not byp_err:
        if out_v >= 1:
            l[1] = int(byp_v >= 1)
            l[2] = l[3] = int(good)
            l[7] = int(bat_v > 0 and good)
    elif not on_byp:
        l[2] = int(good)
        l[3] = int(good and on_rec)
        l[4] = int((good and on_rec) or (bat_v > 0 and on_bat))
        l[5] = int(on_inv) if l[4] else 0
        l[7] = 2 if bat_v > 0 and on_bat else (1 if bat_v > 0 and good else 0)
        on_input = bool(l[2])
    l[6] = int(not (on_byp and byp_err) and out_v > 0 and not out_err and (l[1] or l[5]))
    if testing:
        l[1], l[2], l[3], l[4], l[5], l[7] = 0, 1, 0, 1, 1, 2
        on_input = False
    for k in range(1, 8):
        e[40215 + k] = float(l[k])
    e[20064] = float(on_input)
    return e


def _expected_single(s):
    e = {}
    m, f = s["model"], s["faults"]
    type1 = s["ups_type1"]
    e[40096] = float(m)
    e[40132] = e[40163] = e[40192] = 1.0
    field = q1_battery_field(s)
    digits = int(field.replace(".", ""))
    bat = _q(digits * 0.1, 0.1) if type1 else _q(digits * 0.01 * 6, 0.01)
    e[40105] = bat
    e[40107] = e[40238] = _q(s["temperature"], 0.1)
    e[30007] = float(s["beeper"])
    in_v = _q(s["input_v"][0], 0.1)
    out_v = 0.0 if output_off(s) else _q(s["output_v"][0], 0.1)
    e[40139] = e[40191] = _q(s["input_f"], 0.1)
    e[40133] = e[40193] = in_v
    e[40164] = out_v
    e[40173] = 0.0 if output_off(s) else float(int(s["load"][0]))
    uf = in_v == 0
    ba = s["mode"] in ("bypass", "eco")
    test = s["test"]
    low = "low_battery" in f
    e[20001] = float(uf and not ba)
    e[20002] = float(low)
    e[20005] = float(uf)
    e[20008] = float(ba and in_v > 0)
    e[20017] = float("general" in f)
    e[20023] = float(test)
    e[20026] = float((test or uf) and not ba)
    e[20033] = float(type1)
    batt_run = uf and not ba and in_v == 0 and out_v > 0
    e[40101] = 3.0 if low else 5.0 if test else 8.0 if batt_run else 1.0 if bat < 1 else 2.0
    e.update(text_signals(40000, s["manufacturer"], 15))
    e.update(text_signals(40016, s["model_text"], 10))
    e.update(text_signals(40032, s["version"], 10))
    e[30000] = e[30002] = _q(s["rated_v"], 0.1)
    e[30001] = e[30003] = _q(s["rated_f"], 0.1)
    e[40104] = float(int(s["charge"]))
    e[20000] = 0.0
    if "QT" in s["answers"]:
        code = mode_code(s)
        e[40161], e[40239] = float(_qt_source(code, out_v)), float(code)
        e[40162] = _q(single_output_f(s), 0.01)
        if m == 283:
            e[20062] = float(not s["battery_connected"])
            e[20015] = float("fan" in f)
            e[20004] = float("temperature" in f)
        elif m == 282:
            e[20062] = float(not s["battery_connected"])
    else:
        if type1:
            src, mode = (5, 4) if uf else (5, 5) if test else (3, 3)
        elif ba and in_v > 0 and out_v == 0:
            src, mode = 2, 1
        elif ba and in_v > 0 and out_v > 0:
            src, mode = 4, 2
        elif batt_run:
            src, mode = 5, 4
        elif test:
            src, mode = 5, 5
        elif not ba and in_v > 0 and out_v > 0:
            src, mode = 3, 3
        else:
            src, mode = 1, 0
        if "general" in f:
            mode = 6
        e[40161], e[40239] = float(src), float(mode)
        e[40162] = _q(single_output_f(s), 0.1) if (in_v > 0 and out_v > 0) or batt_run or test \
            else 0.0
    good = in_v > 0 and not uf
    l = [0] * 8
    if type1:
        l[1], l[2], l[6] = int(ba), int(good), int(out_v > 0)
        l[7] = 1 if bat > 0 and good else (2 if bat > 0 and uf else 0)
    elif ba:
        l[1] = int(in_v > 0)
        l[2] = l[3] = int(good)
        l[6] = int(out_v > 0)
        l[7] = int(bat > 0 and good)
    else:
        l[2] = l[3] = int(good)
        l[4] = l[5] = int(good or (uf and bat > 0))
        l[6] = int(out_v > 0)
        l[7] = 1 if bat > 0 and good else (2 if bat > 0 and uf else 0)
    if test:
        l = [0, 0, 0, 0, 0, 0, 1, 2] if type1 else [0, 0, 1, 0, 1, 1, 1, 2]
    for k in range(1, 8):
        e[40215 + k] = float(l[k])
    e[20064] = float(l[2] and not test)
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
    n = len(s["input_v"])
    s["input_v"] = [0.0] * n
    s["bypass_v"] = [0.0] * n
    s["input_f"] = 0.0
    s["bypass_f"] = 0.0
    s["mode"] = "battery"
    s["battery_i"] = -12.5


def discharge_tick(s):
    step = s["discharge_step"]
    if not step or s["mode"] != "battery":
        return
    s["charge"] = max(0.0, round(s["charge"] - step, 1))
    s["minutes"] = int(s["charge"] * 0.3)
    if s["charge"] <= 20.0:
        _add_fault(s, "low_battery")
    if s["charge"] <= 0.0:
        _add_fault(s, "depleted")
        s["discharge_step"] = 0.0


def apply_scenario(s, name):
    d = default_state(s["model"])
    if name == "normal":
        keep = {k: s[k] for k in ("speed", "answers", "ups_type1")}
        s.clear()
        s.update(d)
        s.update(keep)
    elif name == "mains_failure":
        _mains_off(s)
        s["charge"], s["minutes"] = 95.0, 30
    elif name == "low_battery":
        _mains_off(s)
        s["charge"], s["minutes"] = 20.0, 4
        _add_fault(s, "low_battery")
    elif name == "depleted":
        _mains_off(s)
        s["charge"], s["minutes"] = 0.0, 0
        _add_fault(s, "low_battery")
        _add_fault(s, "depleted")
    elif name == "discharge":
        _mains_off(s)
        s["discharge_step"] = s["discharge_step"] or 2.0
    elif name == "mains_return":
        s["discharge_step"] = 0.0
        for k in ("input_v", "bypass_v", "input_f", "bypass_f"):
            s[k] = d[k]
        s["mode"] = "line"
        s["battery_i"] = 5.0
        s["charge"], s["minutes"] = 40.0, 20
        _drop_faults(s, "low_battery", "depleted")
    elif name in ("bypass", "eco"):
        s["mode"] = name
    elif name == "overload":
        s["load"] = [112.0, 115.0, 110.0][:len(s["load"])]
        _add_fault(s, "overload")
    elif name == "test":
        s["test"] = True
    elif name == "test_end":
        s["test"] = False
    elif name == "standby":
        s["mode"] = "standby"
    elif name == "battery_disconnected":
        s["battery_connected"] = False
        s["battery_i"] = 0.0
    elif name.startswith("fault:"):
        fault = name[len("fault:"):]
        if fault == "clear":
            s["faults"] = []
        elif fault.startswith("-"):
            _drop_faults(s, fault[1:])
        elif fault in FAULTS:
            _add_fault(s, fault)
        else:
            raise ValueError("unknown fault %r" % fault)
    else:
        raise ValueError("unknown scenario %r" % name)
    return s


# --------------------------------------------------------------------------
# The UPS on the line
# --------------------------------------------------------------------------

REPLY_MODES = ("answer", "silent", "echo", "half", "bad_blank", "stray", "noise", "short_qt")
SPEEDS = {getattr(termios, "B%d" % b): b for b in (1200, 2400, 4800, 9600, 19200, 38400)}


class Simulator:
    # What a family of UPSs answers; sim/corvan_sim.py overrides these.
    replies = REPLIES

    def new_state(self, model):
        return default_state(model)

    def scenario(self, name):
        apply_scenario(self.state, name)

    def expected(self):
        return expected_signals(self.state)

    def __init__(self, model=231, speed=2400, card_tty=None, pace=True):
        self.state = self.new_state(model)
        self.state["speed"] = speed
        self.card_tty = card_tty
        self.pace = pace
        self.mismatch = "silent"
        self.reply_mode, self.reply_scope, self.reply_count = "answer", "all", None
        self.requests = []
        self.writes = []
        self.lock = threading.RLock()
        self.pending_shutdown = None  # (time, restart minutes or None)

    # -- control ---------------------------------------------------------
    def set_model(self, code):
        speed = self.state["speed"]
        self.state = self.new_state(code)
        self.state["speed"] = speed

    def set_field(self, field, value):
        s = self.state
        if field not in s or field == "model":
            raise ValueError("unknown field %r" % field)
        old = s[field]
        if isinstance(old, list) and not isinstance(value, list):
            value = [value] * len(old)
        s[field] = value

    def set_reply_mode(self, mode, scope="all", count=None):
        if mode not in REPLY_MODES:
            raise ValueError("bad reply mode %r" % mode)
        self.reply_mode, self.reply_scope, self.reply_count = mode, scope or "all", count

    def mode_for(self, command):
        if self.reply_mode == "answer" or self.reply_scope not in ("all", command):
            return "answer"
        mode = self.reply_mode
        if self.reply_count is not None:
            self.reply_count -= 1
            if self.reply_count <= 0:
                self.reply_mode, self.reply_count = "answer", None
        return mode

    # -- the line --------------------------------------------------------
    def card_speed(self):
        """The speed the card set on its end of the line (None: unknown)."""
        if not self.card_tty:
            return None
        try:
            fd = os.open(self.card_tty, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError:
            return None
        try:
            return SPEEDS.get(termios.tcgetattr(fd)[5])
        except termios.error:
            return None
        finally:
            os.close(fd)

    def control_effect(self, text):
        """What the UPS does with a control command; False if it is none."""
        s = self.state
        if text in ("T", "TL") or (text[:1] == "T" and text[1:].isdigit()):
            s["test"] = True
        elif text == "CT":
            s["test"] = False
        elif text == "Q":
            s["beeper"] = not s["beeper"]
        elif text == "C":
            self.pending_shutdown = None
            s["shutdown_pending"] = False
            if s["mode"] == "standby":
                s["mode"] = "line"
        elif text.startswith("S"):
            body, _, restart = text[1:].partition("R")
            try:
                delay = float("0" + body) * 60 if not body.startswith(".") else \
                    float(body[1:]) * 6
                minutes = int(restart) if restart else None
            except ValueError:
                return False
            self.pending_shutdown = (time.monotonic() + delay, minutes)
            s["shutdown_pending"] = True
        else:
            return False
        return True

    def tick(self):
        with self.lock:
            discharge_tick(self.state)
            p = self.pending_shutdown
            if p and time.monotonic() >= p[0]:
                self.pending_shutdown = None
                self.state["shutdown_pending"] = False
                self.state["mode"] = "standby"

    def handle(self, raw):
        """One request (bytes without the carriage return): the reply bytes."""
        text = raw.decode("latin-1", "replace")
        with self.lock:
            s = self.state
            entry = {"t": time.time(), "text": text}
            self.requests.append(entry)
            speed = self.card_speed()
            entry["card_speed"] = speed
            if speed is not None and speed != s["speed"]:
                entry["reply"] = "wrong speed"
                if self.mismatch == "noise":
                    return bytes(random.randrange(256) for _ in range(random.randrange(3, 12)))
                return b""
            if text in self.replies:
                if text not in s["answers"]:
                    entry["reply"] = "not answered"
                    return b""
                mode = self.mode_for(text)
                entry["reply"] = mode
                if mode == "short_qt" and text == "QT":
                    reply = reply_qt(s, short=True)
                else:
                    reply = self.replies[text](s)
                return self.shape(mode, text, reply)
            if self.control_effect(text):
                self.writes.append({"t": time.time(), "text": text})
                entry["reply"] = "control"
                return b""
            entry["reply"] = "unknown"
            return b""

    def shape(self, mode, text, reply):
        if mode == "silent":
            return b""
        if mode == "echo":
            reply = text + "\r" + reply
        elif mode == "half":
            reply = reply[:len(reply) // 2]
        elif mode == "bad_blank":
            k = reply.find(" ")
            reply = reply[:k] + "x" + reply[k + 1:] if k > 0 else reply
        elif mode == "stray":
            reply = reply[:1] + "?" + reply[2:]
        elif mode == "noise":
            return bytes(random.randrange(1, 256) for _ in range(len(reply)))
        return reply.encode("latin-1")


def serve_line(sim, fd, stop):
    """Reads requests from the simulator's tty and writes the replies."""
    buf = b""
    last = time.monotonic()
    while not stop.is_set():
        r, _, _ = select.select([fd], [], [], 0.05)
        now = time.monotonic()
        if not r:
            # A quiet line ends a request that never got its carriage return
            # (a Modbus frame, an altups probe): it is noise to this UPS.
            if buf and now - last > 0.1:
                sim.handle(buf)
                buf = b""
            continue
        try:
            data = os.read(fd, 1024)
        except BlockingIOError:
            continue
        except OSError:
            time.sleep(0.05)  # the card's end closed; socat keeps ours
            continue
        if buf and now - last > 0.1:
            sim.handle(buf)
            buf = b""
        last = now
        buf += data
        while b"\r" in buf:
            req, _, buf = buf.partition(b"\r")
            reply = sim.handle(req)
            if reply:
                send_paced(sim, fd, len(req) + 1, reply)


def send_paced(sim, fd, request_len, reply):
    speed = sim.state["speed"]
    if not sim.pace or not speed:
        os.write(fd, reply)
        return
    byte_time = 10.0 / speed
    time.sleep(request_len * byte_time)
    start = time.monotonic()
    sent = 0
    while sent < len(reply):
        due = int((time.monotonic() - start) / byte_time) + 1
        chunk = reply[sent:max(due, sent + 1)]
        os.write(fd, chunk)
        sent += len(chunk)
        time.sleep(0.01)


# --------------------------------------------------------------------------
# Control server
# --------------------------------------------------------------------------


def handle_command(sim, req, stop):
    cmd = req.get("cmd")
    with sim.lock:
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
        if cmd == "state":
            return copy.deepcopy(sim.state)
        if cmd == "expected":
            return {str(k): v for k, v in sim.expected().items()}
        if cmd == "requests":
            return sim.requests[int(req.get("since", 0)):]
        if cmd == "clear_requests":
            sim.requests = []
            return None
        if cmd == "writes":
            return sim.writes
        if cmd == "clear_writes":
            sim.writes = []
            return None
        if cmd == "reply_mode":
            sim.set_reply_mode(req.get("mode", "answer"), req.get("scope", "all"),
                               req.get("count"))
            return None
        if cmd == "speed":
            sim.state["speed"] = int(req["baud"])
            return None
        if cmd == "pace":
            sim.pace = bool(req.get("on", True))
            return None
        if cmd == "mismatch":
            if req.get("mode") not in ("silent", "noise"):
                raise ValueError("mismatch mode is silent or noise")
            sim.mismatch = req["mode"]
            return None
        if cmd == "quit":
            stop.set()
            return None
    raise ValueError("unknown command %r" % cmd)


# --------------------------------------------------------------------------
# Program
# --------------------------------------------------------------------------


def main(argv=None, make_simulator=None, add_arguments=None,
         description="text-protocol UPS simulator"):
    """make_simulator(args, card_tty) builds another family's Simulator;
    add_arguments(parser) adds its options."""
    p = argparse.ArgumentParser(description=description)
    simcore.add_line_arguments(p)
    p.add_argument("--card-tty", help="the card's end of the line (with --device), whose "
                   "speed decides whether the UPS hears the card")
    p.add_argument("--model", type=int, default=231)
    p.add_argument("--speed", type=int, default=2400, help="the UPS's line speed")
    p.add_argument("--no-pace", action="store_true", help="answer at once")
    p.add_argument("--ups-type1", action="store_true",
                   help="single phase: a line-interactive UPS (Q1 bit 3)")
    p.add_argument("--scenario", action="append", default=[])
    if add_arguments:
        add_arguments(p)
    args = p.parse_args(argv)

    socat, device, card_tty = None, args.device, args.card_tty
    if args.link:
        socat, device = simcore.start_socat(args.link)
        card_tty = args.link
    if make_simulator:
        sim = make_simulator(args, card_tty)
    else:
        sim = Simulator(args.model, args.speed, card_tty, pace=not args.no_pace)
        sim.state["ups_type1"] = args.ups_type1
    for name in args.scenario:
        sim.scenario(name)
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tio = termios.tcgetattr(fd)
    tio[0] = tio[1] = tio[3] = 0  # raw
    tio[6][termios.VMIN], tio[6][termios.VTIME] = 0, 0
    termios.tcsetattr(fd, termios.TCSANOW, tio)

    stop = threading.Event()
    server = simcore.control_server(lambda req: handle_command(sim, req, stop), args.control_port)
    simcore.announce_ready(server.server_address[1], device, card_tty, args.ready_file)
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())

    line = threading.Thread(target=serve_line, args=(sim, fd, stop), daemon=True)
    line.start()
    while not stop.wait(1.0):
        sim.tick()
    server.shutdown()
    os.close(fd)
    simcore.stop_socat(socat)


if __name__ == "__main__":
    main()
