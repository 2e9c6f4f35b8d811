// The card's one web interface in a real browser: the first-use and login
// pages styled before anyone logged in, login landing on the energy-flow
// home page, every navigation entry opening a page without a console error
// or a failed request, settings changed through the forms and stored, a
// viewer who sees no password anywhere, and a phone-sized screen.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const artifacts = path.join(here, 'artifacts');
const SECRETS = ['ddns-Secr3t', 'viewer-Pw1', 'op-Pw2'];
let card, base, browser;

function startCard(settings = {}) {
  return new Promise((resolve, reject) => {
    const proc = spawn('/usr/bin/python3', [path.join(here, 'card_launcher.py'), JSON.stringify(settings)],
      { stdio: ['pipe', 'pipe', 'inherit'] });
    let out = '';
    const timer = setTimeout(() => reject(new Error('card did not start within 40 s')), 40000);
    proc.stdout.on('data', (d) => {
      out += d;
      const line = out.split('\n')[0];
      if (out.includes('\n')) {
        clearTimeout(timer);
        resolve({ proc, ...JSON.parse(line) });
      }
    });
    proc.on('exit', (code) => reject(new Error('launcher exited with ' + code)));
  });
}

before(async () => {
  mkdirSync(artifacts, { recursive: true });
  card = await startCard({
    ddn_login_pass: SECRETS[0],
    user_name1: 'vera', user_pass1: SECRETS[1], user_right1: '1', user_ip1: '*.*.*.*',
    user_name2: 'otto', user_pass2: SECRETS[2], user_right2: '2', user_ip2: '*.*.*.*',
  });
  base = `http://127.0.0.1:${card.port}`;
  // launch() gives chromium a fresh temporary --user-data-dir of its own.
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
});

after(async () => {
  if (browser) await browser.close();
  if (card) { card.proc.stdin.end(); await new Promise((r) => card.proc.on('exit', r)); }
});

// Records what a page does wrong: console errors, failed or refused requests.
function watch(page) {
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  page.on('pageerror', (e) => problems.push('error: ' + e.message));
  page.on('response', (r) => { if (r.status() >= 400) problems.push(r.status() + ' ' + r.url()); });
  page.on('requestfailed', (r) => problems.push('failed ' + r.url()));
  page.on('request', (r) => { if (!r.url().startsWith(base)) problems.push('outside ' + r.url()); });
  return problems;
}

async function login(page, user, pass) {
  await page.goto(base + '/login.html');
  await page.fill('#user', user);
  await page.fill('#passwd', pass);
  await Promise.all([page.waitForURL(base + '/home.html'), page.click('button[type=submit]')]);
  await page.waitForSelector('nav details a');
}

async function navLinks(page) {
  return page.$$eval('nav a', (as) => as.map((a) => a.getAttribute('href')));
}

// Opens a page and waits until its forms have loaded (or it has no forms).
async function open(page, href) {
  await page.goto(base + href);
  await page.waitForSelector('main h1', { timeout: 10000 }).catch((e) => {
    throw new Error(`${href}: no page heading (${e.message.split('\n')[0]})`);
  });
  await page.waitForFunction(() => ![...document.querySelectorAll('.msg')]
    .some((m) => /Loading|加载中/.test(m.textContent)));
  await page.waitForLoadState('networkidle');
}

test('first use and login pages are styled before login, login lands on the home page', async () => {
  const ctx = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  const page = await ctx.newPage();
  const problems = watch(page);
  const sheets = [];
  page.on('response', (r) => { if (/\.css$/.test(r.url())) sheets.push([r.url(), r.status()]); });

  await page.goto(base + '/');
  assert.match(page.url(), /\/SNSet\.html$/);
  const styled = () => page.evaluate(() => [getComputedStyle(document.body).backgroundColor,
    document.querySelector('.card') && getComputedStyle(document.querySelector('.card')).borderRadius]);
  assert.deepEqual(await styled(), ['rgb(243, 245, 247)', '6px']);
  await page.screenshot({ path: path.join(artifacts, 'first-use.png') });
  await page.fill('#sn_num', 'ST-BROWSER-1');
  await Promise.all([page.waitForURL(/\/login\.html$/), page.click('button[type=submit]')]);
  assert.deepEqual(await styled(), ['rgb(243, 245, 247)', '6px']);
  assert.ok(await page.$eval('h1 img', (i) => i.complete && i.naturalWidth > 0), 'logo shown');
  assert.ok(await page.isVisible('#lang-select'), 'language choice');
  await page.screenshot({ path: path.join(artifacts, 'login.png') });

  // Before login only those assets: a status page's script stays behind the gate.
  const gated = await page.request.get(base + '/js/pages.js', { maxRedirects: 0 });
  assert.equal(gated.status(), 302);

  await page.fill('#user', 'admin');
  await page.fill('#passwd', 'not-the-password');
  await page.click('button[type=submit]');
  await page.waitForSelector('#answer');
  await page.waitForLoadState('load');
  assert.match(await page.textContent('h1'), /Login refused/);
  assert.deepEqual(await styled(), ['rgb(243, 245, 247)', '6px']);

  await login(page, 'admin', card.admin_password);
  await page.waitForSelector('#flow');
  assert.ok(sheets.length >= 3 && sheets.every((s) => s[1] === 200), JSON.stringify(sheets));
  await page.waitForFunction(() => /admin \(administrator\)/.test(document.getElementById('who').textContent));
  const groups = await page.$$eval('nav summary', (s) => s.map((e) => e.textContent));
  assert.deepEqual(groups.slice(0, 5), ['Status', 'Logs', 'UPS', 'Network', 'System']);
  await page.screenshot({ path: path.join(artifacts, 'home-after-login.png') });
  assert.deepEqual(problems, []);
  await ctx.close();
});

