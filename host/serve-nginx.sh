#!/bin/sh
# Runs nginx in the foreground on 127.0.0.1:PORT as the host agent
# stand-in, with fcgiwrap starting EXE for /plugin_tarvik and /plugins.
#   host/serve-nginx.sh EXE PORT
# MORV_PASSWORD and the TARVIK_MOCK_* hooks, when set in this script's
# environment, are handed to the plug-in. The access and error logs go
# into the folder TARVIK_LOGS when set, otherwise into the server's state
# folder, which goes with it. TARVIK_LAUNCHER, when set, is the command EXE
# runs through (an emulator and its arguments, such as "qemu-aarch64 -L
# /usr/aarch64-linux-gnu"; empty for none); unset, an EXE ending in .exe runs
# under Wine.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
serve_setup nginx "$@"
cgi=$(cgi_program)

# fcgiwrap copies its own environment into every program it starts, so it
# starts with nothing but what the plug-in needs; several workers let
# requests run side by side.
set -- PATH=/usr/bin:/bin
for name in $(handed_names); do
  eval "set -- \"\$@\" \"$name=\$$name\""
done
as_user=$(as_ordinary_user)

sed -e "s|@PORT@|$port|" -e "s|@DOCROOT@|$here/www|" -e "s|@STATE@|$state|g" \
    -e "s|@LOGS@|$logs|g" -e "s|@EXE@|$cgi|g" "$here/nginx.conf.in" > "$state/nginx.conf"
$as_user nginx -q -t -p "$state" -c "$state/nginx.conf" -e "$logs/error.log"
# fcgiwrap's workers outlive their parent: setsid makes it lead a group
# that stops as a whole.
setsid $as_user env -i "$@" "$(command -v fcgiwrap)" -c 8 -s "unix:$state/fcgiwrap.sock" &
wrap=$!
# nginx answers 502 for every request that finds no socket yet: on a busy
# machine fcgiwrap can take seconds to listen, so nginx starts after it.
tries=0
until [ -S "$state/fcgiwrap.sock" ]; do
  kill -0 "$wrap" 2>/dev/null || { echo "serve-nginx.sh: fcgiwrap did not start" >&2; exit 1; }
  tries=$((tries + 1))
  [ "$tries" -le 100 ] || { echo "serve-nginx.sh: fcgiwrap does not listen" >&2; exit 1; }
  sleep 0.1
done
$as_user nginx -p "$state" -c "$state/nginx.conf" -e "$logs/error.log" &
pid=$!
wait "$pid"
