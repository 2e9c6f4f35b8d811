/* UPS link: the UPS model, its address, batteries, records and serial line. */
Form.page({ id: 'upsparam', cards: [{
  route: '/UpsParam', write: 2,
  fields: [
    { n: 'ups_type', l: ['UPS protocol', 'UPS协议'], k: 'int', min: 0, max: 99 },
    { n: 'ups_com_addr', l: ['UPS address', 'UPS地址'], k: 'int', min: 0, max: 255 },
    { n: 'paraller_addr', l: ['Parallel address', '并机地址'], k: 'int', min: 0, max: 255 },
    { n: 'BatCell', l: ['Battery cells', '电池节数'], k: 'int', min: 1, max: 999 },
    { n: 'BatGroup', l: ['Battery strings', '电池组数'], k: 'int', min: 1, max: 99 },
    { n: 'EnableBat', l: ['Battery data', '电池数据'], k: 'select', opts: Form.ONOFF },
    { n: 'rec_data_rtm', l: ['Record every (min)', '记录间隔(分钟)'], k: 'int', min: 1, max: 1440 },
    { n: 'dis_ups_trap', l: ['Link lost after (s)', '通讯超时(秒)'], k: 'int', min: 0, max: 86400 },
    { n: 'bat_change_time', l: ['Battery replaced on', '电池更换日期'], k: 'text', len: 49 },
    { n: 'ups_shotdown_type', l: ['Shutdown type', '关机方式'], k: 'int', min: 0, max: 99 },
    { n: 'enable_identify', l: ['Identify the UPS', '自动识别'], k: 'select', opts: Form.ONOFF }
  ].concat(Form.serial(''))
}] });
