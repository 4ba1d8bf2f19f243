// The health view of the page in Chromium against the real system on loopback: badges, filters,
// node reasons, the hourly charts of a week of runs, form checks, refresh in place, maintenance
// windows (维护中), the banner when monitoring stops and hours without data (无数据). The centre has three local nodes labelled by ISP; the scheduler's minute
// is a day, so every run here is one the test starts (a week of them with the host's clock set back).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { join } from 'node:path';
import { freePort, login, startSystem, taskRow as rowOf } from './harness.mjs';

const HOUR = 3600;
const WEEK = '本机静态站点';   // a week of runs, one every 4 hours; three of them failed
const DOWN = '拒绝连接站点';   // a port where nothing listens
const FLAKY = '部分节点失败';  // one node of three gets an error status
const PAUSED = '暂停的站点';
const NEW = '新站点';
const WEEK_FAILED = new Set([5, 17, 30]);  // the runs k (4k hours ago) that got status 500
const WEEK_RUNS = 41;

let sys;
let page;
const ids = {};
const consoleErrors = [];
const taskRow = (name) => rowOf(page, name);
const now = () => Math.floor(Date.now() / 1000);

async function create(name, url) {
  const answer = await sys.panelCall('create', `name2=${name}`, `url=${url}`, 'cycle=5');
  assert.equal(answer.status, true, JSON.stringify(answer));
  const list = await sys.panelCall('get_list', `search=${name}`);
  ids[name] = list.data.find((t) => t.name === name).id;
}

const probe = (name) => sys.panelCall('start', `id=${ids[name]}`);

// Waits until the page has refreshed itself `n` more times.
async function refreshes(n) {
  const from = Number(await page.evaluate(() => document.body.dataset.refreshed || 0));
  await page.waitForFunction((k) => Number(document.body.dataset.refreshed || 0) >= k, from + n);
}

async function openPage(query = '') {
  await page.goto(`${sys.base}/plugin/qn_rivi/${query}`);
  await page.waitForSelector('body[data-ready="1"]');
}

before(async () => {
  const node = (isp) => ({ isp, local: true, allow_private: true });
  sys = await startSystem({ cronMinute: 86400, prefix: 'health', nodes: [node('电信'), node('联通'), node('移动')] });
  page = sys.page;
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  const closed = await freePort();
  await create(WEEK, `${sys.siteUrl}static/`);
  await create(DOWN, `http://127.0.0.1:${closed}/`);
  await create(FLAKY, `${sys.siteUrl}flaky`);
  await create(PAUSED, sys.siteUrl);
  await create(NEW, sys.siteUrl);
  await sys.panelCall('modify', `id=${ids[PAUSED]}`, 'status=0');
  // Probed every five hours, its last run four hours ago is on time (a task without an attempt for
  // two of its cycles is shown as not probed on time).
  await sys.panelCall('modify', `id=${ids[WEEK]}`, 'cycle=300');
  // The week, oldest first, ten minutes past every fourth hour back from now.
  const t0 = now();
  for (let k = WEEK_RUNS; k >= 1; k -= 1) {
    sys.siteStatus = WEEK_FAILED.has(k) ? 500 : 200;
    const nodes = await sys.panelCallAt(t0 - k * 4 * HOUR - 600, 'start', `id=${ids[WEEK]}`);
    assert.equal(nodes.length, 3, JSON.stringify(nodes));
  }
  let request = 0;
  sys.siteStatus = () => (request++ % 3 === 0 ? 503 : 200);
  await probe(FLAKY);
  sys.siteStatus = 200;
  await probe(DOWN);
  await login(sys);
});

after(async () => {
  if (sys) await sys.stop();
});

