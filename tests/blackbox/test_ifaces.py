"""The ifaces action: the shape of the document the real adapter walk gives
on this system, and the name servers a mock table keeps; the mock table
itself is rows of the ifaces rule table (tests/harness/rules)."""
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
