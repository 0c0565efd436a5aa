// Real local peers for the tcp and http checks, on 127.0.0.1 only, played by
// the test harness's stand (see server.mjs).
import { stand } from './server.mjs';

async function peer(script) {
  const s = await stand(['--front', 'none', '--peer', `p=${script}`]);
  return { port: s.peers.p, requests: s.requests.p, close: s.stop };
}

// Accepts connections and closes them at once.
export function listener() {
  return peer('close');
}

// A port with nothing behind it.
export async function closedPort() {
  const s = await stand(['--front', 'none']);
  await s.stop();
  return s.closed;
}

// Answers every request head with the given bytes (after delayMs), then
// closes; requests holds each request head.
export function httpPeer(answer, { delayMs = 0 } = {}) {
  // The stand reads the answer with backslash escapes.
  return peer(`answer+${delayMs / 1000}:${JSON.stringify(answer).slice(1, -1)}`);
}
