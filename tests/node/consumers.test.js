// SPDX-License-Identifier: MIT
// The npm packages as people consume them: packed by node/scripts/pack.js,
// installed offline into a new app (npm init -y) with nothing to approve
// and nothing printed, then used with the tools people use, from npm
// (cached in SEALKIT_JS_TOOLS): Node.js's require and named imports on both
// back ends, TypeScript 5 under strict (node16, nodenext, bundler), pages
// bundled with no configuration by esbuild, rollup, webpack 5, vite 5 and
// vite 8 and opened in Debian's Chromium, Deno and Bun; and the browser
// entry without FinalizationRegistry, as older edge workers have it. Every
// row must give the command's envelope of 'a record'.
//   SEALKIT_WASM, SEALKIT_TOOL (the command), SEALKIT_JS_TOOLS,
//   SEALKIT_PLAYWRIGHT (playwright-core, for the pages)
'use strict';

const { test, before, after } = require('../support/node_test.js');
const assert = require('node:assert');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const zlib = require('node:zlib');
const { execFileSync, spawnSync } = require('node:child_process');
const browser = require('../support/browser.js');

const source = path.resolve(__dirname, '..', '..');
const tools = path.resolve(process.env.SEALKIT_JS_TOOLS ?? path.join(source, 'build', 'js-tools'));
const bin = (name) => path.join(tools, 'node_modules', '.bin', name);
const toolSpecs = ['esbuild@0', 'rollup@4', '@rollup/plugin-node-resolve@16', 'webpack@5', 'webpack-cli@6',
  'vite5@npm:vite@5', 'vite@8', 'typescript@5', '@types/node@22', 'deno@2', 'bun@1'];
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'sealkit-consumers-'));
const app = path.join(work, 'app');
let expected = null;

// Runs a command in the app; its output, or the assertion's message with it.
function run(cmd, args, options = {}) {
  const r = spawnSync(cmd, args, { cwd: app, encoding: 'utf8', timeout: 120000, ...options,
    env: { ...process.env, SEALKIT_BACKEND: '', ...options.env } });
  assert.strictEqual(r.status, 0, `${path.basename(cmd)} ${args.join(' ')}:\n${r.stdout}${r.stderr}${r.error ?? ''}`);
  return r.stdout;
}

// The bundlers and runtimes, installed once per build tree (no install
// script runs: each works without its own).
function toolsMissing() {
  const stamp = path.join(tools, 'stamp');
  if (fs.existsSync(stamp) && fs.readFileSync(stamp, 'utf8') === toolSpecs.join(' ')) return false;
  fs.mkdirSync(tools, { recursive: true });
  // A registry out of reach (no route, or a certificate this system does
  // not trust, as in a bare Debian root) is a skip, said in seconds.
  const npm = (args, timeout) => spawnSync('npm', [...args, '--fetch-retries=1', '--fetch-timeout=20000'],
    { encoding: 'utf8', timeout, killSignal: 'SIGKILL' });
  const last = (r) => (r.stderr || String(r.error ?? `npm exited ${r.status}`)).trim().split('\n').pop();
  const probe = npm(['view', 'esbuild@0', 'version'], 60000);
  if (probe.status !== 0) return `the npm registry is out of reach from here: ${last(probe)}`;
  const r = npm(['install', '--prefix', tools, '--no-audit', '--no-fund', '--no-save', '-q', ...toolSpecs], 300000);
  if (r.status !== 0) return `npm could not install the tools: ${last(r)}`;
  fs.writeFileSync(stamp, toolSpecs.join(' '));
  return false;
}

const skip = !process.env.SEALKIT_WASM || !process.env.SEALKIT_TOOL ? 'needs SEALKIT_WASM and SEALKIT_TOOL'
  : toolsMissing();

