#!/usr/bin/python3
"""CORVAN text-protocol UPS simulator (the txtups_p, txtups_q and txtups_r
drivers) on a serial line.

A CORVAN UPS speaks the text protocol of sim/txtups_sim.py, whose machinery
this simulator runs on (socat pair, real line speed and pacing, reply modes,
JSON-lines control, scenarios); only the replies and what the card should
show differ. The UPS answers three commands:

  Q1  the single-phase status line, as txtups_sim.py writes it:
      "(III.I FFF.F OOO.O LLL HH.H B.BB TT.T b7..b0"
  Q6  measurements, 108 bytes: "(" input V R S T "%05.1f", input Hz "%04.1f",
      output V R S T, output Hz, load % R S T "%03d", battery + and - V
      "%05.1f", temperature "%04.1f", battery time in seconds "%05d",
      charge % "%03d", mode digit D, test state digit T, fault code (8
      digits), status bits (8), separated by single blanks, then "\\r"
  WA  power, 80 bytes: "(" active power kW R S T "%05.1f", apparent power
      kVA R S T, total kW, total kVA, output current A R S T, load % "%03d",
      status bits (8), separated by single blanks, then "\\r"

  Status bits: utility fail, battery low, bypass active, UPS failed, UPS
  type 1, test, shutdown active, reserved 0.
  D: 1 standby, 2 bypass, 3 line, 4 battery, 5 battery test, 8 eco.
  T: 1 while a test runs, 3 after a failed test (set test_failed), else 0.

--driver names the driver the card runs (it decides what `expected` returns):
txtups_p (single phase by default, Q1 only), txtups_q (Q6, WA) or txtups_r
(Q1, Q6, WA), three phase by default; --phases 1 or 3 chooses otherwise.

Control, scenarios and reply modes as txtups_sim.py; the scenario
"test_failed" ends a test with T = 3, state fields of its own: power_kw,
apparent_kva, output_i (per phase), fault_code, test_failed.

Run: corvan_sim.py --link /tmp/ttyUPS --driver txtups_q [--scenario ...]
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import txtups_sim as base  # noqa: E402

DRIVERS = ("txtups_p", "txtups_q", "txtups_r")
CORVAN_CODES = {"standby": 1, "bypass": 2, "line": 3, "battery": 4, "eco": 8}
BATTERY_TEST = 5
MANUFACTURER = "CORVAN"
P_MODEL = "CORVAN 1P"  # the model text txtups_p states
RATED_V, RATED_F = 220.0, 50.0

# Signals txtups_p reports from Q1 (its temperature too).
P_SIGNALS = {20001, 20002, 20005, 20008, 20017, 20023, 20026, 20033, 20064, 30007, 40101,
             40105, 40107, 40132, 40133, 40139, 40161, 40162, 40163, 40164, 40173, 40191,
             40192, 40193, 40238, 40239} | set(range(40216, 40223))


def corvan_state(driver, phases=None):
    phases = phases or (1 if driver == "txtups_p" else 3)
    s = base.default_state(101 if phases == 1 else 201)
    three = phases == 3
    s.update({
        "driver": driver,
        "answers": ["Q1", "Q6", "WA"],
        "manufacturer": MANUFACTURER,
        "power_kw": [3.2, 3.1, 3.3] if three else [0.8],
        "apparent_kva": [4.0, 3.9, 4.1] if three else [1.0],
        "output_i": [14.5, 14.1, 14.9] if three else [4.5],
        "fault_code": 0,
        "test_failed": False,
    })
    return s


def three(values):
    return [values[k] if k < len(values) else 0.0 for k in range(3)]


def mode_digit(s):
    return BATTERY_TEST if s["test"] else CORVAN_CODES[s["mode"]]


def test_digit(s):
    return 1 if s["test"] else (3 if s["test_failed"] else 0)


def battery_halves(s):
    v = s["battery_v"] if s["battery_connected"] else 0.0
    return (v / 2, v / 2) if s["phases"] == 3 else (v, 0.0)


def utility_fail(s):
    return s["input_v"][0] == 0


def bypass_active(s):
    return s["mode"] in ("bypass", "eco")


def status_bits(s):
    f = s["faults"]
    return base.bits(utility_fail(s), "low_battery" in f, bypass_active(s), "general" in f,
                     s["ups_type1"], s["test"], s["shutdown_pending"], 0)


def measured(s):
    """Output voltages, frequency, load, power, apparent power and currents
    per phase: all zero while the output is off."""
    off = base.output_off(s)
    zero = [0.0] * 3
    return {
        "out": zero if off else three(s["output_v"]),
        "hz": 0.0 if off else s["output_f"],
        "load": zero if off else three(s["load"]),
        "p": zero if off else three(s["power_kw"]),
        "a": zero if off else three(s["apparent_kva"]),
        "i": zero if off else three(s["output_i"]),
    }


def v5(v):
    return "%05.1f" % min(max(v, 0.0), 999.9)


def reply_q6(s):
    m = measured(s)
    plus, minus = battery_halves(s)
    fields = [v5(v) for v in three(s["input_v"])] + ["%04.1f" % s["input_f"]]
    fields += [v5(v) for v in m["out"]] + ["%04.1f" % m["hz"]]
    fields += ["%03d" % int(v) for v in m["load"]]
    fields += [v5(plus), v5(minus), "%04.1f" % s["temperature"], "%05d" % (s["minutes"] * 60),
               "%03d" % int(s["charge"]), "%d" % mode_digit(s), "%d" % test_digit(s),
               "%08d" % s["fault_code"], status_bits(s)]
    return "(" + " ".join(fields) + "\r"


def reply_wa(s):
    m = measured(s)
    fields = [v5(v) for v in m["p"]] + [v5(v) for v in m["a"]]
    fields += [v5(sum(m["p"])), v5(sum(m["a"]))] + [v5(v) for v in m["i"]]
    fields += ["%03d" % int(max(m["load"])), status_bits(s)]
    return "(" + " ".join(fields) + "\r"


REPLIES = {"Q1": base.reply_q1, "Q6": reply_q6, "WA": reply_wa}


# --------------------------------------------------------------------------
# What the card should show
# --------------------------------------------------------------------------

_q = base._q  # pylint: disable=protected-access


def text_signals(sig, text):
    e = {sig + k: float(ord(c)) for k, c in enumerate(text)}
    if len(text) < 16:
        e[sig + len(text)] = 0.0
    return e


def expected_p(s):
    # The single-phase Q1 rules of txtups_1, without the commands txtups_p
    # does not send.
    e = {k: v for k, v in base._expected_single(s).items()  # pylint: disable=protected-access
         if k in P_SIGNALS}
    for sig, text in ((40000, MANUFACTURER), (40064, MANUFACTURER), (40016, P_MODEL),
                      (40032, P_MODEL)):
        e.update(text_signals(sig, text))
    return e


def expected_qr(s):
    e = {}
    m = measured(s)
    inp = three(s["input_v"])
    out = m["out"]
    f = s["faults"]
    uf, low, ba = utility_fail(s), "low_battery" in f, bypass_active(s)
    failed = "general" in f
    d, t = mode_digit(s), test_digit(s)
    for k in range(3):
        e[40133 + k] = _q(inp[k], 0.1)
        e[40164 + k] = _q(out[k], 0.1)
        e[40193 + k] = _q(out[k], 0.1) if ba else 0.0
        e[40173 + k] = float(int(m["load"][k]))
        e[40170 + k] = _q(m["p"][k], 0.1) * 1000
        e[40180 + k] = _q(m["a"][k], 0.1) * 1000
        e[40167 + k] = _q(m["i"][k], 0.1)
    three_in = inp[1] > 0 and inp[2] > 0
    e[40132] = 3.0 if three_in else 1.0
    e[40139] = _q(s["input_f"], 0.1)
    if three_in:
        e[40140] = e[40141] = e[40139]
    e[40162] = _q(m["hz"], 0.1)
    e[40163] = e[40192] = 3.0 if out[1] > 0 and out[2] > 0 else 1.0
    e[40191] = e[40162] if ba else 0.0
    plus, minus = battery_halves(s)
    e[40105] = e[40108] = _q(plus, 0.1)
    e[40109] = _q(minus, 0.1)
    e[40107] = e[40238] = _q(s["temperature"], 0.1)
    e[40103] = float(s["minutes"])
    e[40104] = float(int(s["charge"]))
    on_byp, on_bat = d in (2, 8), d == 4
    e[40161] = 4.0 if on_byp else 3.0 if d == 3 else 5.0 if d in (4, 5) else 1.0
    e[20001] = float(on_bat)
    e[40239] = float(d)
    # status bits of WA (and Q1)
    e[20005], e[20002], e[20008] = float(uf), float(low), float(ba)
    e[20017], e[20033] = float(failed), float(s["ups_type1"])
    # the tail of every record
    e[30000] = e[30002] = RATED_V
    e[30001] = e[30003] = RATED_F
    testing = s["test"] or t == 1 or d == BATTERY_TEST
    e[20023] = float(testing)
    e[20018] = float(not testing and t == 3)
    e[40101] = 3.0 if low else 8.0 if on_bat else 5.0 if d == BATTERY_TEST else 2.0
    # energy flow
    good = inp[0] > 0 and not uf
    batt = plus > 0
    out_v = out[0]
    l = [0] * 8
    if on_byp:
        if out_v >= 1:
            l[1], l[2], l[3] = 1, int(good), int(good)
            l[7] = int(batt and good)
    else:
        l[2] = l[3] = int(good)
        l[4] = l[5] = int(good or (batt and on_bat))
        l[7] = 2 if batt and on_bat else (1 if batt and good else 0)
    l[6] = int(out_v > 0 and not failed)
    if testing:
        l[1], l[2], l[3], l[4], l[5], l[7] = 0, 1, 0, 1, 1, 2
    for k in range(1, 8):
        e[40215 + k] = float(l[k])
    e[20064] = float(not on_byp and not testing and good)
    return e


class CorvanSimulator(base.Simulator):
    replies = REPLIES

    def __init__(self, driver, phases, speed=2400, card_tty=None, pace=True):
        self.driver, self.phases = driver, phases
        super().__init__(driver, speed, card_tty, pace)

    def new_state(self, model):
        """model: the driver the card runs (txtups_p, txtups_q, txtups_r)."""
        if model not in DRIVERS:
            raise ValueError("unknown driver %r" % model)
        self.driver = model
        return corvan_state(model, self.phases)

    def scenario(self, name):
        s = self.state
        if name == "normal":
            keep = {k: s[k] for k in ("speed", "ups_type1")}
            s.clear()
            s.update(corvan_state(self.driver, self.phases))
            s.update(keep)
        elif name == "test_failed":
            s["test"], s["test_failed"] = False, True
        else:
            if name == "test":
                s["test_failed"] = False
            base.apply_scenario(s, name)

    def expected(self):
        return expected_p(self.state) if self.driver == "txtups_p" else expected_qr(self.state)


def add_arguments(p):
    p.add_argument("--driver", choices=DRIVERS, default="txtups_r",
                   help="the driver the card runs (decides the expected signals)")
    p.add_argument("--phases", type=int, choices=(1, 3),
                   help="default: 1 for txtups_p, else 3")


def make_simulator(args, card_tty):
    sim = CorvanSimulator(args.driver, args.phases, args.speed, card_tty, pace=not args.no_pace)
    sim.state["ups_type1"] = args.ups_type1
    return sim


if __name__ == "__main__":
    base.main(make_simulator=make_simulator, add_arguments=add_arguments,
              description="CORVAN text-protocol UPS simulator")
