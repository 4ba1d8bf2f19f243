// End-to-end tests of the plug-in's page in Debian's Chromium against the real system on
// loopback (see harness.mjs). The scheduler's minute is a day long here, so no scheduled run
// comes between the steps; scheduled.test.mjs covers the runs of the scheduler.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { PASSWORD, createTask, startSystem, taskRow as rowOf } from './harness.mjs';

const XSS_NAME = '<img src=x onerror=alert(1)>';
let sys;
let page;
let base;
const shot = (name) => sys.shot(name);
const taskRow = (name) => rowOf(page, name);

before(async () => {
  sys = await startSystem({ cronMinute: 86400, prefix: 'e2e' });
  ({ page, base } = sys);
});

after(async () => {
  if (sys) await sys.stop();
});

test('login: a wrong password is refused, the right one opens the page', async () => {
  await page.goto(`${base}/`);
  assert.match(page.url(), /\/login$/);
  await page.fill('#password', 'not-the-password');
  await page.click('button[type=submit]');
  assert.equal(await page.locator('.error').textContent(), '密码错误');
  await shot('00-login');
  await page.fill('#password', PASSWORD);
  await page.click('button[type=submit]');
  await page.waitForURL(`${base}/plugin/qn_rivi/`);
  await page.waitForSelector('body[data-ready="1"]');
  assert.equal(await page.locator('#task-table td.empty').textContent(), '还没有任务，点击“添加任务”创建');
  await shot('01-empty-list');
});

test('create: a bad URL or cycle is caught on the page and stores nothing', async () => {
  await page.click('#add-task');
  await page.fill('#f-name', 'bad');
  await page.fill('#f-url', 'www.example.org');
  await page.click('#task-save');
  await page.waitForFunction(() => document.getElementById('task-error').textContent !== '');
  assert.equal(await page.locator('#task-error').textContent(), 'URL必须以http://或https://开头');
  await page.fill('#f-url', 'http://127.0.0.1:1/');
  await page.fill('#f-cycle', '0');
  await page.click('#task-save');
  await page.waitForFunction(() => document.getElementById('task-error').textContent === '周期应为1到43200之间的整数分钟');
  await shot('02-bad-form');
  await page.click('#task-cancel');
  assert.equal(await page.locator('#task-table tbody tr .task-name').count(), 0);
});

test('create: a task against the loopback site and one whose name is markup', async () => {
  for (const name of ['本机站点', XSS_NAME]) await createTask(page, name, sys.siteUrl, 5);
  assert.equal(await page.locator('#toast').textContent(), '添加成功!');
  // Newest first; the markup is shown as text and never becomes an element.
  const names = await page.locator('#task-table .task-name').allTextContents();
  assert.deepEqual(names, [XSS_NAME, '本机站点']);
  assert.equal(await page.locator('#task-table img').count(), 0);
  assert.equal(await taskRow('本机站点').locator('td').nth(4).textContent(), '从未拨测');
  await shot('03-list');
});

test('search finds a task by name or by part of its URL', async () => {
  await page.fill('#search', '本机站点');
  await page.click('#search-form button');
  await page.waitForFunction(() => document.querySelectorAll('#task-table .task-name').length === 1);
  await page.fill('#search', '127.0.0.1');
  await page.click('#search-form button');
  await page.waitForFunction(() => document.querySelectorAll('#task-table .task-name').length === 2);
  await page.fill('#search', 'no-such-task');
  await page.click('#search-form button');
  await page.waitForSelector('#task-table td.empty');
  await page.fill('#search', '');
  await page.click('#search-form button');
  await page.waitForFunction(() => document.querySelectorAll('#task-table .task-name').length === 2);
});

