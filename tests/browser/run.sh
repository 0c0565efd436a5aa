#!/bin/sh
# Browser tests of the page: installs the test tools on first use, then runs
# every tests/*.test.mjs with node's test runner. TARVIK_EXE names the
# executable (default build/linux/plugin_tarvik under the repository).
set -eu
cd "$(dirname "$0")"
# npm ci again whenever the lock file is newer than the installed tree.
if [ ! -f node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  npm ci --no-audit --no-fund
fi
exec node --test --test-concurrency=1 tests/*.test.mjs
