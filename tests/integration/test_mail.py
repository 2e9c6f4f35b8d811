"""E-mail notification of a running card through the real msmtp and mutt, to
an SMTP server on loopback (aiosmtpd): a mains failure in the simulated UPS
mails every recipient whose mask selects it, its clearing mails them again,
alarm 30 mails nobody, bit 24 selects every sensor temperature alarm, the
daily report goes once to each report recipient with the day's CSV attached;
over TLS and STARTTLS the test button's mail and /EmailTestResult, the
subject and charset of each language, and the records in smtp_record."""

import email
import email.policy
import logging
import os
import re
import ssl
import stat
import subprocess
import threading
import time

import pytest

cardlib = pytest.importorskip("cardlib")
from cardlib import Card, wait_for  # noqa: E402

aiosmtpd_controller = pytest.importorskip("aiosmtpd.controller")
from aiosmtpd.smtp import AuthResult  # noqa: E402

simlib = pytest.importorskip("simlib")
from simlib import RegupsSim  # noqa: E402
from pages_helpers import web_card  # noqa: E402

LINK = -1
ON_BATTERY = 20001
MAILS = 45  # start of the mains failure to a mail: driver poll, alarm pass, send


class SmtpSink:
    """An SMTP server on 127.0.0.1 that keeps every message it is given.

        sink = SmtpSink()                      # plain; tls=ctx: SMTPS;
        sink = SmtpSink(starttls=ctx)          # STARTTLS required before MAIL
        sink.messages -> [Received(rcpt, msg, at, tls)], sink.logins -> [(user, password)]
    """

    class Received:
        def __init__(self, rcpt, raw, tls):
            self.rcpt = rcpt
            self.raw = raw
            self.msg = email.message_from_bytes(raw, policy=email.policy.default)
            self.at = time.monotonic()
            self.tls = tls

        @property
        def subject(self):
            return str(self.msg["subject"])

        def text(self):
            part = next(p for p in self.msg.walk() if p.get_content_type() == "text/plain")
            return part.get_content()

        def charset(self):
            part = next(p for p in self.msg.walk() if p.get_content_type() == "text/plain")
            return part.get_content_charset()

    def __init__(self, tls=None, starttls=None, port=None):
        logging.getLogger("mail.log").setLevel(logging.ERROR)  # aiosmtpd's own notices
        self.messages = []
        self.logins = []
        self.lock = threading.Lock()
        self.port = port or cardlib.free_port()
        sink = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                # STARTTLS sets session.ssl; SMTPS shows on the transport.
                tls = (session.ssl is not None
                       or server.transport.get_extra_info("ssl_object") is not None)
                with sink.lock:
                    for rcpt in envelope.rcpt_tos:
                        sink.messages.append(SmtpSink.Received(
                            rcpt, envelope.original_content, tls))
                return "250 OK"

        def authenticate(server, session, envelope, mechanism, data):
            sink.logins.append((data.login.decode(), data.password.decode()))
            return AuthResult(success=True)

        kwargs = dict(hostname="127.0.0.1", port=self.port, authenticator=authenticate,
                      auth_require_tls=False)
        if tls:
            kwargs["ssl_context"] = tls
        if starttls:
            kwargs.update(tls_context=starttls, require_starttls=True)
        self.controller = aiosmtpd_controller.Controller(Handler(), **kwargs)
        self.controller.start()

    def to(self, rcpt, subject=None, last_line=None):
        with self.lock:
            return [m for m in self.messages
                    if m.rcpt == rcpt and (subject is None or m.subject == subject)
                    and (last_line is None or m.text().splitlines()[-1] == last_line)]

    def stop(self):
        self.controller.stop()


@pytest.fixture(scope="module")
def server_tls(tmp_path_factory):
    """A certificate made now, as a server context."""
    d = tmp_path_factory.mktemp("cert")
    key, cert = d / "key.pem", d / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=localhost", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True)
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(str(cert), str(key))
    return ctx


@pytest.fixture
def sinks():
    made = []

    def make(**kw):
        s = SmtpSink(**kw)
        made.append(s)
        return s

    yield make
    for s in made:
        s.stop()


def mail_settings(port, **extra):
    s = {"smtp_enable": "1", "email_server_address": "127.0.0.1", "email_port": str(port),
         "login_flag": "1", "auth_flag": "0", "email_starttls": "0",
         "email_username": "card", "email_password": 'pa ss"w\\rd',
         "from_email_address": "ups@example.com", "sent_event_flag": "1",
         "System_Name": "UPS Room 2", "System_Admin": "Ann", "System_Location": "Hall B",
         "Module_Language": "0"}
    s.update({k: str(v) for k, v in extra.items()})
    return s


def records(card):
    try:
        return sorted(card.query("smtp_record.db", "select name, Alarm_Id from smtp_record"))
    except Exception:  # the store may be creating the file
        return []


