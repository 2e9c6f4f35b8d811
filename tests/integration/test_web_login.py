"""Login gate, sessions and levels of the web pages: the first-use serial
number, the login form and its failure window, address filters, the fixed
administrator, session eviction and idle expiry, the cookie hand-off, the user
table and password pages, and what each user level may do."""
import os
import re

import pytest
import requests

from cardlib import wait_for
from test_web import ADMIN_PASSWORD, foreign_address, login, request_from, web_card  # noqa: F401

USERS = {
    "user_name1": "viewer", "user_pass1": "v-pw", "user_right1": "1", "user_ip1": "*.*.*.*",
    "user_name2": "oper", "user_pass2": "o-pw", "user_right2": "2", "user_ip2": "127.0.0",
    "user_name3": "lan", "user_pass3": "l-pw", "user_right3": "2", "user_ip3": "192.168.1",
    "user_name4": "nowhere", "user_pass4": "n-pw", "user_right4": "2", "user_ip4": "",
    "user_name5": "admin", "user_pass5": "table-pw", "user_right5": "1", "user_ip5": "*.*.*.*",
}


def try_login(base, user, password, **kw):
    return requests.post(base + "/login.html", data={"user": user, "passwd": password},
                         allow_redirects=False, **kw)


def test_first_use_serial_number(make_card):
    card, base = web_card(make_card, sn=None)
    r = requests.get(base + "/login.html", allow_redirects=False)
    assert r.status_code == 302 and r.headers["Location"] == "/SNSet.html"
    assert requests.get(base + "/", allow_redirects=False).headers["Location"] == "/SNSet.html"
    r = requests.get(base + "/SNSet.html")
    assert r.status_code == 200 and 'name="sn_num"' in r.text
    r = requests.post(base + "/SNSet.html", data={"sn_num": ""})
    assert "Serial number missing" in r.text
    r = requests.post(base + "/SNSet.html", data={"sn_num": "ST2024\r\nX=1"}, allow_redirects=False)
    assert r.status_code == 302 and r.headers["Location"] == "/login.html"
    assert card.read("config/PRODUCT") == "ST2024\n"
    assert "Set SN num:ST2024" in card.app_log()
    # now the login page is served and the serial-number page is not
    assert 'name="passwd"' in requests.get(base + "/login.html").text
    assert requests.get(base + "/SNSet.html", allow_redirects=False).status_code == 302
    # once set, only an administrator changes it
    r = requests.post(base + "/SNSet.html", data={"sn_num": "ST-other"}, allow_redirects=False)
    assert r.status_code == 302 and r.headers["Location"] == "/login.html"
    assert card.read("config/PRODUCT") == "ST2024\n"
    s = login(base)
    r = s.post(base + "/SNSet.html", data={"sn_num": "ST-new"}, allow_redirects=False)
    assert r.status_code == 302
    assert card.read("config/PRODUCT") == "ST-new\n"


def test_serial_number_must_start_with_ST(make_card):
    card, base = web_card(make_card, sn="XX99")
    assert requests.get(base + "/login.html", allow_redirects=False).headers["Location"] == \
        "/SNSet.html"


def test_login_form_answers_and_cookie(make_card):
    card, base = web_card(make_card)
    assert "Login incomplete" in requests.post(base + "/login.html", data={"user": "admin"}).text
    r = try_login(base, "admin", "wrong")
    assert r.status_code == 200 and "Login refused" in r.text
    r = try_login(base, "admin", ADMIN_PASSWORD)
    assert r.status_code == 302 and r.headers["Location"] == "/"
    cookie = r.headers["Set-Cookie"]
    m = re.match(r"mgs=([0-9a-f]{1,16}) ;user=admin;path=/;permission=3;HttpOnly;SameSite=Strict$",
                 cookie)
    assert m, cookie
    assert r.headers.get("Connection") == "close"
    log = card.app_log()
    assert "ip:127.0.0.1  user:admin permission 3" in log
    assert ADMIN_PASSWORD not in log and "wrong" not in log
    # two logins get unrelated identifiers
    other = try_login(base, "admin", ADMIN_PASSWORD).headers["Set-Cookie"]
    assert other.split(" ")[0] != cookie.split(" ")[0]


def test_ten_failures_close_the_window_until_it_restarts(make_card, monkeypatch):
    monkeypatch.setenv("CARDMON_TEST_LOGIN_WINDOW", "4")
    card, base = web_card(make_card)
    # align with a fresh window so that all eleven attempts fall into one
    for _ in range(10):
        assert "Login refused" in try_login(base, "admin", "bad").text
    assert "Login refused" in try_login(base, "admin", ADMIN_PASSWORD).text
    wait_for(lambda: try_login(base, "admin", ADMIN_PASSWORD).status_code == 302, 12,
             "a correct login after the window restarted")


