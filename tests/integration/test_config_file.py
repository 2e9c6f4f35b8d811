"""The configuration file and the factory reset, driven as an administrator's
browser does: download the settings, reset the card, upload the file, and
find every setting as it was. Then the import's rules on hostile uploads, and
the protocol pages' edges over HTTP (event masks, absent list fields, the
RS-485 line's owners, the cloud serial number)."""
import os
import sqlite3

from cardlib import free_port, wait_for
from pages_helpers import web_card

# Settings the card keeps up to date itself (start counters, clocks, run-time
# state of the tasks, the web task's update fields): not configuration.
RUNTIME_STATE = {"SystemStartCount", "system_startup_time", "system_run_time", "ups_lost",
                 "update_version", "update_size", "curr_alarm_id"}


def store(card):
    con = sqlite3.connect(card.path("config/settings.db"), timeout=5)
    try:
        return dict(con.execute("select key, value from settings").fetchall())
    finally:
        con.close()


def file_lines(text):
    """(id, key, value, type) of every line after the header."""
    out = []
    for line in text.splitlines()[1:]:
        i, key, rest = line.split(",", 2)
        value, typ = rest.rsplit(",", 1)
        out.append((int(i), key, value, int(typ)))
    return out


def seed_value(key, typ, n):
    """A value that differs from the factory default and passes the pages' checks."""
    special = {
        "dhcpSet": "0", "ipAddr": "10.20.30.40", "netmask": "255.255.0.0", "gateway": "10.20.0.1",
        "dns1": "10.20.0.2", "dns2": "10.20.0.3", "httpType": "0", "mbtcp_slavePort": "1502",
        "snmp_port": "1161", "trap_port": "1162", "wakeport": "9528", "smtp_proxy_port": "3128",
        "report_time": "07:30", "config_test_time": "8:15", "ntimezone": "25", "time_dst": "0",
        "ths_baudRate": "19200", "ths_dataBits": "7", "ths_checkway": "2", "ths_stopBits": "2",
        "sms_baudRate": "9600", "sms_dataBits": "7", "sms_checkway": "1", "sms_stopBits": "2",
        "ups_baudRate": "4800", "ups_dataBits": "7", "ups_checkway": "2", "ups_stopBits": "2",
        "interface_language": "1", "Module_Language": "1", "engine_id_type": "2",
        "curr_module_num": "2", "ups_type": "0", "enable_identify": "0", "enable_debug": "0",
        "bms_num": "0", "enable_485modbus": "0", "ths_enable": "0", "enable_cloud": "0",
        "enable_ipv6": "0", "bat_change_time": "2025/01/31", "enable_tcp_modbus": "0",
        "down_time": "3", "bat_time": "4", "temp_time": "5", "load_time": "6", "remote": "2",
    }
    if key in special:
        return special[key]
    for prefix, value in (("user_name", f"user{n}"), ("user_right", str(n % 3 + 1)),
                          ("user_ip", "*.*.*.*"), ("mac_", f"{n % 256:02X}"),
                          ("WakeEnabled_", "1"), ("sched_", f"{n % 24}:{n % 60:02d}"),
                          ("ssched_d", f"2026/0{n % 9 + 1}/1{n % 9}"),
                          ("ssched_", f"{n % 24}:{n % 60:02d}"),
                          ("in_thaddr", str(n % 200 + 1)), ("temp_conver", "10"),
                          ("in_", f"{n % 90}"), ("snmp_manage_ip_", f"10.0.{n % 200}.1"),
                          ("trap_to_ip_", f"10.1.{n % 200}.1"), ("tcp_modbus_ip", f"10.2.{n % 200}.1"),
                          ("stun_ipaddr_", f"stun{n}.example"), ("email_server", "smtp.example"),
                          ("smtp_proxy_ip", "proxy.example"), ("from_email", "ups@example.org"),
                          ("day_to_email", f"r{n}@example.org"), ("to_email", f"a{n}@example.org"),
                          ("sms_recpt_", f"+49151{n:05d}"), ("sms_ctrl_", "1"),
                          ("sms_telephone", f"+4930{n:04d}"), ("sms_user_telephone", f"+4940{n:04d}"),
                          ("ddn_resolution", "ups.example.org"), ("nchecktimeevery", "1"),
                          ("sel_server", "1"), ("time_select", "1"), ("otherser", "ntp.example"),
                          ("sche_bef_min", "3"), ("sel_", "1"), ("config_test_", "1"),
                          ("cycleTime", "2"), ("use_dev_fun", "0")):
        if key.startswith(prefix):
            return value
    if typ == 0:
        return "1"
    return f"t{n}"


