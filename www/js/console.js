/* Port console and port logs: send a line (HEX digit pairs or ASCII text) to
 * the UPS, modem or sensor port and watch the transcript; switch the port
 * traffic log on and off, view a port's log, download all port logs. */
(function () {
  'use strict';
  var P = Pages;
  var POLL_MS = 500;
  var MAX_POLLS = 10;

  P.start('console', function (main) {
    var card = P.el('div', { class: 'card' });
    var bar = P.el('div', { class: 'toolbar' });
    var port = P.select('porttype', [[0, 'pg.port.0'], [1, 'pg.port.1'], [2, 'pg.port.2']]);
    var coding = P.select('coding', [[1, 'pg.coding.1'], [0, 'pg.coding.0']]);
    var text = P.el('input', { id: 'senddata', maxlength: '300', placeholder: '01 04 00 00 00 01 31 CA' });
    var send = P.textEl('button', 'pg.send', { id: 'send' });
    bar.appendChild(P.labelled('pg.port', port));
    bar.appendChild(P.labelled('pg.coding', coding));
    var tw = P.labelled('pg.data', text);
    tw.style.flex = '1';
    bar.appendChild(tw);
    bar.appendChild(send);
    var msg = P.el('div', { id: 'msg' });
    var out = P.el('pre', { id: 'transcript' });
    card.appendChild(bar); card.appendChild(msg); card.appendChild(out);
    main.appendChild(card);

    var logs = P.el('div', { class: 'card' });
    logs.appendChild(P.textEl('h2', 'pg.portlogs'));
    var lbar = P.el('div', { class: 'toolbar' });
    var trace = P.el('input', { id: 'trace', type: 'checkbox' });
    trace.style.width = 'auto';
    var tl = P.el('label', { for: 'trace' });
    tl.appendChild(trace);
    tl.appendChild(P.textEl('span', 'pg.trace'));
    var view = P.textEl('button', 'pg.viewlog', { id: 'view-log', class: 'plain' });
    lbar.appendChild(tl);
    lbar.appendChild(view);
    lbar.appendChild(P.textEl('a', 'pg.downloadlogs', { href: '/SavePortLog', download: 'download.tar.gz' }));
    var logOut = P.el('pre', { id: 'portlog' });
    logOut.className = 'transcript';
    logs.appendChild(lbar); logs.appendChild(logOut);
    main.appendChild(logs);

    var busy = false;
    function poll(n, query) {
      P.getJson('/PrintPortLog', query).then(function (d) {
        if (d.totalnum > 0) {
          out.textContent = d.data.join('\n');
          busy = false; send.disabled = false;
          return;
        }
        if (n >= MAX_POLLS) { busy = false; send.disabled = false; return; }
        setTimeout(function () { poll(n + 1, query); }, POLL_MS);
      }).catch(function () { busy = false; send.disabled = false; });
    }
    send.onclick = function () {
      if (busy) return;
      var form = { coding: coding.value, porttype: port.value, senddata: text.value };
      busy = true; send.disabled = true;
      P.post('/PrintPortLog', form).then(function (r) {
        var ok = r.body && r.body.result === 'ok';
        P.message(msg, ok, ok ? 'pg.sent' : 'pg.notsent');
        if (!ok) { busy = false; send.disabled = false; return; }
        poll(1, { coding: coding.value, porttype: port.value });
      });
    };
    P.getJson('/IsSaveLog').then(function (d) { trace.checked = +d.is_save_log === 1; }).catch(function () {});
    trace.onchange = function () {
      fetch('/IsSaveLog?is_save_log=' + (trace.checked ? 1 : 0), { method: 'POST', credentials: 'same-origin' });
    };
    view.onclick = function () {
      P.getJson('/DebugPrintPortLog', { coding: coding.value, porttype: port.value }).then(function (d) {
        logOut.textContent = (d.data || []).join('\n') || P.t('pg.empty');
      }).catch(function () {});
    };
  });
})();
