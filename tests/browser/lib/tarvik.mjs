// Drives and reads the tarvik page the way a user sees it.

export const PAGE = '/plugin_tarvik';

// Opens the page and waits until the interface card has its tiles.
export async function openTarvik(page, base, query = '') {
  await page.goto(base + PAGE + query);
  await page.waitForSelector('#kpis .kpi', { timeout: 10000 });
}

export async function selectTab(page, kind) {
  const ids = { dns: '#tabDns', tcp: '#tabTcp', http: '#tabHttp' };
  await page.click(ids[kind]);
}

// Fills the form and presses Check, or Enter in the field that enter names
// ('#inp', '#port'); waits for the outcome when a request goes out.
export async function runCheck(page, kind, target, { port, enter } = {}) {
  await selectTab(page, kind);
  await page.fill('#inp', target);
  if (port !== undefined) await page.fill('#port', String(port));
  if (enter) await page.press(enter, 'Enter');
  else await page.click('#goBtn');
  await page.waitForFunction(() => {
    const s = document.getElementById('resState').textContent;
    return s !== 'running...' && !document.getElementById('goBtn').disabled;
  }, null, { timeout: 15000 });
  return readResult(page);
}

export function readResult(page) {
  return page.evaluate(() => {
    const $ = (id) => document.getElementById(id);
    const tagEl = $('resTag').querySelector('span');
    const keys = [...$('resKv').querySelectorAll(':scope > div.k')];
    return {
      state: $('resState').textContent,
      tag: tagEl ? tagEl.textContent : '',
      tagClass: tagEl ? tagEl.className : '',
      kv: keys.map((k) => [k.querySelector('span.k').textContent, k.nextElementSibling.textContent]),
      note: $('resNote').textContent,
    };
  });
}

export function readHistory(page) {
  return page.evaluate(() => {
    const items = [...document.querySelectorAll('#hist > li')];
    return {
      count: document.getElementById('histCount').textContent,
      items: items.map((li) => {
        const ms = li.querySelectorAll('span.ms');
        return {
          cls: li.className,
          text: li.textContent,
          tagClass: li.querySelector('.tag') ? li.querySelector('.tag').className : '',
          kind: li.querySelector('.tag') ? li.querySelector('.tag').textContent : '',
          label: li.querySelector('.t') ? li.querySelector('.t').textContent : '',
          detail: ms[0] ? ms[0].textContent : '',
          at: ms[1] ? ms[1].textContent : '',
        };
      }),
    };
  });
}

export function readInterfaces(page) {
  return page.evaluate(() => {
    const $ = (id) => document.getElementById(id);
    const rows = [...$('ifrows').querySelectorAll('tr')].map((tr) => {
      const td = tr.querySelectorAll('td');
      return {
        cells: [...td].slice(0, 3).map((c) => c.textContent),
        monoCells: [...td].filter((c) => c.className === 'mo').length,
        tags: [...td[3].querySelectorAll('span')].map((s) => `${s.className}:${s.textContent}`),
        stateText: td[3].textContent,
      };
    });
    const tiles = [...$('kpis').querySelectorAll('.kpi')].map((k) => [
      k.querySelector('.k').textContent, k.querySelector('.v').textContent]);
    return {
      rows,
      tiles,
      pill: $('srcPill').textContent,
      emptyShown: !$('ifEmpty').hasAttribute('hidden') && getComputedStyle($('ifEmpty')).display !== 'none',
      ns: [...$('nsList').children].map((c) => `${c.className}:${c.textContent}`),
      nsText: $('nsList').textContent,
    };
  });
}

// The chart as drawn: visibility and its elements in order.
export function readSpark(page) {
  return page.evaluate(() => {
    const svg = document.getElementById('spark');
    return {
      hidden: svg.hasAttribute('hidden'),
      displayed: getComputedStyle(svg).display !== 'none',
      kids: [...svg.children].map((el) => ({
        tag: el.tagName.toLowerCase(),
        ns: el.namespaceURI,
        cls: el.getAttribute('class'),
        d: el.getAttribute('d'),
        cx: el.getAttribute('cx'),
        cy: el.getAttribute('cy'),
        r: el.getAttribute('r'),
        x1: el.getAttribute('x1'), y1: el.getAttribute('y1'),
        x2: el.getAttribute('x2'), y2: el.getAttribute('y2'),
      })),
    };
  });
}
