"""The energy-flow answer of each UPS family, from signals set in the card's
signal store (no UPS on the line): which members each builder sends and in
what order of groups, the phase rule, the battery-management values, the
switch states, the sensor list, and no answer for a family without a
diagram."""
import pytest

from pages_helpers import web_card

HEAD = ["ups_type", "device_type", "sub_device_type", "ups_model_str", "ups_netstatus"]
PARTS7 = [f"energy_flow_part{k}" for k in range(1, 8)]
RATED = ["rated_input_V", "rated_input_Hz", "rated_output_V", "rated_output_Hz"]
IDENT = ["serial_number", "software_version"]
OUT4 = ["output_V", "output_A", "output_Hz", "output_load"]
BAT_END = ["bat_re_time", "bat_re_volume"]

TXT1 = (HEAD + ["input_V", "input_Hz", "bypass_V", "bypass_Hz"] + RATED + IDENT + OUT4 +
        ["bat_V", "internal_temp"] + BAT_END + ["bat_re_enable", "bat_status", "energy_flow_dir"]
        + PARTS7)
TXT3 = (HEAD + ["input_V", "input_Hz", "bypass_V", "bypass_Hz"] + RATED + ["rated_volume"] + IDENT
        + OUT4 + ["bat_V", "bat_A", "internal_temp"] + BAT_END + ["bat_status", "energy_flow_dir"]
        + PARTS7)
ALT = [m for m in TXT3 if m != "output_A"]
REG_OUT = OUT4 + ["output_act_pow", "output_app_pow"]
REGB = (HEAD + ["ups_protocol_type", "input_V", "input_A", "input_Hz", "bypass_V", "bypass_A",
                "bypass_Hz"] + IDENT + REG_OUT + ["bat_V", "bat_A", "bat_temp", "batt_num"] +
        BAT_END + ["bat_status", "energy_flow_dir"] +
        [f"energy_flow_part{k}" for k in range(1, 16)] +
        ["fix_byp_sw", "byp_sw", "inv_sw", "output_sw"])
REGC = (HEAD + ["input_V", "input_Hz", "bypass_V", "bypass_Hz"] + IDENT + REG_OUT +
        ["bat_V", "bat_A", "bat_temp"] + BAT_END + ["bat_status", "energy_flow_dir"] +
        [f"energy_flow_part{k}" for k in range(1, 11)] +
        ["fix_byp_sw", "byp_sta_sw", "byp_sw", "rec_sw", "inv_sw", "output_sw", "bat_charge_sw"])


def signals(card, values, dev=60):
    for sig, v in values.items():
        card.set_signal(dev, sig, v)


@pytest.mark.parametrize("ups_type,members", [(0, TXT1), (1, TXT3), (6, ALT), (2, REGB),
                                              (3, REGC)])
def test_members_of_each_family(make_card, ups_type, members):
    card, web = web_card(make_card, {"ups_type": str(ups_type), "System_Name": "fam"})
    assert list(web.json("/EnergyChart")) == members


def test_single_phase_ascii_family_values(make_card):
    card, web = web_card(make_card, {"ups_type": "0", "battery_enable_type": "0",
                                     "ths_enable": "1", "use_dev_fun5": "1",
                                     "curr_module_num": "2", "in_thaddr1": "7",
                                     "in_thaddr2": "8", "temp_conver1": "100"})
    signals(card, {40132: 3, 40133: 230.0, 40134: 231.5, 40135: 229.9, 40139: 50, 40140: 50.1,
                   40141: 49.9, 40192: 1, 40193: 228.4, 40191: 50.2, 40163: 1, 40164: 220.04,
                   40162: 49.96, 40173: 37, 40103: 41.9, 40104: 88.6, 40120: 12, 40121: 64,
                   40161: 3, 20028: 1, 20033: 0, 40096: 31, 30000: 220, 40216: 1, 40218: 2})
    signals(card, {40208: 2150, 40212: 4330, 20034: 0, 20035: 1}, dev=61)
    d = web.json("/EnergyChart")
    assert d["input_V"] == "230.0/231.5/229.9"
    assert d["input_Hz"] == "50.0/50.1/49.9"
    assert (d["bypass_V"], d["bypass_Hz"]) == ("228.4", "50.2")
    assert (d["output_V"], d["output_Hz"], d["output_load"]) == ("220.0", "50.0", "37.0")
    assert (d["rated_input_V"], d["sub_device_type"], d["device_type"]) == ("220.0", 31, 0)
    assert (d["bat_re_time"], d["bat_re_volume"], d["bat_re_enable"]) == ("41", "88", "0")
    assert (d["bat_status"], d["energy_flow_dir"]) == ("0", "1")
    assert (d["energy_flow_part1"], d["energy_flow_part3"]) == (1, 2)
    assert d["ths_num"] == 2
    assert d["ths_data"] == [{"id": "7", "temp": "21.5", "humi": "43.3", "ths_net": "0"},
                             {"id": "0", "temp": "0", "humi": "0", "ths_net": "1"}]
    # the battery management's estimates replace the UPS's own
    card.set_setting("battery_enable_type", "1")
    d = web.json("/EnergyChart")
    assert (d["bat_re_time"], d["bat_re_volume"], d["bat_re_enable"]) == ("12", "64", "1")
    # the sensor list only while the sensors are in use
    card.set_setting("use_dev_fun5", "0")
    assert "ths_data" not in web.json("/EnergyChart")


def test_register_family_switches_and_lost_link(make_card):
    card, web = web_card(make_card, {"ups_type": "3"})
    signals(card, {40231: 1, 40232: 0, 40233: 1, 40234: 1, 40235: 0, 40236: 1, 20012: 1,
                   40225: 1, 40170: 3.1, 40163: 1, 40161: 4, 20001: 1})
    d = web.json("/EnergyChart")
    assert [d[k] for k in ("fix_byp_sw", "byp_sta_sw", "byp_sw", "rec_sw", "inv_sw", "output_sw",
                           "bat_charge_sw")] == [1, 0, 1, 1, 0, 1, 1]
    assert (d["energy_flow_part10"], d["output_act_pow"]) == (1, "3.1")
    assert (d["energy_flow_dir"], d["bat_status"]) == ("3", "1")
    card.set_setting("ups_lost", "1")
    d = web.json("/EnergyChart")
    assert d["ups_netstatus"] == "1"
    assert [d[k] for k in ("fix_byp_sw", "bat_charge_sw", "energy_flow_part10")] == [0, 0, 0]
    assert (d["output_act_pow"], d["energy_flow_dir"], d["bat_status"]) == ("0", "0", "6")


def test_family_without_a_diagram_gets_no_answer(make_card):
    card, web = web_card(make_card, {"ups_type": "11"})
    assert web.no_answer("GET", "/EnergyChart")
