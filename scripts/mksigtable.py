#!/usr/bin/python3
"""Writes config/signalTable/<driver>.db for every UPS driver: one line per
catalogue name, "driver-number stored-number name", from include/signals.h."""
import os
import re
import sys

DRIVERS = ["txtups_1", "txtups_3", "regups_b", "regups_c", "regups_a", "altups",
           "regups_d", "txtups_p", "txtups_q", "txtups_r", "batpack_x", "batpack_y"]


def main(header, outdir):
    rows = []
    for name, num in re.findall(r"^\s+([A-Za-z][A-Za-z0-9_]*) = (\d+),", open(header).read(), re.M):
        n = int(num)
        if 20000 <= n < 50000 and (n % 10000 < 1000 or name.lower().startswith(("data_bms", "config_bms"))):
            driver = n if n >= 40000 and name.lower().startswith(("data_bms", "config_bms")) else (n // 10000) * 1000 + n % 10000
            rows.append(f"{driver} {n} {name}")
    os.makedirs(outdir, exist_ok=True)
    for d in DRIVERS:
        with open(os.path.join(outdir, d + ".db"), "w") as f:
            f.write(f"# signal table of {d}: driver-number stored-number name\n")
            f.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
