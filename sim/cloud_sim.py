#!/usr/bin/python3
"""Cloud platform simulator: what the card's cloud task talks to.

  * Broker: a mosquitto broker on 127.0.0.1 with a test configuration of its
    own (free port, no persistence, anonymous or any user accepted).
  * Platform: a minimal MQTT 3.1.1 client (sockets only: CONNECT, SUBSCRIBE,
    PUBLISH at QoS 0, PINGREQ) that subscribes to every report topic,
    decodes each message (head, MD5 check, TLV box) into a Report, and sends
    commands built the same way.
  * UpdateServer: the block server of the firmware update channel (TCP): it
    answers "<name> <address> <length> <transac> <crc16>" requests with
    transac, CRC-16 and the bytes of a 144-byte header followed by the package.

Run by hand it starts a broker and prints every decoded report:

  sim/cloud_sim.py [--port 1883]          (point the card's backenIp/backenPort at it)

Formats (the card's side is src/svc_cloud/codec.hpp): a message is a 16-byte
head (totalLen = length - 2, 1, version 2, data type 60, check = bytes 12..15
of the MD5 of bytes 10.., timestamp, time zone) and a TLV payload whose items
are tag, 0xFF, 16-bit length, value, most recently added first. Commands are
the head and short items: tag, one length byte, value.
"""
import argparse
import hashlib
import os
import queue
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

# ---- the message head and the TLV box ----------------------------------


def check_bytes(data):
    return hashlib.md5(data).digest()[12:16]


def frame(payload, timestamp=None, tz_minutes=480, version=2):
    """A message as the card or the platform sends it."""
    ts = int(time.time()) if timestamp is None else timestamp
    tail = struct.pack(">I", ts) + (struct.pack(">h", tz_minutes) if version == 2 else b"")
    head_len = 16 if version == 2 else 14
    total = head_len + len(payload)
    msg = struct.pack(">HBBH", total - 2, 1, version, 60) + b"\0\0\0\0" + tail + payload
    return msg[:6] + check_bytes(msg[10:]) + msg[10:]


def tlv_items(wire):
    """(tag, value) pairs of a serialised box in wire order; ValueError when malformed."""
    items, at = [], 0
    while at < len(wire):
        if at + 4 > len(wire) or wire[at + 1] != 0xFF:
            raise ValueError("bad TLV item head at %d" % at)
        (n,) = struct.unpack(">H", wire[at + 2:at + 4])
        if at + 4 + n > len(wire):
            raise ValueError("TLV item runs past the end")
        items.append((wire[at], wire[at + 4:at + 4 + n]))
        at += 4 + n
    return items


# Tags whose values are boxes of their own.
OBJECTS = {16, 17, 21, 22, 27, 30, 32, 69, 70, 71, 82, 106, 109}


class Node:
    def __init__(self, tag, value):
        self.tag, self.value, self.kids = tag, value, []
        if tag in OBJECTS:
            self.kids = decode_box(value)

    def get(self, tag):
        for k in self.kids:
            if k.tag == tag:
                return k
        return None

    def text(self):
        return self.value.split(b"\0", 1)[0].decode("latin-1")

    def number(self):
        return int.from_bytes(self.value, "big")


def decode_box(wire):
    """The items of a box in insertion order (the wire has them reversed)."""
    return [Node(t, v) for t, v in reversed(tlv_items(wire))]


class Report:
    """One decoded message of the card."""

    KINDS = {22: "state", 16: "data", 17: "device", 30: "serial", 32: "system",
             27: "passthrough", 21: "update"}

    def __init__(self, topic, message):
        self.topic = topic
        if len(message) < 16:
            raise ValueError("message shorter than its head")
        total, head, version, dtype = struct.unpack(">HBBH", message[:6])
        if total != len(message) - 2 or head != 1 or version != 2 or dtype != 60:
            raise ValueError("bad head %r" % (message[:6],))
        if message[6:10] != check_bytes(message[10:]):
            raise ValueError("bad MD5 check")
        self.timestamp, self.tz = struct.unpack(">Ih", message[10:16])
        nodes = decode_box(message[16:])
        if len(nodes) != 1:
            raise ValueError("expected one outer object")
        root = nodes[0]
        self.tag = root.tag
        self.kind = self.KINDS.get(root.tag, "unknown")
        sn = root.get(68)
        self.sn = sn.value.decode("latin-1") if sn else None
        self.data, self.alarms, self.change, self.report_time = {}, None, False, None
        if self.tag == 16:
            obj = root.get(69)
            dset = obj.get(70)
            self.change = obj.get(92) is not None
            self.report_time = obj.get(51).number()
            if dset.get(76) is not None:
                raw = dset.get(76).value
                self.alarms = [int.from_bytes(raw[i:i + 2], "big") for i in range(0, len(raw), 2)]
                self.kind = "alarm"
            else:
                kids = dset.kids
                for value, ident in zip(kids[0::2], kids[1::2]):
                    assert value.tag == 50 and ident.tag == 49, (value.tag, ident.tag)
                    self.data[ident.number()] = float(value.text())
                if self.change and set(self.data) == {100, 101, 103, 500}:
                    self.kind = "power"
                elif self.change:
                    self.kind = "change"
        elif self.tag == 22:
            self.state = root.get(77).number()
        elif self.tag == 17:
            dev = root.get(71)
            self.name, self.software = dev.get(75).text(), dev.get(73).text()
            self.device_type = tuple(dev.get(72).value)
            self.mac, self.agent = root.get(87).text(), root.get(88).text()
        elif self.tag == 30:
            line = root.get(106)
            self.ups_type, self.ups_addr = line.get(107).number(), line.get(113).number()
            self.baud_code = root.get(102).number()
        elif self.tag == 32:
            mem = root.get(109)
            self.mem_total, self.mem_used = mem.get(111).number(), mem.get(110).number()
            self.signal = root.get(84).text()
        elif self.tag == 27:
            self.message_id, self.result = root.get(94).number(), root.get(97).text()
        elif self.tag == 21:
            upd = root.get(82)
            self.package = upd.get(78).text()
            self.main_status, self.status = upd.get(81).number(), upd.get(89).number()

    def __repr__(self):
        return "<%s %s sn=%s>" % (self.kind, self.topic, self.sn)


