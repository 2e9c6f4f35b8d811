// Loads a page in headless chromium with a cold cache, several times, and
// reports what went over the wire and how long the page took; then keeps the
// home page open for a while and counts the requests its refresh makes.
//   node measure.mjs BASE PATH READY_JS [--watch SECONDS] [--runs N]
// READY_JS: an expression true once the page shows what it is for. The
// administrator's password comes from $CARD_ADMIN_PASSWORD.
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, '..', '..', 'tests', 'browser', 'package.json'));
const { chromium } = require('playwright-core');

const [base, target, ready] = process.argv.slice(2, 5);
const opt = (name, def) => {
  const i = process.argv.indexOf(name);
  return i > 0 ? +process.argv[i + 1] : def;
};
const runs = opt('--runs', 5), watch = opt('--watch', 0);

const browser = await chromium.launch({ executablePath: '/usr/bin/chromium',
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync'] });

async function session() {
  const ctx = await browser.newContext();
  const login = await ctx.request.post(base + '/login.html',
    { form: { user: 'admin', passwd: process.env.CARD_ADMIN_PASSWORD }, maxRedirects: 0 });
  if (login.status() !== 302) throw new Error('login refused: ' + login.status());
  return ctx;
}

// Sums the encoded bytes of every response of the page through the DevTools protocol.
async function counted(ctx) {
  const page = await ctx.newPage();
  const cdp = await ctx.newCDPSession(page);
  await cdp.send('Network.enable');
  await cdp.send('Network.setCacheDisabled', { cacheDisabled: true });
  const st = { bytes: 0, requests: 0 };
  cdp.on('Network.loadingFinished', (e) => { st.bytes += e.encodedDataLength; st.requests++; });
  return { page, st };
}

const loads = [];
for (let i = 0; i < runs; i++) {
  const ctx = await session();
  const { page, st } = await counted(ctx);
  const t0 = performance.now();
  await page.goto(base + target);
  await page.waitForFunction(ready, null, { timeout: 15000 });
  const ms = performance.now() - t0;
  await page.waitForLoadState('networkidle').catch(() => {});
  loads.push({ ms, bytes: st.bytes, requests: st.requests });
  await ctx.close();
}
loads.sort((a, b) => a.ms - b.ms);
const median = loads[Math.floor(loads.length / 2)];
const out = { ms: median.ms, bytes: median.bytes, requests: median.requests };

if (watch > 0) {
  const ctx = await session();
  const { page, st } = await counted(ctx);
  await page.goto(base + target);
  await page.waitForFunction(ready, null, { timeout: 15000 });
  await page.waitForTimeout(1000);
  const r0 = st.requests, b0 = st.bytes, t0 = performance.now();
  await page.waitForTimeout(watch * 1000);
  const s = (performance.now() - t0) / 1000;
  out.watch = { seconds: s, requests: st.requests - r0, bytes: st.bytes - b0 };
  await ctx.close();
}
await browser.close();
console.log(JSON.stringify(out));
