"""The builds the suites run against, as rows: how each is started (its
launcher), prepared, and what its launcher's own start-up failure looks
like, which a suite may meet at most MAX_RETRIES times."""
import os
import shlex
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RUN = shlex.split(os.environ.get("TARVIK_RUN", os.path.join(ROOT, "build/linux/plugin_tarvik")))


# What every Wine run carries: no debug output, no offer to install .NET
# and HTML engines into a new prefix, and the environment's bytes read as
# UTF-8.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=", "LANG": "C.UTF-8"}


def _wine_prepare():
    os.environ.update(WINE_ENV)
    # The wineserver and the helper processes that the first run of a prefix
    # starts would inherit (and hold open) that run's pipes; a persistent
    # server and a warm-up run with no pipes keep them off the tests' pipes.
    # The server only starts in a folder that exists; without it each run
    # would start a server that quits seconds after, and a run that meets
    # one quitting fails.
    os.makedirs(os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine"), exist_ok=True)
    for warm_up in (["wineserver", "-p"], RUN + ["--meta"]):
        subprocess.run(warm_up, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False, timeout=120)


class Target:
    """One build the suites run against, started through its toolchain's
    emulator (TARVIK_LAUNCHER; TARVIK_RUN is the launcher and the executable).
      system      what the plug-in was built for: linux or windows;
      parallel    how many runs a suite may start at once;
      slow_start  each start costs a good part of a second: random rounds
                  are fewer;
      no_load     None, or why the load suite does not run;
      no_ipv6     None, or why ::1 may be unusable (rows that need it skip);
      start_error the launcher's own start-up failure, which the plug-in
                  never shows: (exit status, stderr prefix), with no output
                  and stderr empty or opening with the prefix; None where
                  the launcher has none;
      env         what every run's environment carries;
      prepare     done once before the first run."""

    def __init__(self, name, system, parallel=16, slow_start=False, no_load=None, no_ipv6=None,
                 start_error=None, env=None, prepare=None):
        self.name, self.system, self.parallel, self.slow_start = name, system, parallel, slow_start
        self.no_load, self.no_ipv6, self.start_error = no_load, no_ipv6, start_error
        self.env, self.prepare = env or {}, prepare


TARGETS = {t.name: t for t in (
    Target("linux", "linux"),
    # Under qemu-user, 32 starts at once take the load suite from seconds
    # to four minutes of two cores, and measure the emulator more than the
    # build; every other suite runs.
    Target("arm64", "linux",
           no_load="under qemu-user the load suite takes minutes and loads the emulator "
                   "rather than the build; the load runs against the Linux build"),
    # The same executables under Debian 11's C library (glibc 2.31), the
    # oldest the suites run on: started by that root's own loader with its
    # library path, and on arm64 by qemu-user in that root.
    Target("linux-glibc2.31", "linux"),
    Target("arm64-glibc2.31", "linux",
           no_load="under qemu-user the load suite takes minutes and loads the emulator "
                   "rather than the build; the load runs against the Linux build"),
    # Wine itself fails about once in a thousand starts, more often when
    # many start at once; it reads the environment's bytes in the locale's
    # character set.
    Target("windows", "windows", parallel=4, slow_start=True,
           no_load="with 32 Wine processes starting at once, Wine itself fails about one start "
                   "in a thousand (exit 1, no output); the load runs against the Linux build",
           no_ipv6="IPv6 loopback (::1) is not usable under Wine here",
           start_error=(1, b"wine client error:"),
           env=WINE_ENV, prepare=_wine_prepare),
)}
TARGET = TARGETS[os.environ.get("TARVIK_TARGET", "linux")]
PLATFORM = TARGET.system
# The namespace suite gives Wine a prefix and a server of the namespace's
# own, and knows how Wine's adapter table differs.
UNDER_WINE = TARGET.name == "windows"
# A suite fails when more runs than this needed a second start.
MAX_RETRIES = 2
retried = []
if TARGET.prepare and __name__ != "__main__":
    TARGET.prepare()


def launcher_did_not_start(rc, out, err, target=None):
    """The launcher of target (this run's by default) failed before the
    program ran (see Target)."""
    target = target or TARGET
    if not target.start_error:
        return False
    status, prefix = target.start_error
    return rc == status and not out and (not err or err.startswith(prefix))


def note_retry(what, err=b"", target=None):
    """Counts one run started a second time; main() fails the suite past
    MAX_RETRIES of them."""
    retried.append(what)
    print("\n  %s failed to start (%r): %r, run once more" % ((target or TARGET).name, err, what),
          file=sys.stderr)


def shell_rules(name):
    """A target row's launcher rules as shell assignments, for the host
    stand-ins (host/common.sh), which start the plug-in behind a web server
    without Python: launcher_env, the NAME=VALUE words every run carries;
    start_status and start_prefix, its launcher's own start-up failure
    (empty where it has none)."""
    t = TARGETS[name]
    status, prefix = t.start_error or ("", b"")
    return "launcher_env=%s\nstart_status=%s\nstart_prefix=%s\n" % (
        shlex.quote(" ".join("%s=%s" % kv for kv in t.env.items())), status,
        shlex.quote(prefix.decode()))


if __name__ == "__main__":
    # python3 tests/harness/targets.py --shell NAME
    if sys.argv[1:2] != ["--shell"] or len(sys.argv) != 3 or sys.argv[2] not in TARGETS:
        sys.exit("usage: targets.py --shell %s" % "|".join(TARGETS))
    sys.stdout.write(shell_rules(sys.argv[2]))
