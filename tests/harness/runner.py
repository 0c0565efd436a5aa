"""Runs the real plug-in executable the way the host agent does: CGI
variables in the environment, one reply on standard output, through the
target's launcher."""
import os
import socket
import subprocess
import sys
import time
import unittest

from .oracle import JSON_HEAD, json_reply, validated
from .targets import MAX_RETRIES, RUN, TARGET, launcher_did_not_start, note_retry, retried


def base_env():
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    # Debian's Wine keeps its server's socket under TMPDIR: a run without it
    # would start a second server on the prefix, whose adapter table is empty.
    for name in ("HOME", "TMPDIR", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "LANG"):
        if name in os.environ:
            env[name] = os.environ[name]
    env.update(TARGET.env)
    return env


class Reply:
    def __init__(self, proc, elapsed):
        self.out = proc.stdout
        self.err = proc.stderr
        self.rc = proc.returncode
        self.elapsed = elapsed

    @property
    def head(self):
        return self.out.split(b"\r\n\r\n", 1)[0] + b"\r\n\r\n"

    @property
    def body(self):
        return self.out.split(b"\r\n\r\n", 1)[1]

    def doc(self, kind=None):
        """The document, validated against its schema."""
        return validated(self.body, kind)

    def keys(self):
        """Top-level keys of the (validated) document, in the order written."""
        return list(validated(self.body))


def run(query=None, method=None, env=None, args=(), timeout=30):
    """One invocation. query None leaves QUERY_STRING unset."""
    e = base_env()
    if query is not None:
        e["QUERY_STRING"] = query
    if method is not None:
        e["REQUEST_METHOD"] = method
    e.update(env or {})
    proc, _, elapsed = run_argv(RUN + list(args), e, timeout)
    return Reply(proc, elapsed)


def run_argv(argv, env, timeout):
    """Runs argv with no input and its output kept, once more (and says so)
    when the launcher itself failed to start. Returns the process, the
    wall-clock time it started and the seconds it took."""
    for _ in range(2):
        wall, t0 = time.time(), time.monotonic()
        proc = subprocess.run(argv, env=env, capture_output=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)
        if not launcher_did_not_start(proc.returncode, proc.stdout, proc.stderr):
            break
        note_retry(argv[-1:] + [env.get("QUERY_STRING")], proc.stderr)
    return proc, wall, time.monotonic() - t0


class Case(unittest.TestCase):
    """Every run must end with status 0 and write nothing to stderr, and
    every JSON reply must hold to its schema."""

    def call(self, query=None, **kw):
        r = run(query, **kw)
        self.assertEqual(0, r.rc, r.err)
        self.assertEqual(b"", r.err)
        json_reply(r.out)
        return r

    def action(self, query, **kw):
        r = self.call(query, **kw)
        self.assertTrue(r.out.startswith(JSON_HEAD), r.out[:200])
        return r

    def error(self, query, message, **kw):
        r = self.call(query, **kw)
        self.assertEqual(b"Status: 400 Bad Request\r\n" + JSON_HEAD +
                         b'{"ok":false,"error":"' + message.encode() + b'"}\n', r.out)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def is_root():
    return hasattr(os, "geteuid") and os.geteuid() == 0


def main():
    prog = unittest.main(exit=False, verbosity=2)
    res = prog.result
    if len(retried) > MAX_RETRIES:
        print("\n%d runs needed a second start, more than %d: %r"
              % (len(retried), MAX_RETRIES, retried), file=sys.stderr)
        sys.exit(1)
    skipped = len(res.skipped)
    ran = res.testsRun
    if res.wasSuccessful() and ran > 0 and skipped == ran:
        sys.exit(77)
    sys.exit(0 if res.wasSuccessful() else 1)
