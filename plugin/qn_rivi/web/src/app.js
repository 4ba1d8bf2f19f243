// The probing monitor's page: task list, probe log with charts, and the channel settings.
// Every text that came from a user or a probe reaches the document as a text node or an
// attribute value set through the DOM; nothing here parses HTML.
'use strict';

const state = { csrf: null, taskPage: 1, search: '', logPage: 1, logTask: null, charts: {} };

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

const $ = (id) => document.getElementById(id);

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

function shortTime(sec) {
  const d = new Date(Number(sec) * 1000);
  return `${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

const isNum = (v) => typeof v === 'number' && Number.isFinite(v);

function ms(v) {
  if (!isNum(v)) return v == null || v === '' ? '—' : String(v);
  return v >= 1000 ? `${(v / 1000).toFixed(2)} s` : `${v.toFixed(2)} ms`;
}

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
    h('thead', {}, h('tr', {}, ['节点(ISP)', 'IP', '状态码', '总耗时', '解析耗时', '首字节', '大小', '速度']
      .map((t) => h('th', {}, t)))),
    h('tbody', {}, nodes.map((n) => h('tr', { class: nodeFailed(n) ? 'bad' : (n.isp === NO_ANSWER ? 'muted' : '') },
      h('td', {}, n.isp ?? '—'),
      h('td', {}, n.primary_ip || '—'),
      h('td', {}, n.http_code == null || n.http_code === '' ? '—' : String(n.http_code)),
      h('td', { class: 'num' }, ms(n.total_time)),
      h('td', { class: 'num' }, ms(n.namelookup_time)),
      h('td', { class: 'num' }, ms(n.starttransfer_time)),
      h('td', { class: 'num' }, bytes(n.size_download)),
      h('td', { class: 'num' }, bytes(n.speed_download, '/s')),
    ))),
  );
}

function drawChart(key, canvas, config) {
  if (state.charts[key]) state.charts[key].destroy();
  if (typeof Chart === 'undefined') return;
  state.charts[key] = new Chart(canvas, config);
}

// ---- task list ------------------------------------------------------------------------------

async function showTasks() {
  const args = { p: state.taskPage };
  if (state.search) args.search = state.search;
  const list = await call('get_list', args);
  const tbody = $('task-table').tBodies[0];
  tbody.replaceChildren();
  if (!list.data.length) {
    tbody.append(h('tr', {}, h('td', { colspan: 6, class: 'empty' }, state.search ? '没有匹配的任务' : '还没有任务，点击“添加任务”创建')));
  }
  for (const task of list.data) {
    const running = Number(task.status) === 1;
    tbody.append(h('tr', { 'data-id': task.id },
      h('td', { 'data-label': '名称' }, h('a', { href: `#log=${encodeURIComponent(task.id)}`, class: 'task-name' }, task.name ?? '')),
      h('td', { 'data-label': 'URL', class: 'url' }, task.url ?? ''),
      h('td', { 'data-label': '周期' }, `${task.cycle} 分钟`),
      h('td', { 'data-label': '状态' }, h('span', { class: 'group' },
        h('span', { class: running ? 'badge ok' : 'badge off' }, running ? '运行中' : '已暂停'), ' ',
        h('button', { type: 'button', class: 'link toggle', onclick: () => toggleTask(task, running) }, running ? '暂停' : '恢复'))),
      h('td', { 'data-label': '最后拨测' }, localTime(task.last_run_time) || '从未拨测'),
      h('td', { 'data-label': '操作', class: 'ops' }, h('span', { class: 'group' },
        h('button', { type: 'button', class: 'link probe', onclick: (e) => probeNow(task, e.target) }, '立即拨测'),
        h('a', { href: `#log=${encodeURIComponent(task.id)}`, class: 'link' }, '日志'),
        h('button', { type: 'button', class: 'link edit', onclick: () => openTaskForm(task) }, '编辑'),
        h('button', { type: 'button', class: 'link danger delete', onclick: () => deleteTask(task) }, '删除'))),
    ));
  }
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
      $('probe-msg').textContent = `${answer.length} 个节点，按耗时从慢到快排列；失败节点 ${failed} 个。`;
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

