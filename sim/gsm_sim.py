#!/usr/bin/python3
"""GSM modem simulator on a serial line (the card's SMS modem on port 7).

It speaks the AT subset the SMS task uses, in text mode:

  AT  ATE0/ATE1  ATI/ATI4  AT+GMI  AT+GMM  AT+GMR  AT+CGMI/CGMM/CGMR
  AT+CMGF=<0|1>  AT+CSCS="GSM"|"UCS2"|"IRA"  AT+CSMP=17,167,0,<dcs>
  AT+CPMS=...  AT+CNMI=...  AT+CPIN?  AT+CREG?  AT+CSQ  AT+COPS?  AT+CSCA?
  AT+CMGS="<number>" -> "> ", text entry until Ctrl-Z (ESC gives it up)
  AT+CMGL="REC UNREAD"|"ALL"  AT+CMGR=<i>  AT+CMGD=<i>[,<flag>]  AT+CFUN=1,1

With the UCS2 character set the number and the body of AT+CMGS are UCS-2
hexadecimal; the simulator decodes them into the outbox, which keeps the
decoded number and text beside what came over the line. Messages delivered
into the inbox are announced with "+CMTI:" and listed by AT+CMGL, in GSM text
or, for a message marked ucs2 (or under the UCS2 character set), with sender
and text as UCS-2 hexadecimal. A restart (AT+CFUN=1,1) answers OK, goes
quiet for a moment and reports "+CPIN: READY".

Faults: "off" (the modem answers nothing), "no_sim" (SIM lost: +CME ERROR: 10,
not registered), "no_network" (SIM ready, registration 0, signal 99),
"refuse" (every message is refused with +CMS ERROR: 500).

Control: a line-based TCP server on 127.0.0.1, one JSON object per line each
way (the protocol of simcore.py; simcore.SimClient is the client):
  {"cmd":"ping"}
  {"cmd":"deliver","sender":"+8613800138000","text":"CXZT","ucs2":false}
  {"cmd":"outbox"}  {"cmd":"clear_outbox"}  {"cmd":"inbox"}
  {"cmd":"fault","name":"off|no_sim|no_network|refuse","on":true}
  {"cmd":"set","field":"model|rssi|operator|center|echo","value":V}
  {"cmd":"commands","since":K}  {"cmd":"clear_commands"}
  {"cmd":"state"}  {"cmd":"quit"}
Answers: {"ok":true,"result":...} or {"ok":false,"error":"..."}.

Run: gsm_sim.py --device /dev/pts/N ...   (serve an existing tty)
     gsm_sim.py --link /tmp/ttyGSM ...    (make a socat pair; the card opens it)
Once serving it prints "READY {json}" with the control port (and writes the
same JSON to --ready-file).
"""

import argparse
import os
import select
import signal
import sys
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simcore  # noqa: E402

CTRL_Z = 0x1A
ESC = 0x1B
RESTART_QUIET_S = 1.0


def ucs2_hex(text):
    return text.encode("utf-16-be").hex().upper()


def from_ucs2_hex(hexText):
    """The text of UCS-2 hexadecimal, None when it is not such."""
    try:
        if len(hexText) % 4 or not hexText:
            return None
        return bytes.fromhex(hexText).decode("utf-16-be")
    except ValueError:
        return None


