// Real local peers for the tcp and http checks, on 127.0.0.1 only.
import net from 'node:net';
import { freePort } from './server.mjs';

function listen(server) {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => resolve(server.address().port));
  });
}

function closer(server, sockets) {
  return () => new Promise((resolve) => {
    for (const s of sockets) s.destroy();
    server.close(() => resolve());
  });
}

// Accepts connections and closes them at once.
export async function listener() {
  const sockets = new Set();
  const server = net.createServer((s) => {
    sockets.add(s);
    s.on('close', () => sockets.delete(s));
    s.on('error', () => {});
    s.end();
  });
  const port = await listen(server);
  return { port, close: closer(server, sockets) };
}

// A port with nothing behind it: taken from the system, then released.
export async function closedPort() {
  return freePort();
}

// Answers every request head with the given bytes (after delayMs), then closes.
export async function httpPeer(answer, { delayMs = 0 } = {}) {
  const sockets = new Set();
  const requests = [];
  const server = net.createServer((s) => {
    sockets.add(s);
    s.on('close', () => sockets.delete(s));
    s.on('error', () => {});
    let head = '';
    s.on('data', (b) => {
      head += b.toString('latin1');
      if (head.includes('\r\n\r\n')) {
        requests.push(head);
        setTimeout(() => s.end(answer), delayMs);
      }
    });
  });
  const port = await listen(server);
  return { port, requests, close: closer(server, sockets) };
}
