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

// Times are shown in the display zone the server names (the settings' 显示时区), else in the
// browser's own; `setDisplayZone` is called with the name each overview brings (api.js) and
// with the one the settings save.
let zoneParts = null;
let zoneName = '';

export function setDisplayZone(name) {
  const zone = typeof name === 'string' ? name : '';
  if (zoneParts && zone === zoneName) return;
  try {
    zoneParts = new Intl.DateTimeFormat('en-US', {
      timeZone: zone || undefined, hourCycle: 'h23', year: 'numeric', month: '2-digit', day: '2-digit',
      hour: '2-digit', minute: '2-digit', second: '2-digit', timeZoneName: 'longOffset',
    });
    zoneName = zone;
  } catch {
    zoneParts = null;  // a name this browser does not know: its own zone
    zoneName = '';
  }
}

// The fields of `sec` in the display zone, with its offset as "+08:00".
function zoned(sec) {
  if (!zoneParts) setDisplayZone(zoneName);
  const parts = {};
  for (const p of zoneParts.formatToParts(new Date(sec * 1000))) parts[p.type] = p.value;
  const offset = (parts.timeZoneName || '').replace(/^GMT/, '') || '+00:00';
  return { ...parts, offset };
}

// Unix seconds -> "YYYY-MM-DD HH:MM:SS" in the display zone; empty values -> "".
export function localTime(sec) {
  const n = Number(sec);
  if (!sec || !Number.isFinite(n)) return '';
  const p = zoned(n);
  return `${p.year}-${p.month}-${p.day} ${p.hour}:${p.minute}:${p.second}`;
}

// The display zone's offset at `sec` (default now), as "UTC+08:00".
export function zoneLabel(sec = Date.now() / 1000) {
  return `UTC${zoned(Number(sec)).offset}`;
}

export function hourLabel(sec, withDay) {
  const p = zoned(Number(sec));
  const hm = `${p.hour}:00`;
  return withDay ? `${p.month}-${p.day} ${hm}` : hm;
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
