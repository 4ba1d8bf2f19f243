// The task list (overview): monitor and alert banners, title, health filters, rows, probe now and
// the task form.

import { call, query } from './api.js';
import { h, $, setText, toast, localTime, nowSec, duration, ms, percent, percentClass } from './dom.js';
import { nodeFailed, runSummary, pager, nodeTable } from './results.js';
import { sparkline } from './charts.js';
import { state, fail } from './main.js';

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
    setText($('monitor-banner-text'), `调度中心无法连接: ${reason.replace(/^调度中心无法连接[:：]\s*/, '') || '未知原因'}`);
    setText($('monitor-banner-detail'), '最近的拨测都没有结果，监控数据不再更新。');
  } else if (m.state === 'stale') {
    setText($('monitor-banner-text'), '拨测已停止: 超过两个周期没有任务运行');
    setText($('monitor-banner-detail'), reason);
  } else if (m.state === 'late') {
    setText($('monitor-banner-text'), '部分任务未按时拨测');
    setText($('monitor-banner-detail'), reason);
  }
  banner.hidden = !['error', 'stale', 'late'].includes(m.state);
  banner.className = `banner ${m.state === 'error' ? 'error' : 'stale'}`;
  if (counts) {
    const down = Number(counts.down) || 0;
    document.title = down ? `(${down} 异常) ${TITLE}` : TITLE;
  }
}

// No channel configured while tasks fail: every alert stays undelivered, and nobody hears of it
// but through this banner.
function showAlertBanner(outbox) {
  const channels = outbox?.channels || {};
  const failing = Number(outbox?.failing_tasks) || 0;
  const silent = !!outbox && !channels.mail && !channels.dingding && failing > 0;
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
      h('a', { href: logHref, class: 'task-name' }, task.name ?? ''),
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
  const args = { p: state.taskPage };
  if (state.search) args.search = state.search;
  if (state.health) args.health = state.health;
  const [list, all, outbox] = await Promise.all([
    query('get_overview', args),
    // The title counts every task, not only those matching the search.
    state.search ? query('get_overview', { p: 1 }) : null,
    // The banner must not cost the list: without its answer it stays as it was.
    query('get_undelivered').catch(() => undefined),
  ]);
  if (seq !== state.seq.tasks) return;
  showMonitor(list.monitor, (all || list).counts);
  if (outbox !== undefined) showAlertBanner(outbox);
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
export function openTaskForm(task) {
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
