/* Dynamic DNS and STUN. The password is shown to administrators only; left
 * blank it stays as it is. */
Form.page({ id: 'ddns', cards: [{
  route: '/DDNSInfo', write: 3,
  fields: [
    { n: 'service_provider', l: ['Provider', '服务商'], k: 'int', min: 0, max: 9 },
    { n: 'domain_name', l: ['Domain name', '域名'], k: 'host' },
    { n: 'login_name', l: ['User name', '用户名'], k: 'text', len: 63 },
    { n: 'login_pass', l: ['Password', '密码'], k: 'password', len: 63 },
    { n: 'is_stun', l: ['STUN', 'STUN'], k: 'select', opts: Form.ONOFF },
    { n: 'stun_ip1', l: ['STUN server 1', 'STUN服务器1'], k: 'host' },
    { n: 'stun_ip2', l: ['STUN server 2', 'STUN服务器2'], k: 'host' }]
}] });
