// Every view of the page, the login page and a public status page checked for accessibility
// faults by axe-core (its default rules) in the light and the dark theme, and laid out on a phone
// (375×812): no sideways scroll of the page or of a table, no label, button or header broken
// inside a word, and chart labels that do not overlap. Against the panel with a stand-in dispatch
// centre on loopback whose answers give the tasks every health there is.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { login, startSystem, taskRow } from './harness.mjs';

const AXE = readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
const DESKTOP = { width: 1280, height: 860 };
const PHONE = { width: 375, height: 812 };
const HOUR = 3600;
const now = () => Math.floor(Date.now() / 1000);

const ok = (isp, ip) => ({
  isp, primary_ip: ip, http_code: 200, total_time: 42.5, namelookup_time: 3.1, starttransfer_time: 20.4,
  size_download: 5120, speed_download: 120000, error_code: '', addresses: [ip],
  cert: { not_after: now() + 40 * 86400, days_left: 40, subject: 'CN=up.test', issuer: 'Test CA', names: ['up.test'],
    fingerprint_sha256: `AA:${isp === '电信' ? '01' : '02'}`, verify_error: '' },
});
const refused = (isp) => ({ isp, primary_ip: '解析失败', http_code: 0, total_time: 0, namelookup_time: 0,
  starttransfer_time: 0, size_download: 0, speed_download: 0, error_code: 'refused', error: 'Connection refused' });
const silent = (isp) => ({ isp: '节点未响应', node: isp, primary_ip: '', http_code: 0, total_time: 0 });

// What the lines answer for each task's URL; `failing` turns the healthy site down for a run.
let failing = false;
const LINES = ['电信', '联通', '移动'];
const answers = {
  'https://up.test/': () => (failing ? LINES.map(refused) : LINES.map((l, i) => ok(l, `192.0.2.${10 + i}`))),
  'https://degraded.test/': () => [ok('电信', '192.0.2.20'), ok('联通', '192.0.2.21'), { ...refused('移动'), http_code: 503, error_code: 'http_status' }],
  'https://down.test/': () => LINES.map(refused),
  'https://error.test/': () => LINES.map(silent),
  'https://maint.test/': () => LINES.map((l) => ok(l, '192.0.2.30')),
};
// The centre's node list, asked without a URL.
const NODES = [
  { node: 'local', isp: '电信', state: 'up', last_success: now(), failures: 0, median_ms: 40.2, last_error: '', tls: null },
  { node: 'probe-2.example', address: 'probe-2.example:8891', isp: '联通', state: 'down', last_success: now() - 7200,
    failures: 12, median_ms: 88.1, last_error: 'SSL certificate problem: certificate rejected', tls: 'pin' },
  { node: '10.0.0.7:8891', address: '10.0.0.7:8891', isp: '移动', state: 'unknown', failures: 0, tls: null },
];

let sys;
let page;
const ids = {};
const findings = [];  // every fault found, for the summary by rule

before(async () => {
  sys = await startSystem({
    cronMinute: 86400, prefix: 'a11y',
    standIn: (url) => (url == null ? NODES : (answers[url] ?? (() => []))()),
  });
  page = sys.page;
});

after(async () => {
  const byRule = new Map();
  for (const f of findings) byRule.set(f.rule, (byRule.get(f.rule) || 0) + 1);
  console.log(`accessibility and layout faults: ${findings.length}`
    + [...byRule].map(([rule, n]) => `\n  ${rule}: ${n}`).join(''));
  if (sys) await sys.stop();
});

// Two frames: the page has restyled and the charts have redrawn after a theme or size change.
const settle = () => page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));

// axe-core's default rules on the document as it is (or on the elements `scope` selects); answers
// the violations, one line per node.
async function axe(scope = null) {
  if (!(await page.evaluate(() => typeof window.axe !== 'undefined'))) await page.evaluate(AXE);
  const violations = await page.evaluate(async (within) => (await window.axe.run(within ?? document, { resultTypes: ['violations'] }))
    .violations.map((v) => ({ id: v.id, impact: v.impact, help: v.help, nodes: v.nodes.map((n) => ({
      target: n.target.join(' '), why: (n.failureSummary || '').split('\n').slice(1).join(' ').trim(),
    })) })), scope);
  return violations.flatMap((v) => v.nodes.map((n) => ({ rule: v.id, text: `${v.id} (${v.impact}): ${v.help} — ${n.target}: ${n.why}` })));
}

