// Choosing, applying and sharing the colour theme: the query over the stored
// choice over the system preference, embed mode, the toggle, the window
// functions and the messages exchanged with a framing hub page.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startServer } from '../lib/server.mjs';
import { launch, newPage, apiCalls } from '../lib/browser.mjs';
import { openTarvik, PAGE } from '../lib/tarvik.mjs';

const BG = { dark: 'rgb(0, 0, 0)', light: 'rgb(245, 245, 247)' };

let browser;
let srv;

before(async () => {
  browser = await launch();
  srv = await startServer({ TARVIK_MOCK_IFACES: 'lo|127.0.0.1|255.0.0.0||x|1' });
});

after(async () => {
  if (srv) await srv.stop();
  if (browser) await browser.close();
});

// Runs in every frame: keeps the theme events and the messages it receives.
function recordThemeTraffic() {
  window.__themeEvents = [];
  window.__got = [];
  window.addEventListener('morv-theme', (e) => window.__themeEvents.push(e.detail));
  window.addEventListener('message', (e) => window.__got.push(e.data));
}

function blockStorage() {
  Object.defineProperty(window, 'localStorage', {
    configurable: true,
    get() { throw new DOMException('storage blocked', 'SecurityError'); },
  });
}

async function withPage(opts, fn) {
  const p = await newPage(browser, { base: srv.base, init: [recordThemeTraffic], ...opts });
  try {
    return await fn(p.page, p);
  } finally {
    await p.close();
  }
}

function themeState(target) {
  return target.evaluate(() => ({
    theme: document.documentElement.getAttribute('data-theme'),
    stored: (() => { try { return localStorage.getItem('morv_theme'); } catch { return 'blocked'; } })(),
    bg: getComputedStyle(document.body).backgroundColor,
    events: window.__themeEvents.slice(),
  }));
}

describe('theme at load', () => {
  // query, stored theme, system preference, expected theme
  const CASES = [
    ['', null, 'light', 'light'],
    ['', null, 'dark', 'dark'],
    ['', 'light', 'dark', 'light'],
    ['', 'dark', 'light', 'dark'],
    ['', 'blue', 'light', 'light'],
    ['?theme=dark', 'light', 'light', 'dark'],
    ['?theme=light', 'dark', 'dark', 'light'],
    ['?theme=blue', 'light', 'dark', 'light'],
    ['?theme=blue', null, 'dark', 'dark'],
    ['?xtheme=dark', null, 'light', 'light'],
    ['?a=1&theme=light', null, 'dark', 'light'],
    ['?theme=darkest', null, 'light', 'dark'],
  ];
  for (const [query, stored, scheme, want] of CASES) {
    it(`query "${query}", stored ${stored}, system ${scheme} -> ${want}, stored`, async () => {
      const storage = stored ? { morv_theme: stored } : {};
      await withPage({ storage, colorScheme: scheme }, async (page) => {
        await openTarvik(page, srv.base, query);
        const s = await themeState(page);
        assert.deepEqual([s.theme, s.stored, s.bg], [want, want, BG[want]]);
      });
    });
  }

  it('without the attribute the system preference picks the palette', async () => {
    for (const scheme of ['light', 'dark']) {
      await withPage({ colorScheme: scheme }, async (page) => {
        await openTarvik(page, srv.base);
        await page.evaluate(() => document.documentElement.removeAttribute('data-theme'));
        assert.equal((await themeState(page)).bg, BG[scheme]);
      });
    }
  });

  it('without working media queries the theme is dark', async () => {
    const breakMedia = () => { window.matchMedia = () => { throw new Error('no media queries'); }; };
    await withPage({ colorScheme: 'light', init: [recordThemeTraffic, breakMedia] }, async (page) => {
      await openTarvik(page, srv.base);
      const s = await themeState(page);
      assert.deepEqual([s.theme, s.stored], ['dark', 'dark']);
    });
  });

  it('with storage blocked the theme follows the query or the system and the page still works', async () => {
    const cases = [['?theme=light', 'dark', 'light'], ['', 'light', 'light'], ['', 'dark', 'dark']];
    for (const [query, scheme, want] of cases) {
      await withPage({ colorScheme: scheme, init: [recordThemeTraffic, blockStorage] }, async (page) => {
        await page.goto(srv.base + PAGE + query);
        const s = await themeState(page);
        assert.deepEqual([s.theme, s.stored, s.bg], [want, 'blocked', BG[want]]);
        // The page's own script still runs: the interfaces load.
        await page.waitForFunction(() => /ifaces?$/.test(document.getElementById('srcPill').textContent));
      });
    }
  });
});

describe('embed mode', () => {
  const CASES = [
    ['?embed=1', true], ['?embed=true&x=2', true], ['?x=1&embed=1', true],
    ['?embed=0', false], ['?embed=yes', false], ['?embed=1x', false], ['', false],
  ];
  for (const [query, embedded] of CASES) {
    it(`"${query}" ${embedded ? 'hides' : 'shows'} the toggle and the back link`, async () => {
      await withPage({}, async (page) => {
        await openTarvik(page, srv.base, query);
        const v = await page.evaluate(() => ({
          cls: document.documentElement.classList.contains('embedded'),
          toggle: getComputedStyle(document.getElementById('thBtn')).display !== 'none',
          back: getComputedStyle(document.querySelector('.top > a')).display !== 'none',
          refresh: getComputedStyle(document.getElementById('rfBtn')).display !== 'none',
        }));
        assert.deepEqual(v, { cls: embedded, toggle: !embedded, back: !embedded, refresh: true });
      });
    });
  }
});

