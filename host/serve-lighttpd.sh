#!/bin/sh
# Runs lighttpd in the foreground on 127.0.0.1:PORT as the host agent
# stand-in, serving EXE at /plugin_tarvik and /plugins.
#   host/serve-lighttpd.sh EXE PORT
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
serve_setup lighttpd "$@"
cgi=$(cgi_program)
env_lines=""
add_env() {
  # The value is read from this environment by lighttpd itself (env.NAME),
  # so it needs no quoting.
  env_lines="$env_lines  \"$1\" => env.$1,
"
}
for name in $(handed_names); do
  add_env "$name"
done

conf="$state/lighttpd.conf"
sed -e "s|@PORT@|$port|" -e "s|@DOCROOT@|$here/www|" -e "s|@STATE@|$state|g" \
    -e "s|@LOGS@|$logs|g" -e "s|@EXE@|$cgi|g" "$here/lighttpd.conf.in" |
  awk -v envs="$env_lines" '{ if ($0 == "@ENVIRONMENT@") printf "%s", envs; else print }' > "$conf"
lighttpd -tt -f "$conf" >/dev/null
lighttpd -D -f "$conf" &
pid=$!
wait "$pid"
