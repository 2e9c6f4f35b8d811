"""Register-map UPS simulator for integration tests (sim/regups_sim.py).

    from simlib import RegupsSim
    sim = RegupsSim(tmp_path, model=299)       # 299, 297, 290, 222 or "AAAA"
    card = Card(tmp_path, settings={"ups_type": "4", "ups_baudRate": "9600"},
                ports={1: sim.card_tty})
    sim.scenario("mains_failure")              # see below
    sim.set("battery_v", 231.5)                # one state field (lists: all
                                               # phases when given one value)
    sim.model("AAAA")                          # another UPS on the same line
    sim.writes()   -> [{"fc": 6, "reg": 0x8002, "values": [0], "reply": "answer"}, ...]
    sim.clear_writes()
    sim.requests() -> [{"fc": 4, "addr": 128, "count": 51, "reply": ..., "t": ...}, ...]
    sim.clear_requests()
    sim.expected() -> {40133: 231.2, 20001: 0.0, ...}   device-60 signals the
                                               card should show for the state
    sim.state()    -> the state dict (see default_state in the simulator)
    sim.stop()                                 # also at interpreter exit

Scenarios: "normal", "mains_failure", "low_battery", "depleted",
"mains_return", "bypass", "overload", "test", "test_end", "eco", "standby",
"battery_disconnected", "fault:<name>" (general, input, bypass, output,
overload, low_battery, depleted, battery_bad, test_failed, charger, fan, fuse,
temperature, system_off; low_battery_a / low_battery_b: low battery in alarm
map A only / map B only; an AAAA fault bit name "e02Reg_E_FanFault01", or a
raw map bit "A72"/"B35"/"C29"), "fault:-<name>", "fault:clear".
sim.set("faults", [...]) replaces the fault list in one step.
Reply behaviour: "silent", "bad_crc", "exception" (every reply; add ":write"
or ":read" to limit them to control writes or polls, ":fc2" to one function
code), "answer" (back to normal replies). reply_mode(mode, scope, count)
limits it to `count` replies.

The simulator answers at Modbus address 1 unless addr= says otherwise; with
pace=True (or a baud rate) each reply is delayed by its time on the wire.
"""

import atexit
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

from cardlib import wait_for

_HERE = Path(__file__).resolve().parent
_SOURCE = Path(os.environ.get("CARD_SOURCE", _HERE.parent.parent))
SIM_PROGRAM = _SOURCE / "sim" / "regups_sim.py"
sys.path.insert(0, str(SIM_PROGRAM.parent))
from regups_sim import SimClient  # noqa: E402

try:
    from cardlib import PtyPair  # noqa: E402
