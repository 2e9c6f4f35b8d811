/* Firmware update: the running and the accepted version, a package uploaded
 * from this computer or fetched from the update server, then the progress
 * count after which the card reboots and installs the package. */
(function () {
  var L = function (p) { return Form.L(p); };
  var FLAGS = {
    '2': [true, ['Package accepted. Start the update below.', '升级包已接受。请在下方开始升级。']],
    '1': [false, ['No package arrived (or the update server did not answer).', '未收到升级包(或升级服务器无应答)。']],
    '3': [false, ['This file is not a firmware package for this card.', '该文件不是本设备的固件升级包。']],
    '4': [false, ['This package is made for another hardware version.', '该升级包适用于其他硬件版本。']]
  };
  function say(msg, ok, text) { msg.className = 'msg ' + (ok ? 'ok' : 'bad'); msg.textContent = text; }
  function flagText(msg) {
    var f = FLAGS[Pages.cookie('UpdateFlag')] || [false, ['Not accepted.', '未接受。']];
    say(msg, f[0], L(f[1]));
    refreshList();
  }
  function refreshList() {
    var box = document.getElementById('fw-list');
    if (!box) return;
    Pages.getJson('/UpdateList').then(function (j) {
      var row = (j.data || [])[0] || {};
      box.textContent = L(['Running: ', '当前版本：']) + (row.cur_version || '') + '   ' +
        L(['Accepted package: ', '已接受的升级包：']) +
        (row.update_version ? row.update_version + ' (' + row.update_size + ')' : L(['none', '无']));
    }).catch(function () {});
  }
  function uploadForm(box) {
    if (box.querySelector('#fw-file')) return;
    var file = Pages.el('input', { type: 'file', id: 'fw-file', accept: '.gz,.tar' });
    var go = Pages.el('button', { type: 'button', id: 'fw-upload' }, L(['Upload', '上传']));
    var msg = Pages.el('div', { class: 'msg', role: 'status' });
    go.disabled = Pages.level() < 3;
    go.onclick = function () {
      var f = file.files[0];
      if (!f) return;
      var data = new FormData();
      data.append('file', f, f.name);
      go.disabled = true;
      say(msg, true, L(['Uploading and checking…', '正在上传并检查…']));
      fetch('/update', { method: 'POST', body: data, credentials: 'same-origin' })
        .then(function () { flagText(msg); })
        .catch(function () { say(msg, false, L(['Upload failed.', '上传失败。'])); })
        .then(function () { go.disabled = false; });
    };
    var actions = box.querySelector('.actions');
    [file, go, msg].forEach(function (e) { box.insertBefore(e, actions); });
  }
  function progressForm(box) {
    if (box.querySelector('#fw-start')) return;
    box.insertBefore(Pages.el('div', { id: 'fw-list' }), box.querySelector('.actions'));
    var go = Pages.el('button', { type: 'button', id: 'fw-start' }, L(['Update and reboot', '升级并重启']));
    var bar = Pages.el('progress', { max: '100', value: '0', id: 'fw-progress' });
    var msg = Pages.el('div', { class: 'msg', role: 'status' });
    go.disabled = Pages.level() < 3;
    go.onclick = function () {
      if (!confirm(L(['The card reboots and installs the accepted package. Continue?',
        '设备将重启并安装已接受的升级包。继续吗？']))) return;
      go.disabled = true;
      Pages.getJson('/UpdateList').then(function () {
        var timer = setInterval(function () {
          Pages.getJson('/UpdateProgress').then(function (j) {
            bar.value = j.progress;
            if (j.progress >= 100) {
              clearInterval(timer);
              say(msg, true, L(['The card reboots now; log in again in a minute.', '设备正在重启；请一分钟后重新登录。']));
            }
          }).catch(function () { clearInterval(timer); });
        }, 1000);
      });
    };
    var actions = box.querySelector('.actions');
    [go, bar, msg].forEach(function (e) { box.insertBefore(e, actions); });
    refreshList();
  }
  Form.page({ id: 'firmware', cards: [{
    name: 'state', read: false, title: ['Firmware', '固件'], buttons: [], init: progressForm
  }, {
    name: 'upload', read: false, title: ['Upload a package', '上传升级包'],
    note: ['A Torvix firmware package (Torvix….tar.gz) made for this hardware.',
      '适用于本硬件的Torvix固件升级包(Torvix….tar.gz)。'],
    buttons: [], init: uploadForm
  }, {
    route: '/FtpUpdate', write: 3, title: ['Update server', '升级服务器'],
    fields: [
      { n: 'ftp_server', l: ['FTP server', 'FTP服务器'], k: 'host', required: true },
      { n: 'ftp_port', l: ['Port', '端口'], k: 'int', min: 1, max: 65535 },
      { n: 'ftp_user', l: ['User', '用户名'], k: 'text', len: 63 },
      { n: 'ftp_pass', l: ['Password', '密码'], k: 'password', len: 63 }],
    buttons: [{ l: ['Save', '保存'], id: 'save' }],
    init: function (box) {
      if (box.querySelector('#fw-fetch')) return;
      var go = Pages.el('button', { type: 'button', id: 'fw-fetch' },
        L(['Fetch the package from the server', '从服务器获取升级包']));
      var msg = Pages.el('div', { class: 'msg', role: 'status' });
      go.disabled = Pages.level() < 3;
      go.onclick = function () {
        go.disabled = true;
        say(msg, true, L(['Fetching…', '正在获取…']));
        Pages.post('/LocateOrOnlineUpdate', [['type', '1']]).then(function () { flagText(msg); })
          .then(function () { go.disabled = false; });
      };
      box.appendChild(go);
      box.appendChild(msg);
    }
  }] });
})();
