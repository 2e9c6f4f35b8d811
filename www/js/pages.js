/* Shared by the status and log pages (home, alarms, history, UPS data, chart,
 * logs, about, console): the header and navigation, the page texts in the
 * card's languages, JSON requests, tables and paging.
 *
 * Texts: /lang/<code>.db (the login pages' table) and /lang/pages-<code>.db
 * (these pages' own), merged; elements name their key in data-i18n. The
 * language is the one last picked (localStorage "lang": 0 English, 1
 * Chinese). The navigation is NAV of nav.js, loaded before this script. */
var Pages = (function () {
  'use strict';
  var codes = ['en', 'zh'];
  var table = {};
  var current = 0;
  function t(key) { return table[key] || key; }
  function apply(root) {
    (root || document).querySelectorAll('[data-i18n]').forEach(function (e) {
      e.textContent = t(e.getAttribute('data-i18n'));
    });
    document.documentElement.lang = codes[current];
  }
  function fetchTable(url) {
    return fetch(url, { credentials: 'same-origin' })
      .then(function (r) { return r.ok ? r.json() : {}; })
      .catch(function () { return {}; });
  }
  function loadTexts(index) {
    current = codes[index] ? index : 0;
    localStorage.setItem('lang', String(current));
    return Promise.all([fetchTable('/lang/' + codes[current] + '.db'),
      fetchTable('/lang/pages-' + codes[current] + '.db')]).then(function (parts) {
      table = Object.assign({}, parts[0], parts[1]);
      apply();
    });
  }
  function storedLanguage() {
    var v = localStorage.getItem('lang');
    if (v !== null) return +v;
    return /^zh/i.test(navigator.language || '') ? 1 : 0;
  }

  // Ends the session on the card, not only in this browser.
  function logoutLink(text) {
    var a = el('a', { href: '/logout', id: 'logout', class: 'logout' }, text);
    a.onclick = function (e) {
      e.preventDefault();
      fetch('/logout', { method: 'POST', credentials: 'same-origin' })
        .catch(function () {}).then(function () { location.href = '/login.html'; });
    };
    return a;
  }
  function el(tag, attrs, text) {
    var e = document.createElement(tag);
    for (var k in attrs || {}) e.setAttribute(k, attrs[k]);
    if (text !== undefined && text !== null) e.textContent = text;
    return e;
  }
  function textEl(tag, key, attrs) {
    var a = Object.assign({ 'data-i18n': key }, attrs || {});
    return el(tag, a, t(key));
  }
  function cookie(name) {
    var m = document.cookie.match(new RegExp('(?:^|; *)' + name + '=([^;]*)'));
    return m ? decodeURIComponent(m[1]) : '';
  }
  function level() { return +cookie('permission') || 0; }

  // The gate's redirects: a request that lost its session goes back to the
  // login page; an administrator still on the factory password to the page
  // that replaces it. True when the browser is on its way.
  function gate(r) {
    if (!r.redirected) return false;
    if (/\/firstpassword\.html/.test(r.url)) location.href = '/firstpassword.html';
    else if (/login\.html|SNSet\.html/.test(r.url)) location.href = '/login.html';
    else return false;
    return true;
  }

  // GET of a route with a query object; resolves with the parsed JSON.
  function getJson(route, query) {
    var q = query ? '?' + new URLSearchParams(query).toString() : '';
    return fetch(route + q, { credentials: 'same-origin' }).then(function (r) {
      if (gate(r)) throw new Error('session');
      if (!r.ok) throw new Error(String(r.status));
      return r.json();
    });
  }
  function post(route, form) {
    return fetch(route, { method: 'POST', credentials: 'same-origin',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: new URLSearchParams(form).toString() }).then(function (r) {
      if (gate(r)) return new Promise(function () {}); // the page is being left
      return r.text().then(function (x) {
        var j = null; try { j = JSON.parse(x); } catch (e) { /* not JSON */ }
        return { status: r.status, body: j };
      });
    });
  }

  // The navigation of nav.js: a group per <details> (the active page's group
  // open), a link per page the user's level may open.
  function entryLabel(item) { return current === 1 ? item[3] : item[2]; }
  function groupLabel(g) { return current === 1 ? g[2] : g[1]; }
  function navLabel(id) {
    var found = id;
    NAV.forEach(function (g) {
      g[3].forEach(function (item) { if (item[0] === id) found = entryLabel(item); });
    });
    return found;
  }
  function buildNav(nav, active) {
    nav.textContent = '';
    NAV.forEach(function (g) {
      var items = g[3].filter(function (item) { return level() >= (item[4] || 1); });
      if (!items.length) return;
      var d = el('details', { 'data-group': g[0] });
      d.appendChild(el('summary', { 'data-group': g[0] }, groupLabel(g)));
      items.forEach(function (item) {
        var a = el('a', { href: item[1], 'data-nav': item[0] }, entryLabel(item));
        if (item[0] === active) { a.className = 'active'; d.open = true; }
        d.appendChild(a);
      });
      nav.appendChild(d);
    });
  }
  function relabel() {
    document.querySelectorAll('summary[data-group]').forEach(function (s) {
      NAV.forEach(function (g) { if (g[0] === s.getAttribute('data-group')) s.textContent = groupLabel(g); });
    });
    document.querySelectorAll('[data-nav]').forEach(function (e) {
      e.textContent = navLabel(e.getAttribute('data-nav'));
    });
  }

  // Header, navigation and the page's main element; returns main. A bare
  // page (the first password) has no navigation: nothing else opens yet.
  function frame(active, bare) {
    document.body.textContent = '';
    var header = el('header');
    var toggle = el('button', { id: 'menu-toggle', class: 'plain', 'aria-label': 'Menu' }, '\u2630');
    header.appendChild(toggle);
    header.appendChild(el('img', { src: '/image/logo.png', alt: '' }));
    header.appendChild(el('span', { class: 'grow' }));
    header.appendChild(el('span', { class: 'clock', id: 'clock' }));
    var lv = level();
    header.appendChild(el('span', { class: 'who', id: 'who' },
      cookie('user') + (lv ? ' (' + t('level.' + lv) + ')' : '')));
    header.appendChild(logoutLink(t('pg.logout')));
    var sel = el('select', { id: 'lang-select', style: 'width:auto' });
    [['English', 0], ['中文', 1]].forEach(function (o) {
      var opt = el('option', { value: o[1] }, o[0]);
      sel.appendChild(opt);
    });
    sel.value = String(current);
    sel.onchange = function () {
      loadTexts(+sel.value).then(function () {
        relabel();
        document.dispatchEvent(new Event('langchange'));
      });
    };
    header.appendChild(sel);
    var layout = el('div', { class: bare ? 'layout bare' : 'layout' });
    var nav = el('nav', { id: 'nav' });
    buildNav(nav, active);
    toggle.onclick = function () { nav.classList.toggle('open'); };
    toggle.hidden = !!bare;
    var main = el('main', { id: 'view' });
    var key = 'pg.title.' + active;
    var h1 = table[key] ? textEl('h1', key) : el('h1', { 'data-nav': active }, navLabel(active));
    main.appendChild(h1);
    if (!bare) layout.appendChild(nav);
    layout.appendChild(main);
    document.body.appendChild(header);
    document.body.appendChild(layout);
    clock();
    setInterval(clock, 10000);
    return main;
  }
  function clock() {
    fetch('/sysTime', { credentials: 'same-origin' }).then(function (r) {
      if (r.redirected || !r.ok) { location.href = '/login.html'; return null; }
      return r.json();
    }).then(function (j) {
      if (j) document.getElementById('clock').textContent = j.time;
    }).catch(function () {});
  }

  // Starts a page: texts first, then the page's own set-up.
  function start(active, setup, options) {
    handOff(2).then(function () { return loadTexts(storedLanguage()); })
      .then(function () { setup(frame(active, options && options.bare)); });
  }
  // The server hands the session's user and level over as cookies, one per
  // "/sysTime" call: the navigation needs the level before it is built.
  function handOff(tries) {
    if (cookie('permission') || tries <= 0) return Promise.resolve();
    return fetch('/sysTime', { credentials: 'same-origin' }).then(function (r) {
      if (gate(r)) throw new Error('session');
      return handOff(tries - 1);
    }, function () { return handOff(0); });
  }

  // A table of rows; columns: [[member, text key], ...]. `mark(row)` may
  // return a class name for the row.
  function table_(rows, columns, mark) {
    var wrap = el('div', { class: 'tablewrap' });
    var tb = el('table');
    var head = el('tr');
    columns.forEach(function (c) { head.appendChild(textEl('th', c[1])); });
    tb.appendChild(head);
    rows.forEach(function (row) {
      var tr = el('tr');
      var cls = mark ? mark(row) : '';
      if (cls) tr.className = cls;
      columns.forEach(function (c) {
        var v = typeof c[0] === 'function' ? c[0](row) : row[c[0]];
        tr.appendChild(el('td', {}, v === undefined ? '' : String(v)));
      });
      tb.appendChild(tr);
    });
    wrap.appendChild(tb);
    if (!rows.length) wrap.appendChild(textEl('p', 'pg.empty', { class: 'muted empty' }));
    return wrap;
  }

  // Paging bar: "< page n of m >"; onPage(n) loads page n.
  function pager(page, total, onPage) {
    var bar = el('div', { class: 'pager' });
    var prev = el('button', { class: 'plain', id: 'page-prev' }, '\u2039');
    var next = el('button', { class: 'plain', id: 'page-next' }, '\u203a');
    prev.disabled = page <= 1;
    next.disabled = page >= total;
    prev.onclick = function () { onPage(page - 1); };
    next.onclick = function () { onPage(page + 1); };
    var info = el('span', { id: 'page-info' },
      t('pg.page').replace('%1', total ? page : 0).replace('%2', total));
    bar.appendChild(prev); bar.appendChild(info); bar.appendChild(next);
    return bar;
  }

  function today() {
    var d = new Date();
    function two(n) { return (n < 10 ? '0' : '') + n; }
    return d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate());
  }
  function labelled(key, input) {
    var w = el('div');
    w.appendChild(textEl('label', key, { for: input.id }));
    w.appendChild(input);
    return w;
  }
  function select(id, options) {
    var s = el('select', { id: id });
    options.forEach(function (o) { s.appendChild(textEl('option', o[1], { value: o[0] })); });
    return s;
  }
  function message(box, ok, key) {
    box.className = 'msg ' + (ok ? 'ok' : 'bad');
    box.textContent = t(key);
  }

  return { t: t, apply: apply, el: el, textEl: textEl, getJson: getJson, post: post,
    cookie: cookie, navLabel: navLabel,
    start: start, table: table_, pager: pager, today: today, labelled: labelled,
    select: select, message: message, level: level,
    get language() { return current; } };
})();
