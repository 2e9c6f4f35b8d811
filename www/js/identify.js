/* Identify the UPS: starts the search for the protocol, bus address and line
 * speed of the UPS on the UPS port (the UPS page's "enable_identify") and
 * shows where it stands from "/IdentifyProgress" in a progress bar: 3-9 while
 * the UPS driver stops, 10-30 the text protocol at 2400, 4800 and 9600 baud,
 * 40-60 Modbus, 70-90 the altups protocol, 90 found, 95 and 100 at the end. */
(function () {
  'use strict';
  var P = Pages;
  var RUNNING_MS = 500;
  var IDLE_MS = 3000;
  var TEXTS = {
    intro: ['The card asks the UPS on its UPS port in each protocol it knows, at 2400, 4800 and 9600 baud, and stores the protocol, address and speed it finds. Polling stops while it searches; a new protocol restarts the card.',
      '网卡依次以2400、4800、9600波特率用各协议询问UPS端口上的UPS，并保存识别到的协议、地址和波特率。识别期间暂停轮询；识别到新协议时网卡重启。'],
    start: ['Start identification', '开始识别'],
    idle: ['Not running.', '未运行。'],
    stopping: ['Stopping the UPS polling …', '正在暂停UPS轮询…'],
    text: ['Asking in the text protocol …', '正在尝试ASCII协议…'],
    modbus: ['Asking in Modbus …', '正在尝试Modbus协议…'],
    altups: ['Asking in the altups protocol …', '正在尝试altups协议…'],
    found: ['Found. Storing the settings …', '已识别，正在保存设置…'],
    done: ['Finished. The settings page shows what was stored.', '已完成。设置页显示保存的结果。'],
    refused: ['Your user level may not start it.', '当前用户权限不能启动识别。'],
    failed: ['The card did not take the request.', '网卡未接受请求。'],
    unavailable: ['The card does not answer.', '网卡无应答。']
  };
  function tx(key) { return TEXTS[key][P.language === 1 ? 1 : 0]; }

  // What a progress value means.
  function stage(p) {
    if (p <= 0) return 'idle';
    if (p < 10) return 'stopping';
    if (p < 40) return 'text';
    if (p < 70) return 'modbus';
    if (p < 90) return 'altups';
    if (p < 95) return 'found';
    return p >= 100 ? 'done' : 'found';
  }

  P.start('identify', function (main) {
    var card = P.el('div', { class: 'card' });
    var intro = P.el('p', { id: 'identify-intro' }, tx('intro'));
    var row = P.el('div', { class: 'statusline' });
    var bar = P.el('progress', { id: 'identify-bar', max: '100', value: '0',
      style: 'flex:1;min-width:200px;height:22px' });
    var pct = P.el('span', { id: 'identify-pct', class: 'chip' }, '0 %');
    row.appendChild(bar);
    row.appendChild(pct);
    var state = P.el('p', { id: 'identify-state', class: 'muted' }, tx('idle'));
    var start = P.el('button', { id: 'identify-start', type: 'button' }, tx('start'));
    var msg = P.el('p', { id: 'identify-msg', class: 'msg', role: 'status' });
    [intro, row, state, start, msg].forEach(function (e) { card.appendChild(e); });
    main.appendChild(card);

    var last = -1;
    var timer = null;
    var startedAt = 0; // the task takes up a request within a second or two
    function show(p) {
      last = p;
      bar.value = p;
      pct.textContent = p + ' %';
      state.textContent = tx(stage(p));
      start.disabled = P.level() < 2 || (p > 0 && p < 100) || Date.now() - startedAt < 5000;
    }
    function poll() {
      clearTimeout(timer);
      P.getJson('/IdentifyProgress').then(function (d) {
        show(+d.progress || 0);
        var busy = (last > 0 && last < 100) || Date.now() - startedAt < 5000;
        timer = setTimeout(poll, busy ? RUNNING_MS : IDLE_MS);
      }).catch(function () {
        state.textContent = tx('unavailable');
        timer = setTimeout(poll, IDLE_MS);
      });
    }
    start.onclick = function () {
      start.disabled = true;
      msg.className = 'msg';
      msg.textContent = '';
      P.post('/UpsParam', { enable_identify: 1 }).then(function (r) {
        if (r.status === 403) throw new Error('refused');
        if (r.status !== 200) throw new Error('failed');
        startedAt = Date.now();
        show(0);
        state.textContent = tx('stopping');
        // The task looks at the request once a second.
        timer = setTimeout(poll, RUNNING_MS);
      }).catch(function (e) {
        msg.className = 'msg bad';
        msg.textContent = tx(e.message === 'refused' ? 'refused' : 'failed');
        startedAt = 0;
        start.disabled = false;
      });
    };
    document.addEventListener('langchange', function () {
      intro.textContent = tx('intro');
      start.textContent = tx('start');
      if (last >= 0) show(last);
    });
    poll();
  });
})();
