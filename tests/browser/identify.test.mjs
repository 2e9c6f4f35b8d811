// The identification page in a real browser, against a card whose UPS line
// is at 2400 baud while the simulated text UPS only hears 4800: the start
// button, and the progress bar moving through the search to 100 % with the
// speed found stored.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const artifacts = path.join(here, 'artifacts');
let card, base, browser, page;

// The launcher answers one JSON line per line it is sent.
function launch() {
  return new Promise((resolve, reject) => {
    const proc = spawn('/usr/bin/python3', [path.join(here, 'identify_launcher.py')],
      { stdio: ['pipe', 'pipe', 'inherit'] });
    let buf = '';
    const waiting = [];
    const timer = setTimeout(() => reject(new Error('card and simulator did not start within 60 s')), 60000);
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
  const ctx = await browser.newContext({ viewport: { width: 1280, height: 900 } });
  page = await ctx.newPage();
  await page.goto(base + '/login.html');
  await page.fill('#user', 'admin');
  await page.fill('#passwd', card.info.admin_password);
  await Promise.all([page.waitForURL(base + '/home.html'), page.click('button[type=submit]')]);
});

after(async () => {
  if (browser) await browser.close();
  if (card) { card.proc.stdin.end(); await new Promise((r) => card.proc.on('exit', r)); }
});

test('identification: the bar moves through the search to 100 % and 4800 baud is stored', async () => {
  await page.goto(base + '/identify.html');
  await page.waitForSelector('#identify-bar');
  assert.equal(await page.locator('nav a[href="/identify.html"]').count(), 1);
  assert.equal(await page.isDisabled('#identify-start'), false);
  await page.click('#identify-start');

  // Sample the bar as a user watching it would see it.
  const seen = [];
  const deadline = Date.now() + 60000;
  while (Date.now() < deadline) {
    const v = Number(await page.getAttribute('#identify-bar', 'value'));
    if (!seen.length || seen[seen.length - 1] !== v) seen.push(v);
    if (v === 100) break;
    if (v === 20) await page.screenshot({ path: path.join(artifacts, 'identify-running.png') });
    await new Promise((r) => setTimeout(r, 100));
  }
  const moving = seen.filter((v) => v > 0);
  assert.deepEqual(moving, [3, 6, 9, 10, 20, 90, 95, 100]);
  assert.equal(await page.textContent('#identify-pct'), '100 %');
  assert.equal(await page.isDisabled('#identify-start'), false);
  await page.screenshot({ path: path.join(artifacts, 'identify-done.png') });
  assert.equal((await card.send('setting ups_baudRate')).value, '4800');
  assert.equal((await card.send('setting ups_type')).value, '0');
});
