"""The tcp check: real connects to listeners that the tests open on the
loopback addresses, reached through made-up names in the mock DNS table.
Its parameters are rows of the tcp rule table (tests/harness/rules)."""
import re

from harness import TARGET, Case, main
from harness.peers import FULL, Peer, closed_port, ipv6_loopback, refuses

M = "measured"


class Connects(Case):
    def tcp(self, host, port, env):
        # The oracle has checked the document's schema and layout.
        return self.action("action=tcp&host=%s&port=%d" % (host, port), env=env)

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
            self.assertLess(g, 3000)
        if measured:
            avg = re.search(rb'"avg_ms":([^,]+),', r.body).group(1)
            self.assertEqual(b"%.2f" % (sum(measured) / len(measured)), avg)
            self.assertEqual((min(measured), max(measured)), (doc["min_ms"], doc["max_ms"]))
        else:
            self.assertEqual([None] * 3, [doc["avg_ms"], doc["min_ms"], doc["max_ms"]])

    def test_listening_port(self):
        with Peer() as lst:
            r = self.tcp("Up.TEST", lst.port, {"TARVIK_MOCK_DNS": "up.test=127.0.0.1"})
            self.check(r, "up.test", lst.port, "open", "127.0.0.1", [M, M, M])
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
            # One wait of 3 s, then sampling stops; the margin is the start
            # and exit of a process on a busy machine (under Wine too).
            self.assertGreater(r.elapsed, 2.9)
            self.assertLess(r.elapsed, 4.5)

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
                # Each of the three samples waits 3 s on the first record.
                self.assertGreater(r.elapsed, 8.9)
                self.assertLess(r.elapsed, 10.5)


if __name__ == "__main__":
    main()
