// The history list (newest first, at most 20) and the TCP latency chart
// (last 20 values, failed connects on the floor), driven by real tcp checks
// against a local listener and a refused port.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startServer } from '../lib/server.mjs';
import { launch, newPage } from '../lib/browser.mjs';
import { listener, closedPort } from '../lib/peers.mjs';
import { openTarvik, runCheck, readHistory, readSpark, selectTab } from '../lib/tarvik.mjs';

const SVG = 'http://www.w3.org/2000/svg';

let browser;
let srv;
let up;
let shut;

before(async () => {
  browser = await launch();
  srv = await startServer({ TARVIK_MOCK_IFACES: '', TARVIK_MOCK_DNS: 'web.test=127.0.0.1' });
  up = await listener();
  shut = await closedPort();
});

after(async () => {
  if (srv) await srv.stop();
  if (up) await up.close();
  if (browser) await browser.close();
});

// A page that records the chart value of every tcp document it receives.
async function chartPage() {
  const p = await newPage(browser, { base: srv.base });
  p.values = [];
  p.page.on('response', async (r) => {
    if (!r.url().includes('action=tcp')) return;
    const doc = await r.json();
    const last = doc.samples.at(-1);
    p.values.push(typeof last === 'number' ? last : -1);
  });
  await openTarvik(p.page, srv.base);
  return p;
}

// Runs one tcp check per letter: o against the listener, x against the refused port.
async function tcpRun(page, pattern) {
  for (const c of pattern) {
    const r = await runCheck(page, 'tcp', 'web.test', { port: c === 'o' ? up.port : shut });
    assert.equal(r.state, c === 'o' ? 'open' : 'closed');
  }
}

const dots = (s) => s.kids.filter((k) => k.tag === 'circle');
const paths = (s) => s.kids.filter((k) => k.tag === 'path');
const pointsOf = (d) => [...d.matchAll(/([ML])(-?\d+\.\d) (-?\d+\.\d)/g)].map((m) => [m[1], m[2], m[3]]);

function xAt(i, n) { return (6 + i * 308 / (n - 1)).toFixed(1); }

describe('latency chart', () => {
  it('stays hidden with one value, shows with two on the tcp tab only', async () => {
    const p = await chartPage();
    try {
      await tcpRun(p.page, 'o');
      assert.equal((await readSpark(p.page)).hidden, true);
      await tcpRun(p.page, 'o');
      let s = await readSpark(p.page);
      assert.deepEqual([s.hidden, s.displayed], [false, true]);
      await selectTab(p.page, 'dns');
      s = await readSpark(p.page);
      assert.deepEqual([s.hidden, s.displayed], [true, false]);
      await selectTab(p.page, 'http');
      assert.equal((await readSpark(p.page)).hidden, true);
      await selectTab(p.page, 'tcp');
      s = await readSpark(p.page);
      assert.deepEqual([s.hidden, s.displayed], [false, true]);
      assert.equal(dots(s).length, 2);
    } finally {
      await p.close();
    }
  });

  it('draws the axis, the line and one dot per value, as SVG', async () => {
    const p = await chartPage();
    try {
      await tcpRun(p.page, 'ooo');
      const s = await readSpark(p.page);
      assert.deepEqual(s.kids.map((k) => k.tag), ['line', 'path', 'circle', 'circle', 'circle']);
      assert.ok(s.kids.every((k) => k.ns === SVG));
      assert.deepEqual([s.kids[0].cls, s.kids[0].x1, s.kids[0].y1, s.kids[0].x2, s.kids[0].y2],
        ['ax', '0', '50', '320', '50']);
      assert.equal(s.kids[1].cls, 'ln');
      assert.deepEqual(dots(s).map((d) => [d.cls, d.cx, d.r]),
        [['dot', '6.0', '2.4'], ['dot', '160.0', '2.4'], ['dot', '314.0', '2.4']]);
      assert.deepEqual(pointsOf(s.kids[1].d).map(([c, x]) => c + x), ['M6.0', 'L160.0', 'L314.0']);
      assert.match(s.kids[1].d, /^(?:[ML]-?\d+\.\d -?\d+\.\d)+$/, 'nothing between the commands');
      const good = p.values;
      const flat = Math.max(...good) - Math.min(...good) < 1;
      for (const [i, d] of dots(s).entries()) {
        const y = flat ? 28 : 50 - 44 * (good[i] - Math.min(...good)) / (Math.max(...good) - Math.min(...good));
        assert.equal(d.cy, y.toFixed(1), `value ${good[i]} of ${good}`);
      }
    } finally {
      await p.close();
    }
  });

  it('a run of equally fast connects lies on the middle line', async () => {
    const p = await chartPage();
    try {
      await tcpRun(p.page, 'oooo');
      const s = await readSpark(p.page);
      const equal = new Set(p.values).size === 1;
      // Loopback connects nearly always measure the same; when they do not,
      // the middle line does not apply and the run proves nothing here.
      if (equal) assert.deepEqual(dots(s).map((d) => d.cy), ['28.0', '28.0', '28.0', '28.0']);
      else assert.ok(dots(s).some((d) => d.cy === '6.0') && dots(s).some((d) => d.cy !== '6.0'));
    } finally {
      await p.close();
    }
  });

  it('a failed connect is a red dot on the floor and the line joins its neighbours', async () => {
    const p = await chartPage();
    try {
      await tcpRun(p.page, 'oxo');
      const s = await readSpark(p.page);
      assert.deepEqual(dots(s).map((d) => [d.cls, d.cx]),
        [['dot', '6.0'], ['dot bad', '160.0'], ['dot', '314.0']]);
      assert.equal(dots(s)[1].cy, '50.0');
      const line = pointsOf(paths(s)[0].d);
      assert.deepEqual(line.map(([c, x]) => c + x), ['M6.0', 'L314.0']);
      assert.deepEqual(line.map(([, , y]) => y), [dots(s)[0].cy, dots(s)[2].cy]);
      const fill = await p.page.evaluate(() => [...document.querySelectorAll('#spark circle')]
        .map((c) => getComputedStyle(c).fill));
      assert.notEqual(fill[1], fill[0], 'the failed dot has its own colour');
    } finally {
      await p.close();
    }
  });

  it('with every connect failed there is no line, only the axis and red dots', async () => {
    const p = await chartPage();
    try {
      await tcpRun(p.page, 'xx');
      const s = await readSpark(p.page);
      assert.deepEqual(s.kids.map((k) => `${k.tag}.${k.cls}`), ['line.ax', 'circle.dot bad', 'circle.dot bad']);
      assert.deepEqual(dots(s).map((d) => [d.cx, d.cy]), [['6.0', '50.0'], ['314.0', '50.0']]);
    } finally {
      await p.close();
    }
  });
});

