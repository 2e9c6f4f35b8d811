"""Starts a card for the browser tests and keeps it running until stdin closes.

Prints one JSON line {"port": N, "app_dir": ..., "admin_password": ...} once the
web server answers.
Uses the integration harness, so the card runs exactly as in the pytest suites.
"""
import json
import os
import socket
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
from cardlib import ADMIN_PASSWORD, Card, free_port, wait_for  # noqa: E402


def main():
    settings = json.loads(sys.argv[1]) if len(sys.argv) > 1 else {}
    with tempfile.TemporaryDirectory(prefix="card-browser-") as tmp:
        port = free_port()
        card = Card(tmp, settings=dict(settings, httpPort=str(port)))
        card.start()
        try:
            wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True,
                     15, "web listener")
            print(json.dumps({"port": port, "app_dir": card.app_dir,
                              "admin_password": ADMIN_PASSWORD}), flush=True)
            sys.stdin.read()
        finally:
            card.stop()


if __name__ == "__main__":
    main()
