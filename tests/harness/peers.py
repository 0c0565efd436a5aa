"""Peers on 127.0.0.1 for the tcp and http checks, and a CGI web server
that runs the plug-in through a small recorder of each run's exit status
and standard error."""
import os
import shlex
import shutil
import socket
import tempfile
import threading
import time

from . import fronts
from .runner import base_env
from .targets import RUN, TARGET, note_retry


def read_head(conn, limit=65536):
    """What the client sent, up to its blank line (or its close)."""
    data = b""
    while b"\r\n\r\n" not in data and len(data) < limit:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def answer(reply, delay=0.0):
    """A handler that reads the request, waits, sends reply and closes."""
    def handle(conn):
        head = read_head(conn)
        time.sleep(delay)
        conn.sendall(reply)
        return head
    return handle


def flood(prefix=b"", size=1 << 20):
    """A handler that answers prefix, then size bytes with no line end."""
    def handle(conn):
        head = read_head(conn)
        try:
            conn.sendall(prefix + b"x" * size)
        except OSError:
            pass  # the client stopped reading and reset the connection
        return head
    return handle


class Peer:
    """Accepts on 127.0.0.1 and runs handle(conn) on a thread for each
    connection; without a handler a connection is closed at once. What each
    handler returns is kept in .received."""

    def __init__(self, handle=None):
        self.handle = handle
        self.received = []
        self.lock = threading.Lock()
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(512)
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping.is_set():
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._one, args=(conn,), daemon=True).start()

    def _one(self, conn):
        with conn:
            conn.settimeout(10)
            try:
                got = self.handle(conn) if self.handle else b""
            except OSError as e:
                got = e
            with self.lock:
                self.received.append(got)

    def close(self):
        self.stopping.set()
        self.thread.join(5)
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def closed_port():
    """A port on 127.0.0.1 with nothing listening (refused at once)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RecordedServer(fronts.Server):
    """A CGI web server (lighttpd unless front says otherwise) in front of a
    shell wrapper that runs the real plug-in (through the target's launcher)
    and appends its exit status and its standard error to files, so that a
    test sees how every run behind the server ended. With capture, the
    wrapper keeps a copy of every reply, and runs once more a run that the
    launcher itself failed to start (the target's start_error, in shell);
    stop() counts them with the suite's.
    """

    def __init__(self, env=None, capture=False, front=fronts.LIGHTTPD):
        self.dir = tempfile.mkdtemp(prefix="tarvik-rec.")
        self.starts_file = os.path.join(self.dir, "starts")
        self.status_file = os.path.join(self.dir, "status")
        self.stderr_file = os.path.join(self.dir, "stderr")
        self.retries_file = os.path.join(self.dir, "retries")
        for path in (self.starts_file, self.status_file, self.stderr_file, self.retries_file):
            open(path, "w").close()
        cmd = list(RUN)
        cmd[0] = shutil.which(cmd[0]) or cmd[0]
        # lighttpd sends SIGTERM to a CGI program whose client left before
        # the reply began; the trap keeps the wrapper waiting for the
        # plug-in, which itself only finds its output pipe closed.
        lines = ["#!/bin/sh", "trap : TERM", "echo $$ >>%s" % shlex.quote(self.starts_file)]
        if TARGET.env:
            # The servers give a CGI program little or no environment of
            # their own.
            lines += ["export %s=%s" % (k, shlex.quote(v)) for k, v in base_env().items()]
        run = "%s 2>>%s" % (" ".join(map(shlex.quote, cmd)), shlex.quote(self.stderr_file))
        if capture:
            # Each reply also lands in a file of its own, byte for byte.
            mktemp, cat = shutil.which("mktemp"), shutil.which("cat")
            lines += ['out=$(%s %s)' % (mktemp, shlex.quote(self.dir + "/out.XXXXXX")),
                      'err=$(%s %s)' % (mktemp, shlex.quote(self.dir + "/err.XXXXXX")),
                      'run() { %s >"$out" 2>"$err"; }' % " ".join(map(shlex.quote, cmd)),
                      'run; rc=$?']
            if TARGET.start_error:
                status, prefix = TARGET.start_error
                lines += ['if [ $rc = %d ] && [ ! -s "$out" ] && { [ ! -s "$err" ] || '
                          '[ "$(%s -c %d "$err")" = %s ]; }; then'
                          % (status, shutil.which("head"), len(prefix), shlex.quote(prefix.decode())),
                          '  echo "$QUERY_STRING" >>%s; run; rc=$?' % shlex.quote(self.retries_file),
                          'fi']
            lines += ['%s "$err" >>%s; %s -f "$err"' % (cat, shlex.quote(self.stderr_file),
                                                        shutil.which("rm")),
                      'echo "$rc $QUERY_STRING" >>%s' % shlex.quote(self.status_file),
                      '%s "$out"' % cat]
        else:
            lines += [run, 'echo "$? $QUERY_STRING" >>%s' % shlex.quote(self.status_file)]
        wrapper = os.path.join(self.dir, "plugin_tarvik")
        with open(wrapper, "w") as f:
            f.write("\n".join(lines) + "\n")
        os.chmod(wrapper, 0o755)
        env = dict(env or {}, TMPDIR=self.dir)  # the server's state, error log included
        try:
            super().__init__(env, exe=wrapper, front=front)
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
        retried = []
        if os.path.exists(self.retries_file):
            with open(self.retries_file) as f:
                retried = f.read().split("\n")[:-1]
        for query in retried:
            note_retry(["behind the server", query])
        shutil.rmtree(self.dir, ignore_errors=True)
