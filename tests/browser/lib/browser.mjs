// Debian's Chromium driven through playwright-core. Each test gets its own
// browser context: fresh storage, its own colour-scheme preference, and a
// record of every request, console message, page error and CSP violation.
import { chromium } from 'playwright-core';
import { CHROMIUM } from './paths.mjs';

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
