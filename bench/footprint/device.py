"""What the card's firmware takes of a card: flash for the app directory and the
system libraries it needs, and resident memory of cardmon and of the SNMP agent
idle and under load (the home page open in browsers, SNMP walks, 50 Modbus/TCP
masters), for the card's own build (armel, run under qemu-arm) beside the host
build. bench/footprint/run --device prints it; see there.

Under qemu-arm the emulator's own memory (its translated code, its heap) is
not the card's: the card's program lives in a guest address space that qemu
maps at a fixed base (QEMU_GUEST_BASE), and the resident pages in that range
are what the same program keeps resident on the card.
"""
import itertools
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
ARMEL_ROOT = os.path.join(SOURCE, "build-armel", "root")
GUEST_BASE = 1 << 40
GUEST_SPAN = 1 << 32
CARD_MB = 32

# A 32 MB card: the kernel's code, data, slabs and page tables (~6 MB), init,
# the shell, syslog, the DHCP clients and the other system daemons (~3 MB) and a
# page cache to run programs from flash and to hold the databases' hot pages
# (~7 MB) leave 16 MB for the firmware, cardmon and its SNMP agent together,
# peak under load: counted as pss (a library both map counts once). Of it at
# most 8 MB may be anonymous (heap, stacks, data): without swap those pages
# never leave memory, while library pages can be dropped and read again. The
# app directory gets 8 MB of the card's flash partition.
BUDGET_FIRMWARE_KB = 16 * 1024
BUDGET_ANON_KB = 8 * 1024
BUDGET_APP_BYTES = 8 << 20


# ---- sizes ----

def needed(path, readelf="readelf"):
    out = subprocess.run([readelf, "-d", path], capture_output=True, text=True).stdout
    return [l.split("[", 1)[1].split("]", 1)[0] for l in out.splitlines() if "(NEEDED)" in l]


def find_lib(name, roots, dirs):
    for root in roots:
        for d in dirs:
            p = os.path.join(root + d, name)
            if os.path.exists(p):
                return os.path.realpath(p)
    return None


def system_libraries(stage, root, multiarch):
    """The shared libraries from outside the app that its programs and
    plug-ins load, each with its size: what the card's system must carry."""
    own = {n for n in os.listdir(os.path.join(stage, "lib"))}
    dirs = [f"/lib/{multiarch}", f"/usr/lib/{multiarch}", "/lib", "/usr/lib"]
    todo = [os.path.join(stage, p) for p in ("cardmon", "cardctl")]
    todo += [os.path.join(stage, "lib", n) for n in sorted(own)]
    seen, libs = set(), {}
    while todo:
        for name in needed(todo.pop()):
            if name in own or name in seen:
                continue
            seen.add(name)
            path = find_lib(name, [root], dirs)
            if path:
                libs[name] = os.path.getsize(path)
                todo.append(path)
    return libs


def tree_bytes(path):
    total = 0
    for top, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(top, f)) for f in files)
    return total


