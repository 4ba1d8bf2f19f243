// The certificates view and a task's 解析 tab in Chromium, against the panel with a stand-in
// dispatch centre on loopback whose node results carry the `cert` and `addresses` keys our nodes
// add: soonest expiry first, the lines that disagree listed one by one, each line's addresses
// with first and last seen, the run detail's addresses, and a line outside `dns_expect` flagged.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { login, startSystem } from './harness.mjs';

const DAY = 86400;
const now = Math.floor(Date.now() / 1000);
const cert = (print, days, issuer = 'Test CA') => ({
  not_after: now + days * DAY + 3600, days_left: days, subject: 'CN=site.test', issuer, names: ['site.test'],
  fingerprint_sha256: print, verify_error: '',
});
const node = (isp, addresses, c) => ({
  isp, primary_ip: addresses[0], http_code: 200, total_time: 12.5, namelookup_time: 1, starttransfer_time: 5,
  size_download: 100, speed_download: 1000, error_code: '', addresses, cert: c,
});
// Per URL, what the lines were served.
const answers = {
  'https://soon.test/': [node('电信', ['192.0.2.10', '192.0.2.11'], cert('AA:01', 5)),
    node('联通', ['198.51.100.9'], cert('BB:02', 80, 'Intercepting CA'))],
  'https://later.test/': [node('电信', ['192.0.2.20'], cert('CC:03', 60)), node('联通', ['192.0.2.20'], cert('CC:03', 60))],
};

let sys;
let page;

before(async () => {
  sys = await startSystem({ cronMinute: 86400, prefix: 'certs', standIn: (url) => answers[url] ?? [] });
  page = sys.page;
  assert.equal((await sys.panelCall('create', 'name2=即将到期', 'url=https://soon.test/', 'cycle=5')).status, true);
  assert.equal((await sys.panelCall('create', 'name2=正常站点', 'url=https://later.test/', 'cycle=5')).status, true);
  assert.equal((await sys.panelCallAt(now - 3600, 'start', 'id=1')).length, 2);
  assert.equal((await sys.panelCall('start', 'id=1')).length, 2);
  assert.equal((await sys.panelCall('start', 'id=2')).length, 2);
  // The task's rules: 联通's answer is outside.
  assert.equal((await sys.panelCall('set_checks', 'pid=1', 'dns_expect=192.0.2.0/24')).status, true);
  await login(sys);
});

after(async () => {
  if (sys) await sys.stop();
});

test('the certificates view lists the soonest expiry first and each line where they disagree', async () => {
  await page.click('#nav-certs');
  await page.waitForSelector('#cert-table tbody tr[data-pid]');
  const rows = page.locator('#cert-table tbody tr');
  assert.equal(await rows.count(), 2);
  assert.equal(await rows.nth(0).getAttribute('data-pid'), '1');
  assert.equal(await rows.nth(0).locator('.days-left').textContent(), '5 天');
  assert.equal(await rows.nth(0).locator('td').nth(3).textContent(), 'Test CA');
  assert.ok(await rows.nth(0).locator('.cert-disagree').isVisible());
  const lines = rows.nth(0).locator('.cert-lines li');
  assert.equal(await lines.count(), 2);
  assert.match(await lines.nth(1).textContent(), /^联通: .*（80 天） · Intercepting CABB:02$/);
  assert.equal(await rows.nth(1).locator('td').last().textContent(), '2 条线路一致');
  assert.equal(await rows.nth(1).locator('.cert-disagree').count(), 0);
  await sys.shot('01-certs');
});

test('the 解析 tab shows each line\'s addresses with first and last seen and flags the line outside', async () => {
  assert.equal(await page.locator('#task-table .dns-mismatch').count(), 1);
  await page.goto(`${sys.base}/plugin/qn_rivi/#log=1`);
  await page.waitForSelector('#log-table tbody tr[data-id]');
  assert.ok(await page.locator('#log-resolve').isHidden());
  await page.click('#log-tab-resolve');
  assert.ok(await page.locator('#log-main').isHidden());
  const rows = page.locator('#resolve-table tbody tr');
  assert.equal(await rows.count(), 3);
  const telecom = page.locator('#resolve-table tr[data-isp="电信"]');
  assert.equal(await telecom.count(), 2);
  const [, address, first, last] = await telecom.nth(0).locator('td').allTextContents();
  assert.match(address, /^192\.0\.2\.1[01]最新$/);
  assert.notEqual(first, last);  // seen by the run an hour ago and by the latest
  const unicom = page.locator('#resolve-table tr[data-isp="联通"]');
  assert.ok(await unicom.locator('.dns-mismatch').isVisible());
  assert.match(await unicom.locator('td.addr').textContent(), /^198\.51\.100\.9最新不在预期内$/);
  assert.match(await page.locator('#resolve-note').textContent(), /联通 线路的最新解析结果不在预期地址内/);
  await sys.shot('02-resolution');

  // The run detail lists every address each line resolved.
  await page.click('#log-tab-main');
  await page.locator('#log-table tbody tr').first().locator('button.detail').click();
  await page.waitForSelector('#run-detail:not([hidden])');
  assert.ok((await page.locator('#run-nodes thead').textContent()).includes('解析地址'));
  assert.ok((await page.locator('#run-nodes td.addresses').allTextContents()).includes('192.0.2.10, 192.0.2.11'));
  assert.deepEqual(sys.pageErrors, []);
});
