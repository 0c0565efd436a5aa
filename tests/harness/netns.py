"""Network namespaces a suite makes for itself: only loopback (and what the
suite adds), its own /etc files (`ip netns exec` binds /etc/netns/NAME over
/etc, so the namespace gets its own resolv.conf, hosts and nsswitch.conf),
helper processes inside, and under Wine a prefix and a wineserver of its
own. As root; close() removes all of it."""
import glob
import json
import os
import secrets
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from .runner import Reply, base_env, is_root, run_argv
from .targets import RUN, TARGET, UNDER_WINE


def sbin(name):
    return shutil.which(name) or next(
        (p for p in ("/usr/sbin/" + name, "/sbin/" + name) if os.path.exists(p)), None)


IP = sbin("ip")
NFT = sbin("nft")
# The wineserver that goes with the wine that runs the executable.
WINESERVER = (shutil.which(os.path.join(os.path.dirname(shutil.which(RUN[0]) or ""), "wineserver"))
              or shutil.which("wineserver")) if UNDER_WINE else None


def why_not():
    if not is_root():
        return "network namespaces need root"
    if not IP:
        return "the ip command (iproute2) is not installed"
    if UNDER_WINE and not WINESERVER:
        return "the wineserver command is not installed"
    return None


# Inside a namespace, host names are looked up in its hosts file and then
# with its name server, never through whatever else the machine's own
# order names.
NSSWITCH = "passwd: files\ngroup: files\nhosts: files dns\nservices: files\nprotocols: files\n"


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

    def output(self):
        """Everything the helper has written so far."""
        while not self.proc.stdout.closed and select.select([self.proc.stdout], [], [], 0)[0]:
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                break
            self.seen += chunk
        return self.seen

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
        self.output()
        self.proc.stdout.close()
        return self.seen


class Namespace:
    """A fresh namespace with lo up and its own /etc files; under Wine also a
    prefix and a wineserver of its own. close() removes all of it, with every
    process left inside, whatever happened in between; it may run twice."""

    def __init__(self, resolv="", **etc_files):
        self.name = "tvk-" + secrets.token_hex(4)
        self.etc = os.path.join("/etc/netns", self.name)
        self.files = dict(etc_files, **{"resolv.conf": resolv})
        self.helpers = []
        self.prefix = None
        self.env = base_env()
        self.made_netns_dir = not os.path.isdir("/etc/netns")
        self.added = False

    def __enter__(self):
        try:
            os.makedirs(self.etc)
            for name, text in self.files.items():
                with open(os.path.join(self.etc, name), "w") as f:
                    f.write(text)
            self.sh(IP, "netns", "add", self.name)
            self.added = True
            self.ip("link", "set", "lo", "up")
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def start_wine(self):
        """Gives the namespace a wineserver on a fresh prefix. Wine's adapter
        table, its name server list and the sockets of every run come from
        the wineserver and the service processes it starts, so these must
        live in the namespace. The first run of a prefix creates it and
        starts those services, which would inherit and hold open that run's
        pipes: a warm-up run with no pipes does it before anything is timed."""
        self.prefix = tempfile.mkdtemp(prefix="tarvik-netns-wine-")
        self.env.update(TARGET.env, WINEPREFIX=self.prefix)
        for argv in ([WINESERVER, "-p"], RUN + ["--meta"]):
            subprocess.run(self.inside(*argv), env=self.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=300, check=True)

    def close(self):
        try:
            for h in self.helpers:
                try:
                    h.stop()
                except Exception:
                    pass
            if self.prefix:
                try:
                    subprocess.run([WINESERVER, "-k"], env=self.env, stdin=subprocess.DEVNULL,
                                   capture_output=True, timeout=30, check=False)
                except (OSError, subprocess.SubprocessError):
                    pass
            if self.added:
                self.kill_inside()
        finally:
            try:
                if self.added:
                    subprocess.run([IP, "netns", "del", self.name], stdin=subprocess.DEVNULL,
                                   capture_output=True, timeout=30, check=False)
                    self.added = False
            finally:
                shutil.rmtree(self.etc, ignore_errors=True)
                if self.made_netns_dir:
                    try:
                        os.rmdir("/etc/netns")
                    except OSError:
                        pass
                self.remove_prefix()

    def kill_inside(self):
        """Kills whatever still runs in the namespace: only this suite's
        processes can be there."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            r = subprocess.run([IP, "netns", "pids", self.name], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=30, check=False)
            pids = [int(p) for p in r.stdout.split()]
            if not pids:
                return
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            time.sleep(0.1)

    def remove_prefix(self):
        """Removes the prefix and the folder its wineserver kept under /tmp
        (named after the prefix's device and inode)."""
        if not self.prefix:
            return
        try:
            st = os.stat(self.prefix)
            server = "server-%x-%x" % (st.st_dev, st.st_ino)
            found = glob.glob("/tmp/wine-*/" + server)
            found += glob.glob("/tmp/.wine-%d/%s" % (os.getuid(), server))
            for d in found:
                shutil.rmtree(d, ignore_errors=True)
                try:
                    os.rmdir(os.path.dirname(d))
                except OSError:
                    pass  # still holds another server's folder
        except OSError:
            pass
        shutil.rmtree(self.prefix, ignore_errors=True)
        self.prefix = None

    @staticmethod
    def sh(*argv, stdin=None):
        r = subprocess.run(argv, input=stdin, capture_output=True, timeout=30)
        if r.returncode != 0:
            raise RuntimeError("%s: %s" % (" ".join(argv), r.stderr.decode(errors="replace")))
        return r.stdout

    def ip(self, *args):
        return self.sh(IP, "-n", self.name, *args)

    def links(self):
        return {l["ifname"]: l for l in json.loads(self.ip("-j", "link", "show"))}

    def inside(self, *argv):
        return [IP, "netns", "exec", self.name] + list(argv)

    def helper(self, script):
        h = Helper(self.inside(sys.executable, "-c", script))
        self.helpers.append(h)
        return h

    def plugin(self, query, env=None, timeout=30, before=(), **kw):
        """Runs the real executable in the namespace, through the command
        before (if any), which ends by running it (as ip netns exec does: no
        process stands between); the elapsed time is that of the whole
        process, from start to exit. kw goes on to start."""
        e = dict(self.env)
        e["QUERY_STRING"] = query
        e.update(env or {})
        proc, wall, elapsed = run_argv(self.inside(*before, *RUN), e, timeout, **kw)
        r = Reply(proc, elapsed)
        # Latencies in the documents come from the wall clock, which may be
        # stepped while the process runs; they are only judged when it was not.
        r.wall_steady = abs((time.time() - wall) - r.elapsed) < 0.05
        return r


def stopped(signum, frame):
    raise KeyboardInterrupt
