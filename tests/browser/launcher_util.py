"""What the browser tests' launchers share: a card on a simulator's line in a
temporary folder, past the first-use page, and the stdin command loop that
answers one JSON line per command once the web server answers."""
import json
import os
import socket
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "integration"))
from cardlib import ADMIN_PASSWORD, Card, free_port, wait_for  # noqa: E402,F401


def make_card(tmp, sim, product, settings):
    """A card on port `free_port()` whose UPS line is the simulator's, with
    the product name written (past the first-use page); returns (card, port)."""
    port = free_port()
    card = Card(tmp, settings={"httpPort": str(port), **settings}, ports={1: sim.card_tty})
    with open(card.path("config/PRODUCT"), "w") as f:
        f.write(product + "\n")
    return card, port


def reply(answer):
    print(json.dumps(answer), flush=True)


def serve(card, sim, port, commands, info=None, ready=None):
    """Starts the card, waits for its web listener (and ready(), if given),
    prints {"port", "app_dir", "admin_password"} with info, then answers each
    stdin line "VERB ARG" with commands[VERB](ARG) ({"ok": false} for anything
    else). Stops card and simulator when stdin closes."""
    card.start()
    try:
        wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True,
                 15, "web listener")
        if ready:
            ready()
        reply({"port": port, "app_dir": card.app_dir, "admin_password": ADMIN_PASSWORD,
               **(info or {})})
        for line in sys.stdin:
            words = line.split()
            if len(words) == 2 and words[0] in commands:
                reply(commands[words[0]](words[1]))
            else:
                reply({"ok": False})
    finally:
        card.stop()
        sim.stop()
