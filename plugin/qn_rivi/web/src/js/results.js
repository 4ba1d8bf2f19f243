// A probe's node results: why a node failed and its details, the node table, and the pager.

import { h, ms, bytes } from './dom.js';
import { labelCells } from './tables.js';

const GOOD_CODES = [200, 301, 302, 401, 403];
const NO_ANSWER = '节点未响应';
export const nodeFailed = (n) => n && n.isp !== NO_ANSWER && !GOOD_CODES.includes(Number(n.http_code));

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
    // A time-out after the connection was made is the server's silence.
    if (code === 'timeout' && Number(n.connect_time) > 0) return '响应超时';
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
    parts.push(`错误代码：${capped(code, DETAIL_CHARS)}`);
  }
  if (n.error) parts.push(capped(String(n.error), DETAIL_CHARS));
  return parts.length ? parts.join('\n') : null;
}

// The node list of a log row: already decoded when the summary succeeded, else the stored text.
export function nodesOf(row) {
  if (Array.isArray(row.data)) return row.data;
  try {
    const v = JSON.parse(row.data);
    return Array.isArray(v) ? v : [];
  } catch {
    return [];
  }
}

// "2/5 节点失败：连接被拒绝、连接超时", or "" when every node answered well.
export function runSummary(nodes) {
  const bad = nodes.filter((n) => nodeFailed(n) || n.isp === NO_ANSWER);
  if (!bad.length) return '';
  const words = [...new Set(bad.map(nodeReason).filter(Boolean))].slice(0, 3);
  return `${bad.length}/${nodes.length} 节点失败${words.length ? `：${words.join('、')}` : ''}`;
}

export function pager(el, page, go) {
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

// Every address a node resolved (nodes that send `addresses`), as one text.
const addressesOf = (n) => (Array.isArray(n.addresses) ? n.addresses.map(String).join(', ') : null);

export function nodeTable(table, nodes) {
  const resolved = nodes.some((n) => Array.isArray(n.addresses));
  table.replaceChildren(
    h('thead', {}, h('tr', {}, ['节点（ISP）', 'IP', resolved ? '解析地址' : null, '状态码', '原因', '总耗时', '解析耗时', '首字节', '大小', '速度']
      .filter(Boolean).map((t) => h('th', { scope: 'col' }, t)))),
    h('tbody', {}, nodes.map((n) => {
      const reason = nodeReason(n);
      // Failing nodes carry the report's fixed text in place of their address; with a known
      // cause other than resolution that text would mislead.
      const ip = n.primary_ip === '解析失败' && n.error_code && n.error_code !== 'dns' ? '' : n.primary_ip;
      const isp = n.isp === NO_ANSWER && n.node ? `${NO_ANSWER}（${n.node}）` : n.isp;
      return h('tr', { class: nodeFailed(n) ? 'bad' : (n.isp === NO_ANSWER ? 'muted' : '') },
        h('td', {}, isp ?? '—'),
        h('td', {}, ip || '—'),
        resolved ? h('td', { class: 'addresses' }, addressesOf(n) || '—') : null,
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
  labelCells(table);
}