class Modem:
    def __init__(self, model="MG323"):
        self.lock = threading.RLock()
        self.model = model
        self.rssi = 20
        self.operator = "SIM-NET"
        self.center = "+15550000000"
        self.faults = set()
        self.inbox = []   # {"index", "sender", "text", "ucs2", "read"}
        self.outbox = []  # {"number", "text", "raw_number", "raw_body", "charset", "dcs", "t"}
        self.commands = []
        self.next_index = 1
        self.out = bytearray()
        self.quiet_until = 0.0
        self._reset()

    def _reset(self):
        self.echo = True
        self.charset = "GSM"
        self.cmgf = 0
        self.dcs = 0
        self.line = bytearray()
        self.entry = None  # the raw number of a message being typed
        self.body = bytearray()

    # -- what the control side does ------------------------------------
    def deliver(self, sender, text, ucs2=False):
        with self.lock:
            index = self.next_index
            self.next_index += 1
            self.inbox.append({"index": index, "sender": sender, "text": text,
                               "ucs2": bool(ucs2), "read": False})
            if not self.silent():
                self.out += b'\r\n+CMTI: "SM",%d\r\n' % index
            return index

    def silent(self):
        return "off" in self.faults or time.monotonic() < self.quiet_until

    # -- the line --------------------------------------------------------
    def feed(self, data):
        """Bytes from the card; answers go to self.out."""
        with self.lock:
            for b in data:
                if self.entry is not None:
                    self._entry_byte(b)
                    continue
                if b == ESC or b == ord("\n"):
                    continue
                if b == ord("\r"):
                    cmd = self.line.decode("latin-1")
                    self.line = bytearray()
                    if self.silent():
                        continue
                    if self.echo:
                        self.out += cmd.encode("latin-1") + b"\r"
                    self.commands.append({"cmd": cmd, "t": time.time()})
                    if cmd.strip():
                        self.out += self.answer(cmd.strip()).encode("latin-1")
                    continue
                if len(self.line) < 1024:
                    self.line.append(b)

    def _entry_byte(self, b):
        if b == ESC:
            self.entry = None
            self.body = bytearray()
            return
        if b != CTRL_Z:
            if len(self.body) < 4096:
                self.body.append(b)
            return
        raw_number, raw_body = self.entry, self.body.decode("latin-1")
        self.entry, self.body = None, bytearray()
        if self.silent():
            return
        if self.echo:
            self.out += raw_body.encode("latin-1")
        if "refuse" in self.faults or not self._registered():
            self.out += b"\r\n+CMS ERROR: 500\r\n"
            return
        if self.charset == "UCS2":
            number = from_ucs2_hex(raw_number)
            text = from_ucs2_hex(raw_body)
            if number is None or text is None:
                self.out += b"\r\n+CMS ERROR: 304\r\n"  # invalid PDU parameter
                return
        else:
            number, text = raw_number, raw_body
        self.outbox.append({"number": number, "text": text, "raw_number": raw_number,
                            "raw_body": raw_body, "charset": self.charset,
                            "dcs": self.dcs, "t": time.time()})
        self.out += b"\r\n+CMGS: %d\r\n\r\nOK\r\n" % len(self.outbox)

    def _sim(self):
        return "no_sim" not in self.faults

    def _registered(self):
        return self._sim() and "no_network" not in self.faults

    def _listed(self, m, status):
        sender, text = m["sender"], m["text"]
        if m["ucs2"] or self.charset == "UCS2":
            sender, text = ucs2_hex(sender), ucs2_hex(text)
        return '+CMGL: %d,"%s","%s",,"24/01/02,10:00:00+32"\r\n%s\r\n' % (
            m["index"], status, sender, text)

    def answer(self, cmd):
        OK, ERR = "\r\nOK\r\n", "\r\nERROR\r\n"
        up = cmd.upper()
        if not up.startswith("AT"):
            return ERR
        body = up[2:]
        if body == "":
            return OK
        if body in ("E0", "E1"):
            self.echo = body == "E1"
            return OK
        if body in ("I", "I4"):
            return "\r\nManufacturer: SIMULATED\r\nModel: %s\r\nRevision: 1.0\r\n%s" % (
                self.model, OK)
        if body in ("+GMI", "+CGMI"):
            return "\r\nSIMULATED\r\n" + OK
        if body in ("+GMM", "+CGMM"):
            return "\r\n%s\r\n%s" % (self.model, OK)
        if body in ("+GMR", "+CGMR"):
            return "\r\nRevision: 11.810.01.00.00\r\n" + OK
        if body.startswith("+CMGF="):
            self.cmgf = int(body[6:] or 0)
            return OK
        if body.startswith("+CSCS="):
            self.charset = cmd[8:].strip().strip('"').upper()
            return OK
        if body.startswith("+CSMP="):
            parts = body[6:].split(",")
            self.dcs = int(parts[3]) if len(parts) > 3 and parts[3].isdigit() else 0
            return OK
        if body.startswith("+CPMS"):
            return "\r\n+CPMS: %d,50,%d,50,%d,50\r\n%s" % ((len(self.inbox),) * 3 + (OK,))
        if body.startswith("+CNMI="):
            return OK
        if body == "+CPIN?":
            return "\r\n+CPIN: READY\r\n" + OK if self._sim() else "\r\n+CME ERROR: 10\r\n"
        if body == "+CREG?":
            return "\r\n+CREG: 0,%d\r\n%s" % (1 if self._registered() else 0, OK)
        if body == "+CSQ":
            return "\r\n+CSQ: %d,99\r\n%s" % (self.rssi if self._registered() else 99, OK)
        if body == "+COPS?":
            if not self._registered():
                return "\r\n+COPS: 0\r\n" + OK
            return '\r\n+COPS: 0,0,"%s"\r\n%s' % (self.operator, OK)
        if body == "+CSCA?":
            if not self._sim():
                return "\r\n+CME ERROR: 10\r\n"
            return '\r\n+CSCA: "%s",145\r\n%s' % (self.center, OK)
        if body.startswith("+CMGS="):
            if self.cmgf != 1:
                return "\r\n+CMS ERROR: 302\r\n"
            self.entry = cmd[8:].strip().strip('"')
            self.body = bytearray()
            return "\r\n> "
        if body.startswith("+CMGL"):
            if not self._sim():
                return "\r\n+CMS ERROR: 310\r\n"
            which = cmd[8:].strip().strip('"').upper() if "=" in cmd else "REC UNREAD"
            listing = ""
            for m in self.inbox:
                if which == "REC UNREAD" and m["read"]:
                    continue
                listing += self._listed(m, "REC READ" if m["read"] else "REC UNREAD")
                m["read"] = True
            return "\r\n" + listing + OK
        if body.startswith("+CMGR="):
            index = int(body[6:]) if body[6:].isdigit() else -1
            for m in self.inbox:
                if m["index"] == index:
                    status = "REC READ" if m["read"] else "REC UNREAD"
                    m["read"] = True
                    return "\r\n" + self._listed(m, status).replace(
                        "+CMGL: %d," % index, "+CMGR: ") + OK
            return "\r\n+CMS ERROR: 321\r\n"
        if body.startswith("+CMGD="):
            args = body[6:].split(",")
            flag = int(args[1]) if len(args) > 1 and args[1].isdigit() else 0
            if flag >= 1:
                self.inbox = [m for m in self.inbox if not m["read"]] if flag < 4 else []
            elif args[0].isdigit():
                self.inbox = [m for m in self.inbox if m["index"] != int(args[0])]
            return OK
        if body.startswith("+CFUN="):
            self._reset()
            self.quiet_until = time.monotonic() + RESTART_QUIET_S
            threading.Timer(RESTART_QUIET_S + 0.1, self._ready_after_restart).start()
            return OK
        return ERR

    def _ready_after_restart(self):
        with self.lock:
            if "off" not in self.faults and self._sim():
                self.out += b"\r\n+CPIN: READY\r\n"

    def take_output(self):
        with self.lock:
            data, self.out = bytes(self.out), bytearray()
            return data

    def state(self):
        with self.lock:
            return {"model": self.model, "rssi": self.rssi, "faults": sorted(self.faults),
                    "echo": self.echo, "charset": self.charset, "cmgf": self.cmgf,
                    "dcs": self.dcs, "inbox": len(self.inbox), "outbox": len(self.outbox)}