// What is wrong with the layout on a narrow screen: the page or a table wider than its box, a
// table cell without its column's label, a label, button or header broken inside a word, chart
// labels turned or on top of each other.
function layoutFaults() {
  return page.evaluate(() => {
    const out = [];
    const shown = (el) => el.getClientRects().length > 0 && getComputedStyle(el).visibility !== 'hidden';
    const name = (el) => {
      if (el.id) return `#${el.id}`;
      const classes = typeof el.className === 'string' ? el.className.trim().split(/\s+/).filter(Boolean) : [];
      return [el.tagName.toLowerCase(), ...classes].join('.');
    };
    const root = document.documentElement;
    if (root.scrollWidth > root.clientWidth) out.push(['page-width', `the page is ${root.scrollWidth}px wide in ${root.clientWidth}px`]);
    for (const table of document.querySelectorAll('table')) {
      if (!shown(table)) continue;
      const box = table.parentElement;
      if (table.scrollWidth > table.clientWidth + 1 || box.scrollWidth > box.clientWidth + 1
        || table.getBoundingClientRect().right > root.clientWidth + 0.5) {
        out.push(['table-width', `table ${name(table)} is ${table.scrollWidth}px wide in ${box.clientWidth}px`]);
      }
      // As cards, a cell says which column it is (a row spanning the table says it all itself).
      for (const td of table.querySelectorAll('td')) {
        if (td.colSpan === 1 && !td.dataset.label && table.tHead?.textContent.trim()) {
          out.push(['cell-label', `a cell of table ${name(table)} ("${td.textContent.trim().slice(0, 20)}") has no label`]);
        }
      }
    }
    // A line may end at a blank or after punctuation, and a line may start with an opening mark;
    // anywhere else the line break cut a word.
    const mayBreak = (a, b) => /[\s\p{P}\p{S}]/u.test(a) || /[\s\p{Ps}\p{Pi}]/u.test(b);
    const labels = document.querySelectorAll(
      'button, th, label, .badge, nav a, summary, h1, h2, h3, h4, .stat-label, .pager span, .toolbar > span');
    const seen = new Set();
    for (const el of labels) {
      if (!shown(el)) continue;
      const walker = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
      for (let node = walker.nextNode(); node; node = walker.nextNode()) {
        if (seen.has(node) || !node.textContent.trim()) continue;
        seen.add(node);
        const text = node.textContent;
        const range = document.createRange();
        let prev = null;
        for (let i = 0; i < text.length; i += 1) {
          range.setStart(node, i);
          range.setEnd(node, i + 1);
          const rect = range.getClientRects()[0];
          if (!rect || !rect.width) continue;
          if (prev && rect.top > prev.rect.top + prev.rect.height / 2 && !mayBreak(text[prev.i], text[i])) {
            out.push(['word-break', `${name(el)} breaks "${text.trim()}" between "${text[prev.i]}" and "${text[i]}"`]);
            break;
          }
          prev = { rect, i };
        }
      }
    }
    // Chart labels: level, and each clear of its neighbours.
    for (const canvas of document.querySelectorAll('canvas')) {
      const chart = window.Chart && window.Chart.getChart(canvas);
      if (!chart || !shown(canvas)) continue;
      const x = chart.scales.x;
      if (x.labelRotation) out.push(['chart-axis', `${name(canvas)}: the x labels are turned ${Math.round(x.labelRotation)}°`]);
      const ctx = canvas.getContext('2d');
      ctx.font = window.Chart.helpers.toFont(x.options.ticks.font).string;
      const boxes = x.ticks.map((t, i) => {
        const w = ctx.measureText(String(t.label)).width;
        const at = x.getPixelForTick(i);
        return [at - w / 2, at + w / 2, t.label];
      });
      for (let i = 1; i < boxes.length; i += 1) {
        if (boxes[i][0] < boxes[i - 1][1] + 2) {
          out.push(['chart-axis', `${name(canvas)}: the x labels "${boxes[i - 1][2]}" and "${boxes[i][2]}" overlap`]);
        }
      }
    }
    return out.map(([rule, text]) => ({ rule, text: `${rule}: ${text}` }));
  });
}

