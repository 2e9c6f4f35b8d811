/* The card's serial number and MAC address (set when the card is made). */
Form.page({ id: 'identity', cards: [{
  route: '/SetSnNum', write: 3, title: ['Serial number', '序列号'],
  fields: [{ n: 'sn_num', l: ['Serial number', '序列号'], k: 'text', len: 49, required: true }]
}, {
  route: '/SetMacAddr', write: 3, title: ['MAC address', 'MAC地址'],
  note: ['Takes effect after a restart.', '重启后生效。'],
  fields: [0, 1, 2, 3, 4, 5].map(function (b) {
    return { n: 'mac_' + b, l: ['Byte ' + (b + 1), '字节' + (b + 1)], k: 'hex2', len: 2, required: true };
  }).concat([{ n: 'IsReboot', l: ['Restart now', '立即重启'], k: 'check' }])
}] });
