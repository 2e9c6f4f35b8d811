/* Data chart: up to four recorded series ("/UpsDataChart") over a time span
 * of one day, drawn on a canvas: time on the x axis, one scale for all
 * series, a legend, and a point mark per record. */
(function () {
  'use strict';
  var P = Pages;
  var COLORS = ['#0b5cab', '#d98a00', '#1e7b34', '#b3261e'];
  // Series codes of the store (1-25), in the order the list shows them.
  var SERIES = [6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
    1, 24, 25, 4, 5, 2, 3];
  var MAX_SERIES = 4;

  function parseTime(text) {
    var m = /^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)$/.exec(text || '');
    return m ? new Date(+m[1], m[2] - 1, +m[3], +m[4], +m[5], +m[6]).getTime() : NaN;
  }

  // Draws the series; returns the number of points drawn.
  function draw(canvas, rows, codes, from, to) {
    var dpr = window.devicePixelRatio || 1;
    var w = canvas.clientWidth, h = canvas.clientHeight;
    canvas.width = w * dpr; canvas.height = h * dpr;
    var g = canvas.getContext('2d');
    g.scale(dpr, dpr);
    g.clearRect(0, 0, w, h);
    var pad = { l: 56, r: 14, t: 12, b: 34 };
    var pts = rows.map(function (r) {
      return { t: parseTime(r.time), v: codes.map(function (c, i) { return parseFloat(r['data' + i]); }) };
    }).filter(function (p) { return !isNaN(p.t); }).sort(function (a, b) { return a.t - b.t; });
    var lo = Infinity, hi = -Infinity;
    pts.forEach(function (p) { p.v.forEach(function (v) { if (!isNaN(v)) { lo = Math.min(lo, v); hi = Math.max(hi, v); } }); });
    if (lo === Infinity) { lo = 0; hi = 1; }
    if (hi === lo) { hi += 1; lo -= 1; }
    var span = hi - lo; lo -= span * 0.05; hi += span * 0.05;
    var x = function (t) { return pad.l + (t - from) / (to - from) * (w - pad.l - pad.r); };
    var y = function (v) { return pad.t + (hi - v) / (hi - lo) * (h - pad.t - pad.b); };
    g.font = '12px system-ui, sans-serif';
    g.strokeStyle = '#d5dbe1'; g.fillStyle = '#5b6876'; g.lineWidth = 1;
    for (var i = 0; i <= 5; i++) {
      var v = lo + (hi - lo) * i / 5, yy = Math.round(y(v)) + 0.5;
      g.beginPath(); g.moveTo(pad.l, yy); g.lineTo(w - pad.r, yy); g.stroke();
      g.textAlign = 'right'; g.fillText(v.toFixed(1), pad.l - 6, yy + 4);
    }
    var hours = Math.max(1, Math.round((to - from) / 3600000));
    var step = Math.ceil(hours / 8) * 3600000;
    g.textAlign = 'center';
    for (var t = from; t <= to + 1; t += step) {
      var xx = Math.round(x(t)) + 0.5;
      g.beginPath(); g.moveTo(xx, pad.t); g.lineTo(xx, h - pad.b); g.stroke();
      var d = new Date(t);
      g.fillText((d.getHours() < 10 ? '0' : '') + d.getHours() + ':' + (d.getMinutes() < 10 ? '0' : '') + d.getMinutes(), xx, h - pad.b + 16);
    }
    var drawn = 0;
    codes.forEach(function (c, k) {
      g.strokeStyle = g.fillStyle = COLORS[k]; g.lineWidth = 2;
      g.beginPath();
      var started = false;
      pts.forEach(function (p) {
        if (isNaN(p.v[k])) return;
        var px = x(p.t), py = y(p.v[k]);
        if (started) g.lineTo(px, py); else { g.moveTo(px, py); started = true; }
      });
      g.stroke();
      pts.forEach(function (p) {
        if (isNaN(p.v[k])) return;
        g.beginPath(); g.arc(x(p.t), y(p.v[k]), 2.5, 0, 2 * Math.PI); g.fill();
        drawn++;
      });
    });
    return drawn;
  }

  P.start('chart', function (main) {
    var card = P.el('div', { class: 'card' });
    var bar = P.el('div', { class: 'toolbar' });
    var day = P.el('input', { id: 'day', type: 'date' });
    day.value = P.today();
    var from = P.el('input', { id: 'from', type: 'time' }); from.value = '00:00';
    var to = P.el('input', { id: 'to', type: 'time' }); to.value = '23:59';
    var show = P.textEl('button', 'pg.show', { id: 'show' });
    bar.appendChild(P.labelled('pg.day', day));
    bar.appendChild(P.labelled('pg.from', from));
    bar.appendChild(P.labelled('pg.to', to));
    bar.appendChild(show);
    var series = P.el('div', { class: 'series', id: 'series' });
    SERIES.forEach(function (code, i) {
      var l = P.el('label');
      var c = P.el('input', { type: 'checkbox', value: code, id: 'series-' + code });
      c.checked = i === 0;
      c.onchange = function () {
        var on = series.querySelectorAll('input:checked');
        if (on.length > MAX_SERIES) c.checked = false;
      };
      l.appendChild(c);
      l.appendChild(P.textEl('span', 'pg.series.' + code));
      series.appendChild(l);
    });
    var msg = P.el('div', { id: 'msg' });
    var canvas = P.el('canvas', { id: 'chart' });
    var legend = P.el('div', { class: 'legend', id: 'legend' });
    card.appendChild(bar); card.appendChild(series); card.appendChild(msg);
    card.appendChild(canvas); card.appendChild(legend);
    main.appendChild(card);

    function load() {
      var codes = Array.prototype.map.call(series.querySelectorAll('input:checked'), function (c) { return +c.value; });
      var q = { curr_dat_data_start: day.value + ' ' + from.value, curr_dat_data_end: day.value + ' ' + to.value,
        data_num: codes.length };
      codes.forEach(function (c, i) { q['data_type' + i] = c; });
      P.getJson('/UpsDataChart', q).then(function (d) {
        var t0 = new Date(day.value + 'T' + from.value + ':00').getTime();
        var t1 = new Date(day.value + 'T' + to.value + ':59').getTime();
        var n = draw(canvas, d.data || [], codes, t0, t1);
        canvas.setAttribute('data-points', String(n));
        canvas.setAttribute('data-records', String(d.totalnum || 0));
        legend.textContent = '';
        codes.forEach(function (c, i) {
          var s = P.textEl('span', 'pg.series.' + c);
          s.style.setProperty('--c', COLORS[i]);
          legend.appendChild(s);
        });
        msg.className = ''; msg.textContent = '';
        if (!d.totalnum) P.message(msg, false, 'pg.nodata');
      }).catch(function () { P.message(msg, false, 'pg.unavailable'); });
    }
    show.onclick = load;
    load();
  });
})();
