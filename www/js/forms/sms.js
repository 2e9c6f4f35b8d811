/* SMS: the modem line and its state, the recipients, the alarms each
 * recipient is told about, and a test message. */
(function () {
  var m = /[?&]id=([1-8])\b/.exec(location.search);
  var id = m ? m[1] : '1';
  var events = [];
  for (var i = 0; i < 26; i++)
    events.push({ n: 'event' + i, k: 'check', l: (function (b) {
      return { get 0() { return Pages.t('ev.' + b); }, get 1() { return Pages.t('ev.' + b); } };
    })(i) });
  Form.page({ id: 'sms', cards: [{
    route: '/SmsSettings', write: 2, title: ['SMS modem', '短信模块'],
    fields: [
      { n: 'sms_Enable', l: ['SMS', '短信通知'], k: 'select', opts: Form.ONOFF },
      { n: 'sms_sendEnable', l: ['Message on alarms', '告警时发送'], k: 'select', opts: Form.ONOFF },
      { n: 'sel_stype', l: ['Network', '网络制式'], k: 'select', opts: [[0, 'GSM'], [1, 'WCDMA'], [2, 'LTE']] },
      { n: 'sms_dcs', l: ['Coding (DCS)', '编码(DCS)'], k: 'int', min: 0, max: 255 }]
      .concat(Form.serial('sms')),
    rows: { from: 1, to: 8, cols: [
      { n: 'sms_recpt%d', l: ['Telephone', '电话号码'], k: 'text', len: 21 },
      { n: 'sms_ctrl%d', l: ['May send commands', '允许短信控制'], k: 'check' }] },
    init: function (box, d) {
      if (!d) return;
      var s = box.querySelector('.modem') || Pages.el('p', { class: 'modem muted' });
      s.textContent = Form.L(['Modem', '模块']) + ': ' + [d.show_sms_maker, d.show_sms_model,
        d.show_sms_operater, d.show_sms_signal].filter(Boolean).join(' / ');
      box.insertBefore(s, box.children[1]);
    }
  }, {
    name: 'smsevents', route: '/SmsEvent?id=' + id, write: 2,
    title: ['Alarms sent to a recipient', '发送给收件人的告警'],
    fields: [{ n: 'id', l: ['Recipient', '收件人'], k: 'select',
      opts: [1, 2, 3, 4, 5, 6, 7, 8].map(function (n) { return [n, String(n)]; }) }].concat(events),
    init: function (box) {
      var s = box.querySelector('[name="id"]');
      s.value = id;
      s.onchange = function () { location.search = '?id=' + s.value; };
    }
  }, {
    name: 'smstest', route: '/SmsTest', read: false, write: 2, title: ['Test message', '测试短信'],
    fields: [{ n: 'sms_Test_recpt', l: ['Send to', '收件人'], k: 'text', len: 21, required: true }],
    buttons: [{ l: ['Send', '发送'], id: 'send' }]
  }] });
})();
