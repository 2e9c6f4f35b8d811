"""Status, log and diagnostics pages of a running card, through its web server:
the status answers from settings and signals, current alarms and their IsNew
flag, the about page, the log lists with paging, class, event remapping and
source words, the UPS data rows with their "--" rules, chart series, CSV
downloads byte for byte, clearing a month per log, and hostile selections."""
import io
import os
import re
import tarfile

import pytest

from cardlib import wait_for
from pages_helpers import seed, ups_row, web_card

DAY = "2026-11-20"


def history_rows(n, day=DAY, event="5", source="Dev:UPS"):
    return [(f"{day} {h:02d}:{m:02d}:00", event, f"{day} {h:02d}:{m:02d}:30", source)
            for h, m in ((i // 60, i % 60) for i in range(n))]


# ---- status answers ----

def test_status_answers_from_settings_and_signals(make_card):
    def files(card):
        os.makedirs(card.sys_path("var/log"), exist_ok=True)
        with open(card.sys_path("var/log/msmtp.log"), "w") as f:
            f.write("Dec 08 01:00:00 host=mail.example.com tls=off smtpstatus=250\nsecond line\n")
        os.makedirs(card.path("data"), exist_ok=True)
        with open(card.path("data/test_sms.log"), "w") as f:
            f.write("+8613800000000 OK")
        # the modem settings are what the SMS task published; without a modem
        # attached that task would publish its own, so it is left out here
        os.remove(card.path("lib/libsvc_sms.so"))

    card, web = web_card(make_card, {"ups_type": "3", "sms_conf": "1",
                                     "sms_signal": "23", "sms_maker": "Quectel",
                                     "sms_model": "EC20", "sms_soft": "R1", "sms_operater": "CMCC",
                                     "sms_center": "+8613800"}, before_start=files)
    card.set_setting("enable_debug", "1")  # start-up clears it
    for sig, v in ((20034, 1), (20035, 0), (20036, 1), (20037, 0)):
        card.set_signal(61, sig, v)
    for sig, v in ((40132, 3), (40163, 1), (40192, 3)):
        card.set_signal(60, sig, v)

    assert web.json("/DeviceID") == {"deviceid": "0", "is_save_log": 1}
    assert web.json("/ThsStatus") == {"comm_status1": 1, "comm_status2": 0, "comm_status3": 1,
                                      "comm_status4": 0}
    assert web.json("/ModuleNum") == {"module_num": 1, "ups_type": 3, "inp_phase": 3,
                                      "out_phase": 1, "byp_phase": 3}
    assert web.post_json("/ModuleNum")["result"] == "ok"
    for v, want in ((42.7, 42), (150, 0), (-3, 0), (100, 100)):
        card.set_signal(60, 40240, v)
        assert web.json("/IdentifyProgress") == {"progress": want}
    sms = web.json("/SmsStatus")
    assert list(sms) == ["show_sms_conf", "show_sms_signal", "show_sms_maker", "show_sms_model",
                         "show_sms_soft", "show_sms_operater", "show_sms_center"]
    assert (sms["show_sms_conf"], sms["show_sms_maker"], sms["show_sms_center"]) == (
        "1", "Quectel", "+8613800")
    card.set_setting("sms_conf", "0")
    assert web.json("/SmsStatus")["show_sms_maker"] == ""
    assert web.json("/EmailTestResult") == {
        "totalnum": 1, "data": ["Dec 08 01:00:00 host=mail.example.com tls=off smtpstatus=250"]}
    assert web.json("/SmsTestResult") == {"totalnum": 1, "data": ["+8613800000000 OK"]}
    os.remove(card.path("data/test_sms.log"))
    assert web.json("/SmsTestResult") == {"totalnum": 0, "data": []}
    # read-only status pages give a POST no answer
    assert web.no_answer("POST", "/DeviceID")
    assert web.no_answer("POST", "/IdentifyProgress")


def test_current_alarms_and_their_new_flag(make_card):
    def no_alarm_task(card):  # the alarm task would publish its own list over ours
        os.remove(card.path("lib/libsvc_alarm.so"))

    card, web = web_card(make_card, {"System_Name": "UPS-Room-2"}, before_start=no_alarm_task)
    assert web.json("/CurrentAlarm") == {"totalpage": 0, "data": [], "IsNew": 0}

    card.set_setting("curr_alarm_num", "3")
    card.set_setting("curr_alarm_id", "1,8,25")
    card.set_signal(60, 21008, 1796690048)  # a start time a float holds exactly
    doc = web.json("/CurrentAlarm")
    assert (doc["totalpage"], doc["IsNew"]) == (1, 2)
    assert [r["event"] for r in doc["data"]] == [1, 8, 25]
    row = doc["data"][1]
    assert list(row) == ["sys_name", "device", "Subdevice", "deviceNo", "event", "start_time"]
    assert (row["sys_name"], row["device"], row["Subdevice"], row["deviceNo"]) == (
        "UPS-Room-2", "0", "0", "1")
    assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", row["start_time"])

    card.set_setting("curr_alarm_num", "4")
    card.set_setting("curr_alarm_id", "1,8,25,5")
    assert web.json("/CurrentAlarm")["IsNew"] == 1
    # a count above the list lists what the list holds; 16 entries make two pages
    card.set_setting("curr_alarm_num", "16")
    card.set_setting("curr_alarm_id", "1,8,25,5,,x,300")
    doc = web.json("/CurrentAlarm")
    assert doc["totalpage"] == 2 and [r["event"] for r in doc["data"]] == [1, 8, 25, 5, 44]


def test_about_page_members_in_order(make_card):
    card, web = web_card(make_card, {
        "System_Name": "ups-a", "System_Admin": "ops", "System_Location": "room 2",
        "is_mem_64M": "1", "system_run_time": "363723", "ipAddr": "192.0.2.7",
        "netmask": "255.255.255.0", "gateway": "192.0.2.1", "dns1": "192.0.2.53", "dns2": "",
        "email_server_address": "mail.example.com", "sel_server": "0", "time_select": "2",
        "ups_auto_test_cur_time": "2026-12-01 10:00", "ups_auto_test_next_time": "2026-12-15 10:00",
        "bat_change_time": "2025-06-01", "report_time": "08:00", "sche_bef_min": "5",
        "cloud_sn": "CL-7"},
        # the clock task keeps the run time; without it the stored value stands
        before_start=lambda c: os.remove(c.path("lib/libsvc_clock.so")))
    doc = web.json("/AboutInfo")
    assert list(doc) == [
        "config_mib_name", "config_mib_cont", "config_mib_loc", "hard_version", "firm_version",
        "serial_num", "total_run_time", "mac_addr", "config_ip", "config_msk", "config_gat",
        "config_dns1", "config_dns2", "email_serv_ip", "time_server", "online_mode",
        "ups_last_self_test_time", "ups_next_self_test_time", "last_batt_replace_time",
        "email_daily_report_time", "send_alarm_time", "cloud_sn"]
    assert doc["hard_version"] == "HW305KQM02" and doc["firm_version"] == "FW02K13"
    assert doc["serial_num"] == "ST20261208"
    assert doc["total_run_time"] == "101:02:03"
    assert re.fullmatch(r"([0-9A-F]{2}:){5}[0-9A-F]{2}", doc["mac_addr"])
    if os.path.exists("/sys/class/net/eth0/address"):
        assert doc["mac_addr"] == open("/sys/class/net/eth0/address").read().strip().upper()
    assert doc["time_server"] == "time.windows.com"
    assert (doc["config_ip"], doc["online_mode"], doc["send_alarm_time"], doc["cloud_sn"]) == (
        "192.0.2.7", "100Mbps", "5", "CL-7")
    card.set_setting("sel_server", "1")
    card.set_setting("otherser", "ntp.example.org")
    assert web.json("/AboutInfo")["time_server"] == "ntp.example.org"
    card.set_setting("sel_server", "0")
    card.set_setting("time_select", "99")
    assert web.json("/AboutInfo")["time_server"] == ""


# ---- log lists ----

@pytest.fixture
def history_card(make_card):
    def fill(card):
        rows = history_rows(23)
        rows += [(f"{DAY} 23:00:00", "104", f"{DAY} 23:00:00", "admin"),       # web action
                 (f"{DAY} 23:01:00", "157", f"{DAY} 23:01:00", "SNMP"),        # remote action
                 (f"{DAY} 23:02:00", "109", f"{DAY} 23:02:00", "admin"),
                 ("2026-11-21 00:00:00", "5", "2026-11-21 00:00:01", "Dev:UPS")]
        seed(card.app_dir, "alarm_info.db", "history_alarm", rows)
    return web_card(make_card, {"ups_type": "4", "System_Name": "ups-h"}, before_start=fill)


def test_history_paging_of_23_rows(history_card):
    card, web = history_card
    pages = [web.json("/HistoryAlarm", curr_dat_data=DAY, curpage=p, event_type=1)
             for p in (1, 2, 3)]
    assert [d["totalpage"] for d in pages] == ["3", "3", "3"]
    assert [len(d["data"]) for d in pages] == [10, 10, 3]
    starts = [r["start_time"] for d in pages for r in d["data"]]
    assert starts == sorted(starts, reverse=True) and len(set(starts)) == 23
    row = pages[0]["data"][0]
    assert list(row) == ["sys_name", "device", "Subdevice", "deviceNo", "event_type", "event",
                         "start_time", "end_time", "source"]
    assert (row["sys_name"], row["event_type"], row["event"], row["source"]) == (
        "ups-h", 1, "5", "Dev:UPS")
    # beyond the last page, and pages that are not pages
    assert web.json("/HistoryAlarm", curr_dat_data=DAY, curpage=4, event_type=1)["data"] == []
    assert web.json("/HistoryAlarm", curr_dat_data=DAY, curpage=99999999999,
                    event_type=1)["data"] == []
    for bad in (0, -5, "x"):
        d = web.json("/HistoryAlarm", curr_dat_data=DAY, curpage=bad, event_type=1)
        assert (d["totalpage"], len(d["data"])) == ("3", 10)


def test_history_class_remapping_and_source_words(history_card):
    card, web = history_card
    rows = web.json("/HistoryAlarm", curr_dat_data=DAY, curpage=1, event_type=0)["data"]
    got = {r["start_time"][-8:]: (r["event_type"], r["event"]) for r in rows[:3]}
    assert got == {"23:00:00": (2, "120"), "23:01:00": (3, "171"), "23:02:00": (2, "109")}
    # other UPS families remap other numbers
    card.set_setting("ups_type", "5")
    rows = web.json("/HistoryAlarm", curr_dat_data=DAY, curpage=1, event_type=0)["data"]
    assert [r["event"] for r in rows[:3]] == ["119", "157", "104"]
    card.set_setting("ups_type", "2")
    rows = web.json("/HistoryAlarm", curr_dat_data=DAY, curpage=1, event_type=0)["data"]
    assert [r["event"] for r in rows[:3]] == ["109", "171", "109"]
    card.set_setting("ups_type", "4")
    words = {lag: web.json("/HistoryAlarm", curr_dat_data=DAY, curpage=1, event_type=1,
                           lagval=lag)["data"][0]["source"] for lag in (0, 1, 2, 3)}
    assert words == {0: "Dev:UPS", 1: "设备:UPS", 2: "設備:UPS", 3: "Dev:UPS"}


def test_log_selections_that_are_not_dates_or_types(history_card):
    card, web = history_card
    csv_before = card.read("data/hisAlarm.csv", "rb") if os.path.exists(
        card.path("data/hisAlarm.csv")) else None
    for day in ("2026-02-30", "20261120", "2026-11-20' or '1'='1", "../../etc", "", "2026-13-01"):
        for path in ("/HistoryAlarm", "/UpsDataLog", "/SmsLog", "/EmailLog", "/UpsBatTestLog"):
            assert web.json(path, curr_dat_data=day, curpage=1) == {"totalpage": "0", "data": []}
    for t in (6, -1, 99):
        assert web.json("/HistoryAlarm", curr_dat_data=DAY, curpage=1,
                        event_type=t) == {"totalpage": "0", "data": []}
    assert web.json("/UpsDataLog", curr_dat_data=DAY, curpage=1,
                    dataType=5) == {"totalpage": "0", "data": []}
    if csv_before is not None:
        assert card.read("data/hisAlarm.csv", "rb") == csv_before
    assert card.pid()  # still serving


def test_log_post_records_fields(history_card):
    card, web = history_card
    assert web.post_json("/HistoryAlarm", {"curpage": "2", "note": "a\nb"})["result"] == "ok"
    wait_for(lambda: "curpage : 2" in card.app_log(), 5, "the posted field in the log")
    assert "note : ab" in card.app_log()  # no line break reaches the log
    assert web.no_answer("POST", "/UpsBatTestLog", {"curpage": "1"})


def ups_data_card(make_card, ups_type, battery_enable="0"):
    def fill(card):
        seed(card.app_dir, "ups_data.db", "ups_data",
             [ups_row(f"{DAY} 10:{m:02d}:00", Input_V="230.1/229.8/231.0") for m in range(12)])
        seed(card.app_dir, "ups_data.db", "ths_data",
             [(f"{DAY} 10:00:00", "21.5 / 22.0", "40.0 / 41.5")])
        seed(card.app_dir, "ups_data.db", "test_data", [(f"{DAY} 09:00:00", "00:05:10")])
    return web_card(make_card, {"ups_type": str(ups_type), "battery_enable_type": battery_enable},
                    before_start=fill)


def test_ups_data_rows_and_dash_rules(make_card):
    card, web = ups_data_card(make_card, 0)
    common = ["sys_name", "device", "Subdevice", "deviceNo", "time"]
    want = {
        0: (["input_V", "input_A", "input_Hz", "input_act_pow", "internal_temp"],
            ["230.1/229.8/231.0", "--", "c3", "--", "c5"]),
        1: (["output_V", "output_A", "output_Hz", "output_act_pow", "load"],
            ["c6", "--", "c8", "--", "c10"]),
        2: (["bypass_V", "bypass_A", "bypass_Hz", "bypass_act_pow", "bypass_app_pow"],
            ["c11", "--", "c13", "--", "--"]),
        3: (["battery_V", "battery_A", "batt_temp", "MinRemain", "ChargeRemain"],
            ["c16", "--", "--", "--", "c20"]),
        4: (["temperature", "humidity"], ["21.5 / 22.0", "40.0 / 41.5"]),
    }
    for t, (members, values) in want.items():
        d = web.json("/UpsDataLog", curr_dat_data=DAY, curpage=1, dataType=t)
        assert d["totalpage"] == ("2" if t < 4 else "1")
        row = d["data"][0]
        assert list(row) == common + members
        assert [row[m] for m in members] == values, t
    page2 = web.json("/UpsDataLog", curr_dat_data=DAY, curpage=2, dataType=1)["data"]
    assert len(page2) == 2
    # other families show other columns
    card.set_setting("ups_type", "6")
    row = web.json("/UpsDataLog", curr_dat_data=DAY, curpage=1, dataType=0)["data"][0]
    assert [row[m] for m in ("input_A", "input_act_pow", "internal_temp")] == ["c2", "c4", "--"]
    card.set_setting("ups_type", "2")
    row = web.json("/UpsDataLog", curr_dat_data=DAY, curpage=1, dataType=3)["data"][0]
    assert [row[m] for m in ("battery_A", "batt_temp", "MinRemain", "ChargeRemain")] == [
        "c17", "c18", "--", "--"]
    card.set_setting("battery_enable_type", "1")
    row = web.json("/UpsDataLog", curr_dat_data=DAY, curpage=1, dataType=3)["data"][0]
    assert row["MinRemain"] == "c19"
    bt = web.json("/UpsBatTestLog", curr_dat_data=DAY, curpage=1)
    assert bt["totalpage"] == "1" and bt["data"][0]["start_time"] == f"{DAY} 09:00:00"
    assert bt["data"][0]["total_time"] == "00:05:10"


def test_chart_series(make_card):
    card, web = ups_data_card(make_card, 4)
    d = web.json("/UpsDataChart", curr_dat_data_start=f"{DAY} 10:00",
                 curr_dat_data_end=f"{DAY} 10:05", data_num=3, data_type0=7, data_type1=4,
                 data_type2=77, data_type3=6)
    assert list(d) == ["data", "totalnum"]
    assert d["totalnum"] == 6 and len(d["data"]) == 6
    assert list(d["data"][0]) == ["time", "data0", "data1", "data2", "data3"]
    assert {(r["data0"], r["data1"], r["data2"], r["data3"]) for r in d["data"]} == {
        ("229.8", "c16", "0", "0")}
    assert "select_date1 is 2026-11-20 10:00:00" in card.app_log()
    assert "select_date2 is 2026-11-20 10:05:59" in card.app_log()
    # a whole day, every point
    d = web.json("/UpsDataChart", curr_dat_data_start=f"{DAY} 00:00",
                 curr_dat_data_end=f"{DAY} 23:59", data_num=1, data_type0=1)
    assert d["totalnum"] == 12
    for start in ("2026-11-20", "2026-11-20 25:00", "x' or 1=1 --", ""):
        assert web.json("/UpsDataChart", curr_dat_data_start=start,
                        curr_dat_data_end=f"{DAY} 23:59", data_num=9) == {"data": [],
                                                                          "totalnum": 0}


# ---- CSV downloads ----

CSV_FILES = {0: ("sms.csv", "/SmsLog"), 1: ("email.csv", "/EmailLog"),
             2: ("upsdata.csv", "/UpsDataLog"), 3: ("hisAlarm.csv", "/HistoryAlarm"),
             4: ("battest.csv", "/UpsBatTestLog")}


def test_csv_downloads_byte_for_byte(make_card):
    def fill(card):
        seed(card.app_dir, "alarm_info.db", "history_alarm", history_rows(3))
        seed(card.app_dir, "ups_data.db", "ups_data", [ups_row(f"{DAY} 10:00:00")])
        seed(card.app_dir, "ups_data.db", "test_data", [(f"{DAY} 09:00:00", "00:05:10")])
        seed(card.app_dir, "sms_info.db", "sms_record", [("+86138", "5", f"{DAY} 10:00:00")])
        seed(card.app_dir, "smtp_record.db", "smtp_record", [("a@b.c", "505", f"{DAY} 10:00:00")])

    card, web = web_card(make_card, {"Module_Language": "1"}, before_start=fill)
    for t, (name, route) in CSV_FILES.items():
        path = card.path("data/" + name)
        if os.path.exists(path):
            os.remove(path)
        r = web.get("/SaveLog", log_type=t)
        assert r.status_code == 200 and "downFlag=2" in r.headers["Set-Cookie"]
        assert r.headers["Content-Type"] == "text/js" and r.json()["result"] == "ok"
        assert web.json(route, curr_dat_data=DAY, curpage=1)["totalpage"] == "1"
        r = web.get("/SaveLog", log_type=t)
        assert r.status_code == 200, name
        assert r.headers["Content-Type"] == "application/csv"
        assert r.headers["Content-Disposition"] == f"attachment; filename={name};"
        assert "downFlag=1" in r.headers["Set-Cookie"]
        assert r.content == card.read("data/" + name, "rb") and len(r.content) > 10
    # GBK export for Chinese: the header decodes
    assert card.read("data/hisAlarm.csv", "rb").decode("gbk").count("\n") == 4
    for t in (5, -1, ""):
        r = web.get("/SaveLog", log_type=t)
        assert "downFlag=2" in r.headers["Set-Cookie"], t
    # the type is a number: a text that is none names the first file of the table
    r = web.get("/SaveLog", log_type="../../etc/passwd")
    assert r.headers["Content-Disposition"] == "attachment; filename=sms.csv;"
    assert r.content == card.read("data/sms.csv", "rb")


# ---- clearing a month ----

def test_clear_log_per_type(make_card):
    months = [("2022-01-31 23:59:59", "jan"), ("2022-02-01 00:00:00", "feb1"),
              ("2022-02-29 12:00:00", "feb29"), ("2022-02-31 23:59:59", "feb31"),
              ("2022-03-01 00:00:00", "mar")]

    def fill(card):
        seed(card.app_dir, "smtp_record.db", "smtp_record", [(n, "1", t) for t, n in months])
        seed(card.app_dir, "sms_info.db", "sms_record", [(n, "1", t) for t, n in months])
        seed(card.app_dir, "alarm_info.db", "history_alarm", [(t, "5", t, n) for t, n in months])
        seed(card.app_dir, "ups_data.db", "ups_data", [ups_row(t) for t, _ in months])
        seed(card.app_dir, "ups_data.db", "ths_data", [(t, "20", "40") for t, _ in months])
        seed(card.app_dir, "ups_data.db", "test_data", [(t, "00:01:00") for t, _ in months])

    card, web = web_card(make_card, before_start=fill)

    def left(db, table, col="Time"):
        return sorted(r[0] for r in card.query(db, f"select {col} from {table}"))

    outside = sorted(["2022-01-31 23:59:59", "2022-03-01 00:00:00"])
    assert web.post_json("/ClearLog", {"log_type": "1", "cur_date": "202202"})["result"] == "ok"
    assert left("smtp_record.db", "smtp_record") == outside
    assert len(left("sms_info.db", "sms_record")) == 5
    assert web.post_json("/ClearLog", {"log_type": "0", "cur_date": "202202"})["result"] == "ok"
    assert left("sms_info.db", "sms_record") == outside
    assert web.post_json("/ClearLog", {"log_type": "2", "cur_date": "202202"})["result"] == "ok"
    assert left("ups_data.db", "ups_data") == outside
    assert left("ups_data.db", "ths_data") == outside
    assert len(left("ups_data.db", "test_data")) == 5  # the battery tests are a log of their own
    assert web.post_json("/ClearLog", {"log_type": "3", "cur_date": "202202"})["result"] == "ok"
    assert left("alarm_info.db", "history_alarm", "Starting_Time") == outside
    log = card.app_log()
    for line in ("clear sms log", "clear email log", "clear ups data log",
                 "clear history alarm log", "rc==SQLITE_OK",
                 "sq is delete from history_alarm where Starting_Time>='2022-02-01 00:00:00' "
                 "and Starting_Time <= '2022-02-31 23:59:59'"):
        assert line in log
    # months that are not months, and values that are not numbers, delete nothing
    for bad in ("202213", "202200", "2022", "x", "202201' or '1'='1", ""):
        assert web.post_json("/ClearLog", {"log_type": "1", "cur_date": bad})["result"] == "fail"
    assert web.post_json("/ClearLog", {"log_type": "7", "cur_date": "202201"})["result"] == "fail"
    assert left("smtp_record.db", "smtp_record") == outside
    assert web.no_answer("GET", "/ClearLog?log_type=1&cur_date=202201")
    assert left("smtp_record.db", "smtp_record") == outside


# ---- diagnostics ----

def test_debug_switches_and_port_logs(make_card):
    card, web = web_card(make_card)
    assert web.json("/IsSaveLog") == {"is_save_log": 0}
    assert web.post_json("/IsSaveLog", params={"is_save_log": "1"})["result"] == "ok"
    assert card.setting("enable_debug") == "1"
    assert web.json("/DeviceID")["is_save_log"] == 1
    assert web.json("/AutoUartDebug") == {"auto_uart_debug": 0}
    assert web.post_json("/AutoUartDebug", {"auto_uart_debug": "1"})["result"] == "ok"
    assert web.json("/AutoUartDebug") == {"auto_uart_debug": 1}

    data = card.path("data")
    lines = [f"line {i}" for i in range(25)]
    with open(os.path.join(data, "1_ASCII.log"), "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(data, "1_HEX.log"), "w") as f:
        f.write("01 04 02\n")
    with open(os.path.join(data, "3_HEX.log"), "w") as f:
        f.write("aa bb\n")
    r = web.get("/SavePortLog")
    assert r.headers["Content-Disposition"] == "attachment; filename=download.tar.gz;"
    names = sorted(tarfile.open(fileobj=io.BytesIO(r.content)).getnames())
    assert names == ["data/1_ASCII.log", "data/1_HEX.log", "data/3_HEX.log"]

    d = web.json("/DebugPrintPortLog", coding=0, porttype=0)
    assert d == {"totalnum": 20, "data": lines[:20]}
    assert card.read("data/ups_port.log").splitlines() == lines
    assert not os.path.exists(os.path.join(data, "1_ASCII.log"))
    assert not os.path.exists(os.path.join(data, "1_HEX.log"))  # all logs of that port
    assert os.path.exists(os.path.join(data, "3_HEX.log"))
    assert web.json("/DebugPrintPortLog", coding=0, porttype=0) == {"data": []}
    assert web.json("/DebugPrintPortLog", coding=1, porttype=2) == {"totalnum": 1,
                                                                    "data": ["aa bb"]}
    for bad in (3, -1, "../x"):
        assert web.json("/DebugPrintPortLog", coding=1, porttype=bad) == {"data": []}


def console_polls(web, porttype, coding, n):
    return [web.json("/PrintPortLog", coding=coding, porttype=porttype) for _ in range(n)]


def test_console_without_an_answer(make_card):
    card, web = web_card(make_card)
    # nothing answers on the sensor port here: after eight polls the transcript
    assert web.post_json("/PrintPortLog", {"coding": "1", "porttype": "2",
                                          "senddata": "01 03"})["result"] == "ok"
    answers = console_polls(web, 2, 1, 8)
    assert [a["totalnum"] for a in answers[:7]] == [0] * 7
    assert answers[7]["totalnum"] == 1
    assert re.fullmatch(r"send:\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}  01 03 ",
                        answers[7]["data"][0])
    # odd hex, and characters that are not hex digits, send nothing
    for text in ("0A1", "0G", "zz"):
        assert web.post_json("/PrintPortLog", {"coding": "1", "porttype": "0",
                                              "senddata": text})["result"] == "ok"
        last = console_polls(web, 0, 1, 8)[-1]
        assert re.fullmatch(r"send:\S+ \S+  ", last["data"][0]), text
    # an ASCII line is written as it is
    assert web.post_json("/PrintPortLog", {"coding": "0", "porttype": "2",
                                          "senddata": "Q1\r"})["result"] == "ok"
    assert card.read("data/send_data.txt", "rb").endswith(b" Q1\r\r\n")
    assert web.post_json("/PrintPortLog", {"coding": "1", "porttype": "9",
                                          "senddata": "01"})["result"] == "fail"


# ---- hostile requests and access levels ----

def tree(root, skip):
    """(path, size, mtime) of every file under root, but the skipped top names."""
    out = set()
    for d, dirs, files in os.walk(root):
        rel = os.path.relpath(d, root)
        if rel.split(os.sep)[0] in skip:
            continue
        for f in files:
            st = os.stat(os.path.join(d, f))
            out.add((os.path.join(rel, f), st.st_size, st.st_mtime_ns))
    return out


def test_hostile_requests_touch_nothing_outside_data(make_card):
    card, web = web_card(make_card)
    # config/ holds the settings store, which the runtime writes on its own
    before_app = tree(card.app_dir, {"data", "config"})
    before_sys = tree(card.sysroot, {"var", "tmp"})
    traversal = ["../../../etc/passwd", "/etc/shadow", "..%2F..%2Fx", "\x00", "%s%n", "é" * 60]
    for t in traversal:
        for path in ("/HistoryAlarm", "/UpsDataLog", "/SmsLog", "/EmailLog", "/UpsBatTestLog"):
            assert web.json(path, curr_dat_data=t, curpage=t, dataType=t, event_type=t,
                            lagval=t)["data"] == []
        web.get("/SaveLog", log_type=t)
        assert web.json("/DebugPrintPortLog", coding=t, porttype=t) == {"data": []}
        web.post("/PrintPortLog", {"coding": t, "porttype": t, "senddata": t * 10})
        web.get("/PrintPortLog", coding=t, porttype=t)
        assert web.post_json("/ClearLog", {"log_type": t, "cur_date": t})["result"] == "fail"
        assert web.json("/UpsDataChart", curr_dat_data_start=t, curr_dat_data_end=t,
                        data_num=t, data_type0=t)["totalnum"] == 0
    web.get("/SavePortLog")
    assert card.pid()
    assert tree(card.app_dir, {"data", "config"}) == before_app
    assert tree(card.sysroot, {"var", "tmp"}) == before_sys


def test_a_viewer_reads_logs_but_clears_nothing(make_card):
    import requests

    def fill(card):
        seed(card.app_dir, "smtp_record.db", "smtp_record", [("a@b.c", "1", f"{DAY} 10:00:00")])

    card, web = web_card(make_card, {"user_name1": "view", "user_pass1": "pw",
                                     "user_right1": "1", "user_ip1": "*.*.*.*"},
                         before_start=fill)
    s = requests.Session()
    s.trust_env = False
    r = s.post(web.base + "/login.html", data={"user": "view", "passwd": "pw"},
               allow_redirects=False)
    assert r.status_code == 302
    assert s.get(web.base + "/EmailLog", params={"curr_dat_data": DAY,
                                                 "curpage": 1}).json()["totalpage"] == "1"
    assert s.get(web.base + "/EnergyChart").status_code == 200
    assert s.post(web.base + "/ClearLog",
                  data={"log_type": "1", "cur_date": DAY[:4] + DAY[5:7]}).status_code == 403
    assert card.query("smtp_record.db", "select count(*) from smtp_record") == [(1,)]