def card_time(card):
    """The card's local time: the machine's clock in the zone the card set
    itself at start (config/Timezone holds its POSIX name, "GMT-8:00")."""
    with open(card.path("config/Timezone"), "rb") as f:
        zone = f.read().split(b"\0")[0].decode()
    m = re.search(r"GMT([+-])(\d+):(\d+)", zone)
    west = (1 if m.group(1) == "+" else -1) * (int(m.group(2)) * 3600 + int(m.group(3)) * 60)
    return time.gmtime(time.time() - west)


@pytest.fixture
def sim(tmp_path):
    s = RegupsSim(tmp_path / "sim", model=299)
    yield s
    s.stop()


def test_mains_failure_alarm_mails_and_the_daily_report(tmp_path, sim, sinks):
    sink = sinks()
    settings = mail_settings(
        sink.port, ups_type=4, ups_addr=1, ups_baudRate=9600, communication_timeout=3,
        ups_data_record_minute=0, daily_report_flag=1, report_time="",
        # alarm 1 (on battery) is bit 3
        to_email_address_0="ops@example.com", email_event_0=1 << 3,
        to_email_address_1="fans@example.com", email_event_1=1 << 15,
        to_email_address_2="all@example.com", email_event_2=0xFFFFFFFF,
        to_email_address_3="temp@example.com", email_event_3=1 << 24,
        day_to_email_address_0="day1@example.com", day_to_email_address_2="day2@example.com")
    card = Card(tmp_path / "c", settings=settings, ports={1: sim.card_tty})
    card.start()
    try:
        wait_for(lambda: card.signal(60, LINK) == 1, timeout=30, what="UPS link up")
        # The store writes today's report file from the UPS samples; once it is
        # there, the report is due at the start of the next minute.
        day = time.strftime("%Y-%m-%d", card_time(card))
        csv = card.path(f"data/EmailReport/email_report{day}.csv")
        wait_for(lambda: os.path.exists(csv) and open(csv, "rb").read().count(b"\n") >= 2,
                 timeout=20,
                 what="today's report file")
        now = card_time(card)
        report_at = (now.tm_hour * 60 + now.tm_min + 1) % (24 * 60)
        card.set_setting("report_time", f"{report_at // 60}:{report_at % 60:02d}")

        sim.scenario("mains_failure")
        wait_for(lambda: card.signal(60, ON_BATTERY) == 1, timeout=10, what="on battery")
        # The recipient of every bit also gets whatever else the failure raises.
        for rcpt in ("ops@example.com", "all@example.com"):
            m, = wait_for(lambda: sink.to(rcpt, "Alarm event", "[System Status]Battery powered"),
                          timeout=MAILS, what=f"alarm mail to {rcpt}")
            assert m.charset() == "utf-8"
            assert m.text().splitlines() == [
                "System Name: UPS Room 2", "System Administrator: Ann", "System Location: Hall B",
                "[System Status]Battery powered"]
            assert m.msg["From"] == "ups@example.com" and m.msg["To"] == rcpt
        assert sink.logins[0] == ("card", 'pa ss"w\\rd')

        sim.scenario("mains_return")
        for rcpt in ("ops@example.com", "all@example.com"):
            m, = wait_for(lambda: sink.to(rcpt, "Alarm disappears",
                                          "[System Status]The end of the battery powered"),
                          timeout=MAILS, what=f"clearing mail to {rcpt}")
        assert len(sink.to("ops@example.com")) == 2

        # Alarm 30 mails nobody; posted before the sensor alarms, it would be
        # mailed before them.
        card.event(1, 30)
        for code in (38, 40, 43, 51):
            card.event(1, code)
        wait_for(lambda: len(sink.to("temp@example.com")) >= 3, timeout=20,
                 what="sensor temperature mails")
        texts = sorted(m.text().splitlines()[-1] for m in sink.to("temp@example.com"))
        assert texts == [
            "[Alarm]Temperature and humidity module 1 temperature is too high",
            "[Alarm]Temperature and humidity module 2 temperature is too low",
            "[Alarm]Temperature and humidity module 4 temperature is too low"]
        # Every mail to the recipient of every bit names its alarm: none came for 30.
        for m in sink.to("all@example.com"):
            assert len(m.text().splitlines()) == 4 and m.text().splitlines()[3].startswith("[")
        assert sink.to("fans@example.com") == []

        # The daily report: once per recipient, with the day's file attached.
        for rcpt in ("day1@example.com", "day2@example.com"):
            m, = wait_for(lambda: sink.to(rcpt), timeout=75, what=f"daily report to {rcpt}")
            assert m.subject == "Daily Mail"
            assert m.msg["From"].addresses[0].addr_spec == "ups@example.com"
            attached = [p for p in m.msg.iter_attachments()]
            assert [p.get_filename() for p in attached] == [f"email_report{day}.csv"]
            lines = attached[0].get_payload(decode=True).replace(b"\r\n", b"\n").splitlines()
            on_card = open(csv, "rb").read().splitlines()
            assert lines[0] == on_card[0] and len(lines) >= 2 and lines[1] in on_card
            assert "System Name: UPS Room 2" in m.text()
        # More passes in the report minute send no second report.
        card.event(1, 39)
        wait_for(lambda: len(sink.to("temp@example.com")) == 4, timeout=20, what="marker mail")
        assert len(sink.to("day1@example.com")) == len(sink.to("day2@example.com")) == 1

        def rows_of(rcpt):
            return sorted(r[1] for r in records(card) if r[0] == rcpt)
        wait_for(lambda: len(rows_of("temp@example.com")) == 4 and rows_of("day2@example.com"),
                 timeout=10, what="smtp_record rows")
        assert rows_of("ops@example.com") == ["1", "501"]
        assert rows_of("temp@example.com") == sorted(["38", "43", "51", "39"])
        assert rows_of("day1@example.com") == ["55"]
        assert {"1", "501", "38", "40", "43", "51", "39"} <= set(rows_of("all@example.com"))
        assert "30" not in {r[1] for r in records(card)}

        conf = card.sys_path("etc/msmtp.conf")
        assert stat.S_IMODE(os.stat(conf).st_mode) == 0o600
        with open(conf) as f:
            assert f.read().splitlines()[:3] == ["host 127.0.0.1", f"port {sink.port}",
                                                 "auth login"]
    finally:
        card.stop()