test('probe now shows every node, slowest first, and sets the last run time', async () => {
  await taskRow('本机站点').locator('button.probe').click();
  await page.waitForFunction(() => /个节点/.test(document.getElementById('probe-msg').textContent), null,
    { timeout: 90000 });
  const rows = page.locator('#probe-nodes tbody tr');
  assert.ok(await rows.count() >= 1);
  // The columns by their headings: nodes that report what they resolved add one.
  const column = (heading) => page.$$eval('#probe-nodes tbody tr', (trs, text) => {
    const at = [...document.querySelectorAll('#probe-nodes thead th')].findIndex((th) => th.textContent === text);
    return trs.map((tr) => tr.children[at].textContent);
  }, heading);
  const totals = await column('总耗时');
  const msOf = (t) => (t.endsWith(' s') ? parseFloat(t) * 1000 : parseFloat(t));
  for (let i = 1; i < totals.length; i += 1) assert.ok(msOf(totals[i - 1]) >= msOf(totals[i]), totals.join(', '));
  assert.equal((await column('状态码'))[0], '200');
  assert.equal((await column('原因'))[0], '正常');
  await shot('04-probe-now');
  await page.click('#probe-close');
  await page.waitForFunction(() => !/从未拨测/.test(
    [...document.querySelectorAll('#task-table tbody tr')].find((tr) => tr.textContent.includes('本机站点')).textContent));
  assert.match(await taskRow('本机站点').locator('td').nth(4).textContent(), /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
});

test('the log shows the run with its statistics, the trend chart and one run\'s nodes', async () => {
  await taskRow('本机站点').locator('a.link', { hasText: '日志' }).click();
  await page.waitForSelector('#log-table tbody tr[data-id]');
  assert.equal(await page.locator('#log-title').textContent(), '拨测日志：本机站点');
  const cells = await page.locator('#log-table tbody tr[data-id]').first().locator('td').allTextContents();
  assert.match(cells[0], /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
  assert.equal(cells[1], '正常');
  assert.match(cells[2], /^\d+\.\d\d m?s$/);
  assert.match(cells[3], /（\d+\.\d\d m?s）$/);
  assert.match(cells[4], /（\d+\.\d\d m?s）$/);
  // The task's own alert deliveries: none for a site that never failed.
  await page.waitForFunction(() => document.querySelector('#log-deliveries tbody')?.textContent === '暂无发送记录');
  // The trend chart is drawn by the charting library from the hourly figures of the week.
  await page.waitForFunction(() => {
    const c = window.Chart && window.Chart.getChart(document.getElementById('trend-chart'));
    return c && c.data.labels.length === 7 * 24 && c.data.datasets[0].data.some((v) => v > 0);
  });
  assert.match(await page.locator('#trend-note').textContent(), /共 1 次拨测/);
  await page.locator('#log-table button.detail').first().click();
  await page.waitForSelector('#run-detail:not([hidden])');
  const bars = await page.evaluate(() => window.Chart.getChart(document.getElementById('run-chart')).data.labels.length);
  assert.equal(bars, await page.locator('#run-nodes tbody tr').count());
  await shot('05-log');
});

test('a log longer than a page: the pager reaches the older runs and the chart counts them all', async () => {
  const id = new URL(page.url()).hash.split('=')[1];
  for (let i = 0; i < 12; i += 1) {
    const nodes = await sys.panelCall('start', `id=${id}`);
    assert.ok(Array.isArray(nodes) && nodes.every((n) => n.http_code === 200), JSON.stringify(nodes));
  }
  await page.reload();
  await page.waitForSelector('body[data-ready="1"]');
  assert.equal(await page.locator('#log-table tbody tr[data-id]').count(), 12);
  assert.equal(await page.locator('#log-pager span').textContent(), '第 1 / 2 页，共 13 条');
  const newest = await page.locator('#log-table tbody tr[data-id]').first().getAttribute('data-id');
  await page.locator('#log-pager button', { hasText: '下一页' }).click();
  await page.waitForFunction(() => document.querySelectorAll('#log-table tbody tr[data-id]').length === 1);
  const oldest = await page.locator('#log-table tbody tr[data-id]').first().getAttribute('data-id');
  assert.ok(Number(oldest) < Number(newest));
  await page.waitForFunction(() => /共 13 次拨测/.test(document.getElementById('trend-note').textContent));
  await shot('05b-log-page-2');
  // Back to the first page, and remove the newest run from there.
  await page.locator('#log-pager button', { hasText: '上一页' }).click();
  await page.waitForFunction(() => document.querySelectorAll('#log-table tbody tr[data-id]').length === 12);
});

test('one result can be removed from the log', async () => {
  const rows = page.locator('#log-table tbody tr[data-id]');
  const newest = await rows.first().getAttribute('data-id');
  await rows.first().locator('button.delete').click();
  await page.waitForFunction((id) => !document.querySelector(`#log-table tr[data-id="${id}"]`)
    && document.querySelectorAll('#log-table tbody tr[data-id]').length === 12, newest);
  assert.equal(await page.locator('#toast').textContent(), '删除成功!');
  assert.equal(await page.locator('#log-pager span').textContent(), '第 1 / 1 页，共 12 条');
});

test('pause and resume switch the task state', async () => {
  await page.click('#nav-tasks');
  const row = taskRow('本机站点');
  await row.locator('button.toggle', { hasText: '暂停' }).click();
  await row.locator('.badge', { hasText: '已暂停' }).waitFor();
  await shot('06-paused');
  await row.locator('button.toggle', { hasText: '恢复' }).click();
  await row.locator('.sched', { hasText: '运行中' }).waitFor();
  assert.equal(await row.locator('.badge').textContent(), '正常');
});

test('edit checks the URL and saves a new name', async () => {
  await taskRow('本机站点').locator('button.edit').click();
  assert.equal(await page.inputValue('#f-name'), '本机站点');
  await page.fill('#f-url', 'ftp://127.0.0.1/');
  await page.click('#task-save');
  await page.waitForFunction(() => document.getElementById('task-error').textContent === 'URL必须以http://或https://开头');
  await page.fill('#f-url', sys.siteUrl);
  await page.fill('#f-name', '本机站点2');
  await page.click('#task-save');
  await taskRow('本机站点2').waitFor();
});

test('the channel settings form starts empty with no secret set', async () => {
  await page.click('#nav-settings');
  await page.waitForFunction(() => document.getElementById('s-password-state').textContent === '未设置');
  assert.equal(await page.locator('#s-qq-mail').inputValue(), '');
  assert.equal(await page.locator('#s-secret-state').textContent(), '未设置');
  await shot('07-settings');
});

test('configured channels are shown without their secrets, addresses as text', async () => {
  const data = (name) => join(sys.panelRoot, 'data', name);
  writeFileSync(data('stmp_mail.json'), JSON.stringify(
    { qq_mail: 'sender@mail.invalid', password: 'smtp-secret-1', host: '127.0.0.1', port: 2525 }));
  writeFileSync(data('dingding.json'), JSON.stringify(
    { dingding_url: 'https://robot.invalid/send?access_token=hook-secret-2', secret: 'sign-secret-3' }));
  writeFileSync(data('mail_list.json'), JSON.stringify(['ops@mail.invalid', '<b>x</b>@mail.invalid']));
  // Every answer of the plug-in that reaches the browser, to see that no secret travels.
  const answers = [];
  const collect = (r) => {
    if (r.url().includes('/plugin?')) answers.push(r.text().catch(() => ''));
  };
  page.on('response', collect);
  await page.reload();
  await page.waitForSelector('body[data-ready="1"]');
  await page.waitForFunction(() => document.getElementById('s-qq-mail').value === 'sender@mail.invalid');
  page.off('response', collect);
  assert.equal(await page.locator('#s-host').inputValue(), '127.0.0.1');
  assert.equal(await page.locator('#s-port').inputValue(), '2525');
  assert.equal(await page.locator('#s-password').inputValue(), '');
  assert.equal(await page.locator('#s-password-state').textContent(), '已设置');
  assert.equal(await page.locator('#s-mail-list').inputValue(), 'ops@mail.invalid\n<b>x</b>@mail.invalid');
  assert.equal(await page.locator('#view-settings b').count(), 0);
  assert.match(await page.locator('#s-dingding-url').inputValue(), /^https:\/\/robot\.invalid\/send\??$/);
  assert.equal(await page.locator('#s-secret-state').textContent(), '已设置');
  const text = await page.locator('#view-settings').textContent();
  const values = await page.evaluate(() => [...document.querySelectorAll('#view-settings input, #view-settings textarea')]
    .map((e) => e.value).join('\n'));
  for (const secret of ['smtp-secret-1', 'hook-secret-2', 'sign-secret-3']) {
    assert.ok(!text.includes(secret), text);
    assert.ok(!values.includes(secret), values);
  }
  const sent = (await Promise.all(answers)).join('\n');
  assert.match(sent, /"password_set": ?true/);
  for (const secret of ['smtp-secret-1', 'hook-secret-2', 'sign-secret-3']) assert.ok(!sent.includes(secret), sent);
  await shot('07b-settings-configured');
});

test('at phone width every task is still readable and usable', async () => {
  await page.setViewportSize({ width: 390, height: 844 });
  await page.click('#nav-tasks');
  await taskRow('本机站点2').waitFor();
  const width = await page.evaluate(() => document.documentElement.scrollWidth);
  assert.ok(width <= 390, `page is ${width}px wide`);
  await shot('08-phone');
  await page.setViewportSize({ width: 1280, height: 860 });
});

test('delete asks first and removes the task', async () => {
  for (const name of ['本机站点2', XSS_NAME]) {
    await taskRow(name).locator('button.delete').click();
    await taskRow(name).waitFor({ state: 'detached' });
  }
  await page.waitForSelector('#task-table td.empty');
  await shot('09-deleted');
});

test('no script ran from data, nothing failed in the page, nothing came from outside', () => {
  assert.deepEqual(sys.alerts, []);
  assert.deepEqual(sys.pageErrors, []);
});
