"""The firmware update pages and the installation at the next start.

Rules checked, through the card's web server as a browser or the card's own
loopback client sends them:
  * a package for this card is accepted (cookie UpdateFlag=2): "Update/" then
    holds the payload alone; another hardware version answers UpdateFlag=4, a
    file that is no package (firmware.bin) UpdateFlag=3 with result=5, and a
    package with "../", absolute or link members UpdateFlag=3; every refusal
    and a dropped upload leave "Update/" empty and nothing outside it;
  * the update server path fetches the package with lftp from an FTP server;
  * the upload is streamed: cardmon's resident size during a 30 MB upload
    stays within 2 MB of idle;
  * scripts/package makes one package per board from a staged app: the page
    refuses the other board's (UpdateFlag=4) and the card installs its own;
  * after the update list the progress reads 10, 20, 30, 44, 55, 66, 77, 85,
    95, 100, the card reboots, and the launcher installs the payload before
    cardmon starts again (settings kept); a payload the launcher refuses, or
    a half-built installation left by a power cut, leaves the card as it was.
"""
import io
import os
import re
import socket
import tarfile
import threading
import time

import subprocess

import pytest

from cardlib import SOURCE, STAGE, Card, free_port, wait_for
from pages_helpers import Web

VERSIONS = "firmware test\n{hw}\nFW02K14\n"


