// The page as first drawn: its outline, empty states and ids, the layout
// rules that change with the screen width, and what assistive technology
// finds on the page in use.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { launch, newPage, axeCheck, liveness } from '../lib/browser.mjs';
import { startScenario, fillPage } from '../lib/scenario.mjs';
import { PAGE } from '../lib/tarvik.mjs';

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

// The markup's outline: [element, its children in order], each child as
// element, classes and id ('div.grid#kpis'). The cards' headings carry ids
// so that each card's region takes its heading as its name.
const OUTLINE = [
  ['body', ['div.wrap', 'script', 'script']],
  ['.wrap', ['div.top', 'div.card', 'div.card', 'div.card', 'p.foot']],
  ['.top', ['a.embed-hide', 'h1.title', 'span.pill#srcPill', 'span.sp', 'button.icon.embed-hide#thBtn',
    'button.icon#rfBtn']],
  ['.wrap > :nth-child(2)', ['h2#ifHead', 'p.hint', 'div.grid#kpis', 'div.tb', 'div.empty#ifEmpty', 'div.res']],
  ['.wrap > :nth-child(2) .tb', ['table']],
  ['.wrap > :nth-child(2) table', ['thead', 'tbody#ifrows']],
  ['.wrap > :nth-child(2) .res', ['h2', 'div.row#nsList']],
  ['.wrap > :nth-child(3)', ['h2#runHead', 'div.tabs', 'div.row', 'p.note#tabNote', 'div.res#resBox']],
  ['.tabs', ['button.tab.on#tabDns', 'button.tab#tabTcp', 'button.tab#tabHttp']],
  ['.wrap > :nth-child(3) > .row', ['input.inp.mo#inp', 'input.inp.mo#port', 'button.btn#goBtn']],
  ['#resBox', ['div.hd', 'div.kv#resKv', 'div.note#resNote', 'svg.spark#spark']],
  ['#resBox > .hd', ['span.big#resState', 'span#resTag']],
  ['.wrap > :nth-child(4)', ['h2#histHead', 'p.hint', 'ul.hist#hist']],
  ['.wrap > :nth-child(4) > h2', ['span.pill#histCount']],
  ['#hist', ['li.empty']],
  ['.foot', ['code', 'code', 'code']],
];

describe('page at first sight', () => {
  it('has the outline as designed', async () => {
    const html = await (await fetch(sc.server.base + PAGE)).text();
    const p = await newPage(browser, {});
    try {
      const got = await p.page.evaluate(([src, rows]) => {
        const doc = new DOMParser().parseFromString(src, 'text/html');
        const sig = (el) => el.localName + [...el.classList].map((c) => `.${c}`).join('') +
          (el.id ? `#${el.id}` : '');
        return rows.map(([sel]) => {
          const el = doc.querySelector(sel);
          return [sel, el ? [...el.children].map(sig) : null];
        });
      }, [html, OUTLINE]);
      assert.deepEqual(got, OUTLINE);
    } finally {
      await p.close();
    }
  });

  it('starts with its empty states hidden and unique ids', async () => {
    // The served markup, parsed without running its scripts.
    const html = await (await fetch(sc.server.base + PAGE)).text();
    const p = await newPage(browser, {});
    try {
      const v = await p.page.evaluate((src) => {
        const doc = new DOMParser().parseFromString(src, 'text/html');
        const one = (sel) => doc.querySelector(sel);
        return {
          sparkHidden: one('#spark').hasAttribute('hidden'),
          ifEmptyHidden: one('#ifEmpty').hasAttribute('hidden'),
          portStyle: one('#port').getAttribute('style'),
          ids: [...doc.querySelectorAll('[id]')].map((e) => e.id),
        };
      }, html);
      assert.deepEqual([v.sparkHidden, v.ifEmptyHidden], [true, true]);
      assert.match(v.portStyle, /display:\s*none/);
      assert.equal(new Set(v.ids).size, v.ids.length, 'ids are unique');
    } finally {
      await p.close();
    }
  });
});

