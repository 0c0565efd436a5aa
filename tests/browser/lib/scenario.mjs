// A server, peers and a page filled the way a user would leave it after a
// few checks; shared by the resource and the screenshot tests.
import { startServer } from './server.mjs';
import { listener, closedPort, httpPeer } from './peers.mjs';
import { openTarvik, runCheck, selectTab } from './tarvik.mjs';

export const IFACES = [
  'lo|127.0.0.1|255.0.0.0||x|1',
  'eth0|192.0.2.10|255.255.255.0|192.0.2.255|x|1',
  'eth1|198.51.100.4|255.255.255.0||x|0',
  'lo|::1|||x|1',
  'eth0|2001:db8::10|||x|1',
].join(',');

export async function startScenario() {
  const server = await startServer({
    TARVIK_MOCK_IFACES: IFACES,
    TARVIK_MOCK_DNS: 'web.test=127.0.0.1,::1;app.test=127.0.0.1;none.test=',
  });
  const up = await listener();
  const shut = await closedPort();
  const web = await httpPeer('HTTP/1.1 301 Moved Permanently\r\nLocation: /x\r\n\r\n');
  const stop = async () => {
    await server.stop();
    await up.close();
    await web.close();
  };
  return { server, up, shut, web, stop };
}

// Interfaces loaded, one check of each kind, a few tcp values on the chart,
// and the tcp tab selected with its latest result shown.
export async function fillPage(page, sc, query = '') {
  await openTarvik(page, sc.server.base, query);
  await runCheck(page, 'dns', 'web.test');
  await runCheck(page, 'dns', 'none.test');
  await runCheck(page, 'http', `app.test:${sc.web.port}/login`);
  for (const port of [sc.up.port, sc.up.port, sc.shut, sc.up.port, sc.up.port]) {
    await runCheck(page, 'tcp', 'web.test', { port });
  }
  await selectTab(page, 'tcp');
}