test('each task shows its health, reason, last time, uptime and trend; the schedule is an action', async () => {
  const cells = async (name) => taskRow(name).locator('td').allTextContents();
  const badge = (name) => taskRow(name).locator('.health .badge').textContent();
  assert.equal(await badge(WEEK), '正常');
  assert.equal(await badge(DOWN), '异常');
  assert.equal(await badge(FLAKY), '部分异常');
  assert.equal(await badge(PAUSED), '已暂停');
  assert.equal(await badge(NEW), '未拨测');
  assert.match(await taskRow(DOWN).locator('.health .reason').textContent(), /连接被拒绝/);
  assert.notEqual(await taskRow(FLAKY).locator('.health .reason').textContent(), '');

  // Five of the week's runs fell in the last 24 hours, one of them failed; 38 of 41 in 7 days.
  const week = await cells(WEEK);
  assert.match(week[2], /^\d+\.\d\d m?s$/);
  assert.match(week[3], /24小时 80\.00%/);
  assert.match(week[3], /7天 92\.68%/);
  // A site that never answered has no time and no line, only its failed run marked.
  const down = await cells(DOWN);
  assert.equal(down[2], '—');
  assert.equal(await taskRow(DOWN).locator('svg.spark path').count(), 0);
  assert.equal(await taskRow(DOWN).locator('svg.spark circle.bad').count(), 1);
  // The week's last 30 runs: a line, and the three failed runs among them marked.
  assert.equal(await taskRow(WEEK).locator('svg.spark path.line').count(), 1);
  assert.equal(await taskRow(WEEK).locator('svg.spark circle.bad').count(), 3);
  assert.equal((await cells(NEW))[4], '从未拨测');

  assert.equal(await taskRow(WEEK).locator('.sched').textContent(), '运行中');
  assert.equal(await taskRow(PAUSED).locator('.sched').textContent(), '已暂停');
  assert.equal(await taskRow(PAUSED).locator('button.toggle').textContent(), '恢复');
  assert.equal(await page.title(), '（1 异常）拨测监控');
  assert.ok(await page.locator('#monitor-banner').isHidden());
  await sys.shot('01-list');
  await page.emulateMedia({ colorScheme: 'dark' });
  assert.equal(await page.evaluate(() => getComputedStyle(document.documentElement).backgroundColor), 'rgb(20, 24, 29)');
  await sys.shot('01-list-dark');
  await page.emulateMedia({ colorScheme: 'light' });
});

test('the health counts filter the list by mouse and keyboard; the search finds a part of a name', async () => {
  const names = () => page.locator('#task-table .task-name').allTextContents();
  const filter = (health) => page.locator(`#health-filters button[data-health="${health}"]`);
  const counts = await page.locator('#health-filters button').allTextContents();
  assert.deepEqual(counts, ['全部 5', '正常 1', '部分异常 1', '异常 1', '调度失败 0', '维护中 0', '未拨测 1', '已暂停 1']);

  await filter('down').click();
  await page.waitForFunction(() => document.querySelectorAll('#task-table .task-name').length === 1);
  assert.deepEqual(await names(), [DOWN]);
  assert.equal(await filter('down').getAttribute('aria-pressed'), 'true');
  await filter('paused').focus();
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.querySelector('#task-table .task-name')?.textContent === '暂停的站点');
  await filter('error').focus();
  await page.keyboard.press('Space');
  await page.waitForSelector('#task-table td.empty');
  assert.equal(await page.locator('#task-table td.empty').textContent(), '没有“调度失败”的任务');
  await filter('').click();
  await page.waitForFunction(() => document.querySelectorAll('#task-table .task-name').length === 5);

  await page.fill('#search', '静态');
  await page.press('#search', 'Enter');
  await page.waitForFunction(() => document.querySelectorAll('#task-table .task-name').length === 1);
  assert.deepEqual(await names(), [WEEK]);
  assert.equal(await page.locator('#health-filters button[data-health=""]').textContent(), '全部 1');
  await page.fill('#search', '');
  await page.press('#search', 'Enter');
  await page.waitForFunction(() => document.querySelectorAll('#task-table .task-name').length === 5);
});

