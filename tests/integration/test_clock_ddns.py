"""The clock task and the DDNS task in a running card, against real peers that
live on loopback or inside network namespaces made here (no packet leaves the
machine): the DDNS provider and its IP-check page are a local HTTP server, STUN
is Debian's stund on 127.0.0.1/127.0.0.2, the restart goes through the sandbox's
reboot stand-in, and the Wake-on-LAN packets are captured on the far end of a
veth pair whose near end is the card's eth0."""
import base64
import calendar
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import pytest
from cardlib import Card, free_port, wait_for

UPS, CARD = 60, 0
ALARM_NO_DDNS = 20061
INPUT_BAD = 20005
# Zone 13 with daylight saving is GMT-0:00: the card's local times are UTC.
UTC = {"ntimezone": "13", "time_dst": "1"}


class Provider:
    """A DDNS provider and its IP-check page on one loopback HTTP server."""

    def __init__(self):
        self.requests, self.update_code = [], 200
        provider = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                url = urlsplit(self.path)
                if url.path == "/ip":
                    body, code = (b"<html><head><title>Current IP Check</title></head><body>"
                                  b"Current IP Address: 203.0.113.7</body></html>\r\n"), 200
                else:
                    provider.requests.append({"path": url.path, "query": parse_qs(url.query),
                                              "auth": self.headers.get("Authorization", ""),
                                              "t": time.monotonic()})
                    body, code = b"good", provider.update_code
                self.send_response(code)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def provider():
    p = Provider()
    yield p
    p.stop()


def ddns_card(tmp_path, provider, settings):
    card = Card(tmp_path, settings={"ddn_service_provider": "1", "ddn_resolution_name":
                                    "ups.example.net", "ddn_login_name": "card",
                                    "ddn_login_pass": "pa:ss", **settings})
    with open(card.path("config/ddns.conf"), "w") as f:
        f.write(f"check1={provider.url}/ip\nupdate1={provider.url}\n")
    return card.start()


def test_ddns_update_reaches_the_provider_and_follows_ddns_use(tmp_path, provider):
    card = ddns_card(tmp_path, provider, {})
    try:
        wait_for(lambda: provider.requests, 15, "the update after the start")
        first = provider.requests[0]
        assert first["path"] == "/dyndns/update"
        assert first["query"] == {"system": ["dyndns"], "hostname": ["ups.example.net"],
                                  "myip": ["203.0.113.7"]}
        assert first["auth"] == "Basic " + base64.b64encode(b"card:pa:ss").decode()
        assert card.setting("DDNSReqPubIP") == "203.0.113.7"
        assert "203.0.113.7" in card.read("data/public_network.txt")
        wait_for(lambda: card.signal(UPS, ALARM_NO_DDNS) == 0, 5, "alarm clear")

        # An update on request comes within a pass (2 s); a refusal raises the alarm.
        provider.update_code = 401
        asked = time.monotonic()
        card.set_setting("ddns_use", "1")
        wait_for(lambda: len(provider.requests) == 2, 6, "the requested update")
        assert provider.requests[1]["t"] - asked < 3.0
        wait_for(lambda: card.setting("ddns_use") == "0", 5, "ddns_use cleared")
        wait_for(lambda: card.signal(UPS, ALARM_NO_DDNS) == 1, 5, "alarm raised")
        assert "Dynamic domain name resolution failed" in card.app_log()

        # No provider: the alarm is cleared and nothing more is asked.
        card.set_setting("ddn_service_provider", "0")
        card.set_setting("ddns_use", "1")
        wait_for(lambda: card.setting("ddns_use") == "0", 5, "ddns_use cleared")
        wait_for(lambda: card.signal(UPS, ALARM_NO_DDNS) == 0, 5, "alarm cleared")
        assert len(provider.requests) == 2
    finally:
        card.stop()


def free_udp_pair():
    while True:
        a = free_port(socket.SOCK_DGRAM)
        b = a + 1
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind(("127.0.0.2", b))
                return a, b
            except OSError:
                continue


