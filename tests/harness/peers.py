"""Scripted peers on 127.0.0.1 or ::1 for the tcp and http checks (the
browser tests reach them through harness.stand), and a CGI web server that
runs the plug-in through a small recorder of each run's exit status and
standard error."""
import os
import select
import shlex
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

from . import fronts
from .runner import base_env, free_port
from .targets import ROOT, RUN, TARGET

# A port just released, with nothing listening: a connect is refused at once.
closed_port = free_port
# A peer whose accept queue is full (see Peer).
FULL = "full backlog"


def take(conn, got, until_eof=False):
    """Adds what arrives to got: up to the blank line of a request (or 64 KiB),
    or up to the end of the stream."""
    while until_eof or (b"\r\n\r\n" not in got and len(got) < 65536):
        chunk = conn.recv(4096)
        if not chunk:
            return
        got += chunk


def answer(reply, delay=0.0):
    """Reads the request, waits delay seconds, answers reply and closes."""
    def script(conn, got):
        take(conn, got)
        time.sleep(delay)
        conn.sendall(reply)
    return script


def hold(reply=b""):
    """Reads the request, answers reply, then takes all the client sends
    until it hangs up. A client that leaves bytes of the reply unread resets
    the connection when it closes (counted in Peer.resets)."""
    def script(conn, got):
        take(conn, got)
        conn.sendall(reply)
        take(conn, got, until_eof=True)
    return script


def banner(data):
    """Speaks first, then reads the request."""
    def script(conn, got):
        conn.sendall(data)
        take(conn, got)
    return script


def drip(reply, every=0.3):
    """Reads the request and answers reply one byte every so often."""
    def script(conn, got):
        take(conn, got)
        for i in range(len(reply)):
            conn.sendall(reply[i:i + 1])
            time.sleep(every)
    return script


def reset(conn, got):
    """Reads the request and resets the connection."""
    take(conn, got)
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))


def flood(prefix=b"", size=1 << 20):
    """Reads the request and answers prefix, then size bytes with no line end
    (until the client stops reading)."""
    def script(conn, got):
        take(conn, got)
        conn.sendall(prefix + b"x" * size)
    return script


