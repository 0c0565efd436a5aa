"""The real resolver, adapter table and connect timeout, inside a network
namespace of the suite's own. `ip netns exec` binds the files of
/etc/netns/NAME over /etc, so the namespace gets its own resolv.conf and
hosts file. Only loopback and documentation addresses are used, and nothing
leaves the namespace. Runs against whichever build the harness is given: the
Linux executable, or the Windows one under Wine with a prefix and a
wineserver of the namespace's own. As root."""
import atexit
import json
import re
import signal
import sys
import time
import unittest

from harness import JSON_HEAD, UNDER_WINE, Interrupt, main, validated
from harness.netns import NFT, NSSWITCH, Namespace, stopped, why_not


# A name server on 127.0.0.1 and ::1, port 53. It answers by the first label
# of the name asked, the same for every query type and whatever search suffix
# the resolver appends: "silent" never gets an answer, "nodata" gets NOERROR
# with no record, "servfail" SERVFAIL, any other name NXDOMAIN. An answer
# echoes the question and carries nothing else. It writes the first label of
# every query it takes.
NAME_SERVER = r"""
import os, select, socket
RCODES = {b"silent": None, b"nodata": 0, b"servfail": 2}
socks = []
for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
    s = socket.socket(family, socket.SOCK_DGRAM)
    s.bind((address, 53))
    socks.append(s)
os.write(1, b"ready\n")
while True:
    for s in select.select(socks, [], [])[0]:
        q, peer = s.recvfrom(4096)
        if len(q) < 17:
            continue
        end = 12
        while end < len(q) and q[end]:
            end += 1 + q[end]
        label = q[13:13 + q[12]].lower()
        os.write(1, b"q " + label + b"\n")
        rcode = RCODES.get(label, 3)
        if rcode is not None:
            flags = bytes([0x80 | (q[2] & 0x79), 0x80 | rcode])
            s.sendto(q[:2] + flags + b"\x00\x01\x00\x00\x00\x00\x00\x00" + q[12:end + 5], peer)
"""

# Both name servers are the one above; the repeated line must be listed once.
RESOLV = "nameserver 127.0.0.1\nnameserver ::1\nnameserver 127.0.0.1\n"
# The mock table stops at 16 addresses itself, so the dns check's own cap is
# only reached through a system list: 20 lines in the hosts file.
MANY = (["192.0.2.%d" % i for i in range(1, 11)] +
        ["2001:db8::%x" % i for i in range(1, 11)])
# And a name of two lines, all of whose records a dns reply shows.
PAIR = ["192.0.2.21", "2001:db8::21"]
HOSTS = "".join("%s many.test\n" % a for a in MANY) + \
    "".join("%s pair.test\n" % a for a in PAIR)
# Runs the words after two arguments in a mount namespace with a tmpfs over /run: the
# first bound over /etc/resolv.conf, the second as resolved's list of upstream servers
# ("-" for none, "/" for a folder in its place, which opens but does not read).
RESOLVER_FILES = ["unshare", "--mount", "--propagation", "private", "sh", "-ec", """
mount -t tmpfs tmpfs /run; mkdir -p /run/systemd/resolve; up=/run/systemd/resolve/resolv.conf
printf %s "$1" >/run/stub.conf; mount --bind /run/stub.conf /etc/resolv.conf
case $2 in -) ;; /) mkdir $up ;; *) printf %s "$2" >$up ;; esac
shift 2; exec "$@" """, "sh"]
STUB = "nameserver 127.0.0.53\n"
UPSTREAM = "nameserver 192.0.2.53\nnameserver 2001:db8::53\nnameserver 198.51.100.53"
# Comments, blank lines, zones, lines that are not a server's, a long line
# cut at 127 bytes within its address, repeats, and 26 servers for 16 places.
MESSY = ("# managed by resolved\n; the other comment\n\n  \nnameserver 192.0.2.1\n"
         "nameserver\t192.0.2.2 # and a comment\nnameserver fe80::1%v0\nnameserver fe80::1%2\n"
         "nameserver 192.0.2.1\n nameserver 192.0.2.99\n#nameserve 192.0.2.98\n"
         "nameserver 192.0.2.97%v0\nnameserver fe80::2%\nnameservers 192.0.2.96\n"
         "search example.test\nnameserver 192.0.2.3;x\nnameserver 2001:db8::3 " + "#" * 200 +
         "\nnameserver" + " " * 105 + "2001:db8::1234\n" +
         "".join("nameserver 192.0.2.%d\n" % i for i in range(10, 31)))
