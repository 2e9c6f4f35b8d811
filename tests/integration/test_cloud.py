"""Cloud reporting over MQTT, seen from the platform's side.

A mosquitto broker on loopback and the platform simulator (sim/cloud_sim.py)
receive what the card publishes and decode it; a register-map UPS simulator
gives the card real data. Rules checked:
  * every report decodes (head, MD5 check, TLV) and carries the card's own
    values: data rows against cardctl's signals, device, serial line, system;
  * an alarm change sends the alarm change and power reports;
  * every command tag acts: data requests, time check, connect info, update
    orders (the card's own fetched over the block channel, checked, reported,
    rebooted into and installed by the launcher), serial line changes, log
    upload to an FTP server; data type 99 ends cardmon and the launcher
    starts it again;
  * a command with a bad check is ignored;
  * the reconnect request leaves with state 0 and comes back;
  * the will (state 0) reaches the platform when cardmon is killed.
"""
import io
import os
import sys
import tarfile
import threading
import time

import pytest

from cardlib import Card, free_port, wait_for
from simlib import RegupsSim

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "sim"))
import cloud_sim  # noqa: E402
from cloud_sim import CloudPlatform, UpdateServer  # noqa: E402

SN = "SN000042"

# Data rows that are one UPS signal each (identifier: signal).
SIGNAL_ROWS = {100: 40239, 200: 40132, 201: 40133, 204: 40136, 207: 40139, 213: 40142,
               300: 40163, 301: 40164, 304: 40167, 307: 40162, 308: 40162, 309: 40162,
               313: 40170, 319: 40173, 400: 40192, 401: 40193, 407: 40191, 500: 40101,
               501: 40119, 503: 40106, 507: 40103, 506: 40104, 508: 40116, 515: 40102,
               600: 30000, 602: 30001, 603: 30002, 605: 30003, 607: 30005}


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("cloud")
    platform = CloudPlatform(str(tmp / "broker"))
    sim = RegupsSim(tmp / "sim", model=299)
    card = Card(tmp / "c", settings={
        "ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600", "communication_timeout": "3",
        "enable_cloud": "1", "backenIp": "127.0.0.1", "backenPort": str(platform.port),
        "cloud_sn": SN, "collector_id": "1", "ReportTimeInterval": "240"},
        ports={1: sim.card_tty})
    with open(card.path("config/CloudProduct"), "w") as f:
        f.write(SN + "\n")
    card.start()
    yield platform, sim, card
    card.stop()
    sim.stop()
    platform.stop()


def connected_state(platform, since=0, timeout=30):
    return platform.wait(lambda r: r.kind == "state" and r.state == 1, timeout, since,
                         "communication state 1")


def online(card, timeout=30):
    """The card's link is up now (signal 0:3002)."""
    wait_for(lambda: card.signal(0, 3002) == 1, timeout, "the cloud link up")


def test_connect_sends_state_identity_alarms_and_data_matching_the_cards_signals(rig):
    platform, sim, card = rig
    state = connected_state(platform)
    assert state.topic == f"Signal/OPRIX/Device/{SN}" and state.sn == SN
    report_topic = f"Signal/OPRIX/Device/{SN}/Collector/1"
    for kind in ("device", "serial", "system", "alarm", "data"):
        r = platform.wait(lambda r, k=kind: r.kind == k, 20, what=kind)
        assert r.topic == report_topic
    wait_for(lambda: card.setting("ups_lost") == "0" and card.signal(60, 40133) > 0, 30, "UPS data")
    # A data report asked for now holds the values cardctl shows now.
    mark = platform.mark()
    platform.send(SN, cloud_sim.data_request(2))
    data = platform.wait(lambda r: r.kind == "data", 15, mark, "data report")
    for ident, sig in SIGNAL_ROWS.items():
        assert data.data[ident] == pytest.approx(card.signal(60, sig), abs=0.011), ident
    assert data.data[1] == 0.0
    assert data.data[606] == pytest.approx(card.signal(60, 30004) / 1000, abs=0.011)
    assert abs(data.report_time - time.time()) < 30
    assert platform.errors == []

    mark = platform.mark()
    platform.send(SN, cloud_sim.data_request(0))
    device = platform.wait(lambda r: r.kind == "device", 15, mark, "device report")
    assert device.name == card.signal_text(60, 40064)
    assert device.software == card.signal_text(60, 40032)
    assert device.agent == "FW02K13" and device.device_type == (2, 9, 9)
    platform.send(SN, cloud_sim.data_request(4))
    serial = platform.wait(lambda r: r.kind == "serial", 15, mark, "serial report")
    assert (serial.ups_type, serial.ups_addr, serial.baud_code) == (4, 1, 3)
    platform.send(SN, cloud_sim.data_request(5))
    system = platform.wait(lambda r: r.kind == "system", 15, mark, "system report")
    # 4 bytes on the wire (a card has 32 or 64 MB; a test host may have more)
    assert system.mem_total == (int(card.setting("memTotal")) * 1024) & 0xFFFFFFFF


