/* UPS data log: one day of "/UpsDataLog" for one data type (input, output,
 * bypass, battery, environment), ten rows a page, and the day's CSV export. */
(function () {
  'use strict';
  var P = Pages;
  var COLUMNS = [
    ['input_V', 'input_A', 'input_Hz', 'input_act_pow', 'internal_temp'],
    ['output_V', 'output_A', 'output_Hz', 'output_act_pow', 'load'],
    ['bypass_V', 'bypass_A', 'bypass_Hz', 'bypass_act_pow', 'bypass_app_pow'],
    ['battery_V', 'battery_A', 'batt_temp', 'MinRemain', 'ChargeRemain'],
    ['temperature', 'humidity']
  ];

  P.start('upsdata', function (main) {
    var card = P.el('div', { class: 'card' });
    var bar = P.el('div', { class: 'toolbar' });
    var day = P.el('input', { id: 'day', type: 'date' });
    day.value = P.today();
    var type = P.select('data-type', [[0, 'pg.dtype.0'], [1, 'pg.dtype.1'], [2, 'pg.dtype.2'],
      [3, 'pg.dtype.3'], [4, 'pg.dtype.4']]);
    bar.appendChild(P.labelled('pg.day', day));
    bar.appendChild(P.labelled('pg.datatype', type));
    bar.appendChild(P.textEl('a', 'pg.csv', { id: 'csv', href: '/SaveLog?log_type=2', download: 'upsdata.csv' }));
    var list = P.el('div', { id: 'data-list' });
    var pagerBox = P.el('div');
    card.appendChild(bar); card.appendChild(list); card.appendChild(pagerBox);
    main.appendChild(card);
    var page = 1;

    function load(n) {
      page = n;
      var t = +type.value;
      P.getJson('/UpsDataLog', { curr_dat_data: day.value, curpage: page, dataType: t }).then(function (d) {
        var cols = [['time', 'pg.col.time']].concat(COLUMNS[t].map(function (c) { return [c, 'pg.col.' + c]; }));
        list.textContent = '';
        list.appendChild(P.table(d.data || [], cols));
        pagerBox.textContent = '';
        pagerBox.appendChild(P.pager(page, +d.totalpage || 0, load));
      }).catch(function () {});
    }
    day.onchange = function () { load(1); };
    type.onchange = function () { load(1); };
    load(1);
  });
})();