@pytest.fixture
def stund():
    if not shutil.which("stund"):
        pytest.skip("stund (Debian's stun-server) is not installed: scripts/setup")
    primary, other = free_udp_pair()
    proc = subprocess.Popen(["stund", "-h", "127.0.0.1", "-a", "127.0.0.2", "-p", str(primary),
                             "-o", str(other)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    time.sleep(0.3)  # stund has no readiness signal; the client retransmits anyway
    yield "127.0.0.1:%d" % primary
    proc.terminate()
    proc.wait(5)


def test_stun_finds_the_address_and_a_firewalled_server_fails_the_update(tmp_path, provider,
                                                                         stund):
    # A UDP port that swallows every datagram: the card is firewalled from it.
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    blocked = "127.0.0.1:%d" % sink.getsockname()[1]
    card = ddns_card(tmp_path, provider, {"stun_service": "1", "stun_ipaddr_0": blocked,
                                          "stun_ipaddr_1": stund})
    try:
        wait_for(lambda: provider.requests, 20, "the update after the start")
        assert provider.requests[0]["query"]["myip"] == ["127.0.0.1"]
        assert card.setting("StunPubIP") == "127.0.0.1"
        log = card.app_log()
        assert "StunNatType: Blocked or could not reach STUN server" in log
        assert "StunNatType: Open" in log

        card.set_setting("stun_ipaddr_1", blocked)
        card.set_setting("ddns_use", "1")
        wait_for(lambda: card.signal(UPS, ALARM_NO_DDNS) == 1, 25, "a failed update")
        assert len(provider.requests) == 1, "no update without an address"
    finally:
        card.stop()
        sink.close()


def history_rows(card):
    try:
        return card.query("alarm_info.db", "select Starting_Time, End_Time from history_alarm "
                          "where Alarm_Id='5'")
    except Exception:
        return []


def test_restart_on_request_and_alarms_open_across_it_end_at_the_last_stop(tmp_path):
    card = Card(tmp_path, settings=UTC).start()
    try:
        wait_for(lambda: card.setting("system_run_time") not in ("", "0"), 10, "run time kept")
        card.store(205)  # alarm 5 stands
        wait_for(lambda: card.query("alarm_info.db", "select * from current_alarm "
                                    "where Alarm_Id='5'"), 10, "current_alarm row")
        old_pid = card.pid()
        asked = time.time()
        card.set_setting("system_restart", "1")
        wait_for(lambda: any(c.split()[:1] == ["reboot"] for c in card.commands_log()), 45,
                 "the reboot")
        rebooted = time.time()
        assert 28 <= rebooted - asked <= 36, rebooted - asked
        card.wait_running(30, old_pid=old_pid)
        assert card.setting("system_restart") == "0"

        rows = wait_for(lambda: history_rows(card), 15, "the alarm closed out")
        (start, end), = rows
        ended = calendar.timegm(time.strptime(end, "%Y-%m-%d %H:%M:%S"))
        assert asked + 25 <= ended <= rebooted + 2, (end, asked, rebooted)
        assert card.query("alarm_info.db", "select * from current_alarm where Alarm_Id='5'") == []
    finally:
        card.stop()


# ---- Wake-on-LAN inside network namespaces ----

CAPTURE = r"""
import socket, struct, sys, json
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.setsockopt(socket.IPPROTO_IP, 8, 1)  # IP_PKTINFO
s.bind(("0.0.0.0", int(sys.argv[1])))
print("ready", flush=True)
while True:
    data, anc, _, src = s.recvmsg(2048, 256)
    dst = ""
    for level, kind, raw in anc:
        if level == socket.IPPROTO_IP and kind == 8:
            dst = socket.inet_ntoa(raw[8:12])
    print(json.dumps({"data": data.hex(), "src": src[0], "dst": dst}), flush=True)
"""


def sh(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class NetnsCard(Card):
    """A card whose launcher runs inside a network namespace."""

    netns = None

    def _launch(self, extra):
        if extra:
            return super()._launch(extra)
        args = ["ip", "netns", "exec", self.netns, "/usr/bin/python3",
                os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                             "card"), "--sandbox", self.root, "--stage", self.stage]
        return subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


@pytest.fixture
def lan():
    tag = uuid.uuid4().hex[:6]
    card_ns, host_ns = "wolc-" + tag, "wolh-" + tag
    try:
        sh("ip", "netns", "add", card_ns)
    except (subprocess.CalledProcessError, FileNotFoundError) as e:
        pytest.skip(f"network namespaces are not permitted here: {e}")
    try:
        try:
            sh("ip", "netns", "add", host_ns)
            sh("ip", "link", "add", "wc" + tag, "type", "veth", "peer", "name", "wh" + tag)
            sh("ip", "link", "set", "wc" + tag, "netns", card_ns)
            sh("ip", "link", "set", "wh" + tag, "netns", host_ns)
            sh("ip", "-n", card_ns, "link", "set", "wc" + tag, "name", "eth0")
            sh("ip", "-n", card_ns, "addr", "add", "10.213.0.1/24", "dev", "eth0")
            sh("ip", "-n", card_ns, "link", "set", "eth0", "up")
            sh("ip", "-n", card_ns, "link", "set", "lo", "up")
            sh("ip", "-n", host_ns, "addr", "add", "10.213.0.2/24", "dev", "wh" + tag)
            sh("ip", "-n", host_ns, "link", "set", "wh" + tag, "up")
        except subprocess.CalledProcessError as e:
            # a root without /sys (a bare chroot) cannot enter the namespaces
            pytest.skip(f"the test's network namespaces cannot be set up here: {e}")
        yield card_ns, host_ns
    finally:
        subprocess.run(["ip", "netns", "del", card_ns], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "netns", "del", host_ns], stderr=subprocess.DEVNULL)


def test_wake_on_lan_once_per_return_of_mains_to_the_interface_broadcast(tmp_path, lan):
    card_ns, host_ns = lan
    port = 9
    capture = subprocess.Popen(["ip", "netns", "exec", host_ns, sys.executable, "-c", CAPTURE,
                                str(port)], stdout=subprocess.PIPE, text=True)
    packets = []
    assert capture.stdout.readline().strip() == "ready"
    threading.Thread(target=lambda: [packets.append(json.loads(line)) for line in capture.stdout],
                     daemon=True).start()

    macs = {"mac_0_0": "g1", "mac_0_1": "1g", "mac_0_2": "0A", "mac_0_3": "0a", "mac_0_4": "fF",
            "mac_0_5": "7"}
    NetnsCard.netns = card_ns
    card = NetnsCard(tmp_path, settings={"WakeEnabled_0": "1", "wakeport": str(port), **macs})
    card.start()
    try:
        for round_no in (1, 2):
            card.set_signal(UPS, INPUT_BAD, 1)
            time.sleep(1.5)  # the task samples the input once a second
            card.set_signal(UPS, INPUT_BAD, 0)
            wait_for(lambda: len(packets) >= round_no, 10, f"wake-up packet {round_no}")
        time.sleep(1.5)
        assert len(packets) == 2, "one set per return of mains"
        for p in packets:
            assert p["dst"] == "10.213.0.255" and p["src"] == "10.213.0.1"
            data = bytes.fromhex(p["data"])
            assert data == b"\xff" * 6 + bytes([0x01, 0x00, 0x0A, 0x0A, 0xFF, 0x07]) * 16
        assert "Send mac0 wakeup packet successfully" in card.app_log()
    finally:
        card.stop()
        capture.kill()
