/* Configuration file: download the settings, upload a saved file (the card
 * reboots with it), and the factory reset (the card reboots). */
(function () {
  var L = function (p) { return Form.L(p); };
  function say(msg, ok, text) { msg.className = 'msg ' + (ok ? 'ok' : 'bad'); msg.textContent = text; }
  function uploadForm(box) {
    if (box.querySelector('#cfg-file')) return;
    var file = Pages.el('input', { type: 'file', id: 'cfg-file', accept: '.csv' });
    var go = Pages.el('button', { type: 'button', id: 'cfg-upload' }, L(['Upload', '上传']));
    var msg = Pages.el('div', { class: 'msg', role: 'status' });
    go.disabled = Pages.level() < 3;
    go.onclick = function () {
      var f = file.files[0];
      if (!f) return;
      if (f.name !== 'system_config.csv')
        return say(msg, false, L(['Only a file named system_config.csv is taken.', '仅接受名为system_config.csv的文件。']));
      if (f.size > 256 * 1024) return say(msg, false, L(['The file is too large.', '文件过大。']));
      var data = new FormData();
      data.append('file', f, f.name);
      go.disabled = true;
      fetch('/UpdateSettings', { method: 'POST', body: data, credentials: 'same-origin' })
        .then(function (r) { return r.json(); }).then(function (j) {
          if (j.result === 'ok') {
            say(msg, true, L(['Imported. The card reboots with the new settings.', '已导入。设备将以新设置重启。']) +
              (j.errmsg ? ' ' + L(['Kept (refused values): ', '保留原值(被拒绝)：']) + j.errmsg.replace('refused:', '') : ''));
          } else {
            say(msg, false, L(['Not imported: ', '未导入：']) + (j.errmsg || ''));
            go.disabled = false;
          }
        }).catch(function () { say(msg, false, L(['Not imported.', '未导入。'])); go.disabled = false; });
    };
    var actions = box.querySelector('.actions');
    box.insertBefore(file, actions);
    box.insertBefore(go, actions);
    box.insertBefore(msg, actions);
  }
  Form.page({ id: 'config', cards: [{
    name: 'export', read: false, title: ['Save the settings', '保存设置'],
    note: ['A file with every setting of the card, passwords included: keep it safe.',
      '包含设备所有设置(含密码)的文件：请妥善保管。'],
    buttons: [],
    init: function (box) {
      if (box.querySelector('#cfg-export')) return;
      box.appendChild(Pages.el('a', { href: '/SaveCurrentSettings', id: 'cfg-export', class: 'button' },
        L(['Download system_config.csv', '下载system_config.csv'])));
    }
  }, {
    name: 'import', read: false, title: ['Load saved settings', '导入设置'],
    note: ['Values the settings pages would refuse keep their current value.',
      '设置页面会拒绝的值将保持原值。'],
    buttons: [], init: uploadForm
  }, {
    name: 'factory', route: '/RecoverfactorySettings', read: false, write: 3,
    title: ['Factory settings', '恢复出厂设置'],
    note: ['Every setting except the network addresses returns to its factory value, the logs are ' +
      'deleted and the card reboots. The administrator password is the factory one again: the ' +
      'next login asks for a new one.',
    '除网络地址外的所有设置恢复出厂值，日志被删除，设备重启。管理员密码恢复为出厂密码：下次登录时需设置新密码。'],
    buttons: [{ l: ['Restore factory settings', '恢复出厂设置'], id: 'reset', confirm: true }],
    answers: { ok: ['Done. The card reboots.', '完成。设备正在重启。'] }
  }] });
})();
