#!/usr/bin/env python3
"""Measures the plug-in against two floors and against the tools an operator
would use instead, prints one table and writes it to bench/RESULTS.md (the
hand-written sections after it stay).
  bench/bench.py [--runs N] [--rounds N] [--wrk-time T]
  bench/bench.py --limits EXE     only the deterministic limits of one build
It measures the preset builds, brought up to date first: build/linux, and
the sizes of build/windows and build/arm64 where they exist. Every request
runs once and its reply is checked before it is measured; a reply that is
not what its row expects (an error document, a refused peer) fails the
benchmark, and so does a missed limit (size, peak memory, system calls,
imports). Timings are reported against their targets and never fail it."""
import argparse
import contextlib
import json
import os
import re
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
from harness import ROOT, base_env, fronts, json_reply, kind_of, peers, run_argv  # noqa: E402

FLOOR_REPLY = b"Content-Type: text/plain\r\n\r\nok\n"
MOCK = {"TARVIK_MOCK_DNS": "bench.test=127.0.0.1,::1"}
# The second peer's header line is longer than the 2,047 bytes the http
# check takes of it: the most the check ever reads.
PEER_ANSWER = b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"
LONG_ANSWER = b"HTTP/1.1 200 OK\r\nX-Long: " + b"a" * 2100 + b"\r\n\r\n"
MIB = 1 << 20
LABEL = {"dfloor": "dynamic floor", "ifloor": "dynamic floor with the plug-in's libraries and imports",
         "nc3": "nc x3"}


def within(factor, of):
    return "within %sx the %s" % (factor, of), lambda v, ref: v <= float(factor) * ref


def under(limit, text):
    return text, lambda v, ref: v < limit


def beyond(most):
    return "at most %+d" % most, lambda v, ref: v - ref <= most


# The C library's own, which every Linux system has: older C libraries keep
# the threads, mathematics, dynamic loading and real-time parts apart.
C_LIBRARY = ("the C library only", lambda v, ref: all(
    re.match(r"(lib(c|m|pthread|dl|rt)|ld-linux[-a-z0-9]*)\.so\.", n) for n in v))
# The oldest C library the executables start on: RHEL/CentOS 7's.
GLIBC_FLOOR = (2, 17)
GLIBC_LIMIT = ("at most GLIBC_%d.%d" % GLIBC_FLOOR, lambda v, ref: v <= GLIBC_FLOOR)
FLOORS = [(LABEL["dfloor"], "dfloor", "floor"), (LABEL["ifloor"], "ifloor", "dfloor"),
          ("`info`", "info", "dfloor"), ("`page`", "page", "dfloor")]
