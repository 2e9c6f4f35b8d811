// The identification page in a real browser, against a card whose UPS line
// is at 2400 baud while the simulated text UPS only hears 4800: the start
// button, and the progress bar moving through the search to 100 % with the
// speed found stored.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import { artifacts, closeCard, openCard } from './card_session.mjs';

const session = {};
let card, base, page;

before(async () => {
  await openCard(session, 'identify_launcher.py', { landing: '/home.html' });
  ({ card, base, page } = session);
});

after(() => closeCard(session));

test('identification: the bar moves through the search to 100 % and 4800 baud is stored', async () => {
  await page.goto(base + '/identify.html');
  await page.waitForSelector('#identify-bar');
  // the navigation is drawn by script: wait for it before counting
  await page.waitForSelector('nav a[href="/identify.html"]');
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
