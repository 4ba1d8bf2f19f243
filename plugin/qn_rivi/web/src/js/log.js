// A task's probe log: availability, the hourly trend chart, incidents, maintenance windows,
// deliveries and each run's detail.

import { call, query } from './api.js';
import {
  h, $, toast, localTime, hourLabel, nowSec, duration, isNum, ms, percent, percentClass
} from './dom.js';
import { nodeFailed, nodesOf, runSummary, pager, nodeTable } from './results.js';
import { cssVar, ISP_COLORS, drawChart, loadCharts } from './charts.js';
import { showDeliveries } from './settings.js';
import { showMaintenance } from './maintenance.js';
import { showResolution } from './resolve.js';
// The log's tabs, switched by the page's start-up once this view has loaded.
export { showLogTab } from './resolve.js';
import { state, fail } from './main.js';

export async function showLog(id) {
  // The library comes while the log's figures do; a failure shows when a chart is drawn.
  loadCharts().catch(() => {});
  if (state.logTask !== id) {
    state.logTask = id;
    state.logPage = 1;
    state.incidentPage = 1;
    state.avail = null;
    $('run-detail').hidden = true;
  }
  const seq = ++state.seq.log;
  const [task, log, incidents, avail, deliveries, inWindow, resolution] = await Promise.all([
    call('get_find', { id }),
    query('get_task_log', { pid: id, p: state.logPage }),
    query('get_incidents', { pid: id, p: state.incidentPage }),
    query('get_availability', { pid: id, days: state.days }),
    call('get_deliveries', { pid: id }),
    // A window added or removed here changes the badge, the bars and the chart's note: all again.
    showMaintenance($('maint-task'), id, () => showLog(id)),
    query('get_resolution', { pid: id }),
  ]);
  if (seq !== state.seq.log) return;
  $('log-maint').hidden = !inWindow;
  $('log-title').textContent = task && task.name != null ? `拨测日志：${task.name}` : `拨测日志：任务 ${id}`;
  $('log-url').textContent = task && task.url ? task.url : '';
  showLogRows(id, log);
  showIncidents(id, incidents);
  showDeliveries(deliveries, 'log-deliveries');
  showResolution(resolution);
  // No run that judged the site in a span (none, or only monitor errors and maintenance): no data.
  for (const [key, el] of [['uptime_24h', 'avail-24h'], ['uptime_7d', 'avail-7d'], ['uptime_30d', 'avail-30d']]) {
    $(el).textContent = avail[key] == null ? '无数据' : percent(avail[key]);
    $(el).className = `stat-value ${percentClass(avail[key])}`;
  }
  state.avail = { days: state.days, hours: Array.isArray(avail.hours) ? avail.hours : [] };
  drawTrend();
}

// The runs of an hour's figures that judged the site: not monitor errors, not in maintenance.
const judged = (f) => (Number(f.runs) || 0) - (Number(f.errors) || 0) - (Number(f.maintenance) || 0);

// One bar of the availability strip for figures summed over some hours: its class and words.
function barOf(label, sum) {
  const n = judged(sum);
  let cls;
  let words;
  if (n > 0) {
    const pct = (100 * sum.good) / n;
    cls = pct >= 99 ? 'good' : pct >= 90 ? 'warn' : 'bad';
    words = `${pct.toFixed(2)}%`;
  } else if (sum.maintenance > 0) {
    cls = 'maint';
    words = '维护中';
  } else {
    cls = 'none';
    words = '无数据';
  }
  const apart = [sum.errors ? `${sum.errors} 次监控异常` : '', sum.maintenance && n > 0 ? `${sum.maintenance} 次维护中` : '']
    .filter(Boolean).join('、');
  const title = `${label} ${words}${apart ? `（${apart}，不计入）` : ''}`;
  return h('span', { class: `avail-bar ${cls}`, role: 'listitem', title, 'aria-label': title, 'data-state': words });
}

// The availability of each hour (one day) or each local day (longer spans), oldest first.
function drawBars(hours, days) {
  const groups = new Map();
  for (const g of hourGrid(hours, days)) {
    const label = days === 1 ? hourLabel(g.t, true) : localTime(g.t).slice(0, 10);
    const sum = groups.get(label) || { runs: 0, good: 0, errors: 0, maintenance: 0 };
    if (g.f) for (const k of Object.keys(sum)) sum[k] += Number(g.f[k]) || 0;
    groups.set(label, sum);
  }
  $('avail-bars').replaceChildren(...[...groups].map(([label, sum]) => barOf(label, sum)));
}

