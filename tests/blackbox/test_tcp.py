"""The tcp check: real connects to listeners that the tests open on the
loopback addresses, reached through made-up names in the mock DNS table.
Its parameters are rows of the tcp rule table (tests/harness/rules)."""
import re
import select
import socket

from harness import TARGET, Case, free_port, main

DOC = re.compile(
    rb'\{"ok":true,"action":"tcp","host":"[^"]*","port":\d+,'
    rb'"generated_at":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","open":(?:true|false),'
    rb'"status":"(?:open|timeout|closed)","address":(?:null|"[^"]+"),'
    rb'"samples":\[(?:null|\d+)(?:,(?:null|\d+)){0,2}\],'
    rb'"avg_ms":(?:null|\d+\.\d\d),"min_ms":(?:null|\d+),"max_ms":(?:null|\d+),'
    rb'"timeout_ms":3000\}')
KEYS = ["ok", "action", "host", "port", "generated_at", "open", "status", "address",
        "samples", "avg_ms", "min_ms", "max_ms", "timeout_ms"]
M = "measured"


class Listener:
    """A listening socket on a loopback address. The kernel completes the
    handshakes; accepted() collects them afterwards."""

    def __init__(self, addr="127.0.0.1", port=0, backlog=16):
        family = socket.AF_INET6 if ":" in addr else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        if family == socket.AF_INET6:
            self.sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        self.sock.bind((addr, port))
        self.sock.listen(backlog)
        self.port = self.sock.getsockname()[1]
        self.extra = []

    def accepted(self):
        self.sock.setblocking(False)
        n = 0
        while True:
            try:
                c, _ = self.sock.accept()
            except BlockingIOError:
                return n
            c.close()
            n += 1

    def fill_backlog(self):
        """Connects until the accept queue is full, so that the kernel drops
        every further SYN: a connect to this port then never completes."""
        for _ in range(8):
            c = socket.socket()
            c.setblocking(False)
            c.connect_ex(self.sock.getsockname())
            self.extra.append(c)
            if not select.select([], [c], [], 0.3)[1]:
                return True
        return False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for c in self.extra:
            c.close()
        self.sock.close()


def ipv6_loopback():
    try:
        with Listener("::1"):
            return True
    except OSError:
        return False


def refuses(addr, port):
    try:
        socket.create_connection((addr, port), timeout=1).close()
    except ConnectionRefusedError:
        return True
    except OSError:
        return False
    return False


