#!/usr/bin/python3
"""The card's RS-485 line (port 3): sensor modules, battery packs and a Modbus
master on one pseudo-terminal.

The line is a multi-drop bus. The card polls the temperature/humidity modules
and the battery packs on it (each at its own Modbus address) and answers, with
its serial slave, a master that polls it on the same wires. This program holds
the far end of the card's tty and plays every other station:

  modules   up to four sensor modules; each answers one of the three requests
            the sensor driver tries ("100": input registers 0-1, signed;
            "101": holding registers 0-3, two 32-bit values high word first;
            "102": holding registers 2-3, signed) and refuses the others with
            an exception, as modules of different makes do;
  packs     battery packs of the two BMS families: "y" (32 holding registers
            from 0x1100, commands at 0x0200..0x0203) and "x" (15 holding
            registers from 0, set-points at 0x1000/0x1001);
  master    a Modbus master polling the card's slave address back to back
            (when switched on), measuring each answer time.

Requests to the modules and packs are decoded and answered by pymodbus (its
RTU framer, request decoder and slave contexts); the master's requests and the
card's answers are built and parsed by pymodbus's client side, so both ends
check the card's framing. The bus is half duplex: the master only starts a
request on a quiet line (no station answering or awaited, 30 ms since the
last byte).

Every request heard on the line is logged with its time, so the poll period of
each station can be read back ("requests"); the master keeps a log of its
requests with their answer times ("master_log").

Control: JSON lines on 127.0.0.1:<control_port> (SimClient of regups_sim.py):
  {"cmd":"state"}
  {"cmd":"module","addr":A,"temperature":T,"humidity":H,"kind":"101","silent":true}
  {"cmd":"pack","addr":A,"registers":{"0":5123,...}}
  {"cmd":"scenario","name":N}   hot:A (module A above any usual high limit),
                                cold:A, normal, silent:A, answer:A
  {"cmd":"requests","since":K} {"cmd":"clear_requests"}
  {"cmd":"writes"}              register writes the packs received
  {"cmd":"master","on":true,"slave":100,"fc":4,"start":0,"count":10}
  {"cmd":"master_log","since":K}
  {"cmd":"expected","addr":A}   the card signals (stored numbers) a pack's
                                registers should give
  {"cmd":"quit"}

Run: port3_sim.py --device /dev/pts/N --module 1 --module 2:101 --pack 5:y
     [--baud 9600 --pace] [--ready-file F]
"""

import argparse
import asyncio
import json
import os
import signal
import struct
import sys
import termios
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from regups_sim import SimClient  # noqa: E402,F401  (re-exported for callers)

QUIET_S = 0.03  # a line quiet this long is free for the master
CARD_TIMEOUT_S = 0.6  # how long the card waits for a station's answer
MASTER_TIMEOUT_S = 1.0
DEFAULT_T, DEFAULT_H = 235, 456  # 23.5 C, 45.6 % in tenths
HOT_T, COLD_T = 650, -150

# Pack register maps: first register, count, writable registers.
PACK_FAMILIES = {
    "y": {"first": 0x1100, "count": 32, "writable": range(0x0200, 0x0204)},
    "x": {"first": 0x0000, "count": 15, "writable": range(0x1000, 0x1002)},
}


def default_pack_registers(family, addr):
    if family == "y":
        r = [0] * 32
        r[0] = 5120 + addr  # total voltage x0.1
        r[1], r[2] = 1, 0
        r[6] = (-123) & 0xFFFF  # current -12.3 A
        r[7], r[8] = 87, 99  # soc, soh
        r[9], r[10], r[11] = 31, 1, 4  # highest temperature and where
        r[12] = (-2) & 0xFFFF  # lowest temperature
        r[15], r[18] = 3412, 3298  # highest/lowest cell mV
        r[31] = (-15) & 0xFFFF
        return r
    r = [0] * 15
    r[0] = 2
    r[1], r[2] = 5400 + addr, (-35) & 0xFFFF  # 540.x V, -3.5 A
    r[3], r[4] = 5600, 200
    r[6] = 4200
    r[7:11] = [88, 86, 97, 96]
    r[11:15] = [4, 0, 200, 0]
    return r