def stripped_size(path):
    """Size of a program or library as it would go on a card: the host build
    keeps its debug information, the device stage is stripped already."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "stripped")
        if subprocess.run(["strip", "-o", out, path], capture_output=True).returncode:
            return os.path.getsize(path)
        return os.path.getsize(out)


def sizes(stage, root, multiarch):
    lib = os.path.join(stage, "lib")
    binaries = {p: os.path.join(stage, p) for p in ("cardmon", "cardctl")}
    binaries.update({n: os.path.join(lib, n) for n in sorted(os.listdir(lib))})
    sized = {n: stripped_size(p) for n, p in binaries.items()}
    rest = tree_bytes(stage) - sum(os.path.getsize(p) for p in binaries.values())
    return {
        "app": rest + sum(sized.values()),
        "programs": {p: sized[p] for p in ("cardmon", "cardctl")},
        "libraries": {n: sized[n] for n in sorted(os.listdir(lib))},
        "www": tree_bytes(os.path.join(stage, "www")),
        "config": tree_bytes(os.path.join(stage, "config")),
        "system": system_libraries(stage, root, multiarch),
    }


# ---- memory ----

def resident(pid, emulated):
    """Resident memory of a process as the card would count it, in kB: rss (every
    page mapped in), pss (shared pages divided among the processes that map
    them: the firmware's processes add up without counting a library twice) and
    anon (heap, stacks, data: what must stay in memory on a card without swap;
    library pages can be dropped and read again from flash)."""
    got = {"rss": 0, "pss": 0, "anon": 0}
    if not pid:
        return got
    keys = {"Rss:": "rss", "Pss:": "pss", "Anonymous:": "anon"}
    inside = not emulated
    try:
        with open(f"/proc/{pid}/smaps") as f:
            for line in f:
                head = line.split(None, 1)[0]
                if head in keys:
                    if inside:
                        got[keys[head]] += int(line.split()[1])
                elif "-" in head and not head.endswith(":") and emulated:
                    start = int(head.split("-")[0], 16)
                    inside = GUEST_BASE <= start < GUEST_BASE + GUEST_SPAN
    except (OSError, ValueError):
        pass
    return got


# Each load counts the answers it got, so that a phase shows it was loaded.

def web_load(port, stop, answers):
    sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))
    from pages_helpers import Web
    web = Web(port)
    for path in ("/home.html", "/image/logo.png", "/css/app.css", "/css/pages.css", "/js/nav.js",
                 "/js/pages.js", "/js/home.js"):
        answers.append(web.get(path).status_code == 200)
    while not stop.is_set():
        for route in ("/EnergyChart", "/sysTime"):
            answers.append(web.get(route).status_code == 200)


def snmp_load(port, stop, answers):
    while not stop.is_set():
        r = subprocess.run(["snmpbulkwalk", "-m", "", "-On", "-v2c", "-c", "public", "-t", "5",
                            "-r", "1", f"127.0.0.1:{port}", ".1.3.6.1"], capture_output=True,
                           text=True, timeout=120)
        answers.append(r.returncode == 0 and r.stdout.count("\n") > 100)


MASTERS = itertools.count()


def modbus_load(port, stop, answers):
    # Read 10 input registers from 0, again and again, on one connection. The
    # masters come from four addresses: the card caps connections per address.
    request = struct.pack(">HHHBBHH", 1, 0, 6, 1, 4, 0, 10)
    source = f"127.0.0.{2 + next(MASTERS) % 4}"
    try:
        s = socket.create_connection(("127.0.0.1", port), 10, source_address=(source, 0))
    except OSError:
        answers.append(False)
        return
    with s:
        s.settimeout(10)
        while not stop.is_set():
            try:
                s.sendall(request)
                reply = s.recv(256)
            except OSError:
                reply = b""
            answers.append(len(reply) == 9 + 20)
            if not reply:
                return


LOADS = {"web": [web_load] * 4, "snmp": [snmp_load] * 2, "modbus": [modbus_load] * 50}


def memory(stage, emulate, phase_seconds):
    """Runs one card on the register-map simulator and samples cardmon and
    its SNMP agent through an idle phase and each load, then all at once."""
    sys.path.insert(0, os.path.join(SOURCE, "tests", "integration"))
    from cardlib import Card, free_port, wait_for
    from simlib import RegupsSim

    if emulate:
        os.environ["QEMU_GUEST_BASE"] = hex(GUEST_BASE)
    ports = {"web": free_port(), "snmp": free_port(socket.SOCK_DGRAM), "modbus": free_port()}
    root = tempfile.mkdtemp(prefix="fp", dir="/tmp")
    sim = RegupsSim(os.path.join(root, "sim"), model=299)
    card = Card(root, stage=stage, ports={1: sim.card_tty}, settings={
        "ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600",
        "httpPort": ports["web"], "snmp_port": ports["snmp"], "mbtcp_slavePort": ports["modbus"],
        "snmp_community_0": "public", "snmp_permission_0": "1", "snmp_manage_ip_0": "*.*.*.*"})
    getattr(sim, "attach", lambda c: None)(card)
    card.start(timeout=120)
    result = {}
    try:
        wait_for(lambda: subprocess.run(
            ["snmpget", "-m", "", "-Oqv", "-v2c", "-c", "public", "-t", "2", "-r", "0",
             f"127.0.0.1:{ports['snmp']}", ".1.3.6.1.2.1.33.1.1.4.0"],
            capture_output=True, text=True).stdout.strip() == '"FW02K13"', 120, "the SNMP agent")
        cfg = card.sys_path("etc/snmpd.cfg")

        def agent():
            out = subprocess.run(["pgrep", "-f", f"snmpd -f -C -c {cfg}"], capture_output=True,
                                 text=True).stdout.split()
            return int(out[0]) if out else None

        def sample(loads):
            stop = threading.Event()
            answers = {name: [] for name in loads}
            threads = [threading.Thread(target=fn, args=(ports[name], stop, answers[name]),
                                        daemon=True)
                       for name in loads for fn in LOADS[name]]
            for t in threads:
                t.start()
            peak = {}
            end = time.monotonic() + phase_seconds
            while time.monotonic() < end:
                a, b = resident(card.pid(), emulate), resident(agent(), emulate)
                now = {"cardmon_rss": a["rss"], "cardmon_anon": a["anon"],
                       "snmpd_rss": b["rss"], "snmpd_anon": b["anon"],
                       "firmware_pss": a["pss"] + b["pss"], "firmware_anon": a["anon"] + b["anon"]}
                peak = {k: max(v, peak.get(k, 0)) for k, v in now.items()}
                time.sleep(0.25)
            stop.set()
            for t in threads:
                t.join(30)
            for name, got in answers.items():
                peak[name + "_answers"] = sum(got)
                peak[name + "_failed"] = len(got) - sum(got)
            return peak

        time.sleep(phase_seconds / 2)  # settle after start-up
        result["idle"] = sample([])
        for name in LOADS:
            result[name] = sample([name])
        result["all"] = sample(list(LOADS))
    finally:
        card.stop()
        sim.stop()
    return result


def main(args):
    arm_stage = os.path.join(SOURCE, "build-armel", "sandbox", "stage")
    host_stage = args.stage or os.path.join(SOURCE, "build", "stage")
    for need in (arm_stage, ARMEL_ROOT, host_stage):
        if not os.path.exists(need):
            sys.exit(f"footprint: {need} is missing: run scripts/device-build --sandbox "
                     "and scripts/build first")
    device_stage = os.path.join(SOURCE, "build-armel", "device", "stage")
    arm_sizes = sizes(device_stage if os.path.isdir(device_stage) else arm_stage, ARMEL_ROOT,
                      "arm-linux-gnueabi")
    host_sizes = sizes(host_stage, "", "x86_64-linux-gnu")

    def measured(stage, emulate):
        env = dict(os.environ)
        env.pop("CARD_EMULATE", None)
        if emulate:
            env["CARD_EMULATE"] = ARMEL_ROOT
        out = subprocess.run([sys.executable, os.path.abspath(__file__), stage,
                              str(args.phase_seconds)] + (["--emulate"] if emulate else []),
                             env=env, capture_output=True, text=True, check=True).stdout
        return json.loads(out.strip().splitlines()[-1])

    arm_mem, host_mem = measured(arm_stage, True), measured(host_stage, False)
    report(arm_sizes, host_sizes, arm_mem, host_mem)
    pss = max(v["firmware_pss"] for v in arm_mem.values())
    anon = max(v["firmware_anon"] for v in arm_mem.values())
    checks = [("firmware resident (pss)", pss, BUDGET_FIRMWARE_KB, "kB"),
              ("firmware anonymous", anon, BUDGET_ANON_KB, "kB"),
              ("app directory", arm_sizes["app"] // 1024, BUDGET_APP_BYTES // 1024, "kB")]
    print(f"\nbudget on a {CARD_MB} MB card (ARM build, peak over every phase):")
    for what, got, limit, unit in checks:
        print(f"  {what:<26} {got:>7} {unit} of {limit:>6} {unit}: "
              + ("within" if got <= limit else "OVER"))
    print(f"  the firmware holds {pss / (CARD_MB * 1024) * 100:.0f}% of the card's memory at its peak")
    return 0 if all(got <= limit for _, got, limit, _ in checks) else 1


def kb(n):
    return f"{n / 1024:.0f} kB"


def report(arm, host, arm_mem, host_mem):
    print(f"{'flash (stripped)':<28} {'ARM (armel)':>14} {'host':>14}")
    print(f"{'app directory':<28} {kb(arm['app']):>14} {kb(host['app']):>14}")
    for p in arm["programs"]:
        print(f"  {p:<26} {kb(arm['programs'][p]):>14} {kb(host['programs'].get(p, 0)):>14}")
    for n in arm["libraries"]:
        print(f"  lib/{n:<22} {kb(arm['libraries'][n]):>14} {kb(host['libraries'].get(n, 0)):>14}")
    for part in ("www", "config"):
        print(f"  {part + '/':<26} {kb(arm[part]):>14} {kb(host[part]):>14}")
    print(f"{'system libraries needed':<28} {kb(sum(arm['system'].values())):>14} "
          f"{kb(sum(host['system'].values())):>14}")
    for n, size in sorted(arm["system"].items(), key=lambda x: -x[1]):
        print(f"  {n:<26} {kb(size):>14} {kb(host['system'].get(n, 0)):>14}")
    print(f"\n{'resident memory, peak kB':<26} {'':>4}{'cardmon':>15} {'snmpd':>15} {'firmware':>15}")
    print(f"{'':<26} {'':>4}{'rss':>7} {'anon':>7} {'rss':>7} {'anon':>7} {'pss':>7} {'anon':>7}")
    for phase in arm_mem:
        label = {"idle": "idle", "web": "home page open x4", "snmp": "SNMP bulk walks x2",
                 "modbus": "Modbus/TCP, 50 masters", "all": "all of these at once"}[phase]
        for cpu, m in (("ARM", arm_mem[phase]), ("host", host_mem[phase])):
            print(f"{label if cpu == 'ARM' else '':<26} {cpu:>4}" + "".join(
                f"{m[k]:>7} " for k in ("cardmon_rss", "cardmon_anon", "snmpd_rss", "snmpd_anon",
                                        "firmware_pss", "firmware_anon"))
                + "  " + ", ".join(f"{m[n + '_answers']} {n} answers"
                                   + (f" ({m[n + '_failed']} failed)" if m[n + '_failed'] else "")
                                   for n in LOADS if n + "_answers" in m))


if __name__ == "__main__":
    # One card's memory, measured in a process of its own (the test harness
    # reads its CPU from the environment when it is imported).
    print(json.dumps(memory(sys.argv[1], "--emulate" in sys.argv, float(sys.argv[2]))))
