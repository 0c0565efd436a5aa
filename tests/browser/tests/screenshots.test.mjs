// Pictures of the page in use, dark and light, wide and narrow, into out/.
// With TARVIK_UPDATE_DOCS=1 the two wide ones also replace docs/page-dark.png
// and docs/page-light.png (or whenever those are missing), so that an
// ordinary run leaves the work tree as it was.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, copyFileSync, statSync, existsSync } from 'node:fs';
import path from 'node:path';
import { launch, newPage, consoleErrors } from '../lib/browser.mjs';
import { startScenario, fillPage } from '../lib/scenario.mjs';
import { OUT, DOCS } from '../lib/paths.mjs';

const SHOTS = [
  ['dark', 'wide', 1280],
  ['light', 'wide', 1280],
  ['dark', 'narrow', 390],
  ['light', 'narrow', 390],
];

let browser;
let sc;

before(async () => {
  mkdirSync(OUT, { recursive: true });
  browser = await launch();
  sc = await startScenario();
});

after(async () => {
  if (sc) await sc.stop();
  if (browser) await browser.close();
});

describe('screenshots', () => {
  for (const [theme, size, width] of SHOTS) {
    it(`${theme}, ${size} (${width} px)`, async () => {
      const p = await newPage(browser, { base: sc.server.base, viewport: { width, height: 900 } });
      try {
        await fillPage(p.page, sc, `?theme=${theme}`);
        await p.page.mouse.move(0, 0);
        const file = path.join(OUT, `page-${theme}-${size}.png`);
        await p.page.screenshot({ path: file, fullPage: true });
        assert.ok(statSync(file).size > 10000);
        assert.deepEqual(consoleErrors(p.rec), []);
        const doc = path.join(DOCS, `page-${theme}.png`);
        if (size === 'wide' && (process.env.TARVIK_UPDATE_DOCS === '1' || !existsSync(doc))) {
          mkdirSync(DOCS, { recursive: true });
          copyFileSync(file, doc);
        }
      } finally {
        await p.close();
      }
    });
  }
});