def test_address_filters(make_card, foreign_address):
    users = dict(USERS, user_name6="far", user_pass6="f-pw", user_right6="2",
                 user_ip6=foreign_address.rsplit(".", 1)[0])
    card, base = web_card(make_card, settings=users)
    assert try_login(base, "viewer", "v-pw").status_code == 302     # *.*.*.*
    assert try_login(base, "oper", "o-pw").status_code == 302       # 127.0.0 in 127.0.0.1
    assert "Login refused" in try_login(base, "lan", "l-pw").text   # 192.168.1
    assert "ipaddr is error, ipaddr:127.0.0.1,ipaddr2:192.168.1" in card.app_log()
    assert "Login refused" in try_login(base, "nowhere", "n-pw").text  # empty filter
    assert "Login refused" in try_login(base, "far", "f-pw").text
    body = "user=far&passwd=f-pw"
    hdr = {"Content-Type": "application/x-www-form-urlencoded"}
    status, headers, _ = request_from(foreign_address, card.web_port, "POST", "/login.html", hdr, body)
    assert status == 302 and "permission=2" in headers["Set-Cookie"]
    status, _, _ = request_from(foreign_address, card.web_port, "POST", "/login.html", hdr,
                                "user=oper&passwd=o-pw")
    assert status == 200  # the refusal page


def test_fixed_administrator_beside_a_table_user_named_admin(make_card):
    card, base = web_card(make_card, settings=USERS)
    r = try_login(base, "admin", ADMIN_PASSWORD)
    assert "permission=3" in r.headers["Set-Cookie"]
    r = try_login(base, "admin", "table-pw")
    assert "permission=1" in r.headers["Set-Cookie"]


def test_cookie_hand_off_on_sysTime(make_card):
    card, base = web_card(make_card, settings=USERS)
    s = login(base, "oper", "o-pw")
    first = s.get(base + "/sysTime")
    assert re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$", first.json()["time"])
    assert first.headers["Set-Cookie"] == "user=oper;"
    assert s.get(base + "/sysTime").headers["Set-Cookie"] == "permission=2"
    assert "Set-Cookie" not in s.get(base + "/sysTime").headers
    # each browser gets its own user and level, whoever logged in last
    v = login(base, "viewer", "v-pw")
    assert "Set-Cookie" not in s.get(base + "/sysTime").headers
    assert v.get(base + "/sysTime").headers["Set-Cookie"] == "user=viewer;"


def test_eleventh_session_evicts_the_least_recently_used(make_card):
    card, base = web_card(make_card)
    sessions = [login(base) for _ in range(10)]
    for s in sessions[1:]:
        assert s.get(base + "/sysTime").status_code == 200  # session 0 is now the oldest
    eleventh = login(base)
    # the identifier is a secret: the message names the user only
    wait_for(lambda: "Evicted a session of admin for a login of admin" in card.output(), 5,
             "the eviction message")
    r = sessions[0].get(base + "/NetworkRemoteInfo", allow_redirects=False)
    assert r.status_code == 302 and r.headers["Location"] == "/login.html"
    for s in sessions[1:] + [eleventh]:
        assert s.get(base + "/NetworkRemoteInfo", allow_redirects=False).status_code == 200


def test_idle_sessions_expire(make_card, monkeypatch):
    monkeypatch.setenv("CARDMON_TEST_SESSION_IDLE", "2")
    card, base = web_card(make_card)
    idle = login(base)
    busy = login(base)

    def gone():
        busy.get(base + "/sysTime")
        return "A session of admin closed due to idleness." in card.output()
    wait_for(gone, 10, "the idle session to be closed")
    r = idle.get(base + "/sysTime", allow_redirects=False)
    assert r.status_code == 302 and r.headers["Location"] == "/login.html"
    assert busy.get(base + "/sysTime", allow_redirects=False).status_code == 200


