"""The card as a network UPS server (svc_nut), driven by Debian's real clients
(nut-client: upsc, upscmd, upsrw, upsmon) with the register-map UPS simulator
behind the card: the variables and status words the clients read, upsmon's
notifications and shutdowns (mains failure, low battery, a scheduled shutdown
announced by FSD before the card switches the UPS off), instant commands and
writable variables by user level and address, the user list reloaded by the
web's event, STARTTLS, and clients that try to hurt the others."""

import os
import shutil
import socket
import ssl
import stat
import subprocess
import threading
import time

import pytest

cardlib = pytest.importorskip("cardlib")
from cardlib import Card, wait_for, free_port  # noqa: E402

simlib = pytest.importorskip("simlib")
from simlib import RegupsSim  # noqa: E402

pytestmark = pytest.mark.skipif(not shutil.which("upsc") or not os.path.exists("/lib/nut/upsmon"),
                                reason="nut-client is not installed")

# upsmon keeps its PID file in /run/nut whatever its configuration says, and
# refuses to run beside another instance: each one gets a private /run/nut in
# a mount namespace of its own (the machine's /run stays untouched).
UPSMON = ["unshare", "-m", "sh", "-c",
          'mount -t tmpfs tmpfs /run/nut && exec /lib/nut/upsmon -F -p']


def private_run_possible():
    return subprocess.run(UPSMON[:3] + ["-c", "mount -t tmpfs tmpfs /run/nut"],
                          capture_output=True).returncode == 0

LINK = -1
SHUTDOWN_REG = 0x8008
TEST_REG = 0x8006
USERS = [  # name, password, level, address filter
    ("mon", "pw-mon", "1", "*.*.*.*"),
    ("op", "pw-op", "2", "127.0.0.1"),
    ("root", "pw-root", "3", "127.0.0.0/8"),
    ("far", "pw-far", "3", "10.9.9.9"),
]


def start_card(directory, sim, **settings):
    port = free_port()
    values = {"ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600",
              "communication_timeout": "3", "enable_nut": "1", "nut_port": str(port)}
    for n, (name, password, level, filt) in enumerate(USERS, 1):
        values.update({f"user_name{n}": name, f"user_pass{n}": password,
                       f"user_right{n}": level, f"user_ip{n}": filt})
    values.update({k: str(v) for k, v in settings.items()})
    card = Card(directory, settings=values, ports={1: sim.card_tty})
    card.start()
    card.nut = f"ups@127.0.0.1:{port}"
    card.nut_port = port
    try:
        wait_for(lambda: card.signal(60, LINK) == 1, timeout=30, what="UPS link up")
        # The main block has been polled once the runtime reads the simulator's.
        wait_for(lambda: upsc(card, "battery.runtime") == "2100", timeout=15, what="first values")
    except BaseException:
        card.stop()
        raise
    return card


def upsc(card, var=None):
    r = subprocess.run(["upsc", card.nut] + ([var] if var else []), capture_output=True,
                       text=True, timeout=10)
    if r.returncode != 0:
        return None
    if var:
        return r.stdout.strip()
    return dict(line.split(": ", 1) for line in r.stdout.splitlines() if ": " in line)


def status(card):
    return set((upsc(card, "ups.status") or "").split())


def upscmd(card, user, command, *extra):
    name, password = next((u[0], u[1]) for u in USERS if u[0] == user)
    return subprocess.run(["upscmd", "-u", name, "-p", password, card.nut, command, *extra],
                          capture_output=True, text=True, timeout=15)


def shutdown_writes(sim):
    return [w for w in sim.writes() if w["reg"] == SHUTDOWN_REG]


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("nut")
    sim = RegupsSim(tmp / "sim", model=299)
    card = start_card(tmp / "c", sim)
    yield card, sim
    card.stop()
    sim.stop()


@pytest.fixture
def card(rig):
    card, sim = rig
    sim.scenario("normal")
    wait_for(lambda: status(card) == {"OL"}, timeout=10, what="status OL")
    return card


# ---------------------------------------------------------------- upsc

