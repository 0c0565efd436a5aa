#!/bin/sh
# Measures the plug-in against two floors and against the tools an operator
# would use instead, all in this one run, and prints one table of ratios;
# the table also goes to bench/RESULTS.md with the date and the core count.
#   bench/run.sh [LINUX_EXE [WINDOWS_EXE]]
# The static floor is the start-up of a minimal static C program; the
# dynamic floor is the same program linked dynamically against the C
# library, the least any program that calls the system resolver can cost.
# Start-up times come from hyperfine (each row measured side by side with
# its references in the same hyperfine call), throughput from wrk through
# lighttpd, peak memory and page faults from /usr/bin/time. Without
# arguments it builds the Release executables into build/bench-linux and
# build/bench-windows; with them it measures the executables given.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/deps.sh
# shellcheck disable=SC2086
need_packages $BUILD_PACKAGES $SERVE_PACKAGES $LOAD_PACKAGES $BENCH_PACKAGES

RUNS=${BENCH_RUNS:-600}
ROUNDS=60
per_round=$((RUNS / ROUNDS))
[ "$per_round" -ge 2 ] || per_round=2
WRK_TIME=${BENCH_WRK_TIME:-5s}
jobs=$(nproc 2>/dev/null || echo 2)

work=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-bench.XXXXXX")
pids=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  for p in $pids; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