def test_alarm_change_sends_alarm_and_power_reports(rig):
    platform, sim, card = rig
    online(card)
    mark = platform.mark()
    sim.scenario("mains_failure")
    alarm = platform.wait(lambda r: r.kind == "alarm" and 4117 | 0x8000 in r.alarms, 30, mark,
                          "on-battery alarm")
    assert alarm.change
    power = platform.wait(lambda r: r.kind == "power", 10, mark, "power report")
    assert power.data[500] == card.signal(60, 40101)
    mark = platform.mark()
    sim.scenario("mains_return")
    platform.wait(lambda r: r.kind == "alarm" and 4117 in r.alarms, 30, mark, "alarm cleared")


def test_bad_mac_is_ignored_and_type_99_restarts_cardmon(rig):
    platform, sim, card = rig
    online(card)
    pid = card.pid()
    platform.send(SN, cloud_sim.command(18, cloud_sim.item(74, 99), mac_ok=False))
    wait_for(lambda: "mac err" in card.app_log(), 10, "the mac error logged")
    time.sleep(1)
    assert card.pid() == pid
    mark = platform.mark()
    platform.send(SN, cloud_sim.data_request(99))
    card.wait_running(30, old_pid=pid)
    connected_state(platform, mark, 40)


def test_time_check_connect_info_and_device_update_orders(rig):
    platform, sim, card = rig
    online(card)
    platform.send(SN, cloud_sim.time_check(-300))
    wait_for(lambda: card.setting("cloudTimezone") == "-300", 10, "cloud time zone")
    platform.send(SN, cloud_sim.time_check())
    wait_for(lambda: card.setting("cloudTimezone") == "480", 10, "default time zone 480")

    mark = platform.mark()
    platform.send(SN, cloud_sim.connect_info(7))
    for kind in ("device", "serial", "system", "alarm"):
        r = platform.wait(lambda r, k=kind: r.kind == k, 15, mark, kind)
        assert r.topic.endswith("/Collector/7")
    assert card.setting("collector_id") == "7"
    platform.send(SN, cloud_sim.connect_info(1), collector=7)
    wait_for(lambda: card.setting("collector_id") == "1", 10, "collector 1 again")

    mark = platform.mark()
    platform.send(SN, cloud_sim.update_order("pack.bin", "127.0.0.1:1", devices=(61, 70)))
    upd = platform.wait(lambda r: r.kind == "update", 15, mark, "update result")
    assert (upd.main_status, upd.status, upd.package) == (3, 13, "pack.bin")


def test_log_upload_reaches_the_ftp_server_and_is_answered(rig, tmp_path):
    platform, sim, card = rig
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    root = tmp_path / "ftp"
    (root / "log" / "SNMP").mkdir(parents=True)
    auth = DummyAuthorizer()
    auth.add_user("qelmupld7", "Borel*413", str(root), perm="elradfmw")
    handler = type("H", (FTPHandler,), {"authorizer": auth, "passive_ports": None})
    port = free_port()
    server = FTPServer(("127.0.0.1", port), handler)
    threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.5}, daemon=True).start()
    try:
        card.set_setting("cloud_log_server", "127.0.0.1")
        card.set_setting("cloud_log_port", str(port))
        connected_state(platform)
        mark = platform.mark()
        platform.send(SN, cloud_sim.pass_through(0x0A0B0C0D, 0))
        answer = platform.wait(lambda r: r.kind == "passthrough", 60, mark, "pass-through answer")
        assert answer.message_id == 0x0A0B0C0D and answer.result == "0"
        uploaded = root / "log" / "SNMP" / SN / "app.log"
        assert uploaded.exists() and uploaded.stat().st_size > 0
    finally:
        server.close_all()