// Checks what is shown now: axe in both themes on a desktop screen, then axe and the layout on a
// phone. The faults wait in `pending` for the end of the test (see `checked`).
let pending = [];
async function audit(view) {
  const faults = [];
  const at = async (where) => {
    await settle();
    for (const f of await axe()) faults.push({ ...f, text: `[${view}, ${where}] ${f.text}` });
  };
  for (const colorScheme of ['light', 'dark']) {
    await page.emulateMedia({ colorScheme });
    await at(colorScheme);
  }
  await page.setViewportSize(PHONE);
  await page.emulateMedia({ colorScheme: 'light' });
  await at('phone');
  for (const f of await layoutFaults()) faults.push({ ...f, text: `[${view}, phone] ${f.text}` });
  await sys.shot(`${view.replace(/[^\w-]+/g, '-')}-phone`);
  await page.setViewportSize(DESKTOP);
  await settle();
  findings.push(...faults);
  pending.push(...faults);
}

// A test body that audits one view or more, failing with every fault found there, one a line.
const checked = (body) => async () => {
  pending = [];
  await body();
  assert.equal(pending.length, 0, `${pending.length} faults:\n${pending.map((f) => f.text).join('\n')}`);
};

// The page loaded afresh (not a jump within it), refreshing itself no more than once an hour.
const openPage = async (hash = '') => {
  await page.goto('about:blank');
  await page.goto(`${sys.base}/plugin/qn_rivi/?refresh=3600${hash}`);
  await page.waitForSelector('body[data-ready="1"]');
};

async function create(name, url) {
  assert.equal((await sys.panelCall('create', `name2=${name}`, `url=${url}`, 'cycle=5')).status, true);
  ids[name] = (await sys.panelCall('get_overview', `search=${url}`)).data[0].id;
}

test('the login page, with a refused password', checked(async () => {
  await page.goto(`${sys.base}/`);
  await page.fill('#password', 'not-the-password');
  await page.click('button[type=submit]');
  await page.waitForSelector('.error');
  await audit('login');
}));

test('an empty task list', checked(async () => {
  await login(sys);
  await openPage();
  await page.waitForSelector('#task-table td.empty');
  await audit('empty-list');
}));

test('a list with a task in every health', checked(async () => {
  await create('正常站点', 'https://up.test/');
  await create('部分异常站点', 'https://degraded.test/');
  await create('异常站点', 'https://down.test/');
  await create('调度失败站点', 'https://error.test/');
  await create('维护中站点', 'https://maint.test/');
  await create('已暂停站点', 'https://paused.test/');
  await create('新站点', 'https://new.test/');
  // A day of the healthy site's runs, one every three hours, two of them failed.
  for (let k = 8; k >= 1; k -= 1) {
    failing = k === 3 || k === 6;
    await sys.panelCallAt(now() - k * 3 * HOUR, 'start', `id=${ids['正常站点']}`);
  }
  failing = false;
  for (const name of ['正常站点', '部分异常站点', '异常站点', '调度失败站点', '维护中站点']) await sys.panelCall('start', `id=${ids[name]}`);
  assert.equal((await sys.panelCall('set_maintenance', 'kind=once', `pid=${ids['维护中站点']}`,
    `start=${localInput(now() - HOUR)}`, `end=${localInput(now() + 2 * HOUR)}`, 'note=换机房')).status, true);
  await sys.panelCall('modify', `id=${ids['已暂停站点']}`, 'status=0');
  await sys.panelCall('set_tags', `pid=${ids['正常站点']}`, 'tags=public,web');
  await openPage();
  const healths = await page.locator('#task-table tbody tr[data-id]').evaluateAll((rows) => rows.map((r) => r.dataset.health).sort());
  assert.deepEqual(healths, ['degraded', 'down', 'error', 'maintenance', 'paused', 'unknown', 'up']);
  await audit('list');
}));

test('a task\'s log with its charts, a run\'s detail and the resolution tab', checked(async () => {
  await openPage(`#log=${ids['正常站点']}`);
  await page.waitForFunction(() => window.Chart && window.Chart.getChart(document.getElementById('trend-chart')));
  await page.check('#isp-lines');
  await audit('log');
  await page.locator('#log-table tbody tr[data-id] button.detail').first().click();
  await page.waitForFunction(() => window.Chart && window.Chart.getChart(document.getElementById('run-chart')));
  await audit('run-detail');
  await page.click('#log-tab-resolve');
  await page.waitForSelector('#resolve-table tbody tr[data-isp]');
  await audit('resolution');
}));

