// The card's pages in a real browser: first-use serial number, login refused
// and accepted, the frame with its navigation and language switch, on a
// desktop and on a phone-sized screen.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const artifacts = path.join(here, 'artifacts');
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
  card = await startCard();
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

test('first use, refused login, the frame and its navigation', async () => {
  const ctx = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  const page = await ctx.newPage();
  const external = [];
  page.on('request', (r) => { if (!r.url().startsWith(base)) external.push(r.url()); });

  await page.goto(base + '/');
  assert.match(page.url(), /\/SNSet\.html$/);
  await page.fill('#sn_num', 'ST-BROWSER-1');
  await Promise.all([page.waitForURL(/\/login\.html$/), page.click('button[type=submit]')]);

  await page.fill('#user', 'admin');
  await page.fill('#passwd', 'not-the-password');
  await page.click('button[type=submit]');
  await page.waitForSelector('#answer');
  assert.match(await page.textContent('h1'), /Login refused/);

  await page.goto(base + '/login.html');
  await page.fill('#user', 'admin');
  await page.fill('#passwd', 'pqlzv');
  await Promise.all([page.waitForURL(base + '/'), page.click('button[type=submit]')]);
  await page.waitForSelector('nav details summary');
  const groups = await page.$$eval('nav summary', (s) => s.map((e) => e.textContent));
  assert.deepEqual(groups, ['Status', 'Logs', 'UPS', 'Network', 'System', 'Protocols',
    'Notification', 'Firmware and configuration']);
  assert.ok((await page.$$('nav a')).length >= 60);

  // the clock ticks and hands over the user's name and level
  await page.waitForFunction(() => /\d{4}-\d\d-\d\d/.test(document.getElementById('clock').textContent));
  await page.waitForFunction(() => /admin \(administrator\)/.test(document.getElementById('who').textContent));

  await page.click('nav summary:text-is("Network")');
  await page.click('a[href="#network/users"]');
  await page.waitForSelector('main table');
  assert.equal(await page.$$eval('main table tr', (r) => r.length), 9);
  await page.fill('input[name=user_name1]', 'alice');
  await page.fill('input[name=user_pass1]', 'a-pw');
  await page.fill('input[name=user_ip1]', '*.*.*.*');
  await page.fill('input[name=user_right1]', '1');
  await page.click('#save');
  await page.waitForSelector('#msg.ok');

  // A page whose handler is not built yet says so.
  await page.click('nav summary:text-is("UPS")');
  await page.click('a[href="#ups/remote"]');
  await page.waitForSelector('main .msg.bad');
  assert.match(await page.textContent('main'), /not available/);
  await page.screenshot({ path: path.join(artifacts, 'frame.png'), fullPage: true });

  await page.selectOption('#lang-select', '1');
  await page.waitForFunction(() => document.querySelector('nav summary').textContent === '状态');
  assert.equal(await page.getAttribute('html', 'lang'), 'zh');
  await page.screenshot({ path: path.join(artifacts, 'frame-zh.png') });
  assert.deepEqual(external, [], 'pages must not reach outside the card');
  await ctx.close();
});

test('phone-sized screen: the menu folds away, a viewer is refused', async () => {
  const ctx = await browser.newContext({ viewport: { width: 390, height: 780 }, isMobile: true, hasTouch: true });
  const page = await ctx.newPage();
  await page.goto(base + '/login.html');
  await page.fill('#user', 'alice');
  await page.fill('#passwd', 'a-pw');
  await Promise.all([page.waitForURL(base + '/'), page.click('button[type=submit]')]);
  await page.waitForSelector('nav details summary');
  assert.ok(await page.isVisible('#menu-toggle'));
  const navBox = await page.locator('nav').boundingBox();
  assert.ok(navBox.x + navBox.width <= 1, 'menu hidden until opened');
  await page.click('#menu-toggle');
  await page.waitForFunction(() => document.querySelector('nav').getBoundingClientRect().x >= 0);
  await page.click('nav summary:text-is("Network")');
  await page.click('a[href="#network/users"]');
  await page.waitForSelector('main .msg.bad');
  // alice is a viewer: the user table is not hers to see
  assert.match(await page.textContent('main'), /does not allow/);
  await page.waitForFunction(() => {
    const b = document.querySelector('nav').getBoundingClientRect();
    return b.x + b.width <= 1;
  });
  await page.waitForFunction(() => /alice \(viewer\)/.test(document.getElementById('who').textContent));
  await page.screenshot({ path: path.join(artifacts, 'phone.png') });
  await ctx.close();
});
