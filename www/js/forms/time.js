/* The clock: time server, time zone and a manual setting. */
(function () {
  var zones = [];
  var west = [[12, 0], [11, 0], [10, 0], [9, 0], [8, 0], [7, 0], [6, 0], [5, 0], [4, 0], [3, 30], [3, 0],
    [2, 0], [1, 0], [0, 0], [-1, 0], [-2, 0], [-3, 0], [-3, 30], [-4, 0], [-4, 30], [-5, 0], [-5, 30],
    [-5, 45], [-6, 0], [-6, 30], [-7, 0], [-8, 0], [-9, 0], [-9, 30], [-10, 0], [-11, 0], [-12, 0], [-13, 0]];
  // The card counts zones west of UTC (POSIX); people read them east of it.
  west.forEach(function (z, i) {
    var m = -(z[0] * 60 + (z[0] < 0 ? -z[1] : z[1]));
    var t = 'UTC' + (m < 0 ? '-' : '+') + Math.floor(Math.abs(m) / 60) + ':' + ('0' + Math.abs(m) % 60).slice(-2);
    zones.push([i, t]);
  });
  function now() {
    var d = new Date();
    function two(n) { return (n < 10 ? '0' : '') + n; }
    return d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate()) + ' ' +
      two(d.getHours()) + ':' + two(d.getMinutes()) + ':' + two(d.getSeconds());
  }
  Form.page({ id: 'time', cards: [{
    name: 'auto', route: '/AutoUpdateTime', write: 3, title: ['Time server', '时间服务器'],
    fields: [
      { n: 'time_select', l: ['Synchronise', '同步方式'], k: 'select',
        opts: [[0, 'Off', '关闭'], [1, 'With a time server', '时间服务器']] },
      { n: 'sel_server', l: ['Server', '服务器'], k: 'int', min: 0, max: 99 },
      { n: 'otherser', l: ['Other server', '其他服务器'], k: 'host' },
      { n: 'nchecktimeevery', l: ['Every (min)', '间隔(分钟)'], k: 'int', min: 0, max: 100000 }]
  }, {
    name: 'zone', route: '/TimeZone', write: 3, title: ['Time zone', '时区'],
    note: ['Daylight saving moves the zone one hour east.', '夏令时使时区东移一小时。'],
    fields: [
      { n: 'ntimezone', l: ['Time zone', '时区'], k: 'select', opts: zones },
      { n: 'time_dst', l: ['Daylight saving', '夏令时'], k: 'select', opts: Form.ONOFF }]
  }, {
    name: 'manual', route: '/ManualUpdateTime', write: 3, title: ['Set the clock', '手动设置时间'],
    fields: [{ n: 'systime', l: ['Date and time (YYYY-MM-DD HH:MM:SS)', '日期时间(年-月-日 时:分:秒)'],
      k: 'text', len: 19, required: true }],
    init: function (box) {
      var e = box.querySelector('[name=systime]');
      if (!e.value) e.value = now();
    }
  }] });
})();
