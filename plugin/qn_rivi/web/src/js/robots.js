// The settings view's chat robots (WeCom, Feishu, generic webhooks): their list, the form that
// adds or changes one, its test and its removal. Secrets never come back: a robot's URL is shown
// as "<scheme>://<host>/…", which, sent back unchanged, keeps the stored one.

import { call } from './api.js';
import { h, $, setText, toast } from './dom.js';
import { labelCells } from './tables.js';

export const ROBOT_KIND = { wecom: '企业微信', feishu: '飞书', webhook: 'Webhook' };

function robotRow(c) {
  const tags = Array.isArray(c.tags) && c.tags.length ? c.tags.join('、') : '全部告警';
  return h('tr', { 'data-id': String(c.id) },
    h('td', {}, String(c.name ?? '')),
    h('td', {}, ROBOT_KIND[c.kind] ?? String(c.kind ?? '')),
    h('td', {}, String(c.host ?? '')),
    h('td', {}, tags),
    h('td', {}, h('span', { class: `badge ${c.secret_set ? 'ok' : 'off'}` }, c.secret_set ? '已设置' : '未设置')),
    h('td', {}, h('span', { class: `badge ${c.enabled ? 'ok' : 'off'}` }, c.enabled ? '启用' : '停用')),
    h('td', { class: 'actions' },
      h('button', { type: 'button', class: 'robot-edit', onclick: () => editRobot(c) }, '编辑'),
      h('button', { type: 'button', class: 'robot-test', onclick: () => testRobot({ id: String(c.id) }) }, '测试'),
      h('button', { type: 'button', class: 'robot-remove danger', onclick: () => removeRobot(c) }, '删除')));
}

export async function showRobots() {
  const list = await call('get_channels');
  const rows = Array.isArray(list) && list.length ? list.map(robotRow)
    : [h('tr', {}, h('td', { colspan: 7, class: 'muted' }, '尚未添加机器人'))];
  const head = h('tr', {}, ['名称', '类型', '主机', '标签', '签名密钥', '状态', '操作'].map((t) => h('th', { scope: 'col' }, t)));
  $('robots').replaceChildren(h('thead', {}, head), h('tbody', {}, rows));
  labelCells($('robots'));
}

function editRobot(c) {
  $('r-id').value = String(c.id);
  $('r-kind').value = c.kind;
  $('r-name').value = String(c.name ?? '');
  $('r-url').value = String(c.url ?? '');
  $('r-secret').value = '';
  $('r-clear-secret').checked = false;
  $('r-tags').value = Array.isArray(c.tags) ? c.tags.join(', ') : '';
  $('r-enabled').checked = !!c.enabled;
  setText($('robot-form-title'), `编辑机器人：${c.name}`);
  setText($('robot-error'), '');
  $('r-name').focus();
}

function resetRobotForm() {
  $('robot-form').reset();
  $('r-id').value = '';
  $('r-enabled').checked = true;
  setText($('robot-form-title'), '添加机器人');
  setText($('robot-error'), '');
}

function robotFields() {
  const form = {
    kind: $('r-kind').value, name: $('r-name').value.trim(), url: $('r-url').value.trim(), secret: $('r-secret').value,
    tags: $('r-tags').value, enabled: $('r-enabled').checked ? '1' : '0',
  };
  if ($('r-id').value) form.id = $('r-id').value;
  if ($('r-clear-secret').checked) form.clear_secret = '1';
  return form;
}

// A test of a saved robot (`{id}`) or of the form as it stands; the robot's answer shown as it came.
async function testRobot(args) {
  const out = $('robot-test-answer');
  out.className = 'test-answer';
  out.textContent = '发送中…';
  try {
    const answer = await call('test_channel', args);
    out.textContent = `${answer.status ? '成功' : '失败'}${answer.recipient ? `（${answer.recipient}）` : ''}：${answer.msg ?? ''}`;
    out.className = `test-answer ${answer.status ? 'ok' : 'bad'}`;
  } catch (err) {
    out.textContent = `失败：${err.message}`;
    out.className = 'test-answer bad';
  }
}

async function removeRobot(c) {
  if (!window.confirm(`删除机器人「${c.name}」？其尚未发出的告警将不再发送。`)) return;
  const answer = await call('remove_channel', { id: String(c.id) });
  toast(answer.msg, !answer.status);
  if ($('r-id').value === String(c.id)) resetRobotForm();
  await showRobots();
}

async function saveRobot(e) {
  e.preventDefault();
  const fields = robotFields();
  if (!fields.name) return setText($('robot-error'), '请填写渠道名称（name）');
  if (!fields.url && !fields.id) return setText($('robot-error'), '请填写 Webhook 地址（url）');
  const button = $('robot-save');
  button.disabled = true;
  try {
    const answer = await call('set_channel', fields);
    setText($('robot-error'), answer.status ? '' : answer.msg);
    toast(answer.msg, !answer.status);
    if (answer.status) {
      resetRobotForm();
      await showRobots();
    }
  } catch (err) {
    setText($('robot-error'), err.message);
  } finally {
    button.disabled = false;
  }
}

export function bindRobots() {
  $('robot-form').addEventListener('submit', saveRobot);
  $('robot-new').addEventListener('click', resetRobotForm);
  $('robot-form-test').addEventListener('click', () => {
    const fields = robotFields();
    testRobot(fields.id ? fields : { channel: fields.kind, ...fields });
  });
}
