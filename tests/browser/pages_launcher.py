"""Starts the simulated register-map UPS and a card polling it, with a day of
history alarms and UPS data recorded, for the browser tests of the status and
log pages. Prints one JSON line {"port", "app_dir", "admin_password", "day",
"history", "points"}
once the web server answers and the UPS link is up, then serves commands on
stdin, one per line, answering one JSON line each:
    scenario NAME     the simulator's situation (mains_failure, fault:fan, ...)
Ends (stopping card and simulator) when stdin closes."""
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from launcher_util import make_card, serve, wait_for  # noqa: E402
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
        card, port = make_card(tmp, sim, "ST-PAGES-1",
                               {"ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600",
                                "System_Name": "browser-ups", "SystemStartCount": "1"})
        fill(card.app_dir)
        web = Web(port)

        def scenario(name):
            sim.scenario(name)
            return {"ok": True}

        serve(card, sim, port, {"scenario": scenario},
              info={"day": DAY, "history": HISTORY, "points": POINTS},
              ready=lambda: wait_for(lambda: web.json("/EnergyChart")["output_V"] != "0", 30,
                                     "the UPS link"))


if __name__ == "__main__":
    main()