class Peer:
    """Listens on addr (127.0.0.1 or ::1) and plays script(conn, got) for each
    connection, on a thread of its own; without a script a connection is
    closed at once. With FULL it accepts nothing and fills its accept queue
    instead, so that the kernel drops every further SYN and a connect never
    completes (.full says whether the queue filled). .received holds what
    each connection sent, in the order they ended, and .resets counts those
    the client reset; on_end, if given, hears each one as it ends. close()
    waits (boundedly) for the connections under way."""

    def __init__(self, script=None, addr="127.0.0.1", port=0, on_end=None):
        self.script, self.addr, self.on_end = script, addr, on_end
        self.received, self.resets = [], 0
        self.lock = threading.Lock()
        self.threads, self.clients = [], []
        self.sock = socket.socket(socket.AF_INET6 if ":" in addr else socket.AF_INET)
        if ":" in addr:
            self.sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((addr, port))
        self.port = self.sock.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = None
        if script is FULL:
            self.sock.listen(0)
            self.full = self._fill()
            return
        self.sock.listen(512)
        self.sock.settimeout(0.2)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _fill(self):
        for _ in range(8):
            c = socket.socket(self.sock.family)
            c.setblocking(False)
            c.connect_ex(self.sock.getsockname())
            self.clients.append(c)
            if not select.select([], [c], [], 0.3)[1]:
                return True
        return False

    def _serve(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            t = threading.Thread(target=self._one, args=(conn,), daemon=True)
            self.threads.append(t)
            t.start()

    def _one(self, conn):
        got, reset_seen = bytearray(), False
        with conn:
            conn.settimeout(10)
            try:
                if self.script:
                    self.script(conn, got)
            except ConnectionResetError:
                reset_seen = True
            except OSError:
                pass  # the client went away or stopped reading
        with self.lock:
            self.received.append(bytes(got))
            self.resets += reset_seen
        if self.on_end:
            self.on_end(bytes(got))

    def wait(self, count, timeout=5.0):
        """How many connections have ended, once count of them have (or the
        time is up)."""
        deadline = time.monotonic() + timeout
        while len(self.received) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return len(self.received)

    def close(self):
        self.stopping.set()
        if self.thread:
            try:
                self.sock.shutdown(socket.SHUT_RDWR)  # wakes the accept at once
            except OSError:
                pass
            self.thread.join(5)
        self.sock.close()
        for c in self.clients:
            c.close()
        deadline = time.monotonic() + 20
        for t in self.threads:
            t.join(max(0.0, deadline - time.monotonic()))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def ipv6_loopback():
    """Whether ::1 can be bound on this machine."""
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def refuses(addr, port):
    """Whether a connect to addr:port is refused (rather than taken, or lost)."""
    try:
        socket.create_connection((addr, port), timeout=1).close()
    except ConnectionRefusedError:
        return True
    except OSError:
        return False
    return False


class RecordedServer(fronts.Server):
    """A CGI web server (lighttpd unless front says otherwise) in front of a
    shell wrapper that runs the real plug-in (through the target's launcher,
    as host/common.sh starts it behind any front) and appends its exit status
    and its standard error to files, so that a test sees how every run
    behind the server ended. With capture, the wrapper keeps a copy of every
    reply.
    """

    def __init__(self, env=None, capture=False, front=fronts.LIGHTTPD):
        self.dir = tempfile.mkdtemp(prefix="tarvik-rec.")
        self.starts_file = os.path.join(self.dir, "starts")
        self.status_file = os.path.join(self.dir, "status")
        self.stderr_file = os.path.join(self.dir, "stderr")
        retries = os.path.join(self.dir, "retries")
        for path in (self.starts_file, self.status_file, self.stderr_file, retries):
            open(path, "w").close()
        launch = os.path.join(self.dir, "launch")
        subprocess.run(["sh", "-c", 'here=$(dirname "$0"); . "$0"; exe=$1 launcher=$2; launch_script "$3"',
                        os.path.join(ROOT, "host", "common.sh"), os.path.abspath(RUN[-1]),
                        " ".join(RUN[:-1]), launch],
                       env=dict(os.environ, TARVIK_RETRIES=retries), check=True)
        # lighttpd sends SIGTERM to a CGI program whose client left before
        # the reply began; the trap keeps the wrapper waiting for the
        # plug-in, which itself only finds its output pipe closed.
        lines = ["#!/bin/sh", "trap : TERM", "echo $$ >>%s" % shlex.quote(self.starts_file)]
        if TARGET.env:
            # The servers give a CGI program little or no environment of
            # their own.
            lines += ["export %s=%s" % (k, shlex.quote(v)) for k, v in base_env().items()]
        run = "%s 2>>%s" % (shlex.quote(launch), shlex.quote(self.stderr_file))
        status = 'echo "$rc $QUERY_STRING" >>%s' % shlex.quote(self.status_file)
        if capture:
            # Each reply also lands in a file of its own, byte for byte.
            lines += ['out=$(%s %s)' % (shutil.which("mktemp"),
                                        shlex.quote(self.dir + "/out.XXXXXX")),
                      '%s >"$out"; rc=$?' % run, status, '%s "$out"' % shutil.which("cat")]
        else:
            lines += ["%s; rc=$?" % run, status]
        wrapper = os.path.join(self.dir, "plugin_tarvik")
        with open(wrapper, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.chmod(wrapper, 0o755)
        env = dict(env or {}, TMPDIR=self.dir)  # the server's state, error log included
        try:
            super().__init__(env, exe=wrapper, front=front, retries=retries)
        except BaseException:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def runs(self, at_least=0, wait=20.0):
        """(exit status, query) of each run that has ended, waiting
        (boundedly) for at_least of them."""
        deadline = time.monotonic() + wait
        while True:
            with open(self.status_file, errors="replace") as f:
                got = [tuple(line.rstrip("\n").split(" ", 1)) for line in f]
            if len(got) >= at_least or time.monotonic() > deadline:
                return got
            time.sleep(0.1)

    def statuses(self, at_least=0, wait=20.0):
        """Exit statuses recorded so far, waiting (boundedly) for at_least."""
        return [run[0] for run in self.runs(at_least, wait)]

    def failed_runs(self):
        """The runs that did not end with status 0."""
        return [run for run in self.runs() if run[0] != "0"]

    def starts(self):
        """How many runs the server has started."""
        with open(self.starts_file) as f:
            return len(f.read().split())

    def stderr(self):
        with open(self.stderr_file, "rb") as f:
            return f.read()

    def outputs(self):
        """The replies written so far (capture=True), in no set order."""
        got = []
        for name in sorted(os.listdir(self.dir)):
            if name.startswith("out."):
                with open(os.path.join(self.dir, name), "rb") as f:
                    got.append(f.read())
        return got

    def error_log(self):
        """The server's own log (CGI failures are reported there)."""
        for d in os.listdir(self.dir):
            path = os.path.join(self.dir, d, "error.log")
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    return f.read()
        return ""

    def stop(self):
        super().stop()
        shutil.rmtree(self.dir, ignore_errors=True)
