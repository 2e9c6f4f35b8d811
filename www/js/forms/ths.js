/* Temperature and humidity sensors on the second serial line. */
Form.page({ id: 'ths', cards: [{
  route: '/ThsSettings', write: 2,
  fields: [
    { n: 'is_used_ths', l: ['Sensors', '传感器'], k: 'select', opts: Form.ONOFF },
    { n: 'curr_module_num', l: ['Sensor count', '传感器数量'], k: 'int', min: 0, max: 4 }]
    .concat(Form.serial('ths')),
  rows: { from: 1, to: 4, cols: [
    { n: 'in_thaddr%d', l: ['Address', '地址'], k: 'int', min: 0, max: 255 },
    { n: 'in_temph%d', l: ['Temperature high', '温度上限'], k: 'float' },
    { n: 'in_templ%d', l: ['Temperature low', '温度下限'], k: 'float' },
    { n: 'in_humih%d', l: ['Humidity high', '湿度上限'], k: 'float' },
    { n: 'in_humil%d', l: ['Humidity low', '湿度下限'], k: 'float' },
    { n: 'temp_conver%d', l: ['Divisor', '系数'], k: 'int', min: 1, max: 1000 }] }
}] });
