// Debian's Chromium driven through playwright-core. Each test gets its own
// browser context: fresh storage, its own colour-scheme preference, and a
// record of every request, console message, page error and CSP violation.
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { chromium } from 'playwright-core';
import { CHROMIUM } from './paths.mjs';

const AXE = readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');

const ARGS = ['--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run'];

// playwright-core starts the browser on a fresh temporary profile of its own
// and removes it when the browser closes.
export function launch() {
  return chromium.launch({ executablePath: CHROMIUM, headless: true, args: ARGS });
}

function watchCsp() {
  window.__csp = [];
  document.addEventListener('securitypolicyviolation', (e) => {
    window.__csp.push(`${e.violatedDirective} ${e.blockedURI}`);
  });
}

// opts: base (origin of the server), storage ({key: value} put in local
// storage before the first load), colorScheme, viewport, init (functions run
// in every frame before its own scripts).
export async function newPage(browser, opts = {}) {
  const {
    base, storage = {}, colorScheme = 'dark', viewport = { width: 1280, height: 900 }, init = [],
  } = opts;
  const storageState = {
    cookies: [],
    origins: base ? [{ origin: base, localStorage: Object.entries(storage).map(([name, value]) => ({ name, value })) }] : [],
  };
  const context = await browser.newContext({ colorScheme, viewport, storageState });
  await context.addInitScript(watchCsp);
  for (const fn of init) await context.addInitScript(fn);
  const rec = { requests: [], console: [], errors: [] };
  context.on('request', (r) => rec.requests.push(r));
  const page = await context.newPage();
  page.on('console', (m) => rec.console.push({ type: m.type(), text: m.text() }));
  page.on('pageerror', (e) => rec.errors.push(String(e && e.message)));
  return { context, page, rec, close: () => context.close() };
}

// Requests to the plug-in's own routes, as URL objects.
export function apiCalls(rec) {
  return rec.requests
    .map((r) => ({ url: new URL(r.url()), headers: r.headers() }))
    .filter((c) => c.url.pathname === '/plugin_tarvik' || c.url.pathname === '/plugins')
    .filter((c) => c.url.searchParams.has('action'));
}

// Console errors other than the browser's own note about a failed load
// (which it prints for every 4xx/5xx reply the page expects, such as a 401).
export function consoleErrors(rec, { allowFailedLoads = false } = {}) {
  return rec.console
    .filter((m) => m.type === 'error')
    .map((m) => m.text)
    .filter((t) => !(allowFailedLoads && /Failed to load resource/.test(t)));
}

// Runs axe-core over the page as it stands, with its default rules. The
// script goes in through the debugging protocol, so the page's security
// policy does not apply to it and no element is added to the page.
// contrast lists the colour pairs below the contrast threshold that are
// accepted, as [selector, foreground, background]: a colour-contrast
// violation passes when its element matches the selector and axe's
// foreground (and background, unless null) colours are those given, each a
// custom property of the root element ('--text-2') or a colour ('#ffffff').
// Returns the ids of the rules that applied and every other violation as text.
export async function axeCheck(page, contrast = []) {
  await page.evaluate(AXE);
  return page.evaluate(async (rows) => {
    const root = getComputedStyle(document.documentElement);
    const colour = (c) => (c.startsWith('--') ? root.getPropertyValue(c) : c).trim().toLowerCase();
    const accepted = (el, data) => rows.some(([sel, fg, bg]) => el.matches(sel) &&
      data.fgColor === colour(fg) && (bg === null || data.bgColor === colour(bg)));
    const r = await window.axe.run(document);
    const rest = [];
    for (const v of r.violations) {
      for (const n of v.nodes) {
        const el = n.target.length === 1 ? document.querySelector(n.target[0]) : null;
        const data = (n.any.find((c) => c.data && c.data.fgColor) || {}).data;
        if (v.id === 'color-contrast' && el && data && accepted(el, data)) continue;
        rest.push(`${v.id}: ${n.target.join(' ')}: ${n.failureSummary.replace(/\s+/g, ' ')}`);
      }
    }
    return { applied: [...r.passes, ...r.violations].map((x) => x.id), violations: rest };
  }, contrast);
}

// What the browser's accessibility tree tells a screen reader to do when each
// element's content changes: the live setting ('polite', 'assertive') of the
// nearest live region holding the element, or 'off' when none holds it. Read
// through the debugging protocol, so markup the browser does not take for a
// live region counts as none.
export async function liveness(page, selectors) {
  const cdp = await page.context().newCDPSession(page);
  try {
    const { root } = await cdp.send('DOM.getDocument', { depth: 0 });
    const out = [];
    for (const selector of selectors) {
      const { nodeId } = await cdp.send('DOM.querySelector', { nodeId: root.nodeId, selector });
      const { node } = await cdp.send('DOM.describeNode', { nodeId });
      const { nodes } = await cdp.send('Accessibility.getPartialAXTree', { nodeId, fetchRelatives: true });
      const byId = new Map(nodes.map((n) => [n.nodeId, n]));
      const live = (n) => (n.properties || []).find((q) => q.name === 'live');
      let found = 'off';
      for (let n = nodes.find((x) => x.backendDOMNodeId === node.backendNodeId); n; n = byId.get(n.parentId)) {
        if (live(n)) {
          found = live(n).value.value;
          break;
        }
      }
      out.push([selector, found]);
    }
    return out;
  } finally {
    await cdp.detach();
  }
}
