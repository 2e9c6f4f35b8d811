"""Identification in a running card, started the way the web's UPS page starts
it (enable_identify through "/UpsParam") and followed through
"/IdentifyProgress": a text UPS that only hears 4800 baud, a register-map UPS
at address 3 (a new protocol: the card restarts into its driver), and a line
where nothing answers (everything stays as it was, the UPS driver polls on at
its old speed)."""

import time

import pytest
from cardlib import Card, free_port, wait_for
from pages_helpers import Web

from simlib import RegupsSim, TxtupsSim

LINK = -1
QUIET = {"use_dev_fun3": "0", "config_test_period": "0", "sel_down": "0", "sel_batlow": "0",
         "sel_overtemp": "0", "sel_overload": "0", "communication_timeout": "60"}
PROBES = {"Q1", "G1"}


def start_card(tmp_path, tty, **settings):
    port = free_port()
    values = {**QUIET, "ups_type": "0", "ups_addr": "1", "ups_baudRate": "2400",
              "httpPort": str(port), **settings}
    card = Card(tmp_path / "card", settings=values, ports={1: tty})
    card.start()
    web = Web(port)
    wait_for(lambda: web.get("/IdentifyProgress").status_code == 200, 15, "web server")
    return card, web


def identify(web, until=100, timeout=90):
    """Starts a run; returns [(progress, time first seen), ...] up to `until`."""
    r = web.post("/UpsParam", {"enable_identify": "1"})
    assert r.status_code == 200, r.text
    seen = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            p = web.json("/IdentifyProgress")["progress"]
        except Exception:  # the card may be restarting
            p = None
        if p is not None and p > 0 and (not seen or seen[-1][0] != p):
            seen.append((p, time.time()))
        if p == until:
            return seen
        time.sleep(0.1)
    raise AssertionError("progress did not reach %d: %s" % (until, seen))


def reboots(card):
    return [c for c in card.commands_log() if c.startswith("reboot")]


@pytest.fixture
def text_ups(tmp_path):
    sim = TxtupsSim(tmp_path / "sim", model=101, speed=4800)
    yield sim
    sim.stop()


def test_text_ups_at_4800_without_g1(tmp_path, text_ups):
    sim = text_ups
    card, web = start_card(tmp_path, sim.card_tty)
    try:
        # The driver asks at 2400 and the UPS, at 4800, hears nothing.
        wait_for(lambda: "MODEL" in sim.commands(), 15, "the driver asking")
        assert card.signal(60, LINK) == 0

        seen = identify(web)
        assert [p for p, _ in seen] == [3, 6, 9, 10, 20, 90, 95, 100]
        assert card.setting("ups_type") == "0"
        assert card.setting("ups_baudRate") == "4800"
        assert card.setting("enable_identify") == "0"
        assert reboots(card) == []

        # From the moment the driver stood still to the last probe, only the
        # probes went over the line.
        t10 = dict(seen)[10]
        during = [r for r in sim.requests() if r["t"] >= t10]
        last_probe = max(i for i, r in enumerate(during) if r["text"] == "G1")
        assert [(r["text"], r["card_speed"]) for r in during[:last_probe + 1]] == \
            [("Q1", 2400), ("Q1", 4800), ("G1", 4800)]

        # The driver goes on at the speed found: the UPS answers now.
        wait_for(lambda: card.signal(60, LINK) == 1, 20, "UPS link at 4800")
        assert card.signal(60, 40133) == 230.5
    finally:
        card.stop()


def test_register_map_ups_at_address_3_restarts_into_its_driver(tmp_path):
    sim = RegupsSim(tmp_path / "sim", model=297, addr=3)
    card, web = start_card(tmp_path, sim.card_tty)
    try:
        old_pid = card.pid()
        seen = identify(web, until=90)
        assert [p for p, _ in seen][:3] == [3, 6, 9]
        wait_for(lambda: reboots(card), 15, "reboot")
        assert card.setting("ups_type") == "5"
        assert card.setting("ups_addr") == "3"
        assert card.setting("ups_baudRate") == "2400"
        card.wait_running(30, old_pid=old_pid)
        wait_for(lambda: card.signal(60, LINK) == 1, 30, "regups_a polling address 3")
        assert card.signal(60, 40096) == 297
    finally:
        card.stop()
        sim.stop()


def test_nothing_answering_changes_nothing(tmp_path, text_ups):
    sim = text_ups
    sim.speed(2400)
    sim.mismatch("noise")  # at the other speeds the line carries garbage
    card, web = start_card(tmp_path, sim.card_tty, ups_addr="2")
    try:
        wait_for(lambda: card.signal(60, LINK) == 1, 20, "UPS link")
        sim.set("answers", [])
        seen = identify(web, timeout=120)
        assert [p for p, _ in seen][-3:] == [90, 95, 100]  # 90: the altups probe at 9600
        assert {(r["text"], r["card_speed"]) for r in sim.requests() if r["text"] == "Q1"} >= \
            {("Q1", 2400), ("Q1", 4800), ("Q1", 9600)}
        assert (card.setting("ups_type"), card.setting("ups_addr"),
                card.setting("ups_baudRate"), card.setting("enable_identify")) == \
            ("0", "2", "2400", "0")
        assert reboots(card) == []
        # The line is back at 2400 at once: the driver finds its UPS again.
        sim.set("answers", ["MODEL", "Q1", "I", "F", "BL"])
        mark = len(sim.requests())
        wait_for(lambda: card.signal(60, LINK) == 1, 20, "UPS link after the run")
        assert all(r["card_speed"] == 2400 for r in sim.requests(mark))
        assert card.pid()
    finally:
        card.stop()