def test_upsc_shows_the_simulators_values_and_the_status_follows_it(card, rig):
    _, sim = rig
    v = upsc(card)
    e = sim.expected()
    assert v["device.type"] == "ups"
    assert v["ups.model"] == card.signal_text(60, 40016)
    assert float(v["input.voltage"]) == pytest.approx(e[40133])
    assert float(v["input.L2-N.voltage"]) == pytest.approx(e[40134])
    assert float(v["input.L3.current"]) == pytest.approx(e[40138])
    assert float(v["output.current"]) == pytest.approx(e[40167])
    assert float(v["output.frequency"]) == pytest.approx(e[40162])
    assert float(v["battery.voltage"]) == pytest.approx(e[40105])
    assert int(v["battery.charge"]) == round(e[40104])
    assert int(v["battery.runtime"]) == int(e[40103]) * 60  # minutes -> seconds
    # This UPS: three phases in, one out; its family reports power in kW.
    assert v["input.phases"] == "3" and v["output.phases"] == "1"
    assert "output.L1.current" not in v
    assert int(v["ups.realpower"]) == round(1000 * e[40170])
    assert float(v["ups.load"]) == pytest.approx(e[40173])

    sim.scenario("mains_failure")
    wait_for(lambda: {"OB", "DISCHRG"} <= status(card) and "OL" not in status(card), timeout=8,
             what="OB")
    assert upsc(card, "battery.charge") == "95"
    sim.scenario("low_battery")
    wait_for(lambda: {"OB", "LB"} <= status(card), timeout=8, what="OB LB")
    assert "Input failure" in upsc(card, "ups.alarm")
    sim.scenario("mains_return")
    wait_for(lambda: "OL" in status(card) and not {"OB", "LB"} & status(card), timeout=8,
             what="OL again")
    assert "CHRG" in status(card)


# ---------------------------------------------------------------- upscmd, upsrw

def test_commands_by_level_and_address_reach_the_ups_and_the_control_log(card, rig):
    _, sim = rig
    sim.clear_writes()
    for user in ("mon", "far"):  # level 1; level 3 from the wrong address
        r = upscmd(card, user, "test.battery.start.quick")
        assert r.returncode != 0 and "ACCESS-DENIED" in r.stderr
    r = upscmd(card, "op", "test.battery.start.quick")
    assert r.returncode == 0, r.stderr
    w = wait_for(lambda: [w for w in sim.writes() if w["reg"] == TEST_REG], timeout=8,
                 what="battery test write")
    assert [x["values"] for x in w] == [[1]]  # only the permitted one went out
    wait_for(lambda: "CAL" in status(card), timeout=8, what="test in progress as CAL")
    (source,), = wait_for(
        lambda: card.query("alarm_info.db", "select Source from history_alarm where Alarm_Id=150"),
        timeout=8, what="control action row")
    assert source == "NUT:127.0.0.1"
    assert "pw-far" not in card.app_log()

    # The web saves a new level and posts its reload event.
    card.set_setting("user_right1", "2")
    card.event(6, 3005)
    wait_for(lambda: upscmd(card, "mon", "test.battery.stop").returncode == 0, timeout=8,
             what="mon may run commands after the reload")
    card.set_setting("user_right1", "1")
    card.event(6, 3005)


def test_upsrw_lists_and_sets_writable_variables(card):
    r = subprocess.run(["upsrw", card.nut], capture_output=True, text=True, timeout=10)
    assert r.returncode == 0, r.stderr
    assert "[ups.delay.shutdown]" in r.stdout and "[device.location]" in r.stdout
    for user, password, ok in (("op", "pw-op", False), ("root", "pw-root", True)):
        r = subprocess.run(["upsrw", "-s", "ups.delay.shutdown=30", "-u", user, "-p", password,
                            card.nut], capture_output=True, text=True, timeout=10)
        assert (r.returncode == 0) == ok, r.stderr
    assert card.setting("in_tast23") == "30"
    r = subprocess.run(["upsrw", "-s", "device.location=Rack 7", "-u", "root", "-p", "pw-root",
                        card.nut], capture_output=True, text=True, timeout=10)
    assert r.returncode == 0, r.stderr
    assert card.setting("System_Location") == "Rack 7"
    assert upsc(card, "device.location") == "Rack 7"


# ---------------------------------------------------------------- hostile clients

def raw(card):
    s = socket.create_connection(("127.0.0.1", card.nut_port), timeout=5)
    return s


def ask(s, line):
    s.sendall(line.encode() + b"\n")
    data = b""
    while not data.endswith(b"\n"):
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.decode(errors="replace")


