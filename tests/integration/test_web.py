"""Web server: listeners, dispatch order, page files and their types, the
acknowledgement answers, the loopback client's pass, HTTPS, and hostile input.

The card listens on the port of the setting "httpPort", which each test takes
free from the system; on a development build it listens on 127.0.0.1 and ::1.
"""
import http.client
import json
import os
import random
import re
import socket
import subprocess
import time

import pytest
import requests
import urllib3

from cardlib import ADMIN_PASSWORD, free_port, wait_for  # noqa: F401 (shared with other tests)

urllib3.disable_warnings()


# ---- helpers shared with test_web_login.py ----

def web_card(make_card, settings=None, sn="ST0001", scheme="http", before_start=None):
    """A started card whose web server answers; returns (card, base URL)."""
    port = free_port()
    s = {"httpPort": str(port)}
    s.update(settings or {})
    card = make_card(settings=s, start=False)
    if sn is not None:
        with open(card.path("config/PRODUCT"), "w") as f:
            f.write(sn + "\n")
    if before_start:
        before_start(card)
    card.start()
    card.web_port = port
    wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True, 15,
             "web listener")
    return card, f"{scheme}://127.0.0.1:{port}"


def login(base, user="admin", password=ADMIN_PASSWORD, **kw):
    """A requests session logged in as user; fails the test when refused."""
    s = requests.Session()
    s.trust_env = False  # no proxies; our own certificate settings
    s.verify = False
    r = s.post(base + "/login.html", data={"user": user, "passwd": password},
               allow_redirects=False, **kw)
    assert r.status_code == 302 and r.headers["Location"] == "/", r.text[:200]
    assert "mgs" in s.cookies
    return s


def raw_request(port, text, host="127.0.0.1", timeout=5, source=None):
    """Sends raw bytes and returns everything the server sent before closing."""
    fam = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(fam, socket.SOCK_STREAM) as sock:
        sock.settimeout(timeout)
        if source:
            sock.bind((source, 0))
        sock.connect((host, port))
        try:
            sock.sendall(text if isinstance(text, bytes) else text.encode())
        except (BrokenPipeError, ConnectionResetError):
            pass  # a server that refuses a flood may close before it is all sent
        out = b""
        while True:
            try:
                chunk = sock.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            out += chunk
        return out


class ForeignAddress:
    """An address on the loopback device that is not a loopback address: the
    card sees connections from it as coming from another machine."""

    def __init__(self):
        self.addr = f"10.{random.randint(200, 250)}.{random.randint(1, 250)}.{random.randint(2, 250)}"
        subprocess.run(["ip", "addr", "add", self.addr + "/32", "dev", "lo"], check=True)

    def close(self):
        subprocess.run(["ip", "addr", "del", self.addr + "/32", "dev", "lo"], check=False)


def request_from(source, port, method, path, headers=None, body=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5, source_address=(source, 0))
    try:
        conn.request(method, path, body=body, headers=headers or {})
        r = conn.getresponse()
        return r.status, dict(r.getheaders()), r.read()
    finally:
        conn.close()


@pytest.fixture
def foreign_address():
    if os.geteuid() != 0:
        pytest.skip("adding an address to the loopback device needs root")
    a = ForeignAddress()
    yield a.addr
    a.close()


# ---- tests ----

def test_page_files_types_and_language_tables(make_card):
    card, base = web_card(make_card)
    s = login(base)
    r = s.get(base + "/")
    assert r.status_code == 200 and r.headers["Content-Type"] == "text/html"
    assert r.content == open(card.path("www/index.html"), "rb").read()
    for path, ctype in [("/css/app.css", "text/css"), ("/js/pages.js", "text/js"),
                        ("/image/logo.png", "text/plain"), ("/login.html", "text/html"),
                        ("/lang/en.db", "text/plain")]:
        r = s.get(base + path)
        assert r.status_code == 200 and r.headers["Content-Type"] == ctype, path
    assert json.loads(s.get(base + "/lang/en.db").content)["login.title"] == "Log in"
    assert json.loads(s.get(base + "/lang/zh.db").content)["login.title"] == "登录"
    # .db files come from config/lang, not from www, and nothing else of config/
    os.remove(card.path("config/lang/en.db"))
    assert s.get(base + "/lang/en.db").status_code == 404
    assert s.get(base + "/settings.db").status_code == 404
    assert s.get(base + "/PRODUCT").status_code == 404
    assert s.get(base + "/nothing-here.css").status_code == 404


