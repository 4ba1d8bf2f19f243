// DOM and format helpers: elements, texts, the toast, times, durations, numbers and sizes.

// Builds an element; string children become text nodes.
export function h(tag, props = {}, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (v === false || v == null) continue;
    if (k === 'class') el.className = v;
    else if (k.startsWith('on')) el.addEventListener(k.slice(2), v);
    else el.setAttribute(k, v === true ? '' : String(v));
  }
  for (const c of children.flat()) {
    if (c == null || c === false) continue;
    el.append(c instanceof Node ? c : String(c));
  }
  return el;
}

// The same for SVG elements (attributes only, no handlers).
export function svg(tag, attrs = {}, ...children) {
  const el = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [k, v] of Object.entries(attrs)) if (v != null) el.setAttribute(k, String(v));
  for (const c of children.flat()) if (c != null) el.append(c instanceof Node ? c : String(c));
  return el;
}

export const $ = (id) => document.getElementById(id);

// Sets a text only when it changes, so that a live region is not announced again on a refresh.
export function setText(el, text) {
  if (el.textContent !== text) el.textContent = text;
}

export function toast(text, bad = false) {
  const t = $('toast');
  t.textContent = text;
  t.className = bad ? 'show bad' : 'show';
  clearTimeout(toast.timer);
  toast.timer = setTimeout(() => { t.className = ''; }, 4000);
}

const pad = (n) => String(n).padStart(2, '0');

// Unix seconds -> local "YYYY-MM-DD HH:MM:SS"; empty values -> "".
export function localTime(sec) {
  const n = Number(sec);
  if (!sec || !Number.isFinite(n)) return '';
  const d = new Date(n * 1000);
  return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
    `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
}

export function hourLabel(sec, withDay) {
  const d = new Date(Number(sec) * 1000);
  const hm = `${pad(d.getHours())}:00`;
  return withDay ? `${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${hm}` : hm;
}

export const nowSec = () => Date.now() / 1000;

// Seconds -> "3天2小时", "5小时10分钟", "12分钟", "40秒".
export function duration(sec) {
  const s = Math.max(0, Math.floor(Number(sec) || 0));
  const d = Math.floor(s / 86400);
  const hr = Math.floor((s % 86400) / 3600);
  const m = Math.floor((s % 3600) / 60);
  if (d) return hr ? `${d}天${hr}小时` : `${d}天`;
  if (hr) return m ? `${hr}小时${m}分钟` : `${hr}小时`;
  if (m) return `${m}分钟`;
  return `${s}秒`;
}

export const isNum = (v) => typeof v === 'number' && Number.isFinite(v);

export function ms(v) {
  if (!isNum(v)) return v == null || v === '' ? '—' : String(v);
  return v >= 1000 ? `${(v / 1000).toFixed(2)} s` : `${v.toFixed(2)} ms`;
}

export const percent = (v) => (isNum(v) ? `${v.toFixed(2)}%` : '—');
export const percentClass = (v) => (!isNum(v) ? 'pct none' : v >= 99 ? 'pct good' : v >= 90 ? 'pct warn' : 'pct bad');

export function bytes(v, suffix = '') {
  if (!isNum(v)) return v == null || v === '' ? '—' : String(v);
  const units = ['B', 'KB', 'MB', 'GB'];
  let i = 0;
  while (v >= 1024 && i < units.length - 1) { v /= 1024; i += 1; }
  return `${i === 0 ? v : v.toFixed(2)} ${units[i]}${suffix}`;
}