# What is measured, how, the request, the reference it is compared with, and
# the target (None: reported only). The requests and references of one
# "start NAME" are timed side by side in the same hyperfine calls; "shell
# NAME" likewise, through a shell, whose start-up hyperfine subtracts.
TABLE = [
    ("`info` start to exit", "start info", "info", "floor", within("1.5", "floor")),
    ("`info` start to exit, against the dynamic floor", "start info", "info", "dfloor",
     within("1.10", "dynamic floor")),
    ("dynamic floor with the plug-in's libraries and imports bound at start-up (beside `info`)",
     "start info",
     "ifloor", "dfloor", None),
    ("`page` start to exit", "start page", "page", "floor", within("2.0", "floor")),
    ("`page` start to exit, against the dynamic floor", "start page", "page", "dfloor",
     within("1.10", "dynamic floor")),
    ("dynamic floor with the plug-in's libraries and imports bound at start-up (beside `page`)",
     "start page",
     "ifloor", "dfloor", None),
    ("`dns` start to exit (mock DNS)", "start dns", "dns", "floor", None),
    ("`tcp` start to exit (mock DNS)", "start tcp", "tcp", "floor", None),
    ("`http` start to exit (mock DNS, local peer)", "start http", "http", "floor", None),
    ("`http` against `curl -sI` on the same peer", "start http", "http", "curl",
     ("no slower than curl", lambda v, ref: v <= ref)),
    ("`tcp` (3 connects) against three `nc -z` on the same listener", "shell tcp", "tcp", "nc3",
     None),
    ("requests/s through lighttpd, `info`", "rps", "info", "floor", None),
    ("requests/s through lighttpd, `page`", "rps", "page", "floor", None),
    *(("instructions, " + what, "ir", name, ref, None) for what, name, ref in FLOORS),
    *(("minor page faults per run (mean of 50), " + what, "faults", name, ref, None)
      for what, name, ref in FLOORS),
    # The plug-in's own: SIGPIPE ignored, one clock reading, the write. One
    # library more than the floor's (libpthread, say) would cost 9 to open.
    *(("system calls per run (strace), " + what, "syscalls", name, ref,
       beyond(5) if name in ("info", "page") else None) for what, name, ref in FLOORS),
    # Reading the answer byte by byte took thousands.
    ("system calls per `http` check, peer answering a 2,100-byte header line (mock DNS)",
     "syscalls", "http_long", "dfloor", beyond(32)),
    *(("peak memory, `%s`" % what, "rss", name, "floor", under(4096, "under 4 MiB"))
      for name, what in (("info", "info"), ("page", "page"), ("ifaces", "ifaces"),
                         ("dns", "dns (mock)"), ("dns_system", "dns (system resolver, localhost)"),
                         ("tcp", "tcp (mock DNS)"), ("http", "http (mock DNS)"),
                         ("http_system", "http (resolver worker, 127.0.0.1)"))),
    # Only the C library stays dynamic; its loader binds every import at
    # start-up.
    ("shared libraries needed, Linux binary", "libraries", "linux", None, C_LIBRARY),
    ("shared libraries needed, Linux arm64 binary", "libraries", "arm64", None, C_LIBRARY),
    ("newest C library symbol version, Linux binary", "glibc", "linux", None, GLIBC_LIMIT),
    ("newest C library symbol version, Linux arm64 binary", "glibc", "arm64", None, GLIBC_LIMIT),
    ("imported symbols, Linux binary", "imports", "linux", "dfloor", beyond(80)),
    *(("size, " + what, "size", name, None, under(MIB, "under 1 MiB"))
      for name, what in (("linux", "Linux binary"), ("windows", "Windows .exe"),
                         ("arm64", "Linux arm64 binary"))),
]
LIMITS = ("syscalls", "rss", "libraries", "glibc", "imports", "size")
FORMAT = {"start": "%.3f ms", "shell": "%.3f ms", "rps": "%.0f/s", "faults": "%.1f",
          "rss": "%d KiB", "size": "%d bytes"}


class Cmd:
    """A program run as the host agent runs it, and the one reply it must
    give: bytes, (kind, fields) of a plug-in reply, or None (status 0)."""

    def __init__(self, argv, env=None, expect=None, shell=False):
        self.argv, self.env, self.expect, self.shell = argv, env or {}, expect, shell
        self.line = argv[2] if shell else " ".join(map(shlex.quote, argv))

    def check(self):
        proc = run_argv(self.argv, dict(base_env(), **self.env), 60)[0]
        out = proc.stdout
        try:
            assert (proc.returncode, proc.stderr) == (0, b""), (proc.returncode, proc.stderr)
            if isinstance(self.expect, bytes):
                assert out == self.expect, out[:300]
            elif self.expect and self.expect[0] == "page":
                assert out.startswith(b"Content-Type: text/html; charset=utf-8\r\n") and \
                    out.endswith(b"</body></html>\n"), out[:300]
            elif self.expect:
                doc = json_reply(out)
                assert doc is not None and kind_of(doc) == self.expect[0], out[:300]
                for name, want in self.expect[1].items():
                    assert doc[name] == want, "%s is %r, not %r" % (name, doc[name], want)
        except AssertionError as e:
            sys.exit("check failed: %s %s: %s" % (self.line, self.env.get("QUERY_STRING", ""), e))


def plugin(exe, query, kind, **fields):
    return Cmd([exe], dict(QUERY_STRING=query, **(MOCK if "bench.test" in query else {})),
               (kind, fields))


