"""Test harness: a card in a temporary sandbox, driven from the outside.

    card = Card(tmp_path, settings={"ups_type": "4"}, ports={1: pty.a})
    card.start()                       # scripts/card, waits for the control socket
    card.signal(60, 20001)             # cardctl signal get
    card.stop()

Everything runs as the card's users would see it: cardmon through the launcher,
values through cardctl, files in the sandbox. The staged app directory comes
from $CARD_STAGE (scripts/test stages it); the sources from $CARD_SOURCE. With
$CARD_EMULATE (an armel tree) the stage is the card CPU's and its programs run
under qemu-arm (scripts/device-test).
"""
import os
import signal
import socket
import sqlite3
import subprocess
import time

SOURCE = os.environ.get("CARD_SOURCE") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
STAGE = os.environ.get("CARD_STAGE") or os.path.join(SOURCE, "build", "stage")
EMULATE = os.environ.get("CARD_EMULATE")
EMULATOR = ["qemu-arm", "-L", os.path.abspath(EMULATE)] if EMULATE else []

# A card on its factory password serves its administrator one page only, the
# one that replaces it. Test cards are given this password before they start,
# as an administrator would with cardctl; Card(first_use=True) keeps the
# factory one.
FACTORY_PASSWORD = "pqlzv"
ADMIN_PASSWORD = "Test-admin-8"


def wait_for(cond, timeout=10.0, what="condition", interval=0.1):
    """Polls cond() until it returns something truthy; fails with a clear message."""
    deadline = time.monotonic() + timeout
    last = None
    while True:
        try:
            last = cond()
        except Exception as e:  # a probe may fail while the card is starting
            last = e
            if time.monotonic() >= deadline:
                raise AssertionError(f"timed out after {timeout}s waiting for {what}: {e!r}")
        else:
            if last:
                return last
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout}s waiting for {what} (last: {last!r})")
        time.sleep(interval)


def free_port(kind=socket.SOCK_STREAM):
    """A port number that is free on 127.0.0.1 right now."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PtyPair:
    """Two connected pseudo-terminals made by socat: .a and .b are device paths."""

    def __init__(self, directory, name="tty"):
        self.a = os.path.join(str(directory), name + "-a")
        self.b = os.path.join(str(directory), name + "-b")
        self.proc = subprocess.Popen(
            ["socat", "-d", "-d", f"pty,raw,echo=0,link={self.a}", f"pty,raw,echo=0,link={self.b}"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(self.a) and os.path.exists(self.b), 5, "socat pty pair")

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()


class Card:
    def __init__(self, directory, settings=None, ports=None, stage=None, first_use=False):
        self.root = os.path.join(str(directory), "card")
        self.stage = stage or STAGE
        self.app_dir = os.path.join(self.root, "app")
        self.sysroot = os.path.join(self.root, "sys")
        self.ports = dict(ports or {})
        self.proc = None
        self._launch(["--prepare-only", "--fresh"])
        # Cards run side by side: each listens on ports of its own unless a
        # test names them; and each has its administrator password.
        defaults = {"httpPort": free_port(), "snmp_port": free_port(socket.SOCK_DGRAM),
                    "mbtcp_slavePort": free_port()}
        if not first_use:
            defaults["administrator_password"] = ADMIN_PASSWORD
        for key, value in {**defaults, **(settings or {})}.items():
            self.set_setting(key, value)

    # ---- processes ----
    def _env(self):
        env = dict(os.environ, CARDMON_APP_DIR=self.app_dir, CARDMON_SYSROOT=self.sysroot)
        env["PATH"] = os.path.join(self.sysroot, "bin") + ":" + env.get("PATH", "/usr/bin:/bin")
        return env

    def _launch(self, extra):
        args = ["/usr/bin/python3", os.path.join(SOURCE, "scripts", "card"), "--sandbox", self.root,
                "--stage", self.stage]
        for no, dev in self.ports.items():
            args += ["--port", f"{no}={dev}"]
        if extra:
            subprocess.run(args + extra, check=True)
            return None
        return subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    @property
    def socket_path(self):
        return os.path.join(self.sysroot, "var/run/dataMonitor/cardctl.sock")

    def pid(self):
        try:
            with open(os.path.join(self.sysroot, "var/run/cardmon.pid")) as f:
                pid = int(f.read().strip())
            os.kill(pid, 0)
            return pid
        except (OSError, ValueError):
            return None

    def start(self, wait=True, timeout=20):
        self.proc = self._launch(None)
        if wait:
            self.wait_running(timeout)
        return self

    def wait_running(self, timeout=20, old_pid=None):
        def up():
            pid = self.pid()
            if not pid or pid == old_pid:
                return False
            return self.ctl_ok("plugins")
        wait_for(up, timeout, "cardmon to answer cardctl")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def kill9(self):
        """Kills cardmon itself the hard way; the launcher does not restart it."""
        pid = self.pid()
        if pid:
            os.kill(pid, signal.SIGKILL)
        return pid

    # ---- cardctl ----
    def ctl(self, *args, check=True):
        r = subprocess.run(EMULATOR + [os.path.join(self.app_dir, "cardctl")] + [str(a) for a in args],
                           env=self._env(), capture_output=True, text=True, timeout=30)
        if check and r.returncode != 0:
            raise AssertionError(f"cardctl {' '.join(map(str, args))}: {r.stderr.strip()}")
        return r.stdout

    def ctl_ok(self, *args):
        try:
            self.ctl(*args)
            return True
        except AssertionError:
            return False

    def signal(self, dev, sig):
        return float(self.ctl("signal", "get", dev, sig).strip())

    def signal_text(self, dev, base):
        return self.ctl("signal", "text", dev, base).rstrip("\n")

    def set_signal(self, dev, sig, value):
        self.ctl("signal", "set", dev, sig, value)

    def setting(self, key, default=""):
        return self.ctl("setting", "get", key, default).rstrip("\n")

    def set_setting(self, key, value):
        self.ctl("setting", "set", key, value)

    def event(self, channel, code, data=None):
        args = ["event", channel, code] + ([data] if data is not None else [])
        return int(self.ctl(*args).strip() or 0)

    def control(self, dev, text, timeout_ms=10000):
        return int(self.ctl("control", dev, text, timeout_ms).strip())

    def store(self, code, text=None):
        return self.ctl("store", code, *([text] if text is not None else []))

    def devices(self):
        return self.ctl("devices").splitlines()

    def plugins(self):
        return self.ctl("plugins").splitlines()

    # ---- files ----
    def path(self, rel):
        return os.path.join(self.app_dir, rel)

    def sys_path(self, rel):
        return os.path.join(self.sysroot, rel.lstrip("/"))

    def read(self, rel, mode="r"):
        with open(self.path(rel), mode) as f:
            return f.read()

    def commands_log(self):
        try:
            with open(self.sys_path("var/log/commands.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def app_log(self):
        try:
            with open(self.path("data/app.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def output(self):
        try:
            with open(os.path.join(self.root, "cardmon.out"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def query(self, db, sql, params=()):
        con = sqlite3.connect(self.path("data/" + db), timeout=5)
        try:
            return con.execute(sql, params).fetchall()
        finally:
            con.close()
