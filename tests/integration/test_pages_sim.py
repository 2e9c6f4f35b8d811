"""The energy-flow answer, the current alarms and the port console of a card
polling the simulated register-map UPS (ups_type 4) over a pseudo-terminal:
values against the simulator's state, the flow direction and battery state
per situation, the lost-link rule, and a console frame's round trip."""
import pytest

from cardlib import wait_for
from pages_helpers import web_card
from simlib import RegupsSim

# Members of the register-map builder, in order (no sensors configured).
REGUPS_A = [
    "ups_type", "device_type", "sub_device_type", "ups_model_str", "ups_netstatus",
    "input_V", "input_A", "input_Hz", "input_pow_factor", "bypass_V", "bypass_A", "bypass_Hz",
    "bypass_pow_factor", "bypass_act_pow", "bypass_app_pow", "rated_input_V", "rated_input_Hz",
    "rated_output_V", "rated_output_Hz", "rated_power", "rated_volume", "serial_number",
    "software_version", "output_V", "output_A", "output_Hz", "output_load", "output_act_pow",
    "output_app_pow", "output_pow_factor", "bat_V", "bat_A", "bat_temp", "bat_sup_time",
    "rec_temp", "inv_temp", "bat_re_time", "bat_re_volume", "bat_status", "energy_flow_dir",
] + [f"energy_flow_part{k}" for k in range(1, 8)]

MEASUREMENTS = [m for m in REGUPS_A[5:] if m not in (
    "serial_number", "software_version", "bat_status", "energy_flow_dir")
    and not m.startswith("energy_flow_part")]


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


@pytest.fixture
def sim(tmp_path):
    s = RegupsSim(tmp_path / "sim", model=299)
    yield s
    s.stop()


@pytest.fixture
def ups(make_card, sim):
    card, web = web_card(make_card, {"ups_type": "4", "ups_addr": "1", "ups_baudRate": "9600",
                                     "System_Name": "sim-ups", "communication_timeout": "1"},
                         ports={1: sim.card_tty})
    wait_for(lambda: web.json("/EnergyChart")["ups_netstatus"] == "0" and
             web.json("/EnergyChart")["output_V"] != "0", 30, "the UPS link")
    return card, web


def chart_when(web, cond, what, timeout=20):
    last = {}

    def check():
        last.clear()
        last.update(web.json("/EnergyChart"))
        return cond(last)

    try:
        return wait_for(lambda: check() and dict(last), timeout, what)
    except AssertionError:
        raise AssertionError(f"{what}: last answer {last}")


def test_energy_chart_against_the_simulator(ups, sim):
    card, web = ups
    sim.set("input_v", [230.0, 231.5, 229.9])
    d = chart_when(web, lambda d: d["input_V"] == "230.0/231.5/229.9", "three input phases")
    assert list(d) == REGUPS_A
    e = sim.expected()
    assert (d["ups_type"], d["ups_model_str"], d["ups_netstatus"]) == (4, "sim-ups", "0")
    assert d["sub_device_type"] == e[40096] == 299
    assert d["input_A"] == "%.1f/%.1f/%.1f" % (e[40136], e[40137], e[40138])
    assert d["input_pow_factor"] == "0.98/0.97/0.99"  # power factors keep two decimals
    assert d["output_V"] == "%.1f" % e[40164]  # one output phase on this model
    assert d["bypass_Hz"] == "%.1f" % e[40191]
    assert (d["bat_V"], d["bat_A"], d["bat_temp"]) == ("240.5", "1.5", "25.5")
    assert (d["rec_temp"], d["inv_temp"], d["rated_volume"]) == ("35.2", "38.4", "10000.0")
    assert (d["bat_re_time"], d["bat_re_volume"]) == ("35", "100")
    assert d["software_version"] == "V2.80" and d["serial_number"] == "UPS-299"
    assert [d[f"energy_flow_part{k}"] for k in range(1, 8)] == [1, 1, 1, 1, 0, 0, 0]
    assert (d["energy_flow_dir"], d["bat_status"]) == ("1", "0")  # on inverter, float charge

    sim.scenario("bypass")  # output source 4
    d = chart_when(web, lambda d: d["energy_flow_dir"] == "3", "output on bypass")
    assert [d[f"energy_flow_part{k}"] for k in range(1, 8)] == [0, 0, 0, 0, 1, 1, 0]

    sim.scenario("mains_failure")  # output source 5, on battery
    d = chart_when(web, lambda d: d["energy_flow_dir"] == "2", "output on battery")
    assert d["bat_status"] == "1" and d["input_V"] == "0.0/0.0/0.0"
    assert d["energy_flow_part3"] == 2


def test_lost_link_hides_every_measurement(ups, sim):
    card, web = ups
    sim.reply_mode("silent")
    d = chart_when(web, lambda d: d["ups_netstatus"] == "1", "the link to be lost", 40)
    assert card.setting("ups_lost") == "1"
    assert {m: d[m] for m in MEASUREMENTS} == {m: "0" for m in MEASUREMENTS}
    assert [d[f"energy_flow_part{k}"] for k in range(1, 8)] == [0] * 7
    assert (d["bat_status"], d["energy_flow_dir"]) == ("6", "0")
    sim.reply_mode("answer")
    chart_when(web, lambda d: d["ups_netstatus"] == "0" and d["output_V"] != "0",
               "the link back", 30)


def test_alarm_of_the_ups_on_the_current_alarm_page(ups, sim):
    card, web = ups
    assert web.json("/CurrentAlarm")["IsNew"] in (0, 2)
    sim.scenario("mains_failure")  # input fault: alarm 5
    doc = wait_for(lambda: (lambda d: d if any(r["event"] == 5 for r in d["data"]) else None)(
        web.json("/CurrentAlarm")), 15, "alarm 5 on the page")
    assert doc["IsNew"] == 1
    row = next(r for r in doc["data"] if r["event"] == 5)
    assert row["sys_name"] == "sim-ups" and row["start_time"].startswith("20")


def test_port_console_round_trip(ups, sim):
    card, web = ups
    frame = bytes([1, 4, 0, 0, 0, 1])
    frame += crc16(frame)
    text = " ".join("%02X" % b for b in frame)
    sim.clear_requests()
    assert web.post_json("/PrintPortLog", {"coding": "1", "porttype": "0",
                                          "senddata": text + "\r\n"})["result"] == "ok"
    answers = []

    def transcript():
        a = web.json("/PrintPortLog", coding=1, porttype=0)
        answers.append(a)
        return a["totalnum"] >= 2 and a

    got = wait_for(transcript, 10, "the console's transcript")
    send, recv = got["data"][:2]
    assert send.startswith("send:") and send.endswith(
        " ".join("%02x" % b for b in frame) + " ")
    assert recv.startswith("recv:")
    reply = bytes(int(x, 16) for x in recv.split(":", 4)[-1].split()[1:])
    assert reply[:3] == bytes([1, 4, 2]) and crc16(reply[:-2]) == reply[-2:]
    assert any(r["fc"] == 4 and r["addr"] == 0 and r["count"] == 1 for r in sim.requests())
    assert card.read("data/send_data.txt", "rb").count(b"\r\n") == 2
    # the next session of the console starts with a fresh transcript
    assert web.post_json("/PrintPortLog", {"coding": "0", "porttype": "0",
                                          "senddata": "hello"})["result"] == "ok"
    assert card.read("data/send_data.txt", "rb").startswith(b"send:")
    assert card.read("data/send_data.txt", "rb").endswith(b" hello\r\n")
