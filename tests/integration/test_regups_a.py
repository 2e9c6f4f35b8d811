"""cardmon with the register-map driver (ups_type 4) polling the simulated
UPS over a pseudo-terminal: signals per layout and situation, the identity
handshake, the command selection, control frames, suspend/resume and the
link signal."""

import re

import pytest
from cardlib import Card, wait_for

from simlib import RegupsSim, read_signals

# (function, start, count) of each query command of the driver
COMMANDS = {
    (4, 0, 73): 0, (4, 128, 51): 1, (2, 0, 112): 2, (2, 208, 482): 3,
    (4, 0, 74): 4, (2, 0, 96): 5, (3, 0, 79): 6, (4, 0, 72): 7, (4, 0, 78): 8,
}
SELECTION = {299: {0, 1, 2, 3}, 297: {1, 2, 3, 7}, 290: {1, 2, 3, 7},
             222: {1, 3, 8}, "AAAA": {1, 4, 5, 6}}
LINK = -1
# The UPS on the register-map driver; no schedule, automatic test or
# alarm-triggered switch-off may put frames of its own on the line.
CARD_SETTINGS = {
    "ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600",
    "use_dev_fun3": "0", "config_test_period": "0", "sel_down": "0",
    "sel_batlow": "0", "sel_overtemp": "0", "sel_overload": "0",
}


def command_indexes(requests):
    return [COMMANDS.get((r["fc"], r["addr"], r["count"]), "?") for r in requests
            if r["fc"] in (2, 3, 4)]


def start_card(tmp_path, sim):
    card = Card(tmp_path, settings=CARD_SETTINGS, ports={1: sim.card_tty})
    card.start()
    return card


def mismatches(card, expected):
    got = read_signals(card)
    bad = []
    for sig, want in sorted(expected.items()):
        have = got.get(sig, 0.0)
        if abs(have - want) > 0.02 + 1e-4 * abs(want):
            bad.append((sig, want, have))
    return bad


def wait_match(card, sim, what, timeout=25):
    expected = sim.expected()
    last = []

    def matches():
        last[:] = mismatches(card, expected)
        return not last

    try:
        wait_for(matches, timeout=timeout, what=what)
    except Exception:
        raise AssertionError("%s: (signal, expected, card) %s" % (what, last[:20]))


def wait_selection(sim, model, timeout=20):
    """Wait until two whole cycles of requests show the layout's commands."""
    want = SELECTION[model]

    def selected():
        seen = command_indexes(sim.requests())
        # the tail after the last foreign command must hold two full cycles
        tail = []
        for c in reversed(seen):
            if c not in want:
                break
            tail.append(c)
        return len(tail) >= 2 * len(want) and set(tail) == want

    sim.clear_requests()
    wait_for(selected, timeout=timeout, what="command set of %s" % model)


@pytest.fixture
def sim(tmp_path):
    s = RegupsSim(tmp_path / "sim", model=299)
    yield s
    s.stop()


@pytest.fixture
def card(tmp_path, sim):
    c = start_card(tmp_path, sim)
    yield c
    c.stop()


def test_identity_first_then_the_layout_commands(tmp_path):
    sim = RegupsSim(tmp_path / "sim", model=222, scenarios=["silent"])
    card = start_card(tmp_path, sim)
    try:
        wait_for(lambda: len(sim.requests()) >= 3, timeout=20,
                 what="three polls of a silent UPS")
        assert set(command_indexes(sim.requests())) == {1}
        assert card.signal(60, LINK) == 0
        sim.scenario("answer")
        wait_for(lambda: card.signal(60, LINK) == 1, timeout=20, what="link up")
        wait_selection(sim, 222)
    finally:
        card.stop()
        sim.stop()


SITUATIONS = [
    ["normal"],
    ["low_battery"],
    ["mains_return"],
    ["normal", "bypass", "overload", "fault:fan", "fault:general", "test"],
    ["normal", "depleted", "battery_disconnected", "fault:temperature"],
    ["normal", ("input_switch", 0), ("bypass_switch", 1),
     ("output_state", "output_off"), ("battery_state", "idle"), "eco"],
]


