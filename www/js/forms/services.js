/* Services: Modbus TCP and its allowed clients, the RS-485 Modbus slave (it
 * takes the sensor line from the sensors and battery packs), BACnet,
 * IEC 61850, NUT and the cloud link. A change restarts the card. */
(function () {
  var port = function (n, l) { return { n: n, l: l, k: 'int', min: 1, max: 65535, required: true }; };
  var onoff = function (n, l) { return { n: n, l: l || ['Enabled', '启用'], k: 'select', opts: Form.ONOFF }; };
  var pro = [[0, 'Standard', '标准'], [1, 'Extended', '扩展']];
  Form.page({ id: 'services', cards: [{
    route: '/MbtcpSlaveInfo', write: 3, title: ['Modbus TCP', 'Modbus TCP'],
    fields: [onoff('enable_tcp_modbus'), port('tcp_modbus_port', ['Port', '端口']),
      { n: 'tcp_modbus_pro', l: ['Register map', '寄存器表'], k: 'select', opts: pro },
      onoff('enable_tcp_modbus_connect_permission', ['Only the clients below', '仅允许下列客户端'])]
  }, {
    route: '/MbtcpSlaveIpList', write: 3, title: ['Modbus TCP clients', 'Modbus TCP客户端'],
    note: ['Reads are open to every master; only masters listed here may write (settings, clock, UPS commands): the others get exception 01. With "Only these clients" on, unlisted masters get no answer at all. The RS-485 slave is not affected.',
      '所有主站均可读取；只有此处列出的主站可以写入（设置、时钟、UPS命令），其他主站将收到异常码01。启用“仅允许这些客户端”后，未列出的主站不会得到任何应答。RS-485从站不受影响。'],
    fields: [onoff('enable_tcp_modbus_connect_permission', ['Only these clients', '仅允许这些客户端'])],
    rows: { from: 1, to: 8, cols: [{ n: 'tcp_modbus_ip%d', l: ['Client address', '客户端地址'], k: 'host' }] }
  }, {
    route: '/485ModbusInfo', write: 3, title: ['RS-485 Modbus slave', 'RS-485 Modbus从站'],
    note: ['Enabling it switches the sensors and battery packs off: they share the line.',
      '启用后将关闭温湿度传感器和电池管理：它们共用该串口。'],
    fields: [onoff('enable_485modbus')].concat(Form.serial('485modbus_')).concat([
      { n: '485modbus_slave_addr', l: ['Slave address', '从站地址'], k: 'int', min: 1, max: 247, required: true },
      { n: '485modbus_pro', l: ['Register map', '寄存器表'], k: 'select', opts: pro }]),
    answers: { '0': ['Saved. The sensors and battery packs were switched off to free the line; the card restarts.',
      '已保存。已关闭温湿度传感器和电池管理以释放串口，设备将重启。'] }
  }, {
    route: '/BacnetInfo', write: 3, title: ['BACnet', 'BACnet'],
    fields: [onoff('enable_bacnet'),
      { n: 'config_mib_id', l: ['Device instance', '设备实例号'], k: 'int', min: 0, max: 4194302, required: true }]
  }, {
    route: '/Iec61850Info', write: 3, title: ['IEC 61850', 'IEC 61850'],
    fields: [onoff('enable_iec61850'), port('IEC61850_Port', ['Port', '端口'])]
  }, {
    route: '/NutInfo', write: 3, title: ['NUT server', 'NUT服务'], fields: [onoff('enable_nut')]
  }, {
    route: '/CloudSettings', write: 3, title: ['Cloud', '云平台'],
    fields: [onoff('enable_cloud'),
      { n: 'cloud_pro', l: ['Protocol', '协议'], k: 'select', opts: [[0, 'MQTT'], [1, 'MQTT/TLS']] },
      { n: 'cloud_sn', l: ['Cloud serial number', '云序列号'], k: 'text', len: 32 }]
  }] });
})();
