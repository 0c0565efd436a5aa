"""Starts the host agent stand-in (lighttpd with the plug-in as CGI) for a
test and stops it on every path."""
import os
import shutil
import subprocess
import time
import urllib.error
import urllib.request

from tarvik import ROOT, RUN, free_port, validated

SERVE = os.path.join(ROOT, "host", "serve-lighttpd.sh")


def available():
    return shutil.which("lighttpd") is not None


class Server:
    def __init__(self, env=None, exe=None):
        """exe replaces the plug-in (a wrapper around it, say)."""
        self.port = free_port()
        e = dict(os.environ)
        for name in ("MORV_PASSWORD", "TARVIK_MOCK_IFACES", "TARVIK_MOCK_DNS",
                     "TARVIK_MOCK_TIMEOUT"):
            e.pop(name, None)
        if exe:
            # A wrapper starts the plug-in through the launcher itself.
            e["TARVIK_LAUNCHER"] = ""
        e.update(env or {})
        self.proc = subprocess.Popen([SERVE, exe or RUN[-1], str(self.port)], env=e,
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
                    raise RuntimeError(self.proc.stderr.read().decode())
                time.sleep(0.1)
        self.stop()
        raise RuntimeError("lighttpd did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, 9)
                self.proc.wait()
        self.proc.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


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
