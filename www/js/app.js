/* The frame: navigation to every page the card serves, the clock, the
 * language switch, and one renderer for all pages. A page reads its route
 * (JSON), shows scalar members as fields and "data" lists as tables, and
 * saves by posting the fields back as a form; the server answers
 * {"result": ...} and refuses what the user's level does not allow (403). */
(function () {
  'use strict';
  // [id, route, kind, fixed fields]. Kinds: view (read only), form (read and
  // save), rows (table of inputs), post (fixed fields, send only), download,
  // upload, action (confirmed post).
  var MENU = [
    ['status', [['device', '/DeviceID', 'view'], ['alarms', '/CurrentAlarm', 'view'],
      ['energy', '/EnergyChart', 'view'], ['sensors', '/ThsStatus', 'view'],
      ['modules', '/ModuleNum', 'view'], ['identify', '/IdentifyProgress', 'view'],
      ['about', '/AboutInfo', 'view']]],
    ['logs', [['history', '/HistoryAlarm', 'view'], ['upsdata', '/UpsDataLog', 'view'],
      ['chart', '/UpsDataChart', 'view'], ['battest', '/UpsBatTestLog', 'view'],
      ['emaillog', '/EmailLog', 'view'], ['smslog', '/SmsLog', 'view'],
      ['csv', '/SaveLog?log_type=3', 'download'],
      ['clearlog', '/ClearLog', 'post', ['log_type', 'cur_date']]]],
    ['ups', [['remote', '/RemoteControl', 'form'], ['schedule', '/UpsSche', 'form'],
      ['upsparam', '/UpsParam', 'form'], ['batparam', '/BatParam', 'form'],
      ['constpower', '/ConstantPower', 'form'], ['wakeup', '/UpsWakeUp', 'form'],
      ['ths', '/ThsSettings', 'form'], ['devices', '/CfgDeviceLeft', 'form'],
      ['bms', '/BmsParam', 'form'], ['tvtime', '/TvTimeUpdate', 'form'],
      ['tvcell', '/TvBatteryCell', 'form'], ['tvgroup', '/TvBatteryGroup', 'form']]],
    ['network', [['ipv4', '/NetworkInfo', 'form'], ['ipv6', '/NetworkInfoIpv6', 'form'],
      ['users', '/NetworkRemoteInfo', 'rows'], ['ddns', '/DDNSInfo', 'form']]],
    ['system', [['sysinfo', '/SystemInfo', 'form'], ['autotime', '/AutoUpdateTime', 'form'],
      ['manualtime', '/ManualUpdateTime', 'post', ['systime']],
      ['timezone', '/TimeZone', 'form'], ['serial', '/SystemCom', 'form'],
      ['restart', '/RestartSys', 'form'],
      ['password', '/SetSysPassword', 'post', ['user', 'old_password', 'new_password']]]],
    ['protocols', [['snmp', '/SnmpParaSettings', 'form'], ['snmpv3', '/SnmpConfig', 'form'],
      ['trap', '/TrapConfig', 'form'], ['trapuser', '/TrapUserConfig', 'form'],
      ['trapevent', '/TrapEventConfig', 'form'], ['mib', '/ExportSnmpMib', 'download'],
      ['mbtcp', '/MbtcpSlaveInfo', 'form'], ['mbtcpip', '/MbtcpSlaveIpList', 'form'],
      ['mb485', '/485ModbusInfo', 'form'], ['bacnet', '/BacnetInfo', 'form'],
      ['iec', '/Iec61850Info', 'form'], ['nut', '/NutInfo', 'form'],
      ['cloud', '/CloudSettings', 'form']]],
    ['notification', [['emailcfg', '/EmailConfig', 'form'], ['emailevent', '/EmailEvent', 'form'],
      ['emailtest', '/EmailTest', 'post', ['email_Test_recpt']],
      ['smsstatus', '/SmsStatus', 'view'], ['smssettings', '/SmsSettings', 'form'],
      ['smsevent', '/SmsEvent', 'form'], ['smstest', '/SmsTest', 'post', ['sms_Test_recpt']]]],
    ['firmware', [['updatelist', '/UpdateList', 'view'], ['upload', '/update', 'upload'],
      ['ftp', '/FtpUpdate', 'form'], ['cfgexport', '/SaveCurrentSettings', 'download'],
      ['cfgimport', '/UpdateSettings', 'upload'],
      ['factory', '/RecoverfactorySettings', 'action']]]
  ];
  var t = Lang.t;
  var view = document.getElementById('view');
  var nav = document.getElementById('nav');

  function el(tag, attrs, text) {
    var e = document.createElement(tag);
    for (var k in attrs || {}) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function cookie(name) {
    var m = document.cookie.match(new RegExp('(?:^|; *)' + name + '=([^;]*)'));
    return m ? decodeURIComponent(m[1]) : '';
  }
  function level() { return +cookie('permission') || 0; }
  function message(box, ok, text) {
    box.className = 'msg ' + (ok ? 'ok' : 'bad');
    box.textContent = text;
  }
  function resultText(status, body) {
    if (status === 403) return [false, t('msg.forbidden')];
    if (status === 404) return [false, t('msg.unavailable')];
    var r = body && body.result;
    if (r === 'ok' || r === '1') return [true, t('msg.saved')];
    return [false, t('msg.failed') + (body && body.errmsg ? ': ' + body.errmsg : '')];
  }
  function post(route, form) {
    var body = new URLSearchParams(form).toString();
    return fetch(route, { method: 'POST', credentials: 'same-origin', body: body,
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' } })
      .then(function (r) {
        return r.text().then(function (x) {
          var j = null; try { j = JSON.parse(x); } catch (e) { /* not JSON */ }
          return resultText(r.status, j);
        });
      });
  }

  function buildNav() {
    nav.textContent = '';
    MENU.forEach(function (group) {
      var d = el('details');
      d.appendChild(el('summary', { 'data-i18n': 'nav.' + group[0] }, t('nav.' + group[0])));
      group[1].forEach(function (item) {
        var a = el('a', { href: '#' + group[0] + '/' + item[0], 'data-i18n': 'page.' + item[0] },
                   t('page.' + item[0]));
        d.appendChild(a);
      });
      nav.appendChild(d);
    });
  }
  function findItem(hash) {
    var p = hash.replace(/^#/, '').split('/');
    for (var i = 0; i < MENU.length; i++)
      if (MENU[i][0] === p[0])
        for (var j = 0; j < MENU[i][1].length; j++)
          if (MENU[i][1][j][0] === p[1]) return [MENU[i][0], MENU[i][1][j]];
    return null;
  }

  function fieldsBox(obj, editable) {
    var box = el('div', { class: 'fields' });
    Object.keys(obj).forEach(function (k) {
      var v = obj[k];
      if (v !== null && typeof v === 'object') return;
      var w = el('div');
      w.appendChild(el('label', { for: 'f-' + k }, k));
      var inp = el('input', { id: 'f-' + k, name: k });
      inp.value = v;
      inp.readOnly = !editable;
      w.appendChild(inp);
      box.appendChild(w);
    });
    return box;
  }
  function table(rows, editable) {
    var wrap = el('div', { class: 'tablewrap' });
    var tb = el('table');
    var cols = rows.length ? Object.keys(rows[0]) : [];
    var head = el('tr');
    if (editable) head.appendChild(el('th', {}, '#'));
    cols.forEach(function (c) { head.appendChild(el('th', {}, c)); });
    tb.appendChild(head);
    rows.forEach(function (row, i) {
      var tr = el('tr');
      if (editable) tr.appendChild(el('td', {}, String(i + 1)));
      cols.forEach(function (c) {
        var td = el('td');
        if (editable) {
          var inp = el('input', { name: c + (i + 1) });
          inp.value = row[c];
          td.appendChild(inp);
        } else {
          td.textContent = typeof row[c] === 'object' ? JSON.stringify(row[c]) : row[c];
        }
        tr.appendChild(td);
      });
      tb.appendChild(tr);
    });
    wrap.appendChild(tb);
    return wrap;
  }
  function collect(card) {
    var form = [];
    card.querySelectorAll('input[name]').forEach(function (i) {
      if (i.type !== 'file') form.push([i.name, i.value]);
    });
    return form;
  }
  function saveButton(card, route, msg) {
    var b = el('button', { id: 'save', 'data-i18n': 'btn.save' }, t('btn.save'));
    b.disabled = level() === 1;
    b.onclick = function () {
      post(route, collect(card)).then(function (r) { message(msg, r[0], r[1]); });
    };
    return b;
  }

  function render(entry) {
    var item = entry[1], route = item[1], kind = item[2];
    view.textContent = '';
    view.appendChild(el('h1', { 'data-i18n': 'page.' + item[0] }, t('page.' + item[0])));
    var card = el('div', { class: 'card' });
    var msg = el('div', { id: 'msg' });
    var actions = el('div', { class: 'actions' });
    view.appendChild(card);
    if (kind === 'download') {
      card.appendChild(el('a', { href: route, download: '' }, t('btn.download')));
      return;
    }
    if (kind === 'post' || kind === 'upload' || kind === 'action') {
      if (kind === 'post') {
        var o = {};
        item[3].forEach(function (f) { o[f] = ''; });
        card.appendChild(fieldsBox(o, true));
        if (item[0] === 'password') card.querySelector('[name=user]').value = cookie('user');
        actions.appendChild(saveButton(card, route, msg));
      } else if (kind === 'upload') {
        var f = el('form', { method: 'post', action: route, enctype: 'multipart/form-data' });
        f.appendChild(el('input', { type: 'file', name: 'file' }));
        var s = el('button', { type: 'submit', 'data-i18n': 'btn.upload' }, t('btn.upload'));
        s.disabled = level() !== 3;
        f.appendChild(s);
        card.appendChild(f);
      } else {
        var b = el('button', { 'data-i18n': 'btn.run' }, t('btn.run'));
        b.disabled = level() !== 3;
        b.onclick = function () {
          if (!confirm(t('msg.confirm'))) return;
          post(route, []).then(function (r) { message(msg, r[0], r[1]); });
        };
        actions.appendChild(b);
      }
      card.appendChild(actions);
      card.appendChild(msg);
      return;
    }
    card.appendChild(el('p', {}, t('msg.loading')));
    fetch(route, { credentials: 'same-origin' }).then(function (r) {
      if (!r.ok) throw r.status;
      return r.json();
    }).then(function (data) {
      card.textContent = '';
      var editable = kind !== 'view';
      card.appendChild(fieldsBox(data, editable && kind !== 'rows'));
      if (Array.isArray(data.data)) card.appendChild(table(data.data, kind === 'rows'));
      if (editable) actions.appendChild(saveButton(card, route, msg));
      card.appendChild(actions);
      card.appendChild(msg);
    }).catch(function (status) {
      card.textContent = '';
      card.appendChild(el('p', { class: 'msg bad' },
        status === 403 ? t('msg.forbidden') : t('msg.unavailable')));
    });
  }

  function route() {
    var entry = findItem(location.hash);
    nav.querySelectorAll('a').forEach(function (a) {
      a.classList.toggle('active', a.getAttribute('href') === location.hash);
    });
    nav.classList.remove('open');
    if (entry) {
      nav.querySelectorAll('details').forEach(function (d) {
        d.open = d.querySelector('a[href="' + location.hash + '"]') !== null || d.open;
      });
      render(entry);
    }
  }
  function tick() {
    fetch('/sysTime', { credentials: 'same-origin' }).then(function (r) {
      if (r.redirected || !r.ok) { location.href = '/login.html'; return null; }
      return r.json();
    }).then(function (j) {
      if (!j) return;
      document.getElementById('clock').textContent = j.time;
      var u = cookie('user');
      var lv = level();
      document.getElementById('who').textContent =
        u ? u + (lv ? ' (' + t('level.' + lv) + ')' : '') : '';
    }).catch(function () {});
  }

  document.getElementById('menu-toggle').onclick = function () { nav.classList.toggle('open'); };
  window.addEventListener('hashchange', route);
  // The card's language first, the user's own pick when he has made one.
  fetch('/SystemInfo', { credentials: 'same-origin' })
    .then(function (r) { return r.ok ? r.json() : {}; }).catch(function () { return {}; })
    .then(function (info) {
      var chosen = localStorage.getItem('lang');
      var idx = chosen !== null ? +chosen : +(info.lagval || 0);
      return Lang.load(idx);
    }).then(function () {
      buildNav();
      document.getElementById('lang-slot').appendChild(Lang.switcher(function (idx) {
        if (level() === 3) post('/SystemLan', [['lagval', idx]]);
        buildNav(); route(); tick();
      }));
      route(); tick();
      setInterval(tick, 2000);
    });
})();
