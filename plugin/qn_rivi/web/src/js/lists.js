// The task list's view state and the work on many tasks: the tag filter, sorting by column
// header, the rows a page, the address that keeps them (so a view can be bookmarked and
// reloaded), the row checkboxes with the bulk actions, and the import and export of tasks.

import { call } from './api.js';
import { h, $, toast } from './dom.js';
import { state, fail } from './main.js';
import { showTasks } from './tasks.js';
import { labelCells } from './tables.js';

// Keys of the list's state in the address's query, beside the page's own (`refresh`).
const KEYS = { tag: 'tag', sort: 'sort', order: 'order', rows: 'rows', search: 'search', health: 'health', p: 'taskPage' };

export function readAddress() {
  const q = new URLSearchParams(location.search);
  for (const [key, field] of Object.entries(KEYS)) {
    const v = q.get(key);
    if (v == null || v === '') continue;
    state[field] = key === 'p' || key === 'rows' ? Number(v) || state[field] : v;
  }
  if ($('search')) $('search').value = state.search;
}

// Writes the list's state into the address without a new history entry.
export function writeAddress() {
  const q = new URLSearchParams(location.search);
  for (const [key, field] of Object.entries(KEYS)) {
    const v = state[field];
    const unset = v === '' || v == null || (key === 'p' && Number(v) === 1) || (key === 'rows' && Number(v) === 12);
    if (unset) q.delete(key); else q.set(key, String(v));
  }
  const text = q.toString();
  history.replaceState(null, '', `${location.pathname}${text ? `?${text}` : ''}${location.hash}`);
}

// The arguments of get_overview for the current state.
export function overviewArgs() {
  const args = { p: state.taskPage, rows: state.rows };
  for (const key of ['search', 'health', 'tag', 'sort', 'order']) if (state[key]) args[key] = state[key];
  return args;
}

// The sortable headers: a click sorts by the column, a second click turns the order round.
function markHeaders() {
  for (const th of document.querySelectorAll('#task-table th[data-sort]')) {
    const on = th.dataset.sort === state.sort;
    th.setAttribute('aria-sort', on ? (state.order === 'desc' ? 'descending' : 'ascending') : 'none');
  }
}

function sortBy(key) {
  if (state.sort === key) state.order = state.order === 'desc' ? 'asc' : 'desc';
  else { state.sort = key; state.order = key === 'last' ? 'desc' : 'asc'; }
  state.taskPage = 1;
  showTasks().catch(fail);
}

// The tag filter's choices: every tag with its number of tasks, as each overview brings them.
// Rebuilt only when they or the chosen tag changed, so that a refresh leaves an open list alone.
let shownTags = null;
export function showTagFilter(given) {
  const key = JSON.stringify([given, state.tag]);
  if (key === shownTags) return;
  shownTags = key;
  const select = $('tag-filter');
  const options = [h('option', { value: '' }, '全部标签')];
  const tags = [...(given || [])];
  if (state.tag && !tags.some((t) => t.tag === state.tag)) tags.push({ tag: state.tag, count: 0 });
  for (const t of tags) options.push(h('option', { value: t.tag }, `${t.tag} (${t.count})`));
  select.replaceChildren(...options);
  select.value = state.tag;
}

// Called after the rows are drawn: the headers, the address, the checkboxes and the toolbar.
export function afterRows() {
  markHeaders();
  writeAddress();
  $('rows-select').value = String(state.rows);
  const boxes = [...document.querySelectorAll('#task-table tbody input.pick')];
  for (const box of boxes) box.checked = state.selected.has(box.value);
  $('pick-all').checked = boxes.length > 0 && boxes.every((b) => b.checked);
  showBulkBar();
}

function showBulkBar() {
  const n = state.selected.size;
  $('bulk-bar').hidden = n === 0;
  $('bulk-count').textContent = `已选 ${n} 个任务`;
}

// The checkbox of a row, at the start of its name cell (the row's cells keep their places).
export function pickBox(task) {
  const id = String(task.id);
  return h('input', {
    type: 'checkbox', class: 'pick', value: id, 'aria-label': `选择 ${task.name ?? id}`,
    onchange: (e) => { if (e.target.checked) state.selected.add(id); else state.selected.delete(id); afterRows(); },
  });
}

export function tagBadges(task) {
  return (task.tags || []).map((t) => h('button', {
    type: 'button', class: 'badge tag', title: `只看标签“${t}”`, onclick: () => setTag(t),
  }, t));
}

function setTag(tag) {
  state.tag = tag;
  state.taskPage = 1;
  showTasks().catch(fail);
}

const ACTION_WORDS = { pause: '暂停', resume: '恢复', delete: '删除', cycle: '修改周期', tag_add: '添加标签', tag_remove: '移除标签', probe: '立即拨测' };

