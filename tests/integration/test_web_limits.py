"""One address cannot take the card's web away from another. Failed logins
are counted per source address, so a password guesser locks out only
himself; connections are capped per address and every request must send its
whole header within a deadline, so idle or trickling connections from one
address never keep another out. Each case measures how long until the card
serves again and prints it (pytest -s)."""
import http.client
import socket
import time

from cardlib import wait_for
from test_security import try_login
from test_web import ADMIN_PASSWORD, web_card

GUESSER, ADMIN_AT, HOLDER, VISITOR, TRICKLER = (
    "127.0.0.7", "127.0.0.8", "127.0.0.9", "127.0.0.10", "127.0.0.11")


def login_page_from(port, source, timeout=5):
    """Seconds until source got the login page, or None when it did not."""
    t0 = time.monotonic()
    with socket.socket() as s:
        s.settimeout(timeout)
        s.bind((source, 0))
        try:
            s.connect(("127.0.0.1", port))
            s.sendall(b"GET /login.html HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            out = b""
            while chunk := s.recv(65536):
                out += chunk
        except OSError:
            return None
    return time.monotonic() - t0 if b"200 OK" in out and b"passwd" in out else None


def test_ten_bad_logins_from_one_address_leave_the_administrator_at_another_in(
        make_card, monkeypatch):
    monkeypatch.setenv("CARDMON_TEST_LOGIN_WINDOW", "4")
    card, base = web_card(make_card)
    for _ in range(10):
        assert "Login refused" in try_login(base, "admin", "guess", GUESSER)[1].text
    # the guesser's window is closed, even for the right password ...
    assert "Login refused" in try_login(base, "admin", ADMIN_PASSWORD, GUESSER)[1].text
    assert "ten failed logins: logins from 127.0.0.7 refused" in card.app_log()
    # ... and the administrator elsewhere logs in at once
    t0 = time.monotonic()
    _, r = try_login(base, "admin", ADMIN_PASSWORD, ADMIN_AT)
    took = time.monotonic() - t0
    assert r.status_code == 302 and took < 1, took
    assert try_login(base, "admin", ADMIN_PASSWORD)[1].status_code == 302  # 127.0.0.1 too
    t0 = time.monotonic()
    wait_for(lambda: try_login(base, "admin", ADMIN_PASSWORD, GUESSER)[1].status_code == 302,
             12, "the guesser's window to restart")
    print(f"\nadministrator at another address: {took * 1000:.0f} ms; "
          f"guesser's own window reopened after {time.monotonic() - t0:.1f} s (window 4 s)")


def test_one_address_holding_300_connections_keeps_nobody_else_out(make_card, monkeypatch):
    monkeypatch.setenv("CARDMON_TEST_HEADER_DEADLINE", "3")
    card, base = web_card(make_card)
    held = []
    try:
        for i in range(300):  # idle ones and half-sent requests, alternately
            s = socket.socket()
            s.bind((HOLDER, 0))
            try:
                s.connect(("127.0.0.1", card.web_port))
                if i % 2:
                    s.sendall(b"GET /login.html HTTP/1.1\r\nHost: x\r\n")
            except OSError:
                pass  # refused at once: beyond the address's share
            held.append(s)
        took = login_page_from(card.web_port, VISITOR)
        assert took is not None and took < 1, took
        # the holder itself is served again once its overdue connections are cut
        t0 = time.monotonic()
        wait_for(lambda: login_page_from(card.web_port, HOLDER, timeout=1), 10,
                 "the holding address to be served again")
        back = time.monotonic() - t0
        assert back < 3 + 2, back
    finally:
        for s in held:
            s.close()
    print(f"\nother address got the login page in {took * 1000:.0f} ms while 300 connections "
          f"were held; the holder was served again after {back:.1f} s (deadline 3 s)")


def test_a_header_trickling_in_is_cut_at_its_deadline(make_card, monkeypatch):
    monkeypatch.setenv("CARDMON_TEST_HEADER_DEADLINE", "3")
    card, base = web_card(make_card)
    with socket.socket() as s:
        s.bind((TRICKLER, 0))
        s.connect(("127.0.0.1", card.web_port))
        s.settimeout(0.5)
        s.sendall(b"GET /login.html HTTP/1.1\r\nHost: x\r\n")
        t0 = time.monotonic()
        closed = None
        for n in range(20):  # a header line every half second, never the end
            try:
                s.sendall(b"X-%d: y\r\n" % n)
                if s.recv(1) == b"":
                    closed = time.monotonic() - t0
                    break
            except socket.timeout:
                continue
            except OSError:
                closed = time.monotonic() - t0
                break
    assert closed is not None and 2.5 < closed < 3 + 1.5, closed
    # requests whose header is in time are answered as ever
    conn = http.client.HTTPConnection("127.0.0.1", card.web_port, timeout=3)
    try:
        for _ in range(2):
            conn.request("GET", "/login.html")
            r = conn.getresponse()
            assert r.status == 200 and b"passwd" in r.read()
            time.sleep(1)
    finally:
        conn.close()
    print(f"\na header trickling in was cut after {closed:.1f} s (deadline 3 s)")
