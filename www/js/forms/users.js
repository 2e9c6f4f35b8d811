/* The web users: name, password, level and the addresses they may come from. */
Form.page({ id: 'users', cards: [{
  route: '/NetworkRemoteInfo', write: 3,
  load: function (d) {
    var v = {};
    (d.data || []).forEach(function (r, i) {
      ['user_name', 'user_pass', 'user_right', 'user_ip'].forEach(function (k) { v[k + (i + 1)] = r[k]; });
    });
    return v;
  },
  rows: { from: 1, to: 8, cols: [
    { n: 'user_name%d', l: ['User', '用户名'], k: 'text', len: 49 },
    { n: 'user_pass%d', l: ['Password', '密码'], k: 'password', len: 49 },
    { n: 'user_right%d', l: ['Level', '权限'], k: 'select',
      opts: [[1, 'Viewer', '查看'], [2, 'Operator', '操作'], [3, 'Administrator', '管理员']] },
    { n: 'user_ip%d', l: ['Addresses (*.*.*.* any)', '允许地址(*.*.*.*任意)'], k: 'text', len: 49 }] },
  answers: { '1': ['Saved.', '已保存。'], '2': ['Refused: a name is used twice or is "admin".', '已拒绝：用户名重复或为admin。'] }
}] });