# ---- commands ----------------------------------------------------------


def item(tag, value):
    if isinstance(value, str):
        value = value.encode()
    if isinstance(value, int):
        value = bytes([value])
    return bytes([tag, len(value)]) + value


def command(tag, *items, mac_ok=True):
    body = item(tag, b"".join(items))
    msg = frame(body)
    if not mac_ok:
        msg = msg[:6] + bytes(b ^ 0x5A for b in msg[6:10]) + msg[10:]
    return msg


def data_request(kind):
    return command(18, item(74, kind))


def time_check(tz_minutes=None):
    return command(19, *([item(101, struct.pack(">h", tz_minutes))] if tz_minutes is not None else []))


def connect_info(collector, state=1):
    return command(25, item(68, str(collector)), item(77, state))


def update_order(name, url, devices=()):
    extra = [item(82, len(devices))] + [item(48, str(d)) for d in devices] if devices else []
    return command(20, item(78, name), item(80, url), *extra)


def baud_change(code):
    return command(33, item(102, code))


def protocol_change(channel, address, protocol):
    return command(33, item(106, item(48, channel) + item(113, address) + item(107, protocol)))


def pass_through(message_id, log_type):
    return command(26, item(94, struct.pack(">I", message_id)), item(96, log_type))


# ---- a minimal MQTT 3.1.1 client ---------------------------------------


def _remaining(n):
    out = bytearray()
    while True:
        b, n = n % 128, n // 128
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def _string(s):
    b = s.encode() if isinstance(s, str) else s
    return struct.pack(">H", len(b)) + b


class MqttClient:
    def __init__(self, port, client_id="cloud-sim", host="127.0.0.1", keepalive=60):
        self.sock = socket.create_connection((host, port), timeout=10)
        self.lock = threading.Lock()
        self.inbox = queue.Queue()
        self.closed = False
        var = _string("MQTT") + bytes([4, 0x02]) + struct.pack(">H", keepalive)
        self._send(0x10, var + _string(client_id))
        first, body = self._read_packet()
        if first & 0xF0 != 0x20 or body[1] != 0:
            raise ConnectionError("CONNACK refused: %r" % (body,))
        self.sock.settimeout(None)
        self._mid = 1
        self.reader = threading.Thread(target=self._read_loop, daemon=True)
        self.reader.start()
        self.pinger = threading.Thread(target=self._ping_loop, args=(keepalive / 2,), daemon=True)
        self.pinger.start()

    def _send(self, first, body):
        with self.lock:
            self.sock.sendall(bytes([first]) + _remaining(len(body)) + body)

    def _recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise ConnectionError("broker closed")
            buf += chunk
        return buf

    def _read_packet(self):
        first = self._recv_exact(1)[0]
        n, mult = 0, 1
        while True:
            b = self._recv_exact(1)[0]
            n += (b & 0x7F) * mult
            mult *= 128
            if not b & 0x80:
                break
        return first, self._recv_exact(n)

    def _read_loop(self):
        try:
            while True:
                first, data = self._read_packet()
                if first & 0xF0 == 0x30:
                    (tl,) = struct.unpack(">H", data[:2])
                    topic = data[2:2 + tl].decode()
                    at = 2 + tl + (2 if (first >> 1) & 3 else 0)
                    self.inbox.put((time.time(), topic, data[at:]))
        except (OSError, ConnectionError):
            self.closed = True

    def _ping_loop(self, every):
        while not self.closed:
            time.sleep(every)
            try:
                self._send(0xC0, b"")
            except OSError:
                return

    def subscribe(self, topic):
        self._mid += 1
        self._send(0x82, struct.pack(">H", self._mid) + _string(topic) + b"\0")

    def publish(self, topic, payload):
        self._send(0x30, _string(topic) + payload)

    def close(self):
        try:
            self._send(0xE0, b"")
            self.sock.close()
        except OSError:
            pass
        self.closed = True


