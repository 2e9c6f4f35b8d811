/* About: the card's identity, versions, addresses and schedule times from
 * "/AboutInfo", in the order the card sends them. */
(function () {
  'use strict';
  var P = Pages;
  P.start('about', function (main) {
    var card = P.el('div', { class: 'card' });
    main.appendChild(card);
    P.getJson('/AboutInfo').then(function (d) {
      var dl = P.el('dl', { id: 'about' });
      Object.keys(d).forEach(function (k) {
        var row = P.el('div', { class: 'kv' });
        row.appendChild(P.textEl('dt', 'pg.about.' + k));
        row.appendChild(P.el('dd', { id: 'about-' + k }, d[k]));
        dl.appendChild(row);
      });
      card.appendChild(dl);
    }).catch(function () { card.appendChild(P.textEl('p', 'pg.unavailable', { class: 'msg bad' })); });
  });
})();
