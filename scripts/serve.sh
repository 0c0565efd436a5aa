#!/bin/sh
# Builds the plug-in and serves it behind lighttpd on 127.0.0.1 so that a
# person can open its page.   scripts/serve.sh [PORT]   (default 8080)
# MORV_PASSWORD and the TARVIK_MOCK_* hooks set here reach the plug-in.
set -eu
cd "$(dirname "$0")/.."
. scripts/deps.sh
# shellcheck disable=SC2086
need_packages $BUILD_PACKAGES $SERVE_PACKAGES
port=${1:-8080}
cmake --preset linux >/dev/null
cmake --build --preset linux --target plugin_tarvik >/dev/null
echo "tarvik is at http://127.0.0.1:$port/plugin_tarvik  (hub stand-in: http://127.0.0.1:$port/hub.html)"
echo "press Ctrl-C to stop"
exec host/serve-lighttpd.sh build/linux/plugin_tarvik "$port"
