/* SNMP agent: ports, engine id, MIB choice and download, and the managers
 * (v1/v2c communities, v3 users). Pass phrases are shown to administrators
 * only; left blank they stay as they are. */
(function () {
  var none = [0, 'None', '无'];
  Form.page({ id: 'snmp', cards: [{
    route: '/SnmpParaSettings', write: 3, title: ['SNMP agent', 'SNMP代理'],
    fields: [
      { n: 'snmpport', l: ['Agent port', '代理端口'], k: 'int', min: 1, max: 65535, required: true },
      { n: 'trapport', l: ['Trap port', 'Trap端口'], k: 'int', min: 1, max: 65535, required: true },
      { n: 'trap_req_time', l: ['Trap repeats', 'Trap重发次数'], k: 'int', min: 0, max: 100 },
      { n: 'trap_interval', l: ['Trap interval (s)', 'Trap间隔(秒)'], k: 'int', min: 0, max: 3600 },
      { n: 'snmpv3_engine_id_type', l: ['Engine id', '引擎ID类型'], k: 'select',
        opts: [[0, 'Default', '默认'], [1, 'IPv4 address', 'IPv4地址'], [2, 'MAC address', 'MAC地址'],
          [3, 'Text below', '下方文本']] },
      { n: 'snmpv3_engine_id', l: ['Engine id (hex)', '引擎ID(十六进制)'], k: 'text', len: 64 },
      { n: 'snmp_net_style', l: ['Listen on', '监听'], k: 'select', opts: [[0, 'IPv4'], [1, 'IPv6']] },
      { n: 'snmp_mibType', l: ['MIB', 'MIB'], k: 'select',
        opts: [[0, 'UPS-MIB (RFC 1628)'], [1, 'Enterprise MIB', '企业MIB']] }],
    init: function (box) {
      if (box.querySelector('#mib-download')) return;
      var a = Pages.el('a', { href: '/ExportSnmpMib', id: 'mib-download' },
        Form.L(['Download the MIB file', '下载MIB文件']));
      box.appendChild(a);
    }
  }, {
    route: '/SnmpConfig', write: 3, title: ['Managers', '管理站'],
    fields: [{ n: 'snmpv3_version', l: ['Version', '版本'], k: 'select',
      opts: [[0, 'v1/v2c'], [1, 'v3'], [2, 'v1/v2c + v3']] }],
    rows: { from: 1, to: 8, cols: [
      { n: 'snmpv3_ip%d', l: ['Manager address', '管理站地址'], k: 'text', len: 49, hint: '*.*.*.*' },
      { n: 'snmpv3_community%d', l: ['Community', '团体名'], k: 'text', len: 31 },
      { n: 'snmpv3_permission%d', l: ['Access', '权限'], k: 'select',
        opts: [[0, 'Read', '只读'], [1, 'Read/write', '读写'], [2, 'None', '禁止']] },
      { n: 'snmpv3_username%d', l: ['v3 user', 'v3用户'], k: 'text', len: 31 },
      { n: 'snmpv3_auth%d', l: ['Authentication', '认证'], k: 'select', opts: [none, [1, 'MD5'], [2, 'SHA']] },
      { n: 'snmpv3_userpass%d', l: ['Auth pass phrase', '认证密码'], k: 'password', len: 31 },
      { n: 'snmpv3_privacyflag%d', l: ['Privacy', '加密'], k: 'select', opts: [none, [1, 'DES'], [2, 'AES']] },
      { n: 'snmpv3_privacy_pass%d', l: ['Privacy pass phrase', '加密密码'], k: 'password', len: 31 }] }
  }] });
})();