describe('switching the theme', () => {
  it('the toggle flips the theme, stores it and announces it', async () => {
    await withPage({ colorScheme: 'dark' }, async (page) => {
      await openTarvik(page, srv.base);
      await page.click('#thBtn');
      let s = await themeState(page);
      assert.deepEqual([s.theme, s.stored, s.bg, s.events], ['light', 'light', BG.light, ['light']]);
      await page.click('#thBtn');
      s = await themeState(page);
      assert.deepEqual([s.theme, s.stored, s.events], ['dark', 'dark', ['light', 'dark']]);
    });
  });

  it('qvApplyTheme applies a valid new theme once; qvTheme reads it back', async () => {
    await withPage({ colorScheme: 'dark' }, async (page) => {
      await openTarvik(page, srv.base);
      const seen = await page.evaluate(() => {
        const out = [window.qvTheme()];
        window.qvApplyTheme('light');
        window.qvApplyTheme('light');
        window.qvApplyTheme('blue');
        out.push(window.qvTheme());
        document.documentElement.setAttribute('data-theme', 'sepia');
        out.push(window.qvTheme());
        document.documentElement.removeAttribute('data-theme');
        out.push(window.qvTheme());
        return out;
      });
      assert.deepEqual(seen, ['dark', 'light', 'dark', 'dark']);
      const s = await themeState(page);
      assert.deepEqual([s.stored, s.events], ['light', ['light']]);
    });
  });

  it('the page defines no globals besides the two theme functions', async () => {
    await withPage({}, async (page) => {
      await openTarvik(page, srv.base);
      const extra = await page.evaluate(() => {
        const blank = document.createElement('iframe');
        document.body.appendChild(blank);
        const known = new Set(Object.getOwnPropertyNames(blank.contentWindow));
        blank.remove();
        return Object.getOwnPropertyNames(window)
          .filter((k) => !known.has(k) && !k.startsWith('__') && k !== 'qvApplyTheme' && k !== 'qvTheme');
      });
      assert.deepEqual(extra, []);
    });
  });
});

describe('framed by the hub', () => {
  async function hubFrame(page, query = '') {
    await page.goto(`${srv.base}/hub.html${query}`);
    const frame = await (await page.waitForSelector('iframe')).contentFrame();
    await frame.waitForSelector('#kpis .kpi');
    await page.waitForTimeout(300);
    return frame;
  }

  it('posts exactly one "qv-theme-request" to the hub; a page on its own posts none', async () => {
    await withPage({}, async (page, p) => {
      const frame = await hubFrame(page);
      assert.deepEqual(await page.evaluate(() => window.__msgs), [{ type: 'qv-theme-request' }]);
      const v = await frame.evaluate(() => ({
        embedded: document.documentElement.classList.contains('embedded'),
        toggle: getComputedStyle(document.getElementById('thBtn')).display,
      }));
      assert.deepEqual(v, { embedded: true, toggle: 'none' });
      const calls = apiCalls(p.rec);
      assert.equal(calls[0].url.pathname + calls[0].url.search,
        '/plugins?plugin=plugin_tarvik&action=ifaces&node=alpha');
    });
    await withPage({}, async (page) => {
      await openTarvik(page, srv.base);
      await page.waitForTimeout(300);
      assert.deepEqual(await page.evaluate(() => window.__got), []);
    });
  });

  it('a "qv-theme" message applies a valid new theme and ignores the rest', async () => {
    await withPage({ colorScheme: 'dark' }, async (page) => {
      const frame = await hubFrame(page);
      const send = async (theme) => {
        const n = await frame.evaluate(() => window.__got.length);
        await page.evaluate((t) => window.__sendTheme(t), theme);
        await frame.waitForFunction((m) => window.__got.length > m, n);
      };
      await send('light');
      let s = await themeState(frame);
      assert.deepEqual([s.theme, s.stored, s.bg, s.events], ['light', 'light', BG.light, ['light']]);
      await send('blue');
      await send('light');
      await page.evaluate(() => document.querySelector('iframe').contentWindow.postMessage({ theme: 'dark' }, '*'));
      await frame.waitForFunction(() => window.__got.length >= 4);
      s = await themeState(frame);
      assert.deepEqual([s.theme, s.events], ['light', ['light']]);
      await send('dark');
      s = await themeState(frame);
      assert.deepEqual([s.theme, s.stored, s.events], ['dark', 'dark', ['light', 'dark']]);
    });
  });

  it('a hub that answers the request sets the framed page\'s theme', async () => {
    await withPage({ colorScheme: 'dark', storage: { morv_theme: 'dark' } }, async (page) => {
      const frame = await hubFrame(page, '?reply=light');
      const s = await themeState(frame);
      assert.deepEqual([s.theme, s.stored, s.events], ['light', 'light', ['light']]);
    });
  });
});
