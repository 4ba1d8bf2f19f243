// The system under test for the browser tests, started for real on 127.0.0.1: a fresh panel root
// (`panel install`, a known password), a loopback target site, the dispatch centre with its
// in-process nodes, `panel serve`, and Debian's Chromium driven by playwright-core with a fresh
// profile. Screenshots go to <build>/artifacts/browser/.
import assert from 'node:assert/strict';
import { execFile, spawn, spawnSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';
import { chromium } from 'playwright-core';

const execFileAsync = promisify(execFile);

export const PASSWORD = 'browser-test-password';

const buildDir = process.env.RIVI_BUILD_DIR;
const bin = (name) => join(buildDir, 'bin', name);

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

async function waitForPort(port, child, ms = 15000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (child.exitCode !== null) throw new Error(`${child.spawnfile} ended with status ${child.exitCode}`);
    const ok = await new Promise((resolve) => {
      const sock = net.connect(port, '127.0.0.1');
      sock.once('connect', () => { sock.destroy(); resolve(true); });
      sock.once('error', () => resolve(false));
    });
    if (ok) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`nothing listens on 127.0.0.1:${port}`);
}

export { freePort };

// Starts everything. `cronMinute` is the scheduler's minute in seconds (PANEL_CRON_MINUTE);
// `nodes`, when given, is the centre's node list (else its embedded three local nodes).
// Answers { page, base, siteUrl, siteStatus, panelRoot, alerts, pageErrors, panelCall(...),
// panelCallAt(time, ...), stopCentre(), shot(name), stop() }. The target site answers every path
// with the status `sys.siteStatus`: a number (200 until a test changes it) or a function of the
// request answering one.
// `standIn`, when given, replaces the dispatch centre by one in this process that answers each
// probe with `standIn(url)`, the node result list for the task's URL.
export async function startSystem({ cronMinute, prefix, nodes, standIn }) {
  assert.ok(buildDir, 'RIVI_BUILD_DIR must name the build directory');
  const artifacts = join(buildDir, 'artifacts', 'browser');
  mkdirSync(artifacts, { recursive: true });
  const root = mkdtempSync(join(tmpdir(), 'rivi-browser-'));
  const children = [];
  let site;
  let context;
  const sys = { alerts: [], pageErrors: [], siteStatus: 200 };

  sys.stop = async () => {
    if (context) await context.close().catch(() => {});
    for (const c of children.reverse()) await endChild(c);
    if (site) site.close();
    rmSync(root, { recursive: true, force: true });
  };

  const endChild = async (c) => {
    if (c.exitCode !== null || c.signalCode !== null) return;
    c.kill('SIGTERM');
    await new Promise((resolve) => {
      const timer = setTimeout(() => { c.kill('SIGKILL'); resolve(); }, 10000);
      c.once('exit', () => { clearTimeout(timer); resolve(); });
    });
  };

  try {
    sys.panelRoot = join(root, 'panel');
    const env = { ...process.env, PANEL_ROOT: sys.panelRoot, PANEL_CRON_MINUTE: String(cronMinute) };
    let r = spawnSync(bin('panel'), ['install'], { env, encoding: 'utf8' });
    assert.equal(r.status, 0, r.stderr);
    assert.match(r.stdout, /panel administrator password: \S{16}/);
    r = spawnSync(bin('panel'), ['passwd', '--stdin'], { env, input: `${PASSWORD}\n`, encoding: 'utf8' });
    assert.equal(r.status, 0, r.stderr);

    // The site the probes fetch: one small page for every path.
    site = createServer((req, res) => {
      const status = typeof sys.siteStatus === 'function' ? sys.siteStatus(req) : sys.siteStatus;
      res.writeHead(status, { 'Content-Type': 'text/html' });
      res.end('<!doctype html><title>target</title><p>hello</p>');
    });
    await new Promise((resolve) => site.listen(0, '127.0.0.1', resolve));
    sys.siteUrl = `http://127.0.0.1:${site.address().port}/`;

    const start = (args) => {
      const child = spawn(args[0], args.slice(1), { env, stdio: ['ignore', 'inherit', 'inherit'] });
      children.push(child);
      return child;
    };
    const dispatchPort = await freePort();
    if (standIn) {
      const centre = createServer((req, res) => {
        let body = '';
        req.on('data', (c) => { body += c; });
        req.on('end', () => {
          res.writeHead(200, { 'Content-Type': 'application/json' });
          res.end(JSON.stringify(standIn(new URLSearchParams(body).get('url'))));
        });
      });
      await new Promise((resolve) => centre.listen(dispatchPort, '127.0.0.1', resolve));
      const closeSite = sys.stop;
      sys.stop = async () => { centre.close(); await closeSite(); };
    }
    const centreArgs = [bin('rivi-dispatch'), '--listen', `127.0.0.1:${dispatchPort}`];
    if (nodes) {
      writeFileSync(join(root, 'centre.json'), JSON.stringify({ nodes }));
      centreArgs.push('--config', join(root, 'centre.json'));
    }
    if (!standIn) {
      const centre = start(centreArgs);
      await waitForPort(dispatchPort, centre);
      sys.stopCentre = () => endChild(centre);
    }
    env.RIVI_DISPATCH_HOST = `127.0.0.1:${dispatchPort}`;
    const webPort = await freePort();
    await waitForPort(webPort, start([bin('panel'), 'serve', '--listen', `127.0.0.1:${webPort}`]));
    sys.base = `http://127.0.0.1:${webPort}`;
    // `panel call qn_rivi ...` against the same root and centre; answers the decoded answer.
    // Asynchronous, so that the target site in this process can answer the probes meanwhile.
    // A refusal ({"status": false, ...}) exits 1 with its answer on standard output: answered too.
    const answerOf = async (callEnv, args) => {
      try {
        const { stdout } = await execFileAsync(bin('panel'), ['call', 'qn_rivi', ...args], { env: callEnv, timeout: 90000 });
        return JSON.parse(stdout);
      } catch (error) {
        if (error.code === 1 && error.stdout) {
          const answer = JSON.parse(error.stdout);
          if (answer && answer.status === false) return answer;
        }
        throw error;
      }
    };
    sys.panelCall = async (...args) => answerOf(env, args);
    // The same with the host's clock fixed at `time` (Unix seconds): a run stored in the past.
    sys.panelCallAt = async (time, ...args) => answerOf({ ...env, PANEL_NOW: String(time) }, args);

    context = await chromium.launchPersistentContext(join(root, 'chromium-profile'), {
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
      viewport: { width: 1280, height: 860 },
    });
    const page = context.pages()[0] || await context.newPage();
    page.setDefaultTimeout(20000);
    page.on('dialog', (d) => {
      if (d.type() === 'alert') sys.alerts.push(d.message());
      d.accept();
    });
    page.on('pageerror', (e) => sys.pageErrors.push(e.message));
    // The page must need nothing from outside this machine.
    await context.route((url) => !url.hostname.startsWith('127.'), (route) => {
      sys.pageErrors.push(`outside request: ${route.request().url()}`);
      return route.abort();
    });
    sys.page = page;
    sys.shot = (name) => page.screenshot({ path: join(artifacts, `${prefix}-${name}.png`), fullPage: true });
  } catch (e) {
    await sys.stop();
    throw e;
  }
  return sys;
}

// Logs in through the login form and waits for the page to be ready.
export async function login(sys) {
  const { page, base } = sys;
  await page.goto(`${base}/`);
  await page.fill('#password', PASSWORD);
  await page.click('button[type=submit]');
  await page.waitForURL(`${base}/plugin/qn_rivi/`);
  await page.waitForSelector('body[data-ready="1"]');
}

// The row of the task list whose name cell shows `name` as text.
export const taskRow = (page, name) => page.locator('#task-table tbody tr').filter({
  has: page.locator('.task-name', { hasText: new RegExp(`^${name.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}$`) }),
});

// Creates a task through the page's form and waits for its row. Unless `probe`, the form's probe
// after saving is turned off, so that the task has only the runs its test makes.
export async function createTask(page, name, url, cycle, { probe = false } = {}) {
  await page.click('#add-task');
  await page.fill('#f-name', name);
  await page.fill('#f-url', url);
  await page.fill('#f-cycle', String(cycle));
  await page.setChecked('#f-probe', probe);
  await page.click('#task-save');
  await taskRow(page, name).waitFor();
}
