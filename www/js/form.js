/* The settings form: one pattern for every settings page. A page's script
 * (js/forms/<page>.js) describes its cards with field tables; this script
 * loads the current values, checks every field in the page before sending
 * (the server checks again), posts the card as a form and tells the answer:
 * saved, saved but a restart applies it, refused (naming the field), or not
 * allowed for the user's level. Texts come in English and Chinese.
 *
 *   Form.page({ id: 'upsparam', cards: [{
 *     route: '/UpsParam', write: 2,           // least level that may save
 *     title: ['UPS link', 'UPS参数'],
 *     fields: [{ n: 'ups_com_addr', l: ['Address', '地址'], k: 'int', min: 0, max: 255 }, ...],
 *     rows: { from: 1, to: 7, head: [..], cols: [{ n: 'sched_on%d', k: 'time' }, ...] },
 *     load: function (data) { return values by field name },   // optional
 *     answers: { '0': ['Text', '文本'] },                       // optional
 *     reasons: { short: ['Text', '文本'] }   // optional: a refusal's errmsg
 *   }] });
 * A page with `bare: true` beside its id has no navigation.
 *
 * Field kinds: int (min, max), float, text (max length), password, ipv4,
 * ipv6, host, time (H:MM), date (YYYY/MM/DD), hex2 (two hex digits), select
 * (opts: [[value, en, zh], ...]), check (0/1), readonly, local (checked in
 * the page, never sent). */
