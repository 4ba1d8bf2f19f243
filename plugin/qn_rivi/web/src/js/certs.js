// The certificates view: every HTTPS task's certificate, soonest expiry first, with each ISP
// line's certificate listed when the lines were served different ones (their fingerprints differ).

import { query } from './api.js';
import { h, $, localTime } from './dom.js';
import { pager } from './results.js';
import { state, fail } from './main.js';

// Days left -> badge class: expired or within a week bad, within the default warning days warn.
const daysClass = (d) => (d == null ? 'off' : d < 7 ? 'bad' : d <= 14 ? 'warn' : 'ok');
const daysText = (d) => (d == null ? '未检测' : d < 0 ? '已过期' : `${d} 天`);

// Whether the task's lines were served more than one certificate.
export const linesDisagree = (lines) => new Set((lines || []).map((l) => l.fingerprint_sha256)).size > 1;

function linesCell(lines) {
  if (!lines.length) return '—';
  if (!linesDisagree(lines)) {
    const bad = lines.find((l) => l.verify_error);
    return h('div', {}, `${lines.length} 条线路一致`,
      bad ? h('div', { class: 'reason bad small' }, `验证失败：${bad.verify_error}`) : null);
  }
  return h('div', {},
    h('span', { class: 'badge bad cert-disagree' }, '各线路证书不一致'),
    h('ul', { class: 'cert-lines' }, lines.map((l) => h('li', { 'data-isp': l.isp },
      h('strong', {}, `${l.isp}: `),
      `${localTime(l.not_after)}（${daysText(l.days_left)}）`,
      l.issuer ? ` · ${l.issuer}` : '',
      h('div', { class: 'fingerprint muted', title: 'SHA-256 指纹' }, String(l.fingerprint_sha256 ?? '')),
      l.verify_error ? h('div', { class: 'reason bad small' }, `验证失败：${l.verify_error}`) : null))));
}

function certRow(c) {
  const lines = Array.isArray(c.lines) ? c.lines : [];
  const names = Array.isArray(c.names) ? c.names : [];
  return h('tr', { 'data-pid': c.pid },
    h('td', { 'data-label': '任务' }, h('div', {}, h('a', { href: `#log=${encodeURIComponent(c.pid)}` }, String(c.name ?? '')),
      h('div', { class: 'muted small' }, String(c.url ?? '')))),
    h('td', { 'data-label': '到期时间' }, localTime(c.not_after) || '—'),
    h('td', { 'data-label': '剩余天数' }, h('span', { class: `badge ${daysClass(c.days_left)} days-left` }, daysText(c.days_left))),
    h('td', { 'data-label': '颁发者' }, c.issuer || '—'),
    h('td', { 'data-label': '域名' }, names.length ? names.join(', ') : '—'),
    h('td', { 'data-label': '各线路' }, linesCell(lines)));
}

export async function showCerts() {
  const seq = (state.seq.certs = (state.seq.certs || 0) + 1);
  const answer = await query('get_certificates', { p: state.certPage || 1 });
  if (seq !== state.seq.certs) return;
  const rows = (answer.data || []).map(certRow);
  if (!rows.length) rows.push(h('tr', {}, h('td', { colspan: 6, class: 'empty' }, '没有 HTTPS 任务')));
  $('cert-table').tBodies[0].replaceChildren(...rows);
  pager($('cert-pager'), answer.page, (p) => { state.certPage = p; showCerts().catch(fail); });
}
