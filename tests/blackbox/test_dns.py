"""The dns action with the mock hooks: validation messages, the forced
timeout, mock hits and misses, the record cap and the exact document."""
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

    def test_bad_requests(self):
        for query, message in [("action=dns", "host required"),
                               ("action=dns&host=", "host required"),
                               ("action=dns&host=%00x", "host required"),
                               ("action=dns&host=a%20b", "invalid host"),
                               ("action=dns&host=a..b", "invalid host"),
                               ("action=dns&host=%5B::1%5D", "invalid host")]:
            with self.subTest(query=query):
                # The mock table would answer, so only validation can refuse.
                self.error(query, message, env={"TARVIK_MOCK_DNS": "a b=192.0.2.1;a..b=192.0.2.1"})

    def test_host_is_lower_cased(self):
        # The mock matches case-sensitively, so a hit proves the lookup used
        # the lower-cased name too.
        doc = self.dns("Example.COM", TARVIK_MOCK_DNS="example.com=192.0.2.1;Example.COM=192.0.2.99")
        self.assertEqual("example.com", doc["host"])
        self.assertEqual(["192.0.2.1"], [e["address"] for e in doc["results"]])

    def test_forced_timeout(self):
        for value in ("1", "10"):
            with self.subTest(value=value):
                doc = self.dns("alpha.test", TARVIK_MOCK_TIMEOUT=value,
                               TARVIK_MOCK_DNS="alpha.test=192.0.2.1")
                self.assertEqual((False, True, None, [], 0),
                                 (doc["resolved"], doc["timeout"], doc["code"],
                                  doc["results"], doc["count"]))
                if self.wall_steady:
                    self.assertTrue(0 <= doc["latency_ms"] < 100, doc["latency_ms"])
        for value in ("0", "true", ""):
            with self.subTest(value=value):
                doc = self.dns("alpha.test", TARVIK_MOCK_TIMEOUT=value,
                               TARVIK_MOCK_DNS="alpha.test=192.0.2.1")
                self.assertTrue(doc["resolved"])

    def test_mock_hit(self):
        r = self.action("action=dns&host=alpha.test",
                        env={"TARVIK_MOCK_DNS": "x.test=198.51.100.1;alpha.test=192.0.2.1,2001:db8::1"})
        self.assertRegex(r.body, rb',"timeout_ms":3000,"resolved":true,"timeout":false,"code":0,'
                                 rb'"latency_ms":\d+,"results":\[\{"address":"192\.0\.2\.1",'
                                 rb'"family":"inet","canonical":null\},\{"address":"2001:db8::1",'
                                 rb'"family":"inet6","canonical":null\}\],"count":2\}\Z')
        self.assertTrue(r.body.startswith(b'{"ok":true,"action":"dns","host":"alpha.test",'
                                          b'"generated_at":"'))

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

    def test_no_address_in_the_entry(self):
        for value in ("", ",,", "bogus, 192.0.2.1", "[::1]", "192.0.2.256"):
            with self.subTest(value=value):
                doc = self.dns("alpha.test", TARVIK_MOCK_DNS="alpha.test=" + value)
                self.assertEqual((False, False, 0, [], 0),
                                 (doc["resolved"], doc["timeout"], doc["code"],
                                  doc["results"], doc["count"]))

    def test_sixteen_of_twenty(self):
        addrs = ["192.0.2.%d" % i for i in range(1, 11)] + ["2001:db8::%x" % i for i in range(1, 11)]
        doc = self.dns("many.test", TARVIK_MOCK_DNS="many.test=" + ",".join(addrs))
        self.assertEqual(16, doc["count"])
        self.assertEqual(addrs[:16], [e["address"] for e in doc["results"]])
        self.assertEqual(["inet"] * 10 + ["inet6"] * 6, [e["family"] for e in doc["results"]])


if __name__ == "__main__":
    main()
