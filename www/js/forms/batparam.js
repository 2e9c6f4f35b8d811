/* Battery parameters of the charge management. */
Form.page({ id: 'batparam', cards: [{
  route: '/BatParam', write: 2,
  fields: [
    { n: 'BatEvenVol', l: ['Equalising voltage (V)', '均充电压(V)'], k: 'float', min: 0, max: 1000 },
    { n: 'BatDepVol', l: ['End-of-discharge voltage per block (V)', '放电截止电压(V/节)'], k: 'float', min: 0, max: 1000 },
    { n: 'EvenChargeTime', l: ['Equalising time (min)', '均充时间(分钟)'], k: 'int', min: 0, max: 100000 },
    { n: 'FloatChargeTime', l: ['Float time (min)', '浮充时间(分钟)'], k: 'int', min: 0, max: 100000 },
    { n: 'saveSoh', l: ['State of health (%)', '健康度(%)'], k: 'int', min: 0, max: 100 },
    { n: 'BatRateCap', l: ['Battery capacity (Ah)', '电池容量(Ah)'], k: 'int', min: 0, max: 100000 },
    { n: 'UpsPower', l: ['UPS power (VA)', 'UPS功率(VA)'], k: 'int', min: 0, max: 10000000 },
    { n: 'UpsRatePower', l: ['Rated power (W)', '额定功率(W)'], k: 'int', min: 0, max: 10000000 },
    { n: 'UpsRateCap', l: ['Rated capacity (VA)', '额定容量(VA)'], k: 'int', min: 0, max: 10000000 },
    { n: 'CurrentSel', l: ['Backup-time table (0 built-in, 1 user)', '后备时间表(0 内置, 1 用户)'], k: 'int', min: 0, max: 9 }]
}] });