def export(web):
    r = web.get("/SaveCurrentSettings")
    assert r.status_code == 200, r.text[:200]
    assert r.headers["Content-Disposition"] == "attachment; filename=system_config.csv;"
    return r.content


def upload(web, name, data):
    r = web.s.post(web.base + "/UpdateSettings", files={"file": (name, data, "text/csv")}, timeout=10)
    assert r.status_code == 200
    return r


def restarted(card, old_pid, timeout=30):
    card.wait_running(timeout, old_pid=old_pid)
    return card.pid()


def web_up(port):
    import socket
    wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True, 20,
             "web listener")


def test_export_factory_reset_import_restores_every_setting(make_card):
    card, web = web_card(make_card)
    port = int(card.setting("httpPort"))
    lines = file_lines(export(web).decode("utf-8", "replace"))
    # Every setting of the file gets a value of its own, and the card a record.
    seeded = {key: seed_value(key, typ, i) for i, key, _, typ in lines}
    seeded["httpPort"] = str(port)
    for key, value in seeded.items():
        card.set_setting(key, value)
    os.makedirs(card.path("data"), exist_ok=True)
    with open(card.path("data/history.csv"), "w") as f:
        f.write("old export\n")

    before = store(card)
    saved = export(web)
    assert saved.startswith("ID,\xb2\xce\xca\xfd\xc3\xfb,\xd6\xb5,".encode("latin-1"))  # GBK header
    assert f"\n1347,administrator_password,{seeded['administrator_password']},1\n".encode() in saved

    # The factory reset through its event: defaults, records gone, reboot.
    pid = card.pid()
    card.event(0, 260)
    pid = restarted(card, pid)
    after_reset = store(card)
    assert after_reset["user_ip3"] == "*.*.*.*"
    assert after_reset["use_dev_fun3"] == "1"
    assert after_reset["httpPort"] == "80"
    assert after_reset["administrator_password"] == "pqlzv"
    assert after_reset["ipAddr"] == seeded["ipAddr"]  # the network stays
    assert not os.path.exists(card.path("data/history.csv"))

    # Back on the test's port, then the saved file goes up.
    card.set_setting("httpPort", str(port))
    card.ctl("event", 0, 3000, check=False)  # the answer may not outlive the restart
    pid = restarted(card, pid)
    web_up(port)
    r = upload(web, "system_config.csv", saved)
    assert r.headers["Set-Cookie"].startswith("UpdateFlag=2")
    assert r.json() == {"result": "ok", "errmsg": ""}
    restarted(card, pid)
    after = store(card)
    changed = {k: (before.get(k), after.get(k)) for k in set(before) | set(after)
               if before.get(k) != after.get(k) and k not in RUNTIME_STATE}
    assert changed == {}


