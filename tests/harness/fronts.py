"""The CGI web servers that stand in for the host agent: each is a
host/serve-NAME.sh EXE PORT script plus what it is known to do to a reply.
Starts one for a test and stops it on every path.

TARVIK_FRONTS (comma-separated names) narrows the list; by default a suite
runs behind every front that is installed."""
import os
import shutil
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

from .oracle import validated
from .runner import free_port
from .targets import ROOT, RUN, note_retry


class Front:
    def __init__(self, name, programs, get_body=True):
        self.name = name
        self.serve = os.path.join(ROOT, "host", "serve-%s.sh" % name)
        self.programs = programs
        # Whether a GET with a body reaches the program at all (lighttpd
        # answers 400 itself).
        self.get_body = get_body

    def available(self):
        return all(shutil.which(p) for p in self.programs)


FRONTS = [
    Front("lighttpd", ("lighttpd",), get_body=False),
    Front("apache", ("apache2", "unshare")),
    Front("nginx", ("nginx", "fcgiwrap", "unshare", "setsid")),
]
BY_NAME = {f.name: f for f in FRONTS}
LIGHTTPD = BY_NAME["lighttpd"]


def chosen():
    names = os.environ.get("TARVIK_FRONTS")
    # A server with no row here has no known quirks and needs nothing found.
    return [BY_NAME.get(n) or Front(n, ()) for n in names.split(",")] if names else FRONTS


def each(mixin, base):
    """One test class per chosen front, named MIXIN_NAME, out of a mixin
    that reads self.front; a front that is not installed is skipped."""
    classes = {}
    for front in chosen():
        name = "%s_%s" % (mixin.__name__, front.name)
        cls = type(name, (mixin, base), {"front": front, "__module__": mixin.__module__})
        classes[name] = unittest.skipUnless(
            front.available(), "%s is not installed" % "/".join(front.programs))(cls)
    return classes


def available():
    """Whether lighttpd, the default front, is installed."""
    return LIGHTTPD.available()


class Server:
    def __init__(self, env=None, exe=None, front=LIGHTTPD, retries=None):
        """exe replaces the plug-in (a wrapper around it, say). The runs that
        the launcher itself failed to start and that ran once more are noted
        by their query in the file retries (one of the server's own unless
        given); stop() counts them with the suite's."""
        self.front = front
        self.own_retries = retries is None
        if self.own_retries:
            fd, retries = tempfile.mkstemp(prefix="tarvik-retries.")
            os.close(fd)
        self.retries = retries
        # The server's access and error logs, kept apart from its state so
        # that a test can read them.
        self.log_dir = tempfile.mkdtemp(prefix="tarvik-logs.")
        self.port = free_port()
        e = dict(os.environ)
        for name in ("MORV_PASSWORD", "TARVIK_MOCK_IFACES", "TARVIK_MOCK_DNS",
                     "TARVIK_MOCK_TIMEOUT"):
            e.pop(name, None)
        if exe:
            # A wrapper starts the plug-in through the launcher itself.
            e["TARVIK_LAUNCHER"] = ""
        e["TARVIK_RETRIES"] = retries
        e["TARVIK_LOGS"] = self.log_dir
        e.update(env or {})
        self.proc = subprocess.Popen([front.serve, exe or RUN[-1], str(self.port)], env=e,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, start_new_session=True)
        self.base = "http://127.0.0.1:%d" % self.port
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            try:
                urllib.request.urlopen(self.base + "/hub.html", timeout=2).read()
                return
            except (OSError, urllib.error.URLError):
                if self.proc.poll() is not None:
                    err = self.proc.stderr.read().decode()
                    self.stop()
                    raise RuntimeError(err)
                time.sleep(0.1)
        self.stop()
        raise RuntimeError("%s did not start" % front.name)

    def logs(self, routed=0, wait=20.0):
        """The bytes of each log the server has written, by file name, once
        its access log holds at least routed lines for the plug-in's routes
        (waiting boundedly: lighttpd writes its out every few seconds)."""
        deadline = time.monotonic() + wait
        while True:
            logs = {}
            for name in sorted(os.listdir(self.log_dir)):
                with open(os.path.join(self.log_dir, name), "rb") as f:
                    logs[name] = f.read()
            if (len(routed_lines(logs.get("access.log", b""))) >= routed
                    or time.monotonic() > deadline):
                return logs
            time.sleep(0.2)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, 9)
                self.proc.wait()
        self.proc.stderr.close()
        if self.retries:
            with open(self.retries) as f:
                for query in f.read().split("\n")[:-1]:
                    note_retry(["behind " + self.front.name, query])
            if self.own_retries:
                os.remove(self.retries)
            self.retries = None
        shutil.rmtree(self.log_dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def routed_lines(access_log):
    """The access log's lines for the plug-in's routes in the format the
    stand-ins give them: the request's path alone between its method and
    protocol."""
    return [line for line in access_log.split(b"\n")
            if b" /plugin_tarvik HTTP/" in line or b" /plugins HTTP/" in line]


def curl(url, *args):
    """Status code, headers text and body, as curl sees them. A JSON body is
    checked against its schema on the way."""
    out = subprocess.run(["curl", "-s", "-i", "--max-time", "20", *args, url],
                         capture_output=True, check=True).stdout
    head, _, body = out.partition(b"\r\n\r\n")
    status = int(head.split(b" ", 2)[1])
    if body and b"\r\nContent-Type: application/json" in head:
        validated(body)
    return status, head.decode("latin-1"), body


