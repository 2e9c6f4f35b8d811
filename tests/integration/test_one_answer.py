"""One setting, one answer on every interface: the same odd settings read
through the web's JSON, the SNMP agent, the Modbus/TCP slave and the store's
rows give the same value everywhere. Signals are set in the card's store (no
UPS on the line), settings through cardctl while the card runs."""
import random
import shutil
import socket
import struct
import subprocess
import tempfile

import pytest

from cardlib import Card, free_port, wait_for
from pages_helpers import Web

ENT_SENSOR1_TEMP = "1.3.6.1.4.1.935.1.1.1.9.1.1.0"  # tenths of a degree
UPS_OUTPUT_POWER1 = "1.3.6.1.2.1.33.1.4.4.1.4.1"     # watts
AGENT_VERSION = {"0": "1.3.6.1.2.1.33.1.1.4.0", "1": "1.3.6.1.4.1.935.1.1.1.1.2.4.0"}
RAW_TEMPERATURE = 2550.0


class WiredCard:
    """A card with its web, SNMP and Modbus/TCP doors open on free loopback ports."""

    def __init__(self, monkeypatch, settings):
        self.snmp_port = free_port(socket.SOCK_DGRAM)
        self.mb_port = free_port()
        http = free_port()
        monkeypatch.setenv("CARDMON_IPC_KEY", str(0x5F000000 + random.randrange(1, 0xFFFFFF)))
        s = {"httpPort": str(http), "SystemStartCount": "1", "communication_timeout": "3600",
             "snmp_port": str(self.snmp_port), "snmp_community_0": "public",
             "snmp_permission_0": "1", "snmp_manage_ip_0": "*.*.*.*",
             "mbtcp_slavePort": str(self.mb_port)}
        s.update(settings)
        self.root = tempfile.mkdtemp(prefix="one", dir="/tmp")  # short: a UNIX socket path
        self.card = Card(self.root, settings=s)
        with open(self.card.path("config/PRODUCT"), "w") as f:
            f.write("ST20261208\n")
        self.card.start()
        self.web = Web(http)
        mib = s.get("mibType", "0")
        wait_for(lambda: self.snmp(AGENT_VERSION[mib]) == '"FW02K13"', 20, "the SNMP agent")

    def snmp(self, oid):
        r = subprocess.run(["snmpget", "-m", "", "-On", "-Oqv", "-v2c", "-c", "public", "-t", "1",
                            "-r", "1", f"127.0.0.1:{self.snmp_port}", oid],
                           capture_output=True, text=True, timeout=30)
        out = r.stdout.strip()
        return out if r.returncode == 0 and "No Such" not in out else None

    def modbus_inputs(self, start, count):
        with socket.create_connection(("127.0.0.1", self.mb_port), 5) as s:
            s.sendall(struct.pack(">HHHBBHH", 7, 0, 6, 1, 4, start, count))
            data = b""
            while len(data) < 9 + 2 * count:
                chunk = s.recv(512)
                assert chunk, "the slave closed the connection"
                data += chunk
        return list(struct.unpack(f">{count}H", data[9:9 + 2 * count]))

    def stop(self):
        self.card.stop()
        shutil.rmtree(self.root, ignore_errors=True)


@pytest.fixture
def wired(monkeypatch):
    cards = []

    def make(settings):
        c = WiredCard(monkeypatch, settings)
        cards.append(c)
        return c

    yield make
    for c in cards:
        c.stop()


def test_sensor_divisor_reads_alike_on_web_snmp_modbus_and_store(wired):
    c = wired({"mibType": "1", "ths_enable": "1", "use_dev_fun5": "1", "curr_module_num": "1",
               "in_thaddr1": "7"})
    c.card.set_signal(61, 40208, RAW_TEMPERATURE)
    c.card.set_signal(61, 40212, 500)
    c.card.set_signal(61, 20034, 0)
    # divisor text -> what every interface must show (a bad divisor divides by 1)
    for text, divisor in [("100", 100), ("0", 1), ("-5", 1), ("abc", 1), ("10", 10)]:
        c.card.set_setting("temp_conver1", text)
        shown = RAW_TEMPERATURE / divisor
        tenths = int(shown * 10)
        wait_for(lambda: c.snmp(ENT_SENSOR1_TEMP) == str(tenths), 10,
                 f"SNMP with divisor {text!r}")
        assert c.modbus_inputs(325, 1) == [tenths], text
        assert c.web.json("/EnergyChart")["ths_data"][0]["temp"] == f"{shown:.1f}", text
        before = len(c.card.query("ups_data.db", "select Tem from ths_data"))
        c.card.store(101)
        rows = wait_for(lambda: c.card.query("ups_data.db", "select Tem from ths_data")[before:],
                        10, f"the sensor sample with divisor {text!r}")
        assert rows[0][0] == f"{shown:.1f}", text


@pytest.mark.parametrize("ups_type,scale", [("0", 1), ("2", 1000), ("4", 1000), ("7", 1000),
                                            ("9", 1)])
def test_output_power_scale_by_family_alike_on_snmp_and_modbus(wired, ups_type, scale):
    c = wired({"ups_type": ups_type, "mibType": "0"})
    c.card.set_signal(60, 40163, 1)  # one output line
    c.card.set_signal(60, 40170, 3.5)
    watts = int(3.5 * scale)
    wait_for(lambda: c.snmp(UPS_OUTPUT_POWER1) == str(watts), 10, "upsOutputPower")
    hi, lo = c.modbus_inputs(290, 2)
    assert (hi << 16) | lo == watts
