#!/bin/sh
# Runs lighttpd in the foreground on 127.0.0.1:PORT as the host agent
# stand-in, serving EXE at /plugin_tarvik and /plugins.
#   host/serve-lighttpd.sh EXE PORT
# MORV_PASSWORD and the TARVIK_MOCK_* hooks, when set in this script's
# environment, are handed to the plug-in. TARVIK_LAUNCHER, when set, is
# the command EXE runs through (an emulator and its arguments, such as
# "qemu-aarch64 -L /usr/aarch64-linux-gnu"; empty for none); unset, an EXE
# ending in .exe runs under Wine.
set -eu
[ $# -eq 2 ] || { echo "usage: $0 EXE PORT" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
port=$2
[ -x "$exe" ] || { echo "$0: $exe is not an executable" >&2; exit 2; }
state=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-lighttpd.XXXXXX")
pid=""
stop() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$state"
}
trap stop EXIT
trap 'exit 143' INT TERM

launcher=${TARVIK_LAUNCHER-}
if [ -z "${TARVIK_LAUNCHER+set}" ]; then
  case "$exe" in
    *.exe) launcher=wine ;;
  esac
fi
runner=""
if [ -n "$launcher" ]; then
  # lighttpd runs a CGI program through one interpreter path, with no
  # arguments and no PATH: a script of the state folder's own names the
  # launcher in full and adds its arguments.
  runner="$state/launcher"
  set -f
  # shellcheck disable=SC2086
  set -- $launcher
  set +f
  command=$(command -v "$1") || { echo "$0: no launcher $1" >&2; exit 2; }
  shift
  printf '#!/bin/sh\nexec %s %s "$@"\n' "$command" "$*" > "$runner"
  chmod 755 "$runner"
fi

env_lines=""
add_env() {
  # The value is read from this environment by lighttpd itself (env.NAME),
  # so it needs no quoting.
  env_lines="$env_lines  \"$1\" => env.$1,
"
}
for name in MORV_PASSWORD TARVIK_MOCK_IFACES TARVIK_MOCK_DNS TARVIK_MOCK_TIMEOUT; do
  if eval "[ \"\${$name+set}\" = set ]"; then
    add_env "$name"
  fi
done
if [ -n "$runner" ]; then
  # Wine reads the environment's bytes in the locale's character set.
  export WINEDEBUG=-all WINEPREFIX="${WINEPREFIX:-$HOME/.wine}" LANG=C.UTF-8
  add_env LANG
  add_env WINEDEBUG
  add_env WINEPREFIX
  add_env HOME
  # Debian's Wine keeps its server's socket under TMPDIR.
  if [ -n "${TMPDIR:-}" ]; then
    add_env TMPDIR
  fi
fi

conf="$state/lighttpd.conf"
sed -e "s|@PORT@|$port|" -e "s|@DOCROOT@|$here/www|" -e "s|@STATE@|$state|g" \
    -e "s|@EXE@|$exe|g" -e "s|@RUNNER@|$runner|" "$here/lighttpd.conf.in" |
  awk -v envs="$env_lines" '{ if ($0 == "@ENVIRONMENT@") printf "%s", envs; else print }' > "$conf"
lighttpd -tt -f "$conf" >/dev/null
lighttpd -D -f "$conf" &
pid=$!
wait "$pid"
