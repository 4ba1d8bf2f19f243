// The probing monitor's page: task list with each task's health, the probe log with availability,
// incidents and hourly charts, and the channel settings. Every text that came from a user or a
// probe reaches the document as a text node or an attribute value set through the DOM; nothing
// here parses HTML. The page refreshes itself in place (see `refresh`), never touching a dialog.
'use strict';

const state = {
  csrf: null, taskPage: 1, search: '', health: '', logPage: 1, logTask: null, incidentPage: 1,
  days: 7, ispLines: false, avail: null, charts: {}, seq: { tasks: 0, log: 0 }, refreshes: 0,
};

const TITLE = '拨测监控';

// Health values in the order the filters show them: [label, badge class].
const HEALTH = {
  up: ['正常', 'ok'],
  degraded: ['部分异常', 'warn'],
  down: ['异常', 'bad'],
  error: ['调度失败', 'err'],
  unknown: ['未拨测', 'off'],
  paused: ['已暂停', 'off'],
};

// ---- talking to the panel -------------------------------------------------------------------

async function loadSession() {
  const res = await fetch('/api/session', { credentials: 'same-origin' });
  if (res.status === 401) {
    location.href = '/login';
    return false;
  }
  state.csrf = (await res.json()).csrf;
  return true;
}

// Calls a plug-in method with `args` as form fields; answers its JSON answer. Throws an Error
// with the panel's message when the call fails.
async function call(method, args = {}) {
  const body = new URLSearchParams();
  for (const [k, v] of Object.entries(args)) body.append(k, String(v));
  const res = await fetch(`/plugin?action=a&name=qn_rivi&s=${encodeURIComponent(method)}`, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'X-CSRF-Token': state.csrf },
    body,
  });
  let data = null;
  try {
    data = await res.json();
  } catch {
    data = null;
  }
  if (res.status === 401) {
    location.href = '/login';
    throw new Error('未登录');
  }
  if (!res.ok) throw new Error((data && data.msg) || `请求失败 (HTTP ${res.status})`);
  return data;
}

// A query's answer, or an Error with the envelope's message when it refused.
async function query(method, args) {
  const answer = await call(method, args);
  if (answer && answer.status === false) throw new Error(answer.msg || '请求失败');
  return answer;
}

// ---- small helpers --------------------------------------------------------------------------

// Builds an element; string children become text nodes.
function h(tag, props = {}, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (v === false || v == null) continue;
    if (k === 'class') el.className = v;
    else if (k.startsWith('on')) el.addEventListener(k.slice(2), v);
    else el.setAttribute(k, v === true ? '' : String(v));
  }
  for (const c of children.flat()) {
    if (c == null || c === false) continue;
    el.append(c instanceof Node ? c : String(c));
  }
  return el;
}

// The same for SVG elements (attributes only, no handlers).
function svg(tag, attrs = {}, ...children) {
  const el = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [k, v] of Object.entries(attrs)) if (v != null) el.setAttribute(k, String(v));
  for (const c of children.flat()) if (c != null) el.append(c instanceof Node ? c : String(c));
  return el;
}

const $ = (id) => document.getElementById(id);