def test_hostile_uploads_change_nothing_outside_what_the_file_may_set(make_card):
    card, web = web_card(make_card, settings={"System_Name": "rack", "ipAddr": "10.0.0.5",
                                              "administrator_password": "pw"})
    port = int(card.setting("httpPort"))
    # Refused before anything is written: the wrong name, a path, too large, no file.
    for name, flag in (("settings.csv", "UpdateFlag=3"), ("../../etc/system_config.sh", "UpdateFlag=3"),
                       ("system_config.csv", "UpdateFlag=4")):
        data = b"x" * (300 * 1024) if flag == "UpdateFlag=4" else b"ID\n1353,System_Name,evil,1\n"
        r = upload(web, name, data)
        assert r.headers["Set-Cookie"].startswith(flag), (name, r.headers)
        assert r.json()["result"] == "fail"
    assert not os.path.exists(card.path("config/settings.csv"))
    assert not os.path.exists(card.sys_path("etc/system_config.sh"))
    r = web.s.post(web.base + "/UpdateSettings", data={"x": "1"}, timeout=10)
    assert r.headers["Set-Cookie"].startswith("UpdateFlag=4")
    assert card.setting("System_Name") == "rack"

    # The base name of a path is the expected file: imported, with its rules.
    file = ("Kimlik, Anahtar, Değer, Tip\n"
            "1347,administrator_password,,1\n"
            "999,System_Name,low,1\n"
            "1551,System_Name,high,1\n"
            "1353,System_Name,typed,2\n"
            "1500,SystemStartCount,0,1\n"
            "1354,System_Location,Hall 2, rack 4,1\n"
            "1301,ipAddr,10.0.0.9; reboot,1\n"
            "1307,httpPort,8080,0\n"
            "1355,System_Admin,$(touch /tmp/pwned),1\n"
            f"1356,nchecktimeevery,{'9' * 400},1\n").encode("utf-8")
    pid = card.pid()
    r = upload(web, "..\\..\\system_config.csv", file)
    assert r.headers["Set-Cookie"].startswith("UpdateFlag=2")
    assert r.json()["errmsg"] == "refused: ipAddr httpPort"
    restarted(card, pid)
    s = store(card)
    assert s["administrator_password"] == ""
    assert s["System_Name"] == "rack"
    assert s["System_Location"] == "Hall 2, rack 4"
    assert s["System_Admin"] == "$(touch /tmp/pwned)"  # a text, never a command
    assert s["ipAddr"] == "10.0.0.5" and s["httpPort"] == str(port)
    assert s.get("nchecktimeevery", "") != "9" * 400
    assert s["SystemStartCount"] != "0"
    assert not os.path.exists("/tmp/pwned")

    # The Turkish header is UTF-8.
    card.set_setting("Module_Language", "3")
    web_up(port)
    assert export(web).startswith("Kimlik, Anahtar, Değer, Tip\n".encode("utf-8"))


def test_protocol_pages_edges_over_http(make_card):
    card, web = web_card(make_card, settings={"cloud_sn": "CL-1", "enable_485modbus": "0",
                                              "ths_enable": "1"})
    port = int(card.setting("httpPort"))
    assert web.post_json("/TrapEventConfig", {"userid": "2", "event0": "1", "event3": "1"}) == \
        {"result": "ok", "errmsg": ""}
    assert card.setting("trap_event_1") == "9"
    read = web.json("/TrapEventConfig", userid="2")
    assert [read[f"event{i}"] for i in range(5)] == [1, 0, 0, 1, 0]

    card.set_setting("snmp_manage_ip_3", "10.9.9.9")
    assert web.post_json("/SnmpConfig", {"snmpv3_ip1": "10.0.0.1"})["result"] == "ok"
    assert card.setting("snmp_manage_ip_3", "unset") == ""
    assert card.setting("snmp_manage_ip_0") == "10.0.0.1"

    def operations():
        try:
            return card.query("operation_record.db", "select count(*) from operation_record")[0][0]
        except sqlite3.Error:
            return 0
    n = operations()
    assert web.post_json("/CloudSettings", {"cloud_sn": "CL-1"})["result"] == "1"
    assert web.post_json("/CloudSettings", {"cloud_sn": "CL-2"})["result"] == "1"
    wait_for(lambda: operations() == n + 1, 10, "one operation record")
    rows = card.query("operation_record.db", "select * from operation_record")
    assert any("cloud_sn:[CL-1]->[CL-2]" in str(r) for r in rows)
    assert card.read("config/CloudProduct") == "CL-2"

    pid = card.pid()
    assert web.post_json("/485ModbusInfo", {"enable_485modbus": "1"})["result"] == "0"
    assert card.setting("ths_enable") == "0"
    restarted(card, pid)  # event 3000: the card starts again
    web_up(port)
    assert web.json("/MbtcpSlaveInfo")["enable_485modbus"] == 1
