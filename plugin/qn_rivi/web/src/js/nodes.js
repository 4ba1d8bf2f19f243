// The probe nodes view: the dispatch centre's nodes with their state, transport and latest error.

import { query } from './api.js';
import { h, $, localTime, ms } from './dom.js';
import { state } from './main.js';

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
export async function showNodes() {
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