# Ports whose SYNs the namespace's filter treats apart (see filter_syns);
# the one after DROPPED_PORT has no filter and no listener.
DROPPED_PORT = 4747
REFUSED_PORT = 4748
FIRST_DROPPED = 4749
FIRST_ONLY = 4750
FIRST_ONLY_RESET = 4751
EACH_FIRST_DROPPED = 4752
LISTENED = (FIRST_DROPPED, FIRST_ONLY, FIRST_ONLY_RESET, EACH_FIRST_DROPPED)
# Listens on the ports above, accepting and closing every connection.
LISTENER = r"""
import os, select, socket
socks = []
for port in %r:
    s = socket.socket()
    s.bind(("127.0.0.1", port))
    s.listen(64)
    socks.append(s)
os.write(1, b"ready\n")
while True:
    for s in select.select(socks, [], [])[0]:
        s.accept()[0].close()
""" % (LISTENED,)


def add_adapters(ns):
    """Two veth pairs. An interface counts as up only when it is up and
    running (has a carrier). A veth end has a carrier only while its peer is
    up, so the up interface v0 gets a peer v0p that is up too (and has no
    address), while v1 stays down; its peer v1p is set up but, with v1 down,
    has no carrier. Automatic IPv6 link-local addresses are turned off so
    that only ours show."""
    ns.ip("link", "add", "v0", "type", "veth", "peer", "name", "v0p")
    ns.ip("link", "add", "v1", "type", "veth", "peer", "name", "v1p")
    for dev in ("v0", "v0p", "v1", "v1p"):
        ns.ip("link", "set", dev, "addrgenmode", "none")
    ns.ip("addr", "add", "192.0.2.1/24", "dev", "v0")
    ns.ip("addr", "add", "198.51.100.0/31", "dev", "v0")
    ns.ip("addr", "add", "2001:db8::1/64", "dev", "v0", "nodad")
    ns.ip("addr", "add", "203.0.113.7/32", "dev", "v1")
    ns.ip("addr", "add", "203.0.113.8/32", "dev", "v1p")
    for dev in ("v0", "v0p", "v1p"):
        ns.ip("link", "set", dev, "up")
    deadline = time.monotonic() + 5
    while "LOWER_UP" not in ns.links()["v0"]["flags"] and time.monotonic() < deadline:
        time.sleep(0.05)


def filter_syns(ns):
    """SYNs to DROPPED_PORT vanish, so a connect there never completes. Of
    those to FIRST_DROPPED only the first vanishes: the system sends it again
    after about a second, so that connect takes about a second and the next
    ones none. Of those to FIRST_ONLY all but the first vanish, and all but
    the first to FIRST_ONLY_RESET are answered with a reset (refused). Every
    other SYN to EACH_FIRST_DROPPED vanishes, so that each connect there
    takes about a second. A rule's count runs over the namespace's life:
    each port serves one check."""
    syn = "tcp dport %d tcp flags & (syn | ack) == syn"
    first = "numgen inc mod 1000000 == 0"
    later = "numgen inc mod 1000000 != 0"
    even = "numgen inc mod 2 == 0"
    rules = ("table inet filter {\n chain output {\n"
             "  type filter hook output priority 0; policy accept;\n"
             "  %s drop\n  %s %s drop\n  %s %s drop\n  %s %s reject with tcp reset\n"
             "  %s %s drop\n }\n}\n"
             % (syn % DROPPED_PORT, syn % FIRST_DROPPED, first, syn % FIRST_ONLY, later,
                syn % FIRST_ONLY_RESET, later, syn % EACH_FIRST_DROPPED, even))
    ns.sh(*ns.inside(NFT, "-f", "-"), stdin=rules.encode())


