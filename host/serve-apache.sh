#!/bin/sh
# Runs Apache httpd (mod_cgid) in the foreground on 127.0.0.1:PORT as the
# host agent stand-in, serving EXE at /plugin_tarvik and /plugins.
#   host/serve-apache.sh EXE PORT
# MORV_PASSWORD and the TARVIK_MOCK_* hooks, when set in this script's
# environment, are handed to the plug-in. An EXE ending in .exe runs
# under Wine.
set -eu
[ $# -eq 2 ] || { echo "usage: $0 EXE PORT" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
port=$2
[ -x "$exe" ] || { echo "$0: $exe is not an executable" >&2; exit 2; }
state=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-apache.XXXXXX")
pid=""
stop() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  rm -rf "$state"
}
trap stop EXIT
trap 'exit 143' INT TERM

. "$here/common.sh"
wine_environment "$exe"
cgi=$(cgi_program "$exe" "$state")
env_lines=""
for name in $(handed_names "$exe"); do
  env_lines="${env_lines}PassEnv $name
"
done

as_user=$(as_ordinary_user)

conf="$state/apache.conf"
sed -e "s|@PORT@|$port|" -e "s|@DOCROOT@|$here/www|" -e "s|@STATE@|$state|g" \
    -e "s|@EXE@|$cgi|g" -e "s|@MODULES@|/usr/lib/apache2/modules|g" "$here/apache.conf.in" |
  awk -v envs="$env_lines" '{ if ($0 == "@ENVIRONMENT@") printf "%s", envs; else print }' > "$conf"
$as_user apache2 -t -f "$conf" >/dev/null 2>&1 || $as_user apache2 -t -f "$conf"
$as_user apache2 -f "$conf" -DFOREGROUND &
pid=$!
wait "$pid"
