"""The settings pages on a running card, driven over HTTP as the pages do.

Page rule: a read is the page's JSON from the settings; a write checks every
field first and saves nothing when one is refused. Fields that reach a file
or a program (MAC address, time server, manual time, logo upload, network
addresses) carry only what they mean: shell syntax, line breaks, "../" and
over-long values are refused and leave files and programs untouched. The
sandbox's stand-ins log every program the card runs (commands.log).
"""
import os
import socket

import requests

from cardlib import wait_for
from pages_helpers import web_card

PNG = b"\x89PNG\r\n\x1a\n" + b"\x00" * 32


def ran(card, program):
    return [line for line in card.commands_log() if line.split(" ")[0] == program]


def test_ups_and_system_pages_edges(make_card):
    card, web = web_card(make_card, {"ups_baudRate": "2400"})
    assert web.json("/UpsParam")["baudrate"] == "1"
    card.set_setting("ups_baudRate", "2000")
    assert web.json("/UpsParam")["baudrate"] == ""
    assert web.post_json("/UpsParam", {"baudrate": "7"})["result"] == "1"
    assert card.setting("ups_baudRate") == "115200"
    refused = web.post_json("/UpsParam", {"ups_com_addr": "3", "BatCell": "16;reboot"})
    assert refused == {"result": "fail", "errmsg": "BatCell"}
    assert card.setting("ups_addr", "unset") == "unset"

    assert web.post_json("/TimeZone", {"ntimezone": "26", "time_dst": "1"})["result"] == "ok"
    assert card.read("config/Timezone", "rb") == b"GMT-8:00".ljust(49, b"\0")
    assert web.post_json("/TimeZone", {"ntimezone": "26", "time_dst": "0"})["result"] == "ok"
    assert card.read("config/Timezone", "rb") == b"GMT-9:00".ljust(49, b"\0")

    # The web port: 8080 belongs to another service, nothing else changed -> "1".
    port = card.setting("httpPort")
    assert web.post_json("/NetworkInfo", {"web_access_port": "8080"})["result"] == "1"
    assert card.setting("httpPort") == port
    assert web.json("/NetworkInfo")["web_access_port"] == port

    # Remote control: the operation is recorded with the client, the command posted.
    assert web.post_json("/RemoteControl", {"remote": "8"})["result"] == "ok"
    assert web.post_json("/RemoteControl", {"remote": "8;reboot"})["result"] == "fail"


def test_fields_that_reach_files_and_programs_carry_only_their_meaning(make_card):
    card, web = web_card(make_card)
    maccfg = card.sys_path("/root/etc/maccfg")
    os.makedirs(os.path.dirname(maccfg), exist_ok=True)
    good = {f"mac_{i}": v for i, v in enumerate(["02", "1a", "2b", "3c", "4d", "5e"])}
    assert web.post_json("/SetMacAddr", good)["result"] == "ok"
    assert open(maccfg).read() == "MAC0=021a2b3c4d5e\n"
    for bad in ["0;touch /tmp/x", "00\nMAC1=ff", "../", "1" * 300, "`id`"]:
        r = web.post_json("/SetMacAddr", dict(good, mac_2=bad))
        assert r["result"] == "fail", bad
    assert open(maccfg).read() == "MAC0=021a2b3c4d5e\n"
    assert not ran(card, "reboot")

    # The time server: a host name goes to ntpdate as one argument, no shell.
    ntpdate = card.sys_path("bin/ntpdate")
    with open(ntpdate, "w") as f:
        f.write('#!/bin/sh\necho "ntpdate $*" >> "%s"\necho "receive(1) from 127.0.0.1"\n'
                % card.sys_path("var/log/commands.log"))
    for bad in ["pool.ntp.org;touch /tmp/x", "-d", "$(reboot)", "a\nb", "x" * 300, "../etc"]:
        r = web.post("/TvTimeUpdate", {"update_ip": bad})
        assert r.status_code == 200 and "fail" in r.text, bad
    assert not ran(card, "ntpdate") and not ran(card, "date")
    assert card.setting("update_ip") == ""
    r = web.post("/TvTimeUpdate", {"update_ip": "time.example.org"})
    assert r.text == "ok"
    wait_for(lambda: ran(card, "date"), 10, "manual time from the loopback client")
    assert ran(card, "ntpdate") == ["ntpdate -d time.example.org", "ntpdate time.example.org"]
    assert "hwclock --systohc --utc" in card.commands_log()
    assert card.read("config/UpdateIP") == "time.example.org"

    # Manual time: numbers only, checked, then the clock.
    before = len(ran(card, "date"))
    for bad in ["2027-02-30 10:00:00", "2027-01-02 03:04:05;reboot", "2027-01-02 03:04:05\n",
                "$(reboot)", "9" * 300]:
        assert web.post_json("/ManualUpdateTime", {"systime": bad})["result"] == "fail", bad
    assert len(ran(card, "date")) == before
    assert web.post_json("/ManualUpdateTime", {"systime": "2027-01-02 03:04:05"})["result"] == "ok"
    assert ran(card, "date")[-1] == "date -s 2027.01.02-03:04:05"

    # The logo: a PNG named logo.png, nothing else, never outside its place.
    def upload(name, data):
        return web.s.post(web.base + "/ChangeLogo", files={"file": (name, data, "image/png")},
                          timeout=10).json()
    old_logo = card.read("www/image/logo.png", "rb")
    assert upload("../../config/settings.db", PNG)["result"] == "fail"
    assert upload("logo.png", b"#!/bin/sh\nreboot\n")["result"] == "fail"
    assert upload("logo.png", PNG + b"x" * (600 * 1024))["result"] == "fail"
    assert card.read("www/image/logo.png", "rb") == old_logo
    assert upload("../logo.png", PNG)["result"] == "ok"  # only the base name counts
    assert web.get("/image/logo.png").content == PNG