before(() => {
  if (skip) return;
  const pack = path.join(work, 'pack');
  fs.mkdirSync(pack);
  execFileSync(process.execPath, [path.join(source, 'node', 'scripts', 'pack.js')],
    { env: { ...process.env, SEALKIT_PACK_OUT: pack }, stdio: ['ignore', 'ignore', 'inherit'] });
  fs.mkdirSync(app);
  run('npm', ['init', '-y']);
  const tarballs = fs.readdirSync(pack).map((f) => path.join(pack, f));
  const out = spawnSync('npm', ['install', '--offline', '--no-audit', '--no-fund', ...tarballs],
    { cwd: app, encoding: 'utf8', timeout: 120000 });
  assert.strictEqual(out.status, 0, out.stderr);
  assert.doesNotMatch(`${out.stdout}${out.stderr}`, /warn|sealkit/i, 'npm install printed about sealkit');
  for (const t of tarballs) console.log(`# ${path.basename(t)}: ${fs.statSync(t).size} bytes`);
  for (const f of fs.readdirSync(path.join(__dirname, 'consumers'))) {
    fs.copyFileSync(path.join(__dirname, 'consumers', f), path.join(app, f));
  }
  fs.writeFileSync(path.join(app, 'key'), Buffer.alloc(16, 7));
  fs.writeFileSync(path.join(app, 'notes.txt'), 'Notes.\n');
  expected = execFileSync(process.env.SEALKIT_TOOL, ['seal', '-q', '-c', 'aes-cbc', '-k', path.join(app, 'key')],
    { input: 'a record' }).toString('hex');
});
after(() => fs.rmSync(work, { recursive: true, force: true }));

test('Node.js: require and named imports, on both back ends', { skip, timeout: 60000 }, () => {
  for (const [file, backend] of [['app.cjs', 'native'], ['app.mjs', 'native'], ['app.cjs', 'wasm'], ['app.mjs', 'wasm']]) {
    const env = backend === 'wasm' ? { SEALKIT_BACKEND: 'wasm' } : {};
    assert.strictEqual(run(process.execPath, [file], { env }), `${backend} ${expected}\n`, file);
  }
  // Node.js's scan of CommonJS exports finds every name.
  const names = run(process.execPath, ['--input-type=module', '-e',
    'import * as s from "./node_modules/sealkit/index.js"; console.log(Object.keys(s).sort().join(" "))']);
  assert.strictEqual(names.trim(), 'Key SealkitError backend ciphers constants default open openAsync openFile seal ' +
    'sealAsync sealFile version');
});

test('TypeScript 5 under strict: node16, nodenext, bundler', { skip, timeout: 120000 }, () => {
  fs.mkdirSync(path.join(app, 'node_modules', '@types'), { recursive: true });
  // A link, so that @types/node finds its own dependencies beside it.
  fs.symlinkSync(path.join(tools, 'node_modules', '@types', 'node'), path.join(app, 'node_modules', '@types', 'node'));
  const common = ['--noEmit', '--strict', '--target', 'es2022', '--skipLibCheck', 'false'];
  for (const m of ['node16', 'nodenext']) {
    run(bin('tsc'), [...common, '--module', m, '--moduleResolution', m, '--lib', 'es2022,dom', '--types', 'node', 'node.mts']);
  }
  fs.writeFileSync(path.join(app, 'tsconfig.json'), JSON.stringify({ compilerOptions: {
    strict: true, noEmit: true, module: 'esnext', moduleResolution: 'bundler', target: 'es2022',
    lib: ['es2022', 'dom', 'dom.iterable'], types: [] }, files: ['browser.mts'] }));
  run(bin('tsc'), ['-p', 'tsconfig.json']);
});

// Each bundler with no configuration of its own but what any page needs
// (webpack's entry, rollup's resolver, vite's base for a page served below
// /); the page in out/NAME.
const bundlers = {
  'esbuild (iife, the default)': (out) => run(bin('esbuild'), ['page.mjs', '--bundle', `--outfile=${out}/main.js`]),
  'esbuild (esm)': (out) => run(bin('esbuild'), ['page.mjs', '--bundle', '--format=esm', `--outfile=${out}/main.js`]),
  'rollup with node-resolve': (out) => {
    fs.writeFileSync(path.join(app, 'rollup.config.mjs'), `import resolve from ${JSON.stringify(
      path.join(tools, 'node_modules', '@rollup', 'plugin-node-resolve', 'dist', 'es', 'index.js'))};
export default { input: 'page.mjs', output: { file: '${out}/main.js', format: 'es' }, plugins: [resolve()] };\n`);
    run(bin('rollup'), ['-c', 'rollup.config.mjs']);
  },
  'webpack 5, require() in CommonJS': (out) =>
    run(bin('webpack'), ['--mode', 'production', '--entry', './page.cjs', '--output-path', out]),
  'vite 5': (out) => run(process.execPath, [path.join(tools, 'node_modules', 'vite5', 'bin', 'vite.js'), 'build',
    '--base', './', '--outDir', out, '--emptyOutDir']),
  'vite 8': (out) => run(bin('vite'), ['build', '--base', './', '--outDir', out, '--emptyOutDir']),
};

