"""Faults around the plug-in: a client that leaves in the middle of a reply,
a closed or broken standard output, oversized and random query strings,
every request parameter at and around its capacity, a peer that sends an
endless line, a wall clock that cannot be read, and a non-blocking standard
input. Each run ends with status 0, writes nothing on standard error, and
does not hang."""
import calendar
import fcntl
import itertools
import os
import random
import signal
import socket
import struct
import subprocess
import threading
import time
import unittest
import urllib.parse
import urllib.request

from harness import (fronts, peers, JSON_HEAD, PLATFORM, REFUSAL, ROOT, RUN, TARGET, Case, Interrupt,
                     base_env, main, retried_once, run_argv, start, validated)

ERRORS = {"unknown action", "host required", "invalid host", "port required",
          "invalid port", "url required", "invalid url"}
MOCK = {"TARVIK_MOCK_DNS": "fault.test=192.0.2.9"}
OFFLINE = {"TARVIK_MOCK_TIMEOUT": "1"}  # no resolution leaves the machine


def spawn(query, env=None, stdout=subprocess.PIPE, shell=None, timeout=30):
    """One run with stdout as given; shell wraps the command in sh -c."""
    e = base_env()
    e["QUERY_STRING"] = query
    e.update(env or {})
    cmd = ["sh", "-c", shell, "sh"] + RUN if shell else RUN
    p, _, elapsed = run_argv(cmd, e, timeout, stdout=stdout)
    return p, elapsed


def parse_reply(out):
    """Splits a CGI reply and checks that it is whole: a header block of
    name: value lines, then a JSON document that parses to its end (its
    ok first) or a page that ends as the page ends. Returns (head lines,
    document or None for the page)."""
    head, sep, body = out.partition(b"\r\n\r\n")
    assert sep, out[:200]
    lines = head.split(b"\r\n")
    for line in lines:
        assert b": " in line and b"\n" not in line and b"\r" not in line, line
    if b"Content-Type: text/html; charset=utf-8" in lines:
        assert body.startswith(b"<!DOCTYPE html>") and body.endswith(b"</body></html>\n"), body[-80:]
        return lines, None
    assert b"Content-Type: application/json; charset=utf-8" in lines, head
    doc = validated(body)
    assert next(iter(doc)) == "ok", list(doc)[:2]
    if lines[0] == b"Status: 400 Bad Request":
        assert doc == {"ok": False, "error": doc["error"]} and doc["error"] in ERRORS, doc
    elif lines[0].startswith(b"Status:"):
        assert out == REFUSAL, out
    else:
        assert out.startswith(JSON_HEAD) and doc["ok"] is True, out[:200]
    return lines, doc


class Reply(Case):
    def whole(self, query, env=None, timeout=30):
        p, elapsed = spawn(query, env, timeout=timeout)
        self.assertEqual((0, b""), (p.returncode, p.stderr), query[:80])
        try:
            return parse_reply(p.stdout)[1], elapsed
        except (AssertionError, ValueError) as e:
            self.fail("%r: %s" % (query[:80], e))


# A peer that answers and keeps whatever else the client sends until it closes.
heard = peers.hold(b"HTTP/1.1 200 OK\r\nA: b\r\n\r\n")


def spawn_reader(query, env, nbytes):
    """One run whose standard output is a small pipe: read nbytes of it and
    close it, or (nbytes None) close its read end before the run starts."""
    e = base_env()
    e["QUERY_STRING"] = query
    e.update(env)
    if nbytes is None:
        r, w = os.pipe()
        os.close(r)
        try:
            return run_argv(RUN, e, 30, stdout=w)[0]
        finally:
            os.close(w)

    def attempt():
        r, w = os.pipe()
        # One page of pipe, set before the run starts: a long reply is still
        # being written when the reader goes.
        fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, 4096)

        def read_and_go(_):
            os.close(w)
            with os.fdopen(r, "rb", buffering=0) as reader:
                reader.read(nbytes)
        return start(RUN, e, 30, stdout=w, during=read_and_go)
    return retried_once(attempt, [query, nbytes])


