"""The two MIB modules inside net-snmp's real snmpd, without cardmon: the test
fills the shared block itself, talks to the agent with net-snmp's tools, reads
the command queue and receives the notifications with snmptrapd. Every test has
its own System V key (CARDMON_IPC_KEY), ports and directory."""

import ctypes
import os
import random
import re
import signal
import subprocess

import pytest

from cardlib import STAGE, SOURCE, free_port, wait_for

BLOCK_SIZE = 1164
IPC_CREAT, IPC_NOWAIT, IPC_RMID = 0o1000, 0o4000, 0
MIBS_DIR = os.path.join(SOURCE, "src", "svc_snmp", "mibs")

# Byte offsets of the shared block (an external format; see shmblock.h).
OFF = {
    "batteryLastReplaceDate": 32, "thsTemperature": 100, "thsHumidity": 116, "overTemperature": 132,
    "identManufacturer": 148, "identModel": 180, "identUpsSoftwareVersion": 244,
    "identAgentSoftwareVersion": 308, "identName": 372,
    "batteryStatus": 500, "secondsOnBattery": 504, "minutesRemaining": 508, "chargeRemaining": 512,
    "batteryVoltage": 516, "batteryCurrent": 520, "batteryTemperature": 524,
    "inputLineBads": 528, "inputNumLines": 532, "inputVoltage": 536, "inputCurrent": 548,
    "inputFrequency": 560, "inputTruePower": 572,
    "outputSource": 584, "outputFrequency": 588, "outputNumLines": 592, "outputVoltage": 596,
    "outputCurrent": 608, "outputPower": 620, "outputPercentLoad": 632,
    "bypassFrequency": 644, "bypassNumLines": 648, "bypassVoltage": 652, "bypassCurrent": 664,
    "bypassPower": 676,
    "configInputVoltage": 688, "configInputFreq": 692, "configOutputVA": 704,
    "configAudibleStatus": 716,
    "rectifierRun": 728, "alarmTable": 764, "alarmState": 1020, "runTime": 1160,
}

_libc = ctypes.CDLL(None, use_errno=True)
_libc.shmget.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_int]
_libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_libc.shmat.restype = ctypes.c_void_p
_libc.shmdt.argtypes = [ctypes.c_void_p]
_libc.shmctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
_libc.msgget.argtypes = [ctypes.c_int, ctypes.c_int]
_libc.msgrcv.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_long, ctypes.c_int]
_libc.msgrcv.restype = ctypes.c_ssize_t
_libc.msgctl.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_void_p]


class Message(ctypes.Structure):
    _fields_ = [("type", ctypes.c_long), ("data", ctypes.c_ubyte * 256)]


class SharedBlock:
    """The 1164-byte block and the command queue under one key."""

    def __init__(self, key):
        self.key = key
        self.shmid = _libc.shmget(key, BLOCK_SIZE, IPC_CREAT | 0o666)
        assert self.shmid >= 0, os.strerror(ctypes.get_errno())
        self.addr = _libc.shmat(self.shmid, None, 0)
        assert self.addr not in (None, ctypes.c_void_p(-1).value)
        self.qid = _libc.msgget(key, IPC_CREAT | 0o660)

    def set(self, name, value, index=0):
        ctypes.c_int32.from_address(self.addr + OFF[name] + 4 * index).value = int(value)

    def get(self, name, index=0):
        return ctypes.c_int32.from_address(self.addr + OFF[name] + 4 * index).value

    def set_text(self, name, text, size):
        raw = text.encode()[:size - 1].ljust(size, b"\0")
        ctypes.memmove(self.addr + OFF[name], raw, size)

    def set_alarm(self, i, event_id, time):
        ctypes.c_uint8.from_address(self.addr + OFF["alarmTable"] + 8 * i).value = event_id
        ctypes.c_uint32.from_address(self.addr + OFF["alarmTable"] + 8 * i + 4).value = time

    def set_state(self, j, v):
        self.set("alarmState", v, j)

    def messages(self, mtype=0):
        out = []
        while True:
            m = Message()
            n = _libc.msgrcv(self.qid, ctypes.byref(m), 256, mtype, IPC_NOWAIT)
            if n < 0:
                return out
            d = bytes(m.data)
            out.append((m.type, d[0], d[1] * 256 + d[2], d[3] * 256 + d[4]))

    def remove(self):
        _libc.shmdt(ctypes.c_void_p(self.addr))
        _libc.shmctl(self.shmid, IPC_RMID, None)
        _libc.msgctl(self.qid, IPC_RMID, None)