def build_floors(exe, work):
    """floor.c linked statically and dynamically, and linked dynamically
    against the libraries exe needs with a main that names (never calls)
    every function exe imports, bound at start-up as the release build is:
    what the libraries and imports cost before the plug-in's first line."""
    source, ifloor = os.path.join(HERE, "floor.c"), os.path.join(work, "ifloor.c")
    libraries = [subprocess.run(["cc", "-print-file-name=" + n], check=True, capture_output=True,
                                text=True).stdout.strip()
                 for n in imports(exe)[0] if not re.match(r"(libc|ld-linux[-a-z0-9]*)\.so\.", n)]
    names = [n for n, kind in imports(exe)[1] if kind == "FUNC"
             and n not in ("__libc_start_main", "__cxa_finalize", "write")]
    with open(ifloor, "w") as f:
        f.write("#undef main\nint floor_main(void);\n%s" % "".join(
            "extern void %s(void);\n" % n for n in names))
        f.write("int main(int argc, char **argv)\n{\n    (void)argv;\n    if (argc < 0) {\n%s"
                "    }\n    return floor_main();\n}\n"
                % "".join("        %s();\n" % n for n in names))
    for name, sources, flags in (("floor", [source], ["-static"]), ("dfloor", [source], []),
                                 ("ifloor", [source, ifloor], ["-Dmain=floor_main", "-fno-builtin",
                                                               "-w", "-Wl,-z,relro,-z,now"])):
        subprocess.run(["cc", "-O2", "-s", *flags, "-o", os.path.join(work, name), *sources,
                        *(["-Wl,--no-as-needed"] + libraries if name == "ifloor" else [])],
                       check=True)
    return {n: Cmd([os.path.join(work, n)], expect=FLOOR_REPLY)
            for n in ("floor", "dfloor", "ifloor")}


def imports(exe):
    """The shared libraries exe needs, and the symbols it imports (name, kind)."""
    dyn = subprocess.run(["readelf", "-W", "-d", "--dyn-syms", exe], check=True,
                         capture_output=True, text=True).stdout
    return (sorted(re.findall(r"\(NEEDED\).*\[(.*)\]", dyn)),
            [(f[7].split("@")[0], f[3]) for f in map(str.split, dyn.splitlines())
             if len(f) >= 8 and f[6] == "UND"])


def glibc_version(exe):
    """The newest GLIBC_x.y symbol version exe needs, as (x, y)."""
    needs = subprocess.run(["readelf", "-W", "-V", exe], check=True, capture_output=True,
                           text=True).stdout
    return max([(0, 0)] + [tuple(map(int, v)) for v in re.findall(r"\bGLIBC_(\d+)\.(\d+)\b",
                                                                   needs)])


def system_of(exe):
    """windows, linux (what this machine runs natively) or arm64."""
    def head(path):
        with open(path, "rb") as f:
            return f.read(20)
    if head(exe).startswith(b"MZ"):
        return "windows"
    return "linux" if head(exe)[18:20] == head(sys.executable)[18:20] else "arm64"


def hyperfine(cmds, env, args, shell, work):
    """Median ms of each command, over many short rounds that alternate the
    commands, so that a change of load falls on all of them alike; each
    round starts with the next command, because the first command of a
    hyperfine call runs measurably slower than the others."""
    times, order, out = {name: [] for name in cmds}, list(cmds), os.path.join(work, "hf.json")
    for _ in range(args.rounds):
        argv = ["hyperfine", "--style", "none", "--warmup", "3", "--runs", str(args.per_round),
                "--export-json", out] + ([] if shell else ["-N"])
        for name in order:
            argv += ["-n", name, cmds[name].line]
        proc = subprocess.run(argv, env=env, capture_output=True, text=True)
        if proc.returncode:
            sys.exit(proc.stderr)  # its warnings only when it fails
        with open(out) as f:
            for res in json.load(f)["results"]:
                times[res["command"]].extend(res["times"])
        order = order[1:] + order[:1]
    return {name: statistics.median(t) * 1000 for name, t in times.items()}


def output(argv, cmd=None):
    env = dict(base_env(), **cmd.env) if cmd else None
    return subprocess.run(argv + (cmd.argv if cmd else []), env=env, check=True,
                          capture_output=True, text=True).stdout


