// Calls to the panel: the session, the plug-in's methods (`call`, `query`) and the settings posts.

import { state } from './main.js';
import { setDisplayZone } from './dom.js';

// The session's CSRF token as the login left it in a cookie for this script: the first calls go
// out at once instead of after /api/session. Null when absent (a session begun before it).
export function csrfFromCookie() {
  const found = document.cookie.split('; ').find((c) => c.startsWith('rivi_csrf='));
  return found ? decodeURIComponent(found.slice('rivi_csrf='.length)) || null : null;
}

export async function loadSession() {
  const res = await fetch('/api/session', { credentials: 'same-origin' });
  if (res.status === 401) {
    location.href = '/login';
    return false;
  }
  state.csrf = (await res.json()).csrf;
  return true;
}

// Calls a plug-in method with `args` as form fields; answers its JSON answer. Throws an Error
// with the panel's message when the call fails.
export async function call(method, args = {}) {
  const body = new URLSearchParams();
  for (const [k, v] of Object.entries(args)) body.append(k, String(v));
  const send = () => fetch(`/plugin?action=a&name=qn_rivi&s=${encodeURIComponent(method)}`, {
    method: 'POST',
    credentials: 'same-origin',
    headers: { 'X-CSRF-Token': state.csrf },
    body,
  });
  let res = await send();
  // A token read from a cookie another login replaced: ask the session once and send again.
  if (res.status === 403) {
    const before = state.csrf;
    if ((await loadSession()) && state.csrf !== before) res = await send();
  }
  let data = null;
  try {
    data = await res.json();
  } catch {
    data = null;
  }
  if (res.status === 401) {
    location.href = '/login';
    throw new Error('未登录');
  }
  if (!res.ok) throw new Error((data && data.msg) || `请求失败（HTTP ${res.status}）`);
  return data;
}

// The display zone comes with every overview's answer (`timezone`). Until the first has come, the
// answers of other queries wait for it, so that no view shows a time in the browser's zone first.
let zoneKnown;
const firstZone = new Promise((resolve) => { zoneKnown = resolve; });

// A query's answer, or an Error with the envelope's message when it refused.
export async function query(method, args) {
  let answer;
  if (method === 'get_overview') {
    try {
      answer = await call(method, args);
      if (answer && typeof answer.timezone === 'string') setDisplayZone(answer.timezone);
    } finally {
      zoneKnown();  // a failed overview must not hold the other views back
    }
  } else {
    answer = await call(method, args);
    await firstZone;
  }
  if (answer && answer.status === false) throw new Error(answer.msg || '请求失败');
  return answer;
}

// Posts a settings form to the host's route `/api/settings/<what>`; answers the envelope
// {status, msg}, a refusal included (its message is for the administrator).
export async function saveSettings(what, body) {
  const res = await fetch(`/api/settings/${what}`, {
    method: 'POST', credentials: 'same-origin', headers: { 'X-CSRF-Token': state.csrf }, body,
  });
  if (res.status === 401) {
    location.href = '/login';
    throw new Error('未登录');
  }
  let data = null;
  try {
    data = await res.json();
  } catch {
    data = null;
  }
  return data && typeof data.msg === 'string' ? data : { status: false, msg: `保存失败（HTTP ${res.status}）` };
}