def pack_expected(family, regs):
    """The card's stored signals for a pack's registers (independent of the
    driver: written from the register map)."""
    def s16(v):
        return v - 0x10000 if v & 0x8000 else v

    out = {}
    if family == "y":
        signed_tenths, signed = (6, 31), (9, 12)
        for k, v in enumerate(regs):
            if k == 0:
                val = v / 10.0
            elif k in signed_tenths:
                val = s16(v) / 10.0
            elif k in signed:
                val = float(s16(v))
            else:
                val = float(v)
            out[41000 + k] = val
        return out
    for k, v in enumerate(regs):
        if k in (1, 3, 6):
            val = v / 10.0
        elif k in (2, 4):
            val = s16(v) / 10.0
        else:
            val = float(v)
        out[42500 + k] = val
    return out


class Line:
    """Every station but the card, and what went over the wires."""

    def __init__(self, fd, baud=9600, pace=False):
        from pymodbus.factory import ClientDecoder, ServerDecoder
        from pymodbus.framer.rtu_framer import ModbusRtuFramer

        self.fd = fd
        self.baud = baud
        self.pace = pace
        self.server_decoder = ServerDecoder()
        self.client_decoder = ClientDecoder()
        self.framer = ModbusRtuFramer(self.server_decoder)
        self.modules = {}
        self.packs = {}
        self.requests = []
        self.writes = []
        self.master = {"on": False, "slave": 100, "fc": 4, "start": 0, "count": 10}
        self.master_log = []
        self.rx = bytearray()
        self.dropped = []  # (time, byte) skipped while looking for a frame
        self.last_byte = 0.0
        self.answering = 0  # station replies scheduled but not yet sent
        self.busy_until = 0.0  # the card awaits an answer nobody will give
        self.waiting = None  # the master's request awaiting the card's answer

    # -- stations ------------------------------------------------------------
    def add_module(self, addr, kind="100"):
        self.modules[addr] = {"kind": kind, "temperature": DEFAULT_T,
                              "humidity": DEFAULT_H, "silent": False}

    def add_pack(self, addr, family="y"):
        self.packs[addr] = {"family": family, "silent": False,
                            "registers": default_pack_registers(family, addr)}

    def context(self, addr):
        """A pymodbus slave context holding the station's registers now."""
        from pymodbus.datastore import ModbusSlaveContext, ModbusSparseDataBlock

        def block(values):
            return ModbusSparseDataBlock(values) if values else ModbusSparseDataBlock({0xFFFF: 0})

        none = block({})
        if addr in self.modules:
            m = self.modules[addr]
            t, h = int(m["temperature"]), int(m["humidity"])
            if m["kind"] == "100":
                ir, hr = block({0: t & 0xFFFF, 1: h & 0xFFFF}), none
            elif m["kind"] == "101":
                t, h = max(t, 0), max(h, 0)
                ir = none
                hr = block({0: t >> 16, 1: t & 0xFFFF, 2: h >> 16, 3: h & 0xFFFF})
            else:
                ir, hr = none, block({2: t & 0xFFFF, 3: h & 0xFFFF})
            return ModbusSlaveContext(di=none, co=none, ir=ir, hr=hr, zero_mode=True)
        p = self.packs[addr]
        fam = PACK_FAMILIES[p["family"]]
        values = {fam["first"] + k: v for k, v in enumerate(p["registers"])}
        for reg in fam["writable"]:
            values.setdefault(reg, 0)
        return ModbusSlaveContext(di=none, co=none, ir=none, hr=block(values), zero_mode=True)

    # -- the wires -----------------------------------------------------------
    def send(self, data):
        os.write(self.fd, data)
        self.last_byte = time.monotonic()

    def wire_time(self, nbytes):
        return nbytes * 10.0 / self.baud if self.pace else 0.0

    def on_readable(self):
        try:
            data = os.read(self.fd, 4096)
        except BlockingIOError:
            return
        except OSError:
            return
        if not data:
            return
        self.last_byte = time.monotonic()
        self.rx += data
        self.split_frames()

    def frame_length(self, buf):
        """Length of the frame at the start of buf, None while incomplete, 0
        when no frame can start here."""
        if len(buf) < 2:
            return None
        addr, fc = buf[0], buf[1]
        if self.waiting and addr == self.waiting["slave"]:  # the card's answer
            if fc & 0x80:
                return 5
            if fc in (1, 2, 3, 4):
                return None if len(buf) < 3 else 5 + buf[2]
            if fc in (5, 6, 15, 16):
                return 8
            return 0
        if fc in (1, 2, 3, 4, 5, 6):
            return 8
        if fc in (15, 16):
            return None if len(buf) < 7 else 9 + buf[6]
        return 0

    def split_frames(self):
        from pymodbus.utilities import checkCRC

        while self.rx:
            n = self.frame_length(self.rx)
            if n is None or len(self.rx) < (n or 1):
                return
            frame = bytes(self.rx[:n]) if n else b""
            if not n or not checkCRC(frame[:-2], struct.unpack(">H", frame[-2:])[0]):
                self.dropped.append((time.time(), self.rx[0]))
                del self.rx[0]  # resynchronise on the next byte
                continue
            del self.rx[:n]
            if self.waiting and frame[0] == self.waiting["slave"]:
                self.card_answered(frame)
            else:
                self.station_request(frame)

    def station_request(self, frame):
        from pymodbus.pdu import ExceptionResponse, ModbusExceptions

        addr, fc = frame[0], frame[1]
        entry = {"t": time.time(), "unit": addr, "fc": fc,
                 "addr": struct.unpack(">H", frame[2:4])[0],
                 "count": struct.unpack(">H", frame[4:6])[0]}
        self.requests.append(entry)
        station = self.modules.get(addr) or self.packs.get(addr)
        if station is None or station["silent"]:
            entry["reply"] = "nobody" if station is None else "silent"
            # The card waits out its time-out for the answer: the line is its.
            self.busy_until = time.monotonic() + CARD_TIMEOUT_S
            return
        request = self.server_decoder.decode(frame[1:-2])
        if request is None:
            response = ExceptionResponse(fc, ModbusExceptions.IllegalFunction)
        else:
            request.unit_id = addr
            context = self.context(addr)
            response = request.execute(context)
            if fc == 6 and addr in self.packs and not response.isError():
                self.pack_written(addr, entry["addr"], entry["count"])
        response.unit_id = addr
        packet = self.framer.buildPacket(response)
        entry["reply"] = "exception" if response.isError() else "answer"
        self.answering += 1

        def put():
            self.answering -= 1
            self.send(packet)

        asyncio.get_event_loop().call_later(self.wire_time(len(frame) + len(packet)), put)

    def pack_written(self, addr, reg, value):
        p = self.packs[addr]
        fam = PACK_FAMILIES[p["family"]]
        self.writes.append({"t": time.time(), "unit": addr, "reg": reg, "value": value})
        k = reg - fam["first"]
        if 0 <= k < fam["count"]:
            p["registers"][k] = value

    # -- the master ----------------------------------------------------------
    def card_answered(self, frame):
        w, self.waiting = self.waiting, None
        response = self.client_decoder.decode(frame[1:-2])
        w["entry"]["answer_s"] = round(time.monotonic() - w["sent"], 4)
        w["entry"]["ok"] = response is not None and not response.isError()
        if response is not None and hasattr(response, "registers"):
            w["entry"]["registers"] = list(response.registers)
        elif response is not None and hasattr(response, "bits"):
            w["entry"]["bits"] = [int(b) for b in response.bits]
        if not w["future"].done():
            w["future"].set_result(True)

    def master_request(self):
        from pymodbus.bit_read_message import ReadDiscreteInputsRequest
        from pymodbus.framer.rtu_framer import ModbusRtuFramer
        from pymodbus.register_read_message import (ReadHoldingRegistersRequest,
                                                    ReadInputRegistersRequest)

        m = self.master
        kind = {2: ReadDiscreteInputsRequest, 3: ReadHoldingRegistersRequest,
                4: ReadInputRegistersRequest}[m["fc"]]
        req = kind(m["start"], m["count"], unit=m["slave"])
        return ModbusRtuFramer(self.client_decoder).buildPacket(req)

    async def run_master(self):
        loop = asyncio.get_event_loop()
        while True:
            if not self.master["on"]:
                await asyncio.sleep(0.05)
                continue
            # Half duplex: start only on a quiet line.
            while (self.answering or self.rx or time.monotonic() < self.busy_until
                   or time.monotonic() - self.last_byte < QUIET_S):
                await asyncio.sleep(0.005)
            entry = {"t": time.time(), "slave": self.master["slave"], "ok": False}
            self.master_log.append(entry)
            self.waiting = {"slave": self.master["slave"], "sent": time.monotonic(),
                            "entry": entry, "future": loop.create_future()}
            future = self.waiting["future"]
            self.send(self.master_request())
            try:
                await asyncio.wait_for(future, MASTER_TIMEOUT_S)
            except asyncio.TimeoutError:
                entry["answer_s"] = None
                self.waiting = None

    # -- control -------------------------------------------------------------
    def scenario(self, name):
        what, _, arg = name.partition(":")
        if what == "normal":
            for m in self.modules.values():
                m.update(temperature=DEFAULT_T, humidity=DEFAULT_H, silent=False)
            return
        addr = int(arg)
        station = self.modules.get(addr) or self.packs.get(addr)
        if station is None:
            raise ValueError("no station at %d" % addr)
        if what == "hot":
            station["temperature"] = HOT_T
        elif what == "cold":
            station["temperature"] = COLD_T
        elif what == "silent":
            station["silent"] = True
        elif what == "answer":
            station["silent"] = False
        else:
            raise ValueError("unknown scenario %r" % name)

    def handle(self, req, stop):
        cmd = req.get("cmd")
        if cmd == "ping":
            return "pong"
        if cmd == "state":
            return {"modules": self.modules, "packs": self.packs, "master": self.master,
                    "dropped": len(self.dropped)}
        if cmd == "module":
            m = self.modules[int(req["addr"])]
            for k in ("kind", "temperature", "humidity", "silent"):
                if k in req:
                    m[k] = req[k]
            return None
        if cmd == "pack":
            p = self.packs[int(req["addr"])]
            for k, v in (req.get("registers") or {}).items():
                p["registers"][int(k)] = int(v) & 0xFFFF
            if "silent" in req:
                p["silent"] = bool(req["silent"])
            return None
        if cmd == "scenario":
            self.scenario(req["name"])
            return None
        if cmd == "requests":
            return self.requests[int(req.get("since", 0)):]
        if cmd == "clear_requests":
            self.requests = []
            return None
        if cmd == "writes":
            return self.writes
        if cmd == "master":
            for k in ("slave", "fc", "start", "count"):
                if k in req:
                    self.master[k] = int(req[k])
            if "on" in req:
                self.master["on"] = bool(req["on"])
            return None
        if cmd == "master_log":
            return self.master_log[int(req.get("since", 0)):]
        if cmd == "expected":
            p = self.packs[int(req["addr"])]
            return {str(k): v for k, v in pack_expected(p["family"], p["registers"]).items()}
        if cmd == "quit":
            stop.set()
            return None
        raise ValueError("unknown command %r" % cmd)


