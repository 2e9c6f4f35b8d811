"""A UPS behind a serial-device server: port 1's config/ports.conf entry is
"tcp:127.0.0.1:PORT", socat listens there (loopback only) and carries the bytes to
the register-map UPS simulator's line. The card polls it as it polls a serial
line, shows its values, and polls again once the server is back after it went
away."""
import os
import signal
import subprocess

import pytest
from cardlib import Card, free_port, wait_for

from simlib import RegupsSim
from test_regups_a import CARD_SETTINGS, LINK, wait_match


class SerialServer:
    """socat as a serial-device server: one TCP client at a time, on loopback."""

    def __init__(self, port, tty):
        self.port, self.tty, self.proc = port, tty, None

    def start(self):
        self.proc = subprocess.Popen(
            ["socat", f"TCP-LISTEN:{self.port},bind=127.0.0.1,reuseaddr,fork",
             f"FILE:{self.tty},raw,echo=0"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        return self

    def stop(self):
        # The child that serves the open connection goes with the listener.
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            self.proc.wait(5)


@pytest.fixture
def setup(tmp_path):
    sim = RegupsSim(tmp_path / "sim", model=299)
    server = SerialServer(free_port(), sim.card_tty).start()
    card = Card(tmp_path, settings=CARD_SETTINGS, ports={1: f"tcp:127.0.0.1:{server.port}"})
    card.start()
    yield card, sim, server
    card.stop()
    server.stop()
    sim.stop()


def test_ups_behind_a_tcp_port_is_polled_like_a_serial_one(setup):
    card, sim, server = setup
    wait_for(lambda: card.signal(60, LINK) == 1, timeout=20, what="link up over TCP")
    wait_match(card, sim, "normal values over TCP")
    sim.scenario("mains_failure")
    wait_match(card, sim, "mains failure over TCP")
    assert "opened tcp:127.0.0.1:%d" % server.port in card.app_log()
    # Every byte is traced as hex in the connection's own file (by TCP port):
    # the poll for the UPS's identity, a Modbus request to address 1.
    trace = card.read("data/%d.log" % server.port)
    assert "%d send:" % server.port in trace and "%d recv:" % server.port in trace
    assert "01 04 00 00 " in trace or "01 02 00 00 " in trace or "01 03 00 00 " in trace

    # The server goes away: the UPS is lost. Back on the same port, the card
    # connects again by itself and the values follow the UPS again.
    server.stop()
    wait_for(lambda: card.signal(60, LINK) == 0, timeout=30, what="link down")
    server.start()
    wait_for(lambda: card.signal(60, LINK) == 1, timeout=30, what="link up after reconnect")
    sim.scenario("normal")
    wait_match(card, sim, "normal values after reconnect")
