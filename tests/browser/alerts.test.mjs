// Undelivered alerts in Chromium against the real system on loopback: with no channel configured
// a failing task's alert is kept and shown as undelivered, and every view carries a banner saying
// that alerts cannot go out; once a channel is configured the banner goes, and an alert its
// server does not take is shown waiting for its retry.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { freePort, login, startSystem } from './harness.mjs';

let sys;
let page;
let id;

before(async () => {
  sys = await startSystem({ cronMinute: 86400, prefix: 'alerts' });
  page = sys.page;
  const created = await sys.panelCall('create', 'name2=告警站点', `url=${sys.siteUrl}`, 'cycle=5');
  assert.equal(created.status, true, JSON.stringify(created));
  id = (await sys.panelCall('get_list')).data[0].id;
  sys.siteStatus = 500;
  await sys.panelCall('start', `id=${id}`);
  await login(sys);
});

after(async () => {
  if (sys) await sys.stop();
});

test('with no channel the alert is listed as undelivered and a banner says so', async () => {
  await page.waitForSelector('#alert-banner:not([hidden])');
  assert.match(await page.textContent('#alert-banner'), /未配置通知渠道：1 个任务异常/);
  await page.click('#alert-banner-link');
  await page.waitForSelector('#view-settings:not([hidden])');
  await page.waitForSelector('#undelivered tbody tr[data-state="failed"]');
  const cells = await page.$$eval('#undelivered tbody tr[data-state="failed"] td', (tds) => tds.map((td) => td.textContent));
  assert.equal(cells[1], '告警站点');
  assert.equal(cells[2], '【告警站点】Quelmar拔测监控到[3]个测试异常');
  assert.equal(cells[3], '未配置渠道');
  assert.equal(cells[5], '未能送达');
  assert.match(cells[8], /未配置通知渠道/);
  // The banner stays while the settings view is shown.
  assert.equal(await page.isVisible('#alert-banner'), true);
  await sys.shot('no-channel');
});

test('a configured channel ends the banner and a refused alert waits for its retry', async () => {
  const closed = await freePort();  // nothing listens: every send fails at once
  await page.fill('#s-qq-mail', 'sender@mail.invalid');
  await page.fill('#s-host', '127.0.0.1');
  await page.fill('#s-port', String(closed));
  await page.selectOption('#s-security', 'none');
  await page.click('#mail-save');
  await page.waitForFunction(() => document.getElementById('toast').textContent.includes('已保存') &&
    !document.getElementById('mail-save').disabled);
  await sys.panelCall('start', `id=${id}`);
  await page.reload();
  await page.waitForSelector('body[data-ready="1"]');
  await page.waitForSelector('#undelivered tbody tr[data-state="pending"]');
  assert.equal(await page.isHidden('#alert-banner'), true);
  const row = page.locator('#undelivered tbody tr[data-state="pending"]');
  assert.equal(await row.count(), 1);
  assert.equal(await row.locator('.badge').textContent(), '重试中');
  assert.equal(await row.locator('td').nth(3).textContent(), '邮件');
  assert.equal(await row.locator('td').nth(4).textContent(), 'sender@mail.invalid');
  assert.equal(await row.locator('td').nth(6).textContent(), '1');
  assert.match(await page.textContent('#undelivered-counts'), /待发送 1 · 未能送达 1/);
  assert.deepEqual(sys.pageErrors, []);
  await sys.shot('retrying');
});
