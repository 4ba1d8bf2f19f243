// Stages the page into one folder: its own files from src/ (markup, style sheet, icon and the
// script's modules in js/) plus the charting library's browser build from node_modules (installed
// by `npm ci` in this folder). Usage: node build.mjs OUT_DIR
import { copyFileSync, existsSync, mkdirSync, readFileSync, readdirSync, statSync } from 'node:fs';
import { dirname, join, posix } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const out = process.argv[2];
if (!out) {
  console.error('usage: node build.mjs OUT_DIR');
  process.exit(2);
}
const chart = join(here, 'node_modules', 'chart.js', 'dist', 'chart.umd.js');
if (!existsSync(chart)) {
  console.error(`chart.js is not installed: run "npm ci" in ${here} (scripts/install-deps.sh does it)`);
  process.exit(1);
}
// The files index.html names, and every module a module imports; a page without one of them
// would fail only in the browser.
const src = join(here, 'src');
const names = readdirSync(src, { recursive: true })
  .filter((n) => statSync(join(src, n)).isFile());
const wanted = ['index.html', 'js/main.js', 'style.css', 'favicon.svg'];
for (const name of names.filter((n) => n.endsWith('.js'))) {
  const imports = readFileSync(join(src, name), 'utf8').matchAll(/\bfrom '(\.{1,2}\/[^']+)'/g);
  for (const [, spec] of imports) wanted.push(posix.normalize(posix.join(posix.dirname(name), spec)));
}
const missing = [...new Set(wanted)].filter((n) => !names.includes(n));
if (missing.length) {
  console.error(`the page is incomplete, src/ lacks: ${missing.join(', ')}`);
  process.exit(1);
}
mkdirSync(join(out, 'vendor'), { recursive: true });
for (const name of names) {
  mkdirSync(dirname(join(out, name)), { recursive: true });
  copyFileSync(join(src, name), join(out, name));
}
copyFileSync(chart, join(out, 'vendor', 'chart.umd.js'));
copyFileSync(join(here, 'node_modules', 'chart.js', 'LICENSE.md'), join(out, 'vendor', 'chart.js.LICENSE.md'));
