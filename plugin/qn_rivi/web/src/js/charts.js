// Charts: the charting library, loaded by the views that draw with it on their first chart (the
// task list never needs it), their colours from the style sheet, drawing in place, and the task
// list's sparkline.

import { svg, isNum, ms } from './dom.js';
import { state, fail } from './main.js';

// The library's browser build; the page's build gives it a hashed name and rewrites this path.
const CHART_LIBRARY = new URL('../vendor/chart.umd.js', import.meta.url).href;
let loading = null;

// Loads the library once, by a script tag of its own (the content policy admits the page's own
// files only); answers once `Chart` is there. A failed load is tried again on the next chart.
export function loadCharts() {
  if (typeof Chart !== 'undefined') return Promise.resolve();
  loading ??= new Promise((resolve, reject) => {
    const script = document.createElement('script');
    script.src = CHART_LIBRARY;
    script.onload = () => (typeof Chart !== 'undefined' ? resolve() : reject(new Error('图表库加载后不可用')));
    script.onerror = () => {
      script.remove();
      loading = null;
      reject(new Error('图表库加载失败'));
    };
    document.head.append(script);
  });
  return loading;
}

export const cssVar = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();
export const ISP_COLORS = ['#3b82f6', '#f59e0b', '#a855f7', '#14b8a6', '#ec4899', '#84cc16', '#f97316', '#06b6d4'];

export function applyChartTheme() {
  if (typeof Chart === 'undefined') return;
  Chart.defaults.color = cssVar('--chart-text');
  Chart.defaults.borderColor = cssVar('--chart-grid');
}

// The x axis's labels stay level and clear of each other: at most one for every LABEL_ROOM pixels
// of the chart's width (and never more than the chart asked for), so a narrow screen shows fewer.
const LABEL_ROOM = 90;
function levelLabels(config, width) {
  const options = (config.options ??= {});
  const x = ((options.scales ??= {}).x ??= {});
  const most = x.ticks?.maxTicksLimit ?? 12;
  const fit = (w) => Math.max(2, Math.min(most, Math.floor(w / LABEL_ROOM)));
  x.ticks = { ...x.ticks, autoSkip: true, autoSkipPadding: 12, maxRotation: 0, minRotation: 0, maxTicksLimit: fit(width) };
  options.onResize = (chart, size) => { chart.options.scales.x.ticks.maxTicksLimit = fit(size.width); };
}

// Draws a chart into `canvas`, or updates the one already there so that a refresh does not flash.
// Before the library is there, draws once it has loaded; the last chart asked for a key wins.
export function drawChart(key, canvas, config) {
  if (typeof Chart === 'undefined') {
    const asked = (state.chartsAsked[key] = {});
    loadCharts().then(() => { if (state.chartsAsked[key] === asked) drawChart(key, canvas, config); }, fail);
    return;
  }
  applyChartTheme();
  levelLabels(config, canvas.parentElement.clientWidth);
  const old = state.charts[key];
  if (old && old.canvas === canvas && old.config.type === config.type) {
    old.data = config.data;
    old.options = config.options;
    old.update('none');
    return;
  }
  if (old) old.destroy();
  state.charts[key] = new Chart(canvas, config);
}

// Sparkline of a task's last runs ([addtime, mean_ms | null, status]): the mean time as a line,
// broken where no node answered well, and a red dot on every anomalous run.
export function sparkline(trend) {
  const W = 120;
  const H = 28;
  const runs = Array.isArray(trend) ? trend.filter(Array.isArray) : [];
  const values = runs.map((r) => (isNum(r[1]) ? r[1] : null));
  const max = Math.max(1, ...values.filter((v) => v != null));
  const x = (i) => (runs.length > 1 ? 3 + (i * (W - 6)) / (runs.length - 1) : W / 2);
  const y = (v) => H - 3 - ((v ?? 0) / max) * (H - 6);
  let d = '';
  let pen = false;
  values.forEach((v, i) => {
    if (v == null) { pen = false; return; }
    d += `${pen ? 'L' : 'M'}${x(i).toFixed(1)} ${y(v).toFixed(1)}`;
    pen = true;
  });
  const bad = runs.map((r, i) => [r, i]).filter(([r]) => Number(r[2]) === 0);
  const good = values.filter((v) => v != null);
  const mean = good.length ? good.reduce((a, b) => a + b, 0) / good.length : null;
  const label = runs.length
    ? `最近${runs.length}次拨测：平均耗时 ${ms(mean)}，异常 ${bad.length} 次` : '暂无拨测';
  return svg('svg', { class: 'spark', width: W, height: H, viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-label': label },
    svg('title', {}, label),
    svg('line', { class: 'base', x1: 0, x2: W, y1: H - 2.5, y2: H - 2.5 }),
    d ? svg('path', { class: 'line', d }) : null,
    values.length === 1 && values[0] != null ? svg('circle', { class: 'dot', cx: x(0), cy: y(values[0]), r: 2 }) : null,
    bad.map(([r, i]) => svg('circle', { class: 'bad', cx: x(i).toFixed(1), cy: y(values[i]).toFixed(1), r: 2.5 })));
}