test('pages bundled with no configuration, in headless Chromium', { skip: skip || browser.skipReason(), timeout: 300000 },
  async (t) => {
    const pages = {};
    for (const [name, build] of Object.entries(bundlers)) {
      const out = path.join(app, 'out', name.replace(/\W+/g, '-'));
      build(out);
      if (!fs.existsSync(path.join(out, 'index.html'))) {
        const module = name.includes('esm') || name.includes('rollup') ? ' type="module"' : '';
        fs.writeFileSync(path.join(out, 'index.html'), `<!doctype html><body><script${module} src="main.js"></script>`);
      }
      const js = fs.readdirSync(out, { recursive: true }).filter((f) => f.endsWith('.js'))
        .map((f) => fs.readFileSync(path.join(out, f)));
      const all = Buffer.concat(js);
      assert.doesNotMatch(all.toString(), /node-addon-api|napi_|sealkit\.cpp|node:fs/, `${name}: Node.js code in a page`);
      t.diagnostic(`${name}: ${all.length} bytes of JavaScript, ${zlib.gzipSync(all, { level: 9 }).length} gzipped`);
      pages[name] = out;
    }
    const server = await browser.serve({ '/': path.join(app, 'out') });
    const origin = `http://127.0.0.1:${server.address().port}`;
    const { context, elsewhere } = await browser.launch(path.join(work, 'profile'), origin);
    try {
      const page = await context.newPage();
      const errors = [];
      page.on('pageerror', (e) => errors.push(e.message));
      for (const [name, out] of Object.entries(pages)) {
        await page.goto(`${origin}/${path.basename(out)}/index.html`);
        await page.waitForSelector('body[data-result]', { state: 'attached', timeout: 20000 }).catch(() => {});
        const got = await page.evaluate(() => document.body.dataset.result);
        assert.strictEqual(got, `wasm ${expected} a record`, `${name}: ${errors.join('; ')}`);
      }
      assert.deepStrictEqual(elsewhere, []);
    } finally {
      await context.close();
      server.close();
    }
  });

test('Deno: read permission alone gives the WebAssembly back end; FFI the addon', { skip, timeout: 120000 }, () => {
  const env = { DENO_DIR: path.join(work, 'deno'), NO_COLOR: '1' };
  assert.strictEqual(run(bin('deno'), ['run', '--allow-read', 'app.mjs'], { env }), `wasm ${expected}\n`);
  assert.strictEqual(run(bin('deno'), ['run', '--allow-read', '--allow-env', '--allow-ffi', 'app.mjs'], { env }),
    `native ${expected}\n`);
});

test('Bun: the addon, from ESM and CommonJS', { skip, timeout: 60000 }, () => {
  for (const file of ['app.mjs', 'app.cjs']) assert.strictEqual(run(bin('bun'), [file]), `native ${expected}\n`, file);
});

test('the browser entry without FinalizationRegistry or WeakRef', { skip, timeout: 60000 }, () => {
  const out = run(process.execPath, ['--input-type=module', '-e', `
    delete globalThis.FinalizationRegistry;
    delete globalThis.WeakRef;
    const s = await import('./node_modules/sealkit/browser.mjs');
    const k = new s.Key('aes-cbc', new Uint8Array(16).fill(7));
    const env = k.seal(new TextEncoder().encode('a record'));
    k.close();
    try { k.seal(env); } catch (e) { console.log(e.code, Buffer.from(env).toString('hex')); }`]);
  assert.strictEqual(out, `ERR_SEALKIT_CLOSED ${expected}\n`);
});