// Create (task null) or edit form; the panel's own messages are shown as they come.
function openTaskForm(task) {
  const dialog = $('task-dialog');
  state.editing = task ? task.id : null;
  $('task-dialog-title').textContent = task ? '编辑任务' : '添加任务';
  $('f-name').value = task ? task.name ?? '' : '';
  $('f-url').value = task ? task.url ?? '' : '';
  $('f-cycle').value = task ? task.cycle : 5;
  $('task-error').textContent = '';
  dialog.showModal();
  $('f-name').focus();
}

async function saveTask(event) {
  event.preventDefault();
  const args = { name2: $('f-name').value, url: $('f-url').value, cycle: $('f-cycle').value };
  if (state.editing != null) args.id = state.editing;
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

// The most result pages the trend chart reads (12 runs each): a week at a 10-minute cycle.
const TREND_PAGES = 100;

async function showLog(id) {
  if (state.logTask !== id) { state.logTask = id; state.logPage = 1; $('run-detail').hidden = true; }
  const task = await call('get_find', { id });
  $('log-title').textContent = task && task.name != null ? `拨测日志：${task.name}` : `拨测日志：任务 ${id}`;
  $('log-url').textContent = task && task.url ? task.url : '';
  const log = await call('get_task_log', { pid: id, p: state.logPage });
  if (log.status === false) throw new Error(log.msg);
  const tbody = $('log-table').tBodies[0];
  tbody.replaceChildren();
  if (!log.data.length) tbody.append(h('tr', {}, h('td', { colspan: 7, class: 'empty' }, '暂无拨测记录')));
  for (const row of log.data) {
    const ok = Number(row.status) === 1;
    const nodes = nodesOf(row);
    tbody.append(h('tr', { 'data-id': row.id },
      h('td', { 'data-label': '时间' }, localTime(row.addtime)),
      h('td', { 'data-label': '结果' }, h('span', { class: ok ? 'badge ok' : 'badge bad' }, ok ? '正常' : '异常')),
      h('td', { 'data-label': '平均耗时', class: 'num avg' }, ms(row.avgrage)),
      h('td', { 'data-label': '最慢节点' }, 'max_isp' in row ? `${row.max_isp}（${ms(row.max)}）` : '—'),
      h('td', { 'data-label': '最快节点' }, 'min_isp' in row ? `${row.min_isp}（${ms(row.min)}）` : '—'),
      h('td', { 'data-label': '节点数', class: 'num' }, nodes.length),
      h('td', { 'data-label': '操作', class: 'ops' }, h('span', { class: 'group' },
        h('button', { type: 'button', class: 'link detail', onclick: () => showRun(row) }, '详情'),
        h('button', { type: 'button', class: 'link danger delete', onclick: () => deleteRun(row) }, '删除'))),
    ));
  }
  pager($('log-pager'), log.page, (p) => { state.logPage = p; showLog(id).catch(fail); });
  await drawTrend(id);
}

// Reads the retained week page by page (newest first, a few pages at a time) and draws mean and
// slowest time per run.
async function drawTrend(id) {
  const fetchPage = async (p) => {
    const log = await call('get_task_log', { pid: id, p });
    return log.status === false ? null : log;
  };
  const first = await fetchPage(1);
  const pages = first ? Number(first.page && first.page.pages) || 0 : 0;
  const logs = [first];
  const wanted = [];
  for (let p = 2; p <= Math.min(pages, TREND_PAGES); p += 1) wanted.push(p);
  while (wanted.length) logs.push(...await Promise.all(wanted.splice(0, 4).map(fetchPage)));
  // Runs stored while the pages were read shift rows from one page to the next: keep each once.
  const byId = new Map();
  for (const log of logs.filter(Boolean)) for (const r of log.data) if ('avgrage' in r) byId.set(String(r.id), r);
  const rows = [...byId.values()].sort((a, b) => Number(a.id) - Number(b.id));
  $('trend-note').textContent = pages > TREND_PAGES
    ? `只显示最近 ${TREND_PAGES * 12} 次拨测` : (rows.length ? `共 ${rows.length} 次拨测` : '暂无数据');
  drawChart('trend', $('trend-chart'), {
    type: 'line',
    data: {
      labels: rows.map((r) => shortTime(r.addtime)),
      datasets: [
        { label: '平均耗时 (ms)', data: rows.map((r) => r.avgrage), borderColor: '#20a53a', backgroundColor: '#20a53a33', pointRadius: 2 },
        { label: '最慢节点 (ms)', data: rows.map((r) => r.max), borderColor: '#e67e22', backgroundColor: '#e67e2233', pointRadius: 2 },
      ],
    },
    options: {
      responsive: true, maintainAspectRatio: false, animation: false,
      interaction: { mode: 'index', intersect: false },
      scales: { y: { beginAtZero: true, title: { display: true, text: 'ms' } } },
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
        backgroundColor: nodes.map((n) => (nodeFailed(n) ? '#e74c3c' : '#3498db')),
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

function pairs(dl, entries) {
  dl.replaceChildren(...entries.flatMap(([k, v]) => [h('dt', {}, k), h('dd', {}, v)]));
}

// A webhook address carries its secret in the query; show where it goes, not the secret. The
// server sends the address without its query already, and never the password or the signing
// key: only whether they are set (`password_set`, `secret_set`).
function maskUrl(text) {
  const s = String(text ?? '');
  const q = s.indexOf('?');
  return q < 0 ? s : `${s.slice(0, q)}?…（已隐藏）`;
}

async function showSettings() {
  const s = await call('get_settings');
  const mail = s.user_mail || {};
  const info = mail.info && typeof mail.info === 'object' ? mail.info : null;
  pairs($('mail-settings'), mail.user_name && info ? [
    ['状态', '已配置'],
    ['发件邮箱', String(info.qq_mail ?? '')],
    ['SMTP 服务器', `${info.host ?? ''}${info.port ? `:${info.port}` : ''}`],
    ['加密方式', String(info.security ?? '按端口')],
    ['密码', info.password_set ? '已设置' : '未设置'],
  ] : [['状态', '未配置']]);
  const list = Array.isArray(mail.mail_list) ? mail.mail_list : [];
  $('mail-list').replaceChildren(...(list.length ? list.map((a) => h('li', {}, String(a)))
    : [h('li', { class: 'muted' }, '（空：报告发往发件邮箱本身）')]));
  const ding = s.dingding || {};
  const dinfo = ding.info && typeof ding.info === 'object' ? ding.info : null;
  pairs($('dingding-settings'), ding.dingding ? [
    ['状态', '已配置'],
    ['Webhook', dinfo && dinfo.dingding_url ? maskUrl(dinfo.dingding_url) : '—'],
    ['加签密钥', dinfo && dinfo.secret_set ? '已设置' : '未设置'],
  ] : [['状态', '未配置']]);
}

// ---- routing --------------------------------------------------------------------------------

function fail(e) {
  toast(e && e.message ? e.message : String(e), true);
}

async function route() {
  const hash = location.hash.slice(1) || 'tasks';
  const [view, arg] = hash.split('=');
  for (const v of ['tasks', 'log', 'settings']) $(`view-${v}`).hidden = v !== view;
  $('nav-tasks').classList.toggle('active', view !== 'settings');
  $('nav-settings').classList.toggle('active', view === 'settings');
  try {
    if (view === 'log' && arg) await showLog(decodeURIComponent(arg));
    else if (view === 'settings') await showSettings();
    else { $('view-tasks').hidden = false; await showTasks(); }
  } catch (e) {
    fail(e);
  }
}

async function main() {
  if (!(await loadSession())) return;
  $('search-form').addEventListener('submit', (e) => {
    e.preventDefault();
    state.search = $('search').value;
    state.taskPage = 1;
    showTasks().catch(fail);
  });
  $('add-task').addEventListener('click', () => openTaskForm(null));
  $('task-form').addEventListener('submit', saveTask);
  $('task-cancel').addEventListener('click', () => $('task-dialog').close());
  $('probe-close').addEventListener('click', () => $('probe-dialog').close());
  $('logout').addEventListener('click', async () => {
    await fetch('/logout', { method: 'POST', credentials: 'same-origin', headers: { 'X-CSRF-Token': state.csrf } });
    location.href = '/login';
  });
  window.addEventListener('hashchange', route);
  await route();
  document.body.dataset.ready = '1';
}

main().catch(fail);