describe('history and chart bounds', () => {
  it('keeps the newest 20 checks and the last 20 chart values', async () => {
    const p = await chartPage();
    try {
      await tcpRun(p.page, 'x' + 'o'.repeat(19));
      let h = await readHistory(p.page);
      let s = await readSpark(p.page);
      assert.equal(h.count, '20');
      assert.equal(h.items.length, 20);
      assert.deepEqual([h.items[19].tagClass, h.items[19].label, h.items[19].detail],
        ['tag bad', `web.test:${shut}`, 'closed'], 'the oldest is last');
      assert.equal(dots(s).length, 20);
      assert.deepEqual([dots(s)[0].cls, dots(s)[0].cx, dots(s)[19].cx], ['dot bad', '6.0', '314.0']);

      await tcpRun(p.page, 'o');
      h = await readHistory(p.page);
      s = await readSpark(p.page);
      assert.equal(h.count, '20');
      assert.equal(h.items.length, 20);
      assert.ok(h.items.every((i) => i.tagClass === 'tag ok' && i.label === `web.test:${up.port}`),
        'the failed check was dropped');
      assert.equal(dots(s).length, 20);
      assert.ok(dots(s).every((d) => d.cls === 'dot'), 'its chart value was dropped too');
      assert.equal(pointsOf(paths(s)[0].d).length, 20);
    } finally {
      await p.close();
    }
  });

  it('each item shows its kind tag, label, detail and time, newest first', async () => {
    const p = await chartPage();
    try {
      assert.deepEqual((await readHistory(p.page)).items.map((i) => [i.cls, i.text]),
        [['empty', 'No checks yet this session.']]);
      await runCheck(p.page, 'dns', 'web.test');
      await tcpRun(p.page, 'x');
      const h = await readHistory(p.page);
      assert.equal(h.count, '2');
      assert.deepEqual(h.items.map((i) => [i.tagClass, i.kind, i.label, i.detail]),
        [['tag bad', 'tcp', `web.test:${shut}`, 'closed'], ['tag ok', 'dns', 'web.test', '1 addr']]);
      const expectTime = await p.page.evaluate(() => new Date(2020, 0, 1, 9, 5, 7)
        .toLocaleTimeString(undefined, { hour: '2-digit', minute: '2-digit', second: '2-digit' }));
      const shape = (t) => t.replace(/\d/g, '9').replace(/[^\d\W]+/g, 'a');
      for (const i of h.items) assert.equal(shape(i.at), shape(expectTime), i.at);
    } finally {
      await p.close();
    }
  });
});
