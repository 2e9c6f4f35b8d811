/* E-mail: the mail server, the recipients of alarms and daily reports, the
 * alarms each recipient is told about, and a test mail. The password is
 * shown to administrators only; left blank it stays as it is. */
(function () {
  var m = /[?&]id=([1-8])\b/.exec(location.search);
  var id = m ? m[1] : '1';
  var onoff = function (n, l) { return { n: n, l: l, k: 'select', opts: Form.ONOFF }; };
  var events = [];
  for (var i = 0; i < 26; i++)
    events.push({ n: 'event' + i, k: 'check', l: (function (b) {
      return { get 0() { return Pages.t('ev.' + b); }, get 1() { return Pages.t('ev.' + b); } };
    })(i) });
  Form.page({ id: 'email', cards: [{
    route: '/EmailConfig', write: 2, title: ['Mail server', '邮件服务器'],
    fields: [
      onoff('is_used_email', ['E-mail', '邮件通知']),
      { n: 'email_serv_ip', l: ['SMTP server', 'SMTP服务器'], k: 'host' },
      { n: 'email_serv_port', l: ['Port', '端口'], k: 'int', min: 0, max: 65535 },
      { n: 'starttls', l: ['Encryption', '加密'], k: 'select',
        opts: [[0, 'None', '无'], [1, 'STARTTLS'], [2, 'SSL/TLS']] },
      { n: 'email_sender', l: ['Sender address', '发件人地址'], k: 'text', len: 63 },
      onoff('cmdEHLO', ['Authentication', '身份验证']),
      onoff('Lflag', ['Log in', '登录']),
      { n: 'username', l: ['User name', '用户名'], k: 'text', len: 63 },
      { n: 'password', l: ['Password', '密码'], k: 'password', len: 63 },
      onoff('email_used_agent_serv', ['Through a proxy', '使用代理']),
      { n: 'email_agent_serv', l: ['Proxy', '代理服务器'], k: 'host' },
      { n: 'email_agent_port', l: ['Proxy port', '代理端口'], k: 'int', min: 1, max: 65535 },
      onoff('email_send_trap', ['Mail on alarms', '告警时发送']),
      onoff('email_send_daily', ['Daily report', '每日报告']),
      { n: 'email_daily_time', l: ['Report at (H:MM)', '报告时间(时:分)'], k: 'time' }],
    rows: { from: 1, to: 8, cols: [
      { n: 'email_recpt%d', l: ['Alarm recipient', '告警收件人'], k: 'text', len: 63 },
      { n: 'report_recpt%d', l: ['Report recipient (1-4)', '报告收件人(1-4)'], k: 'text', len: 63 }] },
    init: function (box) {
      // Four report recipients: the last four cells of that column are unused.
      for (var n = 5; n <= 8; n++) {
        var e = box.querySelector('[name="report_recpt' + n + '"]');
        if (e) { e.disabled = true; e.name = ''; }
      }
    }
  }, {
    name: 'mailevents', route: '/EmailEvent?id=' + id, write: 2,
    title: ['Alarms sent to a recipient', '发送给收件人的告警'],
    fields: [{ n: 'id', l: ['Recipient', '收件人'], k: 'select',
      opts: [1, 2, 3, 4, 5, 6, 7, 8].map(function (n) { return [n, String(n)]; }) }].concat(events),
    init: function (box) {
      var s = box.querySelector('[name="id"]');
      s.value = id;
      s.onchange = function () { location.search = '?id=' + s.value; };
    }
  }, {
    name: 'mailtest', route: '/EmailTest', read: false, write: 2, title: ['Test mail', '测试邮件'],
    fields: [{ n: 'email_Test_recpt', l: ['Send to', '收件人'], k: 'text', len: 63, required: true }],
    buttons: [{ l: ['Send', '发送'], id: 'send' }]
  }] });
})();
