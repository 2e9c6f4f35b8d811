/* Which optional functions the card's pages show. */
Form.page({ id: 'devices', cards: [{
  route: '/CfgDeviceLeft', write: 2,
  fields: [1, 2, 3, 4, 5, 6, 7].map(function (n) {
    return { n: 'use_dev_fun' + n, l: ['Function ' + n, '功能 ' + n], k: 'check' };
  })
}] });
