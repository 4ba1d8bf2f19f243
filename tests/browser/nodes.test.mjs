// The node view in Chromium against the real system on loopback: the centre's in-process node and
// a node address where nothing listens, each with its state after a probe, and the centre's
// message in the table once the centre is gone.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { freePort, login, startSystem } from './harness.mjs';

let sys;
let page;
let dead;

before(async () => {
  dead = `127.0.0.1:${await freePort()}`;
  sys = await startSystem({ cronMinute: 86400, prefix: 'nodes',
    nodes: [{ isp: '本机', local: true, allow_private: true }, { isp: '死节点', address: dead }] });
  page = sys.page;
  assert.equal((await sys.panelCall('create', 'name2=站点', `url=${sys.siteUrl}`, 'cycle=5')).status, true);
  for (let i = 0; i < 2; i += 1) assert.equal((await sys.panelCall('start', 'id=1')).length, 2);
  await login(sys);
});

after(async () => {
  if (sys) await sys.stop();
});

const cells = (node) => page.locator(`#node-table tr[data-node="${node}"] td`).allTextContents();

test('the node view lists each node with its state, last success, failures and last error', async () => {
  await page.click('#nav-nodes');
  await page.waitForSelector('#node-table tbody tr[data-node]');
  assert.equal(await page.locator('#node-table tbody tr').count(), 2);
  const [upName, upState, upIsp, upLast, upFailures, upMedian, upError] = await cells('local');
  assert.deepEqual([upName, upState, upIsp, upFailures, upError], ['本机进程', '正常', '本机', '0', '—']);
  assert.match(upLast, /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
  assert.match(upMedian, /^\d+\.\d\d m?s$/);
  const [name, ...down] = await cells(dead);
  assert.equal(name, `${dead}HTTP`);  // a remote node asked over plain HTTP says so
  assert.equal(await page.locator('#node-table tr[data-node="local"] .node-transport').count(), 0);
  const reason = down.pop();
  assert.deepEqual(down, ['异常', '死节点', '从未成功', '2', '—']);
  assert.match(reason, /Couldn't connect to server$/);
  await sys.shot('01-nodes');
});

test('a centre out of reach is said in the table, and the page raises no error', async () => {
  await sys.stopCentre();
  await page.reload();
  await page.waitForSelector('#node-table td.empty.bad');
  assert.equal(await page.locator('#node-table tbody').textContent(), '连接调度中心失败!');
  assert.ok(await page.locator('#view-nodes').isVisible());
  await sys.shot('02-centre-down');
  assert.deepEqual(sys.pageErrors, []);
});
