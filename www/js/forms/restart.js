/* The card's automatic restart. */
Form.page({ id: 'restart', cards: [{
  route: '/RestartSys', write: 3,
  fields: [
    { n: 'is_restart', l: ['Automatic restart', '自动重启'], k: 'select', opts: Form.ONOFF },
    { n: 'style', l: ['Mode', '方式'], k: 'select', opts: [[0, 'Daily', '每天'], [1, 'Weekly', '每周'],
      [2, 'Monthly', '每月']] },
    { n: 'restart_time', l: ['At (hour)', '时间(小时)'], k: 'int', min: 0, max: 100000 }]
}] });
