"""Starts the simulated register-map UPS and a card polling it, with a day of
history alarms and UPS data recorded, for the browser tests of the status and
log pages. Prints one JSON line {"port", "app_dir", "admin_password", "day",
"history", "points"}
once the web server answers and the UPS link is up, then serves commands on
stdin, one per line, answering one JSON line each:
    scenario NAME     the simulator's situation (mains_failure, fault:fan, ...)
Ends (stopping card and simulator) when stdin closes."""
import json
import os
import socket
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "integration"))
from cardlib import ADMIN_PASSWORD, Card, free_port, wait_for  # noqa: E402
from pages_helpers import Web, seed, ups_row  # noqa: E402
from simlib import RegupsSim  # noqa: E402

DAY = "2026-11-20"
HISTORY = 23
POINTS = 48  # one UPS sample every half hour


# A UPS sample's other columns, as the store records them.
TYPICAL = dict(Input_C="10.2/10.4/10.1", Input_F="50.0/50.1/49.9", Input_TP="2.3",
               Internal_Temp="31.0", Output_V="220.0", Output_C="15.0", Output_F="50.0",
               Output_P="3.0", By_V="230.0", By_C="0.0", By_F="50.0", By_TP="0.0", By_AP="0.0",
               Bat_V="240.5", Bat_C="1.5", Bat_Tem="25.5", Bat_Time="35", Bat_AV="100")


def fill(app_dir):
    seed(app_dir, "alarm_info.db", "history_alarm",
         [(f"{DAY} {i // 2:02d}:{30 * (i % 2):02d}:00", "5", f"{DAY} {i // 2:02d}:{30 * (i % 2):02d}:09",
           "Dev:UPS") for i in range(HISTORY)])
    seed(app_dir, "ups_data.db", "ups_data",
         [ups_row(f"{DAY} {i // 2:02d}:{30 * (i % 2):02d}:00",
                  Input_V="%.1f/230.0/230.0" % (220 + 10 * ((i % 12) / 6 - 1) ** 2),
                  Output_L="%d/0/0" % (30 + i % 17), **TYPICAL) for i in range(POINTS)])


def main():
    with tempfile.TemporaryDirectory(prefix="card-pages-") as tmp:
        sim = RegupsSim(os.path.join(tmp, "sim"), model=299)
        port = free_port()
        card = Card(tmp, settings={"httpPort": str(port), "ups_type": "4", "ups_addr": "1",
                                   "ups_baudRate": "9600", "System_Name": "browser-ups",
                                   "SystemStartCount": "1"},
                    ports={1: sim.card_tty})
        with open(card.path("config/PRODUCT"), "w") as f:
            f.write("ST-PAGES-1\n")
        fill(card.app_dir)
        card.start()
        try:
            wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True,
                     15, "web listener")
            web = Web(port)
            wait_for(lambda: web.json("/EnergyChart")["output_V"] != "0", 30, "the UPS link")
            print(json.dumps({"port": port, "app_dir": card.app_dir,
                              "admin_password": ADMIN_PASSWORD, "day": DAY,
                              "history": HISTORY, "points": POINTS}), flush=True)
            for line in sys.stdin:
                words = line.split()
                if len(words) == 2 and words[0] == "scenario":
                    sim.scenario(words[1])
                    print(json.dumps({"ok": True}), flush=True)
                else:
                    print(json.dumps({"ok": False}), flush=True)
        finally:
            card.stop()
            sim.stop()


if __name__ == "__main__":
    main()