def test_paths_never_leave_the_page_directories(make_card):
    card, base = web_card(make_card)
    s = login(base)
    cookie = "mgs=" + s.cookies["mgs"]
    for path in ["/../config/settings.db", "/lang/../../config/PRODUCT", "/css/../../cardmon",
                 "/%2e%2e/config/PRODUCT", "/..%2fconfig/PRODUCT.html"]:
        out = raw_request(card.web_port, f"GET {path} HTTP/1.1\r\nHost: x\r\nCookie: {cookie}\r\n"
                                         "Connection: close\r\n\r\n")
        assert out.startswith(b"HTTP/1.1 404"), (path, out[:80])


def test_routes_dispatch_order_and_unknown_uris(make_card):
    card, base = web_card(make_card)
    s = login(base)
    # An unknown URI: 404.
    assert s.get(base + "/NoSuchRoute").status_code == 404
    # Route names compare exactly.
    assert s.get(base + "/networkremoteinfo").status_code == 404
    # "/Debug" without ".html" serves the debug page to a GET only.
    r = s.get(base + "/Debug")
    assert r.status_code == 200 and r.headers["Content-Type"] == "text/html"
    assert b"Service page" in r.content
    assert s.post(base + "/Debug").status_code == 404


def test_uri_limit_513_gets_no_answer(make_card):
    card, base = web_card(make_card)
    path512 = "/" + "a" * 511
    path513 = "/" + "a" * 512
    assert raw_request(card.web_port, f"GET {path513} HTTP/1.1\r\nHost: x\r\n\r\n") == b""
    # The query string does not count; 512 bytes still get an answer.
    assert raw_request(card.web_port, f"GET {path512} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
                       ).startswith(b"HTTP/1.1 302")
    assert raw_request(card.web_port, f"GET /x?{'q' * 1000} HTTP/1.1\r\nHost: x\r\n"
                                      "Connection: close\r\n\r\n").startswith(b"HTTP/1.1 302")


def test_answers_are_one_formatted_json_chunk(make_card):
    card, base = web_card(make_card)
    s = login(base)
    cookie = "mgs=" + s.cookies["mgs"]
    body = "user=admin"
    out = raw_request(card.web_port,
                      "POST /SetSysPassword HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                      f"Cookie: {cookie}\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      f"Content-Length: {len(body)}\r\n\r\n{body}")
    head, _, rest = out.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200") and b"Transfer-Encoding: chunked" in head
    size, _, rest = rest.partition(b"\r\n")
    doc = rest[:int(size, 16)]
    assert doc == b'{\n\t"result":\t"0",\n\t"errmsg":\t""\n}'
    assert rest[int(size, 16):] == b"\r\n0\r\n\r\n"  # one chunk, then the closing one


def test_result_codes_of_the_password_pages(make_card):
    card, base = web_card(make_card)
    s = login(base)
    # setPasswd goes to the runtime: "ok" on success, "fail" otherwise.
    r = s.post(base + "/setPasswd", data={"user": "admin", "passwd": "wrong", "newpasswd": "n1"})
    assert r.json() == {"result": "fail", "errmsg": ""}
    r = s.post(base + "/setPasswd", data={"user": "admin", "passwd": ADMIN_PASSWORD,
                                          "newpasswd": "n1"})
    assert r.json() == {"result": "ok", "errmsg": ""}
    assert card.setting("passwd_admin") == "n1"
    # user table: "admin" refused with "2", accepted with "1"
    assert s.post(base + "/NetworkRemoteInfo", data={"user_name1": "admin"}).json()["result"] == "2"
    assert s.post(base + "/NetworkRemoteInfo", data={"user_name1": "op"}).json()["result"] == "1"


def test_loopback_agent_passes_only_from_loopback(make_card, foreign_address):
    card, base = web_card(make_card)
    ua = {"User-Agent": "settings"}
    r = requests.get(base + "/NetworkRemoteInfo", headers=ua, allow_redirects=False)
    assert r.status_code == 200 and len(r.json()["data"]) == 8
    r = requests.get("http://[::1]:%d/NetworkRemoteInfo" % card.web_port, headers=ua,
                     allow_redirects=False)
    assert r.status_code == 200
    # The same header from another machine is just another visitor.
    status, headers, _ = request_from(foreign_address, card.web_port, "GET", "/NetworkRemoteInfo", ua)
    assert status == 302 and headers["Location"] == "/login.html"
    status, _, _ = request_from(foreign_address, card.web_port, "POST", "/NetworkRemoteInfo", ua,
                                "user_name1=intruder")
    assert status == 302
    assert card.setting("user_name1") == ""
    # Other user agents from loopback are not the loopback client either.
    assert requests.get(base + "/NetworkRemoteInfo", headers={"User-Agent": "settings2"},
                        allow_redirects=False).status_code == 302


