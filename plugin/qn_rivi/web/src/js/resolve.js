// A task's 解析 tab: per ISP line, the addresses its name resolved to over the kept seven days,
// with first and last seen; a line whose latest answer left the task's expected addresses is
// flagged.

import { h, $, localTime } from './dom.js';

export function showResolution(lines) {
  const list = Array.isArray(lines) ? lines : [];
  const flagged = list.filter((l) => l.mismatch).map((l) => l.isp);
  $('resolve-note').textContent = flagged.length
    ? `${flagged.join('、')} 线路的最新解析结果不在预期地址内`
    : '标记“最新”的是该线路最近一次拨测解析到的地址。';
  $('resolve-note').classList.toggle('bad', flagged.length > 0);
  const rows = list.flatMap((line) => (line.addresses || []).map((a, i) => h('tr', {
    'data-isp': line.isp, class: line.mismatch && a.latest ? 'mismatch' : '',
  },
  i === 0 ? h('td', { rowspan: line.addresses.length, 'data-label': '线路' }, String(line.isp ?? ''),
    line.mismatch ? h('div', {}, h('span', { class: 'badge bad dns-mismatch' }, '解析异常')) : null) : null,
  h('td', { 'data-label': '地址', class: a.expected === false ? 'addr unexpected' : 'addr' }, String(a.address ?? ''),
    a.latest ? h('span', { class: 'badge ok small' }, '最新') : null,
    a.expected === false ? h('span', { class: 'badge bad small' }, '不在预期内') : null),
  h('td', { 'data-label': '首次出现' }, localTime(a.first_seen)),
  h('td', { 'data-label': '最后出现' }, localTime(a.last_seen)))));
  if (!rows.length) rows.push(h('tr', {}, h('td', { colspan: 4, class: 'empty' }, '近7天没有解析记录')));
  $('resolve-table').replaceChildren(
    h('thead', {}, h('tr', {}, ['线路', '地址', '首次出现', '最后出现'].map((t) => h('th', { scope: 'col' }, t)))),
    h('tbody', {}, rows));
}

// Shows the log's tab `tab` ('main' or 'resolve').
export function showLogTab(tab) {
  for (const [name, panel, button] of [['main', 'log-main', 'log-tab-main'], ['resolve', 'log-resolve', 'log-tab-resolve']]) {
    $(panel).hidden = name !== tab;
    $(button).setAttribute('aria-selected', String(name === tab));
  }
}
