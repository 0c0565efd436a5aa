// Running checks from the page: the form rules, the request each tab sends,
// and how each kind of document is shown, against real local peers.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startServer } from '../lib/server.mjs';
import { launch, newPage, apiCalls } from '../lib/browser.mjs';
import { listener, closedPort, httpPeer } from '../lib/peers.mjs';
import { openTarvik, runCheck, readResult, readHistory, readSpark, selectTab } from '../lib/tarvik.mjs';
import { EXE } from '../lib/paths.mjs';
import { mkdtempSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const DNS = 'web.test=127.0.0.1;dual.test=127.0.0.1,::1;none.test=;httpd.test=127.0.0.1';
const MS = /^\d+ ms$/;

let browser;
let srv;       // mock names resolve to loopback
let slow;      // every resolution times out
let untimed;   // the plug-in cannot read its wall clock
let tcpOpen;
let tcpShut;
let peer301;
let peer404;
let peerSlow;

before(async () => {
  browser = await launch();
  srv = await startServer({ TARVIK_MOCK_IFACES: '', TARVIK_MOCK_DNS: DNS });
  slow = await startServer({ TARVIK_MOCK_IFACES: '', TARVIK_MOCK_TIMEOUT: '1' });
  untimed = await startServer({ TARVIK_MOCK_IFACES: '', TARVIK_MOCK_DNS: DNS }, clockRefused());
  tcpOpen = await listener();
  tcpShut = await closedPort();
  peer301 = await httpPeer('HTTP/1.1 301 Moved Permanently\r\nLocation: /x\r\n\r\n');
  peer404 = await httpPeer('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nServer: t\r\n\r\n');
  peerSlow = await httpPeer('HTTP/1.1 204 No Content\r\n\r\n', { delayMs: 700 });
});

after(async () => {
  await Promise.all([srv, slow, untimed].filter(Boolean).map((s) => s.stop()));
  await Promise.all([tcpOpen, peer301, peer404, peerSlow].filter(Boolean).map((p) => p.close()));
  if (browser) await browser.close();
});

// A wrapper that runs the executable with the library of the fault suite
// (tests/blackbox/clock_refused.cpp) preloaded: its wall clock cannot be read.
// A sanitizer build's runtime then no longer comes first, which it allows.
function clockRefused() {
  const lib = process.env.TARVIK_CLOCK_REFUSED ||
    path.join(path.dirname(EXE), 'tests', 'libclock_refused.so');
  const file = path.join(mkdtempSync(path.join(os.tmpdir(), 'tarvik-clock.')), 'plugin_tarvik');
  writeFileSync(file, `#!/bin/sh\nLD_PRELOAD='${lib}' ASAN_OPTIONS=verify_asan_link_order=0 exec '${EXE}' "$@"\n`, { mode: 0o755 });
  return file;
}

async function withPage(server, fn) {
  const p = await newPage(browser, { base: server.base });
  try {
    await openTarvik(p.page, server.base);
    return await fn(p.page, p.rec);
  } finally {
    await p.close();
  }
}

function lastItem(h) {
  const i = h.items[0];
  return [i.tagClass, i.kind, i.label, i.detail];
}

describe('form rules', () => {
  const TABS = [
    ['dns', 'tabDns', 'none', 'example.com',
      "Resolves a name to its addresses. Uses the node's resolver with a 3 second deadline."],
    ['tcp', 'tabTcp', 'shown', 'example.com',
      'Measures a TCP connect. Three samples, 3 second deadline each, reported as min/avg/max.'],
    ['http', 'tabHttp', 'none', 'http://example.com',
      'Sends one HEAD request over plain TCP. Status line and headers only, body never read, no redirects.'],
  ];
  it('each tab marks itself, shows its note and placeholder, and the port only on tcp', async () => {
    await withPage(srv, async (page) => {
      for (const [kind, id, port, ph, note] of TABS) {
        await selectTab(page, kind);
        const v = await page.evaluate(() => ({
          on: [...document.querySelectorAll('.tabs .tab.on')].map((b) => b.id),
          classes: [...document.querySelectorAll('.tabs button')].map((b) => b.className),
          port: getComputedStyle(document.getElementById('port')).display === 'none' ? 'none' : 'shown',
          ph: document.getElementById('inp').placeholder,
          note: document.getElementById('tabNote').textContent,
        }));
        assert.deepEqual(v.on, [id]);
        assert.equal(v.classes.filter((c) => c === 'tab').length, 2);
        assert.equal(v.port, port, kind);
        assert.equal(v.ph, ph);
        assert.equal(v.note, note);
      }
    });
  });

  it('an empty target says "enter a target", sends nothing and changes nothing else', async () => {
    await withPage(srv, async (page, rec) => {
      const before = await runCheck(page, 'dns', 'web.test');
      const calls = apiCalls(rec).length;
      for (const kind of ['dns', 'tcp', 'http']) {
        await selectTab(page, kind);
        await page.fill('#inp', '   ');
        await page.click('#goBtn');
        const r = await readResult(page);
        assert.equal(r.state, 'enter a target');
        assert.deepEqual([r.kv, r.tag, r.note], [before.kv, before.tag, before.note]);
      }
      assert.equal(apiCalls(rec).length, calls, 'no request');
      assert.equal((await readHistory(page)).count, '1');
    });
  });

  it('a tcp check with an empty port says "port required", sends nothing, button enabled', async () => {
    await withPage(srv, async (page, rec) => {
      const calls = apiCalls(rec).length;
      const r = await runCheck(page, 'tcp', 'web.test', { port: '' });
      assert.equal(r.state, 'port required');
      assert.deepEqual(r.kv, []);
      assert.equal(await page.isEnabled('#goBtn'), true);
      assert.equal(apiCalls(rec).length, calls);
      assert.equal((await readHistory(page)).count, '0');
    });
  });

  it('Enter in the target field or the port field runs the check', async () => {
    // [field, tab, target, port, state, requests sent]; each row's state
    // differs from the one before, so a key that does nothing shows.
    const ENTER = [
      ['#inp', 'dns', 'web.test', undefined, 'resolved', 1],
      ['#port', 'tcp', 'web.test', tcpOpen.port, 'open', 1],
      ['#port', 'tcp', 'web.test', '', 'port required', 0],
      ['#port', 'tcp', '', tcpOpen.port, 'enter a target', 0],
      ['#inp', 'tcp', 'web.test', tcpOpen.port, 'open', 1],
    ];
    await withPage(srv, async (page, rec) => {
      for (const [field, kind, target, port, state, sent] of ENTER) {
        const n = apiCalls(rec).length;
        const r = await runCheck(page, kind, target, { port, enter: field });
        assert.deepEqual([r.state, apiCalls(rec).length - n], [state, sent], `${field} ${kind} ${target}:${port}`);
      }
      assert.equal((await readHistory(page)).count, '3');
    });
  });

  it('the http tab puts http:// before a target without a scheme and keeps any case of one', async () => {
    const p = peer301.port;
    const cases = [
      [`web.test:${p}`, `http://web.test:${p}`],
      [`  web.test:${p}/a/b?q=1  `, `http://web.test:${p}/a/b?q=1`],
      [`http://web.test:${p}/`, `http://web.test:${p}/`],
      [`HTTPS://web.test:${p}/`, `HTTPS://web.test:${p}/`],
      [`Http://web.test:${p}/`, `Http://web.test:${p}/`],
      [`httpd.test:${p}/`, `http://httpd.test:${p}/`],
    ];
    await withPage(srv, async (page, rec) => {
      for (const [typed, sent] of cases) {
        const n = apiCalls(rec).length;
        await runCheck(page, 'http', typed);
        const calls = apiCalls(rec).slice(n);
        assert.equal(calls.length, 1);
        assert.equal(calls[0].url.searchParams.get('action'), 'http');
        assert.equal(calls[0].url.searchParams.get('url'), sent, typed);
        assert.ok(calls[0].url.search.includes('&url=' + encodeURIComponent(sent)), 'encoded');
      }
    });
  });
});

describe('dns results', () => {
  it('resolved: state, tag, pairs, empty note, history', async () => {
    await withPage(srv, async (page, rec) => {
      const r = await runCheck(page, 'dns', '  dual.test ');
      assert.equal(apiCalls(rec).at(-1).url.search, '?action=dns&host=dual.test');
      assert.equal(r.state, 'resolved');
      assert.deepEqual([r.tagClass, r.tag], ['tag ok', 'ok']);
      assert.deepEqual(r.kv.map(([k]) => k), ['host', 'latency', 'answers', 'deadline', 'addresses']);
      assert.equal(r.kv[0][1], 'dual.test');
      assert.match(r.kv[1][1], /^-?\d+ ms$/);
      assert.deepEqual(r.kv.slice(2), [['answers', '2'], ['deadline', '3000 ms'], ['addresses', '127.0.0.1, ::1']]);
      assert.equal(r.note, '');
      assert.deepEqual(lastItem(await readHistory(page)), ['tag ok', 'dns', 'dual.test', '2 addr']);
    });
  });

  it('not resolved: "fail" tag, no addresses pair, the note', async () => {
    await withPage(srv, async (page) => {
      const r = await runCheck(page, 'dns', 'none.test');
      assert.equal(r.state, 'not resolved');
      assert.deepEqual([r.tagClass, r.tag], ['tag bad', 'fail']);
      assert.deepEqual(r.kv.map(([k]) => k), ['host', 'latency', 'answers', 'deadline']);
      assert.equal(r.kv[2][1], '0');
      assert.equal(r.note, 'The resolver returned no record for this name.');
      assert.deepEqual(lastItem(await readHistory(page)), ['tag bad', 'dns', 'none.test', '0 addr']);
    });
  });

  it('timed out: "timeout" tag', async () => {
    await withPage(slow, async (page) => {
      const r = await runCheck(page, 'dns', 'web.test');
      assert.equal(r.state, 'not resolved');
      assert.deepEqual([r.tagClass, r.tag], ['tag bad', 'timeout']);
      assert.equal(r.note, 'The resolver returned no record for this name.');
    });
  });

  it('the host is shown as the node reports it, the history keeps the typed target', async () => {
    await withPage(srv, async (page) => {
      const r = await runCheck(page, 'dns', 'Web.TEST');
      assert.deepEqual(r.kv[0], ['host', 'web.test']);
      assert.deepEqual(lastItem(await readHistory(page)), ['tag ok', 'dns', 'Web.TEST', '1 addr']);
    });
  });
});

describe('tcp results', () => {
  it('open: reachable tag, pairs, note, history', async () => {
    await withPage(srv, async (page, rec) => {
      const r = await runCheck(page, 'tcp', 'web.test', { port: ` ${tcpOpen.port} ` });
      assert.equal(apiCalls(rec).at(-1).url.search, `?action=tcp&host=web.test&port=${tcpOpen.port}`);
      assert.equal(r.state, 'open');
      assert.deepEqual([r.tagClass, r.tag], ['tag ok', 'reachable']);
      const kv = Object.fromEntries(r.kv);
      assert.deepEqual(r.kv.map(([k]) => k), ['target', 'resolved to', 'avg', 'min', 'max', 'samples']);
      assert.equal(kv.target, `web.test:${tcpOpen.port}`);
      assert.equal(kv['resolved to'], '127.0.0.1');
      assert.match(kv.avg, /^\d+(\.\d+)? ms$/);
      assert.match(kv.min, MS);
      assert.match(kv.max, MS);
      assert.match(kv.samples, /^\d+ ms, \d+ ms, \d+ ms$/);
      assert.equal(r.note, 'Three connects succeeded against the first resolved address.');
      const h = lastItem(await readHistory(page));
      assert.deepEqual(h.slice(0, 3), ['tag ok', 'tcp', `web.test:${tcpOpen.port}`]);
      assert.equal(h[3], kv.avg.replace(/ ms$/, ' ms avg'));
    });
  });

  it('open while the clock cannot be read: "-" for every figure, no chart point', async () => {
    await withPage(untimed, async (page) => {
      for (let i = 0; i < 2; i++) {
        const r = await runCheck(page, 'tcp', 'web.test', { port: tcpOpen.port });
        assert.equal(r.state, 'open');
        assert.deepEqual([r.tagClass, r.tag], ['tag ok', 'reachable']);
        assert.deepEqual(r.kv, [['target', `web.test:${tcpOpen.port}`], ['resolved to', '127.0.0.1'],
          ['avg', '-'], ['min', '-'], ['max', '-'], ['samples', '-, -, -']]);
      }
      // Two results with a chart value each would show the chart.
      assert.equal((await readSpark(page)).hidden, true);
      assert.deepEqual(lastItem(await readHistory(page)), ['tag ok', 'tcp', `web.test:${tcpOpen.port}`, '-']);
    });
  });

  it('closed: closed tag, "-" for what was not measured, "timeout" per failed sample', async () => {
    await withPage(srv, async (page) => {
      const r = await runCheck(page, 'tcp', 'web.test', { port: tcpShut });
      assert.equal(r.state, 'closed');
      assert.deepEqual([r.tagClass, r.tag], ['tag bad', 'closed']);
      assert.deepEqual(r.kv, [['target', `web.test:${tcpShut}`], ['resolved to', '-'], ['avg', '-'],
        ['min', '-'], ['max', '-'], ['samples', 'timeout, timeout, timeout']]);
      assert.equal(r.note, 'The connect did not complete inside the deadline.');
      assert.deepEqual(lastItem(await readHistory(page)), ['tag bad', 'tcp', `web.test:${tcpShut}`, 'closed']);
    });
  });

  it('resolution timed out: "timeout" state and tag', async () => {
    await withPage(slow, async (page) => {
      const r = await runCheck(page, 'tcp', 'web.test', { port: 80 });
      assert.equal(r.state, 'timeout');
      assert.deepEqual([r.tagClass, r.tag], ['tag bad', 'timeout']);
      assert.deepEqual(r.kv.at(-1), ['samples', 'timeout']);
      assert.deepEqual(lastItem(await readHistory(page)), ['tag bad', 'tcp', 'web.test:80', 'timeout']);
    });
  });
});

describe('http results', () => {
  it('301 answer: status with its text, reachable, no redirect followed', async () => {
    await withPage(srv, async (page) => {
      const n = peer301.requests.length;
      const r = await runCheck(page, 'http', `web.test:${peer301.port}`);
      assert.equal(r.state, 'HTTP 301');
      assert.deepEqual([r.tagClass, r.tag], ['tag ok', 'reachable']);
      const kv = Object.fromEntries(r.kv);
      assert.deepEqual(r.kv.map(([k]) => k), ['url', 'host', 'path', 'connect', 'status', 'headers', 'body', 'tls']);
      assert.equal(kv.url, `http://web.test:${peer301.port}`);
      assert.equal(kv.host, `web.test:${peer301.port}`);
      assert.equal(kv.path, '/');
      assert.match(kv.connect, MS);
      assert.equal(kv.status, '301 Moved Permanently');
      assert.equal(kv.headers, '1');
      assert.equal(kv.body, '0 bytes (HEAD)');
      assert.equal(kv.tls, 'false');
      assert.equal(r.note, '');
      assert.deepEqual(lastItem(await readHistory(page)),
        ['tag ok', 'http', `http://web.test:${peer301.port}`, '301']);
      assert.equal(peer301.requests.length, n + 1);
      assert.match(peer301.requests.at(-1), /^HEAD \/ HTTP\/1\.1\r\n/);
    });
  });

  it('404 answer: "status 404" bad tag, failed history item', async () => {
    await withPage(srv, async (page) => {
      const r = await runCheck(page, 'http', `http://web.test:${peer404.port}/gone`);
      assert.equal(r.state, 'HTTP 404');
      assert.deepEqual([r.tagClass, r.tag], ['tag bad', 'status 404']);
      assert.deepEqual(r.kv.find(([k]) => k === 'status'), ['status', '404 Not Found']);
      assert.deepEqual(r.kv.find(([k]) => k === 'headers'), ['headers', '2']);
      assert.deepEqual(lastItem(await readHistory(page)).slice(0, 2), ['tag bad', 'http']);
    });
  });

  it('https target: connected, "no status line", tls not_checked, the document note', async () => {
    await withPage(srv, async (page) => {
      const r = await runCheck(page, 'http', `https://web.test:${tcpOpen.port}/`);
      assert.equal(r.state, 'connected');
      assert.deepEqual([r.tagClass, r.tag], ['tag warn', 'no status line']);
      const kv = Object.fromEntries(r.kv);
      assert.equal(kv.status, '-');
      assert.equal(kv.tls, 'not_checked');
      assert.equal(r.note, 'tcp connect succeeded; the TLS handshake was not attempted');
      assert.deepEqual(lastItem(await readHistory(page)),
        ['tag bad', 'http', `https://web.test:${tcpOpen.port}/`, 'no status']);
    });
  });

  it('nothing listening: unreachable', async () => {
    await withPage(srv, async (page) => {
      const r = await runCheck(page, 'http', `web.test:${tcpShut}/`);
      assert.equal(r.state, 'unreachable');
      assert.deepEqual([r.tagClass, r.tag], ['tag bad', 'unreachable']);
      assert.deepEqual(r.kv.find(([k]) => k === 'connect'), ['connect', '-']);
      assert.equal(r.note, 'tcp connect failed');
    });
  });
});

describe('checks in flight', () => {
  const settled = (page, n) => page.waitForFunction((c) =>
    document.getElementById('histCount').textContent === String(c) &&
    !document.getElementById('goBtn').disabled, n, { timeout: 15000 });

  it('the button is disabled while a check runs; the check keeps its kind when the tab changes', async () => {
    await withPage(srv, async (page) => {
      await selectTab(page, 'http');
      await page.fill('#inp', `web.test:${peerSlow.port}`);
      await page.click('#goBtn');
      assert.equal(await page.isDisabled('#goBtn'), true);
      assert.equal((await readResult(page)).state, 'running...');
      await selectTab(page, 'tcp');
      await settled(page, 1);
      const r = await readResult(page);
      assert.equal(r.state, 'HTTP 204');
      assert.deepEqual(r.kv.find(([k]) => k === 'status'), ['status', '204 No Content']);
      assert.deepEqual(lastItem(await readHistory(page)).slice(0, 2), ['tag ok', 'http']);
      assert.equal(await page.$eval('#port', (el) => getComputedStyle(el).display !== 'none'), true);
    });
  });

  it('Enter starts a second check while one runs; each outcome gets its own history item', async () => {
    await withPage(srv, async (page, rec) => {
      await selectTab(page, 'http');
      await page.fill('#inp', `web.test:${peerSlow.port}/one`);
      await page.press('#inp', 'Enter');
      await page.fill('#inp', `web.test:${peerSlow.port}/two`);
      await page.press('#inp', 'Enter');
      await settled(page, 2);
      const labels = (await readHistory(page)).items.map((i) => i.label).sort();
      assert.deepEqual(labels, [`http://web.test:${peerSlow.port}/one`, `http://web.test:${peerSlow.port}/two`]);
      assert.equal(apiCalls(rec).filter((c) => c.url.searchParams.get('action') === 'http').length, 2);
    });
  });
});

describe('failed checks', () => {
  it('an error reply shows "error" with the HTTP status and keeps the previous tag', async () => {
    await withPage(srv, async (page) => {
      await runCheck(page, 'dns', 'web.test');
      const r = await runCheck(page, 'dns', 'a..b');
      assert.equal(r.state, 'error');
      assert.deepEqual(r.kv, [['error', 'HTTP 400']]);
      assert.deepEqual([r.tagClass, r.tag], ['tag ok', 'ok']);
      assert.equal(r.note, '');
      assert.deepEqual(lastItem(await readHistory(page)), ['tag bad', 'dns', 'a..b', 'HTTP 400']);
    });
  });

  it('an upper-case scheme goes out unchanged and comes back as an error', async () => {
    await withPage(srv, async (page) => {
      const r = await runCheck(page, 'http', `HTTPS://web.test:${tcpOpen.port}/`);
      assert.equal(r.state, 'error');
      assert.deepEqual(r.kv, [['error', 'HTTP 400']]);
    });
  });

  it('a target with markup is shown as text', async () => {
    const evil = '<img src=x onerror="window.__pwned=1">&amp;';
    await withPage(srv, async (page) => {
      await runCheck(page, 'dns', evil);
      const h = await readHistory(page);
      assert.equal(h.items[0].label, evil);
      assert.equal(await page.evaluate(() => document.querySelectorAll('#hist img, #resKv img').length), 0);
      assert.equal(await page.evaluate(() => window.__pwned), undefined);
    });
  });
});
