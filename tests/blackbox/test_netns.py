"""The real resolver, adapter table and connect timeout, each inside a
network namespace of its own. `ip netns exec` binds the files of
/etc/netns/NAME over /etc, so every namespace gets its own resolv.conf (and
hosts file). Only loopback and documentation addresses are used, and nothing
leaves the namespace. Linux only, as root."""
import json
import os
import secrets
import select
import shutil
import signal
import subprocess
import sys
import time
import unittest

from tarvik import JSON_HEAD, PLATFORM, ROOT, Reply, base_env, is_root, main

IP = shutil.which("ip") or next((p for p in ("/usr/sbin/ip", "/sbin/ip") if os.path.exists(p)), None)
NFT = shutil.which("nft") or next((p for p in ("/usr/sbin/nft", "/sbin/nft") if os.path.exists(p)), None)
PLUGIN = os.path.join(ROOT, "build/linux/plugin_tarvik")


def why_not():
    if PLATFORM == "windows":
        return "network namespaces exist only on the Linux build"
    if not is_root():
        return "network namespaces need root"
    if not IP:
        return "the ip command (iproute2) is not installed"
    return None


# A name server that never answers: it takes every query and says nothing.
SILENT_SERVER = r"""
import os, socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53))
os.write(1, b"ready\n")
while True:
    s.recvfrom(4096)
    os.write(1, b"q\n")
"""

# A name server that answers every query with NXDOMAIN (RCODE 3), the
# question echoed, nothing else.
NXDOMAIN_SERVER = r"""
import os, socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53))
os.write(1, b"ready\n")
while True:
    q, peer = s.recvfrom(4096)
    if len(q) < 17:
        continue
    end = 12
    while end < len(q) and q[end]:
        end += 1 + q[end]
    flags = bytes([0x80 | (q[2] & 0x79), 0x80 | 3])
    s.sendto(q[:2] + flags + b"\x00\x01\x00\x00\x00\x00\x00\x00" + q[12:end + 5], peer)
    os.write(1, b"q\n")
"""


class Helper:
    """A process run inside the namespace that says "ready" once it serves."""

    def __init__(self, argv):
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        self.seen = b""
        deadline = time.monotonic() + 10
        while b"ready\n" not in self.seen:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.proc.stdout], [], [], left)[0]:
                raise RuntimeError("helper did not start")
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                raise RuntimeError("helper ended before it was ready")
            self.seen += chunk

    def stop(self):
        """Ends the helper (and anything it started); returns what it wrote."""
        if self.proc.stdout.closed:
            return self.seen
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        while select.select([self.proc.stdout], [], [], 0)[0]:
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                break
            self.seen += chunk
        self.proc.stdout.close()
        return self.seen


class Namespace:
    """A fresh namespace with lo up and its own /etc files; removed, with
    every helper process, whatever happens in between."""

    def __init__(self, resolv="", **etc_files):
        self.name = "tvk-" + secrets.token_hex(4)
        self.etc = os.path.join("/etc/netns", self.name)
        self.files = dict(etc_files, **{"resolv.conf": resolv})
        self.helpers = []
        self.made_netns_dir = not os.path.isdir("/etc/netns")

    def __enter__(self):
        try:
            os.makedirs(self.etc)
            for name, text in self.files.items():
                with open(os.path.join(self.etc, name), "w") as f:
                    f.write(text)
            self.sh(IP, "netns", "add", self.name)
            self.ip("link", "set", "lo", "up")
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            for h in self.helpers:
                try:
                    h.stop()
                except Exception:
                    pass
        finally:
            try:
                subprocess.run([IP, "netns", "del", self.name], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=30, check=False)
            finally:
                shutil.rmtree(self.etc, ignore_errors=True)
                if self.made_netns_dir:
                    try:
                        os.rmdir("/etc/netns")
                    except OSError:
                        pass

    @staticmethod
    def sh(*argv, stdin=None):
        r = subprocess.run(argv, input=stdin, capture_output=True, timeout=30)
        if r.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(argv), r.stderr.decode(errors="replace")))
        return r.stdout

    def ip(self, *args):
        return self.sh(IP, "-n", self.name, *args)

    def inside(self, *argv):
        return [IP, "netns", "exec", self.name] + list(argv)

    def helper(self, script):
        h = Helper(self.inside(sys.executable, "-c", script))
        self.helpers.append(h)
        return h

    def plugin(self, query, env=None, timeout=30):
        """Runs the real executable in the namespace; the elapsed time is that
        of the whole process, from start to exit."""
        e = base_env()
        e["QUERY_STRING"] = query
        e.update(env or {})
        wall, t0 = time.time(), time.monotonic()
        proc = subprocess.run(self.inside(PLUGIN), env=e, capture_output=True,
                              timeout=timeout, stdin=subprocess.DEVNULL)
        r = Reply(proc, time.monotonic() - t0)
        # Latencies in the documents come from the wall clock, which may be
        # stepped while the process runs; they are only judged when it was not.
        r.wall_steady = abs((time.time() - wall) - r.elapsed) < 0.05
        return r


