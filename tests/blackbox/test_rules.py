"""The rule tables (tests/harness/rules) against the build: every row's reply
must be its expected bytes once masked. On a target other than the native
one, seeded random rows run through the target's build and the native
build (build/linux/plugin_tarvik, or TARVIK_LINUX_EXE) too, and the two
replies must be the same bytes once masked. A random row may name any host:
as root they run in a network namespace of the suite's own, with nothing
but loopback, no name server and host names looked up only in files and
DNS; without root with TARVIK_MOCK_TIMEOUT=1."""
import atexit
import os
import signal
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from harness import ROOT, RUN, TARGET, UNDER_WINE, base_env, json_reply, main, run_argv
from harness.netns import NSSWITCH, Namespace, stopped, why_not as no_namespace
from harness.rules import masked, seeded, start_peers, tables, with_ports

LINUX = os.environ.get("TARVIK_LINUX_EXE", os.path.join(ROOT, "build/linux/plugin_tarvik"))


def once(argv, row, env=None):
    e = dict(env or base_env())
    if row.query is not None:
        e["QUERY_STRING"] = row.query
    if row.method is not None:
        e["REQUEST_METHOD"] = row.method
    e.update(row.env)
    return run_argv(argv + row.args, e, 120)[0]


def show(out, at=0, limit=1500):
    """out, or of a long out the part around byte at."""
    if len(out) <= limit:
        return repr(out)
    start = max(0, at - limit // 3)
    return "(%d bytes; from byte %d) %r" % (len(out), start, out[start:start + limit])


def compare(row, proc, want, nameservers):
    """None, or what is wrong with one run whose output should be want."""
    if (proc.returncode, proc.stderr) != (0, b""):
        return "%r\n  exit %d, stderr %s" % (row, proc.returncode, show(proc.stderr))
    got = masked(proc.stdout, nameservers)
    if want is ...:
        return "%r\n  no expected bytes; the reply (masked): %r" % (row, got)
    if got != want:
        at = next((i for i, (x, y) in enumerate(zip(got, want)) if x != y),
                  min(len(got), len(want)))
        return "%r\n  differs at byte %d (masked)\n  want: %s\n  got:  %s" % (
            row, at, show(want, at), show(got, at))
    try:
        json_reply(proc.stdout)
    except AssertionError as e:
        return "%r\n  %s" % (row, e)
    return None


class Rules(unittest.TestCase):
    def check(self, problems, count, what, t0):
        print("\n%s: %d rows on %s in %.1f s" % (what, count, TARGET.name, time.monotonic() - t0),
              file=sys.stderr)
        if problems:
            self.fail("%d of %d rows fail (the first %d shown):\n\n%s"
                      % (len(problems), count, min(10, len(problems)), "\n\n".join(problems[:10])))

    def test_tables(self):
        t0 = time.monotonic()
        made, ports = start_peers()
        try:
            rows = [with_ports(row, ports) for row in tables()]
            with ThreadPoolExecutor(TARGET.parallel) as pool:
                procs = list(pool.map(lambda row: once(RUN, row), rows))
        finally:
            for peer in made.values():
                peer.close()
        problems = [why for row, proc in zip(rows, procs)
                    for why in [compare(row, proc, row.expected, True)] if why]
        self.check(problems, len(rows), "rule tables", t0)

    @unittest.skipIf(TARGET.name == "linux", "seeded rows compare another target with linux")
    def test_seeded_rows_match_the_native_build(self):
        if not os.access(LINUX, os.X_OK):
            self.fail("the native build is missing: %s" % LINUX)
        t0 = time.monotonic()
        rows = seeded.rows()
        ns = None
        if no_namespace():
            # No namespace: no lookup may reach the resolver at all.
            for row in rows:
                row.env["TARVIK_MOCK_TIMEOUT"] = "1"
            env, inside = base_env(), lambda *argv: list(argv)
        else:
            ns = Namespace("nameserver 127.0.0.1\n", **{"nsswitch.conf": NSSWITCH})
            self.addCleanup(ns.close)
            atexit.register(ns.close)
            ns.__enter__()
            if UNDER_WINE:
                ns.start_wine()
            env, inside = ns.env, ns.inside
        with ThreadPoolExecutor(TARGET.parallel) as pool:
            native = list(pool.map(lambda row: once(inside(LINUX), row, env), rows))
            target = list(pool.map(lambda row: once(inside(*RUN), row, env), rows))
        problems = [why for row, a, b in zip(rows, native, target)
                    for why in [compare(row, a, None, False) if a.returncode or a.stderr else
                                compare(row, b, masked(a.stdout), False)] if why]
        self.check(problems, len(rows), "seeded rows%s" % ("" if ns else " (no namespace)"), t0)


if __name__ == "__main__":
    # A run stopped from outside still removes the namespace.
    signal.signal(signal.SIGTERM, stopped)
    main()
