"""Battery management in a running card: with battery_enable_type set, the
battery task estimates charge and remaining time from the simulated UPS's
load and voltage, and the web's /EnergyChart, the SNMP agent (UPS-MIB) and the
Modbus/TCP slave report its values instead of the UPS's own, through a whole
discharge down to its end. A user backup-time table of a few minutes makes
the charge fall fast enough to watch; the kept SOC survives a stop."""
import random
import shutil
import socket
import struct
import subprocess
import tempfile
import time

import pytest

cardlib = pytest.importorskip("cardlib")
from cardlib import Card, wait_for  # noqa: E402
from pages_helpers import Web  # noqa: E402

simlib = pytest.importorskip("simlib")
from simlib import RegupsSim  # noqa: E402

LINK = -1
ON_BATTERY = 20001
MINUTES_OID = "1.3.6.1.2.1.33.1.2.3.0"  # upsEstimatedMinutesRemaining
CHARGE_OID = "1.3.6.1.2.1.33.1.2.4.0"   # upsEstimatedChargeRemaining
MB_MINUTES = 259                        # input registers: minutes, charge %
PUBLISH = 5.0                           # the battery task publishes every 5 s
EVALUATION = 2.1                        # and evaluates every 2.1 s

# 20 blocks: the end of discharge is at 10.7 V x 20 = 214 V, which the
# simulated discharge (180 V + 0.6 V per % of charge) crosses at 56 %, 44 s
# into it.
# The table: 2 min at 60 W, 4 min at 5 W per cell; the simulated load lands
# in between (or just under its end), so the rated time is 3 or 4 minutes.
SETTINGS = {"ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600",
            "communication_timeout": "3", "SystemStartCount": "1", "mibType": "0",
            "snmp_community_0": "public", "snmp_permission_0": "1",
            "snmp_manage_ip_0": "*.*.*.*", "battery_enable_type": "1",
            "battery_sections_number": "20", "UpsPower": "1000", "CurrentSel": "1",
            "WtNumber": "2", "BatMin1": "2", "BatWatt1": "60", "BatMin2": "4", "BatWatt2": "5"}


class ManagedCard:
    """A card on the simulated UPS with its web, SNMP and Modbus doors open."""

    def __init__(self, monkeypatch, sim):
        monkeypatch.setenv("CARDMON_IPC_KEY", str(0x5E000000 + random.randrange(1, 0xFFFFFF)))
        self.root = tempfile.mkdtemp(prefix="bat", dir="/tmp")  # short: a UNIX socket path
        self.card = Card(self.root, settings=SETTINGS, ports={1: sim.card_tty})
        with open(self.card.path("config/PRODUCT"), "w") as f:
            f.write("ST20261208\n")
        self.snmp_port = int(self.card.setting("snmp_port"))
        self.mb_port = int(self.card.setting("mbtcp_slavePort"))
        self.card.start()
        self.web = Web(int(self.card.setting("httpPort")))
        wait_for(lambda: self.card.signal(60, LINK) == 1, 30, "UPS link up")

    def snmp(self, oid):
        r = subprocess.run(["snmpget", "-m", "", "-On", "-Oqv", "-v2c", "-c", "public", "-t", "1",
                            "-r", "1", f"127.0.0.1:{self.snmp_port}", oid],
                           capture_output=True, text=True, timeout=30)
        out = r.stdout.strip()
        return int(out) if r.returncode == 0 and out.lstrip("-").isdigit() else None

    def modbus(self):
        """(minutes, charge) from the Modbus/TCP slave's input registers."""
        with socket.create_connection(("127.0.0.1", self.mb_port), 5) as s:
            s.sendall(struct.pack(">HHHBBHH", 7, 0, 6, 1, 4, MB_MINUTES, 2))
            data = b""
            while len(data) < 13:
                chunk = s.recv(512)
                assert chunk, "the slave closed the connection"
                data += chunk
        return struct.unpack(">2H", data[9:13])

    def web_values(self):
        d = self.web.json("/EnergyChart")
        return int(d["bat_re_time"]), int(d["bat_re_volume"])

    def everywhere(self):
        """(minutes, charge) once Modbus, SNMP and the web agree on them (a
        publication may fall between two reads: read again)."""
        def agreed():
            mb = self.modbus()
            snmp = (self.snmp(MINUTES_OID), self.snmp(CHARGE_OID))
            web = self.web_values()
            return mb if mb == snmp == web == self.modbus() else None
        return wait_for(agreed, 3 * PUBLISH, "the same managed values on every interface")

    def stop(self):
        self.card.stop()
        shutil.rmtree(self.root, ignore_errors=True)


@pytest.fixture
def sim(tmp_path):
    s = RegupsSim(tmp_path / "sim", model=299)
    yield s
    s.stop()


@pytest.fixture
def managed(monkeypatch, sim):
    c = ManagedCard(monkeypatch, sim)
    yield c
    c.stop()


def test_discharge_to_its_end_reads_alike_on_web_snmp_and_modbus(managed, sim):
    card = managed.card
    ups_minutes = sim.state()["minutes"]
    # On mains: the saved charge (100 %) and the rated time of the table.
    minutes, charge = wait_for(lambda: (lambda v: v if v[0] > 0 else None)(managed.modbus()),
                               2 * PUBLISH + EVALUATION, "the first remaining time")
    assert charge == 100
    assert minutes in (3, 4) and minutes != ups_minutes
    assert managed.everywhere() == (minutes, 100)

    sim.set("discharge_step", 1.0)  # the UPS's own charge: 1 % a second
    sim.scenario("discharge")
    wait_for(lambda: card.signal(60, ON_BATTERY) == 1, 10, "the driver reports 20001")
    started = time.monotonic()

    # Down by about a point per 2 s (3 minutes: 1.1 points an evaluation);
    # the time follows the charge. Every reading is at or below the last.
    seen = [(minutes, 100)]

    def fell():
        seen.append(managed.modbus())
        return seen[-1] if seen[-1][1] <= 95 else None
    wait_for(fell, 4 * PUBLISH, "the managed charge to fall", interval=0.5)
    assert all(b[1] <= a[1] and b[0] <= a[0] for a, b in zip(seen, seen[1:])), seen
    minutes, charge = managed.everywhere()
    assert 0 < charge < 100 and minutes <= 4

    # End of discharge: the voltage stays under the limit after 30 s on
    # battery, so the charge is 0 whatever the UPS itself still says.
    wait_for(lambda: managed.modbus() == (0, 0), 45 + 2 * PUBLISH + EVALUATION,
             "the end of discharge")
    assert time.monotonic() - started >= 40
    assert managed.everywhere() == (0, 0)
    assert sim.state()["charge"] > 0
    assert "[svc_battery] end of discharge" in card.app_log()

    # The task keeps its SOC when it stops; the next start publishes it.
    card.stop()
    assert card.setting("saveSoc") == "0"