def tar_gz(members):
    """A gzip tar of (name, bytes or None for a directory, kind) members."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", compresslevel=1) as t:
        for name, data, kind in members:
            info = tarfile.TarInfo(name)
            if kind == "dir":
                info.type = tarfile.DIRTYPE
                t.addfile(info)
            elif kind == "symlink":
                info.type = tarfile.SYMTYPE
                info.linkname = "/etc/passwd"
                t.addfile(info)
            else:
                info.size = len(data)
                info.mode = 0o644
                t.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def package(hw, payload=None, extra=()):
    payload = payload or [("www/fw-installed.txt", b"new firmware\n", "file")]
    return tar_gz([("gateway.tar.gz", tar_gz(payload), "file"),
                   ("gateway_config.csv", VERSIONS.format(hw=hw).encode(), "file")] + list(extra))


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("fw")
    port = free_port()
    card = Card(tmp / "c", settings={"httpPort": str(port), "SystemStartCount": "1",
                                     "marker_setting": "kept"})
    with open(card.path("config/PRODUCT"), "w") as f:
        f.write("ST20261208\n")
    card.start()
    wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True, 15,
             "web listener")
    web = Web(port)
    hw = "HW305KQM02" if card.setting("is_mem_64M") == "1" else "HW305KQM01"
    yield card, web, hw
    card.stop()


def upload(web, name, data):
    r = web.s.post(web.base + "/update", files={"file": (name, data)}, timeout=60)
    assert r.status_code == 200, r.text[:200]
    return r.cookies.get("UpdateFlag"), r.json()


def update_dir(card):
    return sorted(os.listdir(card.path("Update")))


def test_a_package_for_this_card_is_accepted_and_listed(rig):
    card, web, hw = rig
    pkg = package(hw)
    flag, answer = upload(web, f"Torvix_{hw}.tar.gz", pkg)
    assert (flag, answer["result"]) == ("2", "ok")
    assert update_dir(card) == ["gateway.tar.gz"]
    row = web.json("/UpdateList")["data"][0]
    assert row["cur_version"] == "FW02K13" and row["update_version"] == "FW02K14"
    assert row["update_size"] == "%.2f M" % (len(pkg) / 1048576)


def test_refusals_answer_their_cookie_and_leave_nothing(rig):
    card, web, hw = rig
    other = "HW305KQM01" if hw == "HW305KQM02" else "HW305KQM02"
    assert upload(web, "Torvix.tar.gz", package(other))[0] == "4"
    assert update_dir(card) == []

    flag, answer = upload(web, "firmware.bin", package(hw))
    assert (flag, answer["errmsg"]) == ("3", "result=5")
    assert update_dir(card) == []

    outside = os.path.dirname(card.app_dir)
    before = sorted(os.listdir(outside))
    hostile = [
        package(hw, extra=[("../escaped.txt", b"x", "file")]),
        package(hw, extra=[("/tmp/escaped-abs.txt", b"x", "file")]),
        package(hw, extra=[("link", None, "symlink")]),
        package(hw, payload=[("../../escaped.txt", b"x", "file")]),  # inside the payload
    ]
    for pkg in hostile:
        assert upload(web, "Torvix.tar.gz", pkg)[0] == "3"
        assert update_dir(card) == []
    assert sorted(os.listdir(outside)) == before
    assert not os.path.exists("/tmp/escaped-abs.txt")
    # The browser's path is dropped: only the base name is written.
    assert upload(web, "../../Torvix.tar.gz", package(hw))[0] == "2"
    assert update_dir(card) == ["gateway.tar.gz"]


def test_a_dropped_upload_leaves_the_directory_empty(rig):
    card, web, hw = rig
    body = (b"--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"Torvix.tar.gz\"\r\n"
            b"Content-Type: application/octet-stream\r\n\r\n" + os.urandom(200000))
    with socket.create_connection(("127.0.0.1", int(web.base.rsplit(":", 1)[1]))) as s:
        s.sendall(b"POST /update HTTP/1.1\r\nHost: card\r\nUser-Agent: settings\r\n"
                  b"Content-Type: multipart/form-data; boundary=XyZ\r\n"
                  b"Content-Length: %d\r\n\r\n" % (len(body) + 1000) + body)
        wait_for(lambda: update_dir(card) == ["Torvix.tar.gz"], 10, "the upload's file")
    wait_for(lambda: update_dir(card) == [], 10, "the partial file removed")


def test_the_update_server_path_fetches_with_lftp(rig, tmp_path):
    card, web, hw = rig
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer
    root = tmp_path / "ftp"
    (root / "update").mkdir(parents=True)
    (root / "update" / f"Torvix_{hw}.tar.gz").write_bytes(package(hw))
    auth = DummyAuthorizer()
    auth.add_user("fw", "p,a;s s\"", str(root), perm="elr")
    handler = type("H", (FTPHandler,), {"authorizer": auth})
    port = free_port()
    server = FTPServer(("127.0.0.1", port), handler)
    threading.Thread(target=server.serve_forever, kwargs={"timeout": 0.5}, daemon=True).start()
    try:
        saved = web.post_json("/FtpUpdate", {"ftp_server": "127.0.0.1", "ftp_port": str(port),
                                             "ftp_user": "fw", "ftp_pass": "p,a;s s\""})
        assert saved["result"] == "ok"
        r = web.s.post(web.base + "/LocateOrOnlineUpdate", data={"type": "1", "IsUpdateNo0": "1"},
                       timeout=60)
        assert r.cookies.get("UpdateFlag") == "2", card.app_log()[-2000:]
        assert update_dir(card) == ["gateway.tar.gz"]
        assert card.setting("FWUpdateType") == "1" and card.setting("IsNeedUpdate") == "1"
        # A server without the package: nothing fetched, UpdateFlag=1.
        os.remove(root / "update" / f"Torvix_{hw}.tar.gz")
        r = web.s.post(web.base + "/LocateOrOnlineUpdate", data={"type": "1"}, timeout=60)
        assert r.cookies.get("UpdateFlag") == "1"
        assert update_dir(card) == []
    finally:
        server.close_all()


def vm_rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def test_a_30_mb_upload_keeps_cardmon_memory_flat(rig):
    card, web, hw = rig
    pkg = package(hw, payload=[("lib/big.bin", os.urandom(30 * 1024 * 1024), "file")])
    assert len(pkg) > 30 * 1024 * 1024
    pid = card.pid()
    upload(web, "Torvix.tar.gz", b"warm-up")  # the connection thread and its buffers exist once
    idle = max(vm_rss_kb(pid) for _ in range(10) if time.sleep(0.05) is None)
    peak, done = [idle], threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], vm_rss_kb(pid))
            time.sleep(0.01)

    sampler = threading.Thread(target=sample)
    sampler.start()
    boundary = "fwboundary7"
    head = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file\"; "
            f"filename=\"Torvix.tar.gz\"\r\nContent-Type: application/gzip\r\n\r\n").encode()
    tail = f"\r\n--{boundary}--\r\n".encode()

    def body():
        yield head
        for at in range(0, len(pkg), 256 * 1024):
            yield pkg[at:at + 256 * 1024]
        yield tail

    # A generator body goes out chunked, piece by piece.
    r = web.s.post(web.base + "/update", data=body(), timeout=120,
                   headers={"Content-Type": f"multipart/form-data; boundary={boundary}"})
    done.set()
    sampler.join()
    grow = peak[0] - idle
    print(f"\ncardmon VmRSS: idle {idle} kB, peak during the 30 MB upload {peak[0]} kB, "
          f"growth {grow} kB")
    assert r.cookies.get("UpdateFlag") == "2"
    assert grow <= 2048
    os.remove(card.path("Update/gateway.tar.gz"))


def test_progress_reboots_and_the_launcher_installs_the_payload(rig):
    card, web, hw = rig
    payload = [("www/fw-installed.txt", b"new firmware\n", "file"),
               ("config/settings.db", b"not the card's settings", "file"),
               ("config/fw-default.conf", b"a new default\n", "file")]
    assert upload(web, "Torvix.tar.gz", package(hw, payload=payload))[0] == "2"
    pid = card.pid()
    web.json("/UpdateList")
    seen = [web.json("/UpdateProgress")["progress"] for _ in range(10)]
    assert seen == [10, 20, 30, 44, 55, 66, 77, 85, 95, 100]
    wait_for(lambda: any(c.startswith("reboot") for c in card.commands_log()), 15, "reboot")
    card.wait_running(30, old_pid=pid)
    assert card.read("www/fw-installed.txt") == "new firmware\n"
    assert card.read("config/fw-default.conf") == "a new default\n"
    assert card.setting("marker_setting") == "kept"  # settings.db was not replaced
    assert update_dir(card) == []
    with open(os.path.join(card.root, "install.log")) as f:
        assert "firmware update installed" in f.read()


def test_a_refused_payload_or_a_cut_installation_leaves_the_card_as_it_was(rig):
    card, web, hw = rig
    card.stop()
    app = card.app_dir
    os.makedirs(app + ".next/www")
    with open(app + ".next/www/half.txt", "w") as f:
        f.write("a copy cut short by a power loss")
    with open(card.path("Update/gateway.tar.gz"), "wb") as f:
        f.write(tar_gz([("www/evil.txt", b"x", "file"), ("lib", None, "symlink")]))
    card.start()
    assert not os.path.exists(app + ".next")
    assert not os.path.exists(card.path("www/evil.txt"))
    assert update_dir(card) == []
    assert card.setting("marker_setting") == "kept"
    with open(os.path.join(card.root, "install.log")) as f:
        assert "refused" in f.read().splitlines()[-1]


def test_the_built_package_installs_on_its_board_and_only_there(tmp_path):
    out = tmp_path / "packages"
    subprocess.run([os.path.join(SOURCE, "scripts", "package"), "--stage", STAGE, "--out", str(out)],
                   check=True, capture_output=True)
    port = free_port()
    card = Card(tmp_path / "c", settings={"httpPort": str(port), "is_mem_64M": "1",
                                          "marker_setting": "kept"})
    card.start()
    try:
        wait_for(lambda: socket.create_connection(("127.0.0.1", port), 1).close() or True, 15,
                 "web listener")
        web = Web(port)
        for_32mb = (out / "Torvix_HW305KQM01.tar.gz").read_bytes()
        assert upload(web, "Torvix_HW305KQM01.tar.gz", for_32mb)[0] == "4"
        assert update_dir(card) == []
        for_64mb = (out / "Torvix_HW305KQM02.tar.gz").read_bytes()
        assert upload(web, "Torvix_HW305KQM02.tar.gz", for_64mb)[0] == "2"
        assert update_dir(card) == ["gateway.tar.gz"]
        os.remove(card.path("cardmon"))  # the installation must bring it back
        card.stop()
        card.start()
        with open(os.path.join(card.root, "install.log")) as f:
            assert "firmware update installed" in f.read()
        with open(card.path("cardmon"), "rb") as a, open(os.path.join(STAGE, "cardmon"), "rb") as b:
            assert a.read() == b.read()
        assert card.setting("marker_setting") == "kept"
    finally:
        card.stop()