async def control_server(line, port, stop):
    async def client(reader, writer):
        try:
            while True:
                text = await reader.readline()
                if not text:
                    break
                try:
                    answer = {"ok": True, "result": line.handle(json.loads(text), stop)}
                except Exception as exc:  # pylint: disable=broad-except
                    answer = {"ok": False, "error": "%s: %s" % (type(exc).__name__, exc)}
                writer.write((json.dumps(answer) + "\n").encode())
                await writer.drain()
        finally:
            writer.close()

    return await asyncio.start_server(client, "127.0.0.1", port)


def station_arg(text, default_kind):
    addr, _, kind = text.partition(":")
    return int(addr), kind or default_kind


async def run(args):
    fd = os.open(args.device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd, termios.TCSANOW)
    line = Line(fd, args.baud, args.pace)
    for text in args.module:
        line.add_module(*station_arg(text, "100"))
    for text in args.pack:
        line.add_pack(*station_arg(text, "y"))
    loop = asyncio.get_event_loop()
    loop.add_reader(fd, line.on_readable)
    stop = asyncio.Event()
    ctl = await control_server(line, args.control_port, stop)
    master = asyncio.create_task(line.run_master())
    ready = {"control_port": ctl.sockets[0].getsockname()[1], "sim_tty": args.device,
             "pid": os.getpid()}
    if args.ready_file:
        with open(args.ready_file + ".tmp", "w") as f:
            json.dump(ready, f)
        os.replace(args.ready_file + ".tmp", args.ready_file)
    print("READY " + json.dumps(ready), flush=True)
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    master.cancel()
    ctl.close()
    loop.remove_reader(fd)
    os.close(fd)


def main(argv=None):
    p = argparse.ArgumentParser(description="RS-485 line simulator: sensors, packs, master")
    p.add_argument("--device", required=True, help="the line's far end (a tty)")
    p.add_argument("--module", action="append", default=[],
                   help="ADDR[:KIND] a sensor module (KIND 100, 101 or 102)")
    p.add_argument("--pack", action="append", default=[],
                   help="ADDR[:FAMILY] a battery pack (FAMILY y or x)")
    p.add_argument("--baud", type=int, default=9600)
    p.add_argument("--pace", action="store_true", help="replies take their time on the wire")
    p.add_argument("--control-port", type=int, default=0)
    p.add_argument("--ready-file")
    asyncio.run(run(p.parse_args(argv)))


if __name__ == "__main__":
    main()
