"""cardmon with the CORVAN text-protocol UPS drivers polling the simulated UPS
over a pseudo-terminal at 2400 baud: txtups_p (ups_type 8) asks only Q1,
txtups_q (9) Q6 and WA, txtups_r (10) Q1, Q6 and WA; each shows what the
simulator's state means, on mains and after a change of state (a mains
failure that reaches current_alarm and goes again, a run on bypass whose
bypass line comes from the status bits); and every one of them stays off the
line while polling is suspended (54) until it is resumed (55)."""

import re

import pytest
from cardlib import Card, wait_for

from simlib import CorvanSim, wait_match, alarm_rows

LINK = -1
ON_BATTERY = 20001
ON_BATTERY_ALARM = 1  # its alarm id in current_alarm
QUIET = {"use_dev_fun3": "0", "config_test_period": "0", "sel_down": "0", "sel_batlow": "0",
         "sel_overtemp": "0", "sel_overload": "0", "ups_baudRate": "2400",
         "communication_timeout": "30"}








def polls(card):
    m = re.search(r"^\s*60\b.*?polls\D*(\d+)", card.ctl("devices"), re.M)
    return int(m.group(1)) if m else None


def suspended_leaves_the_line_alone(card, sim):
    assert card.control(60, "54") == 0
    sim.clear_requests()
    start = polls(card)
    if start is not None:
        wait_for(lambda: polls(card) >= start + 3, timeout=20, what="three idle polls")
    else:
        wait_for(lambda: card.signal(60, LINK) == 0, timeout=40, what="link down")
    assert sim.commands() == []
    assert card.control(60, "55") == 0
    wait_for(lambda: sim.commands(), timeout=20, what="polling again")


@pytest.fixture
def corvan(tmp_path, request):
    driver, ups_type = request.param
    sim = CorvanSim(tmp_path / "sim", driver=driver)
    card = Card(tmp_path / "card", settings={**QUIET, "ups_type": str(ups_type)},
                ports={1: sim.card_tty})
    card.start()
    yield card, sim
    card.stop()
    sim.stop()


@pytest.mark.parametrize("corvan", [("txtups_p", 8)], indirect=True)
def test_txtups_p_asks_only_q1(corvan):
    card, sim = corvan
    wait_match(card, sim, "txtups_p values on mains")
    wait_for(lambda: card.signal(60, LINK) == 1, timeout=10, what="link up")
    assert card.signal_text(60, 40000) == "CORVAN"
    assert set(sim.commands()) == {"Q1"}
    assert all(r["card_speed"] == 2400 for r in sim.requests())

    sim.scenario("mains_failure")
    wait_match(card, sim, "txtups_p values on battery")
    suspended_leaves_the_line_alone(card, sim)


@pytest.mark.parametrize("corvan", [("txtups_q", 9)], indirect=True)
def test_txtups_q_mains_failure_reaches_current_alarm(corvan):
    card, sim = corvan
    wait_match(card, sim, "txtups_q values on mains")
    assert set(sim.commands()) == {"Q6", "WA"}
    assert not alarm_rows(card, ON_BATTERY_ALARM)

    sim.scenario("mains_failure")
    wait_for(lambda: card.signal(60, ON_BATTERY) == 1, timeout=20, what="on battery")
    wait_match(card, sim, "txtups_q values on battery")
    wait_for(lambda: alarm_rows(card, ON_BATTERY_ALARM), timeout=10,
             what="current_alarm row of the battery run")

    sim.scenario("mains_return")
    wait_match(card, sim, "txtups_q values after the mains came back")
    wait_for(lambda: not alarm_rows(card, ON_BATTERY_ALARM), timeout=10,
             what="battery run cleared from current_alarm")
    suspended_leaves_the_line_alone(card, sim)


@pytest.mark.parametrize("corvan", [("txtups_r", 10)], indirect=True)
def test_txtups_r_bypass_and_a_failed_test(corvan):
    card, sim = corvan
    wait_match(card, sim, "txtups_r values on mains")
    wait_for(lambda: sim.commands().count("WA") >= 2, timeout=10, what="two cycles")
    commands = sim.commands()
    k = commands.index("Q1")
    assert commands[k:k + 6] == ["Q1", "Q6", "WA"] * 2

    sim.scenario("bypass")
    wait_match(card, sim, "txtups_r values on bypass")
    assert card.signal(60, 40193) == pytest.approx(220.0)
    sim.scenario("normal")
    sim.scenario("test_failed")
    wait_match(card, sim, "txtups_r values after a failed test")
    suspended_leaves_the_line_alone(card, sim)
