/* IPv4 address and the web server. A change rewrites the network and
 * restarts the card. */
Form.page({ id: 'ipv4', cards: [{
  route: '/NetworkInfo', write: 3,
  fields: [
    { n: 'ip_assign_method', l: ['Address', '地址获取'], k: 'select',
      opts: [[1, 'DHCP', '自动获取(DHCP)'], [0, 'Static', '静态地址']] },
    { n: 'config_ip', l: ['IP address', 'IP地址'], k: 'ipv4' },
    { n: 'config_msk', l: ['Netmask', '子网掩码'], k: 'ipv4' },
    { n: 'config_gat', l: ['Gateway', '网关'], k: 'ipv4' },
    { n: 'config_dns1', l: ['DNS server 1', 'DNS服务器1'], k: 'ipv4' },
    { n: 'config_dns2', l: ['DNS server 2', 'DNS服务器2'], k: 'ipv4' },
    { n: 'webType', l: ['Web protocol', '网页协议'], k: 'select', opts: [[0, 'HTTP'], [1, 'HTTPS']] },
    { n: 'web_access_port', l: ['Web port', '网页端口'], k: 'int', min: 1, max: 65535 }],
  validate: function (box) {
    var port = box.querySelector('[name=web_access_port]').value.trim();
    return port === '8080' || port === '502' ? 'port' : '';
  },
  answers: { '1': ['Saved; the network is unchanged.', '已保存，网络未改变。'],
    '2': ['Saved. The card rewrites its network and restarts.', '已保存。设备将重写网络配置并重启。'] }
}] });
