// The settings view: the channel forms, their stored secrets, test messages and the deliveries.

import { call, query, saveSettings } from './api.js';
import { h, $, setText, toast, localTime, setDisplayZone } from './dom.js';
import { state } from './main.js';
import { labelCells } from './tables.js';
import { bindStatusPages, loadStatusPages } from './status_pages.js';
import { ROBOT_KIND, bindRobots, showRobots } from './robots.js';
import { showTokens, bindTokens } from './tokens.js';

// Text of one address per line, the check the server applies loosely mirrored: the first that
// does not look like an address, or null.
function badAddress(lines) {
  return lines.find((a) => !/^[^\s@<>",;\\]+@[^\s@<>",;\\.]+(\.[^\s@<>",;\\.]+)+$/.test(a)) ?? null;
}

function secretState(el, set) {
  el.textContent = set ? '已设置' : '未设置';
  el.className = `secret-state badge ${set ? 'ok' : 'off'}`;
}

const DELIVERY_KIND = {
  report: '异常报告', fault: '故障', reminder: '提醒', recovery: '恢复', monitoring: '监控异常',
  monitor_recovery: '监控恢复', node: '节点异常', node_recovery: '节点恢复', test: '测试',
  cert: '证书将过期', cert_recovery: '证书已续期',
};
const CHANNEL = { mail: '邮件', dingding: '钉钉', none: '未配置渠道', ...ROBOT_KIND };
const OUTBOX_STATE = {
  pending: ['待发送', 'warn'], sending: ['发送中', 'warn'], failed: ['未能送达', 'bad'], held: ['维护期暂缓', 'off'],
};

// The latest deliveries into the table `tableId` (the settings view's, or a task's in its log).
export function showDeliveries(rows, tableId = 'deliveries') {
  const list = Array.isArray(rows) ? rows : [];
  const head = h('tr', {}, ['时间', '渠道', '收件方', '类型', '结果', '服务器回答'].map((t) => h('th', { scope: 'col' }, t)));
  const body = list.length ? list.map((r) => h('tr', {},
    h('td', {}, localTime(r.time)),
    h('td', {}, CHANNEL[r.channel] ?? String(r.channel ?? '')),
    h('td', {}, String(r.recipient ?? '')),
    h('td', {}, DELIVERY_KIND[r.kind] ?? String(r.kind ?? '')),
    h('td', {}, h('span', { class: `badge ${r.success ? 'ok' : 'bad'}` }, r.success ? '成功' : '失败')),
    h('td', { class: 'answer' }, String(r.answer ?? ''))))
    : [h('tr', {}, h('td', { colspan: 6, class: 'muted' }, '暂无发送记录'))];
  $(tableId).replaceChildren(h('thead', {}, head), h('tbody', {}, body));
  labelCells($(tableId));
}

// The outbox's rows not delivered: waiting for their first send or a retry, held back, or given up.
export function showUndelivered(answer) {
  const list = Array.isArray(answer?.data) ? answer.data : [];
  const c = answer?.counts || {};
  setText($('undelivered-counts'), `待发送 ${Number(c.pending) || 0} · 未能送达 ${Number(c.failed) || 0} · 暂缓 ${Number(c.held) || 0}`);
  const head = h('tr', {}, ['加入时间', '任务', '标题', '渠道', '收件方', '状态', '尝试', '下次尝试', '最近回答']
    .map((t) => h('th', { scope: 'col' }, t)));
  const body = list.length ? list.map((r) => {
    const [label, cls] = OUTBOX_STATE[r.state] ?? [String(r.state ?? ''), 'off'];
    const retrying = r.state === 'pending' && Number(r.attempts) > 0;
    return h('tr', { 'data-state': r.state },
      h('td', {}, localTime(r.created)),
      h('td', {}, r.pid ? String(r.task ?? `#${r.pid}`) : '监控'),
      h('td', { class: 'title' }, String(r.title ?? '')),
      h('td', {}, CHANNEL[r.channel] ?? String(r.channel ?? '')),
      h('td', {}, String(r.recipient ?? '')),
      h('td', {}, h('span', { class: `badge ${cls}` }, retrying ? '重试中' : label)),
      h('td', { class: 'num' }, String(r.attempts ?? 0)),
      h('td', {}, r.state === 'pending' ? localTime(r.next_try) : ''),
      h('td', { class: 'answer' }, String(r.answer ?? '')));
  }) : [h('tr', {}, h('td', { colspan: 9, class: 'muted' }, '没有未送达的告警'))];
  $('undelivered').replaceChildren(h('thead', {}, head), h('tbody', {}, body));
  labelCells($('undelivered'));
}

// Fills the settings forms from the server. Secrets never come back: only whether they are set;
// their fields stay empty and a save leaves them unchanged unless a new value is typed.
// While the stored settings load, the forms take no input: the answer, coming later, would
// overwrite what was typed meanwhile.
function settingsBusy(busy) {
  for (const el of $('view-settings').querySelectorAll('form input, form select, form textarea, form button')) {
    el.disabled = busy;
  }
  $('view-settings').setAttribute('aria-busy', String(busy));
}

export async function showSettings() {
  state.settingsLoads = (state.settingsLoads || 0) + 1;
  settingsBusy(true);
  try {
    await Promise.all([loadSettings(), loadStatusPages()]);
  } finally {
    state.settingsLoads -= 1;
    if (!state.settingsLoads) settingsBusy(false);
  }
}

// A stored secret goes only to the server it was given for: a save that moves the account (sender,
// server, port, security) or the robot (another host or port) drops it, and it must be typed
// again. The notes say so while the fields differ from what was loaded, and after such a save.
const SECRET_NOTES = {
  password: { field: 's-password', note: 's-password-note', moving: '发件邮箱、服务器、端口或加密方式已更改：保存后原密码将被清除，请重新输入密码', dropped: '原密码已清除，请重新输入密码' },
  secret: { field: 's-secret', note: 's-secret-note', moving: 'Webhook 指向了其他主机：保存后原加签密钥将被清除，请重新输入加签密钥', dropped: '原加签密钥已清除，请重新输入加签密钥' },
};

function mailEndpoint() {
  return [$('s-qq-mail').value.trim(), $('s-host').value.trim().toLowerCase(), String(Number($('s-port').value)),
    $('s-security').value].join('\n');
}

// The origin (scheme, host, port) of a webhook as typed, or the text itself when it is no URL.
function webhookOrigin(text) {
  try {
    return new URL(text.trim()).origin;
  } catch {
    return text.trim();
  }
}

// Shows whether the typed form would drop the stored secret `which`.
function secretNote(which) {
  const loaded = state.loadedSecrets?.[which];
  if (!loaded?.set) return;
  const s = SECRET_NOTES[which];
  const now = which === 'password' ? mailEndpoint() : webhookOrigin($('s-dingding-url').value);
  const typed = $(s.field).value !== '';
  setText($(s.note), now !== loaded.where && !typed ? s.moving : '');
}

async function loadSettings() {
  const [s, policy, deliveries, undelivered] = await Promise.all([call('get_settings'), query('get_alert_policy'),
    call('get_deliveries'), call('get_undelivered')]);
  const mail = s.user_mail || {};
  const info = mail.info && typeof mail.info === 'object' ? mail.info : {};
  $('s-qq-mail').value = String(info.qq_mail ?? '');
  $('s-host').value = String(info.host ?? '');
  $('s-port').value = info.port ? String(info.port) : '';
  const port = Number(info.port);
  $('s-security').value = ['ssl', 'starttls', 'none'].includes(info.security) ? info.security
    : (!info.port || port === 465 ? 'ssl' : port === 587 ? 'starttls' : 'none');
  $('s-password').value = '';
  $('s-clear-password').checked = false;
  secretState($('s-password-state'), !!info.password_set);
  $('s-mail-list').value = (Array.isArray(mail.mail_list) ? mail.mail_list : []).map(String).join('\n');
  const ding = s.dingding || {};
  const dinfo = ding.info && typeof ding.info === 'object' ? ding.info : {};
  // The address comes without its query (the token); sent back as it is, the server keeps the stored one.
  $('s-dingding-url').value = String(dinfo.dingding_url ?? '');
  $('s-secret').value = '';
  $('s-clear-secret').checked = false;
  secretState($('s-secret-state'), !!dinfo.secret_set);
  state.loadedSecrets = {
    password: { set: !!info.password_set, where: mailEndpoint() },
    secret: { set: !!dinfo.secret_set, where: webhookOrigin($('s-dingding-url').value) },
  };
  setText($('s-password-note'), '');
  setText($('s-secret-note'), '');
  $('s-mode').value = policy.mode === 'incident' ? 'incident' : 'every_run';
  $('s-remind').value = String(policy.remind_minutes ?? 0);
  $('s-recovery').checked = policy.recovery !== false;
  $('s-error-after').value = String(policy.error_after ?? 3);
  $('s-timezone').value = String(policy.display_timezone ?? '');
  $('s-timezone').placeholder = policy.display_timezone ? '' : `服务器时区：${policy.timezone || '未命名'}（UTC${policy.utc_offset ?? ''}）`;
  setDisplayZone(policy.timezone);
  showDeliveries(deliveries);
  showUndelivered(undelivered);
  await showRobots();
  await showTokens();
}

// Submits one settings form: `check` answers an error text or null before anything is sent.
async function submitSettings(e, what, errorId, check) {
  e.preventDefault();
  const form = e.currentTarget;
  const error = check ? check() : null;
  setText($(errorId), error ?? '');
  if (error) return;
  const button = form.querySelector('button[type=submit]');
  button.disabled = true;
  try {
    const answer = what === 'policy'
      ? await call('set_alert_policy', {
        mode: $('s-mode').value, remind_minutes: $('s-remind').value,
        recovery: $('s-recovery').checked ? 'true' : 'false', error_after: $('s-error-after').value,
        display_timezone: $('s-timezone').value.trim(),
      })
      : await saveSettings(what, new URLSearchParams(new FormData(form)));
    setText($(errorId), answer.status ? '' : answer.msg);
    toast(answer.msg, !answer.status);
    if (answer.status) await showSettings();
    const dropped = SECRET_NOTES[answer.dropped];
    if (answer.status && dropped) {
      setText($(dropped.note), dropped.dropped);
      $(dropped.field).focus();
    }
  } catch (err) {
    setText($(errorId), err.message);
  } finally {
    button.disabled = false;
  }
}

// The channel's form as it stands, saved or not: a test goes with it. An empty secret field means
// the stored secret, which the server uses only for the server it was stored for.
function channelForm(channel) {
  if (channel === 'mail') {
    const form = {
      qq_mail: $('s-qq-mail').value.trim(), host: $('s-host').value.trim(), port: $('s-port').value.trim(),
      security: $('s-security').value, password: $('s-password').value, mail_list: $('s-mail-list').value,
    };
    if ($('s-clear-password').checked) form.clear_password = '1';
    return form;
  }
  const form = { dingding_url: $('s-dingding-url').value.trim(), secret: $('s-secret').value };
  if ($('s-clear-secret').checked) form.clear_secret = '1';
  return form;
}

// A test message through `channel`; the server's own answer is shown as it came.
async function testChannel(channel) {
  const out = $(`${channel}-test-answer`);
  const button = $(`${channel}-test`);
  button.disabled = true;
  out.className = 'test-answer';
  out.textContent = '发送中…';
  try {
    const answer = await call('test_channel', { channel, ...channelForm(channel) });
    out.textContent = `${answer.status ? '成功' : '失败'}${answer.recipient ? `（${answer.recipient}）` : ''}：${answer.msg ?? ''}`;
    out.className = `test-answer ${answer.status ? 'ok' : 'bad'}`;
    const [deliveries, undelivered] = await Promise.all([call('get_deliveries'), call('get_undelivered')]);
    showDeliveries(deliveries);
    showUndelivered(undelivered);
  } catch (err) {
    out.textContent = `失败：${err.message}`;
    out.className = 'test-answer bad';
  } finally {
    button.disabled = false;
  }
}

export function bindSettings() {
  bindTokens();
  $('mail-form').addEventListener('submit', (e) => submitSettings(e, 'mail', 'mail-error', () => {
    if (badAddress([$('s-qq-mail').value.trim()]) !== null) return '发件邮箱格式不正确';
    if (!$('s-host').value.trim()) return '请填写 SMTP 服务器';
    const port = Number($('s-port').value);
    if (!Number.isInteger(port) || port < 1 || port > 65535) return '端口须为 1 到 65535 之间的整数';
    return null;
  }));
  $('recipients-form').addEventListener('submit', (e) => submitSettings(e, 'recipients', 'recipients-error', () => {
    const bad = badAddress($('s-mail-list').value.split(/[\s,;]+/).filter(Boolean));
    return bad === null ? null : `收件邮箱格式不正确：${bad}`;
  }));
  $('dingding-form').addEventListener('submit', (e) => submitSettings(e, 'dingding', 'dingding-error', null));
  $('policy-form').addEventListener('submit', (e) => submitSettings(e, 'policy', 'policy-error', null));
  for (const id of ['s-qq-mail', 's-host', 's-port', 's-security', 's-password']) {
    $(id).addEventListener('input', () => secretNote('password'));
  }
  for (const id of ['s-dingding-url', 's-secret']) $(id).addEventListener('input', () => secretNote('secret'));
  $('mail-test').addEventListener('click', () => testChannel('mail'));
  $('dingding-test').addEventListener('click', () => testChannel('dingding'));
  bindStatusPages();
  bindRobots();
}
