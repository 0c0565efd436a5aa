#!/bin/sh
# Builds both platforms (Linux natively, Windows with mingw-w64) and runs
# every test: unit tests, the black-box suites against both executables
# (the Windows one under Wine), the lighttpd, network-namespace and browser
# tests.   scripts/test.sh
set -eu
cd "$(dirname "$0")/.."
. scripts/deps.sh
# shellcheck disable=SC2086
need_packages $BUILD_PACKAGES $WINDOWS_PACKAGES $SERVE_PACKAGES $NETNS_PACKAGES $BROWSER_PACKAGES

export WINEDEBUG=-all
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for preset in linux windows; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
for preset in linux windows; do
  echo "== $preset: tests"
  ctest --preset "$preset" || status=1
done
wineserver -k 2>/dev/null || true
exit $status