# ---- the broker --------------------------------------------------------


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on 127.0.0.1 with a configuration of its own."""

    def __init__(self, workdir, port=None, sys_interval=0):
        self.dir = workdir
        os.makedirs(workdir, exist_ok=True)
        self.port = port or free_port()
        conf = os.path.join(workdir, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("listener %d 127.0.0.1\nallow_anonymous true\npersistence false\n"
                    "log_dest file %s\nlog_type error\nlog_type warning\nlog_type notice\n"
                    "max_queued_messages 100000\n" % (self.port, os.path.join(workdir, "mosquitto.log")))
            if sys_interval:
                f.write("sys_interval %d\n" % sys_interval)
        self.proc = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("mosquitto did not start")
                time.sleep(0.05)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()


# ---- the platform ------------------------------------------------------


class CloudPlatform:
    """A broker and the platform's client: every report decoded, commands sent."""

    def __init__(self, workdir, sys_interval=0):
        self.broker = Broker(workdir, sys_interval=sys_interval)
        self.port = self.broker.port
        self.client = MqttClient(self.port)
        self.client.subscribe("Signal/OPRIX/#")
        if sys_interval:
            self.client.subscribe("$SYS/broker/publish/messages/+")
        self.reports, self.errors, self.sys = [], [], {}
        self._cv = threading.Condition()
        self._stop = False
        self._pump = threading.Thread(target=self._drain, daemon=True)
        self._pump.start()
        time.sleep(0.2)  # the subscription is in place before a card connects

    def _drain(self):
        while not self._stop:
            try:
                t, topic, payload = self.client.inbox.get(timeout=0.2)
            except queue.Empty:
                continue
            if topic.startswith("$SYS/"):
                self.sys[topic] = payload.decode()
                continue
            try:
                r = Report(topic, payload)
                r.received = t
            except Exception as e:  # a message the card should never send
                self.errors.append((topic, payload, repr(e)))
                continue
            with self._cv:
                self.reports.append(r)
                self._cv.notify_all()

    def wait(self, pred, timeout=20, since=0, what="report"):
        """The first report at index >= since that pred accepts."""
        deadline = time.monotonic() + timeout
        with self._cv:
            while True:
                for r in self.reports[since:]:
                    if pred(r):
                        return r
                left = deadline - time.monotonic()
                if left <= 0:
                    kinds = [r.kind for r in self.reports[since:]]
                    raise AssertionError("timed out waiting for %s (seen %s)" % (what, kinds))
                self._cv.wait(left)

    def mark(self):
        with self._cv:
            return len(self.reports)

    def send(self, sn, message, collector=1):
        self.client.publish("Cmd/OPRIX/igCollector/%d/Device/%s" % (collector, sn), message)

    def stop(self):
        self._stop = True
        self.client.close()
        self.broker.stop()


# ---- the update channel's block server ---------------------------------


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


class UpdateServer:
    """Serves one package over the block protocol; counts the requests."""

    def __init__(self, package, crc32=None):
        self.package = package
        crc = zlib.crc32(package) & 0xFFFFFFFF if crc32 is None else crc32
        self.header = struct.pack("<HHII", 1, 1, len(package), crc) + b"\0" * 128 + struct.pack("<I", 1)
        self.requests = 0
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4)
        self.port = self.sock.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._client, args=(conn,), daemon=True).start()

    def _client(self, conn):
        with conn:
            while True:
                try:
                    req = conn.recv(256)
                except OSError:
                    return
                if not req:
                    return
                text = req.decode("latin-1")
                body, _, crc = text.rpartition(" ")
                parts = body.split(" ")
                if len(parts) != 4 or int(crc, 16) != crc16(body.encode("latin-1")):
                    return
                at, length, transac = (int(p, 16) for p in parts[1:])
                self.requests += 1
                data = self.header if at == 0 else self.package[at - 144:at - 144 + length]
                conn.sendall(struct.pack(">HH", transac, crc16(data)) + data)

    def stop(self):
        self.sock.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, default=0)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="cloud-sim-")
    broker = Broker(work, port=args.port or None)
    client = MqttClient(broker.port)
    client.subscribe("Signal/OPRIX/#")
    print("READY broker 127.0.0.1:%d" % broker.port, flush=True)
    try:
        while True:
            _, topic, payload = client.inbox.get()
            try:
                r = Report(topic, payload)
                print(r, {k: v for k, v in vars(r).items() if k not in ("topic",)}, flush=True)
            except Exception as e:
                print("undecodable message on %s: %r" % (topic, e), flush=True)
    except KeyboardInterrupt:
        pass
    finally:
        client.close()
        broker.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
