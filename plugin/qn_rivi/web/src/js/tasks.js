// The task list (overview): monitor and alert banners, title, health filters, rows, probe now and
// the task form.

import { call, query } from './api.js';
import { h, $, setText, toast, localTime, nowSec, duration, ms, percent, percentClass } from './dom.js';
import { nodeFailed, runSummary, pager, nodeTable } from './results.js';
import { sparkline } from './charts.js';
import { state, fail } from './main.js';
import { overviewArgs, afterRows, pickBox, tagBadges, showTagFilter } from './lists.js';

const TITLE = '拨测监控';

// Health values in the order the filters show them: [label, badge class].
const HEALTH = {
  up: ['正常', 'ok'],
  degraded: ['部分异常', 'warn'],
  down: ['异常', 'bad'],
  error: ['调度失败', 'err'],
  maintenance: ['维护中', 'maint'],
  unknown: ['未拨测', 'off'],
  paused: ['已暂停', 'off'],
};

function showMonitor(monitor, counts) {
  const banner = $('monitor-banner');
  const m = monitor || {};
  const reason = String(m.reason ?? '');
  if (m.state === 'error') {
    setText($('monitor-banner-text'), `调度中心无法连接：${reason.replace(/^调度中心无法连接[:：]\s*/, '') || '未知原因'}`);
    setText($('monitor-banner-detail'), '最近的拨测都没有结果，监控数据不再更新。');
  } else if (m.state === 'stale') {
    setText($('monitor-banner-text'), '拨测已停止：超过两个周期没有任务运行');
    setText($('monitor-banner-detail'), reason);
  } else if (m.state === 'late') {
    setText($('monitor-banner-text'), '部分任务未按时拨测');
    setText($('monitor-banner-detail'), reason);
  }
  banner.hidden = !['error', 'stale', 'late'].includes(m.state);
  banner.className = `banner ${m.state === 'error' ? 'error' : 'stale'}`;
  if (counts) {
    const down = Number(counts.down) || 0;
    document.title = down ? `（${down} 异常）${TITLE}` : TITLE;
  }
}

