// End-to-end tests of the plug-in's page in Debian's Chromium: a fresh panel root, the dispatch
// centre with its in-process nodes, a loopback target site and `panel serve`, all on 127.0.0.1.
// Screenshots are kept in <build>/artifacts/browser/.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const buildDir = process.env.RIVI_BUILD_DIR;
assert.ok(buildDir, 'RIVI_BUILD_DIR must name the build directory');
const bin = (name) => join(buildDir, 'bin', name);
const artifacts = join(buildDir, 'artifacts', 'browser');
const PASSWORD = 'browser-test-password';
const XSS_NAME = '<img src=x onerror=alert(1)>';

const children = [];
let root;
let site;
let context;
let page;
let base;
const alerts = [];
const pageErrors = [];

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function waitForPort(port, ms = 15000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    const ok = await new Promise((resolve) => {
      const sock = net.connect(port, '127.0.0.1');
      sock.once('connect', () => { sock.destroy(); resolve(true); });
      sock.once('error', () => resolve(false));
    });
    if (ok) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`nothing listens on 127.0.0.1:${port}`);
}

function start(cmd, args, env) {
  const child = spawn(cmd, args, { env, stdio: ['ignore', 'inherit', 'inherit'] });
  children.push(child);
  return child;
}

const shot = (name) => page.screenshot({ path: join(artifacts, `${name}.png`), fullPage: true });

// The row of the task list whose name cell shows `name` as text.
const taskRow = (name) => page.locator('#task-table tbody tr').filter({
  has: page.locator('.task-name', { hasText: name }),
});

