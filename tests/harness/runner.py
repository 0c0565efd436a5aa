"""Runs the real plug-in executable the way the host agent does: CGI
variables in the environment, one reply on standard output, through the
target's launcher."""
import os
import socket
import subprocess
import sys
import threading
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


def start(argv, env, timeout, stdin=None, stdout=subprocess.PIPE, preexec_fn=None, during=None):
    """Starts argv once: standard input from stdin (none by default), its
    output kept (or sent to stdout as given, then the result's stdout is
    None) and its errors kept. during(proc), when given, runs while it
    does. Kills it past timeout seconds. Returns the process with cpu, the
    processor seconds that this run and what it waited for used, its
    wall-clock start (wall) and the seconds it took (elapsed)."""
    wall, t0 = time.time(), time.monotonic()
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL if stdin is None else stdin,
                            stdout=stdout, stderr=subprocess.PIPE, preexec_fn=preexec_fn)
    late = []
    timer = threading.Timer(timeout, lambda: (late.append(1), proc.kill()))
    timer.start()
    kept = {}

    def keep(name, f):
        kept[name] = f.read()
        f.close()
    readers = [threading.Thread(target=keep, args=(name, f)) for name, f in
               (("out", proc.stdout), ("err", proc.stderr)) if f is not None]
    try:
        for r in readers:
            r.start()
        if during:
            during(proc)
        for r in readers:
            r.join()
        # The child's own figures: runs side by side must not add up.
        _, status, use = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    finally:
        timer.cancel()
        if proc.returncode is None:
            proc.kill()
            proc.wait()
    if late:
        raise subprocess.TimeoutExpired(argv, timeout)
    done = subprocess.CompletedProcess(argv, proc.returncode, kept.get("out"), kept.get("err"))
    done.cpu = use.ru_utime + use.ru_stime
    done.wall, done.elapsed = wall, time.monotonic() - t0
    return done


class Interrupt:
    """A during() for start: after seconds it notes the run's children and
    sends sig to the run, as a host does to a program it gave up on, or
    with to_child to its first child. closed_after(run): the seconds from
    then until the run's output and errors had closed."""

    def __init__(self, seconds, sig, to_child=False):
        self.seconds, self.sig, self.to_child, self.children = seconds, sig, to_child, []

    def __call__(self, proc):
        time.sleep(self.seconds)
        with open("/proc/%d/task/%d/children" % (proc.pid, proc.pid)) as f:
            self.children = [int(c) for c in f.read().split()]
        os.kill(self.children[0] if self.to_child else proc.pid, self.sig)

    def closed_after(self, run):
        return run.elapsed - self.seconds


def retried_once(attempt, what, target=None):
    """attempt() starts a run (see start) under target's launcher (this
    run's by default); a run that the launcher itself failed to start is
    started once more and noted (see note_retry)."""
    for _ in range(2):
        proc = attempt()
        if not launcher_did_not_start(proc.returncode, proc.stdout, proc.stderr, target):
            break
        note_retry(what, proc.stderr, target)
    return proc


def run_argv(argv, env, timeout, **kw):
    """Runs argv through start, once more when the launcher failed to start.
    Returns the process, the wall-clock time it started and the seconds it
    took."""
    proc = retried_once(lambda: start(argv, env, timeout, **kw),
                        argv[-1:] + [env.get("QUERY_STRING")])
    return proc, proc.wall, proc.elapsed


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
