// Public status pages in Chromium against the real system on loopback: the settings view adds a
// page for a tag and links to it; a visitor with no session and JavaScript turned off reads the
// page: its rows, the 90 daily bars with their text, the state words, and no task URL.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { login, startSystem } from './harness.mjs';

let sys;
let visitor;

before(async () => {
  sys = await startSystem({ cronMinute: 86400, prefix: 'status' });
  await login(sys);
});

after(async () => {
  if (visitor) await visitor.close().catch(() => {});
  if (sys) await sys.stop();
});

// The tags table as the tag feature keeps it, written directly.
function tag(pid, name) {
  execFileSync('sqlite3', [join(sys.panelRoot, 'data', 'default.db'),
    'CREATE TABLE IF NOT EXISTS rivi_tag (pid INTEGER, tag TEXT, PRIMARY KEY (pid, tag));'
    + `INSERT INTO rivi_tag (pid, tag) VALUES (${Number(pid)}, '${name}');`]);
}

test('the settings view adds a status page and a visitor without script reads it', async () => {
  const { page } = sys;
  assert.equal((await sys.panelCall('create', 'name2=官网首页', `url=${sys.siteUrl}`, 'cycle=5')).status, true);
  assert.equal((await sys.panelCall('create', 'name2=内部后台', `url=${sys.siteUrl}admin`, 'cycle=5')).status, true);
  const tasks = (await sys.panelCall('get_list')).data;
  const home = tasks.find((t) => t.name === '官网首页');
  tag(home.id, 'public');
  tag(tasks.find((t) => t.name === '内部后台').id, 'internal');
  await sys.panelCall('start', `id=${home.id}`);

  await page.goto(`${sys.base}/plugin/qn_rivi/#settings`);
  await page.waitForSelector('#view-settings:not([hidden])');
  await page.waitForSelector('#status-pages tbody');
  // The server's refusal names the field.
  await page.fill('#sp-slug', 'site-status');
  await page.fill('#sp-title', '服务状态');
  await page.fill('#sp-tag', '');
  await page.click('#sp-save');
  assert.match(await page.textContent('#status-error'), /标签/);
  await page.fill('#sp-tag', 'public');
  await page.fill('#sp-description', '我们网站的运行情况');
  await page.click('#sp-save');
  const row = page.locator('#status-pages tbody tr[data-slug="site-status"]');
  await row.waitFor();
  assert.equal(await row.locator('a').getAttribute('href'), '/status/site-status');
  assert.equal((await row.locator('td').nth(3).textContent()).trim(), '1');
  assert.equal(await page.textContent('#status-error'), '');
  await sys.shot('settings');

  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run'] });
  visitor = browser;
  const context = await browser.newContext({ javaScriptEnabled: false, viewport: { width: 1000, height: 800 } });
  const anon = await context.newPage();
  anon.setDefaultTimeout(20000);
  const res = await anon.goto(`${sys.base}/status/site-status`);
  assert.equal(res.status(), 200);
  assert.equal(anon.url(), `${sys.base}/status/site-status`, 'no login');
  assert.equal(await anon.textContent('h1'), '服务状态');
  const rows = anon.locator('li.task');
  assert.equal(await rows.count(), 1);
  assert.equal(await rows.locator('.name').textContent(), '官网首页');
  assert.equal(await rows.locator('.state').textContent(), '正常');
  assert.equal(await rows.locator('svg.bars rect.day').count(), 90);
  assert.match(await rows.locator('svg.bars').getAttribute('aria-label'), /过去90天每日可用率: 合计 100\.00%/);
  const today = rows.locator('svg.bars rect.day').last();
  assert.match(await today.locator('title').textContent(), /可用率 100\.00%/);
  // The stylesheet applied: the bars take the row's width.
  assert.ok((await rows.locator('svg.bars').boundingBox()).width > 500);
  const text = await anon.textContent('body');
  assert.ok(!text.includes('内部后台'));
  assert.ok(!text.includes(sys.siteUrl), 'the URL stays hidden');
  await anon.screenshot({ path: join(process.env.RIVI_BUILD_DIR, 'artifacts', 'browser', 'status-public.png'), fullPage: true });

  const badge = await anon.goto(`${sys.base}/status/site-status/badge/${home.id}.svg`);
  assert.equal(badge.headers()['content-type'], 'image/svg+xml');
  assert.equal((await anon.goto(`${sys.base}/status/no-such-page`)).status(), 404);
  assert.deepEqual(sys.pageErrors, []);
});