def test_user_table_read_and_write(make_card):
    card, base = web_card(make_card, settings=USERS)
    s = login(base)
    rows = s.get(base + "/NetworkRemoteInfo").json()["data"]
    assert len(rows) == 8
    assert rows[1] == {"user_name": "oper", "user_pass": "o-pw", "user_right": "2",
                       "user_ip": "127.0.0"}
    # a duplicate name changes nothing
    assert s.post(base + "/NetworkRemoteInfo",
                  data={"user_name1": "a", "user_name3": "a"}).json()["result"] == "2"
    assert card.setting("user_name3") == "lan"
    r = s.post(base + "/NetworkRemoteInfo", data={
        "user_name1": "alice", "user_pass1": "secret-1", "user_ip1": "10.0",
        "user_name2": "bob", "user_pass2": "b", "user_right2": "1"})
    assert r.json()["result"] == "1"
    assert card.setting("user_name1") == "alice" and card.setting("user_ip1") == "10.0"
    assert card.setting("user_right1") == "1"  # absent level keeps the old one
    assert card.setting("user_right2") == "1"
    assert card.setting("user_name3") == "" and card.setting("user_pass3") == ""
    assert "user_right2 : 1" in card.app_log()
    assert "secret-1" not in card.app_log()


def test_web_password_changes(make_card):
    card, base = web_card(make_card, settings=dict(USERS, user_name6="twin", user_pass6="t",
                                                   user_right6="2", user_ip6="*.*.*.*",
                                                   user_name7="twin", user_pass7="t",
                                                   user_right7="1", user_ip7="*.*.*.*"))
    s = login(base)
    form = {"user": "admin", "old_password": "bad", "new_password": "n"}
    assert s.post(base + "/SetSysPassword", data=form).json()["result"] == "0"
    form["old_password"] = ADMIN_PASSWORD
    assert s.post(base + "/SetSysPassword", data=form).json()["result"] == "1"
    assert card.setting("administrator_password") == "n"
    assert card.setting("user_pass5") == "table-pw"  # the table's "admin" keeps its own
    r = s.post(base + "/SetSysPassword", data={"user": "twin", "old_password": "t",
                                               "new_password": "t2"})
    assert r.json()["result"] == "1"
    assert card.setting("user_pass6") == "t2" and card.setting("user_pass7") == "t2"
    # a GET gets no answer at all
    with pytest.raises(requests.exceptions.ConnectionError):
        s.get(base + "/SetSysPassword")


def test_levels_are_enforced(make_card):
    card, base = web_card(make_card, settings=USERS)
    viewer = login(base, "viewer", "v-pw")
    oper = login(base, "oper", "o-pw")
    admin = login(base)
    for s in (viewer, oper, admin):
        assert s.get(base + "/").status_code == 200
        assert s.get(base + "/sysTime").status_code == 200
    # the user table holds passwords: administrators only, for reading too
    assert viewer.get(base + "/NetworkRemoteInfo").status_code == 403
    assert oper.get(base + "/NetworkRemoteInfo").status_code == 403
    assert oper.post(base + "/NetworkRemoteInfo", data={"user_name1": "x"}).status_code == 403
    assert card.setting("user_name1") == "viewer"
    # viewers send nothing but their own password
    r = viewer.post(base + "/SetSysPassword", data={"user": "oper", "old_password": "o-pw",
                                                    "new_password": "v2"})
    assert r.status_code == 403 and card.setting("user_pass2") == "o-pw"
    r = viewer.post(base + "/SetSysPassword", data={"user": "viewer", "old_password": "v-pw",
                                                    "new_password": "v-pw"})
    assert r.json()["result"] == "1" and card.setting("user_pass1") == "v-pw"
    # operators change their own password only
    r = oper.post(base + "/SetSysPassword", data={"user": "viewer", "old_password": "v-pw",
                                                  "new_password": "hijack"})
    assert r.status_code == 403 and card.setting("user_pass1") == "v-pw"
    r = oper.post(base + "/SetSysPassword", data={"user": "oper", "old_password": "o-pw",
                                                  "new_password": "o2"})
    assert r.json()["result"] == "1" and card.setting("user_pass2") == "o2"
    # runtime account, system and configuration routes
    assert oper.post(base + "/setPasswd", data={"user": "admin", "passwd": ADMIN_PASSWORD,
                                                "newpasswd": "x"}).status_code == 403
    assert card.setting("passwd_admin") == ""
    for path in ["/RecoverfactorySettings", "/UpdateProgress", "/SaveCurrentSettings", "/update"]:
        assert oper.get(base + path).status_code == 403, path
        assert viewer.get(base + path).status_code == 403, path
    assert viewer.post(base + "/SnmpConfig").status_code == 403
    assert oper.post(base + "/NetworkInfo").status_code == 403
    # allowed: past the level check, then the page answers
    assert oper.post(base + "/RemoteControl").json()["result"] == "ok"
    assert viewer.get(base + "/NetworkInfo").status_code == 200
    assert admin.post(base + "/NetworkRemoteInfo", data={"user_name1": "v"}).json()["result"] == "1"
