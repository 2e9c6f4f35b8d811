// The status and log pages in a real browser, against a card polling the
// simulated UPS: the home page's live values and energy-flow diagram through
// a mains failure, the current alarms, paging and CSV download of the alarm
// history, and the chart of a recorded day.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { artifacts, closeCard, openCard } from './card_session.mjs';

const session = {};
let card, base, page;

before(async () => {
  await openCard(session, 'pages_launcher.py', { context: { acceptDownloads: true }, landing: '/' });
  ({ card, base, page } = session);
});

after(() => closeCard(session));

async function setDay(selector, day) {
  await page.fill(selector, day);
  await page.dispatchEvent(selector, 'change');
}

test('home page: live input voltage, and the battery path lights up on a mains failure', async () => {
  const external = [];
  page.on('request', (r) => { if (!r.url().startsWith(base)) external.push(r.url()); });
  await page.goto(base + '/home.html');
  await page.waitForFunction(() => document.getElementById('m-input_V').textContent === '231.2/230.8/229.9 V');
  assert.equal(await page.textContent('#d-input'), '231.2/230.8/229.9 V');
  assert.match(await page.getAttribute('#line-input', 'class'), /\bon\b/);
  // on mains the battery line, when lit, carries the charge down to the battery
  assert.doesNotMatch(await page.getAttribute('#line-battery', 'class'), /\bdischarge\b/);
  await page.screenshot({ path: path.join(artifacts, 'home.png') });

  await card.send('scenario mains_failure');
  const t0 = Date.now();
  await page.waitForFunction(() => /\bon\b.*\bdischarge\b/.test(
    document.getElementById('line-battery').getAttribute('class')), null, { timeout: 5000 });
  const lit = Date.now() - t0;
  assert.ok(lit < 5000, `battery path lit after ${lit} ms`);
  assert.doesNotMatch(await page.getAttribute('#line-input', 'class'), /\bon\b/);
  assert.equal(await page.getAttribute('#flow', 'data-dir'), '2');
  await page.screenshot({ path: path.join(artifacts, 'home-battery.png') });
  assert.deepEqual(external, [], 'pages must not reach outside the card');
});

async function alarmListed(event) {
  for (let i = 0; i < 150; i++) {
    const r = await page.request.get(base + '/CurrentAlarm');
    if ((await r.json()).data.some((a) => a.event === event)) return;
    await new Promise((res) => setTimeout(res, 100));
  }
  throw new Error(`alarm ${event} not listed within 15 s`);
}

test('current alarms: the input fault is listed, a new alarm stands out', async () => {
  await alarmListed(5); // the mains failure's input fault, there before the page opens
  await page.goto(base + '/alarms.html');
  const row = page.locator('#alarm-list tr', { hasText: 'Input fault' });
  await row.waitFor({ timeout: 15000 });
  assert.match(await row.getAttribute('class'), /\balarm\b/);
  assert.equal(await page.getAttribute('#alarm-banner', 'data-i18n'), 'pg.isnew.1');
  await card.send('scenario fault:fan');
  const fan = page.locator('#alarm-list tr', { hasText: 'Fan fault' });
  await fan.waitFor({ timeout: 15000 });
  assert.match(await fan.getAttribute('class'), /\bnew\b/);
  assert.doesNotMatch(await row.getAttribute('class'), /\bnew\b/);
  await page.screenshot({ path: path.join(artifacts, 'alarms.png') });
});

test('alarm history: 23 rows in three pages, and the CSV download', async () => {
  await page.goto(base + '/history.html');
  await page.waitForSelector('#day');
  await setDay('#day', card.info.day);
  await page.waitForFunction(() => document.getElementById('page-info')?.textContent === 'Page 1 of 3');
  const rows = () => page.$$eval('#history-list tr', (r) => r.length - 1);
  assert.equal(await rows(), 10);
  await page.click('#page-next');
  await page.waitForFunction(() => document.getElementById('page-info').textContent === 'Page 2 of 3');
  assert.equal(await rows(), 10);
  await page.click('#page-next');
  await page.waitForFunction(() => document.getElementById('page-info').textContent === 'Page 3 of 3');
  assert.equal(await rows(), 3);
  assert.ok(await page.isDisabled('#page-next'));
  assert.match(await page.textContent('#history-list'), /Input fault/);

  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#csv')]);
  const got = readFileSync(await download.path());
  const want = readFileSync(path.join(card.info.app_dir, 'data', 'hisAlarm.csv'));
  assert.ok(got.equals(want), 'downloaded CSV equals the export');
  assert.equal(got.toString().trim().split('\n').length, 1 + card.info.history);
});

test('chart: the points of a recorded day', async () => {
  await page.goto(base + '/chart.html');
  await page.waitForSelector('#series-6');
  await page.fill('#day', card.info.day);
  await page.check('#series-1');
  await page.click('#show');
  await page.waitForFunction((n) => document.getElementById('chart').getAttribute('data-points') === String(n),
    2 * card.info.points);
  assert.equal(await page.getAttribute('#chart', 'data-records'), String(card.info.points));
  // the canvas holds a drawing, not a blank sheet
  const inked = await page.$eval('#chart', (c) => {
    const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
    let n = 0;
    for (let i = 0; i < d.length; i += 4) if (d[i + 3] && (d[i] < 200 || d[i + 2] < 200)) n++;
    return n;
  });
  assert.ok(inked > 500, `only ${inked} coloured pixels`);
  await page.screenshot({ path: path.join(artifacts, 'chart.png') });
});