test('every navigation entry opens without a console error or a failed request', async () => {
  const ctx = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const page = await ctx.newPage();
  await login(page, 'admin', card.admin_password);
  const problems = watch(page);
  const links = await navLinks(page);
  assert.ok(links.length >= 25, links.join(' '));
  for (const href of links) {
    await open(page, href);
    assert.equal(await page.$eval(`nav a[href="${href}"]`, (a) => a.className), 'active', href);
    assert.deepEqual(problems, [], href);
  }
  await open(page, '/upsparam.html');
  await page.screenshot({ path: path.join(artifacts, 'settings-form.png'), fullPage: true });
  await page.selectOption('#lang-select', '1');
  await page.waitForFunction(() => document.querySelector('nav summary')?.textContent === '状态');
  await page.waitForSelector('text=UPS地址');
  assert.equal(await page.getAttribute('html', 'lang'), 'zh');
  await page.screenshot({ path: path.join(artifacts, 'settings-form-zh.png') });
  await page.selectOption('#lang-select', '0');
  await ctx.close();
});

test('a schedule and the time zone changed in the forms are stored', async () => {
  const ctx = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const page = await ctx.newPage();
  await login(page, 'admin', card.admin_password);

  await open(page, '/schedule.html');
  await page.fill('[name=sched_on2]', '7:45');
  await page.fill('[name=ssched_d3]', '2027/01/15');
  await page.fill('[name=ssched_off3]', '25:00'); // refused in the page
  await page.click('.save');
  await page.waitForSelector('.msg.bad');
  assert.match(await page.textContent('.msg.bad'), /Off 3/);
  await page.fill('[name=ssched_off3]', '23:10');
  await page.click('.save');
  await page.waitForSelector('.msg.ok');
  const sche = await (await page.request.get(base + '/UpsSche')).json();
  assert.equal(sche.every_settings[1].sched_on, '7:45');
  assert.deepEqual(sche.special_settings[2], { sched_d: '2027/01/15', sched_on: '', sched_off: '23:10' });

  await open(page, '/time.html');
  await page.selectOption('#card-zone [name=ntimezone]', '27');
  await page.selectOption('#card-zone [name=time_dst]', '0');
  await page.click('#card-zone .save');
  await page.waitForSelector('#card-zone .msg.ok');
  const zone = await (await page.request.get(base + '/TimeZone')).json();
  assert.deepEqual([zone.ntimezone, zone.time_dst, zone.tz], [27, 0, 'GMT-10:00']);
  await page.reload();
  await page.waitForFunction(() => document.querySelector('#card-zone [name=ntimezone]')?.value === '27');
  await ctx.close();
});

test('a viewer sees no password anywhere and changes only their own', async () => {
  const ctx = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const page = await ctx.newPage();
  const bodies = [];
  page.on('response', async (r) => {
    if (r.status() === 200 && !/\.(png|css)$/.test(r.url())) bodies.push([r.url(), await r.text().catch(() => '')]);
  });
  await login(page, 'vera', SECRETS[1]);
  await page.waitForFunction(() => /vera \(viewer\)/.test(document.getElementById('who').textContent));
  const links = await navLinks(page);
  assert.ok(!links.includes('/users.html'), 'the user table is not a viewer\'s');
  for (const href of links) {
    await open(page, href);
    const shown = await page.evaluate(() => document.body.innerText +
      [...document.querySelectorAll('input')].map((i) => i.value).join(' '));
    for (const s of SECRETS) assert.ok(!shown.includes(s), `${href} shows a password`);
  }
  for (const [url, text] of bodies)
    for (const s of SECRETS) assert.ok(!text.includes(s), `${url} carries a password`);
  for (const route of ['/NetworkInfo', '/DDNSInfo']) {
    const text = await (await page.request.get(base + route)).text();
    for (const s of SECRETS) assert.ok(!text.includes(s), route);
  }

  await open(page, '/upsparam.html');
  assert.ok(await page.isDisabled('.save'), 'a viewer reads settings, never saves them');
  await open(page, '/password.html');
  assert.equal(await page.inputValue('[name=user]'), 'vera');
  await page.fill('[name=old_password]', SECRETS[1]);
  await page.fill('[name=new_password]', 'vera-New9');
  await page.fill('[name=confirm_password]', 'vera-New9');
  await page.click('.save');
  await page.waitForSelector('.msg.ok');
  await ctx.close();

  const again = await browser.newContext();
  const p2 = await again.newPage();
  await login(p2, 'vera', 'vera-New9');
  await again.close();
});

test('phone-sized screen: the menu folds away', async () => {
  const ctx = await browser.newContext({ viewport: { width: 390, height: 780 }, isMobile: true, hasTouch: true });
  const page = await ctx.newPage();
  await login(page, 'otto', SECRETS[2]);
  assert.ok(await page.isVisible('#menu-toggle'));
  const navBox = await page.locator('nav').boundingBox();
  assert.ok(navBox.x + navBox.width <= 1, 'menu hidden until opened');
  await page.click('#menu-toggle');
  await page.waitForFunction(() => document.querySelector('nav').getBoundingClientRect().x >= 0);
  await page.click('nav summary:text-is("UPS")');
  await Promise.all([page.waitForURL(base + '/upsparam.html'), page.click('a[href="/upsparam.html"]')]);
  await page.waitForSelector('[name=ups_com_addr]');
  await page.screenshot({ path: path.join(artifacts, 'phone.png') });
  await ctx.close();
});
