"""The node password through each real CGI server. Every source (the
X-Morv-Password header, an Authorization bearer token, the query parameter
pwd) with right and wrong values, on every kind of request: only the right
password gets anything but the refusal, and a refused request reaches no
peer, and no log of the server holds the password. The whole table runs
behind lighttpd; behind the other servers, which only carry the sources
differently, each source with a few wrong values and the right one on a few
kinds of request."""
import http.client
import urllib.parse
from concurrent.futures import ThreadPoolExecutor

from harness import fronts, peers, REFUSAL, TARGET, Case, json_reply, main, validated

PW = "Kv9+Ridge"
REFUSAL_BODY = REFUSAL.split(b"\r\n\r\n", 1)[1]
# Values that are not the password, each close to it in some way.
WRONG = ["", "wrong", PW + "x", PW[:-1], PW[1:], "x" + PW, PW + PW, PW.swapcase(),
         PW.lower(), PW.upper(), PW.replace("+", " "), PW.replace("+", "%2B"),
         PW[:4], "Kv9+Ridg\u00e9"]
FEW_WRONG = ["", PW + "x", PW.replace("+", " ")]
# Parts that the password and each value close to it keep in every form a
# request carries them (raw, percent-encoded, a plus for the space), case
# aside: what no log may hold.
MARKS = [b"kv9", b"ridg"]


def header(v):
    return {}, {"X-Morv-Password": v}


def bearer(v):
    return {}, {"Authorization": "Bearer " + v}


def query(v):
    return {"pwd": v}, {}


SOURCES = {"header": header, "bearer": bearer, "query": query}


def send(server, method, path, params, headers, body=None):
    """One request; the status, the headers and the body."""
    if params:
        path += ("&" if "?" in path else "?") + urllib.parse.urlencode(params, quote_via=urllib.parse.quote)
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
    try:
        wire = {k: v.encode("utf-8").decode("latin-1") for k, v in headers.items()}
        conn.request(method, path, body=body, headers=wire)
        r = conn.getresponse()
        return r.status, r.getheaders(), r.read()
    finally:
        conn.close()


