// Demo runtime started by the desktop launcher.
//
// Contract with the launcher: the only thing ever written to standard output
// is a single line holding the loopback URL, written once the server is
// listening. The launcher reads stdout until that line, so any other output
// (diagnostics, errors) must go to standard error or it would be mistaken for
// the URL. A bad configuration exits with status 1 before any URL is printed.

import { readFileSync } from 'node:fs';
import { createServer } from 'node:http';
import module, { createRequire } from 'node:module';
import { homedir } from 'node:os';
import path from 'node:path';
import process from 'node:process';
import { fileURLToPath } from 'node:url';

// The app folder (the parent of scripts/); module paths in the config are relative to it.
const APP_DIR = path.dirname(path.dirname(fileURLToPath(import.meta.url)));

// Node's compile cache (node 22.1 and later) keeps the code V8 compiles for the app's
// modules on disk, so that every start after the first skips most of that work: for an
// app that loads megabytes of JavaScript, most of its start. It covers only modules
// loaded after it is enabled, so this runs before anything of the app is loaded. The
// folder is the user's cache folder; node keeps the entries of different node versions
// and files apart and checks each against its source. An older node has no such
// function and starts as before; a cache that cannot be used only costs the compile.
// Nothing here may write to standard output.
function enableCompileCache() {
  if (typeof module.enableCompileCache !== 'function') return;
  const xdgCache = process.env.XDG_CACHE_HOME;
  const cacheHome = xdgCache && path.isAbsolute(xdgCache) ? xdgCache : path.join(homedir(), '.cache');
  try {
    module.enableCompileCache(path.join(cacheHome, 'zolven', 'compile-cache'));
  } catch (err) {
    process.stderr.write(`packaged-runtime: compile cache not used: ${err.message}\n`);
  }
}

enableCompileCache();

const ENV_KEYS = [
  'ZOLVEN_PACKAGED_RESOURCE_ROOT',
  'ZOLVEN_PACKAGED_CONFIG',
  'ZOLVEN_PACKAGED_BIN_DIR',
  'ZOLVEN_SUPPRESS_BROWSER',
];

function fail(message) {
  process.stderr.write(`packaged-runtime: error: ${message}\n`);
  process.exit(1);
}

function loadConfig(configPath) {
  if (!configPath) {
    fail('ZOLVEN_PACKAGED_CONFIG is not set; cannot locate the runtime config');
  }
  let text;
  try {
    text = readFileSync(configPath, 'utf8');
  } catch (err) {
    fail(`cannot read config file ${configPath}: ${err.message}`);
  }
  let config;
  try {
    config = JSON.parse(text);
  } catch (err) {
    fail(`config file ${configPath} is not valid JSON: ${err.message}`);
  }
  // Only an object makes sense as a config; rejecting other JSON values early
  // gives a clear message instead of a confusing page later.
  if (config === null || typeof config !== 'object' || Array.isArray(config)) {
    fail(`config file ${configPath} must contain a JSON object`);
  }
  for (const key of ['name', 'greeting']) {
    if (key in config && typeof config[key] !== 'string') {
      fail(`config file ${configPath}: "${key}" must be a string`);
    }
  }
  if ('modules' in config && !(Array.isArray(config.modules)
    && config.modules.every((entry) => typeof entry === 'string' && entry !== ''))) {
    fail(`config file ${configPath}: "modules" must be a list of file paths`);
  }
  return config;
}

// The CommonJS modules the config names under "modules" (paths relative to the app
// folder), loaded before the server starts, as a larger app loads its code.
function loadModules(config) {
  const require = createRequire(import.meta.url);
  for (const entry of config.modules ?? []) {
    const file = path.resolve(APP_DIR, entry);
    try {
      require(file);
    } catch (err) {
      fail(`cannot load module ${file}: ${err.message}`);
    }
  }
}

// Every value shown on the page comes from the environment or a file, so all
// of it is escaped; nothing is trusted to be markup.
function escapeHtml(value) {
  return String(value)
    .replaceAll('&', '&amp;')
    .replaceAll('<', '&lt;')
    .replaceAll('>', '&gt;')
    .replaceAll('"', '&quot;')
    .replaceAll("'", '&#39;');
}