def test_login_page_assets_and_nothing_else_before_login(make_card):
    card, web = web_card(make_card)
    anon = requests.Session()
    anon.trust_env = False
    for asset, kind in [("/css/app.css", "text/css"), ("/js/lang.js", "text/js"),
                        ("/image/logo.png", None), ("/lang/en.db", None), ("/lang/zh.db", None)]:
        r = anon.get(web.base + asset, allow_redirects=False, timeout=5)
        assert r.status_code == 200, asset
        if kind:
            assert r.headers["Content-Type"] == kind
    for gated in ["/js/pages.js", "/css/pages.css", "/home.html", "/upsparam.html", "/UpsParam",
                  "/lang/pages-en.db", "/css/app.css/../../config/settings.db"]:
        r = anon.get(web.base + gated, allow_redirects=False, timeout=5)
        assert r.status_code in (302, 404), gated
        assert r.status_code != 200


def test_network_write_rewrites_the_files_and_reboots(make_card):
    card, web = web_card(make_card, {"dhcpSet": "1", "ip_assign_method": "1"})
    interfaces = card.sys_path("/etc/network/interfaces")
    with open(interfaces, "w") as f:
        f.write("auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet dhcp\n")
    before = open(interfaces).read()
    for field, bad in [("config_ip", "10.0.0.5\nup touch /tmp/x"), ("config_gat", "10.0.0.1 ;x"),
                       ("config_dns1", "1.2.3.4\nnameserver 6.6.6.6"), ("config_ip", "1" * 300)]:
        form = {"ip_assign_method": "0", "config_ip": "10.0.0.5", "config_msk": "255.255.255.0",
                "config_gat": "10.0.0.1", "config_dns1": "10.0.0.2", field: bad}
        r = web.post_json("/NetworkInfo", form)
        assert r == {"result": "fail", "errmsg": field}, bad
    assert open(interfaces).read() == before
    assert web.json("/NetworkInfo")["ip_assign_method"] == "1"

    pid = card.pid()
    r = web.post_json("/NetworkInfo", {"ip_assign_method": "0", "config_ip": "10.0.0.5",
                                       "config_msk": "255.255.255.0", "config_gat": "10.0.0.1",
                                       "config_dns1": "10.0.0.2", "config_dns2": "10.0.0.3"})
    assert r["result"] == "2"
    assert open(interfaces).read() == (
        "auto lo\niface lo inet loopback\nauto eth0\niface eth0 inet static\n"
        "address 10.0.0.5\nnetmask 255.255.255.0\ngateway 10.0.0.1\n")
    assert open(card.sys_path("/etc/resolv.conf")).read() == \
        "nameserver 10.0.0.2\nnameserver 10.0.0.3\n"
    wait_for(lambda: ran(card, "reboot"), 10, "reboot after the answer")
    card.wait_running(old_pid=pid)
    port = int(card.setting("httpPort"))
    wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True, 15,
             "web listener after the reboot")
    # The live state read back after the reboot is the one written.
    info = web.json("/NetworkInfo")
    assert (info["ip_assign_method"], info["config_ip"], info["config_dns2"]) == \
        ("0", "10.0.0.5", "10.0.0.3")
