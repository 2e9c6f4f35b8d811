/* The logo on every page: a built-in one or an uploaded PNG named logo.png. */
Form.page({ id: 'logo', cards: [{
  route: '/DebugSelectLogo', write: 3, title: ['Built-in logo', '内置标志'],
  fields: [{ n: 'logo_type', l: ['Logo', '标志'], k: 'select', opts: [[0, 'Torvix'], [1, 'Brendova']] }]
}, {
  route: '/ChangeLogo', read: false, write: 3, title: ['Upload a logo', '上传标志'],
  note: ['A PNG file named logo.png, at most 512 KiB.', 'PNG文件，名为logo.png，最大512 KiB。'],
  buttons: [],
  init: function (box) {
    var f = Pages.el('form', { method: 'post', action: '/ChangeLogo', enctype: 'multipart/form-data' });
    f.appendChild(Pages.el('input', { type: 'file', name: 'file', accept: 'image/png' }));
    var b = Pages.el('button', { type: 'submit' }, Form.L(['Upload', '上传']));
    b.disabled = Pages.level() < 3;
    f.appendChild(b);
    box.insertBefore(f, box.querySelector('.actions'));
  }
}] });