def measure(method, name, cmd, exes, args, got, work):
    """One value of one request, into got[method, name] (and beside it what
    the method reports on the side)."""
    if method == "rps":  # wrk through lighttpd, 2 threads, 32 connections
        out = output(["wrk", "-t2", "-c32", "-d" + args.wrk_time, args.urls[name]])
        got["rps", name] = float(re.search(r"Requests/sec:\s*([0-9.]+)", out).group(1))
        got["notes"] += ["wrk reported for %s: %s" % (name, line.strip())
                         for line in out.splitlines()
                         if re.match(r"\s*(Non-2xx|Socket errors)", line)]
    elif method == "ir":  # the dynamic loader's share beside the total
        cg = os.path.join(work, "callgrind.out")
        output(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + cg], cmd)
        text = output(["callgrind_annotate", "--inclusive=no", cg])
        got["ir", name] = int(re.search(r"^([0-9,]+).*PROGRAM TOTALS", text, re.M)
                              .group(1).replace(",", ""))
        got["ir loader", name] = sum(int(n.replace(",", "")) for n in
                                     re.findall(r"^\s*([0-9,]+).*ld-linux", text, re.M))
    elif method == "faults":
        # The child's own count (posix_spawn: nothing of the parent's side of
        # a fork). On a virtual machine each costs about as much as thousands
        # of instructions, so they are much of what a start-up costs.
        null, total = os.open(os.devnull, os.O_WRONLY), 0
        for _ in range(50):
            pid = os.posix_spawn(cmd.argv[0], cmd.argv, dict(base_env(), **cmd.env),
                                 file_actions=[(os.POSIX_SPAWN_DUP2, null, 1)])
            total += os.wait4(pid, 0)[2].ru_minflt
        os.close(null)
        got["faults", name] = total / 50
    elif method == "syscalls":
        trace = os.path.join(work, "strace.out")
        output(["strace", "-f", "-o", trace], cmd)
        with open(trace) as f:
            got["syscalls", name] = sum(1 for line in f if not re.match(r"[0-9]* *\+\+\+", line))
    elif method == "rss":  # the largest maximum resident set size of 5 runs
        rss = os.path.join(work, "rss.out")
        for _ in range(5):
            output(["/usr/bin/time", "-f", "%M", "-o", rss], cmd)
            with open(rss) as f:
                got["rss", name] = max(got.get(("rss", name), 0), int(f.read().split()[-1]))
    elif method in ("libraries", "imports"):
        libraries, symbols = imports(exes[name] if name in exes else cmd.argv[0])
        got[method, name] = libraries if method == "libraries" else len(symbols)
    elif method == "glibc":
        got["glibc", name] = glibc_version(exes[name])
    elif method == "size":
        got["size", name] = os.path.getsize(exes[name])


def table(rows, got):
    """(measurement, value, reference, ratio, target, verdict) of each row."""
    def text(method, v):
        if method == "glibc":
            return "GLIBC_%d.%d" % v
        return ", ".join(v) if method == "libraries" else FORMAT.get(method.split()[0], "%d") % v
    out = []
    for what, method, name, ref, target in rows:
        v, r = got[method, name], got.get((method, ref))
        reference, ratio = "", ""
        if method == "ir":
            what += " (callgrind; %d%% in the dynamic loader)" % round(
                100 * got["ir loader", name] / v)
        if method == "size":
            reference, ratio = "1 MiB = 1048576 bytes", "%.3f" % (v / MIB)
        elif ref:
            reference = "%s %s" % ("floor CGI" if method == "rps" else LABEL.get(ref, ref),
                                   text(method, r))
            ratio = ("%+g" % round(v - r, 1) if method in ("faults", "syscalls", "imports")
                     else "%.2fx" % (v / r))
        verdict = ("reached" if target[1](v, r) else "MISSED") if target else ""
        out.append((what, text(method, v), reference, ratio, target[0] if target else "", verdict))
    return out


