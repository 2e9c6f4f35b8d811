"""Every network door of the card checks who is knocking. Each case acts as a
hostile or careless user on the network would, from a second loopback address
(127.0.0.x, the client socket bound to it) where the address matters, and
asserts both what that user gets and that nothing changed behind a refusal.

Doors, in order: the web pages (address filters, sessions, request framing),
Modbus/TCP (who may write), SNMP (set ranges, GETBULK size) and the files on
the card (secrets private, no session identifier in any output).

The web server and the Modbus slave of a sandboxed card listen on 127.0.0.1
and ::1; a client bound to 127.0.0.5 reaches 127.0.0.1 over the loopback
device and the card sees 127.0.0.5 as its peer."""
import os
import random
import re
import socket
import stat
import struct
import subprocess

import pytest
import requests

from cardlib import Card, free_port, wait_for
from test_web import ADMIN_PASSWORD, login, raw_request, web_card
import test_modbus as mb

FIVE = "127.0.0.5"


class SourceAdapter(requests.adapters.HTTPAdapter):
    """Connections from a chosen local address."""

    def __init__(self, source, **kw):
        self.source = source
        super().__init__(**kw)

    def init_poolmanager(self, *args, **kw):
        kw["source_address"] = (self.source, 0)
        super().init_poolmanager(*args, **kw)


def browser(source=None):
    s = requests.Session()
    s.trust_env = False
    if source:
        s.mount("http://", SourceAdapter(source))
    return s


def try_login(base, user, password, source=None, session=None):
    s = session or browser(source)
    return s, s.post(base + "/login.html", data={"user": user, "passwd": password},
                     allow_redirects=False)


def logged_in(s, base, path="/sysTime"):
    """True while the browser's session opens pages; False once it is sent to log in."""
    r = s.get(base + path, allow_redirects=False)
    if r.status_code == 302:
        assert r.headers["Location"] == "/login.html"
        return False
    assert r.status_code == 200, r.status_code
    return True


def v6_base(base):
    return base.replace("127.0.0.1", "[::1]")


@pytest.fixture
def ipv6_ten():
    """::10 on the loopback device (root only): a second IPv6 source."""
    if os.geteuid() != 0:
        pytest.skip("adding an address to the loopback device needs root")
    r = subprocess.run(["ip", "-6", "addr", "add", "::10/128", "dev", "lo", "nodad"],
                       capture_output=True, text=True)
    if r.returncode != 0 and "exists" not in r.stderr:
        pytest.skip("cannot add ::10: " + r.stderr.strip())
    yield "::10"
    subprocess.run(["ip", "-6", "addr", "del", "::10/128", "dev", "lo"], capture_output=True)


# Users of the web cases: slot n of the table, all values text.
USERS = [("viewer", "v-pw", "1", "*.*.*.*"), ("oper", "o-pw", "2", "*.*.*.*"),
         ("five", "f-pw", "2", FIVE), ("six", "s-pw", "2", "::1")]


def table(users):
    out = {}
    for n, (name, pw, right, ip) in enumerate(users, 1):
        out.update({f"user_name{n}": name, f"user_pass{n}": pw, f"user_right{n}": right,
                    f"user_ip{n}": ip})
    return out


# ====================================================================== web

def test_web_address_filters_admit_the_exact_address_only(make_card, ipv6_ten):
    card, base = web_card(make_card, settings=table(USERS))
    for near in ("127.0.0.50", "127.0.0.51", "127.0.0.55"):
        _, r = try_login(base, "five", "f-pw", source=near)
        assert r.status_code == 200 and "Login refused" in r.text, near
    assert "ipaddr is error, ipaddr:127.0.0.50,ipaddr2:127.0.0.5" in card.app_log()
    _, r = try_login(base, "five", "f-pw", source=FIVE)
    assert r.status_code == 302 and "permission=2" in r.headers["Set-Cookie"]
    # IPv6: ::1 is not ::10
    _, r = try_login(v6_base(base), "six", "s-pw")
    assert r.status_code == 302
    conn_from_ten = browser()
    conn_from_ten.mount("http://", SourceAdapter(ipv6_ten))
    _, r = try_login(v6_base(base), "six", "s-pw", session=conn_from_ten)
    assert r.status_code == 200 and "Login refused" in r.text