async function runBulk(action) {
  const ids = [...state.selected];
  let value = '';
  if (action === 'cycle') value = prompt('新的拨测周期（分钟）：', '5');
  if (action === 'tag_add' || action === 'tag_remove') value = prompt(`${ACTION_WORDS[action]}：`, state.tag || '');
  if (value == null) return;
  if (action === 'delete' && !confirm(`确定删除选中的 ${ids.length} 个任务及其全部拨测记录吗？`)) return;
  const answer = await call('bulk', { action, ids: ids.join(','), value }).catch(fail);
  if (!answer) return;
  if (!answer.data) { toast(answer.msg, true); return; }
  const names = new Map([...document.querySelectorAll('#task-table tbody tr[data-id]')]
    .map((tr) => [tr.dataset.id, tr.querySelector('.task-name')?.textContent ?? '']));
  $('bulk-title').textContent = `${ACTION_WORDS[action]}：${answer.msg}`;
  $('bulk-results').replaceChildren(
    h('thead', {}, h('tr', {}, h('th', { scope: 'col' }, '任务'), h('th', { scope: 'col' }, '结果'), h('th', { scope: 'col' }, '说明'))),
    h('tbody', {}, ...answer.data.map((r) => h('tr', { 'data-id': String(r.id), class: r.status ? '' : 'failed' },
      h('td', {}, names.get(String(r.id)) || `#${r.id}`),
      h('td', {}, h('span', { class: `badge ${r.status ? 'ok' : 'bad'}` }, r.status ? '成功' : '失败')),
      h('td', {}, String(r.msg ?? ''))))));
  labelCells($('bulk-results'));
  $('bulk-dialog').showModal();
  if (action === 'delete') for (const r of answer.data) if (r.status) state.selected.delete(String(r.id));
  await showTasks().catch(fail);
}

const IMPORT_WORDS = { create: ['新建', 'ok'], change: ['修改', 'warn'], skip: ['跳过', 'off'], refuse: ['拒绝', 'bad'] };

function importArgs(dryRun) {
  const args = { data: $('import-data').value };
  if ($('import-format').value) args.format = $('import-format').value;
  if (dryRun) args.dry_run = 1;
  return args;
}

async function previewImport() {
  const answer = await call('import_tasks', importArgs(true)).catch(fail);
  if (!answer) return;
  $('import-summary').textContent = answer.msg;
  $('import-summary').classList.toggle('bad', !answer.status);
  const rows = answer.data || [];
  $('import-preview').replaceChildren(
    h('thead', {}, h('tr', {}, ...['行', '名称', 'URL', '周期', '标签', '操作', '说明'].map((t) => h('th', { scope: 'col' }, t)))),
    h('tbody', {}, ...rows.map((r) => {
      const [word, cls] = IMPORT_WORDS[r.action] || [r.action, 'off'];
      return h('tr', { 'data-action': r.action },
        h('td', {}, String(r.row)), h('td', {}, r.name ?? ''), h('td', { class: 'url' }, r.url ?? ''),
        h('td', {}, String(r.cycle ?? '')), h('td', {}, (r.tags || []).join(', ')),
        h('td', {}, h('span', { class: `badge ${cls}` }, word)), h('td', {}, String(r.msg ?? '')));
    })));
  labelCells($('import-preview'));
  $('import-apply').disabled = !answer.status || !rows.some((r) => r.action === 'create' || r.action === 'change');
}

async function applyImport() {
  const answer = await call('import_tasks', importArgs(false)).catch(fail);
  if (!answer) return;
  toast(answer.msg, !answer.status);
  if (!answer.status) return;
  $('import-dialog').close();
  await showTasks().catch(fail);
}

async function exportTasks() {
  const doc = await call('export_tasks', {}).catch(fail);
  if (!doc) return;
  const blob = new Blob([JSON.stringify(doc, null, 2)], { type: 'application/json' });
  const a = h('a', { href: URL.createObjectURL(blob), download: `rivi-tasks-${new Date().toISOString().slice(0, 10)}.json` });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(a.href), 1000);
}

export function bindLists() {
  readAddress();
  for (const th of document.querySelectorAll('#task-table th[data-sort]')) {
    const label = [...th.childNodes].find((n) => n.nodeType === Node.TEXT_NODE && n.textContent.trim());
    const button = h('button', { type: 'button', class: 'sort' }, label.textContent.trim());
    button.addEventListener('click', () => sortBy(th.dataset.sort));
    label.replaceWith(button);
  }
  $('tag-filter').addEventListener('change', (e) => setTag(e.target.value));
  $('rows-select').addEventListener('change', (e) => {
    state.rows = Number(e.target.value);
    state.taskPage = 1;
    showTasks().catch(fail);
  });
  $('pick-all').addEventListener('change', (e) => {
    for (const box of document.querySelectorAll('#task-table tbody input.pick')) {
      if (e.target.checked) state.selected.add(box.value); else state.selected.delete(box.value);
    }
    afterRows();
  });
  for (const b of document.querySelectorAll('#bulk-bar [data-action]')) b.addEventListener('click', () => runBulk(b.dataset.action));
  $('bulk-clear').addEventListener('click', () => { state.selected.clear(); afterRows(); });
  $('bulk-close').addEventListener('click', () => $('bulk-dialog').close());
  $('import-open').addEventListener('click', () => {
    $('import-preview').replaceChildren();
    $('import-summary').textContent = '';
    $('import-apply').disabled = true;
    $('import-dialog').showModal();
  });
  $('import-file').addEventListener('change', async (e) => {
    const file = e.target.files[0];
    if (!file) return;
    $('import-data').value = await file.text();
    previewImport();
  });
  $('import-preview-button').addEventListener('click', previewImport);
  $('import-apply').addEventListener('click', applyImport);
  $('import-cancel').addEventListener('click', () => $('import-dialog').close());
  $('export-tasks').addEventListener('click', exportTasks);
}