def handle_command(modem, req, stop_event):
    cmd = req.get("cmd")
    with modem.lock:
        if cmd == "ping":
            return "pong"
        if cmd == "deliver":
            return modem.deliver(str(req["sender"]), str(req["text"]), req.get("ucs2", False))
        if cmd == "outbox":
            return list(modem.outbox)
        if cmd == "clear_outbox":
            modem.outbox = []
            return None
        if cmd == "inbox":
            return list(modem.inbox)
        if cmd == "fault":
            name = req["name"]
            if name not in ("off", "no_sim", "no_network", "refuse"):
                raise ValueError("unknown fault %r" % name)
            if req.get("on", True):
                modem.faults.add(name)
            else:
                modem.faults.discard(name)
            return sorted(modem.faults)
        if cmd == "set":
            field, value = req["field"], req["value"]
            if field not in ("model", "rssi", "operator", "center", "echo"):
                raise ValueError("unknown field %r" % field)
            setattr(modem, field, value)
            return None
        if cmd == "commands":
            return [c["cmd"] for c in modem.commands[int(req.get("since", 0)):]]
        if cmd == "clear_commands":
            modem.commands = []
            return None
        if cmd == "state":
            return modem.state()
    if cmd == "quit":
        stop_event.set()
        return None
    raise ValueError("unknown command %r" % cmd)


def serve_line(modem, fd, stop_event):
    while not stop_event.is_set():
        ready, _, _ = select.select([fd], [], [], 0.02)
        if ready:
            try:
                data = os.read(fd, 4096)
            except OSError:
                data = b""
            if data:
                modem.feed(data)
        out = modem.take_output()
        if out:
            try:
                os.write(fd, out)
            except OSError:
                pass


def main(argv=None):
    p = argparse.ArgumentParser(description="GSM modem simulator")
    simcore.add_line_arguments(p)
    p.add_argument("--model", default="MG323", help="what ATI4 names (MG301, MG323, ...)")
    p.add_argument("--fault", action="append", default=[], help="a fault at start")
    args = p.parse_args(argv)

    modem = Modem(args.model)
    modem.faults.update(args.fault)
    socat, device = None, args.device
    if args.link:
        socat, device = simcore.start_socat(args.link)
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        tty.setraw(fd, termios.TCSANOW)
    except termios.error:
        pass
    stop_event = threading.Event()
    server = simcore.control_server(lambda req: handle_command(modem, req, stop_event),
                                    args.control_port)
    simcore.announce_ready(server.server_address[1], device, args.link, args.ready_file)
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop_event.set())
    try:
        serve_line(modem, fd, stop_event)
    finally:
        server.shutdown()
        os.close(fd)
        simcore.stop_socat(socat)


if __name__ == "__main__":
    sys.exit(main())
