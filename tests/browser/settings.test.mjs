// The settings view in Chromium against the real system on loopback: the mail account, the
// recipients, the DingTalk robot and the alert policy saved through the forms into their files,
// the password write-only and asked for again when the server changes, and a test e-mail to a
// real SMTP server whose answer the page shows.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, statSync } from 'node:fs';
import { createServer } from 'node:http';
import { connect } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { freePort, login, startSystem } from './harness.mjs';

let sys;
let page;
let sink;
let sinkPort;
const sinkDir = mkdtempSync(join(tmpdir(), 'rivi-settings-smtp-'));

const dataFile = (name) => join(sys.panelRoot, 'data', name);
const readJson = (name) => JSON.parse(readFileSync(dataFile(name), 'utf8'));
const modeOf = (name) => statSync(dataFile(name)).mode & 0o777;

// Waits (at most 100 tries) until something accepts connections on the port.
async function listening(port) {
  for (let i = 0; i < 100; i += 1) {
    const ok = await new Promise((resolve) => {
      const s = connect(port, '127.0.0.1', () => { s.destroy(); resolve(true); });
      s.on('error', () => resolve(false));
    });
    if (ok) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`nothing listens on ${port}`);
}

before(async () => {
  sinkPort = await freePort();
  const source = process.env.RIVI_SOURCE_DIR ?? join(import.meta.dirname, '..', '..');
  sink = spawn('/usr/bin/python3', [join(source, 'tests/support/smtp_sink.py'), '--port', String(sinkPort),
    '--out', join(sinkDir, 'mail.jsonl'), '--mode', 'plain'], { stdio: 'inherit' });
  await listening(sinkPort);
  sys = await startSystem({ cronMinute: 86400, prefix: 'settings' });
  page = sys.page;
  await login(sys);
});

after(async () => {
  if (sys) await sys.stop();
  if (sink) sink.kill('SIGTERM');
  rmSync(sinkDir, { recursive: true, force: true });
});

test('the forms write the channel files and keep the password write-only', async () => {
  await page.goto(`${sys.base}/plugin/qn_rivi/#settings`);
  await page.waitForSelector('#view-settings:not([hidden])');
  await page.fill('#s-qq-mail', 'sender@mail.invalid');
  await page.fill('#s-host', '127.0.0.1');
  await page.fill('#s-port', String(sinkPort));
  await page.selectOption('#s-security', 'none');
  await page.fill('#s-password', 'smtp-secret-1');
  await page.click('#mail-save');
  await page.waitForFunction(() => document.getElementById('s-password-state').textContent === '已设置');
  assert.equal(await page.inputValue('#s-password'), '');
  let mail = readJson('stmp_mail.json');
  assert.deepEqual({ ...mail }, { qq_mail: 'sender@mail.invalid', host: '127.0.0.1', port: sinkPort,
    security: 'none', password: 'smtp-secret-1' });
  assert.equal(modeOf('stmp_mail.json'), 0o600);

  // Saved again with the password field empty and the same server: the stored one stays.
  await page.fill('#s-host', '127.0.0.1');
  assert.equal(await page.textContent('#s-password-note'), '');
  await page.click('#mail-save');
  await page.waitForFunction(() => document.getElementById('toast').textContent.includes('已保存') &&
    !document.getElementById('mail-save').disabled);
  mail = readJson('stmp_mail.json');
  assert.equal(mail.password, 'smtp-secret-1');

  // Another server: the form says before saving that the password goes, and after it that it went.
  await page.fill('#s-host', 'localhost');
  await page.waitForFunction(() => document.getElementById('s-password-note').textContent.includes('请重新输入密码'));
  await page.click('#mail-save');
  await page.waitForFunction(() => document.getElementById('s-host').value === 'localhost' &&
    document.getElementById('s-password-state').textContent === '未设置' &&
    document.getElementById('s-password-note').textContent.includes('原密码已清除'));
  assert.match(await page.textContent('#toast'), /请重新输入密码/);
  mail = readJson('stmp_mail.json');
  assert.equal(mail.password, undefined);
  assert.equal(mail.host, 'localhost');

  // Recipients: one bad address refuses the list, named; then a good list is saved.
  await page.fill('#s-mail-list', 'ops@mail.invalid\nnot-an-address');
  await page.click('#recipients-save');
  await page.waitForFunction(() => document.getElementById('recipients-error').textContent.includes('not-an-address'));
  await page.fill('#s-mail-list', 'ops@mail.invalid\nboss@mail.invalid');
  await page.click('#recipients-save');
  // The save button comes back once the view shows the stored settings again.
  await page.waitForFunction(() => document.getElementById('recipients-error').textContent === '' &&
    document.getElementById('toast').textContent.includes('收件人已保存') &&
    !document.getElementById('recipients-save').disabled);
  assert.deepEqual(readJson('mail_list.json'), ['ops@mail.invalid', 'boss@mail.invalid']);
  assert.equal(modeOf('mail_list.json'), 0o600);

  // The alert policy through the plug-in.
  await page.selectOption('#s-mode', 'incident');
  await page.fill('#s-remind', '30');
  await page.click('#policy-save');
  await page.waitForFunction(() => document.getElementById('toast').textContent.includes('告警策略已保存') &&
    !document.getElementById('policy-save').disabled);
  const policy = await sys.panelCall('get_alert_policy');
  assert.equal(policy.mode, 'incident');
  assert.equal(policy.remind_minutes, 30);

  // The display zone: a name the zone database lacks is refused in Chinese; a known one is kept
  // beside the policy, and the page then shows its times in it with its offset.
  await page.fill('#s-timezone', 'Mars/Olympus');
  await page.click('#policy-save');
  await page.waitForFunction(() => document.getElementById('policy-error').textContent.includes('不是系统时区数据库中的时区名称'));
  await page.fill('#s-timezone', 'Asia/Kathmandu');
  await page.click('#policy-save');
  await page.waitForFunction(() => document.getElementById('policy-error').textContent === '' &&
    !document.getElementById('policy-save').disabled);
  const zoned = await sys.panelCall('get_alert_policy');
  assert.equal(zoned.display_timezone, 'Asia/Kathmandu');
  assert.equal(zoned.mode, 'incident');
  await page.reload();
  await page.waitForFunction(() => document.getElementById('refresh-status').textContent.includes('（UTC+05:45）'));
  // The time beside it reads in that zone: within two minutes of Kathmandu's clock now.
  const shown = (await page.textContent('#refresh-status')).match(/(\d\d):(\d\d):(\d\d)/);
  const now = new Date();
  const there = (now.getUTCHours() * 3600 + now.getUTCMinutes() * 60 + now.getUTCSeconds() + 5 * 3600 + 45 * 60) % 86400;
  const gap = Math.abs((Number(shown[1]) * 3600 + Number(shown[2]) * 60 + Number(shown[3])) - there);
  assert.ok(Math.min(gap, 86400 - gap) < 120, `${shown[0]} is not Kathmandu's time`);

  // The robot: its signing key stays for another path on the same host, and goes with the host.
  await page.fill('#s-dingding-url', 'http://127.0.0.1:9/robot/send?access_token=t1');
  await page.fill('#s-secret', 'sign-secret-1');
  await page.click('#dingding-save');
  await page.waitForFunction(() => document.getElementById('s-secret-state').textContent === '已设置' &&
    !document.getElementById('dingding-save').disabled);
  await page.fill('#s-dingding-url', 'http://127.0.0.1:9/other/send?access_token=t2');
  assert.equal(await page.textContent('#s-secret-note'), '');
  await page.fill('#s-dingding-url', 'http://127.0.0.1:10/robot/send?access_token=t3');
  await page.waitForFunction(() => document.getElementById('s-secret-note').textContent.includes('请重新输入加签密钥'));
  await page.click('#dingding-save');
  await page.waitForFunction(() => document.getElementById('s-secret-state').textContent === '未设置' &&
    document.getElementById('s-secret-note').textContent.includes('原加签密钥已清除'));
  assert.deepEqual(readJson('dingding.json'), { dingding_url: 'http://127.0.0.1:10/robot/send?access_token=t3' });

  // No secret ever reached the page.
  const html = await page.content();
  assert.ok(!html.includes('smtp-secret-1'));
  assert.ok(!html.includes('sign-secret-1'));
});