def test_hostile_clients_do_not_stop_the_server_answering_others(card):
    g = raw(card)
    assert ask(g, "\x00\x01\xff garbage \"open") == "ERR INVALID-ARGUMENT\n"
    assert ask(g, "HELLO THERE") == "ERR UNKNOWN-COMMAND\n"
    assert ask(g, "GET VAR ups ups.status") == 'VAR ups ups.status "OL"\n'

    big = raw(card)
    big.sendall(b"A" * (1 << 20) + b"\n")
    assert big.recv(4096) == b"ERR INVALID-ARGUMENT\n"
    assert big.recv(4096) == b""  # and the server closed it

    # A client that asks and asks but never reads.
    stalled = raw(card)
    stalled.setblocking(False)
    stop = threading.Event()

    def flood():
        while not stop.is_set():
            try:
                stalled.send(b"LIST VAR ups\n" * 100)
            except BlockingIOError:
                time.sleep(0.01)
            except OSError:
                return
    t = threading.Thread(target=flood, daemon=True)
    t.start()
    idle = []
    try:
        for _ in range(1000):
            idle.append(socket.create_connection(("127.0.0.1", card.nut_port), timeout=5))
        started = time.monotonic()
        for _ in range(5):
            assert upsc(card, "ups.status") == "OL"
        assert time.monotonic() - started < 5
    finally:
        stop.set()
        t.join(5)
        for s in idle + [g, big, stalled]:
            s.close()


def test_starttls_with_the_cards_certificate(card):
    s = raw(card)
    assert ask(s, "STARTTLS") == "ERR FEATURE-NOT-CONFIGURED\n"
    s.close()
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=card", "-keyout", card.path("www/server.key"),
                    "-out", card.path("www/server.crt")], check=True, capture_output=True)
    try:
        def tls_ok():
            s = raw(card)
            if ask(s, "STARTTLS") != "OK STARTTLS\n":
                s.close()
                return None
            return s
        s = wait_for(tls_ok, timeout=10, what="STARTTLS offered")
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        with ctx.wrap_socket(s) as t:
            assert ask(t, "GET VAR ups ups.status") == 'VAR ups ups.status "OL"\n'
            assert ask(t, "STARTTLS") == "ERR ALREADY-SSL-MODE\n"
        assert upsc(card, "ups.status") == "OL"  # the plain clients still work
    finally:
        os.remove(card.path("www/server.key"))
        os.remove(card.path("www/server.crt"))


# ---------------------------------------------------------------- upsmon

class Upsmon:
    """One upsmon in a configuration directory of its own, as root without a
    privileged parent; NOTIFYCMD and SHUTDOWNCMD are scripts writing files."""

    def __init__(self, directory, target, user, role):
        if not private_run_possible():
            pytest.skip("no mount namespace for upsmon's /run/nut")
        self.dir = str(directory)
        os.makedirs(self.dir, exist_ok=True)
        self.notes = os.path.join(self.dir, "notes")
        self.down = os.path.join(self.dir, "shutdown")
        notify = self._script("notify.sh", f'echo "$NOTIFYTYPE $(date +%s.%N)" >> {self.notes}\n')
        shut = self._script("shutdown.sh", f"date +%s.%N > {self.down}\n")
        name, password = next((u[0], u[1]) for u in USERS if u[0] == user)
        flags = "".join(f"NOTIFYFLAG {f} EXEC\n" for f in
                        ("ONBATT", "ONLINE", "LOWBATT", "FSD", "SHUTDOWN", "COMMOK", "COMMBAD"))
        with open(os.path.join(self.dir, "upsmon.conf"), "w") as f:
            f.write(f"MONITOR {target} 1 {name} {password} {role}\n"
                    "MINSUPPLIES 1\n"
                    f'SHUTDOWNCMD "{shut}"\nNOTIFYCMD "{notify}"\n{flags}'
                    "POLLFREQ 1\nPOLLFREQALERT 1\nHOSTSYNC 5\nDEADTIME 5\nFINALDELAY 0\n"
                    f"POWERDOWNFLAG {self.dir}/killpower\n")
        os.chmod(os.path.join(self.dir, "upsmon.conf"), 0o600)
        env = dict(os.environ, NUT_CONFPATH=self.dir, NUT_STATEPATH=self.dir,
                   NUT_ALTPIDPATH=self.dir)
        self.log = open(os.path.join(self.dir, "upsmon.log"), "w")
        self.proc = subprocess.Popen(UPSMON, env=env, stdout=self.log, stderr=subprocess.STDOUT)

    def _script(self, name, body):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(path, stat.S_IRWXU)
        return path

    def noted(self, kind):
        try:
            with open(self.notes) as f:
                return [float(l.split()[1]) for l in f if l.split()[0] == kind]
        except FileNotFoundError:
            return []

    def shut_down_at(self):
        try:
            with open(self.down) as f:
                return float(f.read().strip())
        except (FileNotFoundError, ValueError):
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()


