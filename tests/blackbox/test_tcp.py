"""The tcp check: parameter errors, then real connects to listeners that the
tests open on the loopback addresses, reached through made-up names in the
mock DNS table."""
import re

from harness import TARGET, Case, main
from harness.peers import FULL, Peer, closed_port, ipv6_loopback, refuses

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


class Parameters(Case):
    def test_errors(self):
        table = [
            ("action=tcp", "host required"),
            ("action=tcp&port=80", "host required"),
            ("action=tcp&host=a.test", "port required"),
            ("action=tcp&host=", "port required"),
            ("action=tcp&host=a..b", "port required"),
            ("action=tcp&host=&port=80", "invalid host"),
            ("action=tcp&host=a..b&port=80", "invalid host"),
            ("action=tcp&host=a..b&port=0", "invalid host"),
            ("action=tcp&host=a+b&port=80", "invalid host"),
            ("action=tcp&host=%5B::1%5D&port=80", "invalid host"),
            ("action=tcp&host=a.test&port=0", "invalid port"),
            ("action=tcp&host=a.test&port=65536", "invalid port"),
            ("action=tcp&host=a.test&port=abc", "invalid port"),
            ("action=tcp&host=a.test&port=", "invalid port"),
            ("action=tcp&host=a.test&port=-80", "invalid port"),
            ("action=tcp&host=a.test&port=" + "0" * 18 + "80", "invalid port"),
            ("action=tcp&host=a.test&port=99999999999", "invalid port"),
            ("action=tcp&host=a.test&port=4294967377", "invalid port"),
        ]
        for query, message in table:
            with self.subTest(query=query):
                self.error(query, message)

    def test_port_text_read_as_a_number(self):
        # A forced resolver timeout shows the port read without connecting.
        for text, port in [("80abc", 80), ("%20443", 443), ("+22", 22), ("00080", 80),
                           ("65535", 65535)]:
            with self.subTest(port=text):
                r = self.action("action=tcp&host=A.Test&port=" + text,
                                env={"TARVIK_MOCK_TIMEOUT": "1"})
                self.assertEqual(("a.test", port), (r.doc()["host"], r.doc()["port"]))


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
        with Peer() as lst:
            r = self.tcp("Up.TEST", lst.port, {"TARVIK_MOCK_DNS": "up.test=127.0.0.1"})
            self.check(r, "up.test", lst.port, "open", "127.0.0.1", [M, M, M])
            self.assertTrue(r.body.endswith(b"}"))
            self.assertEqual(3, lst.wait(3))

    def test_listening_port_ipv6(self):
        if not ipv6_loopback():
            self.skipTest("no IPv6 loopback (::1) on this machine")
        with Peer(addr="::1") as lst:
            r = self.tcp("six.test", lst.port, {"TARVIK_MOCK_DNS": "six.test=::1"})
            if TARGET.no_ipv6 and r.doc()["status"] != "open":
                self.skipTest(TARGET.no_ipv6 + ": " + r.body.decode())
            self.check(r, "six.test", lst.port, "open", "::1", [M, M, M])

    def test_refused_port_returns_at_once(self):
        port = closed_port()
        r = self.tcp("down.test", port, {"TARVIK_MOCK_DNS": "down.test=127.0.0.1"})
        self.check(r, "down.test", port, "closed", None, [None, None, None])
        # A refusal must be seen when it arrives, not after the 3 s limit.
        self.assertLess(r.elapsed, 2.5)

    def test_resolution_outcomes(self):
        port = closed_port()
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
        with Peer() as lst:
            if not refuses("127.0.0.2", lst.port):
                self.skipTest("127.0.0.2 does not refuse connects on this machine")
            dns = {"TARVIK_MOCK_DNS": "two.test=127.0.0.2,127.0.0.1"}
            r = self.tcp("two.test", lst.port, dns)
            self.check(r, "two.test", lst.port, "closed", None, [None, None, None])
            self.assertEqual(0, lst.wait(1, timeout=0.5))
            dns = {"TARVIK_MOCK_DNS": "two.test=127.0.0.1,127.0.0.2"}
            r = self.tcp("two.test", lst.port, dns)
            self.check(r, "two.test", lst.port, "open", "127.0.0.1", [M, M, M])
            self.assertEqual(3, lst.wait(3))

    def test_connect_timeout(self):
        with Peer(FULL) as lst:
            if not lst.full:
                self.skipTest("the loopback listener's accept queue does not fill here")
            r = self.tcp("slow.test", lst.port, {"TARVIK_MOCK_DNS": "slow.test=127.0.0.1"})
            self.check(r, "slow.test", lst.port, "timeout", None, [None])
            self.assertGreater(r.elapsed, 2.9)
            self.assertLess(r.elapsed, 9)

    def test_timeout_walks_on_to_the_next_record(self):
        if not ipv6_loopback():
            self.skipTest("no IPv6 loopback (::1) on this machine")
        with Peer(FULL) as slow:
            try:
                fast = Peer(addr="::1", port=slow.port)
            except OSError:
                self.skipTest("port %d is taken on ::1" % slow.port)
            with fast:
                if not slow.full:
                    self.skipTest("the loopback listener's accept queue does not fill here")
                dns = {"TARVIK_MOCK_DNS": "walk.test=127.0.0.1,::1"}
                r = self.tcp("walk.test", slow.port, dns)
                if TARGET.no_ipv6 and r.doc()["status"] != "open":
                    self.skipTest(TARGET.no_ipv6)
                self.check(r, "walk.test", slow.port, "open", "::1", [M, M, M])
                self.assertEqual(3, fast.wait(3))
                self.assertGreater(r.elapsed, 8.9)
                self.assertLess(r.elapsed, 20)


if __name__ == "__main__":
    main()