test('a failing task\'s log with its incidents', checked(async () => {
  await openPage(`#log=${ids['异常站点']}`);
  await page.waitForSelector('#incident-table tbody tr[data-id]');
  await audit('incidents');
}));

test('the dialogs: probe now, add and edit a task, import, bulk result', checked(async () => {
  await openPage();
  await taskRow(page, '正常站点').locator('button.probe').click();
  await page.waitForSelector('#probe-nodes tbody tr');
  await audit('probe-dialog');
  await page.click('#probe-close');

  await page.click('#add-task');
  await page.click('#checks-section summary');
  await page.click('#task-save');  // empty: the form marks its field and says why
  await page.waitForSelector('#f-name[aria-invalid="true"]');
  await audit('add-task');
  await page.click('#task-cancel');
  await taskRow(page, '部分异常站点').locator('button.edit').click();
  await page.waitForFunction(() => document.getElementById('task-dialog-title').textContent === '编辑任务');
  await audit('edit-task');
  await page.click('#task-cancel');

  await page.click('#import-open');
  await page.fill('#import-data', 'https://up.test/\nhttps://another.test/\nftp://nowhere/\n');
  await page.click('#import-preview-button');
  await page.waitForFunction(() => document.querySelectorAll('#import-preview tbody tr').length === 3);
  await audit('import-dialog');
  await page.click('#import-cancel');

  await taskRow(page, '正常站点').locator('input.pick').check();
  await taskRow(page, '已暂停站点').locator('input.pick').check();
  await page.click('#bulk-bar [data-action="resume"]');
  await page.waitForSelector('#bulk-dialog[open]');
  await audit('bulk-dialog');
  await page.click('#bulk-close');
}));

test('the nodes, certificates and maintenance views', checked(async () => {
  await openPage('#nodes');
  await page.waitForSelector('#node-table tbody tr[data-node]');
  await audit('nodes');
  await openPage('#certs');
  await page.waitForSelector('#cert-table tbody tr[data-pid]');
  await audit('certs');
  await openPage('#maintenance');
  await page.waitForSelector('#maint-all tbody tr[data-id]');
  await page.locator('#maint-all [name=kind]').selectOption('weekly');
  await audit('maintenance');
}));

test('the settings: mail, DingTalk, robots, alert policy, status pages, tokens and the deliveries', checked(async () => {
  // A robot posting to the loopback site.
  assert.equal((await sys.panelCall('set_channel', 'kind=webhook', 'name=值班机器人', `url=${sys.siteUrl}notify`,
    'tags=web', 'enabled=1')).status, true);
  assert.equal((await sys.panelCall('set_status_page', 'slug=site', 'title=服务状态', 'tag=public',
    'description=我们网站的运行情况')).status, true);
  await openPage('#settings');
  await page.waitForSelector('#status-pages tbody tr[data-slug]');
  await page.waitForFunction(() => document.getElementById('view-settings').getAttribute('aria-busy') === 'false');
  // Its test answers in the form and, once the view is read again after a save, in the deliveries.
  await page.locator('#robots tbody tr[data-id] .robot-test').click();
  await page.waitForSelector('#robot-test-answer.ok');
  await page.click('#policy-save');
  await page.waitForSelector('#deliveries tbody td[data-label]');
  await page.fill('#token-name', '巡检脚本');
  await page.click('#token-form button[type=submit]');
  await page.waitForSelector('#token-made:not([hidden])');
  await page.locator('#robots tbody tr[data-id] .robot-edit').click();
  await audit('settings');

  // A refusal's toast, in the dark theme, while it shows.
  await page.emulateMedia({ colorScheme: 'dark' });
  await page.fill('#s-error-after', '0');
  await page.click('#policy-save');
  await page.waitForSelector('#toast.show.bad');
  const toast = (await axe('#toast')).map((f) => ({ ...f, text: `[toast, dark] ${f.text}` }));
  findings.push(...toast);
  pending.push(...toast);
  await page.emulateMedia({ colorScheme: 'light' });
}));

test('a public status page', checked(async () => {
  const res = await page.goto(`${sys.base}/status/site`);
  assert.equal(res.status(), 200);
  await audit('status-page');
}));

// "YYYY-MM-DDTHH:MM" of Unix seconds on this machine's clock, which the panel shares.
function localInput(sec) {
  const d = new Date(sec * 1000);
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}T${p(d.getHours())}:${p(d.getMinutes())}`;
}
