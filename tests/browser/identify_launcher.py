"""Starts a simulated text UPS that only hears 4800 baud and a card whose UPS
line is set to 2400, for the browser test of the identification page. Prints
one JSON line {"port", "app_dir", "admin_password"} once the web server answers, then serves
commands on stdin, one per line, answering one JSON line each:
    setting KEY       the card's setting KEY
Ends (stopping card and simulator) when stdin closes."""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from launcher_util import make_card, serve  # noqa: E402
from simlib import TxtupsSim  # noqa: E402


def main():
    with tempfile.TemporaryDirectory(prefix="card-identify-") as tmp:
        sim = TxtupsSim(os.path.join(tmp, "sim"), model=101, speed=4800)
        card, port = make_card(tmp, sim, "ST-IDENTIFY-1",
                               {"ups_type": "0", "ups_addr": "1", "ups_baudRate": "2400",
                                "use_dev_fun3": "0", "config_test_period": "0",
                                "SystemStartCount": "1"})
        serve(card, sim, port, {"setting": lambda key: {"value": card.setting(key)}})


if __name__ == "__main__":
    main()
