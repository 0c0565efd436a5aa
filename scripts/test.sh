#!/bin/sh
# Builds every target (Linux x86-64, Windows with mingw-w64, Linux arm64
# cross-compiled by clang) and runs every test through CTest: unit
# tests, the black-box suites against each executable (the Windows one under
# Wine, the arm64 one under qemu-aarch64), the host suites behind lighttpd,
# Apache httpd and nginx with fcgiwrap, network-namespace, load, fault,
# package, benchmark-limit and browser tests; then the same suites against a
# sanitizer build, unit and direct-run suites against a build with Debian
# 12's g++ and C library, and a short pass of each fuzzer. The Linux
# release builds (clang, against Debian 11 sysroots the build makes once
# per machine) run their suites under Debian 11's C library too.   scripts/test.sh
set -eu
cd "$(dirname "$0")/.."
. scripts/deps.sh
# shellcheck disable=SC2086
need_packages $BUILD_PACKAGES $WINDOWS_PACKAGES $ARM64_PACKAGES $GCC_PACKAGES \
  $SERVE_PACKAGES $HOSTS_PACKAGES $NETNS_PACKAGES $BROWSER_PACKAGES $RELEASE_PACKAGES \
  $LIMITS_PACKAGES $FUZZ_PACKAGES

# A Wine prefix of the test run's own, so that nobody else's Wine shares
# (or stops) its server.
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wine-prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k 2>/dev/null || true' EXIT

jobs=$(nproc 2>/dev/null || echo 2)
presets="linux windows arm64 sanitize gcc fuzz"
for preset in $presets; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
status=0
for preset in $presets; do
  echo "== $preset: tests"
  ctest --preset "$preset" || status=1
done
exit $status
