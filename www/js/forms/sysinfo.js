/* The card's identity (as SNMP shows it) and its languages. */
Form.page({ id: 'sysinfo', cards: [{
  route: '/SystemInfo', write: 3, title: ['Identity', '系统信息'],
  fields: [
    { n: 'config_mib_name', l: ['Name', '名称'], k: 'text', len: 63 },
    { n: 'config_mib_cont', l: ['Contact', '联系人'], k: 'text', len: 63 },
    { n: 'config_mib_loc', l: ['Location', '位置'], k: 'text', len: 63 }]
}, {
  route: '/SystemLan', write: 3, title: ['Languages', '语言'],
  fields: [
    { n: 'lagval', l: ['Page language', '网页语言'], k: 'select', opts: [[0, 'English'], [1, '中文']] },
    { n: 'lang1', l: ['Configuration file language', '配置文件语言'], k: 'select',
      opts: [[0, 'English'], [1, '简体中文'], [2, '繁體中文'], [3, 'Türkçe'], [4, 'Русский']] }]
}] });
