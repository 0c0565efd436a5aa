"""The ifaces action: the mock interface table row by row, and the shape of
the document the real adapter walk gives on this system."""
import ipaddress

from harness import PLATFORM, Case, main



def row(name, address, family=4, netmask=None, broadcast=None, loopback=False, up=False):
    return {"name": name, "address": address, "family": family, "netmask": netmask,
            "broadcast": broadcast, "loopback": loopback, "up": up, "running": up}


class Ifaces(Case):
    def ifaces(self, env=None):
        r = self.action("action=ifaces", env=env)
        doc = r.doc()
        # Beyond the oracle's schema: each nameserver is an address.
        for ns in doc["nameservers"]:
            ipaddress.ip_address(ns)
        return doc

    def mock(self, value):
        return self.ifaces({"TARVIK_MOCK_IFACES": value})["interfaces"]


class MockTable(Ifaces):
    def test_empty_value_keeps_the_system_name_servers(self):
        doc = self.ifaces({"TARVIK_MOCK_IFACES": ""})
        self.assertEqual((0, []), (doc["count"], doc["interfaces"]))
        self.assertEqual(self.ifaces()["nameservers"], doc["nameservers"])

    def test_rows(self):
        long_name = "n" * 70
        # An entry is cut at 255 bytes: the state after the long broadcast
        # field is dropped with the rest.
        cut = "cut|192.0.2.7||" + "b" * 300 + "|x|1"
        table = [
            ("lo|127.0.0.1|255.0.0.0||x|1",
             [row("lo", "127.0.0.1", netmask="255.0.0.0", loopback=True, up=True)]),
            # Short entries: missing fields are empty.
            ("eth|192.0.2.5", [row("eth", "192.0.2.5")]),
            ("eth|192.0.2.5|255.255.255.0", [row("eth", "192.0.2.5", netmask="255.255.255.0")]),
            ("|192.0.2.5||||1", [row("", "192.0.2.5", up=True)]),
            # The sixth field runs to the end of the entry.
            ("a|192.0.2.5|255.255.255.0|192.0.2.255|x|1|more|bars",
             [row("a", "192.0.2.5", netmask="255.255.255.0", broadcast="192.0.2.255", up=True)]),
            ("a|192.0.2.5||||10", [row("a", "192.0.2.5", up=True)]),
            ("a|192.0.2.5|||| 1", [row("a", "192.0.2.5")]),
            ("a|192.0.2.5||||0", [row("a", "192.0.2.5")]),
            ("a|192.0.2.5|||1|", [row("a", "192.0.2.5")]),
            # Skipped entries do not stop the walk.
            ("s| 192.0.2.1||||1,e||||x|1,x|bogus,ok|192.0.2.9",
             [row("ok", "192.0.2.9")]),
            (",,lo|127.0.0.1,,", [row("lo", "127.0.0.1", loopback=True)]),
            # IPv6: the netmask field is ignored, the broadcast is kept.
            ("v6|2001:db8::1|255.255.255.0|2001:db8::ff|x|1",
             [row("v6", "2001:db8::1", family=6, broadcast="2001:db8::ff", up=True)]),
            # Addresses are reported as written, and the loopback rule reads
            # them as written.
            ("n|2001:DB8:0:0::1,L|0:0:0:0:0:0:0:1,l6|::1,l4|127.9.8.7",
             [row("n", "2001:DB8:0:0::1", family=6), row("L", "0:0:0:0:0:0:0:1", family=6),
              row("l6", "::1", family=6, loopback=True), row("l4", "127.9.8.7", loopback=True)]),
            # Netmasks are parsed but never judged; one that does not parse
            # (or carries a blank) is none.
            ("m|192.0.2.1|255.0.255.0,m|192.0.2.2|255.255.255.256,m|192.0.2.3| 255.0.0.0",
             [row("m", "192.0.2.1", netmask="255.0.255.0"), row("m", "192.0.2.2"),
              row("m", "192.0.2.3")]),
            # Broadcast texts are copied without any check, at most 63 bytes.
            ("b|192.0.2.1||not an address|x|1",
             [row("b", "192.0.2.1", broadcast="not an address", up=True)]),
            (long_name + "|192.0.2.1", [row(long_name[:63], "192.0.2.1")]),
            # A name of exactly the 64-byte capacity keeps 63 bytes.
            ("m" * 64 + "|192.0.2.1", [row("m" * 63, "192.0.2.1")]),
            (cut, [row("cut", "192.0.2.7", broadcast="b" * 63)]),
        ]
        for value, rows in table:
            with self.subTest(value=value[:80]):
                self.assertEqual(rows, self.mock(value))

    def test_row_cap(self):
        value = ",".join("e%d|192.0.2.%d||||1" % (i, i % 250 + 1) for i in range(130))
        doc = self.ifaces({"TARVIK_MOCK_IFACES": value})
        self.assertEqual(128, doc["count"])
        self.assertEqual(["e%d" % i for i in range(128)], [r["name"] for r in doc["interfaces"]])


class RealTable(Ifaces):
    def test_shape(self):
        doc = self.ifaces()
        for entry in doc["interfaces"]:
            with self.subTest(entry=entry):
                self.assertIsInstance(entry["name"], str)
                addr = ipaddress.ip_address(entry["address"])
                self.assertEqual(addr.version, entry["family"])
                self.assertEqual(str(addr), entry["address"])
                self.assertIsNone(entry["broadcast"])
                self.assertEqual(entry["up"], entry["running"])
                self.assertEqual(entry["address"].startswith("127.") or entry["address"] == "::1",
                                 entry["loopback"])
                if entry["family"] == 6:
                    self.assertIsNone(entry["netmask"])
                elif entry["netmask"] is not None:
                    # Only prefix masks come out of the adapter table.
                    mask = int(ipaddress.IPv4Address(entry["netmask"]))
                    self.assertEqual(0, (mask ^ 0xFFFFFFFF) & ((mask ^ 0xFFFFFFFF) + 1))
                    self.assertNotEqual("255.255.255.255", entry["netmask"])
        loop = [e for e in doc["interfaces"] if e["family"] == 4 and e["loopback"]]
        self.assertTrue(loop, doc["interfaces"])
        if PLATFORM != "windows":
            self.assertIn(row("lo", "127.0.0.1", netmask="255.0.0.0", loopback=True, up=True), loop)


if __name__ == "__main__":
    main()
