"""The first password: a card still on its factory administrator password
holds the administrator's session on one page until he has chosen his own.
Every JSON route and page file answers a redirect to that page (the pages
follow it) and changes nothing; other users and the card's loopback client
go on as before. The change takes a password of eight characters or more
that is not the factory one, sets the system account's password too (the
sandbox's chpasswd stand-in keeps its SHA-256, never the password) and the
session that made it goes on; no log holds the password."""
import hashlib

import requests

from cardlib import FACTORY_PASSWORD
from test_web import login, web_card

NEW = "Cellar-door-42"
PAGE = "/firstpassword.html"
LOOPBACK = {"User-Agent": "settings"}


def session_with(base, password, user="admin"):
    s = requests.Session()
    s.trust_env = False
    r = s.post(base + "/login.html", data={"user": user, "passwd": password},
               allow_redirects=False)
    return s, r


def shadow(card):
    with open(card.sys_path("etc/shadow")) as f:
        return dict(line.split(":", 1) for line in f.read().splitlines())


def sha(text):
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def test_factory_password_holds_the_administrator_until_he_chooses_his_own(make_card):
    card, base = web_card(make_card, settings={
        "administrator_password": FACTORY_PASSWORD, "System_Name": "before",
        "user_name1": "oper", "user_pass1": "oper-pw", "user_right1": "2", "user_ip1": "*.*.*.*"})
    assert shadow(card)["admin"] == sha(FACTORY_PASSWORD)  # made at start-up

    s, r = session_with(base, FACTORY_PASSWORD)
    assert r.status_code == 302 and r.headers["Location"] == PAGE
    other, _ = session_with(base, FACTORY_PASSWORD)  # a second browser, same password

    # Every route and page file but the page's own answers the redirect, and
    # nothing changes: no read, no save, no reset, no password change elsewhere.
    held = [("GET", "/", None), ("GET", "/home.html", None), ("GET", "/password.html", None),
            ("GET", "/js/home.js", None), ("GET", "/AboutInfo", None),
            ("GET", "/SaveCurrentSettings", None), ("GET", "/RecoverfactorySettings", None),
            ("POST", "/SystemInfo", {"System_Name": "after"}),
            ("POST", "/SetSysPassword", {"user": "admin", "old_password": FACTORY_PASSWORD,
                                         "new_password": "sneaky-one"}),
            ("POST", "/setPasswd", {"user": "admin", "passwd": FACTORY_PASSWORD,
                                    "newpasswd": "sneaky-one"}),
            ("POST", "/SNSet.html", {"sn_num": "ST-OTHER"})]
    for method, path, data in held:
        r = s.request(method, base + path, data=data, allow_redirects=False)
        assert (r.status_code, r.headers.get("Location")) == (302, PAGE), (method, path)
    assert card.setting("System_Name") == "before"
    assert card.setting("administrator_password") == FACTORY_PASSWORD
    assert card.setting("passwd_admin") == ""
    assert card.read("config/PRODUCT").startswith("ST0001")

    # The page and what it loads open; others users and the loopback client are not held.
    page = s.get(base + PAGE, allow_redirects=False)
    assert page.status_code == 200 and "/js/forms/firstpassword.js" in page.text
    for path in ("/js/forms/firstpassword.js", "/js/form.js", "/lang/pages-zh.db"):
        assert s.get(base + path, allow_redirects=False).status_code == 200, path
    assert "time" in s.get(base + "/sysTime", allow_redirects=False).json()
    oper, r = session_with(base, "oper-pw", user="oper")
    assert r.headers["Location"] == "/"
    assert oper.get(base + "/AboutInfo", allow_redirects=False).status_code == 200
    assert requests.get(base + "/AboutInfo", headers=LOOPBACK).status_code == 200

    # Only the held administrator may post the form, and only a good password.
    assert oper.post(base + "/FirstPassword", data={"new_password": NEW, "confirm_password": NEW},
                     allow_redirects=False).status_code == 403
    assert requests.post(base + "/FirstPassword", headers=LOOPBACK,
                         data={"new_password": NEW, "confirm_password": NEW}).status_code == 403
    assert s.get(base + "/FirstPassword", allow_redirects=False).status_code == 405
    for pw, again, why in [("short-7", "short-7", "short"),
                           (FACTORY_PASSWORD, FACTORY_PASSWORD, "factory"),
                           (NEW, NEW + "x", "mismatch"), (NEW, "", "mismatch"),
                           ("two\nlines-x", "two\nlines-x", "chars"),
                           ("x" * 50, "x" * 50, "long")]:
        r = s.post(base + "/FirstPassword", data={"new_password": pw, "confirm_password": again})
        assert r.json() == {"result": "fail", "errmsg": why}, (pw, again)
    assert card.setting("administrator_password") == FACTORY_PASSWORD

    r = s.post(base + "/FirstPassword", data={"new_password": NEW, "confirm_password": NEW})
    assert r.json() == {"result": "ok", "errmsg": ""}
    assert card.setting("administrator_password") == NEW
    assert card.setting("passwd_admin") == NEW  # the runtime's account record
    assert shadow(card)["admin"] == sha(NEW)  # the system account, through stdin
    # The session goes on; the other one opened with the factory password ended.
    assert s.get(base + "/AboutInfo", allow_redirects=False).status_code == 200
    assert s.get(base + "/home.html", allow_redirects=False).status_code == 200
    r = other.get(base + "/AboutInfo", allow_redirects=False)
    assert (r.status_code, r.headers["Location"]) == (302, "/login.html")
    assert s.post(base + "/FirstPassword",
                  data={"new_password": "Another-pw-9", "confirm_password": "Another-pw-9"}
                  ).json() == {"result": "fail", "errmsg": "done"}

    # The factory password no longer logs in; the new one lands on the home page.
    assert "Login refused" in session_with(base, FACTORY_PASSWORD)[1].text
    login(base, password=NEW)
    logs = card.app_log() + card.output() + "\n".join(card.commands_log())
    assert NEW not in logs and "chpasswd" in "\n".join(card.commands_log())
