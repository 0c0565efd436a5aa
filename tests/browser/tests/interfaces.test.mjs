// The interface card: rows, state tags, summary tiles, the source pill, the
// no-interfaces block and the name-server row, against real ifaces documents.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startServer, getJson } from '../lib/server.mjs';
import { launch, newPage, apiCalls } from '../lib/browser.mjs';
import { openTarvik, readInterfaces } from '../lib/tarvik.mjs';

const FIVE = [
  'lo|127.0.0.1|255.0.0.0||x|1',
  'eth0|192.0.2.10|255.255.255.0|192.0.2.255|x|1',
  'wlan0|198.51.100.4|||x|0',
  'lo6|::1|||x|1',
  'eth0|2001:db8::10|||x|1',
].join(',');

const FIVE_ROWS = [
  { cells: ['lo', '127.0.0.1', '255.0.0.0'], tags: ['tag ok:up', 'tag:loopback'] },
  { cells: ['eth0', '192.0.2.10', '255.255.255.0'], tags: ['tag ok:up'] },
  { cells: ['wlan0', '198.51.100.4', '-'], tags: ['tag bad:down'] },
  { cells: ['lo6', '::1', '-'], tags: ['tag ok:up', 'tag:loopback', 'tag:ipv6'] },
  { cells: ['eth0', '2001:db8::10', '-'], tags: ['tag ok:up', 'tag:ipv6'] },
];

const servers = {};
let browser;

before(async () => {
  browser = await launch();
  servers.five = await startServer({ TARVIK_MOCK_IFACES: FIVE });
  servers.one = await startServer({ TARVIK_MOCK_IFACES: 'lo|127.0.0.1|255.0.0.0||x|1' });
  servers.none = await startServer({ TARVIK_MOCK_IFACES: '' });
  servers.odd = await startServer({ TARVIK_MOCK_IFACES: '<b>x</b>&amp;|127.0.0.2|||x|0' });
});

after(async () => {
  await Promise.all(Object.values(servers).map((s) => s.stop()));
  if (browser) await browser.close();
});

async function viewOf(server) {
  const p = await newPage(browser, { base: server.base });
  try {
    await openTarvik(p.page, server.base);
    const { doc } = await getJson(server.base, '/plugin_tarvik?action=ifaces');
    return { view: await readInterfaces(p.page), doc, calls: apiCalls(p.rec) };
  } finally {
    await p.close();
  }
}

describe('interface card', () => {
  it('shows one row per interface with its state tags', async () => {
    const { view } = await viewOf(servers.five);
    assert.deepEqual(view.rows.map(({ cells, tags }) => ({ cells, tags })), FIVE_ROWS);
    for (const r of view.rows) assert.equal(r.monoCells, 3, 'name, address and netmask are mono cells');
    // Tags after the first are separated by one space.
    assert.equal(view.rows[3].stateText, 'up loopback ipv6');
    assert.equal(view.emptyShown, false);
  });

  it('sums the interfaces into four tiles and the pill', async () => {
    const { view, doc } = await viewOf(servers.five);
    assert.deepEqual(view.tiles, [
      ['Interfaces', '5'], ['Up', '4'], ['Loopback', '2'],
      ['DNS servers', String(doc.nameservers.length)],
    ]);
    assert.equal(view.pill, '5 ifaces');
  });

  const pills = [
    ['one interface', 'one', '1 iface', false],
    ['no interface', 'none', '0 ifaces', true],
  ];
  for (const [name, key, pill, emptyShown] of pills) {
    it(`${name}: pill "${pill}", no-interfaces block ${emptyShown ? 'shown' : 'hidden'}`, async () => {
      const { view } = await viewOf(servers[key]);
      assert.equal(view.pill, pill);
      assert.equal(view.emptyShown, emptyShown);
      assert.equal(view.rows.length, emptyShown ? 0 : 1);
      assert.deepEqual(view.tiles[0], ['Interfaces', emptyShown ? '0' : '1']);
    });
  }

  it('lists the name servers of the document as blue tags, or "None configured."', async () => {
    const { view, doc } = await viewOf(servers.one);
    if (doc.nameservers.length === 0) {
      assert.deepEqual(view.ns, ['empty:None configured.']);
    } else {
      assert.deepEqual(view.ns, doc.nameservers.map((s) => `tag blue:${s}`));
      assert.equal(view.nsText, doc.nameservers.join(''), 'nothing between the tags');
    }
  });

  it('shows names from the document as text, never as markup', async () => {
    const { view } = await viewOf(servers.odd);
    assert.deepEqual(view.rows[0].cells, ['<b>x</b>&amp;', '127.0.0.2', '-']);
    assert.deepEqual(view.rows[0].tags, ['tag bad:down', 'tag:loopback']);
  });

  it('asks for the interfaces once at start and again on refresh', async () => {
    const p = await newPage(browser, { base: servers.one.base });
    try {
      await openTarvik(p.page, servers.one.base);
      assert.equal(apiCalls(p.rec).length, 1);
      const reply = p.page.waitForResponse((r) => r.url().includes('action=ifaces'));
      await p.page.click('#rfBtn');
      await reply;
      const calls = apiCalls(p.rec);
      assert.equal(calls.length, 2);
      assert.equal(calls[1].url.search, '?action=ifaces');
    } finally {
      await p.close();
    }
  });
});
