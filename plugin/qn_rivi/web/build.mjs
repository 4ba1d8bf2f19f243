// Stages the page into one folder: its own files from src/ (markup, style sheet, icon and the
// script's modules in js/) plus the charting library's browser build from node_modules (installed
// by `npm ci` in this folder). Usage: node build.mjs OUT_DIR
//
// Every file the page loads is staged under a name carrying a hash of its content
// (js/main.3f9a2c1e.js), so that the server can let browsers keep it for good; index.html keeps
// its name and is the one file a browser asks again. References are rewritten to the hashed
// names: src/href in index.html, url() in the style sheet, and in the modules every relative
// quoted path (import specifiers, import(), new URL('...', import.meta.url)), so that native ES
// modules still load each other without a bundler. A module's hash covers the content of every
// file it reaches, so a change anywhere below it renames it too (modules import each other in
// cycles, so hashing the rewritten text alone could not work). Each text file also gets a gzip
// copy beside it (NAME.gz, best compression) for the server to send to browsers that accept it.
import { createHash } from 'node:crypto';
import { existsSync, mkdirSync, readFileSync, readdirSync, statSync, writeFileSync } from 'node:fs';
import { dirname, join, posix } from 'node:path';
import { fileURLToPath } from 'node:url';
import { constants, gzipSync } from 'node:zlib';

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

// The staged files by their unhashed name (posix, relative to the page's folder) -> content.
const src = join(here, 'src');
const files = new Map(readdirSync(src, { recursive: true })
  .filter((n) => statSync(join(src, n)).isFile())
  .map((n) => [n.split('\\').join('/'), readFileSync(join(src, n))]));
files.set('vendor/chart.umd.js', readFileSync(chart));
files.set('vendor/chart.js.LICENSE.md', readFileSync(join(here, 'node_modules', 'chart.js', 'LICENSE.md')));

// The page's entry and the licence notice keep their names: people and links look for those.
const unhashed = new Set(['index.html', 'vendor/chart.js.LICENSE.md']);
const isText = (name) => /\.(html|js|mjs|css|svg|json|md|txt|map)$/.test(name);

// Where `name` refers to other staged files: [start, end, target, static import] for each
// reference, start/end being the span of the path text. Only the page's own files are read; the library is a leaf.
function references(name) {
  if (name.startsWith('vendor/') || !isText(name)) return [];
  const text = files.get(name).toString('utf8');
  const pattern = name.endsWith('.html') ? /\b(?:src|href)="([^"#:?]+)"/dg
    : name.endsWith('.css') ? /url\(\s*['"]?([^'")#:?]+)['"]?\s*\)/dg
      : /(['"])(\.{1,2}\/[^'"\s]+)\1/dg;
  const found = [];
  for (const m of text.matchAll(pattern)) {
    const path = m[m.length - 1];
    if (path.startsWith('/')) continue;
    const target = posix.normalize(posix.join(posix.dirname(name), path));
    const [start, end] = m.indices[m.length - 1];
    const before = text.slice(Math.max(0, m.index - 20), m.index);
    if (files.has(target)) found.push([start, end, target, /\b(?:from|import)\s*$/.test(before)]);
    else if (/\bfrom\s*$|\bimport\s*\(\s*$/.test(before)) {
      // An import of a module that is not there would fail only in the browser.
      throw new Error(`the page is incomplete: ${name} imports ${path}, and src/ lacks ${target}`);
    }
  }
  return found;
}

for (const name of ['index.html', 'js/main.js', 'style.css', 'favicon.svg']) {
  if (!files.has(name)) {
    console.error(`the page is incomplete, src/ lacks: ${name}`);
    process.exit(1);
  }
}
let refs;
try {
  refs = new Map([...files.keys()].map((n) => [n, references(n)]));
} catch (e) {
  console.error(e.message);
  process.exit(1);
}

// Every file `name` reaches through its references, itself included, in name order.
function reach(name) {
  const seen = new Set([name]);
  const todo = [name];
  while (todo.length) for (const [, , t] of refs.get(todo.pop())) if (!seen.has(t)) { seen.add(t); todo.push(t); }
  return [...seen].sort();
}
const staged = new Map();
for (const name of files.keys()) {
  if (unhashed.has(name)) { staged.set(name, name); continue; }
  const hash = createHash('sha256');
  for (const n of reach(name)) hash.update(n).update('\0').update(files.get(n)).update('\0');
  const dot = name.lastIndexOf('.');
  staged.set(name, `${name.slice(0, dot)}.${hash.digest('hex').slice(0, 8)}${name.slice(dot)}`);
}

// The content with each reference's last path segment replaced by its target's hashed name.
function rewritten(name) {
  let text = files.get(name).toString('utf8');
  for (const [start, end, target] of [...refs.get(name)].reverse()) {
    const path = text.slice(start, end);
    text = text.slice(0, start) + path.slice(0, path.lastIndexOf('/') + 1) + posix.basename(staged.get(target)) + text.slice(end);
  }
  return Buffer.from(text, 'utf8');
}

// index.html with the modules its entry module imports, however deep, named for preloading
// beside it: the browser fetches them at once instead of level by level as it reads the imports.
// Modules loaded by import() stay out, so that they are fetched only when needed.
function withPreloads(html) {
  const entry = /<script type="module" src="([^"]+)"><\/script>\n/.exec(html);
  if (!entry) return html;
  const main = [...staged].find(([, t]) => t === entry[1])?.[0];
  const seen = new Set([main]);
  const todo = [main];
  while (todo.length) {
    for (const [, , t, imported] of refs.get(todo.pop()) ?? []) if (imported && !seen.has(t)) { seen.add(t); todo.push(t); }
  }
  seen.delete(main);
  const links = [...seen].sort().map((n) => `<link rel="modulepreload" href="${staged.get(n)}">\n`).join('');
  return html.slice(0, entry.index) + links + html.slice(entry.index);
}

for (const [name, target] of staged) {
  const file = join(out, target);
  mkdirSync(dirname(file), { recursive: true });
  let content = refs.get(name).length ? rewritten(name) : files.get(name);
  if (name === 'index.html') content = Buffer.from(withPreloads(content.toString('utf8')), 'utf8');
  writeFileSync(file, content);
  if (isText(name)) writeFileSync(`${file}.gz`, gzipSync(content, { level: constants.Z_BEST_COMPRESSION }));
}
