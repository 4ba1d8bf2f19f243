// Maintenance windows: the list and the form that adds one, for one task (its log view) or for
// every task (the 维护窗口 view). Times are the server's clock, which the form says.

import { call, query } from './api.js';
import { h, toast, setText } from './dom.js';
import { fail } from './main.js';

const WEEKDAYS = ['一', '二', '三', '四', '五', '六', '日'];

// One form a container, built when the container is shown for another task; the list below it is
// rendered again on every refresh, so a half-filled form keeps what was typed.
function formOf(box, pid, reload) {
  const field = (name) => box.querySelector(`[name="${name}"]`);
  const kindChanged = () => {
    const weekly = field('kind').value === 'weekly';
    box.querySelector('.maint-once').hidden = weekly;
    box.querySelector('.maint-weekly').hidden = !weekly;
  };
  const submit = async (event) => {
    event.preventDefault();
    const error = box.querySelector('.error');
    const args = { kind: field('kind').value, note: field('note').value.trim() };
    if (pid != null) args.pid = pid;
    if (args.kind === 'once') {
      // datetime-local gives "YYYY-MM-DDTHH:MM": the server reads it on its own clock.
      args.start = field('start').value;
      args.end = field('end').value;
    } else {
      args.weekdays = [...box.querySelectorAll('input[name="weekday"]:checked')].map((c) => c.value).join(',');
      args.at = field('at').value;
      args.duration = field('duration').value.trim();
    }
    const button = box.querySelector('button[type="submit"]');
    button.disabled = true;
    try {
      const answer = await call('set_maintenance', args);
      if (answer && answer.status) {
        error.textContent = '';
        toast(answer.msg);
        field('note').value = '';
        await reload();
      } else {
        error.textContent = (answer && answer.msg) || '保存失败';
      }
    } catch (e) {
      error.textContent = e.message;
    } finally {
      button.disabled = false;
    }
  };
  const label = (text, input) => h('label', {}, `${text} `, input);
  return h('form', { class: 'maint-form', novalidate: true, onsubmit: submit },
    h('div', { class: 'maint-fields' },
      label('类型', h('select', { name: 'kind', onchange: kindChanged },
        h('option', { value: 'once' }, '一次性'), h('option', { value: 'weekly' }, '每周'))),
      h('span', { class: 'maint-once' },
        label('开始', h('input', { name: 'start', type: 'datetime-local' })),
        label('结束', h('input', { name: 'end', type: 'datetime-local' }))),
      h('span', { class: 'maint-weekly', hidden: true },
        h('span', { class: 'weekdays', role: 'group', 'aria-label': '星期' },
          ...WEEKDAYS.map((d, i) => h('label', { class: 'check' },
            h('input', { type: 'checkbox', name: 'weekday', value: String(i + 1) }), `周${d}`))),
        label('开始时刻', h('input', { name: 'at', type: 'time' })),
        label('持续（分钟）', h('input', { name: 'duration', type: 'number', min: 1, max: 10080, step: 1, value: 60 }))),
      label('备注', h('input', { name: 'note', maxlength: 100, autocomplete: 'off' })),
      h('button', { type: 'submit', class: 'primary' }, pid != null ? '添加本任务的维护窗口' : '添加全部任务的维护窗口')),
    h('p', { class: 'error', role: 'alert' }),
    h('p', { class: 'muted small maint-clock' }));
}

function rowOf(w, reload) {
  const remove = async () => {
    if (!confirm(`确定删除维护窗口“${w.text}”吗？`)) return;
    const answer = await call('remove_maintenance', { id: w.id }).catch(fail);
    if (!answer) return;
    toast(answer.msg, !answer.status);
    await reload();
  };
  return h('tr', { 'data-id': w.id },
    h('td', { 'data-label': '范围' }, String(w.task ?? '')),
    h('td', { 'data-label': '时间' }, String(w.text ?? '')),
    h('td', { 'data-label': '备注', class: 'reason' }, w.note || '—'),
    h('td', { 'data-label': '状态' }, w.active ? h('span', { class: 'badge maint' }, '维护中') : h('span', { class: 'muted' }, '未生效')),
    h('td', { 'data-label': '操作', class: 'ops' }, h('button', { type: 'button', class: 'link danger delete', onclick: remove }, '删除')));
}

// Renders the windows of task `pid` (its own and every task's), or every window when `pid` is
// null, into `box`; answers whether a window covers the task now. After a window is added or
// removed, `changed` runs (by default this again), so that a view can show the change elsewhere.
export async function showMaintenance(box, pid, changed = null) {
  const reload = () => (changed ? changed() : showMaintenance(box, pid)).catch(fail);
  const answer = await query('get_maintenance', pid != null ? { pid } : {});
  const key = pid == null ? 'all' : String(pid);
  if (box.dataset.pid !== key) {
    box.dataset.pid = key;
    box.replaceChildren(
      h('div', { class: 'table-wrap flat', tabindex: 0, role: 'region', 'aria-labelledby': `maint-table-${key}` },
        h('table', { class: 'maint-table', id: `maint-table-${key}`, 'aria-label': '维护窗口' },
          h('thead', {}, h('tr', {}, ...['范围', '时间', '备注', '状态', '操作'].map((t) => h('th', { scope: 'col' }, t)))),
          h('tbody'))),
      formOf(box, pid, reload));
  }
  const rows = (answer.data || []).map((w) => rowOf(w, reload));
  if (!rows.length) rows.push(h('tr', {}, h('td', { colspan: 5, class: 'empty' }, '没有维护窗口')));
  box.querySelector('tbody').replaceChildren(...rows);
  setText(box.querySelector('.maint-clock'),
    `时间与星期按服务器时间（${answer.timezone ?? ''}）计，现在是 ${answer.now ?? ''}；维护期间的拨测照常记录，不计入可用率，也不发告警。`);
  return Boolean(answer.active);
}
