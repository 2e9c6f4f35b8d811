/* Battery-test, e-mail and SMS logs: one day of each, ten rows a page, with
 * the day's CSV export. */
(function () {
  'use strict';
  var P = Pages;
  // [id, route, CSV log_type, columns]
  var LOGS = [
    ['battest', '/UpsBatTestLog', 4, [['start_time', 'pg.col.start'], ['total_time', 'pg.col.duration']]],
    ['email', '/EmailLog', 1, [['email_account', 'pg.col.account'],
      [function (r) { return eventText(r.event); }, 'pg.col.event'], ['time', 'pg.col.time']]],
    ['sms', '/SmsLog', 0, [['phonenum', 'pg.col.phone'],
      [function (r) { return eventText(r.event); }, 'pg.col.event'], ['time', 'pg.col.time']]]
  ];
  // Notification records hold the alarm number, or 500 + number for its end.
  function eventText(n) {
    n = +n;
    return n >= 500 ? P.t('ev.' + (n - 500)) + ' \u2014 ' + P.t('pg.ended') : P.t('ev.' + n);
  }

  P.start('logs', function (main) {
    var card = P.el('div', { class: 'card' });
    var tabs = P.el('div', { class: 'tabs' });
    var bar = P.el('div', { class: 'toolbar' });
    var day = P.el('input', { id: 'day', type: 'date' });
    day.value = P.today();
    var csv = P.textEl('a', 'pg.csv', { id: 'csv' });
    bar.appendChild(P.labelled('pg.day', day));
    bar.appendChild(csv);
    var list = P.el('div', { id: 'log-list' });
    var pagerBox = P.el('div');
    card.appendChild(tabs); card.appendChild(bar); card.appendChild(list); card.appendChild(pagerBox);
    main.appendChild(card);
    var current = LOGS[0];
    var page = 1;

    LOGS.forEach(function (l) {
      var b = P.textEl('button', 'pg.log.' + l[0], { class: 'plain', id: 'tab-' + l[0] });
      b.onclick = function () { current = l; load(1); };
      tabs.appendChild(b);
    });
    function load(n) {
      page = n;
      tabs.querySelectorAll('button').forEach(function (b) {
        b.classList.toggle('active', b.id === 'tab-' + current[0]);
      });
      csv.setAttribute('href', '/SaveLog?log_type=' + current[2]);
      P.getJson(current[1], { curr_dat_data: day.value, curpage: page }).then(function (d) {
        list.textContent = '';
        list.appendChild(P.table(d.data || [], current[3]));
        pagerBox.textContent = '';
        pagerBox.appendChild(P.pager(page, +d.totalpage || 0, load));
      }).catch(function () {});
    }
    day.onchange = function () { load(1); };
    var hash = location.hash.replace('#', '');
    LOGS.forEach(function (l) { if (l[0] === hash) current = l; });
    load(1);
  });
})();
