// Runs the demo runtime as a real child process, the way the launcher does,
// and talks to it over loopback HTTP. Deadlines are generous and every wait
// is event-driven, so a slow machine only makes the test slower, not flaky.

import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdtempSync, readdirSync, writeFileSync, rmSync } from 'node:fs';
import module from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const SCRIPT = fileURLToPath(new URL('./packaged-runtime.mjs', import.meta.url));
const APP_DIR = path.dirname(path.dirname(SCRIPT));
const STARTUP_DEADLINE_MS = 20_000;
const EXIT_DEADLINE_MS = 10_000;
const URL_RE = /^http:\/\/127\.0\.0\.1:\d+\/$/;

function makeTempDir(t) {
  const dir = mkdtempSync(path.join(tmpdir(), 'packaged-runtime-test-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Starts the runtime and registers a cleanup that kills it if a test fails
// before it has shut down on its own.
function startRuntime(t, configPath, extraEnv = {}) {
  const env = {
    // The runtime needs no tools from PATH; it is forwarded only so the
    // environment resembles the launcher's.
    PATH: process.env.PATH ?? '',
    ZOLVEN_PACKAGED_RESOURCE_ROOT: APP_DIR,
    ZOLVEN_PACKAGED_CONFIG: configPath,
    ZOLVEN_PACKAGED_BIN_DIR: path.dirname(process.execPath),
    ZOLVEN_SUPPRESS_BROWSER: '1',
    ...extraEnv,
  };
  const child = spawn(process.execPath, [SCRIPT], {
    cwd: APP_DIR,
    env,
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const run = { child, env, stdout: '', stderr: '' };
  child.stdout.setEncoding('utf8');
  child.stderr.setEncoding('utf8');
  child.stdout.on('data', (chunk) => { run.stdout += chunk; });
  child.stderr.on('data', (chunk) => { run.stderr += chunk; });
  run.exited = new Promise((resolve) => {
    // 'close' rather than 'exit' so all output has been collected.
    child.on('close', (code, signal) => resolve({ code, signal }));
  });
  t.after(() => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  });
  return run;
}

function withDeadline(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms waiting for ${what}`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// Resolves with the first stdout line, as the launcher would read it.
function waitForFirstLine(run) {
  const firstLine = new Promise((resolve, reject) => {
    const check = () => {
      const newline = run.stdout.indexOf('\n');
      if (newline !== -1) {
        run.child.stdout.off('data', check);
        resolve(run.stdout.slice(0, newline));
      }
    };
    run.child.stdout.on('data', check);
    run.exited.then(({ code, signal }) => reject(new Error(
      `runtime exited (code ${code}, signal ${signal}) before printing a URL; stderr:\n${run.stderr}`)));
    check();
  });
  return withDeadline(firstLine, STARTUP_DEADLINE_MS, 'the URL line');
}

function escapeHtml(value) {
  return String(value)
    .replaceAll('&', '&amp;')
    .replaceAll('<', '&lt;')
    .replaceAll('>', '&gt;')
    .replaceAll('"', '&quot;')
    .replaceAll("'", '&#39;');
}

test('serves the page, health and 404, then exits 0 on SIGTERM', async (t) => {
  const dir = makeTempDir(t);
  const configPath = path.join(dir, 'runtime-config.json');
  const config = {
    name: 'Test demo',
    greeting: 'Hi <script>alert("x")</script> & bye',
  };
  writeFileSync(configPath, JSON.stringify(config));

  const run = startRuntime(t, configPath);
  const line = await waitForFirstLine(run);
  assert.match(line, URL_RE);
  // Exactly one line: nothing else may share stdout with the URL.
  assert.equal(run.stdout, `${line}\n`);
  const base = line;

  const page = await fetch(base);
  assert.equal(page.status, 200);
  assert.match(page.headers.get('content-type'), /^text\/html/);
  const html = await page.text();
  assert.ok(html.includes('Test demo'), 'page shows config name');
  assert.ok(html.includes('Hi &lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; bye'),
    'greeting is shown HTML-escaped');
  assert.ok(!html.includes('<script'), 'no unescaped script tag in the page');
  assert.ok(html.includes(escapeHtml(configPath)), 'page shows config path');
  for (const key of ['ZOLVEN_PACKAGED_RESOURCE_ROOT', 'ZOLVEN_PACKAGED_CONFIG',
    'ZOLVEN_PACKAGED_BIN_DIR', 'ZOLVEN_SUPPRESS_BROWSER']) {
    assert.ok(html.includes(key), `page names ${key}`);
    assert.ok(html.includes(`<code>${escapeHtml(run.env[key])}</code>`), `page shows value of ${key}`);
  }
  assert.ok(html.includes(`<code>${run.child.pid}</code>`), 'page shows the pid');
  assert.ok(html.includes(`<code>${process.version}</code>`), 'page shows node version');

  const health = await fetch(new URL('/health', base));
  assert.equal(health.status, 200);
  assert.deepEqual(await health.json(), { status: 'ok' });

  const missing = await fetch(new URL('/no-such-page', base));
  assert.equal(missing.status, 404);
  await missing.arrayBuffer();

  const head = await fetch(new URL('/health', base), { method: 'HEAD' });
  assert.equal(head.status, 200);
  assert.equal(await head.text(), '');

  const post = await fetch(base, { method: 'POST', body: 'x' });
  assert.equal(post.status, 405);
  assert.equal(post.headers.get('allow'), 'GET, HEAD');
  await post.arrayBuffer();

  // fetch keeps its connections alive, so this also checks that shutdown
  // does not hang on idle keep-alive sockets.
  assert.ok(run.child.kill('SIGTERM'));
  const { code, signal } = await withDeadline(run.exited, EXIT_DEADLINE_MS, 'exit after SIGTERM');
  assert.equal(signal, null);
  assert.equal(code, 0);
});

test('exits 0 on SIGINT', async (t) => {
  const dir = makeTempDir(t);
  const configPath = path.join(dir, 'runtime-config.json');
  writeFileSync(configPath, JSON.stringify({ name: 'Interrupt demo' }));

  const run = startRuntime(t, configPath);
  assert.match(await waitForFirstLine(run), URL_RE);
  assert.ok(run.child.kill('SIGINT'));
  const { code, signal } = await withDeadline(run.exited, EXIT_DEADLINE_MS, 'exit after SIGINT');
  assert.equal(signal, null);
  assert.equal(code, 0);
});

test('missing config exits 1 without printing a URL', async (t) => {
  const dir = makeTempDir(t);
  const run = startRuntime(t, path.join(dir, 'does-not-exist.json'));
  const { code } = await withDeadline(run.exited, EXIT_DEADLINE_MS, 'exit with a missing config');
  assert.equal(code, 1);
  assert.equal(run.stdout, '');
  assert.match(run.stderr, /cannot read config file/);
});

test('invalid config JSON exits 1 without printing a URL', async (t) => {
  const dir = makeTempDir(t);
  const configPath = path.join(dir, 'runtime-config.json');
  writeFileSync(configPath, '{ "name": ');
  const run = startRuntime(t, configPath);
  const { code } = await withDeadline(run.exited, EXIT_DEADLINE_MS, 'exit with invalid JSON');
  assert.equal(code, 1);
  assert.equal(run.stdout, '');
  assert.match(run.stderr, /not valid JSON/);
});

test('bundled config is valid and accepted by the runtime', async (t) => {
  const configPath = path.join(path.dirname(APP_DIR), 'config', 'runtime-config.json');
  const run = startRuntime(t, configPath);
  const line = await waitForFirstLine(run);
  assert.match(line, URL_RE);
  const html = await (await fetch(line)).text();
  assert.ok(html.includes('ZOLVEN demo'));
  run.child.kill('SIGTERM');
  const { code } = await withDeadline(run.exited, EXIT_DEADLINE_MS, 'exit after SIGTERM');
  assert.equal(code, 0);
});

// Files under a directory, however deep.
function filesUnder(dir) {
  return readdirSync(dir, { recursive: true, withFileTypes: true }).filter((entry) => entry.isFile());
}

test('loads the modules the config names before it serves, and prints only the URL', async (t) => {
  const dir = makeTempDir(t);
  const modulePath = path.join(dir, 'module.cjs');
  writeFileSync(modulePath, "process.stderr.write('module loaded\\n');\n");
  const configPath = path.join(dir, 'runtime-config.json');
  writeFileSync(configPath, JSON.stringify({ name: 'Modules demo', modules: [modulePath] }));

  const run = startRuntime(t, configPath, { XDG_CACHE_HOME: path.join(dir, 'cache') });
  const line = await waitForFirstLine(run);
  assert.match(line, URL_RE);
  assert.equal(run.stdout, `${line}\n`);
  assert.match(run.stderr, /^module loaded\n/);
  run.child.kill('SIGTERM');
  const { code } = await withDeadline(run.exited, EXIT_DEADLINE_MS, 'exit after SIGTERM');
  assert.equal(code, 0);
  assert.equal(run.stdout, `${line}\n`);
});

test('a module that cannot be loaded exits 1 without printing a URL', async (t) => {
  const dir = makeTempDir(t);
  const configPath = path.join(dir, 'runtime-config.json');
  writeFileSync(configPath, JSON.stringify({ modules: [path.join(dir, 'missing.cjs')] }));
  const run = startRuntime(t, configPath);
  const { code } = await withDeadline(run.exited, EXIT_DEADLINE_MS, 'exit with a missing module');
  assert.equal(code, 1);
  assert.equal(run.stdout, '');
  assert.match(run.stderr, /cannot load module .*missing\.cjs/);
});

test('"modules" that is not a list of paths exits 1 without printing a URL', async (t) => {
  const dir = makeTempDir(t);
  const configPath = path.join(dir, 'runtime-config.json');
  writeFileSync(configPath, JSON.stringify({ modules: 'lib/app.js' }));
  const run = startRuntime(t, configPath);
  const { code } = await withDeadline(run.exited, EXIT_DEADLINE_MS, 'exit with bad modules');
  assert.equal(code, 1);
  assert.equal(run.stdout, '');
  assert.match(run.stderr, /"modules" must be a list of file paths/);
});

// With node 22.1 and later the compiled modules are kept under the user's cache folder and
// used by the next start; an older node starts the same way without them.
test('keeps node\'s compile cache in the user\'s cache folder when node has one', async (t) => {
  const dir = makeTempDir(t);
  const modulePath = path.join(dir, 'module.cjs');
  writeFileSync(modulePath, 'exports.sum = (a, b) => a + b;\n');
  const configPath = path.join(dir, 'runtime-config.json');
  writeFileSync(configPath, JSON.stringify({ modules: [modulePath] }));
  const cacheHome = path.join(dir, 'cache');
  const cacheDir = path.join(cacheHome, 'zolven', 'compile-cache');

  for (const start of ['first', 'second']) {
    const run = startRuntime(t, configPath, { XDG_CACHE_HOME: cacheHome });
    const line = await waitForFirstLine(run);
    assert.match(line, URL_RE, `${start} start`);
    run.child.kill('SIGTERM');
    const { code } = await withDeadline(run.exited, EXIT_DEADLINE_MS, 'exit after SIGTERM');
    assert.equal(code, 0);
    assert.equal(run.stdout, `${line}\n`, `${start} start prints only the URL`);
    if (typeof module.enableCompileCache === 'function') {
      assert.ok(existsSync(cacheDir) && filesUnder(cacheDir).length > 0,
        `${start} start: a compile cache in ${cacheDir}`);
    } else {
      assert.ok(!existsSync(cacheDir), 'no cache folder without node\'s compile cache');
    }
  }
});
