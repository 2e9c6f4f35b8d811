// A card fresh from the factory in a real browser: its serial number first,
// then the administrator's login with the factory password lands on the one
// page that replaces it, every other page and JSON route leads back there,
// a weak or unchanged password is refused (in English and Chinese), a good
// one opens the home page; the factory password no longer logs in, the
// system account took the new one, and a factory reset brings the step back
// (the system account follows the next choice).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const artifacts = path.join(here, 'artifacts');
const NEW = 'Lantern-Harbour-7';
const AGAIN = 'Second-Tide-88';
const PAGE = '/firstpassword.html';
let card, base, browser;

// The launcher answers one JSON line per line it is sent.
function launch() {
  return new Promise((resolve, reject) => {
    const proc = spawn('/usr/bin/python3', [path.join(here, 'first_password_launcher.py')],
      { stdio: ['pipe', 'pipe', 'inherit'] });
    let buf = '';
    const waiting = [];
    const timer = setTimeout(() => reject(new Error('card did not start within 40 s')), 40000);
    proc.stdout.on('data', (d) => {
      buf += d;
      let nl;
      while ((nl = buf.indexOf('\n')) >= 0) {
        const line = JSON.parse(buf.slice(0, nl));
        buf = buf.slice(nl + 1);
        if (waiting.length) waiting.shift()(line);
        else { clearTimeout(timer); resolve({ proc, info: line, send }); }
      }
    });
    proc.on('exit', (code) => reject(new Error('launcher exited with ' + code)));
    function send(cmd) {
      return new Promise((res) => { waiting.push(res); proc.stdin.write(cmd + '\n'); });
    }
  });
}

before(async () => {
  mkdirSync(artifacts, { recursive: true });
  card = await launch();
  base = `http://127.0.0.1:${card.info.port}`;
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

function digest(text) {
  return 'sha256:' + createHash('sha256').update(text).digest('hex');
}

function watch(page) {
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  page.on('pageerror', (e) => problems.push('error: ' + e.message));
  page.on('response', (r) => { if (r.status() >= 400) problems.push(r.status() + ' ' + r.url()); });
  return problems;
}

async function submitLogin(page, pass) {
  await page.goto(base + '/login.html');
  await page.fill('#user', 'admin');
  await page.fill('#passwd', pass);
  await page.click('button[type=submit]');
}

async function choose(page, pass, again = pass) {
  await page.fill('[name=new_password]', pass);
  await page.fill('[name=confirm_password]', again);
  await page.click('#first-save');
}

async function refusal(page) {
  await page.waitForSelector('.msg.bad');
  return page.textContent('.msg.bad');
}

test('first use: serial number, factory login, the new-password page only, then the home page', async () => {
  const ctx = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const page = await ctx.newPage();
  await page.goto(base + '/');
  assert.equal(new URL(page.url()).pathname, '/SNSet.html');
  await page.fill('#sn_num', 'ST-FIRST-1');
  await Promise.all([page.waitForURL(base + '/login.html'), page.click('button[type=submit]')]);

  await submitLogin(page, card.info.factory_password);
  await page.waitForURL(base + PAGE);
  const problems = watch(page);
  await page.waitForSelector('[name=new_password]');
  assert.equal(await page.textContent('h1'), 'Choose the administrator password');
  assert.equal(await page.$$eval('nav a', (a) => a.length), 0); // nothing else to open
  await page.screenshot({ path: path.join(artifacts, 'first-password.png') });

  // Every other page, and a JSON route the pages call, lead back here.
  for (const href of ['/', '/home.html', '/alarms.html', '/password.html', '/users.html', '/config.html']) {
    await page.goto(base + href);
    assert.equal(new URL(page.url()).pathname, PAGE, href);
  }
  const hop = await page.evaluate(() => fetch('/AboutInfo').then((r) => [r.redirected, r.url]));
  assert.deepEqual(hop, [true, base + PAGE]);
  await page.waitForSelector('[name=new_password]');

  await choose(page, 'short7!');
  assert.match(await refusal(page), /at least 8 characters/);
  await choose(page, card.info.factory_password);
  assert.match(await refusal(page), /factory password/);
  await choose(page, NEW, NEW + '?');
  assert.match(await refusal(page), /differ/);
  // The server refuses on its own what a page let through.
  const direct = await page.evaluate(() => Pages.post('/FirstPassword',
    [['new_password', 'seven77'], ['confirm_password', 'seven77']]).then((r) => r.body));
  assert.deepEqual(direct, { result: 'fail', errmsg: 'short' });

  // In Chinese too.
  await page.selectOption('#lang-select', '1');
  await page.waitForSelector('text=再次输入新密码');
  await choose(page, 'abc');
  assert.match(await refusal(page), /至少需要8个字符/);
  assert.equal(await page.textContent('h1'), '设置管理员密码');
  await page.screenshot({ path: path.join(artifacts, 'first-password-zh.png') });
  await page.selectOption('#lang-select', '0');
  await page.waitForSelector('text=New password again');

  await choose(page, NEW);
  await page.waitForURL(base + '/home.html');
  await page.waitForSelector('#flow');
  assert.ok(await page.$$eval('nav a', (a) => a.length) >= 25); // the session goes on, whole
  assert.deepEqual(problems, []);

  // The system account took the same password (the stand-in keeps its digest).
  assert.equal((await card.send('shadow')).admin, digest(NEW));
  await ctx.close();
});

test('the factory password is refused afterwards, and a factory reset brings the step back', async () => {
  const ctx = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  const page = await ctx.newPage();
  await submitLogin(page, card.info.factory_password);
  await page.waitForSelector('#answer');
  assert.match(await page.textContent('h1'), /Login refused/);

  await submitLogin(page, NEW);
  await page.waitForURL(base + '/home.html');
  await page.goto(base + '/config.html');
  page.once('dialog', (d) => d.accept());
  await page.click('#factory-reset');
  await page.waitForSelector('.msg.ok');
  assert.equal(await card.send('restarted').then((r) => r.ok), true);

  await submitLogin(page, card.info.factory_password);
  await page.waitForURL(base + PAGE);
  await page.waitForSelector('[name=new_password]');
  await page.goto(base + '/home.html');
  assert.equal(new URL(page.url()).pathname, PAGE);
  // The system account kept the old password until now, and follows the new choice.
  assert.equal((await card.send('shadow')).admin, digest(NEW));
  await page.waitForSelector('[name=new_password]');
  await choose(page, AGAIN);
  await page.waitForURL(base + '/home.html');
  assert.equal((await card.send('shadow')).admin, digest(AGAIN));
  await ctx.close();
});
