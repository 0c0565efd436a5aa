#!/bin/sh
# Measures the plug-in against the floor (the start-up of a minimal static
# C program) and against the tools an operator would use instead, all in
# this one run, and prints one table of ratios; the table also goes to
# bench/RESULTS.md with the date and the core count.
#   bench/run.sh
# Start-up times come from hyperfine (each row measured side by side with
# its reference in the same hyperfine call), throughput from wrk through
# lighttpd, peak memory from /usr/bin/time -v. Builds the Release
# executables into build/bench-linux and build/bench-windows.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/deps.sh
# shellcheck disable=SC2086
need_packages $BUILD_PACKAGES $SERVE_PACKAGES $LOAD_PACKAGES $BENCH_PACKAGES

RUNS=${BENCH_RUNS:-600}
ROUNDS=6
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
echo "== build (Release)"
quiet cmake -S . -B build/bench-linux -DCMAKE_BUILD_TYPE=Release
quiet cmake --build build/bench-linux -j "$jobs" --target plugin_tarvik
exe=$root/build/bench-linux/plugin_tarvik
winexe=""
if command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
  quiet cmake -S . -B build/bench-windows --toolchain cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=Release
  quiet cmake --build build/bench-windows -j "$jobs" --target plugin_tarvik
  winexe=$root/build/bench-windows/plugin_tarvik.exe
fi

# The floor: a static program that writes a few bytes (a whole CGI reply,
# so that lighttpd can run it too) and exits.
cat > "$work/floor.c" <<'EOF'
#include <unistd.h>
int main(void)
{
    static const char reply[] = "Content-Type: text/plain\r\n\r\nok\n";
    return write(1, reply, sizeof reply - 1) < 0;
}
EOF
cc -O2 -static -s -o "$work/floor" "$work/floor.c"
floor=$work/floor

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
# runs are split into rounds that alternate the commands, so that a change
# of load on the machine falls on all of them alike.
hf() {
  name=$1 vars=$2; shift 2
  echo "== $name"
  r=1
  while [ $r -le "$ROUNDS" ]; do
    # shellcheck disable=SC2086
    quiet clean_env $vars hyperfine -N --style none --warmup 10 \
      --runs $((RUNS / ROUNDS)) --export-json "$work/$name.$r.json" "$@"
    r=$((r + 1))
  done
}
hf floor_info "QUERY_STRING=action=info" "$floor" "$exe"
hf floor_page "QUERY_STRING=" "$floor" "$exe"
hf floor_dns "QUERY_STRING=action=dns&host=bench.test TARVIK_MOCK_DNS=$MOCK" "$floor" "$exe"
hf floor_tcp "QUERY_STRING=action=tcp&host=bench.test&port=$peer TARVIK_MOCK_DNS=$MOCK" "$floor" "$exe"
hf http_curl "QUERY_STRING=action=http&url=http://bench.test:$peer/hub.html TARVIK_MOCK_DNS=$MOCK" \
  "$floor" "$exe" "curl -sI $peer_url"
# Three nc runs make a shell command; hyperfine subtracts the shell's own
# start-up from both commands of this call.
echo "== tcp_nc"
r=1
while [ $r -le "$ROUNDS" ]; do
  quiet clean_env "QUERY_STRING=action=tcp&host=bench.test&port=$peer" "TARVIK_MOCK_DNS=$MOCK" \
    hyperfine --style none --warmup 10 --runs $((RUNS / ROUNDS)) \
    --export-json "$work/tcp_nc.$r.json" \
    "$exe" "nc -z 127.0.0.1 $peer; nc -z 127.0.0.1 $peer; nc -z 127.0.0.1 $peer"
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
  ir info "$exe" "QUERY_STRING=action=info"
  ir page "$exe" "QUERY_STRING="
fi

size_linux=$(stat -c %s "$exe")
size_windows=$( [ -n "$winexe" ] && stat -c %s "$winexe" || echo "")

WORK=$work SIZE_LINUX=$size_linux SIZE_WINDOWS=$size_windows \
CORES=$(nproc) CPU=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo) \
RUNS=$RUNS ROUNDS=$ROUNDS WRK_TIME=$WRK_TIME LOAD="$(cut -d' ' -f1-3 /proc/loadavg)" python3 - > "$work/RESULTS.md" <<'EOF'
import json, os, statistics, time

work = os.environ["WORK"]


def medians(name):
    """Median time in ms of each command, over the runs of every round."""
    times = None
    for r in range(1, int(os.environ["ROUNDS"]) + 1):
        with open(os.path.join(work, "%s.%d.json" % (name, r))) as f:
            results = json.load(f)["results"]
        times = times or [[] for _ in results]
        for acc, res in zip(times, results):
            acc.extend(res["times"])
    return [statistics.median(t) * 1000 for t in times]


rows = []   # (what, measured, reference, ratio, target text, reached or None)


def verdict(ok):
    return "reached" if ok else "MISSED"


for action, limit in [("info", 1.5), ("page", 2.0), ("dns", None), ("tcp", None)]:
    fl, me = medians("floor_" + action)
    ratio = me / fl
    target = "within %.1fx the floor" % limit if limit else ""
    rows.append(("`%s` start to exit (mock DNS)" % action if action in ("dns", "tcp")
                 else "`%s` start to exit" % action,
                 "%.3f ms" % me, "floor %.3f ms" % fl, "%.2fx" % ratio, target,
                 verdict(ratio <= limit) if limit else ""))
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
if ir:
    for name in ("info", "page"):
        total, ld = ir[name]
        rows.append(("instructions, `%s` (callgrind; %d%% in the dynamic loader)"
                     % (name, round(100 * ld / total)), "%d" % total,
                     "floor %d" % ir["floor"][0], "%.1fx" % (total / ir["floor"][0]), "", ""))

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
      " reference in %s alternating rounds of hyperfine calls; requests per second from wrk (2 threads,"
      " 32 connections, %s); peak memory is the largest maximum resident set size of 5 runs"
      " (`/usr/bin/time -v`). The floor is a statically linked C program that writes a"
      " 31-byte CGI reply and exits." % (os.environ["RUNS"], os.environ["ROUNDS"],
                                         os.environ["WRK_TIME"]))
print()
print("| Measurement | Value | Reference | Ratio | Target | |")
print("|---|---|---|---|---|---|")
for r in rows:
    print("| " + " | ".join(r) + " |")
print()
missed = [r[0] for r in rows if r[5] == "MISSED"]
print("Targets: %s." % ("all reached" if not missed else "missed: " + "; ".join(missed)))
for n in notes:
    print()
    print(n)
EOF
cp "$work/RESULTS.md" bench/RESULTS.md
echo
cat bench/RESULTS.md
