// A task made on the page is probed by the panel's scheduler every cycle, and its log and hourly
// chart show the runs. The scheduler's minute is 2 seconds here, so a 1-minute cycle comes round
// every 2 seconds.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { createTask, login, startSystem, taskRow } from './harness.mjs';

let sys;

before(async () => {
  sys = await startSystem({ cronMinute: 2, prefix: 'scheduled' });
});

after(async () => {
  if (sys) await sys.stop();
});

test('the scheduler probes a new task every cycle and the log shows each run', async () => {
  const { page } = sys;
  await login(sys);
  await createTask(page, '定时拨测', sys.siteUrl, 1);
  await taskRow(page, '定时拨测').locator('a.link', { hasText: '日志' }).click();

  // Reload until the scheduler has stored at least two runs (bounded: 30 tries, 2 s apart).
  let runs = 0;
  for (let i = 0; i < 30 && runs < 2; i += 1) {
    await page.waitForTimeout(2000);
    await page.reload();
    await page.waitForSelector('body[data-ready="1"]');
    runs = await page.locator('#log-table tbody tr[data-id]').count();
  }
  assert.ok(runs >= 2, `only ${runs} run(s) stored`);
  const verdicts = await page.locator('#log-table tbody tr[data-id] td:nth-child(2)').allTextContents();
  assert.ok(verdicts.every((v) => v === '正常'), verdicts.join(','));
  await page.waitForFunction((n) => {
    const counted = /共 (\d+) 次拨测/.exec(document.getElementById('trend-note').textContent);
    return counted && Number(counted[1]) >= n;
  }, runs);
  await sys.shot('log');

  await page.click('#nav-tasks');
  assert.match(await taskRow(page, '定时拨测').locator('td').nth(4).textContent(), /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
  assert.deepEqual(sys.pageErrors, []);
});
