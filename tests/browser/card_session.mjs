// What the browser tests share: a card started by a launcher script of this
// folder (one JSON line of facts, then one JSON answer per command line), a
// headless chromium, and the administrator logged in.
import { spawn } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const here = path.dirname(fileURLToPath(import.meta.url));
export const artifacts = path.join(here, 'artifacts');

// The launcher answers one JSON line per line it is sent.
export function launch(launcher) {
  return new Promise((resolve, reject) => {
    const proc = spawn('/usr/bin/python3', [path.join(here, launcher)],
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

// Fills session with card, base, browser, ctx and page: the card of launcher,
// a browser context with the given options (1280x900) and the administrator
// logged in, landing on `landing`. What was started before a failure is in
// session, for closeCard.
export async function openCard(session, launcher, { context = {}, landing = '/home.html' } = {}) {
  mkdirSync(artifacts, { recursive: true });
  session.card = await launch(launcher);
  const base = session.base = `http://127.0.0.1:${session.card.info.port}`;
  session.browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  session.ctx = await session.browser.newContext({ viewport: { width: 1280, height: 900 }, ...context });
  const page = session.page = await session.ctx.newPage();
  await page.goto(base + '/login.html');
  await page.fill('#user', 'admin');
  await page.fill('#passwd', session.card.info.admin_password);
  await Promise.all([page.waitForURL(base + landing), page.click('button[type=submit]')]);
  return session;
}

// Closes the browser and ends the launcher (which stops card and simulator).
export async function closeCard(session) {
  if (session.browser) await session.browser.close();
  const card = session.card;
  if (card) { card.proc.stdin.end(); await new Promise((r) => card.proc.on('exit', r)); }
}