@pytest.fixture
def own_card(tmp_path):
    """A card of its own: these tests leave it in forced shutdown."""
    sim = RegupsSim(tmp_path / "sim", model=299)
    card = start_card(tmp_path / "c", sim)
    monitors = []
    yield card, sim, monitors
    for m in monitors:
        m.stop()
    card.stop()
    sim.stop()


def test_upsmon_primary_and_secondary_on_mains_failure_and_low_battery(own_card, tmp_path):
    card, sim, monitors = own_card
    primary = Upsmon(tmp_path / "primary", card.nut, "root", "primary")
    secondary = Upsmon(tmp_path / "secondary", card.nut, "mon", "secondary")
    monitors += [primary, secondary]
    wait_for(lambda: upsc(card, None) is not None and
             subprocess.run(["upsc", "-c", card.nut], capture_output=True, text=True)
             .stdout.count("127.0.0.1") == 2, timeout=10, what="both monitors logged in")

    failed = time.time()
    sim.scenario("mains_failure")
    for m in (primary, secondary):
        wait_for(lambda: m.noted("ONBATT"), timeout=5, what="ONBATT within 5 s")
        assert m.noted("ONBATT")[0] - failed < 5
    assert primary.shut_down_at() is None and secondary.shut_down_at() is None

    sim.scenario("low_battery")
    # The secondary goes first; the primary raises FSD and waits for it.
    wait_for(lambda: secondary.shut_down_at(), timeout=15, what="secondary shutdown")
    wait_for(lambda: primary.shut_down_at(), timeout=15, what="primary shutdown")
    assert "FSD" in status(card)
    assert primary.shut_down_at() >= secondary.shut_down_at()


def card_clock(card):
    """Weekday (0 = Sunday), minute "%H:%M" and second on the card's clock."""
    with open(card.path("config/Timezone"), "rb") as f:
        zone = f.read().rstrip(b"\0").decode() or "UTC"
    out = subprocess.run(["date", "+%w %H:%M %S"], env=dict(os.environ, TZ=zone),
                         capture_output=True, text=True, check=True).stdout.split()
    return int(out[0]), out[1], int(out[2])


def test_a_scheduled_shutdown_raises_fsd_before_the_ups_is_switched_off(own_card, tmp_path):
    card, sim, monitors = own_card
    secondary = Upsmon(tmp_path / "secondary", card.nut, "mon", "secondary")
    monitors.append(secondary)
    wait_for(lambda: "127.0.0.1" in subprocess.run(["upsc", "-c", card.nut], capture_output=True,
                                                   text=True).stdout,
             timeout=10, what="monitor logged in")
    # Off-time one minute ahead, warned one minute before: pending at once.
    # Late in a minute, so that the off-time comes soon after.
    wait_for(lambda: 30 <= card_clock(card)[2] < 48, timeout=35, what="the second half of a minute")
    day, _, _ = card_clock(card)
    hh, mm = map(int, card_clock(card)[1].split(":"))
    off = "%02d:%02d" % ((hh + (mm + 1) // 60) % 24, (mm + 1) % 60)
    sim.clear_writes()
    card.set_setting("sche_bef_min", "1")
    card.set_setting(f"sched_off{day + 1}", off)

    down = wait_for(lambda: secondary.shut_down_at(), timeout=15, what="upsmon shutdown on FSD")
    assert secondary.noted("FSD")
    assert card.signal(60, 20021) == 1  # still only pending
    assert shutdown_writes(sim) == []
    # The card then switches the UPS off at the off-time, after the server.
    w = wait_for(lambda: shutdown_writes(sim), timeout=45, what="the card's shutdown")
    assert w[0]["t"] > down


def test_a_shutdown_command_from_another_interface_raises_fsd(own_card):
    card, sim, _ = own_card
    sim.clear_writes()
    card.event(0, 4)  # what the web's remote control posts for "UPS Shutdown"
    wait_for(lambda: "FSD" in status(card), timeout=5, what="FSD")
    wait_for(lambda: shutdown_writes(sim), timeout=8, what="the shutdown itself")
    assert "NUT: forced shutdown raised: command 4 switches the output off" in card.app_log()
