/* Battery packs (BMS) on the second serial line. */
Form.page({ id: 'bms', cards: [{
  route: '/BmsParam', write: 2,
  fields: [
    { n: 'bms_num', l: ['Packs', '电池包数量'], k: 'int', min: 0, max: 32 },
    { n: 'bms_pro', l: ['Protocol', '协议'], k: 'int', min: 0, max: 99 },
    { n: 'bms_start_addr', l: ['First address', '起始地址'], k: 'int', min: 0, max: 255 },
    { n: 'en_bms_auto_send_ups', l: ['Send to the UPS', '发送至UPS'], k: 'select', opts: Form.ONOFF }]
    .concat(Form.serial('ths'))
}] });