function renderPage(configPath, config) {
  const name = typeof config.name === 'string' ? config.name : 'Packaged runtime';
  const greeting = typeof config.greeting === 'string' ? config.greeting : '';
  const envRows = ENV_KEYS.map((key) => {
    const value = process.env[key];
    const shown = value === undefined
      ? '<em>(not set)</em>'
      : `<code>${escapeHtml(value)}</code>`;
    return `<tr><th scope="row">${escapeHtml(key)}</th><td>${shown}</td></tr>`;
  }).join('\n        ');

  return `<!DOCTYPE html>
<html lang="en">
<head>
  <meta charset="utf-8">
  <meta name="viewport" content="width=device-width, initial-scale=1">
  <title>${escapeHtml(name)}</title>
  <style>
    body { font-family: system-ui, sans-serif; margin: 2rem auto; max-width: 52rem;
           padding: 0 1rem; color: #1d2430; background: #f7f8fa; }
    h1 { margin-bottom: 0.25rem; }
    .status { display: inline-block; padding: 0.15rem 0.6rem; border-radius: 1rem;
              background: #d7f5df; color: #135c2a; font-weight: 600; }
    section { background: #fff; border: 1px solid #dde1e7; border-radius: 0.5rem;
              padding: 0.75rem 1rem; margin: 1rem 0; }
    table { border-collapse: collapse; width: 100%; }
    th, td { text-align: left; vertical-align: top; padding: 0.3rem 0.5rem;
             border-bottom: 1px solid #eef0f3; }
    th { white-space: nowrap; font-weight: 600; }
    code, pre { font-family: ui-monospace, monospace; word-break: break-all; }
    pre { background: #f1f3f6; padding: 0.6rem; border-radius: 0.3rem;
          white-space: pre-wrap; margin: 0.5rem 0 0; }
  </style>
</head>
<body>
  <h1>${escapeHtml(name)}</h1>
  <p><span class="status">Running</span></p>
  <p class="greeting">${escapeHtml(greeting)}</p>
  <section>
    <h2>Process</h2>
    <table>
      <tbody>
        <tr><th scope="row">pid</th><td><code>${escapeHtml(process.pid)}</code></td></tr>
        <tr><th scope="row">node</th><td><code>${escapeHtml(process.version)}</code></td></tr>
      </tbody>
    </table>
  </section>
  <section>
    <h2>Environment</h2>
    <table>
      <tbody>
        ${envRows}
      </tbody>
    </table>
  </section>
  <section>
    <h2>Configuration</h2>
    <p>File: <code>${escapeHtml(configPath)}</code></p>
    <pre>${escapeHtml(JSON.stringify(config, null, 2))}</pre>
  </section>
</body>
</html>
`;
}

function send(req, res, status, contentType, body, extraHeaders = {}) {
  const buffer = Buffer.from(body, 'utf8');
  res.writeHead(status, {
    'Content-Type': contentType,
    'Content-Length': buffer.length,
    'Cache-Control': 'no-store',
    'X-Content-Type-Options': 'nosniff',
    ...extraHeaders,
  });
  // HEAD gets the same headers as GET but no body.
  res.end(req.method === 'HEAD' ? undefined : buffer);
}

function main() {
  const configPath = process.env.ZOLVEN_PACKAGED_CONFIG;
  const config = loadConfig(configPath);
  loadModules(config);
  // Rendered once: the inputs cannot change while the process runs.
  const page = renderPage(configPath, config);

  const server = createServer((req, res) => {
    if (req.method !== 'GET' && req.method !== 'HEAD') {
      send(req, res, 405, 'text/plain; charset=utf-8', 'Method Not Allowed\n',
        { Allow: 'GET, HEAD' });
      return;
    }
    // Only the path matters; a query string must not turn / into a 404.
    const path = new URL(req.url ?? '/', 'http://127.0.0.1').pathname;
    if (path === '/') {
      send(req, res, 200, 'text/html; charset=utf-8', page, {
        // The page is self-contained; forbid anything it does not need.
        'Content-Security-Policy': "default-src 'none'; style-src 'unsafe-inline'",
      });
    } else if (path === '/health') {
      send(req, res, 200, 'application/json; charset=utf-8',
        JSON.stringify({ status: 'ok' }));
    } else {
      send(req, res, 404, 'text/plain; charset=utf-8', 'Not Found\n');
    }
  });

  server.on('error', (err) => fail(`HTTP server error: ${err.message}`));

  // If the launcher stops reading stdout after it has the URL, a broken pipe
  // must not crash the server.
  process.stdout.on('error', (err) => {
    if (err.code !== 'EPIPE') {
      process.stderr.write(`packaged-runtime: stdout error: ${err.message}\n`);
    }
  });

  let stopping = false;
  const stop = (signal) => {
    if (stopping) return;
    stopping = true;
    process.stderr.write(`packaged-runtime: ${signal} received, shutting down\n`);
    server.close(() => process.exit(0));
    // server.close() only drops idle keep-alive sockets; a browser can also
    // hold a connection mid-request, which would keep close() waiting.
    // Closing every connection keeps shutdown bounded.
    server.closeAllConnections();
  };
  process.on('SIGTERM', () => stop('SIGTERM'));
  process.on('SIGINT', () => stop('SIGINT'));

  // Port 0 lets the OS pick a free port, so several instances never collide;
  // binding to loopback keeps the app unreachable from other machines.
  server.listen(0, '127.0.0.1', () => {
    const { port } = server.address();
    process.stdout.write(`http://127.0.0.1:${port}/\n`);
    process.stderr.write(`packaged-runtime: pid ${process.pid} listening on port ${port}\n`);
    // What the start compiled goes to disk now, after the URL line, rather than at an
    // exit that a kill may cut short (node 22.10 and later; before, node writes it at exit).
    if (typeof module.flushCompileCache === 'function') module.flushCompileCache();
  });
}

main();
