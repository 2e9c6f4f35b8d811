"""The SNMP task in a running card with the register-map driver (ups_type 4)
polling the simulated UPS: net-snmp's tools against the agent the task keeps
running, snmptrapd receiving its notifications, sets that reach the UPS, the
trap test, agent restarts. Each card gets its own System V key and free ports."""

import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile

import pytest

cardlib = pytest.importorskip("cardlib")
from cardlib import Card, free_port, wait_for  # noqa: E402
from simlib import RegupsSim  # noqa: E402
from test_snmp_agent import TrapReceiver  # noqa: E402

UPS = "1.3.6.1.2.1.33.1"
ENT = "1.3.6.1.4.1.935"


def udp_port():
    return free_port(socket.SOCK_DGRAM)


class SnmpCard:
    """A card on the simulated UPS, with helpers that run net-snmp's tools."""

    def __init__(self, tmp_path, monkeypatch, settings=None, model=299):
        self.port = udp_port()
        key = 0x5E000000 + random.randrange(1, 0xFFFFFF)
        monkeypatch.setenv("CARDMON_IPC_KEY", str(key))
        self.sim = RegupsSim(tmp_path / "sim", model=model)
        base = {"ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600",
                "snmp_port": str(self.port),
                "snmp_community_0": "public", "snmp_permission_0": "1",
                "snmp_manage_ip_0": "*.*.*.*",
                "snmp_community_1": "private", "snmp_permission_1": "2",
                "snmp_manage_ip_1": "127.0.0.1"}
        base.update(settings or {})
        # a short root: the control socket's path must fit a UNIX socket address
        self.root = tempfile.mkdtemp(prefix="snmp", dir="/tmp")
        self.card = Card(self.root, settings=base, ports={1: self.sim.card_tty})
        getattr(self.sim, "attach", lambda c: None)(self.card)
        try:
            self.card.start()
            probe = f"{ENT}.1.1.1.1.2.4.0" if base.get("mibType") == "1" else f"{UPS}.1.4.0"
            wait_for(lambda: self.get(probe) == '"FW02K13"', 20, "the agent to answer")
        except BaseException:
            self.stop()
            raise

    def tool(self, prog, *args, community="public", v3=None, timeout=1):
        auth = ["-v2c", "-c", community] if v3 is None else ["-v3", *v3]
        r = subprocess.run([prog, "-m", "", "-On", "-Ot", *auth, "-t", str(timeout), "-r", "1",
                            f"127.0.0.1:{self.port}", *args], capture_output=True, text=True,
                           timeout=60)
        return r.returncode, r.stdout + r.stderr

    def get(self, oid, **kw):
        rc, out = self.tool("snmpget", "-Oqv", oid, **kw)
        return out.strip() if rc == 0 and "No Such" not in out else None

    def walk(self, oid, prog="snmpwalk", **kw):
        rc, out = self.tool(prog, "-Oq", oid, **kw)
        assert rc == 0, out
        values = {}
        for line in out.splitlines():
            if line.startswith("."):
                k, _, v = line.partition(" ")
                values[k[1:]] = v.strip().strip('"')
        return values

    def set(self, oid, kind, value, community="private"):
        return self.tool("snmpset", oid, kind, str(value), community=community)

    def agent_pid(self):
        out = subprocess.run(["pgrep", "-f", "-x", f".*snmpd -f -C -c {self.card.sys_path('etc/snmpd.cfg')}.*"],
                             capture_output=True, text=True).stdout.split()
        return int(out[0]) if out else None

    def stop(self):
        self.card.stop()
        self.sim.stop()
        shutil.rmtree(self.root, ignore_errors=True)


@pytest.fixture
def snmp_card(tmp_path, monkeypatch):
    made = []

    def make(settings=None, model=299):
        c = SnmpCard(tmp_path / f"c{len(made)}", monkeypatch, settings, model)
        made.append(c)
        return c

    yield make
    for c in made:
        c.stop()


@pytest.fixture
def traps(tmp_path):
    t = TrapReceiver(str(tmp_path))
    yield t
    t.stop()


