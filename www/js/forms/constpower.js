/* Run time against load: up to 20 points of the battery's discharge table. */
Form.page({ id: 'constpower', cards: [{
  route: '/ConstantPower', write: 2,
  load: function (d) {
    var v = { WtNumber: d.WtNumber };
    (d.BatMin || []).forEach(function (x, i) { v['BatMin' + (i + 1)] = x; });
    (d.BatWatt || []).forEach(function (x, i) { v['BatWatt' + (i + 1)] = x; });
    return v;
  },
  fields: [{ n: 'WtNumber', l: ['Points used', '有效点数'], k: 'int', min: 0, max: 20 }],
  rows: { from: 1, to: 20, cols: [
    { n: 'BatMin%d', l: ['Run time (min)', '时间(分钟)'], k: 'float' },
    { n: 'BatWatt%d', l: ['Load (W)', '负载(W)'], k: 'float' }] }
}] });
