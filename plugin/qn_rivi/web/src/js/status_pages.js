// The settings view's status pages: the public pages (one per tag) with a link to each, and the
// form that adds one or changes the one being edited.

import { call } from './api.js';
import { h, $, setText, toast } from './dom.js';

const SLUG = /^[a-z0-9-]{1,40}$/;

function resetForm() {
  $('status-form').reset();
  $('sp-id').value = '';
  setText($('status-form-title'), '添加状态页');
  setText($('status-error'), '');
  $('sp-cancel').hidden = true;
}

function edit(p) {
  $('sp-id').value = String(p.id);
  $('sp-slug').value = String(p.slug ?? '');
  $('sp-title').value = String(p.title ?? '');
  $('sp-tag').value = String(p.tag ?? '');
  $('sp-description').value = String(p.description ?? '');
  $('sp-show-urls').checked = Number(p.show_urls) === 1;
  setText($('status-form-title'), `修改状态页“${p.title}”`);
  setText($('status-error'), '');
  $('sp-cancel').hidden = false;
  $('sp-slug').focus();
}

async function remove(p) {
  if (!confirm(`确定删除状态页“${p.title}”吗？公开地址 ${p.path} 将不再可用。`)) return;
  const answer = await call('remove_status_page', { id: p.id }).catch((e) => toast(e.message, true));
  if (!answer) return;
  toast(answer.msg, !answer.status);
  if (String(p.id) === $('sp-id').value) resetForm();
  await loadStatusPages();
}

function rowOf(p) {
  return h('tr', { 'data-slug': p.slug },
    h('td', { 'data-label': '标题' }, String(p.title ?? '')),
    h('td', { 'data-label': '公开地址' }, h('a', { href: p.path, target: '_blank', rel: 'noopener' }, String(p.path ?? ''))),
    h('td', { 'data-label': '标签' }, String(p.tag ?? '')),
    h('td', { 'data-label': '项目', class: 'num' }, String(p.tasks ?? 0)),
    h('td', { 'data-label': '网址' }, Number(p.show_urls) === 1 ? '显示' : '隐藏'),
    h('td', { 'data-label': '操作', class: 'ops' },
      h('button', { type: 'button', class: 'link edit', onclick: () => edit(p) }, '编辑'),
      h('button', { type: 'button', class: 'link danger delete', onclick: () => remove(p) }, '删除')));
}

export async function loadStatusPages() {
  const answer = await call('get_status_pages');
  const list = Array.isArray(answer?.data) ? answer.data : [];
  const head = h('tr', {}, ['标题', '公开地址', '标签', '项目', '网址', '操作'].map((t) => h('th', { scope: 'col' }, t)));
  const body = list.length ? list.map(rowOf)
    : [h('tr', {}, h('td', { colspan: 6, class: 'muted' }, '暂无状态页'))];
  $('status-pages').replaceChildren(h('thead', {}, head), h('tbody', {}, body));
  const tags = Array.isArray(answer?.tags) ? answer.tags : [];
  $('sp-tags').replaceChildren(...tags.map((t) => h('option', { value: String(t) })));
}

async function save(e) {
  e.preventDefault();
  const slug = $('sp-slug').value.trim();
  const fields = {
    slug, title: $('sp-title').value.trim(), tag: $('sp-tag').value.trim(),
    description: $('sp-description').value.trim(), show_urls: $('sp-show-urls').checked ? 1 : 0,
  };
  if (!SLUG.test(slug)) return setText($('status-error'), '地址只能由1到40个小写字母、数字或连字符组成');
  if (!fields.title) return setText($('status-error'), '请填写标题');
  if (!fields.tag) return setText($('status-error'), '请填写标签');
  if ($('sp-id').value) fields.id = $('sp-id').value;
  const answer = await call('set_status_page', fields).catch((err) => ({ status: false, msg: err.message }));
  if (!answer.status) return setText($('status-error'), answer.msg);
  toast(answer.msg);
  resetForm();
  await loadStatusPages();
}

export function bindStatusPages() {
  $('status-form').addEventListener('submit', save);
  $('sp-cancel').addEventListener('click', resetForm);
}