def test_test_mail_tls_starttls_and_languages(make_card, sinks, server_tls):
    smtps = sinks(tls=server_tls)
    starttls = sinks(starttls=server_tls)
    card, web = web_card(make_card, mail_settings(
        smtps.port, auth_flag=1, Module_Language=3, System_Name="Sunucu Odası",
        to_email_address_0="t@example.com", email_event_0=1 << 6))  # alarm 5 is bit 6

    # The test button: its mail over SMTPS, then its line in /EmailTestResult.
    assert web.post_json("/EmailTest", {"email_Test_recpt": "me@example.com"})["result"] == "ok"
    m, = wait_for(lambda: smtps.to("me@example.com"), timeout=20, what="test mail")
    assert m.tls and m.subject == "deneme postası" and m.charset() == "utf-8"
    assert m.text().splitlines()[0] == "Sistem Adı: Sunucu Odası"
    result = wait_for(lambda: web.json("/EmailTestResult")["data"], timeout=10,
                      what="test result")
    assert "tls=on" in result[0] and "recipients=me@example.com" in result[0]
    assert "smtpstatus=250" in result[0] and "pa ss" not in result[0]
    assert smtps.logins == [("card", 'pa ss"w\\rd')]

    # STARTTLS: the server refuses mail before it; a Turkish alarm in UTF-8.
    card.set_setting("email_port", str(starttls.port))
    card.set_setting("email_starttls", "1")
    card.event(1, 5)
    m, = wait_for(lambda: starttls.to("t@example.com"), timeout=20, what="alarm over STARTTLS")
    assert m.tls and m.subject == "olay uyarısı" and m.charset() == "utf-8"
    assert m.text().splitlines()[-1] == "[Alarm]Giriş arızası"

    # Simplified Chinese goes out in GB2312 (a name that GB2312 cannot hold
    # would send the message in UTF-8 instead).
    card.set_setting("Module_Language", "1")
    card.set_setting("System_Name", "机房")
    card.event(7, 5)
    m, = wait_for(lambda: starttls.to("t@example.com", "告警消失"), timeout=20,
                  what="Chinese clearing mail")
    assert m.charset() == "gb2312"
    assert m.text().splitlines()[0] == "系统名称: 机房"
    assert m.text().splitlines()[-1] == "[告警]输入正常"

    # A new test mail starts a new client log: the page shows this one's line.
    card.set_setting("email_port", "1")  # nobody listens there
    assert web.post_json("/EmailTest", {"email_Test_recpt": "me@example.com"})["result"] == "ok"
    wait_for(lambda: "exitcode=EX_TEMPFAIL" in (web.json("/EmailTestResult")["data"] or [""])[0],
             timeout=20, what="failed test mail in the result")

    wait_for(lambda: records(card) == sorted([("me@example.com", "54"), ("t@example.com", "5"),
                                             ("t@example.com", "505"),
                                             ("me@example.com", "54")]),
             timeout=10, what="smtp_record rows")


def test_alarm_mails_wait_for_a_server_that_is_down(make_card, sinks):
    port = cardlib.free_port()  # nobody listens there yet
    card = make_card(settings=mail_settings(port, to_email_address_0="w@example.com",
                                            email_event_0=1 << 6))
    card.event(1, 5)
    card.event(7, 5)
    wait_for(lambda: "mail server not reached" in card.app_log(), timeout=15,
             what="mails held back")
    assert records(card) == []
    # The server comes back: both go out, in order.
    sink = sinks(port=port)
    wait_for(lambda: len(sink.to("w@example.com")) == 2, timeout=30, what="held mails sent")
    assert [m.subject for m in sink.to("w@example.com")] == ["Alarm event", "Alarm disappears"]
