"""The plug-in under load behind each CGI web server. Info, the page and a mocked dns
lookup are each asked a fixed number of times, 32 requests in flight at a
time, and every reply is checked and parsed; then tcp and http checks run 32
at a time against peers of the test's own. No socket error, no answer other
than 2xx, no cut document, and every run behind the server ends with status
0 and nothing on standard error. The counts are fixed, so a slow machine
only makes the suite take longer; throughput is measured in bench/."""
import http.client
import re
import sys
import time
import unittest
import urllib.error
import urllib.request
from concurrent.futures import ThreadPoolExecutor

from harness import fronts, peers, TARGET, Case, main, validated

MOCK_DNS = "load.test=192.0.2.7,2001:db8::7;other.test=192.0.2.8"
CONNECTIONS = 32
REQUESTS = 256  # per pass: eight rounds of CONNECTIONS
# Behind the other servers, which start the same executable, four rounds.
REQUESTS_ELSEWHERE = 128
# Only a guard against a hung request, far beyond any slow run.
REQUEST_TIMEOUT = 300


def fetch(url):
    """(status, content type, body) of one request; status None and the
    error text when the request failed at the socket or HTTP level."""
    try:
        with urllib.request.urlopen(url, timeout=REQUEST_TIMEOUT) as r:
            return r.status, r.headers.get("Content-Type", ""), r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.headers.get("Content-Type", ""), e.read()
    except (OSError, http.client.HTTPException) as e:
        return None, "", repr(e).encode()


def info_ok(doc):
    return doc["ok"] is True and doc["plugin"] == "plugin_tarvik" and doc["read_timeout_ms"] == 2000


def dns_ok(doc):
    return (doc["ok"] is True and doc["host"] == "load.test" and doc["resolved"] is True
            and [r["address"] for r in doc["results"]] == ["192.0.2.7", "2001:db8::7"]
            and doc["count"] == 2)


@unittest.skipIf(TARGET.no_load, TARGET.no_load)
class Load:
    @classmethod
    def setUpClass(cls):
        cls.server = peers.RecordedServer({"TARVIK_MOCK_DNS": MOCK_DNS}, front=cls.front)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.before = len(self.server.runs())

    def tearDown(self):
        # However many runs this test made the server start, each ended
        # cleanly.
        self.assertEqual([], [r for r in self.server.runs()[self.before:] if r[0] != "0"])
        self.assertEqual(b"", self.server.stderr())

    def drive(self, path, tail, check):
        """REQUESTS requests for path (REQUESTS_ELSEWHERE behind a server
        other than lighttpd), CONNECTIONS at a time; every reply must be a
        200 whose body ends with tail and passes check."""
        url = self.server.base + path
        requests = REQUESTS if self.front is fronts.LIGHTTPD else REQUESTS_ELSEWHERE
        t0 = time.monotonic()
        with ThreadPoolExecutor(CONNECTIONS) as pool:
            replies = list(pool.map(lambda _: fetch(url), range(requests)))
        elapsed = time.monotonic() - t0
        counts = {"requests": len(replies), "good": 0, "error": 0, "bad": 0, "cut": 0, "wrong": 0}
        first = {}
        for status, ctype, body in replies:
            if status is None:
                kind = "error"
            elif not 200 <= status <= 299:
                kind = "bad"
            elif not body.endswith(tail):
                kind = "cut"
            else:
                try:
                    kind = "good" if check(ctype, body) else "wrong"
                except (AssertionError, ValueError, KeyError, TypeError) as e:
                    kind, body = "wrong", str(e).encode()
            counts[kind] += 1
            first.setdefault(kind, (status, body[-300:]))
        first.pop("good", None)
        self.assertEqual(requests, counts["good"], (counts, first))
        # Each request started one run behind the server.
        want = self.before + requests
        self.assertGreaterEqual(len(self.server.statuses(want)), want)
        print("%s %s: %s in %.1f s" % (self.front.name, path, counts, elapsed), file=sys.stderr)

    def test_info(self):
        self.drive("/plugin_tarvik?action=info", b'"read_timeout_ms":2000}\n',
                   lambda ct, b: ct.startswith("application/json")
                   and info_ok(validated(b, "info")))

    def test_page(self):
        self.drive("/plugin_tarvik", b"</body></html>\n",
                   lambda ct, b: ct.startswith("text/html") and b.startswith(b"<!DOCTYPE html>")
                   and b.endswith(b"</body></html>\n") and b.count(b"</html>") == 1)

    def test_dns_mocked(self):
        self.drive("/plugins?plugin=plugin_tarvik&action=dns&host=Load.Test",
                   b'"count":2}', lambda ct, b: dns_ok(validated(b, "dns")))

    def test_concurrent_checks(self):
        """64 tcp and 64 http checks, 32 in flight at a time."""
        answer = b"HTTP/1.1 204 No Content\r\nX-Seen: 1\r\nServer: peer\r\n\r\n"
        with peers.Peer() as listener, peers.Peer(peers.answer(answer, delay=0.05)) as web:
            jobs = [("tcp", "/plugin_tarvik?action=tcp&host=127.0.0.1&port=%d" % listener.port)
                    for _ in range(64)]
            jobs += [("http", "/plugin_tarvik?action=http&url=http%%3A%%2F%%2F127.0.0.1%%3A%d%%2Fload%%2F%d"
                      % (web.port, i)) for i in range(64)]
            with ThreadPoolExecutor(32) as pool:
                replies = list(pool.map(lambda j: (j[0], fetch(self.server.base + j[1])), jobs))
            heads = sorted(web.received)
        for kind, (status, _, body) in replies:
            self.assertEqual(200, status)
            doc = validated(body, kind)
            if kind == "tcp":
                self.assertEqual(("open", "127.0.0.1", 3),
                                 (doc["status"], doc["address"], len(doc["samples"])), doc)
                self.assertTrue(all(isinstance(s, int) and s >= 0 for s in doc["samples"]), doc)
            else:
                self.assertEqual((True, 204, "No Content", 2, True),
                                 (doc["reachable"], doc["status"], doc["status_text"],
                                  doc["header_lines"], doc["headers_complete"]), doc)
        # Each http check reached the peer once, with its own path.
        self.assertEqual(64, len(heads))
        paths = sorted(int(re.match(rb"HEAD /load/(\d+) HTTP/1\.1\r\nHost: 127\.0\.0\.1\r\n", h).group(1))
                       for h in heads)
        self.assertEqual(list(range(64)), paths)
        want = self.before + len(jobs)
        self.assertGreaterEqual(len(self.server.statuses(want)), want)


globals().update(fronts.each(Load, Case))


if __name__ == "__main__":
    main()
