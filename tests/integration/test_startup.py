"""cardmon's start-up seen from outside: files it writes, what it registers,
what it asks the machine to do, and its refusal to run outside a sandbox."""
import os
import shutil
import subprocess

import pytest

from cardlib import EMULATE, EMULATOR, STAGE, wait_for


def interfaces_case(make_card, settings):
    card = make_card(settings=settings, start=False)
    with open(card.sys_path("etc/network/interfaces"), "w") as f:
        f.write("old\n")
    with open(card.sys_path("etc/ifconfig.out"), "w") as f:
        f.write("lo        Link encap:Local Loopback\n")
    card.start(wait=False)
    wait_for(lambda: any(l.startswith("reboot") for l in card.commands_log()), 20, "reboot")
    card.wait_running()
    with open(card.sys_path("etc/network/interfaces")) as f:
        return card, f.read()


HEAD = "auto lo\niface lo inet loopback\nauto eth0\n"


def test_files_and_time_zone_on_default_settings(make_card):
    card = make_card()
    assert card.read("config/DevType") == "4,2,1\n"
    rec = card.read("config/Timezone", "rb")
    assert len(rec) == 99 and rec.rstrip(b"\0") == b"GMT-8:00"
    assert os.path.isdir(card.path("data/Update"))
    assert int(card.setting("memTotal")) > 0
    assert card.setting("is_mem_64M") == "1"
    assert card.setting("enable_debug") == "0"
    # The default UPS driver's signal table was installed with the app.
    assert os.path.exists(card.path("config/signalTable/txtups_1.db"))
    resolv = open(card.sys_path("etc/resolv.conf")).read()
    assert resolv.startswith("nameserver ")


def test_time_zone_without_daylight_saving(make_card):
    card = make_card(settings={"time_dst": "0"})
    assert card.read("config/Timezone", "rb").rstrip(b"\0") == b"GMT-9:00"


def test_time_zone_file_wins_and_out_of_range_is_harmless(make_card):
    card = make_card(settings={"ntimezone": "77"}, start=False)
    card.start()
    assert "Now set TZ env:\n" in card.output()  # the first start clears app.log
    assert card.read("config/Timezone", "rb").rstrip(b"\0") == b""


def test_start_counter_and_first_start_cleanup(make_card):
    card = make_card(start=False)
    os.makedirs(card.path("data"), exist_ok=True)
    for name in ("old.log", "old.log.bak", "old.db", "keep.txt"):
        open(card.path("data/" + name), "w").close()
    card.start()
    assert card.setting("SystemStartCount") == "1"
    left = set(os.listdir(card.path("data")))
    assert "keep.txt" in left and not {"old.log", "old.log.bak", "old.db"} & left
    card.stop()
    open(card.path("data/second.db"), "w").close()
    card.start()
    assert card.setting("SystemStartCount") == "2"
    assert os.path.exists(card.path("data/second.db"))


@pytest.mark.parametrize("ip,mask,gw,lines", [
    ("192.168.1.10", "255.255.255.0", "192.168.1.1",
     "address 192.168.1.10\nnetmask 255.255.255.0\ngateway 192.168.1.1\n"),
    ("192.168.1.0", "255.255.255.0", "", "address 192.168.1.0\nnetmask 255.255.255.0\n"),
    ("10.0.0.1", "255.0.255.0", "", "address 10.0.0.1\nnetmask 255.0.0.0\n"),
    ("10.1.2.3", "", "", "address 10.1.2.3\nnetmask 255.0.0.0\n"),
])
def test_static_address_rewrites_interfaces_and_reboots(make_card, ip, mask, gw, lines):
    card, text = interfaces_case(make_card, {"dhcpSet": "0", "ipAddr": ip, "netmask": mask,
                                             "gateway": gw})
    assert text == HEAD + "iface eth0 inet static\n" + lines
    assert sum(1 for l in card.commands_log() if l.startswith("reboot")) == 1


def test_unusable_static_address_falls_back_to_dhcp(make_card):
    card, text = interfaces_case(make_card, {"dhcpSet": "0", "ipAddr": "127.0.0.5",
                                             "netmask": "255.0.0.0"})
    assert text == HEAD + "iface eth0 inet dhcp\n"
    assert "ip is not ok!" in card.output()


def test_a_value_that_is_no_address_leaves_the_file_as_it_was(make_card):
    # Shell syntax (or a line break) in a setting never reaches the file.
    card, text = interfaces_case(make_card, {"dhcpSet": "0", "ipAddr": "10.1.2.3",
                                             "gateway": "$(touch /tmp/pwned);`reboot`"})
    assert text == "old\n"
    assert 'gateway "$(touch /tmp/pwned);`reboot`" is not an address' in card.output()


def test_dhcp_interfaces(make_card):
    card, text = interfaces_case(make_card, {"dhcpSet": "1"})
    assert text == HEAD + "iface eth0 inet dhcp\n"


