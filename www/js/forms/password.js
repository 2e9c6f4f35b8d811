/* A user's own password (every level may change its own). */
Form.page({ id: 'password', cards: [{
  route: '/SetSysPassword', read: false, write: 1,
  fields: [
    { n: 'user', l: ['User', '用户'], k: 'readonly', send: true },
    { n: 'old_password', l: ['Current password', '当前密码'], k: 'password', required: true },
    { n: 'new_password', l: ['New password', '新密码'], k: 'password', required: true },
    { n: 'confirm_password', l: ['New password again', '再次输入新密码'], k: 'local', required: true }],
  init: function (box) {
    box.querySelector('[name=user]').value = Pages.cookie('user');
    box.querySelector('[name=confirm_password]').type = 'password';
  },
  validate: function (box) {
    return box.querySelector('[name=new_password]').value ===
      box.querySelector('[name=confirm_password]').value ? '' : 'mismatch';
  },
  answers: { '1': ['Password changed.', '密码已修改。'], '0': ['The current password is wrong.', '当前密码错误。'] },
  after: function (box) {
    box.querySelectorAll('input[type=password]').forEach(function (e) { e.value = ''; });
  }
}] });
