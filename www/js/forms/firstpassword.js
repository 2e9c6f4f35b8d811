/* The administrator's first password. A card on its factory password opens
 * this page only, until the administrator has chosen his own: twice the
 * same, at least eight characters, not the factory one. The server checks
 * again; the card's system account takes the same password. Then the home
 * page opens and the session goes on. */
(function () {
  var FACTORY = 'pqlzv', MIN = 8, MAX_BYTES = 49;
  var WHY = {
    chars: ['no control characters.', '不能包含控制字符。'],
    factory: ['this is the factory password: choose your own.', '这是出厂密码，请设置您自己的密码。'],
    short: ['at least 8 characters.', '至少需要8个字符。'],
    long: ['at most 49 bytes (a Chinese character takes 3).', '最多49个字节(一个汉字占3个字节)。'],
    mismatch: ['the two passwords differ.', '两次输入的密码不一致。'],
    done: ['the password was already set elsewhere: log in again.', '密码已在别处设置，请重新登录。']
  };
  function value(box, name) { return box.querySelector('[name=' + name + ']').value; }
  // The server's rules, so that the page says why before anything is sent.
  function problem(pass, again) {
    if (/[\x00-\x1f\x7f]/.test(pass)) return 'chars';
    if (pass === FACTORY) return 'factory';
    if (Array.from(pass).length < MIN) return 'short';
    if (new TextEncoder().encode(pass).length > MAX_BYTES) return 'long';
    if (pass !== again) return 'mismatch';
    return '';
  }
  Form.page({ id: 'firstpassword', bare: true, cards: [{
    name: 'first', route: '/FirstPassword', read: false, write: 3,
    note: ['This card still has its factory password, which every card shares. Choose the ' +
      'administrator password before anything else: at least 8 characters. The card\'s system ' +
      'account takes the same password.',
    '本设备仍使用所有设备相同的出厂密码。请先设置管理员密码(至少8个字符)，然后才能使用其他功能。' +
      '设备的系统账户将使用同一密码。'],
    fields: [
      { n: 'new_password', l: ['New password', '新密码'], k: 'password', required: true, len: MAX_BYTES },
      { n: 'confirm_password', l: ['New password again', '再次输入新密码'], k: 'password', required: true,
        len: MAX_BYTES }],
    buttons: [{ l: ['Set the password', '设置密码'], id: 'save' }],
    init: function (box) {
      box.querySelectorAll('input[type=password]').forEach(function (e) { e.autocomplete = 'new-password'; });
    },
    validate: function (box) {
      var why = problem(value(box, 'new_password'), value(box, 'confirm_password'));
      return why ? ['Not set: ' + WHY[why][0], '未设置：' + WHY[why][1]] : '';
    },
    reasons: WHY,
    answers: { ok: ['Password set.', '密码已设置。'] },
    after: function (box, body) {
      if (body && body.errmsg === 'account') {
        box.querySelector('.msg').textContent += ' ' + Form.L(['The system account kept its old ' +
          'password: set it on the card\'s console.', '系统账户保留了原密码，请在设备控制台上修改。']);
        setTimeout(function () { location.href = '/'; }, 4000);
      } else {
        location.href = '/';
      }
    }
  }] });
})();
