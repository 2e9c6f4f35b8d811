"""The record store in a running card: requests sent through cardctl land in their
tables, and a kill -9 of cardmon in the middle of a burst of writes leaves every
database readable and writable after the restart."""
import os
import sqlite3
import threading
import time

from cardlib import wait_for

DBS = ["ups_data.db", "alarm_info.db", "sms_info.db", "smtp_record.db", "operation_record.db"]


def integrity(card, db):
    con = sqlite3.connect(card.path("data/" + db), timeout=10)
    try:
        return con.execute("PRAGMA integrity_check").fetchone()[0]
    finally:
        con.close()


def count(card, db, table, where="", params=()):
    try:
        return card.query(db, f"select count(*) from {table} {where}", params)[0][0]
    except sqlite3.Error:
        return -1


def wait_databases(card):
    wait_for(lambda: all(os.path.exists(card.path("data/" + d)) for d in DBS), 15,
             "the store to create its five databases")


def test_requests_land_in_their_tables(make_card):
    card = make_card()
    wait_databases(card)
    card.store(205)
    card.store(1204, "admin")
    card.store(1001, "+8613800")
    card.store(601, "ops@example.com")
    card.store(1450)  # not a request code: dropped
    card.store(1503, "login admin")
    wait_for(lambda: count(card, "operation_record.db", "operation_record") == 1, 10,
             "the queue to be applied")
    assert card.query("alarm_info.db", "select Alarm_Id from current_alarm") == [("5",)]
    assert card.query("alarm_info.db", "select Alarm_Id, End_Time, Source from history_alarm") == [
        ("104", "--", "admin")]
    assert card.query("sms_info.db", "select name, Alarm_Id from sms_record") == [("+8613800", "1")]
    assert card.query("smtp_record.db", "select name, Alarm_Id from smtp_record") == [
        ("ops@example.com", "1")]
    assert card.query("operation_record.db",
                      "select Operate_Id, Source, IsUpload from operation_record") == [
        ("3", "login admin", "0")]


def kill_during_writes(card, data_dir, timeout=20):
    """Kills cardmon the moment a write transaction is open (a journal file exists),
    or at the deadline if none was seen."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if any(n.endswith("-journal") for n in os.listdir(data_dir)):
            return card.kill9()
        time.sleep(0.001)
    return card.kill9()


def test_kill9_during_a_burst_leaves_every_database_readable(make_card):
    card = make_card()
    wait_databases(card)
    data_dir = card.path("data")

    for round_no in range(2):
        stop = threading.Event()

        def burst(k):
            i = 0
            codes = [100, 200 + k, 300 + k, 1000 + k, 1500 + k, 600 + k, 102, 1204]
            while not stop.is_set():
                code = codes[i % len(codes)]
                card.ctl("store", code, f"r{round_no}-p{k}-{i}", check=False)
                i += 1

        producers = [threading.Thread(target=burst, args=(k,), daemon=True) for k in range(4)]
        for t in producers:
            t.start()
        try:
            before = count(card, "operation_record.db", "operation_record")
            wait_for(lambda: count(card, "operation_record.db", "operation_record") >= before + 8,
                     30, "the burst to reach the databases")
            assert kill_during_writes(card, data_dir), "cardmon was not running"
        finally:
            stop.set()
            for t in producers:
                t.join(30)
        wait_for(lambda: card.pid() is None, 10, "cardmon to be gone")
        card.stop()

        # The restarted card opens the files again (a hot journal is rolled back)
        # and goes on writing into them.
        card.start()
        marker = f"after restart {round_no}"
        card.store(1599, marker)
        wait_for(lambda: count(card, "operation_record.db", "operation_record",
                               "where Source=?", (marker,)) == 1, 15,
                 "a write after the restart")
        for db in DBS:
            assert integrity(card, db) == "ok", db
        assert count(card, "ups_data.db", "ups_data") > 0
        assert count(card, "alarm_info.db", "history_alarm") > 0
