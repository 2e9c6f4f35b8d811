/* IPv6 address, router discovery and multicast. */
Form.page({ id: 'ipv6', cards: [{
  route: '/NetworkInfoIpv6', write: 3,
  fields: [
    { n: 'ip_assign_method_ipv6', l: ['Address', '地址获取'], k: 'select',
      opts: [[0, 'Static', '静态地址'], [1, 'DHCPv6', 'DHCPv6'], [2, 'Automatic', '自动']] },
    { n: 'config_ip_ipv6', l: ['IPv6 address', 'IPv6地址'], k: 'ipv6' },
    { n: 'config_prefix_ipv6', l: ['Prefix length', '前缀长度'], k: 'int', min: 0, max: 128 },
    { n: 'config_gat_ipv6', l: ['Gateway', '网关'], k: 'ipv6' },
    { n: 'config_dns1_ipv6', l: ['DNS server 1', 'DNS服务器1'], k: 'ipv6' },
    { n: 'config_dns2_ipv6', l: ['DNS server 2', 'DNS服务器2'], k: 'ipv6' },
    { n: 'ipv6_prefix_limit', l: ['Prefix limit', '前缀限制'], k: 'int', min: 0, max: 128 },
    { n: 'ipv6_route_discovery_auto', l: ['Router discovery', '路由发现'], k: 'select', opts: Form.ONOFF },
    { n: 'ipv6_multicast_addr', l: ['Multicast address', '组播地址'], k: 'text', len: 49 },
    { n: 'ipv6_multicast_port', l: ['Multicast port', '组播端口'], k: 'int', min: 1, max: 65535 }],
  answers: { '1': ['Saved; the network is unchanged.', '已保存，网络未改变。'],
    '2': ['Saved. The card rewrites its network and restarts.', '已保存。设备将重写网络配置并重启。'] }
}] });
