/* SNMP traps: the receivers, then one receiver (chosen above the cards) with
 * its v3 user, the alarms it is told about, and a test trap. */
(function () {
  var none = [0, 'None', '无'];
  var m = /[?&]userid=([1-8])\b/.exec(location.search);
  var user = m ? m[1] : '1';
  var receivers = [1, 2, 3, 4, 5, 6, 7, 8].map(function (n) { return [n, String(n)]; });
  function pick(box) {
    var s = box.querySelector('[name="userid"]');
    s.value = user;
    s.onchange = function () { location.search = '?userid=' + s.value; };
  }
  var events = [];
  for (var i = 0; i < 26; i++)
    events.push({ n: 'event' + i, k: 'check', l: (function (b) {
      return { get 0() { return Pages.t('ev.' + b); }, get 1() { return Pages.t('ev.' + b); } };
    })(i) });
  var receiver = { n: 'userid', l: ['Receiver', '接收者'], k: 'select', opts: receivers };
  Form.page({ id: 'traps', cards: [{
    route: '/TrapConfig', write: 3, title: ['Trap receivers', 'Trap接收者'],
    fields: [{ n: 'trap_snmp_version', l: ['Version', '版本'], k: 'select',
      opts: [[0, 'v1'], [1, 'v2c'], [2, 'v3']] }],
    rows: { from: 1, to: 8, cols: [
      { n: 'trap_ip%d', l: ['Address', '地址'], k: 'host' },
      { n: 'trap_comu%d', l: ['Community', '团体名'], k: 'text', len: 31 },
      { n: 'trap_apt%d', l: ['Kind', '类型'], k: 'select',
        opts: [[0, 'Off', '关闭'], [1, 'Trap'], [2, 'Inform']] }] }
  }, {
    name: 'trapuser', route: '/TrapUserConfig?userid=' + user, write: 3,
    title: ['Receiver v3 user', '接收者v3用户'],
    fields: [receiver,
      { n: 'trap_username', l: ['User', '用户名'], k: 'text', len: 31 },
      { n: 'trap_auth', l: ['Authentication', '认证'], k: 'select', opts: [none, [1, 'MD5'], [2, 'SHA']] },
      { n: 'trap_userpass', l: ['Auth pass phrase', '认证密码'], k: 'password', len: 31 },
      { n: 'trap_privacyflag', l: ['Privacy', '加密'], k: 'select', opts: [none, [1, 'DES'], [2, 'AES']] },
      { n: 'trap_privacy_pass', l: ['Privacy pass phrase', '加密密码'], k: 'password', len: 31 }],
    init: pick,
    buttons: [{ l: ['Save', '保存'], id: 'save' }]
  }, {
    name: 'trapevents', route: '/TrapEventConfig?userid=' + user, write: 3,
    title: ['Alarms sent to this receiver', '发送给该接收者的告警'],
    fields: [receiver].concat(events), init: pick
  }, {
    name: 'traptest', route: '/TrapEventTest', read: false, write: 3,
    title: ['Test trap', '测试Trap'],
    buttons: [{ l: ['Send a test trap to this receiver', '向该接收者发送测试Trap'], id: 'send',
      extra: [['userid', user]] }]
  }] });
})();