def card_hardware(card):
    return "HW305KQM02" if card.setting("is_mem_64M") == "1" else "HW305KQM01"


def make_package(hardware, payload_files=None):
    inner = io.BytesIO()
    with tarfile.open(fileobj=inner, mode="w:gz") as t:
        for name, data in (payload_files or {"www/cloud-installed.txt": b"from the cloud\n"}).items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    outer = io.BytesIO()
    with tarfile.open(fileobj=outer, mode="w:gz") as t:
        for name, data in (("gateway.tar.gz", inner.getvalue()),
                           ("gateway_config.csv", f"cloud test\n{hardware}\nFW02K14\n".encode())):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            t.addfile(info, io.BytesIO(data))
    return outer.getvalue()


def test_update_order_fetches_checks_reports_reboots_and_installs(rig):
    platform, sim, card = rig
    online(card)
    hw = card_hardware(card)
    bad = UpdateServer(make_package(hw), crc32=0x12345678)
    mark = platform.mark()
    platform.send(SN, cloud_sim.update_order(f"Torvix_{hw}.bin", f"127.0.0.1:{bad.port}"))
    failed = platform.wait(lambda r: r.kind == "update" and r.main_status == 3, 60, mark,
                           "failed update")
    assert failed.status == 12  # CRC-32 mismatch
    assert os.listdir(card.path("Update")) == []
    bad.stop()

    server = UpdateServer(make_package(hw))
    pid = card.pid()
    mark = platform.mark()
    platform.send(SN, cloud_sim.update_order(f"Torvix_{hw}.bin", f"127.0.0.1:{server.port}"))
    done = platform.wait(lambda r: r.kind == "update" and r.main_status != 1, 60, mark,
                         "update result")
    steps = [r.status for r in platform.reports[mark:] if r.kind == "update"]
    assert (done.main_status, done.status) == (2, 20), steps
    assert steps[:2] == [1, 2] and 5 in steps
    wait_for(lambda: any(c.startswith("reboot") for c in card.commands_log()), 15, "reboot")
    card.wait_running(30, old_pid=pid)
    assert card.read("www/cloud-installed.txt") == "from the cloud\n"
    assert os.listdir(card.path("Update")) == []
    assert card.setting("cloud_sn") == SN
    server.stop()


def test_reconnect_request_leaves_with_state_zero_and_returns(rig):
    platform, sim, card = rig
    online(card)
    mark = platform.mark()
    card.set_signal(0, 3001, 1)
    platform.wait(lambda r: r.kind == "state" and r.state == 0, 15, mark, "state 0")
    connected_state(platform, mark + 1, 30)
    assert card.signal(0, 3002) == 1


def test_serial_line_commands_change_the_settings(rig):
    platform, sim, card = rig
    online(card)
    platform.send(SN, cloud_sim.baud_change(5))
    wait_for(lambda: card.setting("ups_baudRate") == "19200", 10, "baud 19200")
    platform.send(SN, cloud_sim.baud_change(4))  # not in the table: nothing changes
    platform.send(SN, cloud_sim.protocol_change(1, 3, 21))
    wait_for(lambda: card.setting("ups_type") == "2" and card.setting("ups_addr") == "3", 10,
             "protocol 21 at address 3")
    assert card.setting("ups_baudRate") == "19200"


def test_will_reaches_the_platform_when_cardmon_is_killed(rig):
    platform, sim, card = rig
    online(card)
    mark = platform.mark()
    card.kill9()
    will = platform.wait(lambda r: r.kind == "state" and r.state == 0, 30, mark, "the will")
    assert will.topic == f"Signal/OPRIX/Device/{SN}"
