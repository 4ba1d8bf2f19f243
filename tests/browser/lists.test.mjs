// The task list for many tasks in Chromium against the real system on loopback: the tag filter,
// sorting by a column header with the view kept in the address across a reload, bulk actions on
// checked rows with each task's outcome, and the import dialog's preview before it imports.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { login, startSystem, taskRow } from './harness.mjs';

let sys;
let page;

// Runs `action` answering the page's prompts and confirmations with `answer` alone (instead of the
// harness's plain accept); answers their messages.
async function answering(answer, action) {
  const usual = page.listeners('dialog');
  page.removeAllListeners('dialog');
  const seen = [];
  page.on('dialog', (d) => { seen.push(d.message()); d.accept(answer); });
  try {
    await action();
  } finally {
    page.removeAllListeners('dialog');
    for (const handler of usual) page.on('dialog', handler);
  }
  return seen;
}

const names = () => page.locator('#task-table tbody .task-name').allTextContents();

before(async () => {
  sys = await startSystem({ cronMinute: 86400, prefix: 'lists' });
  page = sys.page;
  for (const [name, tags] of [['b-shop', 'web,生产'], ['a-api', 'web'], ['c-db', '库']]) {
    assert.equal((await sys.panelCall('create', `name2=${name}`, `url=${sys.siteUrl}${name}`, 'cycle=5')).status, true);
    const id = (await sys.panelCall('get_overview', `search=${name}`)).data[0].id;
    assert.equal((await sys.panelCall('set_tags', `pid=${id}`, `tags=${tags}`)).status, true);
  }
  await login(sys);
});

after(async () => {
  if (sys) await sys.stop();
});

test('the tag filter and a sorted column stay in the address and come back on reload', async () => {
  await page.selectOption('#tag-filter', 'web');
  await page.waitForFunction(() => document.querySelectorAll('#task-table tbody tr[data-id]').length === 2);
  await page.click('#task-table th[data-sort="name"] button');
  await page.waitForFunction(() => document.querySelector('#task-table tbody .task-name')?.textContent === 'a-api');
  assert.deepEqual(await names(), ['a-api', 'b-shop']);
  await page.click('#task-table th[data-sort="name"] button');
  await page.waitForFunction(() => document.querySelector('#task-table tbody .task-name')?.textContent === 'b-shop');
  const address = new URL(page.url());
  assert.equal(address.searchParams.get('tag'), 'web');
  assert.equal(address.searchParams.get('sort'), 'name');
  assert.equal(address.searchParams.get('order'), 'desc');
  assert.deepEqual(await taskRow(page, 'b-shop').locator('.badge.tag').allTextContents(), ['web', '生产']);

  await page.reload();
  await page.waitForSelector('body[data-ready="1"]');
  await page.waitForFunction(() => document.querySelectorAll('#task-table tbody tr[data-id]').length === 2);
  assert.deepEqual(await names(), ['b-shop', 'a-api']);
  assert.equal(await page.locator('#tag-filter').inputValue(), 'web');
  assert.equal(await page.locator('#task-table th[data-sort="name"]').getAttribute('aria-sort'), 'descending');
  await sys.shot('01-tag-and-sort');

  // A tag on a row filters by it.
  await taskRow(page, 'b-shop').locator('.badge.tag', { hasText: '生产' }).click();
  await page.waitForFunction(() => document.querySelectorAll('#task-table tbody tr[data-id]').length === 1);
  assert.equal(new URL(page.url()).searchParams.get('tag'), '生产');
  await page.selectOption('#tag-filter', '');
  await page.waitForFunction(() => document.querySelectorAll('#task-table tbody tr[data-id]').length === 3);
  assert.equal(new URL(page.url()).searchParams.get('tag'), null);
});

test('bulk actions on checked rows show each task\'s outcome and a delete asks first', async () => {
  await page.check('#pick-all');
  assert.equal(await page.locator('#bulk-count').textContent(), '已选 3 个任务');
  await page.click('#bulk-bar [data-action="pause"]');
  await page.waitForSelector('#bulk-dialog[open]');
  assert.equal(await page.locator('#bulk-results tbody tr').count(), 3);
  assert.deepEqual([...new Set(await page.locator('#bulk-results tbody .badge').allTextContents())], ['成功']);
  await sys.shot('02-bulk-result');
  await page.click('#bulk-close');
  await page.waitForFunction(() => [...document.querySelectorAll('#task-table tbody .sched')].every((s) => s.textContent === '已暂停'));

  await answering('运维', async () => {
    await page.click('#bulk-bar [data-action="tag_add"]');
    await page.waitForSelector('#bulk-dialog[open]');
  });
  await page.click('#bulk-close');
  await page.waitForFunction(() => document.querySelectorAll('#task-table tbody .badge.tag').length === 7);

  await page.uncheck('#pick-all');
  await taskRow(page, 'c-db').locator('input.pick').check();
  const asked = await answering(undefined, async () => {
    await page.click('#bulk-bar [data-action="delete"]');
    await page.waitForSelector('#bulk-dialog[open]');
  });
  assert.match(asked[0], /确定删除选中的 1 个任务/);
  assert.equal(await page.locator('#bulk-results tbody tr').count(), 1);
  await page.click('#bulk-close');
  await page.waitForFunction(() => document.querySelectorAll('#task-table tbody tr[data-id]').length === 2);
  assert.equal((await sys.panelCall('get_overview')).data.length, 2);
});

test('the import dialog previews each row before it imports', async () => {
  await page.click('#import-open');
  await page.fill('#import-data', `${sys.siteUrl}a-api\n${sys.siteUrl}new-one\nftp://nowhere/\n`);
  await page.click('#import-preview-button');
  await page.waitForFunction(() => document.querySelectorAll('#import-preview tbody tr').length === 3);
  const actions = await page.locator('#import-preview tbody tr').evaluateAll((rows) => rows.map((r) => r.dataset.action));
  assert.deepEqual(actions, ['change', 'create', 'refuse']);
  assert.match(await page.locator('#import-preview tbody tr[data-action="refuse"]').textContent(), /URL地址必需包含http:\/\/或https:\/\//);
  assert.equal((await sys.panelCall('get_overview')).data.length, 2, 'a preview writes nothing');
  await sys.shot('03-import-preview');
  await page.click('#import-apply');
  await page.waitForSelector('#import-dialog', { state: 'hidden' });
  await page.waitForFunction(() => document.querySelectorAll('#task-table tbody tr[data-id]').length === 3);
  assert.deepEqual(sys.pageErrors, []);
});