function showLogRows(id, log) {
  const rows = (log.data || []).map((row) => {
    const ok = Number(row.status) === 1;
    const summary = ok ? '' : runSummary(nodesOf(row));
    return h('tr', { 'data-id': row.id },
      h('td', { 'data-label': '时间' }, localTime(row.addtime)),
      h('td', { 'data-label': '结果' }, h('div', {}, h('span', { class: ok ? 'badge ok' : 'badge bad' }, ok ? '正常' : '异常'),
        summary ? h('div', { class: 'reason bad small' }, summary) : null)),
      h('td', { 'data-label': '平均耗时', class: 'num avg' }, ms(row.avgrage)),
      h('td', { 'data-label': '最慢节点' }, 'max_isp' in row ? `${row.max_isp}（${ms(row.max)}）` : '—'),
      h('td', { 'data-label': '最快节点' }, 'min_isp' in row ? `${row.min_isp}（${ms(row.min)}）` : '—'),
      h('td', { 'data-label': '节点数', class: 'num' }, nodesOf(row).length),
      h('td', { 'data-label': '操作', class: 'ops' }, h('span', { class: 'group' },
        h('button', { type: 'button', class: 'link detail', onclick: () => showRun(row) }, '详情'),
        h('button', { type: 'button', class: 'link danger delete', onclick: () => deleteRun(row) }, '删除'))),
    );
  });
  if (!rows.length) rows.push(h('tr', {}, h('td', { colspan: 7, class: 'empty' }, '暂无拨测记录')));
  $('log-table').tBodies[0].replaceChildren(...rows);
  pager($('log-pager'), log.page, (p) => { state.logPage = p; showLog(id).catch(fail); });
}

function showIncidents(id, incidents) {
  const rows = (incidents.data || []).map((it) => {
    const open = it.end == null;
    const nodes = Array.isArray(it.failing_nodes) ? it.failing_nodes : [];
    return h('tr', { 'data-id': it.id, class: open ? 'open' : '' },
      h('td', { 'data-label': '开始' }, localTime(it.start)),
      h('td', { 'data-label': '结束' }, open ? h('span', { class: 'badge bad' }, '进行中') : localTime(it.end)),
      h('td', { 'data-label': '持续', class: 'num duration' }, duration(it.duration)),
      h('td', { 'data-label': '类型' }, it.kind === 'error' ? '调度失败' : '异常'),
      h('td', { 'data-label': '原因', class: 'reason' }, it.reason || '—'),
      h('td', { 'data-label': '失败节点' }, nodes.length ? nodes.join('、') : '—'),
      h('td', { 'data-label': '拨测次数', class: 'num' }, String(it.runs ?? '')));
  });
  if (!rows.length) rows.push(h('tr', {}, h('td', { colspan: 7, class: 'empty' }, '没有故障记录')));
  $('incident-table').tBodies[0].replaceChildren(...rows);
  pager($('incident-pager'), incidents.page, (p) => { state.incidentPage = p; showLog(id).catch(fail); });
}

// Every hour of the chosen span, oldest first, each with its figures or null. The span ends with
// the current hour; hours the server names outside it (a clock apart) widen it.
function hourGrid(hours, days) {
  const last0 = Math.floor(nowSec() / 3600) * 3600;
  const byHour = new Map(hours.map((x) => [Number(x.hour), x]));
  const known = [...byHour.keys()];
  const first = Math.min(last0 - (days * 24 - 1) * 3600, ...known);
  const last = Math.max(last0, ...known);
  const grid = [];
  for (let t = first; t <= last; t += 3600) grid.push({ t, f: byHour.get(t) || null });
  return grid;
}

// Line segments join the hours with a time across hours without runs, but not across an hour that
// had runs and no time (no node answered well): there the line stops, as the site did.
// The charting library styles each pair of neighbouring hours, so every pair inside a broken gap
// is marked.
function gapStyle(values, ran) {
  const brokenPair = values.map(() => false);
  let last = -1;
  values.forEach((v, i) => {
    if (v == null) return;
    let failed = false;
    for (let j = last + 1; j < i; j += 1) failed = failed || ran[j];
    if (last >= 0 && failed) for (let j = last + 1; j <= i; j += 1) brokenPair[j] = true;
    last = i;
  });
  const broken = (ctx) => brokenPair[ctx.p1DataIndex];
  return {
    borderColor: (ctx) => (broken(ctx) ? 'transparent' : undefined),
    backgroundColor: (ctx) => (broken(ctx) ? 'transparent' : undefined),
  };
}