test('a test e-mail reaches the SMTP server and the page shows its answer', async () => {
  await page.click('#mail-test');
  await page.waitForFunction(() => /^成功/.test(document.getElementById('mail-test-answer').textContent));
  assert.match(await page.textContent('#mail-test-answer'), /ops@mail\.invalid: 250.*boss@mail\.invalid: 250/);
  // Every recipient gets the test.
  const sent = readFileSync(join(sinkDir, 'mail.jsonl'), 'utf8').trim().split('\n').map((l) => JSON.parse(l));
  assert.equal(sent.length, 2);
  assert.deepEqual(sent.map((m) => m.rcpt_tos[0]), ['ops@mail.invalid', 'boss@mail.invalid']);
  await page.waitForFunction(() => document.querySelectorAll('#deliveries tbody tr .badge.ok').length === 2);
  assert.deepEqual(sys.alerts, []);
});

test('a test goes with the form as it stands, before it is saved', async () => {
  // The stored robot is at a port where nothing listens; the form, unsaved, names one that answers.
  const posts = [];
  const robot = createServer((req, res) => {
    let body = '';
    req.on('data', (c) => { body += c; });
    req.on('end', () => {
      posts.push({ url: req.url, body: JSON.parse(body) });
      res.writeHead(200, { 'Content-Type': 'application/json' });
      res.end('{"errcode":0,"errmsg":"ok"}');
    });
  });
  await new Promise((resolve) => robot.listen(0, '127.0.0.1', resolve));
  try {
    await page.fill('#s-dingding-url', `http://127.0.0.1:${robot.address().port}/robot/send?access_token=t4`);
    await page.click('#dingding-test');
    await page.waitForFunction(() => /^成功/.test(document.getElementById('dingding-test-answer').textContent));
    assert.equal(posts.length, 1);
    assert.equal(posts[0].url, '/robot/send?access_token=t4');  // the form's address, token and all
    assert.equal(posts[0].body.msgtype, 'markdown');
    assert.deepEqual(readJson('dingding.json'), { dingding_url: 'http://127.0.0.1:10/robot/send?access_token=t3' });
  } finally {
    robot.close();
  }
});

test('the forms take no input until the stored settings have loaded', async () => {
  // The stored settings answer late: meanwhile nothing can be typed that their arrival would erase.
  let release;
  const held = new Promise((resolve) => { release = resolve; });
  await page.route(/s=get_settings/, async (route) => { await held; await route.continue(); });
  await page.goto(`${sys.base}/plugin/qn_rivi/#settings`);
  await page.reload();
  await page.waitForSelector('#view-settings:not([hidden])');
  assert.equal(await page.isDisabled('#s-host'), true);
  assert.equal(await page.getAttribute('#view-settings', 'aria-busy'), 'true');
  release();
  await page.waitForSelector('#s-host:not([disabled])');
  assert.equal(await page.inputValue('#s-host'), 'localhost');
  await page.unroute(/s=get_settings/);
});