test('probe now and run details name each node\'s reason; rows stored without a code fall back', async () => {
  await taskRow(DOWN).locator('button.probe').click();
  await page.waitForFunction(() => /个节点/.test(document.getElementById('probe-msg').textContent), null, { timeout: 90000 });
  // IP and reason, found by their headings: nodes that report their addresses add a column.
  const reasons = () => page.$$eval('table.nodes:visible', (tables) => {
    const [table] = tables;
    const at = (text) => [...table.querySelectorAll('thead th')].findIndex((th) => th.textContent === text);
    return [...table.querySelectorAll('tbody tr')].map((tr) => [tr.children[at('IP')].textContent, tr.children[at('原因')].textContent]);
  });
  assert.deepEqual(await reasons(), Array(3).fill(['—', '连接被拒绝']));
  assert.match(await page.locator('#probe-msg').textContent(), /3\/3 节点失败：连接被拒绝/);
  await sys.shot('02-probe-refused');
  await page.click('#probe-close');

  // The older of the two runs as a row stored before nodes gave a code.
  const db = join(sys.panelRoot, 'data', 'default.db');
  execFileSync('sqlite3', ['-cmd', '.timeout 5000', db, 'UPDATE rivi_list SET data = json_remove(data, '
    + `'$[0].error_code', '$[1].error_code', '$[2].error_code') WHERE id = (SELECT MIN(id) FROM rivi_list WHERE pid = ${ids[DOWN]})`]);
  await taskRow(DOWN).locator('a.link', { hasText: '日志' }).click();
  await page.waitForFunction(() => document.querySelectorAll('#log-table tbody tr[data-id]').length === 2);
  const results = await page.locator('#log-table tbody tr[data-id] td:nth-child(2)').allTextContents();
  assert.deepEqual(results, ['异常3/3 节点失败：连接被拒绝', '异常3/3 节点失败：连接失败']);
  await page.locator('#log-table button.detail').last().click();
  await page.waitForSelector('#run-detail:not([hidden])');
  assert.deepEqual((await reasons()).map((r) => r[1]), Array(3).fill('连接失败'));

  // The newer run as another centre would have sent it: a code that is not ours reads as unknown,
  // its text only in the node's detail, cut short.
  const foreign = `<b>请致电 400</b>${'x'.repeat(300)}`;
  execFileSync('sqlite3', ['-cmd', '.timeout 5000', db, `UPDATE rivi_list SET data = json_set(data, '$[0].error_code', '${foreign}') `
    + `WHERE id = (SELECT MAX(id) FROM rivi_list WHERE pid = ${ids[DOWN]})`]);
  await page.reload();
  await page.waitForFunction(() => document.querySelectorAll('#log-table tbody tr[data-id]').length === 2);
  assert.equal(await page.locator('#log-table tbody tr[data-id] td:nth-child(2)').first().textContent(),
    '异常3/3 节点失败：未知错误、连接被拒绝');
  await page.locator('#log-table button.detail').first().click();
  await page.waitForSelector('#run-detail:not([hidden])');
  assert.deepEqual((await reasons()).map((r) => r[1]), ['未知错误', '连接被拒绝', '连接被拒绝']);
  const detail = await page.locator('table.nodes:visible tbody tr td.reason').first().getAttribute('title');
  const [codeLine] = detail.split('\n');
  assert.ok(codeLine.startsWith('错误代码：<b>请致电 400</b>xxx') && codeLine.endsWith('…'), detail);
  assert.ok(codeLine.length < 140, detail);

  // One open incident since the first refused run.
  const incident = await page.locator('#incident-table tbody tr[data-id]').allTextContents();
  assert.equal(incident.length, 1);
  assert.match(incident[0], /进行中/);
  assert.match(incident[0], /连接被拒绝/);
});

