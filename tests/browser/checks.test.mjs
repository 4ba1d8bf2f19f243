// The task form's rules and URL check in Chromium against the real system on loopback: a URL no
// probe could fetch is refused on the page with the reason and sends nothing, a URL already probed
// is warned about, the folded "检查规则" section saves a task's rules and reads them back, the list
// marks tasks that have rules, and the probe right after saving shows a site that answers 403 as
// down by its rules within seconds while the run's verdict stays good.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { login, startSystem, taskRow } from './harness.mjs';

let sys;
let page;
const PLAIN = '已有站点';
const RULED = '禁止访问';

before(async () => {
  sys = await startSystem({ cronMinute: 86400, prefix: 'checks' });
  sys.siteStatus = (req) => (req.url.startsWith('/forbidden') ? 403 : 200);
  page = sys.page;
  assert.equal((await sys.panelCall('create', `name2=${PLAIN}`, `url=${sys.siteUrl}`, 'cycle=5')).status, true);
  await login(sys);
});

after(async () => {
  if (sys) await sys.stop();
});

test('a URL no probe could fetch is refused on the page with its reason, and nothing is sent', async () => {
  const sent = [];
  const watch = (r) => { if (/s=(create|modify|set_checks)/.test(r.url())) sent.push(r.url()); };
  page.on('request', watch);
  await page.click('#add-task');
  await page.fill('#f-name', 'x');
  const cases = [
    ['http://exa mple.com/', 'URL不能包含空格'],
    ['http://127.0.0.1:70000/', '端口应在1到65535之间'],
    ['http://127.0.0.1:0/', '端口应在1到65535之间'],
    ['http:///path', 'URL缺少主机名'],
    ['http://:8080/', 'URL缺少主机名'],
    [`http://127.0.0.1/${'a'.repeat(120)}`, 'URL不能超过128个字符'],
    ['http://exa%mple.com/', 'URL格式不正确'],
    ['www.example.org', 'URL必须以http://或https://开头'],
  ];
  for (const [url, message] of cases) {
    await page.fill('#f-url', url);
    await page.click('#task-save');
    assert.equal(await page.locator('#task-error').textContent(), message, url);
    assert.equal(await page.locator('#f-url').getAttribute('aria-invalid'), 'true');
  }
  await sys.shot('01-url-check');
  page.off('request', watch);
  assert.deepEqual(sent, []);
  await page.click('#task-cancel');
});

test('the same URL as another task is warned about, not refused', async () => {
  await page.click('#add-task');
  await page.fill('#f-url', sys.siteUrl);
  await page.waitForFunction((text) => document.getElementById('task-warn').textContent === text,
    `已有任务“${PLAIN}”使用相同的URL`);
  await page.fill('#f-url', `${sys.siteUrl}other`);
  await page.waitForFunction(() => document.getElementById('task-warn').textContent === '');
  await page.click('#task-cancel');
});

test('rules set in the folded section are saved, marked in the list and judge the probe right after saving', async () => {
  await page.click('#add-task');
  assert.equal(await page.locator('#checks-section').getAttribute('open'), null);
  assert.ok(await page.locator('#f-probe').isChecked());
  await page.fill('#f-name', RULED);
  await page.fill('#f-url', `${sys.siteUrl}forbidden`);
  await page.click('#checks-section summary');
  await page.fill('#c-expect-codes', '200-299');
  await page.fill('#c-slow', '5000');
  await sys.shot('02-rules-form');
  await page.click('#task-save');
  const row = taskRow(page, RULED);
  await row.waitFor();
  assert.equal(await row.locator('.rules-mark').textContent(), '规则');
  assert.equal(await taskRow(page, PLAIN).locator('.rules-mark').count(), 0);
  // The probe after saving: down by the rules, within seconds.
  await row.locator('.badge', { hasText: '异常' }).first().waitFor({ timeout: 30000 });
  assert.match(await row.locator('.reason').textContent(), /状态码不符（403）/);
  await sys.shot('03-rules-down');
  const stored = await sys.panelCall('get_checks', 'pid=2');
  assert.equal(stored.data.expect_codes, '200-299');
  assert.equal(stored.data.slow_ms, 5000);
  // The run's verdict keeps its own rule: 403 is no anomaly there.
  const log = await sys.panelCall('get_task_log', 'pid=2');
  assert.equal(log.data.length, 1);
  assert.equal(log.data[0].status, 1);
});

test('editing reads the rules back, and a bad value is refused naming the field and changes nothing', async () => {
  await taskRow(page, RULED).locator('button.edit').click();
  await page.waitForFunction(() => document.getElementById('c-expect-codes').value === '200-299');
  assert.equal(await page.locator('#checks-section').getAttribute('open'), '');
  await page.setChecked('#f-probe', false);
  await page.fill('#c-timeout', '500');
  await page.click('#task-save');
  await page.waitForFunction(() => /timeout_ms/.test(document.getElementById('task-error').textContent));
  assert.ok(await page.locator('#task-dialog').isVisible());
  assert.equal((await sys.panelCall('get_checks', 'pid=2')).data.timeout_ms, 0);
  await page.fill('#c-timeout', '');
  await page.fill('#c-expect-codes', '');
  await page.fill('#c-slow', '0');
  await page.click('#task-save');
  await page.locator('#task-dialog').waitFor({ state: 'hidden' });
  // Rules back at their defaults: no rules, no mark.
  await taskRow(page, RULED).locator('.rules-mark').waitFor({ state: 'detached' });
  assert.equal((await sys.panelCall('get_checks', 'pid=2')).data.has_rules, false);
  assert.deepEqual(sys.pageErrors, []);
});