// The span chart: mean time per hour inside the band of the fastest and slowest node, failed
// hours marked on the axis, and on demand one mean line per ISP.
export function drawTrend() {
  for (const b of document.querySelectorAll('#span-buttons button')) {
    b.setAttribute('aria-pressed', String(Number(b.dataset.days) === state.days));
  }
  $('isp-lines').checked = state.ispLines;
  if (!state.avail) return;
  const { days, hours } = state.avail;
  drawBars(hours, days);
  const grid = hourGrid(hours, days);
  const total = (key) => hours.reduce((s, x) => s + (Number(x[key]) || 0), 0);
  const runs = total('runs');
  const failed = hours.filter((x) => Number(x.good) < judged(x));
  const apart = [total('errors') ? `${total('errors')} 次监控异常` : '', total('maintenance') ? `${total('maintenance')} 次在维护中` : '']
    .filter(Boolean).join('、');
  $('trend-note').textContent = runs
    ? `近${days}天共 ${runs} 次拨测，其中 ${failed.length} 个小时有失败（红色三角）${apart ? `；${apart}，不计入可用率` : ''}`
    : `近${days}天暂无拨测数据`;
  const pick = (key) => grid.map((g) => (g.f && isNum(g.f[key]) ? g.f[key] : null));
  const red = cssVar('--red');
  const accent = cssVar('--accent');
  const means = pick('mean');
  const ran = grid.map((g) => Boolean(g.f && judged(g.f) > 0));
  const dots = means.filter((v) => v != null).length <= 80 ? 2 : 0;
  const datasets = [
    { label: '平均耗时（ms）', data: means, borderColor: accent, backgroundColor: accent, borderWidth: 2,
      pointRadius: dots, pointHoverRadius: 4, spanGaps: true, segment: gapStyle(means, ran), order: 1 },
    { label: '最快', data: pick('min'), borderWidth: 0, pointRadius: 0, pointHoverRadius: 0, fill: false,
      spanGaps: true, band: true, order: 3 },
    { label: '最慢', data: pick('max'), borderWidth: 0, pointRadius: 0, pointHoverRadius: 0, fill: '-1',
      backgroundColor: cssVar('--band'), spanGaps: true, segment: gapStyle(means, ran), band: true, order: 3 },
    { label: '有失败的小时', data: grid.map((g) => (g.f && Number(g.f.good) < judged(g.f) ? 0 : null)),
      showLine: false, pointStyle: 'triangle', pointRadius: 6, pointHoverRadius: 8, clip: false,
      borderColor: red, backgroundColor: red, order: 0,
      failures: grid.map((g) => (g.f ? `失败 ${judged(g.f) - g.f.good}/${judged(g.f)} 次` : '')) },
  ];
  if (state.ispLines) {
    const isps = [...new Set(hours.flatMap((x) => Object.keys(x.isp || {})))];
    isps.forEach((isp, i) => {
      const color = ISP_COLORS[i % ISP_COLORS.length];
      const figures = grid.map((g) => (g.f && g.f.isp && g.f.isp[isp]) || null);
      const data = figures.map((f) => (f && isNum(f.mean) ? f.mean : null));
      datasets.push({
        label: isp, isp: true, data, borderColor: color, backgroundColor: color, borderWidth: 1.5, borderDash: [4, 3],
        pointRadius: 0, pointHoverRadius: 3, spanGaps: true, segment: gapStyle(data, figures.map((f) => Boolean(f && f.runs > 0))), order: 2,
      });
    });
  }
  drawChart('trend', $('trend-chart'), {
    type: 'line',
    data: { labels: grid.map((g) => hourLabel(g.t, days > 1)), datasets },
    options: {
      responsive: true, maintainAspectRatio: false, animation: false,
      interaction: { mode: 'index', intersect: false },
      scales: {
        x: { ticks: { autoSkip: true, maxTicksLimit: days === 1 ? 12 : 10, maxRotation: 0 } },
        y: { beginAtZero: true, title: { display: true, text: 'ms' } },
      },
      plugins: {
        legend: { labels: { filter: (item, data) => !data.datasets[item.datasetIndex].band } },
        tooltip: {
          filter: (item) => item.raw != null,
          callbacks: {
            label: (item) => (item.dataset.failures ? item.dataset.failures[item.dataIndex]
              : `${item.dataset.label}: ${ms(item.raw)}`),
          },
        },
      },
    },
  });
}

function showRun(row) {
  const nodes = Array.isArray(row.data) ? row.data : nodesOf(row);
  $('run-detail').hidden = false;
  $('run-title').textContent = `${localTime(row.addtime)} 各节点耗时（从慢到快）`;
  nodeTable($('run-nodes'), nodes);
  drawChart('run', $('run-chart'), {
    type: 'bar',
    data: {
      labels: nodes.map((n) => String(n.isp ?? '')),
      datasets: [{
        label: '总耗时（ms）',
        data: nodes.map((n) => (isNum(n.total_time) ? n.total_time : 0)),
        backgroundColor: nodes.map((n) => (nodeFailed(n) ? cssVar('--red') : cssVar('--blue'))),
      }],
    },
    options: { responsive: true, maintainAspectRatio: false, animation: false, plugins: { legend: { display: false } } },
  });
  $('run-detail').scrollIntoView({ behavior: 'smooth', block: 'start' });
}

async function deleteRun(row) {
  if (!confirm(`确定删除 ${localTime(row.addtime)} 的拨测记录吗？`)) return;
  const answer = await call('remove_task_log', { id: row.id }).catch(fail);
  if (!answer) return;
  toast(answer.msg, !answer.status);
  $('run-detail').hidden = true;
  await showLog(state.logTask).catch(fail);
}
