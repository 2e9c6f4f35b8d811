"""Small raw Modbus helpers for the Modbus integration tests: exact frames on a
socket or a serial line, so that exception codes, silence and framing can be
checked byte for byte (pymodbus and mbpoll cover the ordinary reads)."""
import re
import socket
import struct
import subprocess
import time


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
