"""Starts a simulated text UPS that only hears 4800 baud and a card whose UPS
line is set to 2400, for the browser test of the identification page. Prints
one JSON line {"port", "app_dir", "admin_password"} once the web server answers, then serves
commands on stdin, one per line, answering one JSON line each:
    setting KEY       the card's setting KEY
Ends (stopping card and simulator) when stdin closes."""
import json
import os
import socket
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "integration"))
from cardlib import ADMIN_PASSWORD, Card, free_port, wait_for  # noqa: E402
from simlib import TxtupsSim  # noqa: E402


def main():
    with tempfile.TemporaryDirectory(prefix="card-identify-") as tmp:
        sim = TxtupsSim(os.path.join(tmp, "sim"), model=101, speed=4800)
        port = free_port()
        card = Card(tmp, settings={"httpPort": str(port), "ups_type": "0", "ups_addr": "1",
                                   "ups_baudRate": "2400", "use_dev_fun3": "0",
                                   "config_test_period": "0", "SystemStartCount": "1"},
                    ports={1: sim.card_tty})
        with open(card.path("config/PRODUCT"), "w") as f:  # past the first-use page
            f.write("ST-IDENTIFY-1\n")
        card.start()
        try:
            wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True,
                     15, "web listener")
            print(json.dumps({"port": port, "app_dir": card.app_dir,
                              "admin_password": ADMIN_PASSWORD}), flush=True)
            for line in sys.stdin:
                words = line.split()
                if len(words) == 2 and words[0] == "setting":
                    print(json.dumps({"value": card.setting(words[1])}), flush=True)
                else:
                    print(json.dumps({"ok": False}), flush=True)
        finally:
            card.stop()
            sim.stop()


if __name__ == "__main__":
    main()
