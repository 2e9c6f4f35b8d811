"""What the device simulators share: the pseudo-terminal pair made with socat,
the JSON-lines control server and its client, the --device/--link options and
the READY announcement.

Control protocol: a line-based TCP server on 127.0.0.1, one JSON object per
line each way; a request {"cmd": ..., ...} is answered {"ok":true,"result":...}
or {"ok":false,"error":"..."}. Each simulator's handle_command(req) says what
the commands do.
"""

import json
import os
import socket
import socketserver
import subprocess
import threading
import time


def start_socat(link):
    """A pseudo-terminal pair: `link` for the card, `link`.sim for us."""
    sim_end = link + ".sim"
    os.makedirs(os.path.dirname(os.path.abspath(link)), exist_ok=True)
    for p in (link, sim_end):
        if os.path.lexists(p):
            os.unlink(p)
    proc = subprocess.Popen(
        ["socat", "pty,raw,echo=0,link=" + sim_end, "pty,raw,echo=0,link=" + link],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not (os.path.exists(link) and os.path.exists(sim_end)):
        if proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("socat did not create the pseudo-terminal pair")
        time.sleep(0.05)
    return proc, sim_end


def stop_socat(proc):
    if proc:
        proc.terminate()
        proc.wait(5)


def answer_line(handle, line):
    """The encoded answer to one request line: handle(req) gives the result,
    an exception the error."""
    try:
        answer = {"ok": True, "result": handle(json.loads(line))}
    except Exception as exc:  # pylint: disable=broad-except
        answer = {"ok": False, "error": str(exc)}
    return (json.dumps(answer) + "\n").encode()


def control_server(handle, port):
    """A threaded control server on 127.0.0.1:port (0: any free port)."""
    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            for line in self.rfile:
                self.wfile.write(answer_line(handle, line))

    class Server(socketserver.ThreadingTCPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server(("127.0.0.1", port), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class SimClient:
    """Client of the control server: SimClient(port).call("scenario", name=..)."""

    def __init__(self, port, host="127.0.0.1", timeout=10.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.rfile = self.sock.makefile("rb")

    def call(self, cmd, **kw):
        kw["cmd"] = cmd
        self.sock.sendall((json.dumps(kw) + "\n").encode())
        line = self.rfile.readline()
        if not line:
            raise ConnectionError("simulator closed the control connection")
        answer = json.loads(line)
        if not answer.get("ok"):
            raise RuntimeError("simulator: %s" % answer.get("error"))
        return answer.get("result")

    def close(self):
        try:
            self.rfile.close()
            self.sock.close()
        except OSError:
            pass


def add_line_arguments(p):
    """--device or --link (one of them), --control-port and --ready-file."""
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--device", help="serve on this existing tty")
    where.add_argument("--link", help="create a socat pair; the card opens LINK")
    p.add_argument("--control-port", type=int, default=0)
    p.add_argument("--ready-file")


def announce_ready(control_port, sim_tty, card_tty, ready_file=None):
    """Prints "READY {json}" and writes the same JSON to ready_file."""
    ready = {"control_port": control_port, "sim_tty": sim_tty, "card_tty": card_tty,
             "pid": os.getpid()}
    if ready_file:
        tmp = ready_file + ".tmp"
        with open(tmp, "w") as f:
            json.dump(ready, f)
        os.replace(tmp, ready_file)
    print("READY " + json.dumps(ready), flush=True)
