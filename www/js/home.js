/* Home page: the UPS as an energy-flow diagram (input, bypass, rectifier,
 * inverter, battery, output, the lines between them and the switches), lit
 * and animated from /EnergyChart, with the live measurements beside it,
 * refreshed every 2 s. */
(function () {
  'use strict';
  var P = Pages;
  var SVG = 'http://www.w3.org/2000/svg';
  var REFRESH_MS = 2000;

  // Measurement groups: [text key, [member, text key, unit], ...].
  var GROUPS = [
    ['pg.grp.input', [['input_V', 'pg.m.voltage', 'V'], ['input_A', 'pg.m.current', 'A'],
      ['input_Hz', 'pg.m.frequency', 'Hz'], ['input_pow_factor', 'pg.m.pf', '']]],
    ['pg.grp.bypass', [['bypass_V', 'pg.m.voltage', 'V'], ['bypass_A', 'pg.m.current', 'A'],
      ['bypass_Hz', 'pg.m.frequency', 'Hz'], ['bypass_pow_factor', 'pg.m.pf', ''],
      ['bypass_act_pow', 'pg.m.actpow', 'kW'], ['bypass_app_pow', 'pg.m.apppow', 'kVA']]],
    ['pg.grp.output', [['output_V', 'pg.m.voltage', 'V'], ['output_A', 'pg.m.current', 'A'],
      ['output_Hz', 'pg.m.frequency', 'Hz'], ['output_load', 'pg.m.load', '%'],
      ['output_act_pow', 'pg.m.actpow', 'kW'], ['output_app_pow', 'pg.m.apppow', 'kVA'],
      ['output_pow_factor', 'pg.m.pf', '']]],
    ['pg.grp.battery', [['bat_V', 'pg.m.voltage', 'V'], ['bat_A', 'pg.m.current', 'A'],
      ['bat_temp', 'pg.m.temp', '\u2103'], ['bat_re_time', 'pg.m.remaintime', 'min'],
      ['bat_re_volume', 'pg.m.charge', '%'], ['bat_sup_time', 'pg.m.suptime', 's'],
      ['batt_num', 'pg.m.battnum', '']]],
    ['pg.grp.ups', [['ups_model_str', 'pg.m.name', ''], ['serial_number', 'pg.m.serial', ''],
      ['software_version', 'pg.m.software', ''], ['rated_input_V', 'pg.m.ratedinv', 'V'],
      ['rated_output_V', 'pg.m.ratedoutv', 'V'], ['rated_volume', 'pg.m.ratedva', 'VA'],
      ['rated_power', 'pg.m.ratedw', 'W'], ['internal_temp', 'pg.m.internaltemp', '\u2103'],
      ['rec_temp', 'pg.m.rectemp', '\u2103'], ['inv_temp', 'pg.m.invtemp', '\u2103']]]
  ];

  function svg(tag, attrs, text) {
    var e = document.createElementNS(SVG, tag);
    for (var k in attrs || {}) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    return e;
  }

  // The diagram: boxes, lines (ids line-*) and switches (ids sw-*).
  function diagram() {
    var s = svg('svg', { id: 'flow', viewBox: '0 0 760 300', role: 'img' });
    function box(id, x, y, w, h, key, icon) {
      var g = svg('g', { id: 'box-' + id, class: 'box' });
      g.appendChild(svg('rect', { x: x, y: y, width: w, height: h, rx: 8 }));
      g.appendChild(svg('text', { x: x + w / 2, y: y + 22, class: 'icon' }, icon));
      var label = svg('text', { x: x + w / 2, y: y + h - 10, 'data-i18n': key }, P.t(key));
      g.appendChild(label);
      s.appendChild(g);
    }
    function line(id, d) {
      s.appendChild(svg('path', { id: 'line-' + id, d: d, class: 'line' }));
    }
    function sw(id, x, y) {
      var g = svg('g', { id: 'sw-' + id, class: 'switch' });
      g.appendChild(svg('circle', { cx: x, cy: y, r: 3 }));
      g.appendChild(svg('line', { x1: x, y1: y, x2: x + 22, y2: y, class: 'blade' }));
      g.appendChild(svg('circle', { cx: x + 24, cy: y, r: 3 }));
      s.appendChild(g);
    }
    line('input', 'M110 150 H190');
    line('rectifier', 'M270 150 H355');
    line('dcbus', 'M355 150 H440');
    line('battery', 'M355 150 V215');
    line('inverter', 'M520 150 H560 M590 150 H630');
    line('bypass', 'M70 120 V50 H560 M590 50 H650 V120');
    box('input', 20, 120, 90, 60, 'pg.d.input', '\u223f');
    box('rectifier', 190, 120, 80, 60, 'pg.d.rectifier', 'AC/DC');
    box('inverter', 440, 120, 80, 60, 'pg.d.inverter', 'DC/AC');
    box('battery', 305, 215, 100, 60, 'pg.d.battery', '+ \u2212');
    box('output', 630, 120, 110, 60, 'pg.d.output', 'AC');
    sw('bypass', 562, 50);
    sw('output', 562, 150);
    s.appendChild(svg('text', { id: 'd-input', x: 65, y: 200, class: 'value' }, ''));
    s.appendChild(svg('text', { id: 'd-output', x: 685, y: 200, class: 'value' }, ''));
    s.appendChild(svg('text', { id: 'd-battery', x: 355, y: 295, class: 'value' }, ''));
    s.appendChild(svg('text', { id: 'd-bypass', x: 300, y: 42, class: 'value' }, ''));
    return s;
  }

  // Which lines carry power, and which way the battery line flows.
  function flowState(d) {
    var dir = String(d.energy_flow_dir || '0');
    var part = function (k) { return +d['energy_flow_part' + k] || 0; };
    var on = { input: false, rectifier: false, dcbus: false, battery: false, inverter: false,
      bypass: false };
    var battery = '';
    if (d.ups_netstatus === '1') return { on: on, battery: battery, dir: dir };
    if (dir === '1') { on.input = on.rectifier = on.dcbus = on.inverter = true; }
    if (dir === '2') { on.battery = on.dcbus = on.inverter = true; battery = 'discharge'; }
    if (dir === '3') { on.bypass = true; }
    // The drivers' own diagram parts light what they report beyond that.
    if (part(1)) on.input = true;
    if (part(2)) on.rectifier = on.dcbus = true;
    if (part(3)) { on.battery = true; battery = part(3) === 2 ? 'discharge' : (battery || 'charge'); }
    if (part(4)) on.inverter = on.dcbus = true;
    if (part(5) || part(6)) on.bypass = true;
    return { on: on, battery: battery, dir: dir };
  }

  function switchClosed(d, name, lit) {
    var members = { bypass: ['byp_sw', 'fix_byp_sw'], output: ['output_sw'] }[name];
    for (var i = 0; i < members.length; i++)
      if (d[members[i]] !== undefined) return +d[members[i]] === 1;
    return lit;
  }

  function show(d) {
    var st = flowState(d);
    Object.keys(st.on).forEach(function (k) {
      var e = document.getElementById('line-' + k);
      e.setAttribute('class', 'line' + (st.on[k] ? ' on' : '') +
        (k === 'battery' && st.battery ? ' ' + st.battery : ''));
    });
    [['bypass', st.on.bypass], ['output', st.on.inverter]].forEach(function (s) {
      var closed = switchClosed(d, s[0], s[1]);
      document.getElementById('sw-' + s[0]).setAttribute('class', 'switch' + (closed ? ' closed' : ''));
    });
    document.getElementById('box-battery').setAttribute('class', 'box' + (st.on.battery ? ' on' : ''));
    document.getElementById('d-input').textContent = d.input_V !== undefined ? d.input_V + ' V' : '';
    document.getElementById('d-output').textContent = d.output_V !== undefined ? d.output_V + ' V' : '';
    document.getElementById('d-bypass').textContent = d.bypass_V !== undefined ? d.bypass_V + ' V' : '';
    document.getElementById('d-battery').textContent =
      (d.bat_V !== undefined ? d.bat_V + ' V' : '') +
      (d.bat_re_volume !== undefined ? '  ' + d.bat_re_volume + ' %' : '');
    var flow = document.getElementById('flow');
    flow.setAttribute('data-dir', st.dir);
    var status = document.getElementById('ups-status');
    var lost = d.ups_netstatus === '1';
    status.className = 'banner ' + (lost ? 'bad' : st.dir === '1' ? 'ok' : 'warn');
    status.setAttribute('data-i18n', lost ? 'pg.lost' : 'pg.mode.' + st.dir);
    status.textContent = P.t(status.getAttribute('data-i18n'));
    var bat = document.getElementById('bat-status');
    bat.setAttribute('data-i18n', 'pg.bat.' + (d.bat_status || '6'));
    bat.textContent = P.t(bat.getAttribute('data-i18n'));
    GROUPS.forEach(function (g) {
      g[1].forEach(function (m) {
        var row = document.getElementById('row-' + m[0]);
        var have = d[m[0]] !== undefined;
        row.hidden = !have;
        if (have) document.getElementById('m-' + m[0]).textContent = d[m[0]] + (m[2] ? ' ' + m[2] : '');
      });
    });
    showSensors(d);
  }

  function showSensors(d) {
    var box = document.getElementById('sensors');
    box.hidden = !Array.isArray(d.ths_data) || !d.ths_data.length;
    if (box.hidden) return;
    var list = document.getElementById('sensor-list');
    list.textContent = '';
    list.appendChild(P.table(d.ths_data, [['id', 'pg.s.id'], ['temp', 'pg.s.temp'],
      ['humi', 'pg.s.humi'], [function (r) { return P.t(r.ths_net === '1' ? 'pg.s.lost' : 'pg.s.ok'); }, 'pg.s.link']]));
  }

  function measurements() {
    var wrap = P.el('div', { class: 'groups' });
    GROUPS.forEach(function (g) {
      var card = P.el('div', { class: 'card group' });
      card.appendChild(P.textEl('h2', g[0]));
      var dl = P.el('dl');
      g[1].forEach(function (m) {
        var row = P.el('div', { id: 'row-' + m[0], class: 'kv' });
        row.appendChild(P.textEl('dt', m[1]));
        row.appendChild(P.el('dd', { id: 'm-' + m[0] }, ''));
        row.hidden = true;
        dl.appendChild(row);
      });
      card.appendChild(dl);
      wrap.appendChild(card);
    });
    var sensors = P.el('div', { class: 'card group', id: 'sensors' });
    sensors.hidden = true;
    sensors.appendChild(P.textEl('h2', 'pg.grp.sensors'));
    sensors.appendChild(P.el('div', { id: 'sensor-list' }));
    wrap.appendChild(sensors);
    return wrap;
  }

  P.start('home', function (main) {
    var top = P.el('div', { class: 'card' });
    var head = P.el('div', { class: 'statusline' });
    head.appendChild(P.el('span', { id: 'ups-status', class: 'banner' }, ''));
    head.appendChild(P.el('span', { id: 'bat-status', class: 'chip' }, ''));
    top.appendChild(head);
    top.appendChild(diagram());
    main.appendChild(top);
    main.appendChild(measurements());
    var err = P.el('div', { id: 'msg' });
    main.appendChild(err);
    var last = null;
    function refresh() {
      P.getJson('/EnergyChart').then(function (d) {
        last = d;
        err.className = ''; err.textContent = '';
        show(d);
      }).catch(function (e) {
        if (e.message !== 'session') P.message(err, false, 'pg.unavailable');
      });
    }
    document.addEventListener('langchange', function () { if (last) show(last); });
    refresh();
    setInterval(refresh, REFRESH_MS);
  });
})();