def test_devices_servers_and_port_texts(make_card):
    card = make_card(settings={"bms_num": "3", "bms_start_addr": "5", "bms_pro": "1",
                               "ups_checkway": "7", "ups_type": "4", "ups_addr": "2",
                               "enable_cloud": "1", "battery_enable_type": "1"})
    devs = [l.split() for l in card.devices()]
    assert [(d[0], d[1], d[2], d[3]) for d in devs] == [
        ("60", "port=1", "addr=2", "driver=regups_a"),
        ("70", "port=3", "addr=5", "driver=batpack_x"),
        ("71", "port=3", "addr=6", "driver=batpack_x"),
        ("72", "port=3", "addr=7", "driver=batpack_x")]
    names = [(l.split()[0], l.split()[1]) for l in card.plugins()]
    assert names == [("mbrtu_slave", "server=0"), ("svc_data", "server=0"),
                     ("svc_alarm", "server=0"), ("svc_web", "server=0"),
                     ("svc_mail", "server=0"), ("svc_snmp", "server=0"),
                     ("svc_sms", "server=0"), ("svc_ddns", "server=0"),
                     ("svc_clock", "server=0"), ("svc_store", "server=4"),
                     ("svc_identify", "server=0"), ("mbtcp_slave", "server=0"),
                     ("svc_bacnet", "server=0"), ("svc_cloud", "server=5"),
                     ("svc_battery", "server=0")]
    log = card.app_log()
    assert "ups port_Param is \n" in log
    assert "ths port_Param is 9600,n,8,1,0" in log
    # Absent plug-ins are logged and skipped; the card still runs.
    assert "libsvc_bacnet.so is absent: skipped" in log


def test_bad_settings_do_not_stop_start_up(make_card):
    card = make_card(settings={"ups_type": "42", "bms_pro": "2", "bms_num": "2"})
    assert [l.split()[3] for l in card.devices()] == ["driver=txtups_1"]
    assert "ups_type 42 out of range" in card.output()


def test_corrupt_settings_store_is_replaced(make_card):
    card = make_card(start=False)
    for side in ("-wal", "-shm"):
        if os.path.exists(card.path("config/settings.db" + side)):
            os.remove(card.path("config/settings.db" + side))
    with open(card.path("config/settings.db"), "wb") as f:
        f.write(b"this is not a database" * 100)
    card.start()
    assert card.setting("SystemStartCount") == "1"
    assert any(n.startswith("settings.db.corrupt-") for n in os.listdir(card.path("config")))


def test_refuses_to_run_outside_a_sandbox(tmp_path):
    env = dict(os.environ, CARDMON_APP_DIR=str(tmp_path))
    env.pop("CARDMON_SYSROOT", None)
    r = subprocess.run(EMULATOR + [os.path.join(STAGE, "cardmon")], env=env, capture_output=True,
                       text=True, timeout=30)
    assert r.returncode != 0
    assert "sandbox" in r.stderr
    env["CARDMON_SYSROOT"] = str(tmp_path)  # a directory without the marker
    r = subprocess.run(EMULATOR + [os.path.join(STAGE, "cardmon")], env=env, capture_output=True,
                       text=True, timeout=30)
    assert r.returncode != 0 and not os.listdir(tmp_path)


@pytest.mark.skipif(bool(EMULATE), reason="the test plug-in is built for this machine's CPU")
def test_driver_without_query_and_missing_device_file(make_card):
    build = os.environ.get("CARD_BUILD", os.path.join(os.path.dirname(__file__), "../../build"))
    card = make_card(ports={1: "/nonexistent/ttyUPS"}, start=False)
    shutil.copy(os.path.join(build, "lib", "libtestplug.so"), card.path("lib/libtxtups_1.so"))
    card.start()
    wait_for(lambda: "cannot open \"/nonexistent/ttyUPS\"" in card.output(), 5, "port log")
    assert "driver txtups_1 has no Query" in card.output()
    assert card.signal(60, -1) == 0.0
    assert "loaded=0" in card.devices()[0]


def test_package_installation_steps(make_card, tmp_path):
    import tarfile
    card = make_card(start=False)
    os.makedirs(card.path("data"), exist_ok=True)
    src = tmp_path / "snmpd"
    src.write_text("#!/bin/sh\n")
    with tarfile.open(card.path("data/snmpd.tar.gz"), "w:gz") as t:
        t.add(src, arcname="snmpd")
    with open(card.path("snmpcmd"), "w") as f:
        f.write("#!/bin/sh\n")
    with open(card.path("batpack_y.db"), "w") as f:
        f.write("table\n")
    card.start()
    assert os.path.exists(card.sys_path("usr/bin/snmpd"))
    assert not os.path.exists(card.path("data/snmpd.tar.gz"))
    assert os.stat(card.sys_path("home/admin/snmpcmd")).st_mode & 0o777 == 0o777
    assert not os.path.exists(card.path("snmpcmd"))
    assert open(card.path("config/signalTable/batpack_y.db")).read() == "table\n"
    assert [l for l in card.commands_log() if l.startswith("adduser")] == [
        "adduser admin -s /home/admin/./snmpcmd"]
    card.stop()
    card.start()
    assert "User already exists!" in card.output()
    assert len([l for l in card.commands_log() if l.startswith("adduser")]) == 1
