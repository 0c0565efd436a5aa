"""The dns action's document, its forced timeout's latency and a miss that
goes to the system resolver; its parameters and the mock table are rows of
the dns rule table (tests/harness/rules)."""
import time

from harness import Case, main

# A label over 63 bytes passes the host test but cannot be put into a DNS
# query, so the system resolver turns it down without sending anything.
UNSENDABLE = "x" * 70 + ".invalid"


class Dns(Case):
    def dns(self, host, **env):
        wall, mono = time.time(), time.monotonic()
        r = self.action("action=dns&host=" + host, env=env)
        # latency_ms is read off the wall clock; note whether that clock was
        # stepped during the run, since a step shows up in the latency.
        self.wall_steady = abs((time.time() - wall) - (time.monotonic() - mono)) < 0.05
        # The oracle has checked the document's schema, counts and layout.
        return r.doc()

    def test_forced_timeout_is_at_once(self):
        doc = self.dns("alpha.test", TARVIK_MOCK_TIMEOUT="1",
                       TARVIK_MOCK_DNS="alpha.test=192.0.2.1")
        self.assertEqual((False, True), (doc["resolved"], doc["timeout"]))
        if self.wall_steady:
            self.assertTrue(0 <= doc["latency_ms"] < 100, doc["latency_ms"])

    def test_miss_goes_to_the_system_resolver(self):
        table = "alpha.test=192.0.2.1;Unsendable=192.0.2.1"
        for env in ({}, {"TARVIK_MOCK_DNS": table}, {"TARVIK_MOCK_DNS": ""}):
            with self.subTest(env=env):
                doc = self.dns(UNSENDABLE, **env)
                self.assertEqual((False, False, [], 0),
                                 (doc["resolved"], doc["timeout"], doc["results"], doc["count"]))
                self.assertIsInstance(doc["code"], int)
                self.assertGreater(doc["code"], 0)
                # A literal the table does not name is answered by the system.
                doc = self.dns("198.51.100.9", **env)
                self.assertTrue(doc["resolved"])
                self.assertEqual({"address": "198.51.100.9", "family": "inet", "canonical": None},
                                 doc["results"][0])


if __name__ == "__main__":
    main()