def test_sessions_end_when_the_account_is_deleted_demoted_or_its_password_changes(make_card):
    card, base = web_card(make_card, settings=table(USERS))
    admin = login(base)
    viewer = login(base, "viewer", "v-pw")
    oper = login(base, "oper", "o-pw")
    five_a, _ = try_login(base, "five", "f-pw", source=FIVE)
    five_b, _ = try_login(base, "five", "f-pw", source=FIVE)
    for s in (viewer, oper, five_a, five_b):
        assert logged_in(s, base)

    # oper demoted to viewer, viewer deleted, in one save of the table
    changed = [("", "", "1", ""), ("oper", "o-pw", "1", "*.*.*.*")] + USERS[2:]
    r = admin.post(base + "/NetworkRemoteInfo", data=table(changed))
    assert r.json()["result"] == "1"
    assert not logged_in(viewer, base)
    r = oper.post(base + "/SetSysPassword", data={"user": "oper", "old_password": "o-pw",
                                                  "new_password": "x"}, allow_redirects=False)
    assert r.status_code == 302 and card.setting("user_pass2") == "o-pw"  # old level: nothing
    assert "session of oper ended" in card.app_log()
    _, r = try_login(base, "oper", "o-pw")
    assert "permission=1" in r.headers["Set-Cookie"]  # a new login has the new level

    # five changes his own password: that browser stays, his other one is out
    r = five_a.post(base + "/SetSysPassword", data={"user": "five", "old_password": "f-pw",
                                                    "new_password": "f-2"})
    assert r.json()["result"] == "1"
    assert logged_in(five_a, base)
    assert not logged_in(five_b, base)
    # the administrator changed nothing of his own and is still in
    assert logged_in(admin, base, "/NetworkRemoteInfo")


def test_logout_ends_the_session_on_the_server(make_card):
    card, base = web_card(make_card)
    s = login(base)
    sid = s.cookies["mgs"]
    r = s.post(base + "/logout", allow_redirects=False)
    assert r.status_code == 302 and r.headers["Location"] == "/login.html"
    assert re.match(r"mgs=;.*Max-Age=0", r.headers["Set-Cookie"])
    # the old cookie, replayed, opens nothing
    replay = browser()
    replay.cookies.set("mgs", sid)
    assert not logged_in(replay, base, "/NetworkRemoteInfo")
    assert "user:admin logged out" in card.app_log()
    # the page frame carries the control
    assert "/logout" in login(base).get(base + "/js/pages.js").text


def test_ten_viewer_logins_leave_the_administrator_logged_in(make_card):
    ops = [(f"op{n}", "o-pw", "2", "*.*.*.*") for n in range(1, 8)]
    card, base = web_card(make_card, settings=table([USERS[0]] + ops))
    admin = login(base)
    viewers = [login(base, "viewer", "v-pw") for _ in range(10)]
    assert logged_in(admin, base, "/NetworkRemoteInfo")
    assert not logged_in(viewers[0], base)  # the viewer's own oldest session made room
    assert all(logged_in(v, base) for v in viewers[1:])
    assert "Evicted a session of viewer for a login of viewer" in card.output()
    # an operator makes room by pushing a viewer out, never the administrator
    op = login(base, "op1", "o-pw")
    assert logged_in(admin, base, "/NetworkRemoteInfo") and logged_in(op, base)
    assert sum(logged_in(v, base) for v in viewers) == 8
    # every slot held by a higher level: a viewer is refused, nobody is evicted
    for v in viewers:
        v.post(base + "/logout")
    held = [admin, op] + [login(base, name, "o-pw") for name, *_ in ops[1:]]
    held += [login(base), login(base)]
    assert len(held) == 10
    _, r = try_login(base, "viewer", "v-pw")
    assert r.status_code == 200 and "Session table full" in r.text
    assert "mgs" not in r.cookies
    assert all(logged_in(h, base) for h in held)
    assert "Evicted a session of admin" not in card.output()


