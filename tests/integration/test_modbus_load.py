"""The Modbus/TCP slave under load: 200 clients polling the input registers
for 10 s each lose no answer and leave cardmon's memory where it was; a
thousand connections at once neither crash it nor keep it from serving the
clients that come after."""
import os
import resource
import socket
import struct
import threading
import time

import pytest

cardlib = pytest.importorskip("cardlib")
from cardlib import STAGE, Card, free_port, wait_for  # noqa: E402

import test_modbus as mb  # noqa: E402

pytestmark = pytest.mark.skipif(
    not os.path.isfile(os.path.join(STAGE, "lib", "libmbtcp_slave.so")),
    reason="the Modbus plug-ins are not staged")

CLIENTS = 200
SECONDS = 10


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


@pytest.fixture
def card(tmp_path):
    port = free_port()
    c = Card(tmp_path, settings={"mbtcp_slavePort": str(port), "enable_485modbus": "0"})
    c.start()
    c.mb_port = port
    wait_for(lambda: listening(port), 15, "the Modbus/TCP listener")
    c.set_signal(60, 40000, ord("Z"))
    yield c
    c.stop()


def poll_for(port, seconds, stats, lock, start, source):
    sent = answered = errors = 0
    try:
        start.wait()
        # The card keeps at most 32 connections per address: the clients come
        # from eight loopback addresses, as masters of a plant would.
        with socket.create_connection(("127.0.0.1", port), timeout=10,
                                      source_address=(source, 0)) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            end = time.monotonic() + seconds
            tid = 0
            while time.monotonic() < end:
                tid = (tid + 1) & 0xFFFF
                s.sendall(mb.tcp_frame(4, 513, 100, tid=tid))
                sent += 1
                a = mb.tcp_answer(s, timeout=10)
                if len(a) == 9 + 200 and struct.unpack(">H", a[:2])[0] == tid and a[9] == ord("Z"):
                    answered += 1
                else:
                    errors += 1
                    break
    except OSError:
        errors += 1
    with lock:
        stats["sent"] += sent
        stats["answered"] += answered
        stats["errors"] += errors


def test_200_clients_poll_without_loss_and_memory_returns(card):
    pid = card.pid()
    # Warm up once so that the idle figure includes the first connection's costs.
    assert mb.read_input(card.mb_port, 513, 100)[0] >> 8 == ord("Z")
    idle = rss_kib(pid)
    stats = {"sent": 0, "answered": 0, "errors": 0}
    lock = threading.Lock()
    start = threading.Event()
    threads = [threading.Thread(target=poll_for, args=(card.mb_port, SECONDS, stats, lock, start,
                                                       f"127.0.0.{1 + i % 8}"))
               for i in range(CLIENTS)]
    for t in threads:
        t.start()
    start.set()
    peak = idle
    deadline = time.monotonic() + SECONDS + 60
    for t in threads:
        while t.is_alive() and time.monotonic() < deadline:
            peak = max(peak, rss_kib(pid))
            t.join(0.25)
    assert stats["errors"] == 0, stats
    assert stats["answered"] == stats["sent"] > CLIENTS, stats
    # Connections are gone once the clients are; memory settles back near idle.
    wait_for(lambda: rss_kib(pid) <= idle + 512, 20,
             f"VmRSS back near idle ({idle} KiB, peak {peak} KiB)")
    print(f"requests {stats['answered']} in {SECONDS}s by {CLIENTS} clients; "
          f"VmRSS idle {idle} KiB, peak {peak} KiB, after {rss_kib(pid)} KiB")


def test_thousand_connections_at_once(card):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    socks = []
    try:
        for _ in range(1000):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", card.mb_port))
            socks.append(s)
        time.sleep(0.5)  # let the listener take them in
        # Send a request on every connection; the ones beyond the limit are closed.
        for s in socks:
            try:
                s.send(mb.tcp_frame(4, 513, 1))
            except OSError:
                pass
        assert card.pid(), "cardmon is gone"
    finally:
        for s in socks:
            s.close()
    wait_for(lambda: mb.read_input(card.mb_port, 513, 1)[0] >> 8 == ord("Z"), 15,
             "a new client to be served after the crowd")
    assert card.pid()