except Exception:  # the harness is not there yet: a socat pair of our own

    class PtyPair:
        def __init__(self, directory, name="tty"):
            self.a = os.path.join(str(directory), name + "-a")
            self.b = os.path.join(str(directory), name + "-b")
            self._proc = subprocess.Popen(
                ["socat", "pty,raw,echo=0,link=" + self.a,
                 "pty,raw,echo=0,link=" + self.b],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while not (os.path.exists(self.a) and os.path.exists(self.b)):
                if time.monotonic() > deadline or self._proc.poll() is not None:
                    raise RuntimeError("socat did not start")
                time.sleep(0.05)

        def close(self):
            if self._proc.poll() is None:
                self._proc.terminate()
                self._proc.wait(5)


class _SimProcess:
    """A simulator program started with a socat pair and a control client."""

    def stop(self):
        if getattr(self, "client", None):
            try:
                self.client.call("quit")
            except Exception:
                pass
            self.client.close()
            self.client = None
        if getattr(self, "proc", None) and self.proc.poll() is None:
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        if getattr(self, "_log", None):
            self._log.close()
            self._log = None
        if getattr(self, "pair", None):
            self.pair.close()
            self.pair = None


class RegupsSim(_SimProcess):
    PROGRAM = SIM_PROGRAM

    def __init__(self, tmp_path, model=299, pace=False, addr=1, baud=9600,
                 scenarios=()):
        self.tmp = Path(tmp_path)
        self.tmp.mkdir(parents=True, exist_ok=True)
        self.pair = PtyPair(self.tmp, "ups")
        self.card_tty = self.pair.b
        ready = self.tmp / "regups_sim.ready"
        if ready.exists():
            ready.unlink()
        pace_baud = baud if pace is True else int(pace or 0)
        argv = [sys.executable, str(self.PROGRAM), "--device", self.pair.a,
                "--model", str(model), "--addr", str(addr), "--baud", str(baud),
                "--pace", str(pace_baud), "--ready-file", str(ready)]
        for name in scenarios:
            argv += ["--scenario", name]
        self.log_path = self.tmp / "regups_sim.log"
        self._log = open(self.log_path, "w")
        self.proc = subprocess.Popen(argv, stdout=self._log,
                                     stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while not ready.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("simulator did not start:\n"
                                   + self.log_path.read_text())
            time.sleep(0.1)
        info = json.loads(ready.read_text())
        self.client = SimClient(info["control_port"])
        atexit.register(self.stop)

    # -- state -------------------------------------------------------------
    def scenario(self, name):
        self.client.call("scenario", name=name)

    def set(self, field, value):
        self.client.call("set", field=field, value=value)

    def model(self, code):
        self.client.call("model", code=code)

    def addr(self, addr):
        self.client.call("addr", addr=addr)

    def reply_mode(self, mode="answer", scope="all", count=None):
        self.client.call("reply_mode", mode=mode, scope=scope, count=count)

    def pace(self, baud):
        self.client.call("pace", baud=baud)

    def state(self):
        return self.client.call("state")

    def expected(self):
        return {int(k): v for k, v in self.client.call("expected").items()}

    # -- what went over the line ------------------------------------------
    def writes(self):
        return self.client.call("writes")

    def clear_writes(self):
        self.client.call("clear_writes")

    def requests(self, since=0):
        return self.client.call("requests", since=since)

    def clear_requests(self):
        self.client.call("clear_requests")



GSM_SIM_PROGRAM = SIM_PROGRAM.parent / "gsm_sim.py"


class GsmSim(_SimProcess):
    """GSM modem simulator (sim/gsm_sim.py) on a socat pair; the card opens
    .card_tty as port 7.

        gsm = GsmSim(tmp_path, model="MG323")
        gsm.deliver("+8613800138000", "CXZT")      # ucs2=True lists it in UCS-2
        gsm.outbox() -> [{"number": "+86...", "text": "Input fault", ...}]
        gsm.fault("off")  /  gsm.fault("no_sim", False)   # off, no_sim,
                                                  # no_network, refuse
        gsm.commands()   -> ["AT", "ATE0", ...]   every command line it got
    """

    def __init__(self, tmp_path, model="MG323", faults=()):
        self.tmp = Path(tmp_path)
        self.tmp.mkdir(parents=True, exist_ok=True)
        self.pair = PtyPair(self.tmp, "gsm")
        self.card_tty = self.pair.b
        ready = self.tmp / "gsm_sim.ready"
        if ready.exists():
            ready.unlink()
        argv = [sys.executable, str(GSM_SIM_PROGRAM), "--device", self.pair.a,
                "--model", model, "--ready-file", str(ready)]
        for f in faults:
            argv += ["--fault", f]
        self.log_path = self.tmp / "gsm_sim.log"
        self._log = open(self.log_path, "w")
        self.proc = subprocess.Popen(argv, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while not ready.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("GSM simulator did not start:\n" + self.log_path.read_text())
            time.sleep(0.1)
        self.client = SimClient(json.loads(ready.read_text())["control_port"])
        atexit.register(self.stop)

    def deliver(self, sender, text, ucs2=False):
        return self.client.call("deliver", sender=sender, text=text, ucs2=ucs2)

    def outbox(self):
        return self.client.call("outbox")

    def clear_outbox(self):
        self.client.call("clear_outbox")

    def inbox(self):
        return self.client.call("inbox")

    def fault(self, name, on=True):
        return self.client.call("fault", name=name, on=on)

    def set(self, field, value):
        self.client.call("set", field=field, value=value)

    def commands(self, since=0):
        return self.client.call("commands", since=since)

    def state(self):
        return self.client.call("state")



TXT_SIM_PROGRAM = _SOURCE / "sim" / "txtups_sim.py"


class TxtupsSim(RegupsSim):
    """Text-protocol UPS simulator (sim/txtups_sim.py) for the txtups drivers
    and identification:

        sim = TxtupsSim(tmp_path, model=231, speed=2400)   # 231, 221, 211, 201
                                                 # (three-phase); 283, 282, 101
        card = Card(tmp_path, settings={"ups_type": "1"}, ports={1: sim.card_tty})
        sim.requests() -> [{"text": "G1", "reply": "answer", "card_speed": 2400,
                            "t": ...}, ...]       # every request the UPS heard
        sim.commands() -> ["MODEL", "G1", ...]    # their texts
        sim.speed(4800)                          # the UPS's line speed
        sim.mismatch("noise")                    # garbage at a wrong speed
        sim.reply_mode("bad_blank", scope="Q1", count=2)

    It answers only while the card's end of the line is at its speed.
    Scenarios, set/state/expected and writes() (control commands received)
    as RegupsSim; reply modes: answer, silent, echo, half, bad_blank, stray,
    noise, short_qt."""

    def __init__(self, tmp_path, model=231, speed=2400, pace=True, ups_type1=False,
                 scenarios=(), program=TXT_SIM_PROGRAM, extra=()):
        self.tmp = Path(tmp_path)
        self.tmp.mkdir(parents=True, exist_ok=True)
        self.pair = PtyPair(self.tmp, "ups")
        self.card_tty = self.pair.b
        ready = self.tmp / "txtups_sim.ready"
        if ready.exists():
            ready.unlink()
        argv = [sys.executable, str(program), "--device", self.pair.a,
                "--card-tty", self.pair.b, "--model", str(model), "--speed", str(speed),
                "--ready-file", str(ready)] + list(extra)
        argv += [] if pace else ["--no-pace"]
        argv += ["--ups-type1"] if ups_type1 else []
        for name in scenarios:
            argv += ["--scenario", name]
        self.log_path = self.tmp / "txtups_sim.log"
        self._log = open(self.log_path, "w")
        self.proc = subprocess.Popen(argv, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while not ready.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("simulator did not start:\n" + self.log_path.read_text())
            time.sleep(0.1)
        self.client = SimClient(json.loads(ready.read_text())["control_port"])
        atexit.register(self.stop)

    def commands(self, since=0):
        return [r["text"] for r in self.requests(since)]

    def speed(self, baud):
        self.client.call("speed", baud=baud)

    def pace(self, on=True):
        self.client.call("pace", on=on)

    def mismatch(self, mode):
        self.client.call("mismatch", mode=mode)


CORVAN_SIM_PROGRAM = _SOURCE / "sim" / "corvan_sim.py"


class CorvanSim(TxtupsSim):
    """CORVAN text-protocol UPS simulator (sim/corvan_sim.py) for txtups_p
    (ups_type 8), txtups_q (9) and txtups_r (10): the UPS answers Q1, Q6 and
    WA; `driver` tells which driver the card runs, so that expected() holds
    what that driver should show.

        sim = CorvanSim(tmp_path, driver="txtups_q")     # phases=1 or 3
        card = Card(tmp_path, settings={"ups_type": "9"}, ports={1: sim.card_tty})
        sim.scenario("mains_failure"); sim.expected(); sim.commands()

    Everything else as TxtupsSim (scenarios, set, reply_mode, speed, ...);
    the scenario "test_failed" ends a test as failed."""

    def __init__(self, tmp_path, driver="txtups_r", phases=None, speed=2400, pace=True,
                 scenarios=()):
        extra = ["--driver", driver] + (["--phases", str(phases)] if phases else [])
        super().__init__(tmp_path, speed=speed, pace=pace, scenarios=scenarios,
                         program=CORVAN_SIM_PROGRAM, extra=extra)


PORT3_SIM_PROGRAM = SIM_PROGRAM.parent / "port3_sim.py"


class Port3Sim:
    """The RS-485 line of port 3 (sim/port3_sim.py): sensor modules, battery
    packs and a Modbus master polling the card's serial slave, on one socat
    pair; the card opens .card_tty as port 3.

        line = Port3Sim(tmp_path, modules=["1", "2", "3:101", "4:102"],
                        packs=["5:y", "6:y"])
        line.scenario("hot:1")          # hot:A, cold:A, silent:A, answer:A, normal
        line.module(2, humidity=700)    # kind, temperature, humidity, silent
        line.pack(5, registers={7: 55})
        line.expected(5) -> {41000: 512.5, ...}   the pack's card signals
        line.requests() -> [{"t":..., "unit": 5, "fc": 3, "reply": "answer"}, ...]
        line.master(on=True, slave=100, fc=2, start=291, count=5)
        line.master_log() -> [{"t":..., "ok": True, "answer_s": 0.031}, ...]
        line.writes() -> [{"unit": 5, "reg": 512, "value": 1}, ...]
    """

    def __init__(self, tmp_path, modules=("1", "2", "3", "4"), packs=(), pace=True):
        self.tmp = Path(tmp_path)
        self.tmp.mkdir(parents=True, exist_ok=True)
        self.pair = PtyPair(self.tmp, "rs485")
        self.card_tty = self.pair.b
        ready = self.tmp / "port3_sim.ready"
        if ready.exists():
            ready.unlink()
        argv = [sys.executable, str(PORT3_SIM_PROGRAM), "--device", self.pair.a,
                "--ready-file", str(ready)] + (["--pace"] if pace else [])
        for m in modules:
            argv += ["--module", str(m)]
        for p in packs:
            argv += ["--pack", str(p)]
        self.log_path = self.tmp / "port3_sim.log"
        self._log = open(self.log_path, "w")
        self.proc = subprocess.Popen(argv, stdout=self._log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while not ready.exists():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("simulator did not start:\n" + self.log_path.read_text())
            time.sleep(0.1)
        self.client = SimClient(json.loads(ready.read_text())["control_port"])
        atexit.register(self.stop)

    def scenario(self, name):
        self.client.call("scenario", name=name)

    def module(self, addr, **fields):
        self.client.call("module", addr=addr, **fields)

    def pack(self, addr, registers=None, silent=None):
        kw = {"registers": {str(k): v for k, v in (registers or {}).items()}}
        if silent is not None:
            kw["silent"] = silent
        self.client.call("pack", addr=addr, **kw)

    def expected(self, addr):
        return {int(k): v for k, v in self.client.call("expected", addr=addr).items()}

    def state(self):
        return self.client.call("state")

    def requests(self, since=0):
        return self.client.call("requests", since=since)

    def writes(self):
        return self.client.call("writes")

    def master(self, **kw):
        self.client.call("master", **kw)

    def master_log(self, since=0):
        return self.client.call("master_log", since=since)

    stop = RegupsSim.stop


class RegupsFamilySim(RegupsSim):
    """The other register-map families (sim/regups_family_sim.py): model "b"
    (regups_b, ups_type 2, protocol 2.60), "b25" (the same at 2.50), "c"
    (regups_c, ups_type 3) and "d" (regups_d, ups_type 7). The same calls as
    RegupsSim; scenarios normal, mains_failure, mains_return, low_battery,
    bypass, test, test_end, standby, battery_disconnected, maintenance, epo,
    fault:NAME, and the reply modes.

        sim = RegupsFamilySim(tmp_path, model="c")
    """

    PROGRAM = SIM_PROGRAM.parent / "regups_family_sim.py"
    UPS_TYPE = {"b": 2, "b25": 2, "c": 3, "d": 7}

    def __init__(self, tmp_path, model="b", **kw):
        super().__init__(tmp_path, model=model, **kw)


# ---- the card against the simulator ----

def read_signals(card, dev=60):
    """Every signal of a device, as cardctl lists them."""
    out = {}
    for line in card.ctl("signal", "list", str(dev)).splitlines():
        m = re.match(r"\s*(-?\d+)\s*=\s*(\S+)", line)
        if m:
            out[int(m.group(1))] = float(m.group(2))
    return out


def wait_match(card, sim, what, timeout=30):
    """Waits until every signal the simulator expects reads so on the card."""
    expected = sim.expected()
    bad = []

    def matches():
        got = read_signals(card)
        bad[:] = [(s, w, got.get(s, 0.0)) for s, w in sorted(expected.items())
                  if abs(got.get(s, 0.0) - w) > 0.02 + 1e-4 * abs(w)]
        return not bad

    try:
        wait_for(matches, timeout=timeout, what=what)
    except AssertionError:
        raise AssertionError("%s: (signal, expected, card) %s" % (what, bad[:20]))


def alarm_rows(card, alarm_id):
    """The current_alarm rows of one alarm (none while the store creates its file)."""
    try:
        return card.query("alarm_info.db", "select * from current_alarm where Alarm_Id=?",
                          (str(alarm_id),))
    except Exception:
        return []
