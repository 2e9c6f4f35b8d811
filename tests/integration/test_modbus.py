"""The card's Modbus slaves seen from third-party masters: pymodbus and mbpoll
over TCP, mbpoll and raw frames over a pseudo-terminal for the RTU slave.
Reads show the register map, malformed and out-of-range requests get the
exception answers (or silence), writes change settings, set the clock and send
UPS commands."""
import os
import re
import socket
import struct
import subprocess
import sys
import time

import pytest

cardlib = pytest.importorskip("cardlib")
from cardlib import STAGE, Card, PtyPair, free_port, wait_for  # noqa: E402


# ---- raw Modbus helpers (also used by test_modbus_load.py): exact frames on a
# socket or a serial line, so that exception codes, silence and framing are
# checked byte for byte; pymodbus and mbpoll cover the ordinary reads.

def tcp_frame(function, a, b, unit=1, tid=1, protocol=0):
    return struct.pack(">HHHBBHH", tid, protocol, 6, unit, function, a, b)


def tcp_write_many(start, regs, unit=1, tid=1):
    body = struct.pack(">BBHHB", unit, 16, start, len(regs), 2 * len(regs))
    body += b"".join(struct.pack(">H", r) for r in regs)
    return struct.pack(">HHH", tid, 0, len(body)) + body


def recv_exact(sock, n, timeout=3.0):
    sock.settimeout(timeout)
    data = b""
    while len(data) < n:
        try:
            chunk = sock.recv(n - len(data))
        except socket.timeout:
            break
        if not chunk:
            break
        data += chunk
    return data


def tcp_answer(sock, timeout=3.0):
    """One whole answer (header + body), or b"" when none comes in time."""
    head = recv_exact(sock, 6, timeout)
    if len(head) < 6:
        return head
    (length,) = struct.unpack(">H", head[4:6])
    return head + recv_exact(sock, length, timeout)


def exception_code(answer, function):
    """The exception code of an answer, None if it is not an exception."""
    if len(answer) == 9 and answer[7] == (function + 0x80) & 0xFF:
        return answer[8]
    return None