FRAMINGS = {
    "two Content-Length": "Content-Length: 5\r\nContent-Length: 5\r\n\r\nuser=",
    "two different Content-Length": "Content-Length: 5\r\nContent-Length: 40\r\n\r\nuser=",
    "Content-Length and chunked": "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n"
                                  "5\r\nuser=\r\n0\r\n\r\n",
    "chunked and Content-Length": "Transfer-Encoding: chunked\r\nContent-Length: 4\r\n\r\n"
                                  "5\r\nuser=\r\n0\r\n\r\n",
    "a coding besides chunked": "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
    "a list as the length": "Content-Length: 5, 5\r\n\r\nuser=",
    "a signed length": "Content-Length: +5\r\n\r\nuser=",
}


@pytest.fixture(scope="module")
def framing_card(tmp_path_factory):
    port = free_port()
    card = Card(tmp_path_factory.mktemp("framing"), settings={"httpPort": str(port)})
    with open(card.path("config/PRODUCT"), "w") as f:
        f.write("ST0001\n")
    card.start()
    card.web_port = port
    wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True, 15,
             "web listener")
    yield card
    card.stop()


@pytest.mark.parametrize("case", FRAMINGS)
def test_requests_with_an_ambiguous_length_get_400_and_nothing_else(framing_card, case):
    # a smuggled second request behind the first must not be answered
    text = ("POST /login.html HTTP/1.1\r\nHost: x\r\n" + FRAMINGS[case] +
            "GET /login.html HTTP/1.1\r\nHost: x\r\n\r\n")
    out = raw_request(framing_card.web_port, text, source=FIVE)
    assert out.startswith(b"HTTP/1.1 400"), out[:80]
    # (libmicrohttpd refuses a malformed length itself, and sends its status
    # line twice then; what counts is that nothing else is answered)
    assert b"HTTP/1.1 2" not in out and b"HTTP/1.1 3" not in out and b"passwd" not in out, out


def test_well_framed_bodies_still_work(framing_card):
    card = framing_card
    body = f"user=admin&passwd={ADMIN_PASSWORD}"
    chunked = f"{len(body):x}\r\n{body}\r\n0\r\n\r\n"
    out = raw_request(card.web_port, "POST /login.html HTTP/1.1\r\nHost: x\r\n"
                      "Transfer-Encoding: chunked\r\nContent-Type: application/x-www-form-urlencoded"
                      "\r\n\r\n" + chunked)
    assert out.startswith(b"HTTP/1.1 302"), out[:200]
    out = raw_request(card.web_port, "POST /login.html HTTP/1.1\r\nHost: x\r\nContent-Type: "
                      f"application/x-www-form-urlencoded\r\nContent-Length: {len(body)}\r\n\r\n"
                      + body)
    assert out.startswith(b"HTTP/1.1 302"), out[:200]


# ================================================================== Modbus

def modbus_card(make_card, **settings):
    port = free_port()
    s = {"mbtcp_slavePort": str(port), "enable_485modbus": "0", "in_templ1": "10.0",
         "in_temph1": "40.0"}
    s.update(settings)
    card = make_card(settings=s)
    card.mb_port = port
    wait_for(lambda: mb.listening(port), 15, "the Modbus/TCP listener")
    return card


def mb_exchange(port, frame, source=None, host="127.0.0.1", timeout=2.0):
    fam = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(fam, socket.SOCK_STREAM) as s:
        if source:
            s.bind((source, 0))
        s.connect((host, port))
        s.sendall(frame)
        return mb.tcp_answer(s, timeout)


def write_attempts(card):
    """Writes a hostile master would send: UPS address, line speed, clock, shutdown."""
    return [mb.tcp_frame(6, 9, 12), mb.tcp_frame(6, 10, 4),
            mb.tcp_write_many(21, [2031, 1, 2, 3, 4, 5]), mb.tcp_frame(6, 4, 65535),
            mb.tcp_write_many(7, [12, 1]), mb.tcp_frame(6, 30, 450)]


