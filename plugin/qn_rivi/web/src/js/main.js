// The page's start-up: the state the views share, routing between the views and the refresh.
//
// Every text that came from a user or a probe reaches the document as a text node or an
// attribute value set through the DOM; no module here parses HTML. The page refreshes itself in
// place (see `refresh`), never touching a dialog.

import { csrfFromCookie, loadSession } from './api.js';
import { $, toast, localTime, nowSec, zoneLabel } from './dom.js';
import { applyChartTheme } from './charts.js';
import { showTasks, openTaskForm, saveTask, watchTaskUrl } from './tasks.js';
import { bindLists } from './lists.js';

// The views other than the task list come with their first showing (the list is what a load
// waits for); each module is asked once, and the settings' forms are bound when it arrives.
const once = (load) => { let loaded; return () => (loaded ??= load()); };
const views = {
  log: once(() => import('./log.js')),
  settings: once(() => import('./settings.js').then((m) => { m.bindSettings(); return m; })),
  nodes: once(() => import('./nodes.js')),
  maintenance: once(() => import('./maintenance.js')),
  certs: once(() => import('./certs.js')),
};
let logModule = null;  // set once the log view has loaded: the theme's redraw needs it then only
const showLog = async (id) => { logModule = await views.log(); return logModule.showLog(id); };
const drawTrend = () => logModule?.drawTrend();
const showSettings = async () => (await views.settings()).showSettings();
const showNodes = async () => (await views.nodes()).showNodes();
const showMaintenance = async (...args) => (await views.maintenance()).showMaintenance(...args);
const showCerts = async () => (await views.certs()).showCerts();
// The tabs are in the log view, shown only once its module has loaded.
const showLogTab = (tab) => logModule?.showLogTab(tab);

export const state = {
  csrf: null, taskPage: 1, search: '', health: '', tag: '', sort: '', order: '', rows: 12, selected: new Set(), logPage: 1, logTask: null, incidentPage: 1,
  certPage: 1, days: 7, ispLines: false, avail: null, charts: {}, chartsAsked: {}, seq: { tasks: 0, log: 0 }, refreshes: 0,
};

export function fail(e) {
  toast(e && e.message ? e.message : String(e), true);
}

function currentView() {
  const [view, arg] = (location.hash.slice(1) || 'tasks').split('=');
  return { view: ['log', 'settings', 'nodes', 'maintenance', 'certs'].includes(view) && (view !== 'log' || arg) ? view : 'tasks',
    arg: arg && decodeURIComponent(arg) };
}

async function route() {
  const { view, arg } = currentView();
  // A view is shown once its module has loaded (at once after the first time), so that what is
  // shown is already bound and marked as loading.
  if (views[view]) {
    try {
      const module = await views[view]();
      if (view === 'log') logModule = module;
    } catch (e) {
      fail(e);
    }
  }
  for (const v of ['tasks', 'log', 'settings', 'nodes', 'maintenance', 'certs']) $(`view-${v}`).hidden = v !== view;
  // The task list's link stays marked on a task's log.
  const marked = { tasks: view === 'tasks' || view === 'log', nodes: view === 'nodes', settings: view === 'settings',
    maintenance: view === 'maintenance', certs: view === 'certs' };
  for (const [nav, on] of Object.entries(marked)) {
    $(`nav-${nav}`).classList.toggle('active', on);
    $(`nav-${nav}`).toggleAttribute('aria-current', on);
  }
  try {
    // The overview also feeds the banner and the title, whichever view is shown.
    await Promise.all([
      showTasks(),
      view === 'log' ? showLog(arg) : null,
      view === 'settings' ? showSettings() : null,
      view === 'nodes' ? showNodes() : null,
      view === 'maintenance' ? showMaintenance($('maint-all'), null) : null,
      view === 'certs' ? showCerts() : null,
    ]);
  } catch (e) {
    fail(e);
  }
}

// Seconds between refreshes: 30, or `?refresh=N` in the page's address (at least 1).
function refreshSeconds() {
  const n = Number(new URLSearchParams(location.search).get('refresh'));
  return Number.isFinite(n) && n >= 1 ? n : 30;
}

// Reads the shown view again and renders it in place: open dialogs, the scroll position, the
// chosen page, filter, span and the shown run stay as they are. A hidden tab waits.
async function refresh() {
  if (document.hidden) return;
  const { view, arg } = currentView();
  try {
    await Promise.all([showTasks(), view === 'log' ? showLog(arg) : null, view === 'nodes' ? showNodes() : null,
      view === 'maintenance' ? showMaintenance($('maint-all'), null) : null, view === 'certs' ? showCerts() : null]);
    state.refreshes += 1;
    document.body.dataset.refreshed = String(state.refreshes);
    markUpdated();
  } catch (e) {
    $('refresh-status').textContent = `刷新失败：${e.message}`;
    $('refresh-status').classList.add('bad');
  }
}

function markUpdated() {
  $('refresh-status').textContent = `更新于 ${localTime(nowSec()).slice(11)}（${zoneLabel()}）`;
  $('refresh-status').classList.remove('bad');
}

function startRefresh() {
  const tick = async () => {
    await refresh();
    setTimeout(tick, refreshSeconds() * 1000);
  };
  setTimeout(tick, refreshSeconds() * 1000);
  document.addEventListener('visibilitychange', () => { if (!document.hidden) refresh(); });
}

async function main() {
  state.csrf = csrfFromCookie();
  if (!state.csrf && !(await loadSession())) return;
  $('search-form').addEventListener('submit', (e) => {
    e.preventDefault();
    state.search = $('search').value.trim();
    state.taskPage = 1;
    showTasks().catch(fail);
  });
  $('add-task').addEventListener('click', () => openTaskForm(null));
  bindLists();
  $('task-form').addEventListener('submit', saveTask);
  watchTaskUrl();
  $('task-form').addEventListener('input', (e) => e.target.removeAttribute('aria-invalid'));
  $('task-cancel').addEventListener('click', () => $('task-dialog').close());
  $('probe-close').addEventListener('click', () => $('probe-dialog').close());
  for (const b of document.querySelectorAll('#span-buttons button')) {
    b.addEventListener('click', () => {
      state.days = Number(b.dataset.days);
      if (state.logTask != null) showLog(state.logTask).catch(fail);
    });
  }
  $('log-tab-main').addEventListener('click', () => showLogTab('main'));
  $('log-tab-resolve').addEventListener('click', () => showLogTab('resolve'));
  $('isp-lines').addEventListener('change', (e) => { state.ispLines = e.target.checked; drawTrend(); });
  // Charts take their colours from the style sheet; redraw them when the system theme turns.
  matchMedia('(prefers-color-scheme: dark)').addEventListener('change', () => {
    drawTrend();
    if (state.charts.run) { applyChartTheme(); state.charts.run.update('none'); }
  });
  $('logout').addEventListener('click', async () => {
    await fetch('/logout', { method: 'POST', credentials: 'same-origin', headers: { 'X-CSRF-Token': state.csrf } });
    location.href = '/login';
  });
  window.addEventListener('hashchange', route);
  await route();
  markUpdated();
  document.body.dataset.ready = '1';
  startRefresh();
}

main().catch(fail);
