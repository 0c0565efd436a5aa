#!/bin/sh
# Builds the plug-in and serves it behind a CGI web server on 127.0.0.1 so
# that a person can open its page.
#   scripts/serve.sh [--host lighttpd|apache|nginx] [PORT]   (default lighttpd, 8080)
# MORV_PASSWORD and the TARVIK_MOCK_* hooks set here reach the plug-in.
set -eu
cd "$(dirname "$0")/.."
host=lighttpd
case "${1:-}" in
  --host) host=${2:?"--host needs lighttpd, apache or nginx"}; shift 2 ;;
  --host=*) host=${1#--host=}; shift ;;
esac
case "$host" in
  lighttpd) packages="lighttpd:lighttpd" ;;
  apache) packages="apache2:apache2 unshare:util-linux" ;;
  nginx) packages="nginx:nginx fcgiwrap:fcgiwrap unshare:util-linux" ;;
  *) echo "$0: unknown host $host (lighttpd, apache or nginx)" >&2; exit 2 ;;
esac
. scripts/deps.sh
# shellcheck disable=SC2086
need_packages $BUILD_PACKAGES $packages
port=${1:-8080}
cmake --preset linux >/dev/null
cmake --build --preset linux --target plugin_tarvik >/dev/null
echo "tarvik is at http://127.0.0.1:$port/plugin_tarvik behind $host  (hub stand-in: http://127.0.0.1:$port/hub.html)"
echo "press Ctrl-C to stop"
exec "host/serve-$host.sh" build/linux/plugin_tarvik "$port"