test('the log charts the chosen span hour by hour, with failed hours, uptime, incidents and ISP lines', async () => {
  await page.goto(`${sys.base}/plugin/qn_rivi/#log=${ids[WEEK]}`);
  await page.waitForFunction((title) => document.getElementById('log-title').textContent === title, `拨测日志：${WEEK}`);
  assert.deepEqual(await page.locator('#availability .stat-value').allTextContents(), ['80.00%', '92.68%', '92.68%']);
  const chart = () => page.evaluate(() => {
    const c = window.Chart.getChart(document.getElementById('trend-chart'));
    const points = (d) => d.data.filter((v) => v != null).length;
    return { hours: c.data.labels.length, sets: c.data.datasets.map((d) => [d.label, points(d)]) };
  });
  const sets = async () => Object.fromEntries((await chart()).sets);
  // Seven days of hours; the mean where nodes answered well, the failed hours on the axis.
  await page.waitForFunction(() => window.Chart?.getChart(document.getElementById('trend-chart')));
  assert.equal((await chart()).hours, 7 * 24);
  assert.deepEqual(await sets(), { '平均耗时（ms）': 38, 最快: 38, 最慢: 38, 有失败的小时: 3 });
  assert.equal(await page.locator('#trend-note').textContent(), '近7天共 41 次拨测，其中 3 个小时有失败（红色三角）');
  assert.equal(await page.locator('#span-buttons button[data-days="7"]').getAttribute('aria-pressed'), 'true');
  await sys.shot('03-week');

  await page.click('#span-buttons button[data-days="1"]');
  await page.waitForFunction(() => window.Chart.getChart(document.getElementById('trend-chart')).data.labels.length === 24);
  assert.equal((await sets())['有失败的小时'], 1);
  await page.click('#span-buttons button[data-days="30"]');
  await page.waitForFunction(() => window.Chart.getChart(document.getElementById('trend-chart')).data.labels.length === 30 * 24);
  await page.check('#isp-lines');
  const isps = await page.evaluate(() => window.Chart.getChart(document.getElementById('trend-chart')).data.datasets
    .filter((d) => d.isp).map((d) => [d.label, d.data.filter((v) => v != null).length]));
  assert.deepEqual(isps.sort(), [['电信', 38], ['移动', 38], ['联通', 38]]);

  // Each failed run opened an incident that the next run, four hours on, closed.
  const durations = await page.locator('#incident-table td.duration').allTextContents();
  assert.deepEqual(durations, ['4小时', '4小时', '4小时']);
  await sys.shot('04-month-isp');
  await page.emulateMedia({ colorScheme: 'dark' });
  await page.waitForFunction(() => window.Chart.defaults.color === 'rgb(174, 182, 191)' || window.Chart.defaults.color === '#aeb6bf');
  await sys.shot('04-month-isp-dark');
  await page.emulateMedia({ colorScheme: 'light' });
});

test('the task form checks its fields before anything is sent', async () => {
  await openPage();
  const sent = [];
  const watch = (r) => { if (/s=(create|modify)/.test(r.url())) sent.push(r.url()); };
  page.on('request', watch);
  await page.click('#add-task');
  const tryForm = async (name, url, cycle, message, field) => {
    await page.fill('#f-name', name);
    await page.fill('#f-url', url);
    await page.fill('#f-cycle', cycle);
    await page.click('#task-save');
    assert.equal(await page.locator('#task-error').textContent(), message);
    assert.equal(await page.locator(`#${field}`).getAttribute('aria-invalid'), 'true');
    assert.equal(await page.evaluate(() => document.activeElement.id), field);
  };
  await tryForm('  ', 'http://127.0.0.1/', '5', '请输入任务名称', 'f-name');
  await tryForm('x', 'www.example.org', '5', 'URL必须以http://或https://开头', 'f-url');
  await tryForm('x', 'ftp://127.0.0.1/', '5', 'URL必须以http://或https://开头', 'f-url');
  for (const cycle of ['0', '43201', '1.5', '']) {
    await tryForm('x', 'https://127.0.0.1/', cycle, '周期应为1到43200之间的整数分钟', 'f-cycle');
  }
  await sys.shot('05-form-check');
  assert.deepEqual(sent, []);
  await page.fill('#f-cycle', '43200');
  await page.click('#task-save');
  await taskRow('x').waitFor();
  page.off('request', watch);
  assert.equal(sent.length, 1);
  await taskRow('x').locator('button.delete').click();
  await taskRow('x').waitFor({ state: 'detached' });
});

test('the page refreshes itself in place: an open dialog, what was typed, the scroll and the focus stay', async () => {
  await page.setViewportSize({ width: 1280, height: 320 });
  await openPage('?refresh=1');
  await page.evaluate(() => window.scrollTo(0, 150));
  await taskRow(WEEK).locator('button.edit').click();
  await page.fill('#f-name', '正在编辑');
  const scrolled = await page.evaluate(() => window.scrollY);
  assert.ok(scrolled > 0);
  // A run made elsewhere shows up behind the dialog without a reload.
  await probe(NEW);
  await page.waitForFunction(() => [...document.querySelectorAll('#task-table tr[data-id]')]
    .some((tr) => tr.textContent.startsWith('新站点') && tr.querySelector('.health .badge').textContent === '正常'));
  await refreshes(2);
  assert.ok(await page.locator('#task-dialog').evaluate((d) => d.open));
  assert.equal(await page.inputValue('#f-name'), '正在编辑');
  assert.equal(await page.evaluate(() => window.scrollY), scrolled);
  await page.click('#task-cancel');
  // A keyboard user keeps their place: the focused control is focused again after each refresh.
  await page.focus('#health-filters button[data-health="down"]');
  await refreshes(2);
  assert.equal(await page.evaluate(() => document.activeElement.dataset.health), 'down');
  await page.setViewportSize({ width: 1280, height: 860 });
});