before(async () => {
  mkdirSync(artifacts, { recursive: true });
  root = mkdtempSync(join(tmpdir(), 'rivi-browser-'));
  const env = { ...process.env, PANEL_ROOT: join(root, 'panel') };

  let r = spawnSync(bin('panel'), ['install'], { env, encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  assert.match(r.stdout, /panel administrator password: \S{16}/);
  r = spawnSync(bin('panel'), ['passwd', '--stdin'], { env, input: `${PASSWORD}\n`, encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);

  // The site the probes fetch: a small page, and nothing else.
  site = createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end('<!doctype html><title>target</title><p>hello</p>');
  });
  await new Promise((resolve) => site.listen(0, '127.0.0.1', resolve));

  const dispatchPort = await freePort();
  start(bin('rivi-dispatch'), ['--listen', `127.0.0.1:${dispatchPort}`], env);
  await waitForPort(dispatchPort);
  env.RIVI_DISPATCH_HOST = `127.0.0.1:${dispatchPort}`;

  const webPort = await freePort();
  start(bin('panel'), ['serve', '--listen', `127.0.0.1:${webPort}`], env);
  await waitForPort(webPort);
  base = `http://127.0.0.1:${webPort}`;

  context = await chromium.launchPersistentContext(join(root, 'chromium-profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1280, height: 860 },
  });
  page = context.pages()[0] || await context.newPage();
  page.setDefaultTimeout(20000);
  page.on('dialog', (d) => {
    if (d.type() === 'alert') alerts.push(d.message());
    d.accept();
  });
  page.on('pageerror', (e) => pageErrors.push(e.message));
  // The page must need nothing from outside this machine.
  await context.route((url) => !url.hostname.startsWith('127.'), (route) => {
    pageErrors.push(`outside request: ${route.request().url()}`);
    return route.abort();
  });
});

after(async () => {
  if (context) await context.close();
  for (const c of children.reverse()) {
    if (c.exitCode !== null) continue;
    c.kill('SIGTERM');
    await new Promise((resolve) => {
      const timer = setTimeout(() => { c.kill('SIGKILL'); resolve(); }, 10000);
      c.once('exit', () => { clearTimeout(timer); resolve(); });
    });
  }
  if (site) site.close();
  if (root) rmSync(root, { recursive: true, force: true });
});

test('login: a wrong password is refused, the right one opens the page', async () => {
  await page.goto(`${base}/`);
  assert.match(page.url(), /\/login$/);
  await page.fill('#password', 'not-the-password');
  await page.click('button[type=submit]');
  assert.equal(await page.locator('.error').textContent(), '密码错误');
  await page.fill('#password', PASSWORD);
  await page.click('button[type=submit]');
  await page.waitForURL(`${base}/plugin/qn_rivi/`);
  await page.waitForSelector('body[data-ready="1"]');
  assert.equal(await page.locator('#task-table td.empty').textContent(), '还没有任务，点击“添加任务”创建');
  await shot('01-empty-list');
});

test('create: a bad URL shows the system message and stores nothing', async () => {
  await page.click('#add-task');
  await page.fill('#f-name', 'bad');
  await page.fill('#f-url', 'www.example.org');
  await page.click('#task-save');
  await page.waitForFunction(() => document.getElementById('task-error').textContent !== '');
  assert.equal(await page.locator('#task-error').textContent(), 'URL地址必需包含http://或https://');
  await page.fill('#f-url', 'http://127.0.0.1:1/');
  await page.fill('#f-cycle', '0');
  await page.click('#task-save');
  await page.waitForFunction(() => document.getElementById('task-error').textContent === '拔测周期最短不能少于1分钟');
  await shot('02-bad-form');
  await page.click('#task-cancel');
  assert.equal(await page.locator('#task-table tbody tr .task-name').count(), 0);
});

test('create: a task against the loopback site and one whose name is markup', async () => {
  for (const name of ['本机站点', XSS_NAME]) {
    await page.click('#add-task');
    await page.fill('#f-name', name);
    await page.fill('#f-url', `http://127.0.0.1:${site.address().port}/`);
    await page.fill('#f-cycle', '5');
    await page.click('#task-save');
    await taskRow(name).waitFor();
  }
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
  const totals = await page.$$eval('#probe-nodes tbody tr', (trs) => trs.map((tr) => tr.children[3].textContent));
  const msOf = (t) => (t.endsWith(' s') ? parseFloat(t) * 1000 : parseFloat(t));
  for (let i = 1; i < totals.length; i += 1) assert.ok(msOf(totals[i - 1]) >= msOf(totals[i]), totals.join(', '));
  assert.equal(await rows.first().locator('td').nth(2).textContent(), '200');
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
  // The trend chart is drawn by the charting library, one point per run.
  await page.waitForFunction(() => {
    const c = window.Chart && window.Chart.getChart(document.getElementById('trend-chart'));
    return c && c.data.datasets[0].data.length === 1;
  });
  await page.locator('#log-table button.detail').first().click();
  await page.waitForSelector('#run-detail:not([hidden])');
  const bars = await page.evaluate(() => window.Chart.getChart(document.getElementById('run-chart')).data.labels.length);
  assert.equal(bars, await page.locator('#run-nodes tbody tr').count());
  await shot('05-log');
});

test('one result can be removed from the log', async () => {
  await page.locator('#log-table button.delete').first().click();
  await page.waitForSelector('#log-table td.empty');
  assert.equal(await page.locator('#toast').textContent(), '删除成功!');
});

test('pause and resume switch the task state', async () => {
  await page.click('#nav-tasks');
  const row = taskRow('本机站点');
  await row.locator('button.toggle', { hasText: '暂停' }).click();
  await row.locator('.badge', { hasText: '已暂停' }).waitFor();
  await shot('06-paused');
  await row.locator('button.toggle', { hasText: '恢复' }).click();
  await row.locator('.badge', { hasText: '运行中' }).waitFor();
});

test('edit keeps the system messages and saves a new name', async () => {
  await taskRow('本机站点').locator('button.edit').click();
  assert.equal(await page.inputValue('#f-name'), '本机站点');
  await page.fill('#f-url', 'ftp://127.0.0.1/');
  await page.click('#task-save');
  await page.waitForFunction(() => document.getElementById('task-error').textContent === 'URL地址必需包含http://或https://');
  await page.fill('#f-url', `http://127.0.0.1:${site.address().port}/`);
  await page.fill('#f-name', '本机站点2');
  await page.click('#task-save');
  await taskRow('本机站点2').waitFor();
});

test('the channel settings are shown read-only', async () => {
  await page.click('#nav-settings');
  await page.waitForFunction(() => document.getElementById('mail-settings').textContent.includes('未配置'));
  assert.match(await page.locator('#dingding-settings').textContent(), /未配置/);
  await shot('07-settings');
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
  assert.deepEqual(alerts, []);
  assert.deepEqual(pageErrors, []);
});
