"""The alarm and data tasks in a running card, with the register-map driver
(ups_type 4) polling the simulated UPS: an alarm episode from mains failure
to mains return as the store records it, the UPS link watch, UPS commands
posted on channel 0, changed line settings applied to the running port, the
restarts asked for by event 3000 and by an address change, sampling and
battery-test records, and the shutdown after a low-battery alarm."""

import os
import termios
import time

import pytest

cardlib = pytest.importorskip("cardlib")
from cardlib import Card, wait_for  # noqa: E402

simlib = pytest.importorskip("simlib")
from simlib import RegupsSim  # noqa: E402

LINK = -1
ON_BATTERY = 20001
COMM_LOST = 20019
SHUTDOWN_REG = 0x8008
SLACK = 1.0          # a busy 2-core machine may run any period a little late
ALARM_PASS = 2.0     # svc_alarm current-alarm pass
HISTORY_PASS = 1.0   # svc_alarm history worker
STORE_BATCH = 2.0    # svc_store queue
POLL = 1.0           # device poll period


@pytest.fixture
def sim(tmp_path):
    s = RegupsSim(tmp_path / "sim", model=299)
    yield s
    s.stop()


def start_card(tmp_path, sim, without=(), **settings):
    values = {"ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600",
              "communication_timeout": "3"}
    values.update({k: str(v) for k, v in settings.items()})
    card = Card(tmp_path / "c", settings=values, ports={1: sim.card_tty})
    for name in without:
        os.remove(card.path(f"lib/lib{name}.so"))
    if hasattr(sim, "attach"):
        sim.attach(card)
    card.start()
    wait_for(lambda: card.signal(60, LINK) == 1, timeout=30, what="UPS link up")
    return card


@pytest.fixture
def card(tmp_path, sim):
    c = start_card(tmp_path, sim)
    yield c
    c.stop()


def rows(card, sql, params=()):
    try:
        return card.query("alarm_info.db", sql, params)
    except Exception:  # the store may be creating the file
        return []


def test_episode_from_mains_failure_to_return(card, sim):
    wait_for(lambda: card.signal(60, ON_BATTERY) == 0, what="on mains")
    sim.scenario("mains_failure")
    wait_for(lambda: card.signal(60, ON_BATTERY) == 1, timeout=10, what="driver reports 20001")
    seen = time.time()

    # Within one alarm pass: the start time stamped. The signal is a float
    # (128 s steps at today's epoch) and cardctl prints 6 digits: compare coarsely.
    stamp = wait_for(lambda: card.signal(60, 21001), timeout=ALARM_PASS + 1.5 + SLACK,
                     what="start time in 21001")
    assert abs(stamp - seen) < 5000
    # The task stamps the signal first and logs the events right after it.
    wait_for(lambda: "alarm 1 started, posted on channels 1 and 2" in card.app_log(), timeout=2,
             what="start events logged")
    wait_for(lambda: rows(card, "select Starting_Time from current_alarm where Alarm_Id=1"),
             timeout=STORE_BATCH + 2 + SLACK, what="current_alarm row")
    assert card.setting("curr_alarm_num") != "0"
    assert "1" in card.setting("curr_alarm_id").split(",")

    sim.scenario("mains_return")
    wait_for(lambda: card.signal(60, ON_BATTERY) == 0, timeout=10, what="driver reports mains")
    wait_for(lambda: card.signal(60, 21001) == 0, timeout=ALARM_PASS + 1.5 + SLACK,
             what="21001 cleared")
    wait_for(lambda: "alarm 1 ended, posted on channel 7" in card.app_log(), timeout=2,
             what="end event logged")
    wait_for(lambda: not rows(card, "select * from current_alarm where Alarm_Id=1"),
             timeout=STORE_BATCH + 2 + SLACK, what="current_alarm row removed")
    (start, end, source), = wait_for(
        lambda: rows(card, "select Starting_Time, End_Time, Source from history_alarm "
                           "where Alarm_Id=1"),
        timeout=HISTORY_PASS + STORE_BATCH + 2 + SLACK, what="history_alarm row")
    assert start and end and start <= end
    assert source == "Dev:UPS"
    assert "1" not in card.setting("curr_alarm_id").split(",")


def test_silent_ups_is_declared_lost_and_found_again(card, sim):
    assert card.setting("ups_lost") == "0"
    sim.reply_mode("silent")
    wait_for(lambda: card.setting("ups_lost") == "1", timeout=30, what="ups_lost 1")
    assert card.signal(60, COMM_LOST) == 1
    # While the link is lost only the communication loss is listed.
    wait_for(lambda: card.setting("curr_alarm_id") == "19", timeout=ALARM_PASS + 2 + SLACK,
             what="curr_alarm_id 19")
    assert card.setting("curr_alarm_num") == "1"

    sim.reply_mode("answer")
    wait_for(lambda: card.setting("ups_lost") == "0", timeout=15, what="ups_lost 0")
    assert card.signal(60, COMM_LOST) == 0


def shutdown_writes(sim):
    return [w for w in sim.writes() if w["reg"] == SHUTDOWN_REG]