def settings_of(card):
    return {k: card.setting(k) for k in ("ups_addr", "ups_baudRate", "in_temph1", "in_tast23")}


def test_modbus_a_fresh_card_answers_reads_and_refuses_every_write(make_card):
    card = modbus_card(make_card)
    before = settings_of(card)
    for source in (FIVE, None):
        a = mb_exchange(card.mb_port, mb.tcp_frame(3, 9, 1), source)
        assert len(a) == 11, a  # reads stay open
        for frame in write_attempts(card):
            a = mb_exchange(card.mb_port, frame, source)
            assert mb.exception_code(a, frame[7]) == 1, (frame.hex(), a.hex())
    assert settings_of(card) == before
    assert not [l for l in card.commands_log() if l.startswith(("date", "hwclock"))]
    assert "Set Time" not in card.app_log()
    if os.path.exists(card.path("data/alarm_info.db")):  # no control action was recorded
        assert card.query("alarm_info.db",
                          "select count(*) from history_alarm where Source like 'Tcp:%'") == [(0,)]


def test_modbus_only_the_listed_master_writes_matched_by_field(make_card, ipv6_ten):
    card = modbus_card(make_card, tcp_modbus_ip1=FIVE, tcp_modbus_ip2="::1")
    for near in ("127.0.0.50", "127.0.0.51", "127.0.0.1"):
        a = mb_exchange(card.mb_port, mb.tcp_frame(6, 30, 450), near)
        assert mb.exception_code(a, 6) == 1, near
    a = mb_exchange(card.mb_port, mb.tcp_frame(6, 30, 450), "::10", host="::1")
    assert mb.exception_code(a, 6) == 1
    assert card.setting("in_temph1") == "40.0"
    a = mb_exchange(card.mb_port, mb.tcp_frame(6, 30, 450), FIVE)
    assert a == mb.tcp_frame(6, 30, 450)  # echoed: acted
    wait_for(lambda: card.setting("in_temph1") == "25.0", 5, "in_temph1 = 25.0")
    a = mb_exchange(card.mb_port, mb.tcp_frame(6, 30, 460), host="::1")
    assert a == mb.tcp_frame(6, 30, 460)
    wait_for(lambda: card.setting("in_temph1") == "26.0", 5, "in_temph1 = 26.0 from ::1")
    # with the filter switched on, the unlisted get no answer at all
    card.set_setting("enable_tcp_modbus_connect_permission", "1")
    assert mb_exchange(card.mb_port, mb.tcp_frame(3, 9, 1), "127.0.0.50", timeout=0.7) == b""
    assert len(mb_exchange(card.mb_port, mb.tcp_frame(3, 9, 1), FIVE)) == 11


# ==================================================================== SNMP

UPS = "1.3.6.1.2.1.33.1"


@pytest.fixture
def snmp_card(make_card, monkeypatch):
    monkeypatch.setenv("CARDMON_IPC_KEY", str(0x5D000000 + random.randrange(1, 0xFFFFFF)))
    port = free_port(socket.SOCK_DGRAM)
    card = make_card(settings={"snmp_port": str(port), "snmp_community_0": "public",
                               "snmp_permission_0": "1", "snmp_manage_ip_0": "*.*.*.*",
                               "snmp_community_1": "private", "snmp_permission_1": "2",
                               "snmp_manage_ip_1": "127.0.0.1"})
    card.snmp_port = port
    wait_for(lambda: snmp(card, "snmpget", "-Oqv", f"{UPS}.1.4.0")[1].strip() == '"FW02K13"',
             20, "the agent to answer")
    return card


def snmp(card, prog, *args, community="public"):
    r = subprocess.run([prog, "-m", "", "-On", "-v2c", "-c", community, "-t", "2", "-r", "1",
                        f"127.0.0.1:{card.snmp_port}", *args],
                       capture_output=True, text=True, timeout=60)
    return r.returncode, r.stdout + r.stderr


