"""cardmon with the text-protocol UPS drivers polling the simulated UPS over a
pseudo-terminal at 2400 baud: the three-phase driver (ups_type 1) learns the
model and then asks QT and F, both drivers show what the simulator's state
means, a mains failure reaches current_alarm, and replies that echo, lose a
blank or turn to noise neither crash the card nor put wrong values up."""


import pytest
from cardlib import Card, wait_for
from pages_helpers import Web

from simlib import TxtupsSim, wait_match, alarm_rows

LINK = -1
ON_BATTERY = 20001
OUTPUT_FREQUENCY = 40162
INPUT_VOLTAGE_A = 40133
# The UPS alone on the line: no schedule, automatic test or alarm-triggered
# switch-off puts a command of its own on it.
QUIET = {"use_dev_fun3": "0", "config_test_period": "0", "sel_down": "0", "sel_batlow": "0",
         "sel_overtemp": "0", "sel_overload": "0", "ups_baudRate": "2400",
         "communication_timeout": "30"}
FIRST_CYCLE = ["MODEL", "G1", "G2", "G3", "GF", "I", "Q1"]


def start_card(tmp_path, sim, ups_type):
    card = Card(tmp_path / "card", settings={**QUIET, "ups_type": str(ups_type)},
                ports={1: sim.card_tty})
    card.start()
    return card








@pytest.fixture
def three_phase(tmp_path):
    sim = TxtupsSim(tmp_path / "sim", model=231)
    card = start_card(tmp_path, sim, 1)
    yield card, sim
    card.stop()
    sim.stop()


def test_three_phase_learns_its_model_then_asks_qt_and_f(three_phase):
    card, sim = three_phase
    # two cycles after the first; a cycle of model 231 starts with G1
    wait_for(lambda: sim.commands().count("G1") >= 3, timeout=40, what="three cycles")
    commands = sim.commands()
    assert commands[:7] == FIRST_CYCLE
    assert commands[7:15] == ["G1", "G2", "G3", "GF", "I", "Q1", "QT", "F"]
    assert all(r["card_speed"] == 2400 for r in sim.requests())

    wait_match(card, sim, "three-phase values on mains")
    assert card.signal(60, LINK) == 1

    sim.scenario("mains_failure")
    wait_for(lambda: card.signal(60, ON_BATTERY) == 1, timeout=20, what="on battery")
    wait_match(card, sim, "three-phase values on battery")
    wait_for(lambda: alarm_rows(card, 1), timeout=10, what="current_alarm row of alarm 1")


@pytest.fixture
def single_phase(tmp_path):
    sim = TxtupsSim(tmp_path / "sim", model=283)
    card = start_card(tmp_path, sim, 0)
    yield card, sim
    card.stop()
    sim.stop()


def test_single_phase_values_alarms_and_rules(single_phase):
    card, sim = single_phase
    wait_match(card, sim, "single-phase values with QT")
    assert "G1" not in sim.commands()
    # The home page shows them: ups_type 0 is the card's default UPS.
    chart = Web(int(card.setting("httpPort"))).json("/EnergyChart")
    assert (chart["input_V"], chart["output_V"], chart["output_Hz"]) == ("230.5", "220.0", "50.0")

    # A 283 that stops answering QT: Q1 owns the output frequency, and holds
    # it at the rating while the input strays 5 Hz or more.
    sim.set("answers", ["MODEL", "Q1", "I", "F", "BL"])
    sim.set("input_f", 56.0)
    wait_match(card, sim, "single-phase values from Q1")
    assert card.signal(60, OUTPUT_FREQUENCY) == 50.0
    sim.set("input_f", 52.0)
    wait_for(lambda: card.signal(60, OUTPUT_FREQUENCY) == 52.0, timeout=15,
             what="output frequency follows the input")

    sim.scenario("mains_failure")
    wait_match(card, sim, "single-phase values on battery")
    wait_for(lambda: alarm_rows(card, 1), timeout=10, what="current_alarm row of alarm 1")


def test_echoes_torn_and_noisy_replies(single_phase):
    card, sim = single_phase
    wait_match(card, sim, "values before the faults")
    sim.reply_mode("echo")
    sim.scenario("test")
    wait_match(card, sim, "values through an echoing line")

    # Replies with a blank out of place are dropped; a stray character in a
    # number field reads 0, as the protocol says.
    before = card.signal(60, INPUT_VOLTAGE_A)
    mark = len(sim.requests())
    sim.reply_mode("bad_blank", scope="Q1", count=2)
    wait_for(lambda: sum(1 for r in sim.requests(mark) if r["reply"] == "bad_blank") == 2,
             timeout=20, what="two Q1 replies with a blank out of place")
    assert card.signal(60, INPUT_VOLTAGE_A) == before
    sim.reply_mode("stray", scope="Q1", count=1)
    wait_for(lambda: card.signal(60, INPUT_VOLTAGE_A) == 0.0, timeout=20,
             what="stray character read as 0")

    sim.reply_mode("noise")
    wait_for(lambda: card.signal(60, LINK) == 0, timeout=30, what="no answer the driver takes")
    sim.reply_mode("answer")
    wait_match(card, sim, "values after the noise")
    assert card.pid()