// "YYYY-MM-DDTHH:MM" of Unix seconds on this machine's clock, which the panel shares.
function localInput(sec) {
  const d = new Date(sec * 1000);
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}T${p(d.getHours())}:${p(d.getMinutes())}`;
}

test('maintenance windows are listed, added and removed, for one task and for all; 维护中 shows where health does', async () => {
  // A window of one task, from its log, that began three hours ago: a run two hours ago falls in it.
  await page.goto(`${sys.base}/plugin/qn_rivi/#log=${ids[FLAKY]}`);
  await page.waitForFunction((title) => document.getElementById('log-title').textContent === title, `拨测日志：${FLAKY}`);
  assert.ok(await page.locator('#log-maint').isHidden());
  const form = page.locator('#maint-task form');
  await form.locator('button[type=submit]').click();
  await form.locator('.error', { hasText: '开始时间格式应为YYYY-MM-DD HH:MM!' }).waitFor();
  await form.locator('[name=start]').fill(localInput(now() - 3 * HOUR));
  await form.locator('[name=end]').fill(localInput(now() + HOUR));
  await form.locator('[name=note]').fill('换机房');
  await form.locator('button[type=submit]').click();
  await page.waitForSelector('#maint-task tbody tr[data-id]');
  assert.match(await page.locator('#maint-task tbody tr[data-id]').textContent(), /换机房维护中/);
  await page.waitForSelector('#log-maint:not([hidden])');
  await sys.panelCallAt(now() - 2 * HOUR, 'start', `id=${ids[FLAKY]}`);
  await page.click('#span-buttons button[data-days="1"]');
  await page.waitForSelector('#avail-bars .avail-bar[data-state="维护中"]');
  assert.match(await page.locator('#trend-note').textContent(), /1 次在维护中，不计入可用率/);
  await sys.shot('08-maintenance-log');

  // On the task list: the badge, the window's note as the reason, and its own filter.
  await openPage();
  assert.equal(await taskRow(FLAKY).locator('.health .badge').textContent(), '维护中');
  assert.equal(await taskRow(FLAKY).locator('.health .reason').textContent(), '维护中: 换机房');
  assert.equal(await page.locator('#health-filters button[data-health="maintenance"]').textContent(), '维护中 1');

  // A weekly window of every task that covers the whole week, from the 维护窗口 view.
  await page.click('#nav-maintenance');
  const all = page.locator('#maint-all');
  await all.locator('tbody tr[data-id]').first().waitFor();
  assert.equal(await all.locator('tbody tr[data-id] td').first().textContent(), FLAKY);
  await all.locator('[name=kind]').selectOption('weekly');
  for (let d = 1; d <= 7; d += 1) await all.locator(`input[name=weekday][value="${d}"]`).check();
  await all.locator('[name=at]').fill('00:00');
  await all.locator('[name=duration]').fill('10081');
  await all.locator('button[type=submit]').click();
  await all.locator('.error', { hasText: '持续时间应为1到10080之间的整数分钟！' }).waitFor();
  await all.locator('[name=duration]').fill('1440');
  await all.locator('button[type=submit]').click();
  await page.waitForFunction(() => document.querySelectorAll('#maint-all tbody tr[data-id]').length === 2);
  assert.match(await all.locator('tbody tr[data-id]').last().textContent(), /^全部任务每周一、二、三、四、五、六、日 00:00 起 1440 分钟/);
  await sys.shot('09-maintenance-all');
  await page.click('#nav-tasks');
  await page.waitForFunction(() => document.querySelector('#health-filters button[data-health="maintenance"]')?.textContent === '维护中 4');
  assert.equal(await taskRow(WEEK).locator('.health .badge').textContent(), '维护中');
  assert.equal(await taskRow(PAUSED).locator('.health .badge').textContent(), '已暂停');

  // Both removed: the tasks are judged by their runs again.
  await page.click('#nav-maintenance');
  await all.locator('tbody tr[data-id]').first().waitFor();
  while (await all.locator('tbody tr[data-id]').count()) {
    const n = await all.locator('tbody tr[data-id]').count();
    await all.locator('tbody tr[data-id] button.delete').first().click();
    await page.waitForFunction((k) => document.querySelectorAll('#maint-all tbody tr[data-id]').length === k - 1, n);
  }
  assert.equal(await all.locator('td.empty').textContent(), '没有维护窗口');
  await probe(FLAKY);
  await page.click('#nav-tasks');
  await page.waitForFunction(() => document.querySelector('#health-filters button[data-health="maintenance"]')?.textContent === '维护中 0');
  assert.equal(await taskRow(FLAKY).locator('.health .badge').textContent(), '正常');
});

