// Where the page sends its requests, which password it carries, and how a
// refused password shows on the page.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startServer } from '../lib/server.mjs';
import { launch, newPage, apiCalls } from '../lib/browser.mjs';
import { readInterfaces, readResult, readHistory, runCheck } from '../lib/tarvik.mjs';

const IFACES = 'lo|127.0.0.1|255.0.0.0||x|1';
const SECRET = 's3cret &=+ x';

let browser;
let open;    // no node password
let locked;  // node password SECRET

before(async () => {
  browser = await launch();
  open = await startServer({ TARVIK_MOCK_IFACES: IFACES, TARVIK_MOCK_DNS: 'web.test=127.0.0.1' });
  locked = await startServer({
    TARVIK_MOCK_IFACES: IFACES, TARVIK_MOCK_DNS: 'web.test=127.0.0.1', MORV_PASSWORD: SECRET,
  });
});

after(async () => {
  await Promise.all([open, locked].filter(Boolean).map((s) => s.stop()));
  if (browser) await browser.close();
});

// The page itself is behind the node password too. Where a test wants the
// page's own requests to carry no password or one from storage, the page is
// opened with a bearer token on its navigation only, the way a hub in front
// of the node would authenticate it.
async function bearerOnNavigation(page, secret) {
  await page.route((url) => url.pathname === '/plugin_tarvik' && !url.searchParams.has('action'),
    (route) => route.continue({ headers: { ...route.request().headers(), authorization: `Bearer ${secret}` } }));
}

// Opens address (path and query) on server and returns the first ifaces request.
async function firstIfacesCall(server, address, { storage = {}, bearer } = {}) {
  const p = await newPage(browser, { base: server.base, storage });
  try {
    if (bearer) await bearerOnNavigation(p.page, bearer);
    const reply = p.page.waitForResponse((r) => r.url().includes('action=ifaces'), { timeout: 10000 });
    await p.page.goto(server.base + address);
    const res = await reply;
    await p.page.waitForSelector('#kpis .kpi');
    const calls = apiCalls(p.rec);
    assert.equal(calls.length, 1, 'one interface request at start');
    return { ...calls[0], status: res.status(), view: await readInterfaces(p.page) };
  } finally {
    await p.close();
  }
}

describe('request routes', () => {
  it('direct page without password: /plugin_tarvik?action=ifaces, no pwd, no header', async () => {
    const c = await firstIfacesCall(open, '/plugin_tarvik');
    assert.equal(c.url.pathname + c.url.search, '/plugin_tarvik?action=ifaces');
    assert.equal(c.headers['x-morv-password'], undefined);
    assert.equal(c.status, 200);
  });

  it('hub page: /plugins with plugin, action and node', async () => {
    const c = await firstIfacesCall(open, '/plugins?plugin=plugin_tarvik&node=alpha');
    assert.equal(c.url.pathname + c.url.search, '/plugins?plugin=plugin_tarvik&action=ifaces&node=alpha');
    assert.equal(c.headers['x-morv-password'], undefined);
    assert.deepEqual(c.view.tiles[0], ['Interfaces', '1'], 'the proxy route reaches the plug-in');
  });

  it('hub page with id: the id follows the node, values encoded', async () => {
    const c = await firstIfacesCall(open, '/plugins?plugin=plug%20in&node=a%26b&id=7%2F8');
    assert.equal(c.url.search, '?plugin=plug%20in&action=ifaces&node=a%26b&id=7%2F8');
  });

  const sources = [
    ['the page address', '/plugin_tarvik?pwd=' + encodeURIComponent(SECRET),
      { morv_active_pwd: 'wrong' }],
    ['the node item when a node is given', '/plugin_tarvik?node=alpha',
      { morv_pwd_alpha: SECRET, morv_active_pwd: 'wrong' }],
    ['the active item when the node has none', '/plugin_tarvik?node=alpha',
      { morv_pwd_beta: 'wrong', morv_active_pwd: SECRET }],
    ['the active item when no node is given', '/plugin_tarvik',
      { morv_pwd_: 'wrong', morv_active_pwd: SECRET }],
    ['the node item when the address has an empty pwd', '/plugin_tarvik?node=alpha&pwd=',
      { morv_pwd_alpha: SECRET }],
  ];
  for (const [name, address, storage] of sources) {
    it(`password from ${name}: sent as pwd and as X-Morv-Password`, async () => {
      const c = await firstIfacesCall(locked, address, { storage, bearer: SECRET });
      assert.equal(c.url.searchParams.get('pwd'), SECRET);
      assert.ok(c.url.search.endsWith('&pwd=' + encodeURIComponent(SECRET)), c.url.search);
      assert.equal(c.headers['x-morv-password'], SECRET);
      assert.equal(c.status, 200, 'the node accepts it');
      assert.deepEqual(c.view.tiles[0], ['Interfaces', '1']);
    });
  }
});

describe('refused password', () => {
  it('interface card: one "Error" tile with HTTP 401, empty table, no-interfaces block', async () => {
    const c = await firstIfacesCall(locked, '/plugin_tarvik',
      { storage: { morv_active_pwd: 'wrong' }, bearer: SECRET });
    assert.equal(c.status, 401);
    assert.deepEqual(c.view.tiles, [['Error', 'HTTP 401']]);
    assert.equal(c.view.rows.length, 0);
    assert.equal(c.view.emptyShown, true);
    assert.equal(c.view.pill, 'this node', 'the pill keeps its text');
  });

  it('a check shows "error" with HTTP 401 and a failed history item', async () => {
    const p = await newPage(browser, { base: locked.base });
    try {
      await bearerOnNavigation(p.page, SECRET);
      await p.page.goto(locked.base + '/plugin_tarvik');
      await p.page.waitForSelector('#kpis .kpi');
      const r = await runCheck(p.page, 'dns', 'web.test');
      assert.equal(r.state, 'error');
      assert.deepEqual(r.kv, [['error', 'HTTP 401']]);
      assert.equal(r.tag, '', 'the tag is left as it was');
      const h = await readHistory(p.page);
      assert.deepEqual(h.items.map((i) => [i.tagClass, i.kind, i.label, i.detail]),
        [['tag bad', 'dns', 'web.test', 'HTTP 401']]);
      assert.equal((await readResult(p.page)).note, '');
    } finally {
      await p.close();
    }
  });
});