def test_snmp_out_of_range_sets_answer_wrongValue_and_post_nothing(snmp_card):
    card = snmp_card
    for oid, values in ((f"{UPS}.8.2.0", (-1000, -2, 601, 2147483647, 2147483648)),
                        (f"{UPS}.8.3.0", (-1000, 599941)), (f"{UPS}.8.4.0", (-5, 301)),
                        (f"{UPS}.9.8.0", (0, 4, -1)), (f"{UPS}.7.2.0", (-1,))):
        for v in values:
            rc, out = snmp(card, "snmpset", oid, "i", str(v), community="private")
            assert rc != 0 and "wrongValue" in out, (oid, v, out)
    assert "msg.data[0]" not in card.app_log()
    assert snmp(card, "snmpget", "-Oqv", f"{UPS}.8.2.0")[1].strip() == "-1"
    # the edges of the range act (-1 cancels)
    rc, out = snmp(card, "snmpset", f"{UPS}.8.2.0", "i", "-1", community="private")
    assert rc == 0, out
    wait_for(lambda: "msg.data[0]:6" in card.app_log(), 10, "the cancel command")


def ber_len(n):
    return bytes([n]) if n < 128 else bytes([0x82, n >> 8, n & 0xFF])


def ber(tag, body):
    return bytes([tag]) + ber_len(len(body)) + body