test('a banner says when the centre cannot be reached, when no task runs any more, and which task is late', async () => {
  await openPage('?refresh=1');
  await sys.stopCentre();
  for (const name of [WEEK, DOWN, FLAKY, NEW]) await probe(name).catch(() => null);
  await page.waitForFunction(() => !document.getElementById('monitor-banner').hidden);
  assert.match(await page.locator('#monitor-banner-text').textContent(), /^调度中心无法连接：\S/);
  assert.equal(await taskRow(NEW).locator('.health .badge').textContent(), '调度失败');
  await sys.shot('06-centre-down');

  // Only one task still runs, and its last attempt is five of its cycles old.
  const answer = await sys.panelCall('create', 'name2=一分钟任务', `url=${sys.siteUrl}`, 'cycle=1');
  assert.equal(answer.status, true);
  const id = (await sys.panelCall('get_list', 'search=一分钟任务')).data[0].id;
  await sys.panelCallAt(now() - 300, 'start', `id=${id}`).catch(() => null);
  for (const name of [WEEK, DOWN, FLAKY, NEW]) await sys.panelCall('modify', `id=${ids[name]}`, 'status=0');
  await page.waitForFunction(() => document.getElementById('monitor-banner-text').textContent.startsWith('拨测已停止'));
  assert.equal(await page.locator('#monitor-banner-text').textContent(), '拨测已停止：超过两个周期没有任务运行');
  await sys.shot('07-stale');

  // A task just created runs beside it: the banner stays, naming the one that is late.
  assert.equal((await sys.panelCall('create', 'name2=刚建的任务', `url=${sys.siteUrl}`, 'cycle=5')).status, true);
  await page.waitForFunction(() => document.getElementById('monitor-banner-text').textContent === '部分任务未按时拨测');
  assert.equal(await page.locator('#monitor-banner-detail').textContent(), '1个任务超过两个周期没有拨测：一分钟任务');
  assert.equal(await taskRow('一分钟任务').locator('.health .reason').textContent(), '未按时拨测');
});

test('runs the centre could not make leave the uptime whole and show their hour as 无数据', async () => {
  // The centre is stopped: a run five hours ago stores nothing.
  await sys.panelCallAt(now() - 5 * HOUR, 'start', `id=${ids[NEW]}`).catch(() => null);
  await page.goto(`${sys.base}/plugin/qn_rivi/#log=${ids[NEW]}`);
  await page.waitForFunction((title) => document.getElementById('log-title').textContent === title, `拨测日志：${NEW}`);
  await page.click('#span-buttons button[data-days="1"]');
  await page.waitForFunction(() => document.querySelectorAll('#avail-bars .avail-bar').length === 24);  // one an hour
  const bar = page.locator('#avail-bars .avail-bar[title*="监控异常"]').first();
  assert.equal(await bar.getAttribute('data-state'), '无数据');
  assert.equal(await page.locator('#avail-24h').textContent(), '100.00%');
  assert.match(await page.locator('#trend-note').textContent(), /次监控异常.*不计入可用率/);
  await sys.shot('10-no-data');
});

test('the favicon is served as SVG; nothing failed or was refused in the page', async () => {
  // By the name the page gives it (the build puts its content's hash in it).
  const href = await page.locator('link[rel=icon]').getAttribute('href');
  const icon = await page.request.get(new URL(href, `${sys.base}/plugin/qn_rivi/`).href);
  assert.equal(icon.status(), 200);
  assert.match(icon.headers()['content-type'], /^image\/svg\+xml/);
  assert.deepEqual(sys.pageErrors, []);
  assert.deepEqual(consoleErrors, []);
});
