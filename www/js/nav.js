/* The card's one navigation: every page it serves, in groups, the same on
 * every page (status, logs and settings). A group is
 *   [id, English, Chinese, entries]
 * and an entry
 *   [id, page file, English, Chinese, least level (optional, 1 when absent)].
 * Adding a page: build its file (www/CMakeLists.txt: CARD_PAGES for a page
 * with its own script, FORM_PAGES for a settings form with a field table in
 * js/forms/<name>.js), then add one entry to its group below. Empty groups
 * are not shown, so a group can wait for its pages. */
var NAV = [
  ['status', 'Status', '状态', [
    ['home', '/home.html', 'Energy flow', '能量流'],
    ['alarms', '/alarms.html', 'Current alarms', '当前告警'],
    ['about', '/about.html', 'About', '关于']]],
  ['logs', 'Logs', '日志', [
    ['history', '/history.html', 'Alarm history', '历史告警'],
    ['upsdata', '/upsdata.html', 'UPS data', 'UPS数据'],
    ['chart', '/chart.html', 'Data chart', '数据曲线'],
    ['logs', '/logs.html', 'Tests and notifications', '测试与通知记录'],
    ['console', '/console.html', 'Port console', '串口调试']]],
  ['ups', 'UPS', 'UPS', [
    ['remote', '/remote.html', 'Remote control', '远程控制'],
    ['schedule', '/schedule.html', 'Schedules', '定时计划'],
    ['upsparam', '/upsparam.html', 'UPS link', 'UPS参数'],
    ['identify', '/identify.html', 'Identify the UPS', '自动识别UPS'],
    ['batparam', '/batparam.html', 'Battery', '电池参数'],
    ['constpower', '/constpower.html', 'Run time table', '恒功率放电表'],
    ['wakeup', '/wakeup.html', 'Wake-on-LAN', '网络唤醒'],
    ['ths', '/ths.html', 'Sensors', '温湿度传感器'],
    ['bms', '/bms.html', 'Battery packs', '电池管理'],
    ['devices', '/devices.html', 'Menu items', '菜单项']]],
  ['network', 'Network', '网络', [
    ['ipv4', '/network.html', 'IPv4 and web', 'IPv4与网页'],
    ['ipv6', '/network6.html', 'IPv6', 'IPv6'],
    ['ddns', '/ddns.html', 'Dynamic DNS', '动态域名'],
    ['users', '/users.html', 'Users', '用户管理', 3]]],
  ['system', 'System', '系统', [
    ['sysinfo', '/sysinfo.html', 'Identity and language', '系统信息与语言'],
    ['time', '/time.html', 'Clock and time zone', '时间与时区'],
    ['serial', '/serial.html', 'Serial lines', '串口设置'],
    ['restart', '/restart.html', 'Automatic restart', '自动重启'],
    ['password', '/password.html', 'My password', '修改密码'],
    ['logo', '/logo.html', 'Logo', '标志', 3],
    ['identity', '/identity.html', 'Serial number and MAC', '序列号与MAC', 3]]],
  ['protocols', 'Protocols', '协议', [
    ['snmp', '/snmp.html', 'SNMP agent', 'SNMP代理'],
    ['traps', '/traps.html', 'SNMP traps', 'SNMP Trap'],
    ['services', '/services.html', 'Modbus, BACnet, NUT, cloud', 'Modbus、BACnet、NUT、云']]],
  ['notification', 'Notification', '通知', [
    ['email', '/email.html', 'E-mail', '邮件'],
    ['sms', '/sms.html', 'SMS', '短信']]],
  ['config', 'Configuration', '配置', [
    ['config', '/config.html', 'Settings file and factory reset', '配置文件与恢复出厂', 3],
    ['firmware', '/firmware.html', 'Firmware update', '固件升级', 3]]]
];
