"""Starts a card fresh from the factory (no serial number, the factory
administrator password) for the browser test of the first password. Prints
one JSON line {"port", "app_dir", "factory_password"} once the web server
answers, then serves commands on stdin, one per line, answering one JSON line
each:
    shadow            the sandbox's record of the system accounts' passwords
                      (user -> "sha256:<hex>", as the chpasswd stand-in keeps it)
    restarted         waits for the card to come back after a reboot (a factory
                      reset), puts the web back on its port and waits for it
Ends (stopping the card) when stdin closes."""
import json
import os
import socket
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "integration"))
from cardlib import FACTORY_PASSWORD, Card, free_port, wait_for  # noqa: E402


def web_up(port):
    wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True, 30,
             "web listener")


def shadow(card):
    try:
        with open(card.sys_path("etc/shadow")) as f:
            return dict(line.split(":", 1) for line in f.read().splitlines())
    except FileNotFoundError:
        return {}


def restarted(card, port, pid):
    card.wait_running(45, old_pid=pid)
    # The reset gave the web its factory port; this card keeps the test's.
    if card.setting("httpPort") != str(port):
        pid = card.pid()
        card.set_setting("httpPort", str(port))
        card.ctl("event", 0, 3000, check=False)  # restart; the answer may not outlive it
        card.wait_running(45, old_pid=pid)
    web_up(port)
    return card.pid()


def main():
    with tempfile.TemporaryDirectory(prefix="card-first-") as tmp:
        port = free_port()
        card = Card(tmp, settings={"httpPort": str(port)}, first_use=True)
        card.start()
        try:
            web_up(port)
            pid = card.pid()
            print(json.dumps({"port": port, "app_dir": card.app_dir,
                              "factory_password": FACTORY_PASSWORD}), flush=True)
            for line in sys.stdin:
                words = line.split()
                if words == ["shadow"]:
                    print(json.dumps(shadow(card)), flush=True)
                elif words == ["restarted"]:
                    pid = restarted(card, port, pid)
                    print(json.dumps({"ok": True}), flush=True)
                else:
                    print(json.dumps({"ok": False}), flush=True)
        finally:
            card.stop()


if __name__ == "__main__":
    main()