def ber_int(v):
    return ber(0x02, v.to_bytes((v.bit_length() + 8) // 8, "big", signed=True))


def getbulk(community, oid, max_repetitions):
    parts = [int(x) for x in oid.split(".")]
    enc = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        while p > 0x7F:
            p >>= 7
            chunk.insert(0, 0x80 | (p & 0x7F))
        enc += bytes(chunk)
    varbind = ber(0x30, ber(0x30, ber(0x06, enc) + b"\x05\x00"))
    pdu = ber(0xA5, ber_int(4242) + ber_int(0) + ber_int(max_repetitions) + varbind)
    return ber(0x30, ber_int(1) + ber(0x04, community.encode()) + pdu)


def test_snmp_getbulk_answers_stay_bounded_and_walks_still_complete(snmp_card):
    card = snmp_card
    request = getbulk("public", "1.3.6.1.2.1", 10000)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(3)
        s.sendto(request, ("127.0.0.1", card.snmp_port))
        answer, _ = s.recvfrom(65535)
    ratio = len(answer) / len(request)
    print(f"GETBULK max-repetitions 10000: request {len(request)} B, answer {len(answer)} B,"
          f" x{ratio:.1f}")
    assert len(answer) < 1500 and ratio < 25
    rc, out = snmp(card, "snmpbulkget", "-Cr10000", "1.3.6.1.2.1.33")
    assert rc == 0 and 0 < out.count("\n.1.3.6.1") + 1 <= 20, out
    # a walk with a large repetition count still reaches the end of the tree
    rc, bulk = snmp(card, "snmpbulkwalk", "-Cr10000", "-Oq", "1.3.6.1.2.1.33")
    rc2, plain = snmp(card, "snmpwalk", "-Oq", "1.3.6.1.2.1.33")
    assert rc == 0 and rc2 == 0
    keys = lambda t: [l.split(" ")[0] for l in t.splitlines() if l.startswith(".")]  # noqa: E731
    assert keys(bulk) == keys(plain) and len(keys(plain)) > 40


def test_snmp_every_writable_object_of_both_modules_refuses_out_of_range(tmp_path):
    from test_snmp_agent import SharedBlock, Agent, unique_key
    ent = "1.3.6.1.4.1.935.1.1.1"
    cases = {
        "upsmib": [(f"{UPS}.7.2.0", -1), (f"{UPS}.8.1.0", 1), (f"{UPS}.8.1.0", -1),
                   (f"{UPS}.8.2.0", -1000), (f"{UPS}.8.2.0", 601), (f"{UPS}.8.2.0", 2147483648),
                   (f"{UPS}.8.3.0", -7), (f"{UPS}.8.3.0", 599941), (f"{UPS}.8.4.0", -1000),
                   (f"{UPS}.8.4.0", 301), (f"{UPS}.8.5.0", 2), (f"{UPS}.9.8.0", 0),
                   (f"{UPS}.9.8.0", 4)] + [(f"{UPS}.9.{n}.0", 1) for n in (1, 2, 3, 4, 5, 10)],
        "mib935": [(f"{ent}.5.2.{n}.0", v) for n in range(1, 13) for v in (-1, 65536)]
        + [(f"{ent}.5.2.10.0", 601), (f"{ent}.5.2.11.0", 1093)]
        + [(f"{ent}.6.2.{n}.0", v) for n in range(1, 7) for v in (-1000, 70000)]
        + [(f"{ent}.6.1.1.0", -1), (f"{ent}.7.2.2.0", -1), (f"{ent}.7.2.6.0", -3),
           (f"{ent}.7.2.1.0", -1), (f"{ent}.7.2.5.0", 65536)]
        + [(f"{ent}.9.2.{n}.0", 2) for n in range(1, 5)]
        + [(f"{ent}.5.1.2.1.{n}.0", -1) for n in (3, 4)]
        + [(f"1.3.6.1.4.1.935.2.1.2.1.{n}.0", -1) for n in (4, 5)],
    }
    refused = 0
    for module, sets in cases.items():
        key = unique_key()
        d = tmp_path / module
        d.mkdir()
        agent = Agent(d, module, key)
        try:
            agent.wait_ready()
            block = SharedBlock(key)
            try:
                block.messages()
                for oid, v in sets:
                    rc, out = agent.set(oid, "i", v)
                    assert "wrongValue" in out, (module, oid, v, out)
                    refused += 1
                assert block.messages() == [], module  # nothing reached the task
            finally:
                block.remove()
        finally:
            agent.stop()
    print(f"out-of-range sets refused: {refused}")


# =================================================================== files

def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def test_secrets_are_private_and_session_ids_appear_nowhere(make_card, monkeypatch):
    monkeypatch.setenv("CARDMON_TEST_SESSION_IDLE", "2")
    card, base = web_card(make_card, settings={"smtp_password": "mail-secret",
                                               "snmp_community_1": "private"})
    # a store left world-readable by an older firmware is made private at start
    ids = []
    for _ in range(12):  # ten slots: two evictions
        s = login(base)
        ids.append(s.cookies["mgs"])
    s.post(base + "/logout")
    wait_for(lambda: "closed due to idleness" in card.output(), 10, "an idle session to close")
    settings = card.path("config/settings.db")
    for f in (settings, settings + "-wal", settings + "-shm"):
        if os.path.exists(f):
            assert mode(f) == 0o600, f
    assert mode(card.path("config")) == 0o700
    assert mode(card.path("data")) == 0o700
    card.stop()
    os.chmod(settings, 0o644)
    os.chmod(card.path("config"), 0o755)
    card.start()
    wait_for(lambda: mode(settings) == 0o600, 10, "the store made private again")
    assert mode(card.path("config")) == 0o700
    # no identifier in any output, log or file of the card
    for sid in ids:
        assert sid not in card.output()
    for top, _, files in os.walk(card.root):
        for name in files:
            path = os.path.join(top, name)
            try:
                with open(path, "rb") as f:
                    data = f.read(4 << 20)
            except OSError:
                continue
            for sid in ids:
                assert sid.encode() not in data, path


@pytest.mark.filterwarnings("ignore:Unverified HTTPS request")
def test_the_tls_private_key_is_made_private(make_card):
    from test_web import _make_certificate

    def world_readable_key(card):
        _make_certificate(card)
        os.chmod(card.path("www/server.key"), 0o644)
    card, base = web_card(make_card, settings={"httpType": "1"}, scheme="https",
                          before_start=world_readable_key)
    assert requests.get(base + "/login.html", verify=False).status_code == 200
    assert mode(card.path("www/server.key")) == 0o600