class Connects(Case):
    def tcp(self, host, port, env):
        r = self.action("action=tcp&host=%s&port=%d" % (host, port), env=env)
        self.assertIsNotNone(DOC.fullmatch(r.body), r.body)
        self.assertEqual(KEYS, r.keys())
        return r

    def check(self, r, host, port, status, address, samples):
        doc = r.doc()
        self.assertEqual((host, port), (doc["host"], doc["port"]))
        self.assertEqual(status, doc["status"], r.body)
        self.assertEqual(status == "open", doc["open"])
        self.assertEqual(address, doc["address"])
        got = doc["samples"]
        self.assertEqual([s is None for s in samples], [g is None for g in got], r.body)
        measured = [g for g in got if g is not None]
        for g in measured:
            self.assertIsInstance(g, int)
            self.assertGreaterEqual(g, 0)
            self.assertLess(g, 3000)
        if measured:
            avg = re.search(rb'"avg_ms":([^,]+),', r.body).group(1)
            self.assertEqual(b"%.2f" % (sum(measured) / len(measured)), avg)
            self.assertEqual((min(measured), max(measured)), (doc["min_ms"], doc["max_ms"]))
        else:
            self.assertEqual([None] * 3, [doc["avg_ms"], doc["min_ms"], doc["max_ms"]])
        self.assertEqual(3000, doc["timeout_ms"])

    def test_listening_port(self):
        with Listener() as lst:
            r = self.tcp("Up.TEST", lst.port, {"TARVIK_MOCK_DNS": "up.test=127.0.0.1"})
            self.check(r, "up.test", lst.port, "open", "127.0.0.1", [M, M, M])
            self.assertTrue(r.body.endswith(b"}"))
            self.assertEqual(3, lst.accepted())

    def test_listening_port_ipv6(self):
        if not ipv6_loopback():
            self.skipTest("no IPv6 loopback (::1) on this machine")
        with Listener("::1") as lst:
            r = self.tcp("six.test", lst.port, {"TARVIK_MOCK_DNS": "six.test=::1"})
            if TARGET.no_ipv6 and r.doc()["status"] != "open":
                self.skipTest(TARGET.no_ipv6 + ": " + r.body.decode())
            self.check(r, "six.test", lst.port, "open", "::1", [M, M, M])

    def test_refused_port_returns_at_once(self):
        port = free_port()
        r = self.tcp("down.test", port, {"TARVIK_MOCK_DNS": "down.test=127.0.0.1"})
        self.check(r, "down.test", port, "closed", None, [None, None, None])
        # A refusal must be seen when it arrives, not after the 3 s limit.
        self.assertLess(r.elapsed, 2.5)

    def test_resolution_outcomes(self):
        port = free_port()
        for env, status in [({"TARVIK_MOCK_TIMEOUT": "1",
                              "TARVIK_MOCK_DNS": "x.test=127.0.0.1"}, "timeout"),
                            ({"TARVIK_MOCK_DNS": "x.test="}, "closed"),
                            ({"TARVIK_MOCK_DNS": "x.test=bogus,,"}, "closed")]:
            with self.subTest(env=env):
                self.check(self.tcp("x.test", port, env), "x.test", port, status, None,
                           [None])

    def test_refusal_ends_the_sample(self):
        # The walk goes on to the next record only after a timeout or a
        # socket that could not be made; a refusal ends the sample.
        with Listener() as lst:
            if not refuses("127.0.0.2", lst.port):
                self.skipTest("127.0.0.2 does not refuse connects on this machine")
            dns = {"TARVIK_MOCK_DNS": "two.test=127.0.0.2,127.0.0.1"}
            r = self.tcp("two.test", lst.port, dns)
            self.check(r, "two.test", lst.port, "closed", None, [None, None, None])
            self.assertEqual(0, lst.accepted())
            dns = {"TARVIK_MOCK_DNS": "two.test=127.0.0.1,127.0.0.2"}
            r = self.tcp("two.test", lst.port, dns)
            self.check(r, "two.test", lst.port, "open", "127.0.0.1", [M, M, M])
            self.assertEqual(3, lst.accepted())

    def test_connect_timeout(self):
        with Listener(backlog=0) as lst:
            if not lst.fill_backlog():
                self.skipTest("the loopback listener's accept queue does not fill here")
            r = self.tcp("slow.test", lst.port, {"TARVIK_MOCK_DNS": "slow.test=127.0.0.1"})
            self.check(r, "slow.test", lst.port, "timeout", None, [None])
            self.assertGreater(r.elapsed, 2.9)
            self.assertLess(r.elapsed, 9)

    def test_timeout_walks_on_to_the_next_record(self):
        if not ipv6_loopback():
            self.skipTest("no IPv6 loopback (::1) on this machine")
        with Listener(backlog=0) as slow:
            try:
                fast = Listener("::1", slow.port)
            except OSError:
                self.skipTest("port %d is taken on ::1" % slow.port)
            with fast:
                if not slow.fill_backlog():
                    self.skipTest("the loopback listener's accept queue does not fill here")
                dns = {"TARVIK_MOCK_DNS": "walk.test=127.0.0.1,::1"}
                r = self.tcp("walk.test", slow.port, dns)
                if TARGET.no_ipv6 and r.doc()["status"] != "open":
                    self.skipTest(TARGET.no_ipv6)
                self.check(r, "walk.test", slow.port, "open", "::1", [M, M, M])
                self.assertEqual(3, fast.accepted())
                self.assertGreater(r.elapsed, 8.9)
                self.assertLess(r.elapsed, 20)


if __name__ == "__main__":
    main()
