// The page stays inside its own origin and its security policy: every
// request it makes is same-origin, and a full session of use logs no
// console error, no page error and no policy violation.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, newPage, consoleErrors } from '../lib/browser.mjs';
import { startScenario, fillPage } from '../lib/scenario.mjs';
import { PAGE } from '../lib/tarvik.mjs';

const CSP = "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; " +
  "img-src data:; connect-src 'self'; form-action 'none'; base-uri 'none'";

let browser;
let sc;

before(async () => {
  browser = await launch();
  sc = await startScenario();
});

after(async () => {
  if (sc) await sc.stop();
  if (browser) await browser.close();
});

async function assertClean(p, frames) {
  const origin = sc.server.base;
  const foreign = p.rec.requests.map((r) => r.url()).filter((u) => new URL(u).origin !== origin);
  assert.deepEqual(foreign, [], 'only same-origin requests');
  assert.deepEqual(consoleErrors(p.rec), []);
  assert.deepEqual(p.rec.errors, []);
  for (const f of frames) assert.deepEqual(await f.evaluate(() => window.__csp), []);
}

describe('resources and policy', () => {
  it('the page is served under its security policy', async () => {
    const r = await fetch(sc.server.base + PAGE);
    assert.equal(r.status, 200);
    assert.equal(r.headers.get('content-security-policy'), CSP);
    assert.equal(r.headers.get('x-frame-options'), 'SAMEORIGIN');
    const body = await r.text();
    assert.doesNotMatch(body, /[\x00-\x08\x0b-\x1f\x7f]/, 'no marker byte reaches the page');
    assert.ok(body.endsWith('</body></html>\n'));
  });

  it('a session of use stays same-origin and error-free', async () => {
    const p = await newPage(browser, { base: sc.server.base });
    try {
      await fillPage(p.page, sc);
      await p.page.click('#thBtn');
      await p.page.click('#rfBtn');
      await p.page.waitForLoadState('networkidle');
      assert.ok(p.rec.requests.length >= 10);
      await assertClean(p, [p.page]);
    } finally {
      await p.close();
    }
  });

  it('the page framed by the hub stays same-origin and error-free', async () => {
    const p = await newPage(browser, { base: sc.server.base });
    try {
      await p.page.goto(sc.server.base + '/hub.html?reply=light');
      const frame = await (await p.page.waitForSelector('iframe')).contentFrame();
      await frame.waitForSelector('#kpis .kpi');
      await p.page.waitForLoadState('networkidle');
      await assertClean(p, [frame]);
    } finally {
      await p.close();
    }
  });
});