def connect(port, host="127.0.0.1", timeout=5.0):
    s = socket.create_connection((host, port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_input(port, start, count, tid=7):
    with connect(port) as s:
        s.sendall(tcp_frame(4, start, count, tid=tid))
        a = tcp_answer(s)
    assert len(a) == 9 + 2 * count, a
    return list(struct.unpack(">%dH" % count, a[9:]))


# ---- RTU ----

def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return struct.pack("<H", crc)


def rtu_frame(addr, function, a, b):
    body = struct.pack(">BBHH", addr, function, a, b)
    return body + crc16(body)


def rtu_transact(ser, frame, expect, timeout=2.0):
    """Sends a frame and collects up to `expect` bytes (fewer on silence)."""
    ser.reset_input_buffer()
    ser.write(frame)
    ser.flush()
    deadline = time.monotonic() + timeout
    data = b""
    while len(data) < expect and time.monotonic() < deadline:
        data += ser.read(expect - len(data))
    return data


def mbpoll(*args, timeout=20):
    r = subprocess.run(["mbpoll", "-1", "-0", *map(str, args)], capture_output=True, text=True,
                       timeout=timeout)
    return r.returncode, r.stdout + r.stderr


def mbpoll_values(output):
    """{reference: value} from mbpoll's "[513]: 16706" lines."""
    return {int(m.group(1)): int(m.group(2))
            for m in re.finditer(r"^\[(\d+)\]:\s+(-?\d+)", output, re.M)}


mb = sys.modules[__name__]

pytestmark = pytest.mark.skipif(
    not os.path.isfile(os.path.join(STAGE, "lib", "libmbtcp_slave.so")),
    reason="the Modbus plug-ins are not staged")

serial = pytest.importorskip("serial")


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


def start_card(tmp, settings=None, ports=None):
    port = free_port()
    # the tests' master writes too: only a listed master may (see test_security.py)
    s = {"mbtcp_slavePort": str(port), "enable_485modbus": "1", "485modbus_slave_addr": "1",
         "ths_baudRate": "9600", "tcp_modbus_ip1": "127.0.0.1"}
    s.update(settings or {})
    card = Card(tmp, settings=s, ports=ports)
    card.start()
    card.mb_port = port
    wait_for(lambda: listening(port), 15, "the Modbus/TCP listener")
    return card


def set_text(card, base, text):
    for i in range(16):
        card.set_signal(60, base + i, ord(text[i]) if i < len(text) else 0)


@pytest.fixture(scope="module")
def card(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("modbus")
    pair = PtyPair(tmp, "rs485")
    c = start_card(tmp, {"System_Name": "Rack 7", "in_templ1": "10.0", "in_temph1": "40.0"},
                   ports={3: pair.b})
    c.rs485 = pair.a
    set_text(c, 40000, "ABC")
    c.set_signal(60, 40133, 229.9)
    c.set_signal(60, 40106, -1.5)
    c.set_signal(60, 20001, 1)
    yield c
    c.stop()
    pair.close()


# ------------------------------------------------------------------ reads

def test_pymodbus_reads_input_registers_text_and_discrete_inputs(card):
    from pymodbus.client import ModbusTcpClient

    client = ModbusTcpClient("127.0.0.1", port=card.mb_port, timeout=3)
    assert client.connect()
    try:
        rr = client.read_input_registers(513, 8, slave=1)
        assert not rr.isError(), rr
        assert rr.registers == [ord("A") << 8 | ord("B"), ord("C") << 8, 0, 0, 0, 0, 0, 0]
        rr = client.read_input_registers(262, 5, slave=1)
        assert rr.registers[0] == (-15) & 0xFFFF  # battery current x10, signed
        assert rr.registers[4] == 229  # input voltage A
        rr = client.read_input_registers(625, 4, slave=1)
        assert rr.registers == [0x4657, 0x3032, 0x4B31, 0x3300]  # "FW02K13"
        rr = client.read_input_registers(657, 4, slave=1)
        assert rr.registers == [0x5261, 0x636B, 0x2037, 0]  # "Rack 7"
        rr = client.read_discrete_inputs(257, 8, slave=1)
        assert not rr.isError(), rr
        assert rr.bits[2] is True  # 259: on battery
        rr = client.read_discrete_inputs(290, 1, slave=1)
        assert rr.bits[0] is True  # constant 1
        rr = client.read_holding_registers(30, 2, slave=1)
        assert rr.registers == [30, 60]  # limits + 20
    finally:
        client.close()


def test_both_address_families_are_served(card):
    if not socket.has_ipv6:
        pytest.skip("no IPv6 on this machine")
    with socket.create_connection(("::1", card.mb_port), timeout=5) as s:
        s.sendall(tcp_frame(4, 513, 1))
        assert tcp_answer(s)[-2:] == b"AB"


def test_mbpoll_reads_over_tcp(card):
    rc, out = mb.mbpoll("-m", "tcp", "-a", 1, "-t", 3, "-r", 513, "-c", 3, "-p", card.mb_port,
                        "127.0.0.1")
    assert rc == 0, out
    assert mb.mbpoll_values(out) == {513: 0x4142, 514: 0x4300, 515: 0}


# -------------------------------------------------------------- exceptions

def test_tcp_exception_answers_and_silence(card):
    with mb.connect(card.mb_port) as s:
        s.sendall(mb.tcp_frame(3, 990, 20, tid=11))
        a = mb.tcp_answer(s)
        assert mb.exception_code(a, 3) == 2 and a[:2] == b"\x00\x0b"
        s.sendall(mb.tcp_frame(3, 990, 10))
        assert len(mb.tcp_answer(s)) == 9 + 20

        # One exception for a bit read of 1001, and nothing more after it.
        s.sendall(mb.tcp_frame(2, 0, 1001, tid=12))
        assert mb.exception_code(mb.tcp_answer(s), 2) == 2
        assert mb.recv_exact(s, 1, timeout=0.5) == b""

        s.sendall(mb.tcp_frame(3, 9, 1, unit=2))
        assert mb.recv_exact(s, 1, timeout=0.5) == b""  # unit 2: silence
        s.sendall(mb.tcp_frame(3, 9, 1, unit=0))
        assert mb.exception_code(mb.tcp_answer(s), 3) == 0
        s.sendall(mb.tcp_frame(3, 9, 1, protocol=1))
        assert mb.exception_code(mb.tcp_answer(s), 3) == 0
        s.sendall(mb.tcp_frame(4, 0, 125))
        assert mb.exception_code(mb.tcp_answer(s), 4) == 2
        # The connection still serves ordinary requests.
        s.sendall(mb.tcp_frame(4, 513, 1))
        assert mb.tcp_answer(s)[-2:] == b"AB"


def test_split_request_and_garbage_are_answered(card):
    req = mb.tcp_frame(4, 513, 2, tid=0x0102)
    with mb.connect(card.mb_port) as s:
        s.sendall(req[:5])
        time.sleep(0.2)  # let the first part arrive as a segment of its own
        s.sendall(req[5:])
        assert mb.tcp_answer(s) == bytes.fromhex("0102000000070104044142") + b"C\x00"
        s.sendall(b"\xee" * 9 + req + b"\x06\x06\x06" + req)
        assert mb.tcp_answer(s)[-4:] == b"ABC\x00"
        assert mb.tcp_answer(s)[-4:] == b"ABC\x00"


def test_silent_and_garbage_clients_do_not_block_others(card):
    silent = mb.connect(card.mb_port)
    noisy = mb.connect(card.mb_port)
    try:
        noisy.sendall(os.urandom(3000))
        assert mb.read_input(card.mb_port, 513, 1) == [0x4142]
    finally:
        silent.close()
        noisy.close()


# --------------------------------------------------------------------- RTU

def test_mbpoll_reads_the_rtu_slave(card):
    rc, out = mb.mbpoll("-m", "rtu", "-a", 1, "-b", 9600, "-P", "none", "-t", 3, "-r", 513,
                        "-c", 2, "-o", 2, card.rs485)
    assert rc == 0, out
    assert mb.mbpoll_values(out) == {513: 0x4142, 514: 0x4300}


def test_rtu_exceptions_and_silence(card):
    with serial.Serial(card.rs485, 9600, timeout=0.3) as ser:
        a = mb.rtu_transact(ser, mb.rtu_frame(1, 3, 990, 10), 5)
        assert a[:3] == b"\x01\x83\x02" and a[3:] == mb.crc16(a[:3])
        a = mb.rtu_transact(ser, mb.rtu_frame(1, 2, 0, 1000), 5)
        assert a[:3] == b"\x01\x82\x02"
        bad = bytearray(mb.rtu_frame(1, 3, 9, 1))
        bad[-1] ^= 0xFF
        assert mb.rtu_transact(ser, bytes(bad), 1, timeout=1.5) == b""
        assert mb.rtu_transact(ser, mb.rtu_frame(2, 3, 9, 1), 1, timeout=1.5) == b""
        a = mb.rtu_transact(ser, mb.rtu_frame(1, 3, 9, 1), 7)
        assert a[:5] == b"\x01\x03\x02\x00\x01"


# ------------------------------------------------------------------ writes

def write_one(port, addr, value):
    with mb.connect(port) as s:
        req = mb.tcp_frame(6, addr, value, tid=33)
        s.sendall(req)
        assert mb.tcp_answer(s) == req  # echoed whether accepted or not


def test_sensor_limit_and_ignored_shutdown_delay(card):
    write_one(card.mb_port, 30, 450)
    wait_for(lambda: card.setting("in_temph1") == "25.0", 5, "in_temph1 = 25.0")
    write_one(card.mb_port, 30, 50)  # -15.0 is below the low limit: kept
    before = {k: card.setting(k) for k in ("in_tast23", "in_tast15", "in_temph1")}
    write_one(card.mb_port, 7, 601)
    write_one(card.mb_port, 1, 1)  # a command register needs 65535
    assert {k: card.setting(k) for k in before} == before
    assert "startAddr" not in card.app_log()


def test_block_write_sets_the_clock(card):
    with mb.connect(card.mb_port) as s:
        s.sendall(mb.tcp_write_many(21, [2030, 1, 2, 3, 4, 5]))
        a = mb.tcp_answer(s)
    assert a == bytes.fromhex("000100000006011000150006")
    wait_for(lambda: "date -s 2030.01.02-03:04:05" in card.commands_log(), 5, "date stand-in")
    wait_for(lambda: "hwclock --systohc --utc" in card.commands_log(), 5, "hwclock stand-in")
    assert card.signal(60, 40501) == 2030
    assert card.signal(60, 40506) == 5


def test_rtu_write_sets_one_clock_field(card):
    with serial.Serial(card.rs485, 9600, timeout=0.3) as ser:
        req = mb.rtu_frame(1, 6, 25, 42)  # minute
        assert mb.rtu_transact(ser, req, 8) == req
    wait_for(lambda: any(l.startswith("date -s ") and l.endswith(":42:" + l[-2:])
                         for l in card.commands_log()), 5, "date stand-in with minute 42")


def test_register_9_changes_the_ups_address(tmp_path):
    card = start_card(tmp_path)
    try:
        write_one(card.mb_port, 9, 12)
        wait_for(lambda: card.setting("ups_addr") == "12", 10, "ups_addr = 12")
        write_one_quiet = mb.tcp_frame(6, 9, 300)  # out of range: ignored
        wait_for(lambda: listening(card.mb_port), 20, "the listener after a restart")
        with mb.connect(card.mb_port) as s:
            s.sendall(write_one_quiet)
            mb.tcp_answer(s)
        assert card.setting("ups_addr") == "12"
    finally:
        card.stop()


def test_pack_variant_serves_battery_pack_registers(tmp_path):
    card = start_card(tmp_path, {"tcp_modbus_pro": "1", "bms_num": "1"})
    try:
        assert any("mbtcp_pack" in p for p in card.plugins())
        for i in range(32):
            card.set_signal(70, 42000 + i, 3300 + i)
        card.set_signal(70, 41000, 812.7)
        regs = mb.read_input(card.mb_port, 8192, 32)
        assert regs == [3300 + i for i in range(32)]
        assert mb.read_input(card.mb_port, 4096, 5) == [8120, 0, 0, 0, 0]
        with mb.connect(card.mb_port) as s:
            s.sendall(mb.tcp_frame(4, 8990, 11))
            assert mb.exception_code(mb.tcp_answer(s), 4) == 2
    finally:
        card.stop()


def test_self_test_command_reaches_the_ups(tmp_path):
    """Register 1 = 65535 becomes UPS command 0 (self-test: 0x8006 <- 1 in the
    register-map driver) and a control action from the Modbus client."""
    simlib = pytest.importorskip("simlib")
    for lib in ("libregups_a.so", "libsvc_data.so"):
        if not os.path.isfile(os.path.join(STAGE, "lib", lib)):
            pytest.skip(f"{lib} is not staged")
    sim = simlib.RegupsSim(tmp_path / "sim", model=299)
    card = start_card(tmp_path, {"ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600"},
                      ports={1: sim.card_tty})
    try:
        wait_for(lambda: card.signal(60, -1) == 1, 30, "the UPS to answer the card")
        sim.clear_writes()
        write_one(card.mb_port, 1, 65535)
        wait_for(lambda: [w for w in sim.writes() if w["fc"] == 6 and w["reg"] == 0x8006
                          and w["values"] == [1]], 20, "the self-test write at the UPS")
        if not os.path.isfile(os.path.join(STAGE, "lib", "libsvc_store.so")):
            pytest.skip("svc_store is not staged: control-log row not checked")
        wait_for(lambda: card.query("alarm_info.db",
                                    "select Alarm_Id, Source from history_alarm "
                                    "where Alarm_Id = '150'") == [("150", "Tcp:127.0.0.1")],
                 15, "the control action in history_alarm")
    finally:
        card.stop()
        sim.stop()