// Sets a text only when it changes, so that a live region is not announced again on a refresh.
function setText(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

function toast(text, bad = false) {
  const t = $('toast');
  t.textContent = text;
  t.className = bad ? 'show bad' : 'show';
  clearTimeout(toast.timer);
  toast.timer = setTimeout(() => { t.className = ''; }, 4000);
}

const pad = (n) => String(n).padStart(2, '0');

// Unix seconds -> local "YYYY-MM-DD HH:MM:SS"; empty values -> "".
function localTime(sec) {
  const n = Number(sec);
  if (!sec || !Number.isFinite(n)) return '';
  const d = new Date(n * 1000);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
    `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

function hourLabel(sec, withDay) {
  const d = new Date(Number(sec) * 1000);
  const hm = `${pad(d.getHours())}:00`;
  return withDay ? `${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${hm}` : hm;
}

const nowSec = () => Date.now() / 1000;

// Seconds -> "3天2小时", "5小时10分钟", "12分钟", "40秒".
function duration(sec) {
  const s = Math.max(0, Math.floor(Number(sec) || 0));
  const d = Math.floor(s / 86400);
  const hr = Math.floor((s % 86400) / 3600);
  const m = Math.floor((s % 3600) / 60);
  if (d) return hr ? `${d}天${hr}小时` : `${d}天`;
  if (hr) return m ? `${hr}小时${m}分钟` : `${hr}小时`;
  if (m) return `${m}分钟`;
  return `${s}秒`;
}

const isNum = (v) => typeof v === 'number' && Number.isFinite(v);

function ms(v) {
  if (!isNum(v)) return v == null || v === '' ? '—' : String(v);
  return v >= 1000 ? `${(v / 1000).toFixed(2)} s` : `${v.toFixed(2)} ms`;
}

const percent = (v) => (isNum(v) ? `${v.toFixed(2)}%` : '—');
const percentClass = (v) => (!isNum(v) ? 'pct none' : v >= 99 ? 'pct good' : v >= 90 ? 'pct warn' : 'pct bad');

function bytes(v, suffix = '') {
  if (!isNum(v)) return v == null || v === '' ? '—' : String(v);
  const units = ['B', 'KB', 'MB', 'GB'];
  let i = 0;
  while (v >= 1024 && i < units.length - 1) { v /= 1024; i += 1; }
  return `${i === 0 ? v : v.toFixed(2)} ${units[i]}${suffix}`;
}

const GOOD_CODES = [200, 301, 302, 401, 403];
const NO_ANSWER = '节点未响应';
const nodeFailed = (n) => n && n.isp !== NO_ANSWER && !GOOD_CODES.includes(Number(n.http_code));

const UNKNOWN_ERROR = '未知错误';
const DETAIL_CHARS = 120;  // of a node's own text shown in its detail

const ERROR_WORDS = {
  refused: '连接被拒绝',
  timeout: '连接超时',
  dns: '域名解析失败',
  tls: '证书错误',
  inner_address: '内部地址被拒绝',
  too_large: '响应过大',
  connect: '连接失败',
  no_answer: NO_ANSWER,
};

// Why a node failed, in words; "" for a node that answered well. Rows stored before nodes sent
// an `error_code` say only their status: a failed transfer there had the status 0. A code that is
// not one of the centre's reads "未知错误" (its text only in the detail, `nodeDetail`).
function nodeReason(n) {
  const code = n.error_code;
  if (typeof code === 'string') {
    if (code === 'http_status') return `状态码 ${n.http_code}`;
    return code === '' ? '' : ERROR_WORDS[code] || UNKNOWN_ERROR;
  }
  if (n.isp === NO_ANSWER) return NO_ANSWER;
  if (!nodeFailed(n)) return '';
  return Number(n.http_code) > 0 ? `状态码 ${Number(n.http_code)}` : '连接失败';
}

// `text` cut to `limit` characters, "…" marking the cut.
const capped = (text, limit) => (text.length > limit ? `${text.slice(0, limit)}…` : text);

// A node's own words for the reason cell's detail (its title): a code that is not the centre's,
// then the error text, each cut short; null when there are none.
function nodeDetail(n) {
  const code = n.error_code;
  const parts = [];
  if (typeof code === 'string' && code && code !== 'http_status' && !(code in ERROR_WORDS)) {
    parts.push(`错误代码: ${capped(code, DETAIL_CHARS)}`);
  }
  if (n.error) parts.push(capped(String(n.error), DETAIL_CHARS));
  return parts.length ? parts.join('\n') : null;
}

// The node list of a log row: already decoded when the summary succeeded, else the stored text.
function nodesOf(row) {
  if (Array.isArray(row.data)) return row.data;
  try {
    const v = JSON.parse(row.data);
    return Array.isArray(v) ? v : [];
  } catch {
    return [];
  }
}

// "2/5 节点失败: 连接被拒绝、连接超时", or "" when every node answered well.
function runSummary(nodes) {
  const bad = nodes.filter((n) => nodeFailed(n) || n.isp === NO_ANSWER);
  if (!bad.length) return '';
  const words = [...new Set(bad.map(nodeReason).filter(Boolean))].slice(0, 3);
  return `${bad.length}/${nodes.length} 节点失败${words.length ? `: ${words.join('、')}` : ''}`;
}

function pager(el, page, go) {
  el.replaceChildren();
  if (!page || !Number(page.count)) return;
  const p = Number(page.p) || 1;
  const pages = Number(page.pages) || 0;
  el.append(
    h('button', { type: 'button', disabled: p <= 1, onclick: () => go(p - 1) }, '上一页'),
    h('span', {}, `第 ${pages ? p : 0} / ${pages} 页，共 ${page.count ?? 0} 条`),
    h('button', { type: 'button', disabled: p >= pages, onclick: () => go(p + 1) }, '下一页'),
  );
}

function nodeTable(table, nodes) {
  table.replaceChildren(
    h('thead', {}, h('tr', {}, ['节点(ISP)', 'IP', '状态码', '原因', '总耗时', '解析耗时', '首字节', '大小', '速度']
      .map((t) => h('th', { scope: 'col' }, t)))),
    h('tbody', {}, nodes.map((n) => {
      const reason = nodeReason(n);
      // Failing nodes carry the report's fixed text in place of their address; with a known
      // cause other than resolution that text would mislead.
      const ip = n.primary_ip === '解析失败' && n.error_code && n.error_code !== 'dns' ? '' : n.primary_ip;
      const isp = n.isp === NO_ANSWER && n.node ? `${NO_ANSWER}（${n.node}）` : n.isp;
      return h('tr', { class: nodeFailed(n) ? 'bad' : (n.isp === NO_ANSWER ? 'muted' : '') },
        h('td', {}, isp ?? '—'),
        h('td', {}, ip || '—'),
        h('td', {}, n.http_code == null || n.http_code === '' ? '—' : String(n.http_code)),
        h('td', { class: 'reason', title: nodeDetail(n) }, reason || (n.isp === NO_ANSWER ? '' : '正常')),
        h('td', { class: 'num' }, ms(n.total_time)),
        h('td', { class: 'num' }, ms(n.namelookup_time)),
        h('td', { class: 'num' }, ms(n.starttransfer_time)),
        h('td', { class: 'num' }, bytes(n.size_download)),
        h('td', { class: 'num' }, bytes(n.speed_download, '/s')),
      );
    })),
  );
}

// ---- charts ---------------------------------------------------------------------------------

const cssVar = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();
const ISP_COLORS = ['#3b82f6', '#f59e0b', '#a855f7', '#14b8a6', '#ec4899', '#84cc16', '#f97316', '#06b6d4'];

function applyChartTheme() {
  if (typeof Chart === 'undefined') return;
  Chart.defaults.color = cssVar('--chart-text');
  Chart.defaults.borderColor = cssVar('--chart-grid');
}

// Draws a chart into `canvas`, or updates the one already there so that a refresh does not flash.
function drawChart(key, canvas, config) {
  if (typeof Chart === 'undefined') return;
  applyChartTheme();
  const old = state.charts[key];
  if (old && old.canvas === canvas && old.config.type === config.type) {
    old.data = config.data;
    old.options = config.options;
    old.update('none');
    return;
  }
  if (old) old.destroy();
  state.charts[key] = new Chart(canvas, config);
}

// Sparkline of a task's last runs ([addtime, mean_ms | null, status]): the mean time as a line,
// broken where no node answered well, and a red dot on every anomalous run.
function sparkline(trend) {
  const W = 120;
  const H = 28;
  const runs = Array.isArray(trend) ? trend.filter(Array.isArray) : [];
  const values = runs.map((r) => (isNum(r[1]) ? r[1] : null));
  const max = Math.max(1, ...values.filter((v) => v != null));
  const x = (i) => (runs.length > 1 ? 3 + (i * (W - 6)) / (runs.length - 1) : W / 2);
  const y = (v) => H - 3 - ((v ?? 0) / max) * (H - 6);
  let d = '';
  let pen = false;
  values.forEach((v, i) => {
    if (v == null) { pen = false; return; }
    d += `${pen ? 'L' : 'M'}${x(i).toFixed(1)} ${y(v).toFixed(1)}`;
    pen = true;
  });
  const bad = runs.map((r, i) => [r, i]).filter(([r]) => Number(r[2]) === 0);
  const good = values.filter((v) => v != null);
  const mean = good.length ? good.reduce((a, b) => a + b, 0) / good.length : null;
  const label = runs.length
    ? `最近${runs.length}次拨测：平均耗时 ${ms(mean)}，异常 ${bad.length} 次` : '暂无拨测';
  return svg('svg', { class: 'spark', width: W, height: H, viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': label },
    svg('title', {}, label),
    svg('line', { class: 'base', x1: 0, x2: W, y1: H - 2.5, y2: H - 2.5 }),
    d ? svg('path', { class: 'line', d }) : null,
    values.length === 1 && values[0] != null ? svg('circle', { class: 'dot', cx: x(0), cy: y(values[0]), r: 2 }) : null,
    bad.map(([r, i]) => svg('circle', { class: 'bad', cx: x(i).toFixed(1), cy: y(values[i]).toFixed(1), r: 2.5 })));
}

// ---- monitor state, title, filters ----------------------------------------------------------

function showMonitor(monitor, counts) {
  const banner = $('monitor-banner');
  const m = monitor || {};
  const reason = String(m.reason ?? '');
  if (m.state === 'error') {
    setText($('monitor-banner-text'), `调度中心无法连接: ${reason.replace(/^调度中心无法连接[:：]\s*/, '') || '未知原因'}`);
    setText($('monitor-banner-detail'), '最近的拨测都没有结果，监控数据不再更新。');
  } else if (m.state === 'stale') {
    setText($('monitor-banner-text'), '拨测已停止: 超过两个周期没有任务运行');
    setText($('monitor-banner-detail'), reason);
  }
  banner.hidden = m.state !== 'error' && m.state !== 'stale';
  banner.className = `banner ${m.state === 'error' ? 'error' : 'stale'}`;
  if (counts) {
    const down = Number(counts.down) || 0;
    document.title = down ? `(${down} 异常) ${TITLE}` : TITLE;
  }
}

function showFilters(counts) {
  const c = counts || {};
  const total = Object.keys(HEALTH).reduce((s, k) => s + (Number(c[k]) || 0), 0);
  const button = (health, label, n, cls) => h('button', {
    type: 'button', class: `filter ${cls}`, 'data-health': health, 'aria-pressed': String(state.health === health),
    onclick: () => { state.health = health; state.taskPage = 1; showTasks().catch(fail); },
  }, h('span', { class: 'dot', 'aria-hidden': 'true' }), `${label} `, h('span', { class: 'count' }, String(n)));
  const focused = document.activeElement && document.activeElement.closest('#health-filters')
    ? document.activeElement.dataset.health : null;
  $('health-filters').replaceChildren(
    button('', '全部', total, 'all'),
    ...Object.entries(HEALTH).map(([k, [label, cls]]) => button(k, label, Number(c[k]) || 0, cls)),
  );
  if (focused != null) $('health-filters').querySelector(`[data-health="${focused}"]`)?.focus();
}

// ---- task list ------------------------------------------------------------------------------

function healthCell(task) {
  const [label, cls] = HEALTH[task.health] || [String(task.health ?? '未知'), 'off'];
  const lasting = task.since && !['up', 'unknown', 'paused'].includes(task.health)
    ? `已持续 ${duration(nowSec() - Number(task.since))}` : '';
  return h('div', { class: 'health' },
    h('span', { class: `badge ${cls}` }, label),
    task.reason ? h('div', { class: `reason clamp ${cls}`, title: task.reason }, task.reason) : null,
    lasting ? h('div', { class: 'muted small' }, lasting) : null);
}

function taskRowOf(task) {
  const running = Number(task.status) === 1;
  const logHref = `#log=${encodeURIComponent(task.id)}`;
  return h('tr', { 'data-id': task.id, 'data-health': task.health },
    h('td', { 'data-label': '名称', class: 'name' }, h('div', {},
      h('a', { href: logHref, class: 'task-name' }, task.name ?? ''),
      h('div', { class: 'url muted small' }, task.url ?? ''))),
    h('td', { 'data-label': '健康' }, healthCell(task)),
    h('td', { 'data-label': '最近耗时', class: 'num last-time' }, ms(task.last_total_time)),
    h('td', { 'data-label': '可用率', class: 'uptime' }, h('div', {},
      h('div', {}, h('span', { class: 'muted small' }, '24小时 '), h('span', { class: percentClass(task.uptime_24h) }, percent(task.uptime_24h))),
      h('div', {}, h('span', { class: 'muted small' }, '7天 '), h('span', { class: percentClass(task.uptime_7d) }, percent(task.uptime_7d))))),
    h('td', { 'data-label': '最后拨测' }, localTime(task.last_run) || (task.health === 'error' ? '尚无结果' : '从未拨测')),
    h('td', { 'data-label': '近30次' }, sparkline(task.trend)),
    h('td', { 'data-label': '调度' }, h('div', {},
      h('div', { class: 'nowrap' }, h('span', { class: `sched ${running ? 'on' : 'off'}` }, running ? '运行中' : '已暂停'),
        h('span', { class: 'muted small' }, ` 每${task.cycle}分钟`)),
      h('button', { type: 'button', class: 'link toggle', onclick: () => toggleTask(task, running) }, running ? '暂停' : '恢复'))),
    h('td', { 'data-label': '操作', class: 'ops' }, h('span', { class: 'group' },
      h('button', { type: 'button', class: 'link probe', onclick: (e) => probeNow(task, e.currentTarget) }, '立即拨测'),
      h('a', { href: logHref, class: 'link' }, '日志'),
      h('button', { type: 'button', class: 'link edit', onclick: () => openTaskForm(task) }, '编辑'),
      h('button', { type: 'button', class: 'link danger delete', onclick: () => deleteTask(task) }, '删除'))),
  );
}

// Which control of the task table has the focus, to give it back after the rows are rebuilt.
function focusKey() {
  const el = document.activeElement;
  const row = el && el.closest ? el.closest('#task-table tr[data-id]') : null;
  return row ? [row.dataset.id, el.className, el.textContent] : null;
}

function restoreFocus(key) {
  if (!key) return;
  const row = document.querySelector(`#task-table tr[data-id="${CSS.escape(key[0])}"]`);
  const el = row && [...row.querySelectorAll('a, button')].find((c) => c.className === key[1] && c.textContent === key[2]);
  if (el) el.focus();
}

// Reads the overview with the current page, search and health filter and renders the counts,
// the banner, the title and the rows in place. A slower, older answer never overwrites a newer.
async function showTasks() {
  const seq = ++state.seq.tasks;
  const args = { p: state.taskPage };
  if (state.search) args.search = state.search;
  if (state.health) args.health = state.health;
  const [list, all] = await Promise.all([
    query('get_overview', args),
    // The title counts every task, not only those matching the search.
    state.search ? query('get_overview', { p: 1 }) : null,
  ]);
  if (seq !== state.seq.tasks) return;
  showMonitor(list.monitor, (all || list).counts);
  showFilters(list.counts);
  const key = focusKey();
  const tbody = $('task-table').tBodies[0];
  const rows = (list.data || []).map(taskRowOf);
  if (!rows.length) {
    const text = state.health ? `没有“${HEALTH[state.health]?.[0] ?? state.health}”的任务`
      : state.search ? '没有匹配的任务' : '还没有任务，点击“添加任务”创建';
    rows.push(h('tr', {}, h('td', { colspan: 8, class: 'empty' }, text)));
  }
  tbody.replaceChildren(...rows);
  restoreFocus(key);
  pager($('task-pager'), list.page, (p) => { state.taskPage = p; showTasks().catch(fail); });
}

async function toggleTask(task, running) {
  const answer = await call('modify', { id: task.id, status: running ? 0 : 1 }).catch(fail);
  if (!answer) return;
  toast(answer.msg, !answer.status);
  await showTasks().catch(fail);
}

async function deleteTask(task) {
  if (!confirm(`确定删除任务“${task.name}”及其全部拨测记录吗？`)) return;
  const answer = await call('remove', { id: task.id }).catch(fail);
  if (!answer) return;
  toast(answer.msg, !answer.status);
  await showTasks().catch(fail);
}

async function probeNow(task, button) {
  const dialog = $('probe-dialog');
  $('probe-title').textContent = `立即拨测：${task.name}`;
  $('probe-msg').textContent = '拨测中，请稍候…';
  $('probe-nodes').replaceChildren();
  button.disabled = true;
  dialog.showModal();
  try {
    const answer = await call('start', { id: task.id });
    if (Array.isArray(answer)) {
      const failed = answer.filter(nodeFailed).length;
      const summary = runSummary(answer);
      $('probe-msg').textContent = `${answer.length} 个节点，按耗时从慢到快排列；失败节点 ${failed} 个。${summary ? ` ${summary}` : ''}`;
      nodeTable($('probe-nodes'), answer);
    } else {
      $('probe-msg').textContent = (answer && answer.msg) || '拨测失败';
    }
  } catch (e) {
    $('probe-msg').textContent = e.message;
  } finally {
    button.disabled = false;
  }
  showTasks().catch(fail);
}

// The first mistake in the task form as [field id, message], or null. The server has rules of its
// own; these catch what a person most often gets wrong before anything is sent.
function taskFormError() {
  const cycle = $('f-cycle').value.trim();
  if (!$('f-name').value.trim()) return ['f-name', '请输入任务名称'];
  if (!/^https?:\/\/\S/.test($('f-url').value.trim())) return ['f-url', 'URL必须以http://或https://开头'];
  if (!/^\d+$/.test(cycle) || Number(cycle) < 1 || Number(cycle) > 43200) return ['f-cycle', '周期应为1到43200之间的整数分钟'];
  return null;
}

function markInvalid(field) {
  for (const id of ['f-name', 'f-url', 'f-cycle']) {
    if (id === field) $(id).setAttribute('aria-invalid', 'true');
    else $(id).removeAttribute('aria-invalid');
  }
}

// Create (task null) or edit form; the panel's own messages are shown as they come.
function openTaskForm(task) {
  const dialog = $('task-dialog');
  state.editing = task ? task.id : null;
  $('task-dialog-title').textContent = task ? '编辑任务' : '添加任务';
  $('f-name').value = task ? task.name ?? '' : '';
  $('f-url').value = task ? task.url ?? '' : '';
  $('f-cycle').value = task ? task.cycle : 5;
  $('task-error').textContent = '';
  markInvalid(null);
  dialog.showModal();
  $('f-name').focus();
}

async function saveTask(event) {
  event.preventDefault();
  const wrong = taskFormError();
  markInvalid(wrong && wrong[0]);
  if (wrong) {
    $('task-error').textContent = wrong[1];
    $(wrong[0]).focus();
    return;
  }
  const args = { name2: $('f-name').value.trim(), url: $('f-url').value.trim(), cycle: $('f-cycle').value.trim() };
  if (state.editing != null) args.id = state.editing;
  $('task-error').textContent = '';
  $('task-save').disabled = true;
  try {
    const answer = await call(state.editing != null ? 'modify' : 'create', args);
    if (answer && answer.status) {
      $('task-dialog').close();
      toast(answer.msg);
      if (state.editing == null) state.taskPage = 1;
      await showTasks();
    } else {
      $('task-error').textContent = (answer && answer.msg) || '保存失败';
    }
  } catch (e) {
    $('task-error').textContent = e.message;
  } finally {
    $('task-save').disabled = false;
  }
}

// ---- probe log ------------------------------------------------------------------------------

async function showLog(id) {
  if (state.logTask !== id) {
    state.logTask = id;
    state.logPage = 1;
    state.incidentPage = 1;
    state.avail = null;
    $('run-detail').hidden = true;
  }
  const seq = ++state.seq.log;
  const [task, log, incidents, avail, deliveries] = await Promise.all([
    call('get_find', { id }),
    query('get_task_log', { pid: id, p: state.logPage }),
    query('get_incidents', { pid: id, p: state.incidentPage }),
    query('get_availability', { pid: id, days: state.days }),
    call('get_deliveries', { pid: id }),
  ]);
  if (seq !== state.seq.log) return;
  $('log-title').textContent = task && task.name != null ? `拨测日志：${task.name}` : `拨测日志：任务 ${id}`;
  $('log-url').textContent = task && task.url ? task.url : '';
  showLogRows(id, log);
  showIncidents(id, incidents);
  showDeliveries(deliveries, 'log-deliveries');
  for (const [key, el] of [['uptime_24h', 'avail-24h'], ['uptime_7d', 'avail-7d'], ['uptime_30d', 'avail-30d']]) {
    $(el).textContent = percent(avail[key]);
    $(el).className = `stat-value ${percentClass(avail[key])}`;
  }
  state.avail = { days: state.days, hours: Array.isArray(avail.hours) ? avail.hours : [] };
  drawTrend();
}

function showLogRows(id, log) {
  const rows = (log.data || []).map((row) => {
    const ok = Number(row.status) === 1;
    const summary = ok ? '' : runSummary(nodesOf(row));
    return h('tr', { 'data-id': row.id },
      h('td', { 'data-label': '时间' }, localTime(row.addtime)),
      h('td', { 'data-label': '结果' }, h('div', {}, h('span', { class: ok ? 'badge ok' : 'badge bad' }, ok ? '正常' : '异常'),
        summary ? h('div', { class: 'reason bad small' }, summary) : null)),
      h('td', { 'data-label': '平均耗时', class: 'num avg' }, ms(row.avgrage)),
      h('td', { 'data-label': '最慢节点' }, 'max_isp' in row ? `${row.max_isp}（${ms(row.max)}）` : '—'),
      h('td', { 'data-label': '最快节点' }, 'min_isp' in row ? `${row.min_isp}（${ms(row.min)}）` : '—'),
      h('td', { 'data-label': '节点数', class: 'num' }, nodesOf(row).length),
      h('td', { 'data-label': '操作', class: 'ops' }, h('span', { class: 'group' },
        h('button', { type: 'button', class: 'link detail', onclick: () => showRun(row) }, '详情'),
        h('button', { type: 'button', class: 'link danger delete', onclick: () => deleteRun(row) }, '删除'))),
    );
  });
  if (!rows.length) rows.push(h('tr', {}, h('td', { colspan: 7, class: 'empty' }, '暂无拨测记录')));
  $('log-table').tBodies[0].replaceChildren(...rows);
  pager($('log-pager'), log.page, (p) => { state.logPage = p; showLog(id).catch(fail); });
}

function showIncidents(id, incidents) {
  const rows = (incidents.data || []).map((it) => {
    const open = it.end == null;
    const nodes = Array.isArray(it.failing_nodes) ? it.failing_nodes : [];
    return h('tr', { 'data-id': it.id, class: open ? 'open' : '' },
      h('td', { 'data-label': '开始' }, localTime(it.start)),
      h('td', { 'data-label': '结束' }, open ? h('span', { class: 'badge bad' }, '进行中') : localTime(it.end)),
      h('td', { 'data-label': '持续', class: 'num duration' }, duration(it.duration)),
      h('td', { 'data-label': '类型' }, it.kind === 'error' ? '调度失败' : '异常'),
      h('td', { 'data-label': '原因', class: 'reason' }, it.reason || '—'),
      h('td', { 'data-label': '失败节点' }, nodes.length ? nodes.join('、') : '—'),
      h('td', { 'data-label': '拨测次数', class: 'num' }, String(it.runs ?? '')));
  });
  if (!rows.length) rows.push(h('tr', {}, h('td', { colspan: 7, class: 'empty' }, '没有故障记录')));
  $('incident-table').tBodies[0].replaceChildren(...rows);
  pager($('incident-pager'), incidents.page, (p) => { state.incidentPage = p; showLog(id).catch(fail); });
}

// Every hour of the chosen span, oldest first, each with its figures or null. The span ends with
// the current hour; hours the server names outside it (a clock apart) widen it.
function hourGrid(hours, days) {
  const last0 = Math.floor(nowSec() / 3600) * 3600;
  const byHour = new Map(hours.map((x) => [Number(x.hour), x]));
  const known = [...byHour.keys()];
  const first = Math.min(last0 - (days * 24 - 1) * 3600, ...known);
  const last = Math.max(last0, ...known);
  const grid = [];
  for (let t = first; t <= last; t += 3600) grid.push({ t, f: byHour.get(t) || null });
  return grid;
}

// Line segments join the hours with a time across hours without runs, but not across an hour that
// had runs and no time (no node answered well): there the line stops, as the site did.
// The charting library styles each pair of neighbouring hours, so every pair inside a broken gap
// is marked.
function gapStyle(values, ran) {
  const brokenPair = values.map(() => false);
  let last = -1;
  values.forEach((v, i) => {
    if (v == null) return;
    let failed = false;
    for (let j = last + 1; j < i; j += 1) failed = failed || ran[j];
    if (last >= 0 && failed) for (let j = last + 1; j <= i; j += 1) brokenPair[j] = true;
    last = i;
  });
  const broken = (ctx) => brokenPair[ctx.p1DataIndex];
  return {
    borderColor: (ctx) => (broken(ctx) ? 'transparent' : undefined),
    backgroundColor: (ctx) => (broken(ctx) ? 'transparent' : undefined),
  };
}

// The span chart: mean time per hour inside the band of the fastest and slowest node, failed
// hours marked on the axis, and on demand one mean line per ISP.
function drawTrend() {
  for (const b of document.querySelectorAll('#span-buttons button')) {
    b.setAttribute('aria-pressed', String(Number(b.dataset.days) === state.days));
  }
  $('isp-lines').checked = state.ispLines;
  if (!state.avail) return;
  const { days, hours } = state.avail;
  const grid = hourGrid(hours, days);
  const runs = hours.reduce((s, x) => s + (Number(x.runs) || 0), 0);
  const failed = hours.filter((x) => Number(x.good) < Number(x.runs));
  $('trend-note').textContent = runs
    ? `近${days}天共 ${runs} 次拨测，其中 ${failed.length} 个小时有失败（红色三角）`
    : `近${days}天暂无拨测数据`;
  const pick = (key) => grid.map((g) => (g.f && isNum(g.f[key]) ? g.f[key] : null));
  const red = cssVar('--red');
  const accent = cssVar('--accent');
  const means = pick('mean');
  const ran = grid.map((g) => Boolean(g.f && Number(g.f.runs) > 0));
  const dots = means.filter((v) => v != null).length <= 80 ? 2 : 0;
  const datasets = [
    { label: '平均耗时 (ms)', data: means, borderColor: accent, backgroundColor: accent, borderWidth: 2,
      pointRadius: dots, pointHoverRadius: 4, spanGaps: true, segment: gapStyle(means, ran), order: 1 },
    { label: '最快', data: pick('min'), borderWidth: 0, pointRadius: 0, pointHoverRadius: 0, fill: false,
      spanGaps: true, band: true, order: 3 },
    { label: '最慢', data: pick('max'), borderWidth: 0, pointRadius: 0, pointHoverRadius: 0, fill: '-1',
      backgroundColor: cssVar('--band'), spanGaps: true, segment: gapStyle(means, ran), band: true, order: 3 },
    { label: '有失败的小时', data: grid.map((g) => (g.f && Number(g.f.good) < Number(g.f.runs) ? 0 : null)),
      showLine: false, pointStyle: 'triangle', pointRadius: 6, pointHoverRadius: 8, clip: false,
      borderColor: red, backgroundColor: red, order: 0,
      failures: grid.map((g) => (g.f ? `失败 ${g.f.runs - g.f.good}/${g.f.runs} 次` : '')) },
  ];
  if (state.ispLines) {
    const isps = [...new Set(hours.flatMap((x) => Object.keys(x.isp || {})))];
    isps.forEach((isp, i) => {
      const color = ISP_COLORS[i % ISP_COLORS.length];
      const figures = grid.map((g) => (g.f && g.f.isp && g.f.isp[isp]) || null);
      const data = figures.map((f) => (f && isNum(f.mean) ? f.mean : null));
      datasets.push({
        label: isp, isp: true, data, borderColor: color, backgroundColor: color, borderWidth: 1.5, borderDash: [4, 3],
        pointRadius: 0, pointHoverRadius: 3, spanGaps: true, segment: gapStyle(data, figures.map((f) => Boolean(f && f.runs > 0))), order: 2,
      });
    });
  }
  drawChart('trend', $('trend-chart'), {
    type: 'line',
    data: { labels: grid.map((g) => hourLabel(g.t, days > 1)), datasets },
    options: {
      responsive: true, maintainAspectRatio: false, animation: false,
      interaction: { mode: 'index', intersect: false },
      scales: {
        x: { ticks: { autoSkip: true, maxTicksLimit: days === 1 ? 12 : 10, maxRotation: 0 } },
        y: { beginAtZero: true, title: { display: true, text: 'ms' } },
      },
      plugins: {
        legend: { labels: { filter: (item, data) => !data.datasets[item.datasetIndex].band } },
        tooltip: {
          filter: (item) => item.raw != null,
          callbacks: {
            label: (item) => (item.dataset.failures ? item.dataset.failures[item.dataIndex]
              : `${item.dataset.label}: ${ms(item.raw)}`),
          },
        },
      },
    },
  });
}

function showRun(row) {
  const nodes = Array.isArray(row.data) ? row.data : nodesOf(row);
  $('run-detail').hidden = false;
  $('run-title').textContent = `${localTime(row.addtime)} 各节点耗时（从慢到快）`;
  nodeTable($('run-nodes'), nodes);
  drawChart('run', $('run-chart'), {
    type: 'bar',
    data: {
      labels: nodes.map((n) => String(n.isp ?? '')),
      datasets: [{
        label: '总耗时 (ms)',
        data: nodes.map((n) => (isNum(n.total_time) ? n.total_time : 0)),
        backgroundColor: nodes.map((n) => (nodeFailed(n) ? cssVar('--red') : cssVar('--blue'))),
      }],
    },
    options: { responsive: true, maintainAspectRatio: false, animation: false, plugins: { legend: { display: false } } },
  });
  $('run-detail').scrollIntoView({ behavior: 'smooth', block: 'start' });
}

async function deleteRun(row) {
  if (!confirm(`确定删除 ${localTime(row.addtime)} 的拨测记录吗？`)) return;
  const answer = await call('remove_task_log', { id: row.id }).catch(fail);
  if (!answer) return;
  toast(answer.msg, !answer.status);
  $('run-detail').hidden = true;
  await showLog(state.logTask).catch(fail);
}

// ---- settings -------------------------------------------------------------------------------

// Posts a settings form to the host's route `/api/settings/<what>`; answers the envelope
// {status, msg}, a refusal included (its message is for the administrator).
async function saveSettings(what, body) {
  const res = await fetch(`/api/settings/${what}`, {
    method: 'POST', credentials: 'same-origin', headers: { 'X-CSRF-Token': state.csrf }, body,
  });
  if (res.status === 401) {
    location.href = '/login';
    throw new Error('未登录');
  }
  let data = null;
  try {
    data = await res.json();
  } catch {
    data = null;
  }
  return data && typeof data.msg === 'string' ? data : { status: false, msg: `保存失败 (HTTP ${res.status})` };
}

// Text of one address per line, the check the server applies loosely mirrored: the first that
// does not look like an address, or null.
function badAddress(lines) {
  return lines.find((a) => !/^[^\s@<>",;\\]+@[^\s@<>",;\\.]+(\.[^\s@<>",;\\.]+)+$/.test(a)) ?? null;
}

function secretState(el, set) {
  el.textContent = set ? '已设置' : '未设置';
  el.className = `secret-state badge ${set ? 'ok' : 'off'}`;
}

const DELIVERY_KIND = { report: '异常报告', reminder: '提醒', recovery: '恢复', monitoring: '监控告警', test: '测试' };

// The latest deliveries into the table `tableId` (the settings view's, or a task's in its log).
function showDeliveries(rows, tableId = 'deliveries') {
  const list = Array.isArray(rows) ? rows : [];
  const head = h('tr', {}, ['时间', '渠道', '收件方', '类型', '结果', '服务器回答'].map((t) => h('th', { scope: 'col' }, t)));
  const body = list.length ? list.map((r) => h('tr', {},
    h('td', {}, localTime(r.time)),
    h('td', {}, r.channel === 'dingding' ? '钉钉' : '邮件'),
    h('td', {}, String(r.recipient ?? '')),
    h('td', {}, DELIVERY_KIND[r.kind] ?? String(r.kind ?? '')),
    h('td', {}, h('span', { class: `badge ${r.success ? 'ok' : 'bad'}` }, r.success ? '成功' : '失败')),
    h('td', { class: 'answer' }, String(r.answer ?? ''))))
    : [h('tr', {}, h('td', { colspan: 6, class: 'muted' }, '暂无发送记录'))];
  $(tableId).replaceChildren(h('thead', {}, head), h('tbody', {}, body));
}

// Fills the settings forms from the server. Secrets never come back: only whether they are set;
// their fields stay empty and a save leaves them unchanged unless a new value is typed.
// While the stored settings load, the forms take no input: the answer, coming later, would
// overwrite what was typed meanwhile.
function settingsBusy(busy) {
  for (const el of $('view-settings').querySelectorAll('form input, form select, form textarea, form button')) {
    el.disabled = busy;
  }
  $('view-settings').setAttribute('aria-busy', String(busy));
}

async function showSettings() {
  state.settingsLoads = (state.settingsLoads || 0) + 1;
  settingsBusy(true);
  try {
    await loadSettings();
  } finally {
    state.settingsLoads -= 1;
    if (!state.settingsLoads) settingsBusy(false);
  }
}

// A stored secret goes only to the server it was given for: a save that moves the account (sender,
// server, port, security) or the robot (another host or port) drops it, and it must be typed
// again. The notes say so while the fields differ from what was loaded, and after such a save.
const SECRET_NOTES = {
  password: { field: 's-password', note: 's-password-note', moving: '发件邮箱、服务器、端口或加密方式已更改：保存后原密码将被清除，请重新输入密码', dropped: '原密码已清除，请重新输入密码' },
  secret: { field: 's-secret', note: 's-secret-note', moving: 'Webhook 指向了其他主机：保存后原加签密钥将被清除，请重新输入加签密钥', dropped: '原加签密钥已清除，请重新输入加签密钥' },
};

function mailEndpoint() {
  return [$('s-qq-mail').value.trim(), $('s-host').value.trim().toLowerCase(), String(Number($('s-port').value)),
    $('s-security').value].join('\n');
}

// The origin (scheme, host, port) of a webhook as typed, or the text itself when it is no URL.
function webhookOrigin(text) {
  try {
    return new URL(text.trim()).origin;
  } catch {
    return text.trim();
  }
}

// Shows whether the typed form would drop the stored secret `which`.
function secretNote(which) {
  const loaded = state.loadedSecrets?.[which];
  if (!loaded?.set) return;
  const s = SECRET_NOTES[which];
  const now = which === 'password' ? mailEndpoint() : webhookOrigin($('s-dingding-url').value);
  const typed = $(s.field).value !== '';
  setText($(s.note), now !== loaded.where && !typed ? s.moving : '');
}

async function loadSettings() {
  const [s, policy, deliveries] = await Promise.all([call('get_settings'), query('get_alert_policy'),
    call('get_deliveries')]);
  const mail = s.user_mail || {};
  const info = mail.info && typeof mail.info === 'object' ? mail.info : {};
  $('s-qq-mail').value = String(info.qq_mail ?? '');
  $('s-host').value = String(info.host ?? '');
  $('s-port').value = info.port ? String(info.port) : '';
  const port = Number(info.port);
  $('s-security').value = ['ssl', 'starttls', 'none'].includes(info.security) ? info.security
    : (!info.port || port === 465 ? 'ssl' : port === 587 ? 'starttls' : 'none');
  $('s-password').value = '';
  $('s-clear-password').checked = false;
  secretState($('s-password-state'), !!info.password_set);
  $('s-mail-list').value = (Array.isArray(mail.mail_list) ? mail.mail_list : []).map(String).join('\n');
  const ding = s.dingding || {};
  const dinfo = ding.info && typeof ding.info === 'object' ? ding.info : {};
  // The address comes without its query (the token); sent back as it is, the server keeps the stored one.
  $('s-dingding-url').value = String(dinfo.dingding_url ?? '');
  $('s-secret').value = '';
  $('s-clear-secret').checked = false;
  secretState($('s-secret-state'), !!dinfo.secret_set);
  state.loadedSecrets = {
    password: { set: !!info.password_set, where: mailEndpoint() },
    secret: { set: !!dinfo.secret_set, where: webhookOrigin($('s-dingding-url').value) },
  };
  setText($('s-password-note'), '');
  setText($('s-secret-note'), '');
  $('s-mode').value = policy.mode === 'incident' ? 'incident' : 'every_run';
  $('s-remind').value = String(policy.remind_minutes ?? 0);
  $('s-recovery').checked = policy.recovery !== false;
  $('s-error-after').value = String(policy.error_after ?? 3);
  showDeliveries(deliveries);
}

// Submits one settings form: `check` answers an error text or null before anything is sent.
async function submitSettings(e, what, errorId, check) {
  e.preventDefault();
  const form = e.currentTarget;
  const error = check ? check() : null;
  setText($(errorId), error ?? '');
  if (error) return;
  const button = form.querySelector('button[type=submit]');
  button.disabled = true;
  try {
    const answer = what === 'policy'
      ? await call('set_alert_policy', {
        mode: $('s-mode').value, remind_minutes: $('s-remind').value,
        recovery: $('s-recovery').checked ? 'true' : 'false', error_after: $('s-error-after').value,
      })
      : await saveSettings(what, new URLSearchParams(new FormData(form)));
    setText($(errorId), answer.status ? '' : answer.msg);
    toast(answer.msg, !answer.status);
    if (answer.status) await showSettings();
    const dropped = SECRET_NOTES[answer.dropped];
    if (answer.status && dropped) {
      setText($(dropped.note), dropped.dropped);
      $(dropped.field).focus();
    }
  } catch (err) {
    setText($(errorId), err.message);
  } finally {
    button.disabled = false;
  }
}

// A test message through `channel`; the server's own answer is shown as it came.
async function testChannel(channel) {
  const out = $(`${channel}-test-answer`);
  const button = $(`${channel}-test`);
  button.disabled = true;
  out.className = 'test-answer';
  out.textContent = '发送中…';
  try {
    const answer = await call('test_channel', { channel });
    out.textContent = `${answer.status ? '成功' : '失败'}${answer.recipient ? `（${answer.recipient}）` : ''}：${answer.msg ?? ''}`;
    out.className = `test-answer ${answer.status ? 'ok' : 'bad'}`;
    showDeliveries(await call('get_deliveries'));
  } catch (err) {
    out.textContent = `失败：${err.message}`;
    out.className = 'test-answer bad';
  } finally {
    button.disabled = false;
  }
}

function bindSettings() {
  $('mail-form').addEventListener('submit', (e) => submitSettings(e, 'mail', 'mail-error', () => {
    if (badAddress([$('s-qq-mail').value.trim()]) !== null) return '发件邮箱格式不正确';
    if (!$('s-host').value.trim()) return '请填写 SMTP 服务器';
    const port = Number($('s-port').value);
    if (!Number.isInteger(port) || port < 1 || port > 65535) return '端口须为 1 到 65535 之间的整数';
    return null;
  }));
  $('recipients-form').addEventListener('submit', (e) => submitSettings(e, 'recipients', 'recipients-error', () => {
    const bad = badAddress($('s-mail-list').value.split(/[\s,;]+/).filter(Boolean));
    return bad === null ? null : `收件邮箱格式不正确：${bad}`;
  }));
  $('dingding-form').addEventListener('submit', (e) => submitSettings(e, 'dingding', 'dingding-error', null));
  $('policy-form').addEventListener('submit', (e) => submitSettings(e, 'policy', 'policy-error', null));
  for (const id of ['s-qq-mail', 's-host', 's-port', 's-security', 's-password']) {
    $(id).addEventListener('input', () => secretNote('password'));
  }
  for (const id of ['s-dingding-url', 's-secret']) $(id).addEventListener('input', () => secretNote('secret'));
  $('mail-test').addEventListener('click', () => testChannel('mail'));
  $('dingding-test').addEventListener('click', () => testChannel('dingding'));
}

// ---- probe nodes ----------------------------------------------------------------------------

// A node state of the dispatch centre -> [label, badge class].
function nodeState(value) {
  const v = String(value ?? '').toLowerCase();
  if (['up', 'ok', 'healthy', 'normal'].includes(v)) return ['正常', 'ok'];
  if (['down', 'failing', 'bad', 'error', 'unhealthy'].includes(v)) return ['异常', 'bad'];
  return ['未知', 'off'];
}

// How the centre reaches a remote node: HTTPS (with what it trusts) or plain HTTP.
const TLS_TRUST = { pin: '证书指纹固定', ca: '指定的证书颁发机构', system: '系统信任的证书颁发机构' };
function nodeTransport(n) {
  if (n.tls) return h('span', { class: 'badge ok node-transport', title: `HTTPS，${TLS_TRUST[n.tls] ?? n.tls}` }, 'HTTPS');
  if (n.address) return h('span', { class: 'badge off node-transport', title: '明文 HTTP：链路上可被读取' }, 'HTTP');
  return null;
}

// The centre names its in-process nodes "local": shown in the page's language.
function nodeName(n) {
  return n.node === 'local' && !n.address ? '本机进程' : String(n.node ?? '');
}

function nodeRowOf(n) {
  const [label, cls] = nodeState(n.state);
  return h('tr', { 'data-node': n.node ?? '' },
    h('td', { 'data-label': '节点' }, h('div', {}, h('div', {}, nodeName(n), nodeTransport(n)),
      // A remote node is named by its address: shown once.
      n.address && String(n.address) !== String(n.node ?? '') ? h('div', { class: 'muted small' }, String(n.address)) : null)),
    h('td', { 'data-label': '状态' }, h('span', { class: `badge ${cls} node-state` }, label)),
    h('td', { 'data-label': '线路' }, n.isp ?? ''),
    h('td', { 'data-label': '最后成功' }, localTime(n.last_success) || '从未成功'),
    h('td', { 'data-label': '连续失败', class: 'num' }, String(n.failures ?? 0)),
    h('td', { 'data-label': '耗时中位数', class: 'num' }, ms(n.median_ms)),
    h('td', { 'data-label': '最近错误', class: 'node-error' },
      n.last_error ? h('div', { class: 'clamp', title: String(n.last_error) }, String(n.last_error)) : '—'));
}

// Reads the dispatch centre's nodes and renders them; a centre out of reach shows its message.
async function showNodes() {
  const seq = (state.seq.nodes = (state.seq.nodes || 0) + 1);
  const tbody = $('node-table').tBodies[0];
  let rows;
  try {
    const nodes = await query('get_nodes');
    if (seq !== state.seq.nodes) return;
    rows = (Array.isArray(nodes) ? nodes : []).map(nodeRowOf);
    if (!rows.length) rows.push(h('tr', {}, h('td', { colspan: 7, class: 'empty' }, '调度中心没有节点')));
  } catch (e) {
    if (seq !== state.seq.nodes) return;
    rows = [h('tr', {}, h('td', { colspan: 7, class: 'empty bad' }, e.message))];
  }
  tbody.replaceChildren(...rows);
}

// ---- routing and refresh --------------------------------------------------------------------

function fail(e) {
  toast(e && e.message ? e.message : String(e), true);
}

function currentView() {
  const [view, arg] = (location.hash.slice(1) || 'tasks').split('=');
  return { view: ['log', 'settings', 'nodes'].includes(view) && (view !== 'log' || arg) ? view : 'tasks',
    arg: arg && decodeURIComponent(arg) };
}

async function route() {
  const { view, arg } = currentView();
  for (const v of ['tasks', 'log', 'settings', 'nodes']) $(`view-${v}`).hidden = v !== view;
  $('nav-nodes').classList.toggle('active', view === 'nodes');
  $('nav-nodes').toggleAttribute('aria-current', view === 'nodes');
  $('nav-tasks').classList.toggle('active', view !== 'settings' && view !== 'nodes');
  $('nav-settings').classList.toggle('active', view === 'settings');
  $('nav-tasks').toggleAttribute('aria-current', view !== 'settings' && view !== 'nodes');
  $('nav-settings').toggleAttribute('aria-current', view === 'settings');
  try {
    // The overview also feeds the banner and the title, whichever view is shown.
    await Promise.all([
      showTasks(),
      view === 'log' ? showLog(arg) : null,
      view === 'settings' ? showSettings() : null,
      view === 'nodes' ? showNodes() : null,
    ]);
  } catch (e) {
    fail(e);
  }
}

// Seconds between refreshes: 30, or `?refresh=N` in the page's address (at least 1).
function refreshSeconds() {
  const n = Number(new URLSearchParams(location.search).get('refresh'));
  return Number.isFinite(n) && n >= 1 ? n : 30;
}

// Reads the shown view again and renders it in place: open dialogs, the scroll position, the
// chosen page, filter, span and the shown run stay as they are. A hidden tab waits.
async function refresh() {
  if (document.hidden) return;
  const { view, arg } = currentView();
  try {
    await Promise.all([showTasks(), view === 'log' ? showLog(arg) : null, view === 'nodes' ? showNodes() : null]);
    state.refreshes += 1;
    document.body.dataset.refreshed = String(state.refreshes);
    markUpdated();
  } catch (e) {
    $('refresh-status').textContent = `刷新失败: ${e.message}`;
    $('refresh-status').classList.add('bad');
  }
}

function markUpdated() {
  $('refresh-status').textContent = `更新于 ${localTime(nowSec()).slice(11)}`;
  $('refresh-status').classList.remove('bad');
}

function startRefresh() {
  const tick = async () => {
    await refresh();
    setTimeout(tick, refreshSeconds() * 1000);
  };
  setTimeout(tick, refreshSeconds() * 1000);
  document.addEventListener('visibilitychange', () => { if (!document.hidden) refresh(); });
}

async function main() {
  if (!(await loadSession())) return;
  $('search-form').addEventListener('submit', (e) => {
    e.preventDefault();
    state.search = $('search').value.trim();
    state.taskPage = 1;
    showTasks().catch(fail);
  });
  $('add-task').addEventListener('click', () => openTaskForm(null));
  $('task-form').addEventListener('submit', saveTask);
  $('task-form').addEventListener('input', (e) => e.target.removeAttribute('aria-invalid'));
  $('task-cancel').addEventListener('click', () => $('task-dialog').close());
  $('probe-close').addEventListener('click', () => $('probe-dialog').close());
  for (const b of document.querySelectorAll('#span-buttons button')) {
    b.addEventListener('click', () => {
      state.days = Number(b.dataset.days);
      if (state.logTask != null) showLog(state.logTask).catch(fail);
    });
  }
  bindSettings();
  $('isp-lines').addEventListener('change', (e) => { state.ispLines = e.target.checked; drawTrend(); });
  // Charts take their colours from the style sheet; redraw them when the system theme turns.
  matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => {
    drawTrend();
    if (state.charts.run) { applyChartTheme(); state.charts.run.update('none'); }
  });
  $('logout').addEventListener('click', async () => {
    await fetch('/logout', { method: 'POST', credentials: 'same-origin', headers: { 'X-CSRF-Token': state.csrf } });
    location.href = '/login';
  });
  window.addEventListener('hashchange', route);
  await route();
  markUpdated();
  document.body.dataset.ready = '1';
  startRefresh();
}

main().catch(fail);
