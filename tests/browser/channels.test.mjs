// The settings view's chat robots in Chromium against the real system on loopback: a generic
// webhook added through the form (its URL's path and its secret never shown again), tested from
// its row against a stand-in on loopback that checks the signature, and removed.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { createHmac } from 'node:crypto';
import { createServer } from 'node:http';
import { login, startSystem } from './harness.mjs';

let sys;
let page;
let hook;
const posts = [];
const SECRET = 'wh-browser-secret';

before(async () => {
  // The stand-in webhook: 204 to a body signed with SECRET, 401 to anything else.
  hook = createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      const raw = Buffer.concat(chunks);
      const want = `sha256=${createHmac('sha256', SECRET).update(raw).digest('hex')}`;
      const ok = req.headers['x-rivi-signature'] === want && JSON.parse(raw).sent_at === Number(req.headers['x-rivi-timestamp']);
      if (ok) posts.push(JSON.parse(raw));
      res.writeHead(ok ? 204 : 401).end();
    });
  });
  await new Promise((resolve) => hook.listen(0, '127.0.0.1', resolve));
  sys = await startSystem({ cronMinute: 86400, prefix: 'channels' });
  page = sys.page;
  await login(sys);
});

after(async () => {
  if (sys) await sys.stop();
  if (hook) hook.close();
});

test('a webhook robot is added, tested and removed on the settings view', async () => {
  const url = `http://127.0.0.1:${hook.address().port}/hooks/private-token`;
  await page.goto(`${sys.base}/plugin/qn_rivi/#settings`);
  await page.waitForSelector('#view-settings:not([hidden]):not([aria-busy=true])');
  await page.waitForSelector('#robots tbody');
  assert.match(await page.textContent('#robots'), /尚未添加机器人/);

  // A refusal names its field and saves nothing.
  await page.selectOption('#r-kind', 'webhook');
  await page.fill('#r-name', '值班群');
  await page.fill('#r-url', 'http://10.0.0.8/hook');
  await page.click('#robot-save');
  await page.waitForFunction(() => /url/.test(document.querySelector('#robot-error').textContent));

  await page.fill('#r-url', url);
  await page.fill('#r-secret', SECRET);
  await page.fill('#r-tags', 'shop, 官网');
  await page.click('#robot-save');
  const row = page.locator('#robots tbody tr[data-id]');
  await row.first().waitFor();
  const text = await row.first().textContent();
  assert.match(text, /值班群/);
  assert.match(text, /Webhook/);
  assert.match(text, /shop、官网/);
  assert.match(text, /已设置/);
  const html = await page.content();
  assert.ok(!html.includes('private-token') && !html.includes(SECRET), 'no secret reaches the page');

  // Editing shows the URL without its path; saved unchanged, the stored URL and secret stay.
  await row.first().locator('.robot-edit').click();
  assert.equal(await page.inputValue('#r-url'), `http://127.0.0.1:${hook.address().port}/…`);
  await page.fill('#r-name', '值班群 2');
  await page.click('#robot-save');
  await page.waitForFunction(() => /值班群 2/.test(document.querySelector('#robots').textContent));

  await row.first().locator('.robot-test').click();
  await page.waitForFunction(() => /成功/.test(document.querySelector('#robot-test-answer').textContent));
  assert.match(await page.textContent('#robot-test-answer'), /HTTP 204/);
  assert.equal(posts.length, 1);
  assert.equal(posts[0].kind, 'test');

  await row.first().locator('.robot-remove').click();
  await page.waitForFunction(() => /尚未添加机器人/.test(document.querySelector('#robots').textContent));
  await sys.shot('removed');
});
