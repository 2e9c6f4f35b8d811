/* The card's serial lines: UPS, SMS modem, sensors. */
Form.page({ id: 'serial', cards: [{
  route: '/SystemCom', write: 3,
  title: ['UPS line, SMS line and sensor line', 'UPS串口、短信串口与传感器串口'],
  fields: Form.serial('').concat(Form.serial('sms'), Form.serial('ths')).map(function (f) {
    var pre = /^sms/.test(f.n) ? ['SMS ', '短信'] : /^ths/.test(f.n) ? ['Sensors ', '传感器'] : ['UPS ', 'UPS'];
    return Object.assign({}, f, { l: [pre[0] + f.l[0].toLowerCase(), pre[1] + f.l[1]] });
  })
}] });
