// The API tokens card of the settings view: the list (never the tokens), a form that makes one
// and shows it once, and revocation.

import { call, query } from './api.js';
import { h, $, setText, toast } from './dom.js';
import { labelCells } from './tables.js';

const SCOPES = { read: '只读', write: '读写' };

export async function showTokens() {
  const answer = await query('get_tokens');
  const rows = Array.isArray(answer.data) ? answer.data : [];
  const table = $('tokens');
  table.replaceChildren(
    h('thead', {}, h('tr', {}, ['名称', '权限', '创建时间', '最近使用', '操作'].map((t) => h('th', { scope: 'col' }, t)))),
    h('tbody', {}, rows.length ? rows.map((t) => h('tr', {},
      h('td', {}, String(t.name ?? '')),
      h('td', {}, SCOPES[t.scope] ?? String(t.scope ?? '')),
      h('td', {}, String(t.created ?? '')),
      h('td', {}, t.last_used ? String(t.last_used) : '从未使用'),
      h('td', {}, h('button', { type: 'button', class: 'link danger', onclick: () => revoke(t) }, '撤销')),
    )) : h('tr', {}, h('td', { colspan: 5, class: 'muted' }, '尚无令牌'))),
  );
  labelCells(table);
}

async function revoke(token) {
  if (!window.confirm(`撤销令牌「${token.name}」？使用它的脚本将立即失去访问权限。`)) return;
  try {
    const answer = await call('revoke_token', { id: token.id });
    toast(answer.msg, !answer.status);
    await showTokens();
  } catch (err) {
    toast(err.message, true);
  }
}

export function bindTokens() {
  $('token-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const button = e.currentTarget.querySelector('button[type=submit]');
    button.disabled = true;
    $('token-made').hidden = true;
    try {
      const answer = await call('create_token', { name: $('token-name').value, scope: $('token-scope').value });
      setText($('token-error'), answer.status ? '' : answer.msg);
      if (!answer.status) return;
      $('token-value').value = answer.token;
      $('token-made').hidden = false;
      $('token-name').value = '';
      await showTokens();
    } catch (err) {
      setText($('token-error'), err.message);
    } finally {
      button.disabled = false;
    }
  });
}
