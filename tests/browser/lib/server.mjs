// Runs the executable behind a real web server on a free loopback port, with
// an environment of the test's choosing, through the test harness's stand
// (python3 -m harness.stand), which also plays the peers of peers.mjs.
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';
import path from 'node:path';
import { EXE, REPO } from './paths.mjs';

// A stand stops everything it started once its input closes, whatever way
// this process ends.
const running = new Set();
process.on('exit', () => { for (const child of running) child.kill('SIGTERM'); });

// Starts a stand with args; resolves with its first line ({ base, port,
// peers, closed }), requests (what each connection to a peer sent, by peer
// name, as the connections end) and stop().
export function stand(args) {
  const child = spawn('python3', ['-m', 'harness.stand', ...args], {
    env: { ...process.env, PYTHONPATH: path.join(REPO, 'tests') },
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  running.add(child);
  let output = '';
  child.stderr.on('data', (b) => { output += b; });
  const gone = new Promise((r) => child.once('exit', r));
  const stop = async () => {
    if (!running.delete(child)) return;
    child.stdin.end();
    const t = setTimeout(() => child.kill('SIGTERM'), 30000);
    await gone;
    clearTimeout(t);
  };
  return new Promise((resolve, reject) => {
    let first = null;
    const requests = {};
    createInterface({ input: child.stdout }).on('line', (line) => {
      const msg = JSON.parse(line);
      if (first) {
        requests[msg.peer].push(msg.received);
        return;
      }
      first = msg;
      for (const name of Object.keys(msg.peers)) requests[name] = [];
      resolve({ ...msg, requests, stop, output: () => output });
    });
    gone.then((code) => {
      running.delete(child);
      if (!first) reject(new Error(`harness.stand stopped at start (${code}):\n${output}`));
    });
  });
}

// env: the hook variables for this server; undefined leaves one unset. exe:
// what the server runs, the executable or a wrapper around it.
export async function startServer(env = {}, exe = EXE) {
  const args = ['--exe', exe];
  for (const [k, v] of Object.entries(env)) if (v !== undefined) args.push('--env', `${k}=${v}`);
  const { base, port, stop, output } = await stand(args);
  return { base, port, stop, output };
}

// Fetches a JSON document from the server straight, not through the page.
export async function getJson(base, pathAndQuery, headers = {}) {
  const r = await fetch(base + pathAndQuery, { headers });
  return { status: r.status, doc: await r.json() };
}