def test_ipv6_loopback_is_served(make_card):
    card, base = web_card(make_card)
    v6 = "http://[::1]:%d" % card.web_port
    r = requests.get(v6 + "/", allow_redirects=False)
    assert r.status_code == 302 and r.headers["Location"] == "/login.html"
    s = login(v6)
    assert s.get(v6 + "/").status_code == 200
    with open(card.path("config/HttpPort")) as f:
        assert f.read() == str(card.web_port)
    with open(card.sys_path("/var/run/dataMonitor/httpPort")) as f:
        assert f.read().strip() == str(card.web_port)


def _make_certificate(card):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-keyout", card.path("www/server.key"),
                    "-out", card.path("www/server.crt")], check=True, capture_output=True)


def test_https_with_a_certificate_made_now(make_card):
    card, base = web_card(make_card, settings={"httpType": "1"}, scheme="https",
                          before_start=_make_certificate)
    r = requests.get(base + "/", verify=False, allow_redirects=False)
    assert r.status_code == 302 and r.headers["Location"] == "/login.html"
    s = login(base)
    assert s.get(base + "/css/app.css").status_code == 200
    # plain HTTP on the TLS port gets no page
    with pytest.raises(requests.exceptions.RequestException):
        requests.get(base.replace("https", "http") + "/", timeout=3)
    assert "ssl error:" in card.app_log()


@pytest.mark.parametrize("broken", ["missing-key", "junk-cert"])
def test_https_without_usable_certificate_serves_nothing(make_card, broken):
    def prepare(card):
        _make_certificate(card)
        if broken == "missing-key":
            os.remove(card.path("www/server.key"))
        else:
            with open(card.path("www/server.crt"), "w") as f:
                f.write("-----BEGIN CERTIFICATE-----\nnonsense\n-----END CERTIFICATE-----\n")
    port = free_port()
    card = make_card(settings={"httpPort": str(port), "httpType": "1"}, start=False)
    prepare(card)
    card.start()
    wait_for(lambda: "ssl error:" in card.app_log(), 10, "ssl error in the log")
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), 1).close()
    assert card.pid()  # the rest of the card keeps running


def test_hostile_requests_leave_the_server_working(make_card):
    card, base = web_card(make_card)
    port = card.web_port
    # header flood: far more header bytes than a request may carry
    flood = "".join(f"X-H{i}: {'v' * 200}\r\n" for i in range(400))
    out = raw_request(port, f"GET / HTTP/1.1\r\nHost: x\r\n{flood}\r\n")
    assert out == b"" or re.match(rb"HTTP/1.1 (413|431|400)", out)
    # body flood to the login form: refused, not stored
    big = b"user=admin&passwd=" + b"p" * (2 * 1024 * 1024)
    out = raw_request(port, b"POST /login.html HTTP/1.1\r\nHost: x\r\nContent-Type: "
                            b"application/x-www-form-urlencoded\r\nContent-Length: %d\r\n\r\n"
                      % len(big) + big)
    assert out == b"" or out.startswith(b"HTTP/1.1 413")
    # junk cookies are no session
    for junk in ["mgs=0", "mgs=zzzz", "mgs=" + "f" * 300, "mgs", ";;;", "mgs=\x7f\x01",
                 "a=b; mgs=-1", "mgs=1ffffffffffffffff"]:
        r = requests.get(base + "/NetworkRemoteInfo", headers={"Cookie": junk},
                         allow_redirects=False)
        assert r.status_code == 302, junk
    # malformed form encoding: the fields count as absent
    r = requests.post(base + "/login.html", data="user=ad%zzmin&passwd=%",
                      headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert "Login incomplete" in r.text
    # a slow client holding a half request does not stop the others
    slow = socket.create_connection(("127.0.0.1", port))
    slow.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
    try:
        s = login(base)
        assert s.get(base + "/sysTime", timeout=5).status_code == 200
    finally:
        slow.close()
    # oversized fields are cut to the handlers' 50-byte buffers
    s.post(base + "/NetworkRemoteInfo", data={"user_name1": "n" * 400, "user_ip1": "é" * 100,
                                              "user_pass1": "p" * 49 + "X"})
    assert card.setting("user_name1") == "n" * 49
    assert card.setting("user_ip1") == "é" * 24
    assert card.setting("user_pass1") == "p" * 49
    assert s.get(base + "/sysTime").status_code == 200
