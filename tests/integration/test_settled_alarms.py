"""One poll cycle, one value per signal: a signal that several replies of the
cycle report shows what the cycle as a whole says, never a value that a later
reply of the same cycle takes back.

A register-map UPS of model 299 answers four commands per cycle, two of them
alarm maps A and B that both carry low battery (20002). Some firmware sets it
in one map only. The card must then show 20002 = 1 at every moment, open one
alarm episode for the whole time and close it once, when the UPS clears it.
A sum row of map A (20000 battery bad, bits 71 and 72) is likewise not reset
by map B's row for the same signal later in the cycle.

Each phase is sampled for SAMPLE_SECONDS (30 s, about thirteen cycles; the
fault it guards against shows within the first cycle) to keep the suite short.
"""

import time

import pytest
from cardlib import Card, wait_for

from simlib import RegupsSim

UPS = 60
LINK = -1
LOW_BATTERY = 20002
LOW_BATTERY_INDEX = 2
BATTERY_BAD = 20000
SAMPLE_PERIOD = 0.1
SAMPLE_SECONDS = 30
ALARM_PASS = 2.0  # svc_alarm current-alarm pass
STORE_SLACK = 6.0  # store batch, history worker and a busy machine
# No schedule, automatic test or low-battery switch-off may act on the UPS.
CARD_SETTINGS = {
    "ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600",
    "use_dev_fun3": "0", "config_test_period": "0", "sel_down": "0",
    "sel_batlow": "0", "sel_overtemp": "0", "sel_overload": "0",
}


@pytest.fixture(scope="module")
def sim(tmp_path_factory):
    s = RegupsSim(tmp_path_factory.mktemp("sim"), model=299)
    yield s
    s.stop()


@pytest.fixture(scope="module")
def card(tmp_path_factory, sim):
    c = Card(tmp_path_factory.mktemp("card"), settings=CARD_SETTINGS,
             ports={1: sim.card_tty})
    c.start()
    wait_for(lambda: c.signal(UPS, LINK) == 1, timeout=30, what="UPS link up")
    yield c
    c.stop()


def sample(card, sig, seconds):
    """The signal read every SAMPLE_PERIOD for `seconds`."""
    seen = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = time.monotonic()
        seen.append(card.signal(UPS, sig))
        time.sleep(max(0.0, SAMPLE_PERIOD - (time.monotonic() - t)))
    return seen


def runs(seq):
    """[1, 1, 0, 1] -> "1.0 x2, 0.0 x1, 1.0 x1": a readable failure message."""
    out = []
    for v in seq:
        if out and out[-1][0] == v:
            out[-1][1] += 1
        else:
            out.append([v, 1])
    return ", ".join("%s x%d" % (v, n) for v, n in out)


def alarm_rows(card, table):
    try:
        return card.query("alarm_info.db", "select * from %s where Alarm_Id=?" % table,
                          (LOW_BATTERY_INDEX,))
    except Exception:  # the store may be creating the file
        return None


def log_count(card, what):
    return card.app_log().count("alarm %d %s" % (LOW_BATTERY_INDEX, what))


def test_low_battery_in_one_map_is_one_steady_alarm(card, sim):
    wait_for(lambda: card.signal(UPS, LOW_BATTERY) == 0, timeout=10, what="no low battery")
    assert log_count(card, "started") == 0

    sim.set("faults", ["low_battery_a"])
    wait_for(lambda: card.signal(UPS, LOW_BATTERY) == 1, timeout=10, what="20002 rose")
    in_a = sample(card, LOW_BATTERY, SAMPLE_SECONDS)
    # one step: no cycle sees map A clear and map B not yet set
    sim.set("faults", ["low_battery_b"])
    in_b = sample(card, LOW_BATTERY, SAMPLE_SECONDS)
    assert set(in_a) == {1.0}, "map A only: " + runs(in_a)
    assert set(in_b) == {1.0}, "map B only: " + runs(in_b)
    assert len(in_a) > SAMPLE_SECONDS * 2 and len(in_b) > SAMPLE_SECONDS * 2

    wait_for(lambda: alarm_rows(card, "current_alarm"), timeout=STORE_SLACK,
             what="current_alarm row")
    assert len(alarm_rows(card, "current_alarm")) == 1
    assert alarm_rows(card, "history_alarm") == []
    assert (log_count(card, "started"), log_count(card, "ended")) == (1, 0)

    sim.set("faults", [])
    wait_for(lambda: card.signal(UPS, LOW_BATTERY) == 0, timeout=10, what="20002 cleared")
    wait_for(lambda: alarm_rows(card, "history_alarm"), timeout=ALARM_PASS + STORE_SLACK,
             what="history_alarm row")
    wait_for(lambda: alarm_rows(card, "current_alarm") == [], timeout=STORE_SLACK,
             what="current_alarm row removed")
    time.sleep(ALARM_PASS + 1)  # a second episode would show by now
    assert len(alarm_rows(card, "history_alarm")) == 1
    assert (log_count(card, "started"), log_count(card, "ended")) == (1, 1)


def test_a_sum_row_is_not_reset_by_the_other_map(card, sim):
    # Map A counts battery faults 71 and 72; map B's battery-bad bits are clear.
    sim.set("faults", ["A71", "A72"])
    wait_for(lambda: card.signal(UPS, BATTERY_BAD) == 2, timeout=10, what="20000 reads 2")
    seen = sample(card, BATTERY_BAD, 10)
    assert set(seen) == {2.0}, runs(seen)
    sim.set("faults", [])
    wait_for(lambda: card.signal(UPS, BATTERY_BAD) == 0, timeout=10, what="20000 cleared")