def test_every_layout(card, sim):
    # 297 first: its numeric version leaves the driver's version untouched,
    # so it must be seen before a text version has been parsed
    for model in (297, 299, 290, 222, "AAAA"):
        sim.model(model)
        wait_selection(sim, model)
        for steps in SITUATIONS:
            for step in steps:
                if isinstance(step, tuple):
                    sim.set(*step)
                else:
                    sim.scenario(step)
            wait_match(card, sim, "model %s after %s" % (model, steps))
        ident = sim.state()["ident"]
        assert card.signal_text(60, 40016) == ident["model"]
        assert card.signal_text(60, 40000) == ident["manufacturer"]


def test_faults_of_every_map(card, sim):
    faults = ["input", "bypass", "output", "overload", "low_battery", "depleted",
              "battery_bad", "test_failed", "charger", "fan", "fuse",
              "temperature", "system_off"]
    for model in (299, 222, "AAAA"):
        sim.model(model)
        for fault in faults:
            sim.scenario("fault:clear")
            sim.scenario("fault:" + fault)
            wait_match(card, sim, "model %s fault %s" % (model, fault))


def test_control_frames(card, sim):
    wait_for(lambda: card.signal(60, LINK) == 1, timeout=20, what="link up")
    sim.clear_writes()
    for _ in range(3):
        assert card.control(60, "8") == 1
    assert [(w["fc"], w["reg"], w["values"]) for w in sim.writes()] == [
        (6, 0x8002, [0]), (6, 0x8002, [1]), (6, 0x8002, [0])]

    sim.clear_writes()
    assert card.control(60, "51,230.5,50,3,1.5,2.5,7.5,8.5,9,10") == 1
    (w,) = sim.writes()
    assert w["fc"] == 16 and w["reg"] == 0xFF00 and len(w["values"]) == 9
    assert w["values"][:3] == [2305, 500, 3]

    sim.clear_writes()
    assert card.control(60, "12") == 1
    assert [(w["reg"], w["values"]) for w in sim.writes()] == [(0x8000, [1])]

    # an exception reply counts as a failed attempt; three of them fail the command
    sim.clear_writes()
    sim.scenario("exception:write")
    assert card.control(60, "12") == 0
    assert [(w["reg"], w["reply"]) for w in sim.writes()] == [
        (0x8000, "exception")] * 3
    sim.scenario("answer")


def test_suspend_and_resume_polling(card, sim):
    wait_for(lambda: card.signal(60, LINK) == 1, timeout=20, what="link up")
    assert card.control(60, "54") == 0
    n = len(sim.requests())  # a cycle may still have been on the line
    sim.clear_requests()

    def polls():
        m = re.search(r"^\s*60\b.*?polls\D*(\d+)", card.ctl("devices"), re.M)
        return int(m.group(1)) if m else None

    start = polls()
    if start is not None:
        wait_for(lambda: polls() >= start + 3, timeout=20, what="three idle polls")
    else:
        wait_for(lambda: card.signal(60, LINK) == 0, timeout=20, what="link down")
    assert sim.requests() == [], n
    assert card.control(60, "55") == 0
    wait_for(lambda: len(sim.requests()) > 0, timeout=20, what="polling again")
    wait_for(lambda: card.signal(60, LINK) == 1, timeout=20, what="link up")


def test_link_signal_follows_the_replies(card, sim):
    wait_for(lambda: card.signal(60, LINK) == 1, timeout=20, what="link up")
    for mode in ("silent", "bad_crc", "exception"):
        sim.scenario(mode)
        wait_for(lambda: card.signal(60, LINK) == 0, timeout=30,
                 what="link down with %s replies" % mode)
        sim.scenario("answer")
        wait_for(lambda: card.signal(60, LINK) == 1, timeout=30, what="link up")


def test_a_failing_command_keeps_the_signals_it_feeds(card, sim):
    sim.scenario("fault:fan")
    wait_match(card, sim, "fan fault shown")
    # the alarm maps (function 2) now fail their CRC; the other commands answer
    sim.scenario("bad_crc:fc2")
    sim.scenario("fault:clear")
    sim.set("input_v", 225.5)
    wait_for(lambda: abs(card.signal(60, 40133) - 225.5) < 0.02, timeout=20,
             what="input voltage followed")
    assert card.signal(60, 20015) == 1  # still the last value the map gave
    assert card.signal(60, LINK) == 1  # the cycle as a whole was answered
    sim.scenario("answer")
    wait_for(lambda: card.signal(60, 20015) == 0, timeout=20, what="fan fault gone")
