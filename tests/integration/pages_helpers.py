"""Helpers of the status, log and diagnostics page tests: a started card whose
web server answers, requests as the card's own loopback client, and record
databases filled before the card starts."""
import os
import socket
import sqlite3

import requests

from cardlib import free_port, wait_for

LOOPBACK = {"User-Agent": "settings"}

SCHEMA = {
    "ups_data.db": [
        "create table if not exists ups_data(Time datetime,Input_V varchar,Input_C varchar,"
        "Input_F varchar,Input_TP varchar,Internal_Temp varchar,Output_V varchar,Output_C varchar,"
        "Output_F varchar,Output_P varchar,Output_L varchar,By_V varchar,By_C varchar,By_F varchar,"
        "By_TP varchar,By_AP varchar,Bat_V varchar,Bat_C varchar,Bat_Tem varchar,Bat_Time varchar,"
        "Bat_AV varchar)",
        "create table if not exists ths_data(Time datetime,Tem varchar,hum varchar)",
        "create table if not exists test_data(Time datetime,RunTime varchar)"],
    "alarm_info.db": [
        "create table if not exists current_alarm(Starting_Time datetime,Alarm_Id varchar)",
        "create table if not exists history_alarm(Starting_Time datetime,Alarm_Id varchar,"
        "End_Time varchar,Source varchar)"],
    "sms_info.db": [
        "create table if not exists sms_record(name varchar,Alarm_Id varchar,Time datetime)"],
    "smtp_record.db": [
        "create table if not exists smtp_record(name varchar,Alarm_Id varchar,Time datetime)"],
}


def seed(app_dir, db, table, rows):
    """Creates the store's tables of `db` under data/ and inserts rows."""
    os.makedirs(os.path.join(app_dir, "data"), exist_ok=True)
    con = sqlite3.connect(os.path.join(app_dir, "data", db))
    try:
        for stmt in SCHEMA[db]:
            con.execute(stmt)
        if rows:
            marks = ",".join("?" * len(rows[0]))
            con.executemany(f"insert into {table} values ({marks})", rows)
        con.commit()
    finally:
        con.close()


def ups_row(time, **cols):
    """A 21-column ups_data row: every column "c<i>" unless given."""
    names = ["Time", "Input_V", "Input_C", "Input_F", "Input_TP", "Internal_Temp", "Output_V",
             "Output_C", "Output_F", "Output_P", "Output_L", "By_V", "By_C", "By_F", "By_TP",
             "By_AP", "Bat_V", "Bat_C", "Bat_Tem", "Bat_Time", "Bat_AV"]
    row = [time] + [f"c{i}" for i in range(1, 21)]
    for k, v in cols.items():
        row[names.index(k)] = v
    return tuple(row)


class Web:
    """Requests to the card's web server as its own loopback client."""

    def __init__(self, port):
        self.base = f"http://127.0.0.1:{port}"
        self.s = requests.Session()
        self.s.trust_env = False
        self.s.headers.update(LOOPBACK)

    def get(self, path, **query):
        return self.s.get(self.base + path, params=query or None, timeout=10)

    def json(self, path, **query):
        r = self.get(path, **query)
        assert r.status_code == 200, (path, r.status_code, r.text[:200])
        return r.json()

    def post(self, path, data=None, params=None):
        return self.s.post(self.base + path, data=data or {}, params=params, timeout=10)

    def post_json(self, path, data=None, params=None):
        r = self.post(path, data, params)
        assert r.status_code == 200, (path, r.status_code, r.text[:200])
        return r.json()

    def no_answer(self, method, path, data=None):
        """True when the server closes the connection without a reply."""
        try:
            self.s.request(method, self.base + path, data=data, timeout=5)
        except requests.exceptions.ConnectionError:
            return True
        return False


def web_card(make_card, settings=None, before_start=None, ports=None):
    """A started card with a free web port and a serial number; returns (card, Web)."""
    port = free_port()
    # Not a first start: that one empties data/ of databases and logs.
    s = {"httpPort": str(port), "SystemStartCount": "1"}
    s.update(settings or {})
    card = make_card(settings=s, ports=ports, start=False)
    with open(card.path("config/PRODUCT"), "w") as f:
        f.write("ST20261208\n")
    if before_start:
        before_start(card)
    card.start()
    wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True, 15,
             "web listener")
    return card, Web(port)