class BrokenOutput(Reply):
    """Standard output closed, or a pipe nobody reads any more."""

    def each(self, how, run):
        with peers.Peer(heard) as listener, peers.Peer(heard) as web:
            queries = [("", {}), ("action=info", {}), ("action=bogus", {}),
                       ("action=ifaces", {}), ("action=dns&host=fault.test", MOCK),
                       ("action=tcp&host=127.0.0.1&port=%d" % listener.port, {}),
                       ("action=http&url=http://127.0.0.1:%d/out" % web.port, {})]
            for query, env in queries:
                with self.subTest(how=how, query=query):
                    p = run(query, env)
                    self.assertEqual((0, b""), (p.returncode, p.stderr))
            # With standard output closed a socket may take its number; no
            # byte of the reply may reach a peer that way.
            deadline = time.monotonic() + 10
            while len(listener.received) + len(web.received) < 4 and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual([b"HEAD /out HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              b"User-Agent: quorvex-morv-tarvik/1.0\r\nAccept: */*\r\n"
                              b"Connection: close\r\n\r\n"], web.received)
            self.assertEqual([b""] * 3, listener.received)

    def test_stdout_closed(self):
        self.each("closed", lambda q, e: spawn(q, e, stdout=None, shell='exec "$@" >&-')[0])

    def test_reader_gone_before(self):
        self.each("no reader", lambda q, e: spawn_reader(q, e, None))

    def test_reader_gone_after_a_few_bytes(self):
        self.each("reader leaves", lambda q, e: spawn_reader(q, e, 7))


class OddQueries(Reply):
    def test_64_kib(self):
        big = 64 * 1024
        closed = peers.closed_port()
        for query, env in [("a" * big, {}), ("action=info&" + "x" * big, {}),
                           ("&" * big, {}), ("=" * big, {}), ("%" * big, {}),
                           ("action=" + "%41" * (big // 3), {}),
                           ("action=dns&host=" + "a" * big, OFFLINE),
                           ("action=tcp&port=" + "9" * big + "&host=127.0.0.1", OFFLINE),
                           ("action=http&url=http://127.0.0.1:%d/" % closed + "p" * big, {}),
                           ("action=info&pwd=" + "p" * big, {"MORV_PASSWORD": "p" * 255}),
                           ("action=info&pwd=" + "p" * big, {"MORV_PASSWORD": "pw"})]:
            with self.subTest(query=query[:40], env=env):
                doc, elapsed = self.whole(query, env)
                self.assertLess(elapsed, 20)

    def test_random_bytes(self):
        rnd = random.Random(7)
        prefixes = ["", "action=", "action=dns&host=", "format=json&", "action=tcp&port=80&host=",
                    "action=http&url=http://", "action=http&url=http://127.0.0.1:%d/" % peers.closed_port()]
        for round_ in range(6 if TARGET.slow_start else 20):
            for prefix in prefixes:
                tail = bytes(rnd.randrange(1, 256) for _ in range(rnd.randrange(1, 600)))
                query = os.fsdecode(prefix.encode() + tail)
                with self.subTest(round=round_, prefix=prefix, tail=tail[:40]):
                    self.whole(query, OFFLINE)


class Capacities(Reply):
    """pwd 256, action 64, host 256, port 16 and url 1024 bytes, terminator
    included: at most capacity minus one raw bytes are taken, before any
    percent-decoding."""

    def test_pwd(self):
        accepted = lambda doc: doc is not None and doc["ok"] is True
        p255, p253 = "p" * 255, "p" * 253
        table = [(p255, "pwd=" + p255, True),
                 (p255, "pwd=" + "p" * 254, False),
                 (p255, "pwd=" + p255 + "q", True),     # the 256th byte is never read
                 ("p" * 256, "pwd=" + "p" * 256, False),  # nor can it match
                 (p253, "pwd=" + "p" * 252 + "%70", True),   # 255 raw bytes, decoded
                 (p253, "pwd=" + p253 + "%70", False)]       # cut to ...%7 first
        for secret, query, ok in table:
            with self.subTest(secret=len(secret), query=query[-8:]):
                doc, _ = self.whole("action=info&" + query, {"MORV_PASSWORD": secret})
                self.assertEqual(ok, accepted(doc))
        # A secret longer than the query can carry still works from a header.
        doc, _ = self.whole("action=info", {"MORV_PASSWORD": "p" * 256,
                                            "HTTP_X_MORV_PASSWORD": "p" * 256})
        self.assertTrue(accepted(doc))

    def test_action(self):
        for raw, expect in [("dns%00" + "x" * 57, "host required"),   # 63 bytes
                            ("DNS%00" + "x" * 58, "host required"),   # 64
                            ("dns%00" + "x" * 59, "host required"),   # 65
                            ("x" * 62, "unknown action"), ("x" * 63, "unknown action"),
                            ("x" * 64, "unknown action"), ("info" + "x" * 60, "unknown action"),
                            ("%69nfo", "info")]:
            with self.subTest(raw=raw):
                doc, _ = self.whole("action=" + raw)
                self.assertEqual(expect, doc.get("error", "info" if "plugin" in doc else doc))

    def test_host(self):
        x = "x" * 252
        for raw, expect in [(x + "%41", x + "a"),           # 255 raw bytes, 253 decoded
                            (x + "%41" + "y", x + "a"),     # 256: the y is never read
                            (x + "%41yz", x + "a"),
                            ("x" * 253, "x" * 253),
                            (x + "%4", "invalid host"),     # a cut-short escape stays
                            ("x" * 254, "invalid host"),
                            ("x" * 255 + "%41", "invalid host")]:
            for action in ("dns", "tcp"):
                with self.subTest(action=action, raw=raw[-6:], length=len(raw)):
                    doc, _ = self.whole("action=%s&port=80&host=%s" % (action, raw), OFFLINE)
                    self.assertEqual(expect, doc.get("error") or doc["host"])
                    if "error" not in doc:
                        self.assertTrue(doc["timeout"] if action == "dns" else
                                        doc["status"] == "timeout")

    def test_port(self):
        with peers.Peer() as listener:
            port = str(listener.port)
            for width, expect in [(14, listener.port), (15, listener.port),
                                  (16, listener.port // 10), (17, listener.port // 100)]:
                with self.subTest(width=width):
                    raw = port.rjust(width, "0")
                    doc, _ = self.whole("action=tcp&host=127.0.0.1&port=" + raw)
                    self.assertEqual(expect, doc["port"])
                    if width <= 15:
                        self.assertEqual("open", doc["status"])
            doc, _ = self.whole("action=tcp&host=127.0.0.1&port=" + "0" * 15 + "1")
            self.assertEqual("invalid port", doc["error"])  # cut to fifteen zeros

    def test_url(self):
        closed = peers.closed_port()
        base = "http://127.0.0.1:%d/" % closed
        fill = lambda n: base + "a" * (n - len(base))
        for raw, echoed in [(fill(1022), fill(1022)), (fill(1023), fill(1023)),
                            (fill(1024), fill(1023)), (fill(1023) + "%41", fill(1023)),
                            (fill(1020) + "%41", fill(1020) + "A"),
                            (fill(1021) + "%41", fill(1021) + "%4")]:
            with self.subTest(length=len(raw), tail=raw[-4:]):
                doc, _ = self.whole("action=http&url=" + raw)
                self.assertEqual(echoed, doc["url"])
                self.assertEqual(("/" + "a" * 254, False), (doc["path"], doc["reachable"]))


class Peers(Reply):
    def test_endless_line(self):
        """1 MiB with no line end: the read stops at 2047 bytes, well before
        the read budget, and the document says the headers were cut."""
        for prefix, status in [(b"", None), (b"HTTP/1.1 200 OK\r\n", 200), (b"HTTP/1.1 ", 0)]:
            with peers.Peer(peers.flood(prefix)) as peer, self.subTest(prefix=prefix):
                doc, elapsed = self.whole("action=http&url=http://127.0.0.1:%d/" % peer.port)
                self.assertEqual((True, status, False, 0),
                                 (doc["reachable"], doc["status"], doc["headers_complete"],
                                  doc["body_bytes_read"]))
                self.assertEqual(1 if status == 200 else 0, doc["header_lines"])
                self.assertLess(doc["read_ms"], 2000)
                self.assertLess(elapsed, READ_BUDGET + 2.0)


@unittest.skipUnless(fronts.available(), "lighttpd is not installed")
class ClientLeaves(Case):
    """Clients that close (with a reset) while the reply is on its way."""

    def leave(self, server, path, after):
        s = socket.create_connection(("127.0.0.1", server.port), timeout=20)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.sendall(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path.encode())
        if after:
            s.recv(after)
        else:
            time.sleep(0.25)  # the server has the request and runs the plug-in
        s.close()

    def test_mid_reply(self):
        slow = peers.Peer(peers.answer(b"HTTP/1.1 200 OK\r\n\r\n", delay=0.5))
        server = peers.RecordedServer(MOCK)
        try:
            url = urllib.parse.quote("http://127.0.0.1:%d/" % slow.port, safe="")
            cases = [("/plugin_tarvik", 5), ("/plugin_tarvik", 0),
                     ("/plugin_tarvik?action=info", 3), ("/plugins?action=dns&host=fault.test", 1),
                     ("/plugin_tarvik?action=http&url=" + url, 0)]
            runs = 0
            for _ in range(4):
                for path, after in cases:
                    self.leave(server, path, after)
                    runs += 1
            # Every run ended, with status 0: lighttpd's SIGTERM for a client
            # gone before the reply began goes to the wrapper, the plug-in
            # only finds its pipe closed.
            time.sleep(1)
            self.assertEqual(runs, server.starts())
            self.assertEqual(runs, len(server.statuses(runs)), server.error_log())
            self.assertEqual([], server.failed_runs())
            self.assertEqual(b"", server.stderr())
            # The server and the plug-in behind it are still well.
            with urllib.request.urlopen(server.base + "/plugin_tarvik", timeout=30) as r:
                self.assertTrue(r.read().endswith(b"</body></html>\n"))
            with urllib.request.urlopen(server.base + "/plugin_tarvik?action=info", timeout=30) as r:
                self.assertTrue(validated(r.read())["ok"])
        finally:
            server.stop()
            slow.close()


def install_filter(ops):
    """Installs a seccomp filter of (code, jt, jf, k) instructions."""
    import ctypes
    code = b"".join(struct.pack("=HBBI", *op) for op in ops)
    buf = ctypes.create_string_buffer(code, len(code))
    prog = struct.pack("=HxxxxxxQ", len(ops), ctypes.addressof(buf))
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(38, 1, 0, 0, 0)  # PR_SET_NO_NEW_PRIVS
    if libc.prctl(22, 2, ctypes.c_char_p(prog), 0, 0) != 0:  # PR_SET_SECCOMP, filter
        raise OSError(ctypes.get_errno(), "seccomp filter refused")


ALLOW, REFUSE, KILL = 0x7FFF0000, 0x00050000 | 1, 0x80000000  # refused with EPERM


def refuse_clock_system_call():
    """preexec_fn: a seccomp filter that refuses the clock_gettime system
    call (x86-64 number 228) with EPERM, as a sandbox's policy may. The C
    library reads the clock through the vDSO, which makes no system call."""
    install_filter([(0x20, 0, 0, 4),                # load the architecture
                    (0x15, 0, 3, 0xC000003E),       # not x86-64: allow
                    (0x20, 0, 0, 0),                # load the call's number
                    (0x15, 0, 1, 228),              # clock_gettime:
                    (0x06, 0, 0, REFUSE),           #   refused
                    (0x06, 0, 0, ALLOW)])           # anything else: allow


def no_fork(action):
    """preexec_fn maker: a seccomp filter under which no process can be made
    (fork, vfork, and clone without CLONE_THREAD get action) while a thread
    still can (clone3 says ENOSYS, and the C library falls back to clone)."""
    return lambda: install_filter([
        (0x20, 0, 0, 4),                # load the architecture
        (0x15, 0, 7, 0xC000003E),       # not x86-64: allow
        (0x20, 0, 0, 0),                # load the call's number
        (0x15, 7, 0, 435),              # clone3: ENOSYS
        (0x15, 5, 0, 57),               # fork
        (0x15, 4, 0, 58),               # vfork
        (0x15, 0, 2, 56),               # clone, unless for a thread
        (0x20, 0, 0, 16),               # load its flags
        (0x45, 0, 1, 0x10000),          # CLONE_THREAD
        (0x06, 0, 0, ALLOW),
        (0x06, 0, 0, action),
        (0x06, 0, 0, 0x00050000 | 38)])


def native_x86_64():
    """The executable runs here as it stands, an x86-64 ELF, with no runner."""
    try:
        with open(RUN[0], "rb") as f:
            head = f.read(20)
    except OSError:
        return False
    return len(RUN) == 1 and head[:4] == b"\x7fELF" and head[18:20] == b"\x3e\x00"


# The library (tests/blackbox/clock_refused.cpp, built for the target) whose
# clock_gettime refuses CLOCK_REALTIME.
CLOCK_REFUSED = os.environ.get("TARVIK_CLOCK_REFUSED") or \
    os.path.join(ROOT, "build/linux/tests/libclock_refused.so")
EPOCH = "1970-01-01T00:00:00Z"
READ_BUDGET = 2.0  # seconds: the http check's receive timeout


def clock_refused(fault=""):
    """The environment that preloads it into the plug-in, with its
    TARVIK_CLOCK_FAULT: under qemu-user in the guest's own environment,
    which the emulator's loader never sees. A sanitizer build's runtime then
    no longer comes first, which it allows."""
    guest = {"LD_PRELOAD": CLOCK_REFUSED, "TARVIK_CLOCK_FAULT": fault}
    if TARGET.name.startswith("arm64"):  # both arm64 rows run under qemu-user
        return {"QEMU_SET_ENV": ",".join("%s=%s" % kv for kv in guest.items())}
    return dict(guest, ASAN_OPTIONS="verify_asan_link_order=0")


class ClockRefused(Reply):
    @unittest.skipUnless(native_x86_64(), "the filter is written for an x86-64 executable run natively")
    def test_stamp_is_the_time_when_the_system_call_is_refused(self):
        e = base_env()
        e["QUERY_STRING"] = "action=info"
        before = int(time.time())
        p = run_argv(RUN, e, 30, preexec_fn=refuse_clock_system_call)[0]
        after = int(time.time())
        self.assertEqual((0, b""), (p.returncode, p.stderr))
        stamp = parse_reply(p.stdout)[1]["generated_at"]
        t = calendar.timegm(time.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ"))
        self.assertTrue(before <= t <= after, (before, stamp, after))

    @unittest.skipIf(PLATFORM == "windows", "the Windows wall clock (GetSystemTimeAsFileTime) "
                     "cannot fail")
    def test_unreadable_clock_makes_up_no_duration_and_no_status(self):
        """Every duration is null rather than a number measured by nothing,
        a connect that succeeded still counts, an answer that arrived at
        once is read whole, and a wait after it still ends at the read
        budget. The stamp's type allows no null: it shows the epoch."""
        if not os.path.exists(CLOCK_REFUSED):
            self.fail("the clock-refusing library is missing: %s" % CLOCK_REFUSED)
        at_once = peers.Peer(peers.answer(b"HTTP/1.1 204 No Content\r\nX-Seen: 1\r\n\r\n"))
        silent = peers.Peer(peers.hold(b"HTTP/1.1 200 OK\r\n"))

        def status_then_drip(conn, got):
            peers.take(conn, got)
            conn.sendall(b"HTTP/1.1 200 OK\r\n")
            for byte in b"X-Slow: 1\r\n" * 3:
                time.sleep(0.3)
                conn.sendall(bytes([byte]))
        dripping = peers.Peer(status_then_drip)
        listener, closed = peers.Peer(), peers.closed_port()
        nulls = {"samples": [None] * 3, "avg_ms": None, "min_ms": None, "max_ms": None}
        answered = {"reachable": True, "connect_ms": None, "read_ms": None}
        table = [
            ("action=info", {}, {}),
            ("action=ifaces", {"TARVIK_MOCK_IFACES": "e0|192.0.2.1|24|up"}, {"count": 1}),
            ("action=dns&host=fault.test", MOCK, {"resolved": True, "latency_ms": None}),
            ("action=dns&host=fault.test", OFFLINE, {"timeout": True, "latency_ms": None}),
            ("action=tcp&host=127.0.0.1&port=%d" % listener.port, {},
             dict(nulls, open=True, status="open", address="127.0.0.1")),
            ("action=tcp&host=127.0.0.1&port=%d" % closed, {},
             dict(nulls, open=False, status="closed", address=None)),
            ("action=tcp&host=fault.test&port=80", OFFLINE,
             {"status": "timeout", "samples": [None], "avg_ms": None}),
            ("action=http&url=http://127.0.0.1:%d/" % at_once.port, {},
             dict(answered, status=204, status_text="No Content", header_lines=1,
                  headers_complete=True)),
            # The status line came at once; the wait for more ends at the
            # receive timeout, and the read with it.
            ("action=http&url=http://127.0.0.1:%d/" % silent.port, {},
             dict(answered, status=200, status_text="OK", header_lines=0,
                  headers_complete=False)),
            # Bytes that keep coming after it: one is taken, then the read
            # ends, long before the peer would.
            ("action=http&url=http://127.0.0.1:%d/" % dripping.port, {},
             dict(answered, status=200, status_text="OK", header_lines=1,
                  headers_complete=False)),
            ("action=http&url=https://127.0.0.1:%d/" % listener.port, {},
             {"reachable": True, "connect_ms": None, "status": None}),
            ("action=http&url=http://127.0.0.1:%d/" % closed, {},
             {"reachable": False, "connect_ms": None}),
        ]
        try:
            for query, env, want in table:
                with self.subTest(query=query, env=env):
                    doc, elapsed = self.whole(query, dict(env, **clock_refused()))
                    self.assertEqual(dict(want, generated_at=EPOCH),
                                     {k: doc.get(k, "(absent)") for k in list(want) + ["generated_at"]})
                    if query.endswith("%d/" % silent.port):
                        self.assertGreaterEqual(elapsed, READ_BUDGET - 0.1)
                    self.assertLess(elapsed, READ_BUDGET + 2.0)
        finally:
            for peer in (at_once, silent, dripping, listener):
                peer.close()


    @unittest.skipIf(PLATFORM == "windows", "the library is preloaded into Linux builds")
    def test_wall_clock_steps_bend_no_figure(self):
        """The wall clock jumps an hour further at every reading, back or
        forward: every figure is what a monotonic clock measured, and the
        read budget against a peer that drips ends on time."""
        listener, at_once = peers.Peer(), peers.Peer(peers.answer(b"HTTP/1.1 204 No\r\n\r\n"))
        drip = peers.Peer(peers.drip(b"HTTP/1.1 200 OK\r\n" + b"X: 1\r\n" * 20, every=0.5))
        quick, budget = range(1000), range(int(READ_BUDGET * 1000) - 100, int(READ_BUDGET * 1000) + 1000)
        table = [("action=dns&host=fault.test", MOCK, {"latency_ms": quick}),
                 ("action=tcp&host=127.0.0.1&port=%d" % listener.port, {}, {"max_ms": quick}),
                 ("action=http&url=http://127.0.0.1:%d/" % at_once.port, {},
                  {"connect_ms": quick, "read_ms": quick}),
                 ("action=http&url=http://127.0.0.1:%d/" % drip.port, {},
                  {"connect_ms": quick, "read_ms": budget})]
        try:
            for (query, env, want), step in itertools.product(table, (-3600, 3600)):
                with self.subTest(step=step, query=query):
                    doc, elapsed = self.whole(query, dict(env, **clock_refused("step:%d" % step)))
                    self.assertEqual([], [(k, doc[k]) for k in want if doc[k] not in want[k]])
                    self.assertEqual([], [v for v in doc.get("samples", []) if v not in quick])
                    self.assertLess(elapsed, READ_BUDGET + 2.0)
        finally:
            for peer in (listener, at_once, drip):
                peer.close()


class NoProcess(Reply):
    """A sandbox whose filter refuses to make a process, or kills for
    trying: an address literal and a request body need none. A name still
    needs the resolver's worker; refused one, the check says so as before."""

    @unittest.skipUnless(native_x86_64(), "the filter is written for an x86-64 executable run natively")
    def test_literals_and_bodies_need_no_process(self):
        listener, at_once = peers.Peer(), peers.Peer(peers.answer(b"HTTP/1.1 204 No\r\n\r\n"))
        table = [  # filter's action, query, request body, what the reply holds
            (REFUSE, "action=dns&host=localhost", None, {"timeout": False, "code": -4}),
            (REFUSE, "action=dns&host=127.0.0.1", None, {"resolved": True, "count": 1}),
            (KILL, "action=dns&host=::1", None, {"resolved": True, "count": 1}),
            (REFUSE, "action=tcp&host=127.0.0.1&port=%d" % listener.port, None, {"status": "open"}),
            (KILL, "action=tcp&host=127.0.0.1&port=%d" % listener.port, None, {"status": "open"}),
            (KILL, "action=http&url=http://127.0.0.1:%d/" % at_once.port, None, {"status": 204}),
            (REFUSE, "action=info", b"0123456789", {"ok": True}),
            (KILL, "action=info", b"0123456789", {"ok": True})]
        try:
            for action, query, body, want in table:
                with self.subTest(action=hex(action), query=query):
                    # A sanitizer build's leak check needs a process of its own.
                    e, r = dict(base_env(), QUERY_STRING=query, ASAN_OPTIONS="detect_leaks=0"), None
                    if body:
                        e.update(REQUEST_METHOD="POST", CONTENT_LENGTH=str(len(body)))
                        r, w = os.pipe()
                        os.write(w, body)
                        os.close(w)
                    p = run_argv(RUN, e, 30, stdin=r, preexec_fn=no_fork(action))[0]
                    if r is not None:
                        os.close(r)
                    self.assertEqual((0, b""), (p.returncode, p.stderr), query)
                    doc = parse_reply(p.stdout)[1]
                    self.assertEqual(want, {k: doc.get(k) for k in want})
        finally:
            listener.close()
            at_once.close()


BODY_BUDGET = 2.0  # seconds a run waits at most for a body


def fed_nonblocking(env, first, later, after, close):
    """One POST run whose standard input is a pipe in non-blocking mode
    holding first; later is written after seconds, then with close the
    pipe is closed. The output, stderr, exit status, seconds taken,
    processor seconds of the run alone, and what of the body it left."""
    e = dict(base_env(), QUERY_STRING="action=info", REQUEST_METHOD="POST", **env)

    def attempt():
        r, w = os.pipe()
        os.set_blocking(r, False)
        os.write(w, first)

        def feed():
            time.sleep(after)
            os.write(w, later)
            if close:
                os.close(w)
        feeder = threading.Thread(target=feed)
        try:
            p = start(RUN, e, 30, stdin=r, during=lambda _: feeder.start())
        finally:
            if feeder.ident:
                feeder.join()
        try:
            p.left = os.read(r, 1 << 16)
        except BlockingIOError:
            p.left = b""
        os.close(r)
        if not close:
            os.close(w)
        return p
    p = retried_once(attempt, [env, first, later])
    return p.stdout, p.stderr, p.returncode, p.elapsed, p.cpu, p.left


class NonBlockingInput(Reply):
    """A host may hand the plug-in a pipe in non-blocking mode. Nothing
    there yet is no end of the body: the run waits for the rest within the
    body budget, without spinning, and the reply is the same."""

    def test_late_body_is_drained_within_the_budget(self):
        want, _ = self.whole("action=info")
        count, chunked = {"CONTENT_LENGTH": "10"}, {"HTTP_TRANSFER_ENCODING": "chunked"}
        late = BODY_BUDGET + 1.0
        table = [
            # environment, at once, later, seconds later, closed then, left unread
            (count, b"0123456789", b"", 0, False, b""),
            (count, b"01234", b"56789", 0.5, False, b""),
            (count, b"", b"0123456789", 0.5, False, b""),
            (chunked, b"0123", b"4567", 0.5, True, b""),
            # Past the budget the run has gone; what comes then stays.
            (count, b"01234", b"56789", late, False, b"56789"),
        ]
        for env, first, later, after, close, left in table:
            with self.subTest(env=env, first=first, later=later, after=after):
                out, err, rc, elapsed, cpu, got_left = fed_nonblocking(env, first, later, after,
                                                                       close)
                self.assertEqual((0, b""), (rc, err))
                doc = parse_reply(out)[1]
                self.assertEqual(dict(want, generated_at=None), dict(doc, generated_at=None))
                self.assertEqual(left, got_left)
                # Waiting costs next to no processor time; a read that
                # asked again at once would spin for the budget.
                self.assertLess(cpu, 0.5)
                if after >= late:
                    self.assertGreaterEqual(elapsed, BODY_BUDGET - 0.1)
                    self.assertLess(elapsed, BODY_BUDGET + 3.0)

    @unittest.skipIf(PLATFORM == "windows", "a Windows reader is a thread, which ends with its process")
    def test_a_host_that_gives_up_on_a_stalled_body(self):
        """The body is read in the process itself: a host that ends the run
        while it waits leaves no reader behind on its pipes."""
        r, w = os.pipe()
        blow = Interrupt(1.0, signal.SIGTERM)
        e = dict(base_env(), QUERY_STRING="action=info", REQUEST_METHOD="POST", CONTENT_LENGTH="100")
        try:
            p = start(RUN, e, 30, stdin=r, during=blow)
        finally:
            os.close(r)
            os.close(w)
        self.assertEqual((-signal.SIGTERM, []), (p.returncode, blow.children))
        self.assertLess(blow.closed_after(p), 0.5)


if __name__ == "__main__":
    main()
