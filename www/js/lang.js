/* Page texts in the card's languages: /lang/<code>.db holds a JSON table of
 * key -> text; elements name their key in data-i18n. The choice follows the
 * card's interface_language (0 English, 1 Chinese) and the user's last pick. */
var Lang = (function () {
  var codes = ['en', 'zh'];
  var table = {};
  var current = 0;
  function stored() {
    var v = localStorage.getItem('lang');
    if (v !== null) return +v;
    return /^zh/i.test(navigator.language || '') ? 1 : 0;
  }
  function t(key) { return table[key] || key; }
  function apply(root) {
    (root || document).querySelectorAll('[data-i18n]').forEach(function (el) {
      el.textContent = t(el.getAttribute('data-i18n'));
    });
    document.documentElement.lang = codes[current];
  }
  function load(index) {
    current = codes[index] ? index : 0;
    localStorage.setItem('lang', String(current));
    return fetch('/lang/' + codes[current] + '.db', { credentials: 'same-origin' })
      .then(function (r) { return r.ok ? r.json() : {}; })
      .catch(function () { return {}; })
      .then(function (data) { table = data; apply(); });
  }
  function switcher(onChange) {
    var sel = document.createElement('select');
    sel.id = 'lang-select';
    sel.style.width = 'auto';
    [['English', 0], ['中文', 1]].forEach(function (o) {
      var opt = document.createElement('option');
      opt.textContent = o[0]; opt.value = o[1];
      sel.appendChild(opt);
    });
    sel.value = String(current);
    sel.onchange = function () {
      load(+sel.value).then(function () { if (onChange) onChange(+sel.value); });
    };
    return sel;
  }
  return { t: t, apply: apply, load: load, stored: stored, switcher: switcher,
           get index() { return current; } };
})();
