#!/bin/sh
# Runs Apache httpd (mod_cgid) in the foreground on 127.0.0.1:PORT as the
# host agent stand-in, serving EXE at /plugin_tarvik and /plugins.
#   host/serve-apache.sh EXE PORT
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
serve_setup apache "$@"
cgi=$(cgi_program)
env_lines=""
for name in $(handed_names); do
  env_lines="${env_lines}PassEnv $name
"
done

as_user=$(as_ordinary_user)

conf="$state/apache.conf"
sed -e "s|@PORT@|$port|" -e "s|@DOCROOT@|$here/www|" -e "s|@STATE@|$state|g" \
    -e "s|@LOGS@|$logs|g" -e "s|@EXE@|$cgi|g" -e "s|@MODULES@|/usr/lib/apache2/modules|g" "$here/apache.conf.in" |
  awk -v envs="$env_lines" '{ if ($0 == "@ENVIRONMENT@") printf "%s", envs; else print }' > "$conf"
$as_user apache2 -t -f "$conf" >/dev/null 2>&1 || $as_user apache2 -t -f "$conf"
$as_user apache2 -f "$conf" -DFOREGROUND &
pid=$!
wait "$pid"
