# Sourced by the serve-NAME.sh scripts: what every host stand-in does the
# same way, so that a new server is one script and one configuration.

# Checks the arguments (EXE PORT) and sets exe (absolute), port, a state
# folder of the server's own (removed on the way out), logs (the folder for
# the access and error logs: TARVIK_LOGS when set, made if need be and kept,
# otherwise the state folder) and launcher: TARVIK_LAUNCHER when set (an
# emulator and its arguments, such as "qemu-aarch64 -L /usr/aarch64-linux-gnu";
# empty for none), otherwise wine for an EXE ending in .exe.
serve_setup() {
  [ $# -eq 3 ] || { echo "usage: serve-$1.sh EXE PORT" >&2; exit 2; }
  exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
  port=$3
  [ -x "$exe" ] || { echo "serve-$1.sh: $exe is not an executable" >&2; exit 2; }
  state=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-$1.XXXXXX")
  logs=${TARVIK_LOGS:-$state}
  mkdir -p "$logs"
  pid=""
  wrap=""
  trap serve_stop EXIT
  trap 'exit 143' INT TERM
  launcher=${TARVIK_LAUNCHER-}
  if [ -z "${TARVIK_LAUNCHER+set}" ]; then
    case "$exe" in
      *.exe) launcher=wine ;;
    esac
  fi
  if under_wine; then
    wine_rules
    export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}"
  fi
}

# The Windows target row's rules, from the test harness, which keeps them
# for every run it starts itself: launcher_env, what every Wine run's
# environment carries (exported here), and start_status and start_prefix,
# how Wine's own start-up failure looks.
wine_rules() {
  rules=$(python3 "${here:?}/../tests/harness/targets.py" --shell windows) ||
    { echo "no launcher rules for Wine" >&2; exit 2; }
  eval "$rules"
  for word in $launcher_env; do
    export "${word?}"
  done
}

# Every way out stops the server (pid) and the process group that wrap
# leads, where set, and removes the state folder.
serve_stop() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  [ -n "$wrap" ] && kill -- "-$wrap" 2>/dev/null || true
  rm -rf "$state"
}

under_wine() {
  case "${launcher%% *}" in
    wine | */wine) return 0 ;;
  esac
  return 1
}

# The names of the variables that this script's environment hands to the
# plug-in: the node password and the test hooks when set, and what Wine
# needs when EXE runs under it (Debian's Wine keeps its server's socket
# under TMPDIR: without it a second server would start on the prefix).
handed_names() {
  for name in MORV_PASSWORD TARVIK_MOCK_IFACES TARVIK_MOCK_DNS TARVIK_MOCK_TIMEOUT; do
    if eval "[ \"\${$name+set}\" = set ]"; then
      echo "$name"
    fi
  done
  if under_wine; then
    for word in $launcher_env; do
      echo "${word%%=*}"
    done
    echo WINEPREFIX HOME
    [ -z "${TMPDIR:-}" ] || echo TMPDIR
  fi
}

# The program the server starts: EXE itself, or, with a launcher, a script
# in the state folder that runs EXE through it (see launch_script).
cgi_program() {
  if [ -z "$launcher" ]; then
    echo "$exe"
    return
  fi
  launch_script "$state/plugin_tarvik"
  echo "$state/plugin_tarvik"
}

# Writes to $1 a script that runs EXE through the launcher. Servers start a
# CGI program with no arguments and little or no PATH, so the script names
# every command in full.
launch_script() {
  to=$1
  set -f
  # shellcheck disable=SC2086
  set -- $launcher
  set +f
  run=$exe
  if [ $# -gt 0 ]; then
    command=$(command -v "$1") || { echo "no launcher $1" >&2; exit 2; }
    shift
    run="$command $* $exe"
  fi
  if under_wine; then
    [ -n "${start_status-}" ] || wine_rules
    # Wine itself now and then fails before the plug-in starts (see
    # start_status and start_prefix), which the plug-in never does: it
    # always exits 0. Such a run is run once more and, when TARVIK_RETRIES
    # names a file, noted there by its query, so that a test can count them.
    printf '#!/bin/sh
out=$(%s) && err=$(%s) || exit 1
for try in 1 2; do
  %s >"$out" 2>"$err"; rc=$?
  [ $try = 1 ] && [ $rc = %s ] && [ ! -s "$out" ] &&
    { [ ! -s "$err" ] || [ "$(%s -c %s "$err")" = %s ]; } || break
  echo "$QUERY_STRING" >>%s
done
%s "$err" >&2; %s "$out"; %s -f "$out" "$err"
exit $rc
' "$(command -v mktemp)" "$(command -v mktemp)" "$run" "$start_status" "$(command -v head)" \
      "${#start_prefix}" "'$start_prefix'" \
      "${TARVIK_RETRIES:-/dev/null}" "$(command -v cat)" "$(command -v cat)" \
      "$(command -v rm)" > "$to"
  else
    printf '#!/bin/sh\nexec %s\n' "$run" > "$to"
  fi
  chmod 755 "$to"
}

# Started as root, Apache and nginx hand their work to another user and
# Apache refuses root itself. In a user namespace in which the caller is an
# ordinary user, the server keeps the caller's files (the executable, the
# Wine prefix) its own and runs as one unprivileged process tree.
as_ordinary_user() {
  if [ "$(id -u)" -eq 0 ]; then
    echo "unshare --user --map-user=40000 --map-group=40000"
  fi
}
