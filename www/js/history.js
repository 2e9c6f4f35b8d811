/* Alarm history: one day of "/HistoryAlarm", filtered by class, ten rows a
 * page, with the day's CSV export ("/SaveLog", log_type 3). */
(function () {
  'use strict';
  var P = Pages;
  var TYPES = [[0, 'pg.htype.0'], [1, 'pg.htype.1'], [2, 'pg.htype.2'], [3, 'pg.htype.3'],
    [4, 'pg.htype.4'], [5, 'pg.htype.5']];

  P.start('history', function (main) {
    var card = P.el('div', { class: 'card' });
    var bar = P.el('div', { class: 'toolbar' });
    var day = P.el('input', { id: 'day', type: 'date' });
    day.value = P.today();
    var type = P.select('event-type', TYPES);
    var csv = P.textEl('a', 'pg.csv', { id: 'csv', href: '/SaveLog?log_type=3', download: 'hisAlarm.csv' });
    bar.appendChild(P.labelled('pg.day', day));
    bar.appendChild(P.labelled('pg.filter', type));
    bar.appendChild(csv);
    var list = P.el('div', { id: 'history-list' });
    var pagerBox = P.el('div');
    card.appendChild(bar); card.appendChild(list); card.appendChild(pagerBox);
    main.appendChild(card);
    var page = 1;

    function load(n) {
      page = n;
      P.getJson('/HistoryAlarm', { curr_dat_data: day.value, curpage: page,
        event_type: type.value, lagval: P.language }).then(function (d) {
        var total = +d.totalpage || 0;
        list.textContent = '';
        list.appendChild(P.table(d.data || [], [
          [function (r) { return P.t('pg.hclass.' + r.event_type); }, 'pg.col.class'],
          [function (r) { return P.t('ev.' + r.event); }, 'pg.col.event'],
          ['start_time', 'pg.col.start'], ['end_time', 'pg.col.end'], ['source', 'pg.col.source']
        ], function (r) { return r.event_type === 1 ? 'alarm' : ''; }));
        pagerBox.textContent = '';
        pagerBox.appendChild(P.pager(page, total, load));
      }).catch(function () {});
    }
    day.onchange = function () { load(1); };
    type.onchange = function () { load(1); };
    document.addEventListener('langchange', function () { load(page); });
    load(1);
  });
})();
