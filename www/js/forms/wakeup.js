/* Wake-on-LAN: up to eight computers woken when mains returns. */
Form.page({ id: 'wakeup', cards: [{
  route: '/UpsWakeUp', write: 2,
  load: function (d) {
    var v = { wakeport: d.wakeport };
    (d.data || []).forEach(function (r, i) {
      v['WakeEnabled_' + i] = r.WakeEnabled;
      for (var b = 0; b < 6; b++) v['mac_' + i + '_' + b] = r['mac_' + b];
    });
    return v;
  },
  fields: [{ n: 'wakeport', l: ['UDP port', 'UDP端口'], k: 'int', min: 1, max: 65535 }],
  rows: { from: 0, to: 7, shown: 1, cols: [{ n: 'WakeEnabled_%d', l: ['On', '启用'], k: 'check' }]
    .concat([0, 1, 2, 3, 4, 5].map(function (b) {
      return { n: 'mac_%d_' + b, l: ['MAC ' + (b + 1), 'MAC ' + (b + 1)], k: 'hex2', len: 2 };
    })) }
}] });
