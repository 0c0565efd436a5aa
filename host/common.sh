# Sourced by the serve-NAME.sh scripts: what every host stand-in does the
# same way, so that a new server is one script and one configuration.

# Checks the arguments (EXE PORT) and sets exe (absolute), port, a state
# folder of the server's own (removed on the way out), and launcher: TARVIK_LAUNCHER when set (an
# emulator and its arguments, such as "qemu-aarch64 -L /usr/aarch64-linux-gnu";
# empty for none), otherwise wine for an EXE ending in .exe.
serve_setup() {
  [ $# -eq 3 ] || { echo "usage: serve-$1.sh EXE PORT" >&2; exit 2; }
  exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
  port=$3
  [ -x "$exe" ] || { echo "serve-$1.sh: $exe is not an executable" >&2; exit 2; }
  state=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-$1.XXXXXX")
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
    # Wine reads the environment's bytes in the locale's character set.
    export WINEDEBUG=-all WINEPREFIX="${WINEPREFIX:-$HOME/.wine}" LANG=C.UTF-8
  fi
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
    echo LANG WINEDEBUG WINEPREFIX HOME
    [ -z "${TMPDIR:-}" ] || echo TMPDIR
  fi
}

# The program the server starts: EXE itself, or, with a launcher, a script
# in the state folder that runs EXE through it. Servers start a CGI program
# with no arguments and little or no PATH, so the script names the launcher
# in full.
cgi_program() {
  if [ -z "$launcher" ]; then
    echo "$exe"
    return
  fi
  set -f
  # shellcheck disable=SC2086
  set -- $launcher
  set +f
  command=$(command -v "$1") || { echo "no launcher $1" >&2; exit 2; }
  shift
  if under_wine; then
    # Wine itself now and then fails before the plug-in starts: exit 1 and
    # no output, which the plug-in never gives (it always exits 0). Such a
    # run is run once more, as the test harness does with a direct run.
    printf '#!/bin/sh\nout=$(%s) || exit 1\nfor try in 1 2; do\n  %s %s %s >"$out"; rc=$?\n  [ $rc -eq 1 ] && [ ! -s "$out" ] || break\ndone\n%s "$out"; %s -f "$out"\nexit $rc\n' \
      "$(command -v mktemp)" "$command" "$*" "$exe" "$(command -v cat)" "$(command -v rm)" > "$state/plugin_tarvik"
  else
    printf '#!/bin/sh\nexec %s %s %s\n' "$command" "$*" "$exe" > "$state/plugin_tarvik"
  fi
  chmod 755 "$state/plugin_tarvik"
  echo "$state/plugin_tarvik"
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