def results(lines, got, args):
    """RESULTS.md: the table, its targets, and where a run goes beyond the
    dynamic floor."""
    missed = [r[0] for r in lines if r[5] == "MISSED"]
    d = lambda m, name: got[m, name] - got[m, "dfloor"]  # noqa: E731
    cpu = re.search(r"model name\s*: (.*)", open("/proc/cpuinfo").read())
    return "\n".join([
        "# Benchmark results", "",
        "Measured by `bench/bench.py` on %s UTC; %d cores (`nproc`), %s."
        % (time.strftime("%Y-%m-%d %H:%M", time.gmtime()), os.cpu_count(), cpu and cpu.group(1)),
        "The load average at the end of the run was %s (other work on the machine)."
        % " ".join(open("/proc/loadavg").read().split()[:3]), "",
        "Times are hyperfine medians over %d runs, each row measured side by side with its"
        " references in %d alternating rounds of hyperfine calls, each round starting with the"
        " next command; requests per second from wrk (2 threads, 32 connections, %s); peak memory"
        " is the largest maximum resident set size of 5 runs (`/usr/bin/time`). Each request's"
        " reply was checked once before it was measured. The floor (`bench/floor.c`) is a"
        " statically linked C program that writes a 31-byte CGI reply and exits; the dynamic"
        " floor is the same program linked dynamically against the C library, as the plug-in is"
        " (its resolver needs it), and is the least any such program can cost. Page faults and"
        " system calls are counted against the floors in the Ratio column as a difference. The"
        " peer of `tcp`, `http`, `curl` and `nc` is the test harness's, on 127.0.0.1."
        % (args.per_round * args.rounds, args.rounds, args.wrk_time), "",
        "| Measurement | Value | Reference | Ratio | Target | |", "|---|---|---|---|---|---|",
        *("| " + " | ".join(r) + " |" for r in lines), "",
        "Targets: %s." % ("all reached" if not missed else "missed: " + "; ".join(missed)), "",
        "Where a run goes beyond the dynamic floor: %s. The loader opens every library the"
        " plug-in needs and binds every import at start-up (bind-now), whichever the request"
        " uses: the dynamic floor linked with the same libraries (%s) that merely names the same"
        " functions takes %.2fx the dynamic floor's time beside `info`." % ("; ".join(
            "`%s` %+.1f page faults, %+d system calls, %+d instructions (%+d in the dynamic"
            " loader)" % (n, d("faults", n), d("syscalls", n), d("ir", n), d("ir loader", n))
            for n in ("info", "page")), ", ".join(got["libraries", "linux"]),
            got["start info", "ifloor"] / got["start info", "dfloor"]),
        *("\n" + n for n in got["notes"])]) + "\n"


def write_results(doc):
    """The new table, then the old file's hand-written sections (## ...)."""
    path = os.path.join(HERE, "RESULTS.md")
    old = open(path).read() if os.path.exists(path) else ""
    with open(path, "w") as f:
        f.write(doc + ("\n" + old[old.index("\n## ") + 1:] if "\n## " in old else ""))


def preset_builds():
    subprocess.run(["sh", "-c", ". scripts/deps.sh && need_packages $BUILD_PACKAGES"
                    " $SERVE_PACKAGES $LOAD_PACKAGES $BENCH_PACKAGES"], cwd=ROOT, check=True)
    exes = {}
    for preset, exe in (("linux", "plugin_tarvik"), ("windows", "plugin_tarvik.exe"),
                        ("arm64", "plugin_tarvik")):
        tree = os.path.join(ROOT, "build", preset)
        if preset == "linux" and not os.path.exists(os.path.join(tree, "CMakeCache.txt")):
            subprocess.run(["cmake", "--preset", "linux"], cwd=ROOT, check=True,
                           stdout=subprocess.DEVNULL)
        if os.path.exists(os.path.join(tree, "CMakeCache.txt")):
            subprocess.run(["cmake", "--build", "--preset", preset, "-j", str(os.cpu_count()),
                            "--target", "plugin_tarvik"], cwd=ROOT, check=True,
                           stdout=subprocess.DEVNULL)
            exes[preset] = os.path.join(tree, exe)
    return exes