def test_upsmib_values_tables_communities_and_sets(snmp_card):
    c = snmp_card()
    expected = c.sim.expected()
    wait_for(lambda: c.get(f"{UPS}.3.2.0") == "3" and c.get(f"{UPS}.2.5.0") not in (None, "0"),
             20, "a full poll in the shared block")
    w = c.walk("1.3.6.1.2.1.33")
    assert w[f"{UPS}.1.2.0"] == "KR33-299"
    # 0.1 V, from the total battery voltage (the driver reports it as the battery voltage)
    assert w[f"{UPS}.2.5.0"] == str(int(expected.get(40119, expected[40105]) * 10))
    assert w[f"{UPS}.2.7.0"] == str(int(expected[40107]))        # whole degrees
    for row in (1, 2, 3):  # three-phase input
        assert w[f"{UPS}.3.3.1.3.{row}"] == str(int(expected[40132 + row]))
        assert w[f"{UPS}.3.3.1.2.{row}"] == str(int(round(expected[40138 + row] * 10, 3)))
    assert w[f"{UPS}.4.4.1.2.1"] == str(int(expected[40164]))  # single-phase output
    assert f"{UPS}.4.4.1.2.2" not in w
    assert w[f"{UPS}.4.4.1.4.1"] == str(int(expected[40170] * 1000))  # kW -> W on this family
    assert w[f"{UPS}.9.5.0"] == str(int(expected[30004]))

    # communities: read-only row cannot set, read-write row from its address can
    assert c.set(f"{UPS}.8.2.0", "i", 5, community="public")[0] != 0
    c.sim.clear_writes()
    rc, out = c.set(f"{UPS}.8.2.0", "i", 5)
    assert rc == 0, out
    # command 23 with 12 s: on this UPS family event 4, the shutdown register
    wait_for(lambda: [x for x in c.sim.writes() if x.get("reg") == 0x8008], 15,
             "the shutdown write at the UPS")
    assert "msg.data[0]:23,value1:12" in c.card.app_log()
    assert c.get(f"{UPS}.8.2.0") == "12"
    assert "wrongValue" in c.set(f"{UPS}.8.2.0", "i", 601)[1]
    rc, out = c.set(f"{UPS}.8.2.0", "i", -1)
    assert rc == 0, out
    wait_for(lambda: "msg.data[0]:6,value1:0" in c.card.app_log(), 10, "the cancel command")
    assert c.get(f"{UPS}.8.2.0") == "-1"
    assert "wrongValue" in c.set(f"{UPS}.7.1.0", "o", "1.3.6.1.2.1.33.1.7.7.3")[1]
    assert "wrongValue" in c.set(f"{UPS}.9.1.0", "i", 230)[1]
    # an unknown community gets nothing
    assert c.get(f"{UPS}.1.4.0", community="nobody") is None


def test_address_bound_community_and_v3_user(snmp_card):
    c = snmp_card({"snmp_community_1": "far", "snmp_manage_ip_1": "10.255.255.1",
                   "snmp_community_2": "near", "snmp_permission_2": "1",
                   "snmp_manage_ip_2": "127.0.0.0/8"})
    assert c.get(f"{UPS}.1.4.0", community="near") == '"FW02K13"'
    assert c.get(f"{UPS}.1.4.0", community="far") is None

    c.card.set_setting("snmpv3_version", "1")
    for k, v in {"snmp_user_0": "admin", "snmp_pass_word_0": "auth pass 1",
                 "snmp_auth_flag_0": "1", "snmp_privacy_flag_0": "1",
                 "snmp_privacy_password_0": "priv\"pass2", "snmp_permission_0": "2"}.items():
        c.card.set_setting(k, v)
    v3 = ["-l", "authPriv", "-u", "admin", "-a", "SHA", "-A", "auth pass 1", "-x", "AES", "-X",
          'priv"pass2']
    wait_for(lambda: c.get(f"{UPS}.1.4.0", v3=v3) == '"FW02K13"', 20, "the v3 user")
    cfg = open(c.card.sys_path("etc/snmpd.cfg")).read()
    assert 'createUser admin SHA "auth pass 1" AES "priv\\"pass2"\n' in cfg
    assert "community" not in cfg  # v3 only now
    bad = v3[:6] + ["wrong pass", *v3[7:]]
    assert c.get(f"{UPS}.1.4.0", v3=bad) is None


def test_alarm_traps_and_six_row_table(snmp_card, traps):
    c = snmp_card({"trap_way_0": "1", "trap_to_ip_0": "127.0.0.1", "trap_community_0": "public",
                   "trap_port": str(traps.port)})
    c.sim.scenario("mains_failure")
    added = wait_for(lambda: [t for t in traps.traps() if "OID: .1.3.6.1.2.1.33.2.3" in t
                              and ".1.3.6.1.2.1.33.1.6.2.1.1 = INTEGER: 2" in t], 20,
                     "upsTrapAlarmEntryAdded for on-battery")
    assert ".1.3.6.1.2.1.33.1.6.2.1.2 = OID: .1.3.6.1.2.1.33.1.6.3.2" in added[0]
    rows = c.walk(f"{UPS}.6.2")
    assert "2" in [v for k, v in rows.items() if ".6.2.1.1." in k]
    c.sim.scenario("mains_return")
    wait_for(lambda: [t for t in traps.traps() if "OID: .1.3.6.1.2.1.33.2.4" in t
                      and ".1.3.6.1.2.1.33.1.6.2.1.1 = INTEGER: 2" in t], 20,
             "upsTrapAlarmEntryRemoved for on-battery")

    # seven standing alarms: six rows, all seven announced
    for f in ("general", "fan", "fuse", "charger", "overload", "temperature", "battery_bad"):
        c.sim.scenario("fault:" + f)
    wait_for(lambda: c.get(f"{UPS}.6.1.0") == "6", 20, "six alarm rows")
    ids = [v for k, v in c.walk(f"{UPS}.6.2").items() if ".6.2.1.1." in k]
    assert len(ids) == 6
    wait_for(lambda: len({t.split("6.2.1.1 = INTEGER: ")[1].split()[0] for t in traps.traps()
                          if "OID: .1.3.6.1.2.1.33.2.3" in t}) >= 8, 20, "seven more Added traps")