@unittest.skipIf(why_not(), why_not())
class InNamespace(unittest.TestCase):
    def doc(self, r):
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual(b"", r.err)
        self.assertTrue(r.out.startswith(JSON_HEAD), r.out[:200])
        return r.doc()

    def test_dns_deadline_against_a_silent_server(self):
        # Left alone, the system resolver waits 5 s twice for this server.
        with Namespace("nameserver 127.0.0.1\n") as ns:
            server = ns.helper(SILENT_SERVER)
            r = ns.plugin("action=dns&host=unknown-name.test")
            doc = self.doc(r)
            self.assertEqual((False, True, None, [], 0),
                             (doc["resolved"], doc["timeout"], doc["code"], doc["results"],
                              doc["count"]))
            if r.wall_steady:
                self.assertTrue(2900 <= doc["latency_ms"] <= 3500, doc["latency_ms"])
            # The abandoned lookup must not hold the process open.
            self.assertTrue(2.9 <= r.elapsed <= 3.5, r.elapsed)
            print("\n  dns deadline: process ran %.3f s, latency_ms %d"
                  % (r.elapsed, doc["latency_ms"]), file=sys.stderr)
            # The wait was for our server, not for some local failure.
            self.assertIn(b"q\n", server.stop())

    def test_nxdomain(self):
        with Namespace("nameserver 127.0.0.1\n") as ns:
            server = ns.helper(NXDOMAIN_SERVER)
            r = ns.plugin("action=dns&host=unknown-name.test")
            doc = self.doc(r)
            self.assertEqual((False, False, 11001, [], 0),
                             (doc["resolved"], doc["timeout"], doc["code"], doc["results"],
                              doc["count"]))
            self.assertLess(r.elapsed, 2.0)
            self.assertIn(b"q\n", server.stop())

    def test_dns_writes_sixteen_of_twenty_system_records(self):
        # The mock table stops at 16 addresses itself, so the check's own cap
        # is only reached through a system list: 20 lines in the hosts file.
        addrs = ["192.0.2.%d" % i for i in range(1, 11)] + ["2001:db8::%x" % i for i in range(1, 11)]
        hosts = "".join("%s many.test\n" % a for a in addrs)
        with Namespace("nameserver 127.0.0.1\n", hosts=hosts) as ns:
            # The order getaddrinfo gives (it sorts the addresses), asked the
            # same way inside the same namespace.
            order = json.loads(ns.sh(*ns.inside(
                sys.executable, "-c",
                "import json, socket; print(json.dumps([a[4][0] for a in "
                "socket.getaddrinfo('many.test', None, 0, socket.SOCK_STREAM)]))")))
            self.assertEqual(sorted(addrs), sorted(order))
            doc = self.doc(ns.plugin("action=dns&host=many.test"))
            self.assertTrue(doc["resolved"])
            self.assertEqual(16, doc["count"])
            self.assertEqual(order[:16], [e["address"] for e in doc["results"]])
            self.assertEqual(["inet6" if ":" in a else "inet" for a in order[:16]],
                             [e["family"] for e in doc["results"]])

    def test_adapter_table(self):
        # An interface counts as up only when it is up and running (has a
        # carrier). A veth end has a carrier only while its peer is up, so
        # the up interface v0 gets a peer v0p that is up too (and has no
        # address), while v1 stays down; its peer v1p is set up but, with v1
        # down, has no carrier, which must read as down. Automatic IPv6
        # link-local addresses are turned off so that only ours show.
        resolv = "nameserver 192.0.2.53\nnameserver 2001:db8::53\nnameserver 192.0.2.53\n"
        with Namespace(resolv) as ns:
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
            links = {l["ifname"]: l for l in json.loads(ns.ip("-j", "link", "show"))}
            deadline = time.monotonic() + 5
            while "LOWER_UP" not in links["v0"]["flags"] and time.monotonic() < deadline:
                time.sleep(0.05)
                links = {l["ifname"]: l for l in json.loads(ns.ip("-j", "link", "show"))}
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
            # Adapters come in the order the system lists its interfaces.
            order = sorted(links, key=lambda n: links[n]["ifindex"])
            expect = [r for name in order for r in rows.get(name, [])]
            doc = self.doc(ns.plugin("action=ifaces"))
            self.assertEqual(expect, doc["interfaces"])
            self.assertEqual(len(expect), doc["count"])
            self.assertEqual(["192.0.2.53", "2001:db8::53"], doc["nameservers"])
            self.assertEqual(2, doc["nameserver_count"])

    @unittest.skipUnless(NFT, "the nft command (nftables) is not installed")
    def test_tcp_connect_timeout(self):
        port = 4747
        rules = ("table inet filter {\n chain output {\n"
                 "  type filter hook output priority 0; policy accept;\n"
                 "  tcp dport %d tcp flags & (syn | ack) == syn drop\n }\n}\n" % port)
        with Namespace() as ns:
            ns.sh(*ns.inside(NFT, "-f", "-"), stdin=rules.encode())
            env = {"TARVIK_MOCK_DNS": "drop.test=127.0.0.1"}
            r = ns.plugin("action=tcp&host=drop.test&port=%d" % port, env=env)
            doc = self.doc(r)
            self.assertEqual(("timeout", False, None, [None], None, None, None),
                             (doc["status"], doc["open"], doc["address"], doc["samples"],
                              doc["avg_ms"], doc["min_ms"], doc["max_ms"]))
            # One wait of 3 s, then sampling stops.
            self.assertTrue(2.9 <= r.elapsed <= 4.5, r.elapsed)
            print("\n  tcp connect timeout: process ran %.3f s" % r.elapsed, file=sys.stderr)
            # The neighbouring port is not dropped: refused at once.
            r = ns.plugin("action=tcp&host=drop.test&port=%d" % (port + 1), env=env)
            doc = self.doc(r)
            self.assertEqual(("closed", [None, None, None]), (doc["status"], doc["samples"]))
            self.assertLess(r.elapsed, 2.0)


if __name__ == "__main__":
    main()