def test_remote_shutdown_follows_use_dev_fun2(card, sim):
    sim.clear_writes()
    card.event(0, 4)
    w = wait_for(lambda: shutdown_writes(sim), timeout=10, what="shutdown register write")
    assert w[0]["fc"] == 6 and w[0]["values"] == [1]

    card.set_setting("use_dev_fun2", "0")
    sim.clear_writes()
    card.event(0, 4)
    # Commands run in order on the port thread: once a later command reached
    # the UPS, an earlier shutdown would have too.
    assert card.control(60, "17") == 1
    wait_for(lambda: any(w["reg"] == 0x8002 for w in sim.writes()), what="later command")
    assert shutdown_writes(sim) == []


def test_event_3000_restarts_the_program(card):
    count = int(card.setting("SystemStartCount", "0"))
    pid = card.pid()
    # The program ends inside the event: cardctl may see its answer cut off.
    card.ctl("event", 0, 3000, check=False)
    card.wait_running(timeout=30, old_pid=pid)
    assert int(card.setting("SystemStartCount", "0")) == count + 1
    assert "para change,system restart" in card.app_log()


def line_settings(path):
    """Speed and stop bits the card set on its serial line. (A pseudo-terminal
    keeps these; it forces 8 bits without parity whatever is asked.)"""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attrs = termios.tcgetattr(fd)
    finally:
        os.close(fd)
    return attrs[4], 2 if attrs[2] & termios.CSTOPB else 1


def after_supervision_pass(card):
    """Returns once a whole supervision pass of svc_data ran after the call: the
    pass ends by rewriting 40119, so two rewrites of a marker value prove it."""
    for _ in range(2):
        card.set_signal(60, 40119, -12345)
        wait_for(lambda: card.signal(60, 40119) != -12345, timeout=12, what="a supervision pass")


def test_changed_line_settings_reach_the_running_port(tmp_path, sim):
    # The identification task itself is left out: only the data task's own
    # restraint while identification holds the line is under test here.
    card = start_card(tmp_path, sim, without=("svc_identify",))
    try:
        changed_line_settings_reach_the_running_port(card, sim)
    finally:
        card.stop()


def changed_line_settings_reach_the_running_port(card, sim):
    assert line_settings(sim.card_tty) == (termios.B9600, 1)
    card.set_setting("ups_baudRate", "4800")
    card.set_setting("ups_stopBits", "2")
    wait_for(lambda: line_settings(sim.card_tty) == (termios.B4800, 2), timeout=8,
             what="4800 baud, 2 stop bits on the UPS line")
    assert "ups port parm is change" in card.app_log()

    # Identification owns the line while it runs: nothing is applied then.
    card.set_setting("enable_identify", "1")
    card.set_setting("ups_baudRate", "2400")
    after_supervision_pass(card)
    assert line_settings(sim.card_tty)[0] == termios.B4800


def test_address_change_restarts_the_program(card):
    count = int(card.setting("SystemStartCount", "0"))
    pid = card.pid()
    card.set_setting("ups_addr", "2")
    card.wait_running(timeout=30, old_pid=pid)
    assert int(card.setting("SystemStartCount", "0")) == count + 1
    assert "ups_addr is change ,system will be reboot" in card.app_log()


def test_samples_and_battery_test_records(tmp_path, sim):
    card = start_card(tmp_path, sim, ups_data_record_minute=0)
    try:
        def count(db, table):
            try:
                return card.query(db, f"select count(*) from {table}")[0][0]
            except Exception:
                return 0
        wait_for(lambda: count("ups_data.db", "ups_data") >= 2, timeout=10, what="UPS samples")

        sim.scenario("test")
        wait_for(lambda: card.signal(60, 20023) == 1, timeout=10, what="test in progress")
        # The sampler looks every 2 s: let it see the test running. Each of its
        # passes also queues a UPS sample, so three more rows prove one pass.
        seen = count("ups_data.db", "ups_data")
        wait_for(lambda: count("ups_data.db", "ups_data") >= seen + 3, timeout=12,
                 what="a sampler pass during the test")
        sim.scenario("test_end")
        wait_for(lambda: card.signal(60, 20023) == 0, timeout=10, what="test ended")
        (start, run_time), = wait_for(
            lambda: card.query("ups_data.db", "select Time, RunTime from test_data"),
            timeout=8, what="test_data row")
        assert start and len(run_time.split(":")) == 3
    finally:
        card.stop()


def test_low_battery_shuts_the_ups_down(tmp_path, sim):
    card = start_card(tmp_path, sim, sel_batlow=1, bat_time=0)
    try:
        sim.clear_writes()
        sim.scenario("low_battery")
        wait_for(lambda: card.signal(60, 20002) == 1, timeout=10, what="low battery reported")
        w = wait_for(lambda: shutdown_writes(sim), timeout=8, what="shutdown register write")
        assert w[0]["values"] == [1]
        # Recorded as a control action of origin "SCHEDULE": 1404 - 1250.
        (source,), = wait_for(
            lambda: card.query("alarm_info.db", "select Source from history_alarm "
                                                "where Alarm_Id=154 and End_Time='--'"),
            timeout=5, what="control action row")
        assert source == "SCHEDULE"
    finally:
        card.stop()