describe('layout by width', () => {
  const WIDTHS = [
    [1280, { wrap: '16px 16px 32px', card: '16px', radius: '14px', title: '19px' }],
    [700, { wrap: '10px 10px 24px', card: '12px', radius: '12px', title: '17px' }],
    [360, { wrap: '10px 10px 24px', card: '12px', radius: '12px', title: '17px' }],
  ];
  for (const [width, want] of WIDTHS) {
    it(`${width} px wide: spacing as designed and nothing wider than the screen`, async () => {
      const p = await newPage(browser, { base: sc.server.base, viewport: { width, height: 800 } });
      try {
        await fillPage(p.page, sc);
        const v = await p.page.evaluate(() => {
          const cs = (sel) => getComputedStyle(document.querySelector(sel));
          const wrap = cs('.wrap');
          return {
            wrap: `${wrap.paddingTop} ${wrap.paddingRight} ${wrap.paddingBottom}`,
            card: cs('.card').paddingTop,
            radius: cs('.card').borderTopLeftRadius,
            title: cs('.title').fontSize,
            maxWidth: wrap.maxWidth,
            overflow: document.documentElement.scrollWidth - window.innerWidth,
          };
        });
        assert.deepEqual(v, { ...want, maxWidth: '1080px', overflow: 0 });
      } finally {
        await p.close();
      }
    });
  }
});

// Colour pairs under the 4.5:1 text contrast that the palette keeps as
// designed (the README says why): the secondary text on the raised surfaces,
// the status colours on their own tints, and white on the accent blue.
// [elements, foreground, background or null for any]
const CONTRAST_AS_DESIGNED = [
  ['.pill, .tab:not(.on), .kpi .k, .tag:not(.ok, .bad, .blue), .foot code', '--text-2', null],
  ['.tag.ok', '--green', null],
  ['.tag.bad', '--red', null],
  ['.tag.blue', '--blue', null],
  ['.tab.on, .btn', '#ffffff', '--blue'],
];

// [role, accessible name]; the history region's name carries its count.
// The main landmark is the whole column, so the top bar and the footer sit
// inside it rather than being a banner and a content-info of their own.
const LANDMARKS = [
  ['main', null],
  ['region', 'Interfaces on this node'], ['region', 'Run a check'], ['region', 'History 8'],
];

// [element, what a screen reader does when its content changes]: an
// outcome is announced when a check ends, without cutting into speech;
// nothing else on the page speaks up by itself.
const LIVE = [
  ['#resState', 'polite'], ['#resTag', 'polite'], ['#resKv', 'polite'], ['#resNote', 'polite'],
  ['#tabNote', 'off'], ['#hist', 'off'], ['#histCount', 'off'], ['#kpis', 'off'], ['#srcPill', 'off'],
];

describe('assistive technology', () => {
  for (const theme of ['dark', 'light']) {
    it(`${theme}, history filled, a result shown: no axe-core violation but the designed contrast; named landmarks; outcomes announced politely`, async () => {
      const p = await newPage(browser, { base: sc.server.base });
      try {
        await fillPage(p.page, sc, `?theme=${theme}`);
        const axe = await axeCheck(p.page, CONTRAST_AS_DESIGNED);
        assert.deepEqual(axe.violations, []);
        for (const rule of ['landmark-one-main', 'region', 'color-contrast']) {
          assert.ok(axe.applied.includes(rule), `axe-core applied ${rule}`);
        }
        const found = [];
        for (const [role, name] of LANDMARKS) {
          const loc = name === null ? p.page.getByRole(role) : p.page.getByRole(role, { name, exact: true });
          found.push([role, name, await loc.count()]);
        }
        assert.deepEqual(found, LANDMARKS.map(([role, name]) => [role, name, 1]));
        assert.deepEqual(await liveness(p.page, LIVE.map(([sel]) => sel)), LIVE);
      } finally {
        await p.close();
      }
    });
  }
});
