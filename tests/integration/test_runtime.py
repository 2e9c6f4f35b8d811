"""The runtime under a real pseudo-terminal: polling period, link state, commands
on the port thread, framed reads, durable settings, events and the LEDs."""
import os
import select
import shutil
import struct
import time

import pytest

from cardlib import wait_for

BUILD = os.environ.get("CARD_BUILD", os.path.join(os.path.dirname(__file__), "../../build"))
GPIO_DATA = 0xB8003044


def lib(name):
    return os.path.join(BUILD, "lib", f"lib{name}.so")


class Line:
    """The far end of the UPS line, answering the test driver."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        self.buf = b""

    def read_line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            self.buf += os.read(self.fd, 256)
        line, self.buf = self.buf.split(b"\n", 1)
        return line

    def write(self, data):
        os.write(self.fd, data)

    def close(self):
        os.close(self.fd)


@pytest.fixture
def line_card(make_card, pty_pair):
    pair = pty_pair()
    card = make_card(ports={1: pair.a}, start=False)
    shutil.copy(lib("testdrv"), card.path("lib/libtxtups_1.so"))
    card.start()
    far = Line(pair.b)
    yield card, far
    far.close()


def test_polls_every_second_and_link_follows_answers(line_card):
    card, far = line_card
    stamps = []
    for _ in range(4):
        req = far.read_line(5)
        assert req == b"Q1"
        stamps.append(time.monotonic())
        far.write(b"HEL")
        time.sleep(0.005)
        far.write(b"LO")  # a reply in two pieces is read as one
    gaps = [b - a for a, b in zip(stamps, stamps[1:])]
    assert all(0.8 < g < 1.5 for g in gaps), gaps
    wait_for(lambda: card.signal(60, -1) == 1.0, 3, "link up")
    assert card.signal(60, 40105) == 5
    assert card.signal_text(60, 40016) == "HELLO"
    # Silence: the next poll gets nothing and the link drops.
    assert far.read_line(5) == b"Q1"
    wait_for(lambda: card.signal(60, -1) == 0.0, 5, "link down")


def test_command_runs_on_the_port_thread_between_polls(line_card):
    card, far = line_card
    assert card.control(60, "23,0,1,0,0,12") == 1
    seen = [far.read_line(5) for _ in range(3)]
    assert b"C23,0,1,0,0,12" in seen
    assert card.control(99, "1") == 0  # no such device


def test_settings_survive_kill_9(make_card):
    card = make_card()
    card.set_setting("ipAddr", "10.9.8.7")
    card.set_setting("note", "with spaces and 'quotes'")
    old = card.kill9()
    card.stop()
    card.start()
    assert card.pid() != old
    assert card.setting("ipAddr") == "10.9.8.7"
    assert card.setting("note") == "with spaces and 'quotes'"


def test_events_reach_every_plugin(make_card):
    card = make_card(start=False)
    for name in ("svc_ddns", "svc_clock"):
        shutil.copy(lib("testplug"), card.path(f"lib/lib{name}.so"))
    card.start()
    assert card.event(9, 77) >= 2
    for name in ("svc_ddns", "svc_clock"):
        wait_for(lambda: os.path.exists(card.path(f"data/events-{name}.log")), 5, name)
        assert "9 77" in card.read(f"data/events-{name}.log")


def test_a_task_on_the_shell_runs_takes_events_and_stops_cleanly(make_card):
    card = make_card(start=False)
    shutil.copy(lib("heartbeat"), card.path("lib/libsvc_ddns.so"))
    card.start()
    wait_for(lambda: card.signal(0, 30001) >= 3, 5, "the task's passes")
    card.event(9, 42)
    wait_for(lambda: card.signal(0, 30002) == 42, 5, "the event in the task")
    assert any("svc_ddns" in line for line in card.plugins())
    card.stop()
    beats = int(card.read("data/heartbeat.stopped"))
    assert beats >= 3
    assert "failed" not in card.app_log()


def gpio_bits(card):
    with open(card.sys_path("dev/mem"), "rb") as f:
        f.seek(GPIO_DATA)
        return struct.unpack("<I", f.read(4))[0]


def dark_starts(card, pin, seconds):
    """Times at which the pin went to 0, sampled every 5 ms."""
    starts, last = [], None
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        bit = (gpio_bits(card) >> pin) & 1
        if last == 1 and bit == 0:
            starts.append(time.monotonic())
        last = bit
        time.sleep(0.005)
    return [b - a for a, b in zip(starts, starts[1:])]


def test_leds_blink_with_their_periods(make_card):
    card = make_card()
    with open(card.sys_path("dev/mem"), "rb") as f:
        f.seek(0xB8003040)
        assert struct.unpack("<I", f.read(4))[0] & 0x3C0 == 0x3C0
    system = dark_starts(card, 9, 3.5)
    assert system and all(0.9 < p < 1.4 for p in system), system
    card.set_setting("ups_lost", "1")
    time.sleep(3.1)
    comm = dark_starts(card, 8, 7)
    assert comm and all(2.8 < p < 3.8 for p in comm), comm


def test_port_trace_logs_both_directions(line_card):
    card, far = line_card
    card.ctl("trace", 1, "on")
    for _ in range(2):
        assert far.read_line(5) == b"Q1"
        far.write(b"OK")
    wait_for(lambda: os.path.exists(card.path("data/1_HEX.log")), 5, "trace file")
    wait_for(lambda: "recv:" in card.read("data/1_HEX.log"), 5, "a received frame traced")
    hexlog = card.read("data/1_HEX.log")
    assert "1 send:" in hexlog and "51 31 0a" in hexlog and "4f 4b" in hexlog
    assert "OK" in card.read("data/1_ASCII.log")
    card.ctl("trace", 1, "off")


def test_crash_leaves_a_backtrace(make_card):
    card = make_card(start=False)
    shutil.copy(lib("testplug"), card.path("lib/libsvc_ddns.so"))
    card.start()
    card.ctl("event", 66, 11, check=False)
    wait_for(lambda: os.path.exists(card.path("data/crash.txt")), 5, "crash file")
    text = card.read("data/crash.txt")
    assert "cardmon: signal 11" in text and "libsvc_ddns.so" in text
    wait_for(lambda: card.pid() is None, 5, "the crashed card to be gone")


def test_deep_sandbox_still_answers_cardctl(tmp_path):
    from cardlib import Card
    card = Card(tmp_path / ("deep-" + "d" * 120))
    assert len(card.socket_path) > 108
    try:
        card.start()
        assert card.setting("SystemStartCount") == "1"
    finally:
        card.stop()
