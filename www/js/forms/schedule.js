/* Schedules: shutdown delays on alarms, the automatic battery test, weekly
 * on/off times and one-off dates. */
(function () {
  var days = [[0, 'Sunday', '星期日'], [1, 'Monday', '星期一'], [2, 'Tuesday', '星期二'],
    [3, 'Wednesday', '星期三'], [4, 'Thursday', '星期四'], [5, 'Friday', '星期五'], [6, 'Saturday', '星期六']];
  function flatten(data) {
    var v = Object.assign({}, data);
    (data.every_settings || []).forEach(function (e, i) {
      v['sched_on' + (i + 1)] = e.sched_on; v['sched_off' + (i + 1)] = e.sched_off;
    });
    (data.special_settings || []).forEach(function (e, i) {
      v['ssched_d' + (i + 1)] = e.sched_d; v['ssched_on' + (i + 1)] = e.sched_on;
      v['ssched_off' + (i + 1)] = e.sched_off;
    });
    return v;
  }
  var minutes = function (n, en, zh) { return { n: n, l: [en, zh], k: 'int', min: 0, max: 1440 }; };
  var alarms = [
    { n: 'sche_bef_min', l: ['Warn before shutdown (min)', '关机前预警(分钟)'], k: 'int', min: 0, max: 1440 },
    { n: 'sel_down', l: ['Shut down on mains failure', '市电故障时关机'], k: 'check' },
    minutes('down_time', 'after (min)', '延时(分钟)'),
    { n: 'sel_batlow', l: ['Shut down on battery low', '电池低时关机'], k: 'check' },
    minutes('bat_time', 'after (min)', '延时(分钟)'),
    { n: 'sel_overtemp', l: ['Shut down on over-temperature', '过温时关机'], k: 'check' },
    minutes('temp_time', 'after (min)', '延时(分钟)'),
    { n: 'sel_overload', l: ['Shut down on overload', '过载时关机'], k: 'check' },
    minutes('load_time', 'after (min)', '延时(分钟)'),
    { n: 'config_test_period', l: ['Automatic test', '自动测试'], k: 'select', opts: Form.ONOFF },
    { n: 'cycleTime', l: ['Every (weeks)', '间隔(周)'], k: 'int', min: 1, max: 520 },
    { n: 'config_test_weekly', l: ['On', '星期'], k: 'select', opts: days },
    { n: 'config_test_time', l: ['At (H:MM)', '时间(时:分)'], k: 'time', hint: '08:00' },
    { n: 'config_test_type', l: ['Test', '测试类型'], k: 'select',
      opts: [[0, 'Self test', '自检'], [1, 'Timed test', '定时测试'], [2, 'Until battery low', '至电池低']] },
    { n: 'config_test_pre_time', l: ['Test length (min)', '测试时长(分钟)'], k: 'float' }];
  Form.page({ id: 'schedule', cards: [{
    route: '/UpsSche', write: 2, load: flatten,
    title: ['Weekly and one-off schedules', '每周与特定日期计划'],
    fields: alarms,
    rows: { from: 1, to: 7, cols: [
      { n: 'sched_on%d', l: ['Weekly on', '每周开机'], k: 'time', hint: 'H:MM' },
      { n: 'sched_off%d', l: ['Weekly off', '每周关机'], k: 'time', hint: 'H:MM' },
      { n: 'ssched_d%d', l: ['Date', '日期'], k: 'date', hint: 'YYYY/MM/DD' },
      { n: 'ssched_on%d', l: ['On', '开机'], k: 'time', hint: 'H:MM' },
      { n: 'ssched_off%d', l: ['Off', '关机'], k: 'time', hint: 'H:MM' }] }
  }] });
})();
