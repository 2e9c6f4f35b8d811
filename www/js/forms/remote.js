/* Remote control: commands to the UPS, with their delays. */
(function () {
  var cmds = [[0, 'Self test', '自检'], [2, 'Test until battery low', '放电至低电量测试'],
    [3, 'Cancel test', '取消测试'], [4, 'Shut down', '关机'], [6, 'Turn on', '开机'],
    [7, 'Restart', '重启'], [8, 'Beeper on/off', '蜂鸣器开/关']];
  Form.page({ id: 'remote', cards: [{
    route: '/RemoteControl', write: 2,
    fields: [
      { n: 'in_tast1', l: ['Shutdown delay (min)', '关机延时(分钟)'], k: 'float' },
      { n: 'in_tast5', l: ['Restart delay (min)', '重启延时(分钟)'], k: 'float' },
      { n: 'in_tast15', l: ['Inverter off delay (s)', '逆变关闭延时(秒)'], k: 'float' },
      { n: 'in_tast16', l: ['Inverter start delay (s)', '逆变启动延时(秒)'], k: 'float' }],
    buttons: cmds.map(function (c) {
      return { id: 'cmd' + c[0], l: [c[1], c[2]], extra: [['remote', String(c[0])]], confirm: true };
    })
  }] });
})();