var Form = (function () {
  'use strict';
  var P = Pages;
  var TEXT = {
    save: ['Save', '保存'], saved: ['Saved.', '已保存。'],
    restart: ['Saved. The card restarts to apply the change.', '已保存。设备将重启以使设置生效。'],
    switched: ['Saved. The RS-485 Modbus slave was switched off to free the line; the card restarts.',
      '已保存。已关闭RS-485 Modbus从站以释放串口，设备将重启。'],
    refused: ['Refused, nothing was saved: ', '已拒绝，未保存：'],
    invalid: ['Check this value: ', '请检查该值：'],
    forbidden: ['Your user level does not allow this.', '您的用户权限不允许此操作。'],
    failed: ['Not saved.', '未保存。'], loading: ['Loading…', '加载中…'],
    mismatch: ['The two new passwords differ.', '两次输入的新密码不一致。'],
    sure: ['Are you sure?', '确定吗？'], upload: ['Upload', '上传'],
    port: ['Ports 8080 and 502 belong to other services of the card.', '端口8080和502为设备其他服务专用。']
  };
  function L(pair) { return pair ? pair[P.language === 1 ? 1 : 0] : ''; }
  function tx(key) { return L(TEXT[key]); }

  var PATTERNS = {
    int: /^[-+]?\d{1,9}$/, float: /^-?\d{1,7}(\.\d{1,6})?$/,
    ipv4: /^((25[0-5]|2[0-4]\d|1?\d?\d)\.){3}(25[0-5]|2[0-4]\d|1?\d?\d)$/,
    ipv6: /^[0-9A-Fa-f:.]{2,45}$/, host: /^[A-Za-z0-9][A-Za-z0-9.:-]{0,252}$/,
    time: /^([01]?\d|2[0-3]):[0-5]\d$/, date: /^\d{4}\/\d{1,2}\/\d{1,2}$/, hex2: /^[0-9A-Fa-f]{2}$/
  };

  // The field's value text, or null when the page refuses it.
  function check(f, input) {
    // A password is sent as typed: blanks around it are part of it.
    var v = input.type === 'checkbox' ? (input.checked ? '1' : '0')
      : f.k === 'password' ? input.value : input.value.trim();
    if (v === '') return f.required ? null : v;
    if (/[\x00-\x1f\x7f]/.test(v)) return null;
    var re = PATTERNS[f.k];
    if (re && !re.test(v)) return null;
    if (f.k === 'ipv6' && v.indexOf(':') < 0) return null;
    if ((f.k === 'int' || f.k === 'float') &&
        ((f.min !== undefined && +v < f.min) || (f.max !== undefined && +v > f.max))) return null;
    if (f.len && v.length > f.len) return null;
    return v;
  }

  function input(f, name) {
    var e;
    if (f.k === 'select') {
      e = P.el('select', { id: 'f-' + name, name: name });
      f.opts.forEach(function (o) {
        e.appendChild(P.el('option', { value: String(o[0]) }, P.language === 1 ? o[2] || o[1] : o[1]));
      });
    } else if (f.k === 'check') {
      e = P.el('input', { id: 'f-' + name, name: name, type: 'checkbox' });
    } else {
      e = P.el('input', { id: 'f-' + name, name: name,
        type: f.k === 'password' ? 'password' : 'text', autocomplete: 'off' });
      if (f.len || f.k === 'text' || f.k === 'password') e.maxLength = f.len || 49;
      if (f.k === 'int' || f.k === 'float') e.inputMode = 'decimal';
      if (f.hint) e.placeholder = f.hint;
      if (f.k === 'readonly') e.readOnly = true;
    }
    return e;
  }
  function setValue(e, v) {
    if (v === undefined || v === null) return;
    if (e.type === 'checkbox') e.checked = String(v) === '1';
    else e.value = String(v);
  }

  function fieldBox(f, name, label) {
    var w = P.el('div', { class: 'field' });
    w.appendChild(P.el('label', { for: 'f-' + name }, label || L(f.l)));
    w.appendChild(input(f, name));
    return w;
  }

  // Every [field, name, label] of a card, in order.
  function each(card) {
    var out = [];
    (card.fields || []).forEach(function (f) { out.push([f, f.n, L(f.l)]); });
    if (card.rows) {
      for (var i = card.rows.from; i <= card.rows.to; i++)
        card.rows.cols.forEach(function (c) {
          out.push([c, c.n.replace('%d', i), L(c.l) + ' ' + i]);
        });
    }
    return out;
  }

  function rowsTable(rows) {
    var wrap = P.el('div', { class: 'tablewrap' });
    var tb = P.el('table', { class: 'formrows' });
    var head = P.el('tr');
    head.appendChild(P.el('th', {}, '#'));
    rows.cols.forEach(function (c) { head.appendChild(P.el('th', {}, L(c.l))); });
    tb.appendChild(head);
    for (var i = rows.from; i <= rows.to; i++) {
      var tr = P.el('tr');
      tr.appendChild(P.el('td', {}, String(i + (rows.shown || 0))));
      rows.cols.forEach(function (c) {
        var td = P.el('td');
        td.appendChild(input(c, c.n.replace('%d', i)));
        tr.appendChild(td);
      });
      tb.appendChild(tr);
    }
    wrap.appendChild(tb);
    return wrap;
  }

  function say(box, ok, text) {
    box.className = 'msg ' + (ok ? 'ok' : 'bad');
    box.textContent = text;
  }

  // The answer of a save: [ok, text].
  function answerText(card, status, body) {
    if (status === 403) return [false, tx('forbidden')];
    if (status !== 200 || !body) return [false, tx('failed')];
    var r = body.result;
    if (card.answers && card.answers[r]) return [r === 'ok' || r === '1', L(card.answers[r])];
    if (r === 'ok' || r === '1') return [true, tx('saved')];
    if (r === '2') return [true, tx('restart')];
    if (r === '0') return [true, tx('switched')];
    if (card.reasons && card.reasons[body.errmsg]) return [false, tx('refused') + L(card.reasons[body.errmsg])];
    var field = body.errmsg || '';
    each(card).forEach(function (x) { if (x[1] === field) field = x[2]; });
    return [false, tx('refused') + field];
  }

  function buildCard(main, card, index) {
    var box = P.el('section', { class: 'card form', id: 'card-' + (card.name || index) });
    if (card.title) box.appendChild(P.el('h2', {}, L(card.title)));
    if (card.note) box.appendChild(P.el('p', { class: 'muted' }, L(card.note)));
    var fields = P.el('div', { class: 'fields' });
    (card.fields || []).forEach(function (f) { fields.appendChild(fieldBox(f, f.n)); });
    box.appendChild(fields);
    if (card.rows) box.appendChild(rowsTable(card.rows));
    var actions = P.el('div', { class: 'actions' });
    var msg = P.el('div', { class: 'msg', role: 'status' });
    var writable = P.level() >= (card.write || 2);
    (card.buttons || [{ l: TEXT.save, id: 'save' }]).forEach(function (b) {
      var btn = P.el('button', { type: 'button', class: 'save', id: (card.name || 'c' + index) + '-' + b.id },
        L(b.l));
      btn.disabled = !writable;
      btn.onclick = function () { submit(box, card, msg, b); };
      actions.appendChild(btn);
    });
    box.appendChild(actions);
    box.appendChild(msg);
    main.appendChild(box);
    if (card.route && card.read !== false) load(box, card, msg);
    else if (card.init) card.init(box);
  }

  function load(box, card, msg) {
    say(msg, true, tx('loading'));
    P.getJson(card.route).then(function (data) {
      msg.className = 'msg'; msg.textContent = '';
      var values = card.load ? card.load(data) : data;
      each(card).forEach(function (x) {
        var e = box.querySelector('[name="' + x[1] + '"]');
        if (e) setValue(e, values[x[1]]);
      });
      if (card.init) card.init(box, data);
    }).catch(function (err) {
      say(msg, false, String(err && err.message) === '403' ? tx('forbidden') : tx('failed'));
    });
  }

  function submit(box, card, msg, button) {
    var form = [];
    var bad = null;
    each(card).forEach(function (x) {
      var e = box.querySelector('[name="' + x[1] + '"]');
      if (!e || x[0].k === 'readonly' && !x[0].send) return;
      var v = check(x[0], e);
      e.classList.toggle('invalid', v === null);
      if (v === null) { if (!bad) bad = [x[2], e]; return; }
      if (x[0].k !== 'local') form.push([x[1], v]);
    });
    if (!bad && card.validate) {
      var why = card.validate(box);
      if (why) bad = [L(TEXT[why] || why), null];
    }
    if (bad) {
      say(msg, false, (bad[1] ? tx('invalid') : '') + bad[0]);
      if (bad[1]) bad[1].focus();
      return;
    }
    if (button.extra) form = form.concat(button.extra);
    if (button.confirm && !confirm(tx('sure'))) return;
    P.post(card.route, form).then(function (r) {
      var a = answerText(card, r.status, r.body);
      say(msg, a[0], a[1]);
      if (a[0] && card.after) card.after(box, r.body);
    });
  }

  function page(def) {
    P.start(def.id, function (main) {
      def.cards.forEach(function (card, i) { buildCard(main, card, i); });
      document.addEventListener('langchange', function () { location.reload(); });
    }, { bare: def.bare });
  }

  // Common option lists.
  var SERIAL = {
    baud: [[0, '1200'], [1, '2400'], [2, '4800'], [3, '9600'], [4, '19200'], [5, '38400'],
      [6, '57600'], [7, '115200']],
    data: [[5, '5'], [6, '6'], [7, '7'], [8, '8']],
    parity: [[0, 'None', '无'], [1, 'Odd', '奇'], [2, 'Even', '偶'], [3, 'Mark', '标记'],
      [4, 'Space', '空格']],
    stop: [[1, '1'], [2, '2']]
  };
  var ONOFF = [[0, 'Off', '关闭'], [1, 'On', '开启']];
  // The four fields of a serial line, with the page's prefix.
  function serial(prefix) {
    return [
      { n: prefix + 'baudrate', l: ['Baud rate', '波特率'], k: 'select', opts: SERIAL.baud },
      { n: prefix + 'data', l: ['Data bits', '数据位'], k: 'select', opts: SERIAL.data },
      { n: prefix + 'parity', l: ['Parity', '校验'], k: 'select', opts: SERIAL.parity },
      { n: prefix + 'stop', l: ['Stop bits', '停止位'], k: 'select', opts: SERIAL.stop }];
  }

  return { page: page, serial: serial, ONOFF: ONOFF, L: L, check: check };
})();