@unittest.skipIf(why_not(), why_not())
class InNamespace(unittest.TestCase):
    """One namespace serves every case: under Wine a fresh prefix costs
    seconds and some 700 MB, so it is made once. The cases only read what
    setUpClass builds."""

    @classmethod
    def setUpClass(cls):
        ns = cls.ns = Namespace(RESOLV, hosts=HOSTS, **{"nsswitch.conf": NSSWITCH})
        # A class clean-up runs even when setUpClass fails; the exit hook
        # covers an interrupted run.
        cls.addClassCleanup(ns.close)
        atexit.register(ns.close)
        ns.__enter__()
        add_adapters(ns)
        if NFT:
            filter_syns(ns)
        cls.server = ns.helper(NAME_SERVER)
        ns.helper(LISTENER)
        if UNDER_WINE:
            ns.start_wine()

    def doc(self, r, kind):
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual(b"", r.err)
        self.assertTrue(r.out.startswith(JSON_HEAD), r.out[:200])
        return validated(r.body, kind)

    def asked(self, label):
        """The name server took a query for the name."""
        self.assertIn(b"q " + label.encode() + b"\n", self.server.output())

    def test_resolver_deadline_against_a_silent_server(self):
        # Left alone, the system resolver waits 5 s twice for each server.
        # Each check that resolves gives up at the deadline, no sooner and
        # not much later.
        timed_out = {
            "dns": lambda doc: (doc["resolved"], doc["timeout"], doc["code"], doc["results"],
                                doc["count"]) == (False, True, None, [], 0),
            "tcp": lambda doc: (doc["status"], doc["open"], doc["address"], doc["samples"],
                                doc["avg_ms"], doc["min_ms"], doc["max_ms"])
            == ("timeout", False, None, [None], None, None, None),
            "http": lambda doc: (doc["reachable"], doc["connect_ms"], doc["status"],
                                 doc["note"]) == (False, None, None, "dns resolution timed out"),
        }
        for kind, query in [("dns", "action=dns&host=silent.test"),
                            ("tcp", "action=tcp&host=silent.test&port=80"),
                            ("http", "action=http&url=http://silent.test/")]:
            with self.subTest(kind):
                r = self.ns.plugin(query)
                doc = self.doc(r, kind)
                self.assertTrue(timed_out[kind](doc), r.body)
                if kind == "dns" and r.wall_steady:
                    self.assertTrue(2900 <= doc["latency_ms"] <= 3500, doc["latency_ms"])
                # The abandoned lookup must not hold the process open; left
                # alone it would run to the resolver's own 5 s. The time is
                # the whole process's, start and exit included, which under
                # Wine take some tenths of a second, more on a busy machine:
                # the same margin as the connect timeout's below.
                self.assertTrue(2.9 <= r.elapsed <= 4.5, r.elapsed)
                print("\n  %s: resolver deadline: process ran %.3f s" % (kind, r.elapsed),
                      file=sys.stderr)
                # The wait was for our server, not for some local failure.
                self.asked("silent")

    @unittest.skipIf(UNDER_WINE, "a Windows worker is a thread, which ends with its process")
    def test_a_stalled_lookup_ends_with_the_plugin_or_its_worker(self):
        # A host that gives up on the plug-in ends it: its worker, waiting on
        # the silent server, ends with it, or it would hold the host's pipes
        # open. A worker that ends on its own is no timeout: the reply says
        # so at once.
        for query, blow in (("action=tcp&host=silent.test&port=80", Interrupt(1.0, signal.SIGTERM)),
                            ("action=dns&host=silent.test", Interrupt(1.0, signal.SIGKILL, True))):
            with self.subTest(query):
                r = self.ns.plugin(query, during=blow)
                self.assertEqual(1, len(blow.children), blow.children)
                self.assertLess(blow.closed_after(r), 0.5)
                if blow.to_child:
                    doc = self.doc(r, "dns")
                    self.assertEqual((False, False, -4), (doc["resolved"], doc["timeout"], doc["code"]))
                else:
                    self.assertEqual((-signal.SIGTERM, b""), (r.rc, r.out))

    def test_resolver_codes(self):
        # Every build reports the resolver's failures as Windows Sockets
        # numbers: a name that does not exist and a name without an address
        # are both 11001, a server failure 11002. Each comes back before the
        # deadline. Each is asked three times: the worker of a lookup that
        # ended must be gone before the process exits, or the sanitizer build
        # sees the C library's resolver state leak (in about one run of five).
        for label, code in (("nxdomain", 11001), ("nodata", 11001), ("servfail", 11002)) * 3:
            with self.subTest(label):
                doc = self.doc(self.ns.plugin("action=dns&host=%s.test" % label), "dns")
                self.assertEqual(("%s.test" % label, False, False, code, [], 0),
                                 (doc["host"], doc["resolved"], doc["timeout"], doc["code"],
                                  doc["results"], doc["count"]))
                self.asked(label)

    def test_dns_writes_sixteen_of_twenty_system_records(self):
        # The order getaddrinfo gives (it sorts the addresses), asked the
        # same way inside the same namespace. Two records show both: none
        # is lost between the resolver and the reply.
        for host, addresses, shown in (("many.test", MANY, 16), ("pair.test", PAIR, 2)):
            with self.subTest(host):
                order = json.loads(self.ns.sh(*self.ns.inside(
                    sys.executable, "-c",
                    "import json, socket; print(json.dumps([a[4][0] for a in "
                    "socket.getaddrinfo(%r, None, 0, socket.SOCK_STREAM)]))" % host)))
                self.assertEqual(sorted(addresses), sorted(order))
                doc = self.doc(self.ns.plugin("action=dns&host=" + host), "dns")
                self.assertTrue(doc["resolved"])
                self.assertEqual(shown, doc["count"])
                self.assertEqual(order[:shown], [e["address"] for e in doc["results"]])
                self.assertEqual(["inet6" if ":" in a else "inet" for a in order[:shown]],
                                 [e["family"] for e in doc["results"]])

    def test_adapter_table(self):
        links = self.ns.links()
        self.assertIn("LOWER_UP", links["v0"]["flags"])
        self.assertIn("UP", links["v1p"]["flags"])
        self.assertIn("NO-CARRIER", links["v1p"]["flags"])
        self.assertNotIn("UP", links["v1"]["flags"])

        def row(name, address, family, netmask, loopback, up):
            return {"name": name, "address": address, "family": family, "netmask": netmask,
                    "broadcast": None, "loopback": loopback, "up": up, "running": up}

        rows = {
            "lo": [row("lo", "127.0.0.1", 4, "255.0.0.0", True, True),
                   row("lo", "::1", 6, None, True, True)],
            "v0": [row("v0", "192.0.2.1", 4, "255.255.255.0", False, True),
                   row("v0", "198.51.100.0", 4, "255.255.255.254", False, True),
                   row("v0", "2001:db8::1", 6, None, False, True)],
            "v1": [row("v1", "203.0.113.7", 4, None, False, False)],
            "v1p": [row("v1p", "203.0.113.8", 4, None, False, False)],
        }
        if UNDER_WINE:
            # Wine's adapter table takes an adapter's operational state from
            # the interface's up flag alone (the carrier is reported apart),
            # so v1p, up without a carrier, is up there. It also lists an
            # adapter's IPv6 addresses before its IPv4 ones. The plug-in
            # reports what the table says either way.
            rows["v1p"] = [row("v1p", "203.0.113.8", 4, None, False, True)]
            rows = {n: sorted(rs, key=lambda r: r["family"] == 4) for n, rs in rows.items()}
        # Adapters come in the order the system lists its interfaces, each
        # named as the system names it.
        order = sorted(links, key=lambda n: links[n]["ifindex"])
        expect = [r for name in order for r in rows.get(name, [])]
        doc = self.doc(self.ns.plugin("action=ifaces"), "ifaces")
        self.assertEqual(expect, doc["interfaces"])
        self.assertEqual(len(expect), doc["count"])
        self.assertEqual(["127.0.0.1", "::1"], doc["nameservers"])
        self.assertEqual(2, doc["nameserver_count"])
        # Behind resolved's stub (127.0.0.53, or .54) alone, the servers resolved itself
        # uses; anywhere else the configured ones. Windows reads neither file.
        for resolv, upstream, listed in [] if UNDER_WINE else [
                (STUB + "nameserver 127.0.0.54\n", UPSTREAM, UPSTREAM.split()[1::2]),
                ("nameserver 127.0.0.54", "nameserver 192.0.2.7\n", ["192.0.2.7"]),
                (STUB, "-", ["127.0.0.53"]), (STUB, "/", ["127.0.0.53"]),
                (STUB, "# No DNS servers known.\n", ["127.0.0.53"]),
                (STUB + "nameserver 2001:db8::1\n", UPSTREAM, ["127.0.0.53", "2001:db8::1"]),
                ("nameserver 127.0.0.1\n", UPSTREAM, ["127.0.0.1"]),
                (STUB, MESSY, ["192.0.2.1", "192.0.2.2", "fe80::1", "fe80::2", "2001:db8::3"] +
                 ["192.0.2.%d" % i for i in range(10, 21)])]:
            with self.subTest(resolv=resolv, upstream=upstream[:40]):
                r = self.ns.plugin("action=ifaces", before=RESOLVER_FILES + [resolv, upstream])
                doc = self.doc(r, "ifaces")
                self.assertEqual((listed, len(listed)), (doc["nameservers"], doc["nameserver_count"]))

    @unittest.skipUnless(NFT, "the nft command (nftables) is not installed")
    def test_tcp_samples_of_mixed_outcomes(self):
        # Samples that are not all alike. A range is a measured sample in
        # ms; None is a null sample. The statistics come from the measured
        # samples alone, the address only from the last attempt, and a
        # timed-out sample ends the sampling whatever came before.
        quick, second = (0, 900), (900, 2500)
        table = [
            # port, status, address, samples, the process's time in s
            (DROPPED_PORT, "timeout", None, [None], (2.9, 4.5)),
            # Refused, three times, which a wait to the time limit would have
            # made a timeout.
            (REFUSED_PORT, "closed", None, [None, None, None], (0, 2.5)),
            (FIRST_DROPPED, "open", "127.0.0.1", [second, quick, quick], (0.9, 2.5)),
            (FIRST_ONLY, "timeout", None, [quick, None], (2.9, 4.5)),
            (FIRST_ONLY_RESET, "open", None, [quick, None, None], (0, 2.5)),
            # No sample near 0: the smallest is a measured one, not a start.
            (EACH_FIRST_DROPPED, "open", "127.0.0.1", [second] * 3, (2.7, 4.5)),
        ]
        env = {"TARVIK_MOCK_DNS": "drop.test=127.0.0.1"}
        for port, status, address, samples, (least, most) in table:
            with self.subTest(port=port, status=status):
                r = self.ns.plugin("action=tcp&host=drop.test&port=%d" % port, env=env)
                doc = self.doc(r, "tcp")
                self.assertEqual((status, status == "open", address),
                                 (doc["status"], doc["open"], doc["address"]), r.body)
                got = doc["samples"]
                self.assertEqual([s is None for s in samples], [g is None for g in got], r.body)
                for want, g in zip(samples, got):
                    if want is not None:
                        self.assertTrue(want[0] <= g <= want[1], r.body)
                measured = [g for g in got if g is not None]
                if measured:
                    avg = re.search(rb'"avg_ms":([^,]+),', r.body).group(1)
                    self.assertEqual(b"%.2f" % (sum(measured) / len(measured)), avg)
                    self.assertEqual((min(measured), max(measured)),
                                     (doc["min_ms"], doc["max_ms"]))
                else:
                    self.assertEqual([None] * 3, [doc["avg_ms"], doc["min_ms"], doc["max_ms"]])
                self.assertTrue(least <= r.elapsed <= most, r.elapsed)
                print("\n  tcp port %d: %s, process ran %.3f s" % (port, got, r.elapsed),
                      file=sys.stderr)

if __name__ == "__main__":
    # A run stopped from outside still ends in the clean-up.
    signal.signal(signal.SIGTERM, stopped)
    main()
