"""The plug-in behind each real CGI web server: statuses, routes and headers
arrive as a browser or the hub sees them, and a request body of any size or
pace leaves the reply as it is without one."""
import http.client
import time
from concurrent.futures import ThreadPoolExecutor

from harness import fronts, Case, main, validated

PW = "n0de pw"
# What the servers add to a reply or use to frame it; every other header
# line comes from the plug-in.
FRAMING = {"date", "server", "connection", "keep-alive", "content-length",
           "transfer-encoding"}
STALL = 2.5  # seconds, longer than the plug-in waits for a body


def body_of(size):
    return bytes(i % 251 for i in range(size))


def chunked(parts):
    """An iterable body: http.client sends it chunked."""
    return lambda: iter(parts)


def stalled(first, rest):
    """The first part, then nothing for STALL seconds, then the rest; sent
    with a Content-Length of the whole."""
    def parts():
        yield first
        time.sleep(STALL)
        yield rest
    return parts


# (name, body: bytes, or a function giving an iterable, headers)
BODIES = [
    ("0 B", b"", {}),
    ("100 B", body_of(100), {"Content-Type": "application/x-www-form-urlencoded"}),
    ("64 KiB + 1", body_of(65537), {"Content-Type": "application/octet-stream"}),
    ("1 MiB", body_of(1 << 20), {"Content-Type": "application/octet-stream"}),
    ("chunked", chunked([body_of(40000)] * 3), {"Transfer-Encoding": "chunked"}),
    ("stalls", stalled(body_of(50), body_of(50)), {"Content-Length": "100"}),
]


def send(server, method, path, body=None, headers=None):
    """(status, the plug-in's own header lines, body) of one request."""
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
    try:
        if callable(body):
            body = body()
        conn.request(method, path, body=body, headers=headers or {},
                     encode_chunked=(headers or {}).get("Transfer-Encoding") == "chunked")
        r = conn.getresponse()
        own = [(k, v) for k, v in r.getheaders() if k.lower() not in FRAMING]
        return r.status, own, r.read()
    finally:
        conn.close()


class ThroughHost:
    @classmethod
    def setUpClass(cls):
        # A stray variable in the server's own environment must not reach
        # the plug-in (fcgiwrap, for one, copies its environment into every
        # program): this one would turn every reply into the meta line.
        cls.open = fronts.Server({"QV_PLUGIN_META": "1"}, front=cls.front)
        cls.locked = fronts.Server({"MORV_PASSWORD": PW}, front=cls.front)

    @classmethod
    def tearDownClass(cls):
        cls.open.stop()
        cls.locked.stop()

    def test_statuses(self):
        table = [
            (self.open, "/plugin_tarvik?action=info", [], 200, True),
            (self.open, "/plugin_tarvik?action=bogus", [], 400, False),
            (self.open, "/plugin_tarvik?action=dns", [], 400, False),
            (self.open, "/plugins?plugin=plugin_tarvik&action=info&node=alpha", [], 200, True),
            (self.locked, "/plugin_tarvik?action=info", [], 401, False),
            (self.locked, "/plugin_tarvik", [], 401, False),
            (self.locked, "/plugin_tarvik?action=info", ["-H", "X-Morv-Password: " + PW], 200, True),
            (self.locked, "/plugin_tarvik?action=info", ["-H", "Authorization: Bearer " + PW], 200, True),
            (self.locked, "/plugins?plugin=plugin_tarvik&action=info&pwd=n0de+pw", [], 200, True),
            (self.locked, "/plugin_tarvik?action=info", ["-H", "Authorization: Bearer x"], 401, False),
        ]
        for server, path, args, status, ok in table:
            with self.subTest(path=path, args=args):
                code, head, body = fronts.curl(server.base + path, *args)
                self.assertEqual(status, code)
                self.assertIn("Content-Type: application/json; charset=utf-8", head)
                doc = validated(body)
                self.assertEqual(ok, doc["ok"])
                if status == 401:
                    self.assertEqual("invalid node password", doc["error"])

    def test_page_headers(self):
        code, head, body = fronts.curl(self.open.base + "/plugin_tarvik")
        self.assertEqual(200, code)
        self.assertIn("X-Frame-Options: SAMEORIGIN", head)
        self.assertIn("Content-Security-Policy: default-src 'none';", head)
        self.assertTrue(body.endswith(b"</body></html>\n"))

    def test_post_gets_json(self):
        code, _, body = fronts.curl(self.open.base + "/plugin_tarvik", "-X", "POST",
                                    "--data", "action=dns")
        self.assertEqual(200, code)
        self.assertIn("plugin", validated(body))

    def test_bodies_leave_the_reply_alone(self):
        """Every body, at every pace, gets the reply the request gets
        without one: status, the plug-in's header lines and body bytes."""
        requests = [(self.open, m, "/plugin_tarvik?action=bogus") for m in ("POST", "PUT")]
        # The refusal, and the page: larger than some pipes hold.
        requests += [(self.locked, "POST", "/plugin_tarvik")]
        if self.front.get_body:
            requests += [(self.open, "GET", "/plugin_tarvik")]
        jobs = [(server, method, path, name, body, headers)
                for server, method, path in requests for name, body, headers in BODIES
                if method in ("POST", "PUT") or name in ("1 MiB", "stalls")]
        with ThreadPoolExecutor(4) as pool:
            want = dict(zip(requests, pool.map(lambda r: send(*r), requests)))
            got = list(pool.map(lambda j: send(*j[:3], j[4], j[5]), jobs))
        for (server, method, path, name, _, _), reply in zip(jobs, got):
            with self.subTest(method=method, path=path, body=name):
                self.assertEqual(want[(server, method, path)], reply)
        self.assertEqual(400, want[requests[0]][0])
        self.assertEqual(401, want[requests[2]][0])
        if self.front.get_body:
            self.assertTrue(want[requests[3]][2].endswith(b"</body></html>\n"))


globals().update(fronts.each(ThroughHost, Case))


if __name__ == "__main__":
    main()