class NodePassword:
    @classmethod
    def setUpClass(cls):
        cls.refused = cls.accepted = 0
        # The connections that accepted checks made to the peers.
        cls.connects = cls.fetches = 0
        cls.listener = peers.Peer()
        cls.web = peers.Peer(peers.answer(b"HTTP/1.1 200 OK\r\n\r\n"))
        cls.server = peers.RecordedServer({"MORV_PASSWORD": PW,
                                           "TARVIK_MOCK_DNS": "pw.test=192.0.2.5"},
                                          capture=True, front=cls.front)
        # (method, path, what the right password gets: "page" or a key of
        # the document)
        cls.requests = [
            ("GET", "/plugin_tarvik", "page"),
            ("GET", "/plugin_tarvik?embed=1&theme=dark", "page"),
            ("HEAD", "/plugin_tarvik", "page"),
            ("GET", "/plugin_tarvik?action=info", "plugin"),
            ("GET", "/plugin_tarvik?format=json", "plugin"),
            ("POST", "/plugin_tarvik", "plugin"),
            ("GET", "/plugin_tarvik?action=ifaces", "interfaces"),
            ("GET", "/plugin_tarvik?action=dns&host=pw.test", "results"),
            ("GET", "/plugins?plugin=plugin_tarvik&node=n1&action=tcp&host=127.0.0.1&port=%d"
             % cls.listener.port, "samples"),
            ("GET", "/plugin_tarvik?action=http&url=http%%3A%%2F%%2F127.0.0.1%%3A%d%%2F"
             % cls.web.port, "headers_complete"),
            ("GET", "/plugin_tarvik?action=bogus", "error"),
        ]
        if cls.front is not fronts.LIGHTTPD:
            # The other servers differ only in how they carry the sources: a
            # page, a HEAD, a POST and a check that must not leave the node
            # stand for the rest.
            cls.requests = [cls.requests[i] for i in (0, 2, 5, 8)]

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.listener.close()
        cls.web.close()

    def many(self, jobs):
        # A launcher's own start-up may fail now and then when many processes
        # start at once; the target's limit keeps that rare, and the server's
        # wrapper runs such a run once more.
        with ThreadPoolExecutor(TARGET.parallel) as pool:
            return list(pool.map(lambda j: send(self.server, *j), jobs))

    def assert_refused(self, jobs):
        type(self).refused += len(jobs)
        for job, (status, headers, body) in zip(jobs, self.many(jobs)):
            with self.subTest(job=job):
                self.assertEqual(401, status)
                names = {k.lower(): v for k, v in headers}
                self.assertEqual("application/json; charset=utf-8", names.get("content-type"))
                self.assertNotIn("x-frame-options", names)  # a page header
                if job[0] != "HEAD":
                    self.assertEqual(REFUSAL_BODY, body)
                    validated(body, "error")

    def test_wrong_values_refused_everywhere(self):
        jobs = []
        whole = self.front is fronts.LIGHTTPD
        for name, source in SOURCES.items():
            for value in WRONG if whole else FEW_WRONG:
                params, headers = source(value)
                jobs += [(m, p, params, headers) for m, p, _ in self.requests]
        # No credentials; credentials where no source is; the password in a
        # request body, which is read and thrown away.
        elsewhere = [({"xpwd": PW}, {}), ({"PWD": PW}, {}),
                     ({"x": "pwd=" + PW}, {}), ({"plugin": "pwd=" + PW}, {}),
                     ({}, {"X-Password": PW}), ({}, {"Cookie": "pwd=" + PW}),
                     ({}, {"Authorization": "bearer " + PW}),
                     ({}, {"Authorization": "Bearer\t" + PW}),
                     ({}, {"Authorization": "Basic " + PW}),
                     ({}, {"Authorization": "Bearer" + PW}),
                     ({}, {"X-Morv-Password": "Bearer " + PW}),
                     ({"pwd": PW[:-1]}, {"X-Morv-Password": PW[1:],
                                         "Authorization": "Bearer " + PW.lower()})]
        for params, headers in [({}, {})] + (elsewhere if whole else []):
            jobs += [(m, p, params, headers) for m, p, _ in self.requests]
        # A plus sign in the query decodes to a space.
        jobs += [(m, p + ("&" if "?" in p else "?") + "pwd=" + PW, {}, {})
                 for m, p, _ in self.requests]
        # A peer counts a connection once it has ended, which may come after
        # the check's reply: those of the accepted checks are waited for.
        before = (self.listener.wait(self.connects), self.web.wait(self.fetches))
        self.assert_refused(jobs)
        jobs = [("POST", "/plugin_tarvik", {}, {"Content-Type": "application/x-www-form-urlencoded"},
                 "pwd=" + urllib.parse.quote(PW)),
                ("PUT", "/plugin_tarvik?action=info", {}, {}, PW)]
        self.assert_refused(jobs)
        # A refused check never left the node.
        self.assertEqual(before, (len(self.listener.received), len(self.web.received)))

    def test_right_value_from_each_source(self):
        pairs = [source(PW) for source in SOURCES.values()]
        # A wrong earlier source does not hide a right later one.
        pairs += [({"pwd": PW}, {"X-Morv-Password": "wrong", "Authorization": "Bearer wrong"}),
                  ({"pwd": "wrong"}, {"X-Morv-Password": "wrong", "Authorization": "Bearer " + PW}),
                  ({"pwd": "wrong"}, {"X-Morv-Password": PW, "Authorization": "Bearer wrong"}),
                  ({}, {"Authorization": "   Bearer   " + PW}),
                  # The page's requests name its address, with the pwd the
                  # hub gave it, in Referer.
                  ({"pwd": PW}, {"Referer": "http://127.0.0.1/plugins?plugin=plugin_tarvik&node=n1&pwd="
                                 + urllib.parse.quote(PW)})]
        jobs = [(m, p, params, headers, want)
                for params, headers in pairs for m, p, want in self.requests]
        type(self).accepted += len(jobs)
        replies = self.many([j[:4] for j in jobs])
        for job, (status, headers, body) in zip(jobs, replies):
            with self.subTest(job=job):
                want = job[4]
                self.assertEqual(400 if want == "error" else 200, status)
                if job[0] == "HEAD":
                    continue
                if want == "page":
                    self.assertTrue(body.endswith(b"</body></html>\n"), body[-80:])
                else:
                    doc = validated(body)
                    self.assertIn(want, doc)
                    if want == "samples":
                        type(self).connects += len(doc["samples"])
                    elif want == "headers_complete":
                        type(self).fetches += 1

    def tearDown(self):
        # Behind the server every run ended with status 0, and every refused
        # request got exactly the refusal; no accepted one did.
        runs = self.refused + self.accepted
        self.assertEqual(runs, len(self.server.statuses(runs)))
        self.assertEqual([], self.server.failed_runs())
        self.assertEqual(b"", self.server.stderr())
        outs = self.server.outputs()
        self.assertEqual(runs, len(outs))
        for out in outs:
            json_reply(out)
        self.assertEqual(self.refused, sum(o == REFUSAL for o in outs))
        # The server's access log recorded every request, and neither it nor
        # the error log holds the password in any form: the stand-ins log
        # the plug-in's routes as the operator's guide says.
        logs = self.server.logs(runs)
        self.assertEqual(runs, len(fronts.routed_lines(logs["access.log"])))
        self.assertIn("error.log", logs)
        for name, text in logs.items():
            for mark in MARKS:
                with self.subTest(log=name, mark=mark):
                    self.assertNotIn(mark, text.lower())


globals().update(fronts.each(NodePassword, Case))


if __name__ == "__main__":
    main()