def requests(exe, work, port, long_port):
    return dict(build_floors(exe, work),
                info=plugin(exe, "action=info", "info"),
                page=plugin(exe, "", "page"),
                ifaces=plugin(exe, "action=ifaces", "ifaces"),
                dns=plugin(exe, "action=dns&host=bench.test", "dns", resolved=True),
                dns_system=plugin(exe, "action=dns&host=localhost", "dns", resolved=True),
                tcp=plugin(exe, "action=tcp&host=bench.test&port=%d" % port, "tcp", status="open"),
                http=plugin(exe, "action=http&url=http://bench.test:%d/" % port, "http",
                            status=200),
                http_system=plugin(exe, "action=http&url=http://127.0.0.1:%d/" % port, "http",
                                   status=200),
                http_long=plugin(exe, "action=http&url=http://bench.test:%d/" % long_port, "http",
                                 status=200),
                curl=Cmd(["curl", "-sI", "http://127.0.0.1:%d/" % port]),
                nc3=Cmd(["sh", "-c", "; ".join(["nc -z 127.0.0.1 %d" % port] * 3)], shell=True))


def served(stack, floor, exe):
    """The floor and the plug-in behind lighttpd: the URLs, each one's
    reply checked."""
    floor_cgi, plugin_cgi = (stack.enter_context(fronts.Server(exe=e)) for e in (floor, exe))
    urls = {"floor": (floor_cgi.base + "/plugin_tarvik", "text/plain"),
            "info": (plugin_cgi.base + "/plugin_tarvik?action=info", "application/json"),
            "page": (plugin_cgi.base + "/plugin_tarvik", "text/html")}
    for url, kind in urls.values():
        status, head, body = fronts.curl(url)  # a JSON body meets its schema there
        if status != 200 or "Content-Type: " + kind not in head or b'"ok":false' in body:
            sys.exit("check failed: %s answered %d %r" % (url, status, body[:200]))
    return {name: url for name, (url, _) in urls.items()}


def can_trace():
    return subprocess.run(["strace", "-o", os.devnull, "true"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, check=False).returncode == 0


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--runs", type=int, default=600, help="hyperfine runs of each command")
    ap.add_argument("--rounds", type=int, default=60, help="hyperfine calls they are split into")
    ap.add_argument("--wrk-time", default="5s")
    ap.add_argument("--limits", metavar="EXE", help="only the deterministic limits of EXE")
    args = ap.parse_args()
    args.per_round = max(2, args.runs // args.rounds)
    exes = ({system_of(args.limits): os.path.abspath(args.limits)} if args.limits
            else preset_builds())
    got = {"notes": []}
    with contextlib.ExitStack() as stack:
        work = stack.enter_context(tempfile.TemporaryDirectory(prefix="tarvik-bench."))
        peer, long_peer = (stack.enter_context(peers.Peer(peers.answer(answer)))
                           for answer in (PEER_ANSWER, LONG_ANSWER))
        cmds = requests(exes["linux"], work, peer.port, long_peer.port) if "linux" in exes else {}
        rows = [r for r in TABLE if (not args.limits or r[1] in LIMITS)
                and all(n is None or n in cmds or n in exes for n in r[2:4])]
        if not can_trace():
            # A container may forbid ptrace; the other limits still hold.
            print("system calls not counted: strace cannot trace here", flush=True)
            rows = [r for r in rows if r[1] != "syscalls"]
        for name in dict.fromkeys(n for r in rows for n in r[2:4] if n in cmds):
            cmds[name].check()
        if not args.limits:
            args.urls = served(stack, cmds["floor"].argv[0], exes["linux"])
        for method in dict.fromkeys(r[1] for r in rows):
            names = list(dict.fromkeys(n for r in rows if r[1] == method for n in r[2:4] if n))
            print("== %s: %s" % (method, ", ".join(names)), flush=True)
            if method.split()[0] in ("start", "shell"):
                got.update(((method, n), v) for n, v in hyperfine(
                    {n: cmds[n] for n in names}, dict(base_env(), **cmds[method.split()[1]].env),
                    args, method.startswith("shell"), work).items())
            for name in names:
                measure(method, name, cmds.get(name), exes, args, got, work)
    lines = table(rows, got)
    for r in lines:
        print("%-90s %-22s %-28s %-8s %s %s" % r)
    if not args.limits:
        write_results(results(lines, got, args))
        print("\nwritten to bench/RESULTS.md")
    missed = [r[0] for r, line in zip(rows, lines) if r[1] in LIMITS and line[5] == "MISSED"]
    if missed:
        sys.exit("limits missed: " + "; ".join(missed))


if __name__ == "__main__":
    main()
