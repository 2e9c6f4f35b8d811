"""The SMS task in a running card with a GSM modem simulator on port 7 and the
register-map UPS simulator on port 1: the modem is set up and published, a
mains failure reaches the alarm recipient as a UCS-2 message that decodes to
the configured language's text, alarms raised while the SIM is gone are sent
once it is back, only allowed numbers operate the UPS (an XTGJ from a
recipient with control rights shuts the UPS down and is recorded as
"Sms:<number>"), and the web page's modem console talks to the modem through
the task."""
import socket

import pytest

cardlib = pytest.importorskip("cardlib")
from cardlib import Card, free_port, wait_for  # noqa: E402
from pages_helpers import Web  # noqa: E402
from simlib import GsmSim, RegupsSim  # noqa: E402

ALARM_RECIPIENT = "+8613800138000"
CONTROLLER = "+8613900139000"
STRANGER = "+8613700137000"
SHUTDOWN_REG = 0x8008
SIM_NOT_INSTALLED = 20058
ON_BATTERY = 20001


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("sms")
    ups = RegupsSim(tmp / "ups", model=299)
    gsm = GsmSim(tmp / "gsm", model="MG323")
    port = free_port()
    settings = {
        "ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600", "communication_timeout": "3",
        "httpPort": str(port), "SystemStartCount": "1",
        "sms_enable": "1", "sms_alarm_is_enable": "1", "Module_Language": "3",  # Turkish
        "sms_recpt_0": ALARM_RECIPIENT, "sms_event_0": str(1 << 0 | 1 << 3),  # battery, input
        "sms_recpt_1": CONTROLLER, "sms_event_1": "0", "sms_ctrl_1": "1",
    }
    card = Card(tmp / "card", settings=settings, ports={1: ups.card_tty, 7: gsm.card_tty})
    card.start()
    wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True, 15,
             "web listener")
    wait_for(lambda: card.signal(60, -1) == 1, 30, "UPS link up")
    yield card, Web(port), ups, gsm
    card.stop()
    gsm.stop()
    ups.stop()


def texts_to(gsm, number):
    return [m["text"] for m in gsm.outbox() if m["number"] == number]


def test_the_modem_is_set_up_and_published(rig):
    card, web, _, gsm = rig
    wait_for(lambda: card.setting("sms_conf") == "1", 20, "sms_conf 1")
    status = web.json("/SmsStatus")
    assert status["show_sms_conf"] == "1"
    assert status["show_sms_signal"] == "-73dB/64%"  # the simulator's signal 20
    assert status["show_sms_operater"] == "SIM-NET"
    assert status["show_sms_model"] == "MG323"
    assert card.setting("sms_center") == "+15550000000"
    sent = gsm.commands()
    assert sent[:6] == ["AT", "ATE0", "AT+CMGF=1", "ATI4", "AT+CPMS=SM", "AT+CNMI=0,1,0,0,1"]
    for sig in range(20057, 20061):
        assert card.signal(60, sig) == 0


def test_mains_failure_reaches_the_recipient_in_turkish(rig):
    card, _, ups, gsm = rig
    wait_for(lambda: card.setting("sms_conf") == "1", 20, "sms_conf 1")
    gsm.clear_outbox()
    ups.scenario("mains_failure")
    got = wait_for(lambda: (lambda t: t if {"Aküden besleniyor", "Giriş arızası"} <= set(t)
                            else None)(texts_to(gsm, ALARM_RECIPIENT)), 30,
                   "both alarm messages in the outbox")
    # Sent in UCS-2 with the configured data coding scheme: ş and ı whole.
    msg = next(m for m in gsm.outbox() if m["text"] == "Giriş arızası")
    assert msg["charset"] == "UCS2" and msg["dcs"] == 24
    assert "015F" in msg["raw_body"] and "0131" in msg["raw_body"]
    assert got.count("Aküden besleniyor") == 1
    assert texts_to(gsm, CONTROLLER) == []  # its event mask is empty
    rows = wait_for(lambda: card.query("sms_info.db", "select name, Alarm_Id from sms_record"),
                    10, "sms_record rows")
    assert (ALARM_RECIPIENT, "1") in [(r[0], str(r[1])) for r in rows]


def test_alarms_while_the_sim_is_lost_are_sent_when_it_is_back(rig):
    card, _, ups, gsm = rig
    wait_for(lambda: card.signal(60, ON_BATTERY) == 1, 20, "on battery")
    gsm.fault("no_sim")
    wait_for(lambda: card.setting("sms_conf") == "0", 15, "sms_conf 0")
    gsm.clear_outbox()
    ups.scenario("mains_return")
    wait_for(lambda: "alarm 1 ended, posted on channel 7" in card.app_log(), 20,
             "the end of alarm 1 posted")
    assert gsm.outbox() == []
    gsm.fault("no_sim", False)
    wait_for(lambda: "Aküden besleme sona erdi" in texts_to(gsm, ALARM_RECIPIENT), 60,
             "the held message after the SIM came back")
    assert card.signal(60, SIM_NOT_INSTALLED) == 0


def shutdowns(ups):
    return [w for w in ups.writes() if w["reg"] == SHUTDOWN_REG]


def test_only_allowed_numbers_shut_the_ups_down(rig):
    card, _, ups, gsm = rig
    wait_for(lambda: card.setting("sms_conf") == "1", 60, "sms_conf 1")
    ups.clear_writes()
    gsm.deliver(STRANGER, "XTGJ583041")
    wait_for(lambda: "Phone number is not registered user_telephone:" + STRANGER
             in card.app_log(), 20, "the stranger's command refused")
    wait_for(lambda: gsm.inbox() == [], 10, "the read message deleted")
    assert shutdowns(ups) == []

    # The recipient with control rights, listed in UCS-2 by the modem.
    gsm.deliver(CONTROLLER, "XTGJ", ucs2=True)
    w = wait_for(lambda: shutdowns(ups), 20, "the shutdown register write")
    assert w[0]["values"] == [1]
    rows = wait_for(lambda: card.query(
        "alarm_info.db", "select Alarm_Id, Source from history_alarm where Source like 'Sms:%'"),
        10, "the control row")
    assert [(str(a), s) for a, s in rows] == [("154", "Sms:" + CONTROLLER)]


def test_the_web_modem_console_talks_to_the_modem(rig):
    card, web, _, gsm = rig
    wait_for(lambda: card.setting("sms_conf") == "1", 60, "sms_conf 1")

    def exchange(coding, text):
        assert web.post_json("/PrintPortLog", {"coding": coding, "porttype": "1",
                                              "senddata": text})["result"] == "ok"
        return wait_for(lambda: (lambda a: a["totalnum"] >= 2 and a["data"])(
            web.json("/PrintPortLog", coding=coding, porttype=1)), 10, "the transcript")

    send, recv = exchange("0", "AT+CGMM")[:2]
    assert send.startswith("send:") and send.endswith("AT+CGMM")
    assert recv.startswith("recv:") and recv.endswith("MG323 OK")
    assert "AT+CGMM" in gsm.commands()

    send, recv = exchange("1", "41 54 2B 43 53 51 0D")[:2]  # AT+CSQ CR
    assert send.endswith(" 41 54 2b 43 53 51 0d ")
    answer = bytes(int(x, 16) for x in recv[29:].split())
    assert b"+CSQ: 20,99" in answer and answer.endswith(b"OK\r\n")