// No channel configured while tasks fail: every alert stays undelivered, and nobody hears of it
// but through this banner.
function showAlertBanner(outbox) {
  const channels = outbox?.channels || {};
  const failing = Number(outbox?.failing_tasks) || 0;
  const silent = !!outbox && !channels.mail && !channels.dingding && !Number(outbox?.robots) && failing > 0;
  if (silent) setText($('alert-banner-text'), `未配置通知渠道：${failing} 个任务异常，告警无法发出`);
  $('alert-banner').hidden = !silent;
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

function healthCell(task) {
  const [label, cls] = HEALTH[task.health] || [String(task.health ?? '未知'), 'off'];
  const lasting = task.since && !['up', 'unknown', 'paused', 'maintenance'].includes(task.health)
    ? `已持续 ${duration(nowSec() - Number(task.since))}` : '';
  return h('div', { class: 'health' },
    h('span', { class: `badge ${cls}` }, label),
    task.dns_mismatch ? h('span', { class: 'badge warn dns-mismatch', title: '某条线路的解析结果不在预期地址内' }, '解析异常') : null,
    task.reason ? h('div', { class: `reason clamp ${cls}`, title: task.reason }, task.reason) : null,
    lasting ? h('div', { class: 'muted small' }, lasting) : null);
}

// An uptime, "无数据" when the task ran but none of its runs judged the site (monitor errors and
// maintenance are left out), "—" when it never ran.
function uptimeCell(value, task) {
  const text = value == null && task.last_attempt != null ? '无数据' : percent(value);
  return h('span', { class: percentClass(value) }, text);
}

function taskRowOf(task) {
  const running = Number(task.status) === 1;
  const logHref = `#log=${encodeURIComponent(task.id)}`;
  return h('tr', { 'data-id': task.id, 'data-health': task.health },
    h('td', { 'data-label': '名称', class: 'name' }, h('div', {},
      pickBox(task),
      h('a', { href: logHref, class: 'task-name' }, task.name ?? ''),
      task.has_checks ? h('span', { class: 'badge off rules-mark', title: '已设置检查规则' }, '规则') : null,
      h('span', { class: 'tags' }, ...tagBadges(task)),
      h('div', { class: 'url muted small' }, task.url ?? ''))),
    h('td', { 'data-label': '健康' }, healthCell(task)),
    h('td', { 'data-label': '最近耗时', class: 'num last-time' }, ms(task.last_total_time)),
    h('td', { 'data-label': '可用率', class: 'uptime' }, h('div', {},
      h('div', {}, h('span', { class: 'muted small' }, '24小时 '), uptimeCell(task.uptime_24h, task)),
      h('div', {}, h('span', { class: 'muted small' }, '7天 '), uptimeCell(task.uptime_7d, task)))),
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
export async function showTasks() {
  const seq = ++state.seq.tasks;
  const args = overviewArgs();
  // One call draws the view: the answer also brings the tag filter's choices, the banner's
  // facts, the display zone and, for the title, the counts over every task when a search or tag
  // narrows the list.
  const list = await query('get_overview', args);
  if (seq !== state.seq.tasks) return;
  showMonitor(list.monitor, list.all_counts || list.counts);
  showTagFilter(list.tags);
  showFilters(list.counts);
  const key = focusKey();
  const tbody = $('task-table').tBodies[0];
  const rows = (list.data || []).map(taskRowOf);
  if (!rows.length) {
    const text = state.health ? `没有“${HEALTH[state.health]?.[0] ?? state.health}”的任务`
      : state.search || state.tag ? '没有匹配的任务' : '还没有任务，点击“添加任务”创建';
    rows.push(h('tr', {}, h('td', { colspan: 8, class: 'empty' }, text)));
  }
  tbody.replaceChildren(...rows);
  restoreFocus(key);
  pager($('task-pager'), list.page, (p) => { state.taskPage = p; showTasks().catch(fail); });
  afterRows();
  showAlertBanner(list.alerting);
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

// "3 个节点，失败节点 1 个" of a probe's node list.
const probeWords = (nodes) => `${nodes.length} 个节点，失败节点 ${nodes.filter(nodeFailed).length} 个`;

// One probe of a task just saved, without the dialog: the list then shows its health, so a wrong
// address is seen within seconds rather than at the next cycle.
async function probeSaved(task) {
  toast(`已保存，正在拨测“${task.name}”…`);
  try {
    const answer = await call('start', { id: task.id });
    if (Array.isArray(answer)) toast(`“${task.name}”拨测完成：${probeWords(answer)}`, answer.some(nodeFailed));
    else toast((answer && answer.msg) || '拨测失败', true);
  } catch (e) {
    toast(e.message, true);
  }
  await showTasks().catch(fail);
}

// Why `text` is no URL a probe can fetch, or null. The browser's own parser reads it as the probe
// nodes will; the server keeps its own, looser rule for callers of its methods.
export function urlProblem(text) {
  if (!/^https?:\/\/\S/i.test(text)) return 'URL必须以http://或https://开头';
  if (text.length > URL_MAX) return `URL不能超过${URL_MAX}个字符`;
  if (/\s/.test(text)) return 'URL不能包含空格';
  const port = /^https?:\/\/(?:[^@/?#]*@)?(?:\[[^\]]*\]|[^:/?#]*):(\d*)(?=[/?#]|$)/i.exec(text);
  if (port && port[1] !== '' && (Number(port[1]) < 1 || Number(port[1]) > 65535)) return '端口应在1到65535之间';
  // Checked on the text: the parser would take "http:///path" as the host "path".
  if (/^https?:\/\/(?:[^@/?#]*@)?(?::\d*)?(?:[/?#]|$)/i.test(text)) return 'URL缺少主机名';
  let url;
  try {
    url = new URL(text);
  } catch {
    return 'URL格式不正确';
  }
  if (!url.hostname) return 'URL缺少主机名';
  return null;
}

const URL_MAX = 128;

// The first mistake in the task form as [field id, message], or null. The server has rules of its
// own; these catch what a person most often gets wrong before anything is sent.
function taskFormError() {
  const cycle = $('f-cycle').value.trim();
  if (!$('f-name').value.trim()) return ['f-name', '请输入任务名称'];
  const url = urlProblem($('f-url').value.trim());
  if (url) return ['f-url', url];
  if (!/^\d+$/.test(cycle) || Number(cycle) < 1 || Number(cycle) > 43200) return ['f-cycle', '周期应为1到43200之间的整数分钟'];
  return null;
}

function markInvalid(field) {
  for (const id of ['f-name', 'f-url', 'f-cycle']) {
    if (id === field) $(id).setAttribute('aria-invalid', 'true');
    else $(id).removeAttribute('aria-invalid');
  }
}

// The URL as the browser writes it, to compare tasks' URLs; the text itself when it is none.
function sameUrlKey(text) {
  try {
    return new URL(text).href;
  } catch {
    return text;
  }
}

// Warns (without refusing) when another task already probes the URL in the form.
async function warnDuplicate() {
  const url = $('f-url').value.trim();
  const editing = state.editing;
  let other = null;
  if (url && !urlProblem(url)) {
    const found = await query('get_overview', { search: url }).catch(() => null);
    other = (found?.data || []).find((t) => sameUrlKey(String(t.url ?? '')) === sameUrlKey(url) && t.id !== editing);
  }
  if ($('f-url').value.trim() !== url) return;  // typed on meanwhile: a newer check follows
  $('task-warn').textContent = other ? `已有任务“${other.name}”使用相同的URL` : '';
}

// The rule fields of the form, in get_checks' keys.
const RULE_FIELDS = {
  expect_codes: ['c-expect-codes', ''],
  keyword: ['c-keyword', ''],
  keyword_mode: ['c-keyword-mode', 'present'],
  slow_ms: ['c-slow', '0'],
  timeout_ms: ['c-timeout', ''],
  dns_expect: ['c-dns', ''],
  cert_warn_days: ['c-cert-days', '14'],
};

function fillRules(rules) {
  for (const [key, [id, empty]] of Object.entries(RULE_FIELDS)) {
    const v = rules ? rules[key] : undefined;
    $(id).value = v == null || (key === 'timeout_ms' && Number(v) === 0) ? empty : String(v);
  }
  $('c-follow').checked = !!(rules && Number(rules.follow_redirects));
  $('checks-section').open = !!(rules && rules.has_rules);
}

function rulesArgs() {
  const args = { follow_redirects: $('c-follow').checked ? 1 : 0 };
  for (const [key, [id]] of Object.entries(RULE_FIELDS)) args[key] = key === 'keyword' ? $(id).value : $(id).value.trim();
  return args;
}

// Create (task null) or edit form; the panel's own messages are shown as they come.
export async function openTaskForm(task) {
  const dialog = $('task-dialog');
  state.editing = task ? task.id : null;
  $('task-dialog-title').textContent = task ? '编辑任务' : '添加任务';
  $('f-name').value = task ? task.name ?? '' : '';
  $('f-url').value = task ? task.url ?? '' : '';
  $('f-cycle').value = task ? task.cycle : 5;
  $('task-error').textContent = '';
  $('task-warn').textContent = '';
  markInvalid(null);
  fillRules(null);
  $('f-probe').checked = true;
  dialog.showModal();
  $('f-name').focus();
  if (task) {
    const rules = await query('get_checks', { pid: task.id }).catch((e) => { $('task-error').textContent = e.message; });
    if (rules && state.editing === task.id) fillRules(rules.data);
  }
}

export function watchTaskUrl() {
  let timer;
  $('f-url').addEventListener('input', () => {
    clearTimeout(timer);
    timer = setTimeout(() => warnDuplicate().catch(() => {}), 300);
  });
}

// The id of the task just created: the newest with this name and URL.
async function createdId(name, url) {
  const found = await query('get_overview', { search: url });
  const mine = (found.data || []).filter((t) => t.name === name && t.url === url);
  return mine.length ? Math.max(...mine.map((t) => Number(t.id))) : null;
}

export async function saveTask(event) {
  event.preventDefault();
  const wrong = taskFormError();
  markInvalid(wrong && wrong[0]);
  if (wrong) {
    $('task-error').textContent = wrong[1];
    $(wrong[0]).focus();
    return;
  }
  const args = { name2: $('f-name').value.trim(), url: $('f-url').value.trim(), cycle: $('f-cycle').value.trim() };
  const creating = state.editing == null;
  if (!creating) args.id = state.editing;
  $('task-error').textContent = '';
  $('task-save').disabled = true;
  try {
    const answer = await call(creating ? 'create' : 'modify', args);
    if (!answer || !answer.status) {
      $('task-error').textContent = (answer && answer.msg) || '保存失败';
      return;
    }
    const id = creating ? await createdId(args.name2, args.url) : state.editing;
    if (id == null) throw new Error('找不到刚保存的任务');
    // The task is stored: from here on the form edits it, so that saving again never adds a second.
    state.editing = id;
    $('task-dialog-title').textContent = '编辑任务';
    const rules = await call('set_checks', { pid: id, ...rulesArgs() });
    if (!rules || !rules.status) {
      $('checks-section').open = true;
      $('task-error').textContent = `任务已保存，检查规则未保存：${(rules && rules.msg) || '保存失败'}`;
      await showTasks().catch(fail);
      return;
    }
    $('task-dialog').close();
    toast(answer.msg);
    if (creating) state.taskPage = 1;
    await showTasks();
    if ($('f-probe').checked) await probeSaved({ id, name: args.name2 });
  } catch (e) {
    $('task-error').textContent = e.message;
  } finally {
    $('task-save').disabled = false;
  }
}
