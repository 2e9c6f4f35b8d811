/* Current alarms: the list of "/CurrentAlarm" refreshed every 2 s. Alarms
 * stand out from state entries (on mains, on bypass, battery states), and an
 * alarm that appeared since the page was opened is marked new until it has
 * been seen for half a minute. */
(function () {
  'use strict';
  var P = Pages;
  var REFRESH_MS = 2000;
  var NEW_MS = 30000;
  var PAGE_ROWS = 15;
  var STATES = [1, 8, 23, 24, 25, 26, 27, 28, 64];

  P.start('alarms', function (main) {
    var card = P.el('div', { class: 'card' });
    var banner = P.el('div', { id: 'alarm-banner', class: 'banner' });
    var list = P.el('div', { id: 'alarm-list' });
    var pagerBox = P.el('div');
    card.appendChild(banner);
    card.appendChild(list);
    card.appendChild(pagerBox);
    main.appendChild(card);
    var firstSeen = {};
    var first = true;
    var page = 1;
    var last = null;

    function draw(d) {
      var now = Date.now();
      var rows = d.data || [];
      rows.forEach(function (r) {
        var key = r.event + '@' + r.start_time;
        if (!(key in firstSeen)) firstSeen[key] = first ? 0 : now;
        r._key = key;
      });
      first = false;
      var flag = d.IsNew;
      banner.className = 'banner ' + (flag === 1 ? 'bad' : 'ok');
      banner.setAttribute('data-i18n', 'pg.isnew.' + flag);
      banner.textContent = P.t('pg.isnew.' + flag);
      var pages = Math.max(1, Math.ceil(rows.length / PAGE_ROWS));
      page = Math.min(page, pages);
      var shown = rows.slice((page - 1) * PAGE_ROWS, page * PAGE_ROWS);
      list.textContent = '';
      list.appendChild(P.table(shown, [
        ['event', 'pg.col.number'],
        [function (r) { return P.t('ev.' + r.event); }, 'pg.col.event'],
        ['start_time', 'pg.col.start'],
        [function (r) { return r.sys_name; }, 'pg.col.sysname']
      ], function (r) {
        if (STATES.indexOf(r.event) >= 0) return 'state';
        return 'alarm' + (firstSeen[r._key] && now - firstSeen[r._key] < NEW_MS ? ' new' : '');
      }));
      pagerBox.textContent = '';
      if (d.totalpage > 1) pagerBox.appendChild(P.pager(page, pages, function (n) { page = n; draw(last); }));
    }
    function refresh() {
      P.getJson('/CurrentAlarm').then(function (d) { last = d; draw(d); }).catch(function () {});
    }
    document.addEventListener('langchange', function () { if (last) draw(last); });
    refresh();
    setInterval(refresh, REFRESH_MS);
  });
})();