quiet() {  # a command's output only when it fails
  "$@" >"$work/step.log" 2>&1 || { cat "$work/step.log" >&2; exit 1; }
}
winexe=""
if [ $# -gt 0 ]; then
  exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  [ -x "$exe" ] || { echo "not an executable: $1" >&2; exit 2; }
  [ $# -gt 1 ] && winexe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
else
  echo "== build (Release)"
  quiet cmake -S . -B build/bench-linux -DCMAKE_BUILD_TYPE=Release
  quiet cmake --build build/bench-linux -j "$jobs" --target plugin_tarvik
  exe=$root/build/bench-linux/plugin_tarvik
  if command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
    quiet cmake -S . -B build/bench-windows --toolchain cmake/mingw-w64-x86_64.cmake \
          -DCMAKE_BUILD_TYPE=Release
    quiet cmake --build build/bench-windows -j "$jobs" --target plugin_tarvik
    winexe=$root/build/bench-windows/plugin_tarvik.exe
  fi
fi

# The floors: a program that writes a few bytes (a whole CGI reply, so
# that lighttpd can run it too) and exits, linked statically and linked
# dynamically against the C library (as the compiler links by default).
cat > "$work/floor.c" <<'EOF'
#include <unistd.h>
int main(void)
{
    static const char reply[] = "Content-Type: text/plain\r\n\r\nok\n";
    return write(1, reply, sizeof reply - 1) < 0;
}
EOF
cc -O2 -static -s -o "$work/floor" "$work/floor.c"
cc -O2 -s -o "$work/dfloor" "$work/floor.c"
floor=$work/floor
dfloor=$work/dfloor
# The dynamic floor again, naming every function the plug-in imports from
# the C library (never calling them) and bound at start-up as the release
# build is: what the plug-in's imports cost before its own first line.
imported_functions() {
  readelf -W --dyn-syms "$1" | awk '$4 == "FUNC" && $7 == "UND" { sub(/@.*/, "", $8); print $8 }' |
    grep -v -x -e __libc_start_main -e __cxa_finalize -e write
}
{
  printf '%s\n' 'extern long write(int, const void *, unsigned long);'
  imported_functions "$exe" | sed 's/.*/extern void &(void);/'
  cat <<'EOF'
int main(int argc, char **argv)
{
    static const char reply[] = "Content-Type: text/plain\r\n\r\nok\n";
    (void)argv;
    if (argc < 0) {
EOF
  imported_functions "$exe" | sed 's/.*/        &();/'
  printf '%s\n' '    }' '    return write(1, reply, sizeof reply - 1) < 0;' '}'
} > "$work/ifloor.c"
cc -O2 -fno-builtin -w -s -Wl,-z,relro -Wl,-z,now -o "$work/ifloor" "$work/ifloor.c"
ifloor=$work/ifloor

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
serve() {  # serve EXE PORT: lighttpd in the background, ready on return
  env -u MORV_PASSWORD -u TARVIK_MOCK_DNS -u TARVIK_MOCK_IFACES -u TARVIK_MOCK_TIMEOUT \
    host/serve-lighttpd.sh "$1" "$2" >/dev/null 2>"$work/lighttpd-$2.log" &
  pids="$pids $!"
  i=0
  until curl -s -o /dev/null "http://127.0.0.1:$2/hub.html"; do
    i=$((i + 1)); [ $i -lt 100 ] || { cat "$work/lighttpd-$2.log" >&2; exit 1; }
    sleep 0.1
  done
}
plugin_port=$(free_port); serve "$exe" "$plugin_port"
floor_port=$(free_port); serve "$floor" "$floor_port"
# The floor's server doubles as the local peer: its static file answers the
# http check and curl, its socket the tcp check and nc.
peer=$floor_port
peer_url="http://127.0.0.1:$peer/hub.html"
MOCK="bench.test=127.0.0.1,::1"

clean_env() { env -i PATH="$PATH" HOME="${HOME:-/}" "$@"; }

# hf NAME "ENV..." CMD...: hyperfine, no shell, CMDs side by side. The
# runs are split into many short rounds that alternate the commands, so
# that a change of load on the machine falls on all of them alike; each
# round starts with the next command, because the first command of a
# hyperfine call runs measurably slower than the others.
hf() {
  name=$1 vars=$2; shift 2
  echo "== $name"
  printf '%s\n' "$@" > "$work/$name.order"
  r=1
  while [ $r -le "$ROUNDS" ]; do
    # shellcheck disable=SC2086
    quiet clean_env $vars hyperfine -N --style none --warmup 3 \
      --runs "$per_round" --export-json "$work/$name.$r.json" "$@"
    first=$1; shift; set -- "$@" "$first"
    r=$((r + 1))
  done
}
hf floor_info "QUERY_STRING=action=info" "$floor" "$dfloor" "$ifloor" "$exe"
hf floor_page "QUERY_STRING=" "$floor" "$dfloor" "$ifloor" "$exe"
hf floor_dns "QUERY_STRING=action=dns&host=bench.test TARVIK_MOCK_DNS=$MOCK" "$floor" "$exe"
hf floor_tcp "QUERY_STRING=action=tcp&host=bench.test&port=$peer TARVIK_MOCK_DNS=$MOCK" "$floor" "$exe"
hf http_curl "QUERY_STRING=action=http&url=http://bench.test:$peer/hub.html TARVIK_MOCK_DNS=$MOCK" \
  "$floor" "$exe" "curl -sI $peer_url"
# Three nc runs make a shell command; hyperfine subtracts the shell's own
# start-up from both commands of this call.
echo "== tcp_nc"
set -- "$exe" "nc -z 127.0.0.1 $peer; nc -z 127.0.0.1 $peer; nc -z 127.0.0.1 $peer"
printf '%s\n' "$@" > "$work/tcp_nc.order"
r=1
while [ $r -le "$ROUNDS" ]; do
  quiet clean_env "QUERY_STRING=action=tcp&host=bench.test&port=$peer" "TARVIK_MOCK_DNS=$MOCK" \
    hyperfine --style none --warmup 3 --runs "$per_round" \
    --export-json "$work/tcp_nc.$r.json" "$@"
  first=$1; shift; set -- "$@" "$first"
  r=$((r + 1))
done

echo "== requests per second through lighttpd (wrk, 2 threads, 32 connections, $WRK_TIME)"
rps() {
  wrk -t2 -c32 -d"$WRK_TIME" "$1" | awk -v name="$2" '
    /Requests\/sec/ { r = $2 }
    /Non-2xx|Socket errors/ { bad = bad $0 " " }
    END { print name, r, (bad == "" ? "-" : bad) }' >> "$work/rps.txt"
}
: > "$work/rps.txt"
rps "http://127.0.0.1:$floor_port/plugin_tarvik" floor
rps "http://127.0.0.1:$plugin_port/plugin_tarvik?action=info" info
rps "http://127.0.0.1:$plugin_port/plugin_tarvik" page

echo "== peak memory (/usr/bin/time -v, largest of 5 runs)"
: > "$work/rss.txt"
rss() {  # rss NAME "ENV..."
  name=$1 vars=$2 max=0
  for _ in 1 2 3 4 5; do
    # shellcheck disable=SC2086
    kb=$(clean_env $vars /usr/bin/time -v "$exe" 2>&1 >/dev/null |
         awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')
    [ "$kb" -gt "$max" ] && max=$kb
  done
  echo "$name $max" >> "$work/rss.txt"
}
kb=$(clean_env /usr/bin/time -v "$floor" 2>&1 >/dev/null |
     awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')
echo "floor $kb" >> "$work/rss.txt"
rss info "QUERY_STRING=action=info"
rss page "QUERY_STRING="
rss ifaces "QUERY_STRING=action=ifaces"
rss dns "QUERY_STRING=action=dns&host=bench.test TARVIK_MOCK_DNS=$MOCK"
rss dns_system "QUERY_STRING=action=dns&host=localhost"
rss tcp "QUERY_STRING=action=tcp&host=bench.test&port=$peer TARVIK_MOCK_DNS=$MOCK"
rss http "QUERY_STRING=action=http&url=http://bench.test:$peer/hub.html TARVIK_MOCK_DNS=$MOCK"
rss http_system "QUERY_STRING=action=http&url=http://127.0.0.1:$peer/hub.html"

# Minor page faults per run: on a virtual machine each costs about as much
# as thousands of instructions, so they are much of what a start-up costs.
# Counted from the child's own resource usage (posix_spawn, so the count
# holds nothing of the parent's side of the fork).
echo "== page faults (mean of 50 runs)"
: > "$work/faults.txt"
faults() {  # faults NAME PROGRAM "ENV..."
  # shellcheck disable=SC2086
  clean_env $3 python3 -c '
import os, sys
name, prog = sys.argv[1:3]
env = dict(os.environ)
null = os.open(os.devnull, os.O_WRONLY)
total = 0
for _ in range(50):
    pid = os.posix_spawn(prog, [prog], env, file_actions=[(os.POSIX_SPAWN_DUP2, null, 1)])
    total += os.wait4(pid, 0)[2].ru_minflt
print("%s %.1f" % (name, total / 50))' "$1" "$2" >> "$work/faults.txt"
}
faults floor "$floor" ""
faults dfloor "$dfloor" ""
faults ifloor "$ifloor" ""
faults info "$exe" "QUERY_STRING=action=info"
faults page "$exe" "QUERY_STRING="

# System calls per run, where strace is installed.
: > "$work/syscalls.txt"
if command -v strace >/dev/null 2>&1; then
  echo "== system calls (strace)"
  syscalls() {  # syscalls NAME PROGRAM "ENV..."
    # shellcheck disable=SC2086
    clean_env $3 strace -f -o "$work/strace.$1" "$2" >/dev/null
    echo "$1 $(grep -cv '^[0-9]* *+++' "$work/strace.$1")" >> "$work/syscalls.txt"
  }
  syscalls floor "$floor" ""
  syscalls dfloor "$dfloor" ""
  syscalls ifloor "$ifloor" ""
  syscalls info "$exe" "QUERY_STRING=action=info"
  syscalls page "$exe" "QUERY_STRING="
  # The http check against a peer whose answer has a 2,100-byte header
  # line: the check takes 2,047 bytes of it, the most it reads.
  cat > "$work/long_peer.py" <<'EOF'
import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(4)
print(s.getsockname()[1], flush=True)
answer = b"HTTP/1.1 200 OK\r\nX-Long: " + b"a" * 2100 + b"\r\n\r\n"
while True:
    c, _ = s.accept()
    request = b""
    while b"\r\n\r\n" not in request:
        data = c.recv(4096)
        if not data:
            break
        request += data
    c.sendall(answer)
    c.close()
EOF
  python3 "$work/long_peer.py" > "$work/long_peer.port" &
  pids="$pids $!"
  i=0
  until [ -s "$work/long_peer.port" ]; do
    i=$((i + 1)); [ $i -lt 100 ] || { echo "the long-header peer did not start" >&2; exit 1; }
    sleep 0.1
  done
  syscalls http_long "$exe" \
    "QUERY_STRING=action=http&url=http://bench.test:$(cat "$work/long_peer.port")/ TARVIK_MOCK_DNS=$MOCK"
fi

# Instructions per run, repeatable where times are not (valgrind is
# optional); ld.so's share is the dynamic loader's start-up.
: > "$work/ir.txt"
if command -v valgrind >/dev/null 2>&1 && command -v callgrind_annotate >/dev/null 2>&1; then
  echo "== instructions (callgrind)"
  ir() {  # ir NAME PROGRAM "ENV..."
    # shellcheck disable=SC2086
    clean_env $3 valgrind --tool=callgrind --callgrind-out-file="$work/cg.$1" "$2" \
      >/dev/null 2>&1
    callgrind_annotate --inclusive=no "$work/cg.$1" 2>/dev/null | awk -v name="$1" '
      /PROGRAM TOTALS/ { gsub(/,/, "", $1); total = $1 }
      /ld-linux/ { gsub(/,/, "", $1); ld += $1 }
      END { print name, total, ld + 0 }' >> "$work/ir.txt"
  }
  ir floor "$floor" ""
  ir dfloor "$dfloor" ""
  ir ifloor "$ifloor" ""
  ir info "$exe" "QUERY_STRING=action=info"
  ir page "$exe" "QUERY_STRING="
fi

size_linux=$(stat -c %s "$exe")
imports() {  # imported symbols, each bound by the dynamic loader at start-up
  readelf -W --dyn-syms "$1" | awk '$7 == "UND" && $8 != ""' | wc -l
}
imports_exe=$(imports "$exe")
imports_dfloor=$(imports "$dfloor")
size_windows=$( [ -n "$winexe" ] && stat -c %s "$winexe" || echo "")

WORK=$work SIZE_LINUX=$size_linux SIZE_WINDOWS=$size_windows \
IMPORTS_EXE=$imports_exe IMPORTS_DFLOOR=$imports_dfloor \
CORES=$(nproc) CPU=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo) \
RUNS=$((per_round * ROUNDS)) ROUNDS=$ROUNDS WRK_TIME=$WRK_TIME LOAD="$(cut -d' ' -f1-3 /proc/loadavg)" python3 - > "$work/RESULTS.md" <<'EOF'
import json, os, statistics, time

work = os.environ["WORK"]


def medians(name):
    """Median time in ms of each command, over the runs of every round, in
    the order the commands were given (the rounds rotate it)."""
    with open(os.path.join(work, name + ".order")) as f:
        order = f.read().splitlines()
    times = dict((command, []) for command in order)
    for r in range(1, int(os.environ["ROUNDS"]) + 1):
        with open(os.path.join(work, "%s.%d.json" % (name, r))) as f:
            for res in json.load(f)["results"]:
                times[res["command"]].extend(res["times"])
    return [statistics.median(times[command]) * 1000 for command in order]


rows = []   # (what, measured, reference, ratio, target text, reached or None)


def verdict(ok):
    return "reached" if ok else "MISSED"


DYNAMIC_LIMIT = 1.10
for action, limit in [("info", 1.5), ("page", 2.0), ("dns", None), ("tcp", None)]:
    times = medians("floor_" + action)
    fl, me = times[0], times[-1]
    ratio = me / fl
    target = "within %.1fx the floor" % limit if limit else ""
    rows.append(("`%s` start to exit (mock DNS)" % action if action in ("dns", "tcp")
                 else "`%s` start to exit" % action,
                 "%.3f ms" % me, "floor %.3f ms" % fl, "%.2fx" % ratio, target,
                 verdict(ratio <= limit) if limit else ""))
    if len(times) == 4:
        dfl, ifl = times[1], times[2]
        rows.append(("`%s` start to exit, against the dynamic floor" % action, "%.3f ms" % me,
                     "dynamic floor %.3f ms" % dfl, "%.2fx" % (me / dfl),
                     "within %.2fx the dynamic floor" % DYNAMIC_LIMIT,
                     verdict(me / dfl <= DYNAMIC_LIMIT)))
        rows.append(("dynamic floor with the plug-in's imports bound at start-up (beside `%s`)"
                     % action, "%.3f ms" % ifl, "dynamic floor %.3f ms" % dfl,
                     "%.2fx" % (ifl / dfl), "", ""))
fl, me, curl = medians("http_curl")
rows.append(("`http` start to exit (mock DNS, local peer)", "%.3f ms" % me, "floor %.3f ms" % fl,
             "%.2fx" % (me / fl), "", ""))
rows.append(("`http` against `curl -sI` on the same peer", "%.3f ms" % me, "curl %.3f ms" % curl,
             "%.2fx" % (me / curl), "no slower than curl", verdict(me <= curl)))
me, nc = medians("tcp_nc")
rows.append(("`tcp` (3 connects) against three `nc -z` on the same listener", "%.3f ms" % me,
             "nc x3 %.3f ms" % nc, "%.2fx" % (me / nc), "", ""))

rps = {}
notes = []
with open(os.path.join(work, "rps.txt")) as f:
    for line in f:
        name, value, bad = line.rstrip("\n").split(" ", 2)
        rps[name] = float(value)
        if bad.strip() != "-":
            notes.append("wrk reported for %s: %s" % (name, bad.strip()))
for name in ("info", "page"):
    rows.append(("requests/s through lighttpd, `%s`" % name, "%.0f/s" % rps[name],
                 "floor CGI %.0f/s" % rps["floor"], "%.2fx" % (rps[name] / rps["floor"]), "", ""))

with open(os.path.join(work, "ir.txt")) as f:
    ir = dict((n, (int(t), int(l))) for n, t, l in (line.split() for line in f))
LABEL = {"dfloor": "dynamic floor", "ifloor": "dynamic floor with the plug-in's imports"}
if ir:
    for name in ("dfloor", "ifloor", "info", "page"):
        total, ld = ir[name]
        ref = "floor" if name == "dfloor" else "dfloor"
        rows.append(("instructions, %s (callgrind; %d%% in the dynamic loader)"
                     % (LABEL.get(name, "`%s`" % name), round(100 * ld / total)), "%d" % total,
                     "%s %d" % ("floor" if ref == "floor" else "dynamic floor", ir[ref][0]),
                     "%.2fx" % (total / ir[ref][0]), "", ""))


def counts(name):
    with open(os.path.join(work, name)) as f:
        return dict((n, float(v)) for n, v in (line.split() for line in f))


for what, table, fmt in (("minor page faults per run (mean of 50)", counts("faults.txt"), "%.1f"),
                         ("system calls per run (strace)", counts("syscalls.txt"), "%d")):
    if not table:
        continue
    for name in ("dfloor", "ifloor", "info", "page"):
        ref = "floor" if name == "dfloor" else "dfloor"
        rows.append(("%s, %s" % (what, LABEL.get(name, "`%s`" % name)),
                     fmt % table[name],
                     "%s %s" % ("floor" if ref == "floor" else "dynamic floor", fmt % table[ref]),
                     "%+g" % round(table[name] - table[ref], 1), "", ""))

syscalls = counts("syscalls.txt")
if "http_long" in syscalls:
    rows.append(("system calls per `http` check, peer answering a 2,100-byte header line (mock DNS)",
                 "%d" % syscalls["http_long"], "dynamic floor %d" % syscalls["dfloor"],
                 "%+d" % (syscalls["http_long"] - syscalls["dfloor"]), "", ""))

with open(os.path.join(work, "rss.txt")) as f:
    rss = dict((n, int(v)) for n, v in (l.split() for l in f))
floor_kb = rss.pop("floor")
for name, kb in rss.items():
    label = {"dns": "dns (mock)", "dns_system": "dns (system resolver, localhost)",
             "tcp": "tcp (mock DNS)", "http": "http (mock DNS)",
             "http_system": "http (resolver thread, 127.0.0.1)"}.get(name, name)
    rows.append(("peak memory, `%s`" % label, "%d KiB" % kb, "floor %d KiB" % floor_kb,
                 "%.2fx" % (kb / floor_kb), "under 4 MiB", verdict(kb < 4096)))
for name, env in (("Linux binary", "SIZE_LINUX"), ("Windows .exe", "SIZE_WINDOWS")):
    size = os.environ[env]
    if size:
        rows.append(("size, %s" % name, "%d bytes" % int(size), "1 MiB = 1048576 bytes",
                     "%.3f" % (int(size) / 1048576), "under 1 MiB", verdict(int(size) < 1048576)))
    else:
        rows.append(("size, %s" % name, "not built", "", "", "under 1 MiB", "not measured"))

print("# Benchmark results")
print()
print("Measured by `bench/run.sh` on %s UTC; %s cores (`nproc`), %s." % (
    time.strftime("%Y-%m-%d %H:%M", time.gmtime()), os.environ["CORES"], os.environ["CPU"]))
print("The load average at the end of the run was %s (other work on the machine)." % os.environ["LOAD"])
print()
print("Times are hyperfine medians over %s runs, each row measured side by side with its"
      " references in %s alternating rounds of hyperfine calls, each round starting with the"
      " next command; requests per second from wrk (2 threads,"
      " 32 connections, %s); peak memory is the largest maximum resident set size of 5 runs"
      " (`/usr/bin/time -v`). The floor is a statically linked C program that writes a"
      " 31-byte CGI reply and exits; the dynamic floor is the same program linked dynamically"
      " against the C library, as the plug-in is (its resolver needs it), and is the least any"
      " such program can cost. Page faults and system calls are counted against the floors in"
      " the Ratio column as a difference." % (os.environ["RUNS"], os.environ["ROUNDS"],
                                                os.environ["WRK_TIME"]))
print()
print("| Measurement | Value | Reference | Ratio | Target | |")
print("|---|---|---|---|---|---|")
for r in rows:
    print("| " + " | ".join(r) + " |")
print()
missed = [r[0] for r in rows if r[5] == "MISSED"]
print("Targets: %s." % ("all reached" if not missed else "missed: " + "; ".join(missed)))
print()
faults, syscalls = counts("faults.txt"), counts("syscalls.txt")
extra = []
for name in ("info", "page"):
    parts = ["%+.1f page faults" % (faults[name] - faults["dfloor"])]
    if syscalls:
        parts.append("%+d system calls" % (syscalls[name] - syscalls["dfloor"]))
    if ir:
        parts.append("%+d instructions (%+d in the dynamic loader)"
                     % (ir[name][0] - ir["dfloor"][0], ir[name][1] - ir["dfloor"][1]))
    extra.append("`%s` %s" % (name, ", ".join(parts)))
ifl_info = medians("floor_info")
print("Where a run goes beyond the dynamic floor: %s. The plug-in imports %s symbols from the"
      " C library against the floor's %s; the loader binds every one at start-up (bind-now),"
      " whichever the request uses: the dynamic floor that merely names the same functions"
      " takes %.2fx the dynamic floor's time beside `info`%s." % (
          "; ".join(extra), os.environ["IMPORTS_EXE"], os.environ["IMPORTS_DFLOOR"],
          ifl_info[2] / ifl_info[1],
          (", %+.1f page faults and %+d instructions" % (
              faults["ifloor"] - faults["dfloor"], ir["ifloor"][0] - ir["dfloor"][0]))
          if ir else ""))
for n in notes:
    print()
    print(n)
EOF
cp "$work/RESULTS.md" bench/RESULTS.md
echo
cat bench/RESULTS.md
