// Runs the executable behind a real lighttpd (host/serve-lighttpd.sh) on a
// free loopback port, with an environment of the test's choosing.
import { spawn } from 'node:child_process';
import { existsSync } from 'node:fs';
import net from 'node:net';
import http from 'node:http';
import { EXE, SERVE } from './paths.mjs';

// Variables the CGI program reads; a server gets only those the test names.
const HOOKS = ['MORV_PASSWORD', 'TARVIK_MOCK_IFACES', 'TARVIK_MOCK_DNS', 'TARVIK_MOCK_TIMEOUT',
  'QV_PLUGIN_META'];

const running = new Set();
process.on('exit', () => { for (const child of running) killGroup(child, 'SIGKILL'); });

function killGroup(child, signal) {
  try { process.kill(-child.pid, signal); } catch { /* already gone */ }
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

function probe(url) {
  return new Promise((resolve) => {
    const req = http.get(url, (res) => { res.resume(); resolve(res.statusCode); });
    req.on('error', () => resolve(0));
    req.setTimeout(1000, () => { req.destroy(); resolve(0); });
  });
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function waitReady(base, child, log) {
  const until = Date.now() + 15000;
  while (Date.now() < until) {
    if (child.exitCode !== null || child.signalCode !== null) {
      throw new Error(`lighttpd stopped at start (${child.exitCode ?? child.signalCode}):\n${log()}`);
    }
    if (await probe(`${base}/hub.html`) === 200) return;
    await sleep(100);
  }
  throw new Error(`lighttpd did not answer on ${base} within 15 s:\n${log()}`);
}

// env: the hook variables for this server; undefined leaves one unset.
export async function startServer(env = {}) {
  if (!existsSync(SERVE)) throw new Error(`missing ${SERVE}`);
  if (!existsSync(EXE)) throw new Error(`missing executable ${EXE} (set TARVIK_EXE)`);
  const childEnv = { ...process.env };
  for (const k of HOOKS) delete childEnv[k];
  for (const [k, v] of Object.entries(env)) if (v !== undefined) childEnv[k] = v;
  const port = await freePort();
  const child = spawn('bash', [SERVE, EXE, String(port)], {
    env: childEnv, detached: true, stdio: ['ignore', 'pipe', 'pipe'],
  });
  running.add(child);
  let output = '';
  child.stdout.on('data', (b) => { output += b; });
  child.stderr.on('data', (b) => { output += b; });
  const base = `http://127.0.0.1:${port}`;
  const stop = async () => {
    if (!running.delete(child)) return;
    if (child.exitCode !== null || child.signalCode !== null) return;
    const gone = new Promise((r) => child.once('exit', r));
    // The script stops lighttpd and removes its state folder itself on TERM;
    // whatever of the group is still there afterwards is killed outright.
    try { child.kill('SIGTERM'); } catch { /* already gone */ }
    const t = setTimeout(() => killGroup(child, 'SIGKILL'), 3000);
    await gone;
    clearTimeout(t);
    killGroup(child, 'SIGKILL');
  };
  try {
    await waitReady(base, child, () => output);
  } catch (e) {
    await stop();
    throw e;
  }
  return { base, port, stop, output: () => output };
}

// Fetches a JSON document from the server straight, not through the page.
export async function getJson(base, pathAndQuery, headers = {}) {
  const r = await fetch(base + pathAndQuery, { headers });
  return { status: r.status, doc: await r.json() };
}