def unique_key():
    return 0x5C000000 + random.randrange(1, 0xFFFFFF)


def module_path(name):
    for base in (os.path.join(STAGE, "lib"), os.path.join(os.environ.get("CARD_BUILD", ""), "lib")):
        p = os.path.join(base, f"lib{name}.so")
        if os.path.isfile(p):
            return p
    pytest.skip(f"lib{name}.so is not built")


class TrapReceiver:
    """snmptrapd on a loopback port, one line per notification."""

    def __init__(self, directory, extra=""):
        self.port = free_port(__import__("socket").SOCK_DGRAM)
        self.log = os.path.join(directory, "traps.log")
        conf = os.path.join(directory, "snmptrapd.conf")
        with open(conf, "w") as f:
            f.write("disableAuthorization yes\n" + extra)
        open(self.log, "w").close()
        self.proc = subprocess.Popen(
            ["snmptrapd", "-f", "-C", "-c", conf, "-n", "-On", "-m", "", "-Lf", self.log,
             "-F", "TRAP %v\n", f"udp:127.0.0.1:{self.port}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(directory, "trapd-state")))
        wait_for(lambda: "NET-SNMP version" in self.text(), 10, "snmptrapd to start")

    def text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def traps(self):
        return [line for line in self.text().splitlines() if line.startswith("TRAP ")]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(5)


class Agent:
    """snmpd with one of our modules, its own config, key and port."""

    def __init__(self, directory, module, key, extra=""):
        self.dir = str(directory)
        self.port = free_port(__import__("socket").SOCK_DGRAM)
        self.conf = os.path.join(self.dir, "snmpd.cfg")
        self.log = os.path.join(self.dir, "snmpd.log")
        with open(self.conf, "w") as f:
            f.write(f"agentAddress udp:127.0.0.1:{self.port}\n"
                    f"dlmod {module} {module_path(module)}\n"
                    "rocommunity public\nrwcommunity private\n" + extra)
        env = dict(os.environ, CARDMON_IPC_KEY=str(key), MIBS="",
                   SNMP_PERSISTENT_DIR=os.path.join(self.dir, "state"))
        self.logf = open(self.log, "w")
        self.proc = subprocess.Popen(["/usr/sbin/snmpd", "-f", "-C", "-c", self.conf, "-LOn"],
                                     stdout=self.logf, stderr=subprocess.STDOUT, env=env)

    def wait_ready(self):
        wait_for(lambda: self.get("1.3.6.1.2.1.1.5.0") is not None or self.proc.poll() is not None,
                 10, "snmpd to answer")
        assert self.proc.poll() is None, self.text()

    def text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def tool(self, prog, *args, community="public"):
        r = subprocess.run([prog, "-m", "", "-On", "-Ot", "-v2c", "-c", community, "-t", "1", "-r", "1",
                            f"127.0.0.1:{self.port}", *args], capture_output=True, text=True,
                           timeout=60)
        return r.returncode, r.stdout + r.stderr

    def get(self, oid):
        rc, out = self.tool("snmpget", "-Oqv", oid)
        return out.strip() if rc == 0 and "No Such" not in out else None

    def walk(self, oid):
        rc, out = self.tool("snmpwalk", "-Oq", oid)
        assert rc == 0, out
        values = {}
        for line in out.splitlines():
            if line.startswith("."):
                k, _, v = line.partition(" ")
                values[k[1:]] = v.strip().strip('"')
        return values

    def set(self, oid, kind, value):
        return self.tool("snmpset", oid, kind, str(value), community="private")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.logf.close()


@pytest.fixture
def lab(tmp_path):
    """Starts agents and trap receivers; removes the IPC objects afterwards."""
    made = {"agents": [], "blocks": [], "traps": []}

    class Lab:
        def agent(self, module="upsmib", sink=None, sink_line=None):
            key = unique_key()
            extra = f"trap2sink 127.0.0.1:{sink.port} public\n" if sink else ""
            if sink_line:
                extra = sink_line + "\n"
            d = tmp_path / f"a{len(made['agents'])}"
            d.mkdir()
            a = Agent(d, module, key, extra)
            made["agents"].append(a)
            a.wait_ready()
            b = SharedBlock(key)  # the module zeroed it when it attached
            made["blocks"].append(b)
            return a, b

        def traps(self, extra=""):
            d = tmp_path / f"t{len(made['traps'])}"
            d.mkdir()
            t = TrapReceiver(str(d), extra)
            made["traps"].append(t)
            return t

    yield Lab()
    for a in made["agents"]:
        a.stop()
    for t in made["traps"]:
        t.stop()
    for b in made["blocks"]:
        b.remove()


UPS = "1.3.6.1.2.1.33.1"


def fill_three_phase(b):
    b.set_text("identManufacturer", "ACME Power", 32)
    b.set_text("identModel", "TriPhase 20k", 64)
    b.set("batteryStatus", 2)
    b.set("batteryVoltage", 2712)
    b.set("batteryCurrent", -5)
    b.set("inputNumLines", 3)
    for p, v in enumerate((230, 231, 229)):
        b.set("inputVoltage", v, p)
        b.set("inputFrequency", 500 + p, p)
    b.set("outputNumLines", 1)
    b.set("outputVoltage", 220)
    b.set("outputPercentLoad", 37)
    b.set("bypassNumLines", 2)
    b.set("bypassVoltage", 225)


def test_upsmib_walk_serves_block_and_line_tables(lab):
    agent, b = lab.agent("upsmib")
    fill_three_phase(b)
    w = agent.walk("1.3.6.1.2.1.33")
    assert w[f"{UPS}.1.1.0"] == "ACME Power"
    assert w[f"{UPS}.1.2.0"] == "TriPhase 20k"
    assert w[f"{UPS}.2.1.0"] == "2"
    assert w[f"{UPS}.2.5.0"] == "2712"
    assert w[f"{UPS}.2.6.0"] == "-5"
    # input table: three rows, index column and phase values
    for row, v in enumerate((230, 231, 229), 1):
        assert w[f"{UPS}.3.3.1.1.{row}"] == str(row)
        assert w[f"{UPS}.3.3.1.3.{row}"] == str(v)
        assert w[f"{UPS}.3.3.1.2.{row}"] == str(500 + row - 1)
    # output table: single phase -> row 1 only
    assert w[f"{UPS}.4.4.1.2.1"] == "220"
    assert w[f"{UPS}.4.4.1.5.1"] == "37"
    assert not [k for k in w if k.startswith(f"{UPS}.4.4.1.") and k.endswith((".2", ".3"))]
    # bypass: two lines is no valid layout -> empty table
    assert not [k for k in w if k.startswith(f"{UPS}.5.3.")]
    # defaults of the test and control groups
    assert w[f"{UPS}.7.1.0"] == ".1.3.6.1.2.1.33.1.7.7.1"
    assert w[f"{UPS}.7.3.0"] == "6"
    assert w[f"{UPS}.8.1.0"] == "2" and w[f"{UPS}.8.2.0"] == "-1" and w[f"{UPS}.8.5.0"] == "1"
    assert len([k for k in w if k.endswith(".0")]) == 42

    b.set("inputNumLines", 2)
    w = agent.walk(f"{UPS}.3")
    assert not [k for k in w if k.startswith(f"{UPS}.3.3.")]


def test_upsmib_alarm_table_rows(lab):
    agent, b = lab.agent("upsmib")
    b.set_alarm(0, 7, 500)
    b.set_alarm(3, 30, 0)  # unknown alarm number, no time
    w = agent.walk(f"{UPS}.6")
    assert w[f"{UPS}.6.1.0"] == "2"
    assert w[f"{UPS}.6.2.1.1.1"] == "7"
    assert w[f"{UPS}.6.2.1.2.1"] == ".1.3.6.1.2.1.33.1.6.3.7"
    assert w[f"{UPS}.6.2.1.3.1"] == "500"
    assert w[f"{UPS}.6.2.1.1.4"] == "30"
    assert f"{UPS}.6.2.1.2.4" not in w and f"{UPS}.6.2.1.3.4" not in w
    assert not [k for k in w if k.endswith((".2", ".3", ".5", ".6")) and ".6.2.1." in k]


def test_upsmib_sets_send_commands_and_refuse_bad_values(lab):
    agent, b = lab.agent("upsmib")
    b.messages()
    rc, out = agent.set(f"{UPS}.8.2.0", "i", 5)
    assert rc == 0, out
    assert b.messages() == [(10, 23, 12, 0)]
    assert agent.get(f"{UPS}.8.2.0") == "12"  # runTime stays 0: no countdown
    rc, out = agent.set(f"{UPS}.8.2.0", "i", 601)
    assert "wrongValue" in out
    rc, out = agent.set(f"{UPS}.8.4.0", "i", 301)
    assert "wrongValue" in out
    rc, out = agent.set(f"{UPS}.8.2.0", "i", -1)
    assert rc == 0, out
    assert b.messages() == [(10, 6, 0, 0)]
    assert agent.get(f"{UPS}.8.2.0") == "-1"
    rc, out = agent.set(f"{UPS}.8.3.0", "i", 70000)  # start-up: 16-bit value saturates
    assert rc == 0, out
    assert b.messages() == [(10, 5, 65535, 0)]
    assert "wrongType" in agent.set(f"{UPS}.8.2.0", "s", "5")[1]
    assert "wrongValue" in agent.set(f"{UPS}.8.1.0", "i", 1)[1]

    assert "wrongValue" in agent.set(f"{UPS}.7.1.0", "o", "1.3.6.1.2.1.33.1.7.7.3")[1]
    assert "wrongValue" in agent.set(f"{UPS}.7.1.0", "o", "1.3.6.1.2.1.33.1.7.8.4")[1]
    assert "wrongType" in agent.set(f"{UPS}.7.1.0", "i", 4)[1]
    rc, out = agent.set(f"{UPS}.7.1.0", "o", "1.3.6.1.2.1.33.1.7.7.4")
    assert rc == 0, out
    assert b.messages() == [(10, 0, 0, 0)]
    assert agent.get(f"{UPS}.7.1.0") == ".1.3.6.1.2.1.33.1.7.7.4"
    assert agent.get(f"{UPS}.7.2.0") == "2"

    assert "wrongValue" in agent.set(f"{UPS}.9.1.0", "i", 230)[1]
    rc, out = agent.set(f"{UPS}.9.8.0", "i", 3)
    assert rc == 0, out
    assert b.messages() == [(10, 8, 0, 0)]

    assert "wrongLength" in agent.set(f"{UPS}.1.5.0", "s", "x" * 40)[1]
    assert "wrongValue" in agent.set(f"{UPS}.1.5.0", "x", "41 0A 42")[1]
    rc, out = agent.set(f"{UPS}.1.5.0", "s", "rack 7")
    assert rc == 0, out
    assert b.messages(5) and b.messages() == []
    assert "notWritable" in agent.set(f"{UPS}.2.1.0", "i", 1)[1]


def test_upsmib_alarm_traps(lab):
    traps = lab.traps()
    agent, b = lab.agent("upsmib", sink=traps)
    b.set_state(2, 1)
    added = wait_for(lambda: [t for t in traps.traps() if ".1.3.6.1.2.1.33.2.3" in t], 10,
                     "upsTrapAlarmEntryAdded")
    assert ".1.3.6.1.2.1.33.1.6.2.1.1 = INTEGER: 2" in added[0]
    assert ".1.3.6.1.2.1.33.1.6.2.1.2 = OID: .1.3.6.1.2.1.33.1.6.3.2" in added[0]
    b.set_state(2, 0)
    removed = wait_for(lambda: [t for t in traps.traps() if ".1.3.6.1.2.1.33.2.4" in t], 10,
                       "upsTrapAlarmEntryRemoved")
    assert ".1.3.6.1.2.1.33.1.6.2.1.1 = INTEGER: 2" in removed[0]


def test_inform_session_line_as_written_by_the_task(lab):
    traps = lab.traps()
    # the option order of the task's inform line: options after the address
    agent, b = lab.agent("upsmib", sink_line=f"trapsess -C i -v 2c 127.0.0.1:{traps.port} -c public "
                                             "-t 50 -r 5")
    b.set_state(9, 1)
    wait_for(lambda: [t for t in traps.traps() if ".1.3.6.1.2.1.33.1.6.2.1.1 = INTEGER: 9" in t],
             10, "the inform")


def test_v3_trap_session_line_as_written_by_the_task(lab):
    # the agent's engine ID from the text "cardtest": 0x80001f88 04 + the text
    engine = "0x80001f8804" + b"cardtest".hex()
    traps = lab.traps(f"createUser -e {engine} tu SHA tpass123 AES ppass123\n")
    agent, b = lab.agent("upsmib", sink_line=(
        f"engineID cardtest\ntrapsess -v 3 -u tu -e {engine} -a SHA -A tpass123 -x AES "
        f"-X ppass123 -l authPriv 127.0.0.1:{traps.port}"))
    b.set_state(3, 1)
    wait_for(lambda: [t for t in traps.traps() if ".1.3.6.1.2.1.33.1.6.2.1.1 = INTEGER: 3" in t],
             10, "the v3 trap")


ENT = "1.3.6.1.4.1.935"


def test_mib935_objects_values_and_sets(lab):
    agent, b = lab.agent("mib935")
    fill_three_phase(b)
    for p, v in enumerate((2300, 2350, 2280)):
        b.set("inputVoltage", v, p)
    b.set("outputSource", 5)
    b.set("configInputFreq", 500)
    b.set("configOutputVA", 20000)
    b.set_state(19, 1)
    w = agent.walk(ENT)
    assert len(w) == 127
    assert w[f"{ENT}.1.1.1.1.1.1.0"] == "TriPhase 20k"
    assert w[f"{ENT}.1.1.1.3.2.2.0"] == "2350"
    assert w[f"{ENT}.1.1.1.3.2.3.0"] == "2280"
    assert w[f"{ENT}.1.1.1.4.1.1.0"] == "3"  # on battery
    assert w[f"{ENT}.1.1.1.8.1.1.0"] == "271"  # battery voltage / 10
    assert w[f"{ENT}.1.1.1.7.2.3.0"] == "2"  # test failed
    assert w[f"{ENT}.1.1.1.8.8.1.0"] == ""
    # the four UPS-MIB scalars and the alarm group
    assert agent.get(f"{UPS}.1.1.0") == '"ACME Power"'
    assert agent.get(f"{UPS}.9.2.0") == "50"
    assert agent.get(f"{UPS}.9.5.0") == "20000"
    assert agent.get(f"{UPS}.6.1.0") == "0"

    b.messages()
    assert "wrongLength" in agent.set(f"{ENT}.1.1.1.1.1.2.0", "s", "ab")[1]
    assert agent.set(f"{ENT}.1.1.1.1.1.2.0", "s", "a")[0] == 0
    assert "wrongType" in agent.set(f"{ENT}.1.1.1.6.2.1.0", "s", "1")[1]
    rc, out = agent.set(f"{ENT}.1.1.1.6.2.1.0", "i", 1)
    assert rc == 0, out
    assert b.messages() == [(10, 23, 0, 0)]  # no shut-off delay set yet
    assert agent.set(f"{ENT}.1.1.1.5.2.10.0", "i", 120)[0] == 0
    assert agent.set(f"{ENT}.1.1.1.6.2.1.0", "i", 1)[0] == 0
    assert agent.set(f"{ENT}.1.1.1.7.2.6.0", "i", 3)[0] == 0
    assert agent.set(f"{ENT}.1.1.1.7.2.2.0", "i", 1)[0] == 0
    assert b.messages() == [(10, 23, 120, 0), (10, 3, 0, 0), (10, 0, 1, 0)]
    assert "notWritable" in agent.set(f"{ENT}.1.1.1.3.2.1.0", "i", 1)[1]


def test_mib935_enterprise_traps(lab):
    traps = lab.traps()
    agent, b = lab.agent("mib935", sink=traps)
    b.set_state(6, 1)  # input bad: no enterprise trap
    b.set_state(2, 1)
    on_batt = wait_for(lambda: [t for t in traps.traps() if f".{ENT}.0.5 " in t + " "], 10, "trap 5")
    assert f'.{ENT}.0.5 = STRING: "On battery"' in on_batt[0]
    b.set_state(2, 0)
    wait_for(lambda: [t for t in traps.traps() if f'.{ENT}.0.6 = STRING: "SmartBoost"' in t], 10,
             "trap 6")
    enterprise = [t for t in traps.traps() if f"OID: .{ENT}.0." in t]
    assert len(enterprise) == 2  # alarm 6 sent nothing


def test_agent_ends_when_block_cannot_be_attached(tmp_path):
    key = unique_key()
    small = _libc.shmget(key, 16, IPC_CREAT | 0o600)  # wrong size under the key
    assert small >= 0
    try:
        a = Agent(tmp_path, "upsmib", key)
        assert a.proc.wait(10) == 1
        a.stop()
        assert "###share memory ERROR 1###" in a.text()
    finally:
        _libc.shmctl(small, IPC_RMID, None)


def test_mib_files_pass_smilint_and_load():
    env = dict(os.environ, SMIPATH=os.path.join(MIBS_DIR, "base"))
    for name in ("UPS-MIB.txt", "NORDWAVE-UPS-MIB.txt"):
        r = subprocess.run(["smilint", "-l", "6", os.path.join(MIBS_DIR, name)], env=env,
                           capture_output=True, text=True)
        errors = [l for l in r.stderr.splitlines() if l.strip() and "warning:" not in l]
        assert r.returncode == 0 and not errors, r.stderr
    r = subprocess.run(["snmptranslate", "-M", f"{MIBS_DIR}/base:{MIBS_DIR}", "-m",
                        "UPS-MIB:NORDWAVE-UPS-MIB", "-On", "UPS-MIB::upsTrapAlarmEntryAdded",
                        "NORDWAVE-UPS-MIB::upsSmartControlUpsOff"], capture_output=True, text=True)
    assert r.stdout.split() == [".1.3.6.1.2.1.33.2.3", ".1.3.6.1.4.1.935.1.1.1.6.2.1"], r.stderr
    # the staged copies are the ones the download page serves
    for staged, name in (("UPSMIB_UPS_MIB.MIB", "UPS-MIB.txt"), ("Nordwave.mib", "NORDWAVE-UPS-MIB.txt")):
        path = os.path.join(STAGE, "www", staged)
        if os.path.exists(path):
            assert open(path).read() == open(os.path.join(MIBS_DIR, name)).read()