def test_trap_test_sends_one_trap_per_selected_bit(snmp_card, traps):
    c = snmp_card({"trap_way_2": "1", "trap_to_ip_2": "127.0.0.1", "trap_community_2": "public",
                   "trap_port": str(traps.port), "trap_event_2": str(0b1011)})
    before = len(traps.traps())
    c.card.event(3, 3)

    def test_traps():
        got = [t for t in traps.traps()[before:]
               if "OID: .1.3.6.1.2.1.33.2.3" in t and "Timeticks: (2)" in t]
        return got if len(got) >= 3 else None

    got = wait_for(test_traps, 20, "three test traps")
    ids = sorted(t.split("6.2.1.1 = INTEGER: ")[1].split()[0] for t in got)
    assert ids == ["1", "2", "3"]  # bits 0, 1, 3
    c.card.event(3, 9)  # no such receiver row
    c.card.event(3, 1)  # row 1 has no mask
    wait_for(lambda: "User_1 did not select an alarm event" in c.card.app_log(), 5, "the log line")


def test_enterprise_mib_objects_traps_and_string_length(snmp_card, traps):
    c = snmp_card({"mibType": "1", "trap_way_0": "1", "trap_to_ip_0": "127.0.0.1",
                   "trap_community_0": "public", "trap_port": str(traps.port),
                   "ths_enable": "1", "temp_conver1": "0"})
    expected = c.sim.expected()
    wait_for(lambda: c.get(f"{ENT}.1.1.1.3.1.1.0") == "3", 15, "input lines")
    w = c.walk(ENT, prog="snmpbulkwalk")
    assert len(w) == 127
    assert w[f"{ENT}.1.1.1.3.2.1.0"] == str(int(expected[40133] * 10))  # tenths here
    assert w[f"{ENT}.1.1.1.3.2.2.0"] == str(int(max(expected[s] for s in (40133, 40134, 40135)) * 10))
    assert c.get("1.3.6.1.2.1.1.2.0") == ".1.3.6.1.4.1.935"
    # sensor 1 in tenths; a divisor of 0 counts as 1 instead of dividing by zero
    c.card.set_signal(61, 40208, 25)
    wait_for(lambda: c.get(f"{ENT}.1.1.1.9.1.1.0") == "250", 10, "the sensor temperature")
    c.card.set_setting("temp_conver1", "10")
    wait_for(lambda: c.get(f"{ENT}.1.1.1.9.1.1.0") == "25", 10, "the sensor with divisor 10")
    assert "wrongLength" in c.set(f"{ENT}.1.1.1.1.1.2.0", "s", "ab")[1]
    c.sim.scenario("mains_failure")
    wait_for(lambda: [t for t in traps.traps() if f'.{ENT}.0.5 = STRING: "On battery"' in t], 20,
             "enterprise trap 5")
    c.sim.scenario("mains_return")
    wait_for(lambda: [t for t in traps.traps() if f'.{ENT}.0.6 = STRING: "SmartBoost"' in t], 20,
             "enterprise trap 6")


def test_agent_restarts_after_kill_and_config_change(snmp_card):
    c = snmp_card({"System_Location": "Room 1"})
    assert c.get("1.3.6.1.2.1.1.6.0") == '"Room 1"'
    pid = c.agent_pid()
    assert pid
    os.kill(pid, signal.SIGKILL)
    wait_for(lambda: c.agent_pid() not in (None, pid), 5, "a new agent process")
    wait_for(lambda: c.get("1.3.6.1.2.1.1.6.0") == '"Room 1"', 5, "the new agent to answer")

    pid = c.agent_pid()
    c.card.set_setting("System_Location", 'Hall "B", rack 9')
    wait_for(lambda: c.get("1.3.6.1.2.1.1.6.0") == '"Hall \\"B\\", rack 9"', 15,
             "the agent with the new configuration")
    assert c.agent_pid() != pid
    # only our own agent was ever stopped: no killall
    assert not [l for l in c.card.commands_log() if l.startswith("killall")]
